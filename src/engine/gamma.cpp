// CGAMMA: the stationary covariance GAMMA of EPSILON(t) and its factor.

#include "engine/covariance_structure.h"
#include "io/edit_descriptors.h"
#include "io/messages.h"
#include "linalg/least_squares.h"
#include "solvers/definiteness.h"

namespace kova {
namespace {

constexpr double kRankTol = 1.0E-8;

// Work arrays of CGAMMA. The least-squares system is kept only for a full
// PHI, but the plan is the same for every case so that a pass never needs
// more than its group was planned for.
struct GammaWork {
  Mat xgamma;   // M^2 x M(M+1)/2, I - PHI (x) PHI with symmetric pairs folded
  double* rhs;  // M^2, vec(DELTA)
  double* sol;  // M(M+1)/2, packed lower triangle of GAMMA
  double* rsd;  // M^2
  double* lsqWork;
  int* lsqPivot;  // M(M+1)/2
};

GammaWork carve(Scratch& s, int M) {
  const int m2 = M * M, np = M * (M + 1) / 2;
  GammaWork w{};
  w.xgamma = s.mat(m2, np);
  w.rhs = s.doubles(m2);
  w.sol = s.doubles(np);
  w.rsd = s.doubles(m2);
  w.lsqWork = s.doubles(qrlsqWorkSize(m2, np));
  w.lsqPivot = s.ints(np);
  return w;
}

void diagonalGamma(Mat phi, Mat delta, Mat gamma, int outUnit) {
  const int M = phi.rows;
  for (int i = 1; i <= M; ++i) {
    for (int j = 1; j <= i; ++j) {
      // The signed product: a pair of opposite signs is stationary as a
      // cross covariance even when each entry alone is not.
      const double p = phi(i, i) * phi(j, j);
      if (p >= 1.0) {
        writeUnit(outUnit,
                  std::string(" IN SUBROUTINE CGAMMA,THE DIAGONAL MATRIX PHIIS NOT STATIONARY.  "
                              "TWO DIAGONAL ENTRIES ARE") +
                      editG(phi(i, i), 13, 5) + "   " + editG(phi(j, j), 13, 5));
        gamma(j, i) = 0.0;
      } else {
        gamma(j, i) = delta(j, i) / (1.0 - p);
      }
      gamma(i, j) = gamma(j, i);
    }
  }
}

// Solves GAMMA - PHI GAMMA PHI' = DELTA for the M(M+1)/2 distinct elements.
// Row (a-1)M+b is the equation of element (b,a); column (c-1)M+d of the
// unfolded matrix multiplies GAMMA(d,c). Symmetry puts GAMMA(d,c) and
// GAMMA(c,d) in one unknown, so their columns are added.
void generalGamma(Mat phi, Mat delta, Mat gamma, const GammaWork& w, int outUnit) {
  const int M = phi.rows, m2 = M * M, np = M * (M + 1) / 2;
  Mat x = w.xgamma;
  int col = 0;
  for (int j = 1; j <= M; ++j) {
    for (int i = j; i <= M; ++i) {
      ++col;  // unknown GAMMA(i,j) = GAMMA(j,i), i >= j
      double* xc = x.col(col);
      for (int a = 1; a <= M; ++a) {
        const double pai = phi(a, i), paj = phi(a, j);
        double* xa = xc + (a - 1) * M;  // rows (a-1)M+1..aM
        for (int b = 1; b <= M; ++b) {
          // Column (j-1)M+i: -PHI(a,j) PHI(b,i); its mirror (i-1)M+j:
          // -PHI(a,i) PHI(b,j).
          double v = -paj * phi(b, i);
          if (i != j) v -= pai * phi(b, j);
          xa[b - 1] = v;
        }
      }
      xc[(j - 1) * M + i - 1] += 1.0;
      if (i != j) xc[(i - 1) * M + j - 1] += 1.0;
    }
  }
  for (int c = 1; c <= M; ++c)
    for (int r = 1; r <= M; ++r) w.rhs[(c - 1) * M + r - 1] = delta(r, c);

  int rank = 0;
  QRLSQ(x.p, x.ld, m2, np, 1, w.rhs, m2, kRankTol, w.sol, np, w.rsd, m2, rank, w.lsqPivot,
        w.lsqWork, outUnit);
  if (rank < np)
    writeUnit(outUnit, " IN SUBROUTINE CGAMMA, THE RANK OF XGAMMA IS" + editI(rank, 4) +
                           ". THE MAXIMAL RANK IS" + editI(np, 4));

  for (int j = 1; j <= M; ++j)
    for (int i = j; i <= M; ++i) {
      gamma(i, j) = w.sol[(2 * M - j) * (j - 1) / 2 + i - 1];
      gamma(j, i) = gamma(i, j);
    }
}

}  // namespace

void CGAMMA(const PhiForm& form, Mat phi, Mat delta, Mat udelta, Mat gamma, Mat ugamma, Scratch& s,
            int outUnit) {
  const int M = phi.rows;
  if (form.zeroPhi) {
    for (int j = 1; j <= M; ++j)
      for (int i = 1; i <= M; ++i) {
        gamma(i, j) = delta(i, j);
        ugamma(i, j) = udelta(i, j);
      }
    return;
  }
  Scratch local = s;
  const GammaWork w = carve(local, M);
  if (form.diagonalPhi)
    diagonalGamma(phi, delta, gamma, outUnit);
  else
    generalGamma(phi, delta, gamma, w, outUnit);
  for (int j = 1; j <= M; ++j)
    for (int i = j + 1; i <= M; ++i) {
      const double v = 0.5 * (gamma(i, j) + gamma(j, i));
      gamma(i, j) = v;
      gamma(j, i) = v;
    }
  // UGAMMA' UGAMMA = GAMMA; rows beyond the accepted pivots are dropped.
  Scratch rest = local.rest();
  const int r = pivotedFactor(gamma, ugamma, rest);
  if (r < M)
    writeUnit(outUnit, " IN SUBROUTINE CGAMMA, THE UPPER TRIANGULAR FACTOR OF GAMMA HAS RANK " +
                           editI(r, 3) + ".  THE FULL RANK IS " + editI(M, 3));
}

ScratchNeed CGAMMAneed(int M) {
  Scratch s;
  carve(s, M);
  ScratchNeed need = s.used();
  const ScratchNeed factor = pivotedFactorNeed(M);
  need.add(factor);
  return need;
}

}  // namespace kova
