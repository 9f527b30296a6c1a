// Seeded random mutations of a valid key file: GETKEY must end normally with
// a consistent key table, or stop through the stop convention after writing
// a message. Anything else (a crash, another exception, a sanitizer report,
// a table that breaks its invariants) is a fault.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "input/key_file.h"
#include "io/console.h"
#include "io/fortran_io.h"
#include "io/stop.h"
#include "io/text_conversion.h"

namespace kova {
namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kValidLines = {
    "! keys of a fuzz run", "3", "1 F", "3", "1 FY", "  150", "0 f", "7 fy", "7",
    "12 ! not a key", "",   "7 F", "0", "150 YF", "3", "END OF DATA", "END OF DATA"};

// Characters that matter to the reader, and a few that should never appear.
const std::string kAlphabet = std::string("0123456789 +-!FfYyENDOFATAendofata.\t\r") +
                              std::string("\0\x7f\xff\x80", 4);

std::vector<std::string> mutate(std::vector<std::string> lines, std::mt19937& rng) {
  auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
  int edits = 1 + static_cast<int>(pick(4));
  for (int e = 0; e < edits; ++e) {
    if (lines.empty()) lines.push_back("");
    std::size_t l = pick(lines.size());
    std::string& line = lines[l];
    switch (pick(8)) {
      case 0:  // delete a character
        if (!line.empty()) line.erase(pick(line.size()), 1);
        break;
      case 1:  // duplicate a character
        if (!line.empty()) {
          std::size_t at = pick(line.size());
          line.insert(at, 1, line[at]);
        }
        break;
      case 2:  // alter a character
      case 3:  // insert a character
      {
        char c = kAlphabet[pick(kAlphabet.size())];
        if (line.empty() || e % 2) line.insert(pick(line.size() + 1), 1, c);
        else line[pick(line.size())] = c;
        break;
      }
      case 4:  // delete a line
        lines.erase(lines.begin() + static_cast<long>(l));
        break;
      case 5:  // duplicate a line
        lines.insert(lines.begin() + static_cast<long>(l), line);
        break;
      case 6:  // lengthen a line beyond column 80
        line += std::string(pick(90), ' ') + "F";
        break;
      default:  // swap two lines
        std::swap(line, lines[pick(lines.size())]);
        break;
    }
  }
  return lines;
}

// The invariants of a key table after a normal end.
void checkTable(const KeyTable& keys, int T) {
  ASSERT_EQ(keys.count, T);
  ASSERT_GE(keys.NG, 1);
  ASSERT_LE(keys.NG, 150);
  int first = 0;
  std::set<int> positions;
  for (int g = 0; g < keys.NG; ++g) {
    ASSERT_GE(keys.groupKeys[g], 1);
    if (g > 0) {
      ASSERT_LT(keys.groupId[g - 1], keys.groupId[g]);
    }
    for (int i = first; i < first + keys.groupKeys[g]; ++i) {
      ASSERT_EQ(keys.DKEY[i], keys.groupId[g]);
      if (i > first) {
        ASSERT_LT(keys.DPOINT[i - 1], keys.DPOINT[i]);
      }
      positions.insert(keys.DPOINT[i]);
    }
    first += keys.groupKeys[g];
  }
  for (int g = keys.NG; g < 150; ++g) ASSERT_EQ(keys.groupKeys[g], 0);
  ASSERT_EQ(first, T);
  ASSERT_EQ(static_cast<int>(positions.size()), T);
  ASSERT_EQ(*positions.begin(), 1);
  ASSERT_EQ(*positions.rbegin(), T);
  for (int p = 1; p <= T; ++p) {
    std::string_view o = keys.yfopt(p);
    ASSERT_TRUE(o == "NN" || o == "F " || o == "YF") << o;
  }
}

TEST(KeyFileFuzz, MutatedKeyFilesEndNormallyOrStopWithAMessage) {
  fs::path home = fs::current_path();
  fs::path dir = fs::temp_directory_path() / ("kova_keyfuzz_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  fs::current_path(dir);
  const NamedUnit keyFile{padded("YXDKEY", 12), 106};
  auto keys = std::make_unique<KeyTable>();
  std::mt19937 rng(20261207);
  int normal = 0, stopped = 0;
  for (int iteration = 0; iteration < 3000; ++iteration) {
    std::vector<std::string> lines = mutate(kValidLines, rng);
    std::string text;
    for (const std::string& l : lines) text += l + "\n";
    if (iteration % 7 == 0 && !text.empty()) text.pop_back();  // no final newline
    std::ofstream("YXDKEY", std::ios::binary | std::ios::trunc) << text;
    // T is mostly the number of keys the valid file has, sometimes off by one.
    int T = 12 + static_cast<int>(rng() % 3) - 1;
    ASSERT_EQ(openUnit(102, "KOVALOG", "FORMATTED", "UNKNOWN"), 0);
    std::ostringstream screen;
    bool stop = false;
    {
      ConsoleRedirect redirect(screen);
      try {
        GETKEY(keyFile, T, *keys, 150, 150, 12500, 100, 102);
      } catch (const RunStopped&) {
        stop = true;
      }
    }
    closeAllUnits();
    SCOPED_TRACE("iteration " + std::to_string(iteration) + ":\n" + text);
    if (stop) {
      ++stopped;
      ASSERT_NE(screen.str().find("PROGRAM STOPS"), std::string::npos) << screen.str();
    } else {
      ++normal;
      checkTable(*keys, T);
    }
  }
  // Both outcomes must be common, or the mutations explore too little.
  EXPECT_GT(normal, 100);
  EXPECT_GT(stopped, 100);
  std::printf("fuzz: %d normal ends, %d stops\n", normal, stopped);
  fs::current_path(home);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace kova
