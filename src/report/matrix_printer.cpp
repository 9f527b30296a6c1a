#include "report/matrix_printer.h"

#include <algorithm>

#include "io/edit_descriptors.h"
#include "io/messages.h"
#include "io/text_conversion.h"

namespace kova {
namespace {

constexpr int kPerLine = 6;
constexpr int kTitleField = 100;
constexpr int kMaxCount = 999;

std::string printedTitle(std::string_view title) {
  std::string field = padded(title, kTitleField);
  int length = leftAdjust(field);
  if (length == 0) return " ";
  if (field[length - 1] == '$') length = std::max(1, length - 1);
  return field.substr(0, length);
}

// n values, `stride` apart, six G13.5 fields to a line after `lead`.
void writeValues(int outUnit, std::string_view lead, const double* first, int n, long stride) {
  for (int start = 0; start < n; start += kPerLine) {
    std::string line(lead);
    for (int i = start; i < std::min(n, start + kPerLine); ++i)
      line += editG(first[i * stride], 13, 5);
    writeUnit(outUnit, line);
  }
}

void cancel(int outUnit, const std::string& title, std::string_view what, int count) {
  writeUnit(outUnit, " PRINTING OF " + title + " HAS BEEN CANCELED.");
  ListLine line;
  line << what << count;
  writeUnit(outUnit, line.str());
}

}  // namespace

std::string headingNumber(int value, int messageUnit) {
  std::string field(10, ' ');
  ICNVRT(field, value, messageUnit, "CONTINUE");
  if (value < 0 || value > 999999999) return std::to_string(value);
  return std::string(trimmed(field));
}

void PRTMAT(int ld, int rows, int cols, const double* a, int outUnit, std::string_view title,
            int messageUnit) {
  writeUnit(outUnit, "");
  writeUnit(outUnit, "");
  std::string t = printedTitle(title);
  if (rows < 1 || rows > kMaxCount) return cancel(outUnit, t, "NUMBER OF ROWS =", rows);
  if (cols < 1 || cols > kMaxCount) return cancel(outUnit, t, "NUMBER OF COLUMNS =", cols);
  if (rows >= 2 && cols >= 2) {
    writeUnit(outUnit, " " + t + " ( " + headingNumber(rows, messageUnit) + " BY " +
                           headingNumber(cols, messageUnit) + " MATRIX )");
    for (int j = 1; j <= cols; ++j) {
      writeUnit(outUnit, "  COLUMN " + headingNumber(j, messageUnit));
      writeValues(outUnit, "", a + static_cast<long>(j - 1) * ld, rows, 1);
    }
    return;
  }
  // A single row is read along the row, a step of ld apart.
  int n = rows == 1 ? cols : rows;
  long stride = rows == 1 ? ld : 1;
  writeUnit(outUnit, " " + t + " ( " + headingNumber(n, messageUnit) + "-COMPONENT VECTOR ) ");
  writeValues(outUnit, " ", a, n, stride);
}

void PRTHDG(int groupId, int iteration, std::string_view selector, int outUnit,
            int messageUnit) {
  writeUnit(outUnit, "");
  writeUnit(outUnit, "");
  bool group = selector.find('G') != std::string_view::npos;
  bool iter = selector.find('I') != std::string_view::npos;
  if (group && iter) {
    writeUnit(outUnit, " GROUP  " + headingNumber(groupId, messageUnit) + std::string(10, ' ') +
                           " ITERATION   " + headingNumber(iteration, messageUnit));
  } else if (group) {
    writeUnit(outUnit, " GROUP   " + headingNumber(groupId, messageUnit));
  } else if (iter) {
    writeUnit(outUnit, " ITERATION    " + headingNumber(iteration, messageUnit));
  }
}

}  // namespace kova
