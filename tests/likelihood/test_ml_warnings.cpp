// The warnings of a group under METHOD = ML, run whole.
//
// A maximum with a nearly singular full SIGMA**2 DELTA:
// tests/data/ml/near_singular holds two simulated groups (K = M = 2, full
// PHI ((0.5, 0.2), (-0.1, 0.4)) and DELTA ((0.1, 0.03), (0.03, 0.05)), 200
// periods; kova_simulate seeds 5035 and 5540) whose likelihood peaks at an
// interior point where SIGMA**2 DELTA has its eigenvalues about 1,000 apart
// and PHI far from the truth. The observed information there is positive
// definite, but the likelihood is far from quadratic, so the bands drawn
// from it miss more than half of the true BETA(t) (held in TRUTH, which
// the simulator wrote and kova does not read). The run must say so: a
// warning row ml_delta_near_singular whose value is the ratio of the
// eigenvalues of the printed SIGMA**2 DELTA (here by the closed form of a
// symmetric 2 x 2), and its line in the report. The well-conditioned
// full-PHI group of tests/data/ml/full_phi gets no such row.
//
// The drift of the iterative passes is not judged at ML estimates:
// tests/data/ml/unit_root_7000 (diagonal PHI (0.95, 0), SIGMA**2 DELTA
// (0.02, 0.1), 200 periods) has a first pass whose SIGMA**2 DELTA is far
// off, while the ML estimates are close to the truth.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "support/result_csv.h"
#include "support/run_kova.h"

namespace kova {
namespace {

// BETA_k(t) by (t, k) from the simulator's TRUTH file.
std::map<std::pair<int, int>, double> trueBeta(const std::filesystem::path& file, int K) {
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line) && line.rfind("RECORDS", 0) != 0) {
  }
  std::getline(in, line);  // the heading
  std::map<std::pair<int, int>, double> beta;
  while (std::getline(in, line)) {
    std::istringstream s(line);
    std::string position, group, key;
    int t = 0;
    double y = 0.0, eps = 0.0;
    s >> position >> group >> t >> key >> y;
    for (int m = 0; m < K; ++m) s >> eps;  // M = K here
    for (int k = 1; k <= K; ++k) s >> beta[{t, k}];
  }
  return beta;
}

struct MlRun {
  std::map<std::string, double> warnings;  // kind -> value
  // MATRIX(i,j) -> value of the last pass where it is; "1:" MATRIX(i,j) of pass 1
  std::map<std::string, double> est;
  int bandValues = 0, bandMisses = 0;      // of the last pass, against the truth
  std::string report;
};

MlRun runGroup(const std::filesystem::path& data) {
  for (const char* f : {"PARAMTRS", "YXDKEY", "YXDATA1"})
    std::filesystem::copy(data / f, std::filesystem::current_path() / f);
  const testing::RunResult run = testing::runKova();
  EXPECT_EQ(run.status, 0) << run.console;
  MlRun r;
  r.report = testing::readFile("KOVAOUT");
  const testing::Csv w = testing::readCsv("KOVA_WARNINGS.csv");
  for (std::size_t i = 0; i < w.rows.size(); ++i)
    r.warnings[w.at(i, "kind")] = w.number(i, "value");
  const testing::Csv est = testing::readCsv("KOVA_ESTIMATES.csv");
  int last = 0;
  for (std::size_t i = 0; i < est.rows.size(); ++i) {
    if (est.at(i, "pass").empty()) continue;
    last = std::max(last, std::stoi(est.at(i, "pass")));
    const std::string key =
        est.at(i, "matrix") + "(" + est.at(i, "row") + "," + est.at(i, "column") + ")";
    r.est[key] = est.number(i, "value");
    if (est.at(i, "pass") == "1") r.est["1:" + key] = est.number(i, "value");
  }
  if (std::filesystem::exists(data / "TRUTH")) {
    const auto truth = trueBeta(data / "TRUTH", 2);
    const testing::Csv beta = testing::readCsv("KOVA_BETA.csv");
    for (std::size_t i = 0; i < beta.rows.size(); ++i) {
      if (std::stoi(beta.at(i, "pass")) != last || beta.at(i, "forecast") != "0") continue;
      if (beta.at(i, "std_error").empty()) continue;
      const double b = beta.number(i, "beta"), se = beta.number(i, "std_error");
      const double t = truth.at({std::stoi(beta.at(i, "period")), std::stoi(beta.at(i, "k"))});
      ++r.bandValues;
      r.bandMisses += std::fabs(b - t) > 1.96 * se;
    }
  }
  return r;
}

TEST(MaxLikelihood, NearlySingularFullDeltaIsFlagged) {
  const std::filesystem::path root = std::filesystem::path(KOVA_TEST_DATA) / "ml";
  for (const char* name : {"full_200_5035", "full_200_5540"}) {
    SCOPED_TRACE(name);
    testing::TempDir dir;
    const MlRun r = runGroup(root / "near_singular" / name);
    // The bands are overconfident: the reason a warning is owed.
    ASSERT_EQ(r.bandValues, 400);
    EXPECT_GT(r.bandMisses, r.bandValues / 2);
    // The smallest over the largest eigenvalue of the printed SIGMA**2 DELTA.
    const double a = r.est.at("ML_SIGMA2_DELTA(1,1)"), c = r.est.at("ML_SIGMA2_DELTA(2,2)");
    const double b = r.est.at("ML_SIGMA2_DELTA(2,1)");
    const double mid = 0.5 * (a + c), half = std::hypot(0.5 * (a - c), b);
    const double ratio = (mid - half) / (mid + half);
    ASSERT_LT(ratio, 0.01);
    ASSERT_TRUE(r.warnings.count("ml_delta_near_singular"));
    EXPECT_NEAR(r.warnings.at("ml_delta_near_singular"), ratio, 1e-6 * ratio + 1e-12);
    EXPECT_NE(r.report.find("SIGMA**2 DELTA IS NEARLY SINGULAR"), std::string::npos);
    // An interior maximum all the same: no boundary row.
    EXPECT_FALSE(r.warnings.count("ml_boundary"));
  }
  {
    SCOPED_TRACE("full_phi");
    testing::TempDir dir;
    const MlRun r = runGroup(root / "full_phi");
    EXPECT_FALSE(r.warnings.count("ml_delta_near_singular"));
    EXPECT_EQ(r.report.find("NEARLY SINGULAR"), std::string::npos);
  }
}

TEST(MaxLikelihood, IterativeDriftIsNotJudgedAtMlEstimates) {
  testing::TempDir dir;
  const MlRun r = runGroup(std::filesystem::path(KOVA_TEST_DATA) / "ml" / "unit_root_7000");
  // The ML estimates against the truth of the simulation.
  const double q11 = r.est.at("ML_SIGMA2_DELTA(1,1)"), q22 = r.est.at("ML_SIGMA2_DELTA(2,2)");
  EXPECT_NEAR(q11, 0.02, 0.3 * 0.02);
  EXPECT_NEAR(q22, 0.1, 0.3 * 0.1);
  EXPECT_NEAR(r.est.at("ML_PHI(1,1)"), 0.95, 0.1);
  // Pass 1 is far off (the comparison the drift check would make) ...
  const double first =
      r.est.at("1:SIGMA2(1,1)") * (r.est.at("1:DELTA(1,1)") + r.est.at("1:DELTA(2,2)"));
  ASSERT_GT(first, 10.0 * (q11 + q22));
  // ... and no drift is reported, nor anything else.
  EXPECT_FALSE(r.warnings.count("sigma2_shrank"));
  EXPECT_FALSE(r.warnings.count("sigma2_grew"));
  EXPECT_TRUE(r.warnings.empty()) << r.warnings.begin()->first;
}

}  // namespace
}  // namespace kova
