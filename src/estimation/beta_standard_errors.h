#pragma once
// Standard errors of BETA(t) = PI z(t) + L EPSILON(t) over the estimation
// periods of a pass. With e = y - XZ PIVECT, the estimate is
// PI^ z(t) + L S(t) (y - XZ PIVECT^), S(t) the smoother (E[EPSILON(t) | e] =
// S(t) e), and its error is
//   BETA(t) - BETA^(t) = L (EPSILON(t) - S(t) e) - G(t) (PIVECT^ - PIVECT),
//   G(t) = Z(t) - L S(t) XZ,  Z(t) PIVECT = PI z(t).
// The smoothing error is uncorrelated with every linear function of e, so
// with PIVECT^ linear in e (generalized least squares) the two terms are
// uncorrelated and
//   Var(BETA(t) - BETA^(t)) = SIGMA**2 L V(t) L' + G(t) COV G(t)',
// V(t) = Var(EPSILON(t) | e) in units of SIGMA**2 (the smoothed state
// variance) and COV the covariance of PIVECT^.
// A forecast period T+h has BETA^ = PI^ zF(h) + L PHI^h EPSILON^(T): the
// same formula with V := PHI V PHI' + DELTA and S := PHI S carried on from
// period T.
#include "data/group_dims.h"
#include "linalg/scratch.h"
#include "linalg/views.h"

namespace kova {

struct BetaErrorInputs {
  Mat phi, delta, gamma;  // the pass's model (PHI zero under the zero-PHI option)
  Mat tlx, xz, L, Z;      // M x NUMT, NUMT x K*P, K x M, P x NUMT
  Mat ZF;                 // P x TF; empty: no forecast periods
  Mat cov;                // K*P x K*P, the covariance of PIVECT; empty: not known
  double sigma2 = 0.0;
};

// se (K x (NUMT + TF)): the standard errors, the estimation periods first;
// without COV only the smoothing part.
void betaStandardErrors(const BetaErrorInputs& in, Mat se, Scratch s);
ScratchNeed betaStandardErrorsNeed(const GroupDims& d);

// V := PHI V PHI' + DELTA, the step of a forecast period (w: m x m work).
void propagateStateVariance(Mat phi, Mat delta, Mat V, Mat w);

// V(t), t = 1..n (m x m x n), of the model of linalg/state_space.h with its
// filter record: the backward recursion N(t-1) = z(t) z(t)'/f(t) + L(t)'
// N(t) L(t), L(t) = PHI - K(t) z(t)' (L(t) = PHI, no z term, at an exact
// observation), V(t) = P(t) - P(t) N(t-1) P(t) (Durbin and Koopman, Time
// Series Analysis by State Space Methods, 4.4.3), with P(t) from the
// square-root filter's recursion on the roots of P1 and Q.
struct StateSpaceModel;
struct FilterGains;
void smoothedStateVariances(const StateSpaceModel& model, const FilterGains& gains, double* V,
                            Scratch& s);
ScratchNeed smoothedStateVariancesNeed(int m);

}  // namespace kova
