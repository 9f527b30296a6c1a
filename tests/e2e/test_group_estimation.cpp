// Whole runs through the group estimation: save files and a second run that
// starts from them, bad save files, and degenerate groups that must neither
// crash nor print numbers that are not numbers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/result_csv.h"
#include "support/run_kova.h"
#include "support/temp_dir.h"

extern "C" void dgels_(const char* trans, const int* m, const int* n, const int* nrhs, double* a,
                       const int* lda, double* b, const int* ldb, double* work, const int* lwork,
                       int* info, std::size_t);

namespace kova {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::writeFile;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

void simulate(const std::string& options) {
  std::string command = std::string(KOVA_SIMULATOR) + " --out . " + options + " > /dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// Replaces the statement whose key starts with `key` in PARAMTRS, or adds it
// to the ALL group.
void setParameter(const std::string& key, const std::string& value) {
  std::string text = readFile("PARAMTRS");
  std::string statement = key + " = " + value + "\n";
  std::size_t at = text.find("\n" + key);
  if (at != std::string::npos) {
    std::size_t end = text.find('\n', at + 1);
    text.replace(at + 1, end - at, statement);
  } else {
    at = text.find("END GROUP (ALL)");
    text.insert(at, statement);
  }
  writeFile("PARAMTRS", text);
}

// The doubles of a record of an unformatted file (4-byte length words).
std::vector<std::vector<double>> records(const std::string& file) {
  std::string bytes = readFile(file);
  std::vector<std::vector<double>> out;
  std::size_t at = 0;
  while (at + 4 <= bytes.size()) {
    std::uint32_t n = 0;
    std::memcpy(&n, bytes.data() + at, 4);
    std::vector<double> values(n / 8);
    std::memcpy(values.data(), bytes.data() + at + 4, values.size() * 8);
    out.push_back(values);
    at += 8 + n;
  }
  return out;
}

bool hasNonNumbers(const std::string& report) {
  for (const char* bad : {"NaN", "nan", "Infinity", "Inf", "*************"})
    if (contains(report, bad)) return true;
  return false;
}

TEST(GroupEstimation, SecondRunStartsFromTheSaveFilesOfTheFirst) {
  testing::TempDir dir;
  simulate("--ng 2 --records 40 --k 2 --p 1 --m 2 --width 12 --pdata --ddata"
           " --start-phi \"0.3,0.1;0,0.2\" --start-delta \"0.2,0.05;0.05,0.1\""
           " --start-sigma2 0.5 --iterations 3");
  setParameter("SAVE THE FINAL PHI", "YES");
  setParameter("SAVE THE FINAL DELTA", "YES");
  auto first = testing::runKova();
  ASSERT_EQ(first.status, 0) << first.console;
  const std::string psave = readFile("PSAVE.001"), dsave = readFile("DSAVE.001");
  ASSERT_EQ(records("PSAVE.001").size(), 1u);
  auto d = records("DSAVE.001");
  ASSERT_EQ(d.size(), 2u);
  ASSERT_EQ(d[0].size(), 1u);
  ASSERT_EQ(d[1].size(), 4u);
  EXPECT_GT(d[0][0], 0.0);  // the estimated SIGMA**2 of the last pass
  // BETASAV: one pair of records per pass, K x NUMT values.
  auto beta = records("BETASAV.002");
  ASSERT_EQ(beta.size(), 6u);
  EXPECT_EQ(beta[5].size(), 2u * 38);  // two forecast records of 40

  // A second run of one pass: its PHI and DELTA are the starting values,
  // which must be exactly where the first run left them.
  setParameter("INITIAL PHI", "SAVED");
  setParameter("INITIAL DELTA", "SAVED");
  setParameter("ITERATIONS", "1");
  fs::remove("PDATA1");
  fs::remove("DDATA1");
  auto second = testing::runKova();
  ASSERT_EQ(second.status, 0) << second.console;
  const std::string report = readFile("KOVAOUT");
  EXPECT_TRUE(contains(report, "FROM TOLVERAN SAVE-FILE"));
  EXPECT_TRUE(contains(report, "THE STARTING PHI"));
  EXPECT_EQ(readFile("PSAVE.001"), psave);
  auto d2 = records("DSAVE.001");
  EXPECT_EQ(d2[1], d[1]);
  char sigma2[40];
  std::snprintf(sigma2, sizeof sigma2, " THE INITIAL SIGMA**2 IS%13.5f", d[0][0]);
  EXPECT_TRUE(contains(report, std::string(sigma2).substr(0, 26))) << sigma2;
}

TEST(GroupEstimation, MissingOrMisshapenSaveFilesStopTheRun) {
  testing::TempDir dir;
  simulate("--ng 1 --records 30 --k 2 --p 1 --m 2 --width 12 --iterations 2");
  setParameter("INITIAL PHI", "SAVED");
  writeFile("KOVA_ESTIMATES.csv", "an earlier run's table\n");
  auto missing = testing::runKova();
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(contains(missing.console, "PSAVE.001")) << missing.console;
  EXPECT_TRUE(contains(missing.console, "PROGRAM STOPS"));
  // The stop comes after the result tables were begun: neither they, under
  // their temporary names, nor an earlier run's tables are left.
  for (const auto& entry : fs::directory_iterator("."))
    EXPECT_NE(entry.path().filename().string().substr(0, 5), "KOVA_") << entry.path();

  // A save file from a run with M = 3 does not fit M = 2.
  std::vector<double> phi3(9, 0.1);
  std::uint32_t n = 72;
  std::string bytes(reinterpret_cast<const char*>(&n), 4);
  bytes.append(reinterpret_cast<const char*>(phi3.data()), 72);
  bytes.append(reinterpret_cast<const char*>(&n), 4);
  writeFile("PSAVE.001", bytes);
  auto misshapen = testing::runKova();
  EXPECT_EQ(misshapen.status, 1);
  EXPECT_TRUE(contains(misshapen.console, "PSAVE.001")) << misshapen.console;
  EXPECT_EQ(readFile("PSAVE.001"), bytes);  // the user's file is left as it was
}

// The start files a run reads are the user's: a run without the save options
// leaves them as they were, and one with them replaces them only when it is
// complete, so a run that stops part-way leaves every start file as it was.
// The input files of the directory, the start files among them; not the
// report, the log, the tables and BETA files that every run writes anew.
std::map<std::string, std::string> inputFiles() {
  auto files = testing::filesAndContents();
  std::erase_if(files, [](const auto& file) {
    return file.first.starts_with("KOVA") || file.first.starts_with("BETA");
  });
  return files;
}

TEST(GroupEstimation, StartFilesAreReplacedOnlyByACompleteRunThatSavesThem) {
  testing::TempDir dir;
  simulate("--ng 3 --records 30 --k 2 --p 1 --m 2 --width 12 --iterations 2");
  setParameter("SAVE THE FINAL PHI", "YES");
  setParameter("SAVE THE FINAL DELTA", "YES");
  ASSERT_EQ(testing::runKova().status, 0);
  setParameter("INITIAL PHI", "SAVED");
  setParameter("INITIAL DELTA", "SAVED");
  setParameter("ITERATIONS", "3");

  // Without the save options: read, never rewritten, never deleted.
  setParameter("SAVE THE FINAL PHI", "NO");
  setParameter("SAVE THE FINAL DELTA", "NO");
  auto inputs = inputFiles();
  auto quiet = testing::runKova();
  ASSERT_EQ(quiet.status, 0) << quiet.console;
  EXPECT_EQ(testing::changedFiles(inputs), "");
  for (const char* temporary : {"PSAVE.001.tmp", "DSAVE.003.tmp"})
    EXPECT_FALSE(fs::exists(temporary)) << temporary;

  // With them, a run that stops in group 3 (a PSAVE of the wrong shape)
  // leaves the start files of groups 1 and 2 as they were.
  setParameter("SAVE THE FINAL PHI", "YES");
  setParameter("SAVE THE FINAL DELTA", "YES");
  std::string shortPhi = readFile("PSAVE.003");
  shortPhi = shortPhi.substr(0, 4) + shortPhi.substr(12, shortPhi.size() - 24) +
             shortPhi.substr(shortPhi.size() - 4);
  const std::uint32_t bytes = 24;
  shortPhi.replace(0, 4, reinterpret_cast<const char*>(&bytes), 4);
  shortPhi.replace(shortPhi.size() - 4, 4, reinterpret_cast<const char*>(&bytes), 4);
  const std::string goodPhi = readFile("PSAVE.003");
  writeFile("PSAVE.003", shortPhi);
  inputs = inputFiles();
  auto stopped = testing::runKova();
  EXPECT_EQ(stopped.status, 1);
  EXPECT_TRUE(contains(stopped.console, "PSAVE.003")) << stopped.console;
  EXPECT_EQ(testing::changedFiles(inputs), "");

  // A complete run with the save options replaces them.
  writeFile("PSAVE.003", goodPhi);
  inputs = inputFiles();
  ASSERT_EQ(testing::runKova().status, 0);
  const std::string changed = testing::changedFiles(inputs);
  for (const char* saved : {"PSAVE.001", "DSAVE.001", "PSAVE.003", "DSAVE.003"})
    EXPECT_TRUE(contains(changed, saved)) << changed;
  EXPECT_FALSE(fs::exists("PSAVE.002.tmp"));
}

// Group 1: x(2) repeats the leading one, so the design has rank 1 of 2.
// Group 2: y = 1 + 2 x exactly, so SIGMA**2 is 0.
TEST(GroupEstimation, DegenerateGroupsRunWithoutNonNumbers) {
  testing::TempDir dir;
  std::string params =
      "BEGIN GROUP (ALL)\nTITLE = DEGENERATE\nT = 16\nK = 2\nP = 1\nM = 2\nCONST = YES\n"
      "ITERATIONS = 2\nPRINT LEVEL = 3\nWIDTH = 10\nEND GROUP (ALL)\nEND OF DATA\n";
  writeFile("PARAMTRS", params);
  std::string keys, data = "         Y         X\n";
  for (int t = 1; t <= 8; ++t) {
    keys += "1\n";
    char line[64];
    std::snprintf(line, sizeof line, "%10.4f%10.4f\n", 0.5 * t + (t % 3), 1.0);
    data += line;
  }
  for (int t = 1; t <= 8; ++t) {
    keys += "2\n";
    char line[64];
    const double x = 0.25 * t * t - t;
    std::snprintf(line, sizeof line, "%10.4f%10.4f\n", 1.0 + 2.0 * x, x);
    data += line;
  }
  writeFile("YXDKEY", keys + "END OF DATA\n");
  writeFile("YXDATA1", data);
  auto result = testing::runKova();
  ASSERT_EQ(result.status, 0) << result.console;
  const std::string report = readFile("KOVAOUT");
  EXPECT_FALSE(hasNonNumbers(report)) << report;
  EXPECT_TRUE(contains(report, "THE PI MATRIX"));
  // Two groups, the second with a numerically singular Omega: the pooled
  // phase still runs to its end.
  EXPECT_TRUE(contains(report, "THE POOLED PI-VECTOR"));
}

// PI(1) >= 5 binds (the data are drawn with PI(1) near 1), PI(2) >= -100
// does not: on every pass the first becomes an equality, the estimate sits
// on it and its standard error is zero.
TEST(GroupEstimation, BindingInequalityBecomesAnEquality) {
  testing::TempDir dir;
  simulate("--ng 2 --records 40 --k 2 --p 1 --m 2 --width 14 --iterations 3"
           " --restrict-pi-ineq \"1:1=5;2:1=-100\"");
  auto result = testing::runKova();
  ASSERT_EQ(result.status, 0) << result.console;
  const std::string report = readFile("KOVAOUT");
  const std::string converted =
      "THE NUMBER OF INEQUALITY CONSTRAINTS CONVERTED INTO EQUALITY CONSTRAINTS IN THE "
      "CALCULATION OF PI            1";
  std::size_t n = 0;
  for (std::size_t at = report.find(converted); at != std::string::npos;
       at = report.find(converted, at + 1))
    ++n;
  EXPECT_EQ(n, 6u);  // 2 groups, 3 passes
  EXPECT_TRUE(contains(report, " THE PI MATRIX ( 2-COMPONENT VECTOR ) \n    5.0000    "));
  const std::size_t se = report.find("\nSTANDARD ERRORS:\n\n   1.");
  ASSERT_NE(se, std::string::npos);
  EXPECT_LT(std::fabs(std::stod(report.substr(se + 24, 13))), 1e-12);
  EXPECT_TRUE(contains(report, "EIPIVC AND PIVECT ARE SUFFICIENTLY CLOSE"));
  // Groups with inequality rows take no part in the pooled phase.
  EXPECT_FALSE(contains(report, "THE POOLED PI-VECTOR"));
}

// Five passes on 400 periods drawn with diagonal PHI (0.6, 0.3) and DELTA
// diag(0.5, 0.2), SIGMA**2 = 1. Over 20 seeds the errors of PHI(1,1) and of
// SIGMA**2 DELTA(1,1) had means 0.06 and 0.03, spreads 0.10 and 0.10, and
// never exceeded 0.35 in size; PHI(2,2), whose regressor carries little
// signal, is pulled up by the smoothed EPSILON it is estimated from (mean
// error 0.5) and is not held to a tolerance here.
TEST(GroupEstimation, FivePassesRecoverPhiAndDelta) {
  for (int seed : {3, 8, 15}) {
    testing::TempDir dir;
    simulate("--ng 1 --records 400 --k 2 --p 1 --m 2 --width 14 --forecast-y none"
             " --iterations 5 --phi \"0.6,0;0,0.3\" --delta \"0.5,0;0,0.2\" --diagonal-phi"
             " --diagonal-delta --seed " + std::to_string(seed));
    setParameter("SAVE THE FINAL PHI", "YES");
    setParameter("SAVE THE FINAL DELTA", "YES");
    auto result = testing::runKova();
    ASSERT_EQ(result.status, 0) << result.console;
    auto phi = records("PSAVE.001")[0];
    auto d = records("DSAVE.001");
    EXPECT_LT(std::fabs(phi[0] - 0.6), 0.4) << "seed " << seed;
    EXPECT_LT(std::fabs(d[0][0] * d[1][0] - 0.5), 0.4) << "seed " << seed;
    EXPECT_EQ(phi[1], 0.0);
    EXPECT_LE(std::fabs(phi[3]), 0.995);  // held inside the bound
  }
}

// One group of 25 records, K = 3 (a leading one and two drawn x), P = 1,
// M = 1 with L = (1, 0, 0)' and DELTA = 1, written with 13 significant digits
// so that the test knows the data exactly as the program reads them.
struct SmallPanel {
  static constexpr int T = 25, K = 3;
  std::vector<double> y, x2, x3;
  SmallPanel() {
    unsigned state = 12345;
    auto draw = [&] {
      state = state * 1103515245u + 12345u;
      return ((state >> 8) % 20000) / 10000.0 - 1.0;
    };
    double e = 0.0;
    for (int t = 0; t < T; ++t) {
      x2.push_back(round13(3.0 * draw() + 0.2 * t));
      x3.push_back(round13(draw()));
      e = 0.6 * e + draw();
      y.push_back(round13(1.5 + 0.8 * x2[t] - 2.0 * x3[t] + e));
    }
  }
  static double round13(double v) {
    char text[40];
    std::snprintf(text, sizeof text, "%20.12e", v);
    return std::strtod(text, nullptr);
  }
  void write(const std::string& extra) const {
    writeFile("PARAMTRS", "BEGIN GROUP (ALL)\nTITLE = SMALL\nT = 25\nK = 3\nP = 1\nM = 1\n"
                          "CONST = YES\nL-MATRIX = USER\nITERATIONS = 2\nPRINT LEVEL = 1\n"
                          "WIDTH = 20\n" + extra + "END GROUP (ALL)\nEND OF DATA\n");
    std::string keys, data = "                   Y                  X2                  X3\n";
    for (int t = 0; t < T; ++t) {
      keys += "1\n";
      char line[80];
      std::snprintf(line, sizeof line, "%20.12e%20.12e%20.12e\n", y[t], x2[t], x3[t]);
      data += line;
    }
    writeFile("YXDKEY", keys + "END OF DATA\n");
    writeFile("YXDATA1", data);
    writeFile("LDATA1", "                 1.0\n                 0.0\n                 0.0\n");
  }
};

// Least squares of y on [1, x2, x3] after the transformation that whitens
// AR(1) errors with coefficient rho (rho = 0: ordinary least squares), by
// LAPACK: the coefficients, SIGMA**2 and the standard errors.
struct Reference {
  std::vector<double> pi, se;
  double sigma2 = 0;
};

Reference praisWinsten(const SmallPanel& d, double rho) {
  const int T = SmallPanel::T, K = 3;
  std::vector<double> a(T * K), b(T);
  for (int t = 0; t < T; ++t) {
    const double row[3] = {1.0, d.x2[t], d.x3[t]};
    const double prev[3] = {1.0, t > 0 ? d.x2[t - 1] : 0.0, t > 0 ? d.x3[t - 1] : 0.0};
    const double f = std::sqrt(1.0 - rho * rho);
    for (int k = 0; k < K; ++k) a[t + k * T] = t == 0 ? f * row[k] : row[k] - rho * prev[k];
    b[t] = t == 0 ? f * d.y[0] : d.y[t] - rho * d.y[t - 1];
  }
  std::vector<double> a0 = a;
  int m = T, n = K, one = 1, lwork = 1000, info = 0;
  std::vector<double> work(lwork);
  dgels_("N", &m, &n, &one, a.data(), &m, b.data(), &m, work.data(), &lwork, &info, 1);
  Reference r;
  r.pi.assign(b.begin(), b.begin() + K);
  double rss = 0;
  for (int t = K; t < T; ++t) rss += b[t] * b[t];
  r.sigma2 = rss / (T - K);
  // (A'A)^-1 from the triangle R of the QR that dgels left in a.
  double rinv[3][3] = {};
  for (int j = 0; j < K; ++j) {
    rinv[j][j] = 1.0 / a[j + j * T];
    for (int i = j - 1; i >= 0; --i) {
      double sum = 0;
      for (int l = i + 1; l <= j; ++l) sum += a[i + l * T] * rinv[l][j];
      rinv[i][j] = -sum / a[i + i * T];
    }
  }
  for (int i = 0; i < K; ++i) {
    double v = 0;
    for (int j = i; j < K; ++j) v += rinv[i][j] * rinv[i][j];
    r.se.push_back(std::sqrt(r.sigma2 * v));
  }
  return r;
}

// The first printed PI vector, SIGMA**2 and standard errors of the report.
Reference printedEstimate(const std::string& report) {
  Reference r;
  std::istringstream lines(report.substr(report.find(" THE PI MATRIX (")));
  std::string line;
  std::getline(lines, line);
  std::getline(lines, line);
  std::istringstream(line) >> r.pi.emplace_back() >> r.pi.emplace_back() >> r.pi.emplace_back();
  while (std::getline(lines, line) && line.find(" SIGMA**2 (") != 0) {
  }
  std::getline(lines, line);
  r.sigma2 = std::stod(line);
  while (std::getline(lines, line) && line != "STANDARD ERRORS:") {
  }
  std::getline(lines, line);
  std::getline(lines, line);
  std::istringstream fields(line);
  std::string n, v;
  while (fields >> n >> v) r.se.push_back(std::stod(v));
  return r;
}

// With M = 1, L = (1, 0, 0)' and DELTA = 1, a zero PHI makes YSIGMA the
// identity (ordinary least squares) and PHI = rho the AR(1) covariance of
// Prais and Winsten's regression with the first observation kept. BETA(t)
// of components 2 and 3 is PI itself, saved at full precision.
TEST(GroupEstimation, SpecialCasesReproduceOlsAndPraisWinsten) {
  for (double rho : {0.0, 0.6}) {
    testing::TempDir dir;
    SmallPanel panel;
    panel.write(rho == 0.0 ? "ZERO PHI = YES\n" : "INITIAL PHI = USER\n");
    if (rho != 0.0) writeFile("PDATA1", "                 0.6\n");
    auto result = testing::runKova();
    ASSERT_EQ(result.status, 0) << result.console;
    const Reference expected = praisWinsten(panel, rho);
    const Reference printed = printedEstimate(readFile("KOVAOUT"));
    auto beta = records("BETASAV.001");
    ASSERT_EQ(beta.size(), 4u);
    for (int t = 0; t < SmallPanel::T; ++t)
      for (int k = 1; k < 3; ++k)
        EXPECT_NEAR(beta[1][3 * t + k], expected.pi[k], 1e-11 * std::fabs(expected.pi[k]))
            << "rho " << rho << " t " << t << " k " << k;
    ASSERT_EQ(printed.pi.size(), 3u);
    ASSERT_EQ(printed.se.size(), 3u);
    for (int k = 0; k < 3; ++k) {
      EXPECT_NEAR(printed.pi[k], expected.pi[k], 5e-5 * std::fabs(expected.pi[k])) << rho;
      EXPECT_NEAR(printed.se[k], expected.se[k], 5e-5 * expected.se[k]) << rho;
    }
    EXPECT_NEAR(printed.sigma2, expected.sigma2, 5e-5 * expected.sigma2) << rho;
  }
}

// Each finding of the check after a group's last pass is one line in the
// report after that pass, one in the log and one row of KOVA_WARNINGS.csv,
// and the run ends normally. Constructed on the Grunfeld panel with one
// pass from the user's starting values: in the GLS mode a PHI(1,1) at the
// bound EVLTOL and a zero DELTA(1,1), so that SIGMA**2 is 0 and the tables
// leave the standard errors of PI unknown; in the default mode a DELTA of
// rank 2.
TEST(GroupEstimation, WarningsAfterTheLastPassGoToReportLogAndTable) {
  struct Case {
    const char* example;
    const char* pdata;
    const char* ddata;
    std::vector<std::pair<std::string, double>> rows;
    const char* line;
  };
  const Case cases[] = {
      {"grunfeld-ar1", "   0.995     0.0     0.0\n     0.0     0.5     0.0\n     0.0     0.0     0.5\n",
       "     1.0\n     0.0     0.0     0.0\n     0.0     1.0     0.0\n     0.0     0.0     1.0\n",
       {{"phi_at_bound", 0.995}, {"delta11_zero", 0.0}, {"beta_se_incomplete", 1.0}},
       "AFTER ITERATION   0: DELTA(1,1) IS ZERO: THE ERROR TERM HAS VANISHED."},
      {"grunfeld-firms", nullptr,
       "     1.0\n     1.0     0.0     0.0\n     0.0     1.0     0.0\n     0.0     0.0     0.0\n",
       {{"delta_singular", 2.0}}, "AFTER ITERATION   0: DELTA IS SINGULAR, RANK   2 OF   3."}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.example);
    testing::TempDir dir;
    testing::copyExample(c.example);
    setParameter("ITERATIONS", "1");
    setParameter("INITIAL DELTA", "USER");
    writeFile("DDATA1", c.ddata);
    if (c.pdata != nullptr) {
      setParameter("INITIAL PHI", "USER");
      writeFile("PDATA1", c.pdata);
    }
    auto result = testing::runKova();
    ASSERT_EQ(result.status, 0) << result.console;
    const testing::Csv w = testing::readCsv("KOVA_WARNINGS.csv");
    ASSERT_EQ(w.rows.size(), 11 * c.rows.size());
    for (std::size_t i = 0; i < w.rows.size(); ++i) {
      EXPECT_EQ(w.at(i, "group"), std::to_string(i / c.rows.size() + 1));
      EXPECT_EQ(w.at(i, "pass"), "0");
      EXPECT_EQ(w.at(i, "kind"), c.rows[i % c.rows.size()].first);
      EXPECT_EQ(w.number(i, "value"), c.rows[i % c.rows.size()].second);
    }
    // The line closes the group's section: the next group's data follow it.
    const std::string report = readFile("KOVAOUT"), log = readFile("KOVALOG");
    const std::string line = std::string(" WARNING FOR GROUP   2 ") + c.line + "\n";
    const std::size_t at = report.find(line);
    ASSERT_NE(at, std::string::npos);
    EXPECT_LT(report.find("\n GROUP   3\n", at), report.find("THE PI MATRIX", at));
    EXPECT_NE(log.find(line), std::string::npos);

    // With SIGMA**2 = 0 the standard errors are not known: left empty.
    const testing::Csv e = testing::readCsv("KOVA_ESTIMATES.csv");
    int unknown = 0;
    for (std::size_t i = 0; i < e.rows.size(); ++i)
      if (e.at(i, "matrix") == "PI" && !e.at(i, "group").empty()) {
        unknown += e.at(i, "std_error").empty();
        EXPECT_EQ(e.at(i, "std_error").empty(), e.at(i, "t_ratio").empty());
      }
    EXPECT_EQ(unknown, c.pdata != nullptr ? 33 : 0);
    // And so are those of BETA, for the reason in the beta_se_incomplete row.
    const testing::Csv b = testing::readCsv("KOVA_BETA.csv");
    for (std::size_t i = 0; i < b.rows.size(); i += 37)
      EXPECT_EQ(b.at(i, "std_error").empty(), c.pdata != nullptr) << "row " << i;
  }
}

// Groups drawn from the model with one AR(1) coefficient and enough periods,
// estimated in the default and in the GLS mode: nothing to warn about.
TEST(GroupEstimation, CleanSimulatedGroupsGiveNoWarnings) {
  for (int seed : {1, 2, 3})
    for (bool gls : {false, true}) {
      testing::TempDir dir;
      simulate("--ng 4 --records 100 --k 2 --p 1 --m 1 --l \"1;0\" --phi 0.6 --delta 0.5"
               " --width 14 --forecast-y none --iterations 5 --seed " + std::to_string(seed));
      if (gls) setParameter("GLS", "YES");
      auto result = testing::runKova();
      ASSERT_EQ(result.status, 0) << result.console;
      EXPECT_EQ(readFile("KOVA_WARNINGS.csv"), "group,pass,kind,value\n") << "seed " << seed;
      EXPECT_EQ(readFile("KOVAOUT").find(" WARNING FOR GROUP"), std::string::npos);
    }
}

}  // namespace
}  // namespace kova
