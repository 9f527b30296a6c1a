#pragma once
// Dense factorizations with the classic LINPACK argument lists and job codes.
// Matrices are column-major with leading dimension LDx >= the row count;
// pivot vectors hold 1-based column/row numbers. No routine allocates: every
// scratch vector comes from the caller. Array arguments may be identified
// (aliased) exactly where the classic routines allow it, so none of them is
// declared restrict.
#include "linalg/blas1.h"

namespace kova {

// DQRDC: Householder QR factorization X P = Q R of the N x P matrix X.
//   X      on return R is in the upper triangle; below it, together with
//          QRAUX, the Householder vectors that define Q (for DQRSL).
//   QRAUX  length P.
//   JPVT   length P; used only when JOB != 0 (column pivoting by largest
//          remaining column norm). On entry JPVT(k) > 0 makes column k an
//          initial column (moved to the front, not pivoted), == 0 a free
//          column, < 0 a final column (moved to the back, not pivoted). On
//          return JPVT(k) is the original index of the column now in place k.
//   WORK   length P, used only when JOB != 0.
void DQRDC(double* x, int ldx, int n, int p, double* qraux, int* jpvt, double* work, int job);

// DQRSL: applies the output of DQRDC to a vector Y of length N, using the
// first K columns of the factorization (K <= min(N, P)). JOB is read as the
// decimal digits ABCDE: A != 0 computes QY = Q y, B|C|D|E != 0 computes
// QTY = Q'y, C != 0 the least-squares coefficients B (length K), D != 0 the
// residual RSD = y - X_K b, E != 0 the fit XB = X_K b. X is only read (its
// diagonal is borrowed and restored). Y may share storage with QTY and one
// of B, RSD, XB; or with QY, in which case QTY may share with one of B, RSD,
// XB. INFO = k > 0 when B was requested and R(k,k) == 0, k the largest such
// index (the back substitution stops there and B is incomplete); else 0.
void DQRSL(double* x, int ldx, int n, int k, const double* qraux, const double* y, double* qy,
           double* qty, double* b, double* rsd, double* xb, int job, int& info);

// DTRSL: solves T x = b or T' x = b with T triangular of order N; B is
// overwritten by x. JOB: 00 T lower, 01 T upper, 10 T' x = b with T lower,
// 11 T' x = b with T upper. INFO = k > 0 (and B untouched) when T(k,k) == 0
// for the first such k; otherwise 0.
void DTRSL(const double* t, int ldt, int n, double* b, int job, int& info);

// DCHDC: Cholesky decomposition P' A P = R'R of a positive semi-definite
// matrix of order P, optionally with diagonal pivoting (JOB != 0). Only the
// upper triangle of A is read and it is overwritten by R; the strict lower
// triangle is untouched. WORK has length P. JPVT (JOB != 0 only) works as in
// DQRDC: > 0 initial, == 0 free, < 0 final on entry; the original index of
// the row/column in place k on return. The factorization stops at the
// first pivot that is not positive (or is NaN) and, when JOB != 0, at the
// first pivot not above P u max A(i,i), u = 2^-53 the unit roundoff; INFO is
// the number of pivots taken: the leading INFO x INFO block of R factors the
// same block of P' A P, and INFO < P says A is singular or indefinite. With
// pivoting INFO is the numerical rank, which callers rely on: rounding
// leaves the pivots beyond the rank tiny but often positive, and taking them
// would fill the rows below with noise of size sqrt(u) ||A||. The tolerance
// is relative to the largest diagonal element, so a diagonal element below
// it counts as zero: scale a badly scaled matrix first.
void DCHDC(double* a, int lda, int p, double* work, int* jpvt, int job, int& info);

// DSVDC: singular value decomposition X = U diag(S) V' of the N x P matrix X
// by Householder bidiagonalization and the implicitly shifted QR iteration.
// X is destroyed. JOB has decimal digits AB: A = 0 no left vectors, A = 1 all
// N left vectors in U (LDU >= N, N columns), A >= 2 the first min(N,P) left
// vectors; B != 0 the P right vectors in V (LDV >= P). S has length
// min(N+1,P) and returns the singular values in descending order; E (length
// P) is ordinarily zero on return; WORK has length N. U may be X when N <= P
// or A == 2; V may be X when P <= N.
// An element of the bidiagonal matrix counts as zero when it is negligible
// beside its neighbours or below eps times the norm of the matrix. Without
// the second test, values that fall below eps ||X|| (graded or numerically
// singular X) never converge, since their rounding noise is of that size;
// with it they converge to within a small multiple of eps ||X||, which is
// all the accuracy any backward-stable method gives them.
// INFO = 0 on success; INFO = m > 0 when the iteration failed for the m-th
// value: S(m+1..min(N,P)) and their vectors are correct, and U' X V is the
// bidiagonal matrix with diagonal S and super-diagonal E.
void DSVDC(double* x, int ldx, int n, int p, double* s, double* e, double* u, int ldu, double* v,
           int ldv, double* work, int job, int& info);

// ZGEFA: LU factorization with partial pivoting of the complex N x N matrix
// A, overwritten by U and the multipliers of L. The pivot in each column is
// the entry of largest |re| + |im|; IPVT(k) is the row exchanged with row k.
// INFO = k > 0 when U(k,k) == 0 for the last such k (the factorization is
// complete, but ZGEDI would divide by zero); otherwise 0.
void ZGEFA(dcomplex* a, int lda, int n, int* ipvt, int& info);

// ZGEDI: determinant and/or inverse from the ZGEFA factors. JOB digits AB:
// A != 0 computes the determinant DET(1) * 10**DET(2), with
// 1 <= |re DET(1)| + |im DET(1)| < 10 or DET(1) == 0; B != 0 overwrites A by
// the inverse. WORK has length N. The inverse divides by zero if ZGEFA
// reported INFO != 0.
void ZGEDI(dcomplex* a, int lda, int n, const int* ipvt, dcomplex* det, dcomplex* work, int job);

// Shared kernel of DQRDC, DQRSL and DSVDC: applies the reflector
// H = I - v v' / v(1) (v of length LEN, as those routines store it) to NCOLS
// columns of Y, spaced LDY apart. Each column receives the arithmetic of
// DDOT then DAXPY, in that order.
void applyReflector(int len, const double* v, double* y, int ldy, int ncols);

}  // namespace kova
