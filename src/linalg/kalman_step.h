#pragma once
// The one Kalman filter of this program: the prediction form of the filter
// (Durbin and Koopman, Time Series Analysis by State Space Methods, 2012,
// section 4.3) for the model of linalg/state_space.h, as one sweep over the
// periods (filterSweep) that records f(t), the gains and P(t) and runs the
// state recursion a(t+1) = PHI a(t) + K(t) v(t) of the data columns
// (advanceState). The covariance recursion under it is a compile-time
// choice with one interface (step, covariance):
//   - RootFilter, the square-root form (ibid., section 6.3): a root U(t) of
//     P(t) = U(t)'U(t) and, per period, one orthogonal triangularization of
//     the array [U z, U PHI'; 0, UQ]. f(t) = |U z|^2 is then a sum of
//     squares and P(t) stays non-negative definite, so that the small
//     variances of a nearly singular P(t) (a singular Q) are not lost to
//     cancellation. The engines' gains and the reported likelihood.
//   - CovarianceFilter, P(t) itself: twice as fast, for the likelihood's
//     search sweep, the hottest loop of ML.
// Both are templated on the scalar (double, or long double where the
// recursion is close to unstable) and on the order m (kM > 0 fixes it at
// compile time so that the m x m loops unroll; kM = 0 reads it at run time).
#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>

#include "linalg/views.h"

// Unrolls the loop that follows: the per-period loops run over the order m,
// which is small and usually fixed at compile time, and -O2 leaves them
// rolled.
#define KOVA_UNROLL _Pragma("GCC unroll 8")

namespace kova::kalman {

// Runs f with the order m as a compile-time constant for the small orders
// (std::integral_constant<int, m>), with 0 for the others.
template <class F>
decltype(auto) byOrder(int m, F&& f) {
  switch (m) {
    case 1:
      return f(std::integral_constant<int, 1>{});
    case 2:
      return f(std::integral_constant<int, 2>{});
    case 3:
      return f(std::integral_constant<int, 3>{});
    case 4:
      return f(std::integral_constant<int, 4>{});
    case 5:
      return f(std::integral_constant<int, 5>{});
    case 6:
      return f(std::integral_constant<int, 6>{});
    default:
      return f(std::integral_constant<int, 0>{});
  }
}

// Whether the square a has no nonzero off its diagonal.
inline bool isDiagonal(Mat a) {
  for (int j = 1; j <= a.cols; ++j)
    for (int i = 1; i <= a.rows; ++i)
      if (i != j && a(i, j) != 0.0) return false;
  return true;
}

// A column-major array of Real.
template <class Real>
struct Block {
  Real* p = nullptr;
  int ld = 1;
  Real& operator()(int i, int j) const { return p[(i - 1) + static_cast<long>(ld) * (j - 1)]; }
  Real* col(int j) const { return p + static_cast<long>(ld) * (j - 1); }
};

// |x|, the root of a sum of squares ss of the entries x(first..last),
// scaled by the largest where ss has under- or overflowed.
template <class Real>
inline Real columnNorm(const Real* x, int first, int last, Real ss) {
  if (ss >= std::numeric_limits<Real>::min() && ss <= std::numeric_limits<Real>::max())
    return std::sqrt(ss);
  Real scale = 0;
  for (int i = first; i <= last; ++i) scale = std::max(scale, std::abs(x[i - 1]));
  if (scale == 0) return 0;
  Real sum = 0;
  for (int i = first; i <= last; ++i) {
    const Real v = x[i - 1] / scale;
    sum += v * v;
  }
  return scale * std::sqrt(sum);
}

// The upper triangle R of the Householder QR factorization of the rows x
// cols array b, in place (only R is wanted: B'B = R'R). Column k of b has
// no nonzero below row k + width - 1, before and during the factorization:
// the reflection of column k spans rows k..k+width-1 alone (the rows below
// are exact zeros, which a reflection over all rows would leave unchanged).
// kRows, kCols, kWidth > 0 fix the sizes at compile time.
template <int kRows, int kCols, int kWidth, class Real>
[[gnu::always_inline]] inline void triangularize(Block<Real> b, int rowCount, int colCount,
                                                 int widthCount) {
  const int rows = kRows > 0 ? kRows : rowCount, cols = kCols > 0 ? kCols : colCount;
  const int width = kWidth > 0 ? kWidth : widthCount;
  for (int k = 1; k <= std::min(rows, cols); ++k) {
    const int last = std::min(rows, k + width - 1);
    Real* bk = b.col(k);
    Real ss = 0;
    KOVA_UNROLL
    for (int i = k; i <= last; ++i) ss += bk[i - 1] * bk[i - 1];
    const Real norm = columnNorm(bk, k, last, ss);
    if (norm == 0) continue;
    const Real alpha = bk[k - 1] > 0 ? -norm : norm;
    // v = b(k:last,k) - alpha e1, reflector I - v v' / (v'v / 2),
    // v'v / 2 = -alpha v(1).
    bk[k - 1] -= alpha;
    const Real inverse = 1 / (-alpha * bk[k - 1]);
    for (int j = k + 1; j <= cols; ++j) {
      Real* bj = b.col(j);
      Real sum = 0;
      KOVA_UNROLL
      for (int i = k; i <= last; ++i) sum += bk[i - 1] * bj[i - 1];
      const Real c = sum * inverse;
      KOVA_UNROLL
      for (int i = k; i <= last; ++i) bj[i - 1] -= c * bk[i - 1];
    }
    bk[k - 1] = alpha;
  }
}

// The rule of the filter for an exact observation: f(t) counts as zero
// when f(t) <= tol2 * |z(t)|^2 * trace P(t) (the rounding of P(t) is of
// the size of its trace in every direction), or when f(t) <= floor.
struct ExactRule {
  double tol2 = 0.0;
  double floor = 0.0;
};

// The arrays of a filter's recursion: its own for an order fixed at
// compile time (kM > 0, kOwn Reals, so that they can live in registers),
// else carved from the store given; block(k) is the k-th m x m array.
template <class Real, int kM, long kOwn>
class FilterArrays {
 public:
  int order() const { return kM > 0 ? kM : m_; }

 protected:
  FilterArrays(Real* store, int m, ExactRule rule) : m_(m), rule_(rule), store_(store) {}

  Real* base() const {
    if constexpr (kM > 0) return const_cast<Real*>(own_);
    return store_;
  }
  int ld() const { return std::max(order(), 1); }
  Block<Real> block(int k) const { return {base() + k * order() * order(), ld()}; }

  int m_;
  ExactRule rule_;
  Real* store_;
  Real own_[kOwn];
};

// The Reals of the arrays of a RootFilter of order m.
inline long rootFilterSize(int m) { return 3L * m * m + 2L * m * (m + 1) + m; }

// The filter's covariance recursion in square-root form: the upper
// triangular roots U of P(t) (moved on by each step) and UQ of Q, and PHI,
// with a 2m x (m + 1) work array and m more. kM > 0: the arrays are the
// object's own (so that they can live in registers); kM = 0: they are
// carved from the store given (rootFilterSize(m) Reals). kDiagonal: PHI
// is diagonal, and its products skip the exact zeros.
template <class Real, int kM, bool kDiagonal>
class RootFilter : public FilterArrays<Real, kM, (kM > 0 ? 3L * kM * kM : 1)> {
  using Arrays = FilterArrays<Real, kM, (kM > 0 ? 3L * kM * kM : 1)>;
  using Arrays::base;
  using Arrays::block;
  using Arrays::rule_;

 public:
  using Arrays::order;

  // From the upper triangular roots up1 of P(1) and uq of Q.
  RootFilter(Real* store, Mat phi, Mat up1, Mat uq, ExactRule rule)
      : Arrays(store, phi.rows, rule) {
    const int m = order();
    KOVA_UNROLL
    for (int j = 1; j <= m; ++j)
      KOVA_UNROLL
      for (int i = 1; i <= m; ++i) {
        u()(i, j) = i <= j ? up1(i, j) : 0.0;
        rq()(i, j) = i <= j ? uq(i, j) : 0.0;
        phi_()(i, j) = phi(i, j);
      }
  }

  // P(t) = U'U into the m x m array p.
  [[gnu::always_inline]] void covariance(Mat p) const {
    const int n = order();
    const Block<Real> U = u();
    KOVA_UNROLL
    for (int j = 1; j <= n; ++j)
      KOVA_UNROLL
      for (int i = 1; i <= n; ++i) {
        Real sum = 0;
        for (int l = 1; l <= std::min(i, j); ++l) sum += U(l, i) * U(l, j);
        p(i, j) = static_cast<double>(sum);
      }
  }

  // The step of period t with observation vector z: f(t) as returned (0 at
  // an exact observation), gain = PHI P(t) z / f(t) (0 at an exact
  // observation), and U := the root of P(t+1) = PHI P PHI' + Q - gain f
  // gain'. The array [U z, U PHI'; 0, UQ] has B'B = [f, z'P PHI'; PHI P z,
  // PHI P PHI' + Q] = R'R, so R(1,1)^2 = f, R(1,2:) = (PHI P z)' / R(1,1)
  // and the rest of R is the root of P(t+1); at an exact observation the
  // first column, which updates nothing, is left out.
  [[gnu::always_inline]] Real step(const double* z, Real* gain) {
    const int n = order();
    const Block<Real> U = u(), UQ = rq(), PHI = phi_();
    Real local[kM > 0 ? 2 * kM * (kM + 1) : 1];
    const Block<Real> b{kM > 0 ? local : work(), 2 * n};
    // U z (U upper triangular), so that f = |U z|^2 without cancellation.
    Real f = 0, trace = 0, zz = 0;
    KOVA_UNROLL
    for (int i = 1; i <= n; ++i) {
      Real sum = 0;
      KOVA_UNROLL
      for (int j = i; j <= n; ++j) sum += U(i, j) * z[j - 1];
      b(i, 1) = sum;
      b(n + i, 1) = 0;
      f += sum * sum;
      zz += static_cast<Real>(z[i - 1]) * z[i - 1];
    }
    KOVA_UNROLL
    for (int j = 1; j <= n; ++j)
      KOVA_UNROLL
      for (int i = 1; i <= j; ++i) trace += U(i, j) * U(i, j);
    const bool exact = f <= rule_.tol2 * zz * trace || static_cast<double>(f) <= rule_.floor;
    KOVA_UNROLL
    for (int j = 1; j <= n; ++j) {
      Real* bj = b.col(j + 1);
      // Column j of U PHI' over column j of UQ.
      KOVA_UNROLL
      for (int i = 1; i <= n; ++i) {
        Real sum = 0;
        if (kDiagonal) {
          if (i <= j) sum = U(i, j) * PHI(j, j);
        } else {
          KOVA_UNROLL
          for (int l = i; l <= n; ++l) sum += U(i, l) * PHI(j, l);
        }
        bj[i - 1] = sum;
        bj[n + i - 1] = i <= j ? UQ(i, j) : Real(0);
      }
    }
    if (exact) [[unlikely]] {
      const Block<Real> rest{b.col(2), b.ld};
      triangularize<2 * kM, kM, (kM > 0 ? kM + 1 : 0)>(rest, 2 * n, n, n + 1);
      std::fill_n(gain, n, Real(0));
      KOVA_UNROLL
      for (int j = 1; j <= n; ++j)
        KOVA_UNROLL
        for (int i = 1; i <= n; ++i) U(i, j) = i <= j ? rest(i, j) : Real(0);
      return 0;
    }
    triangularize<2 * kM, (kM > 0 ? kM + 1 : 0), kM>(b, 2 * n, n + 1, n);
    const Real r = b(1, 1);
    KOVA_UNROLL
    for (int i = 1; i <= n; ++i) gain[i - 1] = b(1, i + 1) / r;
    KOVA_UNROLL
    for (int j = 1; j <= n; ++j)
      KOVA_UNROLL
      for (int i = 1; i <= n; ++i) U(i, j) = i <= j ? b(i + 1, j + 1) : Real(0);
    return r * r;
  }

 private:
  Block<Real> u() const { return block(0); }
  Block<Real> rq() const { return block(1); }
  Block<Real> phi_() const { return block(2); }
  Real* work() const { return base() + 3 * order() * order(); }
};

// The same recursion in covariance form (section 4.3 as it stands): P(t)
// itself, with P(t+1) = PHI (P - P z z'P / f) PHI' + Q, symmetrised. About
// twice as fast as the square-root form (one division per period on its
// chain of dependent operations where the other has a square root and a
// division per column of its array), which matters in the likelihood's
// sweep; it loses the small variances of a nearly singular P(t) to
// cancellation, which the square-root form keeps. The same interface as
// RootFilter; the store (kM = 0) holds covarianceFilterSize(m) Reals.
inline long covarianceFilterSize(int m) { return 4L * m * m + 2L * m; }

template <class Real, int kM, bool kDiagonal>
class CovarianceFilter : public FilterArrays<Real, kM, (kM > 0 ? 4L * kM * kM + 2L * kM : 1)> {
  using Arrays = FilterArrays<Real, kM, (kM > 0 ? 4L * kM * kM + 2L * kM : 1)>;
  using Arrays::base;
  using Arrays::block;
  using Arrays::rule_;

 public:
  using Arrays::order;

  // From P(1) = p1 and Q = q.
  CovarianceFilter(Real* store, Mat phi, Mat p1, Mat q, ExactRule rule)
      : Arrays(store, phi.rows, rule) {
    const int m = order();
    KOVA_UNROLL
    for (int j = 1; j <= m; ++j)
      KOVA_UNROLL
      for (int i = 1; i <= m; ++i) {
        P()(i, j) = p1(i, j);
        Q()(i, j) = q(i, j);
        PHI()(i, j) = phi(i, j);
      }
  }

  [[gnu::always_inline]] void covariance(Mat p) const {
    const int n = order();
    KOVA_UNROLL
    for (int j = 1; j <= n; ++j)
      KOVA_UNROLL
      for (int i = 1; i <= n; ++i) p(i, j) = static_cast<double>(P()(i, j));
  }

  [[gnu::always_inline]] Real step(const double* z, Real* gain) {
    const int n = order();
    const Block<Real> p = P(), q = Q(), phi = PHI(), w = W();
    Real* pz = base() + 4 * n * n;
    Real* kv = pz + n;
    Real f = 0, zz = 0, trace = 0;
    KOVA_UNROLL
    for (int i = 1; i <= n; ++i) {
      Real sum = 0;
      KOVA_UNROLL
      for (int l = 1; l <= n; ++l) sum += p(i, l) * z[l - 1];
      pz[i - 1] = sum;
      f += z[i - 1] * sum;
      zz += static_cast<Real>(z[i - 1]) * z[i - 1];
      trace += p(i, i);
    }
    const bool exact = f <= rule_.tol2 * zz * trace || static_cast<double>(f) <= rule_.floor;
    if (exact) {
      f = 0;
      std::fill_n(gain, n, Real(0));
    } else {
      KOVA_UNROLL
      for (int i = 0; i < n; ++i) kv[i] = pz[i] / f;
      KOVA_UNROLL
      for (int j = 1; j <= n; ++j)
        KOVA_UNROLL
        for (int i = 1; i <= n; ++i) p(i, j) -= pz[i - 1] * kv[j - 1];
      KOVA_UNROLL
      for (int i = 1; i <= n; ++i) {
        Real sum = 0;
        if (kDiagonal) {
          sum = phi(i, i) * kv[i - 1];
        } else {
          KOVA_UNROLL
          for (int l = 1; l <= n; ++l) sum += phi(i, l) * kv[l - 1];
        }
        gain[i - 1] = sum;
      }
    }
    // P := PHI P PHI' + Q, its lower triangle, then symmetrised.
    if (kDiagonal) {
      KOVA_UNROLL
      for (int j = 1; j <= n; ++j)
        KOVA_UNROLL
        for (int i = j; i <= n; ++i) p(i, j) = q(i, j) + phi(i, i) * p(i, j) * phi(j, j);
    } else {
      KOVA_UNROLL
      for (int j = 1; j <= n; ++j)
        KOVA_UNROLL
        for (int i = 1; i <= n; ++i) {
          Real sum = 0;
          KOVA_UNROLL
          for (int l = 1; l <= n; ++l) sum += phi(i, l) * p(l, j);
          w(i, j) = sum;
        }
      KOVA_UNROLL
      for (int j = 1; j <= n; ++j)
        KOVA_UNROLL
        for (int i = j; i <= n; ++i) {
          Real sum = q(i, j);
          KOVA_UNROLL
          for (int l = 1; l <= n; ++l) sum += w(i, l) * phi(j, l);
          p(i, j) = sum;
        }
    }
    KOVA_UNROLL
    for (int j = 1; j <= n; ++j)
      KOVA_UNROLL
      for (int i = 1; i < j; ++i) p(i, j) = p(j, i);
    return f;
  }

 private:
  Block<Real> P() const { return block(0); }
  Block<Real> Q() const { return block(1); }
  Block<Real> PHI() const { return block(2); }
  Block<Real> W() const { return block(3); }
};

// The state recursion of one data column in period t: v(t) = y(t) -
// z(t)'a(t), returned, and next = a(t+1) = PHI a(t) + gain v(t), gain =
// PHI K(t) as the step gives it. next may not be a.
template <int kM, bool kDiagonal, class Real, class Phi, class Gain>
[[gnu::always_inline]] inline Real advanceState(int m, const Phi& phi, const double* z,
                                                const Gain* gain, Real datum, const Real* a,
                                                Real* next) {
  const int n = kM > 0 ? kM : m;
  KOVA_UNROLL
  for (int i = 0; i < n; ++i) datum -= z[i] * a[i];
  KOVA_UNROLL
  for (int i = 1; i <= n; ++i) {
    Real sum = gain[i - 1] * datum;
    if (kDiagonal) {
      sum += phi(i, i) * a[i - 1];
    } else {
      KOVA_UNROLL
      for (int l = 1; l <= n; ++l) sum += phi(i, l) * a[l - 1];
    }
    next[i - 1] = sum;
  }
  return datum;
}

// What a sweep keeps besides f and the innovations, where not null: the
// gains PHI K(t) (m x n), the predicted covariances P(t) (m x m x n) and
// the predicted states a(t) of the first data column (m x n).
struct SweepRecord {
  Mat k;
  double* p = nullptr;
  Mat states;
};

// The filter over the periods of z (m x n) with the innovations v (n x nc)
// of every column of data in the same sweep: f(t) into f, and what record
// asks for. filter: a RootFilter or CovarianceFilter at P(1); A, B: the
// states of the columns (m x nc each), gain: m.
template <int kM, bool kDiagonal, class Filter, class Real>
void filterSweep(Filter& filter, Mat phi, Mat z, Mat data, double* f, Mat v,
                 const SweepRecord& record, Real* A, Real* B, Real* gain) {
  const int m = kM > 0 ? kM : phi.rows, T = z.cols, nc = data.cols;
  const long mm = static_cast<long>(m) * m;
  std::fill_n(A, static_cast<long>(m) * nc, Real(0));
  for (int t = 1; t <= T; ++t) {
    const double* zt = z.col(t);
    if (record.p != nullptr)
      filter.covariance(Mat{record.p + mm * (t - 1), std::max(m, 1), m, m});
    if (record.states.p != nullptr)
      KOVA_UNROLL
      for (int i = 1; i <= m; ++i) record.states(i, t) = static_cast<double>(A[i - 1]);
    f[t - 1] = static_cast<double>(filter.step(zt, gain));
    if (record.k.p != nullptr)
      KOVA_UNROLL
      for (int i = 1; i <= m; ++i) record.k(i, t) = static_cast<double>(gain[i - 1]);
    // The states of period t+1 go to B, which then changes places with A
    // (no copy: this loop runs for every column, period and evaluation).
    for (int c = 0; c < nc; ++c) {
      const Real datum = data(t, c + 1);
      v(t, c + 1) = static_cast<double>(advanceState<kM, kDiagonal>(
          m, phi, zt, gain, datum, A + static_cast<long>(m) * c, B + static_cast<long>(m) * c));
    }
    std::swap(A, B);
  }
}

// The start of the recursion from double roots.

// u := the upper triangular root of the symmetric m x m a (U'U = A): the
// Cholesky steps with diagonal pivoting, stopped at the first pivot not
// above m u max A(i,i) (the rank rule of DCHDC) so that the rows beyond the
// numerical rank are zero rather than rounding noise, then the triangle of
// that root. work: m x m. False where A is indefinite beyond rounding: what
// the pivoting leaves has an entry above kIndefiniteTol max A(i,i).
constexpr double kIndefiniteTol = 1.0E-8;
bool rootOf(Mat a, Mat u, Mat work);

// root := its triangle R (R'R = root'root, upper triangular), in place:
// Householder steps, which keep the zero rows of a root of lower rank.
void triangleOf(Mat root);

}  // namespace kova::kalman
