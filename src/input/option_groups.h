#pragma once
// OPGSET: hands each group the settings that numbered groups of the
// parameter file gave it.
//
// For every entry of the option-group table named MAXITG, the group position
// g whose identifier groupIds[g - 1] equals the entry's identifier receives
// the entry's value in MAXITG[g - 1]; later entries for the same group win.
// Groups that no entry names keep what MAXITG already holds (the run-wide
// iteration limit, set by the data set-up). An entry whose group the key file
// does not hold is reported on the log unit and the console, and the run
// continues.
#include "input/options.h"

namespace kova {

// groupIds and MAXITG hold NG entries (group positions 1..NG).
void OPGSET(const OptionGroupTable& table, int NG, const int* groupIds, int* MAXITG,
            int logUnit);

// The method of PHI and DELTA of a group: the last METHOD entry of the
// option-group table for its identifier (1: maximum likelihood, 2: REML),
// else the run-wide setting.
bool usesMaximumLikelihood(const Options& options, int groupId);
// Of those, whether by the restricted likelihood (METHOD = REML).
bool usesRestrictedLikelihood(const Options& options, int groupId);

}  // namespace kova
