#pragma once
// The observed information of the likelihood search's maximum: the Hessian
// of the log-likelihood at SIGMA**2 = 1 (PIVECT concentrated out; under
// REML, of the restricted log-likelihood, PIVECT integrated out) in PHI's
// free coordinates u and the unknowns q of Q = SIGMA**2 DELTA.
#include "likelihood/ml_coordinates.h"

namespace kova {
namespace ml {

// -H at z = (u, q) (steps step) in the nk coordinates keep (0-based
// indices into z; the others held at their values) into info (nk x nk), by
// central differences of the score where it applies, of the log-likelihood
// otherwise (always under REML); false where a point has no likelihood. Q (M x M), gp and gm
// (all the coordinates of z) are work.
bool observedInformation(Work& w, double* z, const double* step, const int* keep, int nk,
                         Mat info, Mat Q, double* gp, double* gm);

// The inverse of a symmetric positive definite matrix in place through its
// Cholesky factor (chol: work of the same size, R^-1 on return); false when
// not definite, with failed (when not null) the 0-based coordinate whose
// pivot is not positive: the first that the ones before it do not make
// definite.
bool invertDefinite(Mat a, Mat chol, int* failed = nullptr);

}  // namespace ml
}  // namespace kova
