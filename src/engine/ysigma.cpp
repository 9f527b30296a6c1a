// CSIGYE: the covariance YSIGMA of the y-values, its factor UYSGMA and the
// SIGMA-EPS blocks.
//
// With U(1) = UGAMMA, U(s) = UDELTA for s >= 2 and x~(t) = L'x(t), the
// square root V (NUMT*M x NUMT) has block s of column t equal to
// U(s) (PHI^(t-s))' x~(t) for s <= t and zero below, so that V'V = YSIGMA.
// One QR factorization of V gives the triangular factor; YSIGMA itself is
// never factored or inverted.
#include <algorithm>
#include <cmath>

#include "engine/covariance_structure.h"
#include "engine/result_record.h"
#include "linalg/blas1.h"
#include "linalg/linpack.h"

namespace kova {
namespace {

// The powers PHI^k, k = 1, 2, ..., with their cut-offs.
struct PowerWork {
  Mat d;             // M x M, PHI^k
  int* cutoff;       // M, the lag after which the i-th power is dropped
  dcomplex* lambda;  // M, the cleaned eigenvalues of a full PHI
  dcomplex* power;   // M, their k-th powers
};

PowerWork carvePowers(Scratch& s, int M) {
  PowerWork w{};
  w.d = s.mat(M, M);
  w.cutoff = s.ints(M);
  w.lambda = s.complexes(M);
  w.power = s.complexes(M);
  return w;
}

struct YsigmaWork : PowerWork {
  Mat v;          // NUMT*M x NUMT, the square root, then its QR factors
  double* qraux;  // NUMT
  double* qrWork;  // NUMT
  int* qrPivot;   // NUMT
  double* dx;     // M, (PHI^k)' x~(t)
};

YsigmaWork carve(Scratch& s, int M, int NUMT) {
  YsigmaWork w{};
  w.v = s.mat(NUMT * M, NUMT);
  w.qraux = s.doubles(NUMT);
  w.qrWork = s.doubles(NUMT);
  w.qrPivot = s.ints(NUMT);
  static_cast<PowerWork&>(w) = carvePowers(s, M);
  w.dx = s.doubles(M);
  return w;
}

// y := U x for a full M x M matrix U (the factors carry their columns in
// the original order, so they are not triangular).
void multiply(Mat u, const double* x, double* y) {
  const int M = u.rows;
  std::fill(y, y + M, 0.0);
  for (int l = 1; l <= M; ++l) DAXPY(M, x[l - 1], u.col(l), 1, y, 1);
}

// An eigenvalue whose imaginary part is rounding noise next to a positive
// real part is made real, and one whose real part is noise next to a
// positive imaginary part purely imaginary (signed tests: the powers of
// such values are then free of drift in the discarded part).
dcomplex cleaned(dcomplex z) {
  if (1.0E-15 * z.real() >= std::abs(z.imag())) return {z.real(), 0.0};
  if (1.0E-15 * z.imag() >= std::abs(z.real())) return {0.0, z.imag()};
  return z;
}

bool isZero(Mat phi) {
  for (int j = 1; j <= phi.cols; ++j)
    for (int i = 1; i <= phi.rows; ++i)
      if (phi(i, j) != 0.0) return false;
  return true;
}

// D := PHI^k from PHI^(k-1) (diagonal PHI) or from the eigen-decomposition
// (full PHI). Returns false when every power has been dropped (D = 0).
bool nextPower(int k, bool diagonal, Mat phi, const PhiEigen& eig, const PowerWork& w) {
  const int M = phi.rows;
  bool any = false;
  if (diagonal) {
    for (int i = 1; i <= M; ++i) {
      w.d(i, i) = (w.cutoff[i - 1] < k) ? 0.0 : w.d(i, i) * phi(i, i);
      any = any || w.cutoff[i - 1] >= k;
    }
    return any;
  }
  for (int i = 0; i < M; ++i) {
    w.power[i] = (w.cutoff[i] < k) ? dcomplex(0.0, 0.0) : w.power[i] * w.lambda[i];
    any = any || w.cutoff[i] >= k;
  }
  if (!any) return false;
  // D = real part of W diag(lambda^k) W^-1, column by column.
  for (int b = 1; b <= M; ++b) {
    double* db = w.d.col(b);
    std::fill(db, db + M, 0.0);
    for (int i = 1; i <= M; ++i) {
      const dcomplex c = w.power[i - 1] * eig.VINV[(i - 1) + static_cast<long>(b - 1) * eig.ld];
      if (c == dcomplex(0.0, 0.0)) continue;
      const dcomplex* wi = eig.V + static_cast<long>(i - 1) * eig.ld;
      for (int a = 0; a < M; ++a) db[a] += wi[a].real() * c.real() - wi[a].imag() * c.imag();
    }
  }
  return true;
}

// D := I and the cut-off lags of the eigenvalue moduli (diagonal PHI: its
// diagonal entries).
void startPowers(bool diagonal, Mat phi, const PhiEigen& eig, const PowerWork& w) {
  const int M = phi.rows;
  for (int i = 1; i <= M; ++i) {
    double r;
    if (diagonal) {
      r = std::abs(phi(i, i));
    } else {
      w.lambda[i - 1] = cleaned(eig.eval[i - 1]);
      w.power[i - 1] = dcomplex(1.0, 0.0);
      r = std::abs(w.lambda[i - 1]);
    }
    w.cutoff[i - 1] = cutOffLag(r);
  }
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) w.d(i, j) = (i == j) ? 1.0 : 0.0;
}

// B(k) = GAMMA D' for D = PHI^k.
void addBlock(Mat gamma, Mat d, double* block) {
  const int M = gamma.rows;
  Mat bk{block, M, M, M};
  for (int j = 1; j <= M; ++j) {
    double* bj = bk.col(j);
    for (int c = 1; c <= M; ++c) DAXPY(M, d(j, c), gamma.col(c), 1, bj, 1);
  }
}

}  // namespace

void CSIGYE(const PhiForm& form, Mat tlx, Mat phi, const PhiEigen& eig, Mat ugamma, Mat udelta,
            Mat ysigma, Mat uysgma, double* blocks, const YsigmaFiles& files, Scratch& s,
            int logUnit) {
  const int M = tlx.rows, NUMT = tlx.cols;
  const long mm = static_cast<long>(M) * M;
  Scratch local = s;
  const YsigmaWork w = carve(local, M, NUMT);
  Mat v = w.v;

  // B(0) = UGAMMA' UGAMMA = GAMMA.
  Mat gamma{blocks, M, M, M};
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) gamma(i, j) = DDOT(M, ugamma.col(i), 1, ugamma.col(j), 1);
  std::fill(blocks + mm, blocks + mm * NUMT, 0.0);

  // The diagonal blocks: U(t) x~(t).
  for (int t = 1; t <= NUMT; ++t) {
    double* vt = v.col(t);
    std::fill(vt, vt + static_cast<long>(NUMT) * M, 0.0);
    multiply(t == 1 ? ugamma : udelta, tlx.col(t), vt + static_cast<long>(t - 1) * M);
  }

  const bool zeroPhi = form.zeroPhi || isZero(phi);
  if (!zeroPhi && NUMT >= 2) {
    const bool diagonal = form.diagonalPhi;
    startPowers(diagonal, phi, eig, w);

    for (int k = 1; k <= NUMT - 1; ++k) {
      // Once every power is dropped, the remaining blocks of B and of V
      // stay zero.
      if (!nextPower(k, diagonal, phi, eig, w)) break;
      addBlock(gamma, w.d, blocks + mm * k);
      for (int t = k + 1; t <= NUMT; ++t) {
        const double* xt = tlx.col(t);
        for (int i = 1; i <= M; ++i) w.dx[i - 1] = DDOT(M, w.d.col(i), 1, xt, 1);
        multiply(t - k == 1 ? ugamma : udelta, w.dx, v.col(t) + static_cast<long>(t - k - 1) * M);
      }
    }
  }

  // V P = Q R with column pivoting; UYSGMA = R P', so that
  // UYSGMA' UYSGMA = P R'R P' = V'V.
  std::fill(w.qrPivot, w.qrPivot + NUMT, 0);
  DQRDC(v.p, v.ld, NUMT * M, NUMT, w.qraux, w.qrPivot, w.qrWork, 1);
  for (int k = 1; k <= NUMT; ++k) {
    const double* rk = v.col(k);
    double* u = uysgma.col(w.qrPivot[k - 1]);
    std::copy(rk, rk + k, u);
    std::fill(u + k, u + NUMT, 0.0);
  }
  // YSIGMA(JPVT(i), JPVT(j)) = (R'R)(i,j), from the triangle.
  for (int j = 1; j <= NUMT; ++j) {
    const int pj = w.qrPivot[j - 1];
    for (int i = 1; i <= j; ++i) {
      const int pi = w.qrPivot[i - 1];
      const double value = DDOT(i, v.col(i), 1, v.col(j), 1);
      ysigma(pi, pj) = value;
      ysigma(pj, pi) = value;
    }
  }

  writeResultRecord(files.esigma, "CSIGYE",
                    Mat{blocks, static_cast<int>(mm), static_cast<int>(mm), NUMT}, logUnit);
  writeResultRecord(files.ysigfctr, "CSIGYE", Mat{uysgma.p, uysgma.ld, NUMT, NUMT}, logUnit);
}

void sigmaEpsBlocks(const PhiForm& form, Mat phi, const PhiEigen& eig, Mat ugamma,
                    double* blocks, int NUMT, Scratch& s) {
  const int M = phi.rows;
  const long mm = static_cast<long>(M) * M;
  Scratch local = s;
  const PowerWork w = carvePowers(local, M);
  Mat gamma{blocks, std::max(M, 1), M, M};
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) gamma(i, j) = DDOT(M, ugamma.col(i), 1, ugamma.col(j), 1);
  if (NUMT < 1) return;
  std::fill(blocks + mm, blocks + mm * NUMT, 0.0);
  if (form.zeroPhi || isZero(phi) || NUMT < 2) return;
  startPowers(form.diagonalPhi, phi, eig, w);
  for (int k = 1; k <= NUMT - 1; ++k) {
    if (!nextPower(k, form.diagonalPhi, phi, eig, w)) break;
    addBlock(gamma, w.d, blocks + mm * k);
  }
}

ScratchNeed sigmaEpsBlocksNeed(int M) {
  Scratch s;
  carvePowers(s, M);
  return s.used();
}

ScratchNeed CSIGYEneed(int M, int NUMT) {
  Scratch s;
  carve(s, M, NUMT);
  return s.used();
}

}  // namespace kova
