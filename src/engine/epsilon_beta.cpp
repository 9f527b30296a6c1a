#include "engine/epsilon_beta.h"

#include <algorithm>
#include <string>

#include "io/error_report.h"
#include "io/text_conversion.h"
#include "linalg/blas1.h"
#include "linalg/least_squares.h"
#include "linalg/linpack.h"
#include "data/matrix_records.h"

namespace kova {
namespace {

struct CepsWork {
  Mat W;      // UYSGMA RO', then its QR factorization
  double* x;  // a solution of W'W x = MU
  double* w;  // RO' x
  Mat V;      // column s: x~(s) w(s)
  double* qraux;
  double* qrWork;
  int* jpvt;
};

// The one carving of CEPS's scratch; CEPSneed runs it on a counting Scratch.
CepsWork carveCeps(Scratch& s, int M, int NUMT) {
  CepsWork c{};
  c.W = s.mat(NUMT, NUMT);
  c.x = s.doubles(NUMT);
  c.w = s.doubles(NUMT);
  c.V = s.mat(M, NUMT);
  c.qraux = s.doubles(NUMT);
  c.qrWork = s.doubles(NUMT);
  c.jpvt = s.ints(NUMT);
  return c;
}

const double* block(const double* blocks, int M, int k) {
  return blocks + static_cast<long>(k) * M * M;
}

// The two NUMT^3 products of CEPS work on blocks of four result columns,
// and W = A B' also on four terms at a time, so that each value loaded
// serves several multiply-adds: at NUMT = 700 the operands outgrow the
// caches, and a column-at-a-time sweep is bound by memory traffic.
constexpr int kSweep = 4;

// C (n x n) = A B' for n x n A and B.
void multiplyByTranspose(Mat a, Mat b, Mat c) {
  const int n = a.rows;
  for (int j0 = 1; j0 <= n; j0 += kSweep) {
    const int nj = std::min(kSweep, n - j0 + 1);
    for (int q = 0; q < nj; ++q) std::fill_n(c.col(j0 + q), n, 0.0);
    if (nj < kSweep) {
      for (int k = 1; k <= n; ++k)
        for (int q = 0; q < nj; ++q) DAXPY(n, b(j0 + q, k), a.col(k), 1, c.col(j0 + q), 1);
      continue;
    }
    double* __restrict c0 = c.col(j0);
    double* __restrict c1 = c.col(j0 + 1);
    double* __restrict c2 = c.col(j0 + 2);
    double* __restrict c3 = c.col(j0 + 3);
    int k = 1;
    for (; k + 3 <= n; k += 4) {
      const double* __restrict a0 = a.col(k);
      const double* __restrict a1 = a.col(k + 1);
      const double* __restrict a2 = a.col(k + 2);
      const double* __restrict a3 = a.col(k + 3);
      double f[4][4];
      for (int q = 0; q < 4; ++q)
        for (int l = 0; l < 4; ++l) f[q][l] = b(j0 + q, k + l);
      for (int i = 0; i < n; ++i) {
        const double v0 = a0[i], v1 = a1[i], v2 = a2[i], v3 = a3[i];
        c0[i] += f[0][0] * v0 + f[0][1] * v1 + f[0][2] * v2 + f[0][3] * v3;
        c1[i] += f[1][0] * v0 + f[1][1] * v1 + f[1][2] * v2 + f[1][3] * v3;
        c2[i] += f[2][0] * v0 + f[2][1] * v1 + f[2][2] * v2 + f[2][3] * v3;
        c3[i] += f[3][0] * v0 + f[3][1] * v1 + f[3][2] * v2 + f[3][3] * v3;
      }
    }
    for (; k <= n; ++k)
      for (int q = 0; q < kSweep; ++q) DAXPY(n, b(j0 + q, k), a.col(k), 1, c.col(j0 + q), 1);
  }
}

// x := a solution of W'W x = MU, with the rank of W decided as the
// least-squares core decides that of the covariance factor (W = UYSGMA RO'
// is that factor seen through the residual operator). Forming W'W and
// judging its rank would square both the condition and the tolerance: an
// observation with a small but real variance of its own (a small x(t) near
// a unit root) would be taken for exact, its residual left out of
// EPSILON, and x(t)'BETA(t) would miss y(t). With W P = Q R, rank r,
// x = P [R11^-1 R11'^-1 (P'MU)(1..r); 0]; any solution gives the same
// EPSILON, and only W x = Q R11'^-1 (P'MU)(1..r) carries the condition
// of W.
void solveNormalEquations(const CepsWork& c, const double* MU, int NUMT) {
  std::fill_n(c.jpvt, NUMT, 0);
  DQRDC(c.W.p, c.W.ld, NUMT, NUMT, c.qraux, c.jpvt, c.qrWork, 1);
  const int rank = numericalRank(c.W.p, c.W.ld, NUMT, kGlsTol);
  double* z = c.qrWork;
  for (int k = 0; k < rank; ++k) z[k] = MU[c.jpvt[k] - 1];
  int info = 0;
  if (rank > 0) {
    DTRSL(c.W.p, c.W.ld, rank, z, 11, info);
    DTRSL(c.W.p, c.W.ld, rank, z, 1, info);
  }
  std::fill_n(c.x, NUMT, 0.0);
  for (int k = 0; k < rank; ++k) c.x[c.jpvt[k] - 1] = z[k];
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
    // W = UYSGMA RO'. UYSGMA is treated as a full matrix: its columns may
    // have been permuted back after a pivoted QR.
    multiplyByTranspose(uysgma, RO, c.W);
    solveNormalEquations(c, MU, NUMT);

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
