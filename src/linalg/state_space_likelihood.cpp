// The likelihood's filter sweep and its score (Durbin and Koopman, Time
// Series Analysis by State Space Methods, 2012: the Kalman filter in
// prediction form, section 4.3; the state smoothing recursions of r(t) and
// N(t), section 4.4.4; the score vector by the smoother, section 7.3.3; the
// stationary initial state, section 5.6). The stationary covariance by
// doubling: Anderson and Moore, Optimal Filtering, 6.7.
#include "linalg/state_space_likelihood.h"

#include <algorithm>
#include <cmath>
#include <vector>

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
    for (int j = 1; j <= m; ++j)
      for (int i = 1; i <= m; ++i) {
        double s = 0.0;
        for (int l = 1; l <= m; ++l) s += a(l, i) * (tb ? b(j, l) : b(l, j));
        c(i, j) = s;
      }
    return;
  }
  // c = a op(b) column by column: c(:, j) = sum over l of a(:, l) op(b)(l, j).
  for (int j = 1; j <= m; ++j) {
    double* cj = c.col(j);
    for (int i = 0; i < m; ++i) cj[i] = 0.0;
    for (int l = 1; l <= m; ++l) {
      const double blj = tb ? b(j, l) : b(l, j);
      const double* al = a.col(l);
      for (int i = 0; i < m; ++i) cj[i] += al[i] * blj;
    }
  }
}

template <int kM = 0>
[[gnu::always_inline]] inline void symmetrise(Mat a) {
  const int m = kM > 0 ? kM : a.rows;
  for (int j = 1; j <= m; ++j)
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

// The filter's work.
struct SweepWork {
  Mat p, w, states, next;
  double *pz, *kv, *kt;
  double* kept = nullptr;  // m x m x n: P(t), when asked for
};

SweepWork carveSweep(Scratch& s, int m, int nc) {
  SweepWork w;
  w.p = s.mat(m, m);
  w.w = s.mat(m, m);
  w.states = s.mat(m, nc);
  w.next = s.mat(m, nc);
  w.pz = s.doubles(m);
  w.kv = s.doubles(m);
  w.kt = s.doubles(m);
  return w;
}

// The prediction-form filter with the innovations of every column in one
// sweep. kM > 0: the order fixed at compile time so that the small loops
// over the state unroll (the same operations in the same order as kM = 0).
// kDiagonal: PHI is diagonal and its products skip the terms that are exact
// zeros (the same values).
template <int kM, bool kDiagonal>
void sweep(const StateSpaceModel& model, Mat data, double* f, Mat v, Mat k, SweepWork& w) {
  const Mat phi = model.phi, q = model.q, z = model.z;
  const int m = kM > 0 ? kM : phi.rows, T = z.cols, nc = data.cols;
  Mat P = w.p, W = w.w, A = w.states, B = w.next;
  copySquare(model.p1, P);
  for (int c = 1; c <= nc; ++c) std::fill_n(A.col(c), m, 0.0);
  for (int t = 1; t <= T; ++t) {
    const double* zt = z.col(t);
    if (w.kept != nullptr)
      copySquare(P, Mat{w.kept + static_cast<long>(m) * m * (t - 1), std::max(m, 1), m, m});
    double ft = 0.0, zz = 0.0, trace = 0.0;
    for (int i = 1; i <= m; ++i) {
      double sum = 0.0;
      for (int l = 1; l <= m; ++l) sum += P(i, l) * zt[l - 1];
      w.pz[i - 1] = sum;
      ft += zt[i - 1] * sum;
      zz += zt[i - 1] * zt[i - 1];
      trace += P(i, i);
    }
    if (ft <= kExactTol * zz * trace) {
      f[t - 1] = 0.0;
      std::fill_n(w.kt, m, 0.0);
    } else {
      f[t - 1] = ft;
      for (int i = 0; i < m; ++i) w.kv[i] = w.pz[i] / ft;
      for (int j = 1; j <= m; ++j)
        for (int i = 1; i <= m; ++i) P(i, j) -= w.pz[i - 1] * w.kv[j - 1];
      for (int i = 1; i <= m; ++i) {
        double sum = 0.0;
        if (kDiagonal) {
          sum = phi(i, i) * w.kv[i - 1];
        } else {
          for (int l = 1; l <= m; ++l) sum += phi(i, l) * w.kv[l - 1];
        }
        w.kt[i - 1] = sum;
      }
    }
    if (k.p != nullptr) std::copy_n(w.kt, m, k.col(t));
    // The states of period t+1 go to B, which then changes places with A
    // (no copy: this loop runs for every column, period and evaluation).
    for (int c = 1; c <= nc; ++c) {
      const double* a = A.col(c);
      double* b = B.col(c);
      double datum = data(t, c);
      for (int i = 0; i < m; ++i) datum -= zt[i] * a[i];
      v(t, c) = datum;
      for (int i = 1; i <= m; ++i) {
        double sum = w.kt[i - 1] * datum;
        if (kDiagonal) {
          sum += phi(i, i) * a[i - 1];
        } else {
          for (int l = 1; l <= m; ++l) sum += phi(i, l) * a[l - 1];
        }
        b[i - 1] = sum;
      }
    }
    std::swap(A, B);
    // P := PHI P PHI' + Q, symmetrised.
    if (kDiagonal) {
      for (int j = 1; j <= m; ++j)
        for (int i = j; i <= m; ++i) P(i, j) = q(i, j) + phi(i, i) * P(i, j) * phi(j, j);
    } else {
      for (int j = 1; j <= m; ++j)
        for (int i = 1; i <= m; ++i) {
          double sum = 0.0;
          for (int l = 1; l <= m; ++l) sum += phi(i, l) * P(l, j);
          W(i, j) = sum;
        }
      for (int j = 1; j <= m; ++j)
        for (int i = j; i <= m; ++i) {
          double sum = q(i, j);
          for (int l = 1; l <= m; ++l) sum += W(i, l) * phi(j, l);
          P(i, j) = sum;
        }
    }
    for (int j = 1; j <= m; ++j)
      for (int i = 1; i < j; ++i) P(i, j) = P(j, i);
  }
}

template <bool kDiagonal>
void sweepOfOrder(const StateSpaceModel& model, Mat data, double* f, Mat v, Mat k, SweepWork& w) {
  switch (model.phi.rows) {
    case 1:
      return sweep<1, kDiagonal>(model, data, f, v, k, w);
    case 2:
      return sweep<2, kDiagonal>(model, data, f, v, k, w);
    case 3:
      return sweep<3, kDiagonal>(model, data, f, v, k, w);
    case 4:
      return sweep<4, kDiagonal>(model, data, f, v, k, w);
    case 5:
      return sweep<5, kDiagonal>(model, data, f, v, k, w);
    case 6:
      return sweep<6, kDiagonal>(model, data, f, v, k, w);
    default:
      return sweep<0, kDiagonal>(model, data, f, v, k, w);
  }
}

bool isDiagonal(Mat a) {
  for (int j = 1; j <= a.cols; ++j)
    for (int i = 1; i <= a.rows; ++i)
      if (i != j && a(i, j) != 0.0) return false;
  return true;
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
  if (!isDiagonal(phi)) return false;
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
  w.kept = p;
  if (isDiagonal(model.phi)) return sweepOfOrder<true>(model, data, f, v, k, w);
  sweepOfOrder<false>(model, data, f, v, k, w);
}

void filterInnovationsPrecise(const StateSpaceModel& model, Mat data, double* f, Mat v) {
  using Real = long double;
  const Mat phi = model.phi, z = model.z;
  const int m = phi.rows, T = z.cols, nc = data.cols;
  std::vector<Real> P(static_cast<std::size_t>(m) * m), W(P.size()),
      A(static_cast<std::size_t>(m) * nc), B(A.size()), pz(m), kt(m);
  auto p = [&](int i, int j) -> Real& { return P[(j - 1) * m + (i - 1)]; };
  for (int j = 1; j <= m; ++j)
    for (int i = 1; i <= m; ++i) p(i, j) = model.p1(i, j);
  for (int t = 1; t <= T; ++t) {
    const double* zt = z.col(t);
    Real ft = 0.0L, zz = 0.0L, trace = 0.0L;
    for (int i = 1; i <= m; ++i) {
      Real sum = 0.0L;
      for (int l = 1; l <= m; ++l) sum += p(i, l) * zt[l - 1];
      pz[i - 1] = sum;
      ft += zt[i - 1] * sum;
      zz += Real(zt[i - 1]) * zt[i - 1];
      trace += p(i, i);
    }
    if (ft <= kExactTol * zz * trace) {
      f[t - 1] = 0.0;
      std::fill(kt.begin(), kt.end(), 0.0L);
    } else {
      f[t - 1] = static_cast<double>(ft);
      for (int j = 1; j <= m; ++j)
        for (int i = 1; i <= m; ++i) p(i, j) -= pz[i - 1] * pz[j - 1] / ft;
      for (int i = 1; i <= m; ++i) {
        Real sum = 0.0L;
        for (int l = 1; l <= m; ++l) sum += phi(i, l) * pz[l - 1];
        kt[i - 1] = sum / ft;
      }
    }
    for (int c = 0; c < nc; ++c) {
      const Real* a = &A[static_cast<std::size_t>(c) * m];
      Real* b = &B[static_cast<std::size_t>(c) * m];
      Real datum = data(t, c + 1);
      for (int i = 0; i < m; ++i) datum -= zt[i] * a[i];
      v(t, c + 1) = static_cast<double>(datum);
      for (int i = 1; i <= m; ++i) {
        Real sum = kt[i - 1] * datum;
        for (int l = 1; l <= m; ++l) sum += phi(i, l) * a[l - 1];
        b[i - 1] = sum;
      }
    }
    std::swap(A, B);
    for (int j = 1; j <= m; ++j)
      for (int i = 1; i <= m; ++i) {
        Real sum = 0.0L;
        for (int l = 1; l <= m; ++l) sum += phi(i, l) * p(l, j);
        W[(j - 1) * m + (i - 1)] = sum;
      }
    for (int j = 1; j <= m; ++j)
      for (int i = j; i <= m; ++i) {
        Real sum = model.q(i, j);
        for (int l = 1; l <= m; ++l) sum += W[(l - 1) * m + (i - 1)] * phi(j, l);
        p(i, j) = sum;
      }
    for (int j = 1; j <= m; ++j)
      for (int i = 1; i < j; ++i) p(i, j) = p(j, i);
  }
}

ScratchNeed stateSpaceScoreNeed(int m, int n) {
  Scratch s;
  s.doubles(static_cast<long long>(m) * m * n);  // P(t)
  s.mat(m, n);                                   // a(t)
  s.mat(m, n);                                   // PHI K(t)
  s.doubles(2L * n);                             // f, v
  s.mat(m, m);
  s.mat(m, m);
  s.mat(m, m);
  s.mat(m, m);
  s.doubles(4L * m);
  return s.used();
}

namespace {

// kDiagonal: PHI is diagonal; its products are formed element by element
// (the same values up to rounding).
template <int kM, bool kDiagonal>
void score(const StateSpaceModel& model, const double* u, const StateSpaceScore& out, Scratch& s,
           const FilterGains* record, double recordScale) {
  const Mat phi = model.phi, z = model.z;
  const int m = kM > 0 ? kM : phi.rows, n = z.cols;
  const long mm = static_cast<long>(m) * m;
  double* ps = s.doubles(mm * n);
  Mat a = s.mat(m, n), k = s.mat(m, n);
  double* f = s.doubles(n);
  double* v = s.doubles(n);
  // P(t) = pScale ps(t): the filter's own, or the record's.
  double pScale = 1.0;
  Mat P = s.mat(m, m), W = s.mat(m, m), N = s.mat(m, m), L = s.mat(m, m);
  double* r = s.doubles(m);
  double* next = s.doubles(m);
  double* pz = s.doubles(m);
  double* hat = s.doubles(m);
  // Forward: the filter with P(t) and a(t) kept; from a record, the state
  // recursion alone.
  std::fill_n(r, m, 0.0);  // a(t), while going forward
  if (record != nullptr) {
    ps = record->p;
    pScale = recordScale;
    k = record->k;
    for (int t = 1; t <= n; ++t) {
      const double* zt = z.col(t);
      const double* kt = k.col(t);
      std::copy_n(r, m, a.col(t));
      f[t - 1] = recordScale * record->f[t - 1];
      double vt = u[t - 1];
      for (int i = 0; i < m; ++i) vt -= zt[i] * r[i];
      v[t - 1] = vt;
      for (int i = 1; i <= m; ++i) {
        double sum = kt[i - 1] * vt;
        if (kDiagonal) {
          sum += phi(i, i) * r[i - 1];
        } else {
          for (int l = 1; l <= m; ++l) sum += phi(i, l) * r[l - 1];
        }
        next[i - 1] = sum;
      }
      std::copy_n(next, m, r);
    }
  }
  copySquare(model.p1, P);
  for (int t = 1; t <= n && record == nullptr; ++t) {
    const double* zt = z.col(t);
    Mat pt{ps + mm * (t - 1), std::max(m, 1), m, m};
    copySquare(P, pt);
    std::copy_n(r, m, a.col(t));
    double ft = 0.0, zz = 0.0, trace = 0.0, vt = u[t - 1];
    for (int i = 1; i <= m; ++i) {
      double sum = 0.0;
      for (int l = 1; l <= m; ++l) sum += P(i, l) * zt[l - 1];
      pz[i - 1] = sum;
      ft += zt[i - 1] * sum;
      zz += zt[i - 1] * zt[i - 1];
      trace += P(i, i);
      vt -= zt[i - 1] * r[i - 1];
    }
    double* kt = k.col(t);
    if (ft <= kExactTol * zz * trace) {
      f[t - 1] = 0.0;
      std::fill_n(kt, m, 0.0);
    } else {
      f[t - 1] = ft;
      for (int i = 1; i <= m; ++i) {
        double sum = 0.0;
        if (kDiagonal) {
          sum = phi(i, i) * pz[i - 1];
        } else {
          for (int l = 1; l <= m; ++l) sum += phi(i, l) * pz[l - 1];
        }
        kt[i - 1] = sum / ft;
      }
      for (int j = 1; j <= m; ++j)
        for (int i = 1; i <= m; ++i) P(i, j) -= pz[i - 1] * pz[j - 1] / ft;
    }
    v[t - 1] = vt;
    for (int i = 1; i <= m; ++i) {
      double sum = kt[i - 1] * vt;
      if (kDiagonal) {
        sum += phi(i, i) * r[i - 1];
      } else {
        for (int l = 1; l <= m; ++l) sum += phi(i, l) * r[l - 1];
      }
      next[i - 1] = sum;
    }
    std::copy_n(next, m, r);
    if (kDiagonal) {
      for (int j = 1; j <= m; ++j)
        for (int i = 1; i <= m; ++i) P(i, j) = phi(i, i) * P(i, j) * phi(j, j) + model.q(i, j);
    } else {
      product<kM>(phi, false, P, false, W);
      product<kM>(W, false, phi, true, P);
      for (int j = 1; j <= m; ++j)
        for (int i = 1; i <= m; ++i) P(i, j) += model.q(i, j);
    }
    symmetrise<kM>(P);
  }
  // Backward: r(t-1), N(t-1) from r(t), N(t); the sums of t < n use r(t)
  // and N(t) before the step of period t.
  for (Mat g : {out.phi, out.q, out.p1})
    for (int j = 1; j <= m; ++j) std::fill_n(g.col(j), m, 0.0);
  std::fill_n(r, m, 0.0);
  for (int j = 1; j <= m; ++j) std::fill_n(N.col(j), m, 0.0);
  for (int t = n; t >= 1; --t) {
    const double* zt = z.col(t);
    const double* kt = k.col(t);
    Mat pt{ps + mm * (t - 1), std::max(m, 1), m, m};
    // L(t) = PHI - K(t) z(t)'.
    for (int j = 1; j <= m; ++j)
      for (int i = 1; i <= m; ++i) L(i, j) = phi(i, j) - kt[i - 1] * zt[j - 1];
    // r(t-1) = z v / f + L' r.
    const double ft = f[t - 1];
    for (int i = 1; i <= m; ++i) {
      double sum = ft > 0.0 ? zt[i - 1] * v[t - 1] / ft : 0.0;
      for (int l = 1; l <= m; ++l) sum += L(l, i) * r[l - 1];
      next[i - 1] = sum;
    }
    // W = N L, once for both of its uses.
    if (kDiagonal) {
      // N L = N PHI - (N k) z'.
      for (int i = 1; i <= m; ++i) {
        double sum = 0.0;
        for (int l = 1; l <= m; ++l) sum += N(i, l) * kt[l - 1];
        pz[i - 1] = sum;
      }
      for (int j = 1; j <= m; ++j)
        for (int i = 1; i <= m; ++i) W(i, j) = N(i, j) * phi(j, j) - pz[i - 1] * zt[j - 1];
    } else {
      product<kM>(N, false, L, false, W);
    }
    if (t < n) {
      // a^(t) with r(t-1) = next.
      for (int i = 1; i <= m; ++i) {
        double sum = record != nullptr ? 0.0 : a(i, t);
        for (int l = 1; l <= m; ++l) sum += pt(i, l) * next[l - 1];
        hat[i - 1] = record != nullptr ? a(i, t) + pScale * sum : sum;
      }
      // dl/dQ += 1/2 (r r' - N), dl/dPHI += r a^' - N L P (r = r(t), N = N(t)).
      product<kM>(W, false, pt, false, P);  // P: N L P(t), as work
      if (record != nullptr)
        for (int j = 1; j <= m; ++j)
          for (int i = 1; i <= m; ++i) P(i, j) *= pScale;
      for (int j = 1; j <= m; ++j)
        for (int i = 1; i <= m; ++i) {
          out.q(i, j) += 0.5 * (r[i - 1] * r[j - 1] - N(i, j));
          out.phi(i, j) += r[i - 1] * hat[j - 1] - P(i, j);
        }
    }
    // N(t-1) = z z' / f + L' N L.
    if (kDiagonal) {
      // L' W = PHI W - z (k' W).
      for (int j = 1; j <= m; ++j) {
        double sum = 0.0;
        for (int l = 1; l <= m; ++l) sum += kt[l - 1] * W(l, j);
        pz[j - 1] = sum;
      }
      for (int j = 1; j <= m; ++j)
        for (int i = 1; i <= m; ++i) N(i, j) = phi(i, i) * W(i, j) - zt[i - 1] * pz[j - 1];
    } else {
      product<kM>(L, true, W, false, N);
    }
    if (ft > 0.0)
      for (int j = 1; j <= m; ++j)
        for (int i = 1; i <= m; ++i) N(i, j) += zt[i - 1] * zt[j - 1] / ft;
    symmetrise<kM>(N);
    std::copy_n(next, m, r);
  }
  for (int j = 1; j <= m; ++j)
    for (int i = 1; i <= m; ++i) out.p1(i, j) = 0.5 * (r[i - 1] * r[j - 1] - N(i, j));
}

}  // namespace

void stateSpaceScore(const StateSpaceModel& model, const double* u, const StateSpaceScore& out,
                     Scratch s, const FilterGains* record, double recordScale) {
  const bool d = isDiagonal(model.phi);
  const FilterGains* r = record;
  const double c = recordScale;
  switch (model.phi.rows) {
    case 1:
      return d ? score<1, true>(model, u, out, s, r, c) : score<1, false>(model, u, out, s, r, c);
    case 2:
      return d ? score<2, true>(model, u, out, s, r, c) : score<2, false>(model, u, out, s, r, c);
    case 3:
      return d ? score<3, true>(model, u, out, s, r, c) : score<3, false>(model, u, out, s, r, c);
    case 4:
      return d ? score<4, true>(model, u, out, s, r, c) : score<4, false>(model, u, out, s, r, c);
    case 5:
      return d ? score<5, true>(model, u, out, s, r, c) : score<5, false>(model, u, out, s, r, c);
    case 6:
      return d ? score<6, true>(model, u, out, s, r, c) : score<6, false>(model, u, out, s, r, c);
    default:
      return d ? score<0, true>(model, u, out, s, r, c) : score<0, false>(model, u, out, s, r, c);
  }
}

}  // namespace kova
