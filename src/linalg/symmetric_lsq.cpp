// SYMLSQ: the pseudo-inverse of A'A applied through the SVD of A.
#include "linalg/symmetric_lsq.h"

#include <algorithm>

#include "linalg/linpack.h"
#include "io/edit_descriptors.h"
#include "io/messages.h"

namespace kova {

void SYMLSQ(double* a, int lda, int n, int p, double* b, int ldb, int nb, double tol, double* s,
            double* e, double* v, int ldv, double* work, int& r, int unit) {
  r = 0;
  if (p <= 0) return;
  const int m = std::min(n, p);
  if (m > 0) {
    int info = 0;
    // Right vectors only: U is not referenced with job 01.
    DSVDC(a, lda, n, p, s, e, nullptr, 1, v, ldv, work, 1, info);
    if (info != 0)
      writeUnit(unit, (ListLine() << "INFO IN SUBROUTINE SYMLSQ IS NONZERO:" << info).str());
    double cut = tol * s[0] * s[0];
    while (r < m && s[r] * s[r] > cut) ++r;
  }
  // E is free again after DSVDC and holds the coefficients v(i)'b / s(i)^2.
  for (int j = 0; j < nb; ++j) {
    double* bj = b + static_cast<long>(j) * ldb;
    for (int i = 0; i < r; ++i)
      e[i] = DDOT(p, v + static_cast<long>(i) * ldv, 1, bj, 1) / (s[i] * s[i]);
    std::fill_n(bj, p, 0.0);
    for (int i = 0; i < r; ++i) DAXPY(p, e[i], v + static_cast<long>(i) * ldv, 1, bj, 1);
  }
}

}  // namespace kova
