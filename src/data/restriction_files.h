#pragma once
// Reading a restriction: a matrix file of entry lines (row index, column
// index, value) and a vector file of entry lines (row index, value), each
// ended by an END OF DATA line. Elements never named stay 0.0; an element
// named twice keeps the later value.
#include "data/restrictions.h"
#include "io/file_table.h"

namespace kova {

enum class RestrictionKind { Phi, Pi, Delta };

struct RestrictionReader {
  const FileTable& files;
  int width;  // w: every index and value field is w columns wide
  int logUnit;
};

// Clears the restriction's matrix and vector, then reads both files when it
// has at least one row; with no rows neither file is opened.
void readRestriction(const RestrictionReader& reader, RestrictionKind kind, Restriction& out);

}  // namespace kova
