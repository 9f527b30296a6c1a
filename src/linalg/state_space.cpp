// The Kalman filter, its adjoint, the fast state smoother and the
// covariance product of a state-space model without observation noise.
// The recursions are those of the standard treatment of linear Gaussian
// state-space models (Durbin and Koopman, Time Series Analysis by State
// Space Methods, 2012: the Kalman filter in prediction form, section 4.3,
// taken in square-root form, section 6.3, by the one step of
// linalg/kalman_step.h; the fast state smoother, section 4.6.2); the
// exact-observation rule is the limit f(t) -> 0 of the same recursions.
#include "linalg/state_space.h"

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <vector>

#include "linalg/kalman_step.h"

namespace kova {
namespace {

// y := A x for an m x m view.
template <int kM = 0>
inline void multiply(Mat a, const double* x, double* y) {
  const int m = kM > 0 ? kM : a.rows;
  std::fill_n(y, m, 0.0);
  KOVA_UNROLL
  for (int j = 1; j <= m; ++j) {
    const double xj = x[j - 1];
    if (xj == 0.0) continue;
    const double* aj = a.col(j);
    KOVA_UNROLL
    for (int i = 0; i < m; ++i) y[i] += aj[i] * xj;
  }
}

// y := A' x.
template <int kM = 0>
inline void multiplyTransposed(Mat a, const double* x, double* y) {
  const int m = kM > 0 ? kM : a.rows;
  KOVA_UNROLL
  for (int j = 1; j <= m; ++j) {
    const double* aj = a.col(j);
    double sum = 0.0;
    KOVA_UNROLL
    for (int i = 0; i < m; ++i) sum += aj[i] * x[i];
    y[j - 1] = sum;
  }
}

template <int kM = 0>
inline double dot(int n, const double* x, const double* y) {
  const int m = kM > 0 ? kM : n;
  double sum = 0.0;
  KOVA_UNROLL
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

// The filter's work: the triangular roots of P(1) and Q, an m x m work
// array and the store of a RootFilter in double.
struct GainWork {
  Mat u, uq, c;
  double* store;
};

GainWork carveGains(Scratch& s, int m) {
  GainWork g;
  g.u = s.mat(m, m);
  g.uq = s.mat(m, m);
  g.c = s.mat(m, m);
  g.store = s.doubles(kalman::rootFilterSize(m) + m);
  return g;
}

// to := the triangle of the given root, or the root of the formed matrix.
void takeRoot(Mat given, Mat formed, Mat to, Mat work) {
  if (given.p != nullptr) {
    copySquare(given, to);
    kalman::triangleOf(to);
  } else {
    kalman::rootOf(formed, to, work);
  }
}

// The steps of kalmanGains from the roots in w on, carried in Real: long
// double for a singular Q with a root of PHI near 1, where the recursion is
// close to unstable in Q's null space and double rounding there builds up
// over the periods into relative errors of f(t) far above the rounding
// unit (and of the estimates whitened by the filter, a hundred times that).
template <class Real, int kM, bool kDiagonal>
void gainSteps(const StateSpaceModel& model, const FilterGains& gains, GainWork& w,
               kalman::ExactRule rule) {
  const int m = model.phi.rows;
  std::vector<long double> wide;
  Real* store = nullptr;
  if constexpr (std::is_same_v<Real, double>) {
    store = w.store;
  } else {
    wide.resize(kalman::rootFilterSize(m) + m);
    store = wide.data();
  }
  Real* gain = store + kalman::rootFilterSize(m);
  kalman::RootFilter<Real, kM, kDiagonal> filter(store, model.phi, w.u, w.uq, rule);
  // No data columns: the covariance recursion alone.
  const Mat none{nullptr, std::max(model.z.cols, 1), model.z.cols, 0};
  kalman::filterSweep<kM, kDiagonal>(filter, model.phi, model.z, none, gains.f, none,
                                     kalman::SweepRecord{gains.k, gains.p, Mat{}}, gain, gain,
                                     gain);
}

// Whether the triangular root uq (U'U = Q) is of lower rank than m: its
// diagonal, against the largest, below the rank rule of rootOf.
bool singularRoot(Mat uq) {
  const int m = uq.rows;
  double largest = 0.0, smallest = 0.0;
  for (int i = 1; i <= m; ++i) {
    const double d = std::abs(uq(i, i));
    largest = std::max(largest, d);
    smallest = i == 1 ? d : std::min(smallest, d);
  }
  return smallest * smallest <= m * 0x1p-53 * largest * largest;
}

// Whether PHI has a root of modulus near 1 or above: |PHI^16| (Frobenius)
// at least 0.1, a root of about 0.87 and up. Worked in c and the store.
bool nearUnitRoot(Mat phi, GainWork& w) {
  const int m = phi.rows;
  Mat a = w.c, c{w.store, std::max(m, 1), m, m};
  copySquare(phi, a);
  for (int step = 0; step < 4; ++step) {
    for (int j = 1; j <= m; ++j)
      for (int i = 1; i <= m; ++i) {
        double sum = 0.0;
        for (int l = 1; l <= m; ++l) sum += a(i, l) * a(l, j);
        c(i, j) = sum;
      }
    copySquare(c, a);
  }
  double norm = 0.0;
  for (int j = 1; j <= m; ++j) norm += dot(m, a.col(j), a.col(j));
  return !(norm < 0.01);
}

}  // namespace

bool kalmanGains(const StateSpaceModel& model, Mat uq, Mat up1, const FilterGains& gains,
                 Scratch& s, double rootTol, double floor, bool mayWiden) {
  const int m = model.phi.rows;
  Scratch local = s;
  GainWork w = carveGains(local, m);
  takeRoot(up1, model.p1, w.u, w.c);
  takeRoot(uq, model.q, w.uq, w.c);
  const bool wide = mayWiden && m > 0 && nearUnitRoot(model.phi, w) && singularRoot(w.uq);
  const kalman::ExactRule rule{rootTol * rootTol, floor};
  const bool diagonal = kalman::isDiagonal(model.phi);
  kalman::byOrder(m, [&](auto order) {
    constexpr int kM = decltype(order)::value;
    if (wide && diagonal) return gainSteps<long double, kM, true>(model, gains, w, rule);
    if (wide) return gainSteps<long double, kM, false>(model, gains, w, rule);
    if (diagonal) return gainSteps<double, kM, true>(model, gains, w, rule);
    gainSteps<double, kM, false>(model, gains, w, rule);
  });
  return wide;
}

ScratchNeed kalmanGainsNeed(int m) {
  Scratch s;
  carveGains(s, m);
  return s.used();
}

bool kalmanGains(const StateSpaceModel& model, const FilterGains& gains, Scratch& s) {
  return kalmanGains(model, Mat{}, Mat{}, gains, s);
}

ScratchNeed innovationsNeed(int m, int nc) {
  Scratch s;
  s.mat(m, nc);
  s.doubles(m);
  return s.used();
}

namespace {

// The state recursion of the filter over the columns of data, the states
// carried in Real (long double for a filter whose closed loop PHI - K z'
// amplifies rounding: see gainSteps).
template <class Real, int kM, bool kDiagonal>
void innovationsOf(Mat phi, Mat z, const FilterGains& gains, Mat data, Mat out, Scratch& s) {
  const int m = kM > 0 ? kM : phi.rows, n = z.cols, nc = data.cols;
  std::vector<long double> wide;
  Real* states = nullptr;
  Real* next = nullptr;
  if constexpr (std::is_same_v<Real, double>) {
    Scratch local = s;
    states = local.mat(m, nc).p;
    next = local.doubles(m);
  } else {
    wide.resize(static_cast<size_t>(m) * (nc + 1));
    states = wide.data();
    next = states + static_cast<size_t>(m) * nc;
  }
  std::fill_n(states, static_cast<size_t>(m) * nc, Real(0));
  for (int t = 1; t <= n; ++t) {
    const double* zt = z.col(t);
    const double* kt = gains.k.col(t);
    for (int c = 1; c <= nc; ++c) {
      Real* a = states + static_cast<size_t>(m) * (c - 1);
      const Real datum = data(t, c);
      out(t, c) = static_cast<double>(
          kalman::advanceState<kM, kDiagonal>(m, phi, zt, kt, datum, a, next));
      std::copy_n(next, m, a);
    }
  }
}

}  // namespace

void innovations(Mat phi, Mat z, const FilterGains& gains, Mat data, Mat out, Scratch& s,
                 bool wide) {
  const bool diagonal = kalman::isDiagonal(phi);
  kalman::byOrder(phi.rows, [&](auto order) {
    constexpr int kM = decltype(order)::value;
    if (wide && diagonal) return innovationsOf<long double, kM, true>(phi, z, gains, data, out, s);
    if (wide) return innovationsOf<long double, kM, false>(phi, z, gains, data, out, s);
    if (diagonal) return innovationsOf<double, kM, true>(phi, z, gains, data, out, s);
    innovationsOf<double, kM, false>(phi, z, gains, data, out, s);
  });
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

namespace {

template <int kM>
void smoothStateOf(const StateSpaceModel& model, const FilterGains& gains, const double* v, Mat eps,
                 Scratch& s) {
  const int m = kM > 0 ? kM : model.phi.rows, n = model.z.cols;
  const Mat phi = model.phi, q = model.q;
  Scratch local = s;
  Mat rs = local.mat(m, n);  // column t: r(t), the weight of the periods after t
  double* r = local.doubles(m);  // r(0)
  if (n < 1) return;
  // r(t-1) = PHI' r(t) + z(t) (v(t) / f(t) - k(t)'r(t)), straight into its
  // column (r(0) into r).
  std::fill_n(rs.col(n), m, 0.0);
  for (int t = n; t >= 1; --t) {
    const double* rt = rs.col(t);
    double* before = t > 1 ? rs.col(t - 1) : r;
    const double ft = gains.f[t - 1];
    double c = 0.0;
    if (ft != 0.0) {
      const double* kt = gains.k.col(t);
      double kr = 0.0;
      KOVA_UNROLL
      for (int i = 0; i < m; ++i) kr += kt[i] * rt[i];
      c = v[t - 1] / ft - kr;
    }
    const double* zt = model.z.col(t);
    KOVA_UNROLL
    for (int j = 1; j <= m; ++j) {
      const double* pj = phi.col(j);
      double sum = 0.0;
      KOVA_UNROLL
      for (int i = 0; i < m; ++i) sum += pj[i] * rt[i];
      before[j - 1] = sum + zt[j - 1] * c;
    }
  }
  multiply<kM>(model.p1, r, eps.col(1));
  // e(t) = PHI e(t-1) + Q r(t-1).
  for (int t = 2; t <= n; ++t) {
    const double* e = eps.col(t - 1);
    const double* rb = rs.col(t - 1);
    double* et = eps.col(t);
    KOVA_UNROLL
    for (int i = 0; i < m; ++i) et[i] = 0.0;
    KOVA_UNROLL
    for (int j = 1; j <= m; ++j) {
      const double ej = e[j - 1];
      const double* aj = phi.col(j);
      KOVA_UNROLL
      for (int i = 0; i < m; ++i) et[i] += aj[i] * ej;
    }
    double add[kM > 0 ? kM : 1];
    double* ad = kM > 0 ? add : r;  // r(0) is no longer needed
    KOVA_UNROLL
    for (int i = 0; i < m; ++i) ad[i] = 0.0;
    KOVA_UNROLL
    for (int j = 1; j <= m; ++j) {
      const double rj = rb[j - 1];
      const double* qj = q.col(j);
      KOVA_UNROLL
      for (int i = 0; i < m; ++i) ad[i] += qj[i] * rj;
    }
    KOVA_UNROLL
    for (int i = 0; i < m; ++i) et[i] += ad[i];
  }
}

}  // namespace

void smoothState(const StateSpaceModel& model, const FilterGains& gains, const double* v, Mat eps,
                 Scratch& s) {
  kalman::byOrder(model.phi.rows, [&](auto order) {
    smoothStateOf<decltype(order)::value>(model, gains, v, eps, s);
  });
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

void propagateCovariance(Mat phi, Mat q, Mat p, Mat w) { propagate(phi, q, p, w); }

}  // namespace kova
