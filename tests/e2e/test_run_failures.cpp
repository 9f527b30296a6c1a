// Whole runs that meet a failure outside their input: a full device under
// the report, the log or a table, a table name taken by a directory, too
// little memory, a start file that cannot be replaced, a leftover scratch
// name that is a link. Each must stop with exit status 1 and a message
// naming the file or the need, leave no result that looks complete, and
// write nothing outside the run directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/result_csv.h"
#include "support/run_kova.h"
#include "support/temp_dir.h"

namespace kova {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::writeFile;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::vector<std::string> tablesLeft() {
  std::vector<std::string> tables;
  for (const auto& entry : fs::directory_iterator("."))
    if (entry.is_regular_file() && entry.path().filename().string().starts_with("KOVA_"))
      tables.push_back(entry.path().filename().string());
  return tables;
}

// Replaces the statement whose key starts with `key` in PARAMTRS, or adds
// it to the ALL group.
void setParameter(const std::string& key, const std::string& value) {
  std::string text = readFile("PARAMTRS");
  const std::string statement = key + " = " + value + "\n";
  std::size_t at = text.find("\n" + key);
  if (at != std::string::npos) {
    text.replace(at + 1, text.find('\n', at + 1) - at, statement);
  } else {
    text.insert(text.find("END GROUP (ALL)"), statement);
  }
  writeFile("PARAMTRS", text);
}

// The report or the log on a full device: lost, while the run said 0.
TEST(RunFailures, ReportOrLogOnAFullDeviceStopsTheRun) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  for (const char* name : {"KOVAOUT", "KOVALOG"}) {
    SCOPED_TRACE(name);
    testing::TempDir dir;
    testing::copyExample("grunfeld-firms");
    fs::create_symlink("/dev/full", name);
    const auto result = testing::runKova();
    EXPECT_EQ(result.status, 1) << result.console;
    EXPECT_TRUE(contains(result.console,
                         " ERROR IN WRITING FILE " + std::string(name) + ", WITH IOCOND =   28"))
        << result.console;
    // Nothing says the run is complete: no table.
    EXPECT_EQ(tablesLeft(), std::vector<std::string>{});
    if (std::string(name) == "KOVAOUT") {
      EXPECT_TRUE(contains(readFile("KOVALOG"), " ERROR IN WRITING FILE KOVAOUT"));
    }
  }
}

// A table name held by a directory that cannot be removed: the run used to
// go on without tables and end with status 0.
TEST(RunFailures, TableNameHeldByADirectoryStopsTheRun) {
  for (const char* name : {"KOVA_ESTIMATES.csv", "KOVA_BETA.csv.tmp"}) {
    SCOPED_TRACE(name);
    testing::TempDir dir;
    testing::copyExample("grunfeld-firms");
    fs::create_directory(name);
    writeFile(fs::path(name) / "kept.txt", "kept\n");
    const auto result = testing::runKova();
    EXPECT_EQ(result.status, 1) << result.console;
    EXPECT_TRUE(contains(result.console,
                         " THE RESULT TABLES KOVA_*.csv CANNOT BE WRITTEN (" + std::string(name)))
        << result.console;
    EXPECT_TRUE(contains(result.console, "PROGRAM STOPS."));
    EXPECT_TRUE(contains(readFile("KOVALOG"), "CANNOT BE WRITTEN (" + std::string(name)));
    EXPECT_EQ(tablesLeft(), std::vector<std::string>{});
    EXPECT_EQ(readFile(fs::path(name) / "kept.txt"), "kept\n");
  }
}

// Too little memory: the run used to abort (status 134) with an empty
// report. Under a limit below the program region the region is named with
// its size; under limits between that and what a run needs, a later
// allocation fails, and the stop leaves its scratch files as any stop does.
TEST(RunFailures, AllocationFailureStopsWithItsNeed) {
#ifdef KOVA_SANITIZED
  GTEST_SKIP() << "the sanitizers reserve more address space than any such limit";
#endif
  testing::TempDir dir;
  testing::copyExample("grunfeld-firms");
  auto runUnder = [](long kilobytes) {
    for (const auto& entry : fs::directory_iterator("."))
      if (entry.path().extension() == ".001" || entry.path().filename() == "KOVAOUT")
        fs::remove(entry.path());
    return testing::runKova("ulimit -v " + std::to_string(kilobytes) + "; ");
  };
  const auto region = runUnder(40000);
  ASSERT_EQ(region.status, 1) << region.console;
  const std::string need =
      " THE PROGRAM REGION CANNOT BE ALLOCATED: IT NEEDS  6500000 REAL*8,  45000 INTEGER AND  "
      "45000 COMPLEX*16 VARIABLES (51 MB), MORE MEMORY THAN THE SYSTEM GIVES (THE LIMIT ON THE "
      "ADDRESS SPACE, ULIMIT -V, IS 40000 KB).";
  EXPECT_TRUE(contains(region.console, need + "\n PROGRAM STOPS.")) << region.console;
  EXPECT_TRUE(contains(readFile("KOVAOUT"), need));

  // About the smallest limit (to 256 KB) under which the run completes,
  // then the limits below it down to the region's failure: each completes
  // (the need is not quite the same from run to run) or stops cleanly.
  long low = 40000, high = 400000;
  ASSERT_EQ(runUnder(high).status, 0);
  while (high - low > 256) {
    const long mid = (low + high) / 2;
    (runUnder(mid).status == 0 ? high : low) = mid;
  }
  int later = 0;
  for (long limit = high - 256; limit > high - 256 * 60; limit -= 256) {
    SCOPED_TRACE(limit);
    const auto result = runUnder(limit);
    if (result.status == 0) continue;
    ASSERT_EQ(result.status, 1) << result.console;
    if (contains(result.console, "THE PROGRAM REGION CANNOT BE ALLOCATED")) break;
    EXPECT_TRUE(contains(result.console,
                         " THE SYSTEM REFUSED MEMORY THAT THE RUN NEEDS: AN ALLOCATION FAILED "
                         "(THE LIMIT ON THE ADDRESS SPACE, ULIMIT -V, IS " +
                             std::to_string(limit) + " KB).  PROGRAM STOPS."))
        << result.console;
    // Once the data are set up, the stop writes out the held scratch files.
    if (contains(readFile("KOVALOG"), "NORMAL RETURN FROM CLOSING OF FILE YDATA.001")) {
      EXPECT_TRUE(fs::exists("YDATA.001"));
    }
    ++later;
  }
  EXPECT_GT(later, 0);
}

// With the save options on, a DSAVE name held by a directory used to stop
// the run after it had replaced PSAVE.001/002 and DSAVE.001; now the run
// stops before it estimates anything, and every start file stays.
TEST(RunFailures, SaveFilesAreReplacedAllOrNone) {
  testing::TempDir dir;
  ASSERT_EQ(std::system((std::string(KOVA_SIMULATOR) +
                         " --out . --ng 3 --records 30 --k 2 --p 1 --m 2 --width 12"
                         " --iterations 2 > /dev/null")
                            .c_str()),
            0);
  setParameter("SAVE THE FINAL PHI", "YES");
  setParameter("SAVE THE FINAL DELTA", "YES");
  ASSERT_EQ(testing::runKova().status, 0);
  setParameter("ITERATIONS", "3");
  fs::remove("DSAVE.002");
  fs::create_directory("DSAVE.002");
  writeFile("DSAVE.002/kept.txt", "kept\n");
  const auto before = testing::filesAndContents();
  const auto result = testing::runKova();
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(contains(result.console, " DSAVE.002 IN THE RUN DIRECTORY IS NOT A FILE"))
      << result.console;
  for (const char* start : {"PSAVE.001", "PSAVE.002", "PSAVE.003", "DSAVE.001", "DSAVE.003"})
    EXPECT_EQ(readFile(start), before.at(start)) << start;
  EXPECT_FALSE(contains(readFile("KOVALOG"), "RENAMING"));

  // A start file put aside by a run that never ended is not overwritten.
  fs::remove_all("DSAVE.002");
  ASSERT_EQ(std::system("cp DSAVE.001 DSAVE.002"), 0);
  writeFile("PSAVE.003.old", "aside\n");
  const auto asideBefore = testing::filesAndContents();
  const auto aside = testing::runKova();
  EXPECT_EQ(aside.status, 1);
  EXPECT_TRUE(contains(aside.console, " PSAVE.003.old IN THE RUN DIRECTORY")) << aside.console;
  for (const char* start : {"PSAVE.001", "PSAVE.002", "PSAVE.003", "DSAVE.001", "DSAVE.002",
                            "DSAVE.003", "PSAVE.003.old"})
    EXPECT_EQ(readFile(start), asideBefore.at(start)) << start;
  fs::remove("PSAVE.003.old");

  // A run that stops in its last group (a damaged start file) leaves every
  // save file as it was, the BETA(t) files of the groups before included.
  const std::string goodPhi = readFile("PSAVE.003");
  writeFile("PSAVE.003", "damaged");
  setParameter("INITIAL PHI", "SAVED");
  const auto midBefore = testing::filesAndContents();
  const auto mid = testing::runKova();
  EXPECT_EQ(mid.status, 1);
  EXPECT_TRUE(contains(mid.console, "PSAVE.003")) << mid.console;
  for (const char* saved : {"PSAVE.001", "DSAVE.001", "BETASAV.001", "BETASAV.002", "BETASAV.003",
                            "BETAVECP.001", "BETAVECP.003"})
    EXPECT_EQ(readFile(saved), midBefore.at(saved)) << saved;
  writeFile("PSAVE.003", goodPhi);
  setParameter("INITIAL PHI", "DEFAULT");

  // Without them the same run replaces all six.
  fs::remove("DSAVE.002");
  const auto again = testing::runKova();
  ASSERT_EQ(again.status, 0) << again.console;
  for (const char* start : {"PSAVE.001", "PSAVE.002", "PSAVE.003", "DSAVE.001", "DSAVE.003"})
    EXPECT_NE(readFile(start), before.at(start)) << start;
  EXPECT_TRUE(fs::is_regular_file("DSAVE.002"));
  for (const auto& entry : fs::directory_iterator("."))
    EXPECT_NE(entry.path().extension(), ".old") << entry.path();
}

// A leftover scratch name that is a symbolic link used to be written
// through (the target overwritten) and then deleted.
TEST(RunFailures, ScratchNameThatIsALinkIsRefused) {
  testing::TempDir dir;
  fs::create_directories("elsewhere");
  writeFile("elsewhere/notes.txt", "the user's notes\n");
  fs::create_directories("run");
  fs::current_path("run");
  testing::copyExample("grunfeld-firms");
  fs::create_symlink("../elsewhere/notes.txt", "YDATA.001");
  fs::create_symlink("../elsewhere/absent.txt", "XZ.002");
  const auto result = testing::runKova();
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(contains(result.console,
                       " YDATA.001 IN THE RUN DIRECTORY IS A SYMBOLIC LINK, A DEVICE OR A PIPE"))
      << result.console;
  EXPECT_TRUE(fs::is_symlink("YDATA.001"));
  EXPECT_TRUE(fs::is_symlink("XZ.002"));
  fs::current_path("..");
  EXPECT_EQ(readFile("elsewhere/notes.txt"), "the user's notes\n");
  EXPECT_FALSE(fs::exists("elsewhere/absent.txt"));
}

// A group with fewer than 3 standardised innovations has no Jarque-Bera
// test: its value and p-value are empty (they were written as 0), and the
// report prints neither; the other group's are numbers.
TEST(RunFailures, StatisticNeverComputedIsWrittenEmpty) {
  testing::TempDir dir;
  ASSERT_EQ(std::system((std::string(KOVA_SIMULATOR) +
                         " --out . --ng 2 --records 2,30 --forecast none --forecast-y none"
                         " --k 1 --p 1 --m 1 --iterations 2 > /dev/null")
                            .c_str()),
            0);
  const auto result = testing::runKova();
  ASSERT_EQ(result.status, 0) << result.console;
  const testing::Csv csv = testing::readCsv("KOVA_ESTIMATES.csv");
  int seen = 0;
  for (std::size_t r = 0; r < csv.rows.size(); ++r) {
    const std::string matrix = csv.at(r, "matrix");
    if (matrix != "JARQUE_BERA" && matrix != "JARQUE_BERA_P") continue;
    ++seen;
    if (csv.at(r, "group") == "1")
      EXPECT_EQ(csv.at(r, "value"), "") << matrix;
    else
      EXPECT_GE(csv.number(r, "value"), 0.0) << matrix;
  }
  EXPECT_EQ(seen, 4);
  const std::string report = readFile("KOVAOUT");
  const std::size_t first = report.find(" INNOVATION DIAGNOSTICS, GROUP   1");
  const std::size_t second = report.find(" INNOVATION DIAGNOSTICS, GROUP   2");
  ASSERT_NE(first, std::string::npos);
  ASSERT_NE(second, std::string::npos);
  EXPECT_FALSE(contains(report.substr(first, second - first), "JARQUE-BERA"));
  EXPECT_TRUE(contains(report.substr(second), "JARQUE-BERA"));
}

}  // namespace
}  // namespace kova
