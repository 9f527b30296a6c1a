#pragma once
// Test support: a result table (KOVA_*.csv) read plainly; the names in the
// test runs hold no separators or quotes.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace kova::testing {

struct Csv {
  std::map<std::string, std::size_t> column;
  std::vector<std::vector<std::string>> rows;
  const std::string& at(std::size_t row, const std::string& name) const {
    return rows[row].at(column.at(name));
  }
  double number(std::size_t row, const std::string& name) const {
    return std::stod(at(row, name));
  }
};

inline std::vector<std::string> splitCsvLine(const std::string& line) {
  std::vector<std::string> fields(1);
  for (char c : line) {
    if (c == ',')
      fields.emplace_back();
    else
      fields.back() += c;
  }
  return fields;
}

inline Csv readCsv(const std::string& name) {
  Csv csv;
  std::istringstream in(readFile(name));
  std::string line;
  std::getline(in, line);
  std::vector<std::string> header = splitCsvLine(line);
  for (std::size_t i = 0; i < header.size(); ++i) csv.column[header[i]] = i;
  while (std::getline(in, line)) {
    csv.rows.push_back(splitCsvLine(line));
    EXPECT_EQ(csv.rows.back().size(), header.size()) << name << ": " << line;
  }
  return csv;
}

}  // namespace kova::testing
