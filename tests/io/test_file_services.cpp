// The file services, the error and shortage reports, ADDIDF and the
// deletion of scratch files: exact log lines and the stop-or-continue rule.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "io/console.h"
#include "io/error_report.h"
#include "io/file_services.h"
#include "io/file_table.h"
#include "io/fortran_io.h"
#include "io/messages.h"
#include "io/stop.h"
#include "support/temp_dir.h"

namespace kova {
namespace {

constexpr int kOut = 100;
constexpr int kLog = 102;

class ServicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(openUnit(kOut, "KOVAOUT", "FORMATTED", "UNKNOWN"), 0);
    ASSERT_EQ(openUnit(kLog, "KOVALOG", "FORMATTED", "UNKNOWN"), 0);
  }
  std::string log() {
    flushAllUnits();
    return testing::readFile("KOVALOG");
  }
  std::string out() {
    flushAllUnits();
    return testing::readFile("KOVAOUT");
  }
  testing::TempDir dir;
  std::ostringstream screen;
  ConsoleRedirect redirect{screen};
};

TEST_F(ServicesTest, SuccessfulOperationsLogOneLineEach) {
  testing::writeFile("YXDKEY", "1\n");
  int iocond = -9;
  openFile(106, kLog, "  YXDKEY    ", "FORMATTED", "OLD", iocond, "SUBROUTINE GETKEY", "STOP");
  EXPECT_EQ(iocond, 0);
  rewindFile(106, kLog, "YXDKEY", iocond, "SUBROUTINE GETKEY", "STOP");
  closeFile(106, kLog, "YXDKEY      ", "KEEP", iocond, "SUBROUTINE GETKEY", "STOP");
  EXPECT_EQ(log(),
            "\n FROM SUBROUTINE GETKEY: NORMAL RETURN FROM OPENING OF FILE YXDKEY.  IOCOND =    0.\n"
            "\n FROM SUBROUTINE GETKEY: NORMAL RETURN FROM REWINDING OF FILE YXDKEY.  IOCOND =    0.\n"
            "\n FROM SUBROUTINE GETKEY: NORMAL RETURN FROM CLOSING OF FILE YXDKEY.  IOCOND =    0.\n");
  EXPECT_EQ(screen.str(), "");
  EXPECT_TRUE(std::filesystem::exists("YXDKEY"));
}

TEST_F(ServicesTest, FailedOpenStopsOrContinuesByOption) {
  int iocond = 0;
  openFile(104, kLog, "PARAMTRS", "FORMATTED", "OLD", iocond, "SUBROUTINE GETPRM",
           "continue");
  EXPECT_EQ(iocond, 2);
  const std::string goesOn =
      "\n FROM SUBROUTINE GETPRM: ERROR IN OPENING OF FILE PARAMTRS, WITH IOCOND =    2.  "
      "PROGRAM CONTINUES.\n";
  EXPECT_EQ(log(), goesOn);
  EXPECT_EQ(screen.str(), goesOn);

  EXPECT_THROW(openFile(104, kLog, "PARAMTRS", "FORMATTED", "OLD", iocond, "SUBROUTINE GETPRM",
                        "STOP    "),
               RunStopped);
  const std::string stops =
      "\n FROM SUBROUTINE GETPRM: ERROR IN OPENING OF FILE PARAMTRS, WITH IOCOND =    2.  "
      "PROGRAM STOPS.\n";
  EXPECT_EQ(log(), goesOn + stops);
  EXPECT_EQ(screen.str(), goesOn + stops);
}

TEST_F(ServicesTest, ErrorReporterWritesUnitThenConsole) {
  reportError(" ERROR IN KEY FILE. INCORRECT NUMBER OF KEYS.", "CONTINUE", kLog);
  const std::string goesOn =
      "\n ERROR IN KEY FILE. INCORRECT NUMBER OF KEYS.\n PROGRAM CONTINUES.\n";
  EXPECT_EQ(log(), goesOn);
  EXPECT_EQ(screen.str(), goesOn);
  EXPECT_THROW(reportError(" BAD.", "please stop", kLog), RunStopped);
  EXPECT_EQ(log(), goesOn + "\n BAD.\n PROGRAM STOPS.\n");
}

TEST_F(ServicesTest, ShortageReportGoesToConsoleOutputAndLog) {
  EXPECT_THROW(reportShortage("  SUBROUTINE ALCCGR$", "REAL*8 WR$", 6500001, 6500000, kOut, kLog),
               RunStopped);
  const std::string expected =
      "\n FROM THE PROGRAM REGION SUBROUTINE ALCCGR, THE NUMBER OF VARIABLES OF TYPE\n"
      " REAL*8 WR NEEDED IS AT LEAST 6500001.\n"
      "\n THE NUMBER OF VARIABLES OF TYPE REAL*8 WR ALLOCATED\n"
      " IS OF THE SIZE 6500000.\n"
      "\n PROGRAM STOPS.\n";
  EXPECT_EQ(screen.str(), expected);
  EXPECT_EQ(out(), expected);
  EXPECT_EQ(log(), expected);
}

TEST_F(ServicesTest, ShortageReportKeepsItsFirstLineWithin80Columns) {
  std::string longCaller(90, 'C');
  EXPECT_THROW(reportShortage(longCaller, "INTEGER WI", 10, 9, kOut, kLog), RunStopped);
  std::istringstream lines(screen.str());
  std::string line;
  while (std::getline(lines, line)) EXPECT_LE(line.size(), 80u) << line;
}

TEST_F(ServicesTest, AddidfAppendsThreeDigitSuffixes) {
  struct Case { std::string name; int suffix; std::string result; } cases[] = {
      {"YDATA       ", 7, "YDATA.007   "},
      {"YDATA       ", 150, "YDATA.150   "},
      {"YDATA       ", 12, "YDATA.012   "},
      {"  XZ        ", 1, "XZ.001      "},
      {"FCLOWIDX    ", 0, "FCLOWIDX.000"},  // 8 + 4 = 12 fits exactly
  };
  for (Case& c : cases) {
    ADDIDF(c.name, c.suffix, kLog, "STOP");
    EXPECT_EQ(c.name, c.result);
  }
  EXPECT_EQ(log(), "");
}

TEST_F(ServicesTest, AddidfReportsEveryBadNameAndSuffix) {
  struct Case { std::string name; int suffix; const char* message; } cases[] = {
      {"YDATA       ", 1000,
       " IN SUBROUTINE ADDIDF, ERROR IN THE SIZE OF THE INTEGER SUFFIX -- POSSIBLY TOO LARGE."},
      {"YDATA       ", -1,
       " IN SUBROUTINE ADDIDF, ERROR IN THE SIZE OF THE INTEGER SUFFIX -- POSSIBLY TOO LARGE."},
      {"FCHIGHIDX   ", 1,
       " ERROR IN SUBROUTINE ADDIDF.  FILENM HAS TOO FEW BLANK SPACES FOR ADDING '.' AND AN "
       "INTEGER SUFFIX."},
      {"Y DATA      ", 1,
       " ERROR IN SUBROUTINE ADDIDF.  A BLANK CHARACTER APPEARS BETWEEN NON-BLANK CHARACTERS."},
      {"Y.DATA      ", 1, " ERROR IN SUBROUTINE ADDIDF.  THE CHARACTER '.' APPEARS IN FILENM."},
  };
  for (Case& c : cases) {
    std::string before = c.name;
    ADDIDF(c.name, c.suffix, kLog, "CONTINUE");
    EXPECT_EQ(c.name, before);
    EXPECT_NE(log().find(std::string("\n") + c.message + "\n PROGRAM CONTINUES.\n"),
              std::string::npos)
        << c.message;
    EXPECT_THROW(ADDIDF(c.name, c.suffix, kLog, "STOP"), RunStopped);
  }
}

TEST_F(ServicesTest, DeletingAMissingFileLogsTwoNormalReturns) {
  NamedUnit a{"XDELTA      ", 140}, b{"YSFACTR0    ", 142}, c{"YSFACTR1    ", 144};
  testing::writeFile("YSFACTR0", "old");
  FDELET(a, b, c, kLog);
  for (const char* name : {"XDELTA", "YSFACTR0", "YSFACTR1"}) {
    EXPECT_FALSE(std::filesystem::exists(name)) << name;
    EXPECT_NE(log().find(std::string(" FROM SUBROUTINE FDELET: NORMAL RETURN FROM OPENING OF FILE ") +
                         name + ".  IOCOND =    0.\n\n FROM SUBROUTINE FDELET: NORMAL RETURN FROM "
                                "CLOSING OF FILE " +
                         name + ".  IOCOND =    0.\n"),
              std::string::npos)
        << name;
  }
}

TEST_F(ServicesTest, ScratchNamesAndUnitsFollowFamilyThenGroup) {
  FileTable files;
  fillFixedFiles(files);
  EXPECT_EQ(files[Fixed::KOVAOUT].name, "KOVAOUT     ");
  EXPECT_EQ(files.unit(Fixed::SAVEDPNT), 148);
  const int ids[] = {5, 12, 150};
  buildScratchNames(files, 3, ids, kLog);
  EXPECT_EQ(files.scratch(Family::YDATA, 1).name, "YDATA.005   ");
  EXPECT_EQ(files.scratch(Family::YDATA, 2).name, "YDATA.012   ");
  EXPECT_EQ(files.scratch(Family::YDATA, 3).name, "YDATA.150   ");
  EXPECT_EQ(files.scratch(Family::YDATA, 3).unit, 302);
  EXPECT_EQ(files.scratch(Family::XDATA, 1).unit, 303);
  EXPECT_EQ(files.scratch(Family::DXZGMATS, 3).name, "DXZGMATS.150");
  EXPECT_EQ(files.scratch(Family::DXZGMATS, 3).unit, 300 + 24 * 3 + 2);
}

TEST_F(ServicesTest, EndOfRunDeletionKeepsRequestedSaveFilesAndNeverAStartFile) {
  FileTable files;
  fillFixedFiles(files);
  const int ids[] = {1, 2};
  buildScratchNames(files, 2, ids, kLog);
  EXPECT_EQ(files.scratch(Family::PSAVE, 1).name, "PSAVE.001.tmp");
  EXPECT_EQ(files.savedFile(Family::DSAVE, 2).name, "DSAVE.002   ");
  EXPECT_EQ(files.savedFile(Family::DSAVE, 2).unit, files.scratch(Family::DSAVE, 2).unit);
  // A run's own save files under their temporary names, and the start files
  // (an earlier run's) under the final ones.
  for (const char* name : {"PSAVE.001.tmp", "DSAVE.002.tmp", "BETASAV.001.tmp", "BETASAV.002.tmp",
                           "BETAVECP.002.tmp", "YDATA.001"})
    testing::writeFile(name, "new");
  for (const char* name : {"PSAVE.001", "PSAVE.002", "DSAVE.002"})
    testing::writeFile(name, "start");
  const KeptSaveFiles phiAndBeta{true, false, true};
  DELETF(files, 2, phiAndBeta, kLog);
  EXPECT_TRUE(std::filesystem::exists("PSAVE.001.tmp"));
  EXPECT_FALSE(std::filesystem::exists("DSAVE.002.tmp"));
  EXPECT_TRUE(std::filesystem::exists("BETASAV.001.tmp"));
  EXPECT_TRUE(std::filesystem::exists("BETAVECP.002.tmp"));
  EXPECT_FALSE(std::filesystem::exists("YDATA.001"));
  // A kept file is neither opened nor closed.
  EXPECT_EQ(log().find("PSAVE.001"), std::string::npos);
  // Only the kept PSAVE files are renamed; DSAVE.002 stays the start file.
  testing::writeFile("PSAVE.002.tmp", "new");
  keepSaveFiles(files, 2, phiAndBeta, kLog);
  EXPECT_EQ(testing::readFile("PSAVE.001"), "new");
  EXPECT_EQ(testing::readFile("PSAVE.002"), "new");
  EXPECT_EQ(testing::readFile("DSAVE.002"), "start");
  EXPECT_FALSE(std::filesystem::exists("PSAVE.001.tmp"));
  // The BETA save files likewise; BETAVECP.001, which no pooled phase
  // wrote, is not asked for.
  EXPECT_EQ(testing::readFile("BETASAV.002"), "new");
  EXPECT_EQ(testing::readFile("BETAVECP.002"), "new");
  EXPECT_FALSE(std::filesystem::exists("BETAVECP.001"));
  EXPECT_NE(log().find(" FROM SUBROUTINE DELETF: NORMAL RETURN FROM RENAMING OF FILE "
                       "PSAVE.001.tmp TO PSAVE.001.  IOCOND =    0."),
            std::string::npos);
  std::size_t files_left = 0;
  for (auto& entry : std::filesystem::directory_iterator(".")) {
    (void)entry;
    ++files_left;
  }
  // KOVAOUT, KOVALOG, the three BETA files and the three PHI and DELTA files.
  EXPECT_EQ(files_left, 8u);

  // Without the save options the temporary files go and the start files stay.
  testing::writeFile("PSAVE.001.tmp", "new");
  DELETF(files, 2, KeptSaveFiles{}, kLog);
  EXPECT_NE(log().find(" FROM SUBOUTINE DELETF: NORMAL RETURN FROM CLOSING OF FILE "
                       "PSAVE.001.tmp."),
            std::string::npos);
  EXPECT_FALSE(std::filesystem::exists("PSAVE.001.tmp"));
  EXPECT_EQ(testing::readFile("PSAVE.001"), "new");
  EXPECT_EQ(testing::readFile("DSAVE.002"), "start");
  // A kept file whose temporary is missing stops the run: it was not saved.
  EXPECT_THROW(keepSaveFiles(files, 2, KeptSaveFiles{false, true, false}, kLog), RunStopped);
  EXPECT_EQ(testing::readFile("DSAVE.002"), "start");
}

// The save files of a run replace the start files as one: a rename that
// fails half-way undoes the ones made, so that every start file is as it
// was and every new file still under its temporary name. Before, the
// renames were made one by one and a failure left some files replaced.
TEST_F(ServicesTest, FilesPutInPlaceAsOneOrNotAtAll) {
  for (const char* name : {"PSAVE.001", "PSAVE.002", "DSAVE.001"})
    testing::writeFile(name, std::string("old ") + name);
  for (const char* name : {"PSAVE.001.tmp", "PSAVE.002.tmp", "DSAVE.001.tmp"})
    testing::writeFile(name, std::string("new ") + name);
  // DSAVE.002 has no new file and no start file: its rename fails last.
  const std::vector<FileMove> moves = {{"PSAVE.001.tmp", "PSAVE.001"},
                                       {"PSAVE.002.tmp", "PSAVE.002"},
                                       {"DSAVE.001.tmp", "DSAVE.001"},
                                       {"DSAVE.002.tmp", "DSAVE.002"}};
  // The report and the log change; the other files must not.
  auto saveFiles = [] {
    auto files = testing::filesAndContents();
    files.erase("KOVAOUT");
    files.erase("KOVALOG");
    return files;
  };
  const auto before = saveFiles();
  EXPECT_THROW(replaceAsOne(moves, "SAVE FILES", kLog, "SUBROUTINE DELETF"), RunStopped);
  EXPECT_EQ(testing::changedFiles(before), "");
  EXPECT_EQ(saveFiles().size(), before.size());  // no file left aside
  EXPECT_NE(screen.str().find(" FROM SUBROUTINE DELETF: THE SAVE FILES ARE NOT PUT IN PLACE: "
                              "RENAMING DSAVE.002.tmp TO DSAVE.002 FAILED, WITH IOCOND =    2"),
            std::string::npos)
      << screen.str();
  EXPECT_NE(screen.str().find("EVERY EARLIER FILE IS LEFT AS IT WAS"), std::string::npos);
  EXPECT_NE(log().find(" PROGRAM STOPS."), std::string::npos);

  // A file put aside by a run that was killed half-way is never replaced:
  // it may be the only copy of a start file.
  testing::writeFile("PSAVE.002.old", "only copy");
  const auto withAside = saveFiles();
  EXPECT_THROW(replaceAsOne({moves[0], moves[1]}, "SAVE FILES", kLog, "SUBROUTINE DELETF"),
               RunStopped);
  EXPECT_EQ(testing::changedFiles(withAside), "");
  std::filesystem::remove("PSAVE.002.old");

  // With nothing in the way every file is replaced and nothing is left aside.
  replaceAsOne({moves[0], moves[1], moves[2]}, "SAVE FILES", kLog, "SUBROUTINE DELETF");
  EXPECT_EQ(testing::readFile("PSAVE.001"), "new PSAVE.001.tmp");
  EXPECT_EQ(testing::readFile("PSAVE.002"), "new PSAVE.002.tmp");
  EXPECT_EQ(testing::readFile("DSAVE.001"), "new DSAVE.001.tmp");
  for (const char* gone : {"PSAVE.001.tmp", "PSAVE.001.old", "DSAVE.001.old"})
    EXPECT_FALSE(std::filesystem::exists(gone)) << gone;
}

// A report, log or table on a full device: the write error (at the write,
// the flush before a stop, or inside a message) stops the run with a
// message naming the file on the console, and the message being written
// when it happened still reaches the console. Before, write errors were
// dropped and the run ended with status 0.
TEST_F(ServicesTest, WriteErrorsStopTheRunNamingTheFile) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  constexpr int kFull = 110;
  ASSERT_EQ(openUnit(kFull, "/dev/full", "FORMATTED", "UNKNOWN"), 0);
  // Lines wait in the buffer; the stop's flush finds the error.
  writeUnit(kFull, "A LINE");
  EXPECT_THROW(stopRun(), RunStopped);
  EXPECT_EQ(screen.str(),
            "\n ERROR IN WRITING FILE /dev/full, WITH IOCOND =   28 (No space left on device)."
            "  PROGRAM STOPS.\n");
  screen.str("");
  // Enough lines to fill the buffer: the write itself fails.
  ASSERT_EQ(openUnit(kFull, "/dev/full", "FORMATTED", "UNKNOWN"), 0);
  EXPECT_THROW(for (int i = 0; i < 100000; ++i) writeUnit(kFull, std::string(79, 'x')), RunStopped);
  EXPECT_NE(screen.str().find(" ERROR IN WRITING FILE /dev/full, WITH IOCOND =   28"),
            std::string::npos);
  screen.str("");
  closeUnit(kFull, "KEEP");
  screen.str("");
  // An error report to a unit whose write fails reaches the console first.
  // The unit is a held file that must move to disk, where a file of its
  // name has appeared since: the move fails (and leaves that file alone).
  holdInMemory("MSG.001");
  setMemoryBudget(10);
  ASSERT_EQ(openUnit(kFull, "MSG.001", "FORMATTED", "UNKNOWN"), 0);
  testing::writeFile("MSG.001", "someone else's");
  EXPECT_THROW(reportError(" THE MESSAGE.", "CONTINUE", kFull), RunStopped);
  EXPECT_EQ(screen.str(),
            "\n THE MESSAGE.\n\n ERROR IN WRITING FILE MSG.001, WITH IOCOND =   17 (File exists)."
            "  PROGRAM STOPS.\n");
  EXPECT_EQ(testing::readFile("MSG.001"), "someone else's");
  closeUnit(kFull, "DELETE");
  spillMemoryFiles();
}

}  // namespace
}  // namespace kova
