#pragma once
// GETPRM: reads the parameter file into the option record.
//
// The file is read line by line up to its END OF DATA line. Blank lines and
// lines holding "!" are comments. Statements stand in groups: BEGIN GROUP
// (ALL) ... END GROUP (ALL) holds the run-wide settings, BEGIN GROUP (n) ...
// END GROUP (n) the iteration limit of group identifier n (0 counts as ALL).
// Inside a group, "keyword = value" assignments are recognised by words in
// the keyword, written either in upper case or in lower case. The rules are
// lenient, and files written for them rely on that; so a statement that no
// rule knows is ignored and a switch that says neither YES nor NO (or a
// source neither USER, SAVED nor DEFAULT) is read by its letters, but each
// such line gets a warning naming it, on the console and in the log. The
// settings added later (METHOD, ENGINE, CONSOLE) take whole words only, and
// any other value stops the run naming the line.
//
// Overwrites every field of `options` (defaults first, then the file's
// settings) and its option-group table. Every malformed statement, a missing
// or unreadable file and a full option-group table end the run (RunStopped)
// after their message in the log; nothing is returned on failure.
#include "input/options.h"
#include "input/capacities.h"
#include "io/file_services.h"

namespace kova {

// The largest iteration count (passes of a group) the file may give, in the
// ALL group or a numbered one. There is no convergence test and every pass
// is reported in full, so the count is the run's size: 999 passes on an
// eleven-group panel of 18 periods already make a report of some 120 MB.
// Three digits also keep the report's four-column count fields readable.
inline constexpr int kMaxIterations = 999;

// `file` is the PARAMTRS entry of the file table; `capacities` gives MAXGID
// (the largest group identifier) and the size of the option-group table.
void GETPRM(const NamedUnit& file, const Capacities& capacities, Options& options,
            int outUnit, int logUnit);

}  // namespace kova
