#pragma once
// ESTGRP: one group estimated from start to finish: its data, its starting
// values, passes 0..N (GAMMA, YSIGMA, PI with SIGMA**2 and its covariance,
// EPSILON, BETA(t), forecasts, each with its report section), then the save
// files. Everything the group uses lives in the program region, laid out by
// the group plan; nothing is allocated during the passes.
#include <vector>

#include "data/data_set_up.h"
#include "data/group_dims.h"
#include "data/restrictions.h"
#include "engine/pass_engine.h"
#include "estimation/pooled_hand_over.h"
#include "input/options.h"
#include "input/workspace_plan.h"
#include "io/file_table.h"
#include "linalg/scratch.h"
#include "report/result_tables.h"

namespace kova {

// What became of a group's likelihood step, for the run's closing summary.
enum class MlOutcome { None, Converged, Boundary, Degenerate, NotConverged, NotApplicable };
struct GroupOutcome {
  MlOutcome ml = MlOutcome::None;
};

// The PHI and DELTA common to all groups of the run (likelihood/
// common_model.h): the group runs one pass, at them.
struct CommonStart {
  Mat phi, delta;     // M x M
  Mat spread;         // 2 M*M x spreadCount: a factor of their covariance
  int spreadCount = 0;  // 0: no standard errors
};

// What the run driver hands to the group driver.
struct GroupJob {
  int groupId = 0;
  int g = 0;         // group position 1..NG
  int NG = 0;
  int lastPass = 0;  // N: passes 0..N run
  GroupDims dims;
  const Options* options = nullptr;
  const FileTable* files = nullptr;
  const VariableNames* names = nullptr;
  Mat L;                                 // K x M
  Restrictions* restrictions = nullptr;  // the master copies
  const GroupPlan* plan = nullptr;
  RegionDoubles* WR = nullptr;
  std::vector<int>* WI = nullptr;
  std::vector<dcomplex>* WC = nullptr;
  double* sigma2Table = nullptr;  // per group position, filled on the last pass
  PooledHandOver handOver;  // the pooled phase's receiver, when the run has one
  ResultTables* tables = nullptr;    // the CSV result tables, when kept
  GroupOutcome* outcome = nullptr;   // filled when given
  const CommonStart* common = nullptr;  // the common model's estimates, when the run has them
  int outUnit = 0, logUnit = 0;
};

// What the group plan must hold: the largest scratch need of the steps of
// one group, and the arrays of the engine of its passes.
struct GroupNeeds {
  ScratchNeed step;
  EngineNeeds engine;
};
// handOver: the need of the pooled phase's receiver on the last pass.
GroupNeeds groupNeeds(const GroupDims& dims, const Options& options, int groupId,
                      const ScratchNeed& handOver);

void ESTGRP(const GroupJob& job);

}  // namespace kova
