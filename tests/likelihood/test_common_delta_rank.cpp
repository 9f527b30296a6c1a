// A full common DELTA held at a lower rank:
//   - its eigenvalues, the factor of its projection on a lower rank, the
//     pseudo-determinant of the penalty and its null space against LAPACK's
//     symmetric eigen-decomposition;
//   - PHI is flat (the panel's likelihood the same at PHI + b w') along a
//     combination w of EPSILON that the innovations never reach, and only
//     there: DELTA's null direction alone leaves PHI identified.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "likelihood/common_delta_rank.h"
#include "likelihood/panel_likelihood.h"
#include "linalg/lapack_eispack_ref.h"

namespace kova {
namespace {

// Eigenvalues (ascending) and vectors of the symmetric n x n a by LAPACK.
void lapackEigen(int n, std::vector<double> a, std::vector<double>& w, std::vector<double>& z) {
  w.assign(n, 0.0);
  int lwork = 8 * n + 64, info = 0;
  std::vector<double> work(lwork);
  dsyev_("V", "U", &n, a.data(), &n, w.data(), work.data(), &lwork, &info, 1, 1);
  ASSERT_EQ(info, 0);
  z = a;
}

// U'U from factor coordinates (U upper triangular by columns).
std::vector<double> gramOf(const std::vector<double>& c, int M) {
  std::vector<double> w(M * M, 0.0);
  for (int b = 0; b < M; ++b)
    for (int a = 0; a < M; ++a)
      for (int i = 0; i <= std::min(a, b); ++i)
        w[b * M + a] += c[a * (a + 1) / 2 + i] * c[b * (b + 1) / 2 + i];
  return w;
}

TEST(DeltaRank, FactorPseudoDeterminantAndNullSpaceAgreeWithLapack) {
  const int M = 4, r = 2;
  std::mt19937 rng(17);
  std::normal_distribution<double> g;
  // W = B'B (rank 2) + 1e-10 I, its factor coordinates by Cholesky.
  std::vector<double> B(r * M), W(M * M, 0.0);
  for (double& x : B) x = g(rng);
  for (int b = 0; b < M; ++b)
    for (int a = 0; a < M; ++a) {
      for (int k = 0; k < r; ++k) W[b * M + a] += B[a * r + k] * B[b * r + k];
      if (a == b) W[b * M + a] += 1e-10;
    }
  std::vector<double> c(M * (M + 1) / 2, 0.0);
  for (int j = 0; j < M; ++j) {
    for (int i = 0; i < j; ++i) {
      double x = W[j * M + i];
      for (int k = 0; k < i; ++k) x -= c[i * (i + 1) / 2 + k] * c[j * (j + 1) / 2 + k];
      c[j * (j + 1) / 2 + i] = x / c[i * (i + 1) / 2 + i];
    }
    double v = W[j * M + j];
    for (int k = 0; k < j; ++k) v -= c[j * (j + 1) / 2 + k] * c[j * (j + 1) / 2 + k];
    c[j * (j + 1) / 2 + j] = std::sqrt(v);
  }
  std::vector<double> lw, lz;
  lapackEigen(M, W, lw, lz);
  DeltaRank d;
  ASSERT_TRUE(deltaRankOf(c.data(), M, 1e-6, d));
  EXPECT_EQ(d.rank, r);
  for (int k = 0; k < M; ++k) EXPECT_NEAR(d.eigenvalues[k], lw[k], 1e-12 * lw[M - 1]) << k;
  EXPECT_NEAR(d.ratio, lw[0] / lw[M - 1], 1e-3 * lw[0] / lw[M - 1]);

  // The factor of rank 2: rows past 2 zero, R'R the projection on LAPACK's
  // two leading eigenvectors.
  std::vector<double> c2(c.size(), 7.0);
  rankFactor(d, M, r, c2.data());
  for (int j = 0; j < M; ++j)
    for (int i = r; i <= j; ++i) EXPECT_EQ(c2[j * (j + 1) / 2 + i], 0.0);
  const std::vector<double> W2 = gramOf(c2, M);
  for (int b = 0; b < M; ++b)
    for (int a = 0; a < M; ++a) {
      double p = 0.0;
      for (int k = M - r; k < M; ++k) p += lw[k] * lz[k * M + a] * lz[k * M + b];
      EXPECT_NEAR(W2[b * M + a], p, 1e-12 * lw[M - 1]) << a << " " << b;
    }

  // DELTA = M W2(a,b) / (root(a) root(b)) / trace: its penalty is 1/2 the
  // log of the product of its two nonzero eigenvalues.
  const std::vector<double> root{1.0, 30.0, 0.2, 5.0};
  std::vector<double> delta(M * M);
  double trace = 0.0;
  for (int j = 0; j < M; ++j) trace += W2[j * M + j] / (root[j] * root[j]);
  for (int b = 0; b < M; ++b)
    for (int a = 0; a < M; ++a) delta[b * M + a] = M * W2[b * M + a] / (root[a] * root[b]) / trace;
  std::vector<double> dw, dz;
  lapackEigen(M, delta, dw, dz);
  const double expected = 0.5 * (std::log(dw[M - 1]) + std::log(dw[M - 2]));
  EXPECT_NEAR(halfLogPseudoDet(c2.data(), root, M, r), expected, 1e-10);
  // At full rank (a definite factor) it is 1/2 log det of the full DELTA,
  // and a factor short of its rank has none.
  std::vector<double> cf(c.size());
  for (int j = 0; j < M; ++j)
    for (int i = 0; i <= j; ++i)
      cf[j * (j + 1) / 2 + i] = i == j ? 1.0 + std::fabs(g(rng)) : g(rng);
  const std::vector<double> Wf = gramOf(cf, M);
  std::vector<double> full(M * M);
  trace = 0.0;
  for (int j = 0; j < M; ++j) trace += Wf[j * M + j] / (root[j] * root[j]);
  for (int b = 0; b < M; ++b)
    for (int a = 0; a < M; ++a) full[b * M + a] = M * Wf[b * M + a] / (root[a] * root[b]) / trace;
  lapackEigen(M, full, dw, dz);
  double logDet = 0.0;
  for (double v : dw) logDet += std::log(v);
  EXPECT_NEAR(halfLogPseudoDet(cf.data(), root, M, M), 0.5 * logDet, 1e-12 * std::fabs(logDet));
  EXPECT_TRUE(std::isinf(halfLogPseudoDet(c2.data(), root, M, 3)));

  // The null space: DELTA v = 0, the largest element +1.
  const std::vector<double> v = deltaNullSpace(c2.data(), root, M, r);
  ASSERT_EQ(v.size(), static_cast<size_t>(M * (M - r)));
  for (int k = 0; k < M - r; ++k) {
    double big = 0.0;
    for (int i = 0; i < M; ++i) big = std::max(big, std::fabs(v[k * M + i]));
    EXPECT_DOUBLE_EQ(big, 1.0);
    for (int i = 0; i < M; ++i) {
      double dv = 0.0;
      for (int j = 0; j < M; ++j) dv += delta[j * M + i] * v[k * M + j];
      EXPECT_NEAR(dv, 0.0, 1e-12) << k << " " << i;
    }
  }
}

// Random groups (x~ = (1, x), T rows, P = 1) for the panel's likelihood.
struct Groups {
  std::vector<std::vector<double>> tlx, xz, y;
  std::vector<PanelGroupData> data;
};

void randomGroups(Groups& g, int count, int T) {
  std::mt19937 rng(5);
  std::normal_distribution<double> n;
  g.tlx.resize(count);
  g.xz.resize(count);
  g.y.resize(count);
  for (int k = 0; k < count; ++k) {
    for (int t = 0; t < T; ++t) {
      const double x = 1.0 + n(rng);
      g.tlx[k].insert(g.tlx[k].end(), {1.0, x});
      g.y[k].push_back(2.0 + x + n(rng) + x * n(rng));
    }
    g.xz[k].assign(2 * T, 1.0);
    for (int t = 0; t < T; ++t) g.xz[k][T + t] = g.tlx[k][2 * t + 1];
    g.data.push_back(PanelGroupData{Mat{g.tlx[k].data(), 2, 2, T}, Mat{g.xz[k].data(), T, T, 2},
                                    g.y[k].data(),
                                    PiRestrictionView{Mat{nullptr, 1, 0, 2}, nullptr, 0}});
  }
}

TEST(DeltaRank, PhiIsFlatOnlyAlongACombinationTheInnovationsNeverReach) {
  const int M = 2;
  // DELTA = e1 e1': the second innovation is 0.
  const std::vector<double> c{1.0, 0.0, 0.0}, root{1.0, 1.0};
  std::vector<double> delta{1.0, 0.0, 0.0, 0.0};
  Groups groups;
  randomGroups(groups, 4, 25);
  Panel panel(groups.data, M, PanelCriterion::REML, 1);
  ASSERT_TRUE(panel.ready());
  auto loglik = [&](std::vector<double> phi) {
    double v = 0.0;
    std::vector<double> d = delta;
    EXPECT_TRUE(panel.evaluate(Mat{phi.data(), M, M, M}, Mat{d.data(), M, M, M}, v));
    return v;
  };
  // PHI(2,1) = 0: EPSILON_2 gets nothing from EPSILON_1 and stays at 0,
  // so PHI's second column does not matter.
  const std::vector<double> upper{0.5, 0.0, 0.3, 0.4};
  const std::vector<double> w = phiFlatDirections(upper, c.data(), root, M, 1, 1e-10);
  ASSERT_EQ(w.size(), 2u);
  EXPECT_NEAR(w[0], 0.0, 1e-12);
  EXPECT_EQ(w[1], 1.0);
  const double base = loglik(upper);
  EXPECT_NEAR(loglik({0.5, 0.0, -0.6, 0.8}), base, 1e-10 * std::fabs(base));
  // PHI(2,1) = 0.2 feeds EPSILON_2 from the first innovation: every
  // combination varies and the same move of PHI's second column changes
  // the likelihood.
  const std::vector<double> fed{0.5, 0.2, 0.3, 0.4};
  EXPECT_TRUE(phiFlatDirections(fed, c.data(), root, M, 1, 1e-10).empty());
  EXPECT_GT(std::fabs(loglik({0.5, 0.2, -0.6, 0.8}) - loglik(fed)), 1e-3);
}

}  // namespace
}  // namespace kova
