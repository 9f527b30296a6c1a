// Seeded random damage to a valid parameter file: every damaged file must be
// read to its end or stop the run after a message, never anything else.
#include <gtest/gtest.h>

#include <sstream>

#include <random>
#include <string>
#include <vector>

#include "test_parameter_support.h"

namespace kova {
namespace {

using paramtest::WorkDir;

const std::string kValid =
    "! fuzz seed file\n"
    "BEGIN GROUP (ALL)\n"
    "  TITLE = FUZZ RUN\n"
    "  T = 40\n  K = 3\n  P = 2\n  M = 3\n"
    "  CONSTANT = YES\n  Z-VECTORS = USER\n  L-MATRIX = DEFAULT\n"
    "  INIT PHI = SAVED\n  INIT DELTA = USER\n  ZERO PHI = NO\n"
    "  DIAG PHI = NO\n  DIAG DELTA = YES\n  SAVE PHI = YES\n  SAVE DELTA = NO\n"
    "  SAVE BETA = YES\n  MONTE CARLO PHI = 100\n  MONTE CARLO DELTA = 50\n"
    "  RESTR PHI = 2\n  RESTR PI = 3\n  RESTR PI INEQ = 1\n  RESTR DELTA = 1\n"
    "  ITERATIONS = 6\n  PRINT LEVEL = 3\n  STATISTICS = 1\n  WIDTH = 10\n"
    "  OLS = NO\n  GLS = YES\n  SING = NO\n  HYP = NO\n  EVLTOL = 0.98\n"
    "END GROUP (ALL)\n"
    "BEGIN GROUP (12)\n  ITER = 4\nEND GROUP (12)\n"
    "begin group (150)\n  iter = 2\nend group (150)\n"
    "END OF DATA\n";

// Characters that matter to the reader, and some that should not.
const std::string kInteresting = "=()!-+.EDed0123456789 TKMPAGLUNYSall\t\r\x01\x7f\xff";

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start + 1));
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

std::string join(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line;
  return text;
}

std::string mutate(std::string text, std::mt19937& rng) {
  auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
  int rounds = 1 + static_cast<int>(pick(4));
  for (int r = 0; r < rounds; ++r) {
    std::vector<std::string> lines = splitLines(text);
    switch (pick(7)) {
      case 0:  // delete a character
        if (!text.empty()) text.erase(pick(text.size()), 1);
        break;
      case 1:  // duplicate a character
        if (!text.empty()) {
          std::size_t at = pick(text.size());
          text.insert(at, 1, text[at]);
        }
        break;
      case 2:  // alter a character
        if (!text.empty()) text[pick(text.size())] = kInteresting[pick(kInteresting.size())];
        break;
      case 3:  // alter a character to any byte
        if (!text.empty()) text[pick(text.size())] = static_cast<char>(pick(256));
        break;
      case 4:  // delete a line
        if (!lines.empty()) {
          lines.erase(lines.begin() + static_cast<long>(pick(lines.size())));
          text = join(lines);
        }
        break;
      case 5:  // duplicate a line
        if (!lines.empty()) {
          std::size_t at = pick(lines.size());
          lines.insert(lines.begin() + static_cast<long>(at), lines[at]);
          text = join(lines);
        }
        break;
      default:  // move a line elsewhere
        if (lines.size() > 1) {
          std::string line = lines[pick(lines.size())];
          lines.insert(lines.begin() + static_cast<long>(pick(lines.size())), line);
          lines.erase(lines.begin() + static_cast<long>(pick(lines.size())));
          text = join(lines);
        }
        break;
    }
  }
  return text;
}

TEST(GETPRMFuzz, DamagedFilesEndNormallyOrStopAfterAMessage) {
  WorkDir dir;
  paramtest::ParamRun valid = paramtest::runGETPRM(kValid);
  ASSERT_FALSE(valid.stopped) << valid.console;
  ASSERT_EQ(valid.options.optionGroups.NOPTG, 2);

  std::mt19937 rng(20261207);
  int stopped = 0;
  const int cases = 3000;
  for (int i = 0; i < cases; ++i) {
    std::string text = mutate(kValid, rng);
    paramtest::ParamRun run;
    try {
      run = paramtest::runGETPRM(text);
    } catch (const std::exception& e) {
      FAIL() << "case " << i << " threw " << e.what() << " on:\n" << text;
    }
    if (run.stopped) {
      ++stopped;
      // A stop is always explained on the console and in the log.
      EXPECT_NE(run.console.find("STOPS"), std::string::npos) << "case " << i << ":\n" << text;
      EXPECT_NE(run.log.find("STOPS"), std::string::npos) << "case " << i << ":\n" << text;
    } else {
      // A run that goes on says on the console only what it made of the
      // lines the rules read loosely, and says the same in the log.
      std::istringstream lines(run.console);
      for (std::string line; std::getline(lines, line);) {
        EXPECT_EQ(line.rfind(" WARNING: LINE ", 0), 0u) << "case " << i << ": " << line;
        EXPECT_NE(run.log.find(line), std::string::npos) << "case " << i << ": " << line;
        for (char c : line) EXPECT_TRUE(c >= ' ' && c <= '~') << "case " << i << ": " << line;
      }
      EXPECT_LE(run.options.optionGroups.NOPTG, kOptionGroupCapacity);
      EXPECT_GE(run.options.piRestrictionRows, run.options.piEqualityRows);
    }
  }
  // Both outcomes must be exercised for the test to mean anything.
  EXPECT_GT(stopped, cases / 10);
  EXPECT_LT(stopped, cases);
}

}  // namespace
}  // namespace kova
