#pragma once
// Maximum likelihood for PHI and DELTA (METHOD = ML), after the iterative
// passes of a group: the search for the maximum of the profile
// log-likelihood (likelihood/profile_likelihood.h) and the observed
// information at it.
//
// The coordinates of the search:
//   - PHI: zero, diagonal or full as the options say. Without restriction
//     rows, unconstrained coordinates mapped smoothly onto the stationary
//     region: g(r) = EVLTOL tanh(r / EVLTOL) applied to each element of a
//     diagonal PHI, or to the spectral radius r of a full one (PHI = A g(r)
//     / r). With restriction rows C d = c on its unknowns d (the layout of
//     the PHI solvers), d = d0 + N u, N a basis of the null space of C, and
//     stationarity by rejection: a point whose PHI has an eigenvalue modulus
//     >= EVLTOL gets a value worse than any admissible one.
//   - DELTA = U'U + a floor of kMlSingularDelta of its mean eigenvalue, U
//     upper triangular (diagonal under DDIAG); the objective sees DELTA /
//     trace(DELTA) and adds (log trace DELTA)^2, which pins the flat
//     direction without moving the maximum.
//   - the OLS and GLS modes: PHI(1,1) alone (DELTA(1,1) is a scale).
// The search: kMlStarts starts (likelihood/max_likelihood.cpp lists them),
// each run to a loose tolerance, the best kMlPolished of them polished to a
// tight one. Without restriction rows the local searches are quasi-Newton
// (NLopt LBFGS) on the score of the profile; under restriction rows, subplex
// (derivative free). The reported DELTA has the trace of the last pass's
// DELTA (or M), SIGMA**2 the matching ML value.
//
// Standard errors: the observed information, the Hessian of the
// log-likelihood in (u, the unknowns of Q = SIGMA**2 DELTA) with only PIVECT
// concentrated out, by central differences of its score (under REML, of the
// restricted log-likelihood's value, PIVECT integrated out), inverted; the
// covariances of PHI's unknowns are N cov(u) N'. SE(DELTA) = SE(Q) /
// SIGMA**2 (the scale held fixed). None for a parameter on the boundary of
// the maximum, none for one set aside where the information is not positive
// definite (MlResult::covered), none at all where the likelihood is
// degenerate; the spread of BETA only from the whole covariance.
#include <vector>

#include "data/group_dims.h"
#include "data/restrictions.h"
#include "likelihood/local_search.h"
#include "likelihood/profile_likelihood.h"
#include "linalg/scratch.h"
#include "linalg/views.h"
#include "solvers/damped_search.h"

namespace kova {

struct MlForm {
  bool zeroPhi = false;
  bool diagonalPhi = false;
  bool diagonalDelta = false;
  bool leadingOnly = false;  // OLS and GLS modes
  double EVLTOL = 0.995;
  // METHOD = REML: the restricted log-likelihood (likelihood/panel_likelihood.h,
  // the group's PI integrated out, SIGMA**2 = RSS / (n - q)) in place of the
  // profile, searched derivative free; its observed information (in the
  // same coordinates, SIGMA**2 not maximised out) by differences of it.
  bool restricted = false;
};

// The outcome; the matrices are the caller's (M x M, M*M x M*M).
struct MlResult {
  MlStatus status = MlStatus::Failed;
  const char* algorithm = "";  // the NLopt method used
  int nloptCode = 0;           // NLopt's result code of the best start
  int evaluations = 0;         // objective evaluations, all starts
  // 1..kMlStarts (likelihood/max_likelihood.cpp), or -p: iteration p's
  // PHI and DELTA (MlEarlierPasses).
  int bestStart = 0;
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
  // collapse: LikelihoodTerms::collapse at the maximum; collapsedLoglik:
  // the highest log-likelihood the search met where the guard acted.
  double deltaRatio = 1.0, phiRadius = 0.0, collapse = 1.0, collapsedLoglik = 0.0;
  bool boundary() const { return deltaSingular || phiAtBound || degenerate; }
  double loglik = 0.0;
  double sigma2 = 0.0;   // RSS / n at the reported DELTA
  int parameters = 0;    // PHI, DELTA (one scale less), SIGMA**2, PI (free)
  int observations = 0;  // the noisy rows
  double aic = 0.0, bic = 0.0;
  bool covariance = false;  // the observed information was positive definite
  // The coordinates of the information with standard errors (all of them
  // when covariance): those off the boundary of the maximum, less those set
  // aside where their information is not positive definite (in their
  // order, each that the ones kept before it do not make definite); the
  // others (boundaryOmitted of them on the boundary) have NaN on the
  // diagonal of phiCov and sdeltaCov.
  int covered = 0, boundaryOmitted = 0;
  // Of those, the ones on the boundary: 1 for element e of PHI at e - 1,
  // of SIGMA**2 DELTA at M*M + e - 1 (elements column by column).
  std::vector<char> onBoundary;
  // Where it was formed but is not: the first coordinate that the ones
  // before it do not make definite: 1 PHI(row, column), 2 PHI's free
  // coordinate row (under restriction rows), 3 SIGMA**2 DELTA(row, column).
  int indefiniteMatrix = 0, indefiniteRow = 0, indefiniteColumn = 0;
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
constexpr double kMlSingularDelta = 1.0E-8;
constexpr double kMlPhiBound = 1.0E-3;
// The search is held where every noisy row has f(t) / |x~(t)|^2 above this
// fraction of its median (LikelihoodTerms::collapse).
constexpr double kMlCollapse = 1.0E-6;
// The starts: four fixed ones and random stationary draws; the best
// kMlPolished of them polished.
constexpr int kMlRandomStarts = 8;
constexpr int kMlStarts = 4 + kMlRandomStarts;
constexpr int kMlPolished = 2;

// The PHI and DELTA of iterative passes before the last, as further starts
// (the most recent kMlEarlierStarts of them are used): count pairs, pass
// number pass[k], PHI at values + 2 M*M k and DELTA after it (column-major).
struct MlEarlierPasses {
  const double* values = nullptr;
  const int* pass = nullptr;
  int count = 0;
};
constexpr int kMlEarlierStarts = 6;

// Runs the optimisation from the last pass's PHI and DELTA (not changed).
// phiRows: restriction rows on PHI's unknowns (rows 0 when none).
void estimateMaxLikelihood(const MlData& data, const MlForm& form, const RestrictionRows& phiRows,
                           Mat lastPhi, Mat lastDelta, MlResult& result, Scratch s,
                           const MlEarlierPasses& earlier = MlEarlierPasses{});
ScratchNeed estimateMaxLikelihoodNeed(const GroupDims& d, int piRows, int phiRows);

}  // namespace kova
