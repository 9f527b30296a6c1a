#pragma once
// The console: error messages, progress lines and the progress display.
// Everything written to the console goes through console(), so that tests
// can redirect it.
//
// The solver steps of the passes write a trace (their search steps and
// norms). It always goes to the trace unit (the log, once the run has set it
// up); the console shows it too only in trace mode (CONSOLE = TRACE, or the
// command line's --trace). Otherwise the console shows a compact progress
// display, the messages and the run's closing summary.
#include <iosfwd>
#include <string_view>

namespace kova {

std::ostream& console();

// Writes one line (the text and a newline) to the console.
void consoleLine(std::string_view text);

// One line of the trace: to the trace unit (when one is set and open) and,
// in trace mode, to the console.
void traceLine(std::string_view text);

// Trace mode on or off (on until the program sets it); the unit that receives the trace
// (0 for none).
void setConsoleTrace(bool on);
bool consoleTrace();
void setTraceUnit(int unit);

// True when the console is the process's standard output and that is a
// terminal: a progress line may then be redrawn in place.
bool consoleIsTerminal();

// Redirects the console to another stream for the lifetime of the object.
class ConsoleRedirect {
 public:
  explicit ConsoleRedirect(std::ostream& to);
  ~ConsoleRedirect();
  ConsoleRedirect(const ConsoleRedirect&) = delete;
  ConsoleRedirect& operator=(const ConsoleRedirect&) = delete;

 private:
  std::ostream* previous_;
};

}  // namespace kova
