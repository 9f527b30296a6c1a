// The intervals of PHI's diagonal on the scale of the stationary map:
//   - against the interval found apart: the map's inverse by bisection on
//     b tanh(u / b) and its slope by a central difference of it, the
//     endpoints where the coordinate lies z se_u from the estimate's;
//   - invalid input gives no interval;
//   - the common model's tables (examples/grunfeld under REML, ML
//     and a full PHI): the rows exactly for the diagonal elements with a
//     standard error, around the estimate and inside the stationary region.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <string>

#include "likelihood/stationary_interval.h"
#include "support/result_csv.h"
#include "support/run_kova.h"

namespace kova {
namespace {

// The coordinate u with b tanh(u / b) = phi, by bisection.
double coordinateOf(double phi, double b) {
  double lo = -50.0, hi = 50.0;
  for (int k = 0; k < 200; ++k) {
    const double mid = 0.5 * (lo + hi);
    (b * std::tanh(mid / b) < phi ? lo : hi) = mid;
  }
  return 0.5 * (lo + hi);
}

TEST(StationaryInterval, IsTheWaldIntervalOfTheSearchCoordinateMappedBack) {
  const double b = 0.995;
  const double cases[][2] = {{0.0, 0.2},  {0.3, 0.22},  {-0.6, 0.15},
                             {0.9, 0.05}, {-0.95, 0.3}, {0.5, 1e-4}};
  for (const auto &c : cases) {
    const double phi = c[0], se = c[1];
    const double h = 1e-5;
    const double slope = (coordinateOf(phi + h, b) - coordinateOf(phi - h, b)) / (2 * h);
    const double u = coordinateOf(phi, b), half = 1.959963984540054 * se * slope;
    const PhiInterval i = stationaryInterval(phi, se, b);
    ASSERT_TRUE(i.valid) << phi;
    EXPECT_NEAR(coordinateOf(i.lower, b), u - half, 1e-7 * (1 + half)) << phi;
    EXPECT_NEAR(coordinateOf(i.upper, b), u + half, 1e-7 * (1 + half)) << phi;
    EXPECT_LT(i.lower, phi);
    EXPECT_GT(i.upper, phi);
    EXPECT_GT(i.lower, -b);
    EXPECT_LT(i.upper, b);
    // Longer on the side of 0; with a small error it is the Wald interval.
    if (phi > 0) {
      EXPECT_GT(phi - i.lower, i.upper - phi);
    } else if (phi < 0) {
      EXPECT_GT(i.upper - phi, phi - i.lower);
    }
    if (se < 1e-3) {
      EXPECT_NEAR(i.lower, phi - 1.959963984540054 * se, 1e-7);
      EXPECT_NEAR(i.upper, phi + 1.959963984540054 * se, 1e-7);
    }
  }
  // Another quantile.
  const PhiInterval wide = stationaryInterval(0.2, 0.1, b, 2.5758293035489);
  const double u = coordinateOf(0.2, b), half = 2.5758293035489 * 0.1 / (1 - (0.2 / b) * (0.2 / b));
  EXPECT_NEAR(wide.lower, b * std::tanh((u - half) / b), 1e-12);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (const auto &bad :
       {std::make_pair(0.995, 0.1), std::make_pair(-1.2, 0.1), std::make_pair(0.3, 0.0),
        std::make_pair(0.3, -0.1), std::make_pair(nan, 0.1), std::make_pair(0.3, nan),
        std::make_pair(0.3, std::numeric_limits<double>::infinity())})
    EXPECT_FALSE(stationaryInterval(bad.first, bad.second, b).valid)
        << bad.first << " " << bad.second;
}

// The tables of examples/grunfeld (its parameter file `original`)
// with `from` replaced by `to`: per diagonal element, the estimate, its
// standard error (empty: none) and its interval rows.
struct Diagonal {
  double value = 0.0;
  std::string se;
  int rows = 0;
  double lower = 0.0, upper = 0.0;
};

std::map<int, Diagonal> grunfeldCommon(const std::string &original, const std::string &from,
                                       const std::string &to) {
  std::string params = original;
  const size_t at = params.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) params.replace(at, from.size(), to);
  std::ofstream("PARAMTRS") << params;
  const testing::RunResult run = testing::runKova();
  EXPECT_EQ(run.status, 0) << run.console;
  std::map<int, Diagonal> out;
  const testing::Csv csv = testing::readCsv("KOVA_ESTIMATES.csv");
  for (size_t r = 0; r < csv.rows.size(); ++r) {
    const std::string m = csv.at(r, "matrix");
    if (m.rfind("COMMON_PHI", 0) != 0) continue;
    const int i = std::stoi(csv.at(r, "row")), j = std::stoi(csv.at(r, "column"));
    if (m == "COMMON_PHI" && i == j) {
      out[i].value = csv.number(r, "value");
      out[i].se = csv.at(r, "std_error");
    } else if (m == "COMMON_PHI_LOWER" || m == "COMMON_PHI_UPPER") {
      EXPECT_EQ(i, j);
      ++out[i].rows;
      (m == "COMMON_PHI_LOWER" ? out[i].lower : out[i].upper) = csv.number(r, "value");
    }
  }
  return out;
}

TEST(StationaryInterval, CommonModelTablesGiveTheIntervalsOfTheDiagonal) {
  testing::TempDir dir;
  testing::copyExample("grunfeld");
  const std::string original = testing::readFile("PARAMTRS");
  const std::string criterion = "COMMON MODEL = REML";
  int withInterval = 0;
  for (const std::string &to : {criterion, std::string("COMMON MODEL = ML")}) {
    std::map<int, Diagonal> d = grunfeldCommon(original, criterion, to);
    ASSERT_EQ(d.size(), 3u);
    for (const auto &[j, e] : d) {
      if (e.se.empty()) {
        EXPECT_EQ(e.rows, 0) << to << " " << j;
        continue;
      }
      ++withInterval;
      ASSERT_EQ(e.rows, 2) << to << " " << j;
      const PhiInterval i = stationaryInterval(e.value, std::stod(e.se), 0.995);
      EXPECT_NEAR(e.lower, i.lower, 1e-12);
      EXPECT_NEAR(e.upper, i.upper, 1e-12);
      EXPECT_LT(e.lower, e.value);
      EXPECT_GT(e.upper, e.value);
      EXPECT_GT(e.lower, -0.995);
      EXPECT_LT(e.upper, 0.995);
    }
    EXPECT_NE(testing::readFile("KOVAOUT").find("95% INTERVALS OF PHI"), std::string::npos);
  }
  // REML leaves PHI(2,2) at the bound, ML PHI(3,3) not identified.
  EXPECT_EQ(withInterval, 4);
  // A full PHI: its elements are not each an autoregression of their own.
  std::map<int, Diagonal> full =
      grunfeldCommon(original, "DIAGONAL PHI = YES", "DIAGONAL PHI = NO");
  for (const auto &[j, e] : full) EXPECT_EQ(e.rows, 0) << j;
  EXPECT_EQ(testing::readFile("KOVAOUT").find("95% INTERVALS OF PHI"), std::string::npos);
}

}  // namespace
}  // namespace kova
