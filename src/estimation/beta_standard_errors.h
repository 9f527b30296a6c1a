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
// variance, linalg/state_space.h) and COV the covariance of PIVECT^.
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

}  // namespace kova
