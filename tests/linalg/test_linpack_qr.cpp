// DQRDC, DQRSL and DTRSL against reference LAPACK and against residuals
// scaled by size and machine precision.
#include <gtest/gtest.h>

#include <numeric>

#include "lapack_linpack_ref.h"
#include "linalg/linpack.h"

namespace kova::test {
namespace {

struct Qr {
  DMat x;  // factored in place
  std::vector<double> qraux, work;
  std::vector<int> jpvt;
};

Qr factor(const DMat& x0, int job, std::vector<int> jpvt = {}) {
  Qr f{x0, std::vector<double>(std::max(1, x0.cols)), std::vector<double>(std::max(1, x0.cols)),
       jpvt.empty() ? std::vector<int>(std::max(1, x0.cols), 0) : jpvt};
  DQRDC(f.x.data(), f.x.ld, x0.rows, x0.cols, f.qraux.data(), f.jpvt.data(), f.work.data(), job);
  return f;
}

// Q (n x n) built column by column with DQRSL's Qy.
DMat formQ(Qr& f, int n, int k) {
  DMat q(n, n);
  std::vector<double> e(n), dummy(1);
  int info = -1;
  for (int j = 1; j <= n; ++j) {
    std::fill(e.begin(), e.end(), 0.0);
    e[j - 1] = 1.0;
    DQRSL(f.x.data(), f.x.ld, n, k, f.qraux.data(), e.data(), &q(1, j), dummy.data(),
          dummy.data(), dummy.data(), dummy.data(), 10000, info);
    EXPECT_EQ(info, 0);
  }
  return q;
}

DMat upperR(const Qr& f, int n, int p) {
  DMat r(n, p);
  for (int j = 1; j <= p; ++j)
    for (int i = 1; i <= std::min(j, n); ++i) r(i, j) = f.x(i, j);
  return r;
}

DMat permuted(const DMat& x, const std::vector<int>& jpvt) {
  DMat xp(x.rows, x.cols);
  for (int j = 1; j <= x.cols; ++j)
    for (int i = 1; i <= x.rows; ++i) xp(i, j) = x(i, jpvt[j - 1]);
  return xp;
}

bool isPermutation(std::vector<int> v, int p) {
  v.resize(p);
  std::sort(v.begin(), v.end());
  for (int i = 0; i < p; ++i)
    if (v[i] != i + 1) return false;
  return true;
}

// |diag R| of dgeqp3, all columns free (fixedOrder = false) or all fixed.
std::vector<double> lapackDiag(const DMat& x0, bool fixedOrder) {
  DMat x = x0;
  int m = x.rows, n = x.cols, lwork = -1, info = 0;
  std::vector<int> jpvt(std::max(1, n), fixedOrder ? 1 : 0);
  std::vector<double> tau(std::max(1, std::min(m, n))), query(1);
  dgeqp3_(&m, &n, x.data(), &x.ld, jpvt.data(), tau.data(), query.data(), &lwork, &info);
  lwork = static_cast<int>(query[0]);
  std::vector<double> work(lwork);
  dgeqp3_(&m, &n, x.data(), &x.ld, jpvt.data(), tau.data(), work.data(), &lwork, &info);
  std::vector<double> d;
  for (int i = 1; i <= std::min(m, n); ++i) d.push_back(std::fabs(x(i, i)));
  return d;
}

// Checks X P = Q R, Q'Q = I and |diag R| against LAPACK.
void checkFactorization(const DMat& x0, int job) {
  int n = x0.rows, p = x0.cols;
  Qr f = factor(x0, job);
  std::vector<int> perm(std::max(1, p));
  if (job != 0) {
    ASSERT_TRUE(isPermutation(f.jpvt, p));
    perm = f.jpvt;
  } else {
    std::iota(perm.begin(), perm.end(), 1);
  }
  double scale = std::max(1.0, frobenius(x0)) * kEps * std::max(n, p);
  DMat q = formQ(f, n, std::min(n, p));
  EXPECT_LT(orthogonalityError(q), 10 * kEps * n);
  DMat qr = multiply(q, upperR(f, n, p));
  EXPECT_LT(frobenius(difference(qr, permuted(x0, perm))), 10 * scale);
  std::vector<double> ref = lapackDiag(x0, job == 0);
  for (int i = 1; i <= std::min(n, p); ++i)
    EXPECT_NEAR(std::fabs(f.x(i, i)), ref[i - 1], 1e-10 * ref[i - 1] + 10 * scale)
        << "diagonal " << i << " of " << n << " x " << p;
}

TEST(Dqrdc, MatchesLapackAcrossShapes) {
  const int shapes[][2] = {{9, 5}, {6, 6}, {4, 7}, {1, 1}, {1, 4}, {6, 1}, {40, 25}};
  unsigned seed = 11;
  for (auto& s : shapes) {
    DMat x = randomMatrix(s[0], s[1], seed++, 3);
    checkFactorization(x, 1);
    checkFactorization(x, 0);
  }
}

TEST(Dqrdc, RankDeficientGradedAndZeroColumn) {
  checkFactorization(lowRank(10, 7, 3, 5, 2), 1);
  DMat graded = randomMatrix(12, 8, 21, 1);
  for (int j = 1; j <= 8; ++j)
    for (int i = 1; i <= 12; ++i) graded(i, j) *= std::pow(10.0, -2.0 * j);
  checkFactorization(graded, 1);
  checkFactorization(graded, 0);

  DMat x = randomMatrix(8, 5, 31);
  for (int i = 1; i <= 8; ++i) x(i, 2) = 0.0;
  checkFactorization(x, 0);
  Qr f = factor(x, 1);
  EXPECT_EQ(f.jpvt[4], 2);  // the zero column is pivoted last
  EXPECT_EQ(f.x(5, 5), 0.0);
}

TEST(Dqrdc, InitialAndFinalColumnsStayPut) {
  DMat x = randomMatrix(7, 5, 41);
  for (int i = 1; i <= 7; ++i) x(i, 5) *= 100.0;  // would be chosen first if free
  Qr f = factor(x, 1, {0, 1, 0, 0, -1});
  ASSERT_TRUE(isPermutation(f.jpvt, 5));
  EXPECT_EQ(f.jpvt[0], 2);
  EXPECT_EQ(f.jpvt[4], 5);
  DMat q = formQ(f, 7, 5);
  EXPECT_LT(frobenius(difference(multiply(q, upperR(f, 7, 5)), permuted(x, f.jpvt))),
            100 * kEps * frobenius(x));
}

TEST(Dqrdc, EmptyMatricesTouchNothing) {
  std::vector<double> x(4, 7.0), qraux(3, 7.0), work(3);
  std::vector<int> jpvt(3, 0);
  DQRDC(x.data(), 1, 0, 3, qraux.data(), jpvt.data(), work.data(), 1);
  EXPECT_EQ(jpvt, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(x, std::vector<double>(4, 7.0));
  DQRDC(x.data(), 4, 4, 0, qraux.data(), jpvt.data(), work.data(), 1);
  EXPECT_EQ(x, std::vector<double>(4, 7.0));
}

// Least squares through DQRSL against LAPACK's dgels and direct products.
TEST(Dqrsl, ProductsCoefficientsAndResiduals) {
  const int n = 12, p = 5;
  DMat x0 = randomMatrix(n, p, 51, 2);
  DMat y = randomMatrix(n, 1, 52);
  Qr f = factor(x0, 1);
  DMat q = formQ(f, n, p);

  std::vector<double> qy(n), qty(n), b(p), rsd(n), xb(n);
  int info = -1;
  DQRSL(f.x.data(), f.x.ld, n, p, f.qraux.data(), y.data(), qy.data(), qty.data(), b.data(),
        rsd.data(), xb.data(), 11111, info);
  EXPECT_EQ(info, 0);
  DMat refQty = multiply(q, y, true), refQy = multiply(q, y);
  for (int i = 1; i <= n; ++i) {
    EXPECT_NEAR(qty[i - 1], refQty(i, 1), 50 * kEps);
    EXPECT_NEAR(qy[i - 1], refQy(i, 1), 50 * kEps);
  }

  // dgels on the permuted columns gives the same coefficients.
  DMat a = permuted(x0, f.jpvt), rhs = y;
  int m = n, nn = p, one = 1, lwork = 256, linfo = 0;
  std::vector<double> work(lwork);
  dgels_("N", &m, &nn, &one, a.data(), &a.ld, rhs.data(), &rhs.ld, work.data(), &lwork, &linfo, 1);
  ASSERT_EQ(linfo, 0);
  for (int j = 1; j <= p; ++j) EXPECT_NEAR(b[j - 1], rhs(j, 1), 1e-12);

  DMat xp = permuted(x0, f.jpvt);
  for (int i = 1; i <= n; ++i) {
    double fit = 0.0;
    for (int j = 1; j <= p; ++j) fit += xp(i, j) * b[j - 1];
    EXPECT_NEAR(xb[i - 1], fit, 50 * kEps);
    EXPECT_NEAR(rsd[i - 1], y(i, 1) - fit, 50 * kEps);
  }
  // The residual is orthogonal to the columns of X.
  for (int j = 1; j <= p; ++j) EXPECT_NEAR(DDOT(n, &xp(1, j), 1, rsd.data(), 1), 0.0, 1e-13);

  // Job 1000 alone gives the same Q'y.
  std::vector<double> only(n), dummy(n);
  DQRSL(f.x.data(), f.x.ld, n, p, f.qraux.data(), y.data(), dummy.data(), only.data(),
        dummy.data(), dummy.data(), dummy.data(), 1000, info);
  EXPECT_EQ(only, qty);

  // y, qty and rsd in one array, b apart: the calling pattern of job 110.
  std::vector<double> yy(y.data(), y.data() + n), b2(p);
  DQRSL(f.x.data(), f.x.ld, n, p, f.qraux.data(), yy.data(), dummy.data(), yy.data(), b2.data(),
        yy.data(), dummy.data(), 110, info);
  EXPECT_EQ(info, 0);
  EXPECT_EQ(b2, b);
  for (int i = 0; i < n; ++i) EXPECT_NEAR(yy[i], rsd[i], 10 * kEps);
  // DQRSL borrows the diagonal of R and must put it back.
  EXPECT_EQ(factor(x0, 1).x.a, f.x.a);
}

TEST(Dqrsl, FewerColumnsSingleRowAndNoColumns) {
  const int n = 6;
  DMat x0 = randomMatrix(n, 4, 61);
  DMat y = randomMatrix(n, 1, 62);
  Qr f = factor(x0, 0);
  std::vector<double> qty(n), b(2), rsd(n), xb(n), dummy(n);
  int info = -1;
  // k = 2 fits y on the first two columns only.
  DQRSL(f.x.data(), f.x.ld, n, 2, f.qraux.data(), y.data(), dummy.data(), qty.data(), b.data(),
        rsd.data(), xb.data(), 111, info);
  EXPECT_EQ(info, 0);
  for (int j = 1; j <= 2; ++j) EXPECT_NEAR(DDOT(n, &x0(1, j), 1, rsd.data(), 1), 0.0, 1e-13);
  for (int i = 1; i <= n; ++i)
    EXPECT_NEAR(xb[i - 1] + rsd[i - 1], y(i, 1), 1e-14);

  // k = 0: nothing is fitted, the residual is y itself.
  DQRSL(f.x.data(), f.x.ld, n, 0, f.qraux.data(), y.data(), dummy.data(), qty.data(), b.data(),
        rsd.data(), xb.data(), 111, info);
  EXPECT_EQ(info, 0);
  for (int i = 1; i <= n; ++i) {
    EXPECT_EQ(rsd[i - 1], y(i, 1));
    EXPECT_EQ(xb[i - 1], 0.0);
  }

  // n = 1: b = y / x.
  double x1 = 4.0, qr1 = 0.0, y1 = 2.0, q1 = 0, b1 = 0, r1 = 1, f1 = 0;
  DQRSL(&x1, 1, 1, 1, &qr1, &y1, &q1, &q1, &b1, &r1, &f1, 111, info);
  EXPECT_EQ(info, 0);
  EXPECT_EQ(b1, 0.5);
  EXPECT_EQ(r1, 0.0);
  EXPECT_EQ(f1, 2.0);
}

TEST(Dqrsl, ZeroDiagonalIsReported) {
  DMat x0 = randomMatrix(7, 4, 71);
  for (int i = 1; i <= 7; ++i) x0(i, 3) = 0.0;
  Qr f = factor(x0, 0);  // no pivoting: R(3,3) == 0
  ASSERT_EQ(f.x(3, 3), 0.0);
  std::vector<double> y(7, 1.0), qty(7), b(4), dummy(7);
  int info = 0;
  DQRSL(f.x.data(), f.x.ld, 7, 4, f.qraux.data(), y.data(), dummy.data(), qty.data(), b.data(),
        dummy.data(), dummy.data(), 100, info);
  EXPECT_EQ(info, 3);
}

TEST(Dtrsl, AllFourJobsAndZeroDiagonal) {
  const int n = 7;
  DMat t = randomMatrix(n, n, 81, 2);
  for (int i = 1; i <= n; ++i) t(i, i) += 4.0 * (i % 2 ? 1 : -1);
  for (int job : {0, 1, 10, 11}) {
    bool upper = job % 10 != 0, trans = job / 10 != 0;
    DMat tri(n, n, 2);
    for (int j = 1; j <= n; ++j)
      for (int i = 1; i <= n; ++i)
        if (upper ? i <= j : i >= j) tri(i, j) = t(i, j);
    // Storage outside the triangle must be ignored.
    DMat stored = t;
    DMat b = randomMatrix(n, 1, 82);
    std::vector<double> xs(b.data(), b.data() + n);
    int info = -1;
    DTRSL(stored.data(), stored.ld, n, xs.data(), job, info);
    EXPECT_EQ(info, 0);
    for (int i = 1; i <= n; ++i) {
      double r = 0.0;
      for (int j = 1; j <= n; ++j) r += (trans ? tri(j, i) : tri(i, j)) * xs[j - 1];
      EXPECT_NEAR(r, b(i, 1), 20 * kEps * n) << "job " << job;
    }
  }
  t(5, 5) = 0.0;
  std::vector<double> b(n, 1.0);
  int info = 0;
  DTRSL(t.data(), t.ld, n, b.data(), 11, info);
  EXPECT_EQ(info, 5);
  EXPECT_EQ(b, std::vector<double>(n, 1.0));
  DTRSL(t.data(), t.ld, 0, b.data(), 1, info);
  EXPECT_EQ(info, 0);
}

}  // namespace
}  // namespace kova::test
