#pragma once
// Innovation diagnostics of a group's last pass. x(t)'BETA(t) equals y(t)
// in this model, so the fitted values say nothing about the fit; the
// one-step-ahead prediction errors do. With the pass's PHI, DELTA and
// GAMMA, the Kalman filter turns the residual y - XZ PIVECT into its
// innovations v(t), with variances SIGMA**2 f(t); under the model the
// standardised innovations v(t) / sqrt(SIGMA**2 f(t)) of the rows with
// f(t) > 0 are independent N(0, 1) (rows with f(t) = 0 are exact: v(t) = 0,
// no standardised value).
//
// On the standardised values (n of them, in time order):
//   - Ljung-Box Q(h) = n (n + 2) sum_{k=1..h} r(k)^2 / (n - k), r(k) the
//     sample autocorrelation about the mean, at h = 1, 4 and 8 (those below
//     n), against chi-square with h degrees of freedom;
//   - Jarque-Bera JB = n/6 (S^2 + (K - 3)^2 / 4) from the moment skewness S
//     and kurtosis K, against chi-square with 2 degrees of freedom.
#include <cmath>
#include <limits>

#include "data/group_dims.h"
#include "linalg/scratch.h"
#include "linalg/views.h"

namespace kova {

constexpr int kLjungBoxLags = 3;

struct InnovationStatistics {
  int n = 0;                    // standardised values
  int lagCount = 0;             // lags used (those below n)
  int lags[kLjungBoxLags] = {1, 4, 8};
  double q[kLjungBoxLags] = {}, qP[kLjungBoxLags] = {};
  // NaN when not computed: fewer than 3 values, or all of them equal.
  double skewness = std::numeric_limits<double>::quiet_NaN();
  double kurtosis = std::numeric_limits<double>::quiet_NaN();
  double jb = std::numeric_limits<double>::quiet_NaN();
  double jbP = std::numeric_limits<double>::quiet_NaN();
  bool jarqueBeraComputed() const { return !std::isnan(jb); }
};

// v, variance, standardised: NUMT each (standardised NaN on exact rows).
struct InnovationSeries {
  double* v = nullptr;
  double* variance = nullptr;
  double* standardised = nullptr;
};

void innovationDiagnostics(Mat phi, Mat delta, Mat gamma, Mat tlx, Mat xz, const double* y,
                           const double* PIVECT, double sigma2, const InnovationSeries& out,
                           InnovationStatistics& st, Scratch s);
ScratchNeed innovationDiagnosticsNeed(const GroupDims& d);

// The report section (print level >= 1): the statistics with their
// p-values, after the group's last pass.
void printInnovationStatistics(const InnovationStatistics& st, int groupId, int pass, int printLevel,
                               int outUnit);

// The chi-square upper tail P(X > x), X with dof degrees of freedom: the
// regularised upper incomplete gamma function Q(dof/2, x/2).
double chiSquareUpperTail(double x, int dof);

}  // namespace kova
