// The echo's number fields follow gfortran: see report_reference.f90.
#include <gtest/gtest.h>

#include <string>

#include "input/parameter_file.h"
#include "report/parameter_report.h"
#include "report_test_support.h"
#include "io/file_table.h"
#include "io/stop.h"

namespace kova {
namespace {

using reporttest::capture;
using reporttest::Printed;

// Each echo line follows an empty line.
std::string lines(std::initializer_list<std::string> texts) {
  std::string out;
  for (const std::string& text : texts) out += "\n" + text + "\n";
  return out;
}

TEST(RPTPRM, EchoOfTheExampleParameterFile) {
  Options options;
  Printed read = capture([&](int out, int log) {
    FileTable files;
    fillFixedFiles(files);
    NamedUnit example{std::string(KOVA_TEST_DATA) + "/input/PARAMTRS.example", 104};
    GETPRM(example, Capacities{}, options, out, log);
  });
  ASSERT_EQ(read.console, "");
  Printed p = capture([&](int out, int log) { RPTPRM(options, out, log); });
  EXPECT_EQ(p.out,
            lines({" " + std::string(31, ' ') + "SMALL EXAMPLE RUN",
                   "   NUMBER OF ITERATIONS         =  6",
                   "   PRINT LEVEL                  =  1",
                   "   T (ALL GROUPS, ESTIMATION AND FORECAST)  =  60",
                   "   M   =  3",
                   "   K   =  3",
                   "   P   =  2",
                   "   AUTOMATIC LEADING ONES IN X-VECTORS AND Z-VECTORS  =YES",
                   "   Z-VECTORS                             =  DEFAULT (PROGRAM GENERATED)",
                   "   L-MATRIX                              =  DEFAULT (PROGRAM GENERATED)",
                   "   INITIAL DATA FOR THE PHI-MATRIX       =  DEFAULT (PROGRAM GENERATED)",
                   "   INITIAL DATA FOR THE DELTA-MATRIX     =  DEFAULT (PROGRAM GENERATED)",
                   "   ZERO PHI MATRIX         =  NO",
                   "   DIAGONAL PHI MATRIX     =  NO",
                   "   DIAGONAL DELTA MATRIX   =  NO",
                   "   SAVE THE FINAL PHI MATRIX    =  NO",
                   "   SAVE THE FINAL DELTA-MATRIX  =  NO",
                   "   SAVE THE BETA(t) VECTORS     =  YES",
                   "   NUMBER OF MONTE CARLO TRIALS FOR PHI      =  200",
                   "   NUMBER OF MONTE CARLO TRIALS FOR DELTA    =  200",
                   "   UPPER BOUND IMPOSED ON THE MODULI OF THE EIGENVALUES OF PHI =    0.99500    ",
                   "   ORDINARY LEAST SQUARES           =  NO",
                   "   GENERALIZED LEAST SQUARES        =  NO",
                   "   ENGINE OF THE PASSES             =  STATE SPACE",
                   "   METHOD FOR PHI AND DELTA         =  ITERATIVE"}));
  EXPECT_EQ(p.log, "");
}

TEST(RPTPRM, ConditionalLinesAndTheOtherSources) {
  Options o;
  o.title = std::string(80, ' ');
  o.leadingOnes = false;
  o.zSource = 'U';
  o.lSource = 'U';
  o.phiSource = 'S';
  o.deltaSource = 'S';
  o.zeroPhi = true;
  o.diagonalPhi = true;
  o.savePhi = true;
  o.saveDelta = true;
  o.saveBeta = false;
  o.monteCarloDelta = 40;
  o.phiRestrictionRows = 2;
  o.piEqualityRows = 3;
  o.piRestrictionRows = 5;
  o.deltaRestrictionRows = 1;
  o.iterations = 0;
  o.EVLTOL = 0.95;
  o.ordinaryLeastSquares = true;
  o.generalisedLeastSquares = true;
  o.denseEngine = true;
  o.maximumLikelihood = true;
  Printed p = capture([&](int out, int log) { RPTPRM(o, out, log); });
  EXPECT_EQ(p.out,
            lines({" ",
                   "   NUMBER OF ITERATIONS         =  1",
                   "   PRINT LEVEL                  =  1",
                   "   T (ALL GROUPS, ESTIMATION AND FORECAST)  =  0",
                   "   M   =  0",
                   "   K   =  0",
                   "   P   =  0",
                   "   AUTOMATIC LEADING ONES IN X-VECTORS AND Z-VECTORS  =NO",
                   "   Z-VECTORS                             =  USER'S",
                   "   L-MATRIX                              =  USER'S",
                   "   INITIAL DATA FOR THE PHI-MATRIX       =  FROM TOLVERAN SAVE-FILE ",
                   "   INITIAL DATA FOR THE DELTA-MATRIX     =  FROM TOLVERAN SAVE-FILE",
                   "   ZERO PHI MATRIX         =  YES",
                   "   DIAGONAL PHI MATRIX     =  YES",
                   "   DIAGONAL DELTA MATRIX   =  NO",
                   "   SAVE THE FINAL PHI MATRIX    =  YES",
                   "   SAVE THE FINAL DELTA-MATRIX  =  YES",
                   "   SAVE THE BETA(t) VECTORS     =  NO",
                   "   NUMBER OF MONTE CARLO TRIALS FOR DELTA    =  40",
                   "   NUMBER OF ROWS IN PHI-RESTRICTION     =  2",
                   "   NUMBER OF EQUALITIES IN PI-RESTRICTION   =  3",
                   "   NUMBER OF INEQUALITIES IN PI-RESTRICTION =  2",
                   "   NUMBER OF ROWS IN DELTA-RESTRICTION  =  1",
                   "   UPPER BOUND IMPOSED ON THE MODULI OF THE EIGENVALUES OF PHI =    0.95000    ",
                   "   ORDINARY LEAST SQUARES           =  YES",
                   "   GENERALIZED LEAST SQUARES        =  YES",
                   "   ENGINE OF THE PASSES             =  DENSE",
                   "   METHOD FOR PHI AND DELTA         =  MAXIMUM LIKELIHOOD"}));
}

TEST(RPTPRM, OnlyInequalitiesAndNegativeSettingsAreEchoedAsGiven) {
  Options o;
  o.diagonalDelta = true;
  o.piRestrictionRows = 2;  // two inequalities, no equalities
  o.printLevel = -1;
  Printed p = capture([&](int out, int log) { RPTPRM(o, out, log); });
  EXPECT_NE(p.out.find("\n   PRINT LEVEL                  =  -1\n"), std::string::npos);
  EXPECT_NE(p.out.find("\n   NUMBER OF EQUALITIES IN PI-RESTRICTION   =  0\n"
                       "\n   NUMBER OF INEQUALITIES IN PI-RESTRICTION =  2\n"),
            std::string::npos);
  EXPECT_EQ(p.out.find("MONTE CARLO TRIALS FOR DELTA"), std::string::npos);
  EXPECT_NE(p.out.find("MONTE CARLO TRIALS FOR PHI"), std::string::npos);
  // The value ICNVRT could not convert is reported where messages go.
  EXPECT_NE(p.log.find("INTEGER I=        -1 IS NOT WITHIN CONVERSION RANGE"), std::string::npos);
}

}  // namespace
}  // namespace kova
