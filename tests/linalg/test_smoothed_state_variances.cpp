// The smoothed variances V(t) = Var(e(t) | y) against the same variances in
// 50 digits (tests/data/engines, golden_v.csv by gls_reference.py with
// --variances: GAMMA - C(t) YSIGMA^-1 C(t)' from the model's definition),
// on groups with a rank-1 DELTA beside a root of PHI near 1, where the data
// fix the state closely: V(t) is 1e-9 to 1e-17 against a GAMMA of 18, and
// the form P - P N P cancelled all of it (errors of 1e-7 and more, the
// standard errors of BETA off by a thousand times).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "linalg/state_space.h"

namespace kova {
namespace {

namespace fs = std::filesystem;
using V = std::vector<double>;

V numbers(const fs::path& file, bool skipFirstLine) {
  std::ifstream in(file);
  std::string line;
  if (skipFirstLine) std::getline(in, line);
  V out;
  for (double v; in >> v;) out.push_back(v);
  return out;
}

struct Golden {
  int m = 0, n = 0;
  V gamma;               // m x m
  std::vector<V> value;  // V(t), m x m each
};

Golden readGolden(const fs::path& file, int m) {
  Golden g;
  g.m = m;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#' || line[0] == 'p') continue;
    std::stringstream s(line);
    std::string f[4];
    for (auto& x : f) std::getline(s, x, ',');
    const int t = std::stoi(f[0]), i = std::stoi(f[1]), j = std::stoi(f[2]);
    if (t > static_cast<int>(g.value.size())) g.value.resize(t);
    V& to = t == 0 ? g.gamma : g.value[t - 1];
    to.resize(m * m);
    to[(i - 1) + m * (j - 1)] = std::stod(f[3]);
  }
  g.n = static_cast<int>(g.value.size());
  return g;
}

// One group of a kova input with the default L (K = M): z(t) = x(t), with
// the leading one when CONST = YES.
struct Group {
  int m;
  bool leadingOne;
  const char* name;
};

TEST(SmoothedStateVariances, MatchFiftyDigitValuesWhereTheStateIsNearlyKnown) {
  for (const Group c : {Group{2, true, "rank_one_delta_smoothing"},
                        Group{2, false, "near_exact_unit_root"}}) {
    const fs::path dir = fs::path(KOVA_SOURCE_DIR) / "tests" / "data" / "engines" / c.name;
    const int m = c.m;
    const Golden g = readGolden(dir / "golden_v.csv", m);
    ASSERT_GT(g.n, 0) << c.name;
    V phi = numbers(dir / "PDATA1", false), delta = numbers(dir / "DDATA1", true);
    const V data = numbers(dir / "YXDATA1", true);  // y, then x without its leading one
    ASSERT_EQ(phi.size(), static_cast<size_t>(m * m));
    ASSERT_EQ(delta.size(), static_cast<size_t>(m * m));
    // The files hold rows; the views are column-major.
    auto transpose = [m](V& a) {
      for (int i = 0; i < m; ++i)
        for (int j = i + 1; j < m; ++j) std::swap(a[i + m * j], a[j + m * i]);
    };
    transpose(phi);
    transpose(delta);
    const int n = g.n, width = c.leadingOne ? m : m + 1;
    ASSERT_EQ(data.size(), static_cast<size_t>(n * width)) << c.name;
    V z(m * n), gamma = g.gamma;
    for (int t = 0; t < n; ++t)
      for (int i = 0; i < m; ++i)
        z[i + m * t] = c.leadingOne ? (i == 0 ? 1.0 : data[t * width + i])
                                    : data[t * width + 1 + i];
    const StateSpaceModel model{Mat{phi.data(), m, m, m}, Mat{delta.data(), m, m, m},
                                Mat{gamma.data(), m, m, m}, Mat{z.data(), m, m, n}};
    V f(n), k(m * n), vs(m * m * n);
    const FilterGains gains{f.data(), Mat{k.data(), m, m, n}, vs.data()};
    ScratchNeed need = kalmanGainsNeed(m);
    need.include(smoothedStateVariancesNeed(m, n));
    V work(need.doubles + 1);
    std::vector<int> iwork(need.ints + 1);
    std::vector<dcomplex> cwork(need.complexes + 1);
    Scratch s(work.data(), need.doubles, iwork.data(), need.ints, cwork.data(), need.complexes);
    kalmanGains(model, gains, s);
    smoothedStateVariances(model, gains, vs.data(), s);
    double scale = 0.0;
    for (double x : g.gamma) scale = std::max(scale, std::abs(x));
    // Each element to 1e-6 of its row's and column's variances (the
    // variances are known to far more digits than the standard errors
    // built on them show) and 1e-17 of GAMMA's scale.
    double worst = 0.0;
    for (int t = 0; t < n; ++t)
      for (int j = 0; j < m; ++j)
        for (int i = 0; i < m; ++i) {
          const V& want = g.value[t];
          const double got = vs[m * m * t + i + m * j], w = want[i + m * j];
          const double tol =
              1e-6 * std::sqrt(std::abs(want[i + m * i] * want[j + m * j])) + 1e-17 * scale;
          worst = std::max(worst, std::abs(got - w) / tol);
          EXPECT_LE(std::abs(got - w), tol)
              << c.name << " V(" << t + 1 << ")(" << i + 1 << "," << j + 1 << "): " << got
              << " vs " << w;
        }
    std::cout << c.name << ": largest error " << worst << " of its tolerance\n";
  }
}

// Var(e(t) | y) by the definition, dense and in extended precision: the
// joint covariance of the states and the observations, then GAMMA(t) -
// C(t) YSIGMA^-1 C(t)' by a Cholesky factor of YSIGMA over the rows whose
// z(t) is nonzero (a zero z(t) observes nothing).
using LV = std::vector<long double>;
std::vector<LV> denseVariances(int m, int n, const V& phi, const V& q, const V& p1, const V& z) {
  // C(t,s) = Cov(e(t), e(s)) = PHI^(t-s) Pi(s) for t >= s.
  std::vector<LV> c(static_cast<size_t>(n) * n, LV(m * m, 0.0L));
  auto cov = [&](int t, int s) -> LV& { return c[static_cast<size_t>(t) * n + s]; };
  for (int i = 0; i < m * m; ++i) cov(0, 0)[i] = p1[i];
  for (int t = 0; t < n; ++t) {
    if (t > 0) {  // Pi(t) = PHI C(t, t-1)' + Q, C(t, t-1) = PHI Pi(t-1)
      const LV& prev = cov(t - 1, t - 1);
      LV& pt = cov(t, t);
      for (int i = 0; i < m; ++i)
        for (int j = 0; j < m; ++j) {
          long double sum = q[i + m * j];
          for (int k = 0; k < m; ++k)
            for (int l = 0; l < m; ++l) sum += phi[i + m * k] * prev[k + m * l] * phi[j + m * l];
          pt[i + m * j] = sum;
        }
    }
    for (int s = t + 1; s < n; ++s) {
      const LV& prev = cov(s - 1, t);
      LV& to = cov(s, t);
      for (int i = 0; i < m; ++i)
        for (int j = 0; j < m; ++j) {
          long double sum = 0.0L;
          for (int k = 0; k < m; ++k) sum += phi[i + m * k] * prev[k + m * j];
          to[i + m * j] = sum;
        }
    }
  }
  auto at = [&](int t, int s, int i, int j) {  // C(t,s)(i,j) for any t, s
    return t >= s ? cov(t, s)[i + m * j] : cov(s, t)[j + m * i];
  };
  std::vector<int> rows;
  for (int t = 0; t < n; ++t) {
    bool nonzero = false;
    for (int i = 0; i < m; ++i) nonzero = nonzero || z[i + m * t] != 0.0;
    if (nonzero) rows.push_back(t);
  }
  const int r = static_cast<int>(rows.size());
  // YSIGMA over the rows kept, and its lower Cholesky factor in place.
  LV y(static_cast<size_t>(r) * r);
  for (int a = 0; a < r; ++a)
    for (int b = 0; b < r; ++b) {
      long double sum = 0.0L;
      for (int i = 0; i < m; ++i)
        for (int j = 0; j < m; ++j)
          sum += z[i + m * rows[a]] * at(rows[a], rows[b], i, j) * z[j + m * rows[b]];
      y[a + r * b] = sum;
    }
  for (int j = 0; j < r; ++j) {
    for (int k = 0; k < j; ++k)
      for (int i = j; i < r; ++i) y[i + r * j] -= y[i + r * k] * y[j + r * k];
    const long double d = std::sqrt(y[j + r * j]);
    for (int i = j; i < r; ++i) y[i + r * j] /= d;
  }
  std::vector<LV> out(n, LV(m * m));
  for (int t = 0; t < n; ++t) {
    // G = L^-1 C(y, e(t)), r x m; V(t) = Pi(t) - G'G.
    LV g(static_cast<size_t>(r) * m);
    for (int j = 0; j < m; ++j)
      for (int a = 0; a < r; ++a) {
        long double sum = 0.0L;
        for (int i = 0; i < m; ++i) sum += z[i + m * rows[a]] * at(rows[a], t, i, j);
        for (int b = 0; b < a; ++b) sum -= y[a + r * b] * g[b + r * j];
        g[a + r * j] = sum / y[a + r * a];
      }
    for (int i = 0; i < m; ++i)
      for (int j = 0; j < m; ++j) {
        long double sum = cov(t, t)[i + m * j];
        for (int a = 0; a < r; ++a) sum -= g[a + r * i] * g[a + r * j];
        out[t][i + m * j] = sum;
      }
  }
  return out;
}

// Every order the sweep is specialised for (1 to 6) and one beyond (7), with
// full PHI, Q and P1, a singular Q among them (whose pivoted root is not
// triangular) and periods with z(t) = 0 (observations that count as exact),
// against the dense computation above.
TEST(SmoothedStateVariances, AgreeWithDenseConditioningForEveryOrder) {
  std::uint64_t state = 12345;
  auto uniform = [&state] {  // in (-1, 1)
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(state >> 11) * 0x1p-52 - 1.0;
  };
  for (int m = 1; m <= 7; ++m)
    for (const bool singular : {false, true}) {
      if (singular && m == 1) continue;
      const int n = 14;
      V phi(m * m), q(m * m, 0.0), p1(m * m, 0.0), a(m * m), z(m * n);
      for (double& x : phi) x = 0.5 * uniform() / std::sqrt(static_cast<double>(m));
      for (double& x : a) x = uniform();
      // Q = A A' over the first m - 1 columns of A when singular; P1 = A A' + I.
      const int rank = singular ? m - 1 : m;
      for (int i = 0; i < m; ++i)
        for (int j = 0; j < m; ++j) {
          for (int k = 0; k < m; ++k) {
            const double term = a[i + m * k] * a[j + m * k];
            if (k < rank) q[i + m * j] += term;
            p1[i + m * j] += term;
          }
          if (i == j) p1[i + m * j] += 1.0;
        }
      for (int t = 0; t < n; ++t)
        for (int i = 0; i < m; ++i) z[i + m * t] = (t == 3 || t == n - 1) ? 0.0 : uniform();
      const StateSpaceModel model{Mat{phi.data(), m, m, m}, Mat{q.data(), m, m, m},
                                  Mat{p1.data(), m, m, m}, Mat{z.data(), m, m, n}};
      V f(n), k(m * n), vs(m * m * n);
      const FilterGains gains{f.data(), Mat{k.data(), m, m, n}, vs.data()};
      ScratchNeed need = kalmanGainsNeed(m);
      need.include(smoothedStateVariancesNeed(m, n));
      V work(need.doubles + 1);
      std::vector<int> iwork(need.ints + 1);
      std::vector<dcomplex> cwork(need.complexes + 1);
      Scratch s(work.data(), need.doubles, iwork.data(), need.ints, cwork.data(), need.complexes);
      kalmanGains(model, gains, s);
      ASSERT_EQ(f[3], 0.0);
      smoothedStateVariances(model, gains, vs.data(), s);
      const std::vector<LV> want = denseVariances(m, n, phi, q, p1, z);
      for (int t = 0; t < n; ++t)
        for (int j = 0; j < m; ++j)
          for (int i = 0; i < m; ++i) {
            const double w = static_cast<double>(want[t][i + m * j]);
            const double tol =
                1e-11 * std::sqrt(static_cast<double>(want[t][i + m * i] * want[t][j + m * j])) +
                1e-14;
            EXPECT_NEAR(vs[m * m * t + i + m * j], w, tol)
                << "m " << m << (singular ? " singular Q" : "") << " V(" << t + 1 << ")(" << i + 1
                << "," << j + 1 << ")";
          }
    }
}

}  // namespace
}  // namespace kova
