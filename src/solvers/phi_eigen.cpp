// The eigenvalues of PHI (EIGENR, EIGDCP) and the repairs that bring a
// starting PHI inside the unit circle (ADJPHI, ADJPHD).
#include <algorithm>
#include <cmath>
#include <string>

#include "io/edit_descriptors.h"
#include "io/messages.h"
#include "linalg/complex_eigen.h"
#include "linalg/eispack.h"
#include "linalg/linpack.h"
#include "solvers/definiteness.h"

namespace kova {
namespace {

struct EigenrWork {
  double* scale;
  int* intch;
  Mat a, z;  // used only when A and Z have different leading dimensions
};

EigenrWork carveEigenr(Scratch& s, int n, bool sameLd) {
  EigenrWork w{};
  w.scale = s.doubles(n);
  w.intch = s.ints(n);
  if (!sameLd) {
    w.a = s.mat(n, n);
    w.z = s.mat(n, n);
  }
  return w;
}

// What EIGDCP and ADJPHI share: a copy of PHI, the real eigen-output, the
// pivots and work column of the inversion of V.
struct DecompositionWork {
  Mat a, z;
  double *wr, *wi;
  int* ipvt;
  dcomplex* cwork;
};

DecompositionWork carveDecomposition(Scratch& s, int n) {
  DecompositionWork w{};
  w.a = s.mat(n, n);
  w.z = s.mat(n, n);
  w.wr = s.doubles(n);
  w.wi = s.doubles(n);
  w.ipvt = s.ints(n);
  w.cwork = s.complexes(n);
  return w;
}

// The status lines differ between the two callers of decompose.
struct StatusTexts {
  const char* ierrHead;
  const char* ierrTail;
  const char* infoHead;
  const char* infoTail;
};

double modulus(dcomplex v) { return std::sqrt(v.real() * v.real() + v.imag() * v.imag()); }

dcomplex& at(dcomplex* a, int ld, int i, int j) { return a[(i - 1) + static_cast<long>(j - 1) * ld]; }

// PHI = V diag(EVAL) VINV into eig, moduli included; PHI is not changed.
void decompose(Mat phi, PhiEigen& eig, bool invert, Scratch& s, int unit, const StatusTexts& t) {
  const int n = phi.rows;
  DecompositionWork w = carveDecomposition(s, n);
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i) w.a(i, j) = phi(i, j);
  int ierr = 0;
  EIGENR(w.a, w.wr, w.wi, w.z, s, ierr);
  if (ierr != 0) writeUnit(unit, t.ierrHead + editI(ierr, 3) + t.ierrTail);
  EIGCPX(w.z.ld, n, w.z.p, w.wr, w.wi, eig.eval, eig.ld, eig.V);
  for (int i = 0; i < n; ++i) eig.moduli[i] = modulus(eig.eval[i]);
  if (!invert) return;
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i) at(eig.VINV, eig.ld, i, j) = at(eig.V, eig.ld, i, j);
  int info = 0;
  ZGEFA(eig.VINV, eig.ld, n, w.ipvt, info);
  if (info != 0) writeUnit(unit, t.infoHead + editI(info, 3) + t.infoTail);
  dcomplex det[2];
  ZGEDI(eig.VINV, eig.ld, n, w.ipvt, det, w.cwork, 1);
}

constexpr StatusTexts kEigdcpTexts{
    "IERR =", " IN EIGDCP IS NOT ZERO.", "INFO =",
    " IN SUBROUTINE EIGDCP IS NOT ZERO.  UPON RETURNING FROM SUBROUTINE ZGEFA."};
constexpr StatusTexts kAdjphiTexts{" IERR =", " IN EIGENR IS NOT ZERO.", " INFO =",
                                   " IN ZGEFA IS NOT ZERO."};

}  // namespace

void EIGENR(Mat a, double* wr, double* wi, Mat z, Scratch& scratch, int& ierr) {
  const int n = a.rows;
  Scratch s = scratch;
  const bool sameLd = a.ld == z.ld;
  EigenrWork w = carveEigenr(s, n, sameLd);
  // The EISPACK chain takes one leading dimension for A and Z.
  Mat aw = a, zw = z;
  if (!sameLd) {
    aw = w.a;
    zw = w.z;
    for (int j = 1; j <= n; ++j)
      for (int i = 1; i <= n; ++i) aw(i, j) = a(i, j);
  }
  int low = 1, igh = 0;
  BALANC(aw.ld, n, aw.p, low, igh, w.scale);
  ELMHES(aw.ld, n, low, igh, aw.p, w.intch);
  ELTRAN(aw.ld, n, low, igh, aw.p, w.intch, zw.p);
  HQR2(aw.ld, n, low, igh, aw.p, wr, wi, zw.p, ierr);
  BALBAK(aw.ld, n, low, igh, w.scale, n, zw.p);
  if (!sameLd)
    for (int j = 1; j <= n; ++j)
      for (int i = 1; i <= n; ++i) z(i, j) = zw(i, j);
}

ScratchNeed EIGENRneed(int n) {
  Scratch s;
  carveEigenr(s, n, false);
  return s.used();
}

void EIGDCP(Mat phi, PhiEigen& eig, double& MAXEVL, bool wantVectors, Scratch& scratch,
            int unit) {
  Scratch s = scratch;
  decompose(phi, eig, wantVectors, s, unit, kEigdcpTexts);
  MAXEVL = 0.0;
  for (int i = 0; i < phi.rows; ++i) MAXEVL = std::max(MAXEVL, eig.moduli[i]);
}

ScratchNeed EIGDCPneed(int n) {
  Scratch s;
  carveDecomposition(s, n);
  carveEigenr(s, n, true);
  return s.used();
}

void ADJPHI(Mat phi, PhiEigen& eig, double rho, int method, double* evlen0, double* evlen,
            bool& adjusted, Scratch& scratch, int unit) {
  const int n = phi.rows;
  Scratch s = scratch;
  decompose(phi, eig, true, s, unit, kAdjphiTexts);
  adjusted = false;
  for (int i = 0; i < n; ++i) evlen0[i] = evlen[i] = eig.moduli[i];
  if (method == 1) {
    for (int i = 0; i < n; ++i) {
      if (evlen0[i] < 1.0) continue;
      // Same argument, modulus RHO. Both members of a complex pair have the
      // same modulus, so they move together and PHI stays real.
      eig.eval[i] *= rho / evlen0[i];
      evlen[i] = modulus(eig.eval[i]);
      adjusted = true;
    }
    if (adjusted) {
      // PHI := Re(V diag(EVAL) VINV), through W = diag(EVAL) VINV.
      dcomplex* w = s.complexes(static_cast<long long>(n) * n);
      dcomplex* product = s.complexes(static_cast<long long>(n) * n);
      dcomplex* column = s.complexes(n);
      for (int j = 1; j <= n; ++j)
        for (int i = 1; i <= n; ++i) at(w, n, i, j) = eig.eval[i - 1] * at(eig.VINV, eig.ld, i, j);
      ZMATMU(eig.ld, n, n, eig.V, n, n, w, n, product, column);
      for (int j = 1; j <= n; ++j)
        for (int i = 1; i <= n; ++i) phi(i, j) = at(product, n, i, j).real();
    }
  } else {
    double largest = 0.0;
    for (int i = 0; i < n; ++i) largest = std::max(largest, evlen0[i]);
    if (largest >= 1.0) {
      adjusted = true;
      const double d = largest + rho;
      for (int j = 1; j <= n; ++j)
        for (int i = 1; i <= n; ++i) phi(i, j) /= d;
      for (int i = 0; i < n; ++i) {
        eig.eval[i] /= d;
        evlen[i] = evlen0[i] / d;
      }
    }
  }
  if (evlen != eig.moduli)
    for (int i = 0; i < n; ++i) eig.moduli[i] = evlen[i];
}

ScratchNeed ADJPHIneed(int n) {
  ScratchNeed need = EIGDCPneed(n);
  Scratch s;
  carveDecomposition(s, n);
  s.complexes(2LL * n * n + n);
  need.include(s.used());
  return need;
}

void ADJPHD(Mat phi, double rho, int method, double* evlen0, bool& adjusted) {
  const int n = phi.rows;
  adjusted = false;
  for (int i = 1; i <= n; ++i) evlen0[i - 1] = std::fabs(phi(i, i));
  if (method == 1) {
    for (int i = 1; i <= n; ++i) {
      if (evlen0[i - 1] < 1.0) continue;
      phi(i, i) = std::copysign(std::fabs(rho), phi(i, i));
      adjusted = true;
    }
    return;
  }
  double largest = 0.0;
  for (int i = 0; i < n; ++i) largest = std::max(largest, evlen0[i]);
  if (largest < 1.0) return;
  adjusted = true;
  for (int i = 1; i <= n; ++i) phi(i, i) /= largest + rho;
}

}  // namespace kova
