// From the CSV table to the texts of the run directory's files. Every check
// runs here, before anything is written.
#include <csv.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>

#include "input/parameter_file.h"
#include "io/edit_descriptors.h"
#include "io/text_conversion.h"
#include "kova_prepare.h"

namespace kova::prepare {
namespace {

// A text in double quotes for a message, its line breaks and tabs shown as
// escapes so that the message stays on one line.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char ch : text) {
    if (ch == '\n') {
      out += "\\n";
    } else if (ch == '\r') {
      out += "\\r";
    } else if (ch == '\t') {
      out += "\\t";
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

std::string trim(const std::string& s) {
  std::size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return "";
  std::size_t b = s.find_last_not_of(" \t");
  return s.substr(a, b - a + 1);
}

std::string lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

struct Context {
  const CsvTable& table;
  std::string at(int line) const { return table.file + ", line " + std::to_string(line); }
  std::string at(const CsvRow& row, int column) const {
    return table.file + ", line " + std::to_string(row.fieldLines[column]) + ", column " +
           quoted(table.header[column]);
  }
};

int findColumn(const Context& c, const std::string& name, const char* option) {
  if (name.empty()) throw BadInput(std::string(option) + ": an empty column name");
  int found = -1;
  for (std::size_t i = 0; i < c.table.header.size(); ++i) {
    if (c.table.header[i] != name) continue;
    if (found >= 0)
      throw BadInput(c.at(c.table.headerLine) + ": the header names the column " + quoted(name) +
                     " twice (" + option + ")");
    found = static_cast<int>(i);
  }
  if (found < 0) {
    std::string list;
    for (const std::string& h : c.table.header) list += (list.empty() ? "" : ", ") + quoted(h);
    throw BadInput(c.at(c.table.headerLine) + ": no column " + quoted(name) + " (" + option +
                   ") in the header; its columns are " + list);
  }
  return found;
}

// The keyword of a parameter line, classified by the first of the
// parameter file's recognition rules that it meets (a word matches in
// capitals or entirely in small letters). Returns the setting that rule
// governs when it is one this tool writes itself, else "".
std::string ownedSetting(const std::string& keyword) {
  if (keyword == "T" || keyword == "t") return "T";
  if (keyword == "M" || keyword == "m") return "M";
  if (keyword == "K" || keyword == "k") return "K";
  if (keyword == "P" || keyword == "p") return "P";
  auto has = [&](const char* word) {
    return keyword.find(word) != std::string::npos ||
           keyword.find(lower(word)) != std::string::npos;
  };
  static const char* const rules[] = {"CONST", "Z-",    "L-",  "INIT", "ZERO", "DIAG",
                                      "SAV",   "MONTE", "RESTR", "ITER", "PRI",  "STAT",
                                      "TITLE", "WID"};
  for (const char* word : rules) {
    if (!has(word)) continue;
    std::string w = word;
    return (w == "CONST" || w == "Z-" || w == "ITER" || w == "WID" || w == "L-" || w == "DIAG")
               ? w
               : "";
  }
  return "";
}

struct ParameterLines {
  std::vector<std::string> lines;
  std::optional<std::string> mLine;
  bool lMatrix = false;  // L-MATRIX = USER
};

// M, L-MATRIX and DIAGONAL lines are the user's unless --random or
// --diagonal set them.
void checkOwnedByFlags(const Request& rq, const std::string& name, const std::string& setting) {
  if (!rq.random.empty() && (setting == "M" || setting == "L-"))
    throw BadInput(name + ": set by --random (M and the L-matrix)");
  if (rq.diagonal && setting == "DIAG")
    throw BadInput(name + ": set by --diagonal (DIAGONAL PHI and DIAGONAL DELTA = YES)");
}

ParameterLines checkOptions(const Request& rq) {
  const std::vector<std::string>& options = rq.options;
  static const std::map<std::string, std::string> why = {
      {"T", "T is the number of data rows"},
      {"K", "K is 1 + the number of --x columns"},
      {"P", "P is 1 + the number of --z columns"},
      {"CONST", "the leading ones are always on (CONST = YES)"},
      {"Z-", "the z-vectors follow --z"},
      {"ITER", "use --iterations"},
      {"WID", "the field width is chosen from the values"}};
  ParameterLines out;
  for (const std::string& given : options) {
    std::string line = trim(given);
    std::string name = "--option " + quoted(given);
    std::size_t eq = line.find('=');
    if (eq == std::string::npos || trim(line.substr(0, eq)).empty())
      throw BadInput(name + ": expected KEY=VALUE");
    if (line.size() > static_cast<std::size_t>(kLineLength))
      throw BadInput(name + ": longer than the parameter file's " + std::to_string(kLineLength) +
                     " columns");
    if (line.find('!') != std::string::npos)
      throw BadInput(name + ": a \"!\" would make the whole line a comment");
    if (isEndOfData(line))
      throw BadInput(name + ": holds the words END, OF and DATA, which end the parameter file");
    std::string setting = ownedSetting(trim(line.substr(0, eq)));
    checkOwnedByFlags(rq, name, setting);
    if (setting == "M") {
      out.mLine = line;
    } else if (setting == "L-" || setting == "DIAG") {
      const std::string value = line.substr(eq + 1);
      if (setting == "L-")  // as kova reads it: USER anywhere in the value
        out.lMatrix =
            value.find("USE") != std::string::npos || value.find("use") != std::string::npos;
      out.lines.push_back(line);
    } else if (!setting.empty()) {
      throw BadInput(name + ": set by kova_prepare itself (" + why.at(setting) + ")");
    } else {
      out.lines.push_back(line);
    }
  }
  return out;
}

bool truthValue(const std::string& text, bool& value) {
  std::string t = lower(trim(text));
  if (t == "1" || t == "true" || t == "t" || t == "yes" || t == "y") {
    value = true;
  } else if (t.empty() || t == "0" || t == "false" || t == "f" || t == "no" || t == "n") {
    value = false;
  } else {
    return false;
  }
  return true;
}

// One numeric field of the data files, checked.
struct Number {
  std::string text;  // the CSV's spelling, trimmed; empty for a blank forecast y
  Decimal value;
  int line = 0;
  int column = 0;
};

Number readNumber(const Context& c, const CsvRow& row, int column, const char* role) {
  Number n;
  n.text = trim(row.fields[column]);
  n.line = row.fieldLines[column];
  n.column = column;
  if (n.text.empty()) throw BadInput(c.at(row, column) + ": an empty " + role);
  if (!parseDecimal(n.text, n.value))
    throw BadInput(c.at(row, column) + ": " + quoted(n.text) + " is not a number");
  double v = std::strtod(shortestSpelling(n.value).c_str(), nullptr);
  if (std::isinf(v) || (v == 0.0 && !n.value.digits.empty()))
    throw BadInput(c.at(row, column) + ": " + n.text + " is outside the range of double precision");
  return n;
}

// Names are cut to the field (less its leading blank) at a character
// boundary of UTF-8; control characters would break the line and become
// blanks.
std::string nameField(std::string name, int width) {
  for (char& ch : name)
    if (static_cast<unsigned char>(ch) < 32) ch = ' ';
  name = trim(name);
  std::size_t room = static_cast<std::size_t>(width - 1);
  if (name.size() > room) {
    std::size_t cut = room;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    name.erase(cut);
  }
  return std::string(static_cast<std::size_t>(width) - name.size(), ' ') + name;
}

int fieldsPerLine(int width) { return kLineLength / width; }

// The widest field with which a record of `count` fields still fits on its
// line and the continuation line (two lines of F = 80 / w fields); 80
// columns at most, and no narrower than 4, below which a line would hold
// more than the 20 fields that kova's formats repeat over.
int widestField(int count) { return count == 0 ? kLineLength : kLineLength / ((count + 1) / 2); }

void appendRecord(std::string& main, std::string& more, const std::vector<std::string>& fields,
                  int width) {
  int perLine = fieldsPerLine(width);
  for (int i = 0; i < static_cast<int>(fields.size()); ++i) (i < perLine ? main : more) += fields[i];
  main += '\n';
  if (static_cast<int>(fields.size()) > perLine) more += '\n';
}

std::string csvQuoted(const std::string& text) {
  std::string out(text.size() * 2 + 2, '\0');
  out.resize(csv_write(out.data(), out.size(), text.data(), text.size()));
  return out;
}

}  // namespace

Prepared prepare(const Request& rq, const CsvTable& table) {
  const Context c{table};
  Prepared out;
  ParameterLines params = checkOptions(rq);
  if (rq.x.empty()) throw BadInput("--x: at least one x column is needed");
  if (rq.iterations < 1) throw BadInput("--iterations: at least 1");
  if (rq.iterations > kMaxIterations)
    throw BadInput("--iterations: at most " + std::to_string(kMaxIterations) + ", as kova takes");
  if (rq.forecastLast < 0) throw BadInput("--forecast-last: not below 0");

  const int gCol = findColumn(c, rq.group, "--group");
  const int yCol = findColumn(c, rq.y, "--y");
  std::vector<int> xCols, zCols;
  for (const std::string& name : rq.x) xCols.push_back(findColumn(c, name, "--x"));
  for (const std::string& name : rq.z) zCols.push_back(findColumn(c, name, "--z"));
  const int tCol = rq.time.empty() ? -1 : findColumn(c, rq.time, "--time");
  const int fCol = rq.forecastColumn.empty() ? -1 : findColumn(c, rq.forecastColumn, "--forecast-column");
  {
    std::vector<int> yx = xCols;
    yx.push_back(yCol);
    std::sort(yx.begin(), yx.end());
    if (std::adjacent_find(yx.begin(), yx.end()) != yx.end())
      throw BadInput("--y/--x: a column is named twice; the x-values would be collinear");
    std::vector<int> z = zCols;
    std::sort(z.begin(), z.end());
    if (std::adjacent_find(z.begin(), z.end()) != z.end())
      throw BadInput("--z: a column is named twice; the z-values would be collinear");
  }
  const int nx = static_cast<int>(xCols.size()), nz = static_cast<int>(zCols.size());
  const int K = nx + 1, P = nz + 1;
  const std::vector<bool> random = randomCoefficients(rq);
  const int M = static_cast<int>(std::count(random.begin(), random.end(), true));
  if (params.mLine && !params.lMatrix) {
    const std::string value = trim(params.mLine->substr(params.mLine->find('=') + 1));
    if (std::strtol(value.c_str(), nullptr, 10) != K)
      throw BadInput("--option " + quoted(*params.mLine) +
                     ": without an L-matrix kova takes only M = K = " + std::to_string(K) +
                     "; --random NAMES writes M and an L-matrix that picks the random "
                     "coefficients");
  }

  // Rows and groups.
  const int rowCount = static_cast<int>(table.rows.size());
  if (rowCount == 0) throw BadInput(c.at(table.headerLine) + ": the header is not followed by any data row");
  if (rowCount > kMaxRecords)
    throw BadInput(c.at(table.rows[kMaxRecords].line) + ": row " + std::to_string(kMaxRecords + 1) +
                   "; kova takes at most " + std::to_string(kMaxRecords) + " data rows");
  std::map<std::string, int> ids;
  std::vector<std::string> groupNames;
  std::vector<std::vector<int>> members;  // row indices of each group
  for (int r = 0; r < rowCount; ++r) {
    const CsvRow& row = table.rows[r];
    const std::string& value = row.fields[gCol];
    if (trim(value).empty()) throw BadInput(c.at(row, gCol) + ": an empty group value");
    auto [it, fresh] = ids.emplace(value, static_cast<int>(groupNames.size()) + 1);
    if (fresh) {
      if (it->second > kMaxGroups)
        throw BadInput(c.at(row, gCol) + ": group " + quoted(value) + " is the " +
                       std::to_string(kMaxGroups + 1) + "th group; kova takes at most " +
                       std::to_string(kMaxGroups));
      groupNames.push_back(value);
      members.emplace_back();
    }
    members[it->second - 1].push_back(r);
  }

  // Periods: numbers when every period is a number, else text.
  if (tCol >= 0) {
    bool numeric = true;
    std::vector<long double> key(rowCount);
    for (int r = 0; r < rowCount; ++r) {
      const CsvRow& row = table.rows[r];
      std::string t = trim(row.fields[tCol]);
      if (t.empty()) throw BadInput(c.at(row, tCol) + ": an empty period");
      Decimal d;
      if (!parseDecimal(t, d)) {
        numeric = false;
      } else {
        key[r] = std::strtold(shortestSpelling(d).c_str(), nullptr);
      }
    }
    auto before = [&](int a, int b) {
      if (numeric) return key[a] < key[b];
      return trim(table.rows[a].fields[tCol]) < trim(table.rows[b].fields[tCol]);
    };
    for (std::size_t g = 0; g < members.size(); ++g) {
      std::vector<int>& m = members[g];
      std::stable_sort(m.begin(), m.end(), before);
      for (std::size_t i = 1; i < m.size(); ++i) {
        if (before(m[i - 1], m[i])) continue;
        const CsvRow& row = table.rows[std::max(m[i - 1], m[i])];
        const CsvRow& other = table.rows[std::min(m[i - 1], m[i])];
        throw BadInput(c.at(row, tCol) + ": period " + trim(row.fields[tCol]) + " of group " +
                       quoted(groupNames[g]) + " is also on line " + std::to_string(other.line));
      }
    }
  }

  // Forecast records.
  std::vector<char> forecast(rowCount, 0);
  for (auto& m : members) {
    int n = static_cast<int>(m.size());
    for (int i = std::max(0, n - rq.forecastLast); i < n; ++i) forecast[m[i]] = 1;
  }
  if (fCol >= 0) {
    for (int r = 0; r < rowCount; ++r) {
      bool on = false;
      if (!truthValue(table.rows[r].fields[fCol], on))
        throw BadInput(c.at(table.rows[r], fCol) + ": " + quoted(trim(table.rows[r].fields[fCol])) +
                       " is not a true/false value (1/0, true/false, yes/no, or empty)");
      forecast[r] = on;
    }
  }

  const Groups layout{groupNames, members, forecast};
  if (tCol >= 0) checkTimeGaps(rq, table, tCol, layout, out.warnings);

  // Values.
  std::vector<Number> y(rowCount);
  std::vector<std::vector<Number>> x(rowCount), z(rowCount);
  std::vector<char> yGiven(rowCount, 1);
  for (int r = 0; r < rowCount; ++r) {
    const CsvRow& row = table.rows[r];
    if (forecast[r] && trim(row.fields[yCol]).empty()) {
      yGiven[r] = 0;
    } else {
      y[r] = readNumber(c, row, yCol,
                        forecast[r] ? "y" : "y value on a row that is not a forecast record");
    }
    for (int col : xCols) x[r].push_back(readNumber(c, row, col, "x value"));
    for (int col : zCols) z[r].push_back(readNumber(c, row, col, "z value"));
  }
  warnConstantColumns(table, xCols, zCols, layout, out.warnings);
  int forecasts = 0;
  for (std::size_t g = 0; g < members.size(); ++g) {
    int f = 0;
    for (int r : members[g]) f += forecast[r];
    forecasts += f;
    int n = static_cast<int>(members[g].size());
    if (n - f < K * P + 1)
      throw BadInput(c.at(table.rows[members[g][0]], gCol) + ": group " + quoted(groupNames[g]) +
                     " has " + std::to_string(n - f) + " estimation periods (" + std::to_string(n) +
                     " rows, " + std::to_string(f) + " of them forecast records); K*P + 1 = " +
                     std::to_string(K * P + 1) + " are needed");
  }

  // Field width: the narrowest that holds every value exactly, with a blank
  // before it, and no narrower than 8 columns when the records allow.
  const int widest = std::min(widestField(1 + nx), widestField(nz));
  if (widest < 4)
    throw BadInput("--x/--z: too many columns for kova's records (a record holds at most 40 fields)");
  int need = 0;
  auto measure = [&](const Number& n) {
    if (n.line == 0) return;
    int len = static_cast<int>(std::min(n.text.size(), shortestSpelling(n.value).size()));
    need = std::max(need, len + 1);
  };
  for (int r = 0; r < rowCount; ++r) {
    measure(y[r]);
    for (const Number& n : x[r]) measure(n);
    for (const Number& n : z[r]) measure(n);
  }
  const int w = std::min(widest, std::max(need, std::min(8, widest)));
  auto field = [&](const Number& n) -> std::string {
    if (n.line == 0) return std::string(static_cast<std::size_t>(w), ' ');
    std::string text = n.text;
    if (static_cast<int>(text.size()) > w - 1) text = shortestSpelling(n.value);
    if (static_cast<int>(text.size()) > w - 1) {
      Decimal rounded;
      std::string where = table.file + ", line " + std::to_string(n.line) + ", column " +
                          quoted(table.header[n.column]) + ": " + n.text;
      if (!roundToFit(n.value, w - 1, rounded))
        throw BadInput(where + " cannot be written in a field of " + std::to_string(w) + " columns");
      text = shortestSpelling(rounded);
      out.warnings.push_back(where + " does not fit in a field of " + std::to_string(w) +
                             " columns; written as " + text + ", rounded by " +
                             differenceText(n.value, rounded));
    }
    std::string f = std::string(static_cast<std::size_t>(w) - text.size(), ' ') + text;
    double read = 0.0;
    if (!readRealField(f, read)) throw std::logic_error("unreadable field [" + f + "]");
    return f;
  };

  // Records, group by group in order of first appearance.
  std::string yx1, yx2, z1, z2, keys;
  {
    std::vector<std::string> names{nameField(table.header[yCol], w)};
    for (int col : xCols) names.push_back(nameField(table.header[col], w));
    appendRecord(yx1, yx2, names, w);
    if (nz > 0) {
      names.clear();
      for (int col : zCols) names.push_back(nameField(table.header[col], w));
      appendRecord(z1, z2, names, w);
    }
  }
  keys = "! Group identifier of each record (the map is in GROUPS.csv),\n"
         "! F for a forecast record, FY when its y is given.\n";
  std::string groupsCsv = "id,group,rows,forecast_rows\n";
  // The --time value of every record under kova's period numbers: the
  // estimation records 1..T in order, the forecast records T+1.. after them.
  std::string periodsCsv = "id,period,time\n";
  for (std::size_t g = 0; g < members.size() && tCol >= 0; ++g) {
    int period = 0;
    for (bool forecastRecords : {false, true})
      for (int r : members[g]) {
        if (static_cast<bool>(forecast[r]) != forecastRecords) continue;
        const std::string time = trim(table.rows[r].fields[tCol]);
        periodsCsv += std::to_string(g + 1) + "," + std::to_string(++period) + "," +
                      (time.find_first_of(",\"") == std::string::npos ? time : csvQuoted(time)) +
                      "\n";
      }
  }
  for (std::size_t g = 0; g < members.size(); ++g) {
    int f = 0;
    for (int r : members[g]) {
      std::vector<std::string> fields{field(y[r])};
      for (const Number& n : x[r]) fields.push_back(field(n));
      appendRecord(yx1, yx2, fields, w);
      if (nz > 0) {
        fields.clear();
        for (const Number& n : z[r]) fields.push_back(field(n));
        appendRecord(z1, z2, fields, w);
      }
      keys += std::to_string(g + 1) + (forecast[r] ? (yGiven[r] ? " FY" : " F") : "") + "\n";
      f += forecast[r];
    }
    groupsCsv += std::to_string(g + 1) + "," + csvQuoted(groupNames[g]) + "," +
                 std::to_string(members[g].size()) + "," + std::to_string(f) + "\n";
  }
  keys += "END OF DATA\n";

  std::string p = "! Written by kova_prepare; the group names are in GROUPS.csv.\n"
                  "BEGIN GROUP (ALL)\n";
  p += "T = " + std::to_string(rowCount) + "\n";
  p += "K = " + std::to_string(K) + "\n";
  p += "P = " + std::to_string(P) + "\n";
  p += params.mLine ? *params.mLine + "\n" : "M = " + std::to_string(M) + "\n";
  p += "CONST = YES\n";
  p += std::string("Z-VECTORS = ") + (nz > 0 ? "USER" : "DEFAULT") + "\n";
  std::string l1, l2;
  if (!rq.random.empty()) {
    p += "L-MATRIX = USER\n";
    appendLMatrix(random, w, l1, l2);
  }
  if (rq.diagonal) p += "DIAGONAL PHI = YES\nDIAGONAL DELTA = YES\n";
  p += "WIDTH = " + std::to_string(w) + "\n";
  p += "ITERATIONS = " + std::to_string(rq.iterations) + "\n";
  for (const std::string& line : params.lines) p += line + "\n";
  p += "END GROUP (ALL)\nEND OF DATA\n";

  out.files.push_back({"PARAMTRS", p});
  out.files.push_back({"YXDKEY", keys});
  out.files.push_back({"YXDATA1", yx1});
  if (!yx2.empty()) out.files.push_back({"YXDATA2", yx2});
  if (!z1.empty()) out.files.push_back({"ZDATA1", z1});
  if (!z2.empty()) out.files.push_back({"ZDATA2", z2});
  if (!l1.empty()) out.files.push_back({"LDATA1", l1});
  if (!l2.empty()) out.files.push_back({"LDATA2", l2});
  out.files.push_back({"GROUPS.csv", groupsCsv});
  if (tCol >= 0) out.files.push_back({"PERIODS.csv", periodsCsv});
  out.summary = std::to_string(members.size()) + " groups, " + std::to_string(rowCount) +
                " records (" + std::to_string(forecasts) + " forecast), K = " + std::to_string(K) +
                ", P = " + std::to_string(P) +
                (rq.random.empty() ? "" : ", M = " + std::to_string(M)) + ", field width " +
                std::to_string(w);
  return out;
}

}  // namespace kova::prepare
