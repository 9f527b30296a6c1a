#include "engine/epsilon_beta.h"

#include <algorithm>
#include <string>

#include "io/error_report.h"
#include "io/text_conversion.h"
#include "linalg/blas1.h"
#include "linalg/least_squares.h"
#include "data/matrix_records.h"

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

// G (n x n) = W'W for n x n W: the upper triangle by dot products, two rows
// by four columns at a time, then mirrored so that both halves agree.
void gramMatrix(Mat w, Mat g) {
  const int n = w.rows;
  for (int j0 = 1; j0 <= n; j0 += kSweep) {
    const int nj = std::min(kSweep, n - j0 + 1);
    const int last = j0 + nj - 1;  // rows 1..last of these columns
    if (nj < kSweep) {
      for (int q = 0; q < nj; ++q)
        for (int i = 1; i <= j0 + q; ++i) g(i, j0 + q) = DDOT(n, w.col(i), 1, w.col(j0 + q), 1);
      continue;
    }
    const double* __restrict w0 = w.col(j0);
    const double* __restrict w1 = w.col(j0 + 1);
    const double* __restrict w2 = w.col(j0 + 2);
    const double* __restrict w3 = w.col(j0 + 3);
    // last is a multiple of four here, so the rows come in pairs.
    for (int i = 1; i < last; i += 2) {
      const double* __restrict x = w.col(i);
      const double* __restrict y = w.col(i + 1);
      double s[2][4] = {{0.0, 0.0, 0.0, 0.0}, {0.0, 0.0, 0.0, 0.0}};
      for (int r = 0; r < n; ++r) {
        const double u0 = w0[r], u1 = w1[r], u2 = w2[r], u3 = w3[r];
        const double xv = x[r], yv = y[r];
        s[0][0] += xv * u0;
        s[0][1] += xv * u1;
        s[0][2] += xv * u2;
        s[0][3] += xv * u3;
        s[1][0] += yv * u0;
        s[1][1] += yv * u1;
        s[1][2] += yv * u2;
        s[1][3] += yv * u3;
      }
      for (int q = 0; q < 4; ++q) {
        g(i, j0 + q) = s[0][q];
        g(i + 1, j0 + q) = s[1][q];
      }
    }
  }
  for (int j = 1; j <= n; ++j)
    for (int i = j + 1; i <= n; ++i) g(i, j) = g(j, i);
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
    // A = W'W = RO YSIGMA RO', symmetric: one triangle of dot products.
    gramMatrix(c.W, c.A);

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
