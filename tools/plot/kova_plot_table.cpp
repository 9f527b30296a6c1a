// Result table columns by name. Every message names the file and the line,
// and the column where one is at fault.
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "kova_plot.h"

namespace kova::plot {
namespace {

std::string quoted(const std::string& s) { return "'" + s + "'"; }

}  // namespace

Table::Table(const std::string& path) : table_(csv::readRows(path)) {
  const auto& header = table_.header;
  for (const csv::CsvRow& row : table_.rows) {
    std::size_t n = row.fields.size();
    std::string where = path + ", line " + std::to_string(row.line) + ": ";
    if (n < header.size())
      throw BadInput(where + "the line ends after " + std::to_string(n) + " fields; column " +
                     quoted(header[n]) + " (field " + std::to_string(n + 1) + ") is missing");
    if (n > header.size())
      throw BadInput(where + std::to_string(n) + " fields, but the header (line " +
                     std::to_string(table_.headerLine) + ") names " +
                     std::to_string(header.size()) + " columns; field " +
                     std::to_string(header.size() + 1) + " has no column");
  }
}

int Table::optionalColumn(const std::string& name) const {
  for (std::size_t i = 0; i < table_.header.size(); ++i)
    if (table_.header[i] == name) return static_cast<int>(i);
  return -1;
}

int Table::column(const std::string& name) const {
  for (std::size_t i = 0; i < table_.header.size(); ++i)
    if (table_.header[i] == name) return static_cast<int>(i);
  std::string list;
  for (const std::string& h : table_.header) list += (list.empty() ? "" : ", ") + quoted(h);
  throw BadInput(table_.file + ", line " + std::to_string(table_.headerLine) + ": no column " +
                 quoted(name) + " in the header; its columns are " + list);
}

std::string Table::at(std::size_t row, int column) const {
  const csv::CsvRow& r = table_.rows[row];
  return table_.file + ", line " + std::to_string(r.fieldLines[column]) + ", column " +
         quoted(table_.header[column]);
}

const std::string& Table::text(std::size_t row, int column) const {
  return table_.rows[row].fields[column];
}

int Table::integer(std::size_t row, int column) const {
  const std::string& s = text(row, column);
  if (s.empty()) throw BadInput(at(row, column) + ": empty; a whole number is needed");
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(s.c_str(), &end, 10);
  if (*end != '\0' || errno == ERANGE || v < INT_MIN || v > INT_MAX)
    throw BadInput(at(row, column) + ": " + quoted(s) + " is not a whole number");
  return static_cast<int>(v);
}

double Table::number(std::size_t row, int column) const {
  const std::string& s = text(row, column);
  if (s.empty()) return std::nan("");
  char* end = nullptr;
  double v = std::strtod(s.c_str(), &end);
  // strtod also skips leading blanks and reads hexadecimal; kova writes
  // neither, but both are still numbers.
  if (*end != '\0') throw BadInput(at(row, column) + ": " + quoted(s) + " is not a number");
  return v;
}

}  // namespace kova::plot
