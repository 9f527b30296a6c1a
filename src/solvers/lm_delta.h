#pragma once
// LMCDLT: DELTA re-estimated by damped least squares, with its damping
// chosen so that D2NORM(DELTA) meets the bound DLTTOL of the group; and the
// regression system of DELTA, which the bounded path shares.
//
// The regression: for t = 2..NUMT, with x(t) the columns of TLX,
//   (x(t)'(EPSILON(t) - PHI EPSILON(t-1)))**2 / SIGMA**2
//       = sum over i <= j of DELTA(i,j) x_i(t) x_j(t) (times 2 when i < j),
// whose expectation it is. The unknowns are DELTA(1,1..n), DELTA(2,2..n), ...
// (the upper triangle row by row), or the diagonal alone with DDIAG. Their
// Euclidean length is D2NORM: each off-diagonal pair counted once.
#include "io/file_services.h"
#include "linalg/scratch.h"
#include "linalg/views.h"
#include "report/estimation_sections.h"
#include "solvers/damped_search.h"

namespace kova {

// Number of unknowns of DELTA: n, or n(n+1)/2.
int deltaUnknowns(int n, bool DDIAG);

// CYDLT: ydlt(t-1), t = 2..NUMT, as above. SIGMA**2 <= 0 writes "SIGMA2 IN
// SUBROUTINE CYDLT IS NOT POSITIVE:" with the value and "A VALUE OF 1.0D0 IS
// USED IN NORMALIZING YDLT" to logUnit and the console and divides by 1.
void CYDLT(Mat tlx, Mat epsilon, Mat phi, double sigma2, double* ydlt, int logUnit);

// CXDLT1 (full) / CXDLT2 (DDIAG): the NUMT - 1 data rows of XDLT followed by
// the restriction rows. They depend only on TLX and the restrictions: on
// ITER = 1 the matrix is built and written to `file` as one record; later
// passes read it back (a missing or wrong-sized record stops the run).
// NUMT <= 1 writes "NUMT IS NOT GREATER THAN 1 IN SUB. CXDLT1" (CXDLT2:
// "... IN SUB. CXDLT:") with NUMT; the matrix then has only restriction rows.
// xdlt is max(NUMT - 1, 0) + rows x deltaUnknowns.
void CXDLT(int ITER, bool DDIAG, Mat tlx, const RestrictionRows& restriction, Mat xdlt,
           const NamedUnit& file, int logUnit);

// DELTA from its unknown vector (symmetric, or diagonal with DDIAG).
void fillDelta(const double* d, bool DDIAG, Mat delta);

struct LmDeltaJob {
  int ITER = 1;               // the pass, from 1
  bool DDIAG = false;
  Mat tlx;                    // M x NUMT
  Mat epsilon;                // M x NUMT, of the previous pass
  Mat phi;                    // the PHI of this pass
  double sigma2 = 1.0;
  RestrictionRows restriction;  // BDLT (rows x deltaUnknowns) and its vector
  NamedUnit xdelta;           // scratch file of XDLT
  SectionContext context;     // report section; messages to context.messageUnit
  bool leadingOnly = false;   // DELTA(1,1) alone (solvers/leading_element.h)
};

// LMCDLT: on ITER = 1 DELTA is the undamped solution and DLTTOL becomes its
// D2NORM (<= 0 stops the run). Later, a DLTTOL <= 0 stops the run; an
// undamped DELTA with D2NORM <= DLTTOL is kept; otherwise the damping is
// searched (at most 300 secant steps, stop at |D2NORM - DLTTOL| <= 1.0E-5
// DLTTOL). Progress lines go to the console. A zero XDLT stops the run.
// With leadingOnly, DELTA(1,1) is so estimated from the first rows of TLX
// and EPSILON, with PHI(1,1) and column 1 of the restriction (XDLT then has
// one column), and the rest of DELTA is zero.
// Prints "THE UNADJUSTED DELTA (ALGORITHM LM)" (print level >= 3).
void LMCDLT(const LmDeltaJob& job, Mat delta, double& DLTTOL, Scratch& s);
ScratchNeed LMCDLTneed(int M, int NUMT, int SDTROW, bool DDIAG);

}  // namespace kova
