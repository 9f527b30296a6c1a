#pragma once
// The eigenvalues of YSIGMA = UYSGMA' UYSGMA for the report: the squares of
// the singular values of the factor, so YSIGMA itself is never decomposed
// (its condition is the square of the factor's).
#include "linalg/scratch.h"
#include "linalg/views.h"

namespace kova {

// values (n) returns the eigenvalues in ascending order. Returns false when
// the singular value iteration did not converge (values are then not
// eigenvalues and are not to be printed).
bool ysigmaEigenvalues(Mat uysgma, double* values, Scratch& s);
ScratchNeed ysigmaEigenvaluesNeed(int n);

}  // namespace kova
