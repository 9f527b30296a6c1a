// The result tables on a disk that refuses their bytes (here: a file-size
// limit, which fails writes as a full disk does): the run stops naming the
// table, whether the write fails as rows stream out or only when the
// tables are closed, and leaves no table behind. The tables used to be
// dropped with "PROGRAM CONTINUES" and the run ended with status 0.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <vector>

#include "data/data_set_up.h"
#include "io/stop.h"
#include "report/report_test_support.h"
#include "report/result_tables.h"

namespace kova {
namespace {

namespace fs = std::filesystem;
using reporttest::capture;

// Limits the size of every file this process writes for its lifetime;
// SIGXFSZ is ignored, so a write past it fails with EFBIG.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &previous_);
    rlimit limit = previous_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &previous_);
    std::signal(SIGXFSZ, previousHandler_);
  }

 private:
  rlimit previous_{};
  void (*previousHandler_)(int) = nullptr;
};

std::vector<std::string> tablesLeft() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator("."))
    if (entry.path().filename().string().starts_with("KOVA_"))
      names.push_back(entry.path().filename().string());
  return names;
}

TEST(ResultTableWrites, TableTheDiskRefusesStopsTheRun) {
  VariableNames names;
  names.y = "Y";
  names.x = {"X1"};
  constexpr int T = 20000;  // rows enough to fill the tables' buffer
  std::vector<double> beta(T, 0.125);

  // Rows of an earlier pass stream to disk: the write that fills the
  // buffer fails.
  std::vector<std::string> left;
  auto streaming = capture([&](int, int log) {
    ResultTables tables;
    tables.start(names, 1, log);
    FileSizeLimit limit(64 * 1024);
    EXPECT_THROW(tables.addBeta(1, 7, 0, false, Mat{beta.data(), 1, 1, T}, Mat{}), RunStopped);
    left = tablesLeft();
  });
  EXPECT_EQ(streaming.console,
            "\n THE RESULT TABLES KOVA_*.csv CANNOT BE WRITTEN (KOVA_BETA.csv.passes.tmp: File "
            "too large).  PROGRAM STOPS.\n");
  EXPECT_NE(streaming.log.find("CANNOT BE WRITTEN (KOVA_BETA.csv.passes.tmp"), std::string::npos);
  EXPECT_EQ(left, std::vector<std::string>{});

  // A few rows wait in the buffers until the end: the close finds it.
  auto closing = capture([&](int, int log) {
    ResultTables tables;
    tables.start(names, 1, log);
    tables.addBeta(1, 7, 0, true, Mat{beta.data(), 1, 1, 2}, Mat{});
    FileSizeLimit limit(16);
    EXPECT_THROW(tables.commit(), RunStopped);
    left = tablesLeft();
  });
  EXPECT_NE(closing.console.find(" THE RESULT TABLES KOVA_*.csv CANNOT BE WRITTEN (KOVA_"),
            std::string::npos)
      << closing.console;
  EXPECT_NE(closing.console.find("File too large).  PROGRAM STOPS."), std::string::npos);
  EXPECT_EQ(left, std::vector<std::string>{});
}

}  // namespace
}  // namespace kova
