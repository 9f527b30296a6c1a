#pragma once
// Writing one result matrix of a pass to its scratch file: open "UNKNOWN",
// rewind, one record of the rows x cols values in column order, close
// "KEEP". Open, rewind and close failures stop the run through the file
// services; a failed write stops it with a message naming the routine and
// the file, since a later step or the pooled phase would read a short or
// stale record.
#include "io/file_services.h"
#include "linalg/views.h"

namespace kova {

void writeResultRecord(const NamedUnit& file, const char* routine, Mat a, int logUnit);

}  // namespace kova
