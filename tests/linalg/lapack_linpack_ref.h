#pragma once
// Reference LAPACK entry points (Fortran calling convention, hidden string
// lengths last) and the small dense helpers the factorization tests share.
// LAPACK is linked into the tests and benchmarks only.
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <limits>
#include <random>
#include <vector>

extern "C" {
void dgesvd_(const char* jobu, const char* jobvt, const int* m, const int* n, double* a,
             const int* lda, double* s, double* u, const int* ldu, double* vt, const int* ldvt,
             double* work, const int* lwork, int* info, std::size_t, std::size_t);
void dgeqp3_(const int* m, const int* n, double* a, const int* lda, int* jpvt, double* tau,
             double* work, const int* lwork, int* info);
void dpstrf_(const char* uplo, const int* n, double* a, const int* lda, int* piv, int* rank,
             const double* tol, double* work, int* info, std::size_t);
void dgels_(const char* trans, const int* m, const int* n, const int* nrhs, double* a,
            const int* lda, double* b, const int* ldb, double* work, const int* lwork, int* info,
            std::size_t);
void zgetrf_(const int* m, const int* n, std::complex<double>* a, const int* lda, int* ipiv,
             int* info);
void zgetri_(const int* n, std::complex<double>* a, const int* lda, const int* ipiv,
             std::complex<double>* work, const int* lwork, int* info);
}

namespace kova::test {

constexpr double kEps = std::numeric_limits<double>::epsilon();

// Column-major matrix with a leading dimension that may exceed the rows, so
// that every test can also exercise LDx > N.
template <class T>
struct Dense {
  int rows = 0, cols = 0, ld = 1;
  std::vector<T> a;
  Dense() = default;
  Dense(int r, int c, int pad = 0) : rows(r), cols(c), ld(std::max(1, r + pad)) {
    a.assign(static_cast<std::size_t>(ld) * std::max(1, c), T(0));
  }
  T& operator()(int i, int j) { return a[(i - 1) + static_cast<std::size_t>(j - 1) * ld]; }
  const T& operator()(int i, int j) const {
    return a[(i - 1) + static_cast<std::size_t>(j - 1) * ld];
  }
  T* data() { return a.data(); }
};
using DMat = Dense<double>;
using ZMat = Dense<std::complex<double>>;

inline DMat randomMatrix(int r, int c, unsigned seed, int pad = 0) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  DMat m(r, c, pad);
  for (int j = 1; j <= c; ++j)
    for (int i = 1; i <= r; ++i) m(i, j) = dist(gen);
  return m;
}

inline DMat multiply(const DMat& x, const DMat& y, bool transX = false, bool transY = false) {
  int r = transX ? x.cols : x.rows, inner = transX ? x.rows : x.cols;
  int c = transY ? y.rows : y.cols;
  DMat out(r, c);
  for (int j = 1; j <= c; ++j)
    for (int k = 1; k <= inner; ++k) {
      double ykj = transY ? y(j, k) : y(k, j);
      for (int i = 1; i <= r; ++i) out(i, j) += (transX ? x(k, i) : x(i, k)) * ykj;
    }
  return out;
}

// Rank-r product of two random factors.
inline DMat lowRank(int r, int c, int rank, unsigned seed, int pad = 0) {
  DMat f = randomMatrix(r, rank, seed), g = randomMatrix(rank, c, seed + 1);
  DMat prod = multiply(f, g), out(r, c, pad);
  for (int j = 1; j <= c; ++j)
    for (int i = 1; i <= r; ++i) out(i, j) = prod(i, j);
  return out;
}

inline double frobenius(const DMat& m) {
  double s = 0.0;
  for (int j = 1; j <= m.cols; ++j)
    for (int i = 1; i <= m.rows; ++i) s += m(i, j) * m(i, j);
  return std::sqrt(s);
}

inline DMat difference(const DMat& x, const DMat& y) {
  DMat d(x.rows, x.cols);
  for (int j = 1; j <= x.cols; ++j)
    for (int i = 1; i <= x.rows; ++i) d(i, j) = x(i, j) - y(i, j);
  return d;
}

// ||Q'Q - I|| for the first c columns of q.
inline double orthogonalityError(const DMat& q) {
  DMat g = multiply(q, q, true, false);
  for (int i = 1; i <= g.rows; ++i) g(i, i) -= 1.0;
  return frobenius(g);
}

}  // namespace kova::test
