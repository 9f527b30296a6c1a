#pragma once
// Small dense matrices for the simulator: the true parameters, their
// factors and the stationary covariance of EPSILON(t).
//
// The simulator runs once per directory on matrices of order at most 60, so
// these helpers own their storage and favour plainness over the allocation
// rules of the numerical library.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace kova::simulate {

// Column-major, 1-based like the rest of kova.
struct Matrix {
  int rows = 0;
  int cols = 0;
  std::vector<double> a;

  Matrix() = default;
  Matrix(int r, int c, double fill = 0.0)
      : rows(r), cols(c), a(static_cast<std::size_t>(r) * c, fill) {}
  double& operator()(int i, int j) { return a[static_cast<std::size_t>(j - 1) * rows + (i - 1)]; }
  double operator()(int i, int j) const {
    return a[static_cast<std::size_t>(j - 1) * rows + (i - 1)];
  }
  bool empty() const { return rows == 0 || cols == 0; }
};

inline Matrix identity(int rows, int cols, double scale = 1.0) {
  Matrix m(rows, cols);
  for (int i = 1; i <= std::min(rows, cols); ++i) m(i, i) = scale;
  return m;
}

inline Matrix multiply(const Matrix& a, const Matrix& b) {
  Matrix c(a.rows, b.cols);
  for (int j = 1; j <= b.cols; ++j)
    for (int k = 1; k <= a.cols; ++k) {
      double bkj = b(k, j);
      if (bkj == 0.0) continue;
      for (int i = 1; i <= a.rows; ++i) c(i, j) += a(i, k) * bkj;
    }
  return c;
}

inline Matrix transpose(const Matrix& a) {
  Matrix t(a.cols, a.rows);
  for (int j = 1; j <= a.cols; ++j)
    for (int i = 1; i <= a.rows; ++i) t(j, i) = a(i, j);
  return t;
}

inline double maxAbs(const Matrix& a) {
  double m = 0.0;
  for (double v : a.a) m = std::max(m, std::fabs(v));
  return m;
}

inline bool isSymmetric(const Matrix& a) {
  if (a.rows != a.cols) return false;
  double tol = 1e-12 * std::max(1.0, maxAbs(a));
  for (int j = 1; j <= a.cols; ++j)
    for (int i = j + 1; i <= a.rows; ++i)
      if (std::fabs(a(i, j) - a(j, i)) > tol) return false;
  return true;
}

inline bool isIdentity(const Matrix& a) {
  for (int j = 1; j <= a.cols; ++j)
    for (int i = 1; i <= a.rows; ++i)
      if (a(i, j) != (i == j ? 1.0 : 0.0)) return false;
  return a.rows == a.cols;
}

inline bool isDiagonal(const Matrix& a) {
  for (int j = 1; j <= a.cols; ++j)
    for (int i = 1; i <= a.rows; ++i)
      if (i != j && a(i, j) != 0.0) return false;
  return true;
}

// Lower factor C with C C' = A for a symmetric non-negative definite A.
// A pivot that is zero to working accuracy gives a zero column, so singular
// covariances (a DELTA that leaves some directions without innovations) are
// drawn from exactly. Returns false when A is not non-negative definite: a
// clearly negative pivot, or a zero pivot whose column is not zero as well.
inline bool semidefiniteFactor(const Matrix& A, Matrix& C) {
  const int n = A.rows;
  C = Matrix(n, n);
  double scale = 0.0;
  for (int i = 1; i <= n; ++i) scale = std::max(scale, std::fabs(A(i, i)));
  const double tol = 1e-12 * std::max(scale, 1e-300) * n;
  for (int j = 1; j <= n; ++j) {
    double d = A(j, j);
    for (int k = 1; k < j; ++k) d -= C(j, k) * C(j, k);
    if (d <= tol) {
      if (d < -tol * 1e3) return false;
      for (int i = j + 1; i <= n; ++i) {
        double r = A(i, j);
        for (int k = 1; k < j; ++k) r -= C(i, k) * C(j, k);
        if (std::fabs(r) > 1e-6 * std::max(scale, 1e-300)) return false;
      }
      continue;  // column j stays zero
    }
    double cjj = std::sqrt(d);
    C(j, j) = cjj;
    for (int i = j + 1; i <= n; ++i) {
      double r = A(i, j);
      for (int k = 1; k < j; ++k) r -= C(i, k) * C(j, k);
      C(i, j) = r / cjj;
    }
  }
  return true;
}

// GAMMA solving GAMMA = PHI GAMMA PHI' + DELTA, by repeated doubling
// (GAMMA_{k+1} = GAMMA_k + A_k GAMMA_k A_k', A_{k+1} = A_k A_k), which sums
// the series sum_j PHI^j DELTA PHI'^j in 2^k terms. Returns false when the
// series does not settle, i.e. PHI has an eigenvalue of modulus 1 or more.
inline bool stationaryCovariance(const Matrix& phi, const Matrix& delta, Matrix& gamma) {
  gamma = delta;
  Matrix a = phi;
  for (int step = 0; step < 64; ++step) {
    double size = maxAbs(a);
    if (!std::isfinite(size)) return false;
    if (size < 1e-30)
      return std::all_of(gamma.a.begin(), gamma.a.end(), [](double v) { return std::isfinite(v); });
    Matrix added = multiply(multiply(a, gamma), transpose(a));
    for (std::size_t i = 0; i < gamma.a.size(); ++i) gamma.a[i] += added.a[i];
    a = multiply(a, a);
  }
  return false;
}

}  // namespace kova::simulate
