#pragma once
// The part of the error of BETA^(t) that comes from estimating PHI and
// DELTA by maximum likelihood.
//
// BETA^(t) = PI^ z(t) + L EPSILON^(t) is a smooth function b(t; theta) of
// theta = (PHI, DELTA) (PI^ by generalised least squares and EPSILON^ by
// the smoother, both at theta). With theta^ approximately normal around the
// truth with covariance SIGMA_theta = sum_l c_l c_l' (the observed
// information's inverse, factored), the first-order (delta-method) variance
// that theta^ adds to BETA^(t) is
//   sum over l of (db(t)/dtheta c_l)^2,
// each directional derivative by a central difference of b at theta^ -+ h c_l
// (h = 0.01: a hundredth of a standard deviation along the direction). Added
// to the variance of the error at known theta (beta_standard_errors.h), it
// widens the bands by the uncertainty of PHI and DELTA, as Hamilton
// proposed for the smoothed states of an estimated state-space model
// (J. Econometrics 33, 1986, 387-397), here to first order instead of by
// drawing theta. The forecast periods (PI^ zF + L PHI^h EPSILON^(T)) are
// treated the same way.
//
// Where theta^ + h c_l or theta^ - h c_l has no likelihood (a DELTA on the
// edge of the definite matrices, a PHI on that of the stationary ones) the
// one-sided difference on the other side is used; where neither exists the
// standard errors are set to NaN (empty in the tables): not known.
#include "data/group_dims.h"
#include "estimation/max_likelihood.h"
#include "linalg/scratch.h"
#include "linalg/views.h"

namespace kova {

struct SpreadInputs {
  MlData data;     // as the likelihood sees the group
  Mat phi, delta;  // theta^ (PHI zero under the zero-PHI option)
  Mat L, Z, ZF;    // K x M, P x NUMT, P x TF (empty: no forecast periods)
  Mat spread;      // 2 M*M x count: the factor (MlResult::spread)
  int count = 0;
};

// se (K x (NUMT + TF)) := sqrt(se^2 + the variance from theta^).
void addParameterSpread(const SpreadInputs& in, Mat se, Scratch s);
ScratchNeed addParameterSpreadNeed(const GroupDims& d, int piRows);

}  // namespace kova
