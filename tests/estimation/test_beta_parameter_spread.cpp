// The variance that the estimation of PHI and DELTA adds to BETA^(t), against
// BETA^ formed densely: YSIGMA from its definition (GAMMA from the Kronecker
// system), PI^ = (XZ' Y^-1 XZ)^-1 XZ' Y^-1 y and EPSILON^(t) = C(t) Y^-1
// (y - XZ PI^), C(t) = cov(EPSILON(t), y), all through LAPACK; the forecast
// periods PI^ zF + L PHI^h EPSILON^(T). Its derivative along each direction is
// taken by a central difference a hundred times finer than the code's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "estimation/beta_parameter_spread.h"
#include "linalg/lapack_lsq_ref.h"

namespace kova {
namespace {

using test::DMat;

Mat view(DMat& a) { return Mat{a.data(), a.ld, a.rows, a.cols}; }

struct Case {
  int T = 40, TF = 3, K = 3, P = 2, M = 2;
  DMat phi, delta, tlx, xz, L, z, zF;
  std::vector<double> y;
};

Case makeCase(unsigned seed) {
  Case c;
  std::mt19937 rng(seed);
  std::normal_distribution<double> g;
  c.phi = DMat(2, 2);
  c.phi(1, 1) = 0.5;
  c.phi(2, 1) = -0.3;
  c.phi(1, 2) = 0.2;
  c.phi(2, 2) = 0.6;
  c.delta = DMat(2, 2);
  c.delta(1, 1) = 0.4;
  c.delta(2, 2) = 0.2;
  c.delta(1, 2) = c.delta(2, 1) = 0.05;
  DMat x(c.K, c.T);
  c.z = DMat(c.P, c.T);
  for (int t = 1; t <= c.T; ++t) {
    x(1, t) = c.z(1, t) = 1.0;
    for (int k = 2; k <= c.K; ++k) x(k, t) = 1.0 + g(rng);
    c.z(2, t) = g(rng);
  }
  c.zF = test::randomMatrix(c.P, c.TF, seed + 1);
  c.L = test::randomMatrix(c.K, c.M, seed + 2);
  c.tlx = test::multiply(c.L, x, true, false);
  c.xz = DMat(c.T, c.K * c.P);
  for (int t = 1; t <= c.T; ++t)
    for (int p = 1; p <= c.P; ++p)
      for (int k = 1; k <= c.K; ++k) c.xz(t, (p - 1) * c.K + k) = c.z(p, t) * x(k, t);
  c.y.resize(c.T);
  for (double& v : c.y) v = 2.0 + g(rng);
  return c;
}

// BETA^ (K x (T + TF)) at PHI, DELTA, densely.
DMat denseBeta(const Case& c, const DMat& phi, const DMat& delta) {
  const int T = c.T, M = c.M, K = c.K, n = c.xz.cols;
  DMat a(M * M, M * M), gv(M * M, 1);
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) {
      gv((j - 1) * M + i, 1) = delta(i, j);
      for (int l = 1; l <= M; ++l)
        for (int k = 1; k <= M; ++k)
          a((j - 1) * M + i, (l - 1) * M + k) =
              (i == k && j == l ? 1.0 : 0.0) - phi(i, k) * phi(j, l);
    }
  gv = test::solveSquare(a, gv);
  DMat gamma(M, M);
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) gamma(i, j) = gv((j - 1) * M + i, 1);
  std::vector<DMat> powers(T + c.TF, DMat(M, M));
  powers[0] = test::identity(M);
  for (int h = 1; h < T + c.TF; ++h) powers[h] = test::multiply(phi, powers[h - 1]);
  // C(t)(:, s) = cov(EPSILON(t), y(s)) / SIGMA**2.
  auto C = [&](int t) {
    DMat out(M, T);
    for (int s = 1; s <= T; ++s) {
      const DMat e = t >= s ? test::multiply(powers[t - s], gamma)
                            : test::multiply(gamma, powers[s - t], false, true);
      for (int i = 1; i <= M; ++i)
        for (int l = 1; l <= M; ++l) out(i, s) += e(i, l) * c.tlx(l, s);
    }
    return out;
  };
  DMat Y(T, T);
  for (int t = 1; t <= T; ++t) {
    const DMat ct = C(t);
    for (int s = 1; s <= T; ++s)
      for (int i = 1; i <= M; ++i) Y(t, s) += c.tlx(i, t) * ct(i, s);
  }
  DMat yv(T, 1);
  for (int t = 1; t <= T; ++t) yv(t, 1) = c.y[t - 1];
  const DMat YX = test::solveSquare(Y, c.xz), Yy = test::solveSquare(Y, yv);
  const DMat pi = test::solveSquare(test::multiply(c.xz, YX, true, false),
                                    test::multiply(c.xz, Yy, true, false));
  const DMat e = test::solveSquare(Y, [&] {
    DMat r = yv;
    for (int t = 1; t <= T; ++t)
      for (int j = 1; j <= n; ++j) r(t, 1) -= c.xz(t, j) * pi(j, 1);
    return r;
  }());
  DMat beta(K, T + c.TF);
  for (int t = 1; t <= T + c.TF; ++t) {
    const int h = std::max(t - T, 0);
    const DMat eps = test::multiply(powers[h], test::multiply(C(t - h), e));
    for (int k = 1; k <= K; ++k) {
      double b = 0.0;
      for (int p = 1; p <= c.P; ++p)
        b += pi((p - 1) * K + k, 1) * (h == 0 ? c.z(p, t) : c.zF(p, h));
      for (int m = 1; m <= M; ++m) b += c.L(k, m) * eps(m, 1);
      beta(k, t) = b;
    }
  }
  return beta;
}

TEST(BetaParameterSpread, AddsTheVarianceOfTheDenseEstimateAlongEachDirection) {
  Case c = makeCase(41);
  const int M = c.M, K = c.K, T = c.T, periods = c.T + c.TF;
  // Two directions: one moves PHI and DELTA together, one DELTA alone.
  DMat spread(2 * M * M, 2);
  const double d1[] = {0.05, -0.02, 0.03, 0.04, 0.06, 0.01, 0.01, -0.03};
  const double d2[] = {0.0, 0.0, 0.0, 0.0, -0.05, 0.02, 0.02, 0.04};
  for (int i = 1; i <= 2 * M * M; ++i) {
    spread(i, 1) = d1[i - 1];
    spread(i, 2) = d2[i - 1];
  }
  DMat se(K, periods);
  for (int t = 1; t <= periods; ++t)
    for (int k = 1; k <= K; ++k) se(k, t) = 0.1 * k + 0.001 * t;
  const DMat before = se;

  SpreadInputs in;
  in.data = MlData{view(c.tlx), view(c.xz), c.y.data(), PiRestrictionView{Mat{}, nullptr, 0}};
  in.phi = view(c.phi);
  in.delta = view(c.delta);
  in.L = view(c.L);
  in.Z = view(c.z);
  in.ZF = view(c.zF);
  in.spread = view(spread);
  in.count = 2;
  GroupDims d{T, c.TF, K, c.P, M};
  const ScratchNeed need = addParameterSpreadNeed(d, 0);
  std::vector<double> wr(need.doubles);
  std::vector<int> wi(need.ints + 1);
  addParameterSpread(in, view(se),
                     Scratch(wr.data(), need.doubles, wi.data(), need.ints + 1, nullptr, 0));

  const double h = 1e-4;
  DMat added(K, periods);
  for (int l = 1; l <= 2; ++l) {
    DMat phiP = c.phi, phiM = c.phi, deltaP = c.delta, deltaM = c.delta;
    for (int j = 1; j <= M; ++j)
      for (int i = 1; i <= M; ++i) {
        const double dp = spread((j - 1) * M + i, l), dd = spread(M * M + (j - 1) * M + i, l);
        phiP(i, j) += h * dp;
        phiM(i, j) -= h * dp;
        deltaP(i, j) += h * dd;
        deltaM(i, j) -= h * dd;
      }
    const DMat up = denseBeta(c, phiP, deltaP), down = denseBeta(c, phiM, deltaM);
    for (int t = 1; t <= periods; ++t)
      for (int k = 1; k <= K; ++k) {
        const double slope = (up(k, t) - down(k, t)) / (2.0 * h);
        added(k, t) += slope * slope;
      }
  }
  double largest = 0.0;
  for (int t = 1; t <= periods; ++t)
    for (int k = 1; k <= K; ++k) {
      largest = std::max(largest, added(k, t));
      const double want = std::sqrt(before(k, t) * before(k, t) + added(k, t));
      EXPECT_NEAR(se(k, t), want, 1e-5 * want) << "k " << k << ", t " << t;
    }
  // The directions move BETA^ enough for the check to mean something.
  EXPECT_GT(largest, 1e-3);
}

// The factor that the likelihood step hands over spans the covariance it
// reports: sum_l c_l c_l' equals the covariance of PHI's elements and that of
// SIGMA**2 DELTA's over SIGMA**2**2, on a group simulated from the model.
TEST(BetaParameterSpread, FactorOfTheLikelihoodStepSpansItsCovariance) {
  Case c = makeCase(7);
  c.T = 200;
  c = [&] {
    Case big = c;
    std::mt19937 rng(8);
    std::normal_distribution<double> g;
    big.tlx = test::randomMatrix(big.M, big.T, 9);
    big.xz = test::randomMatrix(big.T, big.K * big.P, 10);
    big.y.assign(big.T, 0.0);
    double e1 = 0.0, e2 = 0.0;
    for (int t = 1; t <= big.T; ++t) {
      const double a1 = std::sqrt(0.4) * g(rng), a2 = std::sqrt(0.2) * g(rng);
      const double n1 = 0.5 * e1 + 0.2 * e2 + a1, n2 = -0.3 * e1 + 0.6 * e2 + a2;
      e1 = n1;
      e2 = n2;
      big.y[t - 1] = big.xz(t, 1) + 0.5 * big.xz(t, 2) + big.tlx(1, t) * e1 + big.tlx(2, t) * e2;
    }
    return big;
  }();
  const int M = c.M;
  MlData data{view(c.tlx), view(c.xz), c.y.data(), PiRestrictionView{Mat{}, nullptr, 0}};
  MlForm form;
  GroupDims d{c.T, 0, c.K, c.P, M};
  const ScratchNeed need = estimateMaxLikelihoodNeed(d, 0, 0);
  std::vector<double> wr(need.doubles);
  std::vector<int> wi(need.ints + 1);
  DMat phi(M, M), delta(M, M), phiCov(M * M, M * M), sdeltaCov(M * M, M * M);
  DMat spread(2 * M * M, mlSpreadColumns(M));
  MlResult r;
  r.phi = view(phi);
  r.delta = view(delta);
  r.phiCov = view(phiCov);
  r.sdeltaCov = view(sdeltaCov);
  r.spread = view(spread);
  DMat start = test::identity(M), zero(M, M);
  estimateMaxLikelihood(data, form, RestrictionRows{}, view(zero), view(start), r,
                        Scratch(wr.data(), need.doubles, wi.data(), need.ints + 1, nullptr, 0));
  ASSERT_EQ(r.status, MlStatus::Converged);
  ASSERT_TRUE(r.covariance);
  ASSERT_EQ(r.spreadCount, M * M + M * (M + 1) / 2);
  for (int a = 1; a <= M * M; ++a)
    for (int b = 1; b <= M * M; ++b) {
      double cp = 0.0, cd = 0.0;
      for (int l = 1; l <= r.spreadCount; ++l) {
        cp += spread(a, l) * spread(b, l);
        cd += spread(M * M + a, l) * spread(M * M + b, l);
      }
      const double scale = r.sigma2 * r.sigma2;
      EXPECT_NEAR(cp, phiCov(a, b), 1e-12 + 1e-9 * std::fabs(phiCov(a, b))) << a << "," << b;
      EXPECT_NEAR(cd * scale, sdeltaCov(a, b), 1e-12 + 1e-9 * std::fabs(sdeltaCov(a, b)))
          << a << "," << b;
    }
}

}  // namespace
}  // namespace kova
