// DSVDC against LAPACK's dgesvd and against the defining identities
// X V = U S, U'U = I, V'V = I, scaled by size and machine precision.
#include <gtest/gtest.h>

#include "lapack_linpack_ref.h"
#include "linalg/linpack.h"

namespace kova::test {
namespace {

struct Svd {
  std::vector<double> s, e;
  DMat u, v;
  int info = -1;
};

Svd decompose(DMat x, int job) {
  int n = x.rows, p = x.cols;
  int ncu = (job / 10) >= 2 ? std::min(n, p) : n;
  Svd r{std::vector<double>(std::max(1, std::min(n + 1, p)), -1.0),
        std::vector<double>(std::max(1, p)), DMat(n, ncu, 2), DMat(p, p, 1)};
  std::vector<double> work(std::max(1, n));
  DSVDC(x.data(), x.ld, n, p, r.s.data(), r.e.data(), r.u.data(), r.u.ld, r.v.data(), r.v.ld,
        work.data(), job, r.info);
  return r;
}

std::vector<double> lapackValues(DMat x) {
  int m = x.rows, n = x.cols, one = 1, lwork = -1, info = 0;
  std::vector<double> s(std::max(1, std::min(m, n))), query(1), dummy(1);
  dgesvd_("N", "N", &m, &n, x.data(), &x.ld, s.data(), dummy.data(), &one, dummy.data(), &one,
          query.data(), &lwork, &info, 1, 1);
  lwork = static_cast<int>(query[0]);
  std::vector<double> work(lwork);
  dgesvd_("N", "N", &m, &n, x.data(), &x.ld, s.data(), dummy.data(), &one, dummy.data(), &one,
          work.data(), &lwork, &info, 1, 1);
  EXPECT_EQ(info, 0);
  return s;
}

void checkSvd(const DMat& x, int job) {
  int n = x.rows, p = x.cols, k = std::min(n, p);
  Svd r = decompose(x, job);
  ASSERT_EQ(r.info, 0);
  double tol = 20 * kEps * std::max(n, p) * std::max(1.0, frobenius(x));
  std::vector<double> ref = lapackValues(x);
  for (int i = 1; i <= k; ++i) {
    EXPECT_NEAR(r.s[i - 1], ref[i - 1], tol) << "value " << i << " of " << n << " x " << p;
    if (i > 1) {
      EXPECT_LE(r.s[i - 1], r.s[i - 2]);
    }
    EXPECT_GE(r.s[i - 1], 0.0);
  }
  if (job % 10 != 0) {
    EXPECT_LT(orthogonalityError(r.v), 20 * kEps * p);
  }
  if (job / 10 != 0) {
    EXPECT_LT(orthogonalityError(r.u), 20 * kEps * n);
  }
  if (job % 10 != 0 && job / 10 != 0) {
    // X V = U S, S the n x p matrix with the singular values on its diagonal.
    DMat xv = multiply(x, r.v), us(n, p);
    for (int j = 1; j <= k; ++j)
      for (int i = 1; i <= n; ++i) us(i, j) = r.u(i, j) * r.s[j - 1];
    EXPECT_LT(frobenius(difference(xv, us)), tol) << n << " x " << p << " job " << job;
  }
}

TEST(Dsvdc, MatchesLapackAcrossShapesAndJobs) {
  const int shapes[][2] = {{6, 6}, {10, 4}, {4, 10}, {3, 4}, {1, 1}, {1, 5}, {5, 1}, {2, 2},
                           {30, 30}, {45, 12}, {12, 45}};
  unsigned seed = 101;
  for (auto& s : shapes) {
    DMat x = randomMatrix(s[0], s[1], seed++, 3);
    for (int job : {11, 1, 21, 10, 0}) checkSvd(x, job);
  }
}

TEST(Dsvdc, GradedAndZeroColumn) {
  DMat graded = randomMatrix(9, 7, 111);
  for (int j = 1; j <= 7; ++j)
    for (int i = 1; i <= 9; ++i) graded(i, j) *= std::pow(10.0, -3.0 * j);
  checkSvd(graded, 11);
  DMat x = randomMatrix(8, 6, 113, 1);
  for (int i = 1; i <= 8; ++i) x(i, 4) = 0.0;
  checkSvd(x, 11);
  Svd r = decompose(x, 1);
  EXPECT_NEAR(r.s[5], 0.0, 1e-15);
  DMat zero(4, 3);
  checkSvd(zero, 11);
}

TEST(Dsvdc, NumericallySingularMatricesConvergeToWithinEpsOfTheNorm) {
  // Graded columns and low-rank products leave singular values far below
  // eps ||X||. They must converge like the rest, to within a small multiple
  // of eps ||X|| of LAPACK's, and U S V' must still give back X.
  double worstValue = 0.0, worstFit = 0.0;
  unsigned seed = 300;
  for (int n : {1, 2, 5, 17, 40, 60, 100}) {
    std::vector<DMat> cases;
    for (double g : {0.5, 0.1, 1e-3}) {
      DMat x = randomMatrix(n, n, seed++, 1);
      for (int j = 1; j <= n; ++j)
        for (int i = 1; i <= n; ++i) x(i, j) *= std::pow(g, j);
      cases.push_back(x);
    }
    cases.push_back(lowRank(n, n, (n + 2) / 3, seed++));
    cases.push_back(lowRank(n + 4, n, (n + 1) / 2, seed++, 2));
    cases.push_back(lowRank(n, n + 3, (n + 1) / 2, seed++));
    for (const DMat& x : cases) {
      int p = x.cols, k = std::min(x.rows, p);
      Svd r = decompose(x, 11);
      ASSERT_EQ(r.info, 0) << x.rows << " x " << p;
      double unit = kEps * frobenius(x);
      std::vector<double> ref = lapackValues(x);
      for (int i = 1; i <= k; ++i) {
        EXPECT_GE(r.s[i - 1], 0.0);
        if (i > 1) {
          EXPECT_LE(r.s[i - 1], r.s[i - 2]);
        }
        worstValue = std::max(worstValue, std::fabs(r.s[i - 1] - ref[i - 1]) / unit);
      }
      DMat us(x.rows, p);
      for (int j = 1; j <= k; ++j)
        for (int i = 1; i <= x.rows; ++i) us(i, j) = r.u(i, j) * r.s[j - 1];
      DMat usv = multiply(us, r.v, false, true);
      worstFit = std::max(worstFit, frobenius(difference(usv, x)) / unit);
    }
  }
  RecordProperty("worst_value_error_in_eps_norm", std::to_string(worstValue));
  RecordProperty("worst_reconstruction_error_in_eps_norm", std::to_string(worstFit));
  EXPECT_LT(worstValue, 10.0);
  EXPECT_LT(worstFit, 50.0);
}

TEST(Dsvdc, KnownValuesOfADiagonalMatrix) {
  DMat x(3, 3);
  x(1, 1) = 2.0;
  x(2, 2) = -5.0;
  x(3, 3) = 3.0;
  Svd r = decompose(x, 11);
  EXPECT_EQ(r.info, 0);
  EXPECT_DOUBLE_EQ(r.s[0], 5.0);
  EXPECT_DOUBLE_EQ(r.s[1], 3.0);
  EXPECT_DOUBLE_EQ(r.s[2], 2.0);
}

TEST(Dsvdc, ZeroInteriorDiagonalSplitsTheMatrix) {
  // An exactly zero diagonal inside a bidiagonal matrix is chased out with
  // rotations from the left before the QR steps.
  for (int n : {4, 6}) {
    DMat x(n, n, 1);
    for (int i = 1; i <= n; ++i) x(i, i) = i == 2 ? 0.0 : i;
    for (int i = 1; i < n; ++i) x(i, i + 1) = 1.0;
    checkSvd(x, 11);
    checkSvd(x, 21);
  }
}

TEST(Dsvdc, NonConvergenceIsReportedNotLooped) {
  DMat x = randomMatrix(5, 4, 131);
  x(3, 2) = std::nan("");
  Svd r = decompose(x, 11);
  EXPECT_GT(r.info, 0);
  EXPECT_LE(r.info, 4);
}

TEST(Dsvdc, LeftVectorsMayOverwriteX) {
  // Job 21 allows U to be X itself.
  DMat x0 = randomMatrix(9, 5, 121, 2);
  DMat x = x0;
  std::vector<double> s(5), e(5), work(9);
  DMat v(5, 5);
  int info = -1;
  DSVDC(x.data(), x.ld, 9, 5, s.data(), e.data(), x.data(), x.ld, v.data(), v.ld, work.data(), 21,
        info);
  ASSERT_EQ(info, 0);
  Svd r = decompose(x0, 21);
  EXPECT_EQ(s, std::vector<double>(r.s.begin(), r.s.begin() + 5));
  for (int j = 1; j <= 5; ++j)
    for (int i = 1; i <= 9; ++i) EXPECT_NEAR(x(i, j), r.u(i, j), 1e-14);
}

TEST(Dsvdc, EmptyMatrixGivesIdentityVectors) {
  DMat x(0, 3);
  Svd r = decompose(x, 11);
  EXPECT_EQ(r.info, 0);
  for (int j = 1; j <= 3; ++j)
    for (int i = 1; i <= 3; ++i) EXPECT_EQ(r.v(i, j), i == j ? 1.0 : 0.0);
  DMat y(3, 0);
  r = decompose(y, 11);
  EXPECT_EQ(r.info, 0);
  for (int j = 1; j <= 3; ++j)
    for (int i = 1; i <= 3; ++i) EXPECT_EQ(r.u(i, j), i == j ? 1.0 : 0.0);
}

}  // namespace
}  // namespace kova::test
