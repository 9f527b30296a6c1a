// The generalized least-squares core against closed forms (ordinary least
// squares, GLS with a nonsingular factor, the equality-constrained KKT
// system), against LAPACK's dggglm, and against its own estimator: the
// covariance must be L F F' L' for the linear map x = L b.
#include <gtest/gtest.h>

#include <limits>

#include "lapack_lsq_ref.h"
#include "linalg/least_squares.h"
#include "io/fortran_io.h"
#include "support/temp_dir.h"

namespace kova::test {
namespace {

struct GlsOut {
  DMat x, cov;
  std::vector<double> sigma2;
  int r1 = -1, r2 = -1, inconsistent = -1, covStatus = -1;
};

GlsOut runGls(const DMat& a, const DMat& f, const DMat& b, int unit = 0) {
  int n = a.rows, p = a.cols, nb = b.cols;
  GlsOut out{DMat(p, nb, 1), DMat(p, p, 2), std::vector<double>(std::max(1, nb), -1.0)};
  GlsWorkSizes need = glsWorkSizes(n, p, nb);
  // Work starts as NaN, so that reading anything not written first shows.
  std::vector<double> wr(need.doubles, std::numeric_limits<double>::quiet_NaN());
  std::vector<int> wi(need.ints, -7);
  GlsProblem pr{a.a.data(), a.ld, f.a.data(), f.ld, b.a.data(), b.ld, n, p, nb, true};
  GlsResults res{out.x.data(), out.x.ld, out.sigma2.data(), out.cov.data(), out.cov.ld};
  EXPECT_TRUE(solveGls(pr, res, GlsWork{wr.data(), need.doubles, wi.data(), need.ints}, unit));
  out.r1 = res.r1;
  out.r2 = res.r2;
  out.inconsistent = res.inconsistent;
  out.covStatus = res.covStatus;
  return out;
}

// Lower-triangular factor with a dominant diagonal: well conditioned.
DMat lowerFactor(int n, unsigned seed) {
  DMat f = randomMatrix(n, n, seed);
  for (int j = 1; j <= n; ++j) {
    for (int i = 1; i < j; ++i) f(i, j) = 0.0;
    f(j, j) = 2.0 + std::fabs(f(j, j));
  }
  return f;
}

// (F F')^-1 M by Cholesky of F F' (dpotrf/dpotrs).
DMat weighted(const DMat& f, DMat m) {
  DMat s = multiply(f, f, false, true);
  int n = s.rows, nrhs = m.cols, info = 0;
  dpotrf_("L", &n, s.data(), &s.ld, &info, 1);
  EXPECT_EQ(info, 0);
  dpotrs_("L", &n, &nrhs, s.data(), &s.ld, m.data(), &m.ld, &info, 1);
  EXPECT_EQ(info, 0);
  return m;
}

double colNorm2(const DMat& m, int j) {
  double s = 0.0;
  for (int i = 1; i <= m.rows; ++i) s += m(i, j) * m(i, j);
  return s;
}

TEST(Gls, IdentityFactorIsOrdinaryLeastSquares) {
  const int n = 15, p = 4;
  DMat a = randomMatrix(n, p, 1, 2), b = randomMatrix(n, 3, 2, 1), f = identity(n);
  GlsOut got = runGls(a, f, b);
  EXPECT_EQ(got.r1, p);
  EXPECT_EQ(got.r2, n - p);
  int rank = 0;
  DMat ols = lapackMinNorm(a, b, 1e-12, rank);
  EXPECT_LT(maxAbs(difference(got.x, ols)), 1e-13);
  DMat resid = difference(b, multiply(a, ols));
  for (int j = 1; j <= b.cols; ++j)
    EXPECT_NEAR(got.sigma2[j - 1], colNorm2(resid, j) / (n - p), 1e-14);
  EXPECT_EQ(got.covStatus, kCovFormed);
  EXPECT_LT(maxAbs(difference(got.cov, solveSquare(multiply(a, a, true), identity(p)))), 1e-13);
}

TEST(Gls, NonsingularFactorMatchesTheClosedForm) {
  const int n = 20, p = 5;
  DMat a = randomMatrix(n, p, 11), b = randomMatrix(n, 2, 12), f = lowerFactor(n, 13);
  GlsOut got = runGls(a, f, b);
  DMat wa = weighted(f, a);           // (FF')^-1 A
  DMat info = multiply(a, wa, true);  // A'(FF')^-1 A
  DMat cov = solveSquare(info, identity(p));
  DMat x = multiply(cov, multiply(wa, b, true));  // cov A'(FF')^-1 b
  EXPECT_EQ(got.r2, n - p);
  EXPECT_LT(maxAbs(difference(got.x, x)), 1e-12);
  EXPECT_LT(maxAbs(difference(got.cov, cov)), 1e-12 * maxAbs(cov));
  DMat e = difference(b, multiply(a, x));  // ||u||^2 = e'(FF')^-1 e
  DMat we = weighted(f, e);
  for (int j = 1; j <= b.cols; ++j) {
    double rss = DDOT(n, &e(1, j), 1, &we(1, j), 1);
    EXPECT_NEAR(got.sigma2[j - 1], rss / (n - p), 1e-12 * rss);
  }
}

TEST(Gls, DenseFactorMatchesDggglm) {
  for (int trial = 0; trial < 3; ++trial) {
    const int n = 18 + 5 * trial, p = 3 + trial, nb = 2;
    DMat a = randomMatrix(n, p, 21 + trial), b = randomMatrix(n, nb, 31 + trial);
    DMat f = randomMatrix(n, n, 41 + trial);
    for (int i = 1; i <= n; ++i) f(i, i) += 4.0;
    GlsOut got = runGls(a, f, b);
    for (int j = 1; j <= nb; ++j) {
      DMat aa = a, ff = f;
      std::vector<double> d(&b(1, j), &b(1, j) + n), x(p), y(n), work(64 * n);
      int nn = n, m = p, pp = n, lwork = static_cast<int>(work.size()), info = 0;
      dggglm_(&nn, &m, &pp, aa.data(), &aa.ld, ff.data(), &ff.ld, d.data(), x.data(), y.data(),
              work.data(), &lwork, &info);
      ASSERT_EQ(info, 0);
      for (int i = 1; i <= p; ++i) EXPECT_NEAR(got.x(i, j), x[i - 1], 1e-12) << trial;
      double uu = DDOT(n, y.data(), 1, y.data(), 1);
      EXPECT_NEAR(got.sigma2[j - 1], uu / (n - p), 1e-12 * uu) << trial;
    }
  }
}

// y = X x + noise (factor L), S x = r exact: the KKT system
//   [X'WX S'; S 0] [x; lambda] = [X'W y; r],  W = (LL')^-1,
// gives x, and its inverse's leading block the covariance.
struct Constrained {
  DMat a, f, b;
  int numt, s;
};

Constrained stack(int numt, int p, const DMat& s, const DMat& y, const DMat& r, unsigned seed) {
  const int ns = s.rows, n = numt + ns;
  Constrained c{DMat(n, p), DMat(n, n, 1), DMat(n, y.cols), numt, ns};
  DMat x = randomMatrix(numt, p, seed), l = lowerFactor(numt, seed + 1);
  for (int j = 1; j <= p; ++j) {
    for (int i = 1; i <= numt; ++i) c.a(i, j) = x(i, j);
    for (int i = 1; i <= ns; ++i) c.a(numt + i, j) = s(i, j);
  }
  for (int j = 1; j <= numt; ++j)
    for (int i = 1; i <= numt; ++i) c.f(i, j) = l(i, j);
  for (int j = 1; j <= y.cols; ++j) {
    for (int i = 1; i <= numt; ++i) c.b(i, j) = y(i, j);
    for (int i = 1; i <= ns; ++i) c.b(numt + i, j) = r(i, j);
  }
  return c;
}

TEST(Gls, ExactRowsGiveTheEqualityConstrainedEstimate) {
  const int numt = 14, p = 5, ns = 2;
  DMat s = randomMatrix(ns, p, 51), y = randomMatrix(numt, 2, 52), r = randomMatrix(ns, 2, 53);
  Constrained c = stack(numt, p, s, y, r, 54);
  GlsOut got = runGls(c.a, c.f, c.b);
  EXPECT_EQ(got.r1, p);
  EXPECT_EQ(got.r2, numt - p + ns);  // every independent exact row adds one

  DMat x(numt, p), l(numt, numt);
  for (int j = 1; j <= p; ++j)
    for (int i = 1; i <= numt; ++i) x(i, j) = c.a(i, j);
  for (int j = 1; j <= numt; ++j)
    for (int i = 1; i <= numt; ++i) l(i, j) = c.f(i, j);
  DMat wx = weighted(l, x), wy = weighted(l, y), m = multiply(x, wx, true);
  DMat kkt(p + ns, p + ns), rhs(p + ns, 2);
  for (int j = 1; j <= p; ++j)
    for (int i = 1; i <= p; ++i) kkt(i, j) = m(i, j);
  for (int i = 1; i <= ns; ++i)
    for (int j = 1; j <= p; ++j) kkt(p + i, j) = kkt(j, p + i) = s(i, j);
  DMat xwy = multiply(wx, y, true);
  for (int j = 1; j <= 2; ++j) {
    for (int i = 1; i <= p; ++i) rhs(i, j) = xwy(i, j);
    for (int i = 1; i <= ns; ++i) rhs(p + i, j) = r(i, j);
  }
  DMat sol = solveSquare(kkt, rhs), inv = solveSquare(kkt, identity(p + ns));
  for (int j = 1; j <= 2; ++j) {
    for (int i = 1; i <= p; ++i) EXPECT_NEAR(got.x(i, j), sol(i, j), 1e-12);
    DMat e(numt, 1);
    for (int i = 1; i <= numt; ++i) e(i, 1) = y(i, j) - DDOT(p, &x(i, 1), x.ld, &got.x(1, j), 1);
    DMat we = weighted(l, e);
    double rss = DDOT(numt, e.data(), 1, we.data(), 1);
    EXPECT_NEAR(got.sigma2[j - 1], rss / got.r2, 1e-12 * rss);
  }
  DMat sx = multiply(s, got.x);
  EXPECT_LT(maxAbs(difference(sx, r)), 1e-13);  // the exact rows hold
  for (int j = 1; j <= p; ++j)
    for (int i = 1; i <= p; ++i) EXPECT_NEAR(got.cov(i, j), inv(i, j), 1e-12);
}

TEST(Gls, DependentExactRowsAreCheckedForConsistency) {
  kova::testing::TempDir dir;
  const int unit = 32, numt = 12, p = 4;
  ASSERT_EQ(openUnit(unit, "msg.txt", "FORMATTED", "UNKNOWN"), 0);
  DMat s = randomMatrix(2, p, 61);
  for (int j = 1; j <= p; ++j) s(2, j) = 2.0 * s(1, j);  // row 2 repeats row 1
  DMat y = randomMatrix(numt, 2, 62), r(2, 2);
  r(1, 1) = 0.5, r(2, 1) = 1.0;  // consistent
  r(1, 2) = 0.5, r(2, 2) = 3.0;  // contradictory
  Constrained c = stack(numt, p, s, y, r, 63);
  GlsOut got = runGls(c.a, c.f, c.b, unit);
  EXPECT_EQ(got.r2, numt - p + 1);
  EXPECT_EQ(got.inconsistent, 1);
  closeUnit(unit, "KEEP");
  EXPECT_EQ(kova::testing::readFile("msg.txt"),
            " IN SUBROUTINE CHKZY2, AMONG           2 Y-VECTORS,           1 Y2-VECTORS ARE "
            "NONZERO.\n");

  // The consistent column is the estimate under the one independent row.
  DMat s1(1, p), r1(1, 1), y1(numt, 1);
  for (int j = 1; j <= p; ++j) s1(1, j) = s(1, j);
  r1(1, 1) = 0.5;
  for (int i = 1; i <= numt; ++i) y1(i, 1) = y(i, 1);
  Constrained c1 = stack(numt, p, s1, y1, r1, 63);
  GlsOut one = runGls(c1.a, c1.f, c1.b);
  for (int i = 1; i <= p; ++i) EXPECT_NEAR(got.x(i, 1), one.x(i, 1), 1e-12);
  EXPECT_NEAR(got.sigma2[0], one.sigma2[0], 1e-12);

  // A size mismatch handed to CHKZY2 itself.
  ASSERT_EQ(openUnit(unit, "mismatch.txt", "FORMATTED", "UNKNOWN"), 0);
  double y2[3] = {0, 0, 0}, scale = 1.0;
  EXPECT_EQ(CHKZY2(5, 3, 1, y2, 3, &scale, kChkzy2Tol, unit), 0);
  closeUnit(unit, "KEEP");
  EXPECT_EQ(kova::testing::readFile("mismatch.txt"),
            " ERROR IN SUBROUTINE CHKZY2: RQA2TB=           5 NRWQ2B=           3\n");
}

TEST(Gls, NoFreeEquationLeavesSigmaSquaredZero) {
  // Square A: b = A x exactly, u = 0.
  const int n = 6;
  DMat a = randomMatrix(n, n, 71), b = randomMatrix(n, 2, 72);
  GlsOut got = runGls(a, lowerFactor(n, 73), b);
  EXPECT_EQ(got.r1, n);
  EXPECT_EQ(got.r2, 0);
  EXPECT_EQ(got.sigma2, (std::vector<double>{0.0, 0.0}));
  EXPECT_LT(maxAbs(difference(got.x, solveSquare(a, b))), 1e-12);

  // Every equation exact (F = 0), consistent data: x exact, zero covariance.
  DMat a2 = randomMatrix(9, 3, 74), x0 = randomMatrix(3, 1, 75);
  GlsOut all = runGls(a2, DMat(9, 9), multiply(a2, x0));
  EXPECT_EQ(all.r2, 0);
  EXPECT_EQ(all.sigma2[0], 0.0);
  EXPECT_EQ(all.inconsistent, 0);
  EXPECT_LT(maxAbs(difference(all.x, x0)), 1e-13);
  EXPECT_EQ(maxAbs(all.cov), 0.0);
}

TEST(Gls, RankDeficientDesignGivesTheMinimumNormEstimate) {
  const int n = 16, p = 5;
  DMat a = randomMatrix(n, p, 81), f = lowerFactor(n, 82), b = randomMatrix(n, 2, 83);
  for (int i = 1; i <= n; ++i) a(i, 4) = a(i, 2) - a(i, 1);  // one dependent column
  GlsOut got = runGls(a, f, b);
  EXPECT_EQ(got.r1, p - 1);
  EXPECT_EQ(got.r2, n - p + 1);
  // Reference: whiten with F^-1 and take dgelsy's minimum-norm solution.
  DMat fi = solveSquare(f, identity(n));
  int rank = 0;
  DMat ref = lapackMinNorm(multiply(fi, a), multiply(fi, b), 1e-10, rank);
  ASSERT_EQ(rank, p - 1);
  EXPECT_LT(maxAbs(difference(got.x, ref)), 1e-12);
}

// With b = F e the estimate is x = L F e; so cov = (LF)(LF)'. L comes from
// the solver itself, one unit right-hand side per column.
void checkCovarianceIsSpread(const DMat& a, const DMat& f, int r1, int r2, const char* what) {
  const int n = a.rows;
  GlsOut lmap = runGls(a, f, identity(n));
  DMat lf = multiply(lmap.x, f);
  DMat ref = multiply(lf, lf, false, true);
  EXPECT_EQ(lmap.r1, r1) << what;
  EXPECT_EQ(lmap.r2, r2) << what;
  EXPECT_EQ(lmap.covStatus, kCovFormed) << what;
  EXPECT_LT(maxAbs(difference(lmap.cov, ref)), 1e-12 * std::max(1.0, maxAbs(ref))) << what;
}

TEST(Gls, CovarianceIsTheSpreadOfTheEstimator) {
  DMat a = randomMatrix(14, 5, 91);
  for (int i = 1; i <= 14; ++i) a(i, 5) = a(i, 1) + a(i, 3);
  checkCovarianceIsSpread(a, lowerFactor(14, 92), 4, 10, "rank-deficient design");

  DMat s = randomMatrix(3, 4, 93), y = randomMatrix(10, 1, 94), r = randomMatrix(3, 1, 95);
  Constrained c = stack(10, 4, s, y, r, 96);
  checkCovarianceIsSpread(c.a, c.f, 4, 9, "exact rows");
  for (int j = 1; j <= 4; ++j) s(3, j) = s(1, j) - s(2, j);  // G2 loses a row of rank
  Constrained dep = stack(10, 4, s, y, r, 96);
  checkCovarianceIsSpread(dep.a, dep.f, 4, 8, "dependent exact rows");

  DMat f = lowerFactor(12, 97);  // a singular factor: one noise direction missing
  for (int i = 1; i <= 12; ++i) f(i, 7) = 0.0;
  checkCovarianceIsSpread(randomMatrix(12, 3, 98), f, 3, 9, "singular factor");
}

TEST(Gls, ZeroDesignAndShortWork) {
  GlsOut zero = runGls(DMat(6, 2), identity(6), randomMatrix(6, 1, 101));
  EXPECT_EQ(zero.r1, 0);
  EXPECT_EQ(zero.r2, 6);
  EXPECT_EQ(maxAbs(zero.x), 0.0);
  EXPECT_EQ(zero.covStatus, kCovNoRank);
  EXPECT_EQ(maxAbs(zero.cov), 0.0);

  DMat a = randomMatrix(6, 2, 102), f = identity(6), b = randomMatrix(6, 1, 103), x(2, 1, 0);
  x(1, 1) = 9.0;
  GlsWorkSizes need = glsWorkSizes(6, 2, 1);
  std::vector<double> wr(need.doubles - 1), sig(1, 9.0);
  std::vector<int> wi(need.ints);
  GlsProblem pr{a.data(), a.ld, f.data(), f.ld, b.data(), b.ld, 6, 2, 1, false};
  GlsResults res{x.data(), x.ld, sig.data(), nullptr, 0};
  EXPECT_FALSE(solveGls(pr, res, GlsWork{wr.data(), need.doubles - 1, wi.data(), need.ints}, 0));
  EXPECT_EQ(x(1, 1), 9.0);
  EXPECT_EQ(sig[0], 9.0);
}

}  // namespace
}  // namespace kova::test
