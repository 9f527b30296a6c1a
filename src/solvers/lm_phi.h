#pragma once
// LMCPHI: PHI re-estimated by damped least squares, with its damping chosen
// so that the largest eigenvalue modulus MAXEVL meets the bound EVLTOL; and
// the regression system of PHI, which the bounded path shares.
//
// The regression: for t = 2..NUMT, with x(t) the columns of TLX and MU the
// residuals of the previous pass,
//   MU(t) = sum over i, j of PHI(j,i) x_j(t) EPSILON_i(t-1) + error,
// the error being x(t)'a(t) with variance SIGMA**2 x(t)' DELTA x(t). The
// unknowns are PHI column by column (unknown (i-1)n + j is PHI(j,i)), or the
// diagonal alone with PDIAG.
#include "linalg/scratch.h"
#include "linalg/views.h"
#include "report/estimation_sections.h"
#include "solvers/damped_search.h"
#include "solvers/phi_eigen.h"

namespace kova {

// Number of unknowns of PHI: n, or n*n.
int phiUnknowns(int n, bool PDIAG);

// CYPHI: yphi(t-1) = MU(t), t = 2..NUMT.
void CYPHI(const double* MU, int NUMT, double* yphi);

// CXPHI1 (full) / CXPHI2 (PDIAG): the NUMT - 1 data rows of XPHI, then the
// restriction rows. xphi is max(NUMT - 1, 0) + rows x phiUnknowns.
void CXPHI(bool PDIAG, Mat tlx, Mat epsilon, const RestrictionRows& restriction, Mat xphi);

// q(t-1) = x(t)' DELTA x(t), t = 2..NUMT: the error variance of row t-1 in
// units of SIGMA**2.
void rowVariances(Mat tlx, Mat delta, double* q);

// PHI from its unknown vector.
void fillPhi(const double* d, bool PDIAG, Mat phi);

// The eigen arrays of a diagonal PHI (the zero PHI included): its diagonal,
// unit eigenvectors; MAXEVL returned.
double diagonalPhiEigen(Mat phi, PhiEigen& eig);

struct LmPhiJob {
  bool zeroPhi = false;
  bool PDIAG = false;
  Mat tlx;                 // M x NUMT
  Mat epsilon;             // M x NUMT, of the previous pass
  Mat delta;               // M x M, of the previous pass
  const double* MU = nullptr;  // NUMT residuals of the previous pass
  RestrictionRows restriction;  // BPHI (rows x phiUnknowns) and its vector
  double EVLTOL = 0.995;
  SectionContext context;  // report section; messages to context.messageUnit
  bool leadingOnly = false;  // PHI(1,1) alone (solvers/leading_element.h)
};

// LMCPHI: PHI = 0 with zeroPhi. Otherwise the undamped solution; if its
// MAXEVL exceeds EVLTOL, the damping is bracketed by tenfold steps (at most
// 301) and searched (at most 200 secant steps, stop at |MAXEVL - EVLTOL| <=
// 1.0E-5); an unconverged search leaves a PHI with MAXEVL >= 1 scaled by
// EVLTOL / MAXEVL. eig and MAXEVL describe the returned PHI. A zero XPHI
// stops the run. With leadingOnly, PHI(1,1) is so estimated from the first
// rows of TLX and EPSILON, with DELTA(1,1) and column 1 of the restriction,
// and the rest of PHI is zero. Prints "THE PHI MATRIX (ALGORITHM LM)" (level
// >= 3).
void LMCPHI(const LmPhiJob& job, Mat phi, PhiEigen& eig, double& MAXEVL, Scratch& s);
ScratchNeed LMCPHIneed(int M, int NUMT, int SPHROW, bool PDIAG);

}  // namespace kova
