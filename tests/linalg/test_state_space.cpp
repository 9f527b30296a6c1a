// The state-space kernels against the covariance they stand for, formed
// densely in the test from its definition,
//   Y(t,s) = z(t)' PHI^(t-s) Pi(s) z(s)  (t >= s),  Pi(1) = P1,
//   Pi(t) = PHI Pi(t-1) PHI' + Q,
// and factored by LAPACK: the filter's factor is Y's Cholesky factor, its
// innovations whiten, the adjoint is the transpose, the covariance product
// is Y u, and the smoother gives cov(e, y) Y^-1 r.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "lapack_lsq_ref.h"
#include "linalg/state_space.h"

namespace kova {
namespace {

using V = std::vector<double>;

struct Case {
  int m = 3, n = 40;
  V phi, q, p1, z;
};

// PHI with a complex pair of modulus 0.9 and a real root -0.5 (m = 3), Q
// and P1 positive definite (P1 not the stationary covariance), and a few
// periods whose z(t) is zero.
Case makeCase(unsigned seed) {
  Case c;
  std::mt19937 rng(seed);
  std::normal_distribution<double> g;
  const int m = c.m;
  c.phi = {0.9 * std::cos(0.7),
           0.9 * std::sin(0.7),
           0.0,
           -0.9 * std::sin(0.7),
           0.9 * std::cos(0.7),
           0.0,
           0.2,
           0.1,
           -0.5};
  V b(m * m);
  for (double& x : b) x = g(rng);
  c.q.assign(m * m, 0.0);
  c.p1.assign(m * m, 0.0);
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < m; ++j) {
      for (int k = 0; k < m; ++k) c.q[i + j * m] += 0.3 * b[i + k * m] * b[j + k * m];
      c.p1[i + j * m] = (i == j ? 2.0 : 0.3);
    }
  for (int i = 0; i < m; ++i) c.q[i + i * m] += 0.05;
  c.z.resize(m * c.n);
  for (double& x : c.z) x = g(rng);
  for (int t : {5, 17, 18}) std::fill_n(c.z.begin() + t * m, m, 0.0);
  return c;
}

StateSpaceModel modelOf(Case& c) {
  return {Mat{c.phi.data(), c.m, c.m, c.m}, Mat{c.q.data(), c.m, c.m, c.m},
          Mat{c.p1.data(), c.m, c.m, c.m}, Mat{c.z.data(), c.m, c.m, c.n}};
}

V product(int m, const V& a, const V& b) {  // m x m
  V out(m * m, 0.0);
  for (int j = 0; j < m; ++j)
    for (int k = 0; k < m; ++k)
      for (int i = 0; i < m; ++i) out[i + j * m] += a[i + k * m] * b[k + j * m];
  return out;
}

// cov(e(t), e(s)) for every pair, as m x m blocks: C(t,s) = PHI^(t-s) Pi(s).
std::vector<V> stateCovariance(const Case& c) {
  const int m = c.m, n = c.n;
  std::vector<V> pi(n);
  pi[0] = c.p1;
  V phiT(m * m);
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < m; ++j) phiT[i + j * m] = c.phi[j + i * m];
  for (int t = 1; t < n; ++t) {
    pi[t] = product(m, product(m, c.phi, pi[t - 1]), phiT);
    for (int k = 0; k < m * m; ++k) pi[t][k] += c.q[k];
  }
  std::vector<V> cov(n * n);
  for (int s = 0; s < n; ++s) {
    V a = pi[s];
    for (int t = s; t < n; ++t) {
      cov[t + s * n] = a;
      V at(m * m);
      for (int i = 0; i < m; ++i)
        for (int j = 0; j < m; ++j) at[i + j * m] = a[j + i * m];
      cov[s + t * n] = at;
      a = product(m, c.phi, a);
    }
  }
  return cov;
}

V observationCovariance(const Case& c, const std::vector<V>& cov) {
  const int m = c.m, n = c.n;
  V y(n * n);
  for (int t = 0; t < n; ++t)
    for (int s = 0; s < n; ++s) {
      double sum = 0.0;
      for (int i = 0; i < m; ++i)
        for (int j = 0; j < m; ++j)
          sum += c.z[i + t * m] * cov[t + s * n][i + j * m] * c.z[j + s * m];
      y[t + s * n] = sum;
    }
  return y;
}

double maxAbs(const V& v) {
  double a = 0.0;
  for (double x : v) a = std::max(a, std::abs(x));
  return a;
}

struct Filtered {
  V f, k;
  FilterGains gains() { return {f.data(), Mat{k.data(), 3, 3, static_cast<int>(f.size())}}; }
};

Filtered filter(Case& c) {
  Filtered out;
  out.f.resize(c.n);
  out.k.resize(c.m * c.n);
  std::vector<double> work(1000);
  Scratch s(work.data(), 1000, nullptr, 0, nullptr, 0);
  kalmanGains(modelOf(c), out.gains(), s);
  return out;
}

TEST(StateSpace, FilterFactorsTheCovarianceAndWhitensItsColumns) {
  Case c = makeCase(3);
  const int n = c.n;
  const V y = observationCovariance(c, stateCovariance(c));
  Filtered fl = filter(c);
  // Periods with z(t) = 0 are exact observations, and only those.
  for (int t = 0; t < n; ++t) EXPECT_EQ(fl.f[t] == 0.0, t == 5 || t == 17 || t == 18) << t;

  std::vector<double> work(10000);
  Scratch s(work.data(), 10000, nullptr, 0, nullptr, 0);
  V u(n * n);
  expandFactor(Mat{c.phi.data(), 3, 3, 3}, Mat{c.z.data(), 3, 3, n}, fl.gains(),
               Mat{u.data(), n, n, n}, s);
  V utu(n * n, 0.0);
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i)
      for (int k = 0; k < n; ++k) utu[i + j * n] += u[k + i * n] * u[k + j * n];
  V diff(n * n);
  for (int k = 0; k < n * n; ++k) diff[k] = utu[k] - y[k];
  EXPECT_LE(maxAbs(diff), 1e-12 * maxAbs(y));

  // The innovations v of a column b rebuild it through the factor:
  // b = U' D^-1/2 v, U' lower triangular with the roots of f on its diagonal.
  V b(n * 2), v(n * 2);
  std::mt19937 rng(5);
  std::normal_distribution<double> g;
  for (double& x : b) x = g(rng);
  innovations(Mat{c.phi.data(), 3, 3, 3}, Mat{c.z.data(), 3, 3, n}, fl.gains(),
              Mat{b.data(), n, n, 2}, Mat{v.data(), n, n, 2}, s);
  for (int col = 0; col < 2; ++col)
    for (int t = 0; t < n; ++t) {
      // b(t) = v(t) + sum over r < t of U(r,t) v(r) / sqrt f(r)
      double sum = v[t + col * n];
      for (int r = 0; r < t; ++r)
        if (fl.f[r] > 0.0) sum += u[r + t * n] * v[r + col * n] / std::sqrt(fl.f[r]);
      EXPECT_NEAR(sum, b[t + col * n], 1e-11 * maxAbs(b)) << t;
    }

  // The adjoint: u'(L^-1 b) = (L^-T u)'b.
  V w(n), adj(n);
  for (double& x : w) x = g(rng);
  innovationsAdjoint(Mat{c.phi.data(), 3, 3, 3}, Mat{c.z.data(), 3, 3, n}, fl.gains(), w.data(),
                     adj.data(), s);
  double left = 0.0, right = 0.0;
  for (int t = 0; t < n; ++t) {
    left += w[t] * v[t];
    right += adj[t] * b[t];
  }
  EXPECT_NEAR(left, right, 1e-11 * (std::abs(left) + 1.0));
}

TEST(StateSpace, CovarianceProductAndSmootherAgreeWithTheDenseFormulas) {
  Case c = makeCase(8);
  // No exact periods here: Y is positive definite and LAPACK solves with it.
  for (double& x : c.z)
    if (x == 0.0) x = 0.5;
  const int n = c.n, m = c.m;
  const std::vector<V> cov = stateCovariance(c);
  const V y = observationCovariance(c, cov);
  Filtered fl = filter(c);
  std::vector<double> work(100000);
  Scratch s(work.data(), 100000, nullptr, 0, nullptr, 0);

  std::mt19937 rng(9);
  std::normal_distribution<double> g;
  V r(n), yr(n, 0.0), out(n);
  for (double& x : r) x = g(rng);
  for (int t = 0; t < n; ++t)
    for (int k = 0; k < n; ++k) yr[t] += y[t + k * n] * r[k];
  applyCovariance(modelOf(c), r.data(), out.data(), s);
  for (int t = 0; t < n; ++t) EXPECT_NEAR(out[t], yr[t], 1e-12 * maxAbs(yr)) << t;

  // E[e(t) | y = r] = sum over s of cov(e(t), e(s)) z(s) (Y^-1 r)(s).
  V a = y, x = r;
  int info = 0;
  const char uplo = 'U';
  const int one = 1;
  dpotrf_(&uplo, &n, a.data(), &n, &info, 1);
  ASSERT_EQ(info, 0);
  dpotrs_(&uplo, &n, &one, a.data(), &n, x.data(), &n, &info, 1);
  V expected(m * n, 0.0);
  for (int t = 0; t < n; ++t)
    for (int sIdx = 0; sIdx < n; ++sIdx)
      for (int i = 0; i < m; ++i)
        for (int j = 0; j < m; ++j)
          expected[i + t * m] += cov[t + sIdx * n][i + j * m] * c.z[j + sIdx * m] * x[sIdx];
  V v(n), eps(m * n);
  innovations(Mat{c.phi.data(), 3, 3, 3}, Mat{c.z.data(), 3, 3, n}, fl.gains(),
              Mat{r.data(), n, n, 1}, Mat{v.data(), n, n, 1}, s);
  smoothState(modelOf(c), fl.gains(), v.data(), Mat{eps.data(), m, m, n}, s);
  for (int k = 0; k < m * n; ++k) EXPECT_NEAR(eps[k], expected[k], 1e-10 * maxAbs(expected)) << k;
}

// A singular Q (only the first component is disturbed, the second is zero
// from the start) with a root of PHI at 0.999: every observation sees the
// first component through z(t)(1), so once it is observed the past fixes
// it, and in closed form f(1) = z(1)(1)^2 P1(1,1), f(t) = z(t)(1)^2 Q(1,1)
// and K(t) = (0.999 / z(t)(1), 0) (P(t|t) = 0). Two periods whose z(t)(1)
// is 1e-7 (z(t)(2) of order 1) have variances 1e-14 of |z|^2 trace P:
// small, not zero, and the filter must say so, in its square root and in
// each of its two forms.
TEST(StateSpace, NearlyExactObservationsUnderASingularQ) {
  const int m = 2, n = 60;
  std::mt19937 rng(7);
  std::normal_distribution<double> g;
  V phi = {0.999, 0.0, 0.0, -0.6523}, q = {0.0144226, 0.0, 0.0, 0.0};
  V p1 = {0.0144226 / (1.0 - 0.999 * 0.999), 0.0, 0.0, 0.0}, z(m * n);
  for (double& x : z) x = g(rng);
  for (int t : {20, 40}) z[t * m] = 1.0E-7;
  const StateSpaceModel model{Mat{phi.data(), m, m, m}, Mat{q.data(), m, m, m},
                              Mat{p1.data(), m, m, m}, Mat{z.data(), m, m, n}};
  V uq = {std::sqrt(q[0]), 0.0, 0.0, 0.0}, up1 = {std::sqrt(p1[0]), 0.0, 0.0, 0.0};
  for (bool roots : {false, true}) {
    V f(n), k(m * n);
    std::vector<double> work(kalmanGainsNeed(m).doubles);
    Scratch s(work.data(), static_cast<long long>(work.size()), nullptr, 0, nullptr, 0);
    const FilterGains gains{f.data(), Mat{k.data(), m, m, n}};
    if (roots)
      kalmanGains(model, Mat{uq.data(), m, m, m}, Mat{up1.data(), m, m, m}, gains, s);
    else
      kalmanGains(model, gains, s);
    for (int t = 0; t < n; ++t) {
      const double z1 = z[t * m];
      const double expected = z1 * z1 * (t == 0 ? p1[0] : q[0]);
      EXPECT_NEAR(f[t], expected, 1e-13 * expected) << "t " << t + 1 << " roots " << roots;
      EXPECT_NEAR(k[t * m], 0.999 / z1, 1e-13 * std::abs(0.999 / z1)) << "t " << t + 1;
      EXPECT_EQ(k[t * m + 1], 0.0) << "t " << t + 1;
    }
  }
}

}  // namespace
}  // namespace kova
