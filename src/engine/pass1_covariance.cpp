// The special covariance matrix of pass 1 (SCOVAR): the pass-0 estimator
// applied to data with the pass-1 covariance structure.
#include "engine/pass1_covariance.h"

#include <algorithm>
#include <string>

#include "io/error_report.h"
#include "io/text_conversion.h"
#include "linalg/blas1.h"
#include "linalg/least_squares.h"
#include "data/matrix_records.h"

namespace kova {
namespace {

constexpr const char* kCaller = "SUBROUTINE SCOVAR";

// The arrays of one SCOVAR call; the same carving sizes the step.
struct ScovarArrays {
  Mat f0;   // factor of YSIGMA-0, NUMT x NUMT
  Mat f1;   // factor of YSIGMA-1, NUMT x NUMT (the right-hand sides)
  Mat e;    // the estimator applied to F1, K*P x NUMT
  double* sigma2 = nullptr;  // the core's SIGMA**2 per column, NUMT (not used)
  GlsWork gls;
};

ScovarArrays carveScovar(Scratch& s, int numt, int kp) {
  ScovarArrays w;
  w.f0 = s.mat(numt, numt);
  w.f1 = s.mat(numt, numt);
  w.e = s.mat(kp, numt);
  w.sigma2 = s.doubles(numt);
  w.gls = carveGlsWork(s, numt, kp, numt);
  return w;
}

void zeroSquare(Mat a, int n) {
  for (int j = 1; j <= n; ++j) std::fill_n(a.col(j), n, 0.0);
}

}  // namespace

// The files are run-wide and rewritten by every group, so a record of the
// wrong size does not belong to this group's periods: the run stops rather
// than go on with it.
void readYsigmaRecord(const NamedUnit& file, Mat f, int logUnit) {
  int iocond = 0;
  openFile(file.unit, logUnit, file.name, "UNFORMATTED", "OLD", iocond, kCaller, "STOP");
  rewindFile(file.unit, logUnit, file.name, iocond, kCaller, "STOP");
  iocond = readMatrixRecord(file.unit, f);
  if (iocond != 0)
    reportError("IN SUBROUTINE SCOVAR, THE RECORD OF FILE " + std::string(trimmed(file.name)) +
                    " IS MISSING OR IS NOT THE " + std::to_string(f.rows) + " X " +
                    std::to_string(f.cols) + " FACTOR OF YSIGMA (IOCOND = " +
                    std::to_string(iocond) + ").",
                "STOP", logUnit);
  closeFile(file.unit, logUnit, file.name, "KEEP", iocond, kCaller, "STOP");
}

void SCOVAR(Mat XZ, const NamedUnit& ysfactr0, const NamedUnit& ysfactr1, double sigma2, Mat cov,
            Scratch& s, [[maybe_unused]] int outUnit, int logUnit) {
  const int numt = XZ.rows, kp = XZ.cols;
  ScovarArrays w = carveScovar(s, numt, kp);
  readYsigmaRecord(ysfactr0, w.f0, logUnit);
  readYsigmaRecord(ysfactr1, w.f1, logUnit);
  if (kp < 1) return;
  zeroSquare(cov, kp);
  if (numt < 1 || sigma2 == 0.0) return;

  // E: the columns of F1 as right-hand sides of min ||u||, b = XZ x + F0 u.
  GlsProblem problem;
  problem.a = XZ.p;
  problem.lda = XZ.ld;
  problem.f = w.f0.p;
  problem.ldf = w.f0.ld;
  problem.b = w.f1.p;
  problem.ldb = w.f1.ld;
  problem.n = numt;
  problem.p = kp;
  problem.nb = numt;
  GlsResults results;
  results.x = w.e.p;
  results.ldx = w.e.ld;
  results.sigma2 = w.sigma2;
  if (!solveGls(problem, results, w.gls, logUnit))
    reportError(" IN SUBROUTINE SCOVAR, THE WORK SPACE OF THE LEAST-SQUARES CORE IS TOO SHORT.",
                "STOP", logUnit);

  // sigma2 E E': the lower triangle by rank-one updates down the columns
  // of E, then mirrored, so that the matrix is exactly symmetric.
  for (int t = 1; t <= numt; ++t) {
    const double* et = w.e.col(t);
    for (int j = 1; j <= kp; ++j)
      DAXPY(kp - j + 1, sigma2 * et[j - 1], et + (j - 1), 1, cov.col(j) + (j - 1), 1);
  }
  for (int j = 2; j <= kp; ++j)
    for (int i = 1; i < j; ++i) cov(i, j) = cov(j, i);
}

ScratchNeed SCOVARneed(int NUMT, int KP) {
  Scratch s;
  carveScovar(s, NUMT, KP);
  return s.used();
}

}  // namespace kova
