// The real general eigenproblem: BALANC, ELMHES, ELTRAN, HQR2, BALBAK in
// sequence, checked against LAPACK dgeev and by the residual A C - C diag(eval)
// of the complex eigenvectors. HQR2 stops iterating at the relative size
// DMACH(1) = 1.6E-13, so the residual bounds are in units of that tolerance,
// not of the double precision epsilon.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <random>
#include <vector>

#include "linalg/complex_eigen.h"
#include "linalg/eispack.h"
#include "linalg/lapack_eispack_ref.h"

namespace kova {
namespace {

constexpr double kTol = 1.6E-13;
constexpr double kPad = 7777.0;  // rows NM-N of padding must come back untouched

struct General {
  int nm = 0, n = 0, low = 0, igh = 0, ierr = -1;
  std::vector<double> a, h, z, wr, wi, scale;
  double& at(int i, int j) { return a[(i - 1) + static_cast<size_t>(j - 1) * nm]; }
};

General matrix(int n, int nm, unsigned seed) {
  General g;
  g.n = n;
  g.nm = nm;
  g.a.assign(static_cast<size_t>(nm) * n, kPad);
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i) g.at(i, j) = u(gen);
  return g;
}

void solve(General& g) {
  const int n = g.n, nm = g.nm;
  g.h = g.a;
  g.z.assign(g.h.size(), kPad);
  g.wr.assign(n, 0.0);
  g.wi.assign(n, 0.0);
  g.scale.assign(n, 0.0);
  std::vector<int> intch(n, 0);
  BALANC(nm, n, g.h.data(), g.low, g.igh, g.scale.data());
  ELMHES(nm, n, g.low, g.igh, g.h.data(), intch.data());
  ELTRAN(nm, n, g.low, g.igh, g.h.data(), intch.data(), g.z.data());
  HQR2(nm, n, g.low, g.igh, g.h.data(), g.wr.data(), g.wi.data(), g.z.data(), g.ierr);
  BALBAK(nm, n, g.low, g.igh, g.scale.data(), n, g.z.data());
}

double frobenius(const General& g) {
  double s = 0.0;
  for (int j = 0; j < g.n; ++j)
    for (int i = 0; i < g.n; ++i) s += g.a[i + static_cast<size_t>(j) * g.nm] * g.a[i + static_cast<size_t>(j) * g.nm];
  return std::sqrt(s);
}

// ||A C - C diag(eval)||_F / (n tol ||A||_F ||C||_F), C from EIGCPX and A C
// from ZMATMU.
double residualRatio(const General& g) {
  const int n = g.n, nm = g.nm;
  std::vector<dcomplex> ac(g.a.begin(), g.a.end()), c(n * n), eval(n), prod(n * n), work(n);
  EIGCPX(nm, n, g.z.data(), g.wr.data(), g.wi.data(), eval.data(), n, c.data());
  ZMATMU(nm, n, n, ac.data(), n, n, c.data(), n, prod.data(), work.data());
  double res = 0.0, cn = 0.0;
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) {
      res += std::norm(prod[i + j * n] - eval[j] * c[i + j * n]);
      cn += std::norm(c[i + j * n]);
    }
  return std::sqrt(res) / (n * kTol * frobenius(g) * std::sqrt(cn));
}

// Eigenvalues of A by dgeev, each matched to the nearest unused one of ours.
void expectSpectrumOf(const General& ours, const General& ref, double tol) {
  int n = ref.n, nm = ref.nm, lwork = 8 * n + 8, info = 0, one = 1;
  std::vector<double> a = ref.a, wr(n), wi(n), work(lwork), dummy(1);
  dgeev_("N", "N", &n, a.data(), &nm, wr.data(), wi.data(), dummy.data(), &one, dummy.data(), &one, work.data(),
         &lwork, &info, 1, 1);
  ASSERT_EQ(info, 0);
  std::vector<bool> used(n, false);
  for (int k = 0; k < n; ++k) {
    int best = -1;
    double dist = std::numeric_limits<double>::infinity();
    for (int j = 0; j < n; ++j) {
      const double d = std::abs(dcomplex(ours.wr[j] - wr[k], ours.wi[j] - wi[k]));
      if (!used[j] && d < dist) {
        dist = d;
        best = j;
      }
    }
    ASSERT_GE(best, 0);
    used[best] = true;
    EXPECT_LE(dist, tol) << "LAPACK eigenvalue " << wr[k] << " + " << wi[k] << "i";
  }
}

void expectPaddingKept(const General& g) {
  for (int j = 0; j < g.n; ++j)
    for (int i = g.n; i < g.nm; ++i) {
      EXPECT_EQ(g.h[i + static_cast<size_t>(j) * g.nm], kPad);
      EXPECT_EQ(g.z[i + static_cast<size_t>(j) * g.nm], kPad);
    }
}

TEST(GeneralEigen, RandomMatricesMatchLapackWithSmallResidual) {
  const int sizes[][2] = {{2, 2}, {5, 5}, {12, 15}, {40, 43}};
  for (const auto& s : sizes) {
    SCOPED_TRACE(s[0]);
    General g = matrix(s[0], s[1], 11u + s[0]);
    solve(g);
    ASSERT_EQ(g.ierr, 0);
    expectSpectrumOf(g, g, 1e-9 * frobenius(g));
    EXPECT_LT(residualRatio(g), 10.0);
    expectPaddingKept(g);
  }
}

TEST(GeneralEigen, OrdersOneAndZero) {
  General g = matrix(1, 3, 1);
  g.at(1, 1) = -2.5;
  solve(g);
  EXPECT_EQ(g.ierr, 0);
  EXPECT_EQ(g.wr[0], -2.5);
  EXPECT_EQ(g.wi[0], 0.0);
  EXPECT_EQ(g.z[0], 1.0);
  expectPaddingKept(g);

  General e = matrix(0, 1, 1);
  solve(e);
  EXPECT_EQ(e.ierr, 0);
  EXPECT_EQ(e.low, 1);
  EXPECT_EQ(e.igh, 0);
}

TEST(GeneralEigen, RepeatedEigenvalues) {
  // 2 I + u v' has the eigenvalue 2 five times (not defective) and 2 + v'u.
  General g = matrix(6, 6, 3), uv = matrix(6, 6, 4);
  double vu = 0.0;
  for (int i = 1; i <= 6; ++i) vu += uv.at(i, 1) * uv.at(i, 2);
  for (int j = 1; j <= 6; ++j)
    for (int i = 1; i <= 6; ++i) g.at(i, j) = uv.at(i, 1) * uv.at(j, 2) + (i == j ? 2.0 : 0.0);
  solve(g);
  ASSERT_EQ(g.ierr, 0);
  EXPECT_EQ(std::count_if(g.wr.begin(), g.wr.end(), [](double w) { return std::fabs(w - 2.0) < 1e-10; }), 5);
  EXPECT_EQ(std::count_if(g.wr.begin(), g.wr.end(), [&](double w) { return std::fabs(w - 2.0 - vu) < 1e-10; }), 1);
  for (double w : g.wi) EXPECT_EQ(w, 0.0);
  EXPECT_LT(residualRatio(g), 10.0);

  // A Jordan block: triangular, so BALANC isolates both eigenvalues exactly.
  General j = matrix(2, 2, 1);
  j.a = {2.0, 0.0, 1.0, 2.0};
  solve(j);
  EXPECT_EQ(j.ierr, 0);
  EXPECT_EQ(j.wr, (std::vector<double>{2.0, 2.0}));
  EXPECT_LT(residualRatio(j), 10.0);
}

TEST(GeneralEigen, ZeroColumnIsIsolated) {
  General g = matrix(6, 7, 5);
  for (int i = 1; i <= 6; ++i) g.at(i, 4) = 0.0;
  solve(g);
  ASSERT_EQ(g.ierr, 0);
  EXPECT_EQ(g.low, 2);
  EXPECT_EQ(g.igh, 6);
  EXPECT_EQ(std::count(g.wr.begin(), g.wr.end(), 0.0), 1);
  expectSpectrumOf(g, g, 1e-9 * frobenius(g));
  EXPECT_LT(residualRatio(g), 10.0);
}

TEST(GeneralEigen, BalancingRescuesBadlyScaledMatrix) {
  // A = D B D^-1 with D powers of two spanning 2^55: same eigenvalues as B.
  const int n = 6;
  const int e[] = {0, 20, -20, 35, -12, 10};
  General b = matrix(n, n, 9), a = b;
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i) a.at(i, j) = std::ldexp(b.at(i, j), e[i - 1] - e[j - 1]);
  solve(a);
  ASSERT_EQ(a.ierr, 0);
  General after = a;
  BALANC(n, n, after.a.data(), after.low, after.igh, after.scale.data());
  EXPECT_LT(frobenius(after), 100.0 * frobenius(b));
  EXPECT_GT(frobenius(a), 1e9 * frobenius(b));
  for (double s : after.scale) {
    int ex = 0;
    EXPECT_EQ(std::frexp(s, &ex), 0.5);
    EXPECT_EQ((ex - 1) % 4, 0) << "scale " << s << " is not a power of 16";
  }
  expectSpectrumOf(a, b, 1e-10 * frobenius(b));
  EXPECT_LT(residualRatio(a), 10.0);
}

TEST(GeneralEigen, NonFiniteEntryFailsInsteadOfHanging) {
  General g = matrix(4, 4, 2);
  g.at(2, 3) = std::numeric_limits<double>::quiet_NaN();
  solve(g);
  EXPECT_GT(g.ierr, 0);
}

}  // namespace
}  // namespace kova
