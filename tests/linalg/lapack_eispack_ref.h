#pragma once
// Reference LAPACK drivers the eigen routines are checked and timed against
// (test and benchmark use only; the product does not link LAPACK).
#include <cstddef>

extern "C" {
// Eigenvalues and optionally left/right eigenvectors of a real general matrix.
void dgeev_(const char* jobvl, const char* jobvr, const int* n, double* a, const int* lda, double* wr, double* wi,
            double* vl, const int* ldvl, double* vr, const int* ldvr, double* work, const int* lwork, int* info,
            std::size_t jobvlLen, std::size_t jobvrLen);
// Eigenvalues (ascending) and optionally eigenvectors of a real symmetric matrix.
void dsyev_(const char* jobz, const char* uplo, const int* n, double* a, const int* lda, double* w, double* work,
            const int* lwork, int* info, std::size_t jobzLen, std::size_t uploLen);
}
