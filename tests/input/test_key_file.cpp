// GETKEY: the key-file format, the two sorts, the group tables and every
// message with its stop-or-continue rule.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "input/key_file.h"
#include "io/console.h"
#include "io/fortran_io.h"
#include "io/stop.h"
#include "io/text_conversion.h"

namespace kova {
namespace {

namespace fs = std::filesystem;

constexpr int kOut = 100;
constexpr int kLog = 102;
const NamedUnit kKeyFile{padded("YXDKEY", 12), 106};

std::string slurp(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Each case runs in a fresh directory with the report and log files open.
class KeyFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(openUnit(kOut, "KOVAOUT", "FORMATTED", "UNKNOWN"), 0);
    ASSERT_EQ(openUnit(kLog, "KOVALOG", "FORMATTED", "UNKNOWN"), 0);
    keys_ = std::make_unique<KeyTable>();
  }
  void TearDown() override {
    closeAllUnits();
  }

  // Writes the key file and runs GETKEY; true when the run was stopped.
  bool run(const std::string& text, int T, int keyCapacity = 12500, int maxGid = 150) {
    std::ofstream(kKeyFile.name.substr(0, 6), std::ios::binary) << text;
    return runExisting(T, keyCapacity, maxGid);
  }
  bool runExisting(int T, int keyCapacity = 12500, int maxGid = 150) {
    bool stopped = false;
    {
      ConsoleRedirect redirect(console_);
      try {
        GETKEY(kKeyFile, T, *keys_, maxGid, 150, keyCapacity, kOut, kLog);
      } catch (const RunStopped&) {
        stopped = true;
      }
    }
    flushAllUnits();
    return stopped;
  }
  std::string log() const { return slurp("KOVALOG"); }
  std::string out() const { return slurp("KOVAOUT"); }
  std::string consoleText() const { return console_.str(); }
  std::vector<int> dkey() const { return {keys_->DKEY.begin(), keys_->DKEY.begin() + keys_->count}; }
  std::vector<int> dpoint() const {
    return {keys_->DPOINT.begin(), keys_->DPOINT.begin() + keys_->count};
  }

  std::unique_ptr<KeyTable> keys_;
  std::ostringstream console_;

 private:
  testing::TempDir dir_;
};

const std::string kOpenLine =
    " FROM SUBROUTINE GETKEY: NORMAL RETURN FROM OPENING OF FILE YXDKEY.  IOCOND =    0.";
const std::string kCloseLine =
    " FROM SUBROUTINE GETKEY: NORMAL RETURN FROM CLOSING OF FILE YXDKEY.  IOCOND =    0.";

TEST_F(KeyFileTest, SortsKeysIntoGroupsInFileOrder) {
  ASSERT_FALSE(run("3\n1 F\n3\n1 FY\nEND OF DATA\n", 4));
  EXPECT_EQ(keys_->NG, 2);
  EXPECT_EQ(keys_->groupId[0], 1);
  EXPECT_EQ(keys_->groupId[1], 3);
  EXPECT_EQ(keys_->groupKeys[0], 2);
  EXPECT_EQ(keys_->groupKeys[1], 2);
  EXPECT_EQ(keys_->groupKeys[2], 0);
  EXPECT_EQ(dkey(), (std::vector<int>{1, 1, 3, 3}));
  EXPECT_EQ(dpoint(), (std::vector<int>{2, 4, 1, 3}));
  EXPECT_EQ(keys_->yfopt(1), "NN");
  EXPECT_EQ(keys_->yfopt(2), "F ");
  EXPECT_EQ(keys_->yfopt(3), "NN");
  EXPECT_EQ(keys_->yfopt(4), "YF");
  EXPECT_EQ(log(), "\n" + kOpenLine + "\n\n" +
                       " FROM SUBROUTINE GETKEY: NORMAL RETURN FROM REWINDING OF FILE YXDKEY.  "
                       "IOCOND =    0.\n\n" +
                       kCloseLine + "\n");
  EXPECT_EQ(consoleText(), "");
  EXPECT_EQ(out(), "");
}

TEST_F(KeyFileTest, RestoresFileOrderInsideLargeGroups) {
  // The heap sort scrambles equal keys; the second sort must put every
  // group's file positions back in order.
  std::string text;
  const int n = 12500;  // exactly the key capacity
  for (int i = 1; i <= n; ++i) text += std::to_string((i * 7919) % 150) + (i % 5 ? "\n" : " f\n");
  text += "end of data\n";
  ASSERT_FALSE(run(text, n));
  ASSERT_EQ(keys_->NG, 150);
  int first = 0;
  for (int g = 0; g < keys_->NG; ++g) {
    EXPECT_EQ(keys_->groupId[g], g);
    for (int i = first; i < first + keys_->groupKeys[g]; ++i) {
      EXPECT_EQ(keys_->DKEY[i], g);
      int pos = keys_->DPOINT[i];
      EXPECT_EQ((pos * 7919) % 150, g);
      if (i > first) {
        EXPECT_LT(keys_->DPOINT[i - 1], pos);
      }
    }
    first += keys_->groupKeys[g];
  }
  EXPECT_EQ(first, n);
  EXPECT_EQ(keys_->yfopt(5), "F ");
  EXPECT_EQ(keys_->yfopt(6), "NN");
}

TEST_F(KeyFileTest, ForecastLettersInEitherCase) {
  ASSERT_FALSE(run("  2 f\n2 y F\n2fy\n 1 2\nEND OF DATA\n", 4));
  EXPECT_EQ(keys_->yfopt(1), "F ");
  EXPECT_EQ(keys_->yfopt(2), "YF");
  EXPECT_EQ(keys_->yfopt(3), "YF");
  // Blanks inside the identifier are ignored: "1 2" is group 12.
  EXPECT_EQ(dkey(), (std::vector<int>{2, 2, 2, 12}));
  EXPECT_EQ(consoleText(), "");
}

TEST_F(KeyFileTest, YWithoutFIsCorrectedAndTheRunGoesOn) {
  ASSERT_FALSE(run("7 Y\n7\nEND OF DATA\n", 2));
  EXPECT_EQ(keys_->yfopt(1), "F ");
  EXPECT_EQ(keys_->yfopt(2), "NN");
  const std::string message =
      "\n ERROR IN FORECASTING OPTION IN KEY FILE --'Y' WITHOUT 'F'.  'F' IS ENTERED.\n"
      " PROGRAM CONTINUES.\n";
  EXPECT_EQ(consoleText(), message);
  EXPECT_NE(log().find(message), std::string::npos);
  EXPECT_NE(log().find(kCloseLine), std::string::npos);
}

TEST_F(KeyFileTest, GroupIdentifierRange) {
  ASSERT_FALSE(run("0\n150\nEND OF DATA\n", 2));
  EXPECT_EQ(keys_->NG, 2);
  EXPECT_EQ(keys_->groupId[1], 150);

  for (const char* bad : {"151\n", "-1\n"}) {
    console_.str("");
    ASSERT_TRUE(run(std::string("5\n") + bad + "END OF DATA\n", 2)) << bad;
    EXPECT_EQ(consoleText(),
              "\n ERROR IN SUBROUTINE GETKEY.  UNACCEPTABLE GROUP ID-- POSSIBLY TOO LARGE.\n"
              " PROGRAM STOPS.\n");
  }
}

TEST_F(KeyFileTest, SecondForecastLetterIsRejectedByTheConversion) {
  ASSERT_TRUE(run("2 FF\nEND OF DATA\n", 1));
  const std::string message =
      "\n FROM SUBROUTINE GETKEY: ERROR IN SUBROUTINE CTI--UNACCEPTABLE CHARACTER IN STRING.  "
      "PROGRAM STOPS.\n";
  EXPECT_EQ(consoleText(), message);
  EXPECT_NE(log().find(message), std::string::npos);
  // A forecast letter alone leaves nothing to read.
  console_.str("");
  ASSERT_TRUE(run("F\nEND OF DATA\n", 1));
  EXPECT_EQ(consoleText(),
            "\n FROM SUBROUTINE GETKEY: ERROR IN SUBROUTINECTI--ALL BLANKS IN STRING.  "
            "PROGRAM STOPS.\n");
}

TEST_F(KeyFileTest, CommentsAndBlankLinesAreNotKeys) {
  ASSERT_FALSE(run("! heading\n4\n\n12 ! comment\n   \n4 F\nEND OF DATA\n", 2));
  EXPECT_EQ(keys_->NG, 1);
  EXPECT_EQ(dkey(), (std::vector<int>{4, 4}));
  EXPECT_EQ(dpoint(), (std::vector<int>{1, 2}));
  EXPECT_EQ(keys_->yfopt(2), "F ");
}

TEST_F(KeyFileTest, WrongNumberOfKeys) {
  const std::string message =
      "\n ERROR IN KEY FILE. INCORRECT NUMBER OF KEYS.\n PROGRAM STOPS.\n";
  ASSERT_TRUE(run("1\n2\n3\n4\nEND OF DATA\n", 5));
  EXPECT_EQ(consoleText(), message);
  console_.str("");
  ASSERT_TRUE(run("1\n2\n3\n4\nEND OF DATA\n", 3));
  EXPECT_EQ(consoleText(), message);
  console_.str("");
  ASSERT_TRUE(run("END OF DATA\n", 0));
  EXPECT_EQ(consoleText(), message);
}

TEST_F(KeyFileTest, NothingAfterTheEndLineIsRead) {
  ASSERT_FALSE(run("1\n2\nEND OF DATA\n3 FF garbage\nEND OF DATA\n", 2));
  EXPECT_EQ(keys_->count, 2);
  EXPECT_EQ(consoleText(), "");
}

TEST_F(KeyFileTest, EndLineIsRecognisedBeforeAnythingElse) {
  // A line holding the three words ends the keys even inside a comment.
  ASSERT_FALSE(run("1\n! end of the data\n2\n", 1));
  EXPECT_EQ(keys_->count, 1);
}

TEST_F(KeyFileTest, MissingEndLineIsAReadingError) {
  const std::string message =
      "\n ERROR IN READING DATA IN KEY FILE IN SUBROUTINE GETKEY.  CHECK DATA AND THE TWO "
      "ENDING LINES.\n PROGRAM STOPS.\n";
  ASSERT_TRUE(run("1\n2\n", 2));
  EXPECT_EQ(consoleText(), message);
  EXPECT_NE(log().find(kCloseLine), std::string::npos);
  // "End Of Data" mixes cases within words: not an end line, and not a key.
  console_.str("");
  ASSERT_TRUE(run("1\nEnd Of Data\n", 1));
  EXPECT_NE(consoleText().find("CTI--UNACCEPTABLE CHARACTER"), std::string::npos);
}

TEST_F(KeyFileTest, LongLinesAreCutAtColumn80) {
  ASSERT_FALSE(run("5" + std::string(79, ' ') + "FF!\nEND OF DATA\n", 1));
  EXPECT_EQ(keys_->yfopt(1), "NN");
  EXPECT_EQ(keys_->DKEY[0], 5);
}

TEST_F(KeyFileTest, TooManyGroups) {
  std::string text;
  for (int id = 0; id <= 150; ++id) text += std::to_string(id) + "\n";
  ASSERT_TRUE(run(text + "END OF DATA\n", 151));
  EXPECT_EQ(consoleText(),
            "\n IN SUBROUTINE GETKEY, KEY FILE HAS TOO MANY GROUPS.\n PROGRAM STOPS.\n");
}

TEST_F(KeyFileTest, KeyCapacityShortage) {
  ASSERT_TRUE(run("1\n1\n1\n1\nEND OF DATA\n", 4, 3));
  const std::string report =
      "\n FROM THE PROGRAM REGION SUROUTINE GETKEY, THE NUMBER OF VARIABLES OF TYPE\n"
      " DKEY OR DPOINT NEEDED IS AT LEAST 4.\n\n"
      " THE NUMBER OF VARIABLES OF TYPE DKEY OR DPOINT ALLOCATED\n"
      " IS OF THE SIZE 3.\n\n PROGRAM STOPS.\n";
  EXPECT_EQ(consoleText(), report);
  EXPECT_EQ(out(), report);
  EXPECT_NE(log().find(report), std::string::npos);
}

TEST_F(KeyFileTest, ControlCharactersAreRejectedNotCrashed) {
  ASSERT_TRUE(run(std::string("1\t2\n", 4) + "END OF DATA\n", 1));
  EXPECT_NE(consoleText().find("UNACCEPTABLE CHARACTER"), std::string::npos);
  console_.str("");
  ASSERT_TRUE(run(std::string("3\0\n", 3) + "END OF DATA\n", 1));
  EXPECT_NE(consoleText().find("UNACCEPTABLE CHARACTER"), std::string::npos);
  console_.str("");
  ASSERT_TRUE(run("99999999999\nEND OF DATA\n", 1));
  EXPECT_NE(consoleText().find("UNACCEPTABLE CHARACTER"), std::string::npos);
}

TEST_F(KeyFileTest, ExampleFileMatchesItsRun) {
  fs::copy_file(fs::path(KOVA_TEST_DATA) / "input" / "YXDKEY.example", "YXDKEY");
  ASSERT_FALSE(runExisting(12));
  EXPECT_EQ(keys_->NG, 3);
  EXPECT_EQ(dkey(), (std::vector<int>{1, 1, 1, 1, 2, 2, 2, 2, 7, 7, 7, 7}));
  EXPECT_EQ(dpoint(), (std::vector<int>{1, 4, 7, 10, 2, 5, 8, 11, 3, 6, 9, 12}));
  EXPECT_EQ(keys_->firstKey(3), 8);
  EXPECT_EQ(consoleText(), "");
}

}  // namespace
}  // namespace kova
