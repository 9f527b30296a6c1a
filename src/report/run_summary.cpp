#include "report/run_summary.h"

#include <algorithm>
#include <initializer_list>
#include <set>

namespace kova {
namespace {

std::string plural(int n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The kinds in the order they were first added, each with its groups.
std::vector<std::pair<std::string, std::set<int>>> groupsByKind(
    const std::vector<std::pair<int, std::string>>& warnings) {
  std::vector<std::pair<std::string, std::set<int>>> kinds;
  for (const auto& [group, kind] : warnings) {
    auto at = std::find_if(kinds.begin(), kinds.end(),
                           [&](const auto& entry) { return entry.first == kind; });
    if (at == kinds.end()) at = kinds.insert(kinds.end(), {kind, {}});
    at->second.insert(group);
  }
  return kinds;
}

bool anyOf(const std::vector<std::pair<std::string, std::set<int>>>& kinds,
           std::initializer_list<const char*> names) {
  for (const auto& entry : kinds)
    for (const char* name : names)
      if (entry.first == name) return true;
  return false;
}

// What the user can do about the kinds found: a line for each family.
void addAdvice(const std::vector<std::pair<std::string, std::set<int>>>& kinds,
               std::vector<std::string>& lines) {
  if (anyOf(kinds, {"sigma2_grew", "sigma2_shrank", "phi_at_bound", "delta_singular",
                    "ml_boundary", "ml_degenerate", "ml_not_converged",
                    "ml_delta_near_singular"}))
    lines.insert(lines.end(),
                 {" What to do: a group's own periods do not determine its PHI and DELTA: let the",
                  "   groups share them (COMMON MODEL = REML, DIAGONAL PHI = YES, DIAGONAL DELTA =",
                  "   YES), fit fewer random components, or run fewer passes (README: Warnings after",
                  "   the last pass)."});
  if (anyOf(kinds, {"pi_rank_deficient"}))
    lines.push_back(" What to do: the regressors named in KOVAOUT are collinear: drop one of them"
                    " or restrict PI.");
}

}  // namespace

std::vector<std::string> summaryLines(const RunSummary& s) {
  std::vector<std::string> lines;
  lines.push_back(" Run complete: " + plural(s.groups, "group", "groups") + " estimated.");
  // Group 0 holds the findings of the panel as a whole (the common model's).
  std::set<int> warned;
  std::vector<std::pair<int, std::string>> groupWarnings;
  std::string panel;
  for (const auto& entry : s.warnings)
    if (entry.first == 0) {
      if (panel.find(entry.second) == std::string::npos)
        panel += (panel.empty() ? "" : ", ") + entry.second;
    } else {
      warned.insert(entry.first);
      groupWarnings.push_back(entry);
    }
  if (!panel.empty())
    lines.push_back(" Warnings of the common PHI and DELTA (group empty in KOVA_WARNINGS.csv): " +
                    panel + ".");
  if (warned.empty()) {
    lines.push_back(" Groups with warnings: none.");
  } else {
    lines.push_back(" Groups with warnings: " + std::to_string(warned.size()) + " of " +
                    std::to_string(s.groups) + " (rows of KOVA_WARNINGS.csv, lines in KOVAOUT):");
    for (const auto& [kind, groups] : groupsByKind(groupWarnings)) {
      std::string line = "   " + kind;
      const std::string count = std::to_string(groups.size());
      line += std::string(line.size() + count.size() < 28 ? 28 - line.size() - count.size() : 1,
                          ' ');
      line += count + (groups.size() == 1 ? " group" : " groups");
      lines.push_back(line);
    }
    addAdvice(groupsByKind(groupWarnings), lines);
  }
  if (s.mlConverged + s.mlBoundary + s.mlDegenerate + s.mlNotConverged + s.mlNotApplicable > 0)
    lines.push_back(" Maximum likelihood: " + std::to_string(s.mlConverged) +
                    " converged to an interior maximum, " + std::to_string(s.mlBoundary) +
                    " at a boundary maximum, " + std::to_string(s.mlDegenerate) +
                    " degenerate, " + std::to_string(s.mlNotConverged) + " not converged, " +
                    std::to_string(s.mlNotApplicable) + " not applicable.");
  if (s.parameterWarnings > 0)
    lines.push_back(" Parameter file: " + plural(s.parameterWarnings, "line", "lines") +
                    " warned about, at the top of the console and in KOVALOG.");
  std::string dir = s.directory;
  if (!dir.empty() && dir.back() != '/') dir += '/';
  lines.push_back(" Report: " + dir + "KOVAOUT   log: " + dir + "KOVALOG");
  lines.push_back(s.tables ? " Tables: " + dir + "KOVA_*.csv"
                           : " Tables: not written (see KOVALOG).");
  return lines;
}

std::string groupOutcome(int lastPass, const std::string& ml,
                         const std::vector<std::string>& kinds) {
  std::string text = "passes 0-" + std::to_string(lastPass);
  if (!ml.empty()) text += ", ML " + ml;
  std::vector<std::string> once;
  for (const std::string& kind : kinds)
    if (std::find(once.begin(), once.end(), kind) == once.end()) once.push_back(kind);
  if (once.empty()) return text + ", no warnings";
  text += ", warnings: ";
  for (std::size_t i = 0; i < once.size(); ++i) text += (i > 0 ? ", " : "") + once[i];
  return text;
}

}  // namespace kova
