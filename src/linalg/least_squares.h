#pragma once
// Least-squares solvers built on the Householder routines of linpack.h:
// QRLSQ (ordinary least squares with a numerical rank and minimum-norm
// solutions) and the generalized least-squares core (Paige's formulation,
// which never inverts the covariance factor). Matrices are column-major with
// leading dimensions; pivot vectors are 1-based. No routine allocates: the
// caller supplies every work array, sized by the helpers below.
//
// Rank rule shared by every solver here: with R the triangle of a QR
// factorization with column pivoting, the numerical rank is the number of
// leading diagonal elements, counted from the first, with
// |R(i,i)| > tol * |R(1,1)|; the count stops at the first element that
// fails, so a zero R(1,1) gives rank 0.
#include "linalg/linpack.h"
#include "linalg/scratch.h"

namespace kova {

// Rank of the leading m diagonal elements of R (stored in x with leading
// dimension ldx) under the rule above.
int numericalRank(const double* x, int ldx, int m, double tol);

// Complete orthogonal reduction of an upper trapezoidal R (r x q, r <= q,
// leading r x r triangle nonsingular in exact arithmetic) to [T 0] Z, with
// T upper triangular (r x r) and Z orthogonal (q x q): R = [T 0] Z.
// Z = H(1) ... H(r), where H(k) acts on coordinates k and r+1..q only.
// Overwrites the upper triangle of T in rows 1..r, columns 1..r, keeps the
// vectors of H(k) in row k, columns r+1..q, and their leading elements in
// ZAUX(k) (0 means H(k) = I). WORK has length r. Entries below the diagonal
// are not touched, so a DQRDC factorization keeps its Householder vectors.
// Nothing is done when r == q.
void reduceTrapezoid(int r, int q, double* t, int ldt, double* zaux, double* work);

// Applies Z' (transpose = true) or Z of reduceTrapezoid to NV vectors of
// length q. Element i of vector j is y[(i-1)*inc + (j-1)*step]: columns of a
// matrix with inc = 1, step = ld; rows with inc = ld, step = 1 (so that
// Y Z' = (Z Y')' is the call with transpose = false on the rows of Y).
// The minimum-norm solution of R x = c is x = Z' [T^-1 c; 0].
void applyTrapezoidZ(int r, int q, const double* t, int ldt, const double* zaux, double* y, int inc,
                     int step, int nv, bool transpose);

// Doubles of work space QRLSQ needs for an n x p problem.
long qrlsqWorkSize(int n, int p);

// QRLSQ: least squares min ||A X - B|| for every column of B (n x nb) by QR
// with column pivoting (DQRDC, JPVT cleared first). K returns the numerical
// rank under the rule above with tolerance TOL. K = 0: X = 0 and RSD = B.
// When K < p (always when n < p) the first K rows of R are reduced once more
// (reduceTrapezoid) so that each column of X (p x nb) is the minimum-norm
// solution of the rank-K problem. RSD (n x nb) returns B - A_K X, A_K the
// K leading pivot columns. A is overwritten by the factorization and JPVT
// (length p) by the pivot order; WORK has qrlsqWorkSize(n, p) doubles.
// B must not share storage with X or RSD. A nonzero status of DQRSL or DTRSL
// is written to UNIT with its INFO, and the computation goes on.
void QRLSQ(double* a, int lda, int n, int p, int nb, const double* b, int ldb, double tol,
           double* x, int ldx, double* rsd, int ldr, int& k, int* jpvt, double* work, int unit);

// Relative size below which CHKZY2 calls the trailing entries zero. Q1
// mixes every row, so even consistent exact equations leave rounding noise
// of the order of the machine precision times ||b|| there, never an exact
// zero; the core passes ||b|| as the scale.
constexpr double kChkzy2Tol = 1.0E-8;

// CHKZY2: the consistency check of the exact equations. Y2 holds NY columns
// (leading dimension LDY) of NRWQ2B entries each; entries RQA2TB+1..NRWQ2B
// of column j must vanish, which is taken to hold when their norm is at most
// TOL * SCALE(j). Writes the count of columns that fail to UNIT when it is
// not zero, and returns it. RQA2TB outside 0..NRWQ2B is reported as a size
// mismatch (and 0 is returned).
int CHKZY2(int rqa2tb, int nrwq2b, int ny, const double* y2, int ldy, const double* scale,
           double tol, int unit);

// The generalized least-squares core: for each column b of B,
//   min ||u||  subject to  b = A x + F u,
// A (n x p) the design, F (n x n) the covariance factor (a zero row makes
// its equation exact), so that x is the GLS estimate for disturbances with
// covariance SIGMA**2 F F'. Both orthogonal steps (QR of A, then QR of the
// last n - r1 rows G2 of Q1'F) pivot columns and use the rank rule with
// tolerance kGlsTol. x is the minimum-norm solution when r1 < p.
// F is never inverted.
constexpr double kGlsTol = 1.0E-8;

struct GlsProblem {
  const double* a = nullptr;  // n x p
  int lda = 0;
  const double* f = nullptr;  // n x n
  int ldf = 0;
  const double* b = nullptr;  // n x nb
  int ldb = 0;
  int n = 0, p = 0, nb = 0;
  bool covariance = false;  // also form the covariance of x
};

// Status of the covariance matrix.
enum GlsCovStatus : int {
  kCovFormed = 0,
  kCovNotRequested = 1,
  kCovNoRank = 2,  // r1 = 0: x is identically zero and so is the matrix returned
};

struct GlsResults {
  double* x = nullptr;  // p x nb solutions
  int ldx = 0;
  double* sigma2 = nullptr;  // nb values ||u||^2 / r2; 0 when r2 = 0
  double* cov = nullptr;     // p x p, written only when covariance is asked for
  int ldcov = 0;
  int r1 = 0;            // numerical rank of A
  int r2 = 0;            // numerical rank of G2 (0 when r1 = n)
  int inconsistent = 0;  // right-hand sides whose exact equations CHKZY2 rejected
  int covStatus = kCovNotRequested;
};

struct GlsWork {
  double* wr = nullptr;  // glsWorkSizes(...).doubles
  long wrLength = 0;
  int* wi = nullptr;  // glsWorkSizes(...).ints
  long wiLength = 0;
};

struct GlsWorkSizes {
  long doubles = 0;
  long ints = 0;
};

GlsWorkSizes glsWorkSizes(int n, int p, int nb);

// The work record of an n x p problem with nb right-hand sides, carved from s.
GlsWork carveGlsWork(Scratch& s, int n, int p, int nb);

// Solves every right-hand side of the problem. The inputs are only read.
// The covariance is that of x in units of SIGMA**2, i.e. L F F' L' with
// x = L b, and does not depend on b. Messages (CHKZY2) go to UNIT; the
// computation goes on after them. When A has full column rank and the
// exact equations are independent, r2 = n - p (the exact equations count
// as the noisy ones do); each dependent exact equation lowers r2 by one.
// The work arrays are scratch. Returns false, touching no output, when the work record is
// shorter than glsWorkSizes asks for.
bool solveGls(const GlsProblem& problem, GlsResults& results, const GlsWork& work, int unit);

}  // namespace kova
