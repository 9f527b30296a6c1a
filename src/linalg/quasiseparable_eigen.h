#pragma once
// All eigenvalues of a real symmetric matrix of quasiseparable structure of
// order R, given by its generators:
//
//   Y(t,s) = P(.,t)' A^(t-s-1) Q(.,s)   for t > s,
//   Y(t,t) = D(t),                       Y(s,t) = Y(t,s),
//
// with P and Q R x N (column t holds the vector of index t, leading
// dimension R) and A R x R, column-major. A covariance matrix of the form
// Y(t,s) = x(t)' PHI^(t-s) PI x(s) is given by P(.,t) = x(t), A = PHI,
// Q(.,s) = PHI PI x(s), D(t) = x(t)' PI x(t). A may be zero or singular.
//
// quasiseparableEigenvalues returns in VALUES (N) the eigenvalues of Y in
// ascending order. P, A, Q and D are only read. Every work array is carved
// from S; quasiseparableEigenvaluesNeed(N, R) gives the need. IERR = 0 on
// success; IERR = j > 0 when the j-th eigenvalue of the tridiagonal matrix
// did not converge in 30 QL iterations, VALUES then holds no result. N = 0
// is accepted and does nothing; R = 0 means Y is diagonal.
//
// Method: the lower triangle of Y is formed from the generators (packed,
// N (N + 1) / 2 doubles of scratch, N^2 R^2 / 2 operations), reduced to
// tridiagonal form by Householder similarities without accumulating them
// (2 N^3 / 3), and the tridiagonal eigenvalues are found by implicit QL.
// The eigenvalues are backward stable: they are those of Y + E with
// ||E|| a modest multiple of N eps ||Y||.
#include <algorithm>
#include <cmath>

#include "linalg/scratch.h"

namespace kova {

void quasiseparableEigenvalues(int n, int r, const double* p, const double* a, const double* q,
                               const double* d, double* values, Scratch& s, int& ierr);
ScratchNeed quasiseparableEigenvaluesNeed(int n, int r);

// The eigenvalues (ascending) of the symmetric tridiagonal matrix with
// diagonal D(1..N) and off-diagonal E(1..N-1), E(i) coupling i and i+1, by
// the QL method with implicit shifts and no vectors, deflation judged
// against the double precision epsilon. D is overwritten by the
// eigenvalues, E is destroyed (E(N) is used as work). IERR as above.
void tridiagonalEigenvalues(int n, double* d, double* e, int& ierr);

// sqrt(x^2 + y^2) for the rotations of the reductions: a plain square root
// where the squares can neither overflow nor lose the larger term to
// underflow (std::hypot costs a fifth of a QL sweep), std::hypot outside.
inline double rotationLength(double x, double y) {
  const double big = std::max(std::fabs(x), std::fabs(y));
  if (big > 1e-150 && big < 1e150) return std::sqrt(x * x + y * y);
  return std::hypot(x, y);
}

}  // namespace kova
