#pragma once
// Everything a run owns, from start to end: capacities, file table,
// dimensions, per-group tables and the program region.
#include <array>
#include <complex>
#include <vector>

#include "data/data_set_up.h"
#include "data/restrictions.h"
#include "input/key_file.h"
#include "input/options.h"
#include "input/capacities.h"
#include "io/file_table.h"
#include "input/group_table.h"

namespace kova {

struct RunDims {
  int T = 0;   // keys (data records) of all groups
  int K = 0;   // components of x(t) and BETA(t)
  int P = 0;   // components of z(t)
  int M = 0;   // components of EPSILON(t)
  int NG = 0;  // distinct groups
};


struct RunRecord {
  Capacities capacities;
  SecondCapacities second;
  FileTable files;
  RunDims dims;
  GroupTable groups;
  Options options;
  KeyTable keys;
  Restrictions restrictions;
  VariableNames names;
  // The L-matrix (K x M, leading dimension 30).
  std::vector<double> lMatrix = std::vector<double>(30 * 30);
  // Set by the data set-up once the groups' data and the restrictions are in place.
  bool dataReady = false;
  bool restrictionsReady = false;
  // SIGMA**2 of every group's last pass, by group position, for the pooled phase.
  std::array<double, kMaxGroups> groupSigma2{};
  // The program region, sized once from the capacities.
  std::vector<double> WR;
  std::vector<int> WI;
  std::vector<std::complex<double>> WC;

  int outUnit() const { return files.unit(Fixed::KOVAOUT); }
  int logUnit() const { return files.unit(Fixed::KOVALOG); }
};

}  // namespace kova
