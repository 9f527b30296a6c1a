#include "linalg/blas1.h"

#include <cmath>

namespace kova {
namespace {
// First index touched for a stride, as the published routines start.
inline long start(int n, int inc) { return inc < 0 ? static_cast<long>(-n + 1) * inc : 0; }
}  // namespace

void DAXPY(int n, double da, const double* dx, int incx, double* dy, int incy) {
  if (n <= 0 || da == 0.0) return;
  if (incx == 1 && incy == 1) {
    for (int i = 0; i < n; ++i) dy[i] += da * dx[i];
    return;
  }
  long ix = start(n, incx), iy = start(n, incy);
  for (int i = 0; i < n; ++i, ix += incx, iy += incy) dy[iy] += da * dx[ix];
}

void DCOPY(int n, const double* dx, int incx, double* dy, int incy) {
  if (n <= 0) return;
  long ix = start(n, incx), iy = start(n, incy);
  for (int i = 0; i < n; ++i, ix += incx, iy += incy) dy[iy] = dx[ix];
}

double DDOT(int n, const double* dx, int incx, const double* dy, int incy) {
  if (n <= 0) return 0.0;
  double sum = 0.0;
  if (incx == 1 && incy == 1) {
    for (int i = 0; i < n; ++i) sum += dx[i] * dy[i];
    return sum;
  }
  long ix = start(n, incx), iy = start(n, incy);
  for (int i = 0; i < n; ++i, ix += incx, iy += incy) sum += dx[ix] * dy[iy];
  return sum;
}

double DNRM2(int n, const double* dx, int incx) {
  if (n < 1 || incx < 1) return 0.0;
  if (n == 1) return std::fabs(dx[0]);
  // scale * sqrt(ssq) is the running norm; scale is the largest |x| so far.
  double scale = 0.0, ssq = 1.0;
  for (long ix = 0; ix < static_cast<long>(n) * incx; ix += incx) {
    if (dx[ix] == 0.0) continue;
    double a = std::fabs(dx[ix]);
    if (scale < a) {
      double r = scale / a;
      ssq = 1.0 + ssq * r * r;
      scale = a;
    } else {
      double r = a / scale;
      ssq += r * r;
    }
  }
  return scale * std::sqrt(ssq);
}

void ZAXPY(int n, dcomplex za, const dcomplex* zx, int incx, dcomplex* zy, int incy) {
  if (n <= 0 || za == 0.0) return;
  long ix = start(n, incx), iy = start(n, incy);
  for (int i = 0; i < n; ++i, ix += incx, iy += incy) zy[iy] += za * zx[ix];
}

void ZCOPY(int n, const dcomplex* zx, int incx, dcomplex* zy, int incy) {
  if (n <= 0) return;
  long ix = start(n, incx), iy = start(n, incy);
  for (int i = 0; i < n; ++i, ix += incx, iy += incy) zy[iy] = zx[ix];
}

void ZSWAP(int n, dcomplex* zx, int incx, dcomplex* zy, int incy) {
  if (n <= 0) return;
  long ix = start(n, incx), iy = start(n, incy);
  for (int i = 0; i < n; ++i, ix += incx, iy += incy) std::swap(zx[ix], zy[iy]);
}

}  // namespace kova
