// QRLSQ: ordinary least squares with a numerical rank decision.
#include <algorithm>

#include "linalg/least_squares.h"
#include "io/edit_descriptors.h"
#include "io/messages.h"

namespace kova {
namespace {

constexpr const char* kDqrslProblem = "PROBLEM IN CALL OF DQRSL CALLED FROM QRLSQ.";
constexpr const char* kDtrslProblem = "PROBLEM IN CALL OF DTRSL CALLED FROM QRLSQ.";

void reportStatus(int unit, const char* message, int info) {
  writeUnit(unit, (ListLine() << message).str());
  writeUnit(unit, (ListLine() << "INFO =" << info).str());
}

// The rank-0 answer: nothing is explained, so X = 0 and the residual is B.
void zeroSolution(int n, int p, int nb, const double* b, int ldb, double* x, int ldx, double* rsd,
                  int ldr) {
  for (int j = 0; j < nb; ++j) {
    std::fill_n(x + static_cast<long>(j) * ldx, std::max(p, 0), 0.0);
    if (n > 0) DCOPY(n, b + static_cast<long>(j) * ldb, 1, rsd + static_cast<long>(j) * ldr, 1);
  }
}

}  // namespace

long qrlsqWorkSize(int n, int p) {
  long nn = std::max(n, 0), pp = std::max(p, 0);
  return std::max(1L, nn + 3 * pp + 2 * std::min(nn, pp));
}

void QRLSQ(double* a, int lda, int n, int p, int nb, const double* b, int ldb, double tol,
           double* x, int ldx, double* rsd, int ldr, int& k, int* jpvt, double* work, int unit) {
  k = 0;
  if (n <= 0 || p <= 0) {
    zeroSolution(n, p, nb, b, ldb, x, ldx, rsd, ldr);
    return;
  }
  const int m = std::min(n, p);
  double* qraux = work;
  double* norms = qraux + p;
  double* qty = norms + p;
  double* xp = qty + n;
  double* zaux = xp + p;
  double* rowWork = zaux + m;

  std::fill_n(jpvt, p, 0);
  DQRDC(a, lda, n, p, qraux, jpvt, norms, 1);
  k = numericalRank(a, lda, m, tol);
  if (k == 0) {
    zeroSolution(n, p, nb, b, ldb, x, ldx, rsd, ldr);
    return;
  }
  const bool reduce = k < p;
  if (reduce) reduceTrapezoid(k, p, a, lda, zaux, rowWork);

  for (int j = 0; j < nb; ++j) {
    const double* bj = b + static_cast<long>(j) * ldb;
    double* rj = rsd + static_cast<long>(j) * ldr;
    double* xj = x + static_cast<long>(j) * ldx;
    int info = 0;
    if (!reduce) {
      DQRSL(a, lda, n, k, qraux, bj, qty, qty, xp, rj, qty, 110, info);
      if (info != 0) reportStatus(unit, kDqrslProblem, info);
    } else {
      // The upper triangle now holds T of R = [T 0] Z, so the coefficients
      // come from DTRSL and Z' rather than from DQRSL's back substitution.
      DQRSL(a, lda, n, k, qraux, bj, qty, qty, qty, rj, qty, 1010, info);
      if (info != 0) reportStatus(unit, kDqrslProblem, info);
      DCOPY(k, qty, 1, xp, 1);
      DTRSL(a, lda, k, xp, 1, info);
      if (info != 0) reportStatus(unit, kDtrslProblem, info);
      std::fill(xp + k, xp + p, 0.0);
      applyTrapezoidZ(k, p, a, lda, zaux, xp, 1, p, 1, true);
    }
    for (int i = 0; i < p; ++i) xj[jpvt[i] - 1] = xp[i];
  }
}

}  // namespace kova
