// QRLSQ against LAPACK's dgelsy (minimum-norm solutions) on problems whose
// rank is clear-cut, so that both rank decisions agree; the rank rule on its
// own cases; and its status messages.
#include <gtest/gtest.h>

#include "lapack_lsq_ref.h"
#include "linalg/least_squares.h"
#include "io/fortran_io.h"
#include "support/temp_dir.h"

namespace kova::test {
namespace {

struct QrlsqOut {
  DMat x, rsd;
  int k = -1;
};

QrlsqOut runQrlsq(DMat a, const DMat& b, double tol, int unit = 0) {
  int n = a.rows, p = a.cols, nb = b.cols;
  QrlsqOut out{DMat(p, nb, 2), DMat(n, nb, 1), -1};
  std::vector<int> jpvt(std::max(1, p));
  std::vector<double> work(qrlsqWorkSize(n, p));
  QRLSQ(a.data(), a.ld, n, p, nb, b.a.data(), b.ld, tol, out.x.data(), out.x.ld, out.rsd.data(),
        out.rsd.ld, out.k, jpvt.data(), work.data(), unit);
  return out;
}

// X agrees with dgelsy, RSD = B - A X, and A'RSD = 0, all scaled by size.
void checkAgainstLapack(const DMat& a, const DMat& b, int expectedRank) {
  QrlsqOut got = runQrlsq(a, b, 1e-10);
  int lapackRank = -1;
  DMat ref = lapackMinNorm(a, b, 1e-10, lapackRank);
  ASSERT_EQ(got.k, expectedRank);
  ASSERT_EQ(lapackRank, expectedRank);
  double scale = kEps * std::max(a.rows, a.cols) * std::max(1.0, frobenius(a));
  EXPECT_LT(frobenius(difference(got.x, ref)), 1e3 * scale * std::max(1.0, frobenius(ref)))
      << a.rows << " x " << a.cols << " rank " << expectedRank;
  DMat resid = difference(b, multiply(a, got.x));
  EXPECT_LT(frobenius(difference(resid, got.rsd)), 100 * scale * std::max(1.0, frobenius(b)));
  EXPECT_LT(frobenius(multiply(a, got.rsd, true)), 100 * scale * std::max(1.0, frobenius(b)));
}

TEST(Qrlsq, MatchesDgelsyOnFullRankAndDeficientProblems) {
  checkAgainstLapack(randomMatrix(12, 5, 1, 3), randomMatrix(12, 3, 2), 5);  // tall
  checkAgainstLapack(randomMatrix(6, 6, 3), randomMatrix(6, 2, 4), 6);       // square
  checkAgainstLapack(lowRank(10, 7, 3, 5, 2), randomMatrix(10, 2, 6), 3);    // deficient
  checkAgainstLapack(randomMatrix(4, 7, 7, 1), randomMatrix(4, 3, 8), 4);    // wide
  checkAgainstLapack(lowRank(5, 8, 2, 9), randomMatrix(5, 2, 10), 2);        // wide, deficient
  checkAgainstLapack(randomMatrix(9, 1, 11), randomMatrix(9, 1, 12), 1);     // one column
}

TEST(Qrlsq, WideProblemGivesTheMinimumNormSolution) {
  // x = A'(AA')^-1 b is the least-norm exact solution when A has full row rank.
  DMat a = randomMatrix(3, 6, 21), b = randomMatrix(3, 2, 22);
  QrlsqOut got = runQrlsq(a, b, 1e-12);
  EXPECT_EQ(got.k, 3);
  DMat ref = multiply(a, solveSquare(multiply(a, a, false, true), b), true);
  EXPECT_LT(maxAbs(difference(got.x, ref)), 1e-12);
  EXPECT_LT(maxAbs(got.rsd), 1e-13);
}

TEST(Qrlsq, RankZeroGivesZeroSolutionsAndTheRightHandSideAsResidual) {
  DMat b = randomMatrix(5, 2, 31);
  for (DMat a : {DMat(5, 1), DMat(5, 3)}) {  // a lone zero column; an all-zero matrix
    QrlsqOut got = runQrlsq(a, b, 1e-10);
    EXPECT_EQ(got.k, 0);
    EXPECT_EQ(maxAbs(got.x), 0.0);
    EXPECT_EQ(maxAbs(difference(got.rsd, b)), 0.0);
  }
  // tol >= 1: even R(1,1) fails the test against itself.
  EXPECT_EQ(runQrlsq(randomMatrix(5, 3, 32), b, 1.0).k, 0);
}

TEST(Qrlsq, ZeroFirstColumnBesideOthersIsPivotedBackAndGetsZeroWeight) {
  DMat a = randomMatrix(8, 4, 41);
  for (int i = 1; i <= 8; ++i) a(i, 1) = 0.0;
  DMat b = randomMatrix(8, 1, 42);
  QrlsqOut got = runQrlsq(a, b, 1e-10);
  EXPECT_EQ(got.k, 3);
  EXPECT_EQ(got.x(1, 1), 0.0);
  int rank = 0;
  EXPECT_LT(maxAbs(difference(got.x, lapackMinNorm(a, b, 1e-10, rank))), 1e-12);
}

TEST(Qrlsq, ReportsZeroPivotsOfDqrslAndDtrslAndGoesOn) {
  kova::testing::TempDir dir;
  const int unit = 31;
  ASSERT_EQ(openUnit(unit, "msg.txt", "FORMATTED", "UNKNOWN"), 0);
  // A negative tolerance admits the exact zero R(2,2) into the rank.
  DMat tall(3, 2), wide(2, 3), b(3, 1);
  tall(1, 1) = 1.0;
  wide(1, 1) = 1.0;
  b(1, 1) = 2.0;
  EXPECT_EQ(runQrlsq(tall, b, -1.0, unit).k, 2);  // k = p: DQRSL's back substitution
  DMat b2(2, 1);
  b2(1, 1) = 2.0;
  QrlsqOut w = runQrlsq(wide, b2, -1.0, unit);  // k < p: DTRSL on the reduced triangle
  EXPECT_EQ(w.k, 2);
  closeUnit(unit, "KEEP");
  EXPECT_EQ(kova::testing::readFile("msg.txt"),
            " PROBLEM IN CALL OF DQRSL CALLED FROM QRLSQ.\n"
            " INFO =           2\n"
            " PROBLEM IN CALL OF DTRSL CALLED FROM QRLSQ.\n"
            " INFO =           2\n");
}

}  // namespace
}  // namespace kova::test
