// PI under inequality restrictions and the agreement check, against an
// inequality-restricted GLS written here: YSIGMA split by dsyev into its
// range (whitened least squares) and its null space (exact equations), every
// set of active inequality rows solved as a KKT system by dgesv, and the
// feasible solution of least objective kept.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "engine/pi_estimate.h"
#include "estimation/pi_inequalities.h"
#include "io/console.h"
#include "io/fortran_io.h"
#include "linalg/lapack_eispack_ref.h"
#include "linalg/lapack_lsq_ref.h"
#include "support/temp_dir.h"

namespace kova {
namespace {

using test::DMat;
using test::multiply;

constexpr int kOut = 61, kLog = 62;
const std::string kClose =
    " EIPIVC AND PIVECT ARE SUFFICIENTLY CLOSE TO BE CONSIDERED NUMERICALLY EQUAL.";

// y = XZ pi + noise; UYSGMA = H [B'; 0] with H a reflection (so that the
// factor is not triangular) and B (T x rank) random, YSIGMA = B B'.
// Restriction rows 1..neq are equalities, the rest inequalities (>=).
struct Problem {
  int T = 0, n = 0, neq = 0;
  DMat XZ, y, U, R, r;
};

Problem simulate(int T, int n, int rank, unsigned seed, const std::vector<double>& pi) {
  Problem p{T, n, 0, test::randomMatrix(T, n, seed, 1), DMat(T, 1), DMat(T, T, 2), {}, {}};
  DMat b = test::randomMatrix(T, rank, seed + 1), e = test::randomMatrix(rank, 1, seed + 2);
  for (int i = 1; i <= rank; ++i) b(i, i) += 2.0;
  DMat noise = multiply(b, e);
  for (int t = 1; t <= T; ++t) {
    p.y(t, 1) = 0.2 * noise(t, 1);
    for (int j = 1; j <= n; ++j) p.y(t, 1) += p.XZ(t, j) * pi[j - 1];
  }
  double vv = 0.0;
  for (int i = 1; i <= T; ++i) vv += (1.0 + 0.1 * i) * (1.0 + 0.1 * i);
  for (int j = 1; j <= T; ++j) {
    double d = 0.0;
    for (int i = 1; i <= rank; ++i) d += (1.0 + 0.1 * i) * b(j, i);
    for (int i = 1; i <= T; ++i) p.U(i, j) = (i <= rank ? b(j, i) : 0.0) - 2.0 * d / vv * (1.0 + 0.1 * i);
  }
  return p;
}

void restrict(Problem& p, int neq, const std::vector<std::vector<double>>& rows,
              const std::vector<double>& rhs) {
  const int m = static_cast<int>(rows.size());
  p.neq = neq;
  p.R = DMat(m, p.n, 1);
  p.r = DMat(m, 1);
  for (int i = 1; i <= m; ++i) {
    for (int j = 1; j <= p.n; ++j) p.R(i, j) = rows[i - 1][j - 1];
    p.r(i, 1) = rhs[i - 1];
  }
}

double rowTimes(const DMat& R, int i, const DMat& x) {
  double s = 0.0;
  for (int j = 1; j <= R.cols; ++j) s += R(i, j) * x(j, 1);
  return s;
}

// The reference. Eigenvalues of YSIGMA below 1e-12 of the largest count as
// zero; their eigenvectors v give exact equations v'XZ pi = v'y.
struct Reference {
  DMat pi;
  std::vector<bool> binding;  // per inequality row
};

Reference bruteForce(const Problem& p) {
  const int T = p.T, n = p.n, m = p.R.rows, mi = m - p.neq;
  DMat sigma = multiply(p.U, p.U, true, false), lambda(T, 1);
  std::vector<double> work(8 * T);
  int lwork = static_cast<int>(work.size()), info = 0;
  dsyev_("V", "U", &T, sigma.data(), &sigma.ld, lambda.data(), work.data(), &lwork, &info, 1, 1);
  EXPECT_EQ(info, 0);
  DMat a(0, n), b(0, 1), g(0, n), h(0, 1);
  std::vector<std::vector<double>> ls, ex;
  for (int k = 1; k <= T; ++k) {
    std::vector<double> row(n + 1, 0.0);
    for (int t = 1; t <= T; ++t) {
      for (int j = 1; j <= n; ++j) row[j - 1] += sigma(t, k) * p.XZ(t, j);
      row[n] += sigma(t, k) * p.y(t, 1);
    }
    if (lambda(k, 1) > 1e-12 * lambda(T, 1)) {
      for (double& v : row) v /= std::sqrt(lambda(k, 1));
      ls.push_back(row);
    } else {
      ex.push_back(row);
    }
  }
  Reference best;
  double bestObjective = 0.0;
  for (int mask = 0; mask < (1 << mi); ++mask) {
    std::vector<std::vector<double>> eqs = ex;
    for (int i = 1; i <= m; ++i)
      if (i <= p.neq || (mask >> (i - p.neq - 1)) & 1) {
        std::vector<double> row(n + 1);
        for (int j = 1; j <= n; ++j) row[j - 1] = p.R(i, j);
        row[n] = p.r(i, 1);
        eqs.push_back(row);
      }
    const int q = static_cast<int>(eqs.size());
    if (q > n) continue;
    DMat kkt(n + q, n + q), rhs(n + q, 1);
    for (const auto& row : ls)
      for (int j = 1; j <= n; ++j) {
        rhs(j, 1) += row[j - 1] * row[n];
        for (int i = 1; i <= n; ++i) kkt(i, j) += row[i - 1] * row[j - 1];
      }
    for (int k = 1; k <= q; ++k) {
      for (int j = 1; j <= n; ++j) kkt(n + k, j) = kkt(j, n + k) = eqs[k - 1][j - 1];
      rhs(n + k, 1) = eqs[k - 1][n];
    }
    DMat sol = test::solveSquare(kkt, rhs), x(n, 1);
    for (int j = 1; j <= n; ++j) x(j, 1) = sol(j, 1);
    bool feasible = true;
    for (int i = p.neq + 1; i <= m; ++i)
      feasible = feasible && rowTimes(p.R, i, x) >= p.r(i, 1) - 1e-9 * (1.0 + std::abs(p.r(i, 1)));
    double objective = 0.0;
    for (const auto& row : ls) {
      double res = -row[n];
      for (int j = 1; j <= n; ++j) res += row[j - 1] * x(j, 1);
      objective += res * res;
    }
    if (feasible && (best.pi.rows == 0 || objective < bestObjective)) {
      best.pi = x;
      bestObjective = objective;
      best.binding.assign(mi, false);
      for (int i = 0; i < mi; ++i) best.binding[i] = (mask >> i) & 1;
    }
  }
  return best;
}

// What INEQPI leaves: EIPIVC, the working copy and the counters.
struct IneqRun {
  DMat pi;
  DMat R, r;
  int spirow = 0, converted = -1;
  std::vector<int> attained;
  std::string console;
};

IneqRun runIneqpi(const Problem& p, int pass = 0, int groupId = 1, std::vector<int> attained = {}) {
  const int m = p.R.rows;
  IneqRun run{DMat(p.n, 1), p.R, p.r, m, -1, attained, ""};
  run.attained.resize(m - p.neq, 77);
  ScratchNeed need = INEQPIneed(p.T, p.n, m);
  std::vector<double> wr(need.doubles);
  std::vector<int> wi(need.ints);
  Scratch s(wr.data(), need.doubles, wi.data(), need.ints, nullptr, 0);
  std::ostringstream console;
  {
    ConsoleRedirect redirect(console);
    INEQPI(pass, groupId, p.y.a.data(), Mat{const_cast<double*>(p.XZ.a.data()), p.XZ.ld, p.T, p.n},
           Mat{const_cast<double*>(p.U.a.data()), p.U.ld, p.T, p.T},
           Mat{run.R.data(), run.R.ld, m, p.n}, run.r.data(), run.spirow, p.neq, run.converted,
           run.pi.data(), run.attained.data(), s, kOut, kLog);
  }
  run.console = console.str();
  return run;
}

// ECPIMU under the working copy INEQPI left.
DMat equalityEstimate(const Problem& p, IneqRun& run) {
  const int T = p.T, n = p.n, m = run.spirow;
  DMat pi(n, 1), mu(T + m, 1), cov(n, n), ro(T, T);
  PiEstimate est{pi.data(), mu.data(), Mat{cov.data(), cov.ld, n, n}, 0.0,
                 Mat{ro.data(), ro.ld, T, T}};
  ScratchNeed need = ECPIMUneed(T, n, m);
  std::vector<double> wr(need.doubles);
  std::vector<int> wi(need.ints);
  Scratch s(wr.data(), need.doubles, wi.data(), need.ints, nullptr, 0);
  PiRestrictionView rest{Mat{run.R.data(), run.R.ld, m, n}, run.r.data(), m};
  ECPIMU(0, 1, p.y.a.data(), Mat{const_cast<double*>(p.XZ.a.data()), p.XZ.ld, T, n}, rest,
         Mat{const_cast<double*>(p.U.a.data()), p.U.ld, T, T}, est, s, kOut, kLog);
  return pi;
}

double relErr(const DMat& x, const DMat& ref) {
  return test::maxAbs(test::difference(x, ref)) / std::max(test::maxAbs(ref), 1.0);
}

std::vector<std::string> lines(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Report and log units open on fresh files in a temporary directory.
struct Units {
  testing::TempDir dir;
  Units() {
    EXPECT_EQ(openUnit(kOut, "out", "FORMATTED", "UNKNOWN"), 0);
    EXPECT_EQ(openUnit(kLog, "log", "FORMATTED", "UNKNOWN"), 0);
  }
  std::vector<std::string> read(const char* name) {
    flushAllUnits();
    return lines(testing::readFile(dir.path() / name));
  }
};

// Binding inequalities, with and without equality rows and with a singular
// covariance factor, and loose ones (the last case): EIPIVC against the
// brute force, the binding rows converted in order and held to the
// rounding, and ECPIMU under the converted rows agrees with EIPIVC, as the
// check says; a different vector is reported as different.
TEST(Ineqpi, MatchesTheBruteForceOverActiveSets) {
  Units units;
  struct Case { int T, rank; unsigned seed; int neq; double shift; };
  int bindingSeen = 0;
  for (Case c : {Case{25, 25, 3, 0, 0}, Case{40, 40, 5, 1, 0}, Case{40, 40, 9, 2, 0},
                 Case{35, 33, 21, 1, 0}, Case{30, 28, 8, 0, 0}, Case{50, 50, 14, 1, 0},
                 Case{30, 30, 11, 1, -50}}) {
    SCOPED_TRACE(::testing::Message() << "seed " << c.seed);
    // The unconstrained estimate of the third coefficient is about -0.5.
    Problem p = simulate(c.T, 6, c.rank, c.seed, {1.0, 0.4, -0.5, 0.8, -0.3, 0.6});
    std::vector<std::vector<double>> rows = {{1, 1, 1, 1, 1, 1}, {1, -1, 0, 0, 0, 0},
                                             {0, 0, 1, 0, 0, 0}, {0, 0, 0, -1, 0, 0},
                                             {0, 0, 0, 1, 1, 0}, {0, 1, 0, 0, -1, 1}};
    std::vector<double> rhs = {2.0, 0.5, 0.0, -0.7, 0.9, 0.2};
    rows.erase(rows.begin() + c.neq, rows.begin() + 2);
    rhs.erase(rhs.begin() + c.neq, rhs.begin() + 2);
    for (std::size_t i = c.neq; i < rhs.size(); ++i) rhs[i] += c.shift;
    restrict(p, c.neq, rows, rhs);
    Reference ref = bruteForce(p);
    ASSERT_GT(ref.pi.rows, 0);
    IneqRun run = runIneqpi(p, 1, 4, std::vector<int>(rows.size() - c.neq, 3));
    EXPECT_LT(relErr(run.pi, ref.pi), 1e-10);

    int expected = 0;
    for (int i = 1; i <= p.R.rows - c.neq; ++i) {
      EXPECT_EQ(run.attained[i - 1], 3 + ref.binding[i - 1]);
      if (!ref.binding[i - 1]) continue;
      ++expected;
      for (int j = 1; j <= p.n; ++j) EXPECT_EQ(run.R(c.neq + expected, j), p.R(c.neq + i, j));
      EXPECT_NEAR(rowTimes(p.R, c.neq + i, run.pi), p.r(c.neq + i, 1), 1e-15);
    }
    EXPECT_EQ(run.converted, expected);
    EXPECT_EQ(run.spirow, c.neq + expected);
    bindingSeen += expected;
    DMat pivect = equalityEstimate(p, run);
    EXPECT_LT(relErr(pivect, ref.pi), 1e-10);
    EXPECT_TRUE(CMPPIV(run.pi.data(), pivect.data(), p.n, kOut));
    pivect(2, 1) *= 1.0 + 1e-7;
    EXPECT_FALSE(CMPPIV(run.pi.data(), pivect.data(), p.n, kOut));
  }
  EXPECT_GE(bindingSeen, 6);
  std::vector<std::string> out = units.read("out");
  EXPECT_EQ(std::vector<std::string>(out.end() - 4, out.end()),
            (std::vector<std::string>{"", kClose, "",
                                      " EIPIVC AND PIVECT ARE NOT SUFFICIENTLY CLOSE TO BE "
                                      "CONSIDERED NUMERICALLY EQUAL"}));
}

// Each coefficient is pushed onto a bound a little above 2 (or 0), and a
// second row of the same coefficient lies just below: 3.0E-10 below 2 is
// beyond 1.0E-10 of 2, 1.0E-10 below is within it, and 5.0E-11 above a zero
// right-hand side is within 1.0E-10. The counters go up on each pass.
TEST(Ineqpi, AttainedRuleAtItsEdges) {
  Units units;
  Problem p = simulate(200, 3, 200, 17, {1.5, 1.5, -0.5});
  restrict(p, 0,
           {{1, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 1, 0}, {0, 0, 1}, {0, 0, 1}},
           {2.0 + 3.0E-10, 2.0, 2.0 + 1.0E-10, 2.0, 5.0E-11, 0.0});
  IneqRun run = runIneqpi(p);
  EXPECT_NEAR(run.pi(1, 1), 2.0 + 3.0E-10, 1e-15);
  EXPECT_NEAR(run.pi(2, 1), 2.0 + 1.0E-10, 1e-15);
  EXPECT_NEAR(run.pi(3, 1), 5.0E-11, 1e-15);
  EXPECT_EQ(run.converted, 5);
  EXPECT_EQ(run.attained, (std::vector<int>{1, 0, 1, 1, 1, 1}));
  const std::vector<double> kept = {2.0 + 3.0E-10, 2.0 + 1.0E-10, 2.0, 5.0E-11, 0.0};
  for (int i = 1; i <= 5; ++i) EXPECT_EQ(run.r(i, 1), kept[i - 1]);

  IneqRun again = runIneqpi(p, 2, 1, run.attained);
  EXPECT_EQ(again.attained, (std::vector<int>{2, 0, 2, 2, 2, 2}));
}

// A homogeneous row among coefficients of ten million binds exactly, but
// its value carries rounding of the order of 1e-9 (6e-9 on this draw),
// beyond the absolute 1.0E-10 of a zero right-hand side: it is still
// converted.
TEST(Ineqpi, BindingRowOfLargeTermsIsConverted) {
  Units units;
  Problem p = simulate(30, 3, 30, 23, {1.0e7, 1.2e7, 3.0e6});
  restrict(p, 0, {{0.3, -1.1, 1.7}}, {0.0});
  IneqRun run = runIneqpi(p);
  EXPECT_EQ(run.converted, 1);
  EXPECT_LT(relErr(run.pi, bruteForce(p).pi), 1e-10);
}

// x1 >= 1 and x1 <= 0: QDBVLS reports, and so does INEQPI, naming the
// group; no row is converted.
TEST(Ineqpi, InconsistentRestrictionsAreReportedNotConverted) {
  Units units;
  Problem p = simulate(20, 3, 20, 31, {1.0, 1.0, 1.0});
  restrict(p, 1, {{0, 1, 1}, {1, 0, 0}, {-1, 0, 0}}, {2.0, 1.0, 0.0});
  IneqRun run = runIneqpi(p, 1, 42);
  EXPECT_EQ(run.converted, 0);
  EXPECT_EQ(run.spirow, 1);
  const std::string message =
      " IN SUBROUTINE INEQPI, NO PI MEETS ALL PI RESTRICTIONS OF GROUP          42 IN "
      "ITERATION           1 .  NO INEQUALITY IS CONVERTED.  PROGRAM CONTINUES.";
  EXPECT_EQ(units.read("out"), (std::vector<std::string>{"", message}));
  EXPECT_EQ(units.read("log"),
            (std::vector<std::string>{
                " IN SUBROUTINE QDBVLS, LINEAR CONSTRAINING SYSTEM IS INCONSISTENT IN PHASE 1.", "",
                message}));
  EXPECT_NE(run.console.find(message), std::string::npos);
}

TEST(Ineqpi, DumpsForGroup17OnPass1Only) {
  Units units;
  Problem p = simulate(8, 2, 8, 5, {1.0, -1.0});
  restrict(p, 0, {{0, 1}}, {0.0});
  runIneqpi(p, 0, 17);
  runIneqpi(p, 1, 16);
  EXPECT_FALSE(std::filesystem::exists("INEQPI.OUT"));
  runIneqpi(p, 1, 17);
  std::vector<std::string> dump = units.read("INEQPI.OUT");
  std::size_t at = 0;
  for (const char* text :
       {"FROM SUBROUTINE INEQPI --", "NUMT=", "THE VECTOR Y", "THE MATRIX XZ",
        "THE MATRIX UYSGMA", "SPIROW=", "NEQPIC=", "THE MATRIX RCFPI", "THE VECTOR RVCPI",
        "THE VECTOR EIPIVC", "IERR =", "NSETP =", "KDM*PDM+CNROWE+CNROWG =", "THE VECTOR W",
        "THE VECTOR IDX --", "EQUALITY ATTAINED IN EQUATION"}) {
    while (at < dump.size() && dump[at].find(text) == std::string::npos) ++at;
    EXPECT_LT(at, dump.size()) << text << " missing or out of order";
  }
  EXPECT_EQ(dump.back(), "");
}

}  // namespace
}  // namespace kova
