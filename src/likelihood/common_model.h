#pragma once
// PHI and DELTA common to all groups of a run: the search for the maximum
// of the panel's likelihood (likelihood/panel_likelihood.h, ML or REML),
// its boundaries, and the observed information at it.
//
// The coordinates of the search: PHI zero, diagonal or full as the options
// say, mapped smoothly onto the stationary region (a diagonal element u
// becomes EVLTOL tanh(u / EVLTOL); a full PHI A is scaled so that its
// spectral radius r becomes EVLTOL tanh(r / EVLTOL)); DELTA = U'U, U
// diagonal or upper triangular, seen by the likelihood as DELTA normalised
// to trace M (the scale goes to each group's SIGMA**2), with
// (log(trace / M))^2 added to pin the flat direction. The search, quasi-
// Newton on the panel's score carried to these coordinates, runs
// kCommonStarts fixed starts to a loose tolerance and polishes the best two
// (likelihood/local_search.h); the second only where its loose maximum lies
// away from the first's polished one (some PHI coordinate, or some DELTA
// factor coordinate scaled to unit mean square, more than kCommonSameBasin
// apart): a polish from inside a maximum's basin finds that maximum again.
//
// The penalty of a full DELTA: the log density of a weak Wishart prior with
// M + 2 degrees of freedom and a scale growing without bound (Chung, Gelman,
// Rabe-Hesketh, Liu and Dorie, Journal of Educational and Behavioral
// Statistics 40, 2015), on DELTA normalised to trace M:
//   +1/2 log det(DELTA).
// It goes to minus infinity where DELTA turns singular, which the
// likelihood of a model without observation noise otherwise rewards
// without bound, and its effect fades as the groups add information.
//
// The factor U works on the scale of the data: DELTA(a,b) = (U'U)(a,b) /
// sqrt(s(a) s(b)), s the mean square of component a of x~(t) = L'x(t) over
// the panel, so that the coordinates of a coefficient on values in the
// thousands and of a constant are alike.
//
// Boundaries: a diagonal element DELTA(j,j) whose share of the variance,
// DELTA(j,j) s(j) / sum DELTA(k,k) s(k), is below kCommonZeroDelta and that
// can be fixed at 0 losing at most kCommonZeroLoss of the log-likelihood is
// fixed at 0; under a diagonal PHI the matching PHI(j,j) then has no effect
// on the likelihood (that component is constant): it is reported as not
// identified and held at 0. A full DELTA at or near singular is held at a
// lower rank where its maximum lies there (CommonResult::deltaRank). A PHI
// element (diagonal) or spectral radius (full) within kCommonPhiBound
// (relative) of EVLTOL is at the bound. The
// standard errors come from the observed information of the remaining
// elements (numerical Hessian of the log-likelihood in the elements of PHI
// and DELTA, reduced to the plane trace(DELTA) = M); none where it is not
// positive definite.
#include <vector>

#include "likelihood/local_search.h"
#include "likelihood/panel_likelihood.h"

namespace kova {

struct CommonForm {
  bool zeroPhi = false;
  bool diagonalPhi = false;
  bool diagonalDelta = false;
  bool penalty = false;  // the Wishart penalty (only with a full DELTA)
  double EVLTOL = 0.995;
};

constexpr int kCommonStarts = 4;
constexpr int kCommonPolished = 2;
constexpr double kCommonSameBasin = 0.05;
constexpr double kCommonZeroDelta = 1.0E-3;
constexpr double kCommonZeroLoss = 1.0E-4;
constexpr double kCommonPhiBound = 1.0E-3;
// A full DELTA whose smallest eigenvalue is below this fraction of its
// largest (on the scale of the data) is singular.
constexpr double kCommonSingularDelta = 1.0E-6;
// The relative cut on the stationary covariance below which a direction of
// EPSILON does not vary (PHI's action on it is not identified).
constexpr double kCommonFlatPhi = 1.0E-10;

struct CommonResult {
  MlStatus status = MlStatus::Failed;
  int evaluations = 0;
  int starts = 0;                                // starts with a likelihood
  double screenedLow = 0.0, screenedHigh = 0.0;  // their loose maxima
  double polishedLow = 0.0;                      // the lower of the polished maxima
  int polished = 0;                              // the starts polished
  double loglik = 0.0;                           // the (restricted) log-likelihood at the estimates
  double penalty = 0.0;                          // the penalty there (0 when off)
  int parameters = 0;           // PHI, DELTA less one, every group's SIGMA**2 and free PI
  int observations = 0;         // ML: the noisy rows; REML: rows less the free PI
  double aic = 0.0, bic = 0.0;  // from loglik + penalty
  int M = 0;
  std::vector<double> phi, delta;  // M x M, column-major; DELTA of trace M
  // Boundaries, per component j (0/1).
  std::vector<int> deltaZero, phiNotIdentified, phiAtBound;
  // A full DELTA whose smallest eigenvalue, on the scale of the data
  // (likelihood/common_delta_rank.h), ends below kCommonSingularDelta of its
  // largest is refitted at the rank of the others. Where the likelihood
  // comes to the lower rank continuously (the last point's value is not
  // above that of its projection on the lower rank by more than
  // kCommonZeroLoss) the maximum lies there: DELTA is held at rank
  // deltaRank, 0 along deltaNull (M x (M - deltaRank), DELTA v = 0), and
  // PHI is not identified along phiFlat (M x phiFlatCount; PHI w held at
  // 0). Otherwise the likelihood grows without bound as DELTA turns
  // singular: deltaSingular, no maximum, the last point kept.
  bool deltaSingular = false;
  double deltaRatio = 1.0;  // the ratio at the end of the full search
  int deltaRank = 0;        // 0: DELTA not held at a lower rank
  std::vector<double> deltaNull, phiFlat;
  int phiFlatCount = 0;
  double projectionLoss = 0.0;  // the last point's log-likelihood less its projection's
  // The joint covariance of (vec PHI, vec DELTA) (2 M*M square), and a
  // factor of it: spreadCount columns of 2 M*M rows whose outer products
  // sum to it. Empty without standard errors.
  bool covariance = false;
  std::vector<double> cov, spread;
  int spreadCount = 0;
  int omitted = 0;  // elements left out of the information (fixed or at the bound)
  std::vector<double> sigma2, groupLoglik;  // per group, at the estimates
  bool boundary() const;
};

void estimateCommonModel(Panel& panel, const CommonForm& form, CommonResult& result);

// The penalised value of the panel at PHI and DELTA as the search sees it
// (for the tests): loglik + penalty, DELTA normalised first; false where
// there is no likelihood.
bool commonValue(Panel& panel, const CommonForm& form, Mat phi, Mat delta, double& value);

// The objective the search minimises (minus the penalised value, plus the
// pin) at the coordinates given (PHI's, then DELTA's factor's, as above;
// none fixed) and, when gradient is not null, its gradient there (for the
// tests); 1e100 or more where there is no likelihood.
double commonObjective(Panel& panel, const CommonForm& form, const std::vector<double>& coordinates,
                       double* gradient);

}  // namespace kova
