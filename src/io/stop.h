#pragma once
// The stop convention: a routine that must end the run writes its message,
// flushes, and throws RunStopped. Only main catches it.
#include <stdexcept>

namespace kova {

struct RunStopped : std::runtime_error {
  RunStopped() : std::runtime_error("run stopped") {}
};

// Flushes every open unit and the console, then throws RunStopped.
[[noreturn]] void stopRun();

}  // namespace kova
