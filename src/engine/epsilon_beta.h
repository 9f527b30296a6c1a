#pragma once
// CEPS: the best linear unbiased predictor of EPSILON(t) from the PI
// residuals; CBETA: BETA(t) = PI z(t) + L EPSILON(t).
#include "io/file_services.h"
#include "linalg/scratch.h"
#include "linalg/views.h"

namespace kova {

// EPSILON (M x NUMT, M and NUMT from TLX) from MU (first NUMT entries),
// UYSGMA, RO, TLX and the SIGMA-EPS blocks (M x M x NUMT); written to
// EPSMATRX as one record. UYSGMA may be any factor with UYSGMA' UYSGMA =
// YSIGMA (it need not be triangular). The scratch holds CEPSneed(M, NUMT):
// one NUMT x NUMT matrix and a few vectors. A failed write stops the run.
void CEPS(Mat tlx, const double* blocks, Mat uysgma, Mat RO, const double* MU, Mat epsilon,
          const NamedUnit& epsmatrx, Scratch& s, int logUnit);
ScratchNeed CEPSneed(int M, int NUMT);

// BETA (K x NUMT), PIVECT read as the K x P matrix PI, column by column;
// K and NUMT from BETA, P from Z, M from L.
void CBETA(const double* PIVECT, Mat Z, Mat L, Mat epsilon, Mat beta);

}  // namespace kova
