// Checks of the panel beyond its single values: gaps in a group's times,
// columns that cannot be told from the constant, and the random
// coefficients that --random chooses.
#include <algorithm>
#include <cstdio>

#include "csv/time_gaps.h"
#include "kova_prepare.h"

namespace kova::prepare {
namespace {

std::string trim(const std::string& s) {
  std::size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return "";
  return s.substr(a, s.find_last_not_of(" \t") - a + 1);
}

// In double quotes, with line breaks and other control characters shown as
// escapes, so that a message stays on one line.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c == '\n') {
      out += "\\n";
    } else if (c < 32) {
      char b[8];
      std::snprintf(b, sizeof b, "\\x%02X", c);
      out += b;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

std::string gapText(const csv::TimeGap& gap, const CsvTable& table, int timeColumn,
                    const std::vector<int>& rows) {
  const CsvRow& before = table.rows[rows[gap.after]];
  const CsvRow& after = table.rows[rows[gap.after + 1]];
  return csv::missingText(gap) + " (between " + quoted(trim(before.fields[timeColumn])) +
         " on line " + std::to_string(before.line) + " and " +
         quoted(trim(after.fields[timeColumn])) + " on line " + std::to_string(after.line) + ")";
}

}  // namespace

void checkTimeGaps(const Request& rq, const CsvTable& table, int timeColumn, const Groups& groups,
                   std::vector<std::string>& warnings) {
  std::vector<std::vector<std::string>> times(groups.members.size());
  for (std::size_t g = 0; g < groups.members.size(); ++g)
    for (int r : groups.members[g]) times[g].push_back(table.rows[r].fields[timeColumn]);
  const csv::TimeGaps gaps = csv::findTimeGaps(times);
  if (!gaps.any()) return;

  std::size_t first = 0;
  while (gaps.groups[first].empty()) ++first;
  std::vector<std::string> others;
  for (std::size_t g = first + 1; g < gaps.groups.size(); ++g)
    if (!gaps.groups[g].empty()) others.push_back(quoted(groups.names[g]));
  const std::vector<int>& rows = groups.members[first];
  const csv::TimeGap& gap = gaps.groups[first][0];
  const CsvRow& at = table.rows[rows[gap.after + 1]];
  std::string message = table.file + ", line " + std::to_string(at.fieldLines[timeColumn]) +
                        ", column " + quoted(table.header[timeColumn]) + ": group " +
                        quoted(groups.names[first]) + " has no record for ";
  for (std::size_t i = 0; i < gaps.groups[first].size(); ++i)
    message +=
        (i == 0 ? "" : "; nor for ") + gapText(gaps.groups[first][i], table, timeColumn, rows);
  message += "; the times of most groups step by " + gaps.step;
  if (!others.empty()) {
    message += "; " + std::to_string(others.size()) + " more group" +
               (others.size() == 1 ? " has" : "s have") + " gaps (";
    for (std::size_t i = 0; i < others.size() && i < 5; ++i) message += (i ? ", " : "") + others[i];
    message += others.size() > 5 ? ", ...)" : ")";
  }
  if (!rq.allowGaps)
    throw BadInput(message + "; --allow-gaps takes each group's records as consecutive periods");
  warnings.push_back(message +
                     "; --allow-gaps: each group's records are taken as consecutive periods");
}

void warnConstantColumns(const CsvTable& table, const std::vector<int>& xColumns,
                         const std::vector<int>& zColumns, const Groups& groups,
                         std::vector<std::string>& warnings) {
  auto same = [](const Decimal& a, const Decimal& b) {
    return a.negative == b.negative && a.digits == b.digits && a.exponent == b.exponent;
  };
  auto constantWithinGroups = [&](int column) {
    for (const std::vector<int>& rows : groups.members) {
      std::vector<Decimal> values;
      for (int r : rows) {
        if (groups.forecast[r]) continue;
        Decimal d;
        if (!parseDecimal(trim(table.rows[r].fields[column]), d)) return false;
        values.push_back(d);
      }
      for (const Decimal& d : values)
        if (!same(d, values.front())) return false;
    }
    return true;
  };
  for (int column : xColumns)
    if (constantWithinGroups(column))
      warnings.push_back("column " + quoted(table.header[column]) +
                         " (--x) has one value in each group: with the "
                         "constant it is collinear, "
                         "and within a group its coefficient cannot be told "
                         "from the constant's");
  for (int column : zColumns)
    if (constantWithinGroups(column))
      warnings.push_back("column " + quoted(table.header[column]) +
                         " (--z) has one value in each group: with the leading one of z it is "
                         "collinear, and within a group its elements of PI cannot be told "
                         "from "
                         "those of the leading one");
}

std::vector<bool> randomCoefficients(const Request& rq) {
  const std::size_t K = rq.x.size() + 1;
  if (rq.random.empty()) return std::vector<bool>(K, true);
  std::vector<bool> random(K, false);
  const bool columnNamedConstant = std::find(rq.x.begin(), rq.x.end(), "constant") != rq.x.end();
  for (const std::string& name : rq.random) {
    std::size_t k = 0;
    if (name == "constant") {
      if (columnNamedConstant)
        throw BadInput("--random: \"constant\" is both the leading one and an --x column");
    } else {
      auto it = std::find(rq.x.begin(), rq.x.end(), name);
      if (it == rq.x.end()) {
        std::string list = "constant";
        for (const std::string& x : rq.x) list += ", " + x;
        throw BadInput("--random: " + quoted(name) + " is not an --x column nor \"constant\" (" +
                       list + ")");
      }
      k = static_cast<std::size_t>(it - rq.x.begin()) + 1;
    }
    if (random[k]) throw BadInput("--random: " + quoted(name) + " is named twice");
    random[k] = true;
  }
  return random;
}

void appendLMatrix(const std::vector<bool>& random, int width, std::string& first,
                   std::string& second) {
  const int M = static_cast<int>(std::count(random.begin(), random.end(), true));
  const int perLine = kLineLength / width;
  const std::string pad(static_cast<std::size_t>(width) - 1, ' ');
  int column = 0;
  for (bool isRandom : random) {
    for (int i = 0; i < M; ++i) {
      std::string& line = i < perLine ? first : second;
      line += pad + (isRandom && i == column ? "1" : "0");
    }
    first += '\n';
    if (M > perLine) second += '\n';
    column += isRandom ? 1 : 0;
  }
}

}  // namespace kova::prepare
