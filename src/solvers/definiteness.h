#pragma once
// The repairs that keep DELTA non-negative definite and PHI stationary, and
// the eigenvalues of PHI.
//
// Every routine carves its work arrays from a copy of the Scratch it is
// given, so the caller's Scratch does not advance and repeated calls reuse
// the same stretch; the ...Need functions give what they carve beyond the
// caller's position. No routine stops the run: problems are written to UNIT
// and the computation goes on with a repaired matrix.
#include "linalg/scratch.h"
#include "linalg/views.h"
#include "solvers/phi_eigen.h"

namespace kova {

// EIGENR: eigenvalues (WR + i WI) and right eigenvectors (Z, in the HQR2
// layout) of the real n x n matrix A (destroyed), by BALANC, ELMHES, ELTRAN,
// HQR2, BALBAK. IERR is the HQR2 status: j > 0 leaves eigenvalues j+1..n
// and no vectors. A and Z may have different leading dimensions.
void EIGENR(Mat a, double* wr, double* wi, Mat z, Scratch& s, int& ierr);
ScratchNeed EIGENRneed(int n);

// EIGDCP: the complex eigenvalues of PHI into eig.eval and eig.moduli, their
// largest modulus MAXEVL, and with wantVectors V and VINV (V is formed in
// any case). A failing HQR2 or a singular V is reported on UNIT and the
// arrays keep what was computed.
void EIGDCP(Mat phi, PhiEigen& eig, double& MAXEVL, bool wantVectors, Scratch& s, int unit);
ScratchNeed EIGDCPneed(int n);

// ADJPHI (full PHI) and ADJPHD (diagonal PHI): METHOD 1 moves every
// eigenvalue of modulus >= 1 to modulus RHO; METHOD 2 divides PHI by
// (largest modulus + RHO) when that modulus is >= 1. ADJPHI fills eig
// (eigenvalues, vectors, inverse, adjusted moduli) in every case.
// evlen0 (n) returns the moduli before, evlen (n) after (evlen may be
// eig.moduli). A modulus of exactly 1 counts as inadmissible.
void ADJPHI(Mat phi, PhiEigen& eig, double rho, int method, double* evlen0, double* evlen,
            bool& adjusted, Scratch& s, int unit);
ScratchNeed ADJPHIneed(int n);
void ADJPHD(Mat phi, double rho, int method, double* evlen0, bool& adjusted);

// ADJDD (diagonal DELTA): floors the diagonal at TOL * (largest element)
// and forms UDELTA = diag(sqrt). diagu (n) returns the unadjusted diagonal.
void ADJDD(Mat delta, Mat udelta, double tol, double* diagu, bool& adjusted, int unit);

// ADJDND (full DELTA): floors the eigenvalues at TOL * (largest), rebuilds
// DELTA when anything changed, and forms its upper Cholesky factor with the
// columns in DELTA's order (UDELTA' UDELTA = DELTA). eval and eval0 (n,
// ascending) return the adjusted and unadjusted eigenvalues, z (n x n) the
// eigenvectors. A negative largest eigenvalue is replaced by its absolute
// value and DELTA is rebuilt (adjusted is true). A singular result is
// reported on UNIT with the number of zero rows of the factor.
void ADJDND(Mat delta, Mat udelta, double* eval, Mat z, double tol, double* eval0,
            bool& adjusted, Scratch& s, int unit);
ScratchNeed ADJDNDneed(int n);

// ADPSYM: ADJDND for the MU-vector covariance matrix ASYM, except that a
// negative largest eigenvalue turns the matrix into zero.
void ADPSYM(Mat asym, Mat uasym, double* eval, Mat z, double tol, double* eval0, bool& adjusted,
            Scratch& s, int unit);
inline ScratchNeed ADPSYMneed(int n) { return ADJDNDneed(n); }

// The upper Cholesky factor of a symmetric non-negative definite A with
// pivoting, rows beyond the numerical rank zeroed and the columns put back
// in A's order (U'U = A; U is upper triangular up to that column order).
// Only A's upper triangle is read. Returns the rank, DCHDC's count of
// accepted pivots. Shared by the starting DELTA, GAMMA and the DELTA
// repairs, which write their own messages about a deficient rank.
int pivotedFactor(Mat a, Mat u, Scratch& s);
ScratchNeed pivotedFactorNeed(int n);

}  // namespace kova
