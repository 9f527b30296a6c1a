#pragma once
// The report section of the PHI and DELTA common to all groups: the
// criterion, the search, the (restricted) log-likelihood with its parameter
// count, AIC and BIC, PHI and DELTA with standard errors, the boundaries
// and each group's SIGMA**2; and the warnings of the common model, in the
// report, the log and KOVA_WARNINGS.csv (group and pass empty).
#include <string>
#include <vector>

#include "linalg/views.h"

namespace kova {

class ResultTables;

struct CommonModelSection {
  bool restricted = true;  // REML; otherwise ML
  bool penalty = false;    // the Wishart penalty of a full DELTA was on
  int groups = 0, threads = 1;
  const char* status = "";  // CONVERGED, NOT CONVERGED, FAILED
  int starts = 0, evaluations = 0;
  double screenedLow = 0.0, screenedHigh = 0.0, polishedLow = 0.0;
  int polished = 2;  // the starts polished
  double loglik = 0.0, penaltyValue = 0.0, aic = 0.0, bic = 0.0;
  int parameters = 0, observations = 0;
  Mat phi, delta;        // M x M
  Mat phiCov, deltaCov;  // M*M square each; empty: no standard errors
  bool zeroPhi = false, diagonalPhi = false;
  bool piInequalities = false;  // the run's PI inequality rows (left out of the fit)
  double EVLTOL = 0.995;
  std::vector<int> deltaZero, phiNotIdentified, phiAtBound;  // per component
  bool deltaSingular = false;  // a full DELTA turned singular with no maximum
  double deltaRatio = 1.0;
  // A full DELTA held at rank deltaRank (0: not held): its null directions
  // (M x (M - deltaRank)), PHI's flat directions (M x phiFlatCount), the
  // names of EPSILON's components (M) they are written in.
  int deltaRank = 0;
  std::vector<double> deltaNull, phiFlat;
  int phiFlatCount = 0;
  double projectionLoss = 0.0;
  std::vector<std::string> componentNames;
  bool covariance = false;
  // The 95% intervals of PHI's diagonal on the scale of the stationary map
  // (likelihood/stationary_interval.h), per component; empty or 0 in
  // phiInterval where the element has none (a full PHI has none).
  std::vector<int> phiInterval;
  std::vector<double> phiLower, phiUpper;
  int omitted = 0;
  std::vector<int> groupIds;
  std::vector<double> sigma2, groupLoglik;
};

void printCommonModel(const CommonModelSection& s, int outUnit);
// The warnings of the section: report, log, and table rows.
void reportCommonWarnings(const CommonModelSection& s, ResultTables* tables, int outUnit,
                          int logUnit);

}  // namespace kova
