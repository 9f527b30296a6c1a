// kova_prepare as its users meet it: a CSV panel in, a run directory out,
// and kova run on that directory. The references are the CSV values
// themselves (read back from the data files exactly, and from the run's
// data echo to its five digits) and the report of the hand-made Grunfeld
// example directory.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <vector>

#include "io/edit_descriptors.h"
#include "support/run_kova.h"
#include "support/temp_dir.h"

namespace kova {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::writeFile;

using Result = testing::ToolResult;
using testing::runTool;

Result prepare(const std::string& args) {
  fs::path tool = fs::path(KOVA_SIMULATOR).parent_path() / "kova_prepare";
  if (!fs::exists(tool)) ADD_FAILURE() << "build the kova_prepare target first: " << tool;
  return runTool("'" + tool.string() + "' " + args);
}

int runKova(const fs::path& dir) {
  return runTool("cd '" + dir.string() + "' && '" + KOVA_BINARY + "'").status;
}

std::vector<std::string> lines(const fs::path& file) {
  std::vector<std::string> out;
  std::istringstream in(readFile(file));
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Key lines of YXDKEY (comments dropped, up to the end line).
std::vector<std::string> keyLines(const fs::path& file) {
  std::vector<std::string> keys;
  for (const std::string& line : lines(file)) {
    if (line.find("END OF DATA") != std::string::npos) break;
    if (line.find('!') == std::string::npos && !line.empty()) keys.push_back(line);
  }
  return keys;
}

TEST(KovaPrepare, GrunfeldPanelGivesTheExampleDirectoriesAndTheirReports) {
  // The default options, and the GLS mode.
  const std::pair<const char*, const char*> examples[] = {
      {"grunfeld-firms", "--option 'TITLE = GRUNFELD INVESTMENT DATA, 11 FIRMS'"},
      {"grunfeld-ar1",
       "--option GLS=YES --option 'TITLE = GRUNFELD INVESTMENT DATA, 11 FIRMS, AR(1) ERRORS'"},
      {"grunfeld",
       "--option 'TITLE = GRUNFELD INVESTMENT DATA, COMMON PHI AND DELTA' --option 'DIAGONAL "
       "PHI = YES' --option 'DIAGONAL DELTA = YES' --option 'COMMON MODEL = REML'"}};
  for (const auto& [name, options] : examples) {
    SCOPED_TRACE(name);
    testing::TempDir dir;
    std::string csv = std::string(KOVA_TEST_DATA) + "/grunfeld/grunfeld.csv";
    Result r = prepare("'" + csv + "' --group firm --y invest --x value,capital --time year "
                       "--forecast-last 2 " + options + " --out run");
    ASSERT_EQ(r.status, 0) << r.err;
    // The shipped example was made by this command: every file it holds matches.
    fs::copy(fs::path(KOVA_SOURCE_DIR) / "examples" / name, "example");
    fs::remove("example/README.md");
    fs::remove("example/plots.png");
    std::size_t compared = 0;
    for (const auto& entry : fs::directory_iterator("example")) {
      EXPECT_EQ(readFile(entry.path()), readFile("run" / entry.path().filename()))
          << entry.path().filename();
      ++compared;
    }
    EXPECT_EQ(compared, 5u);  // PARAMTRS, YXDKEY, YXDATA1, GROUPS.csv, PERIODS.csv
    ASSERT_EQ(runKova("run"), 0) << readFile("run/KOVALOG");
    ASSERT_EQ(runKova("example"), 0);
    EXPECT_EQ(lines("run/KOVAOUT"), lines("example/KOVAOUT"));
    EXPECT_EQ(lines("run/GROUPS.csv")[1], "1,\"General Motors\",20,2");
  }
}

// A panel drawn from the model, written as CSV with a byte-order mark, CRLF
// line ends, quoted names with commas and quotes, rows out of order and
// interleaved across groups, values of 3 to 12 digits and one of 45.
struct Panel {
  struct Row {
    std::string group, year, y, x[3], z, forecast;
  };
  std::vector<std::string> groups{"Acme, Inc.", "O\"Brien & Sons", "plain", "Z\xC3\xBCrich AG"};
  std::vector<Row> rows;
};

Panel drawPanel() {
  Panel p;
  std::mt19937 gen(7);
  std::normal_distribution<double> normal;
  auto text = [&](double v, int digits) {
    char b[64];
    std::snprintf(b, sizeof b, "%.*g", digits, v);
    return std::string(b);
  };
  for (std::size_t g = 0; g < p.groups.size(); ++g) {
    int periods = 13 + static_cast<int>(g);
    for (int t = 0; t < periods; ++t) {
      Panel::Row row;
      row.group = p.groups[g];
      row.year = std::to_string(1990 + t);
      double x[3] = {5 + normal(gen), 10 + 2 * normal(gen), 1e-4 * normal(gen)};
      for (int i = 0; i < 3; ++i) row.x[i] = text(x[i], 3 + (t * 7 + i) % 10);
      double z = normal(gen);
      row.z = text(z, 6);
      double y = 1 + 0.5 * x[0] - 0.3 * x[1] + 2e3 * x[2] + z * (0.2 + 0.1 * x[0]) + 0.3 * normal(gen);
      row.y = text(y, 4 + t % 9);
      // Period 5 is a forecast row with its y, the last period one without.
      row.forecast = (t == 5) ? "yes" : (t == periods - 1 ? "1" : "0");
      if (t == periods - 1) row.y = "";
      p.rows.push_back(row);
    }
  }
  p.rows[3].x[1] = "10.12345678901234567890123456789012345678901234";
  std::shuffle(p.rows.begin(), p.rows.end(), gen);
  return p;
}

std::string csvField(const std::string& s) {
  if (s.find_first_of(",\"") == std::string::npos) return s;
  std::string out = "\"";
  for (char c : s) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

TEST(KovaPrepare, SimulatedPanelRoundTripsThroughTheFilesAndTheDataEcho) {
  testing::TempDir dir;
  Panel p = drawPanel();
  std::string csv = "\xEF\xBB\xBF" "firm,year,\"y, dependent\",x1,x2,x3,z1,fc\r\n";
  for (const Panel::Row& r : p.rows)
    csv += csvField(r.group) + "," + r.year + "," + r.y + "," + r.x[0] + "," + r.x[1] + "," +
           r.x[2] + "," + r.z + "," + r.forecast + "\r\n";
  writeFile("panel.csv", csv);
  Result res = prepare("panel.csv --group firm --y 'y, dependent' --x x1,x2,x3 --z z1 "
                       "--time year --forecast-column fc --out run");
  ASSERT_EQ(res.status, 0) << res.err;

  // The one value that no field holds exactly is named and rounded with a
  // warning; the first row is on line 1 + (its position) after the header.
  std::size_t at = 0;
  while (p.rows[at].x[1].size() < 40) ++at;
  EXPECT_NE(res.err.find("panel.csv, line " + std::to_string(at + 2) + ", column \"x2\""),
            std::string::npos) << res.err;

  // Expected records: groups in order of first appearance, years ascending.
  std::vector<std::string> order;
  for (const Panel::Row& r : p.rows)
    if (std::find(order.begin(), order.end(), r.group) == order.end()) order.push_back(r.group);
  std::vector<Panel::Row> expected;
  std::vector<std::string> keys;
  std::string groupsCsv = "id,group,rows,forecast_rows\n";
  // kova numbers a group's estimation records 1..T and its forecast records
  // T+1.. after them, whatever their years: the labels follow that order.
  std::string periodsCsv = "id,period,time\n";
  for (std::size_t g = 0; g < order.size(); ++g) {
    std::vector<Panel::Row> mine;
    for (const Panel::Row& r : p.rows)
      if (r.group == order[g]) mine.push_back(r);
    std::sort(mine.begin(), mine.end(), [](auto& a, auto& b) { return a.year < b.year; });
    int period = 0;
    for (bool forecastRecords : {false, true})
      for (const Panel::Row& r : mine)
        if ((r.forecast != "0") == forecastRecords)
          periodsCsv += std::to_string(g + 1) + "," + std::to_string(++period) + "," + r.year + "\n";
    for (const Panel::Row& r : mine) {
      bool f = r.forecast != "0";
      keys.push_back(std::to_string(g + 1) + (f ? (r.y.empty() ? " F" : " FY") : ""));
      expected.push_back(r);
    }
    std::string quotedName = "\"";
    for (char c : order[g]) quotedName += c == '"' ? std::string("\"\"") : std::string(1, c);
    groupsCsv += std::to_string(g + 1) + "," + quotedName + "\"," + std::to_string(mine.size()) + ",2\n";
  }
  EXPECT_EQ(keyLines("run/YXDKEY"), keys);
  EXPECT_EQ(readFile("run/GROUPS.csv"), groupsCsv);
  EXPECT_EQ(readFile("run/PERIODS.csv"), periodsCsv);

  // The data files: every field reads back as the CSV's own value.
  std::vector<std::string> yx = lines("run/YXDATA1"), more = lines("run/YXDATA2"),
                           zl = lines("run/ZDATA1");
  ASSERT_EQ(yx.size(), expected.size() + 1);
  ASSERT_EQ(more.size(), yx.size());
  ASSERT_EQ(zl.size(), yx.size());
  int w = 0;
  for (const std::string& line : lines("run/PARAMTRS"))
    if (line.rfind("WIDTH = ", 0) == 0) w = std::stoi(line.substr(8));
  ASSERT_EQ(w, 40);  // the widest field with which y and three x fit on two lines
  auto field = [&](const std::string& line, int i) {
    double v = 0;
    EXPECT_TRUE(readRealField(line.substr(static_cast<std::size_t>(i) * w, w), v)) << line;
    return v;
  };
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const Panel::Row& r = expected[i];
    std::string rec = yx[i + 1] + more[i + 1];
    ASSERT_EQ(rec.size(), 4u * w);
    if (r.y.empty()) {
      EXPECT_EQ(rec.substr(0, w), std::string(w, ' '));
    } else {
      EXPECT_EQ(field(rec, 0), std::strtod(r.y.c_str(), nullptr)) << i;
    }
    for (int k = 0; k < 3; ++k) EXPECT_EQ(field(rec, k + 1), std::strtod(r.x[k].c_str(), nullptr));
    EXPECT_EQ(field(zl[i + 1], 0), std::strtod(r.z.c_str(), nullptr));
  }

  // The run's data echo: estimation rows, then forecast rows, of each group.
  ASSERT_EQ(runKova("run"), 0) << readFile("run/KOVALOG");
  std::vector<std::string> report = lines("run/KOVAOUT");
  std::vector<std::vector<double>> echoYX, echoZ;
  for (std::size_t i = 0; i < report.size(); ++i) {
    bool yxBlock = report[i].find("DATA FROM \"FILE YXDATA1\"") != std::string::npos ||
                   report[i] == "Y-DATA AND X-DATA FOR FORECAST:";
    bool zBlock = report[i].find("DATA FROM \"FILE ZDATA1\"") != std::string::npos ||
                  report[i] == "Z-DATA FOR FORECAST:";
    if (!yxBlock && !zBlock) continue;
    std::size_t j = i + 1;
    if (report[i].find("DATA FROM") != std::string::npos) j += 2;  // blank line, names
    std::vector<std::vector<double>> rows;
    for (; j < report.size() && !report[j].empty(); ++j) {
      std::istringstream in(report[j]);
      std::vector<double> v;
      for (double d; in >> d;) v.push_back(d);
      rows.push_back(v);
    }
    auto& into = yxBlock ? echoYX : echoZ;
    into.insert(into.end(), rows.begin(), rows.end());
  }
  // Within a group the echo lists estimation rows first, forecasts after.
  std::vector<Panel::Row> echoOrder;
  for (std::size_t g = 0; g < order.size(); ++g)
    for (int f = 0; f < 2; ++f)
      for (const Panel::Row& r : expected)
        if (r.group == order[g] && (r.forecast != "0") == (f == 1)) echoOrder.push_back(r);
  ASSERT_EQ(echoYX.size(), echoOrder.size());
  ASSERT_EQ(echoZ.size(), echoOrder.size());
  auto near = [](double echo, const std::string& text) {
    double v = text.empty() ? -999999.0 : std::strtod(text.c_str(), nullptr);
    return std::fabs(echo - v) <= 5e-5 * std::fabs(v) + 1e-300;
  };
  for (std::size_t i = 0; i < echoOrder.size(); ++i) {
    const Panel::Row& r = echoOrder[i];
    ASSERT_EQ(echoYX[i].size(), 5u);
    EXPECT_TRUE(near(echoYX[i][0], r.y)) << i << ": " << echoYX[i][0] << " " << r.y;
    EXPECT_EQ(echoYX[i][1], 1.0);
    for (int k = 0; k < 3; ++k) EXPECT_TRUE(near(echoYX[i][k + 2], r.x[k])) << i << " x" << k + 1;
    ASSERT_EQ(echoZ[i].size(), 2u);
    EXPECT_TRUE(near(echoZ[i][1], r.z)) << i;
  }
}

TEST(KovaPrepare, BadInputNamesFileLineAndColumnAndWritesNothing) {
  testing::TempDir dir;
  const std::string good = "g,t,y,x\na,1,1,2\na,2,2,3\na,3,3,5\nb,1,1,1\nb,2,2,4\nb,3,2,2\n";
  std::string manyGroups = "g,t,y,x\n", manyRows = "g,t,y,x\n";
  for (int g = 1; g <= 151; ++g) manyGroups += std::to_string(g) + ",1,1,1\n";
  for (int i = 1; i <= 12501; ++i) manyRows += "a," + std::to_string(i) + ",1,1\n";
  struct Case {
    std::string csv, args;
    std::vector<std::string> says;
  };
  const std::vector<Case> cases = {
      {good, "--x w", {"panel.csv, line 1", "no column \"w\""}},
      {"g,t,y,x\na,1,1,2\na,2,2,12a\n", "", {"panel.csv, line 3, column \"x\"", "\"12a\" is not a number"}},
      {"g,t,y,x\na,1,1,2\na,2,2,\n", "", {"panel.csv, line 3, column \"x\"", "empty x"}},
      {"g,t,y,x\na,1,,2\n", "", {"panel.csv, line 2, column \"y\"", "not a forecast record"}},
      {manyGroups, "", {"panel.csv, line 152, column \"g\"", "at most 150"}},
      {manyRows, "", {"panel.csv, line 12502", "at most 12500"}},
      {good, "--forecast-last 1", {"panel.csv, line 2, column \"g\"", "group \"a\" has 2 estimation periods", "K*P + 1 = 3"}},
      {good + "b,2,5,5\n", "--time t", {"panel.csv, line 8, column \"t\"", "also on line 6"}},
      {"g,t,y,x\na,1,\"2,x\n", "", {"panel.csv, line 2", "not closed"}},
      {"g,t,y,x\na,1,2\n", "", {"panel.csv, line 2", "3 fields"}},
      {good, "--forecast-column t", {"panel.csv, line 3, column \"t\"", "\"2\" is not a true/false value"}},
      {good, "--option K=4", {"--option \"K=4\"", "set by kova_prepare"}},
      {good, "--iterations 1000", {"--iterations", "at most 999"}},
      {good, "--option 'TITLE = END OF DATA'", {"--option", "END, OF and DATA"}},
  };
  for (const Case& c : cases) {
    writeFile("panel.csv", c.csv);
    std::string args = c.args.find("--x") == std::string::npos ? c.args + " --x x" : c.args;
    Result r = prepare("panel.csv --group g --y y " + args + " --out run");
    EXPECT_EQ(r.status, 2) << c.args << "\n" << r.err;
    for (const std::string& s : c.says) EXPECT_NE(r.err.find(s), std::string::npos) << s << "\n" << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;  // one message
    EXPECT_FALSE(fs::exists("run")) << c.args;
  }

  // An output directory that is not empty is refused, untouched, unless --force.
  writeFile("panel.csv", good);
  fs::create_directory("run");
  writeFile("run/ZDATA1", "stale");
  Result r = prepare("panel.csv --group g --y y --x x --out run");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("run: the output directory exists and is not empty"), std::string::npos) << r.err;
  EXPECT_EQ(fs::directory_iterator("run")->path().filename(), "ZDATA1");
  writeFile("run/LDATA1", "stale");
  writeFile("run/PERIODS.csv", "id,period,time\n1,1,1999\n");
  r = prepare("panel.csv --group g --y y --x x --force --out run");
  EXPECT_EQ(r.status, 0) << r.err;
  // A stale z file, L-matrix or time labels would pass for this run's.
  EXPECT_FALSE(fs::exists("run/ZDATA1"));
  EXPECT_FALSE(fs::exists("run/LDATA1"));
  EXPECT_FALSE(fs::exists("run/PERIODS.csv"));
  EXPECT_EQ(runKova("run"), 0);
}

// The Grunfeld CSV with its rows filtered or extended line by line.
std::string grunfeldWith(const std::function<std::string(const std::string& line, int n)>& edit) {
  std::istringstream in(readFile(std::string(KOVA_TEST_DATA) + "/grunfeld/grunfeld.csv"));
  std::string out;
  int n = 0;
  for (std::string line; std::getline(in, line); ++n) out += edit(line, n);
  return out;
}

// Gaps in the times stop kova_prepare with one message that names the group
// and the times left out (numbers, quarters, month ends and days, each
// against the step of the other groups), and nothing is written. With
// --allow-gaps the records are taken as consecutive: kova runs, and
// kova_plot marks the gap in every panel of that group only.
TEST(KovaPrepare, GapsInTheTimesStopOrAreMarkedOnThePlots) {
  testing::TempDir dir;
  struct Case {
    std::vector<std::string> a, b;  // the times of groups a and b
    std::string says;
  };
  const std::vector<Case> cases = {
      {{"1990", "1991", "1992", "1993"},
       {"1990", "1991", "1995", "1997"},
       "group \"b\" has no record for 1992, 1993, 1994 (between \"1991\" on line 7 and \"1995\" "
       "on line 8); nor for 1996 (between \"1995\" on line 8 and \"1997\" on line 9); the times of "
       "most groups step by 1"},
      {{"1990.25", "1990.5", "1990.75", "1991"},
       {"1990.25", "1990.75", "1991", "1991.25"},
       "no record for 1990.50 (between \"1990.25\""},
      {{"2020-01-31", "2020-02-29", "2020-03-31", "2020-04-30"},
       {"2020-01-31", "2020-02-29", "2020-05-31", "2020-06-30"},
       "no record for 2020-03-31, 2020-04-30 (between \"2020-02-29\""},
      {{"2020-12-30", "2020-12-31", "2021-01-01", "2021-01-02"},
       {"2020-12-29", "2020-12-30", "2021-01-02", "2021-01-03"},
       "no record for 2020-12-31, 2021-01-01 (between \"2020-12-30\""},
      {{"2019-11", "2020-01", "2020-03", "2020-05"},
       {"2019-11", "2020-01", "2020-05", "2020-07"},
       "no record for 2020-03 (between \"2020-01\" on line 7 and \"2020-05\" on line 8); the times "
       "of most groups step by 2 months"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.says);
    std::string csv = "g,t,y,x\n";
    for (std::size_t i = 0; i < 4; ++i)
      csv += "a," + c.a[i] + "," + std::to_string(i * i) + "," + std::to_string(i + 1) + "\n";
    for (std::size_t i = 0; i < 4; ++i)
      csv += "b," + c.b[i] + "," + std::to_string(i + 3) + "," + std::to_string(i * 2 + 1) + "\n";
    writeFile("panel.csv", csv);
    Result r = prepare("panel.csv --group g --y y --x x --time t --out run");
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--allow-gaps"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_FALSE(fs::exists("run"));
  }

  // Chrysler (the fourth firm) without 1940-1942: refused, then taken as
  // consecutive and drawn.
  writeFile("panel.csv", grunfeldWith([](const std::string& line, int) {
              for (const char* year : {",Chrysler,1940", ",Chrysler,1941", ",Chrysler,1942"})
                if (line.size() > 14 && line.compare(line.size() - 14, 14, year) == 0)
                  return std::string();
              return line + "\n";
            }));
  const std::string args =
      "panel.csv --group firm --y invest --x value,capital --time year "
      "--forecast-last 2 --out run";
  Result r = prepare(args);
  ASSERT_EQ(r.status, 2) << r.err;
  EXPECT_NE(r.err.find("group \"Chrysler\" has no record for 1940, 1941, 1942 (between \"1939\""),
            std::string::npos)
      << r.err;
  r = prepare(args + " --allow-gaps");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("warning: panel.csv, line"), std::string::npos) << r.err;
  ASSERT_EQ(runKova("run"), 0) << readFile("run/KOVALOG");
  Result p = runTool(std::string("'") + KOVA_PLOT + "' run");
  ASSERT_EQ(p.status, 0) << p.err;
  for (int g = 1; g <= 11; ++g) {
    char name[32];
    std::snprintf(name, sizeof name, "run/plots/group_%03d.svg", g);
    const std::string svg = readFile(name);
    std::size_t panels = 0, gaps = 0;
    for (std::size_t at = svg.find("class=\"panel\""); at != std::string::npos;
         at = svg.find("class=\"panel\"", at + 1))
      ++panels;
    for (std::size_t at = svg.find("class=\"gap\""); at != std::string::npos;
         at = svg.find("class=\"gap\"", at + 1))
      ++gaps;
    const bool chrysler = g == 4;
    EXPECT_EQ(gaps, chrysler ? panels : 0u) << name;
    EXPECT_EQ(svg.find("time gap between 1939 and 1943: no records for 1940, 1941, 1942") !=
                  std::string::npos,
              chrysler)
        << name;
  }
}

// Columns with one value in each group are named (an x collinear with the
// constant, a z with the leading one of z); a column that varies in one
// group only is not. The run goes on.
TEST(KovaPrepare, ColumnsConstantWithinEveryGroupAreNamed) {
  testing::TempDir dir;
  writeFile("panel.csv", grunfeldWith([](const std::string& line, int n) {
              if (n == 0) return line + ",region,size,mostly\n";
              const bool gm = line.find("General Motors") != std::string::npos;
              const std::string region = line.find("Motors") != std::string::npos ? "1" : "2";
              const std::string size = gm ? "3.5" : "0.35e1";  // the same value spelled twice
              const std::string mostly = gm && line.find(",1950") != std::string::npos ? "2" : "1";
              return line + "," + region + "," + size + "," + mostly + "\n";
            }));
  Result r = prepare(
      "panel.csv --group firm --y invest --x value,region,mostly --z size "
      "--time year --forecast-last 2 --out run");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("warning: column \"region\" (--x) has one value in each group"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("warning: column \"size\" (--z) has one value in each group"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("\"mostly\""), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("\"value\""), std::string::npos) << r.err;
}

// --random: M and an L-matrix with a 1 where a coefficient is its column's
// random component. A fixed coefficient then has BETA(t) = PI in every
// period of every group; with --diagonal PHI is diagonal. An L-matrix of
// every coefficient, split over LDATA1 and LDATA2 by wide fields, gives
// exactly the run of the default L (the identity).
TEST(KovaPrepare, RandomCoefficientsWriteMAndTheLMatrix) {
  testing::TempDir dir;
  const std::string grunfeld = std::string(KOVA_TEST_DATA) + "/grunfeld/grunfeld.csv";
  Result r = prepare("'" + grunfeld +
                     "' --group firm --y invest --x value,capital --time year "
                     "--forecast-last 2 --random value,constant --diagonal --out run");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string params = readFile("run/PARAMTRS");
  for (const char* line : {"\nM = 2\n", "\nL-MATRIX = USER\n", "\nDIAGONAL PHI = YES\n",
                           "\nDIAGONAL DELTA = YES\n", "\nK = 3\n"})
    EXPECT_NE(params.find(line), std::string::npos) << line << params;
  EXPECT_EQ(readFile("run/LDATA1"), "       1       0\n       0       1\n       0       0\n");
  ASSERT_EQ(runKova("run"), 0) << readFile("run/KOVALOG");
  EXPECT_TRUE(std::regex_search(readFile("run/KOVAOUT"), std::regex("\n +M += +2\n")));

  // PHI of every pass is 2 x 2 and diagonal; BETA_3 (capital) is PI(3) of the pass.
  std::map<std::string, double> pi3;  // "group,pass" -> PI(3,1)
  std::size_t phi = 0;
  for (const std::string& line : lines("run/KOVA_ESTIMATES.csv")) {
    std::vector<std::string> f;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, ',');) f.push_back(field);
    if (f.size() < 6) continue;
    if (f[2] == "PI" && f[3] == "3") pi3[f[0] + "," + f[1]] = std::stod(f[5]);
    if (f[2] == "PHI") {
      ++phi;
      EXPECT_LE(std::stoi(f[3]), 2);
      EXPECT_LE(std::stoi(f[4]), 2);
      if (f[3] != f[4]) {
        EXPECT_EQ(std::stod(f[5]), 0.0) << line;
      }
    }
  }
  EXPECT_EQ(phi, 11u * 5u * 4u);
  ASSERT_EQ(pi3.size(), 11u * 5u);
  std::size_t fixed = 0;
  for (const std::string& line : lines("run/KOVA_BETA.csv")) {
    std::vector<std::string> f;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, ',');) f.push_back(field);
    if (f.size() < 7 || f[4] != "3") continue;
    EXPECT_NEAR(std::stod(f[6]), pi3.at(f[0] + "," + f[1]),
                1e-12 * std::fabs(pi3.at(f[0] + "," + f[1])))
        << line;
    ++fixed;
  }
  EXPECT_EQ(fixed, 11u * 5u * 20u);

  // Every coefficient random, fields of 21 columns (three to a line): the L
  // rows continue in LDATA2, and the run is that of the default L.
  std::string csv = "g,t,y,x1,x2,x3\n";
  std::mt19937 gen(3);
  std::uniform_real_distribution<double> u(1, 9);
  for (int g = 0; g < 2; ++g)
    for (int t = 1; t <= 12; ++t) {
      char row[200];
      std::snprintf(row, sizeof row, "%d,%d,%.6f,%.18f,%.6f,%.6f\n", g, t, u(gen), u(gen), u(gen),
                    u(gen));
      csv += row;
    }
  writeFile("wide.csv", csv);
  const std::string wide = "wide.csv --group g --y y --x x1,x2,x3 --time t --iterations 3";
  ASSERT_EQ(prepare(wide + " --out plain").status, 0);
  r = prepare(wide + " --random x3,constant,x2,x1 --out all");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string one = std::string(20, ' ') + "1", zero = std::string(20, ' ') + "0";
  EXPECT_EQ(readFile("all/LDATA1"), one + zero + zero + "\n" + zero + one + zero + "\n" + zero +
                                        zero + one + "\n" + zero + zero + zero + "\n");
  EXPECT_EQ(readFile("all/LDATA2"), zero + "\n" + zero + "\n" + zero + "\n" + one + "\n");
  ASSERT_EQ(runKova("plain"), 0);
  ASSERT_EQ(runKova("all"), 0) << readFile("all/KOVALOG");
  EXPECT_EQ(readFile("all/KOVA_ESTIMATES.csv"), readFile("plain/KOVA_ESTIMATES.csv"));
  EXPECT_EQ(readFile("all/KOVA_BETA.csv"), readFile("plain/KOVA_BETA.csv"));

  // Names that are not coefficients, and settings that --random owns.
  const std::pair<std::string, std::string> refused[] = {
      {"--random value,labour", "--random: \"labour\" is not an --x column nor \"constant\""},
      {"--random value,value", "--random: \"value\" is named twice"},
      {"--random value --option 'M = 1'", "set by --random"},
      {"--random value --option 'L-MATRIX = DEFAULT'", "set by --random"},
      {"--diagonal --option 'DIAGONAL PHI = NO'", "set by --diagonal"},
      {"--option 'M = 2'", "only M = K = 3; --random NAMES writes M and an L-matrix"},
      {"--option 'M = 2' --option 'L-MATRIX = DEFAULT'", "only M = K = 3"},
  };
  for (const auto& [options, says] : refused) {
    r = prepare("'" + grunfeld + "' --group firm --y invest --x value,capital " + options +
                " --out refused");
    EXPECT_EQ(r.status, 2) << options;
    EXPECT_NE(r.err.find(says), std::string::npos) << options << "\n" << r.err;
    EXPECT_FALSE(fs::exists("refused"));
  }
}

}  // namespace
}  // namespace kova
