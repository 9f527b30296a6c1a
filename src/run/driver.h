#pragma once
// The run driver: every phase of a run, in its order.

namespace kova {

// Runs the whole program in the current directory. Returns after a complete
// run; a stop inside any phase throws RunStopped.
void KOVAMAIN();

}  // namespace kova
