#pragma once
// Phases that are not built yet. Each returns what its real counterpart
// documents in the simplest form (fixed dimensions and one group), so that a
// run goes from set-up to clean-up today. Each is replaced as its phase lands.
#include "run/run_record.h"

namespace kova {

// Opens and closes the parameter file (which must exist) and sets
// T = 1, K = 1, P = 1, M = 1.
void stubReadParameters(RunRecord& run);

// Opens and closes the key file and sets one group, identifier 1, one key.
void stubReadKeys(RunRecord& run);

// Every group's one key is an estimation record.
void stubForecastIndex(RunRecord& run);

}  // namespace kova
