// What the user of the program meets: the command line, the checks of the
// parameter file's statements, the compact console with its closing
// summary against the warnings table, and the full trace on request.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <sys/wait.h>

#include "support/result_csv.h"
#include "support/run_kova.h"
#include "support/temp_dir.h"

namespace kova {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::writeFile;

struct KovaRun {
  int status = -1;
  std::string out, err;
};

// kova with `args`, run from the current directory.
KovaRun kova(const std::string& args) {
  const fs::path out = fs::temp_directory_path() / ("kova_ui_out_" + std::to_string(::getpid()));
  const fs::path err = fs::temp_directory_path() / ("kova_ui_err_" + std::to_string(::getpid()));
  const int raw = std::system((std::string(KOVA_BINARY) + " " + args + " > '" + out.string() +
                               "' 2> '" + err.string() + "'")
                                  .c_str());
  KovaRun run{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, readFile(out), readFile(err)};
  fs::remove(out);
  fs::remove(err);
  return run;
}

std::set<std::string> filesHere() {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(".")) names.insert(entry.path().filename());
  return names;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// The statement added before the end of the ALL group.
void addStatement(const std::string& statement) {
  std::string text = readFile("PARAMTRS");
  text.insert(text.find("END GROUP (ALL)"), statement + "\n");
  writeFile("PARAMTRS", text);
}

int lineOf(const std::string& statement) {
  const auto all = lines(readFile("PARAMTRS"));
  for (std::size_t i = 0; i < all.size(); ++i)
    if (all[i] == statement) return static_cast<int>(i) + 1;
  return 0;
}

TEST(CommandLine, HelpVersionDirectoryAndMistakes) {
  testing::TempDir dir;
  // --help and --version touch nothing, even in a run directory.
  KovaRun help = kova("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: kova [--trace] [DIR]\n", 0), 0u) << help.out;
  EXPECT_EQ(help.err, "");
  EXPECT_TRUE(filesHere().empty());
  KovaRun version = kova("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("kova ", 0), 0u);
  testing::copyExample("grunfeld-firms");
  const auto inputs = filesHere();
  EXPECT_EQ(kova("-h").status, 0);
  EXPECT_EQ(filesHere(), inputs);

  // Anything else: the usage on stderr, status 2, nothing run.
  for (const char* args : {"--frobnicate", "-x", "one two", "--help extra more", "''"}) {
    KovaRun bad = kova(args);
    EXPECT_EQ(bad.status, 2) << args;
    EXPECT_EQ(bad.out, "") << args;
    EXPECT_EQ(bad.err.rfind("kova: ", 0), 0u) << args << ": " << bad.err;
    EXPECT_NE(bad.err.find("Usage: kova"), std::string::npos) << args;
    EXPECT_EQ(filesHere(), inputs) << args;
  }
  KovaRun missing = kova("no-such-directory");
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("cannot run in 'no-such-directory'"), std::string::npos)
      << missing.err;

  // kova DIR runs there and leaves the current directory alone.
  fs::create_directory("run");
  for (const auto& name : inputs) fs::rename(name, fs::path("run") / name);
  KovaRun there = kova("run");
  EXPECT_EQ(there.status, 0) << there.out << there.err;
  EXPECT_EQ(filesHere(), std::set<std::string>{"run"});
  EXPECT_TRUE(fs::exists("run/KOVAOUT") && fs::exists("run/KOVA_WARNINGS.csv"));
  EXPECT_NE(there.out.find(" Report: " + fs::canonical("run").string() + "/KOVAOUT"),
            std::string::npos)
      << there.out;
}

// Each loose statement runs as before and is named on the console and in
// the log; each unknown value of METHOD or ENGINE stops before any group,
// naming its line, and leaves no tables.
TEST(SettingsChecks, EachMistakeIsNamedOnTheConsoleAndInTheLog) {
  testing::TempDir dir;
  testing::copyExample("grunfeld-firms");
  const std::string original = readFile("PARAMTRS");
  const std::pair<const char*, const char*> loose[] = {
      {"FOO = 1", "NO STATEMENT HAS THIS NAME; THE LINE IS IGNORED."},
      {"GLS = TRUE", "THE VALUE IS NEITHER YES NOR NO; TAKEN AS NO."},
      {"GLS = 1", "THE VALUE IS NEITHER YES NOR NO; TAKEN AS NO."},
      {"DIAGONAL PHI = MAYBE", "THE VALUE IS NEITHER YES NOR NO; TAKEN AS YES."},
  };
  for (const auto& [statement, what] : loose) {
    writeFile("PARAMTRS", original);
    addStatement(statement);
    const std::string warning = " WARNING: LINE " + std::to_string(lineOf(statement)) +
                                " OF FILE PARAMTRS, \"" + statement + "\": " + what;
    KovaRun run = kova("");
    EXPECT_EQ(run.status, 0) << statement;
    EXPECT_EQ(lines(run.out).at(0), warning) << run.out;
    EXPECT_NE(readFile("KOVALOG").find(warning + "\n"), std::string::npos) << statement;
    EXPECT_NE(run.out.find("\n Parameter file: 1 line warned about"), std::string::npos);
  }
  // DIAGONAL PHI = MAYBE was read as YES, as it always was.
  EXPECT_NE(readFile("KOVAOUT").find("DIAGONAL PHI"), std::string::npos);

  const std::pair<const char*, const char*> stopping[] = {
      {"METHOD = FOO", "\"FOO\" OF METHOD"},
      {"METHOD = LIKELIHOOD", "\"LIKELIHOOD\" OF METHOD"},
      {"METHOD = ITERATIVE (NOT ML)", "\"ITERATIVE (NOT ML)\" OF METHOD"},
      {"ENGINE = DENS", "\"DENS\" OF ENGINE"},
  };
  for (const auto& [statement, what] : stopping) {
    writeFile("PARAMTRS", original);
    addStatement(statement);
    KovaRun run = kova("");
    EXPECT_EQ(run.status, 1) << statement;
    const std::string line = " IN LINE " + std::to_string(lineOf(statement)) + " OF FILE PARAMTRS.";
    EXPECT_NE(run.out.find(what), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(line + "\n PROGRAM STOPS.\n"), std::string::npos) << run.out;
    EXPECT_NE(readFile("KOVALOG").find(line), std::string::npos) << statement;
    EXPECT_FALSE(fs::exists("KOVA_ESTIMATES.csv")) << statement;
  }
}

// The group kinds of KOVA_WARNINGS.csv, counted independently of the run.
std::map<std::string, std::set<std::string>> groupsByKind() {
  const testing::Csv w = testing::readCsv("KOVA_WARNINGS.csv");
  std::map<std::string, std::set<std::string>> kinds;
  for (std::size_t i = 0; i < w.rows.size(); ++i) kinds[w.at(i, "kind")].insert(w.at(i, "group"));
  return kinds;
}

// The compact console: one line per group, no solver trace, and a summary
// whose counts are those of the warnings table; --trace and CONSOLE = TRACE
// bring the trace back, which the log holds either way.
TEST(ConsoleSummary, CountsAreThoseOfTheWarningsTable) {
  testing::TempDir dir;
  testing::copyExample("grunfeld-firms");
  addStatement("METHOD = ML");
  KovaRun run = kova("");
  ASSERT_EQ(run.status, 0) << run.out;
  for (char c : run.out) EXPECT_TRUE(c == '\n' || (c >= ' ' && c <= '~')) << int(c);
  const auto out = lines(run.out);
  const auto kinds = groupsByKind();
  std::set<std::string> warned;
  for (const auto& [kind, groups] : kinds) warned.insert(groups.begin(), groups.end());

  // Each group's line says how its likelihood step ended; the groups not
  // converged and the degenerate ones are those of their warning rows.
  int groupLines = 0;
  std::map<std::string, int> endings;
  const std::vector<std::string> names = {"converged", "at a boundary", "degenerate",
                                          "not converged"};
  for (const std::string& line : out) {
    if (line.rfind("group ", 0) == 0) {
      ++groupLines;
      EXPECT_NE(line.find("): passes 0-5, ML "), std::string::npos) << line;
      const std::size_t at = line.find(", ML ") + 5;
      const std::string ending = line.substr(at, line.find(',', at) - at);
      for (const std::string& name : names)
        if (ending == name) ++endings[name];
    }
    EXPECT_EQ(line.find("ITER="), std::string::npos) << line;
  }
  EXPECT_EQ(groupLines, 11);
  int ended = 0;
  for (const auto& [name, count] : endings) ended += count;
  EXPECT_EQ(ended, 11);
  EXPECT_EQ(kinds.count("pi_rank_deficient"), 0u);
  const auto rows = [&kinds](const char* kind) {
    return kinds.count(kind) ? static_cast<int>(kinds.at(kind).size()) : 0;
  };
  EXPECT_EQ(endings["not converged"], rows("ml_not_converged"));
  EXPECT_EQ(endings["degenerate"], rows("ml_degenerate"));

  std::ostringstream summary;
  summary << " Run complete: 11 groups estimated.\n"
          << " Groups with warnings: " << warned.size()
          << " of 11 (rows of KOVA_WARNINGS.csv, lines in KOVAOUT):\n";
  const std::string text = run.out;
  EXPECT_NE(text.find(summary.str()), std::string::npos) << text;
  for (const auto& [kind, groups] : kinds) {
    const std::string count =
        std::to_string(groups.size()) + (groups.size() == 1 ? " group\n" : " groups\n");
    const std::size_t at = text.find("\n   " + kind + " ");
    ASSERT_NE(at, std::string::npos) << kind;
    const std::size_t end = text.find('\n', at + 1);
    EXPECT_EQ(text.substr(end + 1 - count.size(), count.size()), count) << kind;
  }
  // The per-firm fits end at boundaries: the summary says what to do about it.
  ASSERT_TRUE(kinds.count("ml_boundary") || kinds.count("delta_singular"));
  EXPECT_NE(text.find(" What to do: a group's own periods do not determine its PHI and DELTA"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("COMMON MODEL = REML"), std::string::npos);
  EXPECT_NE(text.find(" Maximum likelihood: " + std::to_string(endings["converged"]) +
                      " converged to an interior maximum, " +
                      std::to_string(endings["at a boundary"]) + " at a boundary maximum, " +
                      std::to_string(endings["degenerate"]) + " degenerate, " +
                      std::to_string(endings["not converged"]) +
                      " not converged, 0 not applicable.\n"),
            std::string::npos)
      << text;
  EXPECT_NE(readFile("KOVALOG").find(summary.str()), std::string::npos);
  const std::string log = readFile("KOVALOG");
  EXPECT_NE(log.find("MAXEVL="), std::string::npos);  // the trace is in the log

  // The full trace on the console, by flag or by statement.
  KovaRun traced = kova("--trace");
  ASSERT_EQ(traced.status, 0);
  EXPECT_NE(traced.out.find("MAXEVL="), std::string::npos);
  EXPECT_NE(traced.out.find("G1: "), std::string::npos);
  EXPECT_EQ(traced.out.find("group 1 (1 of 11)"), std::string::npos);
  addStatement("CONSOLE = TRACE");
  EXPECT_EQ(kova("").out, traced.out);
}

// The Grunfeld panel with a region code (1, 2 or 3 by firm) among the
// regressors: constant within each firm, so collinear with the constant.
void addRegionColumn() {
  std::string keys = readFile("YXDKEY"), data = readFile("YXDATA1"), out;
  std::vector<int> group;
  for (const std::string& line : lines(keys))
    if (!line.empty() && line[0] != '!' && line[0] != 'E') group.push_back(std::stoi(line));
  const auto rows = lines(data);
  ASSERT_EQ(rows.size(), group.size() + 1);
  out = rows[0] + "  region\n";
  for (std::size_t i = 0; i < group.size(); ++i)
    out += rows[i + 1] + "       " + std::to_string(1 + (group[i] - 1) % 3) + "\n";
  writeFile("YXDATA1", out);
  std::string p = readFile("PARAMTRS");
  p.replace(p.find("K = 3"), 5, "K = 4");
  p.replace(p.find("M = 3"), 5, "M = 4");
  writeFile("PARAMTRS", p);
}

// The rows of PI name their variables; the elements that the collinear
// region leaves open have no standard errors in any pass, each group gets
// the warning naming the variables, and the covariance step's own ranks
// in the report agree that one dimension is lost.
TEST(Identification, RegionCodeConstantWithinGroupsIsNamedAndUnmarked) {
  testing::TempDir dir;
  testing::copyExample("grunfeld-firms");
  addRegionColumn();
  KovaRun run = kova("");
  ASSERT_EQ(run.status, 0) << run.out;

  const testing::Csv est = testing::readCsv("KOVA_ESTIMATES.csv");
  const char* const names[] = {"CONSTANT", "value", "capital", "region"};
  int piRows = 0, pooledRows = 0;
  for (std::size_t i = 0; i < est.rows.size(); ++i) {
    const std::string matrix = est.at(i, "matrix");
    if (matrix != "PI" && matrix != "POOLED_PI") {
      EXPECT_EQ(est.at(i, "variable"), "") << matrix;
      continue;
    }
    const int row = std::stoi(est.at(i, "row"));
    EXPECT_EQ(est.at(i, "variable"), names[row - 1]);
    if (matrix == "POOLED_PI") {
      ++pooledRows;
      continue;
    }
    ++piRows;
    const bool open = row == 1 || row == 4;
    EXPECT_EQ(est.at(i, "std_error").empty(), open)
        << "group " << est.at(i, "group") << " row " << row;
    EXPECT_EQ(est.at(i, "t_ratio").empty(), open);
  }
  EXPECT_EQ(piRows, 11 * 5 * 4);
  EXPECT_EQ(pooledRows, 4);

  const testing::Csv w = testing::readCsv("KOVA_WARNINGS.csv");
  std::set<std::string> deficient;
  for (std::size_t i = 0; i < w.rows.size(); ++i)
    if (w.at(i, "kind") == "pi_rank_deficient") {
      deficient.insert(w.at(i, "group"));
      EXPECT_EQ(w.at(i, "value"), "1");
      EXPECT_EQ(w.at(i, "pass"), "4");
    }
  EXPECT_EQ(deficient.size(), 11u);

  const std::string report = readFile("KOVAOUT"), log = readFile("KOVALOG");
  auto count = [](const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
      ++n;
    return n;
  };
  const std::string named = " THE VARIABLES INVOLVED: CONSTANT, region.\n";
  EXPECT_EQ(count(report, named), 11u);
  EXPECT_EQ(count(report, " NOT DETERMINED BY THE DATA (COLLINEAR REGRESSORS): PI(1,1) CONSTANT, "
                          "PI(4,1) region.\n THEIR STANDARD ERRORS AND T-RATIOS ABOVE ARE NOT "
                          "ESTIMATES.\n"),
            55u);
  EXPECT_EQ(count(log, named), 11u);
  // Region 2 (firm 2): the column is twice the constant, so 2 PI(1) - ...
  // the combination -2/sqrt(5) PI(1,1) + 1/sqrt(5) PI(4,1) is open.
  EXPECT_NE(report.find("    1.  -0.894427 * PI(1,1)  CONSTANT\n"
                        "        +0.447214 * PI(4,1)  region\n"),
            std::string::npos);
  EXPECT_EQ(count(report, " RANK OF COEFFICIENT MATRIX IN THE FINAL INVERSION=           3 .  THE "
                          "FULL RANK IS           4"),
            55u);
  EXPECT_NE(report.find(" THE POOLED PI BY VARIABLE"), std::string::npos);
  EXPECT_NE(report.find("     4   1  region           CONSTANT"), std::string::npos);
  EXPECT_NE(run.out.find("\n   pi_rank_deficient      11 groups\n"), std::string::npos) << run.out;
}

}  // namespace
}  // namespace kova
