// The CSV result tables of a whole run, read back and checked against what
// else the run wrote: the save files bit for bit, the report to its printed
// digits, and the source data for the fitted values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/result_csv.h"
#include "support/run_kova.h"
#include "support/temp_dir.h"

namespace kova {
namespace {

namespace fs = std::filesystem;
using testing::readFile;

using testing::Csv;
using testing::readCsv;

// The payloads of an unformatted file's records (4-byte length words).
std::vector<std::string> payloads(const std::string& file) {
  std::string bytes = readFile(file);
  std::vector<std::string> out;
  for (std::size_t at = 0; at + 8 <= bytes.size();) {
    std::uint32_t n = 0;
    std::memcpy(&n, bytes.data() + at, 4);
    out.push_back(bytes.substr(at + 4, n));
    at += 8 + n;
  }
  return out;
}

template <class Value>
std::vector<Value> values(const std::string& payload) {
  std::vector<Value> v(payload.size() / sizeof(Value));
  std::memcpy(v.data(), payload.data(), v.size() * sizeof(Value));
  return v;
}

std::vector<std::vector<double>> records(const std::string& file) {
  std::vector<std::vector<double>> out;
  for (const std::string& p : payloads(file)) out.push_back(values<double>(p));
  return out;
}

// The numbered lists of standard errors that are followed by t-ratios (of
// PI and of the pooled PI), in report order, with those t-ratios: entries
// "   1.  0.12345E+03" four to a line, up to an empty line.
struct ErrorLists {
  std::vector<std::vector<double>> errors, ratios;
};
ErrorLists errorLists(const std::string& report) {
  std::vector<std::pair<std::string, std::vector<double>>> lists;
  std::istringstream in(report);
  std::string line;
  while (std::getline(in, line)) {
    if (line != "STANDARD ERRORS:" && line != "T-RATIOS:") continue;
    lists.emplace_back(line, std::vector<double>{});
    std::getline(in, line);  // the empty line under the title
    while (std::getline(in, line) && !line.empty())
      for (std::size_t at = 0; at + 18 <= line.size(); at += 18)
        lists.back().second.push_back(std::stod(line.substr(at + 5, 13)));
  }
  ErrorLists out;
  for (std::size_t i = 0; i + 1 < lists.size(); ++i)
    if (lists[i].first == "STANDARD ERRORS:" && lists[i + 1].first == "T-RATIOS:") {
      out.errors.push_back(lists[i].second);
      out.ratios.push_back(lists[i + 1].second);
    }
  return out;
}

// The G13.5 figure at the end of every line that starts with `lead`.
std::vector<double> figuresAfter(const std::string& report, const std::string& lead) {
  std::vector<double> out;
  for (std::size_t at = report.find(lead); at != std::string::npos;
       at = report.find(lead, at + 1))
    out.push_back(std::stod(report.substr(at + lead.size(), 13)));
  return out;
}

// Agreement with a figure printed to five significant digits.
void expectPrinted(double value, double printed, const std::string& what) {
  EXPECT_NEAR(value, printed, 5.1e-5 * std::fabs(printed) + 1e-300) << what;
}

std::string saveName(const char* family, int group) {
  char name[32];
  std::snprintf(name, sizeof name, "%s.%03d", family, group);
  return name;
}

class GrunfeldTables : public ::testing::Test {
 protected:
  static constexpr int K = 3, M = 3, T = 18, TF = 2, kPasses = 5, kGroups = 11;

  void SetUp() override {
    for (auto& entry : fs::directory_iterator(fs::path(KOVA_SOURCE_DIR) / "examples/grunfeld-firms"))
      fs::copy(entry.path(), entry.path().filename());
    // Keep PHI and DELTA too, to compare the tables with them.
    std::string parameters = readFile("PARAMTRS");
    parameters.insert(parameters.find("END GROUP (ALL)"),
                      "SAVE THE FINAL PHI = YES\nSAVE THE FINAL DELTA = YES\n");
    testing::writeFile("PARAMTRS", parameters);
    // A table left by an earlier run is replaced.
    testing::writeFile("KOVA_BETA.csv", "stale\n");
    auto result = testing::runKova();
    ASSERT_EQ(result.status, 0) << result.console;
    report = readFile("KOVAOUT");
  }

  testing::TempDir dir;
  std::string report;
};

TEST_F(GrunfeldTables, EqualTheSaveFilesBitForBitAndTheReportToItsDigits) {
  // BETA: every pass of every group as BETASAV holds it (a record with the
  // group and pass, then K x T values), the forecast periods after them,
  // and the pooled BETA of BETAVECP beside the last pass.
  Csv beta = readCsv("KOVA_BETA.csv");
  ASSERT_EQ(beta.rows.size(), std::size_t{kGroups} * kPasses * (T + TF) * K);
  // The band's multiple: Student's t(18 - 3) at 0.975 (a 40-digit value,
  // tests/data/student_t).
  for (std::size_t i = 0; i < beta.rows.size(); ++i)
    ASSERT_NEAR(beta.number(i, "band_quantile"), 2.1314495455597757, 1e-14) << i;
  const char* const names[K] = {"CONSTANT", "value", "capital"};
  std::size_t row = 0;
  for (int group = 1; group <= kGroups; ++group) {
    auto saved = payloads(saveName("BETASAV", group));
    auto pooled = records(saveName("BETAVECP", group));
    ASSERT_EQ(saved.size(), 2u * kPasses);
    ASSERT_EQ(pooled.size(), 1u);
    for (int pass = 0; pass < kPasses; ++pass) {
      EXPECT_EQ(values<std::int32_t>(saved[2 * pass]), (std::vector<std::int32_t>{group, pass}));
      const std::vector<double> b = values<double>(saved[2 * pass + 1]);
      for (int t = 1; t <= T + TF; ++t)
        for (int k = 1; k <= K; ++k, ++row) {
          ASSERT_EQ(beta.at(row, "group"), std::to_string(group));
          ASSERT_EQ(beta.at(row, "pass"), std::to_string(pass));
          ASSERT_EQ(beta.at(row, "period"), std::to_string(t));
          ASSERT_EQ(beta.at(row, "forecast"), t > T ? "1" : "0");
          ASSERT_EQ(beta.at(row, "k"), std::to_string(k));
          EXPECT_EQ(beta.at(row, "variable"), names[k - 1]);
          if (t <= T) {
            EXPECT_EQ(beta.number(row, "beta"), b[(t - 1) * K + k - 1]);
          }
          const std::string& p = beta.at(row, "pooled_beta");
          if (pass < kPasses - 1)
            EXPECT_EQ(p, "");
          else if (t <= T)
            EXPECT_EQ(std::stod(p), pooled[0][(t - 1) * K + k - 1]);
          else
            EXPECT_NE(p, "");
        }
    }
  }

  // PHI, SIGMA**2 and DELTA of the last pass as PSAVE and DSAVE hold them.
  Csv est = readCsv("KOVA_ESTIMATES.csv");
  std::map<std::string, std::vector<double>> last;  // "group matrix" -> values, column order
  std::vector<std::vector<double>> piErrors, piRatios;
  for (std::size_t r = 0; r < est.rows.size(); ++r) {
    const std::string& matrix = est.at(r, "matrix");
    if (matrix == "PI" || matrix == "POOLED_PI") {
      if (est.at(r, "row") == "1" && est.at(r, "column") == "1") {
        piErrors.emplace_back();
        piRatios.emplace_back();
      }
      // Without a standard error there is no t-ratio (the report lists -99999).
      const double se = est.number(r, "std_error");
      const std::string& ratio = est.at(r, "t_ratio");
      piErrors.back().push_back(se);
      piRatios.back().push_back(ratio.empty() ? -99999.0 : std::stod(ratio));
      EXPECT_EQ(ratio.empty(), se == 0.0);
    }
    if (est.at(r, "pass") == std::to_string(kPasses - 1))
      last[est.at(r, "group") + " " + matrix].push_back(est.number(r, "value"));
  }
  for (int group = 1; group <= kGroups; ++group) {
    const std::string g = std::to_string(group) + " ";
    EXPECT_EQ(last[g + "PHI"], records(saveName("PSAVE", group)).at(0));
    auto dsave = records(saveName("DSAVE", group));
    EXPECT_EQ(last[g + "SIGMA2"], dsave.at(0));
    EXPECT_EQ(last[g + "DELTA"], dsave.at(1));
    EXPECT_EQ(last[g + "GAMMA"].size(), std::size_t{M} * M);
  }

  // Standard errors and t-ratios of PI, pass by pass, then of the pooled PI,
  // as the report lists them.
  const ErrorLists printedLists = errorLists(report);
  ASSERT_EQ(piErrors.size(), std::size_t{kGroups} * kPasses + 1);
  ASSERT_EQ(printedLists.errors.size(), piErrors.size());
  for (std::size_t i = 0; i < piErrors.size(); ++i)
    for (std::size_t j = 0; j < std::size_t{K}; ++j) {
      expectPrinted(piErrors[i][j], printedLists.errors[i].at(j), "standard error " + std::to_string(i));
      expectPrinted(piRatios[i][j], printedLists.ratios[i].at(j), "t-ratio " + std::to_string(i));
    }
}

TEST_F(GrunfeldTables, FitsAndForecastsAgreeWithTheDataAndTheReport) {
  // The source data, firm by firm in file order: invest, value, capital.
  std::ifstream in(fs::path(KOVA_TEST_DATA) / "grunfeld" / "grunfeld.csv");
  std::string line;
  std::getline(in, line);
  std::vector<std::vector<std::vector<double>>> firms;
  std::string previous;
  while (std::getline(in, line)) {
    auto f = testing::splitCsvLine(line);
    if (f[3] != previous) firms.emplace_back();
    previous = f[3];
    firms.back().push_back({std::stod(f[0]), std::stod(f[1]), std::stod(f[2])});
  }
  ASSERT_EQ(firms.size(), std::size_t{kGroups});

  // fitted = x'BETA of the last pass, pooled_fitted = x' pooled BETA.
  Csv beta = readCsv("KOVA_BETA.csv");
  std::map<std::string, double> b, pb;
  for (std::size_t r = 0; r < beta.rows.size(); ++r) {
    if (beta.at(r, "pass") != std::to_string(kPasses - 1)) continue;
    const std::string key = beta.at(r, "group") + " " + beta.at(r, "period") + " " + beta.at(r, "k");
    b[key] = beta.number(r, "beta");
    pb[key] = beta.number(r, "pooled_beta");
  }
  Csv fitted = readCsv("KOVA_FITTED.csv");
  ASSERT_EQ(fitted.rows.size(), std::size_t{kGroups} * T);
  for (std::size_t r = 0; r < fitted.rows.size(); ++r) {
    const int group = std::stoi(fitted.at(r, "group")), t = std::stoi(fitted.at(r, "period"));
    const std::vector<double>& data = firms[group - 1][t - 1];
    const double x[K] = {1.0, data[1], data[2]};
    double fit = 0.0, pooledFit = 0.0;
    for (int k = 1; k <= K; ++k) {
      const std::string key = std::to_string(group) + " " + std::to_string(t) + " " + std::to_string(k);
      fit += x[k - 1] * b[key];
      pooledFit += x[k - 1] * pb[key];
    }
    EXPECT_EQ(fitted.at(r, "variable"), "invest");
    EXPECT_EQ(fitted.number(r, "y"), data[0]);
    EXPECT_NEAR(fitted.number(r, "fitted"), fit, 1e-12 * std::fabs(fit));
    EXPECT_NEAR(fitted.number(r, "pooled_fitted"), pooledFit, 1e-12 * std::fabs(pooledFit));
  }

  // The forecast records: the two given years of each firm, with the
  // forecasts the report prints.
  Csv forecasts = readCsv("KOVA_FORECASTS.csv");
  ASSERT_EQ(forecasts.rows.size(), std::size_t{kGroups} * TF);
  for (std::size_t r = 0; r < forecasts.rows.size(); ++r) {
    const int group = std::stoi(forecasts.at(r, "group"));
    const int j = std::stoi(forecasts.at(r, "period")) - T;
    ASSERT_TRUE(j == 1 || j == 2);
    EXPECT_EQ(forecasts.number(r, "y"), firms[group - 1][T + j - 1][0]);
  }

  // RMSE and MAPE of the last pass of each group and of the pooled
  // forecast, as printed.
  Csv errors = readCsv("KOVA_FORECAST_ERRORS.csv");
  ASSERT_EQ(errors.rows.size(), std::size_t{kGroups} * 3);
  const std::map<std::string, std::vector<double>> printed = {
      {"yfs rmse", figuresAfter(report, "ROOT MEAN SQUARE ERROR OF YFS RESIDUALS IS")},
      {"predictor rmse", figuresAfter(report, "ROOT MEAN SQUARE ERROR OF PREDICTOR RESIDUALS IS")},
      {"pooled rmse", figuresAfter(report, "ROOT MEAN SQUARE ERROR OF POOLED FORECAST RESIDUALS IS")},
      {"yfs mape", figuresAfter(report, "MEAN ABSOLUTE PERCENTAGE ERROR OF YFS RESIDUALS IS")},
      {"predictor mape",
       figuresAfter(report, "MEAN ABSOLUTE PERCENTAGE ERROR OF PREDICTOR RESIDUALS IS")},
      {"pooled mape",
       figuresAfter(report, "MEAN ABSOLUTE PERCENTAGE ERROR OF POOLED FORECAST RESIDUALS IS")}};
  for (std::size_t r = 0; r < errors.rows.size(); ++r) {
    const int group = std::stoi(errors.at(r, "group"));
    const std::string forecast = errors.at(r, "forecast");
    EXPECT_EQ(errors.at(r, "compared"), "2");
    // Group forecasts are printed on every pass; the pooled one once.
    const std::size_t at = forecast == "pooled" ? group - 1 : group * kPasses - 1;
    for (const char* measure : {"rmse", "mape"})
      expectPrinted(errors.number(r, measure), printed.at(forecast + " " + measure).at(at),
                    forecast + " " + measure + " of group " + std::to_string(group));
  }

  // Nothing is left under a temporary name, and the stale table is gone.
  for (auto& entry : fs::directory_iterator("."))
    EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
  EXPECT_NE(readFile("KOVA_BETA.csv"), "stale\n");
}

}  // namespace
}  // namespace kova
