#include "run/common_phase.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>

#include "data/group_data.h"
#include "engine/covariance_structure.h"
#include "io/edit_descriptors.h"
#include "io/error_report.h"
#include "io/messages.h"
#include "likelihood/common_model.h"
#include "likelihood/group_pool.h"
#include "likelihood/stationary_interval.h"
#include "report/common_model_section.h"
#include "report/named_estimates.h"

namespace kova {
namespace {

// One group's data, held for the run's common estimation.
struct HeldGroup {
  std::vector<double> y, X, Z, yF, XF, ZF, tlx, xz;
};

void refuse(const std::string& why, int logUnit) {
  reportError(" ERROR IN THE PARAMETER FILE: THE COMMON MODEL " + why + ".", "STOP", logUnit);
}

PanelGroupData holdGroup(RunRecord& run, int g, HeldGroup& h) {
  const Options& o = run.options;
  const int K = o.K, P = o.P, M = o.M, KP = K * P;
  const int T = run.groups.foundEstimation[g - 1], TF = run.groups.foundForecast[g - 1];
  auto sized = [](std::vector<double>& v, long long n) {
    v.assign(static_cast<size_t>(std::max(n, 1LL)), 0.0);
  };
  sized(h.y, T);
  sized(h.X, 1LL * K * T);
  sized(h.Z, 1LL * P * T);
  sized(h.yF, TF);
  sized(h.XF, 1LL * K * TF);
  sized(h.ZF, 1LL * P * TF);
  sized(h.tlx, 1LL * M * T);
  sized(h.xz, 1LL * T * KP);
  GroupData d;
  d.T = T;
  d.TF = TF;
  d.K = K;
  d.P = P;
  d.y = h.y.data();
  d.yF = h.yF.data();
  d.X = Mat{h.X.data(), std::max(K, 1), K, T};
  d.Z = Mat{h.Z.data(), std::max(P, 1), P, T};
  d.XF = Mat{h.XF.data(), std::max(K, 1), K, TF};
  d.ZF = Mat{h.ZF.data(), std::max(P, 1), P, TF};
  GETDTA(d, run.files, g, run.logUnit());
  const Mat L{run.lMatrix.data(), run.second.ldLMatrix, K, M};
  const Mat tlx{h.tlx.data(), std::max(M, 1), M, T};
  const Mat xz{h.xz.data(), std::max(T, 1), T, KP};
  CTLXS(L, d.X, tlx, run.files.scratch(Family::TLX, g), false, run.logUnit());
  CXZ(d.X, d.Z, xz, run.files.scratch(Family::XZ, g), false, run.logUnit());
  Restriction& pi = run.restrictions.pi;
  const int rows = o.piEqualityRows;
  return PanelGroupData{tlx, xz, h.y.data(),
                        PiRestrictionView{Mat{pi.matrix.data(), kRestrictionCapacity, rows, KP},
                                          pi.vector.data(), rows}};
}

const char* statusName(MlStatus s) {
  switch (s) {
    case MlStatus::Converged:
      return "CONVERGED";
    case MlStatus::NotConverged:
      return "NOT CONVERGED (EVALUATION LIMIT)";
    default:
      return "FAILED";
  }
}

// The intervals of PHI's diagonal elements with a standard error, where
// each is an autoregressive coefficient of its own component (a diagonal
// PHI, or M = 1).
void phiIntervals(CommonModelSection& s) {
  const int M = s.phi.rows;
  s.phiInterval.assign(M, 0);
  s.phiLower.assign(M, 0.0);
  s.phiUpper.assign(M, 0.0);
  if (s.zeroPhi || !s.covariance || !(s.diagonalPhi || M == 1)) return;
  for (int j = 1; j <= M; ++j) {
    const int k = (j - 1) * M + j;
    const double v = s.phiCov(k, k);
    if (!(v > 0.0)) continue;
    const PhiInterval i = stationaryInterval(s.phi(j, j), std::sqrt(v), s.EVLTOL);
    if (!i.valid) continue;
    s.phiInterval[j - 1] = 1;
    s.phiLower[j - 1] = i.lower;
    s.phiUpper[j - 1] = i.upper;
  }
}

// EPSILON's components by the x variable whose coefficient each moves (a
// column of L with a single 1), else EPSILON(j).
std::vector<std::string> componentNames(const RunRecord& run) {
  const int K = run.options.K, M = run.options.M;
  const Mat L{const_cast<double*>(run.lMatrix.data()), run.second.ldLMatrix, K, M};
  std::vector<std::string> names;
  for (int j = 1; j <= M; ++j) {
    int k = 0, nonzero = 0;
    for (int i = 1; i <= K; ++i)
      if (L(i, j) != 0.0) {
        ++nonzero;
        k = i;
      }
    names.push_back(nonzero == 1 && L(k, j) == 1.0 ? variableName(&run.names.x, k, 'X')
                                                   : "EPSILON(" + std::to_string(j) + ")");
  }
  return names;
}

}  // namespace

void runCommonPhase(RunRecord& run, ResultTables& tables, CommonPhase& phase) {
  const Options& o = run.options;
  const int NG = run.dims.NG, M = o.M, log = run.logUnit(), out = run.outUnit();
  if (o.ordinaryLeastSquares || o.generalisedLeastSquares)
    refuse("IS NOT AVAILABLE IN THE OLS AND GLS MODES", log);
  if (o.phiRestrictionRows > 0 || o.deltaRestrictionRows > 0)
    refuse("TAKES NO PHI- OR DELTA-RESTRICTION ROWS", log);
  const auto began = std::chrono::steady_clock::now();
  std::vector<HeldGroup> held(static_cast<size_t>(NG));
  std::vector<PanelGroupData> data;
  for (int g = 1; g <= NG; ++g) data.push_back(holdGroup(run, g, held[g - 1]));
  const bool restricted = o.commonModel == 'R';
  Panel panel(data, M, restricted ? PanelCriterion::REML : PanelCriterion::ML,
              poolThreads(o.commonThreads));
  if (!panel.ready())
    reportError(" ERROR IN THE COMMON MODEL: IN GROUP" +
                    editI(run.groups.id[panel.groupFault() - 1], 5) +
                    " XZ HAS NO MORE ROWS THAN FREE ELEMENTS OF PI OR, UNDER THE RESTRICTED"
                    " LIKELIHOOD, IS NOT OF FULL COLUMN RANK ON THEM (COMMON MODEL = ML TAKES"
                    " THE LATTER).",
                "STOP", log);
  CommonForm form;
  form.zeroPhi = o.zeroPhi;
  form.diagonalPhi = o.diagonalPhi;
  form.diagonalDelta = o.diagonalDelta;
  form.penalty = o.commonPenalty && !o.diagonalDelta;
  form.EVLTOL = o.EVLTOL;
  CommonResult r;
  estimateCommonModel(panel, form, r);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  if (r.status == MlStatus::Failed || r.phi.empty())
    reportError(
        " ERROR IN THE COMMON MODEL: NO PHI AND DELTA WITH A LIKELIHOOD WERE FOUND"
        " FOR THE PANEL.",
        "STOP", log);

  phase.active = true;
  phase.phi = r.phi;
  phase.delta = r.delta;
  phase.spread = r.spread;
  phase.start.phi = Mat{phase.phi.data(), M, M, M};
  phase.start.delta = Mat{phase.delta.data(), M, M, M};
  phase.start.spreadCount = r.covariance ? r.spreadCount : 0;
  if (phase.start.spreadCount > 0)
    phase.start.spread = Mat{phase.spread.data(), 2 * M * M, 2 * M * M, r.spreadCount};

  const int M2 = M * M;
  std::vector<double> phiCov(static_cast<size_t>(M2) * M2), deltaCov(phiCov.size());
  if (r.covariance)
    for (int b = 0; b < M2; ++b)
      for (int a = 0; a < M2; ++a) {
        phiCov[static_cast<size_t>(b) * M2 + a] = r.cov[static_cast<size_t>(b) * 2 * M2 + a];
        deltaCov[static_cast<size_t>(b) * M2 + a] =
            r.cov[static_cast<size_t>(b + M2) * 2 * M2 + a + M2];
      }
  CommonModelSection s;
  s.restricted = restricted;
  s.penalty = form.penalty;
  s.groups = NG;
  s.threads = panel.threads();
  s.status = statusName(r.status);
  s.starts = r.starts;
  s.evaluations = r.evaluations;
  s.screenedLow = r.screenedLow;
  s.screenedHigh = r.screenedHigh;
  s.polishedLow = r.polishedLow;
  s.polished = r.polished;
  s.loglik = r.loglik;
  s.penaltyValue = r.penalty;
  s.aic = r.aic;
  s.bic = r.bic;
  s.parameters = r.parameters;
  s.observations = r.observations;
  s.phi = phase.start.phi;
  s.delta = phase.start.delta;
  if (r.covariance) {
    s.phiCov = Mat{phiCov.data(), M2, M2, M2};
    s.deltaCov = Mat{deltaCov.data(), M2, M2, M2};
  }
  s.zeroPhi = o.zeroPhi;
  s.piInequalities = o.piRestrictionRows > o.piEqualityRows;
  s.diagonalPhi = o.diagonalPhi;
  s.EVLTOL = o.EVLTOL;
  s.deltaZero = r.deltaZero;
  s.phiNotIdentified = r.phiNotIdentified;
  s.phiAtBound = r.phiAtBound;
  s.deltaSingular = r.deltaSingular;
  s.deltaRatio = r.deltaRatio;
  if (r.deltaSingular) s.status = "NO MAXIMUM (DELTA TURNS SINGULAR)";
  s.deltaRank = r.deltaRank;
  s.deltaNull = r.deltaNull;
  s.phiFlat = r.phiFlat;
  s.phiFlatCount = r.phiFlatCount;
  s.projectionLoss = r.projectionLoss;
  s.componentNames = componentNames(run);
  s.covariance = r.covariance;
  phiIntervals(s);
  s.omitted = r.omitted;
  s.groupIds.assign(run.groups.id.begin(), run.groups.id.begin() + NG);
  s.sigma2 = r.sigma2;
  s.groupLoglik = r.groupLoglik;
  printCommonModel(s, out);
  // The time goes to the log only: the report of the same data stays the same.
  writeUnit(log, " THE COMMON MODEL TOOK" + editF(seconds, 9, 3) + " S ON" +
                     editI(panel.threads(), 3) + " THREADS," + editI(r.evaluations, 8) +
                     " EVALUATIONS.");
  reportCommonWarnings(s, &tables, out, log);

  CommonModelRows rows;
  rows.loglik = r.loglik;
  rows.penalty = r.penalty;
  rows.parameters = r.parameters;
  rows.observations = r.observations;
  rows.aic = r.aic;
  rows.bic = r.bic;
  rows.phi = s.phi;
  rows.delta = s.delta;
  rows.phiCov = s.phiCov;
  rows.deltaCov = s.deltaCov;
  rows.phiInterval = s.phiInterval;
  rows.phiLower = s.phiLower;
  rows.phiUpper = s.phiUpper;
  tables.addCommonModel(rows);
}

}  // namespace kova
