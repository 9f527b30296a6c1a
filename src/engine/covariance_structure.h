#pragma once
// The covariance structure of a pass: the regressor matrices TLX = L'X and
// XZ (once per group), GAMMA with its factor, and YSIGMA with its factor
// UYSGMA and the SIGMA-EPS blocks B(k) = GAMMA (PHI^k)'.
//
// The steps carve their work arrays from a copy of the Scratch they are
// given (the ...need functions give exactly what they carve), so the same
// stretch serves every call. Result files are written as one record each
// (open "UNKNOWN", rewind, write, close "KEEP"); any failure there, the
// write included, stops the run.
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
// Zero PHI: GAMMA := DELTA, UGAMMA := UDELTA. Diagonal PHI: the closed form
// DELTA(i,j) / (1 - PHI(i,i) PHI(j,j)), zero where that product is >= 1.
// Full PHI: least squares on the M(M+1)/2 distinct elements (rank
// tolerance 1.0E-8). Rank shortfalls and non-stationary diagonal entries
// are written to outUnit as warnings; the factor is then truncated.
void CGAMMA(const PhiForm& form, Mat phi, Mat delta, Mat udelta, Mat gamma, Mat ugamma,
            Scratch& s, int outUnit);
ScratchNeed CGAMMAneed(int M);

// CSIGYE: YSIGMA (NUMT x NUMT), its upper factor UYSGMA and the blocks
// (M x M x NUMT, block k+1 = B(k)), written to YSIGFCTR and ESIGMA.
// eig is used only for a full, non-zero PHI (its values are not changed).
// YSIGMA = V'V for the block square root V of the model; UYSGMA = R P' from
// the pivoted QR of V (not triangular unless P = I). Powers of PHI whose
// eigenvalue modulus r has r^k < 1.0E-76 are dropped (cutOffLag).
struct YsigmaFiles {
  NamedUnit ysigfctr, esigma;
};
void CSIGYE(const PhiForm& form, Mat tlx, Mat phi, const PhiEigen& eig, Mat ugamma, Mat udelta,
            Mat ysigma, Mat uysgma, double* blocks, const YsigmaFiles& files, Scratch& s,
            int logUnit);
ScratchNeed CSIGYEneed(int M, int NUMT);

// sigmaEpsBlocks: the SIGMA-EPS blocks alone (M x M x NUMT, block k+1 =
// B(k) = GAMMA (PHI^k)', GAMMA = UGAMMA'UGAMMA), with the powers of PHI and
// their cut-offs exactly as CSIGYE forms them.
void sigmaEpsBlocks(const PhiForm& form, Mat phi, const PhiEigen& eig, Mat ugamma,
                    double* blocks, int NUMT, Scratch& s);
ScratchNeed sigmaEpsBlocksNeed(int M);

// The cut-off lag of an eigenvalue modulus r: trunc(ln 1.0E-76 / ln r) for
// 0 < r < 1, else 100000.
int cutOffLag(double r);

}  // namespace kova
