#pragma once
// After a group's last pass: the signs that the passes have gone wrong. The
// method has no convergence test and reports every pass in full, so a run
// whose passes wandered off looks like any other; these findings say so.
//
//   sigma2_grew, sigma2_shrank  SIGMA**2 of the last pass above ten times,
//                               or below a tenth of, that of pass 1 (the
//                               first with estimated PHI and DELTA); value:
//                               the ratio. Needs a last pass of 2 or more
//                               and a SIGMA**2 of pass 1 above 0 (a zero
//                               one is a vanished error term, reported by
//                               the DELTA findings). Not made when the last
//                               pass is at maximum-likelihood estimates:
//                               the drift is that of the iterative passes,
//                               which the likelihood step replaced (they are
//                               only its starts), and its own findings say
//                               where its maximum went wrong.
//   phi_at_bound                an eigenvalue modulus of PHI at the bound
//                               EVLTOL, within the 1.0E-5 to which the
//                               damped search holds it, or beyond; value:
//                               the largest modulus.
//   delta_singular              DELTA of rank below M (an eigenvalue at or
//                               below 1.0E-10 of the largest counts as zero);
//                               value: the rank. Not in the OLS and GLS modes,
//                               whose DELTA has one element by design.
//   delta11_zero                the OLS and GLS modes: DELTA(1,1) is zero, so
//                               the error term has vanished; value: DELTA(1,1).
//   pi_rank_deficient           the regressors XZ, under PI's equality rows,
//                               are collinear, so some combinations of PI's
//                               elements are not determined by the data;
//                               value: how many (estimation/pi_rank.h finds
//                               and reports them, with the variables).
//   beta_se_incomplete          a part of the standard errors of BETA(t) of
//                               the last pass could not be computed, so they
//                               are left empty; value: why (BetaSeGap).
//
// A pass at PHI and DELTA common to all groups leaves out phi_at_bound and
// delta_singular: they are properties of the common PHI and DELTA alone,
// reported once for the panel (report/common_model_section.h), and would
// only repeat that finding for every group.
//
// Each finding is one line in the report, one in the log and one row of the
// result table KOVA_WARNINGS.csv; the run goes on and its exit status is 0.
#include <string>

#include "linalg/scratch.h"
#include "linalg/views.h"

namespace kova {

class ResultTables;

enum class WarningKind {
  Sigma2Grew,
  Sigma2Shrank,
  PhiAtBound,
  DeltaSingular,
  Delta11Zero,
  PiRankDeficient,
  BetaSeIncomplete
};

// Why the standard errors of BETA(t) are left empty (the value of
// beta_se_incomplete).
enum BetaSeGap {
  kBetaSeComplete = 0,
  kPiCovarianceMissing = 1,  // the covariance of PI could not be formed
  kSpreadMissing = 2,        // ML: the observed information is not positive definite
  kNoAdmissibleDraw = 3,     // ML: no draw of PHI and DELTA has a likelihood
  kMlStepFailed = 4,         // ML: the last pass is not at ML estimates
  kRemlNoSpread = 5,         // no longer given (REML now forms the covariance)
};

struct PassWarning {
  WarningKind kind = WarningKind::Sigma2Grew;
  double value = 0.0;
};

struct PassWarnings {
  int count = 0;
  PassWarning item[8];
};

// What the last pass left.
struct LastPassState {
  int lastPass = 0;
  double sigma2First = 0.0;  // SIGMA**2 of pass 1
  double sigma2Last = 0.0;
  Mat phi;                   // M x M
  bool zeroPhi = false, diagonalPhi = false;
  double EVLTOL = 0.995;
  Mat delta;                 // M x M, as repaired
  bool leadingOnly = false;  // the OLS and GLS modes
  bool atMlEstimates = false;  // the last pass runs at the ML PHI and DELTA
  int betaSeGap = kBetaSeComplete;
  bool commonPhiDelta = false;  // PHI and DELTA are those common to all groups
};

// The findings, in the order of the table above. A failing eigen-solver is
// reported on unit and the check goes on with what it computed.
PassWarnings checkLastPass(const LastPassState& state, Scratch s, int unit);
ScratchNeed checkLastPassNeed(int M);

// The name of a kind in KOVA_WARNINGS.csv.
const char* warningKindName(WarningKind kind);

// The report line of a finding.
std::string warningLine(const PassWarning& w, int groupId, int pass, int M);

// Each finding to the output unit, the log unit and the tables (when given).
void reportWarnings(const PassWarnings& warnings, int groupId, int pass, int M, int outUnit,
                    int logUnit, ResultTables* tables);

}  // namespace kova
