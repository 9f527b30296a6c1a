#include <algorithm>
#include <cmath>
#include <string>
#include <string_view>

#include "linalg/blas1.h"
#include "linalg/bvls.h"
#include "linalg/least_squares.h"
#include "linalg/linpack.h"
#include "io/console.h"
#include "io/edit_descriptors.h"
#include "io/fortran_io.h"
#include "io/stop.h"

namespace kova {
namespace {

constexpr double kScmach = 1.4901161193847656E-08;
constexpr double kEqualityTolerance = 1.0E-10;
constexpr double kBelowNegative = 1.0000000000000022;
constexpr double kBelowNonNegative = 0.9999999999999978;
constexpr int kScmachUnit = 100;
// A row missed by more than this fraction of its terms is violated; a
// product of N terms computed in double carries rounding far below it.
constexpr double kRoundingFloor = 1.0E-13;

// The log unit may not be open (writeLine then reports it); the console copy
// is what the user sees, so the log copy is best effort.
void writeBoth(const std::string& line, int logUnit) {
  consoleLine(line);
  writeLine(logUnit, line);
}

// Reports a DBVLS status on behalf of `routine`: 1 to 3 stop the run, 4 and
// above let the caller go on with the last iterate.
void reportStatus(std::string_view routine, int ierr, int logUnit) {
  if (ierr == 0) return;
  ListLine line;
  line << "ERROR OCCURRED IN SUBROUTINE " << routine << ".  IERR IS" << ierr
       << (ierr <= 3 ? ".  PROGRAM STOPS." : ".  PROGRAM CONTINUES.");
  writeBoth(line.str(), logUnit);
  if (ierr <= 3) stopRun();
}

// Frobenius norm of rows 1..rows, columns 1..cols, without overflow.
double frobenius(const Mat& a, int rows, int cols) {
  double norm = 0.0;
  if (rows <= 0) return norm;
  for (int j = 1; j <= cols; ++j) norm = std::hypot(norm, DNRM2(rows, a.col(j), 1));
  return norm;
}

// Rows 1..ME+MI of the stacked system: [E -I 0; C 0 -I], right-hand side 0.
// DBVLS overwrites them, so phase 2 loads them afresh.
void loadConstraintRows(const LinearConstraints& cons, int n, int me, int mi, Mat s, double* rhs) {
  const int mc = me + mi;
  for (int j = 1; j <= n + mc; ++j) std::fill(s.col(j), s.col(j) + mc, 0.0);
  for (int j = 1; j <= n; ++j) {
    for (int i = 1; i <= me; ++i) s(i, j) = cons.e(i, j);
    for (int i = 1; i <= mi; ++i) s(me + i, j) = cons.c(i, j);
  }
  for (int i = 1; i <= mc; ++i) s(i, n + i) = -1.0;
  std::fill(rhs, rhs + mc, 0.0);
}

// Phase-1 bounds: x free, the equality slacks fixed at e, the inequality
// slacks at least d.
void loadPhase1Bounds(const LinearConstraints& cons, int n, int me, int mi, Mat bnd) {
  for (int j = 1; j <= n; ++j) {
    bnd(1, j) = -kBvlsUnbounded;
    bnd(2, j) = kBvlsUnbounded;
  }
  for (int i = 1; i <= me; ++i) bnd(1, n + i) = bnd(2, n + i) = cons.eRhs[i - 1];
  for (int i = 1; i <= mi; ++i) {
    bnd(1, n + me + i) = cons.d[i - 1];
    bnd(2, n + me + i) = kBvlsUnbounded;
  }
}

// Row i of G times x, and the sum of the magnitudes of its terms, the scale
// of the rounding in the product.
double rowTimes(const Mat& g, int i, int n, const double* x, double& terms) {
  double sum = 0.0;
  terms = 0.0;
  for (int j = 1; j <= n; ++j) {
    sum += g(i, j) * x[j - 1];
    terms += std::abs(g(i, j) * x[j - 1]);
  }
  return sum;
}

// Widens the slack bounds of the rows phase 1 could not satisfy to take in
// the values it reached; returns whether any row was widened.
//
// The tolerances (1.0E-10 relative for equality rows, ten units of rounding
// relative to d for inequality rows) are measured against the right-hand
// side. Where the terms of a row are large beside its right-hand side (above
// all a zero right-hand side, as in homogeneous restrictions) the rounding
// of the phase-1 solution alone exceeds them, and consistent rows used to be
// reported inconsistent. So a row counts as missed only when the shortfall
// also exceeds 1.0E-10 of the size of the terms of the row. That size is at
// least ||row|| ||x||: the rounding of each entry of x is of the order of
// the whole x, so a row whose own entries of x are (near) zero, such as
// x3 >= 0 met at x3 = 0 while x1 is 1, carries rounding that its terms do
// not show.
double rowScale(const Mat& g, int i, int n, double terms, double xNorm) {
  double rowNorm = 0.0;
  for (int j = 1; j <= n; ++j) rowNorm = std::hypot(rowNorm, g(i, j));
  return std::max(terms, rowNorm * xNorm);
}

bool relaxUnreachedRows(const LinearConstraints& cons, int n, int me, int mi, const double* x,
                        Mat bnd) {
  bool relaxed = false;
  double terms = 0.0;
  const double xNorm = n > 0 ? DNRM2(n, x, 1) : 0.0;
  for (int i = 1; i <= me; ++i) {
    const double e = cons.eRhs[i - 1], ex = rowTimes(cons.e, i, n, x, terms);
    const double miss = std::abs(e - ex);
    if (miss > kEqualityTolerance * std::abs(e) &&
        miss > kEqualityTolerance * rowScale(cons.e, i, n, terms, xNorm)) {
      bnd(1, n + i) = std::min(e, ex);
      bnd(2, n + i) = std::max(e, ex);
      relaxed = true;
    } else {
      bnd(1, n + i) = bnd(2, n + i) = e;
    }
  }
  for (int i = 1; i <= mi; ++i) {
    const double d = cons.d[i - 1], cx = rowTimes(cons.c, i, n, x, terms);
    const double threshold = d < 0.0 ? d * kBelowNegative : d * kBelowNonNegative;
    if (cx < threshold && d - cx > kEqualityTolerance * rowScale(cons.c, i, n, terms, xNorm)) {
      bnd(1, n + me + i) = std::min(d, cx);
      relaxed = true;
    } else {
      bnd(1, n + me + i) = d;
    }
    bnd(2, n + me + i) = kBvlsUnbounded;
  }
  return relaxed;
}

void solveStacked(QdbvlsWork& work, int rows, int cols, int& ierr, int logUnit) {
  Mat s{work.s, work.ld, rows, cols};
  Mat bnd{work.bnd, 2, 2, cols};
  DBVLS(s, Vec{work.rhs, rows}, bnd, Vec{work.xs, cols}, work.rnorm, work.nsetp,
        Vec{work.w, cols}, IVec{work.index, cols}, ierr,
        BvlsWork{Vec{work.workRows, rows}, Vec{work.workCols, cols}});
  reportStatus("DBVLS", ierr, logUnit);
}

long resolveLength(int m, int n, int mc) {
  return mc + 3L * n + qrlsqWorkSize(m, n);
}

bool workspaceFits(const QdbvlsWork& w, int m, int n, int mc) {
  const int rows = mc + m, cols = n + mc;
  return w.ld >= rows && w.maxCols >= cols && w.s && w.rhs && w.bnd && w.xs && w.w &&
         w.workRows && w.workCols && w.index && w.resolve && w.resolveInts &&
         w.resolveLength >= resolveLength(m, n, mc);
}

// Constraint row i (1..ME+MI) of [E; C] and its right-hand side bounds
// (those of its slack after phase 1).
struct ConstraintRows {
  const LinearConstraints& cons;
  int n, me;
  Mat bnd;
  double coef(int i, int j) const { return i <= me ? cons.e(i, j) : cons.c(i - me, j); }
  double value(int i, const double* x, double& terms) const {
    return i <= me ? rowTimes(cons.e, i, n, x, terms) : rowTimes(cons.c, i - me, n, x, terms);
  }
  double lower(int i) const { return bnd(1, n + i); }
  double upper(int i) const { return bnd(2, n + i); }
};

// Which bound a row is held at: 0 none, 1 its lower, 2 its upper bound.
enum Held : int { kFree = 0, kAtLower = 1, kAtUpper = 2 };

// min ||A x - b|| with the held rows as equalities, by the null-space
// method. The held rows, each scaled to unit length (a zero row holds
// nothing), are the columns of G'; G' P = Q R with pivoting and rank k.
// With x = Q y, the held rows fix y(1..k) through R11' y1 = (P'g)(1..k) and
// y(k+1..n) is the minimum-norm solution of (A Q)(:,k+1..n) y2 =
// b - (A Q)(:,1..k) y1. Rows of R beyond the rank are rounding (dependent
// rows that hold with the others). The result goes to `trial`.
void solveOnHeldRows(Mat a, const double* b, const ConstraintRows& rows, const int* held,
                     QdbvlsWork& work, int m, int mc, double* trial, int logUnit) {
  const int n = rows.n, ldg = std::max(n, 1), lda = std::max(m, 1);
  double* gt = work.s;
  double* aq = work.s + static_cast<long>(ldg) * mc;
  double* g = work.rhs;
  double* c = work.rhs + mc;
  double* y = work.workCols;
  double* qraux = work.workCols + n;
  double* dqrWork = work.resolve;
  double* tmp = dqrWork + mc;
  double* y2 = tmp + n;
  double* lsqWork = y2 + 2 * n;  // after the result, y2 + n
  int* jpvtG = work.resolveInts;
  int* jpvtA = jpvtG + mc;

  int mg = 0;
  for (int i = 1; i <= mc; ++i) {
    if (held[i - 1] == kFree) continue;
    double norm = 0.0;
    for (int j = 1; j <= n; ++j) norm = std::hypot(norm, rows.coef(i, j));
    if (norm == 0.0) continue;
    double* col = gt + static_cast<long>(ldg) * mg;
    for (int j = 1; j <= n; ++j) col[j - 1] = rows.coef(i, j) / norm;
    g[mg] = (held[i - 1] == kAtLower ? rows.lower(i) : rows.upper(i)) / norm;
    ++mg;
  }
  int k = 0, info = 0;
  if (mg > 0 && n > 0) {
    std::fill_n(jpvtG, mg, 0);
    DQRDC(gt, ldg, n, mg, qraux, jpvtG, dqrWork, 1);
    k = numericalRank(gt, ldg, std::min(n, mg), kGlsTol);
  }
  for (int i = 0; i < k; ++i) y[i] = g[jpvtG[i] - 1];
  if (k > 0) DTRSL(gt, ldg, k, y, 11, info);

  // A Q, row by row: (Q' a_i)' is row i of A Q.
  for (int i = 1; i <= m; ++i) {
    for (int j = 1; j <= n; ++j) tmp[j - 1] = a(i, j);
    DQRSL(gt, ldg, n, k, qraux, tmp, nullptr, tmp, nullptr, nullptr, nullptr, 1000, info);
    for (int j = 1; j <= n; ++j) aq[(i - 1) + static_cast<long>(j - 1) * lda] = tmp[j - 1];
  }
  for (int i = 1; i <= m; ++i) {
    double sum = b[i - 1];
    for (int j = 1; j <= k; ++j) sum -= aq[(i - 1) + static_cast<long>(j - 1) * lda] * y[j - 1];
    c[i - 1] = sum;
  }
  std::fill_n(y2, n, 0.0);
  if (m > 0 && n > k) {
    int rank = 0;
    QRLSQ(aq + static_cast<long>(k) * lda, lda, m, n - k, 1, c, lda, kGlsTol, y2, n - k,
          work.workRows, lda, rank, jpvtA, lsqWork, logUnit);
  }
  std::copy_n(y2, n - k, y + k);
  DQRSL(gt, ldg, n, k, qraux, y, trial, nullptr, nullptr, nullptr, nullptr, 10000, info);
}

// Solves again with the rows phase 2 left at a bound of their slack held
// there exactly (see QDBVLS). Returns false, leaving x alone, when no
// feasible x came out.
bool resolveOnBindingRows(Mat a, const double* b, const ConstraintRows& rows, QdbvlsWork& work,
                          int m, int mc, double* x, int logUnit) {
  const int n = rows.n;
  int* held = work.resolveInts + mc + n;
  for (int i = 1; i <= mc; ++i) {
    const double slack = work.xs[n + i - 1];
    held[i - 1] = slack == rows.lower(i) ? kAtLower : slack == rows.upper(i) ? kAtUpper : kFree;
  }
  double* xt = work.resolve + mc + 2 * n;
  for (int round = 0; round <= mc; ++round) {
    solveOnHeldRows(a, b, rows, held, work, m, mc, xt, logUnit);
    int worst = 0;
    Held side = kFree;
    double worstMiss = 0.0;
    for (int i = 1; i <= mc; ++i) {
      if (held[i - 1] != kFree) continue;
      double terms = 0.0;
      const double v = rows.value(i, xt, terms);
      const double lo = rows.lower(i), hi = rows.upper(i);
      double miss = 0.0;
      Held s = kFree;
      if (v < lo) {
        miss = (lo - v) / std::max(terms + std::abs(lo), 1.0E-300);
        s = kAtLower;
      } else if (hi < kBvlsUnbounded && v > hi) {
        miss = (v - hi) / std::max(terms + std::abs(hi), 1.0E-300);
        s = kAtUpper;
      }
      if (miss > kRoundingFloor && miss > worstMiss) {
        worst = i;
        side = s;
        worstMiss = miss;
      }
    }
    if (worst == 0) {
      if (!std::all_of(xt, xt + n, [](double v) { return std::isfinite(v); })) return false;
      std::copy_n(xt, n, x);
      return true;
    }
    held[worst - 1] = side;
  }
  return false;
}

}  // namespace

void sdbvlsWithLimit(int itmax, int lda, int m, int n, double* a, double* b, double* x,
                     int ldbnd, double* bnd, double& rnorm, int& nsetp, double* w, int* index,
                     int& ierr, int logUnit, double* workM, double* workN) {
  dbvlsWithLimit(itmax, Mat{a, lda, m, n}, Vec{b, m}, Mat{bnd, ldbnd, 2, n}, Vec{x, n}, rnorm,
                 nsetp, Vec{w, n}, IVec{index, n}, ierr, BvlsWork{Vec{workM, m}, Vec{workN, n}});
  reportStatus("SDBVLS", ierr, logUnit);
}

void SDBVLS(int lda, int m, int n, double* a, double* b, double* x, int ldbnd, double* bnd,
            double& rnorm, int& nsetp, double* w, int* index, int& ierr, int logUnit,
            double* workM, double* workN) {
  DBVLS(Mat{a, lda, m, n}, Vec{b, m}, Mat{bnd, ldbnd, 2, n}, Vec{x, n}, rnorm, nsetp,
        Vec{w, n}, IVec{index, n}, ierr, BvlsWork{Vec{workM, m}, Vec{workN, n}});
  reportStatus("SDBVLS", ierr, logUnit);
}

QdbvlsWorkSize qdbvlsWorkSize(int m, int n, int me, int mi) {
  const long mc = std::max(me, 0) + std::max(mi, 0);
  const long rows = mc + std::max(m, 0), cols = mc + std::max(n, 0);
  // s, rhs, bnd, xs, w, workRows, workCols, resolve; index, resolveInts
  return QdbvlsWorkSize{rows * cols + rows + 2 * cols + cols + cols + rows + cols +
                            resolveLength(std::max(m, 0), std::max(n, 0), static_cast<int>(mc)),
                        cols + mc + cols};
}

QdbvlsWork carveQdbvlsWork(double* dwork, int* iwork, int m, int n, int me, int mi) {
  const int mc = std::max(me, 0) + std::max(mi, 0);
  const int rows = mc + std::max(m, 0), cols = mc + std::max(n, 0);
  QdbvlsWork w;
  w.ld = rows;
  w.maxCols = cols;
  w.s = dwork;
  w.rhs = w.s + static_cast<long>(rows) * cols;
  w.bnd = w.rhs + rows;
  w.xs = w.bnd + 2L * cols;
  w.w = w.xs + cols;
  w.workRows = w.w + cols;
  w.workCols = w.workRows + rows;
  w.resolve = w.workCols + cols;
  w.resolveLength = resolveLength(std::max(m, 0), std::max(n, 0), mc);
  w.index = iwork;
  w.resolveInts = iwork + cols;
  return w;
}

void QDBVLS(Mat a, const double* b, const LinearConstraints& cons, QdbvlsWork& work,
            double* x, bool& inconsistent, int& ierr, int logUnit) {
  const int m = std::max(a.rows, 0), n = std::max(a.cols, 0);
  const int me = std::max(cons.e.rows, 0), mi = std::max(cons.c.rows, 0);
  const int mc = me + mi, rows = mc + m, cols = n + mc;
  inconsistent = false;
  ierr = 0;
  if (mc == 0) {
    ListLine line;
    line << "IN SUBROUTINE QDBVLS, NO LINEAR CONSTRAINT IS GIVEN.  PROGRAM STOPS.";
    writeBoth(line.str(), logUnit);
    stopRun();
  }
  // A workspace smaller than the stacked system is what DBVLS reports as 2;
  // it is caught before anything is written into it.
  if (!workspaceFits(work, m, n, mc)) reportStatus("DBVLS", 2, logUnit);

  Mat s{work.s, work.ld, rows, cols};
  Mat bnd{work.bnd, 2, 2, cols};

  // Phase 1: the point nearest to satisfying the constraints.
  loadConstraintRows(cons, n, me, mi, s, work.rhs);
  const double gn = std::hypot(frobenius(cons.e, me, n), frobenius(cons.c, mi, n));
  loadPhase1Bounds(cons, n, me, mi, bnd);
  solveStacked(work, mc, cols, ierr, logUnit);
  const int phase1Status = ierr;

  inconsistent = relaxUnreachedRows(cons, n, me, mi, work.xs, bnd);
  if (inconsistent) {
    ListLine line;
    line << "IN SUBROUTINE QDBVLS, LINEAR CONSTRAINING SYSTEM IS INCONSISTENT IN PHASE 1.";
    writeBoth(line.str(), logUnit);
  }

  // Phase 2: the least-squares rows, weighted down far enough that the
  // constraint rows act as constraints; they hold to about the square root
  // of the machine precision, and the solve on the binding rows below
  // makes them hold to the machine precision.
  const double an = frobenius(a, m, n);
  writeLine(kScmachUnit, "");
  writeLine(kScmachUnit, (ListLine() << "THE SCALED MACHEP (SCMACH)=" << kScmach).str());
  writeLine(kScmachUnit, "");
  double wt = 1.0;
  if (an > 0.0) wt = gn > 0.0 ? (gn / an) * kScmach : kScmach / an;

  loadConstraintRows(cons, n, me, mi, s, work.rhs);
  for (int j = 1; j <= cols; ++j)
    for (int i = 1; i <= m; ++i) s(mc + i, j) = j <= n ? wt * a(i, j) : 0.0;
  for (int i = 1; i <= m; ++i) work.rhs[mc + i - 1] = wt * b[i - 1];
  solveStacked(work, rows, cols, ierr, logUnit);
  if (ierr == 0) ierr = phase1Status;
  DCOPY(n, work.xs, 1, x, 1);
  resolveOnBindingRows(a, b, ConstraintRows{cons, n, me, bnd}, work, m, mc, x, logUnit);
}

}  // namespace kova
