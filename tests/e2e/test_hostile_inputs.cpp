// Whole runs on the input directories that the mutation fuzz run found
// faults with (tests/data/fuzz/, each with a line in its README): every one
// must stop with its message and exit status 1, leaving its inputs as they were.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/run_kova.h"
#include "support/temp_dir.h"

namespace kova {
namespace {

namespace fs = std::filesystem;

struct Expected {
  const char* directory;  // under tests/data/fuzz, or examples/ when it starts so
  const char* message;
};

void copyInputs(const std::string& directory) {
  const fs::path from = directory.starts_with("examples/")
                            ? fs::path(KOVA_SOURCE_DIR) / directory
                            : fs::path(KOVA_TEST_DATA) / "fuzz" / directory;
  for (const auto& entry : fs::directory_iterator(from))
    if (entry.is_regular_file() && entry.path().filename() != "README.md")
      fs::copy_file(entry.path(), entry.path().filename());
}

void expectStopWithInputsUntouched(const std::string& message) {
  const auto inputs = testing::filesAndContents();
  const auto result = testing::runKova();
  EXPECT_EQ(result.status, 1) << result.console;
  EXPECT_EQ(result.console, "\n" + message + "\n PROGRAM STOPS.\n");
  EXPECT_EQ(testing::changedFiles(inputs), "");
}

// A group whose records are all or all but one forecast records once
// reached the estimation: with none, YSIGMA was built over a negative
// count (a heap overflow, then a crash); with one, the first PHI step met a
// zero matrix and said nothing of the cause. Both now stop at the key file,
// before anything is written for any group.
TEST(HostileInputs, GroupsShortOfEstimationRecordsStopAtTheKeyFile) {
  const Expected cases[] = {
      {"short_group_no_estimation_records",
       " ERROR IN KEY FILE. GROUP 2 HAS 0 ESTIMATION RECORDS (KEYS WITHOUT F); A GROUP NEEDS "
       "AT LEAST 2."},
      {"short_group_one_estimation_record",
       " ERROR IN KEY FILE. GROUP 2 HAS 1 ESTIMATION RECORDS (KEYS WITHOUT F); A GROUP NEEDS "
       "AT LEAST 2."},
  };
  for (const Expected& c : cases) {
    SCOPED_TRACE(c.directory);
    testing::TempDir dir;
    copyInputs(c.directory);
    expectStopWithInputsUntouched(c.message);
    EXPECT_FALSE(fs::exists("YDATA.001"));
  }

  // The Grunfeld example with its last record moved to a new group of its own.
  testing::TempDir dir;
  copyInputs("examples/grunfeld-firms");
  std::string keys = testing::readFile("YXDKEY");
  const std::size_t last = keys.rfind("11 FY");
  ASSERT_NE(last, std::string::npos);
  keys.replace(last, 5, "12 F");
  testing::writeFile("YXDKEY", keys);
  expectStopWithInputsUntouched(
      " ERROR IN KEY FILE. GROUP 12 HAS 0 ESTIMATION RECORDS (KEYS WITHOUT F); A GROUP NEEDS AT "
      "LEAST 2.");
}

}  // namespace
}  // namespace kova
