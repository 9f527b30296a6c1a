// The data set-up: field layout and continuation files, leading ones,
// forecast records, default and user z-vectors, the L-matrix, restrictions,
// the count checks, and the scratch files it leaves for each group.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <sstream>

#include "data/data_set_up.h"
#include "data/group_data.h"
#include "io/console.h"
#include "io/fortran_io.h"
#include "io/record_io.h"
#include "io/stop.h"
#include "support/temp_dir.h"

namespace kova {
namespace {

constexpr int kLog = 102;

std::string field(const std::string& text, int w = 20) {
  return std::string(w - std::min<int>(w, text.size()), ' ') + text;
}

std::string row(std::initializer_list<std::string> texts, int w = 20) {
  std::string line;
  for (const std::string& t : texts) line += field(t, w);
  return line;
}

struct Record {
  int group;            // group position 1..NG
  std::string options;  // "NN", "F ", "YF"
};

class DataSetUpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(openUnit(kLog, "KOVALOG", "FORMATTED", "UNKNOWN"), 0);
    fillFixedFiles(files);
  }

  // Key arrays as the key-file reader leaves them: DKEY sorted by group,
  // DPOINT the file positions, YFOPTS in file order.
  void keysFor(const std::vector<Record>& records, int ng) {
    NG = ng;
    std::vector<int> ids(ng);
    for (int g = 0; g < ng; ++g) ids[g] = 10 + g;
    buildScratchNames(files, ng, ids.data(), kLog);
    dkey.clear();
    dpoint.clear();
    yfopts.clear();
    for (const Record& r : records) yfopts.push_back({r.options[0], r.options[1]});
    for (int g = 1; g <= ng; ++g) {
      groups.keys[g - 1] = 0;
      groups.estimationRecords[g - 1] = groups.forecastRecords[g - 1] = 0;
      for (std::size_t i = 0; i < records.size(); ++i) {
        if (records[i].group != g) continue;
        dkey.push_back(ids[g - 1]);
        dpoint.push_back(static_cast<int>(i) + 1);
        ++groups.keys[g - 1];
        ++(records[i].options[0] == 'N' ? groups.estimationRecords : groups.forecastRecords)[g - 1];
      }
    }
    settings.N = static_cast<int>(records.size());
  }

  void run() {
    xBlock.assign(60 * 200, -1.0);
    zBlock.assign(60 * 200, -1.0);
    yBlock.assign(200, -1.0);
    lMatrix.assign(30 * 30, -1.0);
    phi.assign(16 * 16, 0.0);
    delta.assign(16 * 16, 0.0);
    arrays.yBlock = yBlock.data();
    arrays.xBlock = Mat{xBlock.data(), 60, settings.K, 200};
    arrays.zBlock = Mat{zBlock.data(), 60, settings.P, 200};
    arrays.L = Mat{lMatrix.data(), 30, settings.K, settings.M};
    arrays.phi = Mat{phi.data(), settings.M, settings.M, settings.M};
    arrays.delta = Mat{delta.data(), settings.M, settings.M, settings.M};
    KeyArrays keys{dkey.data(), dpoint.data(), yfopts};
    SETDAT(settings, keys, groups, NG, files, arrays, *restrictions, names, ready1, ready2, kLog);
  }

  std::vector<std::vector<double>> records(Family family, int g, int length) {
    const NamedUnit& f = files.scratch(family, g);
    EXPECT_EQ(openUnit(f.unit, f.name, "UNFORMATTED", "OLD"), 0) << f.name;
    std::vector<std::vector<double>> out;
    std::vector<double> values(length);
    while (readDoubles(f.unit, values.data(), length) == 0) out.push_back(values);
    closeUnit(f.unit, "KEEP");
    return out;
  }

  std::string log() {
    flushAllUnits();
    return testing::readFile("KOVALOG");
  }

  testing::TempDir dir;
  std::ostringstream screen;
  ConsoleRedirect redirect{screen};
  FileTable files;
  GroupTable groups;
  int NG = 0;
  DataSetUpSettings settings;
  std::vector<int> dkey, dpoint;
  std::vector<std::array<char, 2>> yfopts;
  std::vector<double> xBlock, zBlock, yBlock, lMatrix, phi, delta;
  DataSetUpArrays arrays;
  std::unique_ptr<Restrictions> restrictions = std::make_unique<Restrictions>();
  VariableNames names;
  bool ready1 = false, ready2 = false;
};

TEST_F(DataSetUpTest, RecordThatFitsOneLineWithoutLeadingOnes) {
  settings = {.K = 3, .P = 1, .M = 3, .width = 20, .leadingOnes = false};
  keysFor({{1, "NN"}, {1, "NN"}}, 1);
  testing::writeFile("YXDATA1", row({"Y", "A", "B", "C"}) + "\n" + row({"1", "2", "3", "4"}) +
                                    "\n" + row({"5", "6.5", "-7", "8E1"}) + "\n");
  run();
  EXPECT_EQ(records(Family::YDATA, 1, 1), (std::vector<std::vector<double>>{{1}, {5}}));
  EXPECT_EQ(records(Family::XDATA, 1, 3),
            (std::vector<std::vector<double>>{{2, 3, 4}, {6.5, -7, 80}}));
  // Default z-vectors: (1, 0, ..., 0), and no z file is needed.
  EXPECT_EQ(records(Family::ZDATA, 1, 1), (std::vector<std::vector<double>>{{1}, {1}}));
  EXPECT_EQ(names.y.substr(0, 20), field("Y"));
  EXPECT_EQ(names.x[2].size(), 80u);
  EXPECT_FALSE(std::filesystem::exists("YXDATA2"));
  EXPECT_EQ(groups.foundEstimation[0], 2);
  EXPECT_TRUE(ready1 && ready2);
}

TEST_F(DataSetUpTest, FifthFieldMovesToTheContinuationFile) {
  settings = {.K = 4, .P = 1, .M = 4, .width = 20, .leadingOnes = false};
  keysFor({{1, "NN"}}, 1);
  testing::writeFile("YXDATA1", row({"Y", "A", "B", "C"}) + "\n" + row({"1", "2", "3", "4"}) + "\n");
  testing::writeFile("YXDATA2", row({"D"}) + "\n" + row({"5"}) + "\n");
  run();
  EXPECT_EQ(records(Family::XDATA, 1, 4), (std::vector<std::vector<double>>{{2, 3, 4, 5}}));
  EXPECT_EQ(names.x[3].substr(0, 20), field("D"));
}

TEST_F(DataSetUpTest, LeadingOnesAreSuppliedAndNamed) {
  settings = {.K = 4, .P = 2, .M = 4, .width = 20, .leadingOnes = true, .zSource = 'U'};
  keysFor({{1, "NN"}}, 1);
  testing::writeFile("YXDATA1", row({"Y", "B", "C", "D"}) + "\n" + row({"1", "2", "3", "4"}) + "\n");
  testing::writeFile("ZDATA1", row({"Z2"}) + "\n" + row({"9"}) + "\n");
  run();
  EXPECT_EQ(records(Family::XDATA, 1, 4), (std::vector<std::vector<double>>{{1, 2, 3, 4}}));
  EXPECT_EQ(records(Family::ZDATA, 1, 2), (std::vector<std::vector<double>>{{1, 9}}));
  EXPECT_EQ(names.x[0].substr(0, 8), "CONSTANT");
  EXPECT_EQ(names.z[0].substr(0, 8), "CONSTANT");
  EXPECT_EQ(names.z[1].substr(0, 20), field("Z2"));
}

TEST_F(DataSetUpTest, LeadingOnesWithOneComponentReadOnlyY) {
  settings = {.K = 1, .P = 1, .M = 1, .width = 10, .leadingOnes = true, .zSource = 'U'};
  keysFor({{1, "NN"}}, 1);
  testing::writeFile("YXDATA1", field("Y", 10) + "\n" + field("2.5", 10) + field("99", 10) + "\n");
  run();
  EXPECT_EQ(records(Family::YDATA, 1, 1), (std::vector<std::vector<double>>{{2.5}}));
  EXPECT_EQ(records(Family::XDATA, 1, 1), (std::vector<std::vector<double>>{{1}}));
  EXPECT_FALSE(std::filesystem::exists("ZDATA1"));
}

TEST_F(DataSetUpTest, ForecastRecordsWithAndWithoutY) {
  settings = {.K = 2, .P = 1, .M = 2, .width = 20, .leadingOnes = true};
  // Two groups interleaved in the file; group 2's forecasts come first.
  keysFor({{2, "F "}, {1, "NN"}, {2, "NN"}, {1, "YF"}, {2, "NN"}}, 2);
  testing::writeFile("YXDATA1", row({"Y", "X"}) + "\n" + row({"", "10"}) + "\n" +
                                    row({"1", "11"}) + "\n" + row({"2", "12"}) + "\n" +
                                    row({"3", "13"}) + "\n" + row({"4", "14"}) + "\n");
  run();
  EXPECT_EQ(records(Family::YDATA, 1, 1), (std::vector<std::vector<double>>{{1}}));
  EXPECT_EQ(records(Family::YFCAST, 1, 1), (std::vector<std::vector<double>>{{3}}));
  EXPECT_EQ(records(Family::YFCAST, 2, 1), (std::vector<std::vector<double>>{{-999999.0}}));
  EXPECT_EQ(records(Family::XFCAST, 2, 2), (std::vector<std::vector<double>>{{1, 10}}));
  EXPECT_EQ(records(Family::YDATA, 2, 1), (std::vector<std::vector<double>>{{2}, {4}}));
  // DKEY and DPOINT come back as they were handed in.
  EXPECT_EQ(dkey, (std::vector<int>{10, 10, 11, 11, 11}));
  EXPECT_EQ(dpoint, (std::vector<int>{2, 4, 1, 3, 5}));

  // GETDTA loads the same records back into its columns.
  std::vector<double> y(2), x(2 * 2), z(2), yF(1), xF(2), zF(1);
  GroupData data{2, 1, 2, 1, y.data(), Mat{x.data(), 2, 2, 2}, Mat{z.data(), 1, 1, 2},
                 yF.data(), Mat{xF.data(), 2, 2, 1}, Mat{zF.data(), 1, 1, 1}};
  GETDTA(data, files, 2, kLog);
  EXPECT_EQ(y, (std::vector<double>{2, 4}));
  EXPECT_EQ(x, (std::vector<double>{1, 12, 1, 14}));
  EXPECT_EQ(yF[0], -999999.0);
}

TEST_F(DataSetUpTest, BlocksOfRecordsRouteEveryRecordInFileOrder) {
  settings = {.K = 2, .P = 1, .M = 2, .width = 8, .leadingOnes = true, .blockRecords = 7};
  std::vector<Record> recs;
  std::string text = row({"Y", "X"}, 8) + "\n";
  for (int i = 0; i < 50; ++i) {
    recs.push_back({1 + i % 3, "NN"});
    text += row({std::to_string(i), std::to_string(100 + i)}, 8) + "\n";
  }
  keysFor(recs, 3);
  testing::writeFile("YXDATA1", text);
  run();
  for (int g = 1; g <= 3; ++g) {
    auto ys = records(Family::YDATA, g, 1);
    ASSERT_EQ(static_cast<int>(ys.size()), groups.estimationRecords[g - 1]);
    for (std::size_t j = 0; j < ys.size(); ++j) EXPECT_EQ(ys[j][0], (g - 1) + 3.0 * j);
  }
}

TEST_F(DataSetUpTest, DefaultLMatrixIsTheIdentityOnlyWhenMEqualsK) {
  settings = {.K = 3, .P = 1, .M = 3, .width = 20, .leadingOnes = true};
  keysFor({{1, "NN"}}, 1);
  testing::writeFile("YXDATA1", row({"Y", "A", "B"}) + "\n" + row({"1", "2", "3"}) + "\n");
  run();
  for (int i = 1; i <= 3; ++i)
    for (int j = 1; j <= 3; ++j) EXPECT_EQ(arrays.L(i, j), i == j ? 1.0 : 0.0);
  settings.M = 2;
  EXPECT_THROW(run(), RunStopped);
  EXPECT_NE(log().find("\nIN SUBROUTINE SETDAT, FOR GENERATING THE DEFAULT LU-MATRIX, THE "
                       "DIMENSION M IS NOT EQUAL TO THE DIMENSION K.\n PROGRAM STOPS.\n"),
            std::string::npos);
}

TEST_F(DataSetUpTest, UserLMatrixAndStartingValuesWithContinuation) {
  settings = {.K = 2, .P = 1, .M = 5, .width = 20, .leadingOnes = true, .lSource = 'U',
              .phiSource = 'U', .deltaSource = 'U'};
  keysFor({{1, "NN"}, {2, "NN"}}, 2);
  testing::writeFile("YXDATA1", row({"Y", "X"}) + "\n" + row({"1", "2"}) + "\n" + row({"3", "4"}) + "\n");
  testing::writeFile("LDATA1", row({"1", "2", "3", "4"}) + "\n" + row({"6", "7", "8", "9"}) + "\n");
  testing::writeFile("LDATA2", row({"5"}) + "\n" + row({"10"}) + "\n");
  std::string p1, p2, d1 = row({"0.25"}) + "\n", d2;
  for (int i = 1; i <= 5; ++i) {
    p1 += row({std::to_string(i), "0", "0", "0"}) + "\n";
    p2 += row({std::to_string(10 * i)}) + "\n";
    d1 += row({"0", std::to_string(i), "0", "0"}) + "\n";
    d2 += row({"-" + std::to_string(i)}) + "\n";
  }
  testing::writeFile("PDATA1", p1);
  testing::writeFile("PDATA2", p2);
  testing::writeFile("DDATA1", d1);
  testing::writeFile("DDATA2", d2);
  run();
  EXPECT_EQ(arrays.L(1, 5), 5.0);
  EXPECT_EQ(arrays.L(2, 1), 6.0);
  EXPECT_EQ(arrays.L(2, 5), 10.0);
  for (int g = 1; g <= 2; ++g) {
    auto phiRecord = records(Family::PHDATG, g, 25);
    ASSERT_EQ(phiRecord.size(), 1u);
    EXPECT_EQ(phiRecord[0][1], 2.0);        // PHI(2,1): column order
    EXPECT_EQ(phiRecord[0][4 * 5 + 2], 30.0);  // PHI(3,5) from PDATA2
    const NamedUnit& dt = files.scratch(Family::DTDATG, g);
    ASSERT_EQ(openUnit(dt.unit, dt.name, "UNFORMATTED", "OLD"), 0);
    double sigma2 = 0;
    std::vector<double> d(25);
    EXPECT_EQ(readDoubles(dt.unit, &sigma2, 1), 0);
    EXPECT_EQ(readDoubles(dt.unit, d.data(), 25), 0);
    closeUnit(dt.unit, "KEEP");
    EXPECT_EQ(sigma2, 0.25);
    EXPECT_EQ(d[1 * 5 + 1], 2.0);   // DELTA(2,2)
    EXPECT_EQ(d[4 * 5 + 3], -4.0);  // DELTA(4,5) from DDATA2
  }
}

TEST_F(DataSetUpTest, RestrictionFilesEndLinesAndLastEntryWins) {
  settings = {.K = 2, .P = 2, .M = 2, .width = 10, .leadingOnes = true, .phiRows = 0,
              .piRows = 2, .deltaRows = 1};
  keysFor({{1, "NN"}}, 1);
  testing::writeFile("YXDATA1", row({"Y", "X"}, 10) + "\n" + row({"1", "2"}, 10) + "\n");
  testing::writeFile("RCFPI", row({"1", "4", "0.5"}, 10) + "\n" + row({"2", "1", "3"}, 10) +
                                  "\n" + row({"1", "4", "-1"}, 10) + "\nDATA end OF\n");
  testing::writeFile("RVCPI", row({"2", "7"}, 10) + "\nend of data\n");
  testing::writeFile("RCFDT", "END OF DATA\n");
  testing::writeFile("RVCDT", "END OF DATA\n");
  run();
  Mat pi = restrictions->pi.coefficients();
  EXPECT_EQ(pi.cols, 4);
  EXPECT_EQ(pi(1, 4), -1.0);
  EXPECT_EQ(pi(2, 1), 3.0);
  EXPECT_EQ(pi(1, 1), 0.0);
  EXPECT_EQ(restrictions->pi.vector[1], 7.0);
  EXPECT_EQ(restrictions->delta.cols, 3);
  EXPECT_EQ(restrictions->delta.coefficients()(1, 1), 0.0);
  EXPECT_FALSE(std::filesystem::exists("RCFPH"));
}

TEST_F(DataSetUpTest, RestrictionFileFaultsStopWithTheirMessages) {
  settings = {.K = 2, .P = 1, .M = 2, .width = 10, .leadingOnes = true, .phiRows = 1};
  keysFor({{1, "NN"}}, 1);
  testing::writeFile("YXDATA1", row({"Y", "X"}, 10) + "\n" + row({"1", "2"}, 10) + "\n");
  testing::writeFile("RVCPH", "END OF DATA\n");
  struct Case { std::string matrix; std::string message; } cases[] = {
      {row({"1", "1", "2"}, 10) + "\n", "ERROR IN READING DATA FOR RCFPHU IN SUBROUTINE SETDAT"},
      {row({"2", "1", "2"}, 10) + "\nEND OF DATA\n",
       "IN SUBROUTINE SETDAT, A ROW INDEX IN FILE RCFPH IS TOO LARGE."},
      {row({"1", "5", "2"}, 10) + "\nEND OF DATA\n",
       "IN SUBROUTINE SETDAT, A COLUMN INDEX IN FILE RCFPH IS TOO LARGE."},
      {row({"0", "1", "2"}, 10) + "\nEND OF DATA\n",
       "ERROR IN READING DATA FOR RCFPHU IN SUBROUTINE SETDAT"},
      {row({"1", "1", "x"}, 10) + "\nEND OF DATA\n",
       "ERROR IN READING DATA FOR RCFPHU IN SUBROUTINE SETDAT"},
      {"End Of Data\n", "CTI--UNACCEPTABLE CHARACTER IN STRING.  PROGRAM STOPS."},
  };
  for (const Case& c : cases) {
    testing::writeFile("RCFPH", c.matrix);
    closeAllUnits();
    ASSERT_EQ(openUnit(kLog, "KOVALOG", "FORMATTED", "UNKNOWN"), 0);
    rewindUnit(kLog);
    endFileUnit(kLog);
    EXPECT_THROW(run(), RunStopped) << c.message;
    EXPECT_NE(log().find(c.message), std::string::npos) << c.message << "\n" << log();
  }
}

TEST_F(DataSetUpTest, CountMismatchStopsAfterTheScratchFilesAreWritten) {
  settings = {.K = 2, .P = 1, .M = 2, .width = 20, .leadingOnes = true};
  keysFor({{1, "NN"}, {1, "NN"}}, 1);
  groups.estimationRecords[0] = 3;  // the forecast index expects one more
  testing::writeFile("YXDATA1", row({"Y", "X"}) + "\n" + row({"1", "2"}) + "\n" + row({"3", "4"}) + "\n");
  EXPECT_THROW(run(), RunStopped);
  EXPECT_NE(log().find("IN SUBROUTINE SETDAT, DISCREPENCY OCCURS BETWEEN DATA COUNTS IN A GROUP "
                       "-- ERROR POSSIBLY OCCURS IN ARRAY YFOPTS."),
            std::string::npos);
  closeAllUnits();
  EXPECT_EQ(records(Family::YDATA, 1, 1).size(), 2u);
}

TEST_F(DataSetUpTest, ShortDataFileAndNonNumbersNameFileLineAndField) {
  settings = {.K = 3, .P = 1, .M = 3, .width = 20, .leadingOnes = true};
  keysFor({{1, "NN"}, {1, "NN"}}, 1);
  testing::writeFile("YXDATA1", row({"Y", "A", "B"}) + "\n" + row({"1", "2", "3"}) + "\n");
  EXPECT_THROW(run(), RunStopped);
  EXPECT_NE(log().find(" IN SUBROUTINE SETDAT, LINE 3 OF FILE YXDATA1 IS MISSING: THE FILE ENDS "
                       "BEFORE IT.\n PROGRAM STOPS.\n"),
            std::string::npos)
      << log();
  testing::writeFile("YXDATA1", row({"Y", "A", "B"}) + "\n" + row({"1", "2", "3"}) + "\n" +
                                    row({"1", "2,5", "3"}) + "\n");
  closeAllUnits();
  ASSERT_EQ(openUnit(kLog, "KOVALOG", "FORMATTED", "UNKNOWN"), 0);
  EXPECT_THROW(run(), RunStopped);
  EXPECT_NE(log().find(" IN SUBROUTINE SETDAT, FIELD 2 (COLUMNS 21-40) OF LINE 3 OF FILE YXDATA1 "
                       "IS NOT A NUMBER: '2,5'."),
            std::string::npos)
      << log();
}

// A block's lines are all read before their fields: the message must still
// name the field's own line, in either block and in every file.
TEST_F(DataSetUpTest, NonNumberInABlockNamesItsOwnLine) {
  settings = {.K = 4, .P = 1, .M = 4, .width = 20, .leadingOnes = false, .zSource = 'U'};
  keysFor(std::vector<Record>(250, {1, "NN"}), 1);
  auto file = [](const std::string& names, const std::string& values, bool faulty, int bad) {
    std::string text = names + "\n";
    for (int line = 2; line <= 251; ++line)
      text += (faulty && line == bad ? row({"x"}) : values) + "\n";
    return text;
  };
  const std::pair<std::string, int> cases[] = {
      {"YXDATA1", 2}, {"YXDATA2", 2}, {"ZDATA1", 2}, {"YXDATA2", 230}};
  for (const auto& [name, bad] : cases) {
    testing::writeFile("YXDATA1", file(row({"Y", "A", "B", "C"}), row({"1", "2", "3", "4"}),
                                       name == "YXDATA1", bad));
    testing::writeFile("YXDATA2", file(row({"D"}), row({"5"}), name == "YXDATA2", bad));
    testing::writeFile("ZDATA1", file(row({"Z"}), row({"6"}), name == "ZDATA1", bad));
    closeAllUnits();
    ASSERT_EQ(openUnit(kLog, "KOVALOG", "FORMATTED", "UNKNOWN"), 0);
    endFileUnit(kLog);
    EXPECT_THROW(run(), RunStopped);
    std::string message = " IN SUBROUTINE SETDAT, FIELD 1 (COLUMNS 1-20) OF LINE " +
                          std::to_string(bad) + " OF FILE " + name + " IS NOT A NUMBER: 'x'.";
    EXPECT_NE(log().find(message), std::string::npos) << message << "\n" << log();
  }
}

TEST_F(DataSetUpTest, DimensionsTheFixedArraysCannotHoldAreRefused) {
  keysFor({{1, "NN"}}, 1);
  testing::writeFile("YXDATA1", "Y\n1\n");
  for (DataSetUpSettings bad : {DataSetUpSettings{.K = 2, .P = 1, .M = 2, .width = 0},
                                DataSetUpSettings{.K = 31, .P = 1, .M = 2, .width = 8},
                                DataSetUpSettings{.K = 2, .P = 61, .M = 2, .width = 8},
                                DataSetUpSettings{.K = 0, .P = 1, .M = 2, .width = 8}}) {
    settings = bad;
    settings.N = 1;
    EXPECT_THROW(run(), RunStopped);
  }
}

}  // namespace
}  // namespace kova
