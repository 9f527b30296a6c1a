#pragma once
// Everything a run owns, from start to end: capacities, file table,
// dimensions, per-group tables and the program region.
#include <complex>
#include <vector>

#include "run/capacities.h"
#include "run/file_table.h"

namespace kova {

struct RunDims {
  int T = 0;   // keys (data records) of all groups
  int K = 0;   // components of x(t) and BETA(t)
  int P = 0;   // components of z(t)
  int M = 0;   // components of EPSILON(t)
  int NG = 0;  // distinct groups
};

// Per-group tables, indexed by group position g = 1..NG through the accessors.
struct GroupTable {
  std::array<int, kMaxGroups> id{};
  std::array<int, kMaxGroups> keys{};
  std::array<int, kMaxGroups> estimationRecords{};
  std::array<int, kMaxGroups> forecastRecords{};
  // The records that the data set-up found in the data files.
  std::array<int, kMaxGroups> foundEstimation{};
  std::array<int, kMaxGroups> foundForecast{};
  // The iteration limit of every group.
  std::array<int, kMaxGroups> MAXITG{};
};

struct RunRecord {
  Capacities capacities;
  SecondCapacities second;
  FileTable files;
  RunDims dims;
  GroupTable groups;
  // The program region, sized once from the capacities.
  std::vector<double> WR;
  std::vector<int> WI;
  std::vector<std::complex<double>> WC;

  int outUnit() const { return files.unit(Fixed::KOVAOUT); }
  int logUnit() const { return files.unit(Fixed::KOVALOG); }
};

}  // namespace kova
