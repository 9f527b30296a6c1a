#pragma once
// Bounded-variable least squares, and least squares under general linear
// equality and inequality constraints built on it.
//
// DBVLS minimises ||A X - B|| subject to BND(1,j) <= X(j) <= BND(2,j) by the
// active-set method of bounded-variable least squares: the unknowns are split
// into a free set, solved by least squares through a Householder QR of their
// columns, and a set held at a bound; an unknown whose dual shows that moving
// it off its bound lowers the residual joins the free set, and a free unknown
// that would cross a bound is stopped there and leaves it. The QR is updated
// in place (Householder on entry, Givens rotations on exit), so A and B are
// overwritten by their orthogonal transforms.
//
// A bound at or beyond +-kBvlsUnbounded (the largest finite double) means the
// unknown is unbounded on that side. Equal bounds fix the unknown.
#include "linalg/views.h"

namespace kova {

constexpr double kBvlsUnbounded = 1.7976931348623157E+308;

// The two work vectors DBVLS needs: s of length >= M, z of length >= N.
struct BvlsWork {
  Vec s;
  Vec z;
};

// DBVLS(A, B, BND, X, RNORM, NSETP, W, INDEX, IERR, work)
//
// A is M x N (M = a.rows, N = a.cols, leading dimension a.ld), B has M
// entries, BND is 2 x N (its leading dimension may exceed 2).
// On every call writes the list-directed line " ITMAX=" ITMAX " EPS=" EPS to
// the console, with ITMAX = 30 * N and EPS = 2.220446049250313E-16.
//
// Outputs:
//   X      the solution (every X(j) lies within its bounds; one held at a
//          bound equals that bound exactly).
//   RNORM  ||A X - B|| for the returned X, in the original data.
//   NSETP  the number of unknowns in the free set at the end: those left
//          strictly between their bounds by the least-squares solve.
//   W      the dual vector A'(B - A X) in the original data: <= 0 at a lower
//          bound, >= 0 at an upper bound, zero (to rounding) on the free set.
//   INDEX  INDEX(1..NSETP) are the free unknowns, in the order of the
//          triangular factor; INDEX(NSETP+1..N) are the unknowns held fixed:
//          at a bound, or at the starting value 0 when 0 lies strictly inside
//          the bounds and the dual never asked the unknown to move.
//   IERR   0 success;
//          1 M < 1 or N < 1;
//          2 an array is shorter than M or N require (a.ld < M, B or work.s
//            shorter than M, X, W, INDEX or work.z shorter than N, BND with
//            fewer than 2 rows or N columns, or a missing array);
//          3 some lower bound exceeds its upper bound (or a bound is NaN);
//          4 ITMAX iterations were exceeded; X is the current, feasible
//            iterate and RNORM, W belong to it.
// With IERR 1 to 3 nothing but IERR is set and A, B are untouched.
void DBVLS(Mat a, Vec b, Mat bnd, Vec x, double& rnorm, int& nsetp, Vec w, IVec index,
           int& ierr, BvlsWork work);

// DBVLS with a caller-chosen iteration limit (DBVLS passes 30 * N). It exists
// so that tests can reach the limit, which no ordinary problem does.
void dbvlsWithLimit(int itmax, Mat a, Vec b, Mat bnd, Vec x, double& rnorm, int& nsetp,
                    Vec w, IVec index, int& ierr, BvlsWork work);

// SDBVLS hands column-major Fortran-style arrays to DBVLS (A as M x N with
// leading dimension LDA, BND as 2 x N with leading dimension LDBND; workM and
// workN of lengths M and N) and reports its status. IERR 0 is silent. IERR 1
// to 3 writes "ERROR OCCURRED IN SUBROUTINE SDBVLS.  IERR IS" n ".  PROGRAM
// STOPS." to the console and to logUnit and stops the run. IERR 4 or more
// writes the same with ".  PROGRAM CONTINUES." and returns the last iterate.
void SDBVLS(int lda, int m, int n, double* a, double* b, double* x, int ldbnd, double* bnd,
            double& rnorm, int& nsetp, double* w, int* index, int& ierr, int logUnit,
            double* workM, double* workN);

// SDBVLS over dbvlsWithLimit, so that tests can reach the continue message.
void sdbvlsWithLimit(int itmax, int lda, int m, int n, double* a, double* b, double* x,
                     int ldbnd, double* bnd, double& rnorm, int& nsetp, double* w, int* index,
                     int& ierr, int logUnit, double* workM, double* workN);

// Workspace of QDBVLS, carved by the caller from its work arrays. With
// rows = ME + MI + M and cols = N + ME + MI:
//   s (ld x cols, ld >= rows) the stacked system, rhs (rows) its right-hand
//   side, bnd (2 x cols) its bounds, xs and w (cols) the DBVLS solution and
//   dual, workRows (rows) and workCols (cols) the DBVLS work vectors,
//   index (cols) the DBVLS index array; resolve (resolveLength doubles) and
//   resolveInts (ME + MI + cols ints) serve the final solve on the binding
//   rows, which also reuses s, rhs, workRows and workCols.
// After QDBVLS, xs, w, index and nsetp still describe the phase-2 DBVLS
// solution.
struct QdbvlsWork {
  int ld = 0;       // leading dimension of s, and capacity of rhs and workRows
  int maxCols = 0;  // capacity of the column-length arrays
  double* s = nullptr;
  double* rhs = nullptr;
  double* bnd = nullptr;
  double* xs = nullptr;
  double* w = nullptr;
  double* workRows = nullptr;
  double* workCols = nullptr;
  int* index = nullptr;
  double* resolve = nullptr;
  long resolveLength = 0;
  int* resolveInts = nullptr;
  double rnorm = 0.0;  // of the last DBVLS call (phase 2: of the weighted system)
  int nsetp = 0;
};

struct QdbvlsWorkSize {
  long doubles = 0;
  long ints = 0;
};

// How many doubles and ints QDBVLS needs for an M x N least-squares problem
// with ME equality and MI inequality rows (negative counts count as 0).
QdbvlsWorkSize qdbvlsWorkSize(int m, int n, int me, int mi);

// Lays the workspace out over dwork and iwork, which must hold at least
// qdbvlsWorkSize(m, n, me, mi) doubles and ints.
QdbvlsWork carveQdbvlsWork(double* dwork, int* iwork, int m, int n, int me, int mi);

// The constraints of QDBVLS: E x = e (ME = e.rows rows) and C x >= d
// (MI = c.rows rows); E and C have at least N columns. A negative row count
// counts as 0.
struct LinearConstraints {
  Mat e;
  const double* eRhs = nullptr;
  Mat c;
  const double* d = nullptr;
};

// QDBVLS minimises ||A x - b|| (A is M x N, b has M entries) subject to the
// constraints, in two DBVLS solves over the unknowns (x, s_e, s_c) with slack
// rows E x - s_e = 0 and C x - s_c = 0:
//   phase 1 finds the point nearest to satisfying the constraints (s_e fixed
//   at e, s_c >= d). A row that phase 1 misses (an equality row by more than
//   1.0E-10 |e_i|, an inequality row by more than ten units of rounding of
//   d_i, and either by more than 1.0E-10 of the sum of the magnitudes of the
//   row's terms or of ||row|| ||x||, whichever is larger, so that rounding
//   never counts) is relaxed to take in the
//   value it reached, "IN SUBROUTINE QDBVLS, LINEAR CONSTRAINING SYSTEM IS
//   INCONSISTENT IN PHASE 1." is written to the console and logUnit, and
//   `inconsistent` is returned true.
//   phase 2 appends the rows wt * [A, 0] (right-hand side wt * b) to the
//   constraint rows, with wt so small (scaled by the square root of the
//   machine precision) that the constraint rows act as constraints. Being
//   weighted rows, they hold only to about that square root: in degenerate
//   cases (contradictory rows, several binding rows meeting at one point,
//   an ill-conditioned set of binding rows) a binding row misses by 1e-11 to
//   1e-8 of its scale, and x is no more accurate.
//   So the result of phase 2 only names the binding rows: the rows whose
//   slack sits at one of its bounds. x is then solved afresh, by the
//   null-space method, as min ||A x - b|| with those rows as equalities at
//   the bounds their slacks sit on: an orthogonal factorization of the
//   (normalized) binding rows gives the part of x they fix, and QRLSQ the
//   minimum-norm rest. A row the new x violates by more than rounding
//   (1.0E-13 of its terms) joins the binding rows, the most violated first,
//   and the solve is repeated. Binding rows then hold to the machine
//   precision. Should no feasible x come out (not met in practice), x is
//   the phase-2 solution.
// A and the constraints are not overwritten. x receives N entries. No
// constraint rows at all writes "IN SUBROUTINE QDBVLS, NO LINEAR CONSTRAINT
// IS GIVEN.  PROGRAM STOPS." to the console and logUnit and stops the run.
// A DBVLS status of 1 to 3 (also a workspace too small for the problem, as
// IERR 2) writes "ERROR OCCURRED IN SUBROUTINE DBVLS.  IERR IS" n
// ".  PROGRAM STOPS." to the console and logUnit and stops; 4 or more writes
// the same with ".  PROGRAM CONTINUES.", goes on, and is returned in ierr.
// Before phase 2 the line "THE SCALED MACHEP (SCMACH)=" with SCMACH, between
// blank lines, goes to unit 100 when that unit is open.
void QDBVLS(Mat a, const double* b, const LinearConstraints& cons, QdbvlsWork& work,
            double* x, bool& inconsistent, int& ierr, int logUnit);

}  // namespace kova
