#pragma once
// The common model of a run (COMMON MODEL = REML or ML): a first sweep
// reads every group's data and keeps what the likelihood needs in memory,
// the common PHI and DELTA are estimated (likelihood/common_model.h) and
// reported; the groups then each run one pass at them.
#include <vector>

#include "estimation/group_driver.h"
#include "report/result_tables.h"
#include "run/run_record.h"

namespace kova {

struct CommonPhase {
  bool active = false;
  std::vector<double> phi, delta, spread;
  CommonStart start;  // views of the vectors above
};

void runCommonPhase(RunRecord& run, ResultTables& tables, CommonPhase& phase);

}  // namespace kova
