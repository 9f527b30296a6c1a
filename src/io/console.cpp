#include "io/console.h"

#include <unistd.h>

#include <iostream>

#include "io/messages.h"

namespace kova {
namespace {
std::ostream* current = &std::cout;
// Routines called on their own trace to the console, as they always did;
// the program chooses the compact console (main).
bool traceOn = true;
int traceUnit = 0;
}  // namespace

std::ostream& console() { return *current; }

void consoleLine(std::string_view text) { *current << text << '\n'; }

void traceLine(std::string_view text) {
  if (traceUnit != 0) writeUnit(traceUnit, text);
  if (traceOn) consoleLine(text);
}

void setConsoleTrace(bool on) { traceOn = on; }
bool consoleTrace() { return traceOn; }
void setTraceUnit(int unit) { traceUnit = unit; }

bool consoleIsTerminal() { return current == &std::cout && ::isatty(STDOUT_FILENO) == 1; }

ConsoleRedirect::ConsoleRedirect(std::ostream& to) : previous_(current) { current = &to; }
ConsoleRedirect::~ConsoleRedirect() { current = previous_; }

}  // namespace kova
