#pragma once
// The profile log-likelihood of PHI and DELTA for one group, and its score.
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
#include "data/group_dims.h"
#include "data/restrictions.h"
#include "linalg/scratch.h"
#include "linalg/state_space.h"
#include "linalg/views.h"

namespace kova {

// What the likelihood is a function of.
struct MlData {
  Mat tlx;  // M x NUMT
  Mat xz;   // NUMT x K*P
  const double* y = nullptr;
  PiRestrictionView pi;  // equality rows only
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
// kalmanGains forms, up to rounding; with P(t) when gains->p is given).
// precise: the filter in extended precision (filterInnovationsPrecise; no
// gains), for the value that is reported.
LikelihoodTerms profileLikelihood(const MlData& data, Mat phi, Mat delta, Scratch s,
                                  double* pivect = nullptr, Mat gamma = Mat{},
                                  const FilterGains* gains = nullptr, bool precise = false);
// The same with what it can leave besides, each when given: the three
// above; in innovations (NUMT x (K*P + 1)) the filter's innovations of [XZ
// y] (those of a residual y - XZ b are then innovations(:, K*P+1) -
// innovations(:, 1..K*P) b); in designRoot (K*P x K*P) the triangle R of
// the QR factorization of the whitened XZ, R'R = XZ' YSIGMA^-1 XZ (the
// information of PIVECT at SIGMA**2 = 1), when every row is noisy
// (designRooted; R's rows have either sign).
struct ProfileOutputs {
  double* pivect = nullptr;
  Mat gamma;
  const FilterGains* gains = nullptr;
  Mat innovations;
  Mat designRoot;
  bool designRooted = false;  // out
};
LikelihoodTerms profileLikelihood(const MlData& data, Mat phi, Mat delta, Scratch s,
                                  ProfileOutputs& out, bool precise = false);
ScratchNeed profileLikelihoodNeed(const GroupDims& d, int piRows);

// The score of the profile: the derivatives of loglik (concentrated, or at
// SIGMA**2 = 1 with PIVECT alone concentrated out when unitScale) with
// respect to each element of PHI and of DELTA (M x M each; DELTA's
// symmetric, for symmetric changes). PIVECT and SIGMA**2 are maxima, so by
// the envelope theorem the score is that of the Gaussian likelihood of the
// residual at them, computed by the state smoother (stateSpaceScore) and
// carried through GAMMA by the adjoint of its equation. False (nothing
// written) where the profile is not valid or a row is exact (its equation
// moves with PHI and DELTA; the caller then differences the profile).
// terms (when not null): the profile at PHI, DELTA, also when false.
// diagonalOnly: only the diagonals of gradPhi and gradDelta are wanted (a
// model with diagonal PHI and DELTA); where PHI is diagonal the rest is then
// not formed (NaN).
bool profileScore(const MlData& data, Mat phi, Mat delta, bool unitScale, Mat gradPhi,
                  Mat gradDelta, Scratch s, LikelihoodTerms* terms = nullptr,
                  bool diagonalOnly = false);
ScratchNeed profileScoreNeed(const GroupDims& d, int piRows);

}  // namespace kova
