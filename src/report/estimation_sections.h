#pragma once
// The report sections of a group's passes: what each step produced, at its
// print level, under the heading of the group and the pass.
#include <string_view>

#include "linalg/views.h"

namespace kova {

// Which group and pass a section belongs to, and the report's print level.
struct SectionContext {
  int printLevel = 1;
  int groupId = 0;
  int pass = 0;
  int outUnit = 0;
  int messageUnit = 0;
};

// RPTPIR: the PI matrix (K x P), MU (level >= 3), SIGMA**2, the covariance
// (level >= 3) and the lists of standard errors, t-ratios and coefficients
// of variation. With inequality rows, `converted` inequalities were turned
// into equalities and EIPIVC is printed first.
struct PiSection {
  int K = 0, P = 0;
  const double* PIVECT = nullptr;
  const double* MU = nullptr;
  int muLength = 0;
  Mat cov;  // K*P x K*P
  double sigma2 = 0.0;
  bool covUnavailable = false;
  bool inequalities = false;
  int converted = 0;
  const double* EIPIVC = nullptr;
};
void RPTPIR(const SectionContext& c, const PiSection& s);

// Four entries a line: the component number in four digits, a full stop
// and the value in G13.5, after two empty lines, the title and an empty
// line. Standard errors, t-ratios (-99999.0 for a zero standard error) and
// coefficients of variation (-99999.0 for a zero coefficient) of a vector
// with covariance cov; the last two lists only with withRatios.
void printStandardErrorLists(const double* values, Mat cov, bool withRatios, int outUnit);
// The standard error those lists give for component i: sqrt(cov(i,i)),
// with a negative variance (rounding) read as zero.
double standardError(Mat cov, int i);

// The covariance of ORCVAR with its three ranks, or the line that says the
// restrictions fix PI.
struct CovarianceSection {
  Mat cov;
  bool fixedByRestrictions = false;
  int restrictionRank = 0, whiteningRank = 0, informationRank = 0;
  int informationFull = 0, whiteningFull = 0, restrictionFull = 0;
};
void printCovarianceSection(const SectionContext& c, const CovarianceSection& s);

// " THE nnn BETA(t) VECTORS ---" and the K x NUMT vectors, 20 to a line.
void printBetaSection(const SectionContext& c, Mat beta);

// The group forecast: forecast EPSILON and BETA, the y comparison and the
// error measures.
struct ForecastSection {
  Mat epsF, betaF;
  const double* yF = nullptr;
  const double* yS = nullptr;
  const double* yP = nullptr;
  int TF = 0;
  double rmseS = 0, rmseP = 0, mapeS = 0, mapeP = 0;
  bool mapeComputed = false;
};
void printForecastSection(const SectionContext& c, const ForecastSection& s);

// A matrix under the "GI" heading (selector "G" with groupOnly), printed when
// the print level is at least minLevel.
void printPassMatrix(const SectionContext& c, int minLevel, Mat a, std::string_view title,
                     bool groupOnly = false);

// The SIGMA-EPS blocks (level >= 5): " THE n BLOCKS OF SIGMA-EPS MATRIX" and
// each M x M block titled "BLOCK" with its number.
void printSigmaEpsBlocks(const SectionContext& c, int M, int numt, const double* blocks);

}  // namespace kova
