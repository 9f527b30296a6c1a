// EIGCPX, ZMATMU and clearMatrix.
#include <gtest/gtest.h>

#include <complex>
#include <vector>

#include "linalg/complex_eigen.h"
#include "linalg/eispack.h"

namespace kova {
namespace {

TEST(ComplexEigen, EigcpxGivesConjugatePairs) {
  // [0 -2; 1/2 0] has eigenvalues +-i with a complex eigenvector pair; the
  // third eigenvalue, 3, is real. NM = 4 > N.
  const int n = 3, nm = 4;
  std::vector<double> h = {0, 0.5, 0, -9, -2, 0, 0, -9, 1, 1, 3, -9};
  std::vector<double> z(nm * n, 0.0), wr(n), wi(n);
  for (int i = 0; i < n; ++i) z[i + i * nm] = 1.0;
  int ierr = -1;
  HQR2(nm, n, 1, n, h.data(), wr.data(), wi.data(), z.data(), ierr);
  ASSERT_EQ(ierr, 0);
  ASSERT_GT(wi[0], 0.0);

  std::vector<dcomplex> eval(n), c(5 * n, dcomplex(-9, -9));
  EIGCPX(nm, n, z.data(), wr.data(), wi.data(), eval.data(), 5, c.data());
  EXPECT_NEAR(eval[0].imag(), 1.0, 1e-14);
  EXPECT_EQ(eval[1], std::conj(eval[0]));
  EXPECT_EQ(eval[2], dcomplex(3.0, 0.0));
  for (int i = 0; i < n; ++i) {
    EXPECT_EQ(c[i + 5], std::conj(c[i]));
    EXPECT_EQ(c[i], dcomplex(z[i], z[i + nm]));
    EXPECT_EQ(c[i + 10], dcomplex(z[i + 2 * nm], 0.0));
  }
  EXPECT_EQ(c[3], dcomplex(-9, -9));  // rows beyond N untouched

  // The eigen-relation holds for the complex vectors: A c = lambda c.
  const double a[3][3] = {{0, -2, 1}, {0.5, 0, 1}, {0, 0, 3}};
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) {
      dcomplex ac = 0.0;
      for (int k = 0; k < n; ++k) ac += a[i][k] * c[k + 5 * j];
      EXPECT_LT(std::abs(ac - eval[j] * c[i + 5 * j]), 1e-13);
    }
}

TEST(ComplexEigen, ZmatmuMatchesDirectProductAndMayOverwriteB) {
  const int m = 3, k = 3, n = 2, lda = 4;
  std::vector<dcomplex> a(lda * k), b(k * n), c(5 * n, dcomplex(7, 7)), work(m);
  for (int j = 0; j < k; ++j)
    for (int i = 0; i < m; ++i) a[i + j * lda] = dcomplex(i + 1, j - i);
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < k; ++i) b[i + j * k] = dcomplex(j - 1.5, i + 0.25);
  ZMATMU(lda, m, k, a.data(), k, n, b.data(), 5, c.data(), work.data());
  for (int j = 0; j < n; ++j) {
    for (int i = 0; i < m; ++i) {
      dcomplex s = 0.0;
      for (int l = 0; l < k; ++l) s += a[i + l * lda] * b[l + j * k];
      EXPECT_LT(std::abs(c[i + 5 * j] - s), 1e-14);
    }
    EXPECT_EQ(c[3 + 5 * j], dcomplex(7, 7));
  }
  // In place: B := A B.
  ZMATMU(lda, m, k, a.data(), k, n, b.data(), k, b.data(), work.data());
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < m; ++i) EXPECT_LT(std::abs(b[i + j * k] - c[i + 5 * j]), 1e-14);
}

TEST(ComplexEigen, ClearMatrixLeavesPaddingAlone) {
  std::vector<double> a(4 * 3, 5.0);
  clearMatrix(4, 2, 3, a.data());
  std::vector<dcomplex> c(3 * 2, dcomplex(5, 5));
  clearMatrix(3, 3, 2, c.data());
  for (int j = 0; j < 3; ++j)
    for (int i = 0; i < 4; ++i) EXPECT_EQ(a[i + 4 * j], i < 2 ? 0.0 : 5.0);
  for (dcomplex v : c) EXPECT_EQ(v, dcomplex(0, 0));
}

}  // namespace
}  // namespace kova
