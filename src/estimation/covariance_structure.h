#pragma once
// The covariance structure of a pass: the regressor matrices TLX = L'X and
// XZ (once per group), GAMMA with its factor, and YSIGMA with its factor
// UYSGMA and the SIGMA-EPS blocks B(k) = GAMMA (PHI^k)'.
#include "io/file_services.h"
#include "linalg/scratch.h"
#include "linalg/views.h"
#include "solvers/phi_eigen.h"

namespace kova {

// CTLXS: result (M x n) = L' X for the n columns of X (K x n); with
// writeFile set the result is also written to `file` as one record.
void CTLXS(Mat L, Mat X, Mat result, const NamedUnit& file, bool writeFile, int logUnit);

// CXZ: XZ (NUMT x K*P), row t = z(t)' (Kronecker) x(t)'.
void CXZ(Mat X, Mat Z, Mat XZ, const NamedUnit& file, bool writeFile, int logUnit);

struct PhiForm {
  bool zeroPhi = false;      // the zero-PHI option
  bool diagonalPhi = false;  // PDIAG
};

// CGAMMA: GAMMA = PHI GAMMA PHI' + DELTA and UGAMMA (UGAMMA' UGAMMA = GAMMA).
void CGAMMA(const PhiForm& form, Mat phi, Mat delta, Mat udelta, Mat gamma, Mat ugamma,
            Scratch& s, int outUnit);
ScratchNeed CGAMMAneed(int M);

// CSIGYE: YSIGMA (NUMT x NUMT), its upper factor UYSGMA and the blocks
// (M x M x NUMT, block k+1 = B(k)), written to YSIGFCTR and ESIGMA.
// eig is used only for a full, non-zero PHI (its values are not changed).
struct YsigmaFiles {
  NamedUnit ysigfctr, esigma;
};
void CSIGYE(const PhiForm& form, Mat tlx, Mat phi, const PhiEigen& eig, Mat ugamma, Mat udelta,
            Mat ysigma, Mat uysgma, double* blocks, const YsigmaFiles& files, Scratch& s,
            int logUnit);
ScratchNeed CSIGYEneed(int M, int NUMT);

// The cut-off lag of an eigenvalue modulus r: trunc(ln 1.0E-76 / ln r) for
// 0 < r < 1, else 100000.
int cutOffLag(double r);

}  // namespace kova
