#include "io/messages.h"

#include "io/console.h"
#include "io/fortran_io.h"

namespace kova {

void writeUnit(int unit, std::string_view line) {
  if (isUnitOpen(unit)) writeLine(unit, line);
}

void writeUnitAndConsole(int unit, std::string_view line) {
  writeUnit(unit, line);
  consoleLine(line);
}

void reportToUnitAndConsole(int unit, std::string_view message) {
  writeUnit(unit, "");
  writeUnit(unit, message);
  consoleLine("");
  consoleLine(message);
}

bool optionHasContinue(std::string_view option) {
  return option.find("CONTINUE") != std::string_view::npos ||
         option.find("continue") != std::string_view::npos;
}

bool optionHasStop(std::string_view option) {
  return option.find("STOP") != std::string_view::npos ||
         option.find("stop") != std::string_view::npos;
}

bool optionIsExactlyContinue(std::string_view option) {
  std::string padded(option.substr(0, 8));
  padded.resize(8, ' ');
  return padded == "CONTINUE" || padded == "continue";
}

}  // namespace kova
