#pragma once
// Small complex-matrix routines that go with the eigen routines.
#include "linalg/blas1.h"  // dcomplex

namespace kova {

// Complex form of the eigen-output of HQR2 for an N x N matrix: EVAL(j) =
// WR(j) + i WI(j), and column j of C (leading dimension LDC) the eigenvector
// of EVAL(j) from Z (leading dimension NM):
//   WI(j) = 0: Z(:,j);  WI(j) > 0: Z(:,j) + i Z(:,j+1);
//   WI(j) < 0: Z(:,j-1) - i Z(:,j).
// A partner column outside 1..N (not produced by HQR2) is taken as zero.
void EIGCPX(int nm, int n, const double* z, const double* wr, const double* wi, dcomplex* eval, int ldc,
            dcomplex* c);

// C (M x N) := A (M x K) B (K x N), complex, column by column through the
// work column WORK (length M), so that C may be the same array as B when
// M = K and LDC = LDB.
void ZMATMU(int lda, int m, int k, const dcomplex* a, int ldb, int n, const dcomplex* b, int ldc,
            dcomplex* c, dcomplex* work);

// Sets the M x N matrix A (leading dimension LDA) to zero.
void clearMatrix(int lda, int m, int n, double* a);
void clearMatrix(int lda, int m, int n, dcomplex* a);

}  // namespace kova
