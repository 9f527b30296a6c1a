#include "linalg/complex_eigen.h"

#include "linalg/blas1.h"

namespace kova {
namespace {

template <class T>
void clearColumns(int lda, int m, int n, T* a) {
  for (int j = 0; j < n; ++j) {
    T* col = a + static_cast<long>(j) * lda;
    for (int i = 0; i < m; ++i) col[i] = T(0);
  }
}

}  // namespace

void EIGCPX(int nm, int n, const double* z, const double* wr, const double* wi, dcomplex* eval, int ldc, dcomplex* c) {
  auto zcol = [&](int j) { return z + static_cast<long>(j - 1) * nm; };
  for (int j = 1; j <= n; ++j) {
    eval[j - 1] = dcomplex(wr[j - 1], wi[j - 1]);
    dcomplex* cj = c + static_cast<long>(j - 1) * ldc;
    // Real part, imaginary part and its sign: a pair (j, j+1) shares the
    // columns of Z, the second member being the conjugate of the first.
    const double* re = zcol(j);
    const double* im = nullptr;
    double sign = 1.0;
    if (wi[j - 1] > 0.0 && j < n) {
      im = zcol(j + 1);
    } else if (wi[j - 1] < 0.0 && j > 1) {
      re = zcol(j - 1);
      im = zcol(j);
      sign = -1.0;
    }
    for (int i = 0; i < n; ++i) cj[i] = dcomplex(re[i], im ? sign * im[i] : 0.0);
  }
}

void ZMATMU(int lda, int m, int k, const dcomplex* a, int ldb, int n, const dcomplex* b, int ldc, dcomplex* c,
            dcomplex* work) {
  for (int j = 0; j < n; ++j) {
    const dcomplex* bj = b + static_cast<long>(j) * ldb;
    for (int i = 0; i < m; ++i) work[i] = 0.0;
    for (int l = 0; l < k; ++l) ZAXPY(m, bj[l], a + static_cast<long>(l) * lda, 1, work, 1);
    ZCOPY(m, work, 1, c + static_cast<long>(j) * ldc, 1);
  }
}

void clearMatrix(int lda, int m, int n, double* a) { clearColumns(lda, m, n, a); }
void clearMatrix(int lda, int m, int n, dcomplex* a) { clearColumns(lda, m, n, a); }

}  // namespace kova
