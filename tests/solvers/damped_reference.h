#pragma once
// Dense references for restricted ridge least squares,
//   min ||A d - y||**2 + g2 ||d||**2  subject to  B d = b,
// through LAPACK: the KKT system by dgesv for g2 > 0, and for g2 = 0 the
// minimum-length solution through a null-space basis of B (dgesvd) and
// minimum-norm least squares (dgelsy).
#include <vector>

#include "linalg/lapack_lsq_ref.h"

namespace kova::test {

// [A'A + g2 I, B'; B, 0] [d; lambda] = [A'y; b].
inline DMat kktRidge(const DMat& A, const DMat& y, const DMat& B, const DMat& b, double g2) {
  const int n = A.cols, p = B.rows;
  DMat K(n + p, n + p), r(n + p, 1);
  const DMat AtA = multiply(A, A, true, false), Aty = multiply(A, y, true, false);
  for (int j = 1; j <= n; ++j) {
    for (int i = 1; i <= n; ++i) K(i, j) = AtA(i, j) + (i == j ? g2 : 0.0);
    for (int i = 1; i <= p; ++i) K(n + i, j) = K(j, n + i) = B(i, j);
    r(j, 1) = Aty(j, 1);
  }
  for (int i = 1; i <= p; ++i) r(n + i, 1) = b(i, 1);
  DMat s = solveSquare(K, r), d(n, 1);
  for (int i = 1; i <= n; ++i) d(i, 1) = s(i, 1);
  return d;
}

// The g2 = 0 limit: d = B+ b + N (A N)+ (y - A B+ b), N an orthonormal basis
// of the null space of B (B of full row rank).
inline DMat minLengthRestricted(const DMat& A, const DMat& y, const DMat& B, const DMat& b) {
  const int n = A.cols, p = B.rows;
  int rank = 0;
  if (p == 0) return lapackMinNorm(A, y, 1.0E-12, rank);
  DMat d0 = lapackMinNorm(B, b, 1.0E-12, rank);
  DMat Bc = B, vt(n, n), u(1, 1);
  std::vector<double> sv(n), work(10 * (n + p) + 64);
  int lwork = static_cast<int>(work.size()), info = 0, ldu = 1;
  dgesvd_("N", "A", &p, &n, Bc.data(), &Bc.ld, sv.data(), u.data(), &ldu, vt.data(), &vt.ld,
          work.data(), &lwork, &info, 1, 1);
  DMat N(n, n - p);
  for (int j = 1; j <= n - p; ++j)
    for (int i = 1; i <= n; ++i) N(i, j) = vt(p + j, i);
  DMat AN = multiply(A, N), res = y, Ad0 = multiply(A, d0);
  for (int i = 1; i <= y.rows; ++i) res(i, 1) -= Ad0(i, 1);
  DMat q = lapackMinNorm(AN, res, 1.0E-12, rank), Nq = multiply(N, q);
  for (int i = 1; i <= n; ++i) d0(i, 1) += Nq(i, 1);
  return d0;
}

// The damping g2 for which d satisfies the ridge optimality conditions
// A'(y - A d) = g2 d + B' lambda, fitted by least squares.
inline double impliedDamping(const DMat& A, const DMat& y, const DMat& B, const DMat& d) {
  const int n = A.cols, p = B.rows;
  DMat M(n, 1 + p), rhs = multiply(A, y, true, false), AtAd = multiply(multiply(A, A, true, false), d);
  for (int i = 1; i <= n; ++i) {
    rhs(i, 1) -= AtAd(i, 1);
    M(i, 1) = d(i, 1);
    for (int k = 1; k <= p; ++k) M(i, 1 + k) = B(k, i);
  }
  int rank = 0;
  return lapackMinNorm(M, rhs, 1.0E-14, rank)(1, 1);
}

}  // namespace kova::test
