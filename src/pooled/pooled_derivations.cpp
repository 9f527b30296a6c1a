#include "pooled/pooled_derivations.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "io/edit_descriptors.h"
#include "io/error_report.h"
#include "io/file_services.h"
#include "io/messages.h"
#include "io/record_io.h"
#include "io/fortran_io.h"
#include "io/stop.h"
#include "io/text_conversion.h"
#include "linalg/blas1.h"
#include "linalg/least_squares.h"
#include "pooled/pooled_state_space.h"
#include "linalg/symmetric_lsq.h"
#include "data/matrix_records.h"

namespace kova {
namespace {

constexpr double kRankTol = 1.0E-14;

std::string caller(const char* routine) { return std::string("SUBROUTINE ") + routine; }

void openForReading(const NamedUnit& file, const char* routine, int logUnit) {
  int iocond = 0;
  openFile(file.unit, logUnit, file.name, "UNFORMATTED", "OLD", iocond, caller(routine), "STOP");
  rewindFile(file.unit, logUnit, file.name, iocond, caller(routine), "STOP");
}

void closeKept(const NamedUnit& file, const char* routine, int logUnit) {
  int iocond = 0;
  closeFile(file.unit, logUnit, file.name, "KEEP", iocond, caller(routine), "CONTINUE");
}

[[noreturn]] void badRecord(const NamedUnit& file, int record, const char* routine,
                            int logUnit) {
  reportError(std::string(" IN SUBROUTINE ") + routine + ", RECORD " + std::to_string(record) +
                  " OF FILE " + std::string(trimmed(file.name)) +
                  " IS MISSING OR HAS THE WRONG SIZE.",
              "STOP", logUnit);
  stopRun();  // not reached: the stop option has ended the run
}

// A^T B for the column ranges of two T-row matrices: out(i,j) = a(:,i)'b(:,j).
void crossProduct(Mat a, Mat b, Mat out) {
  for (int j = 1; j <= out.cols; ++j)
    for (int i = 1; i <= out.rows; ++i) out(i, j) = DDOT(a.rows, a.col(i), 1, b.col(j), 1);
}

struct CdxzypWork {
  Mat y, X, xz, u, root, rhs, xt, A;
  double *b, *s, *e, *work;
  Mat v;
};

// The square root of Omega and its SVD only for the dense factor.
CdxzypWork carveCdxzyp(Scratch& s, int T, int K, int P, bool dense) {
  const int KP = K * P;
  CdxzypWork w;
  w.y = s.mat(1, T);
  w.X = s.mat(K, T);
  w.xz = s.mat(T, KP);
  if (dense) {
    w.u = s.mat(T, T);
    w.root = s.mat(K + T, T);
  }
  w.rhs = s.mat(T, KP + 1);
  w.xt = s.mat(T, K);
  w.A = s.mat(KP, KP);
  w.b = s.doubles(KP);
  if (dense) {
    w.s = s.doubles(std::min(K + T + 1, T));
    w.e = s.doubles(T);
    w.work = s.doubles(K + T);
    w.v = s.mat(T, T);
  }
  return w;
}

struct CpolpiWork {
  Mat CA, system, rhs, x, rsd;
  int* jpvt;
  double* work;
};

CpolpiWork carveCpolpi(Scratch& s, int KP, int n) {
  CpolpiWork w;
  w.CA = s.mat(n, KP);
  w.system = s.mat(n, n);
  w.rhs = s.mat(n, n + 1);
  w.x = s.mat(n, n + 1);
  w.rsd = s.mat(n, n + 1);
  w.jpvt = s.ints(n);
  w.work = s.doubles(qrlsqWorkSize(n, n));
  return w;
}

struct EmbtapWork {
  Mat Z, tlx, wy, xt, w1, wHat, V;
  double *blocks, *w, *xw;
};

EmbtapWork carveEmbtap(Scratch& s, int T, int K, int P, int M, bool dense) {
  EmbtapWork w;
  w.Z = s.mat(P, T);
  w.tlx = s.mat(M, T);
  if (dense) w.blocks = s.doubles(static_cast<long long>(M) * M * T);
  w.wy = s.mat(T, 1);
  w.xt = s.mat(T, K);
  w.w1 = s.mat(T, K);
  w.wHat = s.mat(T, K * (P - 1));
  w.V = s.mat(M, T);
  w.w = s.doubles(T);
  w.xw = s.doubles(K);
  return w;
}

}  // namespace

void readColumnRecords(const NamedUnit& file, int count, Mat a, const char* routine,
                       int logUnit) {
  openForReading(file, routine, logUnit);
  for (int j = 1; j <= count; ++j)
    if (readDoubles(file.unit, a.col(j), a.rows) != 0) badRecord(file, j, routine, logUnit);
  closeKept(file, routine, logUnit);
}

void readMatrixRecords(const NamedUnit& file, const Mat* mats, int count, const char* routine,
                       int logUnit) {
  openForReading(file, routine, logUnit);
  for (int k = 0; k < count; ++k)
    if (readMatrixRecord(file.unit, mats[k]) != 0) badRecord(file, k + 1, routine, logUnit);
  closeKept(file, routine, logUnit);
}

void writeMatrixRecords(const NamedUnit& file, const Mat* mats, int count, const char* routine,
                        int logUnit) {
  int iocond = 0;
  openFile(file.unit, logUnit, file.name, "UNFORMATTED", "UNKNOWN", iocond, caller(routine),
           "STOP");
  rewindFile(file.unit, logUnit, file.name, iocond, caller(routine), "STOP");
  for (int k = 0; k < count; ++k) {
    iocond = writeMatrixRecord(file.unit, mats[k]);
    if (iocond != 0)
      reportError(std::string(" IN SUBROUTINE ") + routine + ", ERROR IN WRITING FILE " +
                      std::string(trimmed(file.name)) + ", IOCOND = " + std::to_string(iocond) +
                      ".",
                  "STOP", logUnit);
  }
  iocond = 0;
  closeFile(file.unit, logUnit, file.name, "KEEP", iocond, caller(routine), "STOP");
}

ScratchNeed CDXZYPneed(int T, int K, int P, int M, bool stateSpace) {
  Scratch s;
  carveCdxzyp(s, T, K, P, !stateSpace);
  ScratchNeed need = s.used();
  if (stateSpace) need.add(omegaPseudoInverseStateSpaceNeed(T, K, M, K * P + 1, 0));
  return need;
}

namespace {

// Omega^+ [XZ y] through the SVD of the square root [U_MU X ; SIGMA UYSGMA],
// (K + T) x T; returns the rank of Omega.
int denseOmegaSolve(const PooledGroup& grp, const FileTable& files, Mat uMu, CdxzypWork& w,
                    int logUnit) {
  const char* routine = "CDXZYP";
  const int T = grp.T, K = grp.K, KP = K * grp.P;
  readMatrixRecords(files.scratch(Family::YSIGFCTR, grp.g), &w.u, 1, routine, logUnit);
  const double sigma = std::sqrt(std::max(grp.sigma2, 0.0));
  for (int t = 1; t <= T; ++t) {
    for (int i = 1; i <= K; ++i) {
      double sum = 0.0;
      for (int l = 1; l <= K; ++l) sum += uMu(i, l) * w.X(l, t);
      w.root(i, t) = sum;
    }
    for (int i = 1; i <= T; ++i) w.root(K + i, t) = sigma * w.u(i, t);
  }
  int rank = 0;
  SYMLSQ(w.root.p, w.root.ld, K + T, T, w.rhs.p, w.rhs.ld, KP + 1, kRankTol, w.s, w.e, w.v.p,
         w.v.ld, w.work, rank, logUnit);
  return rank;
}

// The cross products of Omega^+ [XZ y] with XZ into the pooled sums, and the
// six records of DXZGMATS.
void finishCdxzyp(const PooledGroup& grp, const FileTable& files, Mat sumA, double* sumB,
                  CdxzypWork& w, int logUnit) {
  const char* routine = "CDXZYP";
  const int T = grp.T, K = grp.K, P = grp.P, KP = K * P, g = grp.g;
  Mat omegaXz{w.rhs.p, w.rhs.ld, T, KP};
  Mat omegaY{w.rhs.col(KP + 1), w.rhs.ld, T, 1};
  crossProduct(w.xz, omegaXz, w.A);
  // XZ' Omega^+ XZ is symmetric; keep it so exactly.
  for (int j = 1; j <= KP; ++j)
    for (int i = 1; i < j; ++i) w.A(i, j) = w.A(j, i) = 0.5 * (w.A(i, j) + w.A(j, i));
  for (int j = 1; j <= KP; ++j) w.b[j - 1] = DDOT(T, w.xz.col(j), 1, omegaY.p, 1);
  for (int j = 1; j <= KP; ++j) {
    for (int i = 1; i <= KP; ++i) sumA(i, j) += w.A(i, j);
    sumB[j - 1] += w.b[j - 1];
  }
  for (int t = 1; t <= T; ++t)
    for (int k = 1; k <= K; ++k) w.xt(t, k) = w.X(k, t);

  Mat hat{w.rhs.col(K + 1), w.rhs.ld, T, K * (P - 1)};
  if (P < 2) {
    writeUnit(logUnit, (ListLine() << "IN SUBROUTINE CDXZYP, THE PARAMETER P IS LESS THAN 2.  "
                                      "MATRICES RELATED TO XZHAT ARE NOT ASSIGNED VALUES.")
                           .str());
    hat = Mat{w.rhs.p, w.rhs.ld, 0, 0};
  }
  const Mat records[6] = {w.A, Mat{w.b, KP, KP, 1}, omegaY, w.xt,
                          Mat{w.rhs.p, w.rhs.ld, T, K}, hat};
  writeMatrixRecords(files.scratch(Family::DXZGMATS, g), records, 6, routine, logUnit);
}

}  // namespace

void CDXZYP(const PooledGroup& grp, const FileTable& files, Mat uMu, Mat sumA, double* sumB,
            Scratch s, int logUnit) {
  const char* routine = "CDXZYP";
  const int T = grp.T, K = grp.K, P = grp.P, KP = K * P, g = grp.g;
  CdxzypWork w = carveCdxzyp(s, T, K, P, !grp.stateSpace);
  readColumnRecords(files.scratch(Family::YDATA, g), T, w.y, routine, logUnit);
  readColumnRecords(files.scratch(Family::XDATA, g), T, w.X, routine, logUnit);
  readMatrixRecords(files.scratch(Family::XZ, g), &w.xz, 1, routine, logUnit);
  for (int j = 1; j <= KP; ++j) DCOPY(T, w.xz.col(j), 1, w.rhs.col(j), 1);
  for (int t = 1; t <= T; ++t) w.rhs(t, KP + 1) = w.y(1, t);
  const int rank = grp.stateSpace ? omegaPseudoInverseStateSpace(grp, files, w.X, grp.L, uMu,
                                                                 w.rhs, s.rest(), logUnit)
                                  : denseOmegaSolve(grp, files, uMu, w, logUnit);
  if (rank < T)
    writeUnit(logUnit, (ListLine() << "IN SUBROUTINE CDXZYP, THE COVARIANCE MATRIX OF THE "
                                      "Y-VALUES OF GROUP"
                                   << grp.groupId << "HAS THE NUMERICAL RANK" << rank
                                   << ".  THE FULL RANK IS" << T
                                   << ".  ITS PSEUDO-INVERSE IS USED.")
                           .str());
  finishCdxzyp(grp, files, sumA, sumB, w, logUnit);
}


ScratchNeed CPOLPIneed(int KP, int n) {
  Scratch s;
  carveCpolpi(s, KP, n);
  return s.used();
}

int CPOLPI(Mat A, const double* b, Mat C, const double* d, double* pibar, Mat cov, Scratch s,
           int unit) {
  const int KP = A.rows, n = C.rows;
  CpolpiWork w = carveCpolpi(s, KP, n);
  // C A, then the reduced system C A C' with the right-hand sides
  // C (b - A d) and the identity (for the pseudo-inverse).
  for (int l = 1; l <= KP; ++l)
    for (int i = 1; i <= n; ++i) {
      double sum = 0.0;
      for (int m = 1; m <= KP; ++m) sum += C(i, m) * A(m, l);
      w.CA(i, l) = sum;
    }
  for (int j = 1; j <= n; ++j) {
    for (int i = 1; i <= n; ++i) {
      double sum = 0.0;
      for (int l = 1; l <= KP; ++l) sum += w.CA(i, l) * C(j, l);
      w.system(i, j) = sum;
      w.rhs(i, j + 1) = i == j ? 1.0 : 0.0;
    }
  }
  for (int i = 1; i <= n; ++i) {
    double sum = 0.0;
    for (int l = 1; l <= KP; ++l) {
      double r = b[l - 1];
      for (int m = 1; m <= KP; ++m) r -= A(l, m) * d[m - 1];
      sum += C(i, l) * r;
    }
    w.rhs(i, 1) = sum;
  }
  int rank = 0;
  QRLSQ(w.system.p, w.system.ld, n, n, n + 1, w.rhs.p, w.rhs.ld, kRankTol, w.x.p, w.x.ld, w.rsd.p,
        w.rsd.ld, rank, w.jpvt, w.work, unit);
  if (rank < n)
    writeUnit(unit, (ListLine() << "IN SUBROUTINE CPOLPI, THE RANK OF THE POOLED CROSS-PRODUCT "
                                   "MATRIX IS"
                                << rank << ".  THE FULL RANK IS" << n << ".")
                        .str());

  for (int l = 1; l <= KP; ++l) {
    double sum = d[l - 1];
    for (int i = 1; i <= n; ++i) sum += C(i, l) * w.x(i, 1);
    pibar[l - 1] = sum;
  }
  // cov = C' X C with X = (C A C')^+ in columns 2..n+1; CA is free for X C.
  for (int l = 1; l <= KP; ++l)
    for (int i = 1; i <= n; ++i) {
      double sum = 0.0;
      for (int j = 1; j <= n; ++j) sum += w.x(i, j + 1) * C(j, l);
      w.CA(i, l) = sum;
    }
  for (int m = 1; m <= KP; ++m)
    for (int l = 1; l <= m; ++l) {
      double sum = 0.0;
      for (int i = 1; i <= n; ++i) sum += C(i, l) * w.CA(i, m) + C(i, m) * w.CA(i, l);
      cov(l, m) = cov(m, l) = 0.5 * sum;
    }
  return rank;
}

ScratchNeed EMBTAPneed(int T, int K, int P, int M, bool stateSpace) {
  Scratch s;
  carveEmbtap(s, T, K, P, M, !stateSpace);
  ScratchNeed need = s.used();
  if (stateSpace) need.add(pooledEpsilonStateSpaceNeed(T, M));
  return need;
}

void EMBTAP(const PooledGroup& grp, const FileTable& files, Mat L, const double* pibar,
            Mat deltaMu, PooledEstimates& out, Scratch s, int logUnit) {
  const char* routine = "EMBTAP";
  const int T = grp.T, K = grp.K, P = grp.P, M = grp.M, g = grp.g;
  EmbtapWork w = carveEmbtap(s, T, K, P, M, !grp.stateSpace);
  readColumnRecords(files.scratch(Family::ZDATA, g), T, w.Z, routine, logUnit);
  readMatrixRecords(files.scratch(Family::TLX, g), &w.tlx, 1, routine, logUnit);
  const Mat blocks{w.blocks, std::max(M, 1), M, M * T};
  if (!grp.stateSpace)
    readMatrixRecords(files.scratch(Family::ESIGMA, g), &blocks, 1, routine, logUnit);
  // Records 1 and 2 went into the pooled sums when they were written.
  {
    openForReading(files.scratch(Family::DXZGMATS, g), routine, logUnit);
    const NamedUnit& file = files.scratch(Family::DXZGMATS, g);
    thread_local std::vector<unsigned char> ignored;
    for (int k = 1; k <= 2; ++k)
      if (readRecord(file.unit, ignored) != 0) badRecord(file, k, routine, logUnit);
    const Mat rest[4] = {w.wy, w.xt, w.w1, P >= 2 ? w.wHat : Mat{w.wHat.p, w.wHat.ld, 0, 0}};
    for (int k = 0; k < 4; ++k)
      if (readMatrixRecord(file.unit, rest[k]) != 0) badRecord(file, k + 3, routine, logUnit);
    closeKept(file, routine, logUnit);
  }

  // w = Omega^-1 (y - XZ pibar); X w = (X')' w.
  for (int t = 1; t <= T; ++t) {
    double r = w.wy(t, 1);
    for (int k = 1; k <= K; ++k) r -= w.w1(t, k) * pibar[k - 1];
    for (int l = 1; l <= K * (P - 1); ++l) r -= w.wHat(t, l) * pibar[K + l - 1];
    w.w[t - 1] = r;
  }
  for (int k = 1; k <= K; ++k) w.xw[k - 1] = DDOT(T, w.xt.col(k), 1, w.w, 1);
  for (int i = 1; i <= K; ++i) {
    double sum = pibar[i - 1];
    for (int k = 1; k <= K; ++k) sum += deltaMu(i, k) * w.xw[k - 1];
    out.mu[i - 1] = sum;
  }

  // EPSILON(:,t) = SIGMA**2 sum_s cov(EPSILON(t), EPSILON(s)) TLX(:,s) w(s),
  // that covariance B(t-s)' for s <= t and B(s-t) for s > t.
  if (grp.stateSpace) {
    double* u = w.V.p;  // SIGMA**2 w, as the weights of the sweep
    for (int t = 0; t < T; ++t) u[t] = grp.sigma2 * w.w[t];
    pooledEpsilonStateSpace(grp, files, w.tlx, u, out.eps, s, logUnit);
  }
  for (int t = 1; t <= T && !grp.stateSpace; ++t)
    for (int i = 1; i <= M; ++i) w.V(i, t) = grp.sigma2 * w.tlx(i, t) * w.w[t - 1];
  auto block = [&](int k) { return w.blocks + static_cast<long>(k) * M * M; };
  for (int t = 1; t <= T && !grp.stateSpace; ++t) {
    double* et = out.eps.col(t);
    for (int i = 0; i < M; ++i) et[i] = 0.0;
    for (int q = 1; q <= t; ++q) {
      const double* bk = block(t - q);
      for (int i = 0; i < M; ++i) et[i] += DDOT(M, bk + static_cast<long>(i) * M, 1, w.V.col(q), 1);
    }
    for (int q = t + 1; q <= T; ++q) {
      const double* bk = block(q - t);
      const double* v = w.V.col(q);
      for (int j = 0; j < M; ++j)
        if (v[j] != 0.0) DAXPY(M, v[j], bk + static_cast<long>(j) * M, 1, et, 1);
    }
  }

  // BETA(:,t) = MU z1(t) + sum_{j>=2} PI(:,j) z_j(t) + L EPSILON(:,t).
  for (int t = 1; t <= T; ++t)
    for (int i = 1; i <= K; ++i) {
      double sum = out.mu[i - 1] * w.Z(1, t);
      for (int j = 2; j <= P; ++j) sum += pibar[(j - 1) * K + i - 1] * w.Z(j, t);
      for (int m = 1; m <= M; ++m) sum += L(i, m) * out.eps(m, t);
      out.beta(i, t) = sum;
    }

  const Mat mu{out.mu, std::max(K, 1), K, 1};
  writeMatrixRecords(files.scratch(Family::EPSVECP, g), &out.eps, 1, routine, logUnit);
  writeMatrixRecords(files.scratch(Family::MUVECP, g), &mu, 1, routine, logUnit);
  writeMatrixRecords(files.scratch(Family::BETAVECP, g), &out.beta, 1, routine, logUnit);
}

}  // namespace kova
