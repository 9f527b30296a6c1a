// The damped solve against restricted ridge least squares through LAPACK,
// restricted and not, with more or fewer data rows than unknowns.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "solvers/damped_search.h"
#include "solvers/damped_reference.h"

namespace kova {
namespace {

using test::DMat;

struct Solved {
  std::vector<double> d;
  bool deficient = false;
};

// X = [A; B] decomposed once, then d(g) for each g of the list.
std::vector<Solved> dampedSolutions(const DMat& A, const DMat& y, const DMat& B, const DMat& b,
                                    const std::vector<double>& gs) {
  const int m = A.rows, p = B.rows, n = A.cols;
  Scratch counting;
  carveDampedSystem(counting, m, p, n);
  const ScratchNeed need = counting.used();
  std::vector<double> wr(need.doubles + 1);
  std::vector<int> wi(need.ints + 1);
  Scratch s(wr.data(), wr.size(), wi.data(), wi.size(), nullptr, 0);
  DampedSystem sys = carveDampedSystem(s, m, p, n);
  DMat X(m + p, n, 2);
  std::vector<double> rhs(m + p);
  for (int j = 1; j <= n; ++j) {
    for (int i = 1; i <= m; ++i) X(i, j) = A(i, j);
    for (int i = 1; i <= p; ++i) X(m + i, j) = B(i, j);
  }
  for (int i = 1; i <= m; ++i) rhs[i - 1] = y(i, 1);
  for (int i = 1; i <= p; ++i) rhs[m + i - 1] = b(i, 1);
  EXPECT_EQ(factorDampedSystem(sys, Mat{X.data(), X.ld, m + p, n}, rhs.data()), 0);
  std::vector<Solved> out;
  for (double g : gs) {
    Solved sol;
    sol.d.assign(n, 0.0);
    sol.deficient = dampedSolve(sys, g, sol.d.data(), 0);
    out.push_back(sol);
  }
  return out;
}

double relativeError(const std::vector<double>& d, const DMat& ref) {
  double diff = 0.0, size = 0.0;
  for (int i = 1; i <= ref.rows; ++i) {
    diff = std::hypot(diff, d[i - 1] - ref(i, 1));
    size = std::hypot(size, ref(i, 1));
  }
  return diff / size;
}

// Random systems: data rows above and below the number of unknowns, with
// and without restriction rows; dampings from none to far beyond S1.
TEST(DampedSolve, MatchesRestrictedRidgeThroughLapack) {
  struct Case {
    int m, p, n;
  };
  double worst = 0.0;
  unsigned seed = 11;
  for (Case c : {Case{40, 0, 6}, Case{40, 2, 6}, Case{4, 0, 9}, Case{4, 3, 9}, Case{7, 6, 6},
                 Case{3, 2, 3}}) {
    SCOPED_TRACE(testing::Message() << "m=" << c.m << " p=" << c.p << " n=" << c.n);
    const DMat A = test::randomMatrix(c.m, c.n, seed++), y = test::randomMatrix(c.m, 1, seed++);
    const DMat B = test::randomMatrix(c.p, c.n, seed++), b = test::randomMatrix(c.p, 1, seed++);
    const std::vector<double> gs{0.0, 1.0E-3, 0.3, 2.0, 50.0};
    const std::vector<Solved> got = dampedSolutions(A, y, B, b, gs);
    for (std::size_t k = 0; k < gs.size(); ++k) {
      const DMat ref = gs[k] == 0.0 ? test::minLengthRestricted(A, y, B, b)
                                    : test::kktRidge(A, y, B, b, gs[k] * gs[k]);
      const double err = relativeError(got[k].d, ref);
      // The KKT matrix of g = 1.0E-3 without full data rank has a condition
      // near 1.0E+7: the reference itself is good to about 1.0E-9 there.
      EXPECT_LT(err, 1.0E-8) << "g=" << gs[k];
      EXPECT_FALSE(got[k].deficient);
      worst = std::max(worst, err);
    }
  }
  std::printf("damped solve vs LAPACK: worst relative error %.2e\n", worst);
}

// A repeated restriction row is reported and changes nothing when it agrees;
// when it contradicts, the result stays finite.
TEST(DampedSolve, DependentRestrictionRowsAreReportedNotDividedBy) {
  const DMat A = test::randomMatrix(20, 5, 3), y = test::randomMatrix(20, 1, 4);
  const DMat B1 = test::randomMatrix(2, 5, 5), b1 = test::randomMatrix(2, 1, 6);
  DMat B(3, 5), b(3, 1);
  for (int j = 1; j <= 5; ++j) {
    B(1, j) = B1(1, j);
    B(2, j) = B1(2, j);
    B(3, j) = 2.0 * B1(1, j);
  }
  b(1, 1) = b1(1, 1);
  b(2, 1) = b1(2, 1);
  b(3, 1) = 2.0 * b1(1, 1);
  const std::vector<double> gs{0.0, 0.7};
  std::vector<Solved> got = dampedSolutions(A, y, B, b, gs);
  for (std::size_t k = 0; k < gs.size(); ++k) {
    EXPECT_TRUE(got[k].deficient);
    const DMat ref = gs[k] == 0.0 ? test::minLengthRestricted(A, y, B1, b1)
                                  : test::kktRidge(A, y, B1, b1, gs[k] * gs[k]);
    EXPECT_LT(relativeError(got[k].d, ref), 1.0E-9);
  }
  b(3, 1) += 1.0;  // now inconsistent
  got = dampedSolutions(A, y, B, b, gs);
  for (const Solved& s : got) {
    EXPECT_TRUE(s.deficient);
    for (double v : s.d) EXPECT_TRUE(std::isfinite(v));
  }
}

}  // namespace
}  // namespace kova
