// The observed information at the maximum (Dennis and Schnabel, Numerical
// Methods for Unconstrained Optimization, 5.6: second derivatives by central
// differences of the gradient, or of the function).
#include "likelihood/ml_information.h"

#include <cmath>

#include "likelihood/panel_likelihood.h"

namespace kova {
namespace ml {
namespace {

// The restricted log-likelihood at PHI = w.phi and SIGMA**2 DELTA = Q (the
// scale not maximised out): from the concentrated value c at DELTA = Q, whose
// maximising scale is s = RSS / m (m = n - q) relative to Q, the value at
// scale 1 is c - m/2 (s - log s - 1).
double restrictedAtUnitScale(Work& w, Mat Q) {
  double c = 0.0;
  if (!w.reml->evaluate(w.phi, Q, c)) return std::nan("");
  const GroupValue& v = w.reml->value(0);
  const double s = v.sigma2, m = v.rows;
  if (!(s > 0.0) || !std::isfinite(c)) return std::nan("");
  return c - 0.5 * m * (s - std::log(s) - 1.0);
}

// The log-likelihood at (u, q) with only PIVECT concentrated out (under
// REML integrated out); NaN where it does not exist.
double unitScaleLoglik(Work& w, const double* z, Mat Q) {
  phiAt(w, z);
  if (!(spectralRadius(w) < w.lay.EVLTOL)) return std::nan("");
  qFromUnknowns(w.lay, z + w.lay.np, Q);
  if (w.reml != nullptr) return restrictedAtUnitScale(w, Q);
  const LikelihoodTerms t = profileLikelihood(*w.data, w.phi, Q, w.profile);
  return t.valid ? t.atUnitScale() : std::nan("");
}

// The score of that log-likelihood in (u, q) into g; false where the
// profile's score does not apply (or no likelihood).
bool unitScaleScore(Work& w, const double* z, Mat Q, double* g) {
  const Layout& lay = w.lay;
  const int M = lay.M;
  phiAt(w, z);
  if (!(spectralRadius(w) < lay.EVLTOL)) return false;
  qFromUnknowns(lay, z + lay.np, Q);
  if (!profileScore(*w.data, w.phi, Q, true, w.gPhi, w.gDelta, w.profile)) return false;
  for (int i = 0; i < lay.nu; ++i)
    w.gd[i] = lay.leadingOnly   ? w.gPhi(1, 1)
              : lay.diagonalPhi ? w.gPhi(i + 1, i + 1)
                                : w.gPhi(i % M + 1, i / M + 1);
  for (int j = 1; j <= lay.np; ++j) {
    double sum = 0.0;
    for (int i = 1; i <= lay.nu; ++i) sum += lay.N(i, j) * w.gd[i - 1];
    g[j - 1] = sum;
  }
  for (int k = 0; k < lay.nq; ++k) {
    int i = 0, j = 0;
    qElement(lay, k, i, j);
    g[lay.np + k] = i == j ? w.gDelta(i, i) : w.gDelta(i, j) + w.gDelta(j, i);
  }
  return true;
}

// -H by central differences of the score, symmetrised: 2 nk scores.
bool informationFromScores(Work& w, double* z, const double* step, const int* keep, int nk,
                           Mat info, Mat Q, double* gp, double* gm) {
  for (int i = 0; i < nk; ++i) {
    const int ci = keep[i];
    const double zi = z[ci], hi = step[ci];
    z[ci] = zi + hi;
    const bool up = unitScaleScore(w, z, Q, gp);
    z[ci] = zi - hi;
    const bool down = up && unitScaleScore(w, z, Q, gm);
    z[ci] = zi;
    if (!down) return false;
    for (int j = 0; j < nk; ++j) info(j + 1, i + 1) = -(gp[keep[j]] - gm[keep[j]]) / (2.0 * hi);
  }
  for (int j = 1; j <= nk; ++j)
    for (int i = 1; i < j; ++i) {
      const double v = 0.5 * (info(i, j) + info(j, i));
      if (!std::isfinite(v)) return false;
      info(i, j) = info(j, i) = v;
    }
  for (int i = 1; i <= nk; ++i)
    if (!std::isfinite(info(i, i))) return false;
  return true;
}

}  // namespace

bool observedInformation(Work& w, double* z, const double* step, const int* keep, int nk,
                         Mat info, Mat Q, double* gp, double* gm) {
  // The score is the profile's: the restricted criterion is differenced.
  if (w.reml == nullptr && informationFromScores(w, z, step, keep, nk, info, Q, gp, gm))
    return true;
  const double f0 = unitScaleLoglik(w, z, Q);
  if (!std::isfinite(f0)) return false;
  for (int i = 0; i < nk; ++i) {
    const int ci = keep[i];
    const double zi = z[ci], hi = step[ci];
    z[ci] = zi + hi;
    const double fp = unitScaleLoglik(w, z, Q);
    z[ci] = zi - hi;
    const double fm = unitScaleLoglik(w, z, Q);
    z[ci] = zi;
    if (!std::isfinite(fp) || !std::isfinite(fm)) return false;
    info(i + 1, i + 1) = -(fp - 2.0 * f0 + fm) / (hi * hi);
    for (int j = 0; j < i; ++j) {
      const int cj = keep[j];
      const double zj = z[cj], hj = step[cj];
      double f[4];
      const int sgn[4][2] = {{1, 1}, {1, -1}, {-1, 1}, {-1, -1}};
      for (int c = 0; c < 4; ++c) {
        z[ci] = zi + sgn[c][0] * hi;
        z[cj] = zj + sgn[c][1] * hj;
        f[c] = unitScaleLoglik(w, z, Q);
      }
      z[ci] = zi;
      z[cj] = zj;
      for (double v : f)
        if (!std::isfinite(v)) return false;
      const double hij = -(f[0] - f[1] - f[2] + f[3]) / (4.0 * hi * hj);
      info(i + 1, j + 1) = info(j + 1, i + 1) = hij;
    }
  }
  return true;
}

bool invertDefinite(Mat a, Mat chol, int* failed) {
  const int n = a.rows;
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i) chol(i, j) = 0.0;
  // a = R'R, R upper.
  for (int j = 1; j <= n; ++j) {
    for (int i = 1; i <= j; ++i) {
      double s = a(i, j);
      for (int l = 1; l < i; ++l) s -= chol(l, i) * chol(l, j);
      if (i < j) {
        chol(i, j) = s / chol(i, i);
      } else {
        if (!(s > 0.0)) {
          if (failed != nullptr) *failed = j - 1;
          return false;
        }
        chol(j, j) = std::sqrt(s);
      }
    }
  }
  // R^-1 in the lower triangle of a as scratch is awkward; invert R in place.
  for (int j = 1; j <= n; ++j) {
    chol(j, j) = 1.0 / chol(j, j);
    for (int i = 1; i < j; ++i) {
      double s = 0.0;
      for (int l = i; l < j; ++l) s += chol(i, l) * chol(l, j);
      chol(i, j) = -s * chol(j, j);
    }
  }
  // a^-1 = R^-1 R^-T.
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= j; ++i) {
      double s = 0.0;
      for (int l = j; l <= n; ++l) s += chol(i, l) * chol(j, l);
      a(i, j) = a(j, i) = s;
    }
  return true;
}

}  // namespace ml
}  // namespace kova
