// The unit table against gfortran: records.bin was written by records.f90
// (tests/data/fortran_edit); we read it, write the same records and compare
// byte for byte, and check the Fortran behaviour of the unit table in a fresh
// temporary directory.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "io/fortran_io.h"

namespace kova {
namespace {

namespace fs = std::filesystem;

// Each test runs in its own new directory, entered for the test and left
// (and removed) afterwards.
class UnitTable : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device seed;
    for (int attempt = 0; attempt < 100 && dir_.empty(); ++attempt) {
      fs::path candidate = fs::temp_directory_path() / ("kova_units_" + std::to_string(seed()));
      if (fs::create_directory(candidate)) dir_ = candidate;
    }
    ASSERT_FALSE(dir_.empty());
    home_ = fs::current_path();
    fs::current_path(dir_);
  }
  void TearDown() override {
    closeAllUnits();
    fs::current_path(home_);
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }
  fs::path dir_, home_;
};

using Bytes = std::vector<unsigned char>;

Bytes fileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeText(const std::string& name, const std::string& content) {
  std::ofstream(name, std::ios::binary) << content;
}

// A record payload assembled from Fortran items, in memory order.
struct Payload {
  Bytes bytes;
  Payload& i4(std::int32_t v) { return put(&v, 4); }
  Payload& i8(std::int64_t v) { return put(&v, 8); }
  Payload& r8(double v) { return put(&v, 8); }
  Payload& text(const char* s) { return put(s, std::strlen(s)); }
  Payload& put(const void* p, std::size_t n) {
    auto* b = static_cast<const unsigned char*>(p);
    bytes.insert(bytes.end(), b, b + n);
    return *this;
  }
};

// The records of records.f90, built independently of the file.
std::vector<Bytes> expectedRecords() {
  Payload thirds;
  for (int i = 1; i <= 100; ++i) thirds.r8(i / 3.0);
  return {Payload().i4(1).i4(-2).i4(2147483647).bytes,
          Payload().r8(1.5).r8(-2.25).r8(0.0).bytes,
          Bytes{},
          Payload().i4(7).r8(3.25).i4(-1).r8(1.7976931348623157e308).r8(0.1).bytes,
          thirds.bytes,
          Payload().text("KOVA").i8(42).bytes,
          Bytes{}};
}

const std::string kRecordsFile = std::string(KOVA_TEST_DATA) + "/fortran_edit/records.bin";

TEST_F(UnitTable, ReadsRecordsWrittenByGfortran) {
  fs::copy_file(kRecordsFile, "theirs.bin");  // the unit table opens files for update
  ASSERT_EQ(openUnit(21, "theirs.bin", "UNFORMATTED", "OLD"), 0);
  std::vector<Bytes> expected = expectedRecords();
  Bytes payload;
  for (std::size_t r = 0; r < expected.size(); ++r) {
    ASSERT_EQ(readRecord(21, payload), 0) << "record " << r + 1;
    EXPECT_EQ(payload, expected[r]) << "record " << r + 1;
  }
  EXPECT_EQ(unitRecordNumber(21), 7);
  EXPECT_EQ(readRecord(21, payload), kEndOfFile);
  EXPECT_EQ(readRecord(21, payload), kEndOfFile);
  EXPECT_EQ(closeUnit(21, "KEEP"), 0);
}

TEST_F(UnitTable, WritesRecordsByteForByteAsGfortran) {
  ASSERT_EQ(openUnit(22, "ours.bin", "UNFORMATTED", "NEW"), 0);
  for (const Bytes& record : expectedRecords())
    ASSERT_EQ(writeRecord(22, record.data(), record.size()), 0);
  ASSERT_EQ(closeUnit(22, "KEEP"), 0);
  EXPECT_EQ(fileBytes("ours.bin"), fileBytes(kRecordsFile));
}

TEST_F(UnitTable, DamagedRecordsAreErrorsNotData) {
  Bytes good = fileBytes(kRecordsFile);
  Bytes cut(good.begin(), good.begin() + 9);  // the first record stops after 5 of 12 bytes
  Bytes badTrailer = good;
  badTrailer[16] = 13;  // the first record's closing count no longer matches
  Bytes payload;
  for (const Bytes& file : {cut, badTrailer}) {
    std::ofstream("damaged.bin", std::ios::binary).write(reinterpret_cast<const char*>(file.data()),
                                                         static_cast<std::streamsize>(file.size()));
    ASSERT_EQ(openUnit(23, "damaged.bin", "UNFORMATTED", "OLD"), 0);
    EXPECT_EQ(readRecord(23, payload), kRecordError);
    closeUnit(23, "KEEP");
  }
}

// As in Fortran, a record written after REWIND (or after reading part of a
// file) becomes the last record: what followed is gone.
TEST_F(UnitTable, WritingAfterRewindCutsTheRest) {
  ASSERT_EQ(openUnit(24, "text.txt", "FORMATTED", "UNKNOWN"), 0);
  for (const char* line : {"one", "two", "three"}) ASSERT_EQ(writeLine(24, line), 0);
  ASSERT_EQ(rewindUnit(24), 0);
  std::string line;
  ASSERT_EQ(readLine(24, line), 0);
  ASSERT_EQ(writeLine(24, "TWO"), 0);
  EXPECT_EQ(readLine(24, line), kEndOfFile);
  ASSERT_EQ(closeUnit(24, "KEEP"), 0);
  Bytes text = fileBytes("text.txt");
  EXPECT_EQ(std::string(text.begin(), text.end()), "one\nTWO\n");

  ASSERT_EQ(openUnit(25, "data.bin", "UNFORMATTED", "UNKNOWN"), 0);
  int values[3] = {1, 2, 3};
  for (int& v : values) ASSERT_EQ(writeRecord(25, &v, sizeof v), 0);
  ASSERT_EQ(rewindUnit(25), 0);
  ASSERT_EQ(writeRecord(25, &values[2], sizeof values[2]), 0);
  ASSERT_EQ(rewindUnit(25), 0);
  Bytes payload;
  ASSERT_EQ(readRecord(25, payload), 0);
  EXPECT_EQ(payload, Payload().i4(3).bytes);
  EXPECT_EQ(readRecord(25, payload), kEndOfFile);
  ASSERT_EQ(closeUnit(25, "KEEP"), 0);
  EXPECT_EQ(fs::file_size("data.bin"), 12u);
}

TEST_F(UnitTable, LinesAreEightyColumns) {
  std::string longLine(100, 'x');
  longLine[79] = 'L';
  writeText("lines.txt", "short\n" + longLine + "\nwindows\r\n\nlast without newline");
  ASSERT_EQ(openUnit(26, "lines.txt", "FORMATTED", "OLD"), 0);
  std::string line;
  std::vector<std::string> expected = {"short", longLine.substr(0, 80), "windows", "",
                                       "last without newline"};
  for (const std::string& text : expected) {
    ASSERT_EQ(readLine(26, line), 0);
    EXPECT_EQ(line, text + std::string(80 - text.size(), ' '));
  }
  EXPECT_EQ(unitRecordNumber(26), 5);
  EXPECT_EQ(readLine(26, line), kEndOfFile);
  EXPECT_EQ(readLine(26, line), kEndOfFile);
}

TEST_F(UnitTable, OpenCloseStatusAsGfortran) {
  // gfortran's IOSTAT for OPEN(STATUS='OLD') of a missing file is errno 2.
  EXPECT_EQ(openUnit(27, "missing.txt", "FORMATTED", "OLD"), ENOENT);
  EXPECT_FALSE(isUnitOpen(27));
  EXPECT_FALSE(fs::exists("missing.txt"));
  EXPECT_EQ(closeUnit(28, "KEEP"), 0);
  EXPECT_EQ(closeUnit(28, "DELETE"), 0);

  ASSERT_EQ(openUnit(29, "scratch.txt", "FORMATTED", "UNKNOWN"), 0);
  ASSERT_EQ(writeLine(29, "x"), 0);
  EXPECT_EQ(openUnit(30, "scratch.txt", "FORMATTED", "NEW"), EEXIST);
  ASSERT_EQ(closeUnit(29, "DELETE"), 0);
  EXPECT_FALSE(fs::exists("scratch.txt"));

  ASSERT_EQ(openUnit(29, "kept.txt", "FORMATTED", "UNKNOWN"), 0);
  ASSERT_EQ(closeUnit(29, "KEEP"), 0);
  EXPECT_TRUE(fs::exists("kept.txt"));
}

TEST_F(UnitTable, WrongFormAndUnconnectedUnitsAreErrors) {
  std::string line;
  Bytes payload;
  EXPECT_EQ(readLine(31, line), kNotConnected);
  EXPECT_EQ(writeRecord(31, "a", 1), kNotConnected);
  ASSERT_EQ(openUnit(31, "f.txt", "FORMATTED", "UNKNOWN"), 0);
  EXPECT_EQ(readRecord(31, payload), kWrongForm);
  ASSERT_EQ(openUnit(32, "u.bin", "UNFORMATTED", "UNKNOWN"), 0);
  EXPECT_EQ(writeLine(32, "text"), kWrongForm);
  EXPECT_EQ(openUnit(33, "f.txt", "SEQUENTIAL", "OLD"), kBadSpecifier);
}

// A file held in memory behaves as the same file on disk: the same
// operations (writes after reads cut the file, rewinds, ENDFILE, reopening
// OLD, DELETE) leave the same bytes, which reach the disk only when the
// store is spilled, and a DELETE leaves nothing.
TEST_F(UnitTable, FilesHeldInMemoryBehaveAsFilesOnDisk) {
  auto exercise = [](const std::string& name, const std::string& text) {
    std::vector<unsigned char> payload;
    std::string line;
    EXPECT_EQ(openUnit(7, name, "UNFORMATTED", "NEW"), 0);
    for (int r = 0; r < 5; ++r) {
      Payload p;
      for (int i = 0; i <= r; ++i) p.r8(r + i / 7.0);
      EXPECT_EQ(writeRecord(7, p.bytes.data(), p.bytes.size()), 0);
    }
    EXPECT_EQ(rewindUnit(7), 0);
    EXPECT_EQ(readRecord(7, payload), 0);
    EXPECT_EQ(readRecord(7, payload), 0);
    EXPECT_EQ(payload.size(), 16u);
    const Payload cut = Payload().text("after two");
    EXPECT_EQ(writeRecord(7, cut.bytes.data(), cut.bytes.size()), 0);  // the file ends here
    EXPECT_EQ(closeUnit(7, "KEEP"), 0);
    EXPECT_EQ(openUnit(7, name, "UNFORMATTED", "OLD"), 0);
    int count = 0;
    while (readRecord(7, payload) == 0) ++count;
    EXPECT_EQ(count, 3);
    EXPECT_EQ(closeUnit(7, "KEEP"), 0);
    EXPECT_EQ(openUnit(8, text, "FORMATTED", "UNKNOWN"), 0);
    EXPECT_EQ(writeLine(8, "FIRST"), 0);
    EXPECT_EQ(writeLine(8, "SECOND LINE"), 0);
    EXPECT_EQ(rewindUnit(8), 0);
    EXPECT_EQ(readLine(8, line), 0);
    EXPECT_EQ(endFileUnit(8), 0);
    EXPECT_EQ(readLine(8, line), kEndOfFile);
    EXPECT_EQ(closeUnit(8, "KEEP"), 0);
    EXPECT_EQ(openUnit(9, name + ".X", "UNFORMATTED", "UNKNOWN"), 0);
    EXPECT_EQ(closeUnit(9, "DELETE"), 0);
  };
  exercise("DISK.001", "DISKTEXT.001");
  for (const char* held : {"HELD.001", "HELDTEXT.001", "HELD.001.X"}) holdInMemory(held);
  exercise("HELD.001", "HELDTEXT.001");
  EXPECT_TRUE(isHeldInMemory("HELD.001"));
  EXPECT_FALSE(fs::exists("HELD.001"));
  EXPECT_EQ(openUnit(7, "HELD.002", "UNFORMATTED", "OLD"), ENOENT);
  EXPECT_EQ(openUnit(7, "HELD.001", "UNFORMATTED", "NEW"), EEXIST);
  EXPECT_EQ(spillMemoryFiles(), 0);
  EXPECT_EQ(fileBytes("HELD.001"), fileBytes("DISK.001"));
  EXPECT_EQ(fileBytes("HELDTEXT.001"), fileBytes("DISKTEXT.001"));
  EXPECT_FALSE(fs::exists("HELD.001.X"));
  EXPECT_FALSE(fs::exists("DISK.001.X"));
  EXPECT_FALSE(isHeldInMemory("HELD.001"));
}

// A name that the directory already holds stays on disk: a file the user
// left there, or one put there to fail, is met as before.
TEST_F(UnitTable, HeldNamesThatExistOnDiskStayOnDisk) {
  writeText("THERE.001", "old");
  fs::create_directory("DIR.001");
  holdInMemory("THERE.001");
  holdInMemory("DIR.001");
  EXPECT_EQ(openUnit(7, "THERE.001", "FORMATTED", "OLD"), 0);
  EXPECT_FALSE(isHeldInMemory("THERE.001"));
  EXPECT_EQ(closeUnit(7, "DELETE"), 0);
  EXPECT_FALSE(fs::exists("THERE.001"));
  EXPECT_EQ(openUnit(7, "DIR.001", "FORMATTED", "UNKNOWN"), EISDIR);
  spillMemoryFiles();
}

}  // namespace
}  // namespace kova

namespace kova {
namespace {

// The budget holds for every write, not only when a file is created: a held
// file that a write would take past it moves to disk with every record it
// has, and reads, rewinds and deletion go on there. Before, appends grew the
// store past the budget and the file stayed in memory.
// Empties the store (and restores the budget) however the test ends.
struct SpillAtEnd {
  ~SpillAtEnd() {
    closeAllUnits();
    spillMemoryFiles();
  }
};

TEST_F(UnitTable, HeldFileThatOutgrowsTheBudgetMovesToDisk) {
  SpillAtEnd spill;
  setMemoryBudget(100);
  holdInMemory("GROW.001");
  holdInMemory("TEXT.001");
  holdInMemory("LATER.001");
  const double first[4] = {1, 2, 3, 4}, second[4] = {5, 6, 7, 8}, third[4] = {9, 10, 11, 12};
  ASSERT_EQ(openUnit(7, "GROW.001", "UNFORMATTED", "UNKNOWN"), 0);
  ASSERT_EQ(openUnit(8, "TEXT.001", "FORMATTED", "UNKNOWN"), 0);
  ASSERT_EQ(writeRecord(7, first, sizeof first), 0);    // 40 bytes held
  ASSERT_EQ(writeLine(8, "ABC"), 0);                    // 44
  ASSERT_EQ(writeRecord(7, second, sizeof second), 0);  // 84
  EXPECT_TRUE(isHeldInMemory("GROW.001"));
  EXPECT_FALSE(fs::exists("GROW.001"));
  ASSERT_EQ(writeRecord(7, third, sizeof third), 0);  // would be 124: to disk
  EXPECT_FALSE(isHeldInMemory("GROW.001"));
  EXPECT_TRUE(isHeldInMemory("TEXT.001"));
  // The file on disk: the three records, framed as any unformatted file.
  ASSERT_EQ(rewindUnit(7), 0);
  std::vector<unsigned char> payload;
  for (const double* expected : {first, second, third}) {
    ASSERT_EQ(readRecord(7, payload), 0);
    ASSERT_EQ(payload.size(), 32u);
    EXPECT_EQ(std::memcmp(payload.data(), expected, 32), 0);
  }
  EXPECT_EQ(readRecord(7, payload), kEndOfFile);
  ASSERT_EQ(closeUnit(7, "KEEP"), 0);
  EXPECT_EQ(fs::file_size("GROW.001"), 3u * 40u);
  // What the move freed is free again; a text file that would pass the
  // budget moves the same way, keeping its lines.
  ASSERT_EQ(openUnit(9, "LATER.001", "UNFORMATTED", "UNKNOWN"), 0);
  EXPECT_TRUE(isHeldInMemory("LATER.001"));
  ASSERT_EQ(writeLine(8, std::string(100, 'x')), 0);
  EXPECT_FALSE(isHeldInMemory("TEXT.001"));
  ASSERT_EQ(writeLine(8, "LAST"), 0);
  ASSERT_EQ(rewindUnit(8), 0);
  std::string line;
  ASSERT_EQ(readFullLine(8, line), 0);
  EXPECT_EQ(line, "ABC");
  ASSERT_EQ(readFullLine(8, line), 0);
  EXPECT_EQ(line, std::string(100, 'x'));
  ASSERT_EQ(readFullLine(8, line), 0);
  EXPECT_EQ(line, "LAST");
  ASSERT_EQ(closeUnit(8, "DELETE"), 0);
  EXPECT_FALSE(fs::exists("TEXT.001"));
}

// A leftover scratch name that is a symbolic link (or a device) is refused:
// the run never writes through it, never deletes it, and a stop's spill
// does not follow one either. Files the run only reads may be links.
TEST_F(UnitTable, ScratchNamesAreNeverFollowedThroughLinks) {
  SpillAtEnd spill;
  fs::create_directory("elsewhere");
  std::ofstream("elsewhere/notes.txt") << "notes\n";
  fs::create_directory("run");
  fs::current_path("run");
  fs::create_symlink("../elsewhere/notes.txt", "YDATA.001");
  fs::create_symlink("../elsewhere/absent.txt", "XDATA.001");
  fs::create_symlink("../elsewhere/notes.txt", "PSAVE.001.tmp");
  fs::create_symlink("/dev/null", "ZDATA.001");
  fs::create_symlink("../elsewhere/notes.txt", "INPUT");
  for (const char* held : {"YDATA.001", "XDATA.001", "ZDATA.001", "TLX.001"}) holdInMemory(held);
  declareScratch("PSAVE.001.tmp");  // a kept save file: on disk, not held
  for (const char* name : {"YDATA.001", "XDATA.001", "PSAVE.001.tmp", "ZDATA.001"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(openUnit(7, name, "UNFORMATTED", "UNKNOWN"), kNotRegularFile);
    EXPECT_FALSE(isUnitOpen(7));
    EXPECT_TRUE(fs::is_symlink(name));
  }
  EXPECT_EQ(openUnit(7, "INPUT", "FORMATTED", "OLD"), 0);
  std::string line;
  EXPECT_EQ(readFullLine(7, line), 0);
  EXPECT_EQ(line, "notes");
  closeUnit(7, "KEEP");
  // A held file in memory whose name turns into a link before the spill.
  ASSERT_EQ(openUnit(8, "TLX.001", "UNFORMATTED", "UNKNOWN"), 0);
  const double v = 1.5;
  ASSERT_EQ(writeRecord(8, &v, sizeof v), 0);
  closeUnit(8, "KEEP");
  fs::create_symlink("../elsewhere/notes.txt", "TLX.001");
  EXPECT_NE(spillMemoryFiles(), 0);
  fs::current_path("..");
  std::ifstream in("elsewhere/notes.txt");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "notes\n");
  EXPECT_FALSE(fs::exists("elsewhere/absent.txt"));
}

}  // namespace
}  // namespace kova
