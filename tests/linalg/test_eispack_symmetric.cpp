// The symmetric eigenproblem, TRED2 then TQL2, checked against LAPACK dsyev,
// a closed form, the residual A Z - Z diag(D) and the orthogonality of Z.
// TQL2 deflates at DMACH(1) = 1.6E-13 relative, so residuals are measured in
// that unit; orthogonality rests on exact rotations and is held to the
// double precision epsilon.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "linalg/eispack.h"
#include "linalg/lapack_eispack_ref.h"

namespace kova {
namespace {

constexpr double kTol = 1.6E-13;
constexpr double kPad = 7777.0;

struct Sym {
  int n, nm;
  std::vector<double> a, d, e, z;
  double& at(int i, int j) { return a[(i - 1) + static_cast<size_t>(j - 1) * nm]; }
  double zat(int i, int j) const { return z[(i - 1) + static_cast<size_t>(j - 1) * nm]; }
  // The matrix itself, from the lower triangle.
  double lower(int i, int j) const { return a[(std::max(i, j) - 1) + static_cast<size_t>(std::min(i, j) - 1) * nm]; }
};

// Symmetric in its lower triangle; the upper triangle holds junk TRED2 must
// not read.
Sym symmetric(int n, int nm, unsigned seed) {
  Sym s{n, nm, std::vector<double>(static_cast<size_t>(nm) * n, kPad), {}, {}, {}};
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i) s.at(i, j) = i >= j ? u(gen) : 1e6;
  return s;
}

int solve(Sym& s, bool inPlace = false) {
  s.d.assign(s.n, 0.0);
  s.e = s.d;
  s.z = inPlace ? s.a : std::vector<double>(s.a.size(), kPad);
  TRED2(s.nm, s.n, inPlace ? s.z.data() : s.a.data(), s.d.data(), s.e.data(), s.z.data());
  int ierr = -1;
  TQL2(s.nm, s.n, s.d.data(), s.e.data(), s.z.data(), ierr);
  return ierr;
}

double frobenius(const Sym& s) {
  double f = 0.0;
  for (int j = 1; j <= s.n; ++j)
    for (int i = 1; i <= s.n; ++i) f += s.lower(i, j) * s.lower(i, j);
  return std::sqrt(f);
}

// Residual and orthogonality of the result, in their units.
void expectEigenpairs(const Sym& s) {
  const int n = s.n;
  double res = 0.0, orth = 0.0;
  for (int j = 1; j <= n; ++j) {
    for (int i = 1; i <= n; ++i) {
      double az = 0.0, zz = 0.0;
      for (int k = 1; k <= n; ++k) {
        az += s.lower(i, k) * s.zat(k, j);
        zz += s.zat(k, i) * s.zat(k, j);
      }
      res += std::pow(az - s.d[j - 1] * s.zat(i, j), 2);
      orth += std::pow(zz - (i == j), 2);
    }
    if (j > 1) {
      EXPECT_LE(s.d[j - 2], s.d[j - 1]) << "not ascending at " << j;
    }
  }
  EXPECT_LT(std::sqrt(res), 10.0 * n * kTol * frobenius(s));
  EXPECT_LT(std::sqrt(orth), 10.0 * n * DBL_EPSILON);
  for (int j = 1; j <= n; ++j)
    for (int i = n + 1; i <= s.nm; ++i) EXPECT_EQ(s.zat(i, j), kPad);
}

std::vector<double> dsyevValues(const Sym& s) {
  int n = s.n, lda = s.nm, lwork = 8 * n + 8, info = 0;
  std::vector<double> a = s.a, w(n), work(lwork);
  dsyev_("N", "L", &n, a.data(), &lda, w.data(), work.data(), &lwork, &info, 1, 1);
  EXPECT_EQ(info, 0);
  return w;
}

TEST(SymmetricEigen, RandomMatricesMatchDsyev) {
  const int sizes[][2] = {{2, 2}, {3, 5}, {9, 9}, {30, 32}};
  for (const auto& sz : sizes) {
    SCOPED_TRACE(sz[0]);
    for (bool inPlace : {false, true}) {
      Sym s = symmetric(sz[0], sz[1], 21u + sz[0]);
      ASSERT_EQ(solve(s, inPlace), 0);
      std::vector<double> w = dsyevValues(s);
      for (int i = 0; i < s.n; ++i) EXPECT_NEAR(s.d[i], w[i], 10.0 * s.n * kTol * frobenius(s));
      expectEigenpairs(s);
    }
  }
}

TEST(SymmetricEigen, OrdersOneAndZero) {
  Sym one = symmetric(1, 2, 1);
  one.at(1, 1) = 4.25;
  EXPECT_EQ(solve(one), 0);
  EXPECT_EQ(one.d[0], 4.25);
  EXPECT_EQ(one.zat(1, 1), 1.0);
  EXPECT_EQ(one.zat(2, 1), kPad);
  Sym none = symmetric(0, 1, 1);
  EXPECT_EQ(solve(none), 0);
}

TEST(SymmetricEigen, RepeatedEigenvaluesKeepOrthogonalVectors) {
  // Diagonal, unsorted, with repeats: the result is sorted and Z permutes.
  Sym s = symmetric(5, 5, 1);
  const double diag[] = {5, 1, 3, 1, 3};
  for (int j = 1; j <= 5; ++j)
    for (int i = j; i <= 5; ++i) s.at(i, j) = i == j ? diag[i - 1] : 0.0;
  ASSERT_EQ(solve(s), 0);
  EXPECT_EQ(s.d, (std::vector<double>{1, 1, 3, 3, 5}));
  expectEigenpairs(s);

  // All ones: rank one, eigenvalue n once and 0 n-1 times.
  Sym ones = symmetric(6, 7, 1);
  for (int j = 1; j <= 6; ++j)
    for (int i = j; i <= 6; ++i) ones.at(i, j) = 1.0;
  ASSERT_EQ(solve(ones), 0);
  for (int i = 0; i < 5; ++i) EXPECT_NEAR(ones.d[i], 0.0, 1e-13);
  EXPECT_NEAR(ones.d[5], 6.0, 1e-12);
  expectEigenpairs(ones);
}

TEST(SymmetricEigen, TridiagonalClosedForm) {
  // TQL2 alone on tridiag(-1, 2, -1) with Z = I: eigenvalues
  // 2 - 2 cos(k pi / (n + 1)).
  const int n = 12;
  std::vector<double> d(n, 2.0), e(n, -1.0), z(n * n, 0.0);
  for (int i = 0; i < n; ++i) z[i + i * n] = 1.0;
  int ierr = -1;
  TQL2(n, n, d.data(), e.data(), z.data(), ierr);
  ASSERT_EQ(ierr, 0);
  for (int k = 1; k <= n; ++k) EXPECT_NEAR(d[k - 1], 2.0 - 2.0 * std::cos(k * std::numbers::pi / (n + 1)), 1e-12);
}

}  // namespace
}  // namespace kova
