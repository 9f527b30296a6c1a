#include "estimation/pass_warnings.h"

#include <algorithm>
#include <cmath>

#include "io/edit_descriptors.h"
#include "io/messages.h"
#include "linalg/eispack.h"
#include "report/result_tables.h"
#include "solvers/definiteness.h"
#include "solvers/phi_eigen.h"

namespace kova {
namespace {

constexpr double kSigma2Change = 10.0;
// The damped search stops within this of EVLTOL; the bounded path and the
// rescaling of an unconverged search put PHI on it exactly.
constexpr double kBoundReach = 1.0E-5;
// Eigenvalues of the repaired DELTA at or below this fraction of the largest
// are rounded zeros of the projection onto the non-negative definite matrices.
constexpr double kRankFloor = 1.0E-10;

struct CheckWork {
  double* d;
  double* e;
  Mat z;
  PhiEigen eig;
};

CheckWork carveCheck(Scratch& s, int M) {
  CheckWork w;
  w.d = s.doubles(M);
  w.e = s.doubles(M);
  w.z = s.mat(M, M);
  const int ld = std::max(M, 1);
  w.eig = PhiEigen{M, ld, s.complexes(M), s.complexes(static_cast<long long>(ld) * M),
                   s.complexes(static_cast<long long>(ld) * M), s.doubles(M)};
  return w;
}

double largestPhiModulus(const LastPassState& st, CheckWork& w, Scratch& s, int unit) {
  const int M = st.phi.rows;
  double largest = 0.0;
  if (st.zeroPhi || st.diagonalPhi) {
    for (int i = 1; i <= M; ++i) largest = std::max(largest, std::fabs(st.phi(i, i)));
    return largest;
  }
  EIGDCP(st.phi, w.eig, largest, false, s, unit);
  return largest;
}

int deltaRank(Mat delta, CheckWork& w) {
  const int M = delta.rows;
  if (M < 1) return 0;
  TRED2(delta.ld, M, delta.p, w.d, w.e, w.z.p);
  int ierr = 0;
  TQL2(w.z.ld, M, w.d, w.e, w.z.p, ierr);
  double largest = 0.0;
  for (int i = 0; i < M; ++i) largest = std::max(largest, std::fabs(w.d[i]));
  int rank = 0;
  for (int i = 0; i < M; ++i)
    if (w.d[i] > kRankFloor * largest) ++rank;
  return rank;
}

// A G13.5 value without its padding.
std::string value(double v) {
  const std::string s = editG(v, 13, 5);
  const auto first = s.find_first_not_of(' ');
  return first == std::string::npos ? s : s.substr(first, s.find_last_not_of(' ') - first + 1);
}

std::string betaSeGapReason(double gap) {
  switch (static_cast<int>(gap)) {
    case kPiCovarianceMissing: return "THE COVARIANCE OF PI COULD NOT BE FORMED.";
    case kSpreadMissing:
      return "THE OBSERVED INFORMATION OF PHI AND DELTA IS NOT POSITIVE DEFINITE IN ALL OF "
             "THEM (OR SOME ARE ON A BOUNDARY), SO THEIR UNCERTAINTY CANNOT BE DRAWN.";
    case kNoAdmissibleDraw: return "NO DRAW OF PHI AND DELTA HAS A LIKELIHOOD.";
    case kMlStepFailed: return "THE LAST ITERATION IS NOT AT MAXIMUM LIKELIHOOD ESTIMATES.";
    case kRemlNoSpread:
      return "UNDER REML NO COVARIANCE OF PHI AND DELTA IS FORMED, SO THEIR UNCERTAINTY CANNOT "
             "BE DRAWN.";
  }
  return "";
}

std::string lead(int groupId, int pass) {
  return " WARNING FOR GROUP" + editI(groupId, 4) + " AFTER ITERATION" + editI(pass, 4) + ": ";
}

}  // namespace

PassWarnings checkLastPass(const LastPassState& st, Scratch s, int unit) {
  const int M = st.delta.rows;
  PassWarnings out;
  auto add = [&](WarningKind kind, double value) {
    out.item[out.count++] = PassWarning{kind, value};
  };
  CheckWork w = carveCheck(s, M);

  if (st.lastPass >= 2 && st.sigma2First > 0.0 && !st.atMlEstimates) {
    const double ratio = st.sigma2Last / st.sigma2First;
    if (ratio > kSigma2Change) add(WarningKind::Sigma2Grew, ratio);
    if (ratio < 1.0 / kSigma2Change) add(WarningKind::Sigma2Shrank, ratio);
  }
  if (!st.zeroPhi && !st.commonPhiDelta && M >= 1) {
    const double largest = largestPhiModulus(st, w, s, unit);
    if (largest >= st.EVLTOL - kBoundReach) add(WarningKind::PhiAtBound, largest);
  }
  if (st.leadingOnly) {
    if (M >= 1 && !(st.delta(1, 1) > 0.0)) add(WarningKind::Delta11Zero, st.delta(1, 1));
  } else if (!st.commonPhiDelta) {
    const int rank = deltaRank(st.delta, w);
    if (rank < M) add(WarningKind::DeltaSingular, rank);
  }
  if (st.betaSeGap != kBetaSeComplete) add(WarningKind::BetaSeIncomplete, st.betaSeGap);
  return out;
}

ScratchNeed checkLastPassNeed(int M) {
  Scratch s;
  carveCheck(s, M);
  ScratchNeed need = s.used();
  need.add(EIGDCPneed(M));
  return need;
}

const char* warningKindName(WarningKind kind) {
  switch (kind) {
    case WarningKind::Sigma2Grew: return "sigma2_grew";
    case WarningKind::Sigma2Shrank: return "sigma2_shrank";
    case WarningKind::PhiAtBound: return "phi_at_bound";
    case WarningKind::DeltaSingular: return "delta_singular";
    case WarningKind::Delta11Zero: return "delta11_zero";
    case WarningKind::PiRankDeficient: return "pi_rank_deficient";
    case WarningKind::BetaSeIncomplete: return "beta_se_incomplete";
  }
  return "";
}

std::string warningLine(const PassWarning& w, int groupId, int pass, int M) {
  const std::string head = lead(groupId, pass);
  switch (w.kind) {
    case WarningKind::Sigma2Grew:
    case WarningKind::Sigma2Shrank:
      return head + "SIGMA**2 IS " + value(w.value) + " TIMES THAT OF ITERATION 1.";
    case WarningKind::PhiAtBound:
      return head + "AN EIGENVALUE OF PHI HAS MODULUS " + value(w.value) +
             ", AT THE BOUND EVLTOL.";
    case WarningKind::DeltaSingular:
      return head + "DELTA IS SINGULAR, RANK" + editI(static_cast<long long>(w.value), 4) +
             " OF" + editI(M, 4) + ".";
    case WarningKind::Delta11Zero:
      return head + "DELTA(1,1) IS ZERO: THE ERROR TERM HAS VANISHED.";
    case WarningKind::PiRankDeficient:
      return head + "THE REGRESSORS ARE COLLINEAR: " +
             editI(static_cast<long long>(w.value), 0) +
             (w.value == 1.0 ? " COMBINATION" : " COMBINATIONS") +
             " OF PI NOT DETERMINED BY THE DATA.";
    case WarningKind::BetaSeIncomplete:
      return head + "THE STANDARD ERRORS OF BETA ARE LEFT EMPTY: " + betaSeGapReason(w.value);
  }
  return head;
}

void reportWarnings(const PassWarnings& warnings, int groupId, int pass, int M, int outUnit,
                    int logUnit, ResultTables* tables) {
  for (int i = 0; i < warnings.count; ++i) {
    const PassWarning& w = warnings.item[i];
    const std::string line = warningLine(w, groupId, pass, M);
    if (i == 0) writeUnit(outUnit, "");
    writeUnit(outUnit, line);
    writeUnit(logUnit, line);
    if (tables != nullptr) tables->addWarning(groupId, pass, warningKindName(w.kind), w.value);
  }
}

}  // namespace kova
