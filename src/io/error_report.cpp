#include "io/error_report.h"

#include <string>

#include "io/console.h"
#include "io/messages.h"
#include "io/stop.h"
#include "io/text_conversion.h"

namespace kova {

void reportError(std::string_view message, std::string_view option, int unit) {
  reportToUnitAndConsole(unit, message);
  if (optionHasStop(option)) {
    writeUnitAndConsole(unit, " PROGRAM STOPS.");
    stopRun();
  }
  writeUnitAndConsole(unit, " PROGRAM CONTINUES.");
}

namespace {

std::string shortageText(std::string_view text) {
  std::string field = padded(text, 100);
  int length = leftAdjust(field);
  if (length > 0 && field[length - 1] == '$') --length;
  return field.substr(0, length);
}

}  // namespace

void reportShortage(std::string_view caller, std::string_view arrayText, long long needed,
                    long long available, int outUnit, int logUnit) {
  std::string callerText = shortageText(caller);
  std::string array = shortageText(arrayText);
  const std::string head = " FROM THE PROGRAM REGION ";
  const std::string tail = ", THE NUMBER OF VARIABLES OF TYPE";
  std::size_t room = 80 - head.size() - tail.size();
  if (callerText.size() > room) callerText.resize(room);
  // Counts are written in full; a count beyond nine digits is still a count.
  const std::string lines[] = {
      "",
      head + callerText + tail,
      " " + array + " NEEDED IS AT LEAST " + std::to_string(needed) + ".",
      "",
      " THE NUMBER OF VARIABLES OF TYPE " + array + " ALLOCATED",
      " IS OF THE SIZE " + std::to_string(available) + ".",
      "",
      " PROGRAM STOPS.",
  };
  // The console first: a report or log that cannot take the lines stops
  // the run at once, and the console still has the whole message.
  for (const std::string& line : lines) consoleLine(line);
  for (const std::string& line : lines) {
    writeUnit(outUnit, line);
    writeUnit(logUnit, line);
  }
  stopRun();
}

}  // namespace kova
