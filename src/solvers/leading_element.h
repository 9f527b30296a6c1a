#pragma once
// The OLS and GLS modes keep one random component: of PHI and DELTA only
// the leading elements PHI(1,1) and DELTA(1,1) belong to the model, and
// EPSILON_1(t) is an autoregression of order one seen through the first
// row of TLX. The paths estimate these two elements from the first rows of
// TLX and EPSILON, exactly as they would with M = 1 and L reduced to its
// first column; every other element of PHI and DELTA is zero.
#include "linalg/views.h"
#include "solvers/damped_search.h"

namespace kova {

// The 1 x 1 leading block, and the first row, of a matrix.
inline Mat leadingBlock(Mat a) { return Mat{a.p, a.ld, 1, 1}; }
inline Mat firstRow(Mat a) { return Mat{a.p, a.ld, 1, a.cols}; }

// Restriction rows on the leading element alone: its column of the
// coefficient matrix (unknown 1 is PHI(1,1), DELTA(1,1), in every layout).
inline RestrictionRows leadingColumn(const RestrictionRows& r) {
  return RestrictionRows{Mat{r.coef.p, r.coef.ld, r.coef.rows, r.coef.rows > 0 ? 1 : 0}, r.rhs};
}

// Sets every element but a(1,1) to zero.
inline void keepLeadingElement(Mat a) {
  for (int j = 1; j <= a.cols; ++j)
    for (int i = 1; i <= a.rows; ++i)
      if (i != 1 || j != 1) a(i, j) = 0.0;
}

}  // namespace kova
