// DCHDC against LAPACK's dpstrf and against P'AP = R'R.
#include <gtest/gtest.h>

#include <numeric>

#include "lapack_linpack_ref.h"
#include "linalg/linpack.h"

namespace kova::test {
namespace {

struct Chol {
  DMat r;
  std::vector<int> jpvt;
  int info = -1;
};

Chol factor(const DMat& a, int job, std::vector<int> jpvt = {}) {
  int p = a.rows;
  Chol c{a, jpvt.empty() ? std::vector<int>(std::max(1, p), 0) : jpvt};
  std::vector<double> work(std::max(1, p));
  DCHDC(c.r.data(), c.r.ld, p, work.data(), c.jpvt.data(), job, c.info);
  return c;
}

DMat gram(const DMat& b, int pad = 0) {
  DMat g = multiply(b, b, true, false), out(g.rows, g.cols, pad);
  for (int j = 1; j <= g.cols; ++j)
    for (int i = 1; i <= g.rows; ++i) out(i, j) = g(i, j);
  return out;
}

// ||P'AP - R'R|| with R the leading info rows of the upper triangle, so
// that the whole matrix is checked, not just the block that was factored.
double residual(const DMat& a, const Chol& c) {
  int p = a.rows;
  DMat rr(p, p), pap(p, p);
  for (int j = 1; j <= p; ++j)
    for (int i = 1; i <= p; ++i) {
      double s = 0.0;
      for (int k = 1; k <= std::min({i, j, c.info}); ++k) s += c.r(k, i) * c.r(k, j);
      rr(i, j) = s;
      pap(i, j) = a(c.jpvt[i - 1], c.jpvt[j - 1]);
    }
  return frobenius(difference(pap, rr));
}

struct Reference {
  std::vector<int> piv;
  std::vector<double> diag;
  int rank;
};

Reference lapackPivoted(const DMat& a0) {
  DMat a = a0;
  int n = a.rows, rank = 0, info = 0;
  double tol = -1.0;  // LAPACK's default, n * eps * max diagonal
  Reference ref{std::vector<int>(n), {}, 0};
  std::vector<double> work(2 * n);
  dpstrf_("U", &n, a.data(), &a.ld, ref.piv.data(), &rank, &tol, work.data(), &info, 1);
  for (int i = 1; i <= n; ++i) ref.diag.push_back(a(i, i));
  ref.rank = rank;
  return ref;
}

TEST(Dchdc, PositiveDefiniteMatchesLapack) {
  for (int p : {1, 2, 6, 25}) {
    DMat b = randomMatrix(p + 3, p, 200 + p);
    DMat a = gram(b, 2);
    Chol c = factor(a, 1);
    ASSERT_EQ(c.info, p);
    EXPECT_LT(residual(a, c), 20 * kEps * p * frobenius(a));
    Reference ref = lapackPivoted(a);
    EXPECT_EQ(ref.rank, p);
    for (int k = 1; k <= p; ++k) {
      EXPECT_EQ(c.jpvt[k - 1], ref.piv[k - 1]) << "pivot " << k;
      EXPECT_NEAR(c.r(k, k), ref.diag[k - 1], 1e-12 * c.r(1, 1));
    }
    // The strict lower triangle is never touched.
    for (int j = 1; j <= p; ++j)
      for (int i = j + 1; i <= p; ++i) EXPECT_EQ(c.r(i, j), a(i, j));
  }
}

TEST(Dchdc, WithoutPivotingFactorsInPlace) {
  DMat a = gram(randomMatrix(9, 7, 211));
  std::vector<int> untouched(7, 42);
  Chol c = factor(a, 0, untouched);
  ASSERT_EQ(c.info, 7);
  EXPECT_EQ(c.jpvt, untouched);
  std::iota(c.jpvt.begin(), c.jpvt.end(), 1);
  EXPECT_LT(residual(a, c), 100 * kEps * frobenius(a));
}

TEST(Dchdc, SemiDefiniteRank) {
  // Exact zeros: a rank-3 block spread over a 7 x 7 matrix by a symmetric
  // permutation, the rest zero. INFO is the rank, the block factors.
  DMat c3 = gram(randomMatrix(5, 3, 221));
  const int place[] = {2, 5, 7};
  DMat a(7, 7, 1);
  for (int j = 0; j < 3; ++j)
    for (int i = 0; i < 3; ++i) a(place[i], place[j]) = c3(i + 1, j + 1);
  Chol c = factor(a, 1);
  EXPECT_EQ(c.info, 3);
  EXPECT_EQ(lapackPivoted(a).rank, 3);
  EXPECT_LT(residual(a, c), 20 * kEps * frobenius(a));
}

TEST(Dchdc, NumericalRankOfLowRankProducts) {
  // B'B with B random r x n has rank r, but rounding leaves the block
  // beyond step r tiny and often positive. INFO must still be r (as LAPACK
  // finds it), and the r rows of R must give back all of P'AP.
  double worst = 0.0;
  unsigned seed = 230;
  for (int n : {1, 2, 3, 8, 17, 40})
    for (int r : {1, 2, n / 3, n / 2, n - 1, n}) {
      if (r < 1 || r > n) continue;
      DMat a = gram(randomMatrix(r, n, seed++), 1);
      Chol c = factor(a, 1);
      ASSERT_EQ(c.info, r) << n << " x " << n;
      EXPECT_EQ(lapackPivoted(a).rank, r);
      worst = std::max(worst, residual(a, c) / (kEps * frobenius(a)));
    }
  RecordProperty("worst_residual_in_eps_norm", std::to_string(worst));
  EXPECT_LT(worst, 20.0);
}

TEST(Dchdc, IndefiniteStopsAtFirstNonPositivePivot) {
  DMat a(3, 3);
  a(1, 1) = 1.0;
  a(2, 2) = -2.0;
  a(3, 3) = 4.0;
  Chol c = factor(a, 1);
  EXPECT_EQ(c.info, 2);
  EXPECT_EQ(c.jpvt[0], 3);
  EXPECT_EQ(c.jpvt[1], 1);
  EXPECT_EQ(c.r(1, 1), 2.0);
  Chol d = factor(a, 0);
  EXPECT_EQ(d.info, 1);
  a(2, 2) = std::nan("");  // not a positive pivot either way
  EXPECT_EQ(factor(a, 1).info, 1);
  EXPECT_EQ(factor(a, 0).info, 1);
  DMat empty(0, 0);
  EXPECT_EQ(factor(empty, 1).info, 0);
}

TEST(Dchdc, InitialAndFinalColumnsStayPut) {
  DMat a = gram(randomMatrix(8, 6, 241), 1);
  a(6, 6) += 50.0;  // largest diagonal, would go first if free
  Chol c = factor(a, 1, {0, 0, 1, 0, 0, -1});
  ASSERT_EQ(c.info, 6);
  EXPECT_EQ(c.jpvt[0], 3);
  EXPECT_EQ(c.jpvt[5], 6);
  std::vector<int> sorted = c.jpvt;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, (std::vector<int>{1, 2, 3, 4, 5, 6}));
  EXPECT_LT(residual(a, c), 100 * kEps * frobenius(a));
}

}  // namespace
}  // namespace kova::test
