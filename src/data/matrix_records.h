#pragma once
// One matrix as one unformatted record: the form of the save and start
// files (PSAVE, DSAVE, BETASAV) and of the scratch files of the passes and
// the pooled phase, read by the estimation steps, the pooled phase and the
// saved-results writers alike.
#include "linalg/views.h"

namespace kova {

// Writes a matrix as one record of its rows x cols values (column order);
// reads one back. Both work on the caller's open unit and return IOCOND; a
// record of another size than the matrix reads as kRecordError.
int writeMatrixRecord(int unit, Mat a);
int readMatrixRecord(int unit, Mat a);

}  // namespace kova
