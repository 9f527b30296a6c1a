// SDBVLS status reporting, and QDBVLS against LAPACK's equality-constrained
// least squares (with a brute-force search over active inequality rows).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "linalg/bvls.h"
#include "run/console.h"
#include "run/fortran_io.h"
#include "run/stop.h"

extern "C" void dgglse_(const int* m, const int* n, const int* p, double* a, const int* lda,
                        double* b, const int* ldb, double* c, double* d, double* x, double* work,
                        const int* lwork, int* info);

namespace kova {
namespace {

constexpr double kInf = kBvlsUnbounded;
constexpr int kLogUnit = 31;

// A fresh temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kova_bvls_XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() {
    closeAllUnits();
    std::filesystem::remove_all(path_);
  }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

std::vector<std::string> readLines(const std::string& name) {
  std::ifstream in(name);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// ---- SDBVLS ---------------------------------------------------------------

struct SdbvlsRun {
  std::vector<double> x{0.0, 0.0};
  int ierr = -1;
  bool stopped = false;
  std::vector<std::string> console, log;
};

// Fits y = 2 + 3t on t = 0..3 with the bounds given, BND stored with a
// leading dimension of 3 whose third row is junk that must not be read.
SdbvlsRun runSdbvls(double lo1, double hi1, int m = 4, int itmax = -1) {
  TempDir dir;
  EXPECT_EQ(openUnit(kLogUnit, dir.file("log.txt"), "FORMATTED", "UNKNOWN"), 0);
  std::vector<double> a = {1, 1, 1, 1, 0, 1, 2, 3}, b = {2, 5, 8, 11};
  std::vector<double> bnd = {lo1, hi1, std::nan(""), -kInf, kInf, std::nan("")};
  std::vector<double> w(2), workM(4), workN(2);
  std::vector<int> index(2);
  double rnorm = 0.0;
  int nsetp = 0;
  SdbvlsRun run;
  std::ostringstream out;
  {
    ConsoleRedirect redirect(out);
    try {
      if (itmax < 0)
        SDBVLS(4, m, 2, a.data(), b.data(), run.x.data(), 3, bnd.data(), rnorm, nsetp, w.data(),
               index.data(), run.ierr, kLogUnit, workM.data(), workN.data());
      else
        sdbvlsWithLimit(itmax, 4, m, 2, a.data(), b.data(), run.x.data(), 3, bnd.data(), rnorm,
                        nsetp, w.data(), index.data(), run.ierr, kLogUnit, workM.data(),
                        workN.data());
    } catch (const RunStopped&) {
      run.stopped = true;
    }
  }
  closeUnit(kLogUnit, "KEEP");
  run.console = splitLines(out.str());
  run.log = readLines(dir.file("log.txt"));
  return run;
}

TEST(Sdbvls, ReportsStatusToConsoleAndLog) {
  SdbvlsRun ok = runSdbvls(-kInf, kInf);
  EXPECT_EQ(ok.ierr, 0);
  EXPECT_FALSE(ok.stopped);
  EXPECT_NEAR(ok.x[0], 2.0, 1e-13);
  EXPECT_NEAR(ok.x[1], 3.0, 1e-13);
  ASSERT_EQ(ok.console.size(), 1u) << "success is silent but for the ITMAX line";
  EXPECT_EQ(ok.console[0].substr(0, 25), " ITMAX=          60  EPS=");
  EXPECT_TRUE(ok.log.empty());

  SdbvlsRun bounded = runSdbvls(2.5, 4.0);
  EXPECT_EQ(bounded.ierr, 0);
  EXPECT_EQ(bounded.x[0], 2.5);

  SdbvlsRun crossed = runSdbvls(1.0, 0.0);
  EXPECT_EQ(crossed.ierr, 3);
  EXPECT_TRUE(crossed.stopped);
  const std::string stops3 = " ERROR OCCURRED IN SUBROUTINE SDBVLS.  IERR IS           3 .  PROGRAM STOPS.";
  ASSERT_EQ(crossed.console.size(), 2u);
  EXPECT_EQ(crossed.console[1], stops3);
  EXPECT_EQ(crossed.log, std::vector<std::string>{stops3});

  SdbvlsRun empty = runSdbvls(0.0, 1.0, 0);
  EXPECT_EQ(empty.ierr, 1);
  EXPECT_TRUE(empty.stopped);
  ASSERT_EQ(empty.log.size(), 1u);
  EXPECT_EQ(empty.log[0], " ERROR OCCURRED IN SUBROUTINE SDBVLS.  IERR IS           1 .  PROGRAM STOPS.");

  // The limit reached: the run goes on with the last iterate.
  SdbvlsRun limited = runSdbvls(-kInf, kInf, 4, 1);
  EXPECT_EQ(limited.ierr, 4);
  EXPECT_FALSE(limited.stopped);
  const std::string goes4 = " ERROR OCCURRED IN SUBROUTINE SDBVLS.  IERR IS           4 .  PROGRAM CONTINUES.";
  ASSERT_EQ(limited.console.size(), 2u);
  EXPECT_EQ(limited.console[1], goes4);
  EXPECT_EQ(limited.log, std::vector<std::string>{goes4});
}

// ---- QDBVLS ---------------------------------------------------------------

struct Qp {
  int m = 0, n = 0, me = 0, mi = 0;
  std::vector<double> a, b, e, er, c, d;  // column-major A (m x n), E (me x n), C (mi x n)
};

struct QpRun {
  std::vector<double> x;
  bool inconsistent = false, stopped = false;
  int ierr = -1;
  std::vector<std::string> console;
};

QpRun runQdbvls(Qp q, int shrink = 0) {
  QdbvlsWorkSize size = qdbvlsWorkSize(q.m, q.n, q.me, q.mi);
  // Sentinels past the end catch a workspace overrun.
  const double sentinel = -7.25e77;
  std::vector<double> dwork(size.doubles + 16, sentinel);
  std::vector<int> iwork(size.ints + 16, -99);
  QdbvlsWork work = carveQdbvlsWork(dwork.data(), iwork.data(), q.m, q.n, q.me, q.mi);
  work.ld -= shrink;
  LinearConstraints cons{Mat{q.e.data(), q.me, q.me, q.n}, q.er.data(),
                         Mat{q.c.data(), q.mi, q.mi, q.n}, q.d.data()};
  QpRun run;
  run.x.assign(q.n, 0.0);
  std::ostringstream out;
  {
    ConsoleRedirect redirect(out);
    try {
      QDBVLS(Mat{q.a.data(), q.m, q.m, q.n}, q.b.data(), cons, work, run.x.data(),
             run.inconsistent, run.ierr, kLogUnit);
    } catch (const RunStopped&) {
      run.stopped = true;
    }
  }
  for (int k = 0; k < 16; ++k) {
    EXPECT_EQ(dwork[size.doubles + k], sentinel) << "double workspace overrun";
    EXPECT_EQ(iwork[size.ints + k], -99) << "int workspace overrun";
  }
  run.console = splitLines(out.str());
  return run;
}

// min ||A x - b|| subject to G x = g by LAPACK's DGGLSE.
std::vector<double> lse(const Qp& q, const std::vector<double>& g, const std::vector<double>& rhs) {
  int m = q.m, n = q.n, p = static_cast<int>(rhs.size());
  std::vector<double> a = q.a, gg = g, c = q.b, d = rhs, x(n), work(64 * (m + n + p + 1));
  int lwork = static_cast<int>(work.size()), info = 0, ldg = p > 0 ? p : 1;
  dgglse_(&m, &n, &p, a.data(), &m, gg.data(), &ldg, c.data(), d.data(), x.data(), work.data(),
          &lwork, &info);
  EXPECT_EQ(info, 0);
  return x;
}

double rowTimes(const std::vector<double>& g, int rows, int i, const std::vector<double>& x) {
  double s = 0.0;
  for (std::size_t j = 0; j < x.size(); ++j) s += g[i + j * rows] * x[j];
  return s;
}

double objective(const Qp& q, const std::vector<double>& x) {
  double s = 0.0;
  for (int i = 0; i < q.m; ++i) s += std::pow(rowTimes(q.a, q.m, i, x) - q.b[i], 2);
  return std::sqrt(s);
}

// The constrained minimum by trying every set of inequality rows as
// equalities and keeping the best feasible solution.
std::vector<double> bruteForce(const Qp& q) {
  std::vector<double> best;
  double bestObjective = INFINITY;
  for (int mask = 0; mask < (1 << q.mi); ++mask) {
    std::vector<int> rowsOfC;
    for (int i = 0; i < q.mi; ++i)
      if (mask & (1 << i)) rowsOfC.push_back(i);
    int p = q.me + static_cast<int>(rowsOfC.size());
    if (p > q.n) continue;
    std::vector<double> g(static_cast<std::size_t>(p) * q.n), rhs(p);
    for (int j = 0; j < q.n; ++j) {
      for (int i = 0; i < q.me; ++i) g[i + j * p] = q.e[i + j * q.me];
      for (std::size_t k = 0; k < rowsOfC.size(); ++k) g[q.me + k + j * p] = q.c[rowsOfC[k] + j * q.mi];
    }
    for (int i = 0; i < q.me; ++i) rhs[i] = q.er[i];
    for (std::size_t k = 0; k < rowsOfC.size(); ++k) rhs[q.me + k] = q.d[rowsOfC[k]];
    std::vector<double> x = lse(q, g, rhs);
    bool feasible = true;
    for (int i = 0; i < q.mi; ++i) feasible = feasible && rowTimes(q.c, q.mi, i, x) >= q.d[i] - 1e-9;
    if (feasible && objective(q, x) < bestObjective) {
      bestObjective = objective(q, x);
      best = x;
    }
  }
  return best;
}

Qp randomQp(std::mt19937& gen, int m, int n, int me, int mi) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Qp q;
  q.m = m, q.n = n, q.me = me, q.mi = mi;
  auto fill = [&](std::vector<double>& v, std::size_t size, double scale) {
    v.resize(size);
    for (double& e : v) e = scale * u(gen);
  };
  fill(q.a, static_cast<std::size_t>(m) * n, 1.0);
  for (int j = 0; j < n; ++j) q.a[j + j * m] += 2.0;
  fill(q.b, m, 3.0);
  fill(q.e, static_cast<std::size_t>(me) * n, 1.0);
  fill(q.c, static_cast<std::size_t>(mi) * n, 1.0);
  // Right-hand sides from a point that satisfies every row, so that the
  // constraints are consistent, with the inequality rows near enough to it
  // to bind at the least-squares solution now and then.
  std::vector<double> x0;
  fill(x0, n, 1.0);
  q.er.resize(me);
  for (int i = 0; i < me; ++i) q.er[i] = rowTimes(q.e, me, i, x0);
  q.d.resize(mi);
  for (int i = 0; i < mi; ++i) q.d[i] = rowTimes(q.c, mi, i, x0) - 0.3 * std::abs(u(gen));
  return q;
}

TEST(Qdbvls, MatchesTheConstrainedMinimum) {
  std::mt19937 gen(99);
  const int shapes[][4] = {{6, 3, 1, 0}, {8, 4, 2, 0}, {7, 3, 0, 3}, {9, 4, 0, 5}, {8, 4, 1, 3},
                           {10, 5, 2, 4}, {5, 5, 1, 2}};
  int activeRows = 0;
  for (const auto& s : shapes)
    for (int trial = 0; trial < 20; ++trial) {
      Qp q = randomQp(gen, s[0], s[1], s[2], s[3]);
      SCOPED_TRACE(::testing::Message() << "shape " << s[0] << "x" << s[1] << " me " << s[2]
                                        << " mi " << s[3] << " trial " << trial);
      std::vector<double> ref = bruteForce(q);
      ASSERT_FALSE(ref.empty());
      QpRun run = runQdbvls(q);
      ASSERT_FALSE(run.stopped);
      EXPECT_EQ(run.ierr, 0);
      EXPECT_FALSE(run.inconsistent);
      double xn = 0.0;
      for (double v : ref) xn = std::hypot(xn, v);
      for (int j = 0; j < q.n; ++j) EXPECT_NEAR(run.x[j], ref[j], 1e-7 * (1.0 + xn)) << "x" << j + 1;
      for (int i = 0; i < q.me; ++i) EXPECT_NEAR(rowTimes(q.e, q.me, i, run.x), q.er[i], 1e-12 * (1.0 + xn));
      for (int i = 0; i < q.mi; ++i) {
        double cx = rowTimes(q.c, q.mi, i, run.x);
        EXPECT_GE(cx, q.d[i] - 1e-12 * (1.0 + xn));
        activeRows += std::abs(cx - q.d[i]) < 1e-9;
      }
      EXPECT_LE(objective(q, run.x), objective(q, ref) * (1.0 + 1e-12) + 1e-12);
      if (::testing::Test::HasFailure()) return;
    }
  EXPECT_GT(activeRows, 30) << "the draws should make inequality rows bind";
}

TEST(Qdbvls, ContradictoryRowsAreRelaxedAndReported) {
  std::mt19937 gen(4);
  Qp q = randomQp(gen, 6, 3, 2, 0);
  // x1 + x2 = 1 and x1 + x2 = 3: phase 1 settles on x1 + x2 = 2.
  q.e = {1, 1, 1, 1, 0, 0};
  q.er = {1.0, 3.0};
  QpRun run = runQdbvls(q);
  EXPECT_FALSE(run.stopped);
  EXPECT_EQ(run.ierr, 0);
  EXPECT_TRUE(run.inconsistent);
  const std::string message =
      " IN SUBROUTINE QDBVLS, LINEAR CONSTRAINING SYSTEM IS INCONSISTENT IN PHASE 1.";
  ASSERT_EQ(run.console.size(), 3u);  // ITMAX, the message, ITMAX
  EXPECT_EQ(run.console[1], message);
  double sum = run.x[0] + run.x[1];
  EXPECT_NEAR(sum, 2.0, 1e-12);  // inside both relaxed rows, [1, 2] and [2, 3]
  std::vector<double> ref = lse(q, {1, 1, 0}, {2.0});
  for (int j = 0; j < 3; ++j) EXPECT_NEAR(run.x[j], ref[j], 1e-7);

  // x1 >= 1 and x1 <= 0: phase 1 meets them half way, at x1 = 0.5.
  Qp r = randomQp(gen, 5, 2, 0, 2);
  r.c = {1, -1, 0, 0};
  r.d = {1.0, 0.0};
  run = runQdbvls(r);
  EXPECT_TRUE(run.inconsistent);
  EXPECT_NEAR(run.x[0], 0.5, 1e-12);
  ref = lse(r, {1, 0}, {0.5});
  EXPECT_NEAR(run.x[1], ref[1], 1e-7);
}

TEST(Qdbvls, ConsistentRowsAreNotRelaxed) {
  std::mt19937 gen(8);
  Qp q = randomQp(gen, 6, 3, 2, 1);
  // A redundant pair (the second row is twice the first) is consistent.
  q.e = {1, 2, -1, -2, 0.5, 1.0};
  q.er = {0.75, 1.5};
  q.c = {0, 0, 1};
  q.d = {-10.0};
  QpRun run = runQdbvls(q);
  EXPECT_FALSE(run.inconsistent);
  EXPECT_EQ(run.console.size(), 2u);
  std::vector<double> ref = lse(q, {1, -1, 0.5}, {0.75});
  for (int j = 0; j < 3; ++j) EXPECT_NEAR(run.x[j], ref[j], 1e-7);
}

TEST(Qdbvls, VacuousConstraintsAndZeroDesign) {
  std::mt19937 gen(12);
  // An all-zero constraint row (GN = 0) leaves the plain least-squares fit.
  Qp q = randomQp(gen, 7, 3, 1, 0);
  q.e = {0, 0, 0};
  q.er = {0.0};
  QpRun run = runQdbvls(q);
  EXPECT_FALSE(run.inconsistent);
  std::vector<double> ref = lse(q, {}, {});
  for (int j = 0; j < 3; ++j) EXPECT_NEAR(run.x[j], ref[j], 1e-7);

  // A zero design (AN = 0): only the constraints speak.
  Qp z = randomQp(gen, 4, 2, 1, 1);
  std::fill(z.a.begin(), z.a.end(), 0.0);
  z.e = {1, 1};
  z.er = {1.0};
  z.c = {1, 0};
  z.d = {0.25};
  run = runQdbvls(z);
  EXPECT_FALSE(run.stopped);
  EXPECT_NEAR(run.x[0] + run.x[1], 1.0, 1e-13);
  EXPECT_GE(run.x[0], 0.25 - 1e-13);
}

TEST(Qdbvls, StopsWithoutConstraintsOrWorkspace) {
  std::mt19937 gen(1);
  Qp q = randomQp(gen, 4, 2, 0, 0);
  QpRun run = runQdbvls(q);
  EXPECT_TRUE(run.stopped);
  ASSERT_EQ(run.console.size(), 1u);
  EXPECT_EQ(run.console[0], " IN SUBROUTINE QDBVLS, NO LINEAR CONSTRAINT IS GIVEN.  PROGRAM STOPS.");

  q.me = -2;  // a negative count counts as none
  EXPECT_TRUE(runQdbvls(q).stopped);

  Qp p = randomQp(gen, 4, 2, 1, 0);
  run = runQdbvls(p, 1);
  EXPECT_TRUE(run.stopped);
  ASSERT_EQ(run.console.size(), 1u);
  EXPECT_EQ(run.console[0],
            " ERROR OCCURRED IN SUBROUTINE DBVLS.  IERR IS           2 .  PROGRAM STOPS.");
}

TEST(Qdbvls, WritesScmachToUnit100WhenOpen) {
  TempDir dir;
  ASSERT_EQ(openUnit(100, dir.file("report.txt"), "FORMATTED", "UNKNOWN"), 0);
  std::mt19937 gen(2);
  QpRun run = runQdbvls(randomQp(gen, 5, 2, 1, 0));
  EXPECT_FALSE(run.stopped);
  closeUnit(100, "KEEP");
  std::vector<std::string> lines = readLines(dir.file("report.txt"));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "");
  EXPECT_EQ(lines[2], "");
  const std::string prefix = " THE SCALED MACHEP (SCMACH)=";
  ASSERT_EQ(lines[1].substr(0, prefix.size()), prefix);
  EXPECT_EQ(std::strtod(lines[1].c_str() + prefix.size(), nullptr), 1.4901161193847656E-08);
  // Unit 100 closed: the line is dropped and the solve goes on.
  EXPECT_FALSE(runQdbvls(randomQp(gen, 5, 2, 1, 0)).stopped);
}

// Rows that phase 1 satisfies up to rounding are consistent. Homogeneous
// rows (e = 0, d = 0) and rows whose terms cancel are where rounding of
// E x or C x exceeds a tolerance taken relative to the right-hand side alone.
TEST(Qdbvls, RoundingIsNotInconsistency) {
  std::mt19937 gen(31);
  int flagged = 0, trials = 0;
  for (int trial = 0; trial < 200; ++trial) {
    Qp q = randomQp(gen, 8, 4, 1 + trial % 2, 2 + trial % 3);
    // Homogeneous rows, except that every fourth problem has right-hand
    // sides taken from a point that satisfies all rows, some with equality.
    std::fill(q.er.begin(), q.er.end(), 0.0);
    std::fill(q.d.begin(), q.d.end(), 0.0);
    if (trial % 4 == 3) {
      std::vector<double> x0 = {0.3, -0.7, 1.1, 0.2};
      for (int i = 0; i < q.me; ++i) q.er[i] = rowTimes(q.e, q.me, i, x0);
      for (int i = 0; i < q.mi; ++i) q.d[i] = rowTimes(q.c, q.mi, i, x0) - (i % 2) * 0.5;
    }
    QpRun run = runQdbvls(q);
    ++trials;
    flagged += run.inconsistent;
    std::vector<double> ref = bruteForce(q);
    ASSERT_FALSE(ref.empty());
    for (int j = 0; j < q.n; ++j) EXPECT_NEAR(run.x[j], ref[j], 1e-7) << "trial " << trial;
  }
  EXPECT_EQ(flagged, 0) << "of " << trials;
}

}  // namespace
}  // namespace kova
