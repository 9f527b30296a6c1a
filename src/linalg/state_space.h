#pragma once
// Kernels of a linear Gaussian state-space model without observation noise:
//   state       e(t) = PHI e(t-1) + a(t),  cov a(t) = Q (t >= 2),  cov e(1) =
//   P1, observation y(t) = z(t)' e(t),          t = 1..n,
// so that cov y = Y with Y(t,s) = z(t)' PHI^(t-s) Pi(s) z(s) for t >= s,
// Pi(s) the covariance of e(s). The Kalman filter factors Y = L D L' (L unit
// lower triangular, D = diag f) in O(n m^3) time and O(n m) memory, and every
// routine below works through that factorization: none forms an n x n
// matrix except expandFactor, which is asked for one.
//
// An observation whose predicted variance f(t) is zero (z(t) in the null
// space of the predicted state covariance) is exact: z(t)'e(t) is known from
// the past. The filter records f(t) = 0 there and a zero gain; callers treat
// the innovation of that row as an exact equation.
//
// Matrices are column-major views; m = PHI.rows, n = z.cols. No routine
// allocates: the work arrays are carved from the Scratch passed in (the
// ...Need functions give what they carve).
#include "linalg/scratch.h"
#include "linalg/views.h"

namespace kova {

struct StateSpaceModel {
  Mat phi;  // m x m transition
  Mat q;    // m x m disturbance covariance
  Mat p1;   // m x m covariance of the first state
  Mat z;    // m x n, column t = z(t)
};

// The filter's record: what every later routine needs of the model.
struct FilterGains {
  double* f = nullptr;  // n innovation variances; 0 at exact observations
  Mat k;                // m x n, column t = PHI P(t) z(t) / f(t); 0 when f(t) = 0
  double* p = nullptr;  // m x m x n, P(t), the predicted state covariances: kept when given
};

// The rule of the likelihood's filter (linalg/state_space_likelihood.h):
// f(t) counts as zero when f(t) <= kExactTol * |z(t)|^2 * trace P(t).
constexpr double kExactTol = 1.0E-12;

// The rule of kalmanGains, on the square root: f(t) counts as zero when
// sqrt f(t) <= kExactRootTol * |z(t)| * sqrt(trace P(t)), the rank rule of
// the least-squares core (kGlsTol) on a factor of YSIGMA.
constexpr double kExactRootTol = 1.0E-8;

// kalmanGains: the covariance recursion of the filter (the prediction form
// of the Kalman filter, P(t+1) = PHI P(t) PHI' - K(t) f(t) K(t)' + Q), which
// does not depend on the data. Fills gains.f and gains.k, and gains.p
// (P(t) = U(t)'U(t)) when given. It carries a
// square root U(t) of P(t) = U(t)'U(t) and takes each step by one
// orthogonal triangularization of the array [U z, U PHI'; 0, UQ] (the
// square-root filter), so that f(t) = |U z|^2 is a sum of squares and P(t)
// stays non-negative definite: the covariance form loses the small
// variances of a nearly singular P(t) (a singular DELTA with a root of PHI
// near 1) to cancellation.
// The filter factors Q and P1 itself (Cholesky with pivoting, stopped at the
// numerical rank); a caller that holds square roots (m x m, U'U = Q and
// U'U = P1) passes them to the second form, which keeps the null space of
// a singular Q or P1 exactly.
// Both return whether the recursion was carried in extended precision:
// asked for by mayWiden and done when Q is singular and PHI has a root near
// 1; innovations should then be asked for the same (wide).
bool kalmanGains(const StateSpaceModel& model, const FilterGains& gains, Scratch& s);
// rootTol replaces kExactRootTol for a caller whose dense counterpart has
// another rank rule; an f(t) at or below floor counts as zero too (a rule
// against the scale of the whole covariance rather than the period's).
bool kalmanGains(const StateSpaceModel& model, Mat uq, Mat up1, const FilterGains& gains,
                 Scratch& s, double rootTol = kExactRootTol, double floor = 0.0,
                 bool mayWiden = false);
ScratchNeed kalmanGainsNeed(int m);

// innovations: v = L^-1 y for each column of data (n x nc) by the state
// recursion a(t+1) = PHI a(t) + K(t) v(t), v(t) = y(t) - z(t)'a(t), a(1) = 0.
// out (n x nc) may be data itself. wide: the states in extended precision.
void innovations(Mat phi, Mat z, const FilterGains& gains, Mat data, Mat out, Scratch& s,
                 bool wide = false);
ScratchNeed innovationsNeed(int m, int nc);

// innovationsAdjoint: out = L^-T u (n-vectors), the transpose of the map
// above, by the backward recursion rho(t-1) = PHI' rho(t) - z(t) out(t),
// out(t) = u(t) + K(t)' rho(t). out may be u.
void innovationsAdjoint(Mat phi, Mat z, const FilterGains& gains, const double* u, double* out,
                        Scratch& s);
ScratchNeed innovationsAdjointNeed(int m);

// smoothState: E[e(t) | y] for the residual whose innovations are v (n),
// by the fast state smoother: r(t-1) = z(t) v(t)/f(t) + L(t)' r(t) with
// L(t) = PHI - K(t) z(t)', then e(1) = P1 r(0), e(t+1) = PHI e(t) + Q r(t).
// Exact rows contribute no term (their innovation is zero on a residual
// that satisfies them). eps is m x n.
void smoothState(const StateSpaceModel& model, const FilterGains& gains, const double* v, Mat eps,
                 Scratch& s);
ScratchNeed smoothStateNeed(int m, int n);

// applyCovariance: out = Y u (n-vectors) without forming Y, by one backward
// and one forward sweep over the states (O(n m^2)). out may not be u.
void applyCovariance(const StateSpaceModel& model, const double* u, double* out, Scratch& s);
ScratchNeed applyCovarianceNeed(int m, int n);

// applyStationaryCovariance: h(t) = sum over s of C(t,s) z(s) u(s), the
// states' covariance with the observations weighted by u, for a stationary
// model: C(t,s) = PHI^(t-s) GAMMA for t >= s and GAMMA PHI'^(s-t) for t < s
// (GAMMA = PHI GAMMA PHI' + Q). h is m x n.
void applyStationaryCovariance(Mat phi, Mat gamma, Mat z, const double* u, Mat h, Scratch& s);
ScratchNeed applyStationaryCovarianceNeed(int m, int n);

// expandFactor: the upper triangular U (n x n) with U'U = Y, U = D^1/2 L':
// U(s,s) = sqrt f(s), U(s,t) = z(t)' PHI^(t-1-s) K(s) sqrt f(s) for s < t.
// O(n^2 m^2); for the steps that need an explicit factor.
void expandFactor(Mat phi, Mat z, const FilterGains& gains, Mat u, Scratch& s);
ScratchNeed expandFactorNeed(int m);

// stateCovariances: Pi(t), the covariance of e(t), t = 1..n, as an
// m x m x n array (Pi(1) = P1, Pi(t) = PHI Pi(t-1) PHI' + Q).
void stateCovariances(const StateSpaceModel& model, double* pi, Scratch& s);
ScratchNeed stateCovariancesNeed(int m);

// smoothedStateVariances: V(t) = Var(e(t) | y), t = 1..n (m x m x n), for
// the model and the filter's record (only its f(t): the exact observations,
// f(t) = 0, add nothing, as in the filter). Mathematically V(t) = P(t) -
// P(t) N(t-1) P(t) with the backward recursion N(t-1) = z(t) z(t)'/f(t) +
// L(t)' N(t) L(t), L(t) = PHI - K(t) z(t)', N(n) = 0 (Durbin and Koopman,
// section 4.4.3); it is carried in square-root form beside its own run of
// the square-root filter (smoothed_state_variances.cpp), so that no step
// subtracts: the covariance form cancels where the data fix the state
// closely (a singular Q with a root of PHI near 1), and there the sweep
// runs in extended precision as the filter does. V may be gains.p; gains.p
// is not read. For the orders 1 to 6 in double the sweep keeps its per-period
// factors in the scratch (the need grows with n; without it, on the heap).
void smoothedStateVariances(const StateSpaceModel& model, const FilterGains& gains, double* V,
                            Scratch& s);
ScratchNeed smoothedStateVariancesNeed(int m, int n);

// propagateCovariance: P := PHI P PHI' + Q (w: m x m work), the prediction
// step of the filter, symmetrised as the filter does.
void propagateCovariance(Mat phi, Mat q, Mat p, Mat w);

}  // namespace kova
