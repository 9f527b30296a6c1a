// The report sections of a pass that print matrices and vectors of the
// covariance structure, the BETA(t) vectors and the group forecast.
#include <string>

#include "io/edit_descriptors.h"
#include "io/messages.h"
#include "report/estimation_sections.h"
#include "report/matrix_printer.h"

namespace kova {
namespace {

constexpr int kBetaFields = 20;

void passHeading(const SectionContext& c, const char* selector) {
  PRTHDG(c.groupId, c.pass, selector, c.outUnit, c.messageUnit);
}

void printVector(const double* v, int n, const char* title, const SectionContext& c) {
  PRTMAT(1, 1, n, v, c.outUnit, title, c.messageUnit);
}

void errorLine(const char* measure, const char* forecast, double value, int out) {
  writeUnit(out, std::string(measure) + " OF " + forecast + " RESIDUALS IS" + editG(value, 13, 5));
}

}  // namespace

void printBetaSection(const SectionContext& c, Mat beta) {
  if (c.printLevel < 1) return;
  passHeading(c, "GI");
  const int out = c.outUnit;
  writeUnit(out, " THE " + editI(beta.cols, 3) + " BETA(t) VECTORS ---");
  writeUnit(out, "");
  for (int t = 1; t <= beta.cols; ++t) {
    std::string line;
    for (int k = 1; k <= beta.rows; ++k) {
      line += editG(beta(k, t), 13, 5);
      if (k % kBetaFields == 0 || k == beta.rows) {
        writeUnit(out, line);
        line.clear();
      }
    }
    if (beta.rows < 1) writeUnit(out, "");
  }
}

void printForecastSection(const SectionContext& c, const ForecastSection& s) {
  if (c.printLevel < 1) return;
  passHeading(c, "GI");
  PRTMAT(s.epsF.ld, s.epsF.rows, s.epsF.cols, s.epsF.p, c.outUnit, "FORECAST EPSILON MATRIX",
         c.messageUnit);
  PRTMAT(s.betaF.ld, s.betaF.rows, s.betaF.cols, s.betaF.p, c.outUnit, "FORECAST BETA MATRIX",
         c.messageUnit);
  printVector(s.yF, s.TF, "Y-DATA", c);
  printVector(s.yS, s.TF, "FORECAST Y-VALUES (YFS)", c);
  printVector(s.yP, s.TF,
              "FORECAST Y-VALUES (THE MINIMUM MEAN SQUARE ERROR LINEAR PREDICTOR OF THE "
              "YFS-VALUES)",
              c);

  const int out = c.outUnit;
  writeUnit(out, "");
  writeUnit(out, "");
  errorLine("ROOT MEAN SQUARE ERROR", "YFS", s.rmseS, out);
  errorLine("ROOT MEAN SQUARE ERROR", "PREDICTOR", s.rmseP, out);
  writeUnit(out, "");
  if (s.mapeComputed) {
    errorLine("MEAN ABSOLUTE PERCENTAGE ERROR", "YFS", s.mapeS, out);
    errorLine("MEAN ABSOLUTE PERCENTAGE ERROR", "PREDICTOR", s.mapeP, out);
  } else {
    writeUnit(out,
              "MEAN ABSOLUTE PERCENTAGE ERROR IS NOT COMPUTED DUE TO A ZERO COMPARISON Y-VALUE");
  }
}

void printPassMatrix(const SectionContext& c, int minLevel, Mat a, std::string_view title,
                     bool groupOnly) {
  if (c.printLevel < minLevel) return;
  passHeading(c, groupOnly ? "G" : "GI");
  PRTMAT(a.ld, a.rows, a.cols, a.p, c.outUnit, title, c.messageUnit);
}

void printSigmaEpsBlocks(const SectionContext& c, int M, int numt, const double* blocks) {
  if (c.printLevel < 5) return;
  passHeading(c, "GI");
  const int out = c.outUnit;
  writeUnit(out, "");
  writeUnit(out, " THE " + headingNumber(numt, c.messageUnit) + " BLOCKS OF SIGMA-EPS MATRIX");
  writeUnit(out, "");
  for (int k = 1; k <= numt; ++k)
    PRTMAT(M, M, M, blocks + static_cast<long>(k - 1) * M * M, out,
           "BLOCK " + headingNumber(k, c.messageUnit), c.messageUnit);
}

}  // namespace kova
