#pragma once
// The error reporter and the capacity shortage report.
#include <string_view>

namespace kova {

// Writes an empty line and the message to the unit, then to the console.
// When the option contains STOP or stop it writes " PROGRAM STOPS." and ends
// the run; otherwise " PROGRAM CONTINUES." and returns.
void reportError(std::string_view message, std::string_view option, int unit);

// Reports that a planned array needs more elements than its capacity, to the
// console, the output unit and the log unit, and ends the run. A trailing "$"
// on either text is dropped.
[[noreturn]] void reportShortage(std::string_view caller, std::string_view arrayText,
                                 long long needed, long long available, int outUnit,
                                 int logUnit);

}  // namespace kova
