#pragma once
// The pooled phase's derivations from the groups' files. The pooled model:
// the coefficients of the constant z-component vary across groups,
// mu_g = mubar + eta_g with cov(eta_g) = DELTA_MU, the other columns of PI
// are common, and the pooled PI vector pibar (first K elements mubar) obeys
// pibar = d + C' theta. Group g's data then are
//   y_g = XZ_g pibar + X_g' eta_g + v_g,  cov(v_g) = SIGMA**2_g YSIGMA_g,
// so that Omega_g = X_g' DELTA_MU X_g + SIGMA**2_g YSIGMA_g. Omega_g is applied
// through the SVD of its square root [U_MU X_g ; SIGMA_g UYSGMA_g] (SYMLSQ,
// tolerance 1.0E-14), never inverted: a singular Omega_g gives the
// pseudo-inverse (the minimum-norm solutions).
#include "io/file_table.h"
#include "linalg/scratch.h"
#include "linalg/views.h"

namespace kova {

// One group of the pooled phase.
struct PooledGroup {
  int g = 0;        // group position
  int groupId = 0;  // for messages
  int T = 0, K = 0, P = 0, M = 0;
  double sigma2 = 0.0;  // SIGMA**2 of the group's last pass
  // The group's passes ran on the state-space engine: its YSIGFCTR holds
  // the model and filter of its last pass, and Omega is applied through
  // them (pooled_state_space.h) in time linear in T; L is then needed.
  bool stateSpace = false;
  Mat L;  // K x M
};

// CDXZYP: reads y (YDATA), X (XDATA), XZ and UYSGMA (YSIGFCTR), forms
// Omega^-1 [XZ y] with the factor uMu of DELTA_MU (U'U = DELTA_MU, K x K),
// and writes six records to DXZGMATS, in this order:
//   1. XZ' Omega^-1 XZ (KP x KP)     2. XZ' Omega^-1 y (KP)
//   3. Omega^-1 y (T)                4. X' (T x K)
//   5. Omega^-1 XZ1 (T x K), XZ1 the columns of XZ of the first z-component
//      (Omega^-1 X' when z(1) = 1)
//   6. Omega^-1 XZHAT (T x K(P-1)), XZHAT the columns of the other
//      z-components; for P < 2 a message and an empty record.
// Records 1 and 2 are also added to sumA (KP x KP) and sumB (KP). A rank of
// Omega below T is written to logUnit and the run goes on.
void CDXZYP(const PooledGroup& grp, const FileTable& files, Mat uMu, Mat sumA, double* sumB,
            Scratch s, int logUnit);
ScratchNeed CDXZYPneed(int T, int K, int P, int M = 0, bool stateSpace = false);

// CPOLPI: theta solves (C A C') theta = C (b - A d) (QRLSQ, tolerance
// 1.0E-14, minimum-norm when C A C' is singular); pibar = d + C' theta and
// its covariance is C' (C A C')^+ C. C is n x KP. Returns the numerical rank
// of C A C'; a rank below n is written to unit. With rank 0 pibar = d and
// the covariance is zero.
int CPOLPI(Mat A, const double* b, Mat C, const double* d, double* pibar, Mat cov, Scratch s,
           int unit);
ScratchNeed CPOLPIneed(int KP, int n);

// EMBTAP: the group's pooled estimates from Z (ZDATA), TLX, the SIGMA-EPS
// blocks (ESIGMA) and records 3..6 of DXZGMATS. With w = Omega^-1 (y - XZ pibar):
//   MU   = pibar(1:K) + DELTA_MU X w  (the best linear unbiased predictor of mu_g);
//   EPSILON(:,t) = SIGMA**2 sum_s C(t,s) TLX(:,s) w(s), C(t,s) = cov(EPSILON(t),
//          EPSILON(s)) from the blocks;
//   BETA(:,t) = PI z(t) + L EPSILON(:,t), PI = pibar as K x P with its first
//          column replaced by MU.
// eps (M x T), mu (K) and beta (K x T) are the caller's; they are written to
// EPSVECP, MUVECP and BETAVECP (one record each).
struct PooledEstimates {
  Mat eps;
  double* mu = nullptr;
  Mat beta;
};
void EMBTAP(const PooledGroup& grp, const FileTable& files, Mat L, const double* pibar,
            Mat deltaMu, PooledEstimates& out, Scratch s, int logUnit);
ScratchNeed EMBTAPneed(int T, int K, int P, int M, bool stateSpace = false);

// File helpers of the pooled steps, each with the caller text of its
// routine: open (OLD for reading, UNKNOWN for writing), rewind, one or more
// records, close and keep. A missing or misshapen record or a failed write
// ends the run with a message naming the file.
void readColumnRecords(const NamedUnit& file, int count, Mat a, const char* routine,
                       int logUnit);
void readMatrixRecords(const NamedUnit& file, const Mat* mats, int count, const char* routine,
                       int logUnit);
void writeMatrixRecords(const NamedUnit& file, const Mat* mats, int count, const char* routine,
                        int logUnit);

}  // namespace kova
