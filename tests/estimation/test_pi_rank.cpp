// The combinations of PI that the data leave open: the null space of the
// regressors under PI's equality rows, against LAPACK's SVD of the same
// stacked matrix, and the names and lines of the warning.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "estimation/pi_rank.h"
#include "io/console.h"
#include "io/fortran_io.h"
#include "support/temp_dir.h"

extern "C" void dgesvd_(const char* jobu, const char* jobvt, const int* m, const int* n,
                        double* a, const int* lda, double* s, double* u, const int* ldu,
                        double* vt, const int* ldvt, double* work, const int* lwork, int* info,
                        std::size_t, std::size_t);

namespace kova {
namespace {

struct Dense {
  int rows = 0, cols = 0;
  std::vector<double> a;
  Dense(int r, int c) : rows(r), cols(c), a(static_cast<std::size_t>(r) * c, 0.0) {}
  double& operator()(int i, int j) { return a[static_cast<std::size_t>(j - 1) * rows + i - 1]; }
  Mat view() { return Mat{a.data(), std::max(rows, 1), rows, cols}; }
};

// LAPACK: the right singular vectors of [XZ; R] for singular values at or
// below 1e-10 of the largest (on the unscaled matrix: the cases below are
// exactly singular or plainly regular, so the scaling cannot matter).
std::vector<std::vector<double>> lapackNullSpace(Dense xz, Dense r) {
  const int n = xz.cols, m = xz.rows + r.rows;
  Dense a(m, n);
  for (int j = 1; j <= n; ++j) {
    for (int i = 1; i <= xz.rows; ++i) a(i, j) = xz(i, j);
    for (int i = 1; i <= r.rows; ++i) a(xz.rows + i, j) = r(i, j);
  }
  std::vector<double> s(n), vt(static_cast<std::size_t>(n) * n), u(1), work(1);
  int one = 1, lwork = -1, info = 0;
  dgesvd_("N", "A", &m, &n, a.a.data(), &m, s.data(), u.data(), &one, vt.data(), &n, work.data(),
          &lwork, &info, 1, 1);
  lwork = static_cast<int>(work[0]);
  work.resize(lwork);
  dgesvd_("N", "A", &m, &n, a.a.data(), &m, s.data(), u.data(), &one, vt.data(), &n, work.data(),
          &lwork, &info, 1, 1);
  EXPECT_EQ(info, 0);
  std::vector<std::vector<double>> basis;
  for (int k = 0; k < n; ++k)
    if (k >= m || s[k] <= 1.0E-10 * s[0]) {
      std::vector<double> v(n);
      for (int j = 0; j < n; ++j) v[j] = vt[static_cast<std::size_t>(j) * n + k];
      basis.push_back(v);
    }
  return basis;
}

// The projection of each reference vector onto the found directions leaves
// nothing: the two span the same space (their counts are compared apart).
double spanDistance(const std::vector<std::vector<double>>& reference, const PiIdentification& id) {
  double worst = 0.0;
  for (const auto& v : reference) {
    std::vector<double> rest = v;
    for (int c = 0; c < id.deficiency; ++c) {
      const double* d = &id.directions[static_cast<std::size_t>(c) * id.KP];
      double dot = 0.0;
      for (int i = 0; i < id.KP; ++i) dot += d[i] * v[i];
      for (int i = 0; i < id.KP; ++i) rest[i] -= dot * d[i];
    }
    double norm = 0.0;
    for (double x : rest) norm += x * x;
    worst = std::max(worst, std::sqrt(norm));
  }
  return worst;
}

PiIdentification identify(Dense& xz, Dense& r) {
  std::vector<double> wr(200000);
  std::vector<int> wi(10);
  std::vector<dcomplex> wc(10);
  const ScratchNeed need = findPiIdentificationNeed(xz.rows, xz.cols, r.rows);
  EXPECT_LE(need.doubles, static_cast<long long>(wr.size()));
  // The need does not grow with the number of records.
  EXPECT_EQ(need.doubles, findPiIdentificationNeed(100 * xz.rows, xz.cols, r.rows).doubles);
  PiIdentification id;
  findPiIdentification(xz.view(), r.view(), id,
                       Scratch(wr.data(), 200000, wi.data(), 10, wc.data(), 10), 0);
  return id;
}

TEST(PiIdentification, NullSpaceOfTheRegressorsUnderTheEqualityRows) {
  std::mt19937 rng(7);
  std::normal_distribution<double> normal;
  const int T = 400, KP = 6;
  Dense xz(T, KP);
  for (int i = 1; i <= T; ++i) {
    xz(i, 1) = 1.0;
    for (int j = 2; j <= KP; ++j) xz(i, j) = normal(rng);
    xz(i, 3) *= 1.0E8;  // units far apart must not matter
    xz(i, 5) = 2.0 * xz(i, 2) - 3.0E-8 * xz(i, 3);  // collinear with 2 and 3
    xz(i, 6) = 4.0;                                 // a region code: 4 times the constant
  }
  Dense none(0, KP);
  PiIdentification id = identify(xz, none);
  auto reference = lapackNullSpace(xz, none);
  ASSERT_EQ(reference.size(), 2u);
  EXPECT_EQ(id.deficiency, 2);
  EXPECT_LT(spanDistance(reference, id), 1.0E-9);
  EXPECT_EQ(id.unidentified, (std::vector<char>{1, 1, 1, 0, 1, 1}));
  ASSERT_NE(id.flags(), nullptr);

  // An equality row that fixes PI(6) - 4 PI(1) leaves one combination open.
  Dense r(1, KP);
  r(1, 1) = -4.0;
  r(1, 6) = 1.0;
  id = identify(xz, r);
  reference = lapackNullSpace(xz, r);
  ASSERT_EQ(reference.size(), 1u);
  EXPECT_EQ(id.deficiency, 1);
  EXPECT_LT(spanDistance(reference, id), 1.0E-9);
  EXPECT_EQ(id.unidentified, (std::vector<char>{0, 1, 1, 0, 1, 0}));

  // Nearly but not exactly collinear columns are determined, if poorly:
  // no warning, the standard errors say how poorly. (Column 3 back to the
  // units of the others, for the reference, which does not scale.)
  for (int i = 1; i <= T; ++i) {
    xz(i, 3) *= 1.0E-8;
    xz(i, 5) += 1.0E-6 * normal(rng);
    xz(i, 6) += 1.0E-6 * normal(rng);
  }
  id = identify(xz, none);
  EXPECT_EQ(id.deficiency, 0);
  EXPECT_EQ(id.flags(), nullptr);
  EXPECT_TRUE(lapackNullSpace(xz, none).empty());

  // A column of zeros is a direction by itself.
  Dense zero(5, 2);
  for (int i = 1; i <= 5; ++i) zero(i, 1) = i;
  Dense none2(0, 2);
  id = identify(zero, none2);
  ASSERT_EQ(id.deficiency, 1);
  EXPECT_EQ(id.unidentified, (std::vector<char>{0, 1}));
  EXPECT_NEAR(std::fabs(id.directions[1]), 1.0, 1.0E-15);
}

// The warning: its line in the report and the log, the variables by name
// (x*z where the model has several z components) and each combination.
TEST(PiIdentification, WarningNamesTheVariablesAndTheCombination) {
  testing::TempDir dir;
  Dense xz(30, 4);  // K = 2, P = 2
  for (int i = 1; i <= 30; ++i) {
    xz(i, 1) = 1.0;
    xz(i, 2) = std::sin(i);
    xz(i, 3) = std::cos(i);
    xz(i, 4) = 3.0 * std::sin(i);  // x2*z2 = 3 x2*z1
  }
  Dense none(0, 4);
  PiIdentification id = identify(xz, none);
  ASSERT_EQ(id.deficiency, 1);
  openUnit(100, "KOVAOUT", "FORMATTED", "UNKNOWN");
  openUnit(102, "KOVALOG", "FORMATTED", "UNKNOWN");
  const std::vector<std::string> x{"CONSTANT", "price   "}, z{"CONSTANT", "  income"};
  reportPiIdentification(id, 7, 4, 2, 2, x, z, 100, 102, nullptr);
  closeAllUnits();
  const std::string head =
      " WARNING FOR GROUP   7 AFTER ITERATION   4: THE REGRESSORS ARE COLLINEAR: 1 COMBINATION "
      "OF PI NOT DETERMINED BY THE DATA.\n THE VARIABLES INVOLVED: price*CONSTANT, price*income.\n";
  EXPECT_EQ(testing::readFile("KOVALOG"), head);
  const double a = 3.0 / std::sqrt(10.0), b = 1.0 / std::sqrt(10.0);
  char terms[200];
  const bool minusFirst = id.directions[1] < 0.0;
  std::snprintf(terms, sizeof terms,
                "    1.  %c%.6f * PI(2,1)  price*CONSTANT\n        %c%.6f * PI(2,2)  price*income\n",
                minusFirst ? '-' : ' ', a, minusFirst ? '+' : '-', b);
  EXPECT_EQ(testing::readFile("KOVAOUT"),
            "\n" + head +
                " THE COMBINATIONS NOT DETERMINED (THEIR ELEMENTS OF PI HAVE NO STANDARD ERRORS "
                "IN THE TABLES):\n" + terms);
}

}  // namespace
}  // namespace kova
