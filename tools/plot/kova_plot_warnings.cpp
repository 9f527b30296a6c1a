// The warnings of a group where its user looks: what each kind of kova's
// checks means, and the box at the top of the group's picture.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

#include "kova_plot_draw.h"

namespace kova::plot {
namespace {

constexpr double kLineHeight = 15;
constexpr double kPadding = 8;

const std::map<std::string, std::string>& meanings() {
  static const std::map<std::string, std::string> m = {
      {"sigma2_grew",
       "SIGMA**2 of the last pass is over ten times that of "
       "pass 1: the passes drift"},
      {"sigma2_shrank",
       "SIGMA**2 of the last pass is under a tenth of that of "
       "pass 1: BETA(t) nearly fits y exactly"},
      {"phi_at_bound", "an eigenvalue of PHI is at the stationarity bound EVL"},
      {"delta_singular", "DELTA is singular: a random component has no variance"},
      {"delta11_zero", "DELTA(1,1) is zero: the error term vanished and SIGMA**2 is 0"},
      {"ml_not_converged",
       "the likelihood optimisation did not converge; the "
       "iterative estimates are kept"},
      {"pi_rank_deficient", "the regressors are collinear: some elements of PI are not identified"},
      {"ml_boundary",
       "the likelihood's maximum is on a boundary (SIGMA**2 "
       "DELTA singular or PHI at the bound)"},
      {"ml_degenerate",
       "the likelihood is degenerate for this group (an "
       "innovation variance collapses to zero)"},
      {"ml_delta_near_singular",
       "SIGMA**2 DELTA is nearly singular at the likelihood's "
       "maximum: its standard errors and the bands may be too narrow"},
      {"beta_se_incomplete",
       "some standard errors of BETA(t) could not be "
       "computed and are left empty"},
      {"common_delta_zero",
       "common model: a variance of DELTA is fixed at 0, that coefficient does not vary"},
      {"common_phi_not_identified",
       "common model: an element of PHI is not identified (its DELTA is 0)"},
      {"common_phi_at_bound", "common model: an eigenvalue of the common PHI is at the bound EVL"},
      {"common_delta_singular",
       "common model: the common DELTA is singular, the likelihood has no maximum"},
      {"common_no_standard_errors",
       "common model: the observed information is not positive definite, no standard errors"},
      {"common_not_converged", "common model: the search for the common PHI and DELTA did not "
                               "converge"},
  };
  return m;
}

// A value as the table gives it, shortened to four digits when it is a number.
std::string shortValue(const std::string& text) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0') return text;
  char b[32];
  std::snprintf(b, sizeof b, "%.4g", v);
  return b;
}

}  // namespace

std::string warningMeaning(const std::string& kind) {
  auto it = meanings().find(kind);
  return it != meanings().end() ? it->second
                                : "a finding of kova's checks after the last pass (see KOVAOUT)";
}

std::vector<std::string> warningKinds(const GroupResults& g) {
  std::vector<std::string> kinds;
  std::set<std::string> seen;
  for (const WarningRow& w : g.warnings)
    if (seen.insert(w.kind).second) kinds.push_back(w.kind);
  return kinds;
}

std::string warningBox(const GroupResults& g, double x, double y, double width, double& height) {
  // The passes and values of each kind; a table may hold very many rows,
  // and a line is cut to the box anyway.
  std::map<std::string, std::string> where;
  for (const WarningRow& w : g.warnings) {
    std::string& text = where[w.kind];
    if (text.size() > 400) continue;
    // A finding of the panel (the common model's) has no pass.
    std::string item = w.pass.empty() ? "" : "pass " + w.pass;
    if (!w.value.empty()) item += (item.empty() ? "value " : ", value ") + shortValue(w.value);
    text += (text.empty() ? "" : "; ") + item;
  }
  std::vector<std::string> lines;
  for (const std::string& kind : warningKinds(g))
    lines.push_back(kind + " (" + where[kind] + "): " + warningMeaning(kind));
  for (const GapMark& gap : g.gaps)
    lines.push_back("time gap between " + gap.from + " and " + gap.to + ": no records for " +
                    gap.missing + "; the records on either side were taken as consecutive periods");
  height = 0;
  if (lines.empty()) return "";
  const bool warned = !g.warnings.empty();
  const std::string heading =
      warned ? "Warnings: the estimates of this group are not to be trusted as "
               "they stand (see KOVAOUT)"
             : "Note on the times of this group";
  height = 2 * kPadding + kLineHeight * static_cast<double>(lines.size() + 1);
  std::string out = "<g class=\"warnings\">\n<rect x=\"" + num(x) + "\" y=\"" + num(y) +
                    "\" width=\"" + num(width) + "\" height=\"" + num(height) +
                    "\" rx=\"4\" fill=\"#fff4e0\" stroke=\"#d9822b\" "
                    "stroke-width=\"1.5\"/>\n";
  double at = y + kPadding + 11;
  out += "<text class=\"warning-heading\" x=\"" + num(x + kPadding) + "\" y=\"" + num(at) +
         "\" font-weight=\"bold\" fill=\"#a04000\">" +
         escapeXml(fitText(heading, width - 2 * kPadding, kFontSize * 1.08)) + "</text>\n";
  for (const std::string& line : lines) {
    at += kLineHeight;
    out += "<text class=\"warning\" x=\"" + num(x + kPadding) + "\" y=\"" + num(at) +
           "\" fill=\"#5a2d00\">" + escapeXml(fitText(line, width - 2 * kPadding, kFontSize)) +
           "</text>\n";
  }
  return out + "</g>\n";
}

}  // namespace kova::plot
