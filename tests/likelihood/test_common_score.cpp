// The score of the common model's likelihood, against differences of its
// value (itself checked against a dense LAPACK evaluation in
// test_common_model.cpp):
//   - the panel's derivatives in every element of PHI and DELTA, under ML
//     and REML, full and diagonal PHI, with a PI equality row, and under ML
//     a design short of rank (the profile's score) beside the others;
//   - the gradient of the search's objective in its coordinates, for every
//     form (zero, diagonal, full PHI; diagonal DELTA, full DELTA with the
//     penalty) under both criteria, and under ML with a row without noise
//     (no score of the group's own: the gradient by differences);
//   - the quasi-Newton search ends where the objective's gradient vanishes
//     and no step of any coordinate, either way, raises the value, under
//     both criteria and for a diagonal and a full form;
//   - the pool of threads runs every index once in every run, back to back
//     (the workers join a run late or not at all), and carries a job's
//     exception to the caller.
// The differences are Richardson's extrapolation of central ones (error of
// order h^4), so that 1e-6 relative is well within their reach.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <stdexcept>
#include <vector>

#include "likelihood/common_model.h"
#include "likelihood/group_pool.h"

namespace kova {
namespace {

struct Group {
  int T = 0, M = 0, KP = 0;
  std::vector<double> tlx, xz, y, R, r;  // L = I; R: rows x KP
  int rows = 0;
  PanelGroupData data() {
    return PanelGroupData{
        Mat{tlx.data(), M, M, T}, Mat{xz.data(), T, T, KP}, y.data(),
        PiRestrictionView{Mat{R.data(), std::max(rows, 1), rows, KP}, r.data(), rows}};
  }
};

// A group from the model with L = I (K = M), P = 1 or 2, PHI full.
Group simulate(int T, int M, int P, const std::vector<double>& phi, double sigma,
               std::mt19937& rng) {
  std::normal_distribution<double> g;
  Group s;
  s.T = T;
  s.M = M;
  s.KP = M * P;
  s.tlx.assign(static_cast<size_t>(M) * T, 0.0);
  s.xz.assign(static_cast<size_t>(T) * M * P, 0.0);
  std::vector<double> eps(M, 0.0), next(M);
  for (int t = -40; t <= T; ++t) {
    for (int i = 0; i < M; ++i) {
      double v = sigma * g(rng) / (1.0 + i);
      for (int l = 0; l < M; ++l) v += phi[l * M + i] * eps[l];
      next[i] = v;
    }
    eps = next;
    if (t < 1) continue;
    const double z2 = g(rng);
    double y = 0.0;
    for (int k = 0; k < M; ++k) {
      const double x = k == 0 ? 1.0 : 1.0 + g(rng);
      s.tlx[static_cast<size_t>(t - 1) * M + k] = x;
      s.xz[static_cast<size_t>(k) * T + t - 1] = x;
      if (P > 1) s.xz[static_cast<size_t>(M + k) * T + t - 1] = z2 * x;
      y += x * (0.5 * (k + 1) + eps[k] + (P > 1 ? 0.3 * z2 : 0.0));
    }
    s.y.push_back(y);
  }
  return s;
}

std::vector<Group> panelOf(int M, unsigned seed, int groups) {
  std::mt19937 rng(seed);
  std::vector<double> phi(static_cast<size_t>(M) * M, 0.0);
  for (int i = 0; i < M; ++i) phi[i * M + i] = 0.6 - 0.2 * i;
  phi[1] = 0.15;  // PHI(2,1)
  std::vector<Group> out;
  for (int g = 0; g < groups; ++g)
    out.push_back(simulate(15 + 7 * g, M, 1 + g % 2, phi, 0.5 + 0.4 * g, rng));
  // The last group's PI under one equality row: PI(1) - PI(M) = 0.2.
  Group& last = out.back();
  last.rows = 1;
  last.R.assign(static_cast<size_t>(last.KP), 0.0);
  last.R[0] = 1.0;
  last.R[static_cast<size_t>(M - 1)] = -1.0;
  last.r = {0.2};
  return out;
}

// Richardson's extrapolation of central differences of f at 0.
double derivative(const std::function<double(double)>& f, double h) {
  const double d1 = (f(h) - f(-h)) / (2.0 * h), d2 = (f(2.0 * h) - f(-2.0 * h)) / (4.0 * h);
  return (4.0 * d1 - d2) / 3.0;
}

void expectClose(const std::vector<double>& analytic, const std::vector<double>& differenced,
                 double tol, const std::string& what) {
  double scale = 0.0;
  for (double v : differenced) scale = std::max(scale, std::fabs(v));
  ASSERT_GT(scale, 0.0) << what;
  for (size_t k = 0; k < analytic.size(); ++k)
    EXPECT_NEAR(analytic[k], differenced[k], tol * scale) << what << " element " << k;
}

TEST(CommonScore, PanelScoreIsTheDerivativeOfTheValue) {
  for (int M : {2, 3}) {
    std::vector<Group> groups = panelOf(M, 17 + M, 4);
    std::vector<PanelGroupData> data;
    for (Group& g : groups) data.push_back(g.data());
    // Under ML a fifth group whose XZ repeats a column: the profile's score.
    Group repeated = groups[1];
    repeated.KP += 1;
    repeated.xz.insert(repeated.xz.end(), repeated.xz.begin() + repeated.T,
                       repeated.xz.begin() + 2 * repeated.T);
    std::vector<PanelGroupData> withRepeated = data;
    withRepeated.push_back(repeated.data());
    // A full PHI and DELTA, and a diagonal PHI with a full DELTA.
    std::vector<std::vector<double>> phis{std::vector<double>(M * M), std::vector<double>(M * M)};
    std::vector<double> delta(M * M);
    for (int j = 0; j < M; ++j)
      for (int i = 0; i < M; ++i) {
        phis[0][j * M + i] = i == j ? 0.5 - 0.3 * i : 0.1 * (i - j);
        phis[1][j * M + i] = i == j ? 0.7 - 0.4 * i : 0.0;
        delta[j * M + i] = i == j ? 1.5 - 0.4 * i : 0.2 / (1 + i + j);
      }
    for (PanelCriterion c : {PanelCriterion::ML, PanelCriterion::REML})
      for (const std::vector<double>& phi0 : phis) {
        const bool ml = c == PanelCriterion::ML;
        Panel panel(ml ? withRepeated : data, M, c, 2);
        ASSERT_TRUE(panel.ready());
        std::vector<double> phi = phi0, d = delta, gPhi(M * M), gDelta(M * M);
        double value = 0.0, plain = 0.0;
        bool scored = false;
        ASSERT_TRUE(panel.evaluateScore(Mat{phi.data(), M, M, M}, Mat{d.data(), M, M, M}, value,
                                        Mat{gPhi.data(), M, M, M}, Mat{gDelta.data(), M, M, M},
                                        scored));
        ASSERT_TRUE(scored);
        ASSERT_TRUE(panel.evaluate(Mat{phi.data(), M, M, M}, Mat{d.data(), M, M, M}, plain));
        EXPECT_EQ(value, plain);
        auto at = [&](int k, bool isPhi, double step) {
          std::vector<double> p = phi0, q = delta;
          if (isPhi) {
            p[k] += step;
          } else {
            const int i = k % M, j = k / M;
            q[j * M + i] += step;
            if (i != j) q[i * M + j] += step;
          }
          double v = 0.0;
          EXPECT_TRUE(panel.evaluate(Mat{p.data(), M, M, M}, Mat{q.data(), M, M, M}, v));
          return v;
        };
        std::vector<double> analytic, differenced;
        for (int k = 0; k < M * M; ++k) {
          analytic.push_back(gPhi[k]);
          differenced.push_back(derivative([&](double h) { return at(k, true, h); }, 1e-4));
        }
        for (int j = 0; j < M; ++j)
          for (int i = 0; i <= j; ++i) {
            const int k = j * M + i;
            analytic.push_back(i == j ? gDelta[k] : 2.0 * gDelta[k]);
            differenced.push_back(derivative([&](double h) { return at(k, false, h); }, 1e-4));
          }
        expectClose(analytic, differenced, 1e-6,
                    std::string(ml ? "ML" : "REML") + " M=" + std::to_string(M));
      }
  }
}

TEST(CommonScore, SearchGradientIsTheDerivativeOfTheObjective) {
  const int M = 3;
  std::vector<Group> groups = panelOf(M, 41, 5);
  std::vector<PanelGroupData> data;
  for (Group& g : groups) data.push_back(g.data());
  // A sixth group whose x is zero in one row: y there is 0 whatever PHI
  // and DELTA (f(t) = 0), an exact equation PI meets.
  Group exact = groups[0];
  for (int i = 0; i < M; ++i) {
    exact.tlx[static_cast<size_t>(4) * M + i] = 0.0;
    exact.xz[static_cast<size_t>(i) * exact.T + 4] = 0.0;
  }
  exact.y[4] = 0.0;
  std::vector<PanelGroupData> withExact = data;
  withExact.push_back(exact.data());
  struct Case {
    bool zeroPhi, diagonalPhi, diagonalDelta;
  };
  const Case cases[] = {{false, true, true},
                        {false, false, true},
                        {false, true, false},
                        {false, false, false},
                        {true, false, false}};
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> u(-0.6, 0.6);
  for (int pass = 0; pass < 3; ++pass) {
    const PanelCriterion c = pass == 1 ? PanelCriterion::REML : PanelCriterion::ML;
    Panel panel(pass == 2 ? withExact : data, M, c, 1);
    if (pass == 2) {
      std::vector<double> phi(M * M, 0.0), delta(M * M, 0.0), gp(M * M), gd(M * M);
      for (int j = 0; j < M; ++j) {
        phi[j * M + j] = 0.4;
        delta[j * M + j] = 1.0;
      }
      double v = 0.0;
      bool scored = true;
      ASSERT_TRUE(panel.evaluateScore(Mat{phi.data(), M, M, M}, Mat{delta.data(), M, M, M}, v,
                                      Mat{gp.data(), M, M, M}, Mat{gd.data(), M, M, M}, scored));
      EXPECT_FALSE(scored);
    }
    for (const Case& k : cases) {
      CommonForm form;
      form.zeroPhi = k.zeroPhi;
      form.diagonalPhi = k.diagonalPhi;
      form.diagonalDelta = k.diagonalDelta;
      form.penalty = !k.diagonalDelta;
      const int nPhi = k.zeroPhi ? 0 : (k.diagonalPhi ? M : M * M);
      const int nDelta = k.diagonalDelta ? M : M * (M + 1) / 2;
      std::vector<double> x(nPhi + nDelta);
      for (int i = 0; i < nPhi; ++i) x[i] = 0.5 * u(rng);
      // DELTA's factor: a unit-ish diagonal, small off-diagonal elements,
      // on the scale of the data (about 1 here), the trace away from M.
      for (int j = 1; j <= M; ++j)
        for (int i = 1; i <= (k.diagonalDelta ? 1 : j); ++i) {
          const int at = nPhi + (k.diagonalDelta ? j - 1 : (j - 1) * j / 2 + i - 1);
          x[at] = (k.diagonalDelta || i == j) ? 1.3 - 0.3 * j + 0.1 * u(rng) : 0.3 * u(rng);
        }
      std::vector<double> g(x.size()), fd;
      const double f0 = commonObjective(panel, form, x, g.data());
      ASSERT_LT(f0, 1e100);
      EXPECT_EQ(f0, commonObjective(panel, form, x, nullptr));
      for (size_t i = 0; i < x.size(); ++i)
        fd.push_back(derivative(
            [&](double h) {
              std::vector<double> z = x;
              z[i] += h;
              return commonObjective(panel, form, z, nullptr);
            },
            1e-4));
      expectClose(g, fd, 1e-6,
                  std::string(pass == 2                 ? "ML exact row"
                              : c == PanelCriterion::ML ? "ML"
                                                        : "REML") +
                      " zero " + std::to_string(k.zeroPhi) + " diagonal PHI " +
                      std::to_string(k.diagonalPhi) + " diagonal DELTA " +
                      std::to_string(k.diagonalDelta));
    }
  }
}

// The coordinates of PHI and DELTA (DELTA of the search's scale: DELTA(a,b)
// sqrt(s(a) s(b)) = (U'U)(a,b), U upper triangular from its Cholesky factor).
std::vector<double> coordinatesOf(const CommonResult& r, const CommonForm& form,
                                  const Panel& panel) {
  const int M = r.M;
  std::vector<double> x;
  const double e = form.EVLTOL;
  // A full PHI (M = 2) is A scaled to the spectral radius e tanh(r / e), r
  // that of A.
  double stretch = 1.0;
  if (!form.diagonalPhi && !form.zeroPhi) {
    EXPECT_EQ(M, 2);
    const double* p = r.phi.data();
    const double half = 0.5 * (p[0] + p[3]), det = p[0] * p[3] - p[1] * p[2];
    const double disc = half * half - det;
    const double rho =
        disc >= 0.0 ? std::fabs(half) + std::sqrt(disc) : std::sqrt(det);  // the radius
    stretch = e * std::atanh(rho / e) / rho;
  }
  for (int j = 0; j < M && !form.zeroPhi; ++j)
    for (int i = 0; i < M; ++i) {
      if (form.diagonalPhi && i != j) continue;
      x.push_back(form.diagonalPhi ? e * std::atanh(r.phi[j * M + j] / e)
                                   : stretch * r.phi[j * M + i]);
    }
  const std::vector<double>& s = panel.componentScale();
  std::vector<double> d(M * M), u(M * M, 0.0);
  for (int j = 0; j < M; ++j)
    for (int i = 0; i < M; ++i) d[j * M + i] = r.delta[j * M + i] * std::sqrt(s[i] * s[j]);
  for (int j = 0; j < M; ++j) {
    double v = d[j * M + j];
    for (int k = 0; k < j; ++k) v -= u[j * M + k] * u[j * M + k];
    u[j * M + j] = std::sqrt(v);
    for (int c = j + 1; c < M; ++c) {
      double w = d[c * M + j];
      for (int k = 0; k < j; ++k) w -= u[j * M + k] * u[c * M + k];
      u[c * M + j] = w / u[j * M + j];
    }
  }
  for (int j = 0; j < M; ++j)
    for (int i = 0; i <= j; ++i)
      if (!form.diagonalDelta || i == j) x.push_back(u[j * M + i]);
  return x;
}

TEST(CommonScore, SearchEndsWhereTheGradientVanishes) {
  const int M = 2;
  std::vector<Group> groups = panelOf(M, 77, 8);
  std::vector<PanelGroupData> data;
  for (Group& g : groups) data.push_back(g.data());
  for (PanelCriterion c : {PanelCriterion::ML, PanelCriterion::REML})
    for (bool diagonal : {true, false}) {
      Panel panel(data, M, c, 2);
      CommonForm form;
      form.diagonalPhi = diagonal;
      form.diagonalDelta = diagonal;
      form.penalty = !diagonal;
      CommonResult r;
      estimateCommonModel(panel, form, r);
      const std::string what =
          std::string(c == PanelCriterion::ML ? "ML" : "REML") + (diagonal ? " diagonal" : " full");
      ASSERT_EQ(r.status, MlStatus::Converged) << what;
      ASSERT_FALSE(r.boundary()) << what;
      const std::vector<double> x = coordinatesOf(r, form, panel);
      std::vector<double> g(x.size());
      const double f = commonObjective(panel, form, x, g.data());
      EXPECT_NEAR(-f, r.loglik + r.penalty, 1e-9 * std::fabs(f)) << what;
      for (size_t i = 0; i < x.size(); ++i) {
        EXPECT_LT(std::fabs(g[i]), 1e-3) << what << " coordinate " << i;
        for (double step : {-1e-3, 1e-3}) {
          std::vector<double> z = x;
          z[i] += step;
          EXPECT_GE(commonObjective(panel, form, z, nullptr), f - 1e-9 * std::fabs(f))
              << what << " coordinate " << i << " step " << step;
        }
      }
    }
}

TEST(CommonScore, PoolRunsEveryIndexOnceAndCarriesExceptions) {
  for (int threads : {2, 3}) {
    GroupPool pool(threads);
    for (int run = 0; run < 2000; ++run) {
      const int count = 1 + run % 7;
      std::vector<int> done(count, 0);
      pool.run(count, [&](int i, int worker) {
        ASSERT_GE(worker, 0);
        ASSERT_LT(worker, threads);
        ++done[i];
      });
      for (int i = 0; i < count; ++i) ASSERT_EQ(done[i], 1) << threads << " " << run << " " << i;
    }
    EXPECT_THROW(pool.run(5,
                          [](int i, int) {
                            if (i == 3) throw std::runtime_error("stop");
                          }),
                 std::runtime_error);
    // The pool goes on after a run that threw.
    std::vector<int> done(9, 0);
    pool.run(9, [&](int i, int) { ++done[i]; });
    EXPECT_EQ(done, std::vector<int>(9, 1));
  }
}

}  // namespace
}  // namespace kova
