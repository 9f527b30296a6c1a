// The simulator as its users meet it: the program is run on the command
// line and the directory it writes is read back field by field, the way the
// data set-up reads it (fixed-width fields, F = 80 / w per line, the rest on
// the same-numbered line of the continuation file), and checked against the
// TRUTH file written beside it.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <vector>

#include "../../tools/simulate/fields.h"
#include "../../tools/simulate/options.h"
#include "io/edit_descriptors.h"
#include "io/text_conversion.h"
#include "support/temp_dir.h"

namespace kova {
namespace {

namespace fs = std::filesystem;
using testing::readFile;

fs::path simulatorPath() { return fs::path(KOVA_SIMULATOR); }

struct Result {
  int status = -1;
  std::string err;
};

Result runSimulator(const std::string& args) {
  if (!fs::exists(simulatorPath()))
    ADD_FAILURE() << "build the kova_simulate target first: " << simulatorPath();
  int raw =
      std::system(("'" + simulatorPath().string() + "' " + args + " > out.txt 2> err.txt").c_str());
  Result r;
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  r.err = readFile("err.txt");
  return r;
}

std::vector<std::string> lines(const fs::path& file) {
  std::vector<std::string> out;
  std::istringstream in(readFile(file));
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// The fields of one line; every field must begin with a blank so that no
// value runs into the one before it.
std::vector<double> numbers(const std::string& line, int w, bool firstMayBeBlank = false) {
  std::vector<double> values;
  EXPECT_EQ(line.size() % w, 0u) << line;
  for (std::size_t at = 0; at + w <= line.size(); at += w) {
    std::string field = line.substr(at, w);
    EXPECT_EQ(field[0], ' ') << "field touches its neighbour: [" << field << "]";
    double v = 0.0;
    EXPECT_TRUE(readRealField(field, v)) << "[" << field << "]";
    if (!(firstMayBeBlank && at == 0)) {
      EXPECT_NE(trimmed(field), "") << line;
    }
    values.push_back(v);
  }
  return values;
}

// A record is its line in the main file and, when there is one, the
// same-numbered line of the continuation file.
std::vector<std::string> joinedLines(const fs::path& main, const fs::path& continuation) {
  std::vector<std::string> a = lines(main);
  if (!fs::exists(continuation)) return a;
  std::vector<std::string> b = lines(continuation);
  EXPECT_EQ(a.size(), b.size()) << continuation;
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) a[i] += b[i];
  return a;
}

struct Key {
  int id;
  std::string options;
};

std::vector<Key> keys(const fs::path& file) {
  std::vector<Key> out;
  bool ended = false;
  for (const std::string& line : lines(file)) {
    if (isEndOfData(line)) {
      ended = true;
      break;
    }
    if (line.find('!') != std::string::npos || trimmed(line).empty()) continue;
    std::istringstream in(line);
    Key k{-1, ""};
    in >> k.id >> k.options;
    out.push_back(k);
  }
  EXPECT_TRUE(ended) << "key file without its end line";
  return out;
}

struct TruthRecord {
  int position, id, t;
  std::string key;
  double y;
  std::vector<double> eps, beta;
};

struct Truth {
  std::map<std::string, std::vector<std::vector<double>>> matrices;
  std::map<std::string, double> scalars;
  std::vector<TruthRecord> records;
  double at(const std::string& name, int i, int j) const { return matrices.at(name)[i - 1][j - 1]; }
};

Truth readTruth(const fs::path& file) {
  Truth truth;
  std::vector<std::string> all = lines(file);
  for (std::size_t i = 0; i < all.size(); ++i) {
    std::istringstream in(all[i]);
    std::string word;
    in >> word;
    if (word == "PI" || word == "L" || word == "PHI" || word == "DELTA" || word == "GAMMA") {
      int r, c;
      in >> r >> c;
      auto& m = truth.matrices[word];
      for (int row = 0; row < r; ++row) {
        std::istringstream rowIn(all[++i]);
        m.emplace_back(c);
        for (double& v : m.back()) rowIn >> v;
      }
    } else if (word == "RECORDS") {
      int n, m = static_cast<int>(truth.scalars.at("M")),
             k = static_cast<int>(truth.scalars.at("K"));
      in >> n;
      ++i;  // column comment
      for (int r = 0; r < n; ++r) {
        std::istringstream rec(all[++i]);
        TruthRecord t;
        rec >> t.position >> t.id >> t.t >> t.key >> t.y;
        t.eps.resize(m);
        t.beta.resize(k);
        for (double& v : t.eps) rec >> v;
        for (double& v : t.beta) rec >> v;
        truth.records.push_back(t);
      }
    } else if (word == "K" || word == "P" || word == "M" || word == "T" || word == "NG" ||
               word == "SIGMA2") {
      in >> truth.scalars[word];
    }
  }
  return truth;
}

std::string paramValue(const std::string& text, const std::string& keyword) {
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (line.rfind(keyword + " = ", 0) == 0) return line.substr(keyword.size() + 3);
  return "";
}

// Checks a y/x (or z) file pair against the layout rules and returns the
// records' values (name line excluded).
std::vector<std::vector<double>> checkLayout(const std::string& base, int fields, int w, int T,
                                             const std::vector<Key>& keyList, bool yFirst) {
  const int perLine = 80 / w;
  fs::path main = "d/" + base + "1", cont = "d/" + base + "2";
  EXPECT_EQ(fs::exists(cont), fields > perLine) << base << " with " << fields << " fields";
  std::vector<std::string> a = lines(main);
  EXPECT_EQ(static_cast<int>(a.size()), T + 1) << base;
  for (const std::string& line : a)
    EXPECT_EQ(static_cast<int>(line.size()), std::min(fields, perLine) * w) << base;
  if (fields > perLine) {
    std::vector<std::string> b = lines(cont);
    EXPECT_EQ(static_cast<int>(b.size()), T + 1) << base;
    for (const std::string& line : b)
      EXPECT_EQ(static_cast<int>(line.size()), (fields - perLine) * w) << base;
  }
  std::vector<std::vector<double>> values;
  std::vector<std::string> joined = joinedLines(main, cont);
  for (std::size_t r = 1; r < joined.size(); ++r) {
    bool noY = yFirst && keyList[r - 1].options == "F";
    if (noY) {
      EXPECT_EQ(trimmed(joined[r].substr(0, w)), "") << "y given for an F record, line " << r + 1;
    }
    values.push_back(numbers(joined[r], w, noY));
    EXPECT_EQ(static_cast<int>(values.back().size()), fields);
  }
  return values;
}

TEST(Simulator, DefaultDirectoryIsCompleteAndReadable) {
  testing::TempDir dir;
  ASSERT_EQ(runSimulator("--out d").status, 0);
  for (const char* name : {"PARAMTRS", "YXDKEY", "YXDATA1", "ZDATA1", "TRUTH"})
    EXPECT_TRUE(fs::exists(fs::path("d") / name)) << name;
  for (const char* name : {"YXDATA2", "ZDATA2", "LDATA1", "PDATA1", "DDATA1", "RCFPI"})
    EXPECT_FALSE(fs::exists(fs::path("d") / name)) << name;

  std::string params = readFile("d/PARAMTRS");
  EXPECT_EQ(paramValue(params, "T"), "90");
  EXPECT_EQ(paramValue(params, "K"), "3");
  EXPECT_EQ(paramValue(params, "P"), "2");
  EXPECT_EQ(paramValue(params, "M"), "3");
  EXPECT_EQ(paramValue(params, "WIDTH"), "20");
  EXPECT_EQ(paramValue(params, "CONST"), "YES");
  EXPECT_EQ(paramValue(params, "Z-VECTORS"), "USER");
  EXPECT_EQ(paramValue(params, "L-MATRIX"), "DEFAULT");
  // Only the last line may read as the end line, and every line fits 80 columns.
  std::vector<std::string> p = lines("d/PARAMTRS");
  ASSERT_FALSE(p.empty());
  EXPECT_EQ(p.back(), "END OF DATA");
  for (std::size_t i = 0; i + 1 < p.size(); ++i) {
    EXPECT_FALSE(isEndOfData(p[i])) << p[i];
    EXPECT_LE(p[i].size(), 80u);
  }
  for (const std::string& line : lines("d/YXDKEY")) EXPECT_LE(line.size(), 80u);

  std::vector<Key> k = keys("d/YXDKEY");
  ASSERT_EQ(k.size(), 90u);
  checkLayout("YXDATA", 3, 20, 90, k, true);
  checkLayout("ZDATA", 1, 20, 90, k, false);
}

// Each case puts the y/x record just within one line or one field beyond it.
TEST(Simulator, ContinuationFilesExactlyWhenARecordDoesNotFit) {
  struct Case {
    std::string args;
    int yxFields, zFields, w;
  };
  const Case cases[] = {
      {"--k 4 --width 20 --p 5", 4, 4, 20},                         // F = 4: fits exactly
      {"--k 5 --width 20 --p 6", 5, 5, 20},                         // one field over
      {"--k 4 --width 20 --no-leading-ones --p 4", 5, 4, 20},       // x(1) is written too
      {"--k 10 --width 16 --m 10 --p 2", 10, 1, 16},                // F = 5: two full lines
      {"--k 1 --m 1 --p 1 --width 80", 1, 0, 80},                   // F = 1: y alone
      {"--k 2 --m 2 --p 3 --width 80 --no-leading-ones", 3, 3, 0},  // beyond two lines
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    testing::TempDir dir;
    Result r =
        runSimulator("--out d --ng 2 --records 4,3 --forecast 2 --forecast-y last:1 " + c.args);
    if (c.w == 0) {
      EXPECT_EQ(r.status, 2);
      EXPECT_NE(r.err.find("--width"), std::string::npos) << r.err;
      continue;
    }
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<Key> k = keys("d/YXDKEY");
    ASSERT_EQ(k.size(), 7u);
    checkLayout("YXDATA", c.yxFields, c.w, 7, k, true);
    if (c.zFields > 0)
      checkLayout("ZDATA", c.zFields, c.w, 7, k, false);
    else
      EXPECT_FALSE(fs::exists("d/ZDATA1"));
  }
}

TEST(Simulator, KeyFileFollowsGroupsRecordsAndForecastOptions) {
  testing::TempDir dir;
  ASSERT_EQ(runSimulator("--out d --ids 7,0,150 --ng 3 --records 8,9,10 --forecast 3,5-6,150/1 "
                         "--forecast-y last:1,0/1-2 --interleave")
                .status,
            0);
  std::vector<Key> k = keys("d/YXDKEY");
  ASSERT_EQ(k.size(), 27u);
  EXPECT_EQ(paramValue(readFile("d/PARAMTRS"), "T"), "27");
  // Interleaved: period by period, the shorter groups dropping out.
  std::vector<int> expectedOrder;
  for (int t = 1; t <= 10; ++t)
    for (auto [id, n] : {std::pair{7, 8}, {0, 9}, {150, 10}})
      if (t <= n) expectedOrder.push_back(id);
  std::map<int, std::string> seen;
  for (std::size_t i = 0; i < k.size(); ++i) {
    EXPECT_EQ(k[i].id, expectedOrder[i]) << "key " << i + 1;
    seen[k[i].id] += k[i].options.empty() ? "." : k[i].options == "F" ? "F" : "Y";
  }
  EXPECT_EQ(seen[7], "..F.FF.Y");
  EXPECT_EQ(seen[0], "YYF.FF..Y");
  EXPECT_EQ(seen[150], "F.F.FF...Y");

  Truth truth = readTruth("d/TRUTH");
  ASSERT_EQ(truth.records.size(), 27u);
  for (std::size_t i = 0; i < k.size(); ++i) {
    EXPECT_EQ(truth.records[i].id, k[i].id);
    EXPECT_EQ(truth.records[i].key, k[i].options.empty() ? "NN" : k[i].options);
  }
}

// y in the file is x'BETA(t) with the x read from the file and BETA(t) from
// TRUTH, and BETA(t) = PI z(t) + L EPSILON(t): the files and TRUTH describe
// the same records in the same order.
TEST(Simulator, FilesAgreeWithTheTruthRecordByRecord) {
  for (std::string extra : {"", " --no-leading-ones --interleave", " --z default"}) {
    SCOPED_TRACE(extra);
    testing::TempDir dir;
    ASSERT_EQ(runSimulator("--out d --ng 2 --records 12,7 --k 4 --p 3 --m 2 --forecast 4 "
                           "--forecast-y last:2 --pi '1,2,3;-1,0.5,2;0.3,0.2,0.1;4,3,2' "
                           "--l '1,0;0,1;1,1;0,2' --phi '0.6,0.2;-0.1,0.4' "
                           "--delta '0.2,0.05;0.05,0.1' --sigma2 2" +
                           extra)
                  .status,
              0);
    const bool ones = extra.find("no-leading") == std::string::npos;
    const bool userZ = extra.find("default") == std::string::npos;
    std::vector<Key> k = keys("d/YXDKEY");
    Truth truth = readTruth("d/TRUTH");
    ASSERT_EQ(truth.records.size(), 19u);
    auto yx = checkLayout("YXDATA", ones ? 4 : 5, 20, 19, k, true);
    std::vector<std::vector<double>> z;
    if (userZ) z = checkLayout("ZDATA", ones ? 2 : 3, 20, 19, k, false);
    EXPECT_EQ(fs::exists("d/LDATA1"), true);  // L is not the identity
    auto ldata = lines("d/LDATA1");
    ASSERT_EQ(ldata.size(), 4u);
    for (int i = 1; i <= 4; ++i) {
      std::vector<double> row = numbers(ldata[i - 1], 20);
      ASSERT_EQ(row.size(), 2u);
      for (int j = 1; j <= 2; ++j) EXPECT_EQ(row[j - 1], truth.at("L", i, j));
    }
    for (std::size_t r = 0; r < truth.records.size(); ++r) {
      const TruthRecord& rec = truth.records[r];
      std::vector<double> x(yx[r].begin() + 1, yx[r].end());
      if (ones) x.insert(x.begin(), 1.0);
      std::vector<double> zr{1.0, 0.0, 0.0};
      if (userZ) {
        zr.assign(z[r].begin(), z[r].end());
        if (ones) zr.insert(zr.begin(), 1.0);
        EXPECT_EQ(zr[0], 1.0);
      }
      double y = 0.0, scale = 0.0;
      for (int i = 1; i <= 4; ++i) {
        double beta = 0.0;
        for (int j = 1; j <= 3; ++j) beta += truth.at("PI", i, j) * zr[j - 1];
        for (int j = 1; j <= 2; ++j) beta += truth.at("L", i, j) * rec.eps[j - 1];
        EXPECT_NEAR(rec.beta[i - 1], beta, 1e-13 * (1 + std::fabs(beta)));
        y += x[i - 1] * rec.beta[i - 1];
        scale += std::fabs(x[i - 1] * rec.beta[i - 1]);
      }
      EXPECT_NEAR(rec.y, y, 1e-13 * (1 + scale)) << "record " << r + 1;
      if (rec.key != "F") {
        EXPECT_NEAR(yx[r][0], rec.y, 1e-12 * (1 + std::fabs(rec.y)));
      }
    }
  }
}

// A group's series does not depend on where its records stand in the files.
TEST(Simulator, SeedsAndRecordOrder) {
  testing::TempDir dir;
  const std::string args = "--ng 3 --records 5,9,7 --forecast 2 --k 4 --p 3 ";
  ASSERT_EQ(runSimulator("--out a " + args + "--seed 42").status, 0);
  ASSERT_EQ(runSimulator("--out b " + args + "--seed 42").status, 0);
  ASSERT_EQ(runSimulator("--out c " + args + "--seed 43").status, 0);
  ASSERT_EQ(runSimulator("--out i " + args + "--seed 42 --interleave").status, 0);
  for (const char* name : {"PARAMTRS", "YXDKEY", "YXDATA1", "ZDATA1", "TRUTH"})
    EXPECT_EQ(readFile(fs::path("a") / name), readFile(fs::path("b") / name)) << name;
  EXPECT_NE(readFile("a/YXDATA1"), readFile("c/YXDATA1"));
  EXPECT_NE(readFile("a/ZDATA1"), readFile("c/ZDATA1"));

  Truth contiguous = readTruth("a/TRUTH"), interleaved = readTruth("i/TRUTH");
  ASSERT_EQ(contiguous.records.size(), interleaved.records.size());
  std::map<std::pair<int, int>, const TruthRecord*> byPeriod;
  for (const auto& r : contiguous.records) byPeriod[{r.id, r.t}] = &r;
  for (const auto& r : interleaved.records) {
    const TruthRecord* c = byPeriod.at({r.id, r.t});
    EXPECT_EQ(r.y, c->y);
    EXPECT_EQ(r.eps, c->eps);
    EXPECT_NE(r.position, 0);
  }
  EXPECT_NE(contiguous.records[1].id, interleaved.records[1].id);
}

// Over a long series the drawn EPSILON(t) has the stationary covariance
// SIGMA**2 GAMMA and the lag-one covariance PHI SIGMA**2 GAMMA, and TRUTH's
// GAMMA solves GAMMA = PHI GAMMA PHI' + DELTA.
TEST(Simulator, EpsilonFollowsItsAutoregression) {
  testing::TempDir dir;
  ASSERT_EQ(runSimulator("--out d --ng 1 --records 12500 --k 2 --p 1 --m 2 --forecast-y none "
                         "--phi '0.5,0.2;-0.1,0.3' --delta '1,0.3;0.3,0.5' --sigma2 2 --seed 5")
                .status,
            0);
  Truth truth = readTruth("d/TRUTH");
  double phi[2][2], gamma[2][2], delta[2][2];
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j) {
      phi[i][j] = truth.at("PHI", i + 1, j + 1);
      gamma[i][j] = truth.at("GAMMA", i + 1, j + 1);
      delta[i][j] = truth.at("DELTA", i + 1, j + 1);
    }
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j) {
      double fixedPoint = delta[i][j];
      for (int a = 0; a < 2; ++a)
        for (int b = 0; b < 2; ++b) fixedPoint += phi[i][a] * gamma[a][b] * phi[j][b];
      EXPECT_NEAR(gamma[i][j], fixedPoint, 1e-12);
    }
  const auto& rec = truth.records;
  const double n = static_cast<double>(rec.size());
  double c0[2][2] = {}, c1[2][2] = {};
  for (std::size_t t = 0; t < rec.size(); ++t)
    for (int i = 0; i < 2; ++i)
      for (int j = 0; j < 2; ++j) {
        c0[i][j] += rec[t].eps[i] * rec[t].eps[j] / n;
        if (t > 0) c1[i][j] += rec[t].eps[i] * rec[t - 1].eps[j] / (n - 1);
      }
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j) {
      double lag1 = 0.0;
      for (int a = 0; a < 2; ++a) lag1 += phi[i][a] * 2.0 * gamma[a][j];
      EXPECT_NEAR(c0[i][j], 2.0 * gamma[i][j], 0.08 * 2.0 * gamma[0][0]) << i << j;
      EXPECT_NEAR(c1[i][j], lag1, 0.08 * 2.0 * gamma[0][0]) << i << j;
    }
}

TEST(Simulator, OptionalMatrixAndRestrictionFiles) {
  testing::TempDir dir;
  ASSERT_EQ(runSimulator("--out d --k 3 --m 6 --width 16 --pdata --ddata --start-sigma2 3 "
                         "--phi 0.4 --delta 0.2 --restrict-pi '1:1,2:-1=truth;3:1=0' --fix-pi 4 "
                         "--restrict-pi-ineq '5:1=-10' --restrict-phi '2:1=0' "
                         "--restrict-delta '1:1,3:-1=0'")
                .status,
            0);
  const int w = 16;  // F = 5: rows of six values continue on the second file
  std::string params = readFile("d/PARAMTRS");
  EXPECT_EQ(paramValue(params, "L-MATRIX"), "USER");
  EXPECT_EQ(paramValue(params, "INITIAL PHI"), "USER");
  EXPECT_EQ(paramValue(params, "INITIAL DELTA"), "USER");
  EXPECT_EQ(paramValue(params, "RESTRICTIONS PI"), "3");
  EXPECT_EQ(paramValue(params, "RESTRICTIONS PI INEQ"), "1");
  EXPECT_EQ(paramValue(params, "RESTRICTIONS PHI"), "1");
  EXPECT_EQ(paramValue(params, "RESTRICTIONS DELTA"), "1");
  auto rows = [&](const char* base, std::size_t count) {
    auto joined = joinedLines(std::string("d/") + base + "1", std::string("d/") + base + "2");
    EXPECT_EQ(joined.size(), count) << base;
    EXPECT_EQ(lines(std::string("d/") + base + "1").front().size(), 5u * w) << base;
    return joined;
  };
  auto l = rows("LDATA", 3);
  EXPECT_EQ(numbers(l[2], w), (std::vector<double>{0, 0, 1, 0, 0, 0}));
  auto phi = rows("PDATA", 6);
  EXPECT_EQ(numbers(phi[1], w), (std::vector<double>{0, 0.4, 0, 0, 0, 0}));
  // DDATA1 starts with SIGMA**2; DDATA2 continues the matrix rows only.
  auto d1 = lines("d/DDATA1"), d2 = lines("d/DDATA2");
  ASSERT_EQ(d1.size(), 7u);
  ASSERT_EQ(d2.size(), 6u);
  EXPECT_EQ(numbers(d1[0], w), std::vector<double>{3.0});
  EXPECT_EQ(numbers(d1[6] + d2[5], w), (std::vector<double>{0, 0, 0, 0, 0, 0.2}));

  Truth truth = readTruth("d/TRUTH");
  auto rcf = lines("d/RCFPI"), rvc = lines("d/RVCPI");
  ASSERT_EQ(rcf.size(), 6u);
  ASSERT_EQ(rvc.size(), 5u);
  EXPECT_EQ(rcf.back(), "END OF DATA");
  EXPECT_EQ(rvc.back(), "END OF DATA");
  for (std::size_t i = 0; i + 1 < rcf.size(); ++i) EXPECT_EQ(rcf[i].size(), 3u * w);
  // PIVECT holds PI column by column: element 2 is PI(2,1), element 4 PI(1,2).
  std::vector<double> rhs;
  for (std::size_t i = 0; i + 1 < rvc.size(); ++i) {
    long long row = 0;
    ASSERT_TRUE(readIntegerField(rvc[i].substr(0, w), row));
    EXPECT_EQ(row, static_cast<long long>(i) + 1);
    double v = 0.0;
    ASSERT_TRUE(readRealField(rvc[i].substr(w, w), v));
    rhs.push_back(v);
  }
  EXPECT_DOUBLE_EQ(rhs[0], truth.at("PI", 1, 1) - truth.at("PI", 2, 1));
  EXPECT_EQ(rhs[1], 0.0);
  EXPECT_DOUBLE_EQ(rhs[2], truth.at("PI", 1, 2));
  EXPECT_EQ(rhs[3], -10.0);
  EXPECT_EQ(lines("d/RCFPH").size(), 2u);
  EXPECT_EQ(lines("d/RCFDT").size(), 3u);

  // A later draw without these options leaves none of them behind.
  ASSERT_EQ(runSimulator("--out d").status, 0);
  for (const char* name : {"LDATA1", "LDATA2", "PDATA1", "DDATA2", "RCFPI", "RVCDT"})
    EXPECT_FALSE(fs::exists(fs::path("d") / name)) << name;
}

TEST(Simulator, BadInputExitsWithStatusTwoAndAMessage) {
  const std::pair<const char*, const char*> cases[] = {
      {"--out d --bogus 1", "unknown option --bogus"},
      {"--out d --k 61", "K = 61"},
      {"--out d --k 0", "K = 0"},
      {"--out d --ng 151", "NG = 151"},
      {"--out d --ng 0", "NG = 0"},
      {"--out d --ng 2 --ids 1,151", "151"},
      {"--out d --ng 2 --ids 4,4", "twice"},
      {"--out d --records 0", "at least 1 record"},
      {"--out d --ng 2 --records 6300,6201", "12501"},
      {"--out d --t 12501", "12501"},
      {"--out d --m 2 --delta '1,0.5;0.4,1'", "not symmetric"},
      {"--out d --m 2 --delta '1,2;2,1'", "non-negative definite"},
      {"--out d --phi 1", "--start zero"},
      {"--out d --forecast 1-30", "no estimation record"},
      {"--out d --forecast last:31", "more than the 30"},
      {"--out d --forecast 9/1", "no group 9"},
      {"--out d --forecast 2 --forecast-y 1/2", "both name position 2"},
      {"--out d --width 7", "W = 7"},
      {"--out d --width 30 --fix-pi 1", "--width 26"},
      {"--out d --pi '1,2;3,4'", "expected 3 x 2"},
      {"--out d --seed x", "--seed"},
      {"--out d --ng", "needs a value"},
      {"--ng 2", "--out"},
      {"--out d --title 'END OF DATA'", "--title"},
      // Spellings a general option library reads its own way.
      {"--out d --interleave=yes", "takes no value"},
      {"--out d --", "--"},
      {"--out d --bogus --k x", "unknown option --bogus"},
  };
  testing::TempDir dir;
  for (auto [args, message] : cases) {
    Result r = runSimulator(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_NE(r.err.find(message), std::string::npos) << args << " gave: " << r.err;
    EXPECT_FALSE(fs::exists("d")) << args << " wrote a directory";
  }
}

TEST(Simulator, ConfigFileAndHelp) {
  testing::TempDir dir;
  testing::writeFile("sim.conf",
                     "# three groups of 12\nng 3\n--records 12\nforecast last:1\n"
                     "interleave\nseed 9\n");
  ASSERT_EQ(runSimulator("--config sim.conf --out d --seed 9").status, 0);
  ASSERT_EQ(
      runSimulator("--out e --ng 3 --records 12 --forecast last:1 --interleave --seed 9").status,
      0);
  EXPECT_EQ(readFile("d/YXDATA1"), readFile("e/YXDATA1"));
  EXPECT_EQ(readFile("d/YXDKEY"), readFile("e/YXDKEY"));

  Result help = runSimulator("--help");
  EXPECT_EQ(help.status, 0);
  std::string usage = readFile("out.txt");
  EXPECT_EQ(usage, simulate::usageText());
  // The usage describes every option the parser knows, and no other, both
  // in its synopsis and in the list below it.
  std::string synopsis = usage.substr(0, usage.find("\n  --"));
  std::set<std::string> described;
  for (std::size_t at = usage.find("\n  --"); at != std::string::npos;
       at = usage.find("\n  --", at + 1)) {
    std::size_t start = at + 5, end = usage.find_first_of(" \n", start);
    described.insert(usage.substr(start, end - start));
  }
  const auto& known = simulate::optionNames();
  EXPECT_EQ(described, std::set<std::string>(known.begin(), known.end()));
  for (const std::string& name : known) {
    EXPECT_TRUE(synopsis.find("--" + name + " ") != std::string::npos ||
                synopsis.find("--" + name + "]") != std::string::npos)
        << name;
    simulate::Options o;
    try {
      simulate::applyOption(name, name == "config" ? "sim.conf" : "1", o);
    } catch (const simulate::BadInput& e) {
      EXPECT_EQ(std::string(e.what()).find("unknown option"), std::string::npos) << name;
    }
  }
}

TEST(Simulator, NumberFieldsFitTheirWidthAndReadBack) {
  const double values[] = {0.0,
                           -0.0,
                           1.0,
                           -1.0,
                           0.1,
                           -123456.789,
                           1e-300,
                           -1e-300,
                           1.2345678901234567e308,
                           -2.2250738585072014e-308,
                           123456789012345678.0,
                           3.0000000000000004};
  for (int w = simulate::kMinWidth; w <= 80; ++w)
    for (double v : values) {
      std::string f = simulate::numberField(v, w);
      ASSERT_EQ(static_cast<int>(f.size()), w) << v;
      EXPECT_EQ(f[0], ' ') << f;
      double back = 0.0;
      ASSERT_TRUE(readRealField(f, back)) << f;
      // w - 7 columns leave at least w - 8 significant digits.
      int digits = std::min(17, w - 8);
      if (digits >= 1) {
        EXPECT_LE(std::fabs(back - v), std::fabs(v) * std::pow(10.0, 1 - digits)) << f;
      }
      if (w >= 25) {
        EXPECT_EQ(back, v) << f;
      }
    }
}

// The program's capacities: 150 groups, 12,500 records, K = 10, P = 4.
TEST(Simulator, CapacitySizedDirectory) {
  testing::TempDir dir;
  ASSERT_EQ(runSimulator("--out d --ng 150 --t 12500 --k 10 --p 4 --width 10 --interleave "
                         "--forecast-y last:2 --forecast 40")
                .status,
            0);
  std::vector<Key> k = keys("d/YXDKEY");
  ASSERT_EQ(k.size(), 12500u);
  std::map<int, int> perGroup;
  for (const Key& key : k) ++perGroup[key.id];
  ASSERT_EQ(perGroup.size(), 150u);
  EXPECT_EQ(perGroup[1], 84);  // 12500 = 50 * 84 + 100 * 83
  EXPECT_EQ(perGroup[150], 83);
  EXPECT_EQ(lines("d/YXDATA1").size(), 12501u);
  EXPECT_EQ(lines("d/YXDATA2").size(), 12501u);
  EXPECT_EQ(lines("d/YXDATA2")[1].size(), 20u);  // y and x(2..8) on the first line, x(9..10) here
  EXPECT_EQ(lines("d/ZDATA1").size(), 12501u);
  EXPECT_FALSE(fs::exists("d/ZDATA2"));
}

// The example directory is what the command in its README makes today.
TEST(Simulator, ExampleDirectoryMatchesTheCommandInItsReadme) {
  const fs::path example = fs::path(KOVA_SOURCE_DIR) / "examples" / "simulated";
  std::string command;
  for (const std::string& line : lines(example / "README.md"))
    if (line.rfind("build/tools/kova_simulate ", 0) == 0) command = line;
  ASSERT_FALSE(command.empty()) << "no command in the README";
  const std::string out = "--out examples/simulated ";
  std::size_t at = command.find(out);
  ASSERT_NE(at, std::string::npos);
  std::string args = command.substr(0, at) + "--out d " + command.substr(at + out.size());
  args = args.substr(std::string("build/tools/kova_simulate ").size());
  testing::TempDir dir;
  ASSERT_EQ(runSimulator(args).status, 0);
  std::size_t files = 0;
  for (const auto& entry : fs::directory_iterator("d")) {
    std::string name = entry.path().filename().string();
    EXPECT_EQ(readFile(entry.path()), readFile(example / name))
        << name << " differs: regenerate the example";
    ++files;
  }
  EXPECT_EQ(files + 1, static_cast<std::size_t>(std::distance(fs::directory_iterator(example),
                                                              fs::directory_iterator{})));
}

}  // namespace
}  // namespace kova
