#include "data/restriction_files.h"

#include <algorithm>

#include "data/data_lines.h"
#include "io/edit_descriptors.h"
#include "io/error_report.h"
#include "io/file_services.h"
#include "io/fortran_io.h"
#include "io/text_conversion.h"

namespace kova {
namespace {

constexpr const char* kCaller = "SUBROUTINE SETDAT";

struct KindTexts {
  Fixed matrixFile, vectorFile;
  const char* matrixRow;
  const char* matrixColumn;
  const char* matrixRead;
  const char* vectorRow;
  const char* vectorRead;
};

KindTexts textsOf(RestrictionKind kind) {
  switch (kind) {
    case RestrictionKind::Phi:
      return {Fixed::RCFPH, Fixed::RVCPH,
              "IN SUBROUTINE SETDAT, A ROW INDEX IN FILE RCFPH IS TOO LARGE.",
              "IN SUBROUTINE SETDAT, A COLUMN INDEX IN FILE RCFPH IS TOO LARGE.",
              "ERROR IN READING DATA FOR RCFPHU IN SUBROUTINE SETDAT",
              "IN SUBROUTINE SETDAT, A ROW INDEX IN FILE RVCPH IS TOO LARGE.",
              "ERROR IN READING DATA FOR RVCPHU IN SUBROUTINE SETDAT"};
    case RestrictionKind::Pi:
      return {Fixed::RCFPI, Fixed::RVCPI,
              "IN SUBROUTINE SETDAT, A ROW INDEX IN FILE RCFPI IS TOO LARGE.",
              "IN SUBROUTINE SETDAT, A COLUMN INDEX IN FILE RCFPI IS TOO LARGE.",
              "ERROR IN READING DATA FOR RCFPIU IN SUBROUTINE SETDAT",
              "IN SUBROUTINE SETDAT, A ROW INDEX IN FILE RVCPI IS TOO LARGE.",
              "ERROR IN READING DATA FOR RVCPIU IN SUBROUTINE SETDAT"};
    case RestrictionKind::Delta:
      break;
  }
  return {Fixed::RCFDT, Fixed::RVCDT,
          "IN SUBROUTINE SETDAT, A ROW INDEX IN FILE RCFDT IS TOO LARGE.",
          "IN SUBROUTINE SETDAT, A COLUMN INDEX IN FILE RCFDT IS TOO LARGE.",
          "ERROR IN READING DATA FOR RCFDTU IN SUBROUTINE SETDAT",
          "IN SUBROUTINE SETDAT, A ROW INDEX IN FILE RVCDTS TOO LARGE.",
          "ERROR IN READING DATA FOR RVCDTU IN SUBROUTINE SETDAT"};
}

void stop(const char* message, int logUnit) { reportError(message, "STOP", logUnit); }

// One entry line: index fields (converted with CTI) and a value field.
struct Entry {
  int row = 0, column = 0;
  double value = 0.0;
};

// Reads entry lines up to the end line and hands each to `store`. A file
// that ends first, a line that cannot be read, a value that is not a number
// or an index below 1 is a read failure.
template <typename Store>
void readEntries(const RestrictionReader& r, Fixed fileId, bool withColumn, const char* readFailure,
                 Store store) {
  const NamedUnit& file = r.files[fileId];
  int iocond = 0;
  openFile(file.unit, r.logUnit, file.name, "FORMATTED", "OLD", iocond, kCaller, "STOP");
  rewindFile(file.unit, r.logUnit, file.name, iocond, kCaller, "STOP");
  const int w = r.width;
  std::string line;
  while (true) {
    if (readFullLine(file.unit, line) != 0) stop(readFailure, r.logUnit);
    if (isEndOfData(line)) break;
    Entry entry;
    int valueField = withColumn ? 2 : 1;
    if (!readRealField(rawField(line, valueField, w), entry.value)) stop(readFailure, r.logUnit);
    std::string rowText = rawField(line, 0, w);
    CTI(rowText, entry.row, r.logUnit, kCaller, "STOP");
    if (withColumn) {
      std::string columnText = rawField(line, 1, w);
      CTI(columnText, entry.column, r.logUnit, kCaller, "STOP");
    }
    store(entry);
  }
  closeFile(file.unit, r.logUnit, file.name, "KEEP", iocond, kCaller, "CONTINUE");
}

}  // namespace

void readRestriction(const RestrictionReader& r, RestrictionKind kind, Restriction& out) {
  std::fill(out.matrix.begin(), out.matrix.end(), 0.0);
  std::fill(out.vector.begin(), out.vector.end(), 0.0);
  if (out.rows < 1) return;
  const KindTexts t = textsOf(kind);
  Mat coefficients = out.coefficients();
  readEntries(r, t.matrixFile, true, t.matrixRead, [&](const Entry& e) {
    if (e.row < 1) stop(t.matrixRead, r.logUnit);
    if (e.row > out.rows) stop(t.matrixRow, r.logUnit);
    if (e.column < 1) stop(t.matrixRead, r.logUnit);
    if (e.column > out.cols) stop(t.matrixColumn, r.logUnit);
    coefficients(e.row, e.column) = e.value;
  });
  readEntries(r, t.vectorFile, false, t.vectorRead, [&](const Entry& e) {
    if (e.row < 1) stop(t.vectorRead, r.logUnit);
    if (e.row > out.rows) stop(t.vectorRow, r.logUnit);
    out.vector[e.row - 1] = e.value;
  });
}

}  // namespace kova
