#include "solvers/lm_delta.h"

#include <algorithm>
#include <string>

#include "io/console.h"
#include "io/edit_descriptors.h"
#include "io/error_report.h"
#include "io/messages.h"
#include "io/stop.h"
#include "io/text_conversion.h"
#include "linalg/blas1.h"
#include "data/matrix_records.h"
#include "solvers/leading_element.h"

namespace kova {

int deltaUnknowns(int n, bool DDIAG) { return DDIAG ? n : n * (n + 1) / 2; }

void CYDLT(Mat tlx, Mat epsilon, Mat phi, double sigma2, double* ydlt, int logUnit) {
  const int n = tlx.rows, NUMT = tlx.cols;
  double s2 = sigma2;
  if (!(sigma2 > 0.0)) {
    reportToUnitAndConsole(logUnit,
                           (ListLine() << "SIGMA2 IN SUBROUTINE CYDLT IS NOT POSITIVE:" << sigma2)
                               .str());
    writeUnitAndConsole(logUnit, "A VALUE OF 1.0D0 IS USED IN NORMALIZING YDLT");
    s2 = 1.0;
  }
  for (int t = 2; t <= NUMT; ++t) {
    // x(t)'(EPSILON(t) - PHI EPSILON(t-1)) = x(t)'EPSILON(t) - (PHI'x(t))'EPSILON(t-1).
    double v = DDOT(n, tlx.col(t), 1, epsilon.col(t), 1);
    for (int j = 1; j <= n; ++j) v -= DDOT(n, tlx.col(t), 1, phi.col(j), 1) * epsilon(j, t - 1);
    ydlt[t - 2] = v * v / s2;
  }
}

void CXDLT(int ITER, bool DDIAG, Mat tlx, const RestrictionRows& restriction, Mat xdlt,
           const NamedUnit& file, int logUnit) {
  const int n = tlx.rows, NUMT = tlx.cols, m = std::max(NUMT - 1, 0), p = restriction.coef.rows;
  const int NC = deltaUnknowns(n, DDIAG);
  const std::string caller = DDIAG ? "SUBROUTINE CXDLT2" : "SUBROUTINE CXDLT1";
  const Mat whole{xdlt.p, xdlt.ld, m + p, NC};
  int iocond = 0;
  if (ITER >= 2) {
    openFile(file.unit, logUnit, file.name, "UNFORMATTED", "OLD", iocond, caller, "STOP");
    rewindFile(file.unit, logUnit, file.name, iocond, caller, "STOP");
    iocond = readMatrixRecord(file.unit, whole);
    // A record of another size belongs to another group or another run:
    // solving with it would give a DELTA from nothing.
    if (iocond != 0)
      reportError(std::string("IN ") + caller + ", ERROR IN READING FILE " +
                      std::string(trimmed(file.name)) + ", IOCOND = " + std::to_string(iocond) +
                      ".",
                  "STOP", logUnit);
    closeFile(file.unit, logUnit, file.name, "KEEP", iocond, caller, "STOP");
    return;
  }
  if (NUMT <= 1)
    reportToUnitAndConsole(logUnit, (ListLine() << (DDIAG ? "NUMT IS NOT GREATER THAN 1 IN SUB. CXDLT:"
                                                          : "NUMT IS NOT GREATER THAN 1 IN SUB. CXDLT1")
                                                << NUMT)
                                        .str());
  for (int t = 2; t <= NUMT; ++t) {
    const double* x = tlx.col(t);
    int col = 0;
    for (int i = 1; i <= n; ++i) {
      if (DDIAG) {
        xdlt(t - 1, ++col) = x[i - 1] * x[i - 1];
        continue;
      }
      for (int j = i; j <= n; ++j) xdlt(t - 1, ++col) = (i == j ? 1.0 : 2.0) * x[i - 1] * x[j - 1];
    }
  }
  for (int j = 1; j <= NC; ++j)
    for (int i = 1; i <= p; ++i) xdlt(m + i, j) = restriction.coef(i, j);
  openFile(file.unit, logUnit, file.name, "UNFORMATTED", "UNKNOWN", iocond, caller, "STOP");
  rewindFile(file.unit, logUnit, file.name, iocond, caller, "STOP");
  iocond = writeMatrixRecord(file.unit, whole);
  if (iocond != 0)
    reportError(std::string("IN ") + caller + ", ERROR IN WRITING FILE " +
                    std::string(trimmed(file.name)) + ", IOCOND = " + std::to_string(iocond) + ".",
                "STOP", logUnit);
  closeFile(file.unit, logUnit, file.name, "KEEP", iocond, caller, "STOP");
}

void fillDelta(const double* d, bool DDIAG, Mat delta) {
  const int n = delta.rows;
  int k = 0;
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i) delta(i, j) = 0.0;
  for (int i = 1; i <= n; ++i) {
    if (DDIAG) {
      delta(i, i) = d[k++];
      continue;
    }
    for (int j = i; j <= n; ++j) {
      delta(i, j) = d[k];
      delta(j, i) = d[k++];
    }
  }
}

namespace {

struct DeltaWork {
  Mat X;
  double* y;
  double* d;
  DampedSystem sys;
};

DeltaWork carveDeltaWork(Scratch& s, int M, int NUMT, int SDTROW, bool DDIAG) {
  const int m = std::max(NUMT - 1, 0), NC = deltaUnknowns(M, DDIAG);
  DeltaWork w;
  w.X = s.mat(m + SDTROW, NC);
  w.y = s.doubles(std::max(m + SDTROW, 1));
  w.d = s.doubles(std::max(NC, 1));
  w.sys = carveDampedSystem(s, m, SDTROW, NC);
  return w;
}

[[noreturn]] void stopWith(int unit, const std::string& message, const char* tail) {
  reportToUnitAndConsole(unit, message);
  if (tail != nullptr) writeUnitAndConsole(unit, tail);
  stopRun();
}

// The path without its report section.
void solveDelta(const LmDeltaJob& job, Mat delta, double& DLTTOL, Scratch& scratch) {
  const int M = job.tlx.rows, NUMT = job.tlx.cols, p = job.restriction.coef.rows;
  const int unit = job.context.messageUnit;
  Scratch s = scratch;
  DeltaWork w = carveDeltaWork(s, M, NUMT, p, job.DDIAG);
  DampedSystem& sys = w.sys;

  CYDLT(job.tlx, job.epsilon, job.phi, job.sigma2, w.y, unit);
  for (int i = 1; i <= p; ++i) w.y[sys.m + i - 1] = job.restriction.rhs[i - 1];
  CXDLT(job.ITER, job.DDIAG, job.tlx, job.restriction, w.X, job.xdelta, unit);

  if (job.ITER >= 2 && !(DLTTOL > 0.0))
    stopWith(unit, (ListLine() << "DLTTOL IN SUBROUTINE CDLTLM IS NOT POSITIVE:" << DLTTOL).str(),
             "PROGRAM STOPS IN SUBROUTINE CDLTLM.");
  const int info = factorDampedSystem(sys, Mat{w.X.p, w.X.ld, sys.NR, sys.NC}, w.y);
  if (info != 0) {
    reportToUnitAndConsole(unit, (ListLine() << "INFO =" << info).str());
    writeUnitAndConsole(unit,
                        "IN SUBROUTINE CDLTLM, UPON RETURNING FROMSUBROUTINE DSVDC.  INFO SHOULD "
                        "BE ZERO UPON A REGULAR RETURN.");
  }
  if (!(sys.S1 > 0.0))
    stopWith(unit,
             "THE COEFFICIENT MATRIX XDLT IN SUB. CDLTLM IS A ZEROMATRIX.  PROGRAM STOPS IN SUB. "
             "CDLTLM.",
             nullptr);

  auto solve = [&](double g) {
    if (dampedSolve(sys, g, w.d, unit)) reportRestrictionRank(sys, "CNTDLT", "BDLT", unit);
    fillDelta(w.d, job.DDIAG, delta);
    return DNRM2(sys.NC, w.d, 1);
  };
  const double norm0 = solve(0.0);
  if (job.ITER <= 1) {
    DLTTOL = norm0;
    traceLine("");
    traceLine((ListLine() << "DLTTOL OF THE FIRST ITERATION=" << DLTTOL).str());
    if (!(DLTTOL > 0.0))
      stopWith(unit, (ListLine() << "DLTTOL IN SUBROUTINE CDLTLM IS NOT POSITIVE" << DLTTOL).str(),
               "PROGRAM STOPS IN SUBROUTINE CDLTLM.");
  } else {
    traceLine((ListLine() << "D2NORM OF THE FIRST AGAMMA=" << norm0).str());
    if (norm0 > DLTTOL) {
      const double fa = norm0 - DLTTOL;
      const double b = sys.S1 * std::sqrt(norm0 / DLTTOL);
      const double normB = solve(b);
      traceLine((ListLine() << "D2NORM OF THE FIRST BGAMMA=" << normB).str());
      constexpr int kMaxSteps = 300;
      const SecantOutcome out =
          secantSearch(0.0, fa, b, normB - DLTTOL, kMaxSteps, 1.0E-5 * DLTTOL, [&](int step, double g) {
            const double norm = solve(g);
            traceLine((ListLine() << "ITERATION COUNT=" << step << "       D2NORM=" << norm).str());
            return norm - DLTTOL;
          });
      if (!out.converged)
        reportToUnitAndConsole(unit, (ListLine() << "NO CONVERGENCE IN" << out.steps
                                                 << "ITERATIONS IN SUBROUTINE CDLTILM.")
                                         .str());
    }
  }
}

}  // namespace

void LMCDLT(const LmDeltaJob& job, Mat delta, double& DLTTOL, Scratch& scratch) {
  if (job.leadingOnly) {
    LmDeltaJob one = job;
    one.leadingOnly = false;
    one.tlx = firstRow(job.tlx);
    one.epsilon = firstRow(job.epsilon);
    one.phi = leadingBlock(job.phi);
    one.restriction = leadingColumn(job.restriction);
    solveDelta(one, leadingBlock(delta), DLTTOL, scratch);
    keepLeadingElement(delta);
  } else {
    solveDelta(job, delta, DLTTOL, scratch);
  }
  printPassMatrix(job.context, 3, delta, "THE UNADJUSTED DELTA (ALGORITHM LM)");
}

ScratchNeed LMCDLTneed(int M, int NUMT, int SDTROW, bool DDIAG) {
  Scratch s;
  carveDeltaWork(s, M, NUMT, SDTROW, DDIAG);
  return s.used();
}

}  // namespace kova
