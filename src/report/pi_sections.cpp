// The PI sections of a pass: the estimate with its residuals, SIGMA**2 and
// covariance, the lists of standard errors, t-ratios and coefficients of
// variation, and the covariance by orthogonal decomposition with its ranks.
#include <algorithm>
#include <cmath>
#include <string>

#include "io/edit_descriptors.h"
#include "io/messages.h"
#include "report/estimation_sections.h"
#include "report/matrix_printer.h"

namespace kova {
namespace {

// Stands in a list for a ratio whose divisor is zero.
constexpr double kNoRatio = -99999.0;

// Two empty lines, the title, an empty line, then four entries a line.
template <class Value>
void printList(const char* title, int n, Value value, int outUnit) {
  writeUnit(outUnit, "");
  writeUnit(outUnit, "");
  writeUnit(outUnit, title);
  writeUnit(outUnit, "");
  std::string line;
  for (int i = 1; i <= n; ++i) {
    line += editI(i, 4) + "." + editG(value(i), 13, 5);
    if (i % 4 == 0 || i == n) {
      writeUnit(outUnit, line);
      line.clear();
    }
  }
}

}  // namespace

// A variance below zero can only be rounding in a rank-deficient
// covariance; it is read as zero rather than giving a NaN.
double standardError(Mat cov, int i) { return std::sqrt(std::max(cov(i, i), 0.0)); }

void printStandardErrorLists(const double* values, Mat cov, bool withRatios, int outUnit) {
  const int n = cov.rows;
  printList("STANDARD ERRORS:", n, [&](int i) { return standardError(cov, i); }, outUnit);
  if (!withRatios) return;
  printList(
      "T-RATIOS:", n,
      [&](int i) {
        const double se = standardError(cov, i);
        return se > 0.0 ? values[i - 1] / se : kNoRatio;
      },
      outUnit);
  printList(
      "COEFFICIENTS OF VARIATIONS:", n,
      [&](int i) {
        const double v = values[i - 1];
        return v != 0.0 ? standardError(cov, i) / v : kNoRatio;
      },
      outUnit);
}

void RPTPIR(const SectionContext& c, const PiSection& s) {
  if (c.printLevel < 1) return;
  const int out = c.outUnit, msg = c.messageUnit;
  const int n = s.K * s.P;
  PRTHDG(c.groupId, c.pass, "GI", out, msg);
  if (s.inequalities) {
    writeUnit(out, "");
    writeUnit(out, (ListLine() << "THE NUMBER OF INEQUALITY CONSTRAINTS CONVERTED INTO EQUALITY "
                                  "CONSTRAINTS IN THE CALCULATION OF PI "
                               << s.converted)
                       .str());
    if (s.EIPIVC != nullptr)
      PRTMAT(std::max(s.K, 1), s.K, s.P, s.EIPIVC, out, "THE PI MATRIX WITH INEQUALITY CONSTRAINTS",
             msg);
  }
  PRTMAT(std::max(s.K, 1), s.K, s.P, s.PIVECT, out, "THE PI MATRIX", msg);
  if (c.printLevel >= 3)
    PRTMAT(std::max(s.muLength, 1), s.muLength, 1, s.MU, out, "THE RESIDUAL VECTOR MU", msg);
  PRTMAT(1, 1, 1, &s.sigma2, out, "SIGMA**2", msg);
  if (c.printLevel >= 3) PRTMAT(s.cov.ld, n, n, s.cov.p, out, " COVARIANCE MATRIX", msg);
  Mat cov = s.cov;
  cov.rows = cov.cols = n;
  printStandardErrorLists(s.PIVECT, cov, true, out);
}

void printCovarianceSection(const SectionContext& c, const CovarianceSection& s) {
  if (c.printLevel < 1) return;
  const int out = c.outUnit, msg = c.messageUnit;
  PRTHDG(c.groupId, c.pass, "GI", out, msg);
  writeUnit(out, "");
  writeUnit(out,
            "NUMERICAL RANKS AND COVARIANCE MATRIX COMPUTED USINGORTHOGONAL DECOMPOSITION:");
  if (s.fixedByRestrictions) {
    writeUnit(out, (ListLine() << "THE CONSTRAINING MATRIX OF PI HAS A RANK OF"
                               << s.restrictionRank
                               << ".  THE COVARIANCE MATRIX IS SET TO THE ZERO MATRIX.")
                       .str());
    return;
  }
  writeUnit(out, (ListLine() << "RANK OF COEFFICIENT MATRIX IN THE FINAL INVERSION="
                             << s.informationRank << ".  THE FULL RANK IS" << s.informationFull)
                     .str());
  writeUnit(out, (ListLine() << "RANK OF UPPER CHOLESKY FACTOR OF YSIGMA=" << s.whiteningRank
                             << ".  THE FULL RANK IS" << s.whiteningFull)
                     .str());
  writeUnit(out, (ListLine() << "RANK OF THE CONSTRAINING MATRIX OF PI=" << s.restrictionRank
                             << ".  THE FULL RANK IS" << s.restrictionFull)
                     .str());
  PRTMAT(s.cov.ld, s.cov.rows, s.cov.cols, s.cov.p, out, "COVARIANCE MATRIX", msg);
}

}  // namespace kova
