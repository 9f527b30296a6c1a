// SYMLSQ against the pseudo-inverse of A'A built from LAPACK's dgesvd with
// the same rank cut.
#include <gtest/gtest.h>

#include "lapack_lsq_ref.h"
#include "linalg/symmetric_lsq.h"

namespace kova::test {
namespace {

struct SymOut {
  DMat w;
  int r = -1;
};

SymOut runSymlsq(DMat a, DMat b, double tol) {
  int n = a.rows, p = a.cols;
  std::vector<double> s(std::max(1, std::min(n + 1, p))), e(p), work(std::max(n, p));
  DMat v(p, p, 1);
  SymOut out{b, -1};
  SYMLSQ(a.data(), a.ld, n, p, out.w.data(), out.w.ld, b.cols, tol, s.data(), e.data(), v.data(),
         v.ld, work.data(), out.r, 0);
  return out;
}

// sum over the leading singular values with s^2 > tol s1^2 of v v' / s^2,
// applied to B; the rank is returned through r.
DMat pinvNormal(DMat a, const DMat& b, double tol, int& r) {
  int m = a.rows, n = a.cols, lwork = -1, info = 0, k = std::min(m, n);
  std::vector<double> s(std::max(1, k));
  DMat vt(n, n);
  double query = 0.0, dummy = 0.0;
  int one = 1;
  dgesvd_("N", "A", &m, &n, a.data(), &a.ld, s.data(), &dummy, &one, vt.data(), &vt.ld, &query,
          &lwork, &info, 1, 1);
  lwork = static_cast<int>(query);
  std::vector<double> work(lwork);
  dgesvd_("N", "A", &m, &n, a.data(), &a.ld, s.data(), &dummy, &one, vt.data(), &vt.ld, work.data(),
          &lwork, &info, 1, 1);
  EXPECT_EQ(info, 0);
  r = 0;
  while (r < k && s[r] * s[r] > tol * s[0] * s[0]) ++r;
  DMat out(n, b.cols);
  for (int i = 1; i <= r; ++i)
    for (int j = 1; j <= b.cols; ++j) {
      double c = 0.0;
      for (int l = 1; l <= n; ++l) c += vt(i, l) * b(l, j);
      c /= s[i - 1] * s[i - 1];
      for (int l = 1; l <= n; ++l) out(l, j) += c * vt(i, l);
    }
  return out;
}

void checkAgainstSvd(const DMat& a, const DMat& b, double tol, int expectedRank) {
  SymOut got = runSymlsq(a, b, tol);
  int r = -1;
  DMat ref = pinvNormal(a, b, tol, r);
  EXPECT_EQ(got.r, expectedRank);
  EXPECT_EQ(r, expectedRank);
  EXPECT_LT(maxAbs(difference(got.w, ref)), 1e-11 * std::max(1.0, maxAbs(ref)))
      << a.rows << " x " << a.cols;
}

TEST(Symlsq, FullColumnRankSolvesTheNormalEquations) {
  DMat a = randomMatrix(10, 4, 1, 2), b = randomMatrix(4, 3, 2, 1);
  SymOut got = runSymlsq(a, b, 1e-14);
  EXPECT_EQ(got.r, 4);
  EXPECT_LT(maxAbs(difference(got.w, solveSquare(multiply(a, a, true), b))), 1e-12);
  checkAgainstSvd(a, b, 1e-14, 4);
}

TEST(Symlsq, DeficientAndWideMatricesGiveTheMinimumNormSolution) {
  DMat zeroCol = randomMatrix(9, 5, 11);
  for (int i = 1; i <= 9; ++i) zeroCol(i, 3) = 0.0;
  checkAgainstSvd(zeroCol, randomMatrix(5, 2, 12), 1e-14, 4);
  checkAgainstSvd(lowRank(8, 6, 2, 13), randomMatrix(6, 2, 14), 1e-14, 2);
  checkAgainstSvd(randomMatrix(3, 5, 15), randomMatrix(5, 1, 16), 1e-14, 3);
  // The answer lies in the row space of A: no component along a zero column.
  SymOut got = runSymlsq(zeroCol, randomMatrix(5, 2, 12), 1e-14);
  EXPECT_NEAR(got.w(3, 1), 0.0, 1e-14);
  EXPECT_NEAR(got.w(3, 2), 0.0, 1e-14);
}

TEST(Symlsq, ToleranceOfOneOrMoreGivesRankZeroAndZeroSolutions) {
  SymOut got = runSymlsq(randomMatrix(6, 3, 21), randomMatrix(3, 2, 22), 1.0);
  EXPECT_EQ(got.r, 0);
  EXPECT_EQ(maxAbs(got.w), 0.0);
  got = runSymlsq(DMat(4, 3), randomMatrix(3, 1, 23), 1e-14);  // zero matrix
  EXPECT_EQ(got.r, 0);
  EXPECT_EQ(maxAbs(got.w), 0.0);
}

}  // namespace
}  // namespace kova::test
