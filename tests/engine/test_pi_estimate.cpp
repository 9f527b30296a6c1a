// PI by generalized least squares and its covariance, checked against dense
// GLS written here through LAPACK: Cholesky whitening (dpotrf, dtrtrs),
// minimum-norm least squares (dgelsy), the KKT system of the restricted
// problem (dgesv), and the Prais-Winsten transformation of AR(1) errors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "engine/pi_estimate.h"
#include "linalg/lapack_lsq_ref.h"
#include "report/estimation_sections.h"
#include "report/report_test_support.h"
#include "support/temp_dir.h"

namespace kova {
namespace {

using test::DMat;
using test::difference;
using test::identity;
using test::multiply;

DMat cholesky(DMat c, char uplo) {
  int n = c.rows, info = 0;
  dpotrf_(&uplo, &n, c.data(), &c.ld, &info, 1);
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i)
      if (uplo == 'U' ? i > j : i < j) c(i, j) = 0.0;
  return c;
}

DMat lowerSolve(const DMat& l, DMat b) {
  int n = l.rows, nrhs = b.cols, info = 0;
  dtrtrs_("L", "N", "N", &n, &nrhs, l.a.data(), &l.ld, b.data(), &b.ld, &info, 1, 1, 1);
  return b;
}

DMat leading(const DMat& a, int rows, int cols) {
  DMat b(rows, cols);
  for (int j = 1; j <= cols; ++j)
    for (int i = 1; i <= rows; ++i) b(i, j) = a(i, j);
  return b;
}

DMat scaled(DMat a, double f) {
  for (double& v : a.a) v *= f;
  return a;
}

double relErr(const DMat& x, const DMat& ref) {
  return test::maxAbs(difference(x, ref)) / test::maxAbs(ref);
}

double sumSquares(const DMat& v) { return std::pow(test::frobenius(v), 2); }

// XZ row t is z(t)' (Kronecker) x(t)', x(t) and z(t) led by 1 (XZ padded
// to exercise its leading dimension); y = XZ pi + noise of covariance sigma.
struct Group {
  int T = 0, K = 0, P = 0, n = 0;
  DMat XZ, y, sigma, R, r;
};

Group simulate(int T, int K, int P, unsigned seed, const DMat& sigma) {
  Group g{T, K, P, K * P, DMat(T, K * P, 2), DMat(T, 1), sigma, DMat(0, K * P), DMat(0, 1)};
  DMat x = test::randomMatrix(K, T, seed), z = test::randomMatrix(P, T, seed + 7);
  DMat e = multiply(cholesky(sigma, 'L'), test::randomMatrix(T, 1, seed + 13));
  for (int t = 1; t <= T; ++t) {
    x(1, t) = z(1, t) = 1.0;
    g.y(t, 1) = 0.3 * e(t, 1);
    for (int j = 1; j <= P; ++j)
      for (int k = 1; k <= K; ++k) {
        const int c = (j - 1) * K + k;
        g.XZ(t, c) = z(j, t) * x(k, t);
        g.y(t, 1) += (0.5 * c - 1.0) * g.XZ(t, c);
      }
  }
  return g;
}

DMat randomCovariance(int T, unsigned seed) {
  DMat a = test::randomMatrix(T, T, seed), s = scaled(multiply(a, a, false, true), 1.0 / T);
  for (int i = 1; i <= T; ++i) s(i, i) += 0.5;
  return s;
}

// What the routines return for a group.
struct PiRun {
  DMat pi, mu, cov, scaled, orc, ro;
  double sigma2 = 0.0;
  bool unavailable = false;
  OrcvarRanks ranks;
};

PiRun runPi(Group g, int groupId = 1, int pass = 0) {
  const int T = g.T, n = g.n, m = g.R.rows;
  DMat u = cholesky(g.sigma, 'U');
  // A factor of YSIGMA need not be triangular (the covariance step puts its
  // columns back in their original order): reflect the Cholesky factor, so
  // that every element of it counts.
  double vv = 0.0;
  for (int i = 1; i <= T; ++i) vv += (1.0 + 0.3 * i) * (1.0 + 0.3 * i);
  for (int j = 1; j <= T; ++j) {
    double d = 0.0;
    for (int i = 1; i <= T; ++i) d += (1.0 + 0.3 * i) * u(i, j);
    for (int i = 1; i <= T; ++i) u(i, j) -= 2.0 * d / vv * (1.0 + 0.3 * i);
  }
  PiRun run{DMat(n, 1), DMat(T + m, 1), DMat(n, n, 1), {}, {}, DMat(T, T, 2), 0.0, false, {}};
  PiEstimate est{run.pi.data(), run.mu.data(), Mat{run.cov.data(), run.cov.ld, n, n}, 0.0,
                 Mat{run.ro.data(), run.ro.ld, T, T}};
  const Mat XZ{g.XZ.data(), g.XZ.ld, T, n}, U{u.data(), u.ld, T, T};
  const PiRestrictionView rest{Mat{g.R.data(), g.R.ld, m, n}, g.r.data(), m};
  ScratchNeed need = ECPIMUneed(T, n, m);
  need.include(ORCVARneed(T, n, m));
  std::vector<double> wr(need.doubles);
  std::vector<int> wi(need.ints);
  Scratch s1(wr.data(), need.doubles, wi.data(), need.ints, nullptr, 0), s2 = s1;
  ECPIMU(pass, groupId, g.y.data(), XZ, rest, U, est, s1, 0, 0);
  SCLCOV(est);
  run.scaled = leading(run.cov, n, n);
  run.sigma2 = est.sigma2;
  ORCVAR(XZ, est.sigma2, U, rest, est, run.ranks, s2, 0, 0, g.K, g.P);
  run.orc = leading(run.cov, n, n);
  run.unavailable = est.covUnavailable;
  return run;
}

// Dense GLS on the whitened data L^-1 XZ, L^-1 y (L L' = sigma): dgelsy
// without restrictions, the KKT system [A R'; R 0] with them. RO = I - XZ H,
// H the estimator's map of y (r = 0).
struct Reference {
  DMat pi, cov, ro;
  double sigma2 = 0.0;
};

Reference denseGls(const Group& g) {
  const int T = g.T, n = g.n, m = g.R.rows;
  DMat l = cholesky(g.sigma, 'L');
  DMat xt = lowerSolve(l, g.XZ), yt = lowerSolve(l, g.y);
  DMat a = multiply(xt, xt, true, false), c = multiply(xt, yt, true, false);
  DMat kkt(n + m, n + m), rhs(n + m, 1);
  for (int j = 1; j <= n; ++j) {
    for (int i = 1; i <= n; ++i) kkt(i, j) = a(i, j);
    for (int i = 1; i <= m; ++i) kkt(n + i, j) = kkt(j, n + i) = g.R(i, j);
    rhs(j, 1) = c(j, 1);
  }
  for (int i = 1; i <= m; ++i) rhs(n + i, 1) = g.r(i, 1);
  int rank = 0;
  Reference ref;
  ref.pi = m == 0 ? test::lapackMinNorm(xt, yt, 1e-12, rank)
                  : leading(test::solveSquare(kkt, rhs), n, 1);
  ref.sigma2 = sumSquares(difference(yt, multiply(xt, ref.pi))) / (T - n + m);
  DMat cinv = leading(test::solveSquare(kkt, identity(n + m)), n, n);
  ref.cov = scaled(cinv, ref.sigma2);
  DMat h = multiply(cinv, multiply(g.XZ, test::solveSquare(g.sigma, identity(T)), true, false));
  ref.ro = difference(identity(T), multiply(g.XZ, h));
  return ref;
}

// The report of RPTPIR and of the covariance section for a run.
std::string printPi(const Group& g, PiRun& run, int level = 1) {
  return reporttest::capture([&](int out, int log) {
           const SectionContext c{level, 5, 2, out, log};
           PiSection s{g.K, g.P, run.pi.data(), run.mu.data(), run.mu.rows,
                       Mat{run.scaled.data(), run.scaled.ld, g.n, g.n}, run.sigma2};
           RPTPIR(c, s);
           const OrcvarRanks& k = run.ranks;
           printCovarianceSection(c, {Mat{run.orc.data(), run.orc.ld, g.n, g.n},
                                      run.unavailable && k.restriction == g.n, k.restriction,
                                      k.whitening, k.information, k.informationFull,
                                      k.whiteningFull, k.restrictionFull});
         })
      .out;
}

// The values of a printed list: entries of 18 characters, the value after 5.
std::vector<double> printedList(const std::string& text, const std::string& title) {
  std::vector<double> values;
  std::istringstream in(text.substr(text.find(title + "\n\n") + title.size() + 2));
  for (std::string line; std::getline(in, line) && !line.empty();)
    for (std::size_t at = 0; at + 14 <= line.size(); at += 18)
      values.push_back(std::stod(line.substr(at + 5, 13)));
  return values;
}

TEST(PiEstimate, GlsAndOlsWithAndWithoutRestrictionsMatchDenseGls) {
  const int T = 40;
  double worst = 0.0;
  for (bool ols : {false, true})
    for (int m : {0, 2}) {
      SCOPED_TRACE(std::string(ols ? "OLS" : "GLS") + ", rows " + std::to_string(m));
      Group g = simulate(T, 3, 2, 11 + m, ols ? identity(T) : randomCovariance(T, 3));
      g.R = test::randomMatrix(m, g.n, 29);
      g.r = test::randomMatrix(m, 1, 31);
      PiRun run = runPi(g);
      Reference ref = denseGls(g);
      for (double e : {relErr(run.pi, ref.pi), std::fabs(run.sigma2 / ref.sigma2 - 1.0),
                       relErr(run.scaled, ref.cov), relErr(run.orc, ref.cov),
                       relErr(run.ro, ref.ro)}) {
        EXPECT_LT(e, 1e-10);
        worst = std::max(worst, e);
      }
      // MU: y - XZ PIVECT, then r - R PIVECT = 0; without restrictions RO y.
      DMat resid = difference(g.y, multiply(g.XZ, ref.pi)), roy = multiply(run.ro, g.y);
      for (int t = 1; t <= T + m; ++t)
        EXPECT_NEAR(run.mu(t, 1), t <= T ? (m == 0 ? roy(t, 1) : resid(t, 1)) : 0.0, 1e-10);
      EXPECT_FALSE(run.unavailable);
      EXPECT_EQ(run.ranks.restriction, m);
      EXPECT_EQ(run.ranks.whitening, T);
      EXPECT_EQ(run.ranks.information, g.n - m);
      std::string text = printPi(g, run);
      std::vector<double> se = printedList(text, "STANDARD ERRORS:");
      ASSERT_EQ(static_cast<int>(se.size()), g.n);
      for (int i = 1; i <= g.n; ++i)
        EXPECT_NEAR(se[i - 1], std::sqrt(ref.cov(i, i)), 1e-4 * std::sqrt(ref.cov(i, i)));
      const std::string rank = "           " + std::to_string(m);
      EXPECT_NE(text.find("\n RANK OF THE CONSTRAINING MATRIX OF PI=" + rank +
                          " .  THE FULL RANK IS" + rank + "\n"),
                std::string::npos);
    }
  std::printf("worst relative error against dense GLS: %.1e\n", worst);
}

// YSIGMA = c rho^|t-s| / (1 - rho^2) has the inverse P'P / c, P the
// Prais-Winsten transformation that keeps the first observation.
TEST(PiEstimate, Ar1ErrorsGivePraisWinsten) {
  const int T = 60;
  const double rho = 0.6, c = 2.5;
  DMat sigma(T, T);
  for (int j = 1; j <= T; ++j)
    for (int i = 1; i <= T; ++i) sigma(i, j) = c * std::pow(rho, std::abs(i - j)) / (1 - rho * rho);
  Group g = simulate(T, 2, 2, 41, sigma);
  auto transform = [&](const DMat& v) {
    DMat w(T, v.cols);
    for (int j = 1; j <= v.cols; ++j) {
      w(1, j) = std::sqrt(1 - rho * rho) * v(1, j);
      for (int t = 2; t <= T; ++t) w(t, j) = v(t, j) - rho * v(t - 1, j);
    }
    return w;
  };
  DMat xs = transform(g.XZ), ys = transform(g.y);
  int rank = 0;
  DMat pi = test::lapackMinNorm(xs, ys, 1e-12, rank);
  const double s2 = sumSquares(difference(ys, multiply(xs, pi))) / (T - g.n);
  DMat cov = scaled(test::solveSquare(multiply(xs, xs, true, false), identity(g.n)), s2);
  PiRun run = runPi(g);
  EXPECT_LT(relErr(run.pi, pi), 1e-11);
  EXPECT_NEAR(run.sigma2, s2 / c, 1e-11 * run.sigma2);
  EXPECT_LT(relErr(run.scaled, cov), 1e-10);
  EXPECT_LT(relErr(run.orc, cov), 1e-10);
}

TEST(PiEstimate, RestrictionsThatFixOneCoefficientOrAll) {
  Group g = simulate(30, 2, 2, 5, randomCovariance(30, 8));
  g.R = DMat(1, g.n);
  g.R(1, 3) = 1.0;
  g.r = DMat(1, 1);
  g.r(1, 1) = 0.75;
  PiRun run = runPi(g);
  EXPECT_NEAR(run.pi(3, 1), 0.75, 1e-13);
  EXPECT_LT(relErr(run.orc, denseGls(g).cov), 1e-10);
  for (int i = 1; i <= g.n; ++i)
    for (const DMat* cov : {&run.orc, &run.scaled})
      EXPECT_LE(std::fabs((*cov)(3, i)) + std::fabs((*cov)(i, 3)), 1e-14 * test::maxAbs(*cov));

  g.R = test::randomMatrix(g.n, g.n, 17);
  g.r = test::randomMatrix(g.n, 1, 19);
  run = runPi(g);
  EXPECT_LT(relErr(run.pi, test::solveSquare(g.R, g.r)), 1e-12);
  EXPECT_TRUE(run.unavailable);
  EXPECT_EQ(run.ranks.restriction, g.n);
  EXPECT_EQ(test::maxAbs(run.orc), 0.0);
  EXPECT_NE(printPi(g, run).find("\n THE CONSTRAINING MATRIX OF PI HAS A RANK OF           4 "
                                 ".  THE COVARIANCE MATRIX IS SET TO THE ZERO MATRIX.\n"),
            std::string::npos);
}

// Two equal components of x(t) cost XZ P columns of rank: the minimum-norm
// estimate, SIGMA**2 over NUMT - rank, and both covariances SIGMA**2
// pinv(Xt) pinv(Xt)' for the whitened design Xt.
TEST(PiEstimate, RankDeficientDesignGivesMinimumNormAndRanks) {
  const int T = 35;
  Group g = simulate(T, 3, 2, 23, randomCovariance(T, 4));
  for (int t = 1; t <= T; ++t) g.XZ(t, 3) = g.XZ(t, 2), g.XZ(t, 6) = g.XZ(t, 5);
  DMat l = cholesky(g.sigma, 'L');
  DMat xt = lowerSolve(l, g.XZ), yt = lowerSolve(l, g.y);
  int rank = 0;
  DMat pi = test::lapackMinNorm(xt, yt, 1e-10, rank);
  ASSERT_EQ(rank, 4);
  const double s2 = sumSquares(difference(yt, multiply(xt, pi))) / (T - rank);
  DMat pinv = test::lapackMinNorm(xt, identity(T), 1e-10, rank);
  DMat cov = scaled(multiply(pinv, pinv, false, true), s2);
  PiRun run = runPi(g);
  EXPECT_LT(relErr(run.pi, pi), 1e-9);
  EXPECT_NEAR(run.sigma2, s2, 1e-10 * s2);
  EXPECT_LT(relErr(run.scaled, cov), 1e-8);
  EXPECT_LT(relErr(run.orc, cov), 1e-8);
  const std::string text = printPi(g, run, 5);
  EXPECT_EQ(text.find("NaN"), std::string::npos);
  EXPECT_EQ(text.find("Inf"), std::string::npos);
  EXPECT_NE(text.find("INVERSION=           4 .  THE FULL RANK IS           6\n"
                      " RANK OF UPPER CHOLESKY FACTOR OF YSIGMA=          35 ."),
            std::string::npos);
}

// NUMT = K*P leaves no degrees of freedom: SIGMA**2 = 0, and the
// covariance stays unavailable after the recomputation, which gives zeros.
TEST(PiEstimate, ZeroSigma2LeavesTheCovarianceUnavailable) {
  Group g = simulate(4, 2, 2, 37, randomCovariance(4, 2));
  PiRun run = runPi(g);
  EXPECT_EQ(run.sigma2, 0.0);
  EXPECT_EQ(test::maxAbs(run.scaled) + test::maxAbs(run.orc), 0.0);
  EXPECT_TRUE(run.unavailable);
  EXPECT_EQ(run.ranks.whitening, 0);
  EXPECT_LT(relErr(run.pi, test::solveSquare(leading(g.XZ, 4, 4), g.y)), 1e-10);
}

TEST(PiEstimate, DumpFileOnlyForGroup17OnPass1) {
  testing::TempDir dir;
  Group g = simulate(12, 2, 1, 3, identity(12));
  runPi(g, 17, 0);
  runPi(g, 16, 1);
  EXPECT_FALSE(std::filesystem::exists("ECPIMU.OUT"));
  runPi(g, 17, 1);
  const std::string dump = testing::readFile("ECPIMU.OUT");
  std::size_t at = 0;
  for (const char* title : {"NUMT=", "THE VECTOR Y", "THE MATRIX XZ", "THE MATRIX UYSGMA",
                            "SPIROW=", "THE MATRIX RCFPI", "THE VECTOR RVCPI", "THE VECTOR PIVECT"})
    EXPECT_NE(at = dump.find(title, at), std::string::npos) << title;
}

// A zero standard error has no t-ratio, a zero coefficient no coefficient
// of variation; a variance of -1e-20 is rounding and reads as 0.
TEST(PiReport, ListsMarkRatiosWithAZeroDivisor) {
  double values[] = {1.5, 0.0, 2.0, -3.0}, cov[16] = {0.25};
  cov[5] = 1.0, cov[10] = -1e-20, cov[15] = 4.0;
  const std::string out = reporttest::capture([&](int unit, int) {
                            printStandardErrorLists(values, Mat{cov, 4, 4, 4}, true, unit);
                          }).out;
  EXPECT_NE(out.find("\n\n\nT-RATIOS:\n\n"
                     "   1.   3.0000       2.   0.0000       3.  -99999.       4.  -1.5000    \n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\n\n\nCOEFFICIENTS OF VARIATIONS:\n\n"
                     "   1.  0.33333       2.  -99999.       3.   0.0000       4. -0.66667    \n"),
            std::string::npos);
}

}  // namespace
}  // namespace kova
