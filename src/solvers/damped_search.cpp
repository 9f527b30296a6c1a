#include "solvers/damped_search.h"

#include <algorithm>

#include "io/edit_descriptors.h"
#include "io/messages.h"
#include "linalg/blas1.h"
#include "linalg/least_squares.h"
#include "linalg/linpack.h"

namespace kova {

DampedSystem carveDampedSystem(Scratch& s, int m, int p, int NC) {
  DampedSystem sys;
  sys.m = std::max(m, 0);
  sys.p = std::max(p, 0);
  sys.NR = sys.m + sys.p;
  sys.NC = NC;
  const int q = std::min(sys.NR, NC);
  sys.S = s.doubles(std::max(std::min(sys.NR + 1, NC), 1));
  sys.e = s.doubles(std::max(NC, 1));
  sys.svdWork = s.doubles(std::max(sys.NR, 1));
  sys.U = s.mat(sys.NR, std::max(q, 1));
  sys.V = s.mat(NC, NC);
  sys.r = s.doubles(std::max(NC, 1));
  sys.l = s.doubles(std::max(NC, 1));
  if (sys.p > 0) {
    sys.C = s.mat(sys.p, NC);
    sys.rhs = s.doubles(sys.p);
    sys.delta = s.doubles(NC);
    sys.rsd = s.doubles(sys.p);
    sys.qrWork = s.doubles(qrlsqWorkSize(sys.p, NC));
    sys.jpvt = s.ints(NC);
  }
  return sys;
}

int factorDampedSystem(DampedSystem& sys, Mat X, const double* y) {
  sys.k = 0;
  sys.S1 = 0.0;
  sys.b = y + sys.m;
  if (sys.NR == 0 || sys.NC == 0) return 0;
  int info = 0;
  // Job 21: the first min(NR, NC) left vectors are all a solve needs, since
  // the components of y beyond the rank enter only through U1' y.
  DSVDC(X.p, X.ld, sys.NR, sys.NC, sys.S, sys.e, sys.U.p, sys.U.ld, sys.V.p, sys.V.ld, sys.svdWork,
        21, info);
  const int q = std::min(sys.NR, sys.NC);
  sys.S1 = q > 0 ? sys.S[0] : 0.0;
  if (!(sys.S1 > 0.0)) return info;
  // With INFO > 0 the values before INFO are not final; they are used as
  // they are, as the caller continues after its message.
  int k = 0;
  while (k < q && sys.S[k] > kSvdRankTol * sys.S1) ++k;
  sys.k = k;
  for (int j = 1; j <= k; ++j) sys.r[j - 1] = DDOT(sys.NR, sys.U.col(j), 1, y, 1);
  return info;
}

namespace {

// c_j and e_j without overflow for any g.
void rotation(double sj, double g, double& c, double& e) {
  if (g == 0.0) {
    c = 1.0;
    e = sj;
  } else if (g <= sj) {
    const double h = std::hypot(1.0, g / sj);
    c = 1.0 / h;
    e = sj * h;
  } else {
    const double rho = sj / g, h = std::hypot(1.0, rho);
    c = rho / h;
    e = g * h;
  }
}

}  // namespace

bool dampedSolve(DampedSystem& sys, double g, double* d, int unit) {
  const int k = sys.k, NC = sys.NC, p = sys.p;
  std::fill(d, d + NC, 0.0);
  if (k == 0) return false;
  for (int j = 1; j <= k; ++j) {
    double c = 0.0, e = 0.0;
    rotation(sys.S[j - 1], g, c, e);
    sys.l[j - 1] = c;       // c_j for now
    sys.e[j - 1] = e;
  }
  bool deficient = false;
  if (p > 0) {
    // U_b diag(c) delta = U_b diag(c**2) r - b, minimum-length delta.
    for (int i = 1; i <= p; ++i) sys.rhs[i - 1] = -sys.b[i - 1];
    for (int j = 1; j <= k; ++j) {
      const double c = sys.l[j - 1], cr = c * c * sys.r[j - 1];
      for (int i = 1; i <= p; ++i) {
        const double u = sys.U(sys.m + i, j);
        sys.C(i, j) = u * c;
        sys.rhs[i - 1] += u * cr;
      }
    }
    int rank = 0;
    QRLSQ(sys.C.p, sys.C.ld, p, k, 1, sys.rhs, p, kRestrictionRankTol, sys.delta, k, sys.rsd, p,
          rank, sys.jpvt, sys.qrWork, unit);
    sys.restrictionRank = rank;
    sys.restrictionFull = std::min(p, k);
    deficient = rank < sys.restrictionFull;
  }
  for (int j = 1; j <= k; ++j) {
    const double c = sys.l[j - 1], e = sys.e[j - 1];
    const double dj = p > 0 ? sys.delta[j - 1] : 0.0;
    sys.l[j - 1] = std::isfinite(e) ? (c * sys.r[j - 1] - dj) / e : 0.0;
  }
  for (int j = 1; j <= k; ++j) {
    const double lj = sys.l[j - 1];
    if (lj != 0.0) DAXPY(NC, lj, sys.V.col(j), 1, d, 1);
  }
  return deficient;
}

void reportRestrictionRank(const DampedSystem& sys, const char* routine, const char* matrix,
                           int unit) {
  reportToUnitAndConsole(unit, (ListLine() << (std::string("IN SUB. ") + routine +
                                               ", RANK OF MATRIX " + matrix + " IS")
                                           << sys.restrictionRank
                                           << ". THESYSTEM OF LINEAR EQUATIONS MAY BE "
                                              "INCONSISTENT.  THE FULL RANK IS"
                                           << sys.restrictionFull)
                                   .str());
}

}  // namespace kova
