#include "report/parameter_report.h"

#include <string>
#include <string_view>

#include "report/matrix_printer.h"
#include "io/edit_descriptors.h"
#include "io/messages.h"
#include "io/text_conversion.h"

namespace kova {
namespace {

struct Echo {
  int outUnit;
  int messageUnit;

  void line(std::string_view text) const {
    writeUnit(outUnit, "");
    writeUnit(outUnit, text);
  }
  // Labels end with "=" and two blanks before the value.
  void number(std::string_view label, int value) const {
    line(std::string(label) + "  " + headingNumber(value, messageUnit));
  }
  void text(std::string_view label, std::string_view value) const {
    line(std::string(label) + "  " + std::string(value));
  }
  void yesNo(std::string_view label, bool value) const { text(label, value ? "YES" : "NO"); }
};

constexpr std::string_view kDefault = "DEFAULT (PROGRAM GENERATED)";
constexpr std::string_view kUser = "USER'S";

// Every reader of a source takes anything but "U" (and "S" where a save file
// is allowed) as the default, a source the file left blank included, so the
// echo says so too.
std::string_view dataSource(char source) { return source == 'U' ? kUser : kDefault; }

std::string_view initialSource(char source, std::string_view saved) {
  if (source == 'U') return kUser;
  if (source == 'S') return saved;
  return kDefault;
}

}  // namespace

void RPTPRM(const Options& o, int outUnit, int messageUnit) {
  const Echo echo{outUnit, messageUnit};
  std::string_view title = o.title;
  std::size_t last = title.find_last_not_of(' ');
  echo.line(" " + std::string(last == std::string_view::npos ? "" : title.substr(0, last + 1)));

  // The count is stored without the starting pass; the user gave it with it,
  // as every group's section prints it.
  echo.number("   NUMBER OF ITERATIONS         =", o.iterations + 1);
  echo.number("   PRINT LEVEL                  =", o.printLevel);
  echo.number("   T (ALL GROUPS, ESTIMATION AND FORECAST)  =", o.T);
  echo.number("   M   =", o.M);
  echo.number("   K   =", o.K);
  echo.number("   P   =", o.P);
  echo.line(std::string("   AUTOMATIC LEADING ONES IN X-VECTORS AND Z-VECTORS  =") +
            (o.leadingOnes ? "YES" : "NO"));
  echo.text("   Z-VECTORS                             =", dataSource(o.zSource));
  echo.text("   L-MATRIX                              =", dataSource(o.lSource));
  echo.text("   INITIAL DATA FOR THE PHI-MATRIX       =",
            initialSource(o.phiSource, "FROM TOLVERAN SAVE-FILE "));
  echo.text("   INITIAL DATA FOR THE DELTA-MATRIX     =",
            initialSource(o.deltaSource, "FROM TOLVERAN SAVE-FILE"));
  echo.yesNo("   ZERO PHI MATRIX         =", o.zeroPhi);
  echo.yesNo("   DIAGONAL PHI MATRIX     =", o.diagonalPhi);
  echo.yesNo("   DIAGONAL DELTA MATRIX   =", o.diagonalDelta);
  echo.yesNo("   SAVE THE FINAL PHI MATRIX    =", o.savePhi);
  echo.yesNo("   SAVE THE FINAL DELTA-MATRIX  =", o.saveDelta);
  echo.yesNo("   SAVE THE BETA(t) VECTORS     =", o.saveBeta);
  if (!o.diagonalPhi)
    echo.number("   NUMBER OF MONTE CARLO TRIALS FOR PHI      =", o.monteCarloPhi);
  if (!o.diagonalDelta)
    echo.number("   NUMBER OF MONTE CARLO TRIALS FOR DELTA    =", o.monteCarloDelta);
  if (o.phiRestrictionRows > 0)
    echo.number("   NUMBER OF ROWS IN PHI-RESTRICTION     =", o.phiRestrictionRows);
  if (o.piRestrictionRows > 0) {
    echo.number("   NUMBER OF EQUALITIES IN PI-RESTRICTION   =", o.piEqualityRows);
    echo.number("   NUMBER OF INEQUALITIES IN PI-RESTRICTION =",
                o.piRestrictionRows - o.piEqualityRows);
  }
  if (o.deltaRestrictionRows > 0)
    echo.number("   NUMBER OF ROWS IN DELTA-RESTRICTION  =", o.deltaRestrictionRows);
  echo.text("   UPPER BOUND IMPOSED ON THE MODULI OF THE EIGENVALUES OF PHI =",
            editG(o.EVLTOL, 13, 5));
  echo.yesNo("   ORDINARY LEAST SQUARES           =", o.ordinaryLeastSquares);
  echo.yesNo("   GENERALIZED LEAST SQUARES        =", o.generalisedLeastSquares);
  echo.text("   ENGINE OF THE PASSES             =", o.denseEngine ? "DENSE" : "STATE SPACE");
  echo.text("   METHOD FOR PHI AND DELTA         =",
            !o.maximumLikelihood          ? "ITERATIVE"
            : o.restrictedLikelihood ? "RESTRICTED MAXIMUM LIKELIHOOD"
                                     : "MAXIMUM LIKELIHOOD");
  if (o.commonModel != 'N') {
    echo.text("   COMMON PHI AND DELTA OF ALL GROUPS =",
              o.commonModel == 'R' ? "RESTRICTED MAXIMUM LIKELIHOOD" : "MAXIMUM LIKELIHOOD");
    if (!o.diagonalDelta) echo.yesNo("   PENALTY ON THE COMMON FULL DELTA  =", o.commonPenalty);
    if (o.commonThreads > 0) echo.number("   THREADS OF THE COMMON MODEL (AT MOST) =", o.commonThreads);
  }
}

}  // namespace kova
