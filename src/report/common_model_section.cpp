#include "report/common_model_section.h"

#include <algorithm>
#include <cmath>

#include "io/edit_descriptors.h"
#include "io/messages.h"
#include "report/result_tables.h"

namespace kova {
namespace {

std::string se(Mat cov, int k) {
  if (cov.p == nullptr || !(cov(k, k) > 0.0)) return std::string(13, ' ');
  return "(" + editG(std::sqrt(cov(k, k)), 11, 4) + ")";
}

void printMatrix(const char* title, Mat a, Mat cov, int out) {
  writeUnit(out, std::string("   ") + title);
  for (int i = 1; i <= a.rows; ++i) {
    std::string line = "   ";
    for (int j = 1; j <= a.cols; ++j)
      line += editG(a(i, j), 13, 5) + " " + se(cov, (j - 1) * a.rows + i);
    writeUnit(out, line);
  }
}

// The 95% intervals of PHI's diagonal, where the section has them.
void printPhiIntervals(const CommonModelSection& s, int out) {
  bool any = false;
  for (int v : s.phiInterval) any = any || v;
  if (!any) return;
  writeUnit(out,
            "   95% INTERVALS OF PHI ON THE SCALE OF THE STATIONARY MAP (B ATANH(PHI / B),"
            " B = EVLTOL)");
  for (size_t j = 0; j < s.phiInterval.size(); ++j)
    if (s.phiInterval[j])
      writeUnit(out, "   PHI(" + editI(static_cast<int>(j) + 1, 0) + "," +
                         editI(static_cast<int>(j) + 1, 0) + ")" + editG(s.phiLower[j], 13, 5) +
                         " TO" + editG(s.phiUpper[j], 13, 5));
}

}  // namespace

void printCommonModel(const CommonModelSection& s, int out) {
  writeUnit(out, "");
  writeUnit(out, " PHI AND DELTA COMMON TO ALL GROUPS");
  writeUnit(out, " ==================================");
  writeUnit(out,
            std::string("   CRITERION: ") +
                (s.restricted ? "RESTRICTED MAXIMUM LIKELIHOOD (EACH GROUP'S PI INTEGRATED OUT)"
                              : "MAXIMUM LIKELIHOOD (EACH GROUP'S PI MAXIMISED OUT)"));
  writeUnit(out, "   GROUPS" + editI(s.groups, 6) + "   OBSERVATIONS" + editI(s.observations, 8) +
                     "   THREADS" + editI(s.threads, 3));
  writeUnit(out, "   STARTS" + editI(s.starts, 3) + " (LOOSE MAXIMA FROM" +
                     editG(s.screenedLow, 14, 7) + " TO" + editG(s.screenedHigh, 14, 7) +
                     ")   EVALUATIONS" + editI(s.evaluations, 7));
  if (s.piInequalities)
    writeUnit(out, "   THE PI INEQUALITY ROWS ARE NOT PART OF THE COMMON FIT (THE GROUPS' PASS USES"
                   " THEM).");
  if (s.polished >= 2)
    writeUnit(out, "   THE BEST TWO STARTS POLISHED, THE LOWER OF THEIR MAXIMA" +
                       editG(s.polishedLow, 16, 9));
  else if (s.starts >= 2)
    writeUnit(out, "   THE BEST START POLISHED (THE NEXT ONE'S LOOSE MAXIMUM LAY AT ITS MAXIMUM)");
  else
    writeUnit(out, "   THE START POLISHED");
  writeUnit(out, std::string("   STATUS: ") + s.status);
  writeUnit(
      out, "   LOG-LIKELIHOOD" + editG(s.loglik, 16, 9) + "   PARAMETERS" + editI(s.parameters, 6));
  if (s.penalty)
    writeUnit(out, "   PENALTY (WISHART, M + 2 DEGREES OF FREEDOM) ON THE FULL DELTA" +
                       editG(s.penaltyValue, 14, 6));
  writeUnit(out, "   AIC" + editG(s.aic, 16, 9) + "   BIC" + editG(s.bic, 16, 9));
  if (!s.zeroPhi) printMatrix("PHI (STANDARD ERRORS)", s.phi, s.covariance ? s.phiCov : Mat{}, out);
  printPhiIntervals(s, out);
  printMatrix("DELTA, TRACE M (STANDARD ERRORS)", s.delta, s.covariance ? s.deltaCov : Mat{}, out);
  const int M = s.phi.rows;
  for (int j = 1; j <= M; ++j) {
    if (s.deltaZero[j - 1])
      writeUnit(out, "   DELTA(" + editI(j, 0) + "," + editI(j, 0) +
                         ") IS AT ZERO: FIXED AT 0 (COMPONENT " + editI(j, 0) +
                         " OF EPSILON DOES NOT VARY).");
    if (s.phiNotIdentified[j - 1])
      writeUnit(out, "   PHI(" + editI(j, 0) + "," + editI(j, 0) +
                         ") IS NOT IDENTIFIED (THE LIKELIHOOD IS FLAT IN IT): HELD AT 0.");
    if (s.phiAtBound[j - 1] && s.diagonalPhi)
      writeUnit(out, "   PHI(" + editI(j, 0) + "," + editI(j, 0) + ") IS AT THE BOUND EVLTOL =" +
                         editG(s.EVLTOL, 11, 4) + ": NO STANDARD ERROR.");
  }
  if (!s.diagonalPhi && !s.zeroPhi && !s.phiAtBound.empty() && s.phiAtBound[0])
    writeUnit(out, "   THE SPECTRAL RADIUS OF PHI IS AT THE BOUND EVLTOL =" +
                       editG(s.EVLTOL, 11, 4) + ": NO STANDARD ERRORS FOR PHI.");
  if (s.deltaSingular)
    writeUnit(out, "   DELTA IS SINGULAR (SMALLEST OVER LARGEST EIGENVALUE" +
                       editG(s.deltaRatio, 11, 3) +
                       "): THE LIKELIHOOD GROWS WITHOUT BOUND THERE AND HAS NO MAXIMUM.");
  if (!s.covariance)
    writeUnit(out, "   NO STANDARD ERRORS: THE OBSERVED INFORMATION IS NOT POSITIVE DEFINITE.");
  else if (s.omitted > 0)
    writeUnit(out, "   STANDARD ERRORS FROM THE INFORMATION WITHOUT THE" + editI(s.omitted, 3) +
                       " ELEMENTS FIXED OR AT THE BOUND.");
  writeUnit(out, "   GROUP      SIGMA**2       LOG-LIKELIHOOD");
  for (size_t g = 0; g < s.groupIds.size(); ++g)
    writeUnit(out, "   " + editI(s.groupIds[g], 5) + editG(s.sigma2[g], 15, 6) +
                       editG(s.groupLoglik[g], 17, 8));
  writeUnit(out, "   EACH GROUP'S PASS BELOW RUNS AT THIS PHI AND DELTA.");
}

void reportCommonWarnings(const CommonModelSection& s, ResultTables* tables, int out, int log) {
  auto warn = [&](const std::string& kind, double value, const std::string& text) {
    writeUnit(out, " WARNING (COMMON MODEL): " + text);
    writeUnit(log, " WARNING (COMMON MODEL): " + text);
    if (tables != nullptr) tables->addCommonWarning(kind, value);
  };
  const int M = static_cast<int>(s.deltaZero.size());
  if (std::string(s.status) != "CONVERGED")
    warn("common_not_converged", 0.0, std::string("THE SEARCH ENDED ") + s.status + ".");
  for (int j = 1; j <= M; ++j) {
    if (s.deltaZero[j - 1])
      warn("common_delta_zero", j, "DELTA(" + editI(j, 0) + "," + editI(j, 0) + ") FIXED AT 0.");
    if (s.phiNotIdentified[j - 1])
      warn("common_phi_not_identified", j,
           "PHI(" + editI(j, 0) + "," + editI(j, 0) + ") IS NOT IDENTIFIED.");
    if (s.phiAtBound[j - 1] && s.diagonalPhi)
      warn("common_phi_at_bound", j, "PHI(" + editI(j, 0) + "," + editI(j, 0) + ") AT THE BOUND.");
  }
  if (!s.diagonalPhi && !s.zeroPhi && M > 0 && s.phiAtBound[0])
    warn("common_phi_at_bound", 0.0, "THE SPECTRAL RADIUS OF PHI IS AT THE BOUND.");
  if (s.deltaSingular)
    warn("common_delta_singular", s.deltaRatio, "DELTA IS SINGULAR: NO MAXIMUM.");
  if (!s.covariance) warn("common_no_standard_errors", 0.0, "NO STANDARD ERRORS.");
}

}  // namespace kova
