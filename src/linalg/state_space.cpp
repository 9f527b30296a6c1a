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
#include <type_traits>
#include <vector>

namespace kova {
namespace {

// The order m of the model fixed at compile time for the small orders
// (kM > 0), so that the m x m steps of the recursions below unroll; kM = 0
// reads it from the views.
template <class F>
void byOrder(int m, F&& f) {
  switch (m) {
    case 1:
      return f(std::integral_constant<int, 1>{});
    case 2:
      return f(std::integral_constant<int, 2>{});
    case 3:
      return f(std::integral_constant<int, 3>{});
    case 4:
      return f(std::integral_constant<int, 4>{});
    default:
      return f(std::integral_constant<int, 0>{});
  }
}

// y := A x for an m x m view.
template <int kM = 0>
inline void multiply(Mat a, const double* x, double* y) {
  const int m = kM > 0 ? kM : a.rows;
  std::fill_n(y, m, 0.0);
  for (int j = 1; j <= m; ++j) {
    const double xj = x[j - 1];
    if (xj == 0.0) continue;
    const double* aj = a.col(j);
    for (int i = 0; i < m; ++i) y[i] += aj[i] * xj;
  }
}

// y := A' x.
template <int kM = 0>
inline void multiplyTransposed(Mat a, const double* x, double* y) {
  const int m = kM > 0 ? kM : a.rows;
  for (int j = 1; j <= m; ++j) {
    const double* aj = a.col(j);
    double sum = 0.0;
    for (int i = 0; i < m; ++i) sum += aj[i] * x[i];
    y[j - 1] = sum;
  }
}

template <int kM = 0>
inline double dot(int n, const double* x, const double* y) {
  const int m = kM > 0 ? kM : n;
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

// The upper triangle R of the Householder QR factorization of the rows x
// cols matrix b, in place (min(rows, cols) rows; what lies below it is left
// as work). Only R is wanted: B'B = R'R.
template <int kM = 0>
[[gnu::always_inline]] inline void triangularize(Mat b, int rowCount, int cols) {
  const int rows = kM > 0 ? 2 * kM : rowCount;  // the filter's 2m rows
  for (int k = 1; k <= std::min(rows, cols); ++k) {
    double* bk = b.col(k);
    double scale = 0.0;
    for (int i = k; i <= rows; ++i) scale = std::max(scale, std::abs(bk[i - 1]));
    if (scale == 0.0) continue;
    double norm = 0.0;
    for (int i = k; i <= rows; ++i) {
      const double v = bk[i - 1] / scale;
      norm += v * v;
    }
    norm = scale * std::sqrt(norm);
    const double alpha = bk[k - 1] > 0.0 ? -norm : norm;
    // v = b(k:rows,k) - alpha e1, reflector I - 2 v v' / v'v, v'v = 2 norm (norm + |b(k,k)|).
    bk[k - 1] -= alpha;
    const double vv = -alpha * bk[k - 1];  // v'v / 2
    for (int j = k + 1; j <= cols; ++j) {
      double* bj = b.col(j);
      double sum = 0.0;
      for (int i = k; i <= rows; ++i) sum += bk[i - 1] * bj[i - 1];
      const double c = sum / vv;
      for (int i = k; i <= rows; ++i) bj[i - 1] -= c * bk[i - 1];
    }
    bk[k - 1] = alpha;
  }
}

struct GainWork {
  Mat u, uq;  // the square roots of P(t) and Q
  Mat b;      // the 2m x (m + 1) array
  double* uz;
};

GainWork carveGains(Scratch& s, int m) {
  GainWork g;
  g.u = s.mat(m, m);
  g.uq = s.mat(m, m);
  g.b = s.mat(2 * m, m + 1);
  g.uz = s.doubles(m);
  return g;
}

// u := a square root of the non-negative definite a (U'U = A, not
// triangular): the Cholesky steps with diagonal pivoting, row k of U the
// k-th pivot's row of the Schur complement over its root, stopped at the
// first pivot not above m u max A(i,i) (the rank rule of DCHDC), so that
// the rows beyond the numerical rank are zero rather than rounding noise.
// The complement is worked in b (free here).
void squareRoot(Mat a, Mat u, GainWork& w) {
  const int m = a.rows;
  Mat c{w.b.p, w.b.ld, m, m};
  copySquare(a, c);
  for (int j = 1; j <= m; ++j) std::fill_n(u.col(j), m, 0.0);
  double largest = 0.0;
  for (int i = 1; i <= m; ++i) largest = std::max(largest, c(i, i));
  const double floor = m * 0x1p-53 * largest;
  for (int k = 1; k <= m; ++k) {
    int pivot = 0;
    double top = floor;
    for (int i = 1; i <= m; ++i)
      if (c(i, i) > top) {
        top = c(i, i);
        pivot = i;
      }
    if (pivot == 0) break;
    const double root = std::sqrt(top);
    for (int j = 1; j <= m; ++j) u(k, j) = c(pivot, j) / root;
    for (int j = 1; j <= m; ++j)
      for (int i = 1; i <= m; ++i) c(i, j) -= u(k, i) * u(k, j);
    for (int i = 1; i <= m; ++i) c(pivot, i) = c(i, pivot) = 0.0;
  }
}

void takeRoot(Mat given, Mat formed, Mat to, GainWork& w) {
  if (given.p != nullptr)
    copySquare(given, to);
  else
    squareRoot(formed, to, w);
}

// The steps of kalmanGains from the square roots in w on.
template <int kM>
void gainSteps(const StateSpaceModel& model, const FilterGains& gains, GainWork& w, double rootTol,
               double floor) {
  const int m = kM > 0 ? kM : model.phi.rows, n = model.z.cols;
  for (int t = 1; t <= n; ++t) {
    const double* zt = model.z.col(t);
    if (gains.p != nullptr) {
      // P(t) = U'U, for the smoother's variances.
      const Mat pt{gains.p + static_cast<long>(m) * m * (t - 1), std::max(m, 1), m, m};
      for (int j = 1; j <= m; ++j)
        for (int i = 1; i <= m; ++i) {
          double sum = 0.0;
          for (int l = 1; l <= m; ++l) sum += w.u(l, i) * w.u(l, j);
          pt(i, j) = sum;
        }
    }
    // U z, so that f = |U z|^2 without cancellation.
    double f = 0.0, trace = 0.0;
    for (int i = 1; i <= m; ++i) {
      double sum = 0.0;
      for (int j = 1; j <= m; ++j) sum += w.u(i, j) * zt[j - 1];
      w.uz[i - 1] = sum;
      f += sum * sum;
    }
    // Against |z| |U|: the rounding of U is of that size in every direction.
    for (int j = 1; j <= m; ++j) trace += dot<kM>(m, w.u.col(j), w.u.col(j));
    const bool exact =
        std::sqrt(f) <= rootTol * std::sqrt(dot<kM>(m, zt, zt) * trace) || f <= floor;
    // The array [U z, U PHI'; 0, UQ], without its first column at an exact
    // observation (which updates nothing): B'B = [f, z'P PHI'; PHI P z,
    // PHI P PHI' + Q] = R'R, so R(1,1)^2 = f, R(1,2:) = (PHI P z)' / R(1,1)
    // and the rest of R is the root of P(t+1).
    const int first = exact ? 0 : 1;
    const Mat b{w.b.p, w.b.ld, 2 * m, m + first};
    if (!exact)
      for (int i = 1; i <= 2 * m; ++i) b(i, 1) = i <= m ? w.uz[i - 1] : 0.0;
    for (int j = 1; j <= m; ++j) {
      double* bj = b.col(j + first);
      for (int i = 1; i <= m; ++i) {
        double sum = 0.0;
        for (int l = 1; l <= m; ++l) sum += w.u(i, l) * model.phi(j, l);
        bj[i - 1] = sum;
      }
      std::copy_n(w.uq.col(j), m, bj + m);
    }
    triangularize<kM>(b, 2 * m, m + first);
    double* kt = gains.k.col(t);
    if (exact) {
      gains.f[t - 1] = 0.0;
      std::fill_n(kt, m, 0.0);
    } else {
      const double r = b(1, 1);
      gains.f[t - 1] = r * r;
      for (int i = 1; i <= m; ++i) kt[i - 1] = b(1, i + 1) / r;
    }
    for (int j = 1; j <= m; ++j)
      for (int i = 1; i <= m; ++i) w.u(i, j) = i <= j ? b(i + first, j + first) : 0.0;
  }
}

// A column-major m x m (or 2m x (m + 1)) array in extended precision.
struct WideMat {
  long double* p;
  int ld;
  long double& operator()(int i, int j) const {
    return p[(i - 1) + static_cast<long>(ld) * (j - 1)];
  }
  long double* col(int j) const { return p + static_cast<long>(ld) * (j - 1); }
};

// triangularize on the extended-precision array.
template <int kM = 0>
[[gnu::always_inline]] inline void triangularizeWide(WideMat b, int rowCount, int cols) {
  const int rows = kM > 0 ? 2 * kM : rowCount;
  for (int k = 1; k <= std::min(rows, cols); ++k) {
    long double* bk = b.col(k);
    long double scale = 0.0L;
    for (int i = k; i <= rows; ++i) scale = std::max(scale, std::abs(bk[i - 1]));
    if (scale == 0.0L) continue;
    long double norm = 0.0L;
    for (int i = k; i <= rows; ++i) {
      const long double v = bk[i - 1] / scale;
      norm += v * v;
    }
    norm = scale * std::sqrt(norm);
    const long double alpha = bk[k - 1] > 0.0L ? -norm : norm;
    bk[k - 1] -= alpha;
    const long double vv = -alpha * bk[k - 1];
    for (int j = k + 1; j <= cols; ++j) {
      long double* bj = b.col(j);
      long double sum = 0.0L;
      for (int i = k; i <= rows; ++i) sum += bk[i - 1] * bj[i - 1];
      const long double c = sum / vv;
      for (int i = k; i <= rows; ++i) bj[i - 1] -= c * bk[i - 1];
    }
    bk[k - 1] = alpha;
  }
}

// gainSteps with the root of P(t) carried in extended precision, for a
// singular Q: with a root of PHI near 1 the recursion is then close to
// unstable in Q's null space, and double rounding there builds up over the
// periods into relative errors of f(t) far above the rounding unit (and of
// the estimates whitened by the filter, a hundred times that).
template <int kM>
void gainStepsWide(const StateSpaceModel& model, const FilterGains& gains, GainWork& w,
                   double rootTol, double floor) {
  const int m = kM > 0 ? kM : model.phi.rows, n = model.z.cols;
  std::vector<long double> store(static_cast<size_t>(m) * m * 3 + 2 * m * (m + 1) + m);
  const WideMat u{store.data(), std::max(m, 1)};
  const WideMat uq{store.data() + m * m, std::max(m, 1)};
  const WideMat phi{store.data() + 2 * m * m, std::max(m, 1)};
  const WideMat barray{store.data() + 3 * m * m, std::max(2 * m, 1)};
  long double* uz = store.data() + 3 * m * m + 2 * m * (m + 1);
  for (int j = 1; j <= m; ++j)
    for (int i = 1; i <= m; ++i) {
      u(i, j) = w.u(i, j);
      uq(i, j) = w.uq(i, j);
      phi(i, j) = model.phi(i, j);
    }
  for (int t = 1; t <= n; ++t) {
    const double* zt = model.z.col(t);
    if (gains.p != nullptr) {
      // P(t) = U'U, for the smoother's variances.
      const Mat pt{gains.p + static_cast<long>(m) * m * (t - 1), std::max(m, 1), m, m};
      for (int j = 1; j <= m; ++j)
        for (int i = 1; i <= m; ++i) {
          long double sum = 0.0L;
          for (int l = 1; l <= m; ++l) sum += u(l, i) * u(l, j);
          pt(i, j) = static_cast<double>(sum);
        }
    }
    // U z, so that f = |U z|^2 without cancellation.
    long double f = 0.0L, trace = 0.0L, zz = 0.0L;
    for (int i = 1; i <= m; ++i) {
      long double sum = 0.0L;
      for (int j = 1; j <= m; ++j) sum += u(i, j) * zt[j - 1];
      uz[i - 1] = sum;
      f += sum * sum;
    }
    // Against |z| |U|: the rounding of U is of that size in every direction.
    for (int j = 1; j <= m; ++j)
      for (int i = 1; i <= m; ++i) trace += u(i, j) * u(i, j);
    for (int i = 0; i < m; ++i) zz += static_cast<long double>(zt[i]) * zt[i];
    const bool exact =
        static_cast<double>(std::sqrt(f)) <= rootTol * static_cast<double>(std::sqrt(zz * trace)) ||
        static_cast<double>(f) <= floor;
    // The array [U z, U PHI'; 0, UQ], without its first column at an exact
    // observation (which updates nothing): B'B = [f, z'P PHI'; PHI P z,
    // PHI P PHI' + Q] = R'R, so R(1,1)^2 = f, R(1,2:) = (PHI P z)' / R(1,1)
    // and the rest of R is the root of P(t+1).
    const int first = exact ? 0 : 1;
    const WideMat b = barray;
    if (!exact)
      for (int i = 1; i <= 2 * m; ++i) b(i, 1) = i <= m ? uz[i - 1] : 0.0L;
    for (int j = 1; j <= m; ++j) {
      long double* bj = b.col(j + first);
      for (int i = 1; i <= m; ++i) {
        long double sum = 0.0L;
        for (int l = 1; l <= m; ++l) sum += u(i, l) * phi(j, l);
        bj[i - 1] = sum;
      }
      std::copy_n(uq.col(j), m, bj + m);
    }
    triangularizeWide<kM>(b, 2 * m, m + first);
    double* kt = gains.k.col(t);
    if (exact) {
      gains.f[t - 1] = 0.0;
      std::fill_n(kt, m, 0.0);
    } else {
      const long double r = b(1, 1);
      gains.f[t - 1] = static_cast<double>(r * r);
      for (int i = 1; i <= m; ++i) kt[i - 1] = static_cast<double>(b(1, i + 1) / r);
    }
    for (int j = 1; j <= m; ++j)
      for (int i = 1; i <= m; ++i) u(i, j) = i <= j ? b(i + first, j + first) : 0.0L;
  }
}

// Whether the root uq (m x m, U'U = Q) is of lower rank than m: the
// diagonal of its triangle, against the largest, below the rank rule of
// squareRoot. The triangle is formed in the work array b.
bool singularRoot(Mat uq, GainWork& w) {
  const int m = uq.rows;
  Mat c{w.b.p, w.b.ld, m, m};
  copySquare(uq, c);
  triangularize(c, m, m);
  double largest = 0.0, smallest = 0.0;
  for (int i = 1; i <= m; ++i) {
    const double d = std::abs(c(i, i));
    largest = std::max(largest, d);
    smallest = i == 1 ? d : std::min(smallest, d);
  }
  return smallest * smallest <= m * 0x1p-53 * largest * largest;
}

// Whether PHI has a root of modulus near 1 or above: |PHI^16| (Frobenius)
// at least 0.1, a root of about 0.87 and up. Worked in b and u (free).
bool nearUnitRoot(Mat phi, GainWork& w) {
  const int m = phi.rows;
  Mat a{w.b.p, w.b.ld, m, m}, c{w.b.p + m, w.b.ld, m, m};
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
  takeRoot(up1, model.p1, w.u, w);
  takeRoot(uq, model.q, w.uq, w);
  const bool wide = mayWiden && m > 0 && nearUnitRoot(model.phi, w) && singularRoot(w.uq, w);
  byOrder(m, [&](auto order) {
    if (wide)
      gainStepsWide<decltype(order)::value>(model, gains, w, rootTol, floor);
    else
      gainSteps<decltype(order)::value>(model, gains, w, rootTol, floor);
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

template <int kM>
void innovationsOf(Mat phi, Mat z, const FilterGains& gains, Mat data, Mat out, Scratch& s) {
  const int m = kM > 0 ? kM : phi.rows, n = z.cols, nc = data.cols;
  Scratch local = s;
  Mat a = local.mat(m, nc);
  double* next = local.doubles(m);
  for (int c = 1; c <= nc; ++c) std::fill_n(a.col(c), m, 0.0);
  for (int t = 1; t <= n; ++t) {
    const double* zt = z.col(t);
    const double* kt = gains.k.col(t);
    for (int c = 1; c <= nc; ++c) {
      double* ac = a.col(c);
      const double v = data(t, c) - dot<kM>(m, zt, ac);
      out(t, c) = v;
      multiply<kM>(phi, ac, next);
      for (int i = 0; i < m; ++i) ac[i] = next[i] + kt[i] * v;
    }
  }
}

// innovationsOf with the states in extended precision, for a filter whose
// closed loop PHI - K z' amplifies rounding (see gainStepsWide).
template <int kM>
void innovationsWideOf(Mat phi, Mat z, const FilterGains& gains, Mat data, Mat out) {
  const int m = kM > 0 ? kM : phi.rows, n = z.cols, nc = data.cols;
  std::vector<long double> state(static_cast<size_t>(m) * nc, 0.0L), next(m), wphi(m * m);
  for (int j = 1; j <= m; ++j)
    for (int i = 1; i <= m; ++i) wphi[(i - 1) + m * (j - 1)] = phi(i, j);
  for (int t = 1; t <= n; ++t) {
    const double* zt = z.col(t);
    const double* kt = gains.k.col(t);
    for (int c = 1; c <= nc; ++c) {
      long double* ac = state.data() + static_cast<size_t>(m) * (c - 1);
      long double v = data(t, c);
      for (int i = 0; i < m; ++i) v -= zt[i] * ac[i];
      out(t, c) = static_cast<double>(v);
      for (int i = 0; i < m; ++i) {
        long double sum = 0.0L;
        for (int j = 0; j < m; ++j) sum += wphi[i + m * j] * ac[j];
        next[i] = sum;
      }
      for (int i = 0; i < m; ++i) ac[i] = next[i] + kt[i] * v;
    }
  }
}

}  // namespace

void innovations(Mat phi, Mat z, const FilterGains& gains, Mat data, Mat out, Scratch& s,
                 bool wide) {
  byOrder(phi.rows, [&](auto order) {
    if (wide)
      innovationsWideOf<decltype(order)::value>(phi, z, gains, data, out);
    else
      innovationsOf<decltype(order)::value>(phi, z, gains, data, out, s);
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
  Scratch local = s;
  Mat rs = local.mat(m, n);  // column t: r(t), the weight of the periods after t
  double* r = local.doubles(m);
  double* next = local.doubles(m);
  std::fill_n(r, m, 0.0);
  for (int t = n; t >= 1; --t) {
    std::copy_n(r, m, rs.col(t));
    multiplyTransposed<kM>(model.phi, r, next);
    const double ft = gains.f[t - 1];
    if (ft != 0.0) {
      const double c = v[t - 1] / ft - dot<kM>(m, gains.k.col(t), r);
      const double* zt = model.z.col(t);
      for (int i = 0; i < m; ++i) next[i] += zt[i] * c;
    }
    std::copy_n(next, m, r);
  }
  if (n < 1) return;
  multiply<kM>(model.p1, r, eps.col(1));
  for (int t = 2; t <= n; ++t) {
    multiply<kM>(model.phi, eps.col(t - 1), eps.col(t));
    multiply<kM>(model.q, rs.col(t - 1), next);
    double* et = eps.col(t);
    for (int i = 0; i < m; ++i) et[i] += next[i];
  }
}

}  // namespace

void smoothState(const StateSpaceModel& model, const FilterGains& gains, const double* v, Mat eps,
                 Scratch& s) {
  byOrder(model.phi.rows, [&](auto order) {
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
