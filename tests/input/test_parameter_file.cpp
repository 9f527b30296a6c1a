#include <gtest/gtest.h>

#include <string>

#include "input/option_groups.h"
#include "test_parameter_support.h"

namespace kova {
namespace {

using paramtest::allGroup;
using paramtest::ParamRun;
using paramtest::runGETPRM;
using paramtest::WorkDir;

const std::string kOpenLine =
    "\n FROM SUBROUTINE GETPRM: NORMAL RETURN FROM OPENING OF FILE PARAMTRS.  IOCOND =    0.\n";
const std::string kRewindLine =
    "\n FROM SUBROUTINE GETPRM: NORMAL RETURN FROM REWINDING OF FILE PARAMTRS.  IOCOND =    0.\n";
const std::string kCloseLine =
    "\n FROM SUBROUTINE GETPRM: NORMAL RETURN FROM CLOSING OF FILE PARAMTRS.  IOCOND =    0.\n";

// The run stopped through the error reporter with exactly this message, in
// the log and on the console, and nothing was written after it.
void expectStop(const ParamRun& run, const std::string& message) {
  EXPECT_TRUE(run.stopped);
  const std::string tail = "\n" + message + "\n PROGRAM STOPS.\n";
  EXPECT_EQ(run.console, tail);
  ASSERT_GE(run.log.size(), tail.size()) << run.log;
  EXPECT_EQ(run.log.substr(run.log.size() - tail.size()), tail) << run.log;
}

// A conversion failure carries its own stop words on the message line.
void expectConversionStop(const ParamRun& run, const std::string& message) {
  EXPECT_TRUE(run.stopped);
  EXPECT_EQ(run.console, "\n" + message + "\n");
  EXPECT_EQ(run.log, kOpenLine + kRewindLine + "\n" + message + "\n");
}

TEST(GETPRM, DimensionsAndEveryDefault) {
  WorkDir dir;
  ParamRun run = runGETPRM(allGroup("T = 40\nM = 2\nK = 3\nP = 1\n"));
  ASSERT_FALSE(run.stopped) << run.console;
  const Options& o = run.options;
  EXPECT_EQ(o.T, 40);
  EXPECT_EQ(o.M, 2);
  EXPECT_EQ(o.K, 3);
  EXPECT_EQ(o.P, 1);
  EXPECT_TRUE(o.leadingOnes);
  EXPECT_EQ(o.zSource, ' ');
  EXPECT_EQ(o.lSource, ' ');
  EXPECT_EQ(o.phiSource, ' ');
  EXPECT_EQ(o.deltaSource, ' ');
  EXPECT_FALSE(o.zeroPhi || o.diagonalPhi || o.diagonalDelta || o.savePhi || o.saveDelta);
  EXPECT_TRUE(o.saveBeta);
  EXPECT_EQ(o.monteCarloPhi, 200);
  EXPECT_EQ(o.monteCarloDelta, 200);
  EXPECT_EQ(o.phiRestrictionRows + o.piEqualityRows + o.piRestrictionRows +
                o.deltaRestrictionRows, 0);
  EXPECT_EQ(o.iterations, 5);
  EXPECT_EQ(o.printLevel, 1);
  EXPECT_EQ(o.statisticsLevel, 1);
  EXPECT_EQ(o.title, std::string(80, ' '));
  EXPECT_EQ(o.dataFieldWidth, 0);
  EXPECT_FALSE(o.ordinaryLeastSquares || o.generalisedLeastSquares || o.sing || o.hyp);
  EXPECT_DOUBLE_EQ(o.EVLTOL, 0.995);
  EXPECT_EQ(o.optionGroups.NOPTG, 0);
  EXPECT_EQ(run.log, kOpenLine + kRewindLine + kCloseLine);
  EXPECT_EQ(run.console, "");
  EXPECT_EQ(run.out, "");
}

TEST(GETPRM, IterationsAreStoredLessOneAndNeverBelowZero) {
  WorkDir dir;
  const std::pair<const char*, int> cases[] = {
      {"1", 0}, {"0", 0}, {"6", 5}, {"-3", 0}, {"-2147483648", 0}, {"999", 998}};
  for (const auto& [given, stored] : cases) {
    ParamRun run = runGETPRM(allGroup(std::string("ITERATIONS = ") + given + "\n"));
    ASSERT_FALSE(run.stopped) << given;
    EXPECT_EQ(run.options.iterations, stored) << given;
  }
  // Above the bound, in the ALL group and in a numbered group.
  for (const char* given : {"1000", "2147483647"})
    expectStop(runGETPRM(allGroup(std::string("T = 4\nITERATIONS = ") + given + "\n")),
               " ERROR IN SUBROUTINE GETPRM, AN ITERATION COUNT ABOVE 999 IN LINE 3 OF FILE "
               "PARAMTRS.");
  expectStop(runGETPRM("BEGIN GROUP (7)\nITER = 6500000\nEND GROUP (7)\nEND OF DATA\n"),
             " ERROR IN SUBROUTINE GETPRM, AN ITERATION COUNT ABOVE 999 IN LINE 2 OF FILE "
             "PARAMTRS.");
}

TEST(GETPRM, PiRestrictionCountsEqualitiesAndInequalities) {
  WorkDir dir;
  ParamRun run = runGETPRM(allGroup("RESTR PI = 3\nRESTR PI INEQ = 2\n"));
  EXPECT_EQ(run.options.piEqualityRows, 3);
  EXPECT_EQ(run.options.piRestrictionRows, 5);

  run = runGETPRM(allGroup("restr pi ineq = 2\nrestr pi = 3\nRESTR PI INEQ = 1\n"));
  EXPECT_EQ(run.options.piEqualityRows, 3);
  EXPECT_EQ(run.options.piRestrictionRows, 6);

  // An equality count given again replaces the first one: the rows do not
  // turn into inequalities.
  run = runGETPRM(allGroup("RESTR PI = 3\nRESTR PI INEQ = 2\nRESTR PI = 4\n"));
  EXPECT_EQ(run.options.piEqualityRows, 4);
  EXPECT_EQ(run.options.piRestrictionRows, 6);

  run = runGETPRM(allGroup("RESTRICTIONS ON PHI = 4\nRESTRICTIONS ON DELTA = 7\n"));
  EXPECT_EQ(run.options.phiRestrictionRows, 4);
  EXPECT_EQ(run.options.deltaRestrictionRows, 7);
  EXPECT_EQ(run.options.piRestrictionRows, 0);
}

TEST(GETPRM, RestrictionCountsThatCannotBeSizesStop) {
  WorkDir dir;
  expectStop(runGETPRM(allGroup("RESTR PHI = -1\n")),
             " ERROR IN SUBROUTINE GETPRM, A NEGATIVE NUMBER OF RESTRICTION ROWS IN LINE 2 OF "
             "FILE PARAMTRS.");
  expectStop(runGETPRM(allGroup("RESTR PI INEQ = 2147483647\nRESTR PI = 1\n")),
             " ERROR IN SUBROUTINE GETPRM, TOO MANY PI-RESTRICTION ROWS IN LINE 3 OF FILE "
             "PARAMTRS.");
}

TEST(GETPRM, ValueRulesOfTheSwitchesAndSources) {
  WorkDir dir;
  EXPECT_FALSE(runGETPRM(allGroup("CONST = NO\n")).options.leadingOnes);
  EXPECT_TRUE(runGETPRM(allGroup("CONST = NO\nCONST = YES\n")).options.leadingOnes);
  EXPECT_TRUE(runGETPRM(allGroup("CONST = NO\nconst =\n")).options.leadingOnes);
  EXPECT_TRUE(runGETPRM(allGroup("ZERO PHI = YES\n")).options.zeroPhi);
  EXPECT_FALSE(runGETPRM(allGroup("ZERO PHI = NO\n")).options.zeroPhi);

  Options o = runGETPRM(allGroup("INIT PHI = SAVED\nINIT DELTA = USER\nZ-VECTORS = USER\n"
                                 "L-MATRIX = SAVED\n"))
                  .options;
  EXPECT_EQ(o.phiSource, 'S');
  EXPECT_EQ(o.deltaSource, 'U');
  EXPECT_EQ(o.zSource, 'U');
  EXPECT_EQ(o.lSource, 'D');  // no save file for the L-matrix

  o = runGETPRM(allGroup("INIT DELTA = DEFAULT\ninit phi = use\nINIT = USER\n")).options;
  EXPECT_EQ(o.deltaSource, 'D');
  EXPECT_EQ(o.phiSource, 'U');

  o = runGETPRM(allGroup("DIAG PHI = Y\nDIAG DELTA = y\nSAVE PHI = YES\nSAVE DELTA = ok\n"
                         "SAVE BETA = NO\nOLS = YES\nAR(1) = YES\nSING = Y\nHYP = Y\n"))
          .options;
  EXPECT_TRUE(o.diagonalPhi && o.diagonalDelta && o.savePhi && o.saveDelta);
  EXPECT_FALSE(o.saveBeta);
  EXPECT_TRUE(o.ordinaryLeastSquares && o.generalisedLeastSquares && o.sing && o.hyp);
}

TEST(GETPRM, KeywordsMatchInOneCaseAndTheFirstRuleWins) {
  WorkDir dir;
  Options o = runGETPRM(allGroup("Const = NO\nt = 12\nTT = 99\nprint level = 3\n"
                                 "STATISTICS = 2\nWIDTH = 10\nmonte carlo delta = 50\n"
                                 "MONTE CARLO PHI = 70\nEVLTOL = 9.5D-1\nGLS = YES\n"
                                 "UNKNOWN WORD = 5\n"))
                  .options;
  EXPECT_TRUE(o.leadingOnes);  // mixed case is not a keyword
  EXPECT_EQ(o.T, 12);
  EXPECT_EQ(o.printLevel, 3);
  EXPECT_EQ(o.statisticsLevel, 2);
  EXPECT_EQ(o.dataFieldWidth, 10);
  EXPECT_EQ(o.monteCarloDelta, 50);
  EXPECT_EQ(o.monteCarloPhi, 70);
  EXPECT_DOUBLE_EQ(o.EVLTOL, 0.95);
  EXPECT_TRUE(o.generalisedLeastSquares);

  // INIT matches before ITER and, without PHI or DEL, does nothing; ZERO
  // matches before DIAG; SAV before ITER.
  o = runGETPRM(allGroup("INIT ITER = 9\nZERO DIAG PHI = YES\nSAVE ITER PHI = NO\n")).options;
  EXPECT_EQ(o.iterations, 5);
  EXPECT_TRUE(o.zeroPhi);
  EXPECT_FALSE(o.diagonalPhi);
  EXPECT_FALSE(o.savePhi);
}

TEST(GETPRM, TitleIsCentredAndKeepsItsEqualSigns) {
  WorkDir dir;
  Options o = runGETPRM(allGroup("TITLE =   SALES A=B\n")).options;
  EXPECT_EQ(o.title, std::string(35, ' ') + "SALES A=B" + std::string(36, ' '));
  // A line with "!" is a comment in its entirety.
  ParamRun run = runGETPRM(allGroup("TITLE = SALES ! QUARTERLY\n"));
  EXPECT_FALSE(run.stopped);
  EXPECT_EQ(run.options.title, std::string(80, ' '));
}

TEST(GETPRM, NumberedGroupsCarryOnlyTheirIterationLimit) {
  WorkDir dir;
  ParamRun run = runGETPRM(
      "! groups\n\nBEGIN GROUP (ALL)\nM = 2\nEND GROUP (ALL)\n"
      "BEGIN GROUP (12)\nITER = 4\nM = 5\nEND GROUP (12)\n"
      "begin group ( 7 )\niterations = 1\nend group (7)\n"
      "BEGIN GROUP (12)\nITER = 9\nEND GROUP (12)\nEND OF DATA\n");
  ASSERT_FALSE(run.stopped) << run.console;
  const OptionGroupTable& t = run.options.optionGroups;
  EXPECT_EQ(run.options.M, 2);
  EXPECT_EQ(run.options.iterations, 5);
  ASSERT_EQ(t.NOPTG, 3);
  EXPECT_EQ(t.OPTGID[0], 12);
  EXPECT_EQ(t.name[0], "MAXITG      ");
  EXPECT_EQ(t.value[0], 3);
  EXPECT_EQ(t.OPTGID[1], 7);
  EXPECT_EQ(t.value[1], 0);
  EXPECT_EQ(t.OPTGID[2], 12);
  EXPECT_EQ(t.value[2], 8);
}

TEST(GETPRM, GroupZeroIsTheAllGroup) {
  WorkDir dir;
  ParamRun run = runGETPRM("BEGIN GROUP (0)\nM = 5\nITER = 3\nEND GROUP (ALL)\nEND OF DATA\n");
  ASSERT_FALSE(run.stopped) << run.console;
  EXPECT_EQ(run.options.M, 5);
  EXPECT_EQ(run.options.iterations, 2);
  EXPECT_EQ(run.options.optionGroups.NOPTG, 0);
  expectStop(runGETPRM("BEGIN GROUP (0)\nEND GROUP (0)\nEND OF DATA\n"),
             " ERROR IN SUBROUTINE GETPRM NEAR AN END-GROUP(#) STATEMENT.");
}

TEST(GETPRM, TheEndLineEndsTheFileWhereverItStands) {
  WorkDir dir;
  // An open group at the end line is accepted, and nothing after it is read.
  ParamRun run = runGETPRM("BEGIN GROUP (ALL)\nK = 3\nTITLE = END OF DATA SET\nK = 4\n");
  ASSERT_FALSE(run.stopped) << run.console;
  EXPECT_EQ(run.options.K, 3);
  EXPECT_EQ(run.log, kOpenLine + kRewindLine + kCloseLine);
  // "End Of Data" is not an end line: outside a group it is a bad statement.
  expectStop(runGETPRM("End Of Data\n"),
             " ERROR IN SUBROUTINE GETPRM NEAR A BEGIN-GROUP(#) STATEMENT.");
}

TEST(GETPRM, MalformedGroupStatementsStopWithTheirMessages) {
  WorkDir dir;
  const std::pair<std::string, std::string> cases[] = {
      {"T = 40\nEND OF DATA\n", " ERROR IN SUBROUTINE GETPRM NEAR A BEGIN-GROUP(#) STATEMENT."},
      {"BEGIN GROUP )ALL(\nEND OF DATA\n",
       " ERROR IN SUBROUTINE GETPRM NEAR A BEGIN-GROUP(#) STATEMENT."},
      {"BEGIN (ALL)\nEND OF DATA\n",
       " ERROR IN SUBROUTINE GETPRM NEAR A BEGIN-GROUP(#) STATEMENT."},
      {"BEGIN GROUP (1234)\nEND OF DATA\n", " ERROR IN SUBROUTINE GETPRM WITH GROUP ID TOO LONG."},
      {"BEGIN GROUP (  )\nEND OF DATA\n", " ERROR IN SUBROUTINE GETPRM WITH GROUP ID TOO LONG."},
      {"BEGIN GROUP (151)\nEND OF DATA\n",
       " ERROR IN SUBROUTINE GETPRM WITH GROUP IDGREATER THAN MAXGID."},
      {"BEGIN GROUP (-1)\nEND OF DATA\n",
       " ERROR IN SUBROUTINE GETPRM, A NEGATIVE GROUP ID IN LINE 1 OF FILE PARAMTRS."},
      {allGroup("BEGIN GROUP (12)\n"), " ERROR IN SUBROUTINE GETPRM AN END-GROUP(#) STATEMENT."},
      {"BEGIN GROUP (ALL)\nEND GROUP (ALLX)\nEND OF DATA\n",
       " ERROR IN SUBROUTINE GETPRM WITH GROUP ID"},
      {"BEGIN GROUP (ALL)\nEND GROUP (12)\nEND OF DATA\n",
       " ERROR IN SUBROUTINE GETPRM NEAR AN END-GROUP(#) STATEMENT."},
      {"BEGIN GROUP (12)\nEND (12)\nEND OF DATA\n",
       " ERROR IN SUBROUTINE GETPRM NEAR AN END-GROUP(#) STATEMENT."},
      {"BEGIN GROUP (12)\nEND GROUP (0012)\nEND OF DATA\n",
       " ERROR IN SUBROUTINE GETPRM WITH GROUP IDTOO LONG"},
      {"BEGIN GROUP (12)\nEND GROUP (13)\nEND OF DATA\n",
       " ERROR IN SUBROUTINE GETPRM WITH CONFLICTINGGROUP ID'S."},
      {allGroup("  = 5\n"), " ERROR IN SUBROUTINE GETPRM, WITH THE EQUAL SIGN."},
      {"BEGIN GROUP (3)\n= 5\nEND OF DATA\n", " ERROR IN SUBROUTINE GETPRM, WITH THE EQUAL SIGN."},
  };
  for (const auto& [text, message] : cases) {
    SCOPED_TRACE(text);
    expectStop(runGETPRM(text), message);
  }
  // The largest identifier is still a group.
  EXPECT_FALSE(runGETPRM("BEGIN GROUP (150)\nEND GROUP (150)\nEND OF DATA\n").stopped);
}

TEST(GETPRM, ValuesThatAreNotNumbersStopInTheConversions) {
  WorkDir dir;
  expectConversionStop(runGETPRM(allGroup("T = 4O\n")),
                       " FROM SUBROUTINE GETPRM: ERROR IN SUBROUTINE CTI--UNACCEPTABLE "
                       "CHARACTER IN STRING.  PROGRAM STOPS.");
  expectConversionStop(runGETPRM(allGroup("K =\n")),
                       " FROM SUBROUTINE GETPRM: ERROR IN SUBROUTINECTI--ALL BLANKS IN "
                       "STRING.  PROGRAM STOPS.");
  expectConversionStop(runGETPRM(allGroup("EVLTOL = 0.9e0\n")),
                       " FROM SUBROUTINE GETPRM: ERROR IN SUBROUTINE CTODR--UNACCEPTABLE "
                       "CHARACTER IN STRING.  PROGRAM STOPS.");
  // A numbered group closed as ALL reaches the integer conversion.
  expectConversionStop(runGETPRM("BEGIN GROUP (12)\nEND GROUP (ALL)\nEND OF DATA\n"),
                       " FROM SUBROUTINE GETPRM: ERROR IN SUBROUTINE CTI--UNACCEPTABLE "
                       "CHARACTER IN STRING.  PROGRAM STOPS.");
}

TEST(GETPRM, FileWithoutItsEndLineStopsAfterClosingIt) {
  WorkDir dir;
  for (const std::string text : {"", "BEGIN GROUP (ALL)\nT = 4\nEND GROUP (ALL)\n"}) {
    ParamRun run = runGETPRM(text);
    const std::string message =
        "ERROR IN READING DATA IN SUBROUTINE GETPRM.  CHECK DATA AND THE TWO CLOSING LINES.";
    expectStop(run, message);
    EXPECT_EQ(run.log, kOpenLine + kRewindLine + kCloseLine + "\n" + message +
                           "\n PROGRAM STOPS.\n");
  }
}

TEST(GETPRM, MissingFileStopsInTheOpenService) {
  WorkDir dir;
  ParamRun run = runGETPRM("", {}, false);
  const std::string message =
      " FROM SUBROUTINE GETPRM: ERROR IN OPENING OF FILE PARAMTRS, WITH IOCOND =    2.  "
      "PROGRAM STOPS.";
  EXPECT_TRUE(run.stopped);
  EXPECT_EQ(run.log, "\n" + message + "\n");
  EXPECT_EQ(run.console, "\n" + message + "\n");
}

TEST(GETPRM, OptionGroupTableFullIsAShortage) {
  WorkDir dir;
  Capacities small;
  small.optionGroups = 2;
  std::string text = "BEGIN GROUP (5)\nITER = 2\nITER = 3\nITER = 4\nEND GROUP (5)\nEND OF DATA\n";
  ParamRun run = runGETPRM(text, small);
  EXPECT_TRUE(run.stopped);
  const std::string report =
      "\n FROM THE PROGRAM REGION SUBROUTINE GETPRM, THE NUMBER OF VARIABLES OF TYPE\n"
      " OPTGID,... NEEDED IS AT LEAST 3.\n\n"
      " THE NUMBER OF VARIABLES OF TYPE OPTGID,... ALLOCATED\n"
      " IS OF THE SIZE 2.\n\n PROGRAM STOPS.\n";
  EXPECT_EQ(run.out, report);
  EXPECT_EQ(run.console, report);
  EXPECT_EQ(run.log, kOpenLine + kRewindLine + report);

  // At the full capacity of 150 entries the file is still read.
  std::string full = "BEGIN GROUP (5)\n";
  for (int i = 0; i < 150; ++i) full += "ITER = " + std::to_string(i) + "\n";
  run = runGETPRM(full + "END GROUP (5)\nEND OF DATA\n");
  ASSERT_FALSE(run.stopped);
  EXPECT_EQ(run.options.optionGroups.NOPTG, 150);
  EXPECT_EQ(run.options.optionGroups.value[149], 148);
  run = runGETPRM(full + "ITER = 1\nEND GROUP (5)\nEND OF DATA\n");
  EXPECT_TRUE(run.stopped);
  EXPECT_NE(run.log.find(" OPTGID,... NEEDED IS AT LEAST 151."), std::string::npos);
}

TEST(GETPRM, LongAndWindowsLinesAreReadAsEightyColumns) {
  WorkDir dir;
  // Column 81 onwards is not part of the line.
  std::string longLine = "K = 3" + std::string(75, ' ') + "4\r\n";
  ParamRun run = runGETPRM("BEGIN GROUP (ALL)\r\n" + longLine + "END GROUP (ALL)\r\nEND OF DATA\r\n");
  ASSERT_FALSE(run.stopped) << run.console;
  EXPECT_EQ(run.options.K, 3);
}

TEST(GETPRM, ExampleFileReadsAsDocumented) {
  WorkDir dir;
  std::string text = paramtest::readText(std::string(KOVA_TEST_DATA) + "/input/PARAMTRS.example");
  ASSERT_FALSE(text.empty());
  ParamRun run = runGETPRM(text);
  ASSERT_FALSE(run.stopped) << run.console;
  const Options& o = run.options;
  EXPECT_EQ(o.T, 60);
  EXPECT_EQ(o.K, 3);
  EXPECT_EQ(o.P, 2);
  EXPECT_EQ(o.M, 3);
  EXPECT_EQ(o.iterations, 5);
  EXPECT_EQ(o.dataFieldWidth, 12);
  EXPECT_EQ(o.zSource, 'D');
  EXPECT_EQ(o.phiSource, 'D');
  ASSERT_EQ(o.optionGroups.NOPTG, 2);
  EXPECT_EQ(o.optionGroups.OPTGID[0], 2);
  EXPECT_EQ(o.optionGroups.value[0], 3);
  EXPECT_EQ(o.optionGroups.OPTGID[1], 3);
  EXPECT_EQ(o.optionGroups.value[1], 1);
}

}  // namespace
}  // namespace kova

namespace kova {
namespace {

using paramtest::allGroup;
using paramtest::ParamRun;
using paramtest::runGETPRM;
using paramtest::WorkDir;

// The lines the rules read loosely: each still means what it always did,
// and each gets one warning, the same on the console and in the log.
TEST(GETPRMChecks, LooseLinesAreReadAsBeforeAndWarnedAbout) {
  WorkDir dir;
  ParamRun run = runGETPRM(
      "BEGIN GROUP (ALL)\n"        // line 1
      "M = 2\n"                    // 2
      "FOO = 1\n"                  // 3
      "GLS = TRUE\n"               // 4
      "OLS = 1\n"                  // 5
      "DIAGONAL PHI = MAYBE\n"     // 6
      "ZERO PHI = NO\n"            // 7: plain
      "INIT = USER\n"              // 8: INIT without PHI or DELTA
      "Z-VECTORS = USR\n"          // 9
      "INITIAL PHI = saved\n"      // 10: plain, lower case
      "X = 3\n"                    // 11
      "Const = NO\n"               // 12: mixed case is no keyword
      "SAVE BETA = yes\n"          // 13: plain
      "CONST =\n"                  // 14: empty
      "END GROUP (ALL)\n"
      "BEGIN GROUP (4)\nITER = 3\nM = 5\nEND GROUP (4)\n"  // 16..19
      "END OF DATA\n");
  ASSERT_FALSE(run.stopped) << run.console;
  const Options& o = run.options;
  EXPECT_EQ(o.M, 2);
  EXPECT_FALSE(o.generalisedLeastSquares);  // TRUE holds no Y
  EXPECT_FALSE(o.ordinaryLeastSquares);
  EXPECT_TRUE(o.diagonalPhi);  // MAYBE holds a Y
  EXPECT_EQ(o.zSource, 'D');
  EXPECT_EQ(o.phiSource, 'S');
  EXPECT_TRUE(o.leadingOnes);
  EXPECT_EQ(o.optionGroups.NOPTG, 1);

  const std::string expected =
      " WARNING: LINE 3 OF FILE PARAMTRS, \"FOO = 1\": NO STATEMENT HAS THIS NAME; THE LINE IS "
      "IGNORED.\n"
      " WARNING: LINE 4 OF FILE PARAMTRS, \"GLS = TRUE\": THE VALUE IS NEITHER YES NOR NO; TAKEN "
      "AS NO.\n"
      " WARNING: LINE 5 OF FILE PARAMTRS, \"OLS = 1\": THE VALUE IS NEITHER YES NOR NO; TAKEN AS "
      "NO.\n"
      " WARNING: LINE 6 OF FILE PARAMTRS, \"DIAGONAL PHI = MAYBE\": THE VALUE IS NEITHER YES NOR "
      "NO; TAKEN AS YES.\n"
      " WARNING: LINE 8 OF FILE PARAMTRS, \"INIT = USER\": NO STATEMENT HAS THIS NAME; THE LINE IS "
      "IGNORED.\n"
      " WARNING: LINE 9 OF FILE PARAMTRS, \"Z-VECTORS = USR\": THE VALUE IS NEITHER USER NOR "
      "DEFAULT; TAKEN AS DEFAULT.\n"
      " WARNING: LINE 11 OF FILE PARAMTRS, \"X = 3\": NO STATEMENT HAS THIS NAME; THE LINE IS "
      "IGNORED.\n"
      " WARNING: LINE 12 OF FILE PARAMTRS, \"Const = NO\": NO STATEMENT HAS THIS NAME; THE LINE "
      "IS IGNORED.\n"
      " WARNING: LINE 14 OF FILE PARAMTRS, \"CONST =\": THE VALUE IS NEITHER YES NOR NO; TAKEN AS "
      "YES.\n"
      " WARNING: LINE 18 OF FILE PARAMTRS, \"M = 5\": A NUMBERED GROUP TAKES ONLY ITERATIONS AND "
      "METHOD; THE LINE IS IGNORED.\n";
  EXPECT_EQ(run.console, expected);
  EXPECT_NE(run.log.find(expected), std::string::npos) << run.log;
  EXPECT_EQ(run.out, "");

  // The example file and the files the tools write draw no warning.
  run = runGETPRM(paramtest::readText(std::string(KOVA_TEST_DATA) + "/input/PARAMTRS.example"));
  EXPECT_EQ(run.console, "");
}

// METHOD, ENGINE and CONSOLE take whole words in any case; anything else
// stops the run naming the line, where a search for letters would have
// picked a setting (ITERATIVE (NOT ML) holds ML, DENS no DENSE).
TEST(GETPRMChecks, NewerSettingsTakeWholeWordsOnly) {
  WorkDir dir;
  Options o = runGETPRM(allGroup("METHOD = maximum  likelihood\nENGINE = Dense\n"
                                 "CONSOLE = TRACE\n"))
                  .options;
  EXPECT_TRUE(o.maximumLikelihood && o.denseEngine && o.consoleTrace);
  o = runGETPRM(allGroup("METHOD = ITERATIVE\nENGINE = STATE SPACE\nCONSOLE = compact\n"))
          .options;
  EXPECT_FALSE(o.maximumLikelihood || o.denseEngine || o.consoleTrace);
  EXPECT_FALSE(o.restrictedLikelihood);
  // REML is a likelihood method of its own, run-wide and per group (a
  // group's METHOD overrides the run's either way).
  o = runGETPRM("BEGIN GROUP (ALL)\nMETHOD = reml\nEND GROUP (ALL)\nBEGIN GROUP (2)\n"
                "METHOD = ML\nEND GROUP (2)\nBEGIN GROUP (3)\nMETHOD = ITERATIVE\n"
                "END GROUP (3)\nEND OF DATA\n")
          .options;
  EXPECT_TRUE(o.maximumLikelihood && o.restrictedLikelihood);
  EXPECT_TRUE(usesMaximumLikelihood(o, 1) && usesRestrictedLikelihood(o, 1));
  EXPECT_TRUE(usesMaximumLikelihood(o, 2) && !usesRestrictedLikelihood(o, 2));
  EXPECT_FALSE(usesMaximumLikelihood(o, 3) || usesRestrictedLikelihood(o, 3));
  o = runGETPRM("BEGIN GROUP (ALL)\nEND GROUP (ALL)\nBEGIN GROUP (4)\nMETHOD = REML\n"
                "END GROUP (4)\nEND OF DATA\n")
          .options;
  EXPECT_FALSE(o.maximumLikelihood || usesRestrictedLikelihood(o, 1));
  EXPECT_TRUE(usesMaximumLikelihood(o, 4) && usesRestrictedLikelihood(o, 4));

  struct Case {
    std::string line, key, value, known;
  };
  const Case cases[] = {
      {"METHOD = FOO", "METHOD", "FOO", "ML, MAXIMUM LIKELIHOOD, REML, ITERATIVE"},
      {"METHOD = LIKELIHOOD", "METHOD", "LIKELIHOOD", "ML, MAXIMUM LIKELIHOOD, REML, ITERATIVE"},
      {"METHOD = ITERATIVE (NOT ML)", "METHOD", "ITERATIVE (NOT ML)",
       "ML, MAXIMUM LIKELIHOOD, REML, ITERATIVE"},
      {"ENGINE = DENS", "ENGINE", "DENS", "DENSE, STATE SPACE, STATE-SPACE"},
      {"ENGINE =", "ENGINE", "", "DENSE, STATE SPACE, STATE-SPACE"},
      {"CONSOLE = QUIET", "CONSOLE", "QUIET", "COMPACT, TRACE"},
  };
  for (const Case& c : cases) {
    ParamRun run = runGETPRM(allGroup("M = 2\n" + c.line + "\n"));
    EXPECT_TRUE(run.stopped) << c.line;
    const std::string message = "\n ERROR IN SUBROUTINE GETPRM, AN UNKNOWN VALUE \"" + c.value +
                                "\" OF " + c.key + " (ONE OF " + c.known +
                                ") IN LINE 3 OF FILE PARAMTRS.\n PROGRAM STOPS.\n";
    EXPECT_EQ(run.console, message) << c.line;
    EXPECT_NE(run.log.find(message), std::string::npos) << c.line;
  }
  // In a numbered group as well.
  ParamRun run = runGETPRM("BEGIN GROUP (ALL)\nEND GROUP (ALL)\nBEGIN GROUP (2)\n"
                           "METHOD = MAX\nEND GROUP (2)\nEND OF DATA\n");
  EXPECT_TRUE(run.stopped);
  EXPECT_NE(run.console.find("\"MAX\" OF METHOD (ONE OF ML, MAXIMUM LIKELIHOOD, REML, "
                             "ITERATIVE) IN LINE 4 OF FILE PARAMTRS."),
            std::string::npos)
      << run.console;
}

// The common model's statements take whole words, so that ML is never read
// out of REML; anything else stops at its line.
TEST(GETPRM, CommonModelStatementsTakeWholeWords) {
  WorkDir dir;
  ParamRun run = runGETPRM(allGroup(""));
  EXPECT_EQ(run.options.commonModel, 'N');
  EXPECT_TRUE(run.options.commonPenalty);
  EXPECT_EQ(run.options.commonThreads, 0);
  run = runGETPRM(allGroup("COMMON MODEL = REML\nCOMMON PENALTY = NO\nCOMMON THREADS = 3\n"));
  EXPECT_EQ(run.options.commonModel, 'R');
  EXPECT_FALSE(run.options.commonPenalty);
  EXPECT_EQ(run.options.commonThreads, 3);
  EXPECT_EQ(runGETPRM(allGroup("common model = ml\n")).options.commonModel, 'M');
  EXPECT_EQ(runGETPRM(allGroup("COMMON MODEL = yes\n")).options.commonModel, 'R');
  expectStop(runGETPRM(allGroup("COMMON MODEL = MLE\n")),
             " ERROR IN SUBROUTINE GETPRM, COMMON MODEL NOT ONE OF REML, YES, ML, NO IN LINE 2 "
             "OF FILE PARAMTRS.");
  expectStop(runGETPRM(allGroup("COMMON THREADS = -2\n")),
             " ERROR IN SUBROUTINE GETPRM, A NEGATIVE NUMBER OF THREADS IN LINE 2 OF FILE "
             "PARAMTRS.");
  expectStop(runGETPRM(allGroup("COMMON PENALTY = MAYBE\n")),
             " ERROR IN SUBROUTINE GETPRM, COMMON PENALTY NEITHER YES NOR NO IN LINE 2 OF FILE "
             "PARAMTRS.");
}

}  // namespace
}  // namespace kova
