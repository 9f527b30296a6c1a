// The Householder update shared by the QR and SVD routines.
//
// Each column gets exactly the arithmetic of DDOT followed by DAXPY, in the
// same order, so results do not depend on how columns are grouped; four
// columns share one sweep so that four independent sums are in flight
// instead of one long chain of dependent additions.
#include "linalg/linpack.h"

namespace kova {
namespace {

void reflectOne(int len, const double* v, double* y) {
  double t = -DDOT(len, v, 1, y, 1) / v[0];
  DAXPY(len, t, v, 1, y, 1);
}

void reflectFour(int len, const double* __restrict v, double* __restrict y0,
                 double* __restrict y1, double* __restrict y2, double* __restrict y3) {
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
  for (int i = 0; i < len; ++i) {
    double vi = v[i];
    s0 += vi * y0[i];
    s1 += vi * y1[i];
    s2 += vi * y2[i];
    s3 += vi * y3[i];
  }
  double t0 = -s0 / v[0], t1 = -s1 / v[0], t2 = -s2 / v[0], t3 = -s3 / v[0];
  if (t0 == 0.0 || t1 == 0.0 || t2 == 0.0 || t3 == 0.0) {
    // DAXPY leaves y alone for a zero multiplier; keep that exactly.
    DAXPY(len, t0, v, 1, y0, 1);
    DAXPY(len, t1, v, 1, y1, 1);
    DAXPY(len, t2, v, 1, y2, 1);
    DAXPY(len, t3, v, 1, y3, 1);
    return;
  }
  for (int i = 0; i < len; ++i) {
    double vi = v[i];
    y0[i] += t0 * vi;
    y1[i] += t1 * vi;
    y2[i] += t2 * vi;
    y3[i] += t3 * vi;
  }
}

}  // namespace

void applyReflector(int len, const double* v, double* y, int ldy, int ncols) {
  if (len <= 0) return;
  int c = 0;
  for (; c + 4 <= ncols; c += 4) {
    double* y0 = y + static_cast<long>(c) * ldy;
    reflectFour(len, v, y0, y0 + ldy, y0 + 2L * ldy, y0 + 3L * ldy);
  }
  for (; c < ncols; ++c) reflectOne(len, v, y + static_cast<long>(c) * ldy);
}

}  // namespace kova
