// PI by generalized least squares and its covariance, checked against dense
// GLS written here through LAPACK: Cholesky whitening (dpotrf, dtrtrs),
// dgels, the KKT system of the restricted problem (dgesv), pseudo-inverses
// from dgesvd, and the Prais-Winsten transformation of an AR(1) model.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "estimation/pi_estimate.h"
#include "linalg/lapack_lsq_ref.h"
#include "report/estimation_sections.h"
#include "report/report_test_support.h"
#include "support/temp_dir.h"

namespace kova {
namespace {

using test::DMat;
using test::multiply;
using test::transpose;

DMat cholesky(const DMat& s, char uplo) {
  DMat c = s;
  int n = c.rows, info = 0;
  dpotrf_(&uplo, &n, c.data(), &c.ld, &info, 1);
  EXPECT_EQ(info, 0);
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i)
      if ((uplo == 'U' && i > j) || (uplo == 'L' && i < j)) c(i, j) = 0.0;
  return c;
}

DMat lowerSolve(const DMat& l, DMat b) {
  int n = l.rows, nrhs = b.cols, info = 0;
  dtrtrs_("L", "N", "N", &n, &nrhs, l.a.data(), &l.ld, b.data(), &b.ld, &info, 1, 1, 1);
  EXPECT_EQ(info, 0);
  return b;
}

DMat dgels(DMat a, const DMat& b) {
  int m = a.rows, n = a.cols, nrhs = b.cols, info = 0, lwork = -1;
  DMat x = b;
  double query = 0.0;
  dgels_("N", &m, &n, &nrhs, a.data(), &a.ld, x.data(), &x.ld, &query, &lwork, &info, 1);
  lwork = static_cast<int>(query);
  std::vector<double> work(lwork);
  dgels_("N", &m, &n, &nrhs, a.data(), &a.ld, x.data(), &x.ld, work.data(), &lwork, &info, 1);
  EXPECT_EQ(info, 0);
  DMat out(n, nrhs);
  for (int j = 1; j <= nrhs; ++j)
    for (int i = 1; i <= n; ++i) out(i, j) = x(i, j);
  return out;
}

DMat block(const DMat& a, int r0, int c0, int rows, int cols) {
  DMat b(rows, cols);
  for (int j = 1; j <= cols; ++j)
    for (int i = 1; i <= rows; ++i) b(i, j) = a(r0 + i - 1, c0 + j - 1);
  return b;
}

double relErr(const DMat& x, const DMat& ref) {
  return test::maxAbs(test::difference(x, ref)) / std::max(test::maxAbs(ref), 1e-300);
}

// One simulated group: XZ row t is z(t)' (Kronecker) x(t)', x(t) and z(t)
// led by 1; y = XZ pi + noise with covariance sigma.
struct Group {
  int T = 0, K = 0, P = 0, n = 0;
  DMat XZ, y, sigma, R, r;
};

Group simulate(int T, int K, int P, unsigned seed, const DMat& sigma) {
  Group g;
  g.T = T, g.K = K, g.P = P, g.n = K * P;
  DMat x = test::randomMatrix(K, T, seed), z = test::randomMatrix(P, T, seed + 7);
  for (int t = 1; t <= T; ++t) x(1, t) = z(1, t) = 1.0;
  g.XZ = DMat(T, g.n);
  for (int t = 1; t <= T; ++t)
    for (int j = 1; j <= P; ++j)
      for (int k = 1; k <= K; ++k) g.XZ(t, (j - 1) * K + k) = z(j, t) * x(k, t);
  DMat pi(g.n, 1);
  for (int i = 1; i <= g.n; ++i) pi(i, 1) = 0.5 * i - 1.0;
  DMat noise = test::randomMatrix(T, 1, seed + 13);
  DMat e = multiply(cholesky(sigma, 'L'), noise);
  g.y = multiply(g.XZ, pi);
  for (int t = 1; t <= T; ++t) g.y(t, 1) += 0.3 * e(t, 1);
  g.sigma = sigma;
  g.R = DMat(0, g.n);
  g.r = DMat(0, 1);
  return g;
}

DMat randomCovariance(int T, unsigned seed) {
  DMat a = test::randomMatrix(T, T, seed);
  DMat s = multiply(a, a, false, true);
  for (int j = 1; j <= T; ++j)
    for (int i = 1; i <= T; ++i) s(i, j) = s(i, j) / T + (i == j ? 0.5 : 0.0);
  return s;
}

// What the routines under test return, run on padded copies of the inputs
// whose unused triangle of UYSGMA holds garbage.
struct PiRun {
  DMat pi, mu, cov, scaled, orc, ro;
  double sigma2 = 0.0;
  bool unavailable = false;
  OrcvarRanks ranks;
};

PiRun runPi(const Group& g, int groupId = 1, int pass = 0, int logUnit = 0) {
  const int T = g.T, n = g.n, m = g.R.rows;
  DMat xz(T, n, 2), u(T, T, 3), rr(m, n, 1), rv(std::max(m, 1), 1);
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= T; ++i) xz(i, j) = g.XZ(i, j);
  DMat upper = cholesky(g.sigma, 'U');
  for (int j = 1; j <= T; ++j)
    for (int i = 1; i <= T; ++i) u(i, j) = i <= j ? upper(i, j) : 99.0;
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= m; ++i) rr(i, j) = g.R(i, j);
  for (int i = 1; i <= m; ++i) rv(i, 1) = g.r(i, 1);

  PiRun run;
  run.pi = DMat(n, 1);
  run.mu = DMat(T + m, 1);
  run.cov = DMat(n, n, 1);
  run.ro = DMat(T, T, 2);
  PiEstimate est;
  est.PIVECT = run.pi.data();
  est.MU = run.mu.data();
  est.cov = Mat{run.cov.data(), run.cov.ld, n, n};
  est.RO = Mat{run.ro.data(), run.ro.ld, T, T};
  const Mat XZ{xz.data(), xz.ld, T, n}, U{u.data(), u.ld, T, T};
  const PiRestrictionView rest{Mat{rr.data(), rr.ld, m, n}, rv.data(), m};

  ScratchNeed need = ECPIMUneed(T, n, m);
  need.include(ORCVARneed(T, n, m));
  std::vector<double> wr(need.doubles);
  std::vector<int> wi(need.ints);
  Scratch s1(wr.data(), need.doubles, wi.data(), need.ints, nullptr, 0);
  ECPIMU(pass, groupId, g.y.a.data(), XZ, rest, U, est, s1, logUnit, logUnit);
  SCLCOV(est);
  run.scaled = block(run.cov, 1, 1, n, n);
  run.sigma2 = est.sigma2;
  Scratch s2(wr.data(), need.doubles, wi.data(), need.ints, nullptr, 0);
  ORCVAR(XZ, est.sigma2, U, rest, est, run.ranks, s2, logUnit, logUnit, g.K, g.P);
  run.orc = block(run.cov, 1, 1, n, n);
  run.unavailable = est.covUnavailable;
  return run;
}

// Dense GLS: whiten by the Cholesky factor of sigma; without restrictions
// dgels, with them the KKT system [A R'; R 0] through dgesv. RO = I - XZ H
// with H the estimator's linear map (zero right-hand side r).
struct Reference {
  DMat pi, cov, ro;
  double sigma2 = 0.0;
};

Reference denseGls(const Group& g) {
  const int T = g.T, n = g.n, m = g.R.rows;
  DMat l = cholesky(g.sigma, 'L');
  DMat xt = lowerSolve(l, g.XZ), yt = lowerSolve(l, g.y);
  DMat a = multiply(xt, xt, true, false);
  DMat kkt(n + m, n + m), rhs(n + m, 1);
  DMat c = multiply(xt, yt, true, false);
  for (int j = 1; j <= n; ++j) {
    for (int i = 1; i <= n; ++i) kkt(i, j) = a(i, j);
    for (int i = 1; i <= m; ++i) kkt(n + i, j) = kkt(j, n + i) = g.R(i, j);
    rhs(j, 1) = c(j, 1);
  }
  for (int i = 1; i <= m; ++i) rhs(n + i, 1) = g.r(i, 1);
  DMat kinv = test::solveSquare(kkt, test::identity(n + m));
  Reference ref;
  ref.pi = m == 0 ? dgels(xt, yt) : block(test::solveSquare(kkt, rhs), 1, 1, n, 1);
  DMat res = test::difference(yt, multiply(xt, ref.pi));
  ref.sigma2 = std::pow(test::frobenius(res), 2) / (T - n + m);
  DMat cinv = block(kinv, 1, 1, n, n);
  ref.cov = cinv;
  for (double& v : ref.cov.a) v *= ref.sigma2;
  DMat sigmaInv = test::solveSquare(g.sigma, test::identity(T));
  DMat h = multiply(cinv, multiply(g.XZ, sigmaInv, true, false));
  ref.ro = test::difference(test::identity(T), multiply(g.XZ, h));
  return ref;
}

// The values of one printed list (four entries of 18 characters a line).
std::vector<double> printedList(const std::string& text, const std::string& title) {
  std::vector<double> values;
  std::istringstream in(text.substr(text.find(title + "\n\n") + title.size() + 2));
  std::string line;
  while (std::getline(in, line) && !line.empty())
    for (std::size_t at = 0; at + 14 <= line.size(); at += 18)
      values.push_back(std::strtod(line.substr(at + 5, 13).c_str(), nullptr));
  return values;
}

std::string printPi(const Group& g, const PiRun& run, int level = 1) {
  return reporttest::capture([&](int out, int log) {
           SectionContext c{level, 5, 2, out, log};
           PiSection s;
           s.K = g.K, s.P = g.P;
           s.PIVECT = run.pi.a.data();
           s.MU = run.mu.a.data();
           s.muLength = run.mu.rows;
           s.cov = Mat{const_cast<double*>(run.scaled.a.data()), run.scaled.ld, g.n, g.n};
           s.sigma2 = run.sigma2;
           RPTPIR(c, s);
           CovarianceSection cs;
           cs.cov = Mat{const_cast<double*>(run.orc.a.data()), run.orc.ld, g.n, g.n};
           cs.fixedByRestrictions = run.unavailable && run.ranks.restriction == g.n;
           cs.restrictionRank = run.ranks.restriction;
           cs.whiteningRank = run.ranks.whitening;
           cs.informationRank = run.ranks.information;
           cs.informationFull = run.ranks.informationFull;
           cs.whiteningFull = run.ranks.whiteningFull;
           cs.restrictionFull = run.ranks.restrictionFull;
           printCovarianceSection(c, cs);
         })
      .out;
}

TEST(PiEstimate, GlsAndOlsWithAndWithoutRestrictionsMatchDenseGls) {
  const int T = 40, K = 3, P = 2;
  double worst = 0.0;
  for (int covCase = 0; covCase < 2; ++covCase)
    for (int m : {0, 2}) {
      SCOPED_TRACE("covariance " + std::to_string(covCase) + ", rows " + std::to_string(m));
      DMat sigma = covCase == 0 ? randomCovariance(T, 3) : test::identity(T);
      Group g = simulate(T, K, P, 11 + m, sigma);
      g.R = test::randomMatrix(m, g.n, 29);
      g.r = test::randomMatrix(m, 1, 31);
      PiRun run = runPi(g);
      Reference ref = denseGls(g);
      const double errs[] = {relErr(run.pi, ref.pi), std::fabs(run.sigma2 / ref.sigma2 - 1.0),
                             relErr(run.scaled, ref.cov), relErr(run.orc, ref.cov),
                             relErr(run.ro, ref.ro)};
      for (double e : errs) {
        EXPECT_LT(e, 1e-10);
        worst = std::max(worst, e);
      }
      // MU: the residuals y - XZ PIVECT, then r - R PIVECT = 0; without
      // restrictions MU = RO y.
      DMat fitted = multiply(g.XZ, ref.pi);
      for (int t = 1; t <= T; ++t)
        EXPECT_NEAR(run.mu(t, 1), g.y(t, 1) - fitted(t, 1), 1e-10);
      for (int i = 1; i <= m; ++i) EXPECT_NEAR(run.mu(T + i, 1), 0.0, 1e-12);
      if (m == 0) {
        DMat roy = multiply(block(run.ro, 1, 1, T, T), g.y);
        for (int t = 1; t <= T; ++t) EXPECT_NEAR(roy(t, 1), run.mu(t, 1), 1e-12);
      }
      EXPECT_FALSE(run.unavailable);
      EXPECT_EQ(run.ranks.restriction, m);
      EXPECT_EQ(run.ranks.whitening, T);
      EXPECT_EQ(run.ranks.information, g.n - m);
      // The printed standard errors are those of the dense covariance.
      std::string text = printPi(g, run);
      std::vector<double> se = printedList(text, "STANDARD ERRORS:");
      ASSERT_EQ(static_cast<int>(se.size()), g.n);
      for (int i = 1; i <= g.n; ++i)
        EXPECT_NEAR(se[i - 1], std::sqrt(ref.cov(i, i)), 1e-4 * std::sqrt(ref.cov(i, i)));
      EXPECT_NE(text.find("RANK OF THE CONSTRAINING MATRIX OF PI=           " + std::to_string(m) +
                          " .  THE FULL RANK IS           " + std::to_string(m)),
                std::string::npos);
    }
  std::printf("worst relative error against dense GLS: %.2e\n", worst);
}

// M = 1, AR(1) errors: YSIGMA = c rho^|t-s| / (1 - rho^2), whose inverse is
// P'P / c for the Prais-Winsten transformation P that keeps the first
// observation. OLS on the transformed data is the GLS estimate.
TEST(PiEstimate, Ar1ErrorsGivePraisWinsten) {
  const int T = 60, K = 2, P = 2;
  const double rho = 0.6, scale = 2.5;
  DMat sigma(T, T);
  for (int j = 1; j <= T; ++j)
    for (int i = 1; i <= T; ++i) sigma(i, j) = scale * std::pow(rho, std::abs(i - j)) / (1 - rho * rho);
  Group g = simulate(T, K, P, 41, sigma);
  auto transform = [&](const DMat& v) {
    DMat w(v.rows, v.cols);
    for (int j = 1; j <= v.cols; ++j) {
      w(1, j) = std::sqrt(1 - rho * rho) * v(1, j);
      for (int t = 2; t <= T; ++t) w(t, j) = v(t, j) - rho * v(t - 1, j);
    }
    return w;
  };
  DMat xs = transform(g.XZ), ys = transform(g.y);
  DMat pi = dgels(xs, ys);
  const double rss = std::pow(test::frobenius(test::difference(ys, multiply(xs, pi))), 2);
  DMat cov = test::solveSquare(multiply(xs, xs, true, false), test::identity(g.n));
  for (double& v : cov.a) v *= rss / (T - g.n);

  PiRun run = runPi(g);
  EXPECT_LT(relErr(run.pi, pi), 1e-11);
  EXPECT_NEAR(run.sigma2, rss / (scale * (T - g.n)), 1e-11 * run.sigma2);
  EXPECT_LT(relErr(run.scaled, cov), 1e-10);
  EXPECT_LT(relErr(run.orc, cov), 1e-10);
}

TEST(PiEstimate, RestrictionsThatFixOneCoefficientOrAll) {
  const int T = 30, K = 2, P = 2;
  Group g = simulate(T, K, P, 5, randomCovariance(T, 8));
  g.R = DMat(1, g.n);
  g.R(1, 3) = 1.0;
  g.r = DMat(1, 1);
  g.r(1, 1) = 0.75;
  PiRun run = runPi(g);
  EXPECT_NEAR(run.pi(3, 1), 0.75, 1e-13);
  EXPECT_LT(relErr(run.orc, denseGls(g).cov), 1e-10);
  const double size = test::maxAbs(run.orc);
  for (int i = 1; i <= g.n; ++i) {
    EXPECT_LE(std::fabs(run.orc(3, i)) + std::fabs(run.orc(i, 3)), 1e-14 * size);
    EXPECT_LE(std::fabs(run.scaled(3, i)) + std::fabs(run.scaled(i, 3)), 1e-14 * size);
  }

  // As many independent rows as coefficients: PI is fixed.
  g.R = test::randomMatrix(g.n, g.n, 17);
  g.r = test::randomMatrix(g.n, 1, 19);
  run = runPi(g);
  EXPECT_LT(relErr(run.pi, test::solveSquare(g.R, g.r)), 1e-12);
  EXPECT_TRUE(run.unavailable);
  EXPECT_EQ(run.ranks.restriction, g.n);
  EXPECT_EQ(test::maxAbs(run.orc), 0.0);
  std::string text = printPi(g, run);
  EXPECT_NE(text.find("\n THE CONSTRAINING MATRIX OF PI HAS A RANK OF           4 .  THE "
                      "COVARIANCE MATRIX IS SET TO THE ZERO MATRIX.\n"),
            std::string::npos);
}

// x(t) with two equal components: XZ loses P columns of rank. The estimate
// is the minimum-norm GLS solution, SIGMA**2 divides by NUMT - rank, and
// both covariances are SIGMA**2 pinv(XZ' YSIGMA^-1 XZ).
TEST(PiEstimate, RankDeficientDesignGivesMinimumNormAndRanks) {
  const int T = 35, K = 3, P = 2;
  Group g = simulate(T, K, P, 23, randomCovariance(T, 4));
  for (int t = 1; t <= T; ++t)
    for (int j = 0; j < P; ++j) g.XZ(t, j * K + 3) = g.XZ(t, j * K + 2);
  DMat l = cholesky(g.sigma, 'L');
  DMat xt = lowerSolve(l, g.XZ), yt = lowerSolve(l, g.y);
  int rows = T, cols = g.n, info = 0, lwork = -1;
  DMat a = xt, u(T, g.n), vt(g.n, g.n);
  std::vector<double> s(g.n);
  double query = 0.0;
  dgesvd_("S", "A", &rows, &cols, a.data(), &a.ld, s.data(), u.data(), &u.ld, vt.data(), &vt.ld,
          &query, &lwork, &info, 1, 1);
  lwork = static_cast<int>(query);
  std::vector<double> work(lwork);
  dgesvd_("S", "A", &rows, &cols, a.data(), &a.ld, s.data(), u.data(), &u.ld, vt.data(), &vt.ld,
          work.data(), &lwork, &info, 1, 1);
  ASSERT_EQ(info, 0);
  int rank = 0;
  while (rank < g.n && s[rank] > 1e-10 * s[0]) ++rank;
  ASSERT_EQ(rank, g.n - P);
  DMat pi(g.n, 1), pinv(g.n, g.n);
  DMat uty = multiply(u, yt, true, false);
  for (int k = 1; k <= rank; ++k)
    for (int i = 1; i <= g.n; ++i) {
      pi(i, 1) += vt(k, i) * uty(k, 1) / s[k - 1];
      for (int j = 1; j <= g.n; ++j) pinv(i, j) += vt(k, i) * vt(k, j) / (s[k - 1] * s[k - 1]);
    }
  const double sigma2 = std::pow(test::frobenius(test::difference(yt, multiply(xt, pi))), 2) /
                        (T - rank);
  for (double& v : pinv.a) v *= sigma2;

  PiRun run = runPi(g);
  EXPECT_LT(relErr(run.pi, pi), 1e-9);
  EXPECT_NEAR(run.sigma2, sigma2, 1e-10 * sigma2);
  EXPECT_LT(relErr(run.scaled, pinv), 1e-8);
  EXPECT_LT(relErr(run.orc, pinv), 1e-8);
  EXPECT_EQ(run.ranks.information, rank);
  EXPECT_EQ(run.ranks.informationFull, g.n);
  EXPECT_EQ(run.ranks.whitening, T);
  std::string text = printPi(g, run, 5);
  EXPECT_EQ(text.find("NaN"), std::string::npos);
  EXPECT_EQ(text.find("Inf"), std::string::npos);
  EXPECT_NE(text.find("RANK OF COEFFICIENT MATRIX IN THE FINAL INVERSION=           4 .  THE "
                      "FULL RANK IS           6"),
            std::string::npos);
}

// No degrees of freedom left (NUMT = K*P): SIGMA**2 = 0, the covariance is
// unavailable and stays so after the recomputation, which returns zeros.
TEST(PiEstimate, ZeroSigma2LeavesTheCovarianceUnavailable) {
  Group g = simulate(4, 2, 2, 37, randomCovariance(4, 2));
  PiRun run = runPi(g);
  EXPECT_EQ(run.sigma2, 0.0);
  EXPECT_EQ(test::maxAbs(run.scaled), 0.0);
  EXPECT_EQ(test::maxAbs(run.orc), 0.0);
  EXPECT_TRUE(run.unavailable);
  EXPECT_EQ(run.ranks.whitening, 0);
  EXPECT_LT(relErr(run.pi, test::solveSquare(g.XZ, g.y)), 1e-10);
  EXPECT_EQ(printPi(g, run).find("NaN"), std::string::npos);
}

TEST(PiEstimate, DumpFileOnlyForGroup17OnPass1) {
  testing::TempDir dir;
  Group g = simulate(12, 2, 1, 3, test::identity(12));
  runPi(g, 17, 0);
  runPi(g, 16, 1);
  EXPECT_FALSE(std::filesystem::exists("ECPIMU.OUT"));
  runPi(g, 17, 1);
  std::string dump = testing::readFile("ECPIMU.OUT");
  for (const char* title : {"NUMT=", "THE VECTOR Y", "THE MATRIX XZ", "THE MATRIX UYSGMA",
                            "SPIROW=", "THE MATRIX RCFPI", "THE VECTOR RVCPI", "THE VECTOR PIVECT"})
    EXPECT_NE(dump.find(title), std::string::npos) << title;
  EXPECT_LT(dump.find("THE VECTOR RVCPI"), dump.find("THE VECTOR PIVECT"));
}

// A zero standard error has no t-ratio and a zero coefficient no
// coefficient of variation: both lists show -99999.0 there.
TEST(PiReport, ListsMarkRatiosWithAZeroDivisor) {
  double values[] = {1.5, 0.0, 2.0, -3.0};
  double cov[16] = {};
  // A variance of -1e-20 is rounding in a singular covariance: read as 0.
  const double variances[] = {0.25, 1.0, -1e-20, 4.0};
  for (int i = 0; i < 4; ++i) cov[i * 5] = variances[i];
  std::string out = reporttest::capture([&](int unit, int) {
                      printStandardErrorLists(values, Mat{cov, 4, 4, 4}, true, unit);
                    }).out;
  EXPECT_NE(out.find("\n\n\nT-RATIOS:\n\n"
                     "   1.   3.0000       2.   0.0000       3.  -99999.       4.  -1.5000    \n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("COEFFICIENTS OF VARIATIONS:\n\n"
                     "   1.  0.33333       2.  -99999.       3.   0.0000       4. -0.66667    \n"),
            std::string::npos)
      << out;
}

}  // namespace
}  // namespace kova
