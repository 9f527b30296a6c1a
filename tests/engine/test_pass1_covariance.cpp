// The special covariance of pass 1 against sigma2 A Y1 A', with
// A = (XZ' Y0^-1 XZ)^-1 XZ' Y0^-1 formed here by dpotrf/dpotrs and dgesv,
// the factors saved to their files as the covariance step saves them.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/pass1_covariance.h"
#include "io/messages.h"
#include "io/stop.h"
#include "linalg/lapack_lsq_ref.h"
#include "report/report_test_support.h"
#include "report/saved_results.h"
#include "report/pass1_covariance_section.h"

namespace kova {
namespace {

using test::DMat;
using test::multiply;

const NamedUnit kF0{"YSFACTR0    ", 142}, kF1{"YSFACTR1    ", 144};
Mat view(DMat& a) { return Mat{a.data(), a.ld, a.rows, a.cols}; }

// Y = B B' + n I, its lower Cholesky factor C, and X := Y^-1 X.
DMat covariance(int n, unsigned seed) {
  DMat b = test::randomMatrix(n, n, seed), y = multiply(b, b, false, true);
  for (int i = 1; i <= n; ++i) y(i, i) += n;
  return y;
}
DMat cholesky(DMat y, DMat* x = nullptr) {
  int n = y.rows, info = 0, nx = x ? x->cols : 0;
  dpotrf_("L", &n, y.data(), &y.ld, &info, 1);
  if (x) dpotrs_("L", &n, &nx, y.data(), &y.ld, x->data(), &x->ld, &info, 1);
  for (int j = 1; j <= n; ++j) std::fill_n(&y(1, j), j - 1, 0.0);
  return y;
}
// Non-triangular factors F F' = Y: C times a Householder reflection, or C
// with its columns reversed (a permuted triangle, as the real ones are).
DMat factor(const DMat& y, bool reflect) {
  const int n = y.rows;
  const DMat c = cholesky(y), v = test::randomMatrix(n, 1, n);
  const double vv = multiply(v, v, true, false)(1, 1);
  DMat h(n, n);
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i)
      h(i, j) = reflect ? (i == j) - 2.0 * v(i, 1) * v(j, 1) / vv : (i + j == n + 1);
  return multiply(c, h);
}

// SCOVAR in a scratch of exactly SCOVARneed, after SAVYSG wrote F0 and F1
// (the file holds UYSGMA' with UYSGMA = F'); f1 null leaves YSFACTR1 out.
// A stop is caught here and leaves its log in *log.
DMat scovar(DMat xz, const DMat& f0, const DMat* f1, double sigma2, std::string* log = nullptr) {
  DMat cov(xz.cols, xz.cols, 3);
  const ScratchNeed need = SCOVARneed(xz.rows, xz.cols);
  std::vector<double> wr(need.doubles + 1);
  std::vector<int> wi(need.ints + 1);
  const auto printed = reporttest::capture([&](int out, int logUnit) {
    for (auto [f, file] : {std::pair{&f0, kF0}, std::pair{f1, kF1}}) {
      if (f == nullptr) continue;
      DMat u = test::transpose(*f), target(f->rows, f->rows, 2);
      SAVYSG(view(u), view(target), file, true, logUnit);
    }
    Scratch s(wr.data(), need.doubles, wi.data(), need.ints, nullptr, 0);
    try {
      SCOVAR(view(xz), kF0, kF1, sigma2, view(cov), s, out, logUnit);
    } catch (const RunStopped&) {
      writeUnit(logUnit, "STOPPED");
    }
  });
  if (log) *log = printed.log;
  return cov;
}

double relErr(const DMat& x, const DMat& ref) {
  return test::maxAbs(test::difference(x, ref)) / test::maxAbs(ref);
}

TEST(SpecialCovariance, SandwichOfTheTwoStructures) {
  for (auto [numt, kp, s2] : {std::tuple{9, 4, 2.7}, {25, 7, 0.35}, {6, 1, 1.0}, {5, 5, 4.0}}) {
    const DMat xz = test::randomMatrix(numt, kp, 11 + numt, 2);
    const DMat y0 = covariance(numt, 5 + kp), y1 = covariance(numt, 17 + kp);
    DMat w = xz;
    cholesky(y0, &w);
    const DMat info = multiply(xz, w, true, false);
    const DMat a = test::solveSquare(info, test::transpose(w));
    DMat ref = multiply(multiply(a, y1), a, false, true), gls = test::identity(kp);
    for (double& v : ref.a) v *= s2;
    const DMat f1 = factor(y1, false), cov = scovar(xz, factor(y0, true), &f1, s2);
    EXPECT_LT(relErr(cov, ref), 1e-12) << numt << " x " << kp;
    // Equal structures: the GLS covariance sigma2 (XZ' Y0^-1 XZ)^-1.
    const DMat f0 = factor(y0, false);
    gls = test::solveSquare(info, gls);
    for (double& v : gls.a) v *= s2;
    EXPECT_LT(relErr(scovar(xz, factor(y0, true), &f0, s2), gls), 1e-12) << numt << " x " << kp;
  }
  const DMat y = covariance(4, 1), xz = test::randomMatrix(4, 2, 2), f = factor(y, true);
  EXPECT_EQ(test::maxAbs(scovar(xz, f, &f, 0.0)), 0.0);
}

TEST(SpecialCovariance, MissingOrForeignFactorStopsTheRun) {
  const DMat xz = test::randomMatrix(6, 2, 3), f = factor(covariance(6, 4), false);
  const DMat shorter = factor(covariance(5, 4), false);  // another group's 5 periods
  std::string log;
  scovar(xz, f, nullptr, 1.0, &log);
  EXPECT_NE(log.find("\n FROM SUBROUTINE SCOVAR: ERROR IN OPENING OF FILE YSFACTR1, WITH IOCOND "
                     "=    2.  PROGRAM STOPS.\nSTOPPED\n"),
            std::string::npos)
      << log;
  scovar(xz, f, &shorter, 1.0, &log);
  EXPECT_NE(log.find("IN SUBROUTINE SCOVAR, THE RECORD OF FILE YSFACTR1 IS MISSING OR IS NOT THE "
                     "6 X 6 FACTOR OF YSIGMA (IOCOND = 5000).\n PROGRAM STOPS.\nSTOPPED\n"),
            std::string::npos)
      << log;
}

TEST(SpecialCovariance, ReportSectionFromPrintLevelThree) {
  DMat cov(2, 2, 1);
  cov(1, 1) = 4.0, cov(2, 2) = 2.25;
  auto print = [&](int level) {
    return reporttest::capture([&](int out, int log) {
      printSpecialCovarianceSection(SectionContext{level, 12, 1, out, log}, view(cov));
    }).out;
  };
  EXPECT_EQ(print(2), "");
  const std::string out = print(3);
  EXPECT_NE(out.find("ITERATION   1\n\nTHE SPECIAL COVARIANCE MATRIX AND STANDARD ERRORS COMPUTED "
                     "IN ITERATION 1\n\n\n COVARIANCE MATRIX ( 2 BY 2 MATRIX )"),
            std::string::npos)
      << out;
  EXPECT_TRUE(out.ends_with("\n\n\nSTANDARD ERRORS:\n\n   1.   2.0000       2.   1.5000    \n"))
      << out;
}

}  // namespace
}  // namespace kova
