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

// The combination sum_j v(j) name(j) of a direction, its terms above
// 1e-8 of the largest.
std::string combination(const std::vector<double>& v, int column,
                        const std::vector<std::string>& names) {
  const int M = static_cast<int>(names.size());
  std::string text;
  for (int j = 0; j < M; ++j) {
    const double x = v[static_cast<size_t>(column) * M + j];
    if (!(std::fabs(x) > 1.0E-8)) continue;
    std::string number = editG(std::fabs(x), 11, 4);
    number.erase(0, number.find_first_not_of(' '));
    number.erase(number.find_last_not_of(' ') + 1);
    text +=
        (text.empty() ? (x < 0.0 ? "-" : "") : (x < 0.0 ? " - " : " + ")) + number + " " + names[j];
  }
  return text;
}

void writeWrapped(int out, const std::string& text) {
  const size_t width = 76;
  std::string rest = text, indent = "   ";
  while (rest.size() + indent.size() > width + 3) {
    size_t cut = rest.rfind(' ', width);
    if (cut == std::string::npos || cut == 0) cut = width;
    writeUnit(out, indent + rest.substr(0, cut));
    rest = rest.substr(rest.find_first_not_of(' ', cut) == std::string::npos
                           ? rest.size()
                           : rest.find_first_not_of(' ', cut));
    indent = "     ";
  }
  if (!rest.empty()) writeUnit(out, indent + rest);
}

// A full DELTA held at a lower rank, or singular with no maximum.
void printDeltaRank(const CommonModelSection& s, int out) {
  if (s.deltaSingular)
    writeWrapped(out,
                 "DELTA IS SINGULAR (SMALLEST OVER LARGEST EIGENVALUE, ON THE SCALE OF THE"
                 " DATA," +
                     editG(s.deltaRatio, 11, 3) +
                     "): THE LIKELIHOOD GROWS WITHOUT BOUND AS DELTA TURNS SINGULAR AND HAS"
                     " NO MAXIMUM. PHI AND DELTA ARE THE LAST POINT OF THE SEARCH.");
  if (s.deltaRank == 0) return;
  const int M = static_cast<int>(s.componentNames.size());
  writeWrapped(out,
               "DELTA ENDS AT ITS BOUNDARY (SMALLEST OVER LARGEST EIGENVALUE, ON THE SCALE OF"
               " THE DATA," +
                   editG(s.deltaRatio, 11, 3) + "): HELD AT RANK " + std::to_string(s.deltaRank) +
                   ", AT THE MAXIMUM OF THE LIKELIHOOD THERE."
                   " THESE COMBINATIONS OF THE INNOVATIONS A(T) OF EPSILON DO NOT VARY"
                   " (DELTA V = 0):");
  for (int k = 0; k < M - s.deltaRank; ++k)
    writeWrapped(out, "  " + combination(s.deltaNull, k, s.componentNames));
  if (s.zeroPhi) return;
  if (s.phiFlatCount == 0) {
    writeWrapped(out,
                 "NO COMBINATION OF EPSILON IS CONSTANT (THE OTHER INNOVATIONS REACH EVERY"
                 " DIRECTION THROUGH PHI): PHI STAYS IDENTIFIED.");
    return;
  }
  for (int k = 0; k < s.phiFlatCount; ++k) {
    const std::string w = combination(s.phiFlat, k, s.componentNames);
    if (s.diagonalPhi)
      writeWrapped(out, "EPSILON'S COMBINATION " + w + " IS CONSTANT (0).");
    else
      writeWrapped(out, "EPSILON'S COMBINATION " + w +
                            " IS CONSTANT (0): PHI'S ACTION ON IT (PHI TIMES THAT DIRECTION) IS"
                            " NOT IDENTIFIED (THE LIKELIHOOD IS FLAT IN IT): HELD AT 0.");
  }
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
  if (s.deltaSingular)
    writeUnit(out,
              "   LOG-LIKELIHOOD AT THE LAST POINT" + editG(s.loglik, 16, 9) + " (NOT A MAXIMUM)");
  else
    writeUnit(out, "   LOG-LIKELIHOOD" + editG(s.loglik, 16, 9) + "   PARAMETERS" +
                       editI(s.parameters, 6));
  if (s.penalty)
    writeUnit(out, std::string("   PENALTY (WISHART, M + 2 DEGREES OF FREEDOM) ON THE FULL DELTA") +
                       (s.deltaRank > 0 ? " (ITS NONZERO EIGENVALUES)" : "") +
                       editG(s.penaltyValue, 14, 6));
  if (s.deltaSingular)
    writeUnit(out, "   NO AIC OR BIC: THE LIKELIHOOD HAS NO MAXIMUM.");
  else
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
  printDeltaRank(s, out);
  if (!s.covariance && s.deltaSingular)
    writeUnit(out, "   NO STANDARD ERRORS: THERE IS NO MAXIMUM.");
  else if (!s.covariance)
    writeUnit(out, "   NO STANDARD ERRORS: THE OBSERVED INFORMATION IS NOT POSITIVE DEFINITE.");
  else if (s.deltaRank > 0)
    writeWrapped(
        out, "STANDARD ERRORS FROM THE INFORMATION OF THE PARAMETERS OF DELTA OF RANK " +
                 std::to_string(s.deltaRank) + " AND OF PHI, WITHOUT THE" + editI(s.omitted, 3) +
                 " HELD (DELTA ALONG THE COMBINATIONS ABOVE, PHI NOT IDENTIFIED OR AT THE"
                 " BOUND): DELTA'S ARE THOSE OF A RANK-" +
                 std::to_string(s.deltaRank) + " DELTA, WITH NO SPREAD ALONG THOSE COMBINATIONS.");
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
  if (std::string(s.status) != "CONVERGED" && !s.deltaSingular)
    warn("common_not_converged", 0.0, std::string("THE SEARCH ENDED ") + s.status + ".");
  if (s.deltaRank > 0) {
    std::string zero;
    for (int k = 0; k < static_cast<int>(s.componentNames.size()) - s.deltaRank; ++k)
      zero += (k > 0 ? "; " : "") + combination(s.deltaNull, k, s.componentNames);
    warn("common_delta_rank", s.deltaRank,
         "DELTA HELD AT RANK " + std::to_string(s.deltaRank) + " (0 ALONG " + zero + ").");
    if (!s.diagonalPhi)
      for (int k = 0; k < s.phiFlatCount; ++k)
        warn("common_phi_not_identified", 0.0,
             "PHI TIMES " + combination(s.phiFlat, k, s.componentNames) + " IS NOT IDENTIFIED.");
  }
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
    warn("common_delta_singular", s.deltaRatio,
         "DELTA IS SINGULAR AND THE LIKELIHOOD GROWS WITHOUT BOUND THERE: NO MAXIMUM.");
  if (!s.covariance) warn("common_no_standard_errors", 0.0, "NO STANDARD ERRORS.");
}

}  // namespace kova
