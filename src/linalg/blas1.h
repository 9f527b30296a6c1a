#pragma once
// Level-1 vector routines with the published argument lists. Vectors are
// walked with stride INCX/INCY; a negative stride walks the vector from its
// far end, as the published routines do. N <= 0 does nothing (returns 0).
#include <complex>

namespace kova {

using dcomplex = std::complex<double>;

// DY := DY + DA * DX
void DAXPY(int n, double da, const double* dx, int incx, double* dy, int incy);
// DY := DX
void DCOPY(int n, const double* dx, int incx, double* dy, int incy);
// Returns DX'DY.
double DDOT(int n, const double* dx, int incx, const double* dy, int incy);
// Returns the Euclidean length of DX, scaled so that no square overflows or
// underflows. INCX <= 0 returns 0.
double DNRM2(int n, const double* dx, int incx);

// ZY := ZY + ZA * ZX
void ZAXPY(int n, dcomplex za, const dcomplex* zx, int incx, dcomplex* zy, int incy);
// ZY := ZX
void ZCOPY(int n, const dcomplex* zx, int incx, dcomplex* zy, int incy);
// Exchanges ZX and ZY.
void ZSWAP(int n, dcomplex* zx, int incx, dcomplex* zy, int incy);

}  // namespace kova
