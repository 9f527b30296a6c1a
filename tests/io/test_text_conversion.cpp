// Text tools and the validating conversions: their accept and reject rules
// and the exact messages users meet.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <utility>
#include <vector>

#include "io/console.h"
#include "io/fortran_io.h"
#include "io/stop.h"
#include "io/text_conversion.h"
#include "support/temp_dir.h"

namespace kova {
namespace {

constexpr int kLog = 102;

class ConversionTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(openUnit(kLog, "KOVALOG", "FORMATTED", "UNKNOWN"), 0); }
  std::string log() {
    flushAllUnits();
    return testing::readFile("KOVALOG");
  }
  testing::TempDir dir;
  std::ostringstream screen;
  ConsoleRedirect redirect{screen};
};

TEST(TextTools, LeftAdjustMovesContentsAndReportsLength) {
  std::string field = "   AB C  ";
  EXPECT_EQ(leftAdjust(field), 4);
  EXPECT_EQ(field, "AB C     ");
  std::string blank = "    ";
  EXPECT_EQ(leftAdjust(blank), 0);
  EXPECT_EQ(blank, "    ");
  std::string empty;
  EXPECT_EQ(leftAdjust(empty), 0);
}

TEST(TextTools, EndOfDataNeedsEachWordInOneCase) {
  EXPECT_TRUE(isEndOfData("END OF DATA"));
  EXPECT_TRUE(isEndOfData("  end of data   "));
  EXPECT_TRUE(isEndOfData("DATA OF THE END"));  // any order
  EXPECT_TRUE(isEndOfData("end OF data"));      // each word in one case
  EXPECT_FALSE(isEndOfData("End Of Data"));
  EXPECT_FALSE(isEndOfData("END DATA"));
}

TEST(TextTools, CentreUsesHalfTheSpareBlanks) {
  std::string field = "AB        ";  // W = 10, L = 2: four blanks before
  centre(field);
  EXPECT_EQ(field, "    AB    ");
  std::string odd = "  ABC    ";  // W = 9, L = 3: n = 3
  centre(odd);
  EXPECT_EQ(odd, "   ABC   ");
  std::string full = " ABCD";  // W = 5, L = 4: n = 0, stays left-adjusted
  centre(full);
  EXPECT_EQ(full, "ABCD ");
}

TEST_F(ConversionTest, CtiAcceptsIntegersWithBlanksAndSigns) {
  std::string field = "   42   ";
  int value = -1;
  CTI(field, value, kLog, "SUBROUTINE TEST", "STOP");
  EXPECT_EQ(value, 42);
  EXPECT_EQ(field, "42      ");
  struct Case { const char* text; int value; } cases[] = {
      {"-7", -7}, {"+15", 15}, {"1 2", 12}, {"- 3", -3}, {"2147483647", 2147483647}};
  for (const Case& c : cases) {
    std::string f = c.text;
    CTI(f, value, kLog, "SUBROUTINE TEST", "STOP");
    EXPECT_EQ(value, c.value) << c.text;
  }
  EXPECT_EQ(screen.str(), "");
}

TEST_F(ConversionTest, CtiRejectsWithExactMessagesUnderContinue) {
  int value = 5;
  for (const char* text : {"12A", "1.5", "+", "1-2", "--1", "2147483648", "FF"}) {
    std::string f = text;
    value = 5;
    CTI(f, value, kLog, "  SUBROUTINE GETKEY", "CONTINUE");
    EXPECT_EQ(value, 0) << text;
  }
  std::string blank = "     ";
  CTI(blank, value, kLog, "SUBROUTINE GETKEY", "continue");
  EXPECT_EQ(value, 0);
  const std::string bad =
      "\n FROM SUBROUTINE GETKEY: ERROR IN SUBROUTINE CTI--UNACCEPTABLE CHARACTER IN STRING. "
      "I IS SET TO 0.  PROGRAM CONTINUES.\n";
  const std::string blanks =
      "\n FROM SUBROUTINE GETKEY: ERROR IN SUBROUTINE CTI--ALL BLANKS IN STRING. I IS SET TO 0.  "
      "PROGRAM CONTINUES.\n";
  std::string expected;
  for (int i = 0; i < 7; ++i) expected += bad;
  expected += blanks;
  EXPECT_EQ(log(), expected);
  EXPECT_EQ(screen.str(), expected);
}

TEST_F(ConversionTest, CtiStopsUnlessOptionIsExactlyContinue) {
  int value = 0;
  std::string blank = "   ";
  EXPECT_THROW(CTI(blank, value, kLog, "SUBROUTINE GETPRM", "STOP"), RunStopped);
  EXPECT_EQ(log(),
            "\n FROM SUBROUTINE GETPRM: ERROR IN SUBROUTINECTI--ALL BLANKS IN STRING.  PROGRAM "
            "STOPS.\n");
  // "Continue" in mixed case is not the continue option for the conversions.
  std::string bad = "1x";
  EXPECT_THROW(CTI(bad, value, kLog, "SUBROUTINE GETPRM", "Continue"), RunStopped);
  EXPECT_NE(log().find("CTI--UNACCEPTABLE CHARACTER IN STRING.  PROGRAM STOPS."),
            std::string::npos);
}

TEST_F(ConversionTest, CtodrReadsWithoutImpliedDecimals) {
  struct Case { const char* text; double value; } cases[] = {
      {"5", 5.0},          {"2.5E-3", 0.0025}, {"1D2", 100.0},  {"1.5E3", 1500.0},
      {"-.5", -0.5},       {"1.5+3", 1500.0},  {"7.25D-1", 0.725}, {"1 000.5", 1000.5},
      {"+0.0", 0.0}};
  for (const Case& c : cases) {
    std::string f = c.text;
    double value = -1;
    CTODR(f, value, kLog, "SUBROUTINE TEST", "STOP");
    EXPECT_DOUBLE_EQ(value, c.value) << c.text;
  }
}

TEST_F(ConversionTest, CtodrRejectsLowerCaseExponentAndMalformedNumbers) {
  for (const char* text : {"1.5e3", "1.2.3", "E5", "1E", "--1", "+", ".", "1.5E+", "12A"}) {
    std::string f = text;
    double value = 9.0;
    CTODR(f, value, kLog, "SUBROUTINE SETDAT", "CONTINUE");
    EXPECT_EQ(value, 0.0) << text;
  }
  EXPECT_NE(log().find("\n FROM SUBROUTINE SETDAT: ERROR IN SUBROUTINE CTODR--UNACCEPTABLE "
                       "CHARACTER IN STRING. DBREAL IS SET TO 0.  PROGRAMM CONTINUES.\n"),
            std::string::npos);
  std::string blank = " ";
  double value = 0;
  CTODR(blank, value, kLog, "SUBROUTINE SETDAT", "CONTINUE");
  EXPECT_NE(log().find("CTODR--ALL BLANKS IN STRING. DREAL IS SET TO 0.  PROGRAM CONTINUES."),
            std::string::npos);
  EXPECT_THROW(CTODR(blank, value, kLog, "SUBROUTINE SETDAT", "STOP"), RunStopped);
  EXPECT_NE(log().find("ERROR IN SUBROUTINECTODR--ALL BLANKS IN STRING.  PROGRAM STOPS."),
            std::string::npos);
}

TEST_F(ConversionTest, IcnvrtWritesDigitsAndGuardsItsRange) {
  std::string field(10, '#');
  ICNVRT(field, 0, kLog, "STOP");
  EXPECT_EQ(field, "0         ");
  ICNVRT(field, 999999999, kLog, "STOP");
  EXPECT_EQ(field, "999999999 ");
  std::string narrow(2, '#');
  ICNVRT(narrow, 42, kLog, "STOP");
  EXPECT_EQ(narrow, "42");

  std::string kept = "keep";
  ICNVRT(kept, -1, kLog, "CONTINUE");
  EXPECT_EQ(kept, "keep");
  EXPECT_EQ(log(),
            "\n INTEGER I=        -1 IS NOT WITHIN CONVERSION RANGE IN SUBROUTINE ICNVRT.  NO "
            "CONVERSION IS PERFORMED.\n PROGRAM CONTINUES.\n");
  EXPECT_THROW(ICNVRT(kept, 1000000000, kLog, "STOP"), RunStopped);
  EXPECT_NE(log().find(" INTEGER I=1000000000 IS NOT WITHIN CONVERSION RANGE IN SUBROUTINE "
                       "ICNVRT.  PROGRAM STOPS.\n"),
            std::string::npos);
}

TEST_F(ConversionTest, HpsortSortsKeysWithCompanions) {
  int keys[] = {3, 1, 2};
  int companions[] = {30, 10, 20};
  HPSORT(3, keys, companions, kLog, "STOP");
  EXPECT_EQ(std::vector<int>(keys, keys + 3), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(std::vector<int>(companions, companions + 3), (std::vector<int>{10, 20, 30}));

  // Many ties: the result is ascending and every pair travels together.
  std::mt19937 rng(7);
  for (int n : {1, 2, 5, 64, 1000}) {
    std::vector<int> k(n), c(n);
    std::vector<std::pair<int, int>> pairs;
    for (int i = 0; i < n; ++i) {
      k[i] = static_cast<int>(rng() % 5);
      c[i] = i;
      pairs.emplace_back(k[i], c[i]);
    }
    HPSORT(n, k.data(), c.data(), kLog, "STOP");
    EXPECT_TRUE(std::is_sorted(k.begin(), k.end()));
    std::vector<std::pair<int, int>> after;
    for (int i = 0; i < n; ++i) after.emplace_back(k[i], c[i]);
    std::sort(pairs.begin(), pairs.end());
    std::sort(after.begin(), after.end());
    EXPECT_EQ(pairs, after);
  }
}

TEST_F(ConversionTest, HpsortOfNothingContinuesOrStops) {
  int key = 4, companion = 40;
  HPSORT(0, &key, &companion, kLog, "CONTINUE");
  EXPECT_EQ(key, 4);
  EXPECT_EQ(log(),
            "\n NDATA IN SUBROUTINE HPSORT IS NOT POSITIVE.\n\n NO SORTING IS PERFORMED.  PROGRAM "
            "CONTINUES\n\n");
  EXPECT_THROW(HPSORT(-1, &key, &companion, kLog, "STOP"), RunStopped);
  EXPECT_NE(log().find("IS NOT POSITIVE.\n\n PROGRAM STOPS.\n"), std::string::npos);
}

}  // namespace
}  // namespace kova
