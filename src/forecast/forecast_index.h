#pragma once
// The forecast index: where every forecast record lies among its group's
// estimation records.
//
// IDXFC counts, for every group position g = 1..NG of the key table, the
// estimation records ("NN") and the forecast records (any other option), and
// writes three unformatted scratch files per group, one record per forecast
// record in the group's record order (signed 32-bit values):
//   YFCIDX.nnn    1 when the record's y is given (its option holds "Y"), else 0;
//   FCLOWIDX.nnn  the number of the group's estimation records before the
//                 record's forecast run and the file position of the last of
//                 them (-999999 when none precedes the run);
//   FCHIGHDX.nnn  the number of estimation records up to and including the one
//                 that ends the run and its file position (999999, 999999 when
//                 the group ends with the run).
// A group without forecast records gets three empty files. The counts are
// written to estimationCounts[g-1] and forecastCounts[g-1].
//
// Open, rewind and close failures are reported by the file services and the
// routine goes on; a record that cannot be written is reported and ends the
// run. An index inconsistency (impossible for a table that GETKEY built) is
// reported and ends the run.
#include "input/key_file.h"
#include "io/file_table.h"

namespace kova {

void IDXFC(const KeyTable& keys, const FileTable& files, int* estimationCounts,
           int* forecastCounts, int logUnit);

}  // namespace kova
