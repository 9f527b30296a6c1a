// Reading CSV files with libcsv. libcsv reports fields and row ends but
// not where they stand, so the text is fed one byte at a time and the line
// numbers are kept here: the line on which each row and each field begins.
#include <csv.h>

#include <fstream>
#include <sstream>

#include "csv/csv_table.h"

namespace kova::csv {
namespace {

struct Reader {
  std::vector<std::vector<std::string>> rows;
  std::vector<std::vector<int>> fieldLines;
  std::vector<int> rowLines;
  std::vector<std::string> fields;  // of the row being read
  std::vector<int> lines;
  int line = 1;            // line of the byte being fed
  int fieldStart = 1;      // line on which the current field began
  int rowStart = 1;
  bool atRowStart = true;  // no byte of the next row seen yet
  bool atFieldStart = true;
};

void onField(void* text, std::size_t length, void* data) {
  auto* r = static_cast<Reader*>(data);
  r->fields.emplace_back(static_cast<const char*>(text), length);
  r->lines.push_back(r->fieldStart);
  r->atFieldStart = true;
}

void onRowEnd(int, void* data) {
  auto* r = static_cast<Reader*>(data);
  r->rows.push_back(std::move(r->fields));
  r->fieldLines.push_back(std::move(r->lines));
  r->rowLines.push_back(r->rowStart);
  r->fields.clear();
  r->lines.clear();
  r->atRowStart = true;
  r->atFieldStart = true;
}

}  // namespace

CsvTable readRows(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw BadInput(path + ": cannot open the file");
  std::ostringstream buffer;
  buffer << in.rdbuf();
  std::string text = buffer.str();
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);

  csv_parser parser;
  if (csv_init(&parser, CSV_STRICT | CSV_STRICT_FINI | CSV_APPEND_NULL) != 0)
    throw BadInput(path + ": cannot set up the CSV reader");
  Reader r;
  for (char c : text) {
    bool lineBreak = c == '\n' || c == '\r';
    // libcsv skips empty lines between rows, so a row begins at its first
    // byte that is not a line break.
    if (r.atRowStart && !lineBreak) {
      r.rowStart = r.line;
      r.atRowStart = false;
    }
    if (r.atFieldStart && !r.atRowStart) {
      r.fieldStart = r.line;
      r.atFieldStart = false;
    }
    if (csv_parse(&parser, &c, 1, onField, onRowEnd, &r) != 1) {
      std::string why = csv_strerror(csv_error(&parser));
      csv_free(&parser);
      throw BadInput(path + ", line " + std::to_string(r.line) +
                     ": not a well-formed CSV line (" + why +
                     "; a quote inside a quoted field must be doubled)");
    }
    if (c == '\n') ++r.line;
  }
  if (csv_fini(&parser, onField, onRowEnd, &r) != 0) {
    csv_free(&parser);
    throw BadInput(path + ", line " + std::to_string(r.rowStart) +
                   ": a quoted field is not closed before the end of the file");
  }
  csv_free(&parser);

  CsvTable table;
  table.file = path;
  if (r.rows.empty()) throw BadInput(path + ": the file is empty (a header line is needed)");
  table.header = r.rows[0];
  table.headerLine = r.rowLines[0];
  for (std::size_t i = 1; i < r.rows.size(); ++i)
    table.rows.push_back({r.rowLines[i], std::move(r.rows[i]), std::move(r.fieldLines[i])});
  return table;
}

CsvTable readCsv(const std::string& path) {
  CsvTable table = readRows(path);
  for (const CsvRow& row : table.rows)
    if (row.fields.size() != table.header.size())
      throw BadInput(path + ", line " + std::to_string(row.line) + ": " +
                     std::to_string(row.fields.size()) + " fields, but the header (line " +
                     std::to_string(table.headerLine) + ") has " +
                     std::to_string(table.header.size()));
  return table;
}

}  // namespace kova::csv
