#pragma once
// RPTPRM: the echo of the parameter file at the head of the report.
#include "input/options.h"

namespace kova {

// Writes the title and the run's settings from `options` to outUnit, one
// line each after an empty line; lines about restrictions and Monte Carlo
// trials appear only where they apply. Numbers that cannot be converted are
// reported on messageUnit and printed in full.
void RPTPRM(const Options& options, int outUnit, int messageUnit);

}  // namespace kova
