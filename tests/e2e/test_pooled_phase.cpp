// Whole runs through the pooled phase. With zero PHI, M = K, L = I,
// DELTA = diag(1, 0, 0) and one pass every YSIGMA is the identity and every
// group's PI is its OLS estimate, so the pooled phase is the classic
// random-coefficient estimator: DELTA_MU = S_b / (NG - 1) - mean of
// s2_g (X_g'X_g)^-1, the GLS mean b* = (sum W_g)^-1 sum W_g b_g with
// W_g = (DELTA_MU + s2_g (X_g'X_g)^-1)^-1, and each group's predictor
// b* + DELTA_MU X_g' Omega_g^-1 (y_g - X_g b*). The kept BETAVECP files are
// checked against that closed form, computed here with dgesv.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "linalg/lapack_lsq_ref.h"
#include "support/run_kova.h"

namespace kova {
namespace {

namespace fs = std::filesystem;
using test::DMat;
using test::multiply;
using test::solveSquare;
using testing::readFile;
using testing::writeFile;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::vector<double> firstRecord(const std::string& file) {
  const std::string bytes = readFile(file);
  std::uint32_t n = 0;
  if (bytes.size() < 4) return {};
  std::memcpy(&n, bytes.data(), 4);
  std::vector<double> values(n / 8);
  std::memcpy(values.data(), bytes.data() + 4, n);
  return values;
}

// NG groups of K = 3 (a leading one and two x), each with its own
// coefficient vector; group 2 also has two forecast records with y.
struct Panel {
  static constexpr int NG = 6, K = 3;
  std::vector<DMat> X, y;  // T x K and T x 1 per group
  Panel(const std::string& extra, int ng = NG) {
    unsigned state = 2024;
    auto draw = [&] {
      state = state * 1103515245u + 12345u;
      return ((state >> 8) % 20000) / 10000.0 - 1.0;
    };
    auto exact = [](double v) {
      char text[40];
      std::snprintf(text, sizeof text, "%20.12e", v);
      return std::strtod(text, nullptr);
    };
    std::string keys, data = "                   Y                  X2                  X3\n";
    int total = 0;
    for (int g = 1; g <= ng; ++g) {
      const int T = 9 + 2 * g, TF = g == 2 ? 2 : 0;
      const double b[3] = {1.0 + 3.0 * draw(), 0.5 + 2.0 * draw(), -1.0 + 2.0 * draw()};
      X.emplace_back(T, K);
      y.emplace_back(T, 1);
      for (int t = 1; t <= T + TF; ++t) {
        const double x2 = exact(2.0 * draw() + 0.1 * t), x3 = exact(draw());
        const double yt = exact(b[0] + b[1] * x2 + b[2] * x3 + 0.1 * draw());
        if (t <= T) {
          X.back()(t, 1) = 1.0;
          X.back()(t, 2) = x2;
          X.back()(t, 3) = x3;
          y.back()(t, 1) = yt;
        }
        keys += std::to_string(g) + (t > T ? " FY\n" : "\n");
        char line[80];
        std::snprintf(line, sizeof line, "%20.12e%20.12e%20.12e\n", yt, x2, x3);
        data += line;
        ++total;
      }
    }
    writeFile("PARAMTRS", "BEGIN GROUP (ALL)\nTITLE = POOLED\nT = " + std::to_string(total) +
                              "\nK = 3\nP = 1\nM = 3\nCONST = YES\nZERO PHI = YES\n"
                              "INITIAL DELTA = USER\nITERATIONS = 1\nPRINT LEVEL = 1\n"
                              "WIDTH = 20\nSAVE THE BETA(t) VECTORS = YES\n" +
                              extra + "END GROUP (ALL)\nEND OF DATA\n");
    const std::string one = "                   1", zero = "                   0";
    writeFile("DDATA1", one + "\n" + one + zero + zero + "\n" + zero + zero + zero + "\n" + zero +
                            zero + zero + "\n");
    writeFile("YXDKEY", keys + "END OF DATA\n");
    writeFile("YXDATA1", data);
  }
};

TEST(PooledPhase, ClassicRandomCoefficientCaseMatchesItsClosedForm) {
  testing::TempDir dir;
  Panel panel("");
  auto result = testing::runKova();
  ASSERT_EQ(result.status, 0) << result.console;
  const std::string report = readFile("KOVAOUT");
  ASSERT_TRUE(contains(report, "THE POOLED PI-VECTOR")) << report;
  EXPECT_TRUE(contains(report, "FORECAST POOLED BETA MATRIX"));

  const int NG = Panel::NG, K = Panel::K;
  std::vector<DMat> b, V;  // OLS estimates and s2 (X'X)^-1
  std::vector<double> s2s;
  DMat mean(K, 1), spread(K, K), sampling(K, K);
  for (int g = 0; g < NG; ++g) {
    const DMat& X = panel.X[g];
    DMat xtx = multiply(X, X, true, false);
    b.push_back(solveSquare(xtx, multiply(X, panel.y[g], true, false)));
    DMat e = test::difference(panel.y[g], multiply(X, b[g]));
    const double s2 = multiply(e, e, true, false)(1, 1) / (X.rows - K);
    s2s.push_back(s2);
    V.push_back(solveSquare(xtx, test::identity(K)));
    for (int j = 1; j <= K; ++j) {
      mean(j, 1) += b[g](j, 1) / NG;
      for (int i = 1; i <= K; ++i) {
        V[g](i, j) *= s2;
        spread(i, j) += b[g](i, 1) * b[g](j, 1);
        sampling(i, j) += V[g](i, j) / NG;
      }
    }
  }
  DMat delta(K, K);
  for (int j = 1; j <= K; ++j)
    for (int i = 1; i <= K; ++i)
      delta(i, j) = (spread(i, j) - NG * mean(i, 1) * mean(j, 1)) / (NG - 1) - sampling(i, j);
  DMat chol = delta;
  int k = K, info = 0;
  dpotrf_("U", &k, chol.data(), &chol.ld, &info, 1);
  ASSERT_EQ(info, 0) << "the panel must give a positive definite DELTA_MU";

  DMat wSum(K, K), wb(K, 1);
  for (int g = 0; g < NG; ++g) {
    DMat a = delta;
    for (int j = 1; j <= K; ++j)
      for (int i = 1; i <= K; ++i) a(i, j) += V[g](i, j);
    DMat w = solveSquare(a, test::identity(K)), wbg = multiply(w, b[g]);
    for (int j = 1; j <= K; ++j) {
      wb(j, 1) += wbg(j, 1);
      for (int i = 1; i <= K; ++i) wSum(i, j) += w(i, j);
    }
  }
  const DMat bStar = solveSquare(wSum, wb);

  double worst = 0.0;
  for (int g = 0; g < NG; ++g) {
    const DMat& X = panel.X[g];
    const int T = X.rows;
    const double s2 = s2s[g];
    DMat omega = multiply(multiply(X, delta), X, false, true);
    for (int t = 1; t <= T; ++t) omega(t, t) += s2;
    const DMat w = solveSquare(omega, test::difference(panel.y[g], multiply(X, bStar)));
    const DMat mu = multiply(delta, multiply(X, w, true, false));
    // BETA(t) = MU + EPSILON(t), EPSILON(t) = s2 DELTA x(t) w(t) = (s2 w(t), 0, 0).
    const std::vector<double> beta = firstRecord("BETAVECP.00" + std::to_string(g + 1));
    ASSERT_EQ(beta.size(), static_cast<std::size_t>(K * T)) << g;
    for (int t = 1; t <= T; ++t)
      for (int i = 1; i <= K; ++i) {
        const double ref = bStar(i, 1) + mu(i, 1) + (i == 1 ? s2 * w(t, 1) : 0.0);
        worst = std::max(worst, std::fabs(beta[(t - 1) * K + i - 1] - ref) / std::fabs(ref));
      }
  }
  EXPECT_LT(worst, 1e-10);
}

TEST(PooledPhase, OneGroupSkipsIt) {
  testing::TempDir dir;
  Panel one("", 1);
  auto result = testing::runKova();
  ASSERT_EQ(result.status, 0) << result.console;
  EXPECT_FALSE(contains(readFile("KOVAOUT"), "MU-VECTORS"));
  EXPECT_FALSE(fs::exists("BETAVECP.001"));
}

TEST(PooledPhase, GrunfeldRunsThePooledPhaseToTheEnd) {
  testing::TempDir dir;
  for (auto& entry : fs::directory_iterator(fs::path(KOVA_SOURCE_DIR) / "examples" / "grunfeld-firms"))
    fs::copy(entry.path(), entry.path().filename());
  auto result = testing::runKova();
  ASSERT_EQ(result.status, 0) << result.console;
  const std::string report = readFile("KOVAOUT");
  const std::size_t at = report.find("THE POOLED PI-VECTOR");
  ASSERT_NE(at, std::string::npos);
  EXPECT_NE(report.find("STANDARD ERRORS:", at), std::string::npos);
  EXPECT_NE(report.find("THE POOLED BETA MATRIX", at), std::string::npos);
  for (const char* bad : {"NaN", "nan", "Inf", "*************"})
    EXPECT_FALSE(contains(report.substr(at), bad)) << bad;
}

}  // namespace
}  // namespace kova
