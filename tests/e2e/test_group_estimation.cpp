// Whole runs through the group estimation: save files and a second run that
// starts from them, bad save files, and degenerate groups that must neither
// crash nor print numbers that are not numbers.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

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

void simulate(const std::string& options) {
  std::string command = std::string(KOVA_SIMULATOR) + " --out . " + options + " > /dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// Replaces the statement whose key starts with `key` in PARAMTRS, or adds it
// to the ALL group.
void setParameter(const std::string& key, const std::string& value) {
  std::string text = readFile("PARAMTRS");
  std::string statement = key + " = " + value + "\n";
  std::size_t at = text.find("\n" + key);
  if (at != std::string::npos) {
    std::size_t end = text.find('\n', at + 1);
    text.replace(at + 1, end - at, statement);
  } else {
    at = text.find("END GROUP (ALL)");
    text.insert(at, statement);
  }
  writeFile("PARAMTRS", text);
}

// The doubles of a record of an unformatted file (4-byte length words).
std::vector<std::vector<double>> records(const std::string& file) {
  std::string bytes = readFile(file);
  std::vector<std::vector<double>> out;
  std::size_t at = 0;
  while (at + 4 <= bytes.size()) {
    std::uint32_t n = 0;
    std::memcpy(&n, bytes.data() + at, 4);
    std::vector<double> values(n / 8);
    std::memcpy(values.data(), bytes.data() + at + 4, values.size() * 8);
    out.push_back(values);
    at += 8 + n;
  }
  return out;
}

bool hasNonNumbers(const std::string& report) {
  for (const char* bad : {"NaN", "nan", "Infinity", "Inf", "*************"})
    if (contains(report, bad)) return true;
  return false;
}

TEST(GroupEstimation, SecondRunStartsFromTheSaveFilesOfTheFirst) {
  testing::TempDir dir;
  simulate("--ng 2 --records 40 --k 2 --p 1 --m 2 --width 12 --pdata --ddata"
           " --start-phi \"0.3,0.1;0,0.2\" --start-delta \"0.2,0.05;0.05,0.1\""
           " --start-sigma2 0.5 --iterations 3");
  setParameter("SAVE THE FINAL PHI", "YES");
  setParameter("SAVE THE FINAL DELTA", "YES");
  auto first = testing::runKova();
  ASSERT_EQ(first.status, 0) << first.console;
  const std::string psave = readFile("PSAVE.001"), dsave = readFile("DSAVE.001");
  ASSERT_EQ(records("PSAVE.001").size(), 1u);
  auto d = records("DSAVE.001");
  ASSERT_EQ(d.size(), 2u);
  ASSERT_EQ(d[0].size(), 1u);
  ASSERT_EQ(d[1].size(), 4u);
  EXPECT_GT(d[0][0], 0.0);  // the estimated SIGMA**2 of the last pass
  // BETASAV: one pair of records per pass, K x NUMT values.
  auto beta = records("BETASAV.002");
  ASSERT_EQ(beta.size(), 6u);
  EXPECT_EQ(beta[5].size(), 2u * 38);  // two forecast records of 40

  setParameter("INITIAL PHI", "SAVED");
  setParameter("INITIAL DELTA", "SAVED");
  fs::remove("PDATA1");
  fs::remove("DDATA1");
  auto second = testing::runKova();
  ASSERT_EQ(second.status, 0) << second.console;
  const std::string report = readFile("KOVAOUT");
  EXPECT_TRUE(contains(report, "FROM TOLVERAN SAVE-FILE"));
  EXPECT_TRUE(contains(report, "THE STARTING PHI"));
  // PHI and DELTA start, and with no solver stay, exactly where the first
  // run left them.
  EXPECT_EQ(readFile("PSAVE.001"), psave);
  auto d2 = records("DSAVE.001");
  EXPECT_EQ(d2[1], d[1]);
  EXPECT_EQ(d2[0][0], d[0][0]);
}

TEST(GroupEstimation, MissingOrMisshapenSaveFilesStopTheRun) {
  testing::TempDir dir;
  simulate("--ng 1 --records 30 --k 2 --p 1 --m 2 --width 12 --iterations 2");
  setParameter("INITIAL PHI", "SAVED");
  auto missing = testing::runKova();
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(contains(missing.console, "PSAVE.001")) << missing.console;
  EXPECT_TRUE(contains(missing.console, "PROGRAM STOPS"));

  // A save file from a run with M = 3 does not fit M = 2.
  std::vector<double> phi3(9, 0.1);
  std::uint32_t n = 72;
  std::string bytes(reinterpret_cast<const char*>(&n), 4);
  bytes.append(reinterpret_cast<const char*>(phi3.data()), 72);
  bytes.append(reinterpret_cast<const char*>(&n), 4);
  writeFile("PSAVE.001", bytes);
  auto misshapen = testing::runKova();
  EXPECT_EQ(misshapen.status, 1);
  EXPECT_TRUE(contains(misshapen.console, "PSAVE.001")) << misshapen.console;
  EXPECT_EQ(readFile("PSAVE.001"), bytes);  // the user's file is left as it was
}

// Group 1: x(2) repeats the leading one, so the design has rank 1 of 2.
// Group 2: y = 1 + 2 x exactly, so SIGMA**2 is 0.
TEST(GroupEstimation, DegenerateGroupsRunWithoutNonNumbers) {
  testing::TempDir dir;
  std::string params =
      "BEGIN GROUP (ALL)\nTITLE = DEGENERATE\nT = 16\nK = 2\nP = 1\nM = 2\nCONST = YES\n"
      "ITERATIONS = 2\nPRINT LEVEL = 3\nWIDTH = 10\nEND GROUP (ALL)\nEND OF DATA\n";
  writeFile("PARAMTRS", params);
  std::string keys, data = "         Y         X\n";
  for (int t = 1; t <= 8; ++t) {
    keys += "1\n";
    char line[64];
    std::snprintf(line, sizeof line, "%10.4f%10.4f\n", 0.5 * t + (t % 3), 1.0);
    data += line;
  }
  for (int t = 1; t <= 8; ++t) {
    keys += "2\n";
    char line[64];
    const double x = 0.25 * t * t - t;
    std::snprintf(line, sizeof line, "%10.4f%10.4f\n", 1.0 + 2.0 * x, x);
    data += line;
  }
  writeFile("YXDKEY", keys + "END OF DATA\n");
  writeFile("YXDATA1", data);
  auto result = testing::runKova();
  ASSERT_EQ(result.status, 0) << result.console;
  const std::string report = readFile("KOVAOUT");
  EXPECT_FALSE(hasNonNumbers(report)) << report;
  EXPECT_TRUE(contains(report, "THE PI MATRIX"));
}

}  // namespace
}  // namespace kova
