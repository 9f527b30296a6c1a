// ZGEFA and ZGEDI against LAPACK's zgetrf and zgetri, which pivot by the
// same |re| + |im| rule, so pivots and factors can be compared directly.
#include <gtest/gtest.h>

#include "lapack_linpack_ref.h"
#include "linalg/linpack.h"

namespace kova::test {
namespace {

using cd = std::complex<double>;

ZMat randomComplex(int n, unsigned seed, int pad = 0) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  ZMat m(n, n, pad);
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i) m(i, j) = cd(dist(gen), dist(gen));
  return m;
}

double cabs1(cd z) { return std::fabs(z.real()) + std::fabs(z.imag()); }

struct Lu {
  ZMat a;
  std::vector<int> ipvt;
  int info = -1;
};

Lu factor(const ZMat& a0) {
  Lu f{a0, std::vector<int>(std::max(1, a0.rows), 0)};
  ZGEFA(f.a.data(), f.a.ld, a0.rows, f.ipvt.data(), f.info);
  return f;
}

TEST(Zgefa, InverseAndPivotsMatchLapack) {
  for (int n : {1, 2, 5, 12}) {
    ZMat a0 = randomComplex(n, 300 + n, 2);
    Lu f = factor(a0);
    ASSERT_EQ(f.info, 0);

    ZMat ref = a0;
    std::vector<int> ipiv(n);
    int info = 0, lwork = 64 * n;
    zgetrf_(&n, &n, ref.data(), &ref.ld, ipiv.data(), &info);
    ASSERT_EQ(info, 0);
    EXPECT_EQ(f.ipvt, ipiv);
    // U agrees; L is stored differently (negated, rows not interchanged).
    for (int j = 1; j <= n; ++j)
      for (int i = 1; i <= j; ++i) EXPECT_LT(std::abs(f.a(i, j) - ref(i, j)), 1e-13);

    std::vector<cd> zwork(lwork), work(n), det(2);
    zgetri_(&n, ref.data(), &ref.ld, ipiv.data(), zwork.data(), &lwork, &info);
    ASSERT_EQ(info, 0);
    ZGEDI(f.a.data(), f.a.ld, n, f.ipvt.data(), det.data(), work.data(), 1);
    double scale = 0.0;
    for (int j = 1; j <= n; ++j)
      for (int i = 1; i <= n; ++i) scale = std::max(scale, std::abs(ref(i, j)));
    for (int j = 1; j <= n; ++j)
      for (int i = 1; i <= n; ++i)
        EXPECT_LT(std::abs(f.a(i, j) - ref(i, j)), 1e3 * kEps * n * scale);
    // A * inverse = I.
    for (int j = 1; j <= n; ++j)
      for (int i = 1; i <= n; ++i) {
        cd s = 0.0;
        for (int k = 1; k <= n; ++k) s += a0(i, k) * f.a(k, j);
        EXPECT_LT(std::abs(s - (i == j ? 1.0 : 0.0)), 1e3 * kEps * n * scale);
      }
  }
}

TEST(Zgedi, DeterminantIsNormalizedAndMatchesLapack) {
  const int n = 7;
  ZMat a0 = randomComplex(n, 311);
  for (int i = 1; i <= n; ++i) a0(i, i) *= 40.0;  // |det| well above 10
  Lu f = factor(a0);
  ZMat ref = a0;
  std::vector<int> ipiv(n);
  int info = 0;
  zgetrf_(&n, &n, ref.data(), &ref.ld, ipiv.data(), &info);
  cd expected = 1.0;
  for (int i = 1; i <= n; ++i) expected *= (ipiv[i - 1] != i ? -1.0 : 1.0) * ref(i, i);

  std::vector<cd> det(2), work(n);
  ZMat both = f.a;
  ZGEDI(f.a.data(), f.a.ld, n, f.ipvt.data(), det.data(), work.data(), 10);
  EXPECT_GE(cabs1(det[0]), 1.0);
  EXPECT_LT(cabs1(det[0]), 10.0);
  EXPECT_EQ(det[1].imag(), 0.0);
  cd value = det[0] * std::pow(10.0, det[1].real());
  EXPECT_LT(std::abs(value - expected), 1e-12 * std::abs(expected));
  EXPECT_EQ(f.a.a, both.a) << "job 10 must leave the factors alone";

  // Job 11 gives the same determinant and the inverse.
  std::vector<cd> det2(2);
  ZGEDI(both.data(), both.ld, n, f.ipvt.data(), det2.data(), work.data(), 11);
  EXPECT_EQ(det2, det);
  cd s = 0.0;
  for (int k = 1; k <= n; ++k) s += a0(1, k) * both(k, 1);
  EXPECT_LT(std::abs(s - 1.0), 1e-12);

  // Small determinants are scaled up into range.
  ZMat tiny(2, 2);
  tiny(1, 1) = cd(1e-5, 0.0);
  tiny(2, 2) = cd(0.0, 3e-4);
  Lu g = factor(tiny);
  ZGEDI(g.a.data(), g.a.ld, 2, g.ipvt.data(), det.data(), work.data(), 10);
  EXPECT_NEAR(det[0].imag(), 3.0, 1e-12);
  EXPECT_NEAR(det[0].real(), 0.0, 1e-12);
  EXPECT_EQ(det[1].real(), -9.0);
}

TEST(Zgefa, PivotsByRealPlusImaginaryMagnitude) {
  // |1+i| = 1.41 < 1.5 but |re| + |im| = 2 > 1.5: row 2 is the pivot.
  ZMat a(2, 2);
  a(1, 1) = cd(1.5, 0.0);
  a(2, 1) = cd(1.0, 1.0);
  a(1, 2) = cd(0.0, 1.0);
  a(2, 2) = cd(2.0, 0.0);
  Lu f = factor(a);
  EXPECT_EQ(f.info, 0);
  EXPECT_EQ(f.ipvt[0], 2);
  EXPECT_EQ(f.a(1, 1), cd(1.0, 1.0));
}

TEST(Zgefa, SingularMatricesReportTheZeroPivot) {
  ZMat a = randomComplex(4, 321);
  for (int i = 1; i <= 4; ++i) a(i, 2) = 0.0;
  Lu f = factor(a);
  EXPECT_EQ(f.info, 2);
  std::vector<cd> det(2), work(4);
  ZGEDI(f.a.data(), f.a.ld, 4, f.ipvt.data(), det.data(), work.data(), 10);
  EXPECT_EQ(det[0], cd(0.0, 0.0));

  // Rows 1 and 3 equal, entries chosen so that the elimination is exact.
  const double rows[3][3] = {{2, 1, 1}, {4, 3, 3}, {2, 1, 1}};
  ZMat b(3, 3);
  for (int i = 1; i <= 3; ++i)
    for (int j = 1; j <= 3; ++j) b(i, j) = cd(0.0, rows[i - 1][j - 1]);
  Lu g = factor(b);
  EXPECT_EQ(g.info, 3);
  EXPECT_EQ(g.ipvt[2], 3);

  ZMat zero(1, 1);
  EXPECT_EQ(factor(zero).info, 1);
  ZMat empty(0, 0);
  EXPECT_EQ(factor(empty).info, 0);
}

TEST(Zgedi, NonFiniteDeterminantDoesNotHang) {
  ZMat a(2, 2);
  a(1, 1) = cd(1e300, 0.0);
  a(2, 2) = cd(1e300, 0.0);
  Lu f = factor(a);
  std::vector<cd> det(2), work(2);
  ZGEDI(f.a.data(), f.a.ld, 2, f.ipvt.data(), det.data(), work.data(), 10);
  EXPECT_EQ(det[1].real(), 600.0);
  a(2, 2) = cd(INFINITY, 0.0);
  f = factor(a);
  ZGEDI(f.a.data(), f.a.ld, 2, f.ipvt.data(), det.data(), work.data(), 10);
  EXPECT_FALSE(std::isfinite(cabs1(det[0])));
}

}  // namespace
}  // namespace kova::test
