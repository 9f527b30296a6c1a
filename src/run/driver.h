#pragma once
// The run driver: every phase of a run, in its order.

namespace kova {

struct RunRecord;

// The run up to the end of the input phases: the report and log files set
// up, the parameter report printed, the key file read, the forecast index
// built, every group's records in its scratch files and every group's
// iteration limit set.
void runInputPhases(RunRecord& run);

// Runs the whole program in the current directory. Returns after a complete
// run; a stop inside any phase throws RunStopped.
void KOVAMAIN();

}  // namespace kova
