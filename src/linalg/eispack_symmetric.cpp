// TRED2 and TQL2: the symmetric eigenproblem by Householder tridiagonal
// reduction and implicit QL iteration.
#include <algorithm>
#include <cmath>
#include <utility>

#include "linalg/blas1.h"
#include "linalg/eispack.h"
#include "linalg/machine_constants.h"
#include "linalg/views.h"

namespace kova {
namespace {

// One Householder step of TRED2 for row i (l = i - 1), on entry D(1..l)
// holds row i of the remaining matrix; returns h = u'u/2, with u left in
// D and in column i of Z, and E(i) set.
double householderStep(Mat z, int i, double* d, double* e) {
  const int l = i - 1;
  double scale = 0.0;
  for (int k = 0; k < l; ++k) scale += std::fabs(d[k]);
  if (l < 2 || scale == 0.0) {
    // Nothing to annihilate: the row is already tridiagonal.
    e[i - 1] = d[l - 1];
    for (int j = 1; j <= l; ++j) {
      d[j - 1] = z(l, j);
      z(i, j) = 0.0;
      z(j, i) = 0.0;
    }
    return 0.0;
  }
  // Scaling the row keeps the squares clear of overflow and underflow.
  double h = 0.0;
  for (int k = 0; k < l; ++k) {
    d[k] /= scale;
    h += d[k] * d[k];
  }
  double f = d[l - 1];
  double g = -std::copysign(std::sqrt(h), f);
  e[i - 1] = scale * g;
  h -= f * g;
  d[l - 1] = f - g;
  // e := A u from the lower triangle, walked down its columns.
  for (int j = 0; j < l; ++j) e[j] = 0.0;
  for (int j = 1; j <= l; ++j) {
    f = d[j - 1];
    z(j, i) = f;
    const double* col = z.col(j);
    g = e[j - 1] + col[j - 1] * f;
    for (int k = j + 1; k <= l; ++k) {
      g += col[k - 1] * d[k - 1];
      e[k - 1] += col[k - 1] * f;
    }
    e[j - 1] = g;
  }
  // p = A u / h, then q = p - (u'p / 2h) u.
  f = 0.0;
  for (int j = 0; j < l; ++j) {
    e[j] /= h;
    f += e[j] * d[j];
  }
  const double hh = f / (h + h);
  for (int j = 0; j < l; ++j) e[j] -= hh * d[j];
  // A := A - u q' - q u' on the lower triangle.
  for (int j = 1; j <= l; ++j) {
    f = d[j - 1];
    g = e[j - 1];
    double* col = z.col(j);
    for (int k = j; k <= l; ++k) col[k - 1] -= f * e[k - 1] + g * d[k - 1];
    d[j - 1] = col[l - 1];
    z(i, j) = 0.0;
  }
  return h;
}

// Forms the product of the Householder transformations in Z.
void accumulate(Mat z, int n, double* d) {
  for (int i = 2; i <= n; ++i) {
    const int l = i - 1;
    z(n, l) = z(l, l);
    z(l, l) = 1.0;
    const double h = d[i - 1];
    double* u = z.col(i);
    if (h != 0.0) {
      for (int k = 0; k < l; ++k) d[k] = u[k] / h;
      for (int j = 1; j <= l; ++j) {
        const double g = DDOT(l, u, 1, z.col(j), 1);
        DAXPY(l, -g, d, 1, z.col(j), 1);
      }
    }
    for (int k = 0; k < l; ++k) u[k] = 0.0;
  }
}

// Sorts the eigenvalues ascending, carrying the vectors along.
void sortAscending(Mat z, int n, double* d) {
  for (int i = 1; i < n; ++i) {
    int k = i;
    double p = d[i - 1];
    for (int j = i + 1; j <= n; ++j) {
      if (d[j - 1] < p) {
        k = j;
        p = d[j - 1];
      }
    }
    if (k == i) continue;
    d[k - 1] = d[i - 1];
    d[i - 1] = p;
    double* zi = z.col(i);
    double* zk = z.col(k);
    for (int j = 0; j < n; ++j) std::swap(zi[j], zk[j]);
  }
}

// One implicit QL sweep on rows l..m with the shift already subtracted.
void qlSweep(Mat z, int n, int l, int m, double* d, double* e) {
  double p = d[m - 1];
  double c = 1.0, s = 0.0;
  for (int i = m - 1; i >= l; --i) {
    const double g = c * e[i - 1];
    const double h = c * p;
    const double r = std::hypot(p, e[i - 1]);
    e[i] = s * r;
    // p and E(i) both zero would give 0/0; the identity rotation is the
    // limit and keeps the sweep finite.
    s = r != 0.0 ? e[i - 1] / r : 0.0;
    c = r != 0.0 ? p / r : 1.0;
    p = c * d[i - 1] - s * g;
    d[i] = h + s * (c * g + s * d[i - 1]);
    double* zi = z.col(i);
    double* zi1 = z.col(i + 1);
    for (int k = 0; k < n; ++k) {
      const double t = zi1[k];
      zi1[k] = s * zi[k] + c * t;
      zi[k] = c * zi[k] - s * t;
    }
  }
  e[l - 1] = s * p;
  d[l - 1] = c * p;
}

}  // namespace

void TRED2(int nm, int n, const double* a, double* d, double* e, double* zz) {
  // The published loops end by setting Z(N,N) and E(1), which for N = 0
  // would write outside the arrays.
  if (n <= 0) return;
  Mat z{zz, nm, n, n};
  for (int i = 1; i <= n; ++i) {
    const double* ai = a + static_cast<long>(i - 1) * nm;
    for (int j = i; j <= n; ++j) z(j, i) = ai[j - 1];
    d[i - 1] = ai[n - 1];
  }
  if (n > 1) {
    for (int i = n; i >= 2; --i) d[i - 1] = householderStep(z, i, d, e);
    accumulate(z, n, d);
  }
  for (int i = 1; i <= n; ++i) {
    d[i - 1] = z(n, i);
    z(n, i) = 0.0;
  }
  z(n, n) = 1.0;
  e[0] = 0.0;
}

void TQL2(int nm, int n, double* d, double* e, double* zz, int& ierr) {
  ierr = 0;
  // N = 0 would clear E(0); N = 1 is already diagonal.
  if (n <= 1) return;
  Mat z{zz, nm, n, n};
  const double eps = DMACH(1);
  for (int i = 1; i < n; ++i) e[i - 1] = e[i];
  e[n - 1] = 0.0;
  double f = 0.0, b = 0.0;
  for (int l = 1; l <= n; ++l) {
    b = std::max(b, eps * (std::fabs(d[l - 1]) + std::fabs(e[l - 1])));
    // E(N) is zero, so the search always stops.
    int m = l;
    while (std::fabs(e[m - 1]) > b) ++m;
    for (int its = 0; m > l; ++its) {
      if (its == 30) {
        ierr = l;
        return;
      }
      // Shift: the eigenvalue of the leading 2x2 block nearer to D(L).
      const double g = d[l - 1];
      const double p = (d[l] - g) / (2.0 * e[l - 1]);
      const double r = std::hypot(p, 1.0);
      d[l - 1] = e[l - 1] / (p + std::copysign(r, p));
      const double h = g - d[l - 1];
      for (int i = l + 1; i <= n; ++i) d[i - 1] -= h;
      f += h;
      qlSweep(z, n, l, m, d, e);
      if (std::fabs(e[l - 1]) <= b) break;
    }
    d[l - 1] += f;
    e[l - 1] = 0.0;
  }
  sortAscending(z, n, d);
}

}  // namespace kova
