#pragma once
// The factorisation of a group's whitened design [XN y0] that the panel's
// likelihood and its score share (likelihood/panel_likelihood.h): the
// triangle of its QR factorisation and the group's value from it.
#include "likelihood/panel_likelihood.h"

namespace kova {

// [XN y0] as the filter's data: xn itself where y0 is its next column,
// else copied into v (T x (q + 1)).
Mat designOf(Mat xn, const double* y0, Mat v);

// Householder's triangularisation of the T x n matrix v in place (no
// pivoting): the moduli of R's diagonal into r; above the diagonal v holds
// R's other elements, on it the leading element of each reflector, whose
// sign is that of the column's before its reflection (R(j,j) = -sign(v(j,j))
// r(j) for j < n, R(n,n) = r(n)). The last column needs no reflector. A
// zero column (r = 0) ends the factorisation there.
void triangularDiagonal(Mat v, double* r);

// The group's value from the sum of log f(t) over its T rows and the moduli
// of R's diagonal (q of XN, then that of y0): ML (restricted false) or REML.
GroupValue valueFromFactor(double sumLogF, const double* r, int T, int q, bool restricted);

}  // namespace kova
