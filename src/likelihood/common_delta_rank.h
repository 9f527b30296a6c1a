#pragma once
// A full common DELTA held at a lower rank: the pieces of the search for
// the panel's maximum with DELTA of rank r (likelihood/common_model.h)
// that do not depend on the search itself.
//
// DELTA is searched as U'U, U upper triangular, on the scale of the data:
// W = U'U, DELTA(a,b) = W(a,b) / (root(a) root(b)), normalised to trace M.
// Rank r < M is U with its rows past r held at 0 (every positive
// semi-definite W of rank r is R'R with R r x M upper trapezoidal: the
// QR factor of any r x M square root).
//
// Rank decisions are made on W, where the components are alike in scale:
// an eigenvalue below kCommonSingularDelta of the largest counts as 0.
// With DELTA v = 0 the combination v'a(t) of the innovations has no
// variance. PHI is not identified along the directions w of the largest
// subspace that PHI' maps into itself within the null space of DELTA
// (there w'EPSILON(t) = 0 for all t under the stationary start, and PHI +
// b w' gives the same likelihood for every b): the kernel of [C; C PHI';
// ...; C PHI'^(M-1)], C DELTA's factor.
#include <vector>

namespace kova {

struct DeltaRank {
  int rank = 0;                              // eigenvalues of W at or above the cut
  double ratio = 1.0;                        // the smallest over the largest eigenvalue of W
  std::vector<double> eigenvalues, vectors;  // of W, ascending; M x M
};

// The eigen-decomposition of W from the factor coordinates c (M(M+1)/2, U
// by columns of its upper triangle); false when it fails.
bool deltaRankOf(const double* c, int M, double cut, DeltaRank& out);

// The factor coordinates, rows past r zero, of W's projection on the
// eigenvectors of its r largest eigenvalues: R'R = that projection.
void rankFactor(const DeltaRank& d, int M, int r, double* c);

// 1/2 log of the product of the r nonzero eigenvalues of DELTA normalised
// to trace M, from factor coordinates whose rows past r are 0;
// -infinity where DELTA's rank is below r.
double halfLogPseudoDet(const double* c, const std::vector<double>& root, int M, int r);

// DELTA's null space from factor coordinates with rows past r zero: M - r
// columns of M, in DELTA's units (DELTA v = 0), each scaled to a largest
// element of 1 in magnitude and of positive sign there.
std::vector<double> deltaNullSpace(const double* c, const std::vector<double>& root, int M, int r);

// The directions w (M each, scaled like the null space above) along which
// PHI is not identified at PHI (M x M, column-major) and the factor c of
// rank r; relative cut on the singular values of the stacked matrix.
std::vector<double> phiFlatDirections(const std::vector<double>& phi, const double* c,
                                      const std::vector<double>& root, int M, int r, double cut);

// Appends v to the orthonormal `basis` after Gram-Schmidt against it (twice,
// for rounding) and normalisation, when at least half its length is left
// (else v lies in the basis's span and nothing is added); true when added.
bool appendOrthonormal(std::vector<std::vector<double>>& basis, std::vector<double> v);

// The covariance of parameters theta (n) from the Hessian H of the
// log-likelihood in them (n x n, column-major), in the plane orthogonal to
// the directions given (each n; along them the likelihood is flat or the
// parameters are held): a factor F (n x q, column-major), F F' = Z
// (-Z'HZ)^-1 Z' with Z an orthonormal basis of the plane. False where
// -Z'HZ is not positive definite (judged at unit diagonal, smallest
// eigenvalue above 1e-10 of the largest).
bool planeCovarianceFactor(const std::vector<double>& H, int n,
                           const std::vector<std::vector<double>>& directions,
                           std::vector<double>& factor, int& q);

// Symmetric eigenvalues (ascending) and vectors of the n x n a.
bool symmetricEigenpairs(int n, std::vector<double> a, std::vector<double>& d,
                         std::vector<double>& z);

}  // namespace kova
