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

}  // namespace
}  // namespace kova
