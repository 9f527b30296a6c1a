// PI by generalized least squares under its equality restrictions, the
// covariance scaling and the working copies of the restrictions.
#include "engine/pi_estimate.h"

#include <algorithm>

#include "io/edit_descriptors.h"
#include "io/error_report.h"
#include "io/file_services.h"
#include "io/messages.h"
#include "linalg/blas1.h"
#include "linalg/least_squares.h"
#include "report/matrix_printer.h"

namespace kova {
namespace {

constexpr int kDumpUnit = 999;
constexpr const char* kDumpFile = "ECPIMU.OUT";
constexpr const char* kCaller = "SUBROUTINE ECPIMU";

// The arrays of one ECPIMU call; the same carving sizes the step.
struct EcpimuArrays {
  Mat a;        // [XZ; R], S x n
  Mat f;        // [UYSGMA'; 0], S x S
  Mat b;        // [y r | e_1 .. e_NUMT], S x (NUMT + 1)
  Mat x;        // solutions, n x (NUMT + 1)
  double* sigma2 = nullptr;  // NUMT + 1
  GlsWork gls;
};

EcpimuArrays carveEcpimu(Scratch& s, int numt, int kp, int spirow) {
  const int rows = numt + spirow;
  EcpimuArrays w;
  w.a = s.mat(rows, kp);
  w.f = s.mat(rows, rows);
  w.b = s.mat(rows, numt + 1);
  w.x = s.mat(kp, numt + 1);
  w.sigma2 = s.doubles(numt + 1);
  w.gls = carveGlsWork(s, rows, kp, numt + 1);
  return w;
}

}  // namespace

void dumpEcpimuInputs(int numt, const double* y, Mat XZ, Mat uysgma, const PiRestrictionView& rest,
                      int logUnit) {
  int iocond = 0;
  openFile(kDumpUnit, logUnit, kDumpFile, "FORMATTED", "UNKNOWN", iocond, kCaller, "STOP");
  writeUnit(kDumpUnit, (ListLine() << "NUMT=" << numt).str());
  PRTMAT(std::max(numt, 1), numt, 1, y, kDumpUnit, "THE VECTOR Y", logUnit);
  PRTMAT(XZ.ld, XZ.rows, XZ.cols, XZ.p, kDumpUnit, "THE MATRIX XZ", logUnit);
  PRTMAT(uysgma.ld, numt, numt, uysgma.p, kDumpUnit, "THE MATRIX UYSGMA", logUnit);
  writeUnit(kDumpUnit, (ListLine() << "SPIROW=" << rest.SPIROW).str());
  PRTMAT(rest.R.ld, rest.SPIROW, XZ.cols, rest.R.p, kDumpUnit, "THE MATRIX RCFPI", logUnit);
  PRTMAT(std::max(rest.SPIROW, 1), rest.SPIROW, 1, rest.r, kDumpUnit, "THE VECTOR RVCPI",
         logUnit);
}

void dumpEcpimuEstimate(const double* PIVECT, int n, int logUnit) {
  PRTMAT(std::max(n, 1), n, 1, PIVECT, kDumpUnit, "THE VECTOR PIVECT", logUnit);
  int iocond = 0;
  closeFile(kDumpUnit, logUnit, kDumpFile, "KEEP", iocond, kCaller, "STOP");
}

ScratchNeed ECPIMUneed(int NUMT, int KP, int SPIROW) {
  Scratch s;
  carveEcpimu(s, NUMT, KP, SPIROW);
  return s.used();
}

void ECPIMU(int pass, int groupId, const double* y, Mat XZ, const PiRestrictionView& rest,
            Mat uysgma, PiEstimate& est, Scratch& s, int /*outUnit*/, int logUnit) {
  const int numt = XZ.rows, n = XZ.cols, nr = std::max(rest.SPIROW, 0);
  const int rows = numt + nr;
  const bool dump = groupId == 17 && pass == 1;
  EcpimuArrays w = carveEcpimu(s, numt, n, nr);
  if (dump) dumpEcpimuInputs(numt, y, XZ, uysgma, rest, logUnit);

  // The restriction rows are exact: they get zero rows of F.
  for (int j = 1; j <= n; ++j) {
    std::copy_n(XZ.col(j), numt, w.a.col(j));
    for (int i = 1; i <= nr; ++i) w.a(numt + i, j) = rest.R(i, j);
  }
  for (int j = 1; j <= rows; ++j) {
    double* fj = w.f.col(j);
    std::fill_n(fj, rows, 0.0);
    // UYSGMA is a triangle with its columns put back in order, so F is a
    // row-permuted lower triangle: every element is read.
    if (j <= numt)
      for (int i = 1; i <= numt; ++i) fj[i - 1] = uysgma(j, i);
  }
  std::copy_n(y, numt, w.b.col(1));
  for (int i = 1; i <= nr; ++i) w.b(numt + i, 1) = rest.r[i - 1];
  for (int j = 1; j <= numt; ++j) {
    double* bj = w.b.col(j + 1);
    std::fill_n(bj, rows, 0.0);
    bj[j - 1] = 1.0;
  }

  GlsProblem problem;
  problem.a = w.a.p;
  problem.lda = w.a.ld;
  problem.f = w.f.p;
  problem.ldf = w.f.ld;
  problem.b = w.b.p;
  problem.ldb = w.b.ld;
  problem.n = rows;
  problem.p = n;
  problem.nb = numt + 1;
  problem.covariance = true;
  GlsResults results;
  results.x = w.x.p;
  results.ldx = w.x.ld;
  results.sigma2 = w.sigma2;
  results.cov = est.cov.p;
  results.ldcov = est.cov.ld;
  if (!solveGls(problem, results, w.gls, logUnit))
    reportError(" IN SUBROUTINE ECPIMU, THE WORK SPACE OF THE LEAST-SQUARES CORE IS TOO SHORT.",
                "STOP", logUnit);

  std::copy_n(w.x.col(1), n, est.PIVECT);
  est.sigma2 = w.sigma2[0];
  est.covUnavailable = results.covStatus != kCovFormed;
  if (results.covStatus != kCovFormed)
    for (int j = 1; j <= n; ++j) std::fill_n(est.cov.col(j), n, 0.0);

  // MU = [y; r] - A PIVECT and RO(:,i) = (e_i - A x_i)(1..NUMT), column by
  // column of A.
  std::copy_n(w.b.col(1), rows, est.MU);
  for (int j = 1; j <= n; ++j) DAXPY(rows, -est.PIVECT[j - 1], w.a.col(j), 1, est.MU, 1);
  for (int i = 1; i <= numt; ++i) {
    double* ro = est.RO.col(i);
    std::fill_n(ro, numt, 0.0);
    ro[i - 1] = 1.0;
    const double* xi = w.x.col(i + 1);
    for (int j = 1; j <= n; ++j) DAXPY(numt, -xi[j - 1], w.a.col(j), 1, ro, 1);
  }

  if (dump) dumpEcpimuEstimate(est.PIVECT, n, logUnit);
}

void SCLCOV(PiEstimate& est) {
  if (est.covUnavailable) return;
  const int n = est.cov.rows;
  if (est.sigma2 != 0.0) {
    for (int j = 1; j <= n; ++j)
      for (int i = 1; i <= n; ++i) est.cov(i, j) *= est.sigma2;
  } else {
    est.covUnavailable = true;
    for (int j = 1; j <= n; ++j) std::fill_n(est.cov.col(j), n, 0.0);
  }
}

void CPYRPI(Mat masterR, const double* masterR_rhs, int rows, Mat workR, double* workRhs) {
  for (int j = 1; j <= masterR.cols; ++j)
    for (int i = 1; i <= rows; ++i) workR(i, j) = masterR(i, j);
  std::copy_n(masterR_rhs, std::max(rows, 0), workRhs);
}

}  // namespace kova
