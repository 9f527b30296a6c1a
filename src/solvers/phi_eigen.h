#pragma once
// The eigen-decomposition of a full PHI that the steps of a pass share:
// PHI = V diag(EVAL) VINV, with the moduli of the eigenvalues.
#include "linalg/blas1.h"

namespace kova {

struct PhiEigen {
  int M = 0;
  int ld = 0;                // leading dimension of V and VINV (>= M)
  dcomplex* eval = nullptr;  // M eigenvalues
  dcomplex* V = nullptr;     // M x M eigenvectors, column j for eval(j)
  dcomplex* VINV = nullptr;  // M x M inverse of V
  double* moduli = nullptr;  // M values |eval(j)|
};

}  // namespace kova
