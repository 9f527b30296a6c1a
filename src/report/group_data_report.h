#pragma once
// RPTGDT: the group's data section of the report: the y/x data and the
// z-vectors of the estimation and forecast periods in six columns, the
// L-matrix, the restrictions, and the group's number of iterations.
#include <string>
#include <vector>

#include "data/group_data.h"
#include "data/restrictions.h"
#include "linalg/views.h"

namespace kova {

struct GroupDataSection {
  int printLevel = 1;
  int groupId = 0;
  int iterations = 0;  // the stored count: one less than the parameter file gives
  const std::string* yName = nullptr;
  const std::vector<std::string>* xNames = nullptr;  // K names
  const std::vector<std::string>* zNames = nullptr;  // P names
  const GroupData* data = nullptr;
  char zSource = ' ', lSource = ' ';  // 'U' for the user's files
  int M = 0;
  Mat L;  // K x M
  Restrictions* restrictions = nullptr;
  bool diagonalPhi = false, diagonalDelta = false;
};

// Writes the section on outUnit: the heading, then the data echo, the
// z-vectors and the L-matrix at print level 1 or more, then the restrictions
// and the iteration count at every level.
void RPTGDT(const GroupDataSection& section, int outUnit, int messageUnit);

}  // namespace kova
