#include "io/console.h"

#include <iostream>

namespace kova {
namespace {
std::ostream* current = &std::cout;
}

std::ostream& console() { return *current; }

void consoleLine(std::string_view text) { *current << text << '\n'; }

ConsoleRedirect::ConsoleRedirect(std::ostream& to) : previous_(current) { current = &to; }
ConsoleRedirect::~ConsoleRedirect() { current = previous_; }

}  // namespace kova
