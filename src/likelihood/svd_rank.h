#pragma once
// The numerical rank of a small dense matrix by its singular value
// decomposition (LINPACK DSVDC), as the likelihood's least squares and the
// null spaces of restriction rows need it.
#include "linalg/views.h"

namespace kova {

// The SVD of the r x c matrix x (destroyed): singular values in s (min(r+1,
// c)), V (c x c) in v and the first min(r, c) left vectors in u; e and work
// of r + c. Returns the rank at kGlsTol relative to the largest singular
// value, or -1 when DSVDC did not converge (nothing it returns is usable).
int svdRank(Mat x, double* s, double* e, Mat u, Mat v, double* work);

}  // namespace kova
