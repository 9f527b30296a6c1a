// Edit descriptors against gfortran itself: tests/data/fortran_edit/golden.txt
// holds what gfortran 12 wrote and read for several thousand cases (see the
// README there); a few readable cases stand in front of it.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "io/edit_descriptors.h"

namespace kova {
namespace {

struct GoldenCase {
  int line = 0;
  std::vector<std::string> words;  // the tokens before the bracketed field
  std::string field;               // between the first " [" and the final "]"
};

std::vector<GoldenCase> loadGolden() {
  std::ifstream in(std::string(KOVA_TEST_DATA) + "/fortran_edit/golden.txt");
  std::vector<GoldenCase> cases;
  std::string text;
  for (int line = 1; std::getline(in, text); ++line) {
    std::size_t open = text.find(" [");
    if (open == std::string::npos || text.back() != ']') {
      ADD_FAILURE() << "golden.txt line " << line << " is malformed";
      continue;
    }
    GoldenCase c;
    c.line = line;
    c.field = text.substr(open + 2, text.size() - open - 3);
    std::istringstream words(text.substr(0, open));
    for (std::string w; words >> w;) c.words.push_back(w);
    cases.push_back(c);
  }
  return cases;
}

const std::vector<GoldenCase>& golden() {
  static const std::vector<GoldenCase> cases = loadGolden();
  return cases;
}

double fromBits(const std::string& hex) {
  return std::bit_cast<double>(static_cast<std::uint64_t>(std::stoull(hex, nullptr, 16)));
}

std::string fromHex(const std::string& hex) {
  if (hex == "-") return "";
  std::string text;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    text += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return text;
}

int toInt(const std::string& s) { return std::stoi(s); }

// Runs `check` over every golden case of the given kinds; returns how many ran.
template <class Check>
int forEachCase(std::set<std::string> kinds, Check check) {
  int count = 0;
  for (const GoldenCase& c : golden()) {
    if (!kinds.count(c.words[0])) continue;
    ++count;
    check(c);
  }
  return count;
}

std::string describe(const GoldenCase& c) {
  std::string s = "golden.txt line " + std::to_string(c.line) + ":";
  for (const std::string& w : c.words) s += " " + w;
  return s;
}

TEST(EditDescriptors, GoldenFileIsPresent) { EXPECT_GT(golden().size(), 5000u); }

TEST(EditDescriptors, SmallCasesReadLikeFortran) {
  EXPECT_EQ(editF(0.5, 5, 3), "0.500");
  EXPECT_EQ(editF(0.5, 4, 3), ".500");
  EXPECT_EQ(editF(-0.5, 4, 3), "****");
  EXPECT_EQ(editF(0.125, 5, 2), " 0.12");  // ties go to even
  EXPECT_EQ(editF(2.5, 3, 0), " 2.");
  EXPECT_EQ(editF(-0.0, 5, 2), "-0.00");
  EXPECT_EQ(editF(-0.001, 4, 2), "-.00");
  EXPECT_EQ(editE(1e100, 13, 5), "  0.10000+101");
  EXPECT_EQ(editD(1.0, 13, 5), "  0.10000D+01");
  EXPECT_EQ(editG(0.0, 13, 5), "   0.0000    ");
  EXPECT_EQ(editG(99999.5, 13, 5), "  0.10000E+06");
  EXPECT_EQ(editG(-1234.5678, 13, 5), "  -1234.6    ");
  EXPECT_EQ(editI(-1234, 4), "****");
  EXPECT_EQ(editA("ABC", 2), "AB");
  EXPECT_EQ(editA("ABC", 5), "  ABC");
  EXPECT_EQ((ListLine() << "A" << "B").str(), " AB");
  EXPECT_EQ((ListLine() << "INFO =" << 3).str(), " INFO =           3");
  EXPECT_EQ((ListLine() << 2.5).str(), "   2.5000000000000000     ");
  EXPECT_EQ((ListLine() << 0.01).str(), "   1.0000000000000000E-002");
}

TEST(EditDescriptors, IntegerAndTextMatchGfortran) {
  int n = forEachCase({"I", "A", "X"}, [](const GoldenCase& c) {
    const auto& w = c.words;
    std::string got;
    if (w[0] == "I") got = editI(std::stoll(w[2]), toInt(w[1]));
    if (w[0] == "A") got = editA(fromHex(w[2]), toInt(w[1]));
    if (w[0] == "X") got = editX(toInt(w[1]));
    EXPECT_EQ(got, c.field) << describe(c);
  });
  EXPECT_GT(n, 90);
}

// F, E, D and G on chosen values (ties, zero of both signs, values that do
// not fit, Infinity, NaN, the edges of G's fixed range) and on random
// magnitudes from subnormal to the largest double.
TEST(EditDescriptors, RealDescriptorsMatchGfortran) {
  std::map<std::string, int> failures;
  int n = forEachCase({"F", "E", "D", "G"}, [&](const GoldenCase& c) {
    const auto& w = c.words;
    int width = toInt(w[1]), d = toInt(w[2]);
    std::string got;
    if (w[0] == "F") got = editF(fromBits(w[3]), width, d);
    if (w[0] == "D") got = editD(fromBits(w[3]), width, d);
    if (w[0] == "E") got = editE(fromBits(w[4]), width, d, toInt(w[3]));
    if (w[0] == "G") got = editG(fromBits(w[4]), width, d, toInt(w[3]));
    if (got != c.field && ++failures[w[0]] <= 20)
      ADD_FAILURE() << describe(c) << "\n  gfortran [" << c.field << "]\n  kova     [" << got << "]";
  });
  EXPECT_GT(n, 7000);
  EXPECT_TRUE(failures.empty());
}

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, sep)) parts.push_back(part);
  return parts;
}

TEST(EditDescriptors, ListDirectedMatchesGfortran) {
  int failures = 0;
  int n = forEachCase({"L"}, [&](const GoldenCase& c) {
    ListLine line;
    for (const std::string& item : split(c.words[1], ',')) {
      std::string kind = item.substr(0, item.find(':'));
      std::string text = item.substr(item.find(':') + 1);
      if (kind == "i4") line << std::stoi(text);
      if (kind == "i8") line << std::stoll(text);
      if (kind == "r8") line << fromBits(text);
      if (kind == "l") line << (text == "T");
      if (kind == "c") line << fromHex(text);
    }
    if (line.str() != c.field && ++failures <= 20)
      ADD_FAILURE() << describe(c) << "\n  gfortran [" << c.field << "]\n  kova     [" << line.str() << "]";
  });
  EXPECT_GT(n, 600);
  EXPECT_EQ(failures, 0);
}

// Fields gfortran reads as a number although no data file means one by them;
// readRealField reports them instead (see its header).
const std::set<std::string> kRefusedOnPurpose = {
    "+", "-", ".", "+.", "-.", "E5", "e5", "--1", "+-1", "Infinity", "NaN", "inf", "-Inf",
    "1d400", "1.7977e308"};

std::string trimmed(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

TEST(EditDescriptors, RealInputMatchesGfortran) {
  int refused = 0;
  int n = forEachCase({"RD"}, [&](const GoldenCase& c) {
    std::string field = fromHex(c.words[2]);
    bool gfortranRead = c.words[3] == "0";
    double expected = fromBits(c.words[4]);
    double got = -12345.0;
    bool ok = readRealField(field, got);
    if (kRefusedOnPurpose.count(trimmed(field))) {
      EXPECT_TRUE(gfortranRead) << describe(c) << " (no longer a deliberate difference)";
      EXPECT_FALSE(ok) << describe(c);
      EXPECT_EQ(got, -12345.0) << "value changed on failure: " << describe(c);
      ++refused;
      return;
    }
    ASSERT_EQ(ok, gfortranRead) << describe(c) << " [" << field << "]";
    if (ok) {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(got), std::bit_cast<std::uint64_t>(expected))
          << describe(c) << " [" << field << "]";
    }
  });
  EXPECT_GT(n, 500);
  EXPECT_EQ(refused, static_cast<int>(kRefusedOnPurpose.size()));
}

TEST(EditDescriptors, IntegerInputMatchesGfortran) {
  int n = forEachCase({"RI"}, [](const GoldenCase& c) {
    std::string field = fromHex(c.words[2]);
    long long got = -12345;
    bool ok = readIntegerField(field, got);
    ASSERT_EQ(ok, c.words[3] == "0") << describe(c) << " [" << field << "]";
    EXPECT_EQ(got, ok ? std::stoll(c.words[4]) : -12345) << describe(c);
  });
  EXPECT_GT(n, 50);
}

}  // namespace
}  // namespace kova
