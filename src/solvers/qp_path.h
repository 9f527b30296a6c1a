#pragma once
// The bounded paths for a diagonal, unrestricted DELTA or PHI: the diagonal
// fitted by bounded-variable least squares (SDBVLS) to the regressions of
// lm_delta.h and lm_phi.h, so that every variance stays in [0, DLTTOL] and
// every autoregressive coefficient in [-EVLTOL, EVLTOL].
#include "io/file_services.h"
#include "linalg/scratch.h"
#include "linalg/views.h"
#include "report/estimation_sections.h"
#include "solvers/phi_eigen.h"

namespace kova {

struct QpDeltaJob {
  int ITER = 1;        // the pass, from 1
  bool DDIAG = true;
  Mat tlx;             // M x NUMT
  Mat epsilon;         // M x NUMT, of the previous pass
  Mat phi;             // the PHI of this pass
  double sigma2 = 1.0;
  NamedUnit xdelta;    // scratch file of XDLT
  SectionContext context;
  bool leadingOnly = false;  // DELTA(1,1) alone (solvers/leading_element.h)
};

// QPCDLT: DDIAG false writes "IN SUBROUTINE QPCDLT, DDIAG IS .FALSE.." and
// stops the run. The bounds are [0, DLTTOL], with DLTTOL = 1.0E+300 on
// ITER = 1, after which DLTTOL becomes the D2NORM of the solution. DELTA is
// the diagonal matrix of the solution. Prints "THE DELTA MATRIX (ALGORITHM
// QP)" (print level >= 3). With leadingOnly, DELTA(1,1) alone is fitted
// from the first rows of TLX and EPSILON and PHI(1,1); the rest is zero.
void QPCDLT(const QpDeltaJob& job, Mat delta, double& DLTTOL, Scratch& s);
ScratchNeed QPCDLTneed(int M, int NUMT);

struct QpPhiJob {
  bool zeroPhi = false;
  bool PDIAG = true;
  Mat tlx;                 // M x NUMT
  Mat epsilon;             // M x NUMT, of the previous pass
  Mat delta;               // M x M, of the previous pass
  const double* MU = nullptr;  // NUMT residuals of the previous pass
  double EVLTOL = 0.995;
  SectionContext context;
  bool leadingOnly = false;  // PHI(1,1) alone (solvers/leading_element.h)
};

// QPCPHI: PDIAG false writes "IN SUBROUTINE QPCPHI, PDIAG IS .FALSE.." and
// stops; zeroPhi gives PHI = 0. Otherwise each data row t-1 is divided by
// sqrt(x(t)' DELTA x(t)) and the diagonal is fitted within [-EVLTOL,
// EVLTOL]. A row whose variance is not positive is left out of the fit
// (PHI is kept when no row remains). eig
// is refreshed (eigenvalues the diagonal, unit eigenvectors). With
// leadingOnly, PHI(1,1) alone is fitted from the first rows of TLX and
// EPSILON, weighted by DELTA(1,1); the rest is zero. Prints "THE PHI MATRIX
// (ALGORITHM QP)" (print level >= 3).
void QPCPHI(const QpPhiJob& job, Mat phi, PhiEigen& eig, Scratch& s);
ScratchNeed QPCPHIneed(int M, int NUMT);

}  // namespace kova
