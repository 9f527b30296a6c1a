#pragma once
// PI by generalized least squares under its equality restrictions
// (ECPIMU), the covariance scaling (SCLCOV), the working copies of the PI
// restrictions (CPYRPI), and the covariance by orthogonal decomposition
// (ORCVAR).
#include "data/restrictions.h"
#include "linalg/scratch.h"
#include "linalg/views.h"

namespace kova {

struct PiEstimate {
  double* PIVECT = nullptr;  // K*P
  double* MU = nullptr;      // NUMT + SPIROW
  Mat cov;                   // K*P x K*P, in units of SIGMA**2 from ECPIMU
  double sigma2 = 0.0;
  Mat RO;                    // NUMT x NUMT residual operator
  bool covUnavailable = false;
};

// ECPIMU: PIVECT, MU, SIGMA**2, the covariance in units of SIGMA**2 and RO,
// from y, XZ and UYSGMA. Writes the ECPIMU.OUT dump for group 17, pass 1.
// The stacked system [XZ; R] x = [y; r] + [UYSGMA'; 0] u is solved by the
// generalized least-squares core for [y; r] and for every unit vector
// [e_i; 0]: MU = [y; r] - [XZ; R] PIVECT, and column i of RO is the first
// NUMT entries of e_i - [XZ; R] x_i, so that MU(1..NUMT) = RO y without
// restrictions. UYSGMA may be any square factor with UYSGMA'UYSGMA = YSIGMA
// (a triangle with permuted columns, as the covariance step leaves it);
// every element is read. A rank-deficient
// XZ gives the minimum-norm estimate. covUnavailable is set only when the
// core could not form the covariance (a zero design).
void ECPIMU(int pass, int groupId, const double* y, Mat XZ, const PiRestrictionView& rest,
            Mat uysgma, PiEstimate& est, Scratch& s, int outUnit, int logUnit);
ScratchNeed ECPIMUneed(int NUMT, int KP, int SPIROW);

// The ECPIMU.OUT dump of group 17, pass 1: its inputs (opens the file), and
// the estimate (closes it).
void dumpEcpimuInputs(int numt, const double* y, Mat XZ, Mat uysgma, const PiRestrictionView& rest,
                      int logUnit);
void dumpEcpimuEstimate(const double* PIVECT, int n, int logUnit);

// SCLCOV: the covariance times SIGMA**2, or zero with covUnavailable set
// when SIGMA**2 is 0.
void SCLCOV(PiEstimate& est);

// CPYRPI: rows 1..rows of the master R and r into the working copies.
void CPYRPI(Mat masterR, const double* masterR_rhs, int rows, Mat workR, double* workRhs);

struct OrcvarRanks {
  int restriction = 0;  // rank of RCFPI
  int whitening = 0;    // rank of sqrt(SIGMA**2) UYSGMA'
  int information = 0;  // rank in the final inversion
  int informationFull = 0;  // K*P - restriction rank
  int whiteningFull = 0;    // NUMT
  int restrictionFull = 0;  // min(SPIROW, K*P)
};

// ORCVAR: the covariance N (Zr'Zr)^+ N' of PIVECT (in the units of
// SIGMA**2 YSIGMA), overwriting est.cov. N is an orthonormal basis of the
// null space of the restriction rows (the identity without restrictions)
// and Zr solves G Zr = XZ N with G = sqrt(SIGMA**2) UYSGMA'; both solves are
// rank-revealing (QRLSQ, tolerance 1.0E-14), so a singular G or information
// matrix gives the minimum-norm answer and its rank. Sets covUnavailable
// (zero matrix) when the restrictions fix PI; clears it otherwise, except
// that SIGMA**2 = 0 keeps it set: the zero matrix then returned is no
// covariance. K and P appear only in the message for an empty problem
// (NUMT, K or P below 1), after which nothing is computed.
void ORCVAR(Mat XZ, double sigma2, Mat uysgma, const PiRestrictionView& rest, PiEstimate& est,
            OrcvarRanks& ranks, Scratch& s, int outUnit, int logUnit, int K = 0, int P = 0);
ScratchNeed ORCVARneed(int NUMT, int KP, int SPIROW);

// ORCVAR for a regression already whitened and compressed: rw (c x K*P) is
// the triangle of the QR factorization of the whitened design, so that
// rw'rw = XZ' YSIGMA^-1 XZ over the observations that carry noise, of which
// there are `noisy`. Everything else is as ORCVAR; the rank of the
// whitening factor is `noisy` (0 when SIGMA**2 is 0), and Zr = rw N /
// sqrt(SIGMA**2) replaces the solve with G.
void ORCVARwhitened(Mat rw, int noisy, int numt, double sigma2, const PiRestrictionView& rest,
                    PiEstimate& est, OrcvarRanks& ranks, Scratch& s, int outUnit, int logUnit,
                    int K = 0, int P = 0);
ScratchNeed ORCVARwhitenedNeed(int rows, int KP, int SPIROW);

}  // namespace kova
