#include "data/data_lines.h"

#include "io/edit_descriptors.h"
#include "io/error_report.h"
#include "io/fortran_io.h"
#include "io/text_conversion.h"

namespace kova {

void readDataLine(const NamedUnit& file, DataLine& line, std::string_view caller, int logUnit) {
  int iocond = readFullLine(file.unit, line.text);
  line.number = unitRecordNumber(file.unit);
  if (iocond == 0) return;
  std::string name(trimmed(file.name));
  long number = unitRecordNumber(file.unit) + 1;
  std::string message = " IN " + std::string(caller) + ", LINE " + std::to_string(number) +
                        " OF FILE " + name +
                        (iocond == kEndOfFile ? " IS MISSING: THE FILE ENDS BEFORE IT."
                                              : " CANNOT BE READ.");
  reportError(message, "STOP", logUnit);
}

std::string rawField(const std::string& line, int index, int w) {
  std::size_t start = static_cast<std::size_t>(index) * static_cast<std::size_t>(w);
  std::string field = start < line.size() ? line.substr(start, w) : std::string();
  field.resize(w, ' ');
  return field;
}

double dataField(const DataLine& line, int index, int w, const NamedUnit& file,
                 std::string_view caller, int logUnit) {
  std::string field = rawField(line.text, index, w);
  double value = 0.0;
  if (readRealField(field, value)) return value;
  long first = static_cast<long>(index) * w + 1;
  std::string message = " IN " + std::string(caller) + ", FIELD " + std::to_string(index + 1) +
                        " (COLUMNS " + std::to_string(first) + "-" +
                        std::to_string(first + w - 1) + ") OF LINE " +
                        std::to_string(line.number) + " OF FILE " +
                        std::string(trimmed(file.name)) + " IS NOT A NUMBER: '" +
                        std::string(trimmed(field)) + "'.";
  reportError(message, "STOP", logUnit);
  return 0.0;
}

std::string nameField(const std::string& line, int index, int w) {
  return padded(rawField(line, index, w), 80);
}

}  // namespace kova
