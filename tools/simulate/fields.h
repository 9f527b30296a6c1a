#pragma once
// Fixed-width fields of the data files, as kova reads them: every field is
// w columns, fields start at column 1 without separators, a line holds at
// most F = 80 / w fields, and a record that needs more fields continues on
// the same-numbered line of the continuation file.
//
// Numbers are written right-justified with at least one leading blank, so
// that no field ever touches the next, at the largest %G precision (up to 17
// significant digits, or fewer on request) that fits in w - 1 columns. From w = 8 on every finite
// double fits ("-1E-300" is 7 characters).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace kova::simulate {

constexpr int kLineLength = 80;
constexpr int kMinWidth = 8;

inline int fieldsPerLine(int width) { return kLineLength / width; }

// Appends the number as a field of exactly `width` columns.
inline void appendNumber(std::string& out, double value, int width, int digits = 17) {
  char text[64];
  int precision = std::max(1, std::min({17, digits, width - 2}));
  int length = 0;
  while (true) {
    length = std::snprintf(text, sizeof text, "%.*G", precision, value);
    if (length <= width - 1 || precision == 1) break;
    precision = std::max(1, precision - std::max(1, length - (width - 1)));
  }
  out.append(static_cast<std::size_t>(width - length), ' ');
  out.append(text, static_cast<std::size_t>(length));
}

inline std::string numberField(double value, int width, int digits = 17) {
  std::string s;
  appendNumber(s, value, width, digits);
  return s;
}

// Text (a name or an index) right-justified in `width` columns; the caller
// keeps it within width - 1 characters.
inline void appendText(std::string& out, std::string_view text, int width) {
  out.append(static_cast<std::size_t>(width) - text.size(), ' ');
  out.append(text);
}

inline void appendBlank(std::string& out, int width) {
  out.append(static_cast<std::size_t>(width), ' ');
}

// Splits the fields of one record between the main line and its
// continuation: the first F fields on `main`, the rest on `continuation`,
// each line ended by a newline. `fields` holds the record's fields back to
// back, `count` of them, each `width` columns.
inline void appendRecord(std::string& main, std::string* continuation, std::string_view fields,
                         int count, int width) {
  int perLine = fieldsPerLine(width);
  int first = std::min(count, perLine);
  main.append(fields.substr(0, static_cast<std::size_t>(first) * width));
  main.push_back('\n');
  if (count > perLine && continuation) {
    continuation->append(fields.substr(static_cast<std::size_t>(first) * width));
    continuation->push_back('\n');
  }
}

}  // namespace kova::simulate
