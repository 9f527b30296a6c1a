// Triangular solves (DTRSL). Upper-triangular forward solves run as column
// sweeps (DAXPY down a column of T), transposed solves as dot products with
// a column of T, so that T is always walked with stride 1.
#include "linalg/linpack.h"

namespace kova {
namespace {

inline const double* column(const double* t, int ldt, int j) {
  return t + static_cast<long>(j - 1) * ldt;
}

}  // namespace

void DTRSL(const double* t, int ldt, int n, double* b, int job, int& info) {
  info = 0;
  if (n <= 0) return;
  for (int k = 1; k <= n; ++k) {
    if (column(t, ldt, k)[k - 1] == 0.0) {
      info = k;
      return;
    }
  }
  bool upper = job % 10 != 0;
  bool transposed = (job % 100) / 10 != 0;

  if (!transposed && !upper) {  // T x = b, T lower: forward substitution.
    b[0] /= t[0];
    for (int j = 2; j <= n; ++j) {
      DAXPY(n - j + 1, -b[j - 2], column(t, ldt, j - 1) + (j - 1), 1, b + (j - 1), 1);
      b[j - 1] /= column(t, ldt, j)[j - 1];
    }
  } else if (!transposed && upper) {  // T x = b, T upper: back substitution.
    b[n - 1] /= column(t, ldt, n)[n - 1];
    for (int j = n - 1; j >= 1; --j) {
      DAXPY(j, -b[j], column(t, ldt, j + 1), 1, b, 1);
      b[j - 1] /= column(t, ldt, j)[j - 1];
    }
  } else if (!upper) {  // T' x = b, T lower: back substitution.
    b[n - 1] /= column(t, ldt, n)[n - 1];
    for (int j = n - 1; j >= 1; --j) {
      const double* tj = column(t, ldt, j);
      b[j - 1] -= DDOT(n - j, tj + j, 1, b + j, 1);
      b[j - 1] /= tj[j - 1];
    }
  } else {  // T' x = b, T upper: forward substitution.
    b[0] /= t[0];
    for (int j = 2; j <= n; ++j) {
      const double* tj = column(t, ldt, j);
      b[j - 1] -= DDOT(j - 1, tj, 1, b, 1);
      b[j - 1] /= tj[j - 1];
    }
  }
}

}  // namespace kova
