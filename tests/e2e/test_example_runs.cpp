// Whole runs on the shipped example directories: exit status, the parameter
// echo, the log of file operations, the data echo against the source data,
// and the files left behind.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "support/run_kova.h"
#include "support/temp_dir.h"

namespace kova {
namespace {

namespace fs = std::filesystem;
using testing::readFile;

using testing::copyExample;

std::set<std::string> filesHere() {
  std::set<std::string> names;
  for (auto& entry : fs::directory_iterator(".")) names.insert(entry.path().filename().string());
  return names;
}

// The result tables a complete run adds.
void addResultTables(std::set<std::string>& names) {
  for (const char* table : {"KOVA_ESTIMATES.csv", "KOVA_BETA.csv", "KOVA_FITTED.csv",
                            "KOVA_FORECASTS.csv", "KOVA_FORECAST_ERRORS.csv", "KOVA_WARNINGS.csv",
                            "KOVA_INNOVATIONS.csv"})
    names.insert(table);
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The Grunfeld rows of each firm, in file order: invest, value, capital.
std::map<std::string, std::vector<std::array<double, 3>>> grunfeldByFirm(
    std::vector<std::string>& firmOrder) {
  std::ifstream in(fs::path(KOVA_TEST_DATA) / "grunfeld" / "grunfeld.csv");
  std::map<std::string, std::vector<std::array<double, 3>>> rows;
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::stringstream fields(line);
    std::string invest, value, capital, firm;
    std::getline(fields, invest, ',');
    std::getline(fields, value, ',');
    std::getline(fields, capital, ',');
    std::getline(fields, firm, ',');
    if (!rows.count(firm)) firmOrder.push_back(firm);
    rows[firm].push_back({std::stod(invest), std::stod(value), std::stod(capital)});
  }
  return rows;
}

// Lines of numbers up to the next empty line (or the end).
std::vector<std::vector<double>> numberRows(std::istream& report) {
  std::vector<std::vector<double>> rows;
  std::string line;
  while (std::getline(report, line) && !line.empty()) {
    std::stringstream values(line);
    std::vector<double> row;
    double v;
    while (values >> v) row.push_back(v);
    rows.push_back(row);
  }
  return rows;
}

// The printed rows of one echo table, read from the line after its heading:
// the estimation rows under the name line, then the rows after the forecast
// heading, if there is one.
std::vector<std::vector<double>> printedTable(std::istream& report) {
  std::string line;
  std::getline(report, line);  // empty line before the names
  std::getline(report, line);  // the names
  auto rows = numberRows(report);
  std::getline(report, line);
  if (line.find("FOR FORECAST:") == std::string::npos) return rows;
  auto forecast = numberRows(report);
  rows.insert(rows.end(), forecast.begin(), forecast.end());
  return rows;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

std::string saveName(const std::string& base, int group) {
  char suffix[8];
  std::snprintf(suffix, sizeof suffix, ".%03d", group);
  return base + suffix;
}

// Every printed PI matrix with the standard errors that follow it.
struct PiEstimateText {
  std::vector<double> pi, se;
};

std::vector<PiEstimateText> piEstimates(const std::string& report) {
  std::vector<PiEstimateText> out;
  std::istringstream lines(report);
  std::string line;
  auto numbers = [](const std::string& text, bool numbered, std::vector<double>& into) {
    std::istringstream fields(text);
    std::string field;
    for (int i = 0; fields >> field; ++i)
      if (!numbered || i % 2 == 1) into.push_back(std::stod(field));
  };
  while (std::getline(lines, line)) {
    if (line.find(" THE PI MATRIX (") != 0) continue;
    PiEstimateText e;
    while (std::getline(lines, line) && line.find("SIGMA**2") == std::string::npos)
      if (line.find("COLUMN") == std::string::npos) numbers(line, false, e.pi);
    while (std::getline(lines, line) && line != "STANDARD ERRORS:") {
    }
    std::getline(lines, line);
    while (std::getline(lines, line) && !line.empty()) numbers(line, true, e.se);
    out.push_back(e);
  }
  return out;
}

TEST(ExampleRuns, GrunfeldRunsToTheEndAndEchoesItsData) {
  testing::TempDir dir;
  copyExample("grunfeld-firms");
  auto before = filesHere();
  auto result = testing::runKova();
  ASSERT_EQ(result.status, 0) << result.console;
  EXPECT_EQ(result.console.find("PROGRAM STOPS"), std::string::npos);

  std::string report = readFile("KOVAOUT");
  EXPECT_TRUE(contains(report, "\n                        GRUNFELD INVESTMENT DATA, 11 FIRMS\n"));
  EXPECT_TRUE(contains(report, "\n   T (ALL GROUPS, ESTIMATION AND FORECAST)  =  220\n"));
  EXPECT_TRUE(contains(report, "\n   K   =  3\n"));
  EXPECT_TRUE(contains(report, "\n   NUMBER OF ITERATIONS         =  5\n"));  // as each group says
  EXPECT_TRUE(contains(report, "\n   GENERALIZED LEAST SQUARES        =  NO\n"));

  std::string log = readFile("KOVALOG");
  for (const char* line :
       {" FROM SUBROUTINE GETPRM: NORMAL RETURN FROM OPENING OF FILE PARAMTRS.  IOCOND =    0.",
        " FROM SUBROUTINE GETPRM: NORMAL RETURN FROM CLOSING OF FILE PARAMTRS.  IOCOND =    0.",
        " FROM SUBROUTINE GETKEY: NORMAL RETURN FROM OPENING OF FILE YXDKEY.  IOCOND =    0.",
        " FROM SUBROUTINE GETKEY: NORMAL RETURN FROM CLOSING OF FILE YXDKEY.  IOCOND =    0.",
        " FROM SUBROUTINE SETDAT: NORMAL RETURN FROM OPENING OF FILE YXDATA1.  IOCOND =    0.",
        " FROM SUBROUTINE SETDAT: NORMAL RETURN FROM CLOSING OF FILE YXDATA1.  IOCOND =    0.",
        " FROM SUBROUTINE GETDTA: NORMAL RETURN FROM OPENING OF FILE YDATA.011.  IOCOND =    0.",
        " FROM SUBROUTINE DELETF: NORMAL RETURN FROM CLOSING OF FILE DXZGMATS.011.  IOCOND =    0."})
    EXPECT_TRUE(contains(log, std::string("\n") + line + "\n")) << line;
  EXPECT_EQ(log.find("ERROR"), std::string::npos);

  // Every firm's estimation years, then its two forecast years, as printed.
  std::vector<std::string> firms;
  auto data = grunfeldByFirm(firms);
  std::istringstream lines(report);
  std::string line;
  std::size_t firm = 0;
  while (std::getline(lines, line)) {
    if (line != "---- DATA FROM \"FILE YXDATA1\" , \"FILE YXDATA2\" ----") continue;
    ASSERT_LT(firm, firms.size());
    auto estimation = printedTable(lines);
    const auto& expected = data[firms[firm]];
    ASSERT_EQ(estimation.size(), expected.size()) << firms[firm];
    for (std::size_t t = 0; t < expected.size(); ++t) {
      ASSERT_EQ(estimation[t].size(), 4u);
      const double printed[] = {estimation[t][0], estimation[t][2], estimation[t][3]};
      EXPECT_EQ(estimation[t][1], 1.0);
      for (int c = 0; c < 3; ++c)  // five significant digits
        EXPECT_NEAR(printed[c], expected[t][c], 5e-5 * std::fabs(expected[t][c]) + 1e-12)
            << firms[firm] << " year " << t;
    }
    ++firm;
  }
  EXPECT_EQ(firm, firms.size());
  std::size_t forecastHeadings = 0;
  for (std::size_t at = report.find("\nY-DATA AND X-DATA FOR FORECAST:\n"); at != std::string::npos;
       at = report.find("\nY-DATA AND X-DATA FOR FORECAST:\n", at + 1))
    ++forecastHeadings;
  EXPECT_EQ(forecastHeadings, firms.size());
  EXPECT_EQ(std::count(report.begin(), report.end(), '\n') > 0, true);
  EXPECT_TRUE(contains(report, "\nNUMBER OF ITERATIONS FOR THIS GROUP =   5\n"));

  // Every group runs its five passes to the end, each with its PI, BETA(t)
  // and forecast sections.
  EXPECT_EQ(occurrences(report, "\n THE PI MATRIX ( 3-COMPONENT VECTOR )"), 5 * firms.size());
  EXPECT_EQ(occurrences(report, " BETA(t) VECTORS ---\n"), 5 * firms.size());
  EXPECT_EQ(occurrences(report, "\n FORECAST BETA MATRIX ( 3 BY 2 MATRIX )"), 5 * firms.size());

  // Only the report, the log, the result tables and the BETA save files (the
  // group's BETA(t) and its pooled BETA, kept by default) are new: every
  // scratch file is gone.
  auto after = filesHere();
  before.insert("KOVAOUT");
  before.insert("KOVALOG");
  addResultTables(before);
  for (int firm = 1; firm <= 11; ++firm) {
    before.insert(saveName("BETASAV", firm));
    before.insert(saveName("BETAVECP", firm));  // the pooled BETA matrix
  }
  EXPECT_EQ(after, before);
}

}  // namespace
}  // namespace kova

namespace kova {
namespace {

// Reads every record of an unformatted scratch file as gfortran frames it:
// a 4-byte little-endian length before and after each payload of doubles.
std::vector<std::vector<double>> framedRecords(const std::string& name) {
  std::string bytes = readFile(name);
  std::vector<std::vector<double>> records;
  std::size_t at = 0;
  auto length = [&](std::size_t pos) {
    std::uint32_t n = 0;
    for (int i = 0; i < 4; ++i) n |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[pos + i])) << (8 * i);
    return n;
  };
  while (at + 8 <= bytes.size()) {
    std::uint32_t n = length(at);
    EXPECT_EQ(length(at + 4 + n), n) << name;
    std::vector<double> values(n / sizeof(double));
    std::memcpy(values.data(), bytes.data() + at + 4, n);
    records.push_back(values);
    at += 8 + n;
  }
  EXPECT_EQ(at, bytes.size()) << name;
  return records;
}

TEST(ExampleRuns, StoppedRunLeavesEachGroupsRecordsInItsScratchFiles) {
  testing::TempDir dir;
  copyExample("grunfeld-firms");
  // Cut the data file after 209 records: the first block of 200 records has
  // been routed when the missing line stops the run.
  std::string data = readFile("YXDATA1");
  std::size_t end = 0;
  for (int line = 0; line < 210; ++line) end = data.find('\n', end) + 1;
  testing::writeFile("YXDATA1", data.substr(0, end));
  auto result = testing::runKova();
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(contains(result.console,
                       "\n IN SUBROUTINE SETDAT, LINE 211 OF FILE YXDATA1 IS MISSING: THE FILE "
                       "ENDS BEFORE IT.\n PROGRAM STOPS.\n"))
      << result.console;

  std::vector<std::string> firms;
  auto source = grunfeldByFirm(firms);
  const auto& first = source[firms[0]];
  auto y = framedRecords("YDATA.001");
  auto x = framedRecords("XDATA.001");
  auto yf = framedRecords("YFCAST.001");
  ASSERT_EQ(y.size(), 18u);
  ASSERT_EQ(yf.size(), 2u);
  for (std::size_t t = 0; t < 18; ++t) {
    EXPECT_EQ(y[t], std::vector<double>{first[t][0]});
    EXPECT_EQ(x[t], (std::vector<double>{1.0, first[t][1], first[t][2]}));
  }
  EXPECT_EQ(yf[1], std::vector<double>{first[19][0]});
  // The last firm's records lie beyond the cut: its files exist and are empty.
  EXPECT_TRUE(framedRecords("YDATA.011").empty());
  EXPECT_TRUE(fs::exists("SAVEKEYS"));
}

}  // namespace
}  // namespace kova

namespace kova {
namespace {

struct KeyLine {
  int group = 0;
  bool forecast = false, yGiven = false;
};

// The key lines of a key file, read plainly: comments skipped, up to the end line.
std::vector<KeyLine> keyLines(const std::string& text) {
  std::vector<KeyLine> keys;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.find("END OF DATA") != std::string::npos) break;
    if (line.find('!') != std::string::npos || line.find_first_not_of(' ') == std::string::npos)
      continue;
    KeyLine key;
    key.forecast = line.find('F') != std::string::npos;
    key.yGiven = line.find('Y') != std::string::npos;
    key.group = std::stoi(line);
    keys.push_back(key);
  }
  return keys;
}

TEST(ExampleRuns, SimulatedRunsToTheEndAndEchoesItsFiles) {
  testing::TempDir dir;
  copyExample("simulated");
  auto before = filesHere();
  auto result = testing::runKova();
  ASSERT_EQ(result.status, 0) << result.console;
  std::string report = readFile("KOVAOUT");
  EXPECT_TRUE(contains(report, "\n   Z-VECTORS                             =  USER'S\n"));

  // Expected rows per group from the files themselves: estimation records in
  // file order, then forecast records; fields are 12 columns wide.
  auto keys = keyLines(readFile("YXDKEY"));
  std::istringstream yx(readFile("YXDATA1")), z(readFile("ZDATA1"));
  std::string yxLine, zLine;
  std::getline(yx, yxLine);
  std::getline(z, zLine);
  std::map<int, std::vector<std::vector<double>>> estimation, forecast, zEst, zFc;
  for (const KeyLine& key : keys) {
    std::getline(yx, yxLine);
    std::getline(z, zLine);
    auto number = [](const std::string& line, int f) { return std::stod(line.substr(12 * f, 12)); };
    double y = key.forecast && !key.yGiven ? -999999.0 : number(yxLine, 0);
    std::vector<double> row{y, 1.0, number(yxLine, 1), number(yxLine, 2)};
    std::vector<double> zRow{1.0, number(zLine, 0)};
    (key.forecast ? forecast : estimation)[key.group].push_back(row);
    (key.forecast ? zFc : zEst)[key.group].push_back(zRow);
  }

  std::istringstream lines(report);
  std::string line;
  std::vector<int> groups;
  for (auto& [group, rows] : estimation) groups.push_back(group);
  std::size_t yxTables = 0, zTables = 0;
  while (std::getline(lines, line)) {
    bool isYX = line == "---- DATA FROM \"FILE YXDATA1\" , \"FILE YXDATA2\" ----";
    bool isZ = line == "---- DATA FROM \"FILE ZDATA1\" , \"FILE ZDATA2\" ----";
    if (!isYX && !isZ) continue;
    int group = groups.at(isYX ? yxTables++ : zTables++);
    auto expected = isYX ? estimation[group] : zEst[group];
    const auto& more = isYX ? forecast[group] : zFc[group];
    expected.insert(expected.end(), more.begin(), more.end());
    auto printed = printedTable(lines);
    ASSERT_EQ(printed.size(), expected.size()) << "group " << group;
    for (std::size_t t = 0; t < expected.size(); ++t) {
      ASSERT_EQ(printed[t].size(), expected[t].size());
      for (std::size_t c = 0; c < expected[t].size(); ++c)
        EXPECT_NEAR(printed[t][c], expected[t][c], 5e-5 * std::fabs(expected[t][c]) + 1e-12)
            << "group " << group << " row " << t << " column " << c;
    }
  }
  EXPECT_EQ(yxTables, groups.size());
  EXPECT_EQ(zTables, groups.size());

  // The PI estimates lie within reach of the true PI the data were drawn
  // from: on pass 0 (starting PHI and DELTA) within 3.5 of their standard
  // errors, on the last pass (PHI and DELTA estimated from some 20 periods,
  // so the errors are less certain) within 5.
  const std::vector<double> truePi{1, 2, -1, 0.5, -0.3, 0.8};  // TRUTH, column by column
  auto estimates = piEstimates(report);
  ASSERT_EQ(estimates.size(), 5 * groups.size());
  for (std::size_t g = 0; g < groups.size(); ++g)
    for (auto [pass, reach] : {std::pair{0, 3.5}, std::pair{4, 5.0}}) {
      const PiEstimateText& e = estimates[5 * g + pass];
      ASSERT_EQ(e.pi.size(), 6u);
      ASSERT_EQ(e.se.size(), 6u);
      for (int i = 0; i < 6; ++i)
        EXPECT_LT(std::fabs(e.pi[i] - truePi[i]), reach * e.se[i])
            << "group " << groups[g] << " pass " << pass << " component " << i + 1;
    }

  auto after = filesHere();
  before.insert("KOVAOUT");
  before.insert("KOVALOG");
  addResultTables(before);
  for (int group : groups) {
    before.insert(saveName("BETASAV", group));
    before.insert(saveName("BETAVECP", group));
  }
  EXPECT_EQ(after, before);
}

// Every pass reports its converted count; PI(2) + PI(3) = 5.2 and
// PI(1) >= 4 hold on every pass, and PI(1) >= 4 binds on pass 0 of each
// group (the data were drawn with PI(1) = 1.1).
TEST(ExampleRuns, RestrictedRunsEveryPassWithItsConvertedInequality) {
  testing::TempDir dir;
  copyExample("restricted");
  auto result = testing::runKova();
  ASSERT_EQ(result.status, 0) << result.console;
  std::string report = readFile("KOVAOUT");
  EXPECT_EQ(occurrences(report, "INTO EQUALITY CONSTRAINTS IN THE CALCULATION OF PI  "), 12u);
  auto estimates = piEstimates(report);
  ASSERT_EQ(estimates.size(), 12u);  // 3 groups, 4 passes
  for (std::size_t i = 0; i < estimates.size(); ++i) {
    const PiEstimateText& e = estimates[i];
    ASSERT_EQ(e.pi.size(), 3u);
    EXPECT_GE(e.pi[0], 4.0 - 1e-4);
    if (i % 4 == 0) {
      EXPECT_NEAR(e.pi[0], 4.0, 1e-4);
    }
    EXPECT_NEAR(e.pi[1] + e.pi[2], 5.2, 2e-4);
  }
}

}  // namespace
}  // namespace kova
