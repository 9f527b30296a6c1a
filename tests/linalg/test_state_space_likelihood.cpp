// The likelihood's filter sweep and score at every state order the sweep
// has a form of its own for (and one beyond), with a diagonal and a full
// PHI, against the observations' covariance Y formed densely from its
// definition and factored by LAPACK: Y = L L', f(t) = L(t,t)^2, the
// innovations of b are L(t,t) (L^-1 b)(t), and the score is checked by
// central differences of l = -1/2 log det Y - 1/2 u'Y^-1 u.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "lapack_lsq_ref.h"
#include "linalg/state_space_likelihood.h"

namespace kova {
namespace {

using V = std::vector<double>;

struct Model {
  int m = 0, n = 0;
  V phi, q, p1, z;
  StateSpaceModel view() {
    return {Mat{phi.data(), m, m, m}, Mat{q.data(), m, m, m},
            Mat{p1.data(), m, m, m}, Mat{z.data(), m, m, n}};
  }
};

// A stable PHI (diagonal, or full with spectral radius below 0.9 by
// scaling a random matrix by its max row sum), Q and P1 positive definite.
Model makeModel(int m, bool diagonal, unsigned seed) {
  Model c;
  c.m = m;
  c.n = 30;
  std::mt19937 rng(seed);
  std::normal_distribution<double> g;
  c.phi.assign(m * m, 0.0);
  if (diagonal) {
    for (int i = 0; i < m; ++i)
      c.phi[i + i * m] = 0.85 * std::sin(1.0 + 1.7 * i);
  } else {
    for (double &x : c.phi)
      x = g(rng);
    double rowMax = 0.0;
    for (int i = 0; i < m; ++i) {
      double row = 0.0;
      for (int j = 0; j < m; ++j)
        row += std::abs(c.phi[i + j * m]);
      rowMax = std::max(rowMax, row);
    }
    for (double &x : c.phi)
      x *= 0.85 / rowMax;
  }
  V b(m * m);
  for (double &x : b)
    x = g(rng);
  c.q.assign(m * m, 0.0);
  c.p1.assign(m * m, 0.0);
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < m; ++j) {
      for (int k = 0; k < m; ++k)
        c.q[i + j * m] += 0.3 * b[i + k * m] * b[j + k * m];
      c.p1[i + j * m] = (i == j ? 1.5 : 0.2);
    }
  for (int i = 0; i < m; ++i)
    c.q[i + i * m] += 0.1;
  // |z(t)(i)| >= 0.5: no observation nearly exact (at m = 1 one would make
  // l large and its differences inexact).
  c.z.resize(m * c.n);
  for (double &x : c.z) {
    x = g(rng);
    x += std::copysign(0.5, x);
  }
  return c;
}

V mul(int m, const V &a, const V &b, bool tb) {
  V out(m * m, 0.0);
  for (int j = 0; j < m; ++j)
    for (int k = 0; k < m; ++k)
      for (int i = 0; i < m; ++i)
        out[i + j * m] += a[i + k * m] * (tb ? b[j + k * m] : b[k + j * m]);
  return out;
}

// Y(t,s) = z(t)' PHI^(t-s) Pi(s) z(s) for t >= s; Pi(1) = P1,
// Pi(t) = PHI Pi(t-1) PHI' + Q. Lower Cholesky factor of Y.
V choleskyOfY(const Model &c) {
  const int m = c.m, n = c.n;
  V y(n * n), pi = c.p1;
  for (int s = 0; s < n; ++s) {
    V a = pi;
    for (int t = s; t < n; ++t) {
      double sum = 0.0;
      for (int i = 0; i < m; ++i)
        for (int j = 0; j < m; ++j)
          sum += c.z[i + t * m] * a[i + j * m] * c.z[j + s * m];
      y[t + s * n] = y[s + t * n] = sum;
      a = mul(m, c.phi, a, false);
    }
    pi = mul(m, mul(m, c.phi, pi, false), c.phi, true);
    for (int k = 0; k < m * m; ++k)
      pi[k] += c.q[k];
  }
  int info = 0;
  const char lower = 'L';
  dpotrf_(&lower, &n, y.data(), &n, &info, 1);
  EXPECT_EQ(info, 0);
  return y;
}

V solveLower(const V &l, int n, V b) {
  int info = 0;
  const int one = 1;
  dtrtrs_("L", "N", "N", &n, &one, l.data(), &n, b.data(), &n, &info, 1, 1, 1);
  return b;
}

double logLikelihood(const Model &c, const V &u) {
  const V l = choleskyOfY(c);
  const V w = solveLower(l, c.n, u);
  double value = 0.0;
  for (int t = 0; t < c.n; ++t)
    value -= std::log(l[t + t * c.n]) + 0.5 * w[t] * w[t];
  return value;
}

struct Order {
  int m;
  bool diagonal;
};

class LikelihoodSweep : public ::testing::TestWithParam<Order> {};

TEST_P(LikelihoodSweep, FilterAndScoreAgreeWithTheDenseCovariance) {
  const Order o = GetParam();
  Model c = makeModel(o.m, o.diagonal, 11 + o.m);
  const int m = c.m, n = c.n, nc = 2;
  std::mt19937 rng(40 + o.m);
  std::normal_distribution<double> g;
  V data(n * nc);
  for (double &x : data)
    x = g(rng);

  // The filter: f and the innovations of both columns.
  const V l = choleskyOfY(c);
  V f(n), v(n * nc), k(m * n), p(m * m * n);
  std::vector<double> work(filterInnovationsNeed(m, nc).doubles + 1);
  filterInnovations(c.view(), Mat{data.data(), n, n, nc}, f.data(),
                    Mat{v.data(), n, n, nc}, Mat{k.data(), m, m, n},
                    Scratch(work.data(), work.size(), nullptr, 0, nullptr, 0),
                    p.data());
  for (int col = 0; col < nc; ++col) {
    const V w = solveLower(
        l, n, V(data.begin() + col * n, data.begin() + (col + 1) * n));
    for (int t = 0; t < n; ++t) {
      const double root = l[t + t * n];
      EXPECT_NEAR(f[t], root * root, 1e-11 * root * root) << t;
      EXPECT_NEAR(v[t + col * n], root * w[t],
                  1e-10 * (1.0 + std::abs(root * w[t])))
          << t;
    }
  }

  // The square-root forms give the same factor: the engines' gains with the
  // innovations of the columns (double), and the extended-precision sweep of
  // the reported likelihood.
  V fg(n), kg(m * n), vg(n * nc), fp(n), vp(n * nc);
  std::vector<double> gw(kalmanGainsNeed(m).doubles + innovationsNeed(m, nc).doubles + 1);
  Scratch gs(gw.data(), gw.size(), nullptr, 0, nullptr, 0);
  const FilterGains gains{fg.data(), Mat{kg.data(), m, m, n}};
  kalmanGains(c.view(), gains, gs);
  innovations(c.view().phi, c.view().z, gains, Mat{data.data(), n, n, nc},
              Mat{vg.data(), n, n, nc}, gs);
  filterInnovationsPrecise(c.view(), Mat{data.data(), n, n, nc}, fp.data(),
                           Mat{vp.data(), n, n, nc});
  for (int col = 0; col < nc; ++col) {
    const V w = solveLower(
        l, n, V(data.begin() + col * n, data.begin() + (col + 1) * n));
    for (int t = 0; t < n; ++t) {
      const double root = l[t + t * n], ft = root * root, vt = root * w[t];
      for (const V *fs : {&fg, &fp})
        EXPECT_NEAR((*fs)[t], ft, 1e-11 * ft) << t << (fs == &fg ? " gains" : " precise");
      for (const V *vs : {&vg, &vp})
        EXPECT_NEAR((*vs)[t + col * n], vt, 1e-10 * (1.0 + std::abs(vt)))
            << t << (vs == &vg ? " gains" : " precise");
    }
  }
  // The gains of both forms: PHI P(t) z(t) / f(t).
  for (int i = 0; i < m * n; ++i)
    EXPECT_NEAR(kg[i], k[i], 1e-10 * (1.0 + std::abs(k[i]))) << i;

  // The score, from scratch and from the filter's record, against central
  // differences along one random direction of each of PHI, Q and P1 (Q and
  // P1 symmetric).
  V gPhi(m * m), gQ(m * m), gP1(m * m);
  const StateSpaceScore out{Mat{gPhi.data(), m, m, m}, Mat{gQ.data(), m, m, m},
                            Mat{gP1.data(), m, m, m}};
  std::vector<double> sw(stateSpaceScoreNeed(m, n).doubles + 1);
  const V u(data.begin(), data.begin() + n);
  V dPhi(m * m), dQ(m * m), dP1(m * m);
  for (double &x : dPhi)
    x = g(rng);
  for (int j = 0; j < m; ++j)
    for (int i = 0; i <= j; ++i) {
      dQ[i + j * m] = dQ[j + i * m] = g(rng);
      dP1[i + j * m] = dP1[j + i * m] = g(rng);
    }
  const double h = 1e-5;
  for (V Model::*part : {&Model::phi, &Model::q, &Model::p1}) {
    const V &dir = part == &Model::phi ? dPhi : part == &Model::q ? dQ : dP1;
    Model up = c, down = c;
    for (int i = 0; i < m * m; ++i) {
      (up.*part)[i] += h * dir[i];
      (down.*part)[i] -= h * dir[i];
    }
    const double expected =
        (logLikelihood(up, u) - logLikelihood(down, u)) / (2.0 * h);
    const V &grad = part == &Model::phi ? gPhi : part == &Model::q ? gQ : gP1;
    for (bool fromRecord : {false, true}) {
      FilterGains record{f.data(), Mat{k.data(), m, m, n}, p.data()};
      stateSpaceScore(c.view(), u.data(), out,
                      Scratch(sw.data(), sw.size(), nullptr, 0, nullptr, 0),
                      fromRecord ? &record : nullptr);
      double along = 0.0;
      for (int i = 0; i < m * m; ++i)
        along += grad[i] * dir[i];
      EXPECT_NEAR(along, expected, 1e-6 * (1.0 + std::abs(expected)))
          << "part "
          << (part == &Model::phi ? "PHI"
              : part == &Model::q ? "Q"
                                  : "P1")
          << (fromRecord ? ", from the record" : "");
    }
  }

  // Asked for the diagonals alone (the search of a diagonal PHI and Q): the
  // derivatives along the diagonal parts of the directions, by central
  // differences, the rest not formed; that of P1 whole.
  if (!o.diagonal) return;
  StateSpaceScore diagonalOut = out;
  diagonalOut.diagonalOnly = true;
  for (V Model::*part : {&Model::phi, &Model::q, &Model::p1}) {
    const V &dir = part == &Model::phi ? dPhi : part == &Model::q ? dQ : dP1;
    Model up = c, down = c;
    for (int j = 0; j < m; ++j)
      for (int i = 0; i < m; ++i)
        if (i == j || part == &Model::p1) {
          (up.*part)[i + j * m] += h * dir[i + j * m];
          (down.*part)[i + j * m] -= h * dir[i + j * m];
        }
    const double expected =
        (logLikelihood(up, u) - logLikelihood(down, u)) / (2.0 * h);
    const V &grad = part == &Model::phi ? gPhi : part == &Model::q ? gQ : gP1;
    for (bool fromRecord : {false, true}) {
      FilterGains record{f.data(), Mat{k.data(), m, m, n}, p.data()};
      stateSpaceScore(c.view(), u.data(), diagonalOut,
                      Scratch(sw.data(), sw.size(), nullptr, 0, nullptr, 0),
                      fromRecord ? &record : nullptr);
      double along = 0.0;
      for (int j = 0; j < m; ++j)
        for (int i = 0; i < m; ++i) {
          if (i == j || part == &Model::p1)
            along += grad[i + j * m] * dir[i + j * m];
          else
            EXPECT_TRUE(std::isnan(grad[i + j * m])) << i << ", " << j;
        }
      EXPECT_NEAR(along, expected, 1e-6 * (1.0 + std::abs(expected)))
          << "diagonals of part "
          << (part == &Model::phi ? "PHI"
              : part == &Model::q ? "Q"
                                  : "P1")
          << (fromRecord ? ", from the record" : "");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EveryOrder, LikelihoodSweep,
                         ::testing::Values(Order{1, true}, Order{2, false},
                                           Order{3, true}, Order{4, false},
                                           Order{5, true}, Order{5, false},
                                           Order{6, true}, Order{6, false},
                                           Order{7, true}, Order{7, false}));

// A covariance that is not non-negative definite has no likelihood: the
// extended-precision sweep, which works on roots of Q and P1, says so
// (f NaN) rather than dropping the negative direction; a singular one is
// a likelihood like any other.
TEST(LikelihoodSweepRoots, IndefiniteCovarianceHasNoLikelihood) {
  Model c = makeModel(2, false, 5);
  const int n = c.n;
  V data(n, 1.0), f(n), v(n);
  for (const double q22 : {-0.05, 0.0}) {
    c.q = {0.2, 0.0, 0.0, q22};
    filterInnovationsPrecise(c.view(), Mat{data.data(), n, n, 1}, f.data(),
                             Mat{v.data(), n, n, 1});
    for (int t = 0; t < n; ++t)
      EXPECT_EQ(std::isnan(f[t]), q22 < 0.0) << "Q(2,2) " << q22 << ", t " << t;
    if (q22 < 0.0) continue;
    const V l = choleskyOfY(c);
    for (int t = 0; t < n; ++t)
      EXPECT_NEAR(f[t], l[t + t * n] * l[t + t * n], 1e-11 * l[t + t * n] * l[t + t * n]) << t;
  }
  c.q = {0.2, 0.0, 0.0, 0.1};
  c.p1 = {1.0, 2.0, 2.0, 1.0};  // eigenvalues 3 and -1
  filterInnovationsPrecise(c.view(), Mat{data.data(), n, n, 1}, f.data(), Mat{v.data(), n, n, 1});
  EXPECT_TRUE(std::isnan(f[0]) && std::isnan(v[n - 1]));
}

// Under a Q of rank 1 with a root of PHI near 1 the engines' filter runs in
// extended precision (kalmanGains says so), with a diagonal and a
// triangular PHI at orders with and without a compiled form: its f, gains
// and innovations against the dense factor, the gains against those of the
// likelihood's sweep.
TEST(LikelihoodSweepRoots, WidenedGainsUnderASingularQAgreeWithTheDenseFactor) {
  for (const int m : {2, 3, 7})
    for (const bool diagonal : {true, false}) {
      SCOPED_TRACE(::testing::Message() << "m " << m << (diagonal ? ", diagonal" : ", full"));
      Model c = makeModel(m, true, 90 + m);
      const int n = c.n;
      c.phi[0] = 0.97;
      for (int j = 1; j < m && !diagonal; ++j)
        for (int i = 0; i < j; ++i) c.phi[i + j * m] = 0.2 / (1 + i + j);
      for (int j = 0; j < m; ++j)
        for (int i = 0; i < m; ++i) c.q[i + j * m] = 0.1 * (1.0 + i) * (1.0 + j) / m;
      V data(n);
      std::mt19937 rng(3);
      std::normal_distribution<double> g;
      for (double &x : data) x = g(rng);
      V f(n), k(m * n), v(n), fc(n), kc(m * n), vc(n);
      std::vector<double> work(kalmanGainsNeed(m).doubles + innovationsNeed(m, 1).doubles +
                               filterInnovationsNeed(m, 1).doubles + 1);
      Scratch s(work.data(), work.size(), nullptr, 0, nullptr, 0);
      const FilterGains gains{f.data(), Mat{k.data(), m, m, n}};
      const bool wide = kalmanGains(c.view(), Mat{}, Mat{}, gains, s, kExactRootTol, 0.0, true);
      EXPECT_TRUE(wide);
      innovations(c.view().phi, c.view().z, gains, Mat{data.data(), n, n, 1},
                  Mat{v.data(), n, n, 1}, s, wide);
      filterInnovations(c.view(), Mat{data.data(), n, n, 1}, fc.data(), Mat{vc.data(), n, n, 1},
                        Mat{kc.data(), m, m, n}, s);
      const V l = choleskyOfY(c);
      const V w = solveLower(l, n, data);
      for (int t = 0; t < n; ++t) {
        const double root = l[t + t * n];
        EXPECT_NEAR(f[t], root * root, 1e-11 * root * root) << t;
        EXPECT_NEAR(v[t], root * w[t], 1e-10 * (1.0 + std::abs(root * w[t]))) << t;
      }
      for (int i = 0; i < m * n; ++i) EXPECT_NEAR(k[i], kc[i], 1e-9 * (1.0 + std::abs(kc[i]))) << i;
    }
}

} // namespace
} // namespace kova
