// Whole runs of the program: set-up of the report files, exit status, the
// first stop, and clean-up of the scratch files.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <unistd.h>

#include "support/run_kova.h"
#include "support/temp_dir.h"

namespace kova {
namespace {

using testing::readFile;
using testing::runKova;

std::set<std::string> filesHere() {
  std::set<std::string> names;
  for (auto& entry : std::filesystem::directory_iterator("."))
    names.insert(entry.path().filename().string());
  return names;
}

TEST(RunSetUp, EmptyDirectoryStopsAtTheMissingParameterFile) {
  testing::TempDir dir;
  auto result = runKova();
  EXPECT_EQ(result.status, 1);
  const std::string message =
      "\n FROM SUBROUTINE GETPRM: ERROR IN OPENING OF FILE PARAMTRS, WITH IOCOND =    2.  "
      "PROGRAM STOPS.\n";
  EXPECT_EQ(result.console, message);
  EXPECT_EQ(readFile("KOVALOG"), message);
  EXPECT_EQ(readFile("KOVAOUT"), "");
  EXPECT_EQ(filesHere(), (std::set<std::string>{"KOVAOUT", "KOVALOG"}));
}

TEST(RunSetUp, MissingKeyFileIsNamedAndNotCreated) {
  testing::TempDir dir;
  std::filesystem::copy(std::filesystem::path(KOVA_SOURCE_DIR) / "examples/grunfeld-firms/PARAMTRS",
                        "PARAMTRS");
  auto result = runKova();
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.console, "\n FROM SUBROUTINE GETKEY: ERROR IN OPENING OF FILE YXDKEY, WITH "
                            "IOCOND =    2.  PROGRAM STOPS.\n");
  EXPECT_EQ(filesHere(), (std::set<std::string>{"PARAMTRS", "KOVAOUT", "KOVALOG"}));
}

TEST(RunSetUp, ReportFileThatCannotBeCreatedStopsBeforeAnythingElse) {
  testing::TempDir dir;
  std::filesystem::create_directory("KOVAOUT");
  testing::writeFile("PARAMTRS", "");
  auto result = runKova();
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.console, " ERROR IN SETTING UP FILE KOVAOUT.  PROGRAM STOPS\n");
  EXPECT_FALSE(std::filesystem::exists("KOVALOG"));
}

TEST(RunSetUp, LogFileThatCannotBeCreatedStops) {
  testing::TempDir dir;
  std::filesystem::create_directory("KOVALOG");
  auto result = runKova();
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.console, " ERROR IN SETTING UP FILE KOVALOG.  PROGRAM STOPS\n");
}

TEST(RunSetUp, UnwritableDirectoryStopsWithNothingLogged) {
  testing::TempDir dir;
  std::string prefix;
  if (::geteuid() == 0) {
    // The superuser writes anywhere: run the program as nobody instead, in a
    // directory that nobody may read but not write. The console goes to a
    // file outside it.
    if (std::system("command -v setpriv > /dev/null") != 0) GTEST_SKIP() << "no setpriv";
    std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all |
                                                 std::filesystem::perms::group_read |
                                                 std::filesystem::perms::group_exec |
                                                 std::filesystem::perms::others_read |
                                                 std::filesystem::perms::others_exec);
    prefix = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  } else {
    std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_read |
                                                 std::filesystem::perms::owner_exec);
  }
  std::string console = (dir.path().parent_path() / (dir.path().filename().string() + ".out")).string();
  int raw = std::system((prefix + KOVA_BINARY + " > " + console + " 2>&1").c_str());
  std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all);
  EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 1);
  EXPECT_EQ(readFile(console), " ERROR IN SETTING UP FILE KOVAOUT.  PROGRAM STOPS\n");
  std::filesystem::remove(console);
  EXPECT_FALSE(std::filesystem::exists("KOVALOG"));
  EXPECT_FALSE(std::filesystem::exists("KOVAOUT"));
}

// The data set-up holds eight files of every group open at once; they are
// scratch files, held in memory, so neither 10 groups under a limit of 32
// open files nor 150 groups under the common soft limit of 1024 run short.
TEST(RunSetUp, ManyGroupsAndTheLimitOnOpenFiles) {
  if (std::system("prlimit --nofile=1024:2048 true") != 0) GTEST_SKIP() << "no prlimit";
  testing::TempDir dir;
  auto simulate = [](int groups) {
    return std::system((std::string(KOVA_SIMULATOR) + " --out . --ng " + std::to_string(groups) +
                        " --records 10 --k 2 --p 1 --pdata --ddata --iterations 2 > /dev/null")
                           .c_str());
  };
#ifndef KOVA_SANITIZED
  ASSERT_EQ(simulate(10), 0);
  auto tiny = runKova("prlimit --nofile=32:32 ");
  EXPECT_EQ(tiny.status, 0) << tiny.console;
#endif
  ASSERT_EQ(simulate(150), 0);
  EXPECT_EQ(runKova("prlimit --nofile=1024:2048 ").status, 0);
}

TEST(RunSetUp, EarlierReportIsReplacedFromTheStart) {
  testing::TempDir dir;
  testing::writeFile("KOVALOG", std::string(5000, 'x') + "\n");
  testing::writeFile("KOVAOUT", std::string(5000, 'y') + "\n");
  auto result = runKova();
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(readFile("KOVALOG").find('x'), std::string::npos);
  EXPECT_EQ(readFile("KOVAOUT"), "");
}

}  // namespace
}  // namespace kova
