#include "solvers/lm_phi.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "io/console.h"
#include "io/edit_descriptors.h"
#include "io/messages.h"
#include "io/stop.h"
#include "linalg/blas1.h"
#include "solvers/definiteness.h"
#include "solvers/leading_element.h"

namespace kova {

int phiUnknowns(int n, bool PDIAG) { return PDIAG ? n : n * n; }

void CYPHI(const double* MU, int NUMT, double* yphi) {
  for (int t = 2; t <= NUMT; ++t) yphi[t - 2] = MU[t - 1];
}

void CXPHI(bool PDIAG, Mat tlx, Mat epsilon, const RestrictionRows& restriction, Mat xphi) {
  const int n = tlx.rows, NUMT = tlx.cols, m = std::max(NUMT - 1, 0), p = restriction.coef.rows;
  const int NC = phiUnknowns(n, PDIAG);
  for (int t = 2; t <= NUMT; ++t) {
    const double* x = tlx.col(t);
    const double* e = epsilon.col(t - 1);
    if (PDIAG) {
      for (int i = 1; i <= n; ++i) xphi(t - 1, i) = x[i - 1] * e[i - 1];
      continue;
    }
    for (int i = 1; i <= n; ++i)
      for (int j = 1; j <= n; ++j) xphi(t - 1, (i - 1) * n + j) = x[j - 1] * e[i - 1];
  }
  for (int j = 1; j <= NC; ++j)
    for (int i = 1; i <= p; ++i) xphi(m + i, j) = restriction.coef(i, j);
}

void rowVariances(Mat tlx, Mat delta, double* q) {
  const int n = tlx.rows, NUMT = tlx.cols;
  for (int t = 2; t <= NUMT; ++t) {
    const double* x = tlx.col(t);
    double v = 0.0;
    for (int j = 1; j <= n; ++j) v += x[j - 1] * DDOT(n, delta.col(j), 1, x, 1);
    q[t - 2] = v;
  }
}

void fillPhi(const double* d, bool PDIAG, Mat phi) {
  const int n = phi.rows;
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i) phi(i, j) = PDIAG ? (i == j ? d[i - 1] : 0.0) : d[(j - 1) * n + i - 1];
}

double diagonalPhiEigen(Mat phi, PhiEigen& eig) {
  const int n = phi.rows;
  double maxevl = 0.0;
  for (int j = 1; j <= n; ++j) {
    eig.eval[j - 1] = dcomplex(phi(j, j), 0.0);
    eig.moduli[j - 1] = std::fabs(phi(j, j));
    maxevl = std::max(maxevl, eig.moduli[j - 1]);
    for (int i = 1; i <= n; ++i) {
      const long at = (i - 1) + static_cast<long>(j - 1) * eig.ld;
      eig.V[at] = eig.VINV[at] = dcomplex(i == j ? 1.0 : 0.0, 0.0);
    }
  }
  return maxevl;
}

namespace {

// Row variances below this fraction of the largest are raised to it, so
// that a period that DELTA's null space hides does not get an unbounded
// weight.
constexpr double kVarianceFloor = 1.0E-8;

struct PhiWork {
  Mat X;
  double* y;
  double* q;
  double* d;
  DampedSystem sys;
};

PhiWork carvePhiWork(Scratch& s, int M, int NUMT, int SPHROW, bool PDIAG) {
  const int m = std::max(NUMT - 1, 0), NC = phiUnknowns(M, PDIAG);
  PhiWork w;
  w.X = s.mat(m + SPHROW, NC);
  w.y = s.doubles(std::max(m + SPHROW, 1));
  w.q = s.doubles(std::max(m, 1));
  w.d = s.doubles(std::max(NC, 1));
  w.sys = carveDampedSystem(s, m, SPHROW, NC);
  return w;
}

}  // namespace

namespace {

// The path without its report section.
void solvePhi(const LmPhiJob& job, Mat phi, PhiEigen& eig, double& MAXEVL, Scratch& scratch) {
  const int M = job.tlx.rows, NUMT = job.tlx.cols, p = job.restriction.coef.rows;
  const int unit = job.context.messageUnit;
  const double EVLTOL = job.EVLTOL;
  if (job.zeroPhi) {
    for (int j = 1; j <= M; ++j)
      for (int i = 1; i <= M; ++i) phi(i, j) = 0.0;
    MAXEVL = diagonalPhiEigen(phi, eig);
    return;
  }
  Scratch s = scratch;
  PhiWork w = carvePhiWork(s, M, NUMT, p, job.PDIAG);
  DampedSystem& sys = w.sys;
  const int m = sys.m;

  CYPHI(job.MU, NUMT, w.y);
  for (int i = 1; i <= p; ++i) w.y[m + i - 1] = job.restriction.rhs[i - 1];
  CXPHI(job.PDIAG, job.tlx, job.epsilon, job.restriction, w.X);
  // The data rows are weighted by 1/sqrt(x(t)' DELTA x(t)), as in the bounded
  // path: row t's error has variance SIGMA**2 x(t)' DELTA x(t), so without
  // weights the periods with large regressors dominate the fit; weighted, it
  // is the generalised least-squares fit, and neither the exact restriction
  // rows nor MAXEVL (free of scale) are affected.
  rowVariances(job.tlx, job.delta, w.q);
  double qmax = 0.0;
  for (int t = 0; t < m; ++t) qmax = std::max(qmax, w.q[t]);
  if (qmax > 0.0 && std::isfinite(qmax)) {
    for (int t = 1; t <= m; ++t) {
      const double wt = 1.0 / std::sqrt(std::max(w.q[t - 1], kVarianceFloor * qmax));
      w.y[t - 1] *= wt;
      for (int j = 1; j <= sys.NC; ++j) w.X(t, j) *= wt;
    }
  }

  const int info = factorDampedSystem(sys, Mat{w.X.p, w.X.ld, sys.NR, sys.NC}, w.y);
  if (info != 0) {
    reportToUnitAndConsole(unit, (ListLine() << "INFO =" << info).str());
    writeUnitAndConsole(unit,
                        "IN SUBROUTINE CPHILM, UPON RETURNING FROMSUBROUTINE DSVDC.  INFO SHOULD "
                        "BE ZERO UPON A REGULAR RETURN.");
  }
  if (!(sys.S1 > 0.0)) {
    reportToUnitAndConsole(unit,
                           "THE COEFFICIENT MATRIX XPHI IN SUB. CPHILM IS A ZEROMATRIX.  PROGRAM "
                           "STOPS IN SUB. CHPILM.");
    stopRun();
  }

  auto solve = [&](double g) {
    if (dampedSolve(sys, g, w.d, unit)) reportRestrictionRank(sys, "CNTPHI", "BPHI", unit);
    fillPhi(w.d, job.PDIAG, phi);
    double maxevl = 0.0;
    EIGDCP(phi, eig, maxevl, true, s, unit);
    return maxevl;
  };
  MAXEVL = solve(0.0);
  writeUnit(unit, (ListLine() << "MAXEVL OF FIRST AGAMMA=" << MAXEVL).str());
  if (MAXEVL > EVLTOL) {
    const double fa = MAXEVL - EVLTOL;
    const double v = DNRM2(sys.NC, w.d, 1);
    double b = sys.S1 * std::sqrt(v / EVLTOL) / 10.0;
    // A bound that is not positive leaves no scale for the first step.
    if (!(b > 0.0) || !std::isfinite(b)) b = sys.S1 / 10.0;
    MAXEVL = EVLTOL + 1.0;
    // Tenfold steps until PHI is stationary; a restriction that holds PHI
    // non-stationary at every damping would otherwise overflow the damping.
    for (int counter = 0; counter <= 300 && MAXEVL >= EVLTOL &&
                          10.0 * b <= std::numeric_limits<double>::max();
         ++counter) {
      b *= 10.0;
      MAXEVL = solve(b);
      traceLine((ListLine() << "MAXEVL OF BGAMMA=" << MAXEVL).str());
    }
    if (MAXEVL >= EVLTOL)
      reportToUnitAndConsole(unit,
                             "IN SUBROUTINE CPHILM, A STARTING PHI IS NOT STATIONARY.  THE FINAL "
                             "COMPUTED PHI CAN FAIL TO BE STATIONARY.");
    constexpr int kMaxSteps = 200;
    const SecantOutcome out =
        secantSearch(0.0, fa, b, MAXEVL - EVLTOL, kMaxSteps, 1.0E-5, [&](int step, double g) {
          MAXEVL = solve(g);
          traceLine((ListLine() << "ITER=" << step << "       MAXEVL=" << MAXEVL).str());
          return MAXEVL - EVLTOL;
        });
    if (!out.converged) {
      reportToUnitAndConsole(unit, (ListLine() << "NO CONVERGENCE IN" << out.steps
                                               << "ITERATIONS IN SUBROUTINE CPHILM.")
                                       .str());
      if (MAXEVL >= 1.0) {
        const double scale = EVLTOL / MAXEVL;
        for (int j = 1; j <= M; ++j)
          for (int i = 1; i <= M; ++i) phi(i, j) *= scale;
        for (int i = 0; i < M; ++i) {
          eig.eval[i] *= scale;
          eig.moduli[i] *= scale;
        }
        MAXEVL *= scale;
      }
    }
  }
}

}  // namespace

void LMCPHI(const LmPhiJob& job, Mat phi, PhiEigen& eig, double& MAXEVL, Scratch& scratch) {
  if (job.leadingOnly) {
    LmPhiJob one = job;
    one.leadingOnly = false;
    one.tlx = firstRow(job.tlx);
    one.epsilon = firstRow(job.epsilon);
    one.delta = leadingBlock(job.delta);
    one.restriction = leadingColumn(job.restriction);
    solvePhi(one, leadingBlock(phi), eig, MAXEVL, scratch);
    keepLeadingElement(phi);
    MAXEVL = diagonalPhiEigen(phi, eig);
  } else {
    solvePhi(job, phi, eig, MAXEVL, scratch);
  }
  printPassMatrix(job.context, 3, phi, "THE PHI MATRIX (ALGORITHM LM)");
}

ScratchNeed LMCPHIneed(int M, int NUMT, int SPHROW, bool PDIAG) {
  Scratch s;
  carvePhiWork(s, M, NUMT, SPHROW, PDIAG);
  ScratchNeed need = s.used();
  const ScratchNeed eig = EIGDCPneed(M);
  need.add(eig);
  return need;
}

}  // namespace kova
