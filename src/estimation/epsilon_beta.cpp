#include "estimation/epsilon_beta.h"

#include <string>

#include "io/error_report.h"
#include "io/text_conversion.h"
#include "linalg/blas1.h"
#include "linalg/least_squares.h"
#include "report/saved_results.h"

namespace kova {
namespace {

constexpr double kCepsRankTol = 1.0E-8;

struct CepsWork {
  Mat W;        // UYSGMA RO'
  Mat A;        // W'W, then its QR factorization
  double* x;    // solution of A x = MU
  double* rsd;  // residual of that solve (not used further)
  double* w;    // RO' x
  Mat V;        // column s: x~(s) w(s)
  int* jpvt;
  double* qrWork;
};

// The one carving of CEPS's scratch; CEPSneed runs it on a counting Scratch.
CepsWork carveCeps(Scratch& s, int M, int NUMT) {
  CepsWork c{};
  c.W = s.mat(NUMT, NUMT);
  c.A = s.mat(NUMT, NUMT);
  c.x = s.doubles(NUMT);
  c.rsd = s.doubles(NUMT);
  c.w = s.doubles(NUMT);
  c.V = s.mat(M, NUMT);
  c.jpvt = s.ints(NUMT);
  c.qrWork = s.doubles(qrlsqWorkSize(NUMT, NUMT));
  return c;
}

const double* block(const double* blocks, int M, int k) {
  return blocks + static_cast<long>(k) * M * M;
}

}  // namespace

ScratchNeed CEPSneed(int M, int NUMT) {
  Scratch counting;
  carveCeps(counting, M, NUMT);
  return counting.used();
}

void CEPS(Mat tlx, const double* blocks, Mat uysgma, Mat RO, const double* MU, Mat epsilon,
          const NamedUnit& epsmatrx, Scratch& scratch, int logUnit) {
  const int M = tlx.rows;
  const int NUMT = tlx.cols;
  CepsWork c = carveCeps(scratch, M, NUMT);

  if (NUMT >= 1) {
    // W = UYSGMA RO', column by column. UYSGMA is treated as a full matrix:
    // its columns may have been permuted back after a pivoted QR.
    for (int j = 1; j <= NUMT; ++j) {
      double* wj = c.W.col(j);
      for (int i = 0; i < NUMT; ++i) wj[i] = 0.0;
      for (int k = 1; k <= NUMT; ++k) {
        const double r = RO(j, k);
        if (r != 0.0) DAXPY(NUMT, r, uysgma.col(k), 1, wj, 1);
      }
    }
    // A = W'W = RO YSIGMA RO', symmetric: one triangle of dot products.
    for (int j = 1; j <= NUMT; ++j)
      for (int i = 1; i <= j; ++i) {
        const double d = DDOT(NUMT, c.W.col(i), 1, c.W.col(j), 1);
        c.A(i, j) = d;
        c.A(j, i) = d;
      }

    // A is singular (the residual operator annihilates the regressors), so
    // the solve must be the rank-revealing least-squares one; any solution
    // gives the same RO' x.
    int rank = 0;
    QRLSQ(c.A.p, c.A.ld, NUMT, NUMT, 1, MU, NUMT, kCepsRankTol, c.x, NUMT, c.rsd, NUMT, rank,
          c.jpvt, c.qrWork, logUnit);

    // w = RO' x.
    for (int s = 1; s <= NUMT; ++s) c.w[s - 1] = DDOT(NUMT, RO.col(s), 1, c.x, 1);

    for (int t = 1; t <= NUMT; ++t)
      for (int i = 1; i <= M; ++i) c.V(i, t) = tlx(i, t) * c.w[t - 1];

    // EPSILON(:,t) = sum over s of cov(EPSILON(t), EPSILON(s)) V(:,s), with
    // that covariance B(t-s)' for s <= t and B(s-t) for s > t.
    for (int t = 1; t <= NUMT; ++t) {
      double* et = epsilon.col(t);
      for (int i = 0; i < M; ++i) et[i] = 0.0;
      for (int s = 1; s <= t; ++s) {
        const double* b = block(blocks, M, t - s);
        const double* v = c.V.col(s);
        for (int i = 0; i < M; ++i) et[i] += DDOT(M, b + static_cast<long>(i) * M, 1, v, 1);
      }
      for (int s = t + 1; s <= NUMT; ++s) {
        const double* b = block(blocks, M, s - t);
        const double* v = c.V.col(s);
        for (int j = 0; j < M; ++j)
          if (v[j] != 0.0) DAXPY(M, v[j], b + static_cast<long>(j) * M, 1, et, 1);
      }
    }
  }

  const char* caller = "SUBROUTINE CEPS";
  int iocond = 0;
  openFile(epsmatrx.unit, logUnit, epsmatrx.name, "UNFORMATTED", "UNKNOWN", iocond, caller,
           "STOP");
  rewindFile(epsmatrx.unit, logUnit, epsmatrx.name, iocond, caller, "STOP");
  iocond = writeMatrixRecord(epsmatrx.unit, Mat{epsilon.p, epsilon.ld, M, NUMT});
  // A lost EPSILON record would feed a stale matrix to every later reader.
  if (iocond != 0)
    reportError(" IN SUBROUTINE CEPS, ERROR IN WRITING FILE " +
                    std::string(trimmed(epsmatrx.name)) + ", IOCOND = " +
                    std::to_string(iocond) + ".",
                "STOP", logUnit);
  closeFile(epsmatrx.unit, logUnit, epsmatrx.name, "KEEP", iocond, caller, "STOP");
}

void CBETA(const double* PIVECT, Mat Z, Mat L, Mat epsilon, Mat beta) {
  const int K = beta.rows, NUMT = beta.cols, P = Z.rows, M = L.cols;
  for (int t = 1; t <= NUMT; ++t) {
    double* bt = beta.col(t);
    for (int k = 0; k < K; ++k) bt[k] = 0.0;
    // PI is K x P, column by column in PIVECT.
    for (int j = 1; j <= P; ++j)
      DAXPY(K, Z(j, t), PIVECT + static_cast<long>(j - 1) * K, 1, bt, 1);
    for (int m = 1; m <= M; ++m) DAXPY(K, epsilon(m, t), L.col(m), 1, bt, 1);
  }
}

}  // namespace kova
