// The mean square error of BETA^(t) under ML (Hamilton's simulation over
// draws of PHI and DELTA), against everything formed densely through LAPACK
// at the same draws: YSIGMA from its definition (GAMMA from the Kronecker
// system), PI^ by generalised least squares, EPSILON^(t) = C(t) Y^-1 e and
// Var(EPSILON(t) | e) = GAMMA - C(t) Y^-1 C(t)', C(t) = cov(EPSILON(t), y),
// the forecast periods through PHI^h; DELTA drawn through its LAPACK
// Cholesky factor, each direction's step of the factor solved from
// dU'U + U'dU = dDELTA; PHI's stationarity from LAPACK's eigenvalues.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "likelihood/beta_parameter_spread.h"
#include "linalg/lapack_eispack_ref.h"
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

// BETA^ (K x (T + TF)) at PHI, DELTA, densely, and SIGMA**2 diag(L V(t) L')
// with V(t) = Var(EPSILON(t) | e) / SIGMA**2 = GAMMA - C(t) Y^-1 C(t)'
// (forecast periods: C(T+h) = PHI^h C(T) gives the same form).
struct Dense {
  DMat beta, smoothing;
  DMat pi, cov;  // PI^ by GLS and SIGMA**2 (XZ' Y^-1 XZ)^-1
};

Dense denseAt(const Case& c, const DMat& phi, const DMat& delta, double sigma2) {
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
  const DMat info = test::multiply(c.xz, YX, true, false);
  const DMat pi = test::solveSquare(info, test::multiply(c.xz, Yy, true, false));
  DMat cov = test::solveSquare(info, test::identity(n));
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i) cov(i, j) *= sigma2;
  DMat r = yv;
  for (int t = 1; t <= T; ++t)
    for (int j = 1; j <= n; ++j) r(t, 1) -= c.xz(t, j) * pi(j, 1);
  const DMat e = test::solveSquare(Y, r);
  Dense out{DMat(K, T + c.TF), DMat(K, T + c.TF), pi, cov};
  for (int t = 1; t <= T + c.TF; ++t) {
    const int h = std::max(t - T, 0);
    const DMat ct = test::multiply(powers[h], C(t - h));
    const DMat eps = test::multiply(ct, e);
    const DMat V = [&] {
      DMat v = test::multiply(ct, test::solveSquare(Y, [&] {
                                DMat tr(T, M);
                                for (int s = 1; s <= T; ++s)
                                  for (int i = 1; i <= M; ++i) tr(s, i) = ct(i, s);
                                return tr;
                              }()));
      for (int j = 1; j <= M; ++j)
        for (int i = 1; i <= M; ++i) v(i, j) = gamma(i, j) - v(i, j);
      return v;
    }();
    for (int k = 1; k <= K; ++k) {
      double b = 0.0, var = 0.0;
      for (int p = 1; p <= c.P; ++p)
        b += pi((p - 1) * K + k, 1) * (h == 0 ? c.z(p, t) : c.zF(p, h));
      for (int m = 1; m <= M; ++m) b += c.L(k, m) * eps(m, 1);
      for (int i = 1; i <= M; ++i)
        for (int j = 1; j <= M; ++j) var += c.L(k, i) * V(i, j) * c.L(k, j);
      out.beta(k, t) = b;
      out.smoothing(k, t) = sigma2 * var;
    }
  }
  return out;
}

// The upper triangular dU with dU'U + U'dU = dD, solved as a linear system
// in its M(M+1)/2 entries (the equations of the upper triangle).
DMat factorStep(const DMat& U, const DMat& dD) {
  const int M = U.rows, q = M * (M + 1) / 2;
  DMat A(q, q), rhs(q, 1);
  auto index = [](int i, int j) { return (j - 1) * j / 2 + i; };  // i <= j
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= j; ++i) {
      const int row = index(i, j);
      rhs(row, 1) = dD(i, j);
      // (dU'U + U'dU)(i, j) = sum_l dU(l, i) U(l, j) + U(l, i) dU(l, j).
      for (int l = 1; l <= M; ++l) {
        if (l <= i) A(row, index(l, i)) += U(l, j);
        if (l <= j) A(row, index(l, j)) += U(l, i);
      }
    }
  const DMat x = test::solveSquare(A, rhs);
  DMat dU(M, M);
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= j; ++i) dU(i, j) = x(index(i, j), 1);
  return dU;
}

TEST(BetaParameterSpread, SimulatedMeanSquareErrorAgreesWithDenseEvaluationAtTheDraws) {
  Case c = makeCase(41);
  const int M = c.M, K = c.K, T = c.T, periods = c.T + c.TF;
  const double sigma2 = 1.3;
  // Two directions: one moves PHI and DELTA together, one DELTA alone.
  DMat spread(2 * M * M, 2);
  const double d1[] = {0.05, -0.02, 0.03, 0.04, 0.06, 0.01, 0.01, -0.03};
  const double d2[] = {0.0, 0.0, 0.0, 0.0, -0.05, 0.02, 0.02, 0.04};
  for (int i = 1; i <= 2 * M * M; ++i) {
    spread(i, 1) = d1[i - 1];
    spread(i, 2) = d2[i - 1];
  }
  // Four draws; the third takes PHI out of the stationary region (an
  // eigenvalue beyond 1) and must be dropped.
  DMat draws(2, 4);
  const double z[] = {0.7, -1.2, -0.4, 0.9, 12.0, 0.0, 1.5, 1.1};
  for (int i = 0; i < 8; ++i) draws(i % 2 + 1, i / 2 + 1) = z[i];
  // The errors at known theta: the smoothing part and a small part of PI,
  // so that what the draws add is most of the result.
  const Dense at = denseAt(c, c.phi, c.delta, sigma2);
  DMat se(K, periods);
  for (int t = 1; t <= periods; ++t)
    for (int k = 1; k <= K; ++k) se(k, t) = std::sqrt(at.smoothing(k, t) + 1e-4 * k);
  const DMat before = se;

  SpreadInputs in;
  in.data = MlData{view(c.tlx), view(c.xz), c.y.data(), PiRestrictionView{Mat{}, nullptr, 0}};
  in.phi = view(c.phi);
  in.delta = view(c.delta);
  in.sigma2 = sigma2;
  in.L = view(c.L);
  in.Z = view(c.z);
  in.ZF = view(c.zF);
  in.spread = view(spread);
  in.count = 2;
  in.draws = view(draws);
  // PI's covariance at theta^ in; with the draws' spread out.
  DMat piCov = at.cov;
  in.piCov = view(piCov);
  GroupDims d{T, c.TF, K, c.P, M};
  const ScratchNeed need = addParameterSpreadNeed(d, 0);
  std::vector<double> wr(need.doubles);
  std::vector<int> wi(need.ints + 1);
  addParameterSpread(in, view(se),
                     Scratch(wr.data(), need.doubles, wi.data(), need.ints + 1, nullptr, 0));

  // The reference: DELTA through its LAPACK Cholesky factor, the draws
  // whose PHI is stationary (LAPACK's eigenvalues), everything dense.
  DMat U = c.delta;
  int info = 0;
  dpotrf_("U", &M, U.data(), &U.ld, &info, 1);
  ASSERT_EQ(info, 0);
  for (int j = 1; j <= M; ++j)
    for (int i = j + 1; i <= M; ++i) U(i, j) = 0.0;
  std::vector<DMat> dU;
  for (int l = 1; l <= 2; ++l) {
    DMat dD(M, M);
    for (int j = 1; j <= M; ++j)
      for (int i = 1; i <= M; ++i) dD(i, j) = spread(M * M + (j - 1) * M + i, l);
    dU.push_back(factorStep(U, dD));
  }
  DMat sum(K, periods);
  const int n = c.xz.cols;
  DMat piSum(n, n);
  int used = 0;
  for (int i = 1; i <= 4; ++i) {
    DMat phi = c.phi, u = U;
    for (int l = 1; l <= 2; ++l)
      for (int col = 1; col <= M; ++col)
        for (int row = 1; row <= M; ++row) {
          phi(row, col) += draws(l, i) * spread((col - 1) * M + row, l);
          u(row, col) += draws(l, i) * dU[l - 1](row, col);
        }
    DMat work = phi, vl(1, 1), vr(1, 1);
    std::vector<double> re(M), im(M), lwork(8 * M);
    int lw = 8 * M, one = 1;
    dgeev_("N", "N", &M, work.data(), &work.ld, re.data(), im.data(), vl.data(), &one, vr.data(),
           &one, lwork.data(), &lw, &info, 1, 1);
    double radius = 0.0;
    for (int k = 0; k < M; ++k) radius = std::max(radius, std::hypot(re[k], im[k]));
    if (radius >= 1.0) {
      EXPECT_EQ(i, 3);
      continue;
    }
    ++used;
    const Dense di = denseAt(c, phi, test::multiply(u, u, true, false), sigma2);
    for (int t = 1; t <= periods; ++t)
      for (int k = 1; k <= K; ++k) {
        const double move = di.beta(k, t) - at.beta(k, t);
        sum(k, t) += di.smoothing(k, t) + move * move;
      }
    for (int j = 1; j <= n; ++j)
      for (int l = 1; l <= n; ++l)
        piSum(l, j) += di.cov(l, j) + (di.pi(l, 1) - at.pi(l, 1)) * (di.pi(j, 1) - at.pi(j, 1));
  }
  ASSERT_EQ(used, 3);
  double widened = 0.0;
  for (int t = 1; t <= periods; ++t)
    for (int k = 1; k <= K; ++k) {
      const double want =
          std::sqrt(before(k, t) * before(k, t) - at.smoothing(k, t) + sum(k, t) / used);
      EXPECT_NEAR(se(k, t), want, 1e-8 * want) << "k " << k << ", t " << t;
      widened = std::max(widened, want / before(k, t) - 1.0);
    }
  // The draws move the errors enough for the check to mean something.
  EXPECT_GT(widened, 0.05);
  // PI: the mean of the conditional covariances and of the squared moves.
  double piWidened = 0.0;
  for (int j = 1; j <= n; ++j) {
    for (int l = 1; l <= n; ++l) {
      const double want = piSum(l, j) / used;
      EXPECT_NEAR(piCov(l, j), want, 1e-8 * std::sqrt(piSum(l, l) * piSum(j, j)) / used)
          << l << "," << j;
    }
    piWidened = std::max(piWidened, piCov(j, j) / at.cov(j, j) - 1.0);
  }
  EXPECT_GT(piWidened, 0.05);
}

// A diagonal PHI drawn beyond 1, for a state that no innovation variance
// sees: its stationary "covariance" DELTA(2,2) / (1 - PHI(2,2)^2) is
// negative, yet the filter finds every f(t) positive. The draw has no
// stationary law and must be dropped, not smoothed (a negative variance, or
// with the square-root filter one growing over the periods: 1e147 after 700
// periods of a simulated group). The errors with it among the draws equal
// those from the other draws alone, and stay within a few times 1.
TEST(BetaParameterSpread, DiagonalPhiDrawnBeyondOneIsDropped) {
  Case c = makeCase(43);
  const int M = c.M, K = c.K, T = c.T, periods = c.T + c.TF;
  c.phi(2, 1) = c.phi(1, 2) = 0.0;
  c.delta(1, 2) = c.delta(2, 1) = 0.0;
  c.delta(1, 1) = 1.0;
  c.delta(2, 2) = 0.2;
  // The second state unobserved (L(:,2)'x(t) = 0: x(3,t) = x(2,t)), so that
  // no innovation variance shows what its drawn PHI(2,2) does, while it
  // still enters BETA(2,t) and BETA(3,t).
  for (int t = 1; t <= T; ++t) {
    c.xz(t, 3) = c.xz(t, 2);
    c.xz(t, c.K + 3) = c.xz(t, c.K + 2);
  }
  for (int k = 1; k <= K; ++k) c.L(k, 2) = k == 1 ? 0.0 : k == 2 ? 1.0 : -1.0;
  for (int t = 1; t <= T; ++t)
    for (int m = 1; m <= M; ++m) {
      double sum = 0.0;
      for (int k = 1; k <= K; ++k) sum += c.L(k, m) * c.xz(t, k);
      c.tlx(m, t) = sum;
    }
  // One direction: PHI(2,2) alone.
  DMat spread(2 * M * M, 1);
  spread(4, 1) = 0.5;
  const double sigma2 = 1.0;
  auto run = [&](const std::vector<double>& zs) {
    DMat draws(1, static_cast<int>(zs.size()));
    for (std::size_t i = 0; i < zs.size(); ++i) draws(1, static_cast<int>(i) + 1) = zs[i];
    DMat se(K, periods);
    for (int t = 1; t <= periods; ++t)
      for (int k = 1; k <= K; ++k) se(k, t) = 1.0;
    SpreadInputs in;
    in.data = MlData{view(c.tlx), view(c.xz), c.y.data(), PiRestrictionView{Mat{}, nullptr, 0}};
    in.phi = view(c.phi);
    in.delta = view(c.delta);
    in.sigma2 = sigma2;
    in.L = view(c.L);
    in.Z = view(c.z);
    in.ZF = view(c.zF);
    in.spread = view(spread);
    in.count = 1;
    in.draws = view(draws);
    GroupDims d{T, c.TF, K, c.P, M};
    const ScratchNeed need = addParameterSpreadNeed(d, 0);
    std::vector<double> wr(need.doubles);
    std::vector<int> wi(need.ints + 1);
    const int accepted = addParameterSpread(
        in, view(se), Scratch(wr.data(), need.doubles, wi.data(), need.ints + 1, nullptr, 0));
    return std::make_pair(accepted, se);
  };
  // PHI(2,2) = 0.6 + 0.5 z: z = 0.84 puts it at 1.02.
  const auto with = run({0.3, 0.84, -0.5});
  const auto without = run({0.3, -0.5});
  EXPECT_EQ(with.first, 2);
  EXPECT_EQ(without.first, 2);
  for (int t = 1; t <= periods; ++t)
    for (int k = 1; k <= K; ++k) {
      EXPECT_EQ(with.second(k, t), without.second(k, t)) << k << "," << t;
      EXPECT_LT(with.second(k, t), 10.0) << k << "," << t;
    }
}

// Draws from one seed are the same every time and look standard normal.
TEST(BetaParameterSpread, DrawsAreReproducibleAndStandardNormal) {
  DMat a(7, 2000), b(7, 2000);
  standardNormalDraws(11, view(a));
  standardNormalDraws(11, view(b));
  double mean = 0.0, square = 0.0;
  for (int j = 1; j <= a.cols; ++j)
    for (int i = 1; i <= a.rows; ++i) {
      ASSERT_EQ(a(i, j), b(i, j));
      mean += a(i, j);
      square += a(i, j) * a(i, j);
    }
  const double n = 7.0 * 2000.0;
  EXPECT_NEAR(mean / n, 0.0, 4.0 / std::sqrt(n));
  EXPECT_NEAR(square / n, 1.0, 4.0 * std::sqrt(2.0 / n));
}

// The factor that the likelihood step hands over spans the covariance it
// reports: sum_l c_l c_l' equals the covariance of PHI's elements and that of
// SIGMA**2 DELTA's over SIGMA**2**2, on a group simulated from the model.
TEST(BetaParameterSpread, FactorOfTheLikelihoodStepSpansItsCovariance) {
  // 200 periods of y = XZ (1, 0.5, 0, ...)' + x~'EPSILON, full PHI and DELTA.
  Case c = makeCase(7);
  c.T = 200;
  c.tlx = test::randomMatrix(c.M, c.T, 9);
  c.xz = test::randomMatrix(c.T, c.K * c.P, 10);
  c.y.assign(c.T, 0.0);
  std::mt19937 rng(8);
  std::normal_distribution<double> g;
  double e1 = 0.0, e2 = 0.0;
  for (int t = 1; t <= c.T; ++t) {
    const double a1 = std::sqrt(0.4) * g(rng), a2 = std::sqrt(0.2) * g(rng);
    const double n1 = 0.5 * e1 + 0.2 * e2 + a1, n2 = -0.3 * e1 + 0.6 * e2 + a2;
    e1 = n1;
    e2 = n2;
    c.y[t - 1] = c.xz(t, 1) + 0.5 * c.xz(t, 2) + c.tlx(1, t) * e1 + c.tlx(2, t) * e2;
  }
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
