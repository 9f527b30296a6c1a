#pragma once
// The maximum-likelihood step of a group: the search, its report and the
// hand-over of the estimates to the final pass.
#include "likelihood/max_likelihood.h"
#include "solvers/damped_search.h"

namespace kova {

class ResultTables;

// MLSTEP: the step between a group's iterative passes and its final pass
// under METHOD = ML. Says in the report when ML does not apply (DELTA
// restriction rows, PI inequality rows); otherwise estimates, prints the
// section of the method (log-likelihood, parameters, AIC, BIC, the
// optimiser's status and evaluations, PHI and SIGMA**2 DELTA with their
// standard errors, DELTA, SIGMA**2) and adds its rows to the result tables.
// Returns true when phi and delta hold the ML estimates for the final pass;
// false when they keep the iterative ones (not applicable, not converged,
// failed: each reported).
// How a group's likelihood step ended: not applicable to its restrictions,
// at an interior maximum, at a boundary maximum, held off a degenerate
// likelihood, or not converged (the iterative estimates kept).
enum class MlEnding { NotApplicable, Interior, Boundary, Degenerate, NotConverged };

struct MlStepJob {
  MlData data;
  MlForm form;
  RestrictionRows phiRows;
  MlEarlierPasses earlier;  // the iterative passes' PHI and DELTA, further starts
  bool deltaRestrictions = false;
  bool piInequalities = false;
  int groupId = 0;
  int finalPass = 0;
  int printLevel = 1;
  ResultTables* tables = nullptr;
  int outUnit = 0, logUnit = 0;
  // Out: the factor of the covariance of the estimates (MlResult::spread);
  // spreadCount 0 when the step returns false or has no covariance.
  Mat spread;
  int* spreadCount = nullptr;
  // How the step ended, when given (for the run's summary).
  MlEnding* ending = nullptr;
};
bool MLSTEP(const MlStepJob& job, Mat phi, Mat delta, Scratch s);
ScratchNeed MLSTEPneed(const GroupDims& d, int piRows, int phiRows);

}  // namespace kova
