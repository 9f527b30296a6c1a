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
#include "run/console.h"

extern "C" void dgels_(const char* trans, const int* m, const int* n, const int* nrhs, double* a,
                       const int* lda, double* b, const int* ldb, double* work, const int* lwork,
                       int* info, std::size_t transLen);

namespace kova {
namespace {

constexpr double kEps = 2.220446049250313E-16;
constexpr double kInf = kBvlsUnbounded;

struct Problem {
  int m = 0, n = 0;
  std::vector<double> a, b, bnd;  // a column-major m x n, bnd 2 x n
  double& at(int i, int j) { return a[(i - 1) + static_cast<std::size_t>(j - 1) * m]; }
  double atc(int i, int j) const { return a[(i - 1) + static_cast<std::size_t>(j - 1) * m]; }
  double lo(int j) const { return bnd[2 * (j - 1)]; }
  double hi(int j) const { return bnd[2 * (j - 1) + 1]; }
};

struct Result {
  std::vector<double> x, w;
  std::vector<int> index;
  double rnorm = -1.0;
  int nsetp = -1, ierr = -1;
  std::string console;
};

// Runs DBVLS on copies (A and B are overwritten), with the console captured.
Result solve(const Problem& p, int itmax = -1) {
  Result r;
  std::vector<double> a = p.a, b = p.b, bnd = p.bnd, s(p.m > 0 ? p.m : 1), z(p.n > 0 ? p.n : 1);
  r.x.assign(p.n > 0 ? p.n : 1, 0.0);
  r.w.assign(r.x.size(), 0.0);
  r.index.assign(r.x.size(), 0);
  std::ostringstream out;
  {
    ConsoleRedirect redirect(out);
    Mat am{a.data(), p.m, p.m, p.n};
    Mat bm{bnd.data(), 2, 2, p.n};
    BvlsWork work{Vec{s.data(), p.m}, Vec{z.data(), p.n}};
    if (itmax < 0)
      DBVLS(am, Vec{b.data(), p.m}, bm, Vec{r.x.data(), p.n}, r.rnorm, r.nsetp,
            Vec{r.w.data(), p.n}, IVec{r.index.data(), p.n}, r.ierr, work);
    else
      dbvlsWithLimit(itmax, am, Vec{b.data(), p.m}, bm, Vec{r.x.data(), p.n}, r.rnorm, r.nsetp,
                     Vec{r.w.data(), p.n}, IVec{r.index.data(), p.n}, r.ierr, work);
  }
  r.console = out.str();
  return r;
}

std::vector<double> residual(const Problem& p, const std::vector<double>& x) {
  std::vector<double> r = p.b;
  for (int j = 1; j <= p.n; ++j)
    for (int i = 1; i <= p.m; ++i) r[i - 1] -= p.atc(i, j) * x[j - 1];
  return r;
}

double norm(const std::vector<double>& v) {
  double s = 0.0;
  for (double e : v) s += e * e;
  return std::sqrt(s);
}

// Primal feasibility, the sign of the dual on each bound, a vanishing
// gradient off the bounds, and W, RNORM, INDEX, NSETP telling the same story.
void expectKkt(const Problem& p, const Result& r, const std::string& label) {
  SCOPED_TRACE(label);
  ASSERT_EQ(r.ierr, 0);
  std::vector<double> res = residual(p, r.x);
  double anorm = norm(p.a), xnorm = norm(std::vector<double>(r.x.begin(), r.x.begin() + p.n));
  double scale = 1000.0 * kEps * (norm(p.b) + anorm * xnorm) * (p.m + p.n);
  EXPECT_NEAR(r.rnorm, norm(res), scale);
  std::vector<bool> seen(p.n + 1, false);
  for (int k = 1; k <= p.n; ++k) {
    int j = r.index[k - 1];
    ASSERT_TRUE(j >= 1 && j <= p.n && !seen[j]) << "INDEX is not a permutation";
    seen[j] = true;
    double xj = r.x[j - 1], lo = p.lo(j), hi = p.hi(j);
    bool hasLo = lo > -kInf, hasHi = hi < kInf;
    double colNorm = 0.0;
    for (int i = 1; i <= p.m; ++i) colNorm = std::hypot(colNorm, p.atc(i, j));
    double g = 0.0;
    for (int i = 1; i <= p.m; ++i) g += p.atc(i, j) * res[i - 1];
    double tol = scale * (colNorm + 1.0);
    EXPECT_NEAR(r.w[j - 1], g, tol) << "W(" << j << ")";
    if (hasLo) { EXPECT_GE(xj, lo) << "X(" << j << ")"; }
    if (hasHi) { EXPECT_LE(xj, hi) << "X(" << j << ")"; }
    bool atLo = hasLo && xj == lo, atHi = hasHi && xj == hi;
    if (k <= r.nsetp) { EXPECT_FALSE(atLo || atHi) << "free unknown " << j << " sits on a bound"; }
    if (atLo && atHi) continue;  // fixed: any dual
    if (atLo) {
      EXPECT_LE(g, tol) << "dual at lower bound, unknown " << j;
    } else if (atHi) {
      EXPECT_GE(g, -tol) << "dual at upper bound, unknown " << j;
    } else {
      EXPECT_NEAR(g, 0.0, tol) << "gradient of interior unknown " << j;
    }
  }
}

enum class Shape { Tall, Square, Wide, RankDeficient };

Problem randomProblem(std::mt19937& gen, Shape shape) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::uniform_int_distribution<int> pick(0, 5);
  Problem p;
  switch (shape) {
    case Shape::Tall: p.m = 8 + gen() % 10; p.n = 2 + gen() % 6; break;
    case Shape::Square: p.m = p.n = 2 + gen() % 8; break;
    case Shape::Wide: p.m = 2 + gen() % 5; p.n = p.m + 1 + gen() % 6; break;
    case Shape::RankDeficient: p.m = 6 + gen() % 8; p.n = 3 + gen() % 5; break;
  }
  p.a.assign(static_cast<std::size_t>(p.m) * p.n, 0.0);
  if (shape == Shape::RankDeficient) {
    int rank = 1 + gen() % (p.n - 1);
    std::vector<double> left(p.m * rank), right(rank * p.n);
    for (double& v : left) v = u(gen);
    for (double& v : right) v = u(gen);
    for (int j = 1; j <= p.n; ++j)
      for (int i = 1; i <= p.m; ++i)
        for (int k = 0; k < rank; ++k) p.at(i, j) += left[(i - 1) + k * p.m] * right[k + (j - 1) * rank];
  } else {
    for (double& v : p.a) v = u(gen);
  }
  p.b.resize(p.m);
  for (double& v : p.b) v = 3.0 * u(gen);
  p.bnd.resize(2 * p.n);
  for (int j = 1; j <= p.n; ++j) {
    double c = 0.5 * u(gen), h = 0.5 * std::abs(u(gen));
    double lo = c - h, hi = c + h;
    switch (pick(gen)) {
      case 0: lo = -kInf; hi = kInf; break;
      case 1: hi = kInf; break;
      case 2: lo = -kInf; break;
      case 3: lo = -std::numeric_limits<double>::infinity(); hi = std::numeric_limits<double>::infinity(); break;
      case 4: break;
      case 5: if (gen() % 3 == 0) hi = lo; break;  // sometimes fixed
    }
    p.bnd[2 * (j - 1)] = lo;
    p.bnd[2 * (j - 1) + 1] = hi;
  }
  return p;
}

TEST(Dbvls, KuhnTuckerOnRandomProblems) {
  std::mt19937 gen(20261207);
  const Shape shapes[] = {Shape::Tall, Shape::Square, Shape::Wide, Shape::RankDeficient};
  const char* names[] = {"tall", "square", "wide", "rank-deficient"};
  int atLower = 0, atUpper = 0, inside = 0;
  for (int s = 0; s < 4; ++s)
    for (int trial = 0; trial < 250; ++trial) {
      Problem p = randomProblem(gen, shapes[s]);
      Result r = solve(p);
      expectKkt(p, r, std::string(names[s]) + " trial " + std::to_string(trial));
      if (::testing::Test::HasFailure()) return;
      for (int j = 1; j <= p.n; ++j) {
        if (p.lo(j) == p.hi(j)) continue;
        atLower += r.x[j - 1] == p.lo(j);
        atUpper += r.x[j - 1] == p.hi(j);
        inside += r.x[j - 1] != p.lo(j) && r.x[j - 1] != p.hi(j);
      }
    }
  // The draws must exercise every outcome, not just the easy one.
  EXPECT_GT(atLower, 300);
  EXPECT_GT(atUpper, 300);
  EXPECT_GT(inside, 1000);
}

// Badly scaled columns and right-hand sides: the tolerances are relative.
TEST(Dbvls, KuhnTuckerUnderScaling) {
  std::mt19937 gen(77);
  for (int trial = 0; trial < 100; ++trial) {
    Problem p = randomProblem(gen, Shape::Tall);
    double colScale = std::pow(10.0, static_cast<int>(gen() % 9) - 4);
    for (int i = 1; i <= p.m; ++i) p.at(i, 1) *= colScale;
    if (p.lo(1) > -kInf) p.bnd[0] /= colScale;
    if (p.hi(1) < kInf) p.bnd[1] /= colScale;
    double rhsScale = std::pow(10.0, static_cast<int>(gen() % 13) - 6);
    for (double& v : p.b) v *= rhsScale;
    for (double& v : p.bnd)
      if (std::abs(v) < kInf) v *= rhsScale;
    expectKkt(p, solve(p), "scaled trial " + std::to_string(trial));
    if (::testing::Test::HasFailure()) return;
  }
}

std::vector<double> lapackLeastSquares(const Problem& p) {
  std::vector<double> a = p.a, b = p.b, work(64 * (p.m + p.n));
  int nrhs = 1, lwork = static_cast<int>(work.size()), info = 0;
  dgels_("N", &p.m, &p.n, &nrhs, a.data(), &p.m, b.data(), &p.m, work.data(), &lwork, &info, 1);
  EXPECT_EQ(info, 0);
  b.resize(p.n);
  return b;
}

TEST(Dbvls, InactiveBoundsGiveTheLeastSquaresSolution) {
  std::mt19937 gen(5);
  for (int trial = 0; trial < 50; ++trial) {
    Problem p = randomProblem(gen, Shape::Tall);
    std::vector<double> ls = lapackLeastSquares(p);
    for (int j = 1; j <= p.n; ++j) {
      // Alternately no bounds at all and finite bounds far from the solution.
      p.bnd[2 * (j - 1)] = trial % 2 ? -kInf : -1.0e6;
      p.bnd[2 * (j - 1) + 1] = trial % 2 ? kInf : 1.0e6;
    }
    Result r = solve(p);
    ASSERT_EQ(r.ierr, 0);
    EXPECT_EQ(r.nsetp, p.n);
    for (int j = 1; j <= p.n; ++j)
      EXPECT_NEAR(r.x[j - 1], ls[j - 1], 1e-12 * (1.0 + std::abs(ls[j - 1]))) << "trial " << trial;
    EXPECT_NEAR(r.rnorm, norm(residual(p, ls)), 1e-12 * norm(p.b));
  }
}

Problem oneUnknown(std::vector<double> column, std::vector<double> rhs, double lo, double hi) {
  Problem p;
  p.m = static_cast<int>(column.size());
  p.n = 1;
  p.a = std::move(column);
  p.b = std::move(rhs);
  p.bnd = {lo, hi};
  return p;
}

// A variance whose unconstrained estimate is negative comes back as exactly
// 0; a coefficient beyond its bound comes back as exactly that bound.
TEST(Dbvls, OneUnknownIsPushedOntoItsBound) {
  Problem variance = oneUnknown({1.0, 2.0, 3.0}, {-1.0, -2.5, -2.0}, 0.0, 1.0e300);
  Result r = solve(variance);
  EXPECT_EQ(r.ierr, 0);
  EXPECT_EQ(r.x[0], 0.0);
  EXPECT_FALSE(std::signbit(r.x[0]));
  EXPECT_EQ(r.nsetp, 0);
  EXPECT_LT(r.w[0], 0.0);
  EXPECT_NEAR(r.rnorm, std::sqrt(1.0 + 6.25 + 4.0), 1e-14);

  variance.bnd = {0.0, kInf};
  EXPECT_EQ(solve(variance).x[0], 0.0);

  Problem positive = oneUnknown({1.0, 2.0, 3.0}, {1.0, 2.5, 2.0}, 0.0, 1.0e300);
  EXPECT_NEAR(solve(positive).x[0], (1.0 + 5.0 + 6.0) / 14.0, 1e-15);

  Problem phi = oneUnknown({1.0, 1.0}, {2.0, 3.0}, -0.95, 0.95);
  r = solve(phi);
  EXPECT_EQ(r.x[0], 0.95);
  EXPECT_GT(r.w[0], 0.0);
  phi.b = {-2.0, -3.0};
  EXPECT_EQ(solve(phi).x[0], -0.95);
  phi.b = {0.25, 0.5};
  EXPECT_DOUBLE_EQ(solve(phi).x[0], 0.375);
}

TEST(Dbvls, StatusCodesLeaveTheDataAlone) {
  Problem p = oneUnknown({1.0, 2.0}, {3.0, 4.0}, 1.0, 0.5);
  Result r = solve(p);
  EXPECT_EQ(r.ierr, 3);
  p.bnd = {std::nan(""), 1.0};
  EXPECT_EQ(solve(p).ierr, 3);
  p.bnd = {kInf, -kInf};
  EXPECT_EQ(solve(p).ierr, 3);

  Problem empty;
  empty.m = 0;
  empty.n = 1;
  empty.bnd = {0.0, 1.0};
  EXPECT_EQ(solve(empty).ierr, 1);
  Problem noUnknowns = oneUnknown({}, {1.0}, 0.0, 1.0);
  noUnknowns.m = 1;
  noUnknowns.n = 0;
  EXPECT_EQ(solve(noUnknowns).ierr, 1);

  // Short arrays: a leading dimension below M, a work vector below M.
  std::vector<double> a = {1.0, 2.0, 3.0, 4.0}, b = {1.0, 1.0}, bnd = {0.0, 1.0, 0.0, 1.0};
  std::vector<double> x(2), w(2), s(2), z(2);
  std::vector<int> index(2);
  double rnorm = 0.0;
  int nsetp = 0, ierr = 0;
  std::ostringstream out;
  ConsoleRedirect redirect(out);
  DBVLS(Mat{a.data(), 1, 2, 2}, Vec{b.data(), 2}, Mat{bnd.data(), 2, 2, 2}, Vec{x.data(), 2},
        rnorm, nsetp, Vec{w.data(), 2}, IVec{index.data(), 2}, ierr,
        BvlsWork{Vec{s.data(), 2}, Vec{z.data(), 2}});
  EXPECT_EQ(ierr, 2);
  DBVLS(Mat{a.data(), 2, 2, 2}, Vec{b.data(), 2}, Mat{bnd.data(), 2, 2, 2}, Vec{x.data(), 2},
        rnorm, nsetp, Vec{w.data(), 2}, IVec{index.data(), 2}, ierr,
        BvlsWork{Vec{s.data(), 1}, Vec{z.data(), 2}});
  EXPECT_EQ(ierr, 2);
  DBVLS(Mat{a.data(), 2, 2, 2}, Vec{b.data(), 2}, Mat{bnd.data(), 2, 2, 1}, Vec{x.data(), 2},
        rnorm, nsetp, Vec{w.data(), 2}, IVec{index.data(), 2}, ierr,
        BvlsWork{Vec{s.data(), 2}, Vec{z.data(), 2}});
  EXPECT_EQ(ierr, 2);
  EXPECT_EQ(a, (std::vector<double>{1.0, 2.0, 3.0, 4.0}));
  EXPECT_EQ(b, (std::vector<double>{1.0, 1.0}));
}

// Every unknown must enter the free set, one least-squares solve each, so a
// limit below N stops the solve early with a feasible, self-consistent
// iterate. The iteration limit is reached through dbvlsWithLimit: 30 * N
// solves is more than any ordinary problem needs.
TEST(Dbvls, IterationLimitReturnsTheCurrentIterate) {
  Problem p;
  p.m = 6;
  p.n = 4;
  std::mt19937 gen(3);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  p.a.resize(24);
  for (double& v : p.a) v = u(gen);
  p.b = {1.0, 2.0, -1.0, 0.5, 3.0, -2.0};
  p.bnd = {-kInf, kInf, -kInf, kInf, -kInf, kInf, -kInf, kInf};
  Result full = solve(p);
  ASSERT_EQ(full.ierr, 0);
  for (int limit = 1; limit < p.n; ++limit) {
    Result r = solve(p, limit);
    EXPECT_EQ(r.ierr, 4) << "limit " << limit;
    EXPECT_EQ(r.nsetp, limit);
    EXPECT_NEAR(r.rnorm, norm(residual(p, r.x)), 1e-13);
    EXPECT_GT(r.rnorm, full.rnorm);
    EXPECT_NE(r.console.find("ITMAX=" + std::string(12 - std::to_string(limit).size(), ' ') +
                             std::to_string(limit)),
              std::string::npos);
  }
  // A limit hit inside the interpolation steps still leaves every unknown
  // within its bounds and the free set strictly inside them.
  std::mt19937 gen2(11);
  int stopped = 0;
  for (int trial = 0; trial < 200; ++trial) {
    Problem q = randomProblem(gen2, Shape::Tall);
    Result r = solve(q, 1 + trial % 3);
    if (r.ierr != 4) continue;
    ++stopped;
    EXPECT_NEAR(r.rnorm, norm(residual(q, r.x)), 1e-12 * (1.0 + norm(q.b)));
    for (int k = 1; k <= q.n; ++k) {
      int j = r.index[k - 1];
      double xj = r.x[j - 1];
      if (q.lo(j) > -kInf) { EXPECT_GE(xj, q.lo(j)); }
      if (q.hi(j) < kInf) { EXPECT_LE(xj, q.hi(j)); }
      if (k <= r.nsetp) { EXPECT_TRUE(xj != q.lo(j) && xj != q.hi(j)); }
    }
  }
  EXPECT_GT(stopped, 50);
}

TEST(Dbvls, WritesTheIterationLimitAndPrecision) {
  Problem p = oneUnknown({1.0}, {1.0}, 0.0, 1.0);
  p.m = 1;
  p.a = {1.0, 2.0, 3.0, 4.0};
  p.n = 4;
  p.bnd = {0.0, 1.0, 0.0, 1.0, 0.0, 1.0, 0.0, 1.0};
  Result r = solve(p);
  const std::string prefix = " ITMAX=         120  EPS=";
  ASSERT_EQ(r.console.substr(0, prefix.size()), prefix) << r.console;
  ASSERT_EQ(r.console.back(), '\n');
  EXPECT_EQ(r.console.find('\n'), r.console.size() - 1) << "one line";
  EXPECT_EQ(std::strtod(r.console.c_str() + prefix.size(), nullptr), 2.220446049250313E-16);
  // Also on a call that fails its checks.
  p.bnd[0] = 2.0;
  r = solve(p);
  EXPECT_EQ(r.ierr, 3);
  EXPECT_EQ(r.console.substr(0, prefix.size()), prefix);
}

// Problems solved by scipy.optimize.lsq_linear(method='bvls'); the file and
// the script that wrote it are under tests/data/bvls.
TEST(Dbvls, AgreesWithScipy) {
  std::ifstream in(std::string(KOVA_TEST_DATA) + "/bvls/scipy_cases.txt");
  ASSERT_TRUE(in) << "missing scipy_cases.txt";
  std::string word;
  int cases = 0;
  while (in >> word) {
    if (word == "#") {
      std::getline(in, word);
      continue;
    }
    ASSERT_EQ(word, "case");
    std::string name;
    Problem p;
    in >> name >> p.m >> p.n;
    p.a.assign(static_cast<std::size_t>(p.m) * p.n, 0.0);
    for (int i = 1; i <= p.m; ++i)
      for (int j = 1; j <= p.n; ++j) in >> p.at(i, j);
    p.b.resize(p.m);
    for (double& v : p.b) in >> v;
    p.bnd.resize(2 * p.n);
    for (int j = 0; j < p.n; ++j) in >> p.bnd[2 * j];
    for (int j = 0; j < p.n; ++j) in >> p.bnd[2 * j + 1];
    std::vector<double> xs(p.n);
    for (double& v : xs) in >> v;
    double cost = 0.0;
    in >> cost;
    ASSERT_TRUE(in) << "case " << name;
    Result r = solve(p);
    ASSERT_EQ(r.ierr, 0) << name;
    double xn = norm(xs);
    for (int j = 0; j < p.n; ++j) EXPECT_NEAR(r.x[j], xs[j], 1e-9 * (1.0 + xn)) << name << " x" << j + 1;
    EXPECT_NEAR(0.5 * r.rnorm * r.rnorm, cost, 1e-9 * (1.0 + cost)) << name;
    expectKkt(p, r, name);
    ++cases;
  }
  EXPECT_GE(cases, 5);
}

}  // namespace
}  // namespace kova
