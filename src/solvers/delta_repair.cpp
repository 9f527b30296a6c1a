// The repairs that keep DELTA (and the MU-vector covariance ASYM) positive
// semi-definite, and the pivoted Cholesky factor they share.
#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "io/edit_descriptors.h"
#include "io/messages.h"
#include "linalg/eispack.h"
#include "linalg/linpack.h"
#include "solvers/definiteness.h"

namespace kova {
namespace {

struct FactorWork {
  double* work;
  int* jpvt;
};

FactorWork carveFactor(Scratch& s, int n) { return FactorWork{s.doubles(n), s.ints(n)}; }

// Column k of R belongs in column JPVT(k) of U. Each cycle of the
// permutation is walked through column k as the holding place; a negative
// entry marks a column already in its place.
void permuteColumnsBack(Mat u, int* jpvt) {
  const int n = u.cols;
  for (int k = 1; k <= n; ++k) {
    if (jpvt[k - 1] < 0) continue;
    int j = jpvt[k - 1];
    jpvt[k - 1] = -j;
    while (j != k) {
      for (int i = 1; i <= u.rows; ++i) std::swap(u(i, k), u(i, j));
      const int next = jpvt[j - 1];
      jpvt[j - 1] = -next;
      j = next;
    }
  }
  for (int k = 0; k < n; ++k) jpvt[k] = -jpvt[k];
}

struct RepairWork {
  double* e;
  Mat w;
};

RepairWork carveRepair(Scratch& s, int n) { return RepairWork{s.doubles(n), s.mat(n, n)}; }

struct RepairTexts {
  const char* negativeHead;
  const char* negativeTail;
  const char* singular;
  bool zeroWhenNegative;
};

constexpr RepairTexts kDeltaTexts{
    "IN SUBROUTINE ADJDND, MAX. EIGENVALUE OF DELTA MATRIX   IS NOT POSITIVE:",
    ".  IT HAS BEEN REPLACED BY ITS ABSOLU   TE VALUE.",
    "THE FINAL DELTA MATRIX IN SUBROUTINE ADJDND IS NOT POSITIVE DEFINITE.", false};
constexpr RepairTexts kAsymTexts{
    "IN SUBROUTINE ADPSYM, MAX. EIGENVALUE OF ASYM MATRIX IS NOT POSITIVE:",
    ".  THE MATRIX HAS BE REPLACED BY THE ZERO MATRIX.",
    "THE FINAL ASYM MATRIX IN SUBROUTINE ADPSYM IS NOT POSITIVE DEFINITE.", true};

// Eigenvalues floored at TOL times the largest, the matrix rebuilt from them
// when anything moved, then factored.
void repairSymmetric(Mat a, Mat u, double* eval, Mat z, double tol, double* eval0,
                     bool& adjusted, Scratch& scratch, int unit, const RepairTexts& t) {
  const int n = a.rows;
  Scratch s = scratch;
  RepairWork w = carveRepair(s, n);
  adjusted = false;
  if (a.ld == z.ld) {
    TRED2(z.ld, n, a.p, eval0, w.e, z.p);
  } else {
    // TRED2 takes one leading dimension: run it on a copy held like Z.
    for (int j = 1; j <= n; ++j)
      for (int i = 1; i <= n; ++i) w.w(i, j) = a(i, j);
    TRED2(w.w.ld, n, w.w.p, eval0, w.e, w.w.p);
    for (int j = 1; j <= n; ++j)
      for (int i = 1; i <= n; ++i) z(i, j) = w.w(i, j);
  }
  int ierr = 0;
  TQL2(z.ld, n, eval0, w.e, z.p, ierr);
  if (ierr != 0) writeUnit(unit, " IERR =" + editI(ierr, 3) + " IN TQL2 IS NOT ZERO.");
  if (n == 0) return;
  for (int i = 0; i < n; ++i) eval[i] = eval0[i];
  if (eval[n - 1] < 0.0) {
    writeUnit(unit, t.negativeHead + editG(eval[n - 1], 13, 5) + t.negativeTail);
    eval[n - 1] = t.zeroWhenNegative ? 0.0 : -eval[n - 1];
    // The matrix must follow its eigenvalues: with n = 1 nothing below is
    // floored, and without this the negative matrix would be kept as it was.
    adjusted = true;
  }
  const double floor = tol * eval[n - 1];
  for (int i = 0; i < n; ++i) {
    if (eval[i] < floor) {
      eval[i] = floor;
      adjusted = true;
    }
  }
  if (adjusted) {
    for (int j = 1; j <= n; ++j)
      for (int i = 1; i <= n; ++i) w.w(i, j) = z(i, j) * eval[j - 1];
    for (int j = 1; j <= n; ++j)
      for (int i = 1; i <= n; ++i) {
        double sum = 0.0;
        for (int k = 1; k <= n; ++k) sum += w.w(i, k) * z(j, k);
        a(i, j) = sum;
      }
  }
  const int r = pivotedFactor(a, u, s);
  if (r < n) {
    writeUnit(unit, t.singular);
    writeUnit(unit, "THE LAST" + editI(n - r, 3) +
                        " ROWS OF THE UPPER CHOLESKY FACTOR HAVEBEEN SET TO ZERO.");
  }
}

}  // namespace

int pivotedFactor(Mat a, Mat u, Scratch& scratch) {
  const int n = a.rows;
  if (n <= 0) return 0;
  Scratch s = scratch;
  FactorWork w = carveFactor(s, n);
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i) u(i, j) = a(i, j);
  for (int k = 0; k < n; ++k) w.jpvt[k] = 0;
  int rank = 0;
  DCHDC(u.p, u.ld, n, w.work, w.jpvt, 1, rank);
  // Below the diagonal lies A's lower triangle; beyond the rank the partly
  // reduced trailing block, which is not a factor of anything.
  for (int j = 1; j <= n; ++j)
    for (int i = std::min(j, rank) + 1; i <= n; ++i) u(i, j) = 0.0;
  permuteColumnsBack(u, w.jpvt);
  return rank;
}

ScratchNeed pivotedFactorNeed(int n) {
  Scratch s;
  carveFactor(s, n);
  return s.used();
}

void ADJDD(Mat delta, Mat udelta, double tol, double* diagu, bool& adjusted, int unit) {
  const int n = delta.rows;
  adjusted = false;
  if (n <= 0) return;
  double maxd = delta(1, 1);
  for (int i = 1; i <= n; ++i) {
    diagu[i - 1] = delta(i, i);
    maxd = std::max(maxd, delta(i, i));
  }
  if (maxd < 0.0) {
    writeUnit(unit, "LARGEST DIAG. ENTRY IN DELTA IS NEGATIVE IN ADJDD:" + editG(maxd, 13, 5) +
                        " MAXD IS MADE POSITIVE.");
    maxd = std::fabs(maxd);
  }
  const double floor = maxd * tol;
  for (int i = 1; i <= n; ++i) {
    if (delta(i, i) < floor) {
      delta(i, i) = floor;
      adjusted = true;
    }
  }
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i) udelta(i, j) = 0.0;
  for (int i = 1; i <= n; ++i) udelta(i, i) = std::sqrt(delta(i, i));
}

void ADJDND(Mat delta, Mat udelta, double* eval, Mat z, double tol, double* eval0,
            bool& adjusted, Scratch& s, int unit) {
  repairSymmetric(delta, udelta, eval, z, tol, eval0, adjusted, s, unit, kDeltaTexts);
}

void ADPSYM(Mat asym, Mat uasym, double* eval, Mat z, double tol, double* eval0, bool& adjusted,
            Scratch& s, int unit) {
  repairSymmetric(asym, uasym, eval, z, tol, eval0, adjusted, s, unit, kAsymTexts);
}

ScratchNeed ADJDNDneed(int n) {
  Scratch s;
  carveRepair(s, n);
  carveFactor(s, n);
  return s.used();
}

}  // namespace kova
