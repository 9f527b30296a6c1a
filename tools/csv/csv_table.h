#pragma once
// CSV files as the tools read them (libcsv underneath): the header, then each
// row with the line on which it and each of its fields begin, so that a
// message can point at the line and the column of a bad value.
#include <stdexcept>
#include <string>
#include <vector>

namespace kova::csv {

// A fault of the input; the tools report it with exit status 2.
struct BadInput : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// One data row: its fields and the line each field begins on (a quoted
// field may hold line breaks, so a row may span several lines).
struct CsvRow {
  int line = 0;  // line on which the row begins
  std::vector<std::string> fields;
  std::vector<int> fieldLines;
};

struct CsvTable {
  std::string file;  // as the caller named it, for messages
  std::vector<std::string> header;
  int headerLine = 1;
  std::vector<CsvRow> rows;
};

// Reads an RFC 4180 file: a header line, then rows; quoted fields, embedded
// commas, quotes and line breaks, CRLF or LF, a UTF-8 byte-order mark. Blank
// lines are skipped. Rows keep the fields they have, however many.
CsvTable readRows(const std::string& path);

// readRows, and every row must have as many fields as the header.
CsvTable readCsv(const std::string& path);

}  // namespace kova::csv
