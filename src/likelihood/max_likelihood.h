#pragma once
// Maximum likelihood for PHI and DELTA (METHOD = ML), after the iterative
// passes of a group.
//
// The model of a group, y = XZ PIVECT + e, e ~ N(0, SIGMA**2 YSIGMA(PHI,
// DELTA)), with YSIGMA = L D L' from the Kalman filter (D = diag f). With
// v = L^-1 (y - XZ PIVECT), the log density of the rows whose innovation
// variance f(t) is positive ("noisy" rows, n of them) is
//   -1/2 (sum log(SIGMA**2 f(t)) + sum v(t)^2 / (SIGMA**2 f(t)) + n log 2 pi);
// a row with f(t) = 0 is exact: its innovation is an equation that PIVECT
// satisfies, and it adds no density term. Maximising over PIVECT (generalised
// least squares under the PI equality rows and the exact equations) and then
// over SIGMA**2 (RSS / n) leaves the concentrated profile log-likelihood
//   loglik(PHI, DELTA) = -1/2 (sum log f(t) + n (1 + log(2 pi RSS / n))),
// sums over the noisy rows. It is unchanged when DELTA is multiplied by a
// constant (SIGMA**2 takes the inverse factor): only SIGMA**2 DELTA, the
// covariance of a(t), is identified.
//
// The optimisation (NLopt, derivative free):
//   - PHI: zero, diagonal or full as the options say. Without restriction
//     rows, BOBYQA over unconstrained coordinates mapped smoothly onto the
//     stationary region: g(r) = EVLTOL tanh(r / EVLTOL) applied to each
//     element of a diagonal PHI, or to the spectral radius r of a full one
//     (PHI = A g(r) / r). With restriction rows C d = c on its unknowns d
//     (the layout of the PHI solvers), subplex over d = d0 + N u, N a basis
//     of the null space of C, and stationarity by rejection: a point whose
//     PHI has an eigenvalue modulus >= EVLTOL gets a value worse than any
//     admissible one.
//   - DELTA = U'U, U upper triangular (diagonal under DDIAG); the objective
//     sees DELTA / trace(DELTA) and adds (log trace DELTA)^2, which pins the
//     flat direction without moving the maximum.
//   - the OLS and GLS modes: PHI(1,1) alone (DELTA(1,1) is a scale).
// Starts: the last pass's PHI and DELTA, then PHI = 0 with the last DELTA,
// then PHI = 0 with DELTA = I, each run to a loose tolerance; the highest
// log-likelihood is then polished to a tight one. The reported
// DELTA has the trace of the last pass's DELTA (or M), SIGMA**2 the
// matching ML value.
//
// Standard errors: the observed information, a central-difference Hessian
// of the log-likelihood in (u, the unknowns of Q = SIGMA**2 DELTA) with only
// PIVECT concentrated out, inverted; the covariances of PHI's unknowns are
// N cov(u) N'. SE(DELTA) = SE(Q) / SIGMA**2 (the scale held fixed).
#include "data/group_dims.h"
#include "estimation/pi_estimate.h"
#include "linalg/scratch.h"
#include "likelihood/local_search.h"
#include "linalg/state_space.h"
#include "linalg/views.h"
#include "report/result_tables.h"
#include "solvers/damped_search.h"

namespace kova {

// What the likelihood is a function of.
struct MlData {
  Mat tlx;                 // M x NUMT
  Mat xz;                  // NUMT x K*P
  const double* y = nullptr;
  PiRestrictionView pi;    // equality rows only
};

struct MlForm {
  bool zeroPhi = false;
  bool diagonalPhi = false;
  bool diagonalDelta = false;
  bool leadingOnly = false;  // OLS and GLS modes
  double EVLTOL = 0.995;
};

// The profile of one (PHI, DELTA): sums over the noisy rows.
struct LikelihoodTerms {
  bool valid = false;    // false: no noisy row, no residual, or exact rows PIVECT cannot meet
  int noisy = 0;         // n
  double sumLogF = 0.0;  // sum log f(t)
  double rss = 0.0;      // min over PIVECT of sum v(t)^2 / f(t)
  // The smallest over the noisy rows of f(t) / |x~(t)|^2 relative to its
  // median: near 0, an innovation variance is collapsing, where the
  // likelihood grows without bound (about 1/2 log(1/f)).
  double collapse = 1.0;
  // loglik with SIGMA**2 concentrated out (RSS / n), or held at 1.
  double concentrated() const;
  double atUnitScale() const;
};

// The profile at PHI, DELTA (GAMMA = PHI GAMMA PHI' + DELTA is the
// covariance of the first state). O(NUMT (M^3 + M K*P + (K*P)^2)).
// Optionally out: the maximising PIVECT (K*P), GAMMA (M x M) and the
// filter's record (linalg/state_space.h: the same f(t) and gains as
// kalmanGains forms).
LikelihoodTerms profileLikelihood(const MlData& data, Mat phi, Mat delta, Scratch s,
                                  double* pivect = nullptr, Mat gamma = Mat{},
                                  const FilterGains* gains = nullptr);
ScratchNeed profileLikelihoodNeed(const GroupDims& d, int piRows);

// The outcome; the matrices are the caller's (M x M, M*M x M*M).
struct MlResult {
  MlStatus status = MlStatus::Failed;
  const char* algorithm = "";  // the NLopt method used
  int nloptCode = 0;      // NLopt's result code of the best start
  int evaluations = 0;    // objective evaluations, all starts
  int bestStart = 0;      // see mlStartText
  // The search: starts screened (with a likelihood), the lowest and the
  // highest of their loose maxima, the starts polished and the lowest of
  // their tight maxima (the highest is loglik).
  int starts = 0, polished = 0;
  double screenedLow = 0.0, screenedHigh = 0.0, polishedLow = 0.0;
  // Boundaries of the maximum: SIGMA**2 DELTA singular (the search keeps
  // DELTA's eigenvalues above kMlSingularDelta of their mean; at most twice
  // that is singular; deltaRatio: the smallest over the largest), PHI within
  // kMlPhiBound (relative) of EVLTOL; degenerate: the likelihood was found
  // higher where an innovation variance collapses (kMlCollapse) than at the
  // maximum, i.e. it has no maximum and the reported one is that of the
  // search held off the collapse.
  bool deltaSingular = false, phiAtBound = false, degenerate = false;
  double deltaRatio = 1.0, phiRadius = 0.0, collapse = 1.0;
  bool boundary() const { return deltaSingular || phiAtBound || degenerate; }
  double loglik = 0.0;
  double sigma2 = 0.0;    // RSS / n at the reported DELTA
  int parameters = 0;     // PHI, DELTA (one scale less), SIGMA**2, PI (free)
  int observations = 0;   // the noisy rows
  double aic = 0.0, bic = 0.0;
  bool covariance = false;  // the observed information was positive definite
  Mat phi, delta;
  Mat phiCov, sdeltaCov;  // of the elements, column by column, of PHI and SIGMA**2 DELTA
  // A factor of the joint covariance of (PHI, DELTA): column l (of
  // `spreadCount`) holds vec dPHI then vec dDELTA (2 M*M rows, DELTA in the
  // units of the reported DELTA), and the covariance of (vec PHI, vec DELTA)
  // with SIGMA**2 held fixed is the sum over l of the column times its
  // transpose. Set with the covariance; 2 M*M x (M*M + M(M+1)/2).
  Mat spread;
  int spreadCount = 0;
};
inline int mlSpreadColumns(int M) { return M * M + M * (M + 1) / 2; }

// The thresholds of the boundaries (MlResult).
constexpr double kMlSingularDelta = 1.0E-6;
constexpr double kMlPhiBound = 1.0E-3;
// The search is held where every noisy row has f(t) / |x~(t)|^2 above this
// fraction of its median (LikelihoodTerms::collapse).
constexpr double kMlCollapse = 1.0E-6;
// The random stationary starts after the four fixed ones.
constexpr int kMlRandomStarts = 8;

// Runs the optimisation from the last pass's PHI and DELTA (not changed).
// phiRows: restriction rows on PHI's unknowns (rows 0 when none).
void estimateMaxLikelihood(const MlData& data, const MlForm& form, const RestrictionRows& phiRows,
                           Mat lastPhi, Mat lastDelta, MlResult& result, Scratch s);
ScratchNeed estimateMaxLikelihoodNeed(const GroupDims& d, int piRows, int phiRows);

// MLSTEP: the step between a group's iterative passes and its final pass
// under METHOD = ML. Says in the report when ML does not apply (DELTA
// restriction rows, PI inequality rows); otherwise estimates, prints the
// section of the method (log-likelihood, parameters, AIC, BIC, the
// optimiser's status and evaluations, PHI and SIGMA**2 DELTA with their
// standard errors, DELTA, SIGMA**2) and adds its rows to the result tables.
// Returns true when phi and delta hold the ML estimates for the final pass;
// false when they keep the iterative ones (not applicable, not converged,
// failed: each reported).
struct MlStepJob {
  MlData data;
  MlForm form;
  RestrictionRows phiRows;
  bool deltaRestrictions = false;
  bool piInequalities = false;
  int groupId = 0;
  int finalPass = 0;
  int printLevel = 1;
  ResultTables* tables = nullptr;
  int outUnit = 0, logUnit = 0;
  // Out: the factor of the covariance of the estimates (MlResult::spread);
  // spreadCount 0 when the step returns false or has no covariance.
  Mat spread;
  int* spreadCount = nullptr;
};
bool MLSTEP(const MlStepJob& job, Mat phi, Mat delta, Scratch s);
ScratchNeed MLSTEPneed(const GroupDims& d, int piRows, int phiRows);

}  // namespace kova
