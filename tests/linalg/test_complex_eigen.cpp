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

  // A pair cut off at the edge (not HQR2 output) must not reach past Z:
  // the missing partner column counts as zero.
  double z1[] = {2.0}, wr1[] = {1.0}, wi1[] = {0.5};
  EIGCPX(1, 1, z1, wr1, wi1, eval.data(), 1, c.data());
  EXPECT_EQ(c[0], dcomplex(2.0, 0.0));
  EXPECT_EQ(eval[0], dcomplex(1.0, 0.5));
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
  std::vector<dcomplex> c(4 * 3, dcomplex(5, 5));
  clearMatrix(4, 2, 3, c.data());
  for (int k = 0; k < 12; ++k) EXPECT_EQ(c[k], k % 4 < 2 ? dcomplex(0, 0) : dcomplex(5, 5));
}

}  // namespace
}  // namespace kova
