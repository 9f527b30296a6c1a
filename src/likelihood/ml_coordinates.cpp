// The coordinates of the likelihood search.
#include "likelihood/ml_coordinates.h"

#include <algorithm>
#include <cmath>

#include "likelihood/max_likelihood.h"
#include "solvers/definiteness.h"
#include "solvers/lm_phi.h"

namespace kova {
namespace ml {

void phiFromUnknowns(const Layout& lay, const double* d, Mat phi) {
  for (int j = 1; j <= lay.M; ++j) std::fill_n(phi.col(j), lay.M, 0.0);
  if (lay.nu == 0) return;
  if (lay.leadingOnly) {
    phi(1, 1) = d[0];
  } else {
    fillPhi(d, lay.diagonalPhi, phi);
  }
}

void unknownsFromPhi(const Layout& lay, Mat phi, double* d) {
  if (lay.leadingOnly) {
    if (lay.nu == 1) d[0] = phi(1, 1);
  } else if (lay.diagonalPhi) {
    for (int i = 1; i <= lay.M; ++i) d[i - 1] = phi(i, i);
  } else {
    for (int j = 1; j <= lay.M; ++j)
      for (int i = 1; i <= lay.M; ++i) d[(j - 1) * lay.M + i - 1] = phi(i, j);
  }
}

// PHI at the coordinates u.
void phiAt(Work& w, const double* u) {
  const Layout& lay = w.lay;
  for (int i = 0; i < lay.nu; ++i) {
    double v = lay.d0[i];
    for (int j = 1; j <= lay.np; ++j) v += lay.N(i + 1, j) * u[j - 1];
    w.d[i] = v;
  }
  phiFromUnknowns(lay, w.d, w.phi);
}

// The spectral radius of a (M x M; 2 when EIGENR fails).
double radiusOf(Work& w, Mat a) {
  const int M = w.lay.M;
  copyMatrix(a, w.eigA);
  Scratch s = w.eig;
  int ierr = 0;
  EIGENR(w.eigA, w.wr, w.wi, w.eigZ, s, ierr);
  if (ierr != 0) return 2.0;
  double r = 0.0;
  for (int i = 0; i < M; ++i) r = std::max(r, std::hypot(w.wr[i], w.wi[i]));
  return r;
}

double spectralRadius(Work& w) {
  const int M = w.lay.M;
  if (w.lay.leadingOnly) return std::fabs(w.phi(1, 1));
  if (w.lay.diagonalPhi || w.lay.nu == 0) {
    double r = 0.0;
    for (int i = 1; i <= M; ++i) r = std::max(r, std::fabs(w.phi(i, i)));
    return r;
  }
  return radiusOf(w, w.phi);
}

// The smooth map onto the stationary region, g(r) = EVLTOL tanh(r / EVLTOL)
// (g(r) ~ r near 0): each element of a diagonal PHI goes to g(element); a
// full PHI is scaled so that its spectral radius r becomes g(r).
void squashPhi(Work& w) {
  const Layout& lay = w.lay;
  if (!lay.squash || lay.box) return;
  const double e = lay.EVLTOL;
  if (lay.leadingOnly || lay.diagonalPhi) {
    for (int i = 1; i <= lay.M; ++i) w.phi(i, i) = e * std::tanh(w.phi(i, i) / e);
    return;
  }
  const double r = spectralRadius(w);
  if (!(r > 0.0) || r >= 2.0) return;  // zero PHI, or EIGENR failed: left to the rejection
  const double scale = e * std::tanh(r / e) / r;
  for (int j = 1; j <= lay.M; ++j)
    for (int i = 1; i <= lay.M; ++i) w.phi(i, j) *= scale;
}

// The inverse of squashPhi on the coordinates x of a stationary PHI.
void unsquash(Work& w, double* x) {
  const Layout& lay = w.lay;
  if (!lay.squash || lay.box) return;
  const double e = lay.EVLTOL;
  if (lay.leadingOnly || lay.diagonalPhi) {
    for (int i = 0; i < lay.np; ++i) x[i] = e * std::atanh(std::clamp(x[i] / e, -0.999, 0.999));
    return;
  }
  phiAt(w, x);
  const double r = spectralRadius(w);
  if (!(r > 0.0) || r >= e) return;
  const double scale = e * std::atanh(r / e) / r;
  for (int i = 0; i < lay.np; ++i) x[i] *= scale;
}

// DELTA = U'U from the factor coordinates; returns its trace.
double deltaAt(Work& w, const double* f) {
  const Layout& lay = w.lay;
  const int M = lay.M;
  Mat D = w.delta;
  for (int j = 1; j <= M; ++j) std::fill_n(D.col(j), M, 0.0);
  if (lay.leadingOnly) {
    D(1, 1) = 1.0;
    return 1.0;
  }
  if (lay.diagonalDelta) {
    for (int i = 1; i <= M; ++i) D(i, i) = f[i - 1] * f[i - 1];
  } else {
    // U upper triangular, packed column by column: U(i,j) at (j-1)j/2 + i.
    for (int b = 1; b <= M; ++b)
      for (int a2 = 1; a2 <= M; ++a2) {
        double sum = 0.0;
        for (int i = 1; i <= std::min(a2, b); ++i) {
          const double ua = f[(a2 - 1) * a2 / 2 + i - 1];
          const double ub = f[(b - 1) * b / 2 + i - 1];
          sum += ua * ub;
        }
        D(a2, b) = sum;
      }
  }
  // The floor: kMlSingularDelta of the mean eigenvalue on the diagonal,
  // so that the filter never meets an exactly singular DELTA (where the
  // covariance recursion loses the accuracy of its f(t)) and a boundary
  // maximum is reported where the likelihood is computed accurately.
  double tr = 0.0;
  for (int i = 1; i <= M; ++i) tr += D(i, i);
  const double floor = kMlSingularDelta * tr / M;
  for (int i = 1; i <= M; ++i) D(i, i) += floor;
  return tr + M * floor;
}

// Coordinates of a start: u from PHI (projected on the restrictions), the
// factor of DELTA (a tiny ridge keeps a singular DELTA inside).
bool startAt(Work& w, Mat phi, Mat delta, double* x) {
  const Layout& lay = w.lay;
  const int M = lay.M;
  unknownsFromPhi(lay, phi, w.d);
  for (int j = 1; j <= lay.np; ++j) {
    double s = 0.0;
    for (int i = 1; i <= lay.nu; ++i) s += lay.N(i, j) * (w.d[i - 1] - lay.d0[i - 1]);
    x[j - 1] = s;
  }
  // Pull a PHI at (or beyond) the bound inside it.
  phiAt(w, x);
  double radius = spectralRadius(w);
  if (radius >= 0.99 * lay.EVLTOL) {
    const double shrink = radius > 0.0 ? 0.95 * lay.EVLTOL / radius : 0.0;
    for (int j = 0; j < lay.np; ++j) x[j] *= shrink;
    phiAt(w, x);
    radius = spectralRadius(w);
    if (radius >= lay.EVLTOL) std::fill_n(x, lay.np, 0.0);
  }
  unsquash(w, x);
  double* f = x + lay.np;
  if (lay.leadingOnly) return true;
  double tr = 0.0;
  for (int i = 1; i <= M; ++i) tr += std::max(delta(i, i), 0.0);
  if (!(tr > 0.0)) tr = M;
  const double ridge = 1.0E-6 * tr / M;
  if (lay.diagonalDelta) {
    for (int i = 1; i <= M; ++i) f[i - 1] = std::sqrt(std::max(delta(i, i), 0.0) + ridge);
    return true;
  }
  // Cholesky of DELTA + ridge I, upper: DELTA = U'U.
  for (int j = 1; j <= M; ++j) {
    for (int i = 1; i <= j; ++i) {
      double s = delta(i, j) + (i == j ? ridge : 0.0);
      for (int l = 1; l < i; ++l) s -= f[(i - 1) * i / 2 + l - 1] * f[(j - 1) * j / 2 + l - 1];
      if (i < j) {
        const double uii = f[(i - 1) * i / 2 + i - 1];
        f[(j - 1) * j / 2 + i - 1] = uii > 0.0 ? s / uii : 0.0;
      } else {
        f[(j - 1) * j / 2 + j - 1] = std::sqrt(std::max(s, ridge));
      }
    }
  }
  return true;
}

// Q = SIGMA**2 DELTA from its unknowns (packed upper triangle column by
// column, the diagonal under DDIAG, Q(1,1) in the OLS and GLS modes).
void qFromUnknowns(const Layout& lay, const double* q, Mat Q) {
  const int M = lay.M;
  for (int j = 1; j <= M; ++j) std::fill_n(Q.col(j), M, 0.0);
  if (lay.leadingOnly) {
    Q(1, 1) = q[0];
  } else if (lay.diagonalDelta) {
    for (int i = 1; i <= M; ++i) Q(i, i) = q[i - 1];
  } else {
    for (int j = 1; j <= M; ++j)
      for (int i = 1; i <= j; ++i) Q(i, j) = Q(j, i) = q[(j - 1) * j / 2 + i - 1];
  }
}

// The pair (row, column) of Q unknown k (0-based).
void qElement(const Layout& lay, int k, int& i, int& j) {
  if (lay.leadingOnly) {
    i = j = 1;
  } else if (lay.diagonalDelta) {
    i = j = k + 1;
  } else {
    j = 1;
    while (j * (j + 1) / 2 <= k) ++j;
    i = k - (j - 1) * j / 2 + 1;
  }
}

}  // namespace ml
}  // namespace kova
