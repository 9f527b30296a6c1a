#pragma once
// The part of the error of BETA^(t) that comes from estimating PHI and
// DELTA by maximum likelihood, by Hamilton's simulation (J. Econometrics
// 33, 1986, 387-397).
//
// BETA^(t) = PI^ z(t) + L EPSILON^(t) is a function b(t; theta) of theta =
// (PHI, DELTA), and so is the variance of its error at known theta,
// SIGMA**2 L V(t; theta) L' + G(t) COV G(t)' (beta_standard_errors.h). With
// theta^ approximately normal around the truth, the mean square error of
// BETA^(t) at theta^ is estimated over draws theta_i of theta as
//   G COV G' (at theta^) + mean_i [SIGMA**2 L V(t; theta_i) L'
//                                  + (b(t; theta_i) - b(t; theta^))^2].
// The draws follow the observed information's covariance (the factor of
// MlResult::spread) with PHI drawn as it is and DELTA through its
// Cholesky factor U (DELTA = U'U): dU = Phi(U^-T dDELTA U^-1) U, Phi the
// upper triangle with half its diagonal, maps the factor's directions, so
// that every drawn DELTA is non-negative definite and a variance estimated
// near zero can still be drawn larger (the likelihood is closer to
// quadratic in U than in DELTA there). Where DELTA is singular, DELTA
// itself is drawn and indefinite draws are dropped; draws without a
// likelihood (a non-stationary PHI) are dropped as well. The forecast
// periods (PI^ zF + L PHI^h EPSILON^(T), V := PHI V PHI' + DELTA) are
// treated the same way.
//
// PI^ is treated alike: its variance at theta^ is estimated as
//   mean_i COV(theta_i) + mean_i (PI^(theta_i) - PI^(theta^))^2
// (outer products), COV(theta) = SIGMA**2 (XZ' YSIGMA(theta)^-1 XZ)^-1 the
// covariance at known theta; where that cannot be formed at a draw (PI
// restriction rows, an exact observation, a singular information) the
// draw's COV is the one at theta^. The mean over draws rather than COV at
// theta^ alone matters near a unit root, where COV grows steeply with PHI.
//
// The draws are standard normal vectors from a fixed seed, so that the same
// data give the same standard errors. When no draw is admissible the
// standard errors are set to NaN (empty in the tables): not known.
#include <cstdint>

#include "data/group_dims.h"
#include "likelihood/max_likelihood.h"
#include "linalg/scratch.h"
#include "linalg/views.h"

namespace kova {

// The draws of one group.
constexpr int kSpreadDraws = 100;

struct SpreadInputs {
  MlData data;          // as the likelihood sees the group
  Mat phi, delta;       // theta^ (PHI zero under the zero-PHI option)
  double sigma2 = 0.0;  // the pass's SIGMA**2
  Mat L, Z, ZF;         // K x M, P x NUMT, P x TF (empty: no forecast periods)
  Mat spread;           // 2 M*M x count: the factor (MlResult::spread)
  int count = 0;
  Mat draws;  // count x N: standard normal vectors, one a column
  // K*P x K*P: in, the covariance of PIVECT at theta^; out, with the
  // uncertainty of PHI and DELTA (untouched when no draw is admissible).
  // Empty: not wanted.
  Mat piCov;
};

// se (K x (NUMT + TF)) holds the standard errors at known theta; they
// become those of the mean square error above. Returns the draws used (0:
// se is NaN).
int addParameterSpread(const SpreadInputs& in, Mat se, Scratch s);
ScratchNeed addParameterSpreadNeed(const GroupDims& d, int piRows);

// Standard normal draws (Box-Muller on the 64-bit Mersenne twister, both
// fully specified, so the draws do not depend on the library).
void standardNormalDraws(std::uint64_t seed, Mat z);

}  // namespace kova
