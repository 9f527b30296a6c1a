#pragma once
// All eigenvalues of the covariance of a vector autoregression seen through
// one regressor vector per time point,
//
//   Y = X' S X,   Y(t,s) = x(t)' PHI^(t-s) PI(s) x(s)   for t >= s,
//
// where e(1) has covariance P1, e(t) = PHI e(t-1) + a(t) with cov a(t) = Q,
// PI(1) = P1, PI(t) = PHI PI(t-1) PHI' + Q, S is the NM x NM covariance of
// the stacked e(1..N) and X the NM x N block-diagonal matrix with the
// M-vectors x(t) as its blocks. Y itself is never formed.
//
// pencilEigenvalues returns in VALUES (N) the eigenvalues of Y in ascending
// order. X (M x N, column t holds x(t)), PHI, P1 and Q (M x M, column-major)
// are only read (of P1 and Q the upper triangles); P1 and Q must be
// symmetric positive definite. Every work array is carved from S;
// pencilEigenvaluesNeed(N, M) gives the need, about N M (3 M + 4) doubles.
// N = 0 is accepted and does nothing; M = 0 gives Y = 0.
//
// IERR = 0 on success. Otherwise VALUES is untouched and the caller takes
// another route:
//   IERR = 1  P1 is not numerically positive definite (its Cholesky
//             factorization meets a pivot <= 0 or one that is not a number);
//   IERR = 2  the same for Q;
//   IERR = 3  the tridiagonal QL iteration did not converge.
//
// Method. The non-zero eigenvalues of X' S X are those of the banded
// symmetric-definite pencil (X X', S^-1); rather than factorizing
// S^-1 = L' D^-1 L (L block bidiagonal, identity blocks and -PHI below),
// the pencil is reduced through its inverse factor: with D = R R' blockwise
// (R upper triangular: P1 for the first block, Q for the others),
// Z = L^-1 R satisfies Z Z' = S, and C = Z' X X' Z has the non-zero
// eigenvalues of Y and N M - N zeros. Z is the product of elementary block
// matrices T(N) ... T(1), T(t) acting on blocks t-1 and t through PHI and
// R(t) only (nothing is inverted, so the conditioning of S^-1 does not
// enter); after each T(t) the bulge it makes is chased to the bottom by
// orthogonal block reflections in the manner of Crawford's band-preserving
// reduction, keeping C block tridiagonal with upper triangular blocks below
// the diagonal, i.e. banded with half-bandwidth M. C is then reduced to
// tridiagonal form by Givens rotations with bulge chasing (Schwarz), and
// the tridiagonal eigenvalues are found by implicit QL; the N largest of the
// N M are Y's. Cost about 26 M^3 N^2 flops and the QL iteration on order
// N M (O(N M^3) when PHI = 0: no bulge is raised); memory O(N M^2). At
// M = 3 it overtakes the dense route of quasiseparable_eigen.h near
// N = 800 (a quarter of its time at N = 2000, and N (N + 1) / 2 fewer
// doubles of scratch).
//
// Band storage used inside (documented for the reader of the source): the
// lower triangle of a symmetric matrix of half-bandwidth K is held
// column-major in a (K + 2) x NM array BAND with BAND(1 + i - j, j) = C(i, j)
// for j <= i <= j + K; row K + 2 holds the single element a rotation pushes
// outside the band until the next rotation removes it.
#include "linalg/scratch.h"

namespace kova {

void pencilEigenvalues(int n, int m, const double* x, const double* phi, const double* p1,
                       const double* q, double* values, Scratch& s, int& ierr);
ScratchNeed pencilEigenvaluesNeed(int n, int m);

}  // namespace kova
