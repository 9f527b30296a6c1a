#pragma once
// SYMLSQ: minimum-norm solutions of the normal equations (A'A) W = B through
// the singular value decomposition of A, never forming A'A (whose condition
// is the square of A's).
//
// A is n x p (leading dimension LDA) and is destroyed by DSVDC. B is p x nb
// (leading dimension LDB) and is overwritten by W. S (length min(n+1, p)),
// E (length p) and WORK (length max(n, p)) are scratch for DSVDC, S returning
// the singular values; V (p x p, LDV >= p) returns the right singular
// vectors. R returns the numerical rank: the number of leading singular
// values with s(i)^2 > TOL * s(1)^2, counting from the first and stopping
// at the first that fails (so TOL >= 1 gives R = 0). Each column b becomes
// sum over i = 1..R of v(i) (v(i)'b) / s(i)^2; with R = 0 that is zero.
// A nonzero status of DSVDC is written to UNIT and the computation goes on
// with the values DSVDC returned.
namespace kova {

void SYMLSQ(double* a, int lda, int n, int p, double* b, int ldb, int nb, double tol, double* s,
            double* e, double* v, int ldv, double* work, int& r, int unit);

}  // namespace kova
