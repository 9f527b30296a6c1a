// The rank rule and the complete orthogonal reduction shared by QRLSQ and
// the generalized least-squares core.
//
// A rank-deficient or wide least-squares problem has many solutions; the
// reduction R = [T 0] Z picks the one of least norm without a second full
// QR of R': each H(k) mixes only coordinate k with the q - r trailing ones,
// so the cost is about 2 r^2 (q - r) instead of a factorization of R'. In
// the core, q - r is the handful of regressors, so this step is nearly free.
#include <cmath>

#include "linalg/least_squares.h"

namespace kova {
namespace {

inline double* at(double* t, int ldt, int i, int j) {
  return t + (i - 1) + static_cast<long>(j - 1) * ldt;
}

}  // namespace

int numericalRank(const double* x, int ldx, int m, double tol) {
  if (m <= 0) return 0;
  double cut = tol * std::fabs(x[0]);
  int k = 0;
  while (k < m && std::fabs(x[k + static_cast<long>(k) * ldx]) > cut) ++k;
  return k;
}

void reduceTrapezoid(int r, int q, double* t, int ldt, double* zaux, double* work) {
  if (r <= 0 || r >= q) return;
  const int tail = q - r;
  for (int k = r; k >= 1; --k) {
    double* row = at(t, ldt, k, r + 1);  // row k of the trailing block, stride ldt
    double tailNorm = DNRM2(tail, row, ldt);
    double tkk = *at(t, ldt, k, k);
    zaux[k - 1] = 0.0;
    if (tailNorm == 0.0) continue;  // row k is already reduced
    double nrm = std::hypot(tkk, tailNorm);
    if (tkk != 0.0) nrm = std::copysign(nrm, tkk);
    double scale = 1.0 / nrm;
    for (int l = 0; l < tail; ++l) row[static_cast<long>(l) * ldt] *= scale;
    double v1 = 1.0 + tkk * scale;
    if (k > 1) {
      // Rows 1..k-1 at once, column by column, so T is walked with stride 1:
      // work = -(rows . v) / v1, then each touched column gets work * v.
      double* colK = at(t, ldt, 1, k);
      for (int i = 0; i < k - 1; ++i) work[i] = v1 * colK[i];
      for (int l = 0; l < tail; ++l)
        DAXPY(k - 1, row[static_cast<long>(l) * ldt], at(t, ldt, 1, r + 1 + l), 1, work, 1);
      for (int i = 0; i < k - 1; ++i) work[i] = -work[i] / v1;
      DAXPY(k - 1, v1, work, 1, colK, 1);
      for (int l = 0; l < tail; ++l)
        DAXPY(k - 1, row[static_cast<long>(l) * ldt], work, 1, at(t, ldt, 1, r + 1 + l), 1);
    }
    zaux[k - 1] = v1;
    *at(t, ldt, k, k) = -nrm;
  }
}

void applyTrapezoidZ(int r, int q, const double* t, int ldt, const double* zaux, double* y, int inc,
                     int step, int nv, bool transpose) {
  if (r <= 0 || r >= q) return;
  const int tail = q - r;
  for (int idx = 0; idx < r; ++idx) {
    int k = transpose ? idx + 1 : r - idx;
    double v1 = zaux[k - 1];
    if (v1 == 0.0) continue;
    const double* row = t + (k - 1) + static_cast<long>(r) * ldt;
    for (int j = 0; j < nv; ++j) {
      double* yj = y + static_cast<long>(j) * step;
      double* yk = yj + static_cast<long>(k - 1) * inc;
      double* yt = yj + static_cast<long>(r) * inc;
      double s = v1 * *yk;
      for (int l = 0; l < tail; ++l)
        s += row[static_cast<long>(l) * ldt] * yt[static_cast<long>(l) * inc];
      double tau = -s / v1;
      *yk += tau * v1;
      for (int l = 0; l < tail; ++l)
        yt[static_cast<long>(l) * inc] += tau * row[static_cast<long>(l) * ldt];
    }
  }
}

}  // namespace kova
