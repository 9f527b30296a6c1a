#pragma once
// The Gaussian likelihood of observations from the state-space model of
// linalg/state_space.h (no observation noise), and its score:
//   - the stationary covariance of the state and the adjoint of the map
//     from (PHI, Q) to it;
//   - one sweep of the Kalman filter that gives f(t) and the innovations of
//     several data columns at once (what the profile likelihood evaluates
//     many times);
//   - the score of l = -1/2 log det Y - 1/2 u'Y^-1 u in PHI, Q and the first
//     state's covariance, by the state smoother.
// Matrices are column-major views; work arrays are carved from the Scratch
// passed in.
#include "linalg/scratch.h"
#include "linalg/state_space.h"
#include "linalg/views.h"

namespace kova {

// gamma = PHI gamma PHI' + Q for a stationary PHI, by doubling. All m x m.
void stationaryCovariance(Mat phi, Mat q, Mat gamma, Scratch s);
ScratchNeed stationaryCovarianceNeed(int m);

// The adjoint of stationaryCovariance: for a symmetric A, B = sum over k of
// PHI'^k A PHI^k (B = PHI' B PHI + A), so that tr(A d gamma) =
// tr(B dQ) + tr((2 B PHI gamma)' dPHI). b may not be a.
void stationaryCovarianceAdjoint(Mat phi, Mat a, Mat b, Scratch s);

// The filter of model (q, p1 as in StateSpaceModel) over the columns of
// data (n x nc): f (n) and the innovations v (n x nc) of every column, as
// kalmanGains followed by innovations would give them; gains (m x n, PHI
// K(t)) only when k.p is not null, the predicted covariances P(t) (m x m x
// n, the covariance form's own, to go with its f(t) and gains) only when p
// is not null.
void filterInnovations(const StateSpaceModel& model, Mat data, double* f, Mat v, Mat k, Scratch s,
                       double* p = nullptr);
ScratchNeed filterInnovationsNeed(int m, int nc);

// The same in the square-root form and in extended precision (long double,
// allocated here): where the state covariance is nearly singular, the
// covariance recursion of filterInnovations loses digits of f(t) to
// cancellation in P - P z z'P / f, which this form keeps. For evaluations
// that are reported, not for searches (several times slower). f is NaN
// where Q or P1 is indefinite: no likelihood.
void filterInnovationsPrecise(const StateSpaceModel& model, Mat data, double* f, Mat v);

// The score of the Gaussian log-likelihood of u (n) under the model, by the
// state smoother: with the filter's f(t), K(t), P(t), a(t) and the
// backward recursions
//   r(t-1) = z(t) v(t) / f(t) + L(t)' r(t),
//   N(t-1) = z(t) z(t)' / f(t) + L(t)' N(t) L(t),  L(t) = PHI - K(t) z(t)',
// and the smoothed state a^(t) = a(t) + P(t) r(t-1):
//   dl/dQ    = 1/2 sum over t < n of (r(t) r(t)' - N(t)),
//   dl/dP1   = 1/2 (r(0) r(0)' - N(0)),
//   dl/dPHI  = sum over t < n of (r(t) a^(t)' - N(t) L(t) P(t))
// (the matrices of derivatives with respect to each element; those of Q and
// P1 symmetric, for symmetric changes). The rows with f(t) = 0 are left out
// of the sums, which is the score only when u satisfies them exactly.
struct StateSpaceScore {
  Mat phi, q, p1;  // m x m each, out
  // Only the diagonals of phi and q are wanted (the rest is then NaN), where
  // PHI is diagonal; a full PHI gives them whole.
  bool diagonalOnly = false;
};
// record: the filter's record of this model's covariances already at hand
// (f, gains and P(t) of filterInnovations, of the model with Q and P1
// divided by recordScale): the forward sweep then runs the state recursion
// alone, and the covariance recursion is not repeated.
void stateSpaceScore(const StateSpaceModel& model, const double* u, const StateSpaceScore& out,
                     Scratch s, const FilterGains* record = nullptr, double recordScale = 1.0);
ScratchNeed stateSpaceScoreNeed(int m, int n);

}  // namespace kova
