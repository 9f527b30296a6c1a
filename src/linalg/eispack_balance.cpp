// BALANC, ELMHES, ELTRAN and BALBAK: the preparation of a real general
// matrix for HQR2 and the way back.
#include <cmath>
#include <utility>

#include "linalg/blas1.h"
#include "linalg/eispack.h"
#include "linalg/machine_constants.h"
#include "linalg/views.h"

namespace kova {
namespace {

// Exchanges rows and columns j and m of the active part of A (columns 1..l,
// rows k..n) and records the exchange in SCALE(m).
void exchange(Mat a, int n, int k, int l, int j, int m, double* scale) {
  scale[m - 1] = j;
  if (j == m) return;
  for (int i = 1; i <= l; ++i) std::swap(a(i, j), a(i, m));
  for (int i = k; i <= n; ++i) std::swap(a(j, i), a(m, i));
}

// True when row j has no nonzero off-diagonal entry in columns 1..l.
bool rowIsolated(Mat a, int j, int l) {
  for (int i = 1; i <= l; ++i)
    if (i != j && a(j, i) != 0.0) return false;
  return true;
}

// True when column j has no nonzero off-diagonal entry in rows k..l.
bool columnIsolated(Mat a, int j, int k, int l) {
  for (int i = k; i <= l; ++i)
    if (i != j && a(i, j) != 0.0) return false;
  return true;
}

// One sweep of radix scaling over rows/columns k..l; returns true when any
// row was rescaled, i.e. another sweep is needed.
bool scaleSweep(Mat a, int n, int k, int l, double radix, double* scale) {
  const double b2 = radix * radix;
  bool changed = false;
  for (int i = k; i <= l; ++i) {
    double c = 0.0, r = 0.0;
    for (int j = k; j <= l; ++j) {
      if (j == i) continue;
      c += std::fabs(a(j, i));
      r += std::fabs(a(i, j));
    }
    // Zero sums (a row or column emptied by underflow) have no useful
    // factor; a non-finite sum would make the radix search below spin for
    // ever, so such a row is left as it is and HQR2 reports the failure.
    if (c == 0.0 || r == 0.0 || !std::isfinite(c) || !std::isfinite(r)) continue;
    double g = r / radix, f = 1.0;
    const double s = c + r;
    while (c < g) {
      f *= radix;
      c *= b2;
    }
    g = r * radix;
    while (c >= g) {
      f /= radix;
      c /= b2;
    }
    // Scale only when the gain is worth it (5 per cent), which also makes
    // the sweeps terminate.
    if ((c + r) / f >= 0.95 * s) continue;
    scale[i - 1] *= f;
    changed = true;
    const double inv = 1.0 / f;
    for (int j = k; j <= n; ++j) a(i, j) *= inv;
    for (int j = 1; j <= l; ++j) a(j, i) *= f;
  }
  return changed;
}

}  // namespace

void BALANC(int nm, int n, double* aa, int& low, int& igh, double* scale) {
  Mat a{aa, nm, n, n};
  const double radix = DRADIX(1);
  int k = 1, l = n;

  // Rows with no off-diagonal entries give eigenvalues directly: push them
  // to the bottom and shrink the active part from below.
  for (bool found = true; found && l >= 1;) {
    found = false;
    for (int j = l; j >= 1; --j) {
      if (!rowIsolated(a, j, l)) continue;
      exchange(a, n, k, l, j, l, scale);
      if (l == 1) {
        low = k;
        igh = l;
        return;
      }
      --l;
      found = true;
      break;
    }
  }
  // Likewise columns, pushed to the left.
  for (bool found = true; found;) {
    found = false;
    for (int j = k; j <= l; ++j) {
      if (!columnIsolated(a, j, k, l)) continue;
      exchange(a, n, k, l, j, k, scale);
      ++k;
      found = true;
      break;
    }
  }

  for (int i = k; i <= l; ++i) scale[i - 1] = 1.0;
  while (scaleSweep(a, n, k, l, radix, scale)) {
  }
  low = k;
  igh = l;
}

void ELMHES(int nm, int n, int low, int igh, double* aa, int* intch) {
  Mat a{aa, nm, n, n};
  for (int m = low + 1; m <= igh - 1; ++m) {
    const int mm1 = m - 1;
    // Pivot: the largest entry of column m-1 at or below row m.
    double x = 0.0;
    int piv = m;
    for (int j = m; j <= igh; ++j) {
      if (std::fabs(a(j, mm1)) > std::fabs(x)) {
        x = a(j, mm1);
        piv = j;
      }
    }
    intch[m - 1] = piv;
    if (piv != m) {
      for (int j = mm1; j <= n; ++j) std::swap(a(piv, j), a(m, j));
      for (int j = 1; j <= igh; ++j) std::swap(a(j, piv), a(j, m));
    }
    if (x == 0.0) continue;
    // The multipliers are stored in column m-1 below the subdiagonal.
    for (int i = m + 1; i <= igh; ++i) a(i, mm1) /= x;
    // Left transformation, row i -= y_i * row m, applied column by column;
    // the elementary factors share column m, so they commute and all row
    // operations may precede all column operations.
    for (int j = m; j <= n; ++j) {
      const double amj = a(m, j);
      if (amj == 0.0) continue;
      double* col = a.col(j);
      const double* y = a.col(mm1);
      for (int i = m + 1; i <= igh; ++i) col[i - 1] -= y[i - 1] * amj;
    }
    // Right transformation: column m += y_i * column i.
    for (int i = m + 1; i <= igh; ++i) DAXPY(igh, a(i, mm1), a.col(i), 1, a.col(m), 1);
  }
}

void ELTRAN(int nm, int n, int low, int igh, const double* a, const int* intch, double* zz) {
  Mat z{zz, nm, n, n};
  auto at = [&](int i, int j) { return a[(i - 1) + static_cast<long>(j - 1) * nm]; };
  for (int j = 1; j <= n; ++j) {
    for (int i = 1; i <= n; ++i) z(i, j) = 0.0;
    z(j, j) = 1.0;
  }
  // Built backwards so that each step only fills rows not yet touched.
  for (int mp = igh - 1; mp >= low + 1; --mp) {
    for (int i = mp + 1; i <= igh; ++i) z(i, mp) = at(i, mp - 1);
    const int i = intch[mp - 1];
    if (i == mp) continue;
    for (int j = mp; j <= igh; ++j) {
      z(mp, j) = z(i, j);
      z(i, j) = 0.0;
    }
    z(i, mp) = 1.0;
  }
}

void BALBAK(int nm, int n, int low, int igh, const double* scale, int m, double* zz) {
  Mat z{zz, nm, n, m};
  // Each column is independent: undo the scaling, then the interchanges in
  // the reverse of the order BALANC made them.
  for (int j = 1; j <= m; ++j) {
    double* col = z.col(j);
    if (igh != low)
      for (int i = low; i <= igh; ++i) col[i - 1] *= scale[i - 1];
    for (int ii = 1; ii <= n; ++ii) {
      int i = ii;
      if (i >= low && i <= igh) continue;
      if (i < low) i = low - ii;
      const int k = static_cast<int>(scale[i - 1]);
      if (k != i) std::swap(col[i - 1], col[k - 1]);
    }
  }
}

}  // namespace kova
