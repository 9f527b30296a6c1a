// The Kalman filter, its adjoint, the fast state smoother and the
// covariance product of a state-space model without observation noise.
// The recursions are those of the standard treatment of linear Gaussian
// state-space models (Durbin and Koopman, Time Series Analysis by State
// Space Methods: the Kalman filter in prediction form, section 4.3; the
// fast state smoother, section 4.6.2); the exact-observation rule is the
// limit f(t) -> 0 of the same recursions.
#include "linalg/state_space.h"

#include <algorithm>
#include <cmath>

namespace kova {
namespace {

// y := A x for an m x m view.
void multiply(Mat a, const double* x, double* y) {
  const int m = a.rows;
  std::fill_n(y, m, 0.0);
  for (int j = 1; j <= m; ++j) {
    const double xj = x[j - 1];
    if (xj == 0.0) continue;
    const double* aj = a.col(j);
    for (int i = 0; i < m; ++i) y[i] += aj[i] * xj;
  }
}

// y := A' x.
void multiplyTransposed(Mat a, const double* x, double* y) {
  const int m = a.rows;
  for (int j = 1; j <= m; ++j) {
    const double* aj = a.col(j);
    double sum = 0.0;
    for (int i = 0; i < m; ++i) sum += aj[i] * x[i];
    y[j - 1] = sum;
  }
}

double dot(int m, const double* x, const double* y) {
  double sum = 0.0;
  for (int i = 0; i < m; ++i) sum += x[i] * y[i];
  return sum;
}

// P := PHI P PHI' + Q through the work matrix w (all m x m), symmetrised
// so that rounding cannot build up an asymmetric part over the periods.
void propagate(Mat phi, Mat q, Mat p, Mat w) {
  const int m = phi.rows;
  for (int j = 1; j <= m; ++j) multiply(phi, p.col(j), w.col(j));  // W = PHI P
  for (int j = 1; j <= m; ++j)
    for (int i = 1; i <= m; ++i) {
      double sum = q(i, j);
      for (int l = 1; l <= m; ++l) sum += w(i, l) * phi(j, l);
      p(i, j) = sum;
    }
  for (int j = 1; j <= m; ++j)
    for (int i = j + 1; i <= m; ++i) {
      const double mean = 0.5 * (p(i, j) + p(j, i));
      p(i, j) = mean;
      p(j, i) = mean;
    }
}

void copySquare(Mat from, Mat to) {
  for (int j = 1; j <= from.cols; ++j) std::copy_n(from.col(j), from.rows, to.col(j));
}

struct GainWork {
  Mat p, w;
  double *pz, *kv;
};

GainWork carveGains(Scratch& s, int m) {
  GainWork g;
  g.p = s.mat(m, m);
  g.w = s.mat(m, m);
  g.pz = s.doubles(m);
  g.kv = s.doubles(m);
  return g;
}

}  // namespace

ScratchNeed kalmanGainsNeed(int m) {
  Scratch s;
  carveGains(s, m);
  return s.used();
}

void kalmanGains(const StateSpaceModel& model, const FilterGains& gains, Scratch& s) {
  const int m = model.phi.rows, n = model.z.cols;
  Scratch local = s;
  GainWork w = carveGains(local, m);
  copySquare(model.p1, w.p);
  for (int t = 1; t <= n; ++t) {
    const double* zt = model.z.col(t);
    if (gains.p != nullptr)
      copySquare(w.p, Mat{gains.p + static_cast<long>(m) * m * (t - 1), std::max(m, 1), m, m});
    multiply(w.p, zt, w.pz);
    const double ft = dot(m, zt, w.pz);
    double trace = 0.0;
    for (int i = 1; i <= m; ++i) trace += w.p(i, i);
    double* kt = gains.k.col(t);
    if (ft <= kExactTol * dot(m, zt, zt) * trace) {
      // Known from the past: no update of the state or its covariance.
      gains.f[t - 1] = 0.0;
      std::fill_n(kt, m, 0.0);
    } else {
      gains.f[t - 1] = ft;
      for (int i = 0; i < m; ++i) w.kv[i] = w.pz[i] / ft;
      // P(t|t) = P - P z z'P / f.
      for (int j = 1; j <= m; ++j)
        for (int i = 1; i <= m; ++i) w.p(i, j) -= w.pz[i - 1] * w.kv[j - 1];
      multiply(model.phi, w.kv, kt);
    }
    propagate(model.phi, model.q, w.p, w.w);
  }
}

ScratchNeed innovationsNeed(int m, int nc) {
  Scratch s;
  s.mat(m, nc);
  s.doubles(m);
  return s.used();
}

void innovations(Mat phi, Mat z, const FilterGains& gains, Mat data, Mat out, Scratch& s) {
  const int m = phi.rows, n = z.cols, nc = data.cols;
  Scratch local = s;
  Mat a = local.mat(m, nc);
  double* next = local.doubles(m);
  for (int c = 1; c <= nc; ++c) std::fill_n(a.col(c), m, 0.0);
  for (int t = 1; t <= n; ++t) {
    const double* zt = z.col(t);
    const double* kt = gains.k.col(t);
    for (int c = 1; c <= nc; ++c) {
      double* ac = a.col(c);
      const double v = data(t, c) - dot(m, zt, ac);
      out(t, c) = v;
      multiply(phi, ac, next);
      for (int i = 0; i < m; ++i) ac[i] = next[i] + kt[i] * v;
    }
  }
}

ScratchNeed innovationsAdjointNeed(int m) {
  Scratch s;
  s.doubles(2L * m);
  return s.used();
}

void innovationsAdjoint(Mat phi, Mat z, const FilterGains& gains, const double* u, double* out,
                        Scratch& s) {
  const int m = phi.rows, n = z.cols;
  Scratch local = s;
  double* rho = local.doubles(m);
  double* next = local.doubles(m);
  std::fill_n(rho, m, 0.0);
  for (int t = n; t >= 1; --t) {
    const double o = u[t - 1] + dot(m, gains.k.col(t), rho);
    out[t - 1] = o;
    multiplyTransposed(phi, rho, next);
    const double* zt = z.col(t);
    for (int i = 0; i < m; ++i) rho[i] = next[i] - zt[i] * o;
  }
}

ScratchNeed smoothStateNeed(int m, int n) {
  Scratch s;
  s.mat(m, n);
  s.doubles(2L * m);
  return s.used();
}

void smoothState(const StateSpaceModel& model, const FilterGains& gains, const double* v, Mat eps,
                 Scratch& s) {
  const int m = model.phi.rows, n = model.z.cols;
  Scratch local = s;
  Mat rs = local.mat(m, n);  // column t: r(t), the weight of the periods after t
  double* r = local.doubles(m);
  double* next = local.doubles(m);
  std::fill_n(r, m, 0.0);
  for (int t = n; t >= 1; --t) {
    std::copy_n(r, m, rs.col(t));
    multiplyTransposed(model.phi, r, next);
    const double ft = gains.f[t - 1];
    if (ft != 0.0) {
      const double c = v[t - 1] / ft - dot(m, gains.k.col(t), r);
      const double* zt = model.z.col(t);
      for (int i = 0; i < m; ++i) next[i] += zt[i] * c;
    }
    std::copy_n(next, m, r);
  }
  if (n < 1) return;
  multiply(model.p1, r, eps.col(1));
  for (int t = 2; t <= n; ++t) {
    multiply(model.phi, eps.col(t - 1), eps.col(t));
    multiply(model.q, rs.col(t - 1), next);
    double* et = eps.col(t);
    for (int i = 0; i < m; ++i) et[i] += next[i];
  }
}

ScratchNeed applyCovarianceNeed(int m, int n) {
  Scratch s;
  s.mat(m, n);
  s.mat(m, m);
  s.mat(m, m);
  s.doubles(3L * m);
  return s.used();
}

void applyCovariance(const StateSpaceModel& model, const double* u, double* out, Scratch& s) {
  const int m = model.phi.rows, n = model.z.cols;
  if (n < 1) return;
  Scratch local = s;
  Mat c = local.mat(m, n);  // c(t) = sum over s > t of PHI'^(s-t) z(s) u(s)
  Mat pi = local.mat(m, m);
  Mat w = local.mat(m, m);
  double* f = local.doubles(m);  // sum over s <= t of PHI^(t-s) Pi(s) z(s) u(s)
  double* g = local.doubles(m);
  double* h = local.doubles(m);
  std::fill_n(c.col(n), m, 0.0);
  for (int t = n - 1; t >= 1; --t) {
    const double* zn = model.z.col(t + 1);
    const double* cn = c.col(t + 1);
    for (int i = 0; i < m; ++i) g[i] = zn[i] * u[t] + cn[i];
    multiplyTransposed(model.phi, g, c.col(t));
  }
  copySquare(model.p1, pi);
  std::fill_n(f, m, 0.0);
  for (int t = 1; t <= n; ++t) {
    if (t >= 2) {
      propagate(model.phi, model.q, pi, w);
      multiply(model.phi, f, g);
      std::copy_n(g, m, f);
    }
    const double* zt = model.z.col(t);
    for (int i = 0; i < m; ++i) g[i] = zt[i] * u[t - 1];
    multiply(pi, g, h);
    for (int i = 0; i < m; ++i) f[i] += h[i];
    multiply(pi, c.col(t), h);
    for (int i = 0; i < m; ++i) h[i] += f[i];
    out[t - 1] = dot(m, zt, h);
  }
}

ScratchNeed applyStationaryCovarianceNeed(int m, int n) {
  Scratch s;
  s.mat(m, n);
  s.doubles(3L * m);
  return s.used();
}

void applyStationaryCovariance(Mat phi, Mat gamma, Mat z, const double* u, Mat h, Scratch& s) {
  const int m = phi.rows, n = z.cols;
  if (n < 1) return;
  Scratch local = s;
  Mat c = local.mat(m, n);  // c(t) = sum over s > t of PHI'^(s-t) z(s) u(s)
  double* f = local.doubles(m);
  double* g = local.doubles(m);
  double* w = local.doubles(m);
  std::fill_n(c.col(n), m, 0.0);
  for (int t = n - 1; t >= 1; --t) {
    const double* zn = z.col(t + 1);
    const double* cn = c.col(t + 1);
    for (int i = 0; i < m; ++i) g[i] = zn[i] * u[t] + cn[i];
    multiplyTransposed(phi, g, c.col(t));
  }
  std::fill_n(f, m, 0.0);
  for (int t = 1; t <= n; ++t) {
    multiply(phi, f, w);
    const double* zt = z.col(t);
    for (int i = 0; i < m; ++i) g[i] = zt[i] * u[t - 1];
    multiply(gamma, g, f);
    for (int i = 0; i < m; ++i) f[i] += t >= 2 ? w[i] : 0.0;
    multiply(gamma, c.col(t), g);
    double* ht = h.col(t);
    for (int i = 0; i < m; ++i) ht[i] = f[i] + g[i];
  }
}

ScratchNeed expandFactorNeed(int m) {
  Scratch s;
  s.doubles(2L * m);
  return s.used();
}

void expandFactor(Mat phi, Mat z, const FilterGains& gains, Mat u, Scratch& s) {
  const int m = phi.rows, n = z.cols;
  Scratch local = s;
  double* g = local.doubles(m);
  double* next = local.doubles(m);
  for (int t = 1; t <= n; ++t) std::fill_n(u.col(t), n, 0.0);
  for (int r = 1; r <= n; ++r) {
    const double root = std::sqrt(gains.f[r - 1]);
    u(r, r) = root;
    const double* kr = gains.k.col(r);
    bool any = false;
    for (int i = 0; i < m; ++i) {
      g[i] = kr[i] * root;
      any = any || g[i] != 0.0;
    }
    for (int t = r + 1; t <= n && any; ++t) {
      u(r, t) = dot(m, z.col(t), g);
      multiply(phi, g, next);
      any = false;
      for (int i = 0; i < m; ++i) {
        g[i] = next[i];
        any = any || g[i] != 0.0;
      }
    }
  }
}

ScratchNeed stateCovariancesNeed(int m) {
  Scratch s;
  s.mat(m, m);
  return s.used();
}

void stateCovariances(const StateSpaceModel& model, double* pi, Scratch& s) {
  const int m = model.phi.rows, n = model.z.cols;
  const long mm = static_cast<long>(m) * m;
  Scratch local = s;
  Mat w = local.mat(m, m);
  for (int t = 1; t <= n; ++t) {
    Mat cur{pi + mm * (t - 1), std::max(m, 1), m, m};
    if (t == 1) {
      copySquare(model.p1, cur);
    } else {
      copySquare(Mat{pi + mm * (t - 2), std::max(m, 1), m, m}, cur);
      propagate(model.phi, model.q, cur, w);
    }
  }
}

ScratchNeed smoothedStateVariancesNeed(int m) {
  Scratch s;
  for (int i = 0; i < 4; ++i) s.mat(m, m);
  return s.used();
}

// The backward sweep keeps N(t) and, per period, L(t) = PHI - K(t) z(t)'.
void smoothedStateVariances(const StateSpaceModel& model, const FilterGains& gains, double* V,
                            Scratch& s) {
  const int m = model.phi.rows, n = model.z.cols;
  const long mm = static_cast<long>(m) * m;
  const int ld = std::max(m, 1);
  Scratch local = s;
  Mat N = local.mat(m, m), lt = local.mat(m, m), w = local.mat(m, m), w2 = local.mat(m, m);
  for (int j = 1; j <= m; ++j) std::fill_n(N.col(j), m, 0.0);
  for (int t = n; t >= 1; --t) {
    const double ft = gains.f[t - 1];
    const double* zt = model.z.col(t);
    const double* kt = gains.k.col(t);
    for (int j = 1; j <= m; ++j)
      for (int i = 1; i <= m; ++i)
        lt(i, j) = model.phi(i, j) - (ft > 0.0 ? kt[i - 1] * zt[j - 1] : 0.0);
    for (int j = 1; j <= m; ++j) multiply(N, lt.col(j), w.col(j));  // N L
    for (int j = 1; j <= m; ++j) {
      multiplyTransposed(lt, w.col(j), w2.col(j));  // L' N L
      if (ft > 0.0)
        for (int i = 1; i <= m; ++i) w2(i, j) += zt[i - 1] * zt[j - 1] / ft;
    }
    for (int j = 1; j <= m; ++j)
      for (int i = 1; i <= m; ++i) N(i, j) = i >= j ? w2(i, j) : w2(j, i);
    const Mat pt{gains.p + mm * (t - 1), ld, m, m};
    Mat vt{V + mm * (t - 1), ld, m, m};
    for (int j = 1; j <= m; ++j) multiply(N, pt.col(j), w.col(j));    // N P
    for (int j = 1; j <= m; ++j) multiply(pt, w.col(j), w2.col(j));  // P N P
    for (int j = 1; j <= m; ++j)
      for (int i = 1; i <= m; ++i) vt(i, j) = pt(i, j) - 0.5 * (w2(i, j) + w2(j, i));
  }
}

void propagateCovariance(Mat phi, Mat q, Mat p, Mat w) { propagate(phi, q, p, w); }

}  // namespace kova
