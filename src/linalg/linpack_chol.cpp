// Pivoted Cholesky decomposition of a positive semi-definite matrix (DCHDC).
//
// Only the upper triangle is stored, so a symmetric interchange of rows and
// columns i < j has to move three pieces: the parts of columns i and j above
// row i, the diagonal pair, and the stretch between them, where row i of the
// upper triangle trades places with column j.
#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "linalg/linpack.h"

namespace kova {
namespace {

struct Upper {
  double* a;
  int lda;
  double& operator()(int i, int j) const { return a[(i - 1) + static_cast<long>(j - 1) * lda]; }
  double* col(int j) const { return a + static_cast<long>(j - 1) * lda; }
};

void swapColumns(int n, double* x, double* y) {
  for (int i = 0; i < n; ++i) std::swap(x[i], y[i]);
}

// Symmetric interchange of rows/columns i < j of the stored upper triangle.
void interchange(const Upper& a, int p, int i, int j) {
  swapColumns(i - 1, a.col(i), a.col(j));
  std::swap(a(i, i), a(j, j));
  for (int c = i + 1; c <= p; ++c) {
    if (c < j)
      std::swap(a(i, c), a(c, j));
    else if (c != j)
      std::swap(a(i, c), a(j, c));
  }
}

// Moves initial rows/columns (JPVT > 0) to the front and final ones
// (JPVT < 0) to the back; returns the range [pl, pu] left free to pivot.
void arrange(const Upper& a, int p, int* jpvt, int& pl, int& pu) {
  pl = 1;
  for (int k = 1; k <= p; ++k) {
    bool initial = jpvt[k - 1] > 0;
    bool final = jpvt[k - 1] < 0;
    jpvt[k - 1] = final ? -k : k;
    if (!initial) continue;
    if (k != pl) {
      interchange(a, p, pl, k);
      jpvt[k - 1] = jpvt[pl - 1];
      jpvt[pl - 1] = k;
    }
    ++pl;
  }
  pu = p;
  for (int k = p; k >= pl; --k) {
    if (jpvt[k - 1] >= 0) continue;
    jpvt[k - 1] = -jpvt[k - 1];
    if (pu != k) {
      interchange(a, p, k, pu);
      std::swap(jpvt[k - 1], jpvt[pu - 1]);
    }
    --pu;
  }
}

}  // namespace

void DCHDC(double* a_, int lda, int p, double* work, int* jpvt, int job, int& info) {
  Upper a{a_, lda};
  int pl = 1, pu = 0;
  info = p;
  // A pivot must exceed this to be taken. After r steps on a matrix of
  // rank r the remaining block is zero in exact arithmetic, but computed it
  // is rounding noise of order P u max A(i,i) (u = 2^-53, the unit
  // roundoff), often positive; the largest remaining diagonal element at
  // that level means the rank has been reached.
  double tol = 0.0;
  if (job != 0) {
    for (int k = 1; k <= p; ++k) tol = std::max(tol, a(k, k));
    tol *= p * (std::numeric_limits<double>::epsilon() / 2);
    arrange(a, p, jpvt, pl, pu);
  }

  for (int k = 1; k <= p; ++k) {
    double maxdia = a(k, k);
    int maxl = k;
    if (k >= pl && k < pu) {
      for (int l = k + 1; l <= pu; ++l) {
        if (a(l, l) > maxdia) {
          maxdia = a(l, l);
          maxl = l;
        }
      }
    }
    if (!(maxdia > tol)) {  // a NaN pivot stops the factorization too
      info = k - 1;
      return;
    }
    if (k != maxl) {
      // Rows above k are already factored; exchange those parts of the two
      // columns and the diagonals now, the rest row by row below.
      swapColumns(k - 1, a.col(k), a.col(maxl));
      a(maxl, maxl) = a(k, k);
      a(k, k) = maxdia;
      std::swap(jpvt[maxl - 1], jpvt[k - 1]);
    }
    work[k - 1] = std::sqrt(a(k, k));
    a(k, k) = work[k - 1];
    for (int j = k + 1; j <= p; ++j) {
      if (k != maxl) {
        if (j < maxl)
          std::swap(a(k, j), a(j, maxl));
        else if (j != maxl)
          std::swap(a(k, j), a(maxl, j));
      }
      a(k, j) /= work[k - 1];
      work[j - 1] = a(k, j);
      // Row k of R is final now; update column j of the trailing block.
      DAXPY(j - k, -a(k, j), work + k, 1, a.col(j) + k, 1);
    }
  }
}

}  // namespace kova
