#pragma once
// The console: error messages, progress lines and the progress display.
// Everything written to the console goes through console(), so that tests
// can redirect it.
#include <iosfwd>
#include <string_view>

namespace kova {

std::ostream& console();

// Writes one line (the text and a newline) to the console.
void consoleLine(std::string_view text);

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
