// Complex LU factorization with partial pivoting (ZGEFA) and the
// determinant and inverse from its factors (ZGEDI). Pivots are chosen by
// |re| + |im|, which is cheaper than the modulus and equally safe for
// bounding the multipliers (by 2 instead of 1).
#include <cmath>
#include <utility>

#include "linalg/linpack.h"

namespace kova {
namespace {

inline double cabs1(dcomplex z) { return std::fabs(z.real()) + std::fabs(z.imag()); }

inline dcomplex* column(dcomplex* a, int lda, int j) { return a + static_cast<long>(j - 1) * lda; }

// 1-based index of the first entry of largest |re| + |im|.
int largestEntry(int n, const dcomplex* z) {
  int index = 1;
  double best = cabs1(z[0]);
  for (int i = 2; i <= n; ++i) {
    if (cabs1(z[i - 1]) > best) {
      best = cabs1(z[i - 1]);
      index = i;
    }
  }
  return index;
}

void scale(int n, dcomplex a, dcomplex* z) {
  for (int i = 0; i < n; ++i) z[i] = a * z[i];
}

// Keeps DET(1) in [1, 10) by |re| + |im|, moving powers of ten into DET(2).
// A non-finite value cannot be brought into range and is left as it is.
void normalize(dcomplex* det) {
  const double ten = 10.0;
  if (!std::isfinite(cabs1(det[0]))) return;
  while (cabs1(det[0]) < 1.0) {
    det[0] = ten * det[0];
    det[1] -= 1.0;
  }
  while (cabs1(det[0]) >= ten) {
    det[0] = det[0] / ten;
    det[1] += 1.0;
  }
}

void determinant(dcomplex* a, int lda, int n, const int* ipvt, dcomplex* det) {
  det[0] = 1.0;
  det[1] = 0.0;
  for (int i = 1; i <= n; ++i) {
    if (ipvt[i - 1] != i) det[0] = -det[0];
    det[0] = column(a, lda, i)[i - 1] * det[0];
    if (cabs1(det[0]) == 0.0) break;
    normalize(det);
  }
}

void invert(dcomplex* a, int lda, int n, const int* ipvt, dcomplex* work) {
  // inverse(U), column by column in place.
  for (int k = 1; k <= n; ++k) {
    dcomplex* ak = column(a, lda, k);
    ak[k - 1] = dcomplex(1.0, 0.0) / ak[k - 1];
    scale(k - 1, -ak[k - 1], ak);
    for (int j = k + 1; j <= n; ++j) {
      dcomplex* aj = column(a, lda, j);
      dcomplex t = aj[k - 1];
      aj[k - 1] = 0.0;
      ZAXPY(k, t, ak, 1, aj, 1);
    }
  }
  // inverse(U) * inverse(L), undoing the row interchanges as column ones.
  for (int k = n - 1; k >= 1; --k) {
    dcomplex* ak = column(a, lda, k);
    for (int i = k + 1; i <= n; ++i) {
      work[i - 1] = ak[i - 1];
      ak[i - 1] = 0.0;
    }
    for (int j = k + 1; j <= n; ++j) ZAXPY(n, work[j - 1], column(a, lda, j), 1, ak, 1);
    int l = ipvt[k - 1];
    if (l != k) ZSWAP(n, ak, 1, column(a, lda, l), 1);
  }
}

}  // namespace

void ZGEFA(dcomplex* a, int lda, int n, int* ipvt, int& info) {
  info = 0;
  if (n <= 0) return;
  for (int k = 1; k <= n - 1; ++k) {
    dcomplex* ak = column(a, lda, k);
    int l = largestEntry(n - k + 1, ak + (k - 1)) + k - 1;
    ipvt[k - 1] = l;
    // A zero pivot column is already triangular: record it and go on.
    if (cabs1(ak[l - 1]) == 0.0) {
      info = k;
      continue;
    }
    if (l != k) std::swap(ak[l - 1], ak[k - 1]);
    scale(n - k, -(dcomplex(1.0, 0.0) / ak[k - 1]), ak + k);
    for (int j = k + 1; j <= n; ++j) {
      dcomplex* aj = column(a, lda, j);
      dcomplex t = aj[l - 1];
      if (l != k) {
        aj[l - 1] = aj[k - 1];
        aj[k - 1] = t;
      }
      ZAXPY(n - k, t, ak + k, 1, aj + k, 1);
    }
  }
  ipvt[n - 1] = n;
  if (cabs1(column(a, lda, n)[n - 1]) == 0.0) info = n;
}

void ZGEDI(dcomplex* a, int lda, int n, const int* ipvt, dcomplex* det, dcomplex* work, int job) {
  if (n <= 0) {
    if (job / 10 != 0) {
      det[0] = 1.0;
      det[1] = 0.0;
    }
    return;
  }
  if (job / 10 != 0) determinant(a, lda, n, ipvt, det);
  if (job % 10 != 0) invert(a, lda, n, ipvt, work);
}

}  // namespace kova
