// The likelihood's filter sweep and its score (Durbin and Koopman, Time
// Series Analysis by State Space Methods, 2012: the Kalman filter in
// prediction form, section 4.3, by the one sweep of linalg/kalman_step.h,
// in covariance form or in square-root form, section 6.3; the state
// smoothing recursions of r(t) and N(t), section 4.4.4; the score vector by
// the smoother, section 7.3.3; the stationary initial state, section 5.6).
// The stationary covariance by doubling: Anderson and Moore, Optimal
// Filtering, 6.7.
#include "linalg/state_space_likelihood.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>
#include <vector>

#include "linalg/kalman_step.h"

namespace kova {
namespace {

void copySquare(Mat from, Mat to) {
  for (int j = 1; j <= from.cols; ++j) std::copy_n(from.col(j), from.rows, to.col(j));
}

// c = op(a) op(b) for m x m views; op transposes where asked. kM > 0: m
// fixed at compile time.
template <int kM = 0>
[[gnu::always_inline]] inline void product(Mat a, bool ta, Mat b, bool tb, Mat c) {
  const int m = kM > 0 ? kM : a.rows;
  if (ta) {
    KOVA_UNROLL
    for (int j = 1; j <= m; ++j)
      KOVA_UNROLL
      for (int i = 1; i <= m; ++i) {
        double s = 0.0;
        KOVA_UNROLL
        for (int l = 1; l <= m; ++l) s += a(l, i) * (tb ? b(j, l) : b(l, j));
        c(i, j) = s;
      }
    return;
  }
  // c = a op(b) column by column: c(:, j) = sum over l of a(:, l) op(b)(l, j).
  KOVA_UNROLL
  for (int j = 1; j <= m; ++j) {
    double* cj = c.col(j);
    KOVA_UNROLL
    for (int i = 0; i < m; ++i) cj[i] = 0.0;
    KOVA_UNROLL
    for (int l = 1; l <= m; ++l) {
      const double blj = tb ? b(j, l) : b(l, j);
      const double* al = a.col(l);
      KOVA_UNROLL
      for (int i = 0; i < m; ++i) cj[i] += al[i] * blj;
    }
  }
}

template <int kM = 0>
[[gnu::always_inline]] inline void symmetrise(Mat a) {
  const int m = kM > 0 ? kM : a.rows;
  KOVA_UNROLL
  for (int j = 1; j <= m; ++j)
    KOVA_UNROLL
    for (int i = 1; i < j; ++i) {
      const double s = 0.5 * (a(i, j) + a(j, i));
      a(i, j) = a(j, i) = s;
    }
}

// g = sum over k of op(F)^k A op(F)'^k, F = PHI (or PHI' when transposed),
// by doubling: G <- G + F G F', F <- F F. The k-th step adds the terms
// 2^k .. 2^(k+1) - 1 of the series.
void doublingSum(Mat phi, bool transposed, Mat a, Mat g, Scratch& s) {
  const int m = phi.rows;
  Mat f = s.mat(m, m), t1 = s.mat(m, m), t2 = s.mat(m, m);
  copySquare(a, g);
  for (int j = 1; j <= m; ++j)
    for (int i = 1; i <= m; ++i) f(i, j) = transposed ? phi(j, i) : phi(i, j);
  for (int iter = 0; iter < 64; ++iter) {
    product(f, false, g, false, t1);
    product(t1, false, f, true, t2);
    double add = 0.0, size = 0.0;
    for (int j = 1; j <= m; ++j)
      for (int i = 1; i <= m; ++i) {
        add = std::max(add, std::fabs(t2(i, j)));
        size = std::max(size, std::fabs(g(i, j)));
        g(i, j) += t2(i, j);
      }
    if (add <= 1.0E-17 * size) break;
    product(f, false, f, false, t1);
    copySquare(t1, f);
  }
  symmetrise(g);
}

// The filter's work: the triangular roots of Q and P(1) (with an m x m
// work array) for the square-root form, the store of the filter in double,
// the states of the data columns (twice) and the gain.
struct SweepWork {
  Mat uq, up1, c;
  double *store, *states, *next, *gain;
};

long filterStoreSize(int m) {
  return std::max(kalman::rootFilterSize(m), kalman::covarianceFilterSize(m));
}

SweepWork carveSweep(Scratch& s, int m, int nc) {
  SweepWork w;
  w.uq = s.mat(m, m);
  w.up1 = s.mat(m, m);
  w.c = s.mat(m, m);
  w.store = s.doubles(filterStoreSize(m));
  w.states = s.doubles(static_cast<long long>(m) * nc);
  w.next = s.doubles(static_cast<long long>(m) * nc);
  w.gain = s.doubles(m);
  return w;
}

// f and the innovations of a model without a likelihood: NaN.
void noLikelihood(double* f, Mat v) {
  std::fill_n(f, v.rows, std::numeric_limits<double>::quiet_NaN());
  for (int c = 1; c <= v.cols; ++c)
    std::fill_n(v.col(c), v.rows, std::numeric_limits<double>::quiet_NaN());
}

using kalman::SweepRecord;

// The filter with the innovations of every column in one sweep, carried in
// Real. In double, the search's sweep (the hottest loop of ML), it takes
// the covariance form, the faster; in long double, for the value that is
// reported, the square-root form from the roots of Q and P(1) (where one of
// them is indefinite there is no likelihood). kM > 0: the order fixed at
// compile time; kDiagonal: PHI is diagonal.
template <class Real, int kM, bool kDiagonal>
void sweep(const StateSpaceModel& model, Mat data, double* f, Mat v, const SweepRecord& record,
           SweepWork& w) {
  const int m = kM > 0 ? kM : model.phi.rows, nc = data.cols;
  const kalman::ExactRule rule{kExactTol, 0.0};
  if constexpr (std::is_same_v<Real, double>) {
    kalman::CovarianceFilter<double, kM, kDiagonal> filter(w.store, model.phi, model.p1, model.q,
                                                          rule);
    kalman::filterSweep<kM, kDiagonal>(filter, model.phi, model.z, data, f, v, record, w.states,
                                       w.next, w.gain);
  } else {
    const bool q = kalman::rootOf(model.q, w.uq, w.c);
    if (!kalman::rootOf(model.p1, w.up1, w.c) || !q) return noLikelihood(f, v);
    const long size = kalman::rootFilterSize(m);
    std::vector<Real> wide(size + 2L * m * nc + m);
    Real* A = wide.data() + size;
    Real* B = A + static_cast<long>(m) * nc;
    kalman::RootFilter<Real, kM, kDiagonal> filter(wide.data(), model.phi, w.up1, w.uq, rule);
    kalman::filterSweep<kM, kDiagonal>(filter, model.phi, model.z, data, f, v, record, A, B,
                                       B + static_cast<long>(m) * nc);
  }
}

template <class Real>
void sweepOfModel(const StateSpaceModel& model, Mat data, double* f, Mat v,
                  const SweepRecord& record, SweepWork& w) {
  const bool diagonal = kalman::isDiagonal(model.phi);
  kalman::byOrder(model.phi.rows, [&](auto order) {
    constexpr int kM = decltype(order)::value;
    if (diagonal) return sweep<Real, kM, true>(model, data, f, v, record, w);
    sweep<Real, kM, false>(model, data, f, v, record, w);
  });
}

}  // namespace

ScratchNeed stationaryCovarianceNeed(int m) {
  Scratch s;
  s.mat(m, m);
  s.mat(m, m);
  s.mat(m, m);
  return s.used();
}

namespace {

// With a diagonal PHI both sums are geometric series element by element:
// g(i,j) = a(i,j) / (1 - PHI(i,i) PHI(j,j)).
bool diagonalSum(Mat phi, Mat a, Mat g) {
  if (!kalman::isDiagonal(phi)) return false;
  const int m = phi.rows;
  for (int j = 1; j <= m; ++j)
    for (int i = 1; i <= m; ++i) g(i, j) = a(i, j) / (1.0 - phi(i, i) * phi(j, j));
  symmetrise(g);
  return true;
}

}  // namespace

void stationaryCovariance(Mat phi, Mat q, Mat gamma, Scratch s) {
  if (!diagonalSum(phi, q, gamma)) doublingSum(phi, false, q, gamma, s);
}

void stationaryCovarianceAdjoint(Mat phi, Mat a, Mat b, Scratch s) {
  if (!diagonalSum(phi, a, b)) doublingSum(phi, true, a, b, s);
}

ScratchNeed filterInnovationsNeed(int m, int nc) {
  Scratch s;
  carveSweep(s, m, nc);
  return s.used();
}

void filterInnovations(const StateSpaceModel& model, Mat data, double* f, Mat v, Mat k, Scratch s,
                       double* p) {
  SweepWork w = carveSweep(s, model.phi.rows, data.cols);
  sweepOfModel<double>(model, data, f, v, SweepRecord{k, p, Mat{}}, w);
}

void filterInnovationsPrecise(const StateSpaceModel& model, Mat data, double* f, Mat v) {
  // The double roots of the start; the recursion allocates its own.
  Scratch counting;
  carveSweep(counting, model.phi.rows, 0);
  std::vector<double> store(counting.used().doubles + 1);
  Scratch s(store.data(), static_cast<long long>(store.size()), nullptr, 0, nullptr, 0);
  SweepWork w = carveSweep(s, model.phi.rows, 0);
  sweepOfModel<long double>(model, data, f, v, SweepRecord{}, w);
}

ScratchNeed stateSpaceScoreNeed(int m, int n) {
  Scratch s;
  s.doubles(static_cast<long long>(m) * m * n);  // P(t)
  s.mat(m, n);                                   // a(t)
  s.mat(m, n);                                   // PHI K(t)
  s.doubles(2L * n);                             // f, v
  for (int i = 0; i < 6; ++i) s.mat(m, m);       // the backward sweep's squares
  s.doubles(6L * m);
  carveSweep(s, m, 1);
  return s.used();
}

namespace {

// kDiagonal: PHI is diagonal; its products are formed element by element
// (the same values up to rounding), and L(t) is not formed. kDiagonalOnly
// (with kDiagonal): only the diagonals of the scores of PHI and Q are
// formed, the rest is NaN.
template <int kM, bool kDiagonal, bool kDiagonalOnly>
void score(const StateSpaceModel& model, const double* u, const StateSpaceScore& out, Scratch& s,
           const FilterGains* record, double recordScale) {
  static_assert(kDiagonal || !kDiagonalOnly);
  const Mat phi = model.phi, z = model.z;
  const int m = kM > 0 ? kM : phi.rows, n = z.cols, ldp = kM > 0 ? kM : std::max(m, 1);
  const long mm = static_cast<long>(m) * m;
  double* ps = s.doubles(mm * n);
  Mat a = s.mat(m, n), k = s.mat(m, n);
  double* f = s.doubles(n);
  double* v = s.doubles(n);
  // P(t) = pScale ps(t): the filter's own, or the record's.
  double pScale = 1.0;
  // The backward sweep's work: N(t), W = N(t) L(t), L(t), a product and the
  // sums of the scores of Q and PHI (m x m each), r(t), r(t-1), the
  // smoothed state, two products and the diagonal of PHI (m each). With m
  // fixed at compile time they are arrays of their own, which the compiler
  // keeps apart from the outputs (and in registers); else they are carved
  // from the scratch.
  constexpr int kSquare = kM > 0 ? kM * kM : 1, kVector = kM > 0 ? kM : 1;
  double nOwn[kSquare], wOwn[kSquare], lOwn[kSquare], pOwn[kSquare], gqOwn[kSquare],
      gphiOwn[kSquare];
  double rOwn[kVector], nextOwn[kVector], hatOwn[kVector], pzOwn[kVector], nkOwn[kVector],
      pdOwn[kVector];
  auto square = [&](double* own) { return kM > 0 ? Mat{own, kM, kM, kM} : s.mat(m, m); };
  auto vector = [&](double* own) { return kM > 0 ? own : s.doubles(m); };
  const Mat N = square(nOwn), W = square(wOwn), L = square(lOwn), P = square(pOwn),
            gq = square(gqOwn), gphi = square(gphiOwn);
  double *const r = vector(rOwn), *const next = vector(nextOwn), *const hat = vector(hatOwn),
                *const pz = vector(pzOwn), *const nk = vector(nkOwn), *const pd = vector(pdOwn);
  // Forward: the filter with P(t) and a(t) kept; from a record, the state
  // recursion alone.
  if (record != nullptr) {
    ps = record->p;
    pScale = recordScale;
    k = record->k;
    // a(t+1) straight into its column (the last into next).
    if (n > 0) std::fill_n(a.col(1), m, 0.0);
    for (int t = 1; t <= n; ++t) {
      f[t - 1] = recordScale * record->f[t - 1];
      double* following = t < n ? a.col(t + 1) : next;
      v[t - 1] = kalman::advanceState<kM, kDiagonal>(m, phi, z.col(t), k.col(t), u[t - 1],
                                                     a.col(t), following);
    }
  } else {
    SweepWork w = carveSweep(s, m, 1);
    const Mat data{const_cast<double*>(u), std::max(n, 1), n, 1};
    sweepOfModel<double>(model, data, f, Mat{v, std::max(n, 1), n, 1}, SweepRecord{k, ps, a}, w);
  }
  // PHI(i,i), where PHI is diagonal.
  if (kDiagonal)
    for (int i = 1; i <= m; ++i) pd[i - 1] = phi(i, i);
  // Backward: r(t-1), N(t-1) from r(t), N(t); the sums of t < n use r(t)
  // and N(t) before the step of period t.
  for (Mat g : {gphi, gq, N})
    for (int j = 1; j <= m; ++j) std::fill_n(g.col(j), m, 0.0);
  std::fill_n(r, m, 0.0);
  for (int t = n; t >= 1; --t) {
    const double* zt = z.col(t);
    const double* kt = k.col(t);
    const double* at = a.col(t);
    const Mat pt{ps + mm * (t - 1), ldp, m, m};
    const double ft = f[t - 1];
    const double vf = ft > 0.0 ? v[t - 1] / ft : 0.0;
    // r(t-1) = z v / f + L' r; W = N L, once for both of its uses.
    if constexpr (kDiagonal) {
      // L' r = PHI r - z (k'r), N L = N PHI - (N k) z'.
      double kr = 0.0;
      KOVA_UNROLL
      for (int l = 0; l < m; ++l) kr += kt[l] * r[l];
      KOVA_UNROLL
      for (int i = 0; i < m; ++i) next[i] = pd[i] * r[i] + zt[i] * (vf - kr);
      KOVA_UNROLL
      for (int i = 1; i <= m; ++i) {
        double sum = 0.0;
        KOVA_UNROLL
        for (int l = 1; l <= m; ++l) sum += N(i, l) * kt[l - 1];
        nk[i - 1] = sum;
      }
      KOVA_UNROLL
      for (int j = 1; j <= m; ++j)
        KOVA_UNROLL
        for (int i = 1; i <= m; ++i) W(i, j) = N(i, j) * pd[j - 1] - nk[i - 1] * zt[j - 1];
    } else {
      // L(t) = PHI - K(t) z(t)'.
      KOVA_UNROLL
      for (int j = 1; j <= m; ++j)
        KOVA_UNROLL
        for (int i = 1; i <= m; ++i) L(i, j) = phi(i, j) - kt[i - 1] * zt[j - 1];
      KOVA_UNROLL
      for (int i = 1; i <= m; ++i) {
        double sum = zt[i - 1] * vf;
        KOVA_UNROLL
        for (int l = 1; l <= m; ++l) sum += L(l, i) * r[l - 1];
        next[i - 1] = sum;
      }
      product<kM>(N, false, L, false, W);
    }
    if (t < n) {
      // a^(t) = a(t) + P(t) r(t-1), r(t-1) = next.
      KOVA_UNROLL
      for (int i = 1; i <= m; ++i) {
        double sum = 0.0;
        KOVA_UNROLL
        for (int l = 1; l <= m; ++l) sum += pt(i, l) * next[l - 1];
        hat[i - 1] = at[i - 1] + pScale * sum;
      }
      // dl/dQ += 1/2 (r r' - N), dl/dPHI += r a^' - N L P (r = r(t), N = N(t)).
      if constexpr (kDiagonalOnly) {
        KOVA_UNROLL
        for (int i = 1; i <= m; ++i) {
          double sum = 0.0;
          KOVA_UNROLL
          for (int l = 1; l <= m; ++l) sum += W(i, l) * pt(l, i);
          gq(i, i) += 0.5 * (r[i - 1] * r[i - 1] - N(i, i));
          gphi(i, i) += r[i - 1] * hat[i - 1] - pScale * sum;
        }
      } else {
        product<kM>(W, false, pt, false, P);  // N L P(t)
        KOVA_UNROLL
        for (int j = 1; j <= m; ++j)
          KOVA_UNROLL
          for (int i = 1; i <= m; ++i) {
            gq(i, j) += 0.5 * (r[i - 1] * r[j - 1] - N(i, j));
            gphi(i, j) += r[i - 1] * hat[j - 1] - pScale * P(i, j);
          }
      }
    }
    // N(t-1) = z z' / f + L' N L.
    if constexpr (kDiagonal) {
      // L' W = PHI W - z (k' W).
      KOVA_UNROLL
      for (int j = 1; j <= m; ++j) {
        double sum = 0.0;
        KOVA_UNROLL
        for (int l = 1; l <= m; ++l) sum += kt[l - 1] * W(l, j);
        pz[j - 1] = sum;
      }
      KOVA_UNROLL
      for (int j = 1; j <= m; ++j)
        KOVA_UNROLL
        for (int i = 1; i <= m; ++i) N(i, j) = pd[i - 1] * W(i, j) - zt[i - 1] * pz[j - 1];
    } else {
      product<kM>(L, true, W, false, N);
    }
    if (ft > 0.0) {
      const double inverse = 1.0 / ft;
      KOVA_UNROLL
      for (int j = 1; j <= m; ++j) {
        const double zj = zt[j - 1] * inverse;
        KOVA_UNROLL
        for (int i = 1; i <= m; ++i) N(i, j) += zt[i - 1] * zj;
      }
    }
    symmetrise<kM>(N);
    KOVA_UNROLL
    for (int i = 0; i < m; ++i) r[i] = next[i];
  }
  for (int j = 1; j <= m; ++j)
    for (int i = 1; i <= m; ++i) {
      const bool formed = !kDiagonalOnly || i == j;
      const double nan = std::numeric_limits<double>::quiet_NaN();
      out.q(i, j) = formed ? gq(i, j) : nan;
      out.phi(i, j) = formed ? gphi(i, j) : nan;
      out.p1(i, j) = 0.5 * (r[i - 1] * r[j - 1] - N(i, j));
    }
}

}  // namespace

void stateSpaceScore(const StateSpaceModel& model, const double* u, const StateSpaceScore& out,
                     Scratch s, const FilterGains* record, double recordScale) {
  const bool diagonal = kalman::isDiagonal(model.phi);
  kalman::byOrder(model.phi.rows, [&](auto order) {
    constexpr int kM = decltype(order)::value;
    if (!diagonal) return score<kM, false, false>(model, u, out, s, record, recordScale);
    if (out.diagonalOnly) return score<kM, true, true>(model, u, out, s, record, recordScale);
    score<kM, true, false>(model, u, out, s, record, recordScale);
  });
}

}  // namespace kova
