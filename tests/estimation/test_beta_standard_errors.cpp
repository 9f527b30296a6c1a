// The standard errors of BETA(t) where the state covariance is hard to
// carry: a PHI with eigenvalues near 0.95 and a norm of 1.65 (the point an
// iterative pass reached on a simulated group, where the errors used to
// drift away from period 30 on and end in zeros and NaN). The reference is
// the variance of the error formed densely through LAPACK:
//   SIGMA**2 L (GAMMA - C(t) Y^-1 C(t)') L' + G(t) COV G(t)',
//   G(t) = Z(t) - L C(t) Y^-1 XZ,  COV = SIGMA**2 (XZ' Y^-1 XZ)^-1,
// C(t) = cov(EPSILON(t), y) / SIGMA**2, Y = YSIGMA from its definition and
// GAMMA from the Kronecker system.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "data/group_dims.h"
#include "estimation/beta_standard_errors.h"
#include "linalg/lapack_linpack_ref.h"
#include "linalg/lapack_lsq_ref.h"

namespace kova {
namespace {

using test::DMat;

Mat view(DMat &a) { return Mat{a.data(), a.ld, a.rows, a.cols}; }

struct NearUnitRootGroup {
  int T = 150, K = 2, M = 2;
  DMat phi{2, 2}, delta{2, 2}, gamma{2, 2}, tlx, xz, L, Z;
};

NearUnitRootGroup makeGroup(unsigned seed) {
  NearUnitRootGroup g;
  const double phi[] = {0.6126607117048009, -0.11717131806248285, 0.99114920371534,
                        1.2861192919982871};
  const double delta[] = {0.5761151926273396, 0.09365811984423425, 0.09365811984423425,
                          0.4266414926452442};
  for (int i = 0; i < 4; ++i) {
    g.phi(i % 2 + 1, i / 2 + 1) = phi[i];
    g.delta(i % 2 + 1, i / 2 + 1) = delta[i];
  }
  DMat a(4, 4), gv(4, 1);
  for (int j = 1; j <= 2; ++j)
    for (int i = 1; i <= 2; ++i) {
      gv((j - 1) * 2 + i, 1) = g.delta(i, j);
      for (int l = 1; l <= 2; ++l)
        for (int k = 1; k <= 2; ++k)
          a((j - 1) * 2 + i, (l - 1) * 2 + k) =
              (i == k && j == l ? 1.0 : 0.0) - g.phi(i, k) * g.phi(j, l);
    }
  gv = test::solveSquare(a, gv);
  for (int j = 1; j <= 2; ++j)
    for (int i = 1; i <= 2; ++i) g.gamma(i, j) = gv((j - 1) * 2 + i, 1);
  // x(t) = (1, 1 + N(0,1)), L = I, z(t) = 1: XZ = X', TLX = X.
  std::mt19937 rng(seed);
  std::normal_distribution<double> normal;
  g.tlx = DMat(2, g.T);
  g.xz = DMat(g.T, 2);
  g.Z = DMat(1, g.T);
  for (int t = 1; t <= g.T; ++t) {
    g.tlx(1, t) = g.xz(t, 1) = g.Z(1, t) = 1.0;
    g.tlx(2, t) = g.xz(t, 2) = 1.0 + normal(rng);
  }
  g.L = test::identity(2);
  return g;
}

TEST(BetaStandardErrors, RightNearAUnitRootWithANonNormalPhi) {
  for (unsigned seed : {1u, 4u, 5u}) {
    SCOPED_TRACE(seed);
    NearUnitRootGroup g = makeGroup(seed);
    const int T = g.T, M = g.M, K = g.K;
    const double sigma2 = 0.16;
    std::vector<DMat> powers(T, DMat(M, M));
    powers[0] = test::identity(M);
    for (int h = 1; h < T; ++h) powers[h] = test::multiply(g.phi, powers[h - 1]);
    std::vector<DMat> C(T + 1, DMat(M, T));
    for (int t = 1; t <= T; ++t)
      for (int s = 1; s <= T; ++s) {
        const DMat e = t >= s ? test::multiply(powers[t - s], g.gamma)
                              : test::multiply(g.gamma, powers[s - t], false, true);
        for (int i = 1; i <= M; ++i)
          for (int l = 1; l <= M; ++l) C[t](i, s) += e(i, l) * g.tlx(l, s);
      }
    DMat Y(T, T);
    for (int t = 1; t <= T; ++t)
      for (int s = 1; s <= T; ++s)
        for (int i = 1; i <= M; ++i) Y(t, s) += g.tlx(i, t) * C[t](i, s);
    const DMat YX = test::solveSquare(Y, g.xz);
    DMat cov = test::solveSquare(test::multiply(g.xz, YX, true, false), test::identity(K));
    for (int j = 1; j <= K; ++j)
      for (int i = 1; i <= K; ++i) cov(i, j) *= sigma2;

    BetaErrorInputs in;
    in.phi = view(g.phi);
    in.delta = view(g.delta);
    in.gamma = view(g.gamma);
    in.tlx = view(g.tlx);
    in.xz = view(g.xz);
    in.L = view(g.L);
    in.Z = view(g.Z);
    in.cov = view(cov);
    in.sigma2 = sigma2;
    const GroupDims d{T, 0, K, 1, M};
    const ScratchNeed need = betaStandardErrorsNeed(d);
    std::vector<double> wr(need.doubles);
    std::vector<int> wi(need.ints + 1);
    DMat se(K, T);
    betaStandardErrors(in, view(se),
                       Scratch(wr.data(), need.doubles, wi.data(), need.ints + 1, nullptr, 0));

    for (int t = 1; t <= T; ++t) {
      DMat tr(T, M);
      for (int s = 1; s <= T; ++s)
        for (int i = 1; i <= M; ++i) tr(s, i) = C[t](i, s);
      const DMat YC = test::solveSquare(Y, tr);        // Y^-1 C(t)'
      const DMat V = test::multiply(C[t], YC);         // C Y^-1 C'
      DMat G = test::multiply(YC, g.xz, true, false);  // S(t) XZ, L = I
      for (int j = 1; j <= K; ++j)
        for (int i = 1; i <= K; ++i) G(i, j) = (i == j ? 1.0 : 0.0) - G(i, j);
      const DMat GCG = test::multiply(test::multiply(G, cov), G, false, true);
      for (int k = 1; k <= K; ++k) {
        const double var = sigma2 * (g.gamma(k, k) - V(k, k)) + GCG(k, k);
        // Rounding of the dense reference itself: relative to the prior
        // variance of BETA_k(t), GAMMA(k,k) in the hundreds.
        const double scale = sigma2 * g.gamma(k, k) + cov(k, k);
        ASSERT_TRUE(std::isfinite(se(k, t))) << "k " << k << ", t " << t;
        EXPECT_GT(se(k, t), 0.0) << "k " << k << ", t " << t;
        EXPECT_NEAR(se(k, t) * se(k, t), var, 1e-11 * scale) << "k " << k << ", t " << t;
        EXPECT_NEAR(se(k, t), std::sqrt(var), 1e-6 * std::sqrt(var)) << "k " << k << ", t " << t;
      }
    }
  }
}

}  // namespace
}  // namespace kova
