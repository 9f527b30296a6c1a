#include "io/messages.h"

#include <cstring>
#include <iostream>
#include <string>

#include "io/console.h"
#include "io/edit_descriptors.h"
#include "io/fortran_io.h"
#include "io/stop.h"

namespace kova {
namespace {

// The first write that failed inside a message: reported once the message
// has reached the console, so that a full disk does not swallow it.
struct WriteFailure {
  std::string name;
  int iocond = 0;
};
WriteFailure pending;

// Writes the line; a failure is kept for stopOnWriteFailure.
void tryWriteUnit(int unit, std::string_view line) {
  if (!isUnitOpen(unit)) return;
  const int iocond = writeLine(unit, line);
  if (iocond != 0 && pending.iocond == 0) pending = WriteFailure{unitFileName(unit), iocond};
}

void stopOnWriteFailure() {
  if (pending.iocond == 0) return;
  const WriteFailure failure = pending;
  pending = WriteFailure{};
  reportWriteFailure(failure.name, failure.iocond);
  stopRun();
}

}  // namespace

std::string writeFailureText(std::string_view fileName, int iocond) {
  std::string text =
      " ERROR IN WRITING FILE " + std::string(fileName) + ", WITH IOCOND =" + editI(iocond, 5);
  if (iocond > 0 && iocond < kRecordError) text += " (" + std::string(std::strerror(iocond)) + ")";
  return text + ".  PROGRAM STOPS.";
}

void reportWriteFailure(std::string_view fileName, int iocond) {
  const std::string text = writeFailureText(fileName, iocond);
  consoleLine("");
  consoleLine(text);
  // The console may be the full device too: then standard error.
  if (!console().flush()) std::cerr << text << '\n' << std::flush;
}

void writeUnit(int unit, std::string_view line) {
  tryWriteUnit(unit, line);
  stopOnWriteFailure();
}

void writeUnitAndConsole(int unit, std::string_view line) {
  tryWriteUnit(unit, line);
  consoleLine(line);
  stopOnWriteFailure();
}

void reportToUnitAndConsole(int unit, std::string_view message) {
  tryWriteUnit(unit, "");
  tryWriteUnit(unit, message);
  consoleLine("");
  consoleLine(message);
  stopOnWriteFailure();
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
