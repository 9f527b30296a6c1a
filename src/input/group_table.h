#pragma once
// The run's per-group tables, indexed by group position g = 1..NG (entry
// g - 1), groups in ascending order of identifier.
#include <array>

#include "io/file_table.h"

namespace kova {

struct GroupTable {
  std::array<int, kMaxGroups> id{};
  std::array<int, kMaxGroups> keys{};
  // Expected from the key file by the forecast index.
  std::array<int, kMaxGroups> estimationRecords{};
  std::array<int, kMaxGroups> forecastRecords{};
  // The records that the data set-up found in the data files.
  std::array<int, kMaxGroups> foundEstimation{};
  std::array<int, kMaxGroups> foundForecast{};
  // The iteration limit of every group.
  std::array<int, kMaxGroups> MAXITG{};
};

}  // namespace kova
