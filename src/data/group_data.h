#pragma once
// GETDTA: loads one group's estimation and forecast records back from the
// scratch files that the data set-up wrote, in file order.
#include "linalg/views.h"
#include "io/file_table.h"

namespace kova {

struct GroupData {
  int T = 0;   // estimation records
  int TF = 0;  // forecast records
  int K = 0, P = 0;
  double* y = nullptr;   // T values
  Mat X;                 // K x T: column j is x of estimation period j
  Mat Z;                 // P x T
  double* yF = nullptr;  // TF values, -999999.0 where y was not given
  Mat XF;                // K x TF
  Mat ZF;                // P x TF
};

// Fills the arrays of `data` for group position g. The three forecast files
// are opened and closed even when TF = 0. A record that cannot be read ends
// the run with a message naming the file and the record.
void GETDTA(GroupData& data, const FileTable& files, int g, int logUnit);

}  // namespace kova
