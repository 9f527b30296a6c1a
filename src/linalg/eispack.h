#pragma once
// Eigenvalue routines after the EISPACK algorithms, with their argument lists.
// Matrices are column-major with leading dimension NM >= N; the integer
// outputs LOW, IGH and the contents of INT are 1-based row indices. N = 0 is
// accepted by every routine and does nothing (LOW = 1, IGH = 0 from BALANC).
//
// Real general matrix: BALANC, ELMHES, ELTRAN, HQR2, BALBAK in that order give
// all eigenvalues and the right eigenvectors of A.
// Real symmetric matrix: TRED2 then TQL2.
#include <complex>

namespace kova {

// Balances A by exact similarity transformations: permutations that isolate
// eigenvalues in rows/columns 1..LOW-1 and IGH+1..N, then scaling of rows
// and columns LOW..IGH by powers of the radix DRADIX(1) = 16 so that each
// row and its column have similar norms. A is overwritten by the balanced
// matrix. SCALE(j) holds the index interchanged with j for j outside
// LOW..IGH and the scaling factor for j inside, as BALBAK expects.
void BALANC(int nm, int n, double* a, int& low, int& igh, double* scale);

// Reduces rows and columns LOW..IGH of A to upper Hessenberg form by
// stabilised elementary similarity transformations (Gaussian elimination
// with row interchanges). On return A holds the Hessenberg matrix above and
// on the subdiagonal and the multipliers below it; INT(LOW+1..IGH) holds the
// interchanged rows.
void ELMHES(int nm, int n, int low, int igh, double* a, int* intch);

// Forms in Z the transformation matrix of ELMHES from the multipliers left
// in A and from INT. A and INT are only read.
void ELTRAN(int nm, int n, int low, int igh, const double* a, const int* intch, double* z);

// Eigenvalues and eigenvectors of the upper Hessenberg matrix H by the shifted
// double-step QR algorithm, convergence judged against DMACH(1) = 1.6E-13.
// On entry Z holds the transformation from ELTRAN (the identity for a
// matrix that is Hessenberg already); on return it holds the eigenvectors:
// column j is the real eigenvector when WI(j) = 0; for a complex pair
// (WI(j) > 0, WI(j+1) < 0) columns j and j+1 are the real and imaginary
// parts of the eigenvector of WR(j) + i WI(j). Vectors are not normalised.
// H is destroyed. IERR = 0 on success; IERR = j > 0 when the j-th
// eigenvalue did not converge in 30 iterations: eigenvalues j+1..N are
// then correct but no eigenvectors are computed.
void HQR2(int nm, int n, int low, int igh, double* h, double* wr, double* wi, double* z, int& ierr);

// Back-transforms the first M columns of Z, eigenvectors of the matrix
// balanced by BALANC, into eigenvectors of the original matrix.
void BALBAK(int nm, int n, int low, int igh, const double* scale, int m, double* z);

// Reduces the real symmetric matrix A, given by its lower triangle, to
// tridiagonal form by orthogonal similarity transformations (Householder),
// accumulating them in Z. On return D holds the diagonal, E(2..N) the
// subdiagonal, E(1) = 0. A is only read; Z may be the same array as A.
void TRED2(int nm, int n, const double* a, double* d, double* e, double* z);

// Eigenvalues and eigenvectors of the symmetric tridiagonal matrix (D, E) by
// the QL method with implicit shifts, convergence judged against DMACH(1).
// On entry Z holds the transformation from TRED2 (the identity for a matrix
// tridiagonal already). On return D holds the eigenvalues in ascending order
// and Z the orthonormal eigenvectors; E is destroyed. IERR = 0 on success;
// IERR = j > 0 when the j-th eigenvalue did not converge in 30 iterations:
// eigenvalues 1..j-1 are then correct but unordered, as are their vectors.
void TQL2(int nm, int n, double* d, double* e, double* z, int& ierr);

}  // namespace kova
