// IDXFC: the per-group counts and the records of the three index files, read
// back as the forecast step reads them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "forecast/forecast_index.h"
#include "input/key_file.h"
#include "io/console.h"
#include "io/file_table.h"
#include "io/fortran_io.h"
#include "io/stop.h"
#include "io/text_conversion.h"

namespace kova {
namespace {

namespace fs = std::filesystem;

constexpr int kOut = 100;
constexpr int kLog = 102;
using Records = std::vector<std::vector<std::int32_t>>;

class ForecastIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(openUnit(kOut, "KOVAOUT", "FORMATTED", "UNKNOWN"), 0);
    ASSERT_EQ(openUnit(kLog, "KOVALOG", "FORMATTED", "UNKNOWN"), 0);
    keys_ = std::make_unique<KeyTable>();
    files_ = std::make_unique<FileTable>();
    fillFixedFiles(*files_);
  }
  void TearDown() override {
    closeAllUnits();
  }

  // Reads the key file through GETKEY, names the scratch files and indexes.
  // True when the run was stopped.
  bool index(const std::string& keyLines, int T) {
    std::ofstream("YXDKEY") << keyLines << "END OF DATA\n";
    bool stopped = false;
    ConsoleRedirect redirect(console_);
    try {
      GETKEY((*files_)[Fixed::YXDKEY], T, *keys_, 150, 150, 12500, kOut, kLog);
      buildScratchNames(*files_, keys_->NG, keys_->groupId.data(), kLog);
      IDXFC(*keys_, *files_, estimation_, forecast_, kLog);
    } catch (const RunStopped&) {
      stopped = true;
    }
    flushAllUnits();
    return stopped;
  }

  Records records(Family family, int g) {
    const NamedUnit& file = files_->scratch(family, g);
    Records out;
    EXPECT_EQ(openUnit(file.unit, file.name, "UNFORMATTED", "OLD"), 0);
    std::vector<unsigned char> payload;
    while (readRecord(file.unit, payload) == 0) {
      std::vector<std::int32_t> values(payload.size() / 4);
      std::memcpy(values.data(), payload.data(), values.size() * 4);
      EXPECT_EQ(payload.size() % 4, 0u);
      out.push_back(values);
    }
    closeUnit(file.unit, "KEEP");
    return out;
  }

  std::unique_ptr<KeyTable> keys_;
  std::unique_ptr<FileTable> files_;
  int estimation_[kMaxGroups] = {};
  int forecast_[kMaxGroups] = {};
  std::ostringstream console_;

 private:
  testing::TempDir dir_;
};

TEST_F(ForecastIndexTest, ForecastRunBetweenEstimationRecords) {
  ASSERT_FALSE(index("1\n1 FY\n1 F\n1\n", 4));
  EXPECT_EQ(estimation_[0], 2);
  EXPECT_EQ(forecast_[0], 2);
  EXPECT_EQ(records(Family::YFCIDX, 1), (Records{{1}, {0}}));
  EXPECT_EQ(records(Family::FCLOWIDX, 1), (Records{{1, 1}, {1, 1}}));
  EXPECT_EQ(records(Family::FCHIGHDX, 1), (Records{{2, 4}, {2, 4}}));
  EXPECT_EQ(console_.str(), "");
}

TEST_F(ForecastIndexTest, RunsAtTheStartMiddleAndEndOfInterleavedGroups) {
  // File positions: 1:5  2:2F  3:5FY  4:2  5:5F  6:5  7:2F  8:5F
  ASSERT_FALSE(index("5\n2 F\n5 FY\n2\n5 F\n5\n2 F\n5 F\n", 8));
  ASSERT_EQ(keys_->NG, 2);
  // Group 2 (position 1): records at file positions 2, 4, 7 = F, NN, F.
  EXPECT_EQ(estimation_[0], 1);
  EXPECT_EQ(forecast_[0], 2);
  EXPECT_EQ(records(Family::YFCIDX, 1), (Records{{0}, {0}}));
  EXPECT_EQ(records(Family::FCLOWIDX, 1), (Records{{0, -999999}, {1, 4}}));
  EXPECT_EQ(records(Family::FCHIGHDX, 1), (Records{{1, 4}, {999999, 999999}}));
  // Group 5 (position 2): file positions 1, 3, 5, 6, 8 = NN, YF, F, NN, F.
  EXPECT_EQ(estimation_[1], 2);
  EXPECT_EQ(forecast_[1], 3);
  EXPECT_EQ(records(Family::YFCIDX, 2), (Records{{1}, {0}, {0}}));
  EXPECT_EQ(records(Family::FCLOWIDX, 2), (Records{{1, 1}, {1, 1}, {2, 6}}));
  EXPECT_EQ(records(Family::FCHIGHDX, 2), (Records{{2, 6}, {2, 6}, {999999, 999999}}));
}

TEST_F(ForecastIndexTest, GroupStartingWithForecasts) {
  ASSERT_FALSE(index("3 F\n3 YF\n3\n3\n", 4));
  EXPECT_EQ(records(Family::FCLOWIDX, 1), (Records{{0, -999999}, {0, -999999}}));
  EXPECT_EQ(records(Family::FCHIGHDX, 1), (Records{{1, 3}, {1, 3}}));
  EXPECT_EQ(records(Family::YFCIDX, 1), (Records{{0}, {1}}));
}

TEST_F(ForecastIndexTest, GroupEndingWithForecasts) {
  ASSERT_FALSE(index("3\n3\n4\n3 F\n3 F\n", 5));
  EXPECT_EQ(estimation_[0], 2);
  EXPECT_EQ(forecast_[0], 2);
  EXPECT_EQ(records(Family::FCLOWIDX, 1), (Records{{2, 2}, {2, 2}}));
  EXPECT_EQ(records(Family::FCHIGHDX, 1), (Records{{999999, 999999}, {999999, 999999}}));
}

TEST_F(ForecastIndexTest, GroupOfForecastsOnly) {
  ASSERT_FALSE(index("9 F\n9 FY\n", 2));
  EXPECT_EQ(estimation_[0], 0);
  EXPECT_EQ(forecast_[0], 2);
  EXPECT_EQ(records(Family::FCLOWIDX, 1), (Records{{0, -999999}, {0, -999999}}));
  EXPECT_EQ(records(Family::FCHIGHDX, 1), (Records{{999999, 999999}, {999999, 999999}}));
}

TEST_F(ForecastIndexTest, GroupWithoutForecastsGetsEmptyFiles) {
  ASSERT_FALSE(index("1\n2\n1\n2 F\n", 4));
  EXPECT_EQ(estimation_[0], 2);
  EXPECT_EQ(forecast_[0], 0);
  for (Family f : {Family::YFCIDX, Family::FCLOWIDX, Family::FCHIGHDX}) {
    EXPECT_TRUE(fs::exists(trimmed(files_->scratch(f, 1).name)));
    EXPECT_TRUE(records(f, 1).empty());
  }
  EXPECT_EQ(records(Family::YFCIDX, 2), (Records{{0}}));
}

TEST_F(ForecastIndexTest, ExampleKeyFile) {
  std::ifstream in(std::string(KOVA_TEST_DATA) + "/input/YXDKEY.example");
  std::stringstream text;
  text << in.rdbuf();
  ASSERT_FALSE(index(text.str(), 12));
  ASSERT_EQ(keys_->NG, 3);
  EXPECT_EQ((std::vector<int>(estimation_, estimation_ + 3)), (std::vector<int>{2, 2, 3}));
  EXPECT_EQ((std::vector<int>(forecast_, forecast_ + 3)), (std::vector<int>{2, 2, 1}));
  // Group 7: file positions 3, 6, 9, 12 = NN, YF, NN, NN.
  EXPECT_EQ(records(Family::YFCIDX, 3), (Records{{1}}));
  EXPECT_EQ(records(Family::FCLOWIDX, 3), (Records{{1, 3}}));
  EXPECT_EQ(records(Family::FCHIGHDX, 3), (Records{{2, 9}}));
}

TEST_F(ForecastIndexTest, RecordsAreFramedAsGfortranFramesThem) {
  ASSERT_FALSE(index("1\n1 FY\n1\n", 3));
  std::ifstream in("FCLOWIDX.001", std::ios::binary);
  std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), {});
  const std::vector<unsigned char> expected = {8, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 8, 0, 0, 0};
  EXPECT_EQ(bytes, expected);
}

TEST_F(ForecastIndexTest, LogsEveryFileOperation) {
  ASSERT_FALSE(index("1 F\n1\n", 2));
  std::ifstream in("KOVALOG");
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find(" FROM SUBROUTINE IDXFC: NORMAL RETURN FROM OPENING OF FILE "
                            "YFCIDX.001.  IOCOND =    0."),
            std::string::npos);
  EXPECT_NE(text.str().find(" FROM SUBROUTINE IDXFC: NORMAL RETURN FROM CLOSING OF FILE "
                            "FCHIGHDX.001.  IOCOND =    0."),
            std::string::npos);
}

TEST_F(ForecastIndexTest, UnwritableIndexFileStopsTheRun) {
  // A directory in the file's place: the open fails and the run goes on, but
  // the first record to it cannot be written, which ends the run.
  fs::create_directory("FCLOWIDX.001");
  ASSERT_TRUE(index("1\n1 F\n1\n", 3));
  const std::string text = console_.str();
  EXPECT_NE(text.find(" FROM SUBROUTINE IDXFC: ERROR IN OPENING OF FILE FCLOWIDX.001, WITH "
                      "IOCOND ="),
            std::string::npos);
  EXPECT_NE(text.find(".  PROGRAM CONTINUES."), std::string::npos);
  EXPECT_NE(text.find(" FROM SUBROUTINE IDXFC: ERROR IN WRITING OF FILE FCLOWIDX.001, WITH "
                      "IOCOND = 5001.  PROGRAM STOPS."),
            std::string::npos);
}

}  // namespace
}  // namespace kova
