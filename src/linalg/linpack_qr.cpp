// Householder QR with optional column pivoting (DQRDC) and the routine that
// applies its factors (DQRSL).
//
// A reflector is stored as in the classic routines: the vector v sits below
// and on the diagonal of its column, scaled so that v(l) = 1 + |x(l)|/||x||,
// and H = I - v v' / v(l). R(l,l) takes the diagonal slot, so v(l) is kept in
// QRAUX(l) and DQRSL borrows the diagonal back while it applies H.
#include <algorithm>
#include <cmath>
#include <utility>

#include "linalg/linpack.h"

namespace kova {
namespace {

inline double* column(double* x, int ldx, int j) { return x + static_cast<long>(j - 1) * ldx; }

void swapColumns(int n, double* a, double* b) {
  for (int i = 0; i < n; ++i) std::swap(a[i], b[i]);
}

// Moves initial columns (JPVT > 0) to the front and final columns (JPVT < 0)
// to the back, leaving JPVT as the identity permutation of what moved, and
// returns the range [pl, pu] of free columns.
void arrangeColumns(double* x, int ldx, int n, int p, int* jpvt, int& pl, int& pu) {
  pl = 1;
  for (int j = 1; j <= p; ++j) {
    bool initial = jpvt[j - 1] > 0;
    bool final = jpvt[j - 1] < 0;
    jpvt[j - 1] = final ? -j : j;
    if (!initial) continue;
    if (j != pl) swapColumns(n, column(x, ldx, pl), column(x, ldx, j));
    jpvt[j - 1] = jpvt[pl - 1];
    jpvt[pl - 1] = j;
    ++pl;
  }
  pu = p;
  for (int j = p; j >= 1; --j) {
    if (jpvt[j - 1] >= 0) continue;
    jpvt[j - 1] = -jpvt[j - 1];
    if (j != pu) {
      swapColumns(n, column(x, ldx, pu), column(x, ldx, j));
      std::swap(jpvt[pu - 1], jpvt[j - 1]);
    }
    --pu;
  }
}

// Brings the free column of largest remaining norm into place l.
void pivotColumn(double* x, int ldx, int n, int l, int pu, double* qraux, int* jpvt, double* work) {
  double maxnrm = 0.0;
  int maxj = l;
  for (int j = l; j <= pu; ++j) {
    if (qraux[j - 1] > maxnrm) {
      maxnrm = qraux[j - 1];
      maxj = j;
    }
  }
  if (maxj == l) return;
  swapColumns(n, column(x, ldx, l), column(x, ldx, maxj));
  qraux[maxj - 1] = qraux[l - 1];
  work[maxj - 1] = work[l - 1];
  std::swap(jpvt[maxj - 1], jpvt[l - 1]);
}

// Downdates the norm of the part of column j below row l after the l-th
// step. Cancellation makes the running formula useless once the norm has
// dropped by a large factor since it was last computed afresh (WORK(j)); it
// is then recomputed from the column.
void downdateNorm(const double* xj, int n, int l, double& qr, double& original) {
  double tt = 1.0 - (std::fabs(xj[l - 1]) / qr) * (std::fabs(xj[l - 1]) / qr);
  tt = std::max(tt, 0.0);
  double t = tt;
  tt = 1.0 + 0.05 * tt * (qr / original) * (qr / original);
  if (tt != 1.0) {
    qr *= std::sqrt(t);
  } else {
    qr = DNRM2(n - l, xj + l, 1);
    original = qr;
  }
}

}  // namespace

void DQRDC(double* x, int ldx, int n, int p, double* qraux, int* jpvt, double* work, int job) {
  int pl = 1, pu = 0;
  if (job != 0) {
    arrangeColumns(x, ldx, n, p, jpvt, pl, pu);
    for (int j = pl; j <= pu; ++j) {
      qraux[j - 1] = DNRM2(n, column(x, ldx, j), 1);
      work[j - 1] = qraux[j - 1];
    }
  }
  int lup = std::min(n, p);
  for (int l = 1; l <= lup; ++l) {
    if (l >= pl && l < pu) pivotColumn(x, ldx, n, l, pu, qraux, jpvt, work);
    qraux[l - 1] = 0.0;
    if (l == n) break;
    double* xl = column(x, ldx, l) + (l - 1);
    int len = n - l + 1;
    double nrmxl = DNRM2(len, xl, 1);
    if (nrmxl == 0.0) continue;
    if (xl[0] != 0.0) nrmxl = std::copysign(nrmxl, xl[0]);
    double scale = 1.0 / nrmxl;
    for (int i = 0; i < len; ++i) xl[i] *= scale;
    xl[0] += 1.0;
    if (l < p) applyReflector(len, xl, column(x, ldx, l + 1) + (l - 1), ldx, p - l);
    for (int j = std::max(l + 1, pl); j <= pu; ++j)
      if (qraux[j - 1] != 0.0) downdateNorm(column(x, ldx, j), n, l, qraux[j - 1], work[j - 1]);
    qraux[l - 1] = xl[0];
    xl[0] = -nrmxl;
  }
}

namespace {

// Applies the reflectors 1..ju to y, forward (Q'y) or backward (Qy).
void applyQ(double* x, int ldx, int n, int ju, const double* qraux, double* y, bool transpose) {
  for (int step = 1; step <= ju; ++step) {
    int j = transpose ? step : ju - step + 1;
    if (qraux[j - 1] == 0.0) continue;
    double* xjj = column(x, ldx, j) + (j - 1);
    double diag = *xjj;
    *xjj = qraux[j - 1];
    applyReflector(n - j + 1, xjj, y + (j - 1), n, 1);
    *xjj = diag;
  }
}

// Solves R b = b in place by back substitution; stops at the first zero
// diagonal it meets (the largest such index) and returns it, else 0.
int backSolve(const double* x, int ldx, int k, double* b) {
  for (int j = k; j >= 1; --j) {
    const double* xj = x + static_cast<long>(j - 1) * ldx;
    if (xj[j - 1] == 0.0) return j;
    b[j - 1] /= xj[j - 1];
    if (j != 1) DAXPY(j - 1, -b[j - 1], xj, 1, b, 1);
  }
  return 0;
}

}  // namespace

void DQRSL(double* x, int ldx, int n, int k, const double* qraux, const double* y, double* qy,
           double* qty, double* b, double* rsd, double* xb, int job, int& info) {
  info = 0;
  if (n <= 0) return;
  bool cqy = job / 10000 != 0;
  bool cqty = job % 10000 != 0;
  bool cb = (job % 1000) / 100 != 0;
  bool cr = (job % 100) / 10 != 0;
  bool cxb = job % 10 != 0;
  k = std::max(0, std::min(k, n));
  int ju = std::min(k, n - 1);

  // Both copies of y are taken before either product and the later copies
  // run in this order, so that y may share storage with qy, or with qty and
  // one of b, rsd, xb.
  if (cqy) DCOPY(n, y, 1, qy, 1);
  if (cqty) DCOPY(n, y, 1, qty, 1);
  if (cqy) applyQ(x, ldx, n, ju, qraux, qy, false);
  if (cqty) applyQ(x, ldx, n, ju, qraux, qty, true);
  if (cb) DCOPY(k, qty, 1, b, 1);
  if (cxb) DCOPY(k, qty, 1, xb, 1);
  if (cr && k < n) DCOPY(n - k, qty + k, 1, rsd + k, 1);
  if (cxb)
    for (int i = k; i < n; ++i) xb[i] = 0.0;
  if (cr)
    for (int i = 0; i < k; ++i) rsd[i] = 0.0;
  if (cb) info = backSolve(x, ldx, k, b);
  if (cr) applyQ(x, ldx, n, ju, qraux, rsd, false);
  if (cxb) applyQ(x, ldx, n, ju, qraux, xb, false);
}

}  // namespace kova
