#pragma once
// Reference LAPACK entry points for the least-squares tests and benchmark
// (Fortran calling convention, hidden string lengths last), and small
// LAPACK-backed dense helpers they share.
#include <stdexcept>
#include <vector>

#include "lapack_linpack_ref.h"

extern "C" {
void dgelsy_(const int* m, const int* n, const int* nrhs, double* a, const int* lda, double* b,
             const int* ldb, int* jpvt, const double* rcond, int* rank, double* work,
             const int* lwork, int* info);
void dggglm_(const int* n, const int* m, const int* p, double* a, const int* lda, double* b,
             const int* ldb, double* d, double* x, double* y, double* work, const int* lwork,
             int* info);
void dgesv_(const int* n, const int* nrhs, double* a, const int* lda, int* ipiv, double* b,
            const int* ldb, int* info);
void dpotrf_(const char* uplo, const int* n, double* a, const int* lda, int* info, std::size_t);
void dpotrs_(const char* uplo, const int* n, const int* nrhs, const double* a, const int* lda,
             double* b, const int* ldb, int* info, std::size_t);
void dggqrf_(const int* n, const int* m, const int* p, double* a, const int* lda, double* taua,
             double* b, const int* ldb, double* taub, double* work, const int* lwork, int* info);
void dormqr_(const char* side, const char* trans, const int* m, const int* n, const int* k,
             const double* a, const int* lda, const double* tau, double* c, const int* ldc,
             double* work, const int* lwork, int* info, std::size_t, std::size_t);
void dtrtrs_(const char* uplo, const char* trans, const char* diag, const int* n, const int* nrhs,
             const double* a, const int* lda, double* b, const int* ldb, int* info, std::size_t,
             std::size_t, std::size_t);
void dgemm_(const char* transa, const char* transb, const int* m, const int* n, const int* k,
            const double* alpha, const double* a, const int* lda, const double* b, const int* ldb,
            const double* beta, double* c, const int* ldc, std::size_t, std::size_t);
}

namespace kova::test {

// X = A^-1 B for a square nonsingular A (dgesv).
inline DMat solveSquare(DMat a, DMat b) {
  int n = a.rows, nrhs = b.cols, info = 0;
  std::vector<int> ipiv(std::max(1, n));
  dgesv_(&n, &nrhs, a.data(), &a.ld, ipiv.data(), b.data(), &b.ld, &info);
  if (info != 0) throw std::runtime_error("dgesv failed");
  return b;
}

inline DMat identity(int n) {
  DMat e(n, n);
  for (int i = 1; i <= n; ++i) e(i, i) = 1.0;
  return e;
}

// Minimum-norm least-squares solutions by dgelsy; returns the rank it found.
inline DMat lapackMinNorm(DMat a, const DMat& b, double rcond, int& rank) {
  int m = a.rows, n = a.cols, nrhs = b.cols, info = 0, lwork = -1;
  DMat x(std::max(m, n), nrhs);
  for (int j = 1; j <= nrhs; ++j)
    for (int i = 1; i <= m; ++i) x(i, j) = b(i, j);
  std::vector<int> jpvt(std::max(1, n), 0);
  double query = 0.0;
  dgelsy_(&m, &n, &nrhs, a.data(), &a.ld, x.data(), &x.ld, jpvt.data(), &rcond, &rank, &query,
          &lwork, &info);
  lwork = static_cast<int>(query);
  std::vector<double> work(lwork);
  dgelsy_(&m, &n, &nrhs, a.data(), &a.ld, x.data(), &x.ld, jpvt.data(), &rcond, &rank, work.data(),
          &lwork, &info);
  if (info != 0) throw std::runtime_error("dgelsy failed");
  DMat out(n, nrhs);
  for (int j = 1; j <= nrhs; ++j)
    for (int i = 1; i <= n; ++i) out(i, j) = x(i, j);
  return out;
}

inline DMat transpose(const DMat& a) {
  DMat t(a.cols, a.rows);
  for (int j = 1; j <= a.cols; ++j)
    for (int i = 1; i <= a.rows; ++i) t(j, i) = a(i, j);
  return t;
}

inline double maxAbs(const DMat& m) {
  double s = 0.0;
  for (int j = 1; j <= m.cols; ++j)
    for (int i = 1; i <= m.rows; ++i) s = std::max(s, std::fabs(m(i, j)));
  return s;
}

}  // namespace kova::test
