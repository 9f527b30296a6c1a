// The covariance of PIVECT by orthogonal decomposition (ORCVAR): computed
// afresh from XZ, UYSGMA and the restriction rows, independently of the
// factorization that gave the estimate, with the three numerical ranks.
#include <algorithm>
#include <cmath>

#include "engine/pi_estimate.h"
#include "io/edit_descriptors.h"
#include "io/messages.h"
#include "linalg/blas1.h"
#include "linalg/least_squares.h"
#include "linalg/linpack.h"

namespace kova {
namespace {

// Relative size below which a singular value of the restriction rows, or a
// pivot of the two least-squares solves, counts as zero.
constexpr double kOrcvarTol = 1.0E-14;

struct OrcvarArrays {
  Mat rc;                 // copy of RCFPI for DSVDC, SPIROW x n
  double* sv = nullptr;   // singular values, min(SPIROW + 1, n)
  double* e = nullptr;    // n
  double* svdWork = nullptr;  // SPIROW
  Mat v;                  // right singular vectors, later N; n x n
  Mat g;                  // whitening factor, NUMT x NUMT
  Mat xzn, zr, rsd;       // XZ N, Zr and the residuals, NUMT x n
  Mat info, nt, y, rsd2;  // I_r, N', Y and the residuals, n x n
  int* jpvt = nullptr;    // max(NUMT, n)
  double* work = nullptr;
};

// zrRows: the rows of Zr (NUMT for the solve with G, which also needs G,
// XZ N and the residuals; the rows of the compressed factor otherwise).
OrcvarArrays carveOrcvar(Scratch& s, int numt, int n, int spirow, int zrRows, bool withG) {
  OrcvarArrays w;
  if (spirow > 0) {
    w.rc = s.mat(spirow, n);
    w.sv = s.doubles(std::min(spirow + 1, n));
    w.e = s.doubles(n);
    w.svdWork = s.doubles(spirow);
  }
  w.v = s.mat(n, n);
  if (withG) {
    w.g = s.mat(numt, numt);
    w.xzn = s.mat(numt, n);
  }
  w.zr = s.mat(zrRows, n);
  if (withG) w.rsd = s.mat(numt, n);
  w.info = s.mat(n, n);
  w.nt = s.mat(n, n);
  w.y = s.mat(n, n);
  w.rsd2 = s.mat(n, n);
  w.jpvt = s.ints(std::max(withG ? numt : 0, n));
  w.work = s.doubles(std::max(withG ? qrlsqWorkSize(numt, numt) : 0L, qrlsqWorkSize(n, n)));
  return w;
}

void zeroSquare(Mat a, int n) {
  for (int j = 1; j <= n; ++j) std::fill_n(a.col(j), n, 0.0);
}

// Rank of the restriction rows by their singular values; on a = 0 or a < n,
// w.v holds the right singular vectors (columns a+1..n span the null space).
int restrictionRank(const PiRestrictionView& rest, int n, OrcvarArrays& w, int logUnit) {
  const int nr = rest.SPIROW;
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= nr; ++i) w.rc(i, j) = rest.R(i, j);
  int status = 0;
  DSVDC(w.rc.p, w.rc.ld, nr, n, w.sv, w.e, nullptr, 1, w.v.p, w.v.ld, w.svdWork, 1, status);
  if (status != 0) {
    reportToUnitAndConsole(logUnit,
                           (ListLine() << "IN SUBROUTINE ORCVAR, UPON RETURNINGFROM SUBROUTINE "
                                          "DSVDC.  INFO SHOULD BE ZERO UPON A REGULAR RETURN")
                               .str());
    writeUnitAndConsole(logUnit, (ListLine() << "INFO=" << status).str());
  }
  const int m = std::min(nr, n);
  if (m < 1 || !(w.sv[0] > 0.0)) return 0;
  int a = 0;
  while (a < m && w.sv[a] >= kOrcvarTol * w.sv[0]) ++a;
  return a;
}

// The null space N of the restriction rows (in w.v, from column
// ranks.restriction + 1). Returns false when the computation ends here:
// an empty problem, or restrictions that fix PI.
bool nullSpace(int numt, int n, const PiRestrictionView& rest, PiEstimate& est,
               OrcvarRanks& ranks, OrcvarArrays& w, int logUnit) {
  const int nr = std::max(rest.SPIROW, 0);
  est.covUnavailable = false;
  ranks.whiteningFull = numt;
  ranks.restrictionFull = std::min(nr, n);
  const int a = nr > 0 ? restrictionRank(rest, n, w, logUnit) : 0;
  ranks.restriction = a;
  ranks.informationFull = n - a;
  if (a == n) {
    est.covUnavailable = true;
    zeroSquare(est.cov, n);
    return false;
  }
  if (a == 0) {
    zeroSquare(w.v, n);
    for (int i = 1; i <= n; ++i) w.v(i, i) = 1.0;
  }
  return true;
}

// From Zr (rows x q): I_r = Zr'Zr, Y solves I_r Y = N' and the covariance
// is N Y.
void invertInformation(Mat zr, Mat N, double sigma2, PiEstimate& est, OrcvarRanks& ranks,
                       OrcvarArrays& w, int logUnit) {
  const int n = N.rows, q = N.cols, rows = zr.rows;
  for (int j = 1; j <= q; ++j)
    for (int i = 1; i <= j; ++i) {
      const double d = DDOT(rows, zr.col(i), 1, zr.col(j), 1);
      w.info(i, j) = d;
      w.info(j, i) = d;
    }
  for (int k = 1; k <= n; ++k)
    for (int i = 1; i <= q; ++i) w.nt(i, k) = N(k, i);
  QRLSQ(w.info.p, w.info.ld, q, q, n, w.nt.p, w.nt.ld, kOrcvarTol, w.y.p, w.y.ld, w.rsd2.p,
        w.rsd2.ld, ranks.information, w.jpvt, w.work, logUnit);

  for (int j = 1; j <= n; ++j) {
    double* col = est.cov.col(j);
    std::fill_n(col, n, 0.0);
    for (int i = 1; i <= q; ++i) DAXPY(n, w.y(i, j), N.col(i), 1, col, 1);
  }
  // With SIGMA**2 = 0 the solves return zeros, which are no covariance: the
  // flag the scaling step set must survive.
  if (sigma2 == 0.0) est.covUnavailable = true;
}

bool emptyProblem(int numt, int n, int K, int P, int logUnit) {
  if (numt >= 1 && n >= 1) return false;
  reportToUnitAndConsole(logUnit, (ListLine() << "IN SUBROUTINE ORCVAR, NUMT=" << numt << "KDM="
                                              << K << "PDM=" << P
                                              << ".  NO COMPUTATION IS PERFORMED.")
                                       .str());
  return true;
}

}  // namespace

ScratchNeed ORCVARneed(int NUMT, int KP, int SPIROW) {
  Scratch s;
  carveOrcvar(s, std::max(NUMT, 0), std::max(KP, 0), std::max(SPIROW, 0), std::max(NUMT, 0),
              true);
  return s.used();
}

ScratchNeed ORCVARwhitenedNeed(int rows, int KP, int SPIROW) {
  Scratch s;
  carveOrcvar(s, 0, std::max(KP, 0), std::max(SPIROW, 0), std::max(rows, 0), false);
  return s.used();
}

void ORCVAR(Mat XZ, double sigma2, Mat uysgma, const PiRestrictionView& rest, PiEstimate& est,
            OrcvarRanks& ranks, Scratch& s, int /*outUnit*/, int logUnit, int K, int P) {
  const int numt = XZ.rows, n = XZ.cols, nr = std::max(rest.SPIROW, 0);
  ranks = OrcvarRanks{};
  if (emptyProblem(numt, n, K, P, logUnit)) return;
  OrcvarArrays w = carveOrcvar(s, numt, n, nr, numt, true);
  if (!nullSpace(numt, n, rest, est, ranks, w, logUnit)) return;
  const int q = n - ranks.restriction;
  const Mat N{w.v.col(ranks.restriction + 1), w.v.ld, n, q};

  // G = sqrt(SIGMA**2) UYSGMA', so that G G' is the covariance of y. UYSGMA
  // is a triangle with its columns put back in order, so G is a
  // row-permuted lower triangle: every element is read.
  const double c = std::sqrt(std::max(sigma2, 0.0));
  for (int j = 1; j <= numt; ++j) {
    double* gj = w.g.col(j);
    for (int i = 1; i <= numt; ++i) gj[i - 1] = c * uysgma(j, i);
  }
  for (int j = 1; j <= q; ++j) {
    double* col = w.xzn.col(j);
    std::fill_n(col, numt, 0.0);
    for (int k = 1; k <= n; ++k) DAXPY(numt, N(k, j), XZ.col(k), 1, col, 1);
  }
  QRLSQ(w.g.p, w.g.ld, numt, numt, q, w.xzn.p, w.xzn.ld, kOrcvarTol, w.zr.p, w.zr.ld, w.rsd.p,
        w.rsd.ld, ranks.whitening, w.jpvt, w.work, logUnit);
  invertInformation(Mat{w.zr.p, w.zr.ld, numt, q}, N, sigma2, est, ranks, w, logUnit);
}

void ORCVARwhitened(Mat rw, int noisy, int numt, double sigma2, const PiRestrictionView& rest,
                    PiEstimate& est, OrcvarRanks& ranks, Scratch& s, int /*outUnit*/,
                    int logUnit, int K, int P) {
  const int n = rw.cols, nr = std::max(rest.SPIROW, 0), rows = rw.rows;
  ranks = OrcvarRanks{};
  if (emptyProblem(numt, n, K, P, logUnit)) return;
  OrcvarArrays w = carveOrcvar(s, numt, n, nr, rows, false);
  if (!nullSpace(numt, n, rest, est, ranks, w, logUnit)) return;
  const int q = n - ranks.restriction;
  const Mat N{w.v.col(ranks.restriction + 1), w.v.ld, n, q};

  // Zr = rw N / sqrt(SIGMA**2); a zero SIGMA**2 leaves nothing whitened.
  const double c = sigma2 > 0.0 ? 1.0 / std::sqrt(sigma2) : 0.0;
  ranks.whitening = sigma2 > 0.0 ? noisy : 0;
  for (int j = 1; j <= q; ++j) {
    double* col = w.zr.col(j);
    std::fill_n(col, rows, 0.0);
    if (c == 0.0) continue;
    for (int k = 1; k <= n; ++k) DAXPY(rows, c * N(k, j), rw.col(k), 1, col, 1);
  }
  invertInformation(Mat{w.zr.p, w.zr.ld, rows, q}, N, sigma2, est, ranks, w, logUnit);
}

}  // namespace kova
