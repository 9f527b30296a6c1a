#include "solvers/qp_path.h"

#include <algorithm>
#include <cmath>

#include "io/error_report.h"
#include "linalg/bvls.h"
#include "solvers/lm_delta.h"
#include "solvers/leading_element.h"
#include "solvers/lm_phi.h"

namespace kova {
namespace {

constexpr double kFirstDeltaBound = 1.0E+300;

struct QpWork {
  Mat X;
  double* y;
  double* q;
  double* x;
  Mat bnd;
  double* w;
  double* workM;
  double* workN;
  int* index;
};

QpWork carveQp(Scratch& s, int M, int NUMT) {
  const int m = std::max(NUMT - 1, 1);
  QpWork w;
  w.X = s.mat(m, M);
  w.y = s.doubles(m);
  w.q = s.doubles(m);
  w.x = s.doubles(M);
  w.bnd = s.mat(2, M);
  w.w = s.doubles(M);
  w.workM = s.doubles(m);
  w.workN = s.doubles(M);
  w.index = s.ints(M);
  return w;
}

// SDBVLS on rows 1..m of the work arrays; the solution lands in w.x.
void boundedFit(QpWork& w, int m, int n, int unit) {
  double rnorm = 0.0;
  int nsetp = 0, ierr = 0;
  SDBVLS(w.X.ld, m, n, w.X.p, w.y, w.x, w.bnd.ld, w.bnd.p, rnorm, nsetp, w.w, w.index, ierr, unit,
         w.workM, w.workN);
}

}  // namespace

void QPCDLT(const QpDeltaJob& job, Mat delta, double& DLTTOL, Scratch& scratch) {
  const int unit = job.context.messageUnit;
  if (!job.DDIAG) reportError("IN SUBROUTINE QPCDLT, DDIAG IS .FALSE..", "STOP", unit);
  if (job.leadingOnly) {
    QpDeltaJob one = job;
    one.leadingOnly = false;
    one.tlx = firstRow(job.tlx);
    one.epsilon = firstRow(job.epsilon);
    one.phi = leadingBlock(job.phi);
    one.context.printLevel = 0;  // the whole DELTA is printed below
    QPCDLT(one, leadingBlock(delta), DLTTOL, scratch);
    keepLeadingElement(delta);
    printPassMatrix(job.context, 3, delta, "THE DELTA MATRIX (ALGORITHM QP)");
    return;
  }
  const int M = job.tlx.rows, NUMT = job.tlx.cols, m = std::max(NUMT - 1, 0);
  Scratch s = scratch;
  QpWork w = carveQp(s, M, NUMT);
  CYDLT(job.tlx, job.epsilon, job.phi, job.sigma2, w.y, unit);
  CXDLT(job.ITER, true, job.tlx, RestrictionRows{}, w.X, job.xdelta, unit);
  if (job.ITER <= 1) DLTTOL = kFirstDeltaBound;
  for (int j = 1; j <= M; ++j) {
    w.bnd(1, j) = 0.0;
    w.bnd(2, j) = DLTTOL;
  }
  boundedFit(w, m, M, unit);
  fillDelta(w.x, true, delta);
  if (job.ITER <= 1) {
    double sum = 0.0;
    for (int i = 1; i <= M; ++i) sum += delta(i, i) * delta(i, i);
    DLTTOL = std::sqrt(sum);
  }
  printPassMatrix(job.context, 3, delta, "THE DELTA MATRIX (ALGORITHM QP)");
}

ScratchNeed QPCDLTneed(int M, int NUMT) {
  Scratch s;
  carveQp(s, M, NUMT);
  return s.used();
}

void QPCPHI(const QpPhiJob& job, Mat phi, PhiEigen& eig, Scratch& scratch) {
  const int unit = job.context.messageUnit;
  if (!job.PDIAG) reportError("IN SUBROUTINE QPCPHI, PDIAG IS .FALSE..", "STOP", unit);
  if (job.leadingOnly) {
    QpPhiJob one = job;
    one.leadingOnly = false;
    one.tlx = firstRow(job.tlx);
    one.epsilon = firstRow(job.epsilon);
    one.delta = leadingBlock(job.delta);
    one.context.printLevel = 0;  // the whole PHI is printed below
    QPCPHI(one, leadingBlock(phi), eig, scratch);
    keepLeadingElement(phi);
    diagonalPhiEigen(phi, eig);
    printPassMatrix(job.context, 3, phi, "THE PHI MATRIX (ALGORITHM QP)");
    return;
  }
  const int M = job.tlx.rows, NUMT = job.tlx.cols, m = std::max(NUMT - 1, 0);
  if (job.zeroPhi) {
    for (int j = 1; j <= M; ++j)
      for (int i = 1; i <= M; ++i) phi(i, j) = 0.0;
  } else {
    Scratch s = scratch;
    QpWork w = carveQp(s, M, NUMT);
    CYPHI(job.MU, NUMT, w.y);
    rowVariances(job.tlx, job.delta, w.q);
    CXPHI(true, job.tlx, job.epsilon, RestrictionRows{}, w.X);
    // A row whose variance x(t)'DELTA x(t) is zero (DELTA is non-negative
    // definite, so a negative value is a rounded zero) has no finite
    // weight and says nothing of PHI beyond the other rows: it is left
    // out, the rows after it moved up.
    int kept = 0;
    for (int t = 1; t <= m; ++t) {
      if (!(w.q[t - 1] > 0.0)) continue;
      const double wt = 1.0 / std::sqrt(w.q[t - 1]);
      ++kept;
      w.y[kept - 1] = w.y[t - 1] * wt;
      for (int j = 1; j <= M; ++j) w.X(kept, j) = w.X(t, j) * wt;
    }
    for (int j = 1; j <= M; ++j) {
      w.bnd(1, j) = -job.EVLTOL;
      w.bnd(2, j) = job.EVLTOL;
    }
    // No row left: PHI stays as the previous pass had it.
    if (kept == 0) {
      diagonalPhiEigen(phi, eig);
      printPassMatrix(job.context, 3, phi, "THE PHI MATRIX (ALGORITHM QP)");
      return;
    }
    boundedFit(w, kept, M, unit);
    fillPhi(w.x, true, phi);
  }
  diagonalPhiEigen(phi, eig);
  printPassMatrix(job.context, 3, phi, "THE PHI MATRIX (ALGORITHM QP)");
}

ScratchNeed QPCPHIneed(int M, int NUMT) { return QPCDLTneed(M, NUMT); }

}  // namespace kova
