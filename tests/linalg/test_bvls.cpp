// DBVLS against the Kuhn-Tucker conditions of bounded least squares, against
// LAPACK's unconstrained solution, and against stored scipy BVLS results.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "linalg/bvls.h"
#include "io/console.h"

extern "C" void dgels_(const char* trans, const int* m, const int* n, const int* nrhs, double* a,
                       const int* lda, double* b, const int* ldb, double* work, const int* lwork,
                       int* info, std::size_t transLen);

namespace kova {
namespace {

constexpr double kInf = kBvlsUnbounded;
using V = std::vector<double>;

struct Problem {
  int m = 0, n = 0;
  V a, b, bnd;  // a column-major m x n, bnd 2 x n
  double& at(int i, int j) { return a[(i - 1) + static_cast<std::size_t>(j - 1) * m]; }
};

struct Result {
  V x, w;
  std::vector<int> index;
  double rnorm = -1.0;
  int nsetp = -1, ierr = -1;
  std::string console;
};

// Runs DBVLS (or dbvlsWithLimit) on copies, with the console captured.
Result solve(const Problem& p, int itmax = -1) {
  Result r;
  V a = p.a, b = p.b, bnd = p.bnd, s(p.m + 1), z(p.n + 1);
  r.x.assign(p.n + 1, 0.0);
  r.w = r.x;
  r.index.assign(p.n + 1, 0);
  std::ostringstream out;
  ConsoleRedirect redirect(out);
  Mat am{a.data(), p.m, p.m, p.n}, bm{bnd.data(), 2, 2, p.n};
  BvlsWork work{Vec{s.data(), p.m}, Vec{z.data(), p.n}};
  if (itmax < 0) itmax = 30 * p.n;
  dbvlsWithLimit(itmax, am, Vec{b.data(), p.m}, bm, Vec{r.x.data(), p.n}, r.rnorm, r.nsetp,
                 Vec{r.w.data(), p.n}, IVec{r.index.data(), p.n}, r.ierr, work);
  r.console = out.str();
  return r;
}

V residual(const Problem& p, const V& x) {
  V r = p.b;
  for (int j = 0; j < p.n; ++j)
    for (int i = 0; i < p.m; ++i) r[i] -= p.a[i + j * p.m] * x[j];
  return r;
}

double norm(const V& v) {
  double s = 0.0;
  for (double e : v) s += e * e;
  return std::sqrt(s);
}

// Feasibility, the sign of the dual on each bound, a vanishing gradient off
// the bounds, W = A'(B - A X), RNORM, and INDEX a permutation whose first
// NSETP entries are strictly inside their bounds. Counts the outcomes.
void expectKkt(const Problem& p, const Result& r, int counts[3] = nullptr) {
  ASSERT_EQ(r.ierr, 0);
  V res = residual(p, r.x);
  double scale = 1000.0 * 2.22e-16 * (p.m + p.n) * (norm(p.b) + norm(p.a) * norm(r.x));
  EXPECT_NEAR(r.rnorm, norm(res), scale);
  std::vector<bool> seen(p.n + 1, false);
  for (int k = 1; k <= p.n; ++k) {
    int j = r.index[k - 1];
    ASSERT_TRUE(j >= 1 && j <= p.n && !seen[j]) << "INDEX is not a permutation";
    seen[j] = true;
    double xj = r.x[j - 1], lo = p.bnd[2 * j - 2], hi = p.bnd[2 * j - 1], g = 0.0, cn = 0.0;
    for (int i = 0; i < p.m; ++i) {
      g += p.a[i + (j - 1) * p.m] * res[i];
      cn = std::hypot(cn, p.a[i + (j - 1) * p.m]);
    }
    double tol = scale * (cn + 1.0);
    EXPECT_NEAR(r.w[j - 1], g, tol) << "W(" << j << ")";
    EXPECT_TRUE(xj >= lo && xj <= hi) << "X(" << j << ") outside its bounds";
    bool atLo = xj == lo, atHi = xj == hi;
    EXPECT_FALSE(k <= r.nsetp && (atLo || atHi)) << "free unknown " << j << " on a bound";
    if (atLo && atHi) continue;  // fixed: any dual will do
    EXPECT_TRUE(!atLo || g <= tol) << "dual " << g << " at lower bound, unknown " << j;
    EXPECT_TRUE(!atHi || g >= -tol) << "dual " << g << " at upper bound, unknown " << j;
    EXPECT_TRUE(atLo || atHi || std::abs(g) <= tol) << "gradient " << g << ", unknown " << j;
    if (counts) ++counts[atLo ? 0 : atHi ? 1 : 2];
  }
}

enum Shape { Tall, Square, Wide, RankDeficient, Scaled };

// Random problems whose unknowns draw among no bounds, one bound, two
// bounds, IEEE infinities and fixed values; Scaled spreads the column and
// right-hand-side magnitudes over many decades.
Problem randomProblem(std::mt19937& gen, Shape shape) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Problem p;
  p.m = shape == Wide ? 2 + gen() % 5 : shape == Square ? 2 + gen() % 8 : 6 + gen() % 12;
  p.n = shape == Wide ? p.m + 1 + gen() % 6 : shape == Square ? p.m : 3 + gen() % 5;
  p.a.assign(static_cast<std::size_t>(p.m) * p.n, 0.0);
  int rank = shape == RankDeficient ? 1 + gen() % (p.n - 1) : 0;
  V left(p.m * rank), right(rank * p.n);
  for (double& v : left) v = u(gen);
  for (double& v : right) v = u(gen);
  for (int j = 1; j <= p.n; ++j) {
    double colScale = shape == Scaled ? std::pow(10.0, static_cast<int>(gen() % 9) - 4) : 1.0;
    for (int i = 1; i <= p.m; ++i) {
      if (rank == 0) p.at(i, j) = u(gen);
      for (int k = 0; k < rank; ++k) p.at(i, j) += left[(i - 1) + k * p.m] * right[k + (j - 1) * rank];
      p.at(i, j) *= colScale;
    }
  }
  double rhsScale = shape == Scaled ? std::pow(10.0, static_cast<int>(gen() % 13) - 6) : 1.0;
  for (int i = 0; i < p.m; ++i) p.b.push_back(3.0 * rhsScale * u(gen));
  const double ieee = std::numeric_limits<double>::infinity();
  for (int j = 0; j < p.n; ++j) {
    double c = 0.5 * u(gen), h = 0.5 * std::abs(u(gen)), lo = c - h, hi = c + h;
    switch (gen() % 6) {
      case 0: lo = -kInf, hi = kInf; break;
      case 1: hi = kInf; break;
      case 2: lo = -kInf; break;
      case 3: lo = -ieee, hi = ieee; break;
      case 4: hi = gen() % 3 ? hi : lo; break;
    }
    if (shape == Scaled) lo *= rhsScale, hi *= rhsScale;  // infinities stay infinite
    p.bnd.push_back(std::max(lo, -ieee));
    p.bnd.push_back(std::min(hi, ieee));
  }
  return p;
}

TEST(Dbvls, KuhnTuckerOnRandomProblems) {
  std::mt19937 gen(20261207);
  int counts[3] = {0, 0, 0};  // at lower, at upper, inside
  for (Shape shape : {Tall, Square, Wide, RankDeficient, Scaled})
    for (int trial = 0; trial < 250; ++trial) {
      SCOPED_TRACE(::testing::Message() << "shape " << shape << " trial " << trial);
      Problem p = randomProblem(gen, shape);
      expectKkt(p, solve(p), counts);
      if (HasFailure()) return;
    }
  // The draws must exercise every outcome, not just the easy one.
  EXPECT_GT(counts[0], 300);
  EXPECT_GT(counts[1], 300);
  EXPECT_GT(counts[2], 1000);
}

TEST(Dbvls, InactiveBoundsGiveTheLeastSquaresSolution) {
  std::mt19937 gen(5);
  for (int trial = 0; trial < 40; ++trial) {
    Problem p = randomProblem(gen, Tall);
    V a = p.a, ls = p.b, work(64 * (p.m + p.n));
    int one = 1, lwork = static_cast<int>(work.size()), info = 0;
    dgels_("N", &p.m, &p.n, &one, a.data(), &p.m, ls.data(), &p.m, work.data(), &lwork, &info, 1);
    ls.resize(p.n);
    // Alternately no bounds at all and finite bounds far from the solution.
    for (int j = 0; j < p.n; ++j) p.bnd[2 * j] = -(p.bnd[2 * j + 1] = trial % 2 ? kInf : 1.0e6);
    Result r = solve(p);
    ASSERT_EQ(r.ierr, 0);
    EXPECT_EQ(r.nsetp, p.n);
    for (int j = 0; j < p.n; ++j) EXPECT_NEAR(r.x[j], ls[j], 1e-12 * (1.0 + std::abs(ls[j])));
  }
}

Problem oneUnknown(V column, V rhs, double lo, double hi) {
  return Problem{static_cast<int>(column.size()), 1, column, rhs, {lo, hi}};
}

// A variance whose unconstrained estimate is negative comes back as exactly
// +0; a coefficient beyond its bound comes back as exactly that bound.
TEST(Dbvls, OneUnknownIsPushedOntoItsBound) {
  Problem variance = oneUnknown({1, 2, 3}, {-1.0, -2.5, -2.0}, 0.0, 1.0e300);
  Result r = solve(variance);
  EXPECT_EQ(r.x[0], 0.0);
  EXPECT_FALSE(std::signbit(r.x[0]));
  EXPECT_EQ(r.nsetp, 0);
  EXPECT_LT(r.w[0], 0.0);
  EXPECT_NEAR(r.rnorm, std::sqrt(1.0 + 6.25 + 4.0), 1e-14);
  variance.bnd[1] = kInf;
  EXPECT_EQ(solve(variance).x[0], 0.0);
  variance.b = {1.0, 2.5, 2.0};
  EXPECT_NEAR(solve(variance).x[0], 12.0 / 14.0, 1e-15);

  Problem phi = oneUnknown({1, 1}, {2.0, 3.0}, -0.95, 0.95);
  EXPECT_EQ(solve(phi).x[0], 0.95);
  phi.b = {-2.0, -3.0};
  EXPECT_EQ(solve(phi).x[0], -0.95);
}

TEST(Dbvls, StatusCodesLeaveTheDataAlone) {
  Problem p = oneUnknown({1, 2}, {3, 4}, 1.0, 0.5);
  EXPECT_EQ(solve(p).ierr, 3);
  p.bnd = {std::nan(""), 1.0};
  EXPECT_EQ(solve(p).ierr, 3);
  EXPECT_EQ(solve(Problem{0, 1, {}, {}, {0, 1}}).ierr, 1);
  EXPECT_EQ(solve(Problem{1, 0, {}, {1}, {}}).ierr, 1);

  // Short arrays: the leading dimension, a work vector, the bound array.
  V a = {1, 2, 3, 4}, b = {1, 1}, bnd = {0, 1, 0, 1}, x(2), w(2), s(2), z(2);
  std::vector<int> index(2);
  double rnorm = 0.0;
  int nsetp = 0, ierr = 0;
  std::ostringstream out;
  ConsoleRedirect redirect(out);
  auto call = [&](int lda, int ls, int bndCols) {
    DBVLS(Mat{a.data(), lda, 2, 2}, Vec{b.data(), 2}, Mat{bnd.data(), 2, 2, bndCols},
          Vec{x.data(), 2}, rnorm, nsetp, Vec{w.data(), 2}, IVec{index.data(), 2}, ierr,
          BvlsWork{Vec{s.data(), ls}, Vec{z.data(), 2}});
    return ierr;
  };
  EXPECT_EQ(call(1, 2, 2), 2);
  EXPECT_EQ(call(2, 1, 2), 2);
  EXPECT_EQ(call(2, 2, 1), 2);
  EXPECT_EQ(a, (V{1, 2, 3, 4}));
  EXPECT_EQ(b, (V{1, 1}));
}

// Unbounded unknowns in general position enter one per least-squares solve,
// so a limit below N stops early with a consistent iterate. The limit is
// reached through dbvlsWithLimit: no ordinary problem needs 30 * N solves
// (in a stress run over 3000 random problems the most was 2.3 * N).
TEST(Dbvls, IterationLimitReturnsTheCurrentIterate) {
  std::mt19937 gen(3);
  Problem p = randomProblem(gen, Tall);
  for (int j = 0; j < p.n; ++j) p.bnd[2 * j] = -(p.bnd[2 * j + 1] = kInf);
  double best = solve(p).rnorm;
  for (int limit = 1; limit < p.n; ++limit) {
    Result r = solve(p, limit);
    EXPECT_EQ(r.ierr, 4);
    EXPECT_EQ(r.nsetp, limit);
    EXPECT_NEAR(r.rnorm, norm(residual(p, r.x)), 1e-13);
    EXPECT_GT(r.rnorm, best);
  }
  // Cut short inside the interpolation steps, the iterate is still feasible
  // and the free set strictly inside its bounds.
  int stopped = 0;
  for (int trial = 0; trial < 200; ++trial) {
    Problem q = randomProblem(gen, Tall);
    Result r = solve(q, 1 + trial % 3);
    if (r.ierr != 4) continue;
    ++stopped;
    EXPECT_NEAR(r.rnorm, norm(residual(q, r.x)), 1e-12 * (1.0 + norm(q.b)));
    for (int k = 1; k <= q.n; ++k) {
      int j = r.index[k - 1];
      double xj = r.x[j - 1], lo = q.bnd[2 * j - 2], hi = q.bnd[2 * j - 1];
      EXPECT_TRUE(xj >= lo && xj <= hi);
      EXPECT_TRUE(k > r.nsetp || (xj != lo && xj != hi));
    }
  }
  EXPECT_GT(stopped, 50);
}

// One list-directed line, on every call, failing ones included.
TEST(Dbvls, WritesTheIterationLimitAndPrecision) {
  Problem p{1, 4, {1, 2, 3, 4}, {1}, {0, 1, 0, 1, 0, 1, 0, 1}};
  for (double lower : {0.0, 2.0}) {
    p.bnd[0] = lower;
    std::string text = solve(p).console;
    const std::string prefix = " ITMAX=         120  EPS=";
    ASSERT_EQ(text.substr(0, prefix.size()), prefix);
    EXPECT_EQ(text.find('\n'), text.size() - 1);
    EXPECT_EQ(std::strtod(text.c_str() + prefix.size(), nullptr), 2.220446049250313E-16);
  }
}

// Problems solved by scipy.optimize.lsq_linear(method='bvls'); the file and
// the script that wrote it are in tests/data/bvls.
TEST(Dbvls, AgreesWithScipy) {
  std::ifstream in(std::string(KOVA_TEST_DATA) + "/bvls/scipy_cases.txt");
  ASSERT_TRUE(in);
  std::string word, name;
  int cases = 0;
  while (in >> word) {
    if (word == "#") {
      std::getline(in, word);
      continue;
    }
    Problem p;
    in >> name >> p.m >> p.n;
    p.a.resize(static_cast<std::size_t>(p.m) * p.n);
    p.b.resize(p.m);
    p.bnd.resize(2 * p.n);
    V xs(p.n);
    for (int i = 1; i <= p.m; ++i)
      for (int j = 1; j <= p.n; ++j) in >> p.at(i, j);
    for (double& v : p.b) in >> v;
    for (int side = 0; side < 2; ++side)
      for (int j = 0; j < p.n; ++j) in >> p.bnd[2 * j + side];
    for (double& v : xs) in >> v;
    double cost = 0.0;
    ASSERT_TRUE(in >> cost) << name;
    SCOPED_TRACE(name);
    Result r = solve(p);
    for (int j = 0; j < p.n; ++j) EXPECT_NEAR(r.x[j], xs[j], 1e-9 * (1.0 + norm(xs)));
    EXPECT_NEAR(0.5 * r.rnorm * r.rnorm, cost, 1e-9 * (1.0 + cost));
    expectKkt(p, r);
    ++cases;
  }
  EXPECT_EQ(cases, 9);
}

}  // namespace
}  // namespace kova
