// The smoothed variances of the state, Var(e(t) | y), in square-root form.
//
// With P(t) = U(t)'U(t) the filter takes period t by one orthogonal
// triangularization of the array B(t) = [U z, U PHI'; 0, UQ] = W(t) R(t),
// R(t) = [sqrt f, sqrt f K'; 0, U(t+1)]. Writing W1, W2 and W3 for the top m
// rows of the columns of W(t) that belong to z (one column; none at an exact
// observation), to the m columns of PHI' and to the remaining ones, the
// array gives U L' = W2 U(t+1) and U z / sqrt f = W1, L(t) = PHI - K z'. The
// backward recursion of the smoother's N(t) then reads, in the coordinates
// of the roots, S(t) := I - U(t) N(t-1) U(t)' with
//     S(t) = W2 S(t+1) W2' + W3 W3',  S(n+1) = I,
// (the rows of W are orthonormal, W1 W1' + W2 W2' + W3 W3' = I), and
// V(t) = P(t) - P(t) N(t-1) P(t) = U(t)' S(t) U(t). Every term is a sum of
// squares: carried as a root of S(t), the recursion never subtracts, where
// the covariance form P - P N P cancels the more the better the data fix
// the state (with a singular Q beside a root of PHI near 1, N(t) grows with
// the products of the closed loop L(t) and all digits of V(t) can go).
#include <algorithm>
#include <cmath>
#include <vector>

#include "linalg/kalman_step.h"
#include "linalg/smoothed_state_variances.h"

namespace kova {
namespace {

// A column-major array of the working precision R.
template <class R>
struct Array {
  R* p;
  int ld;
  R& operator()(int i, int j) const { return p[(i - 1) + static_cast<long>(ld) * (j - 1)]; }
  R* col(int j) const { return p + static_cast<long>(ld) * (j - 1); }
};

// Householder reflections of the first `steps` columns of the rows x cols
// array b, applied to all its columns: on return b holds R (upper
// trapezoidal in those columns) and, in every later column c, W' c.
template <class R>
void reflect(Array<R> b, int rows, int steps, int cols) {
  for (int k = 1; k <= std::min(rows, steps); ++k) {
    R* bk = b.col(k);
    R scale = 0;
    for (int i = k; i <= rows; ++i) scale = std::max(scale, std::abs(bk[i - 1]));
    if (scale == 0) continue;
    R norm = 0;
    for (int i = k; i <= rows; ++i) {
      const R v = bk[i - 1] / scale;
      norm += v * v;
    }
    norm = scale * std::sqrt(norm);
    const R alpha = bk[k - 1] > 0 ? -norm : norm;
    bk[k - 1] -= alpha;
    const R vv = -alpha * bk[k - 1];  // v'v / 2
    for (int j = k + 1; j <= cols; ++j) {
      R* bj = b.col(j);
      R sum = 0;
      for (int i = k; i <= rows; ++i) sum += bk[i - 1] * bj[i - 1];
      const R c = sum / vv;
      for (int i = k; i <= rows; ++i) bj[i - 1] -= c * bk[i - 1];
    }
    bk[k - 1] = alpha;
    for (int i = k + 1; i <= rows; ++i) bk[i - 1] = 0;
  }
}

// u := a root of the non-negative definite m x m a (U'U = A) by Cholesky
// steps with diagonal pivoting, stopped at the numerical rank (a pivot not
// above m u max A(i,i)), so that the rows beyond it are zero rather than
// rounding noise; c is m x m work.
template <class R>
void rootOf(Mat a, Array<R> u, Array<R> c) {
  const int m = a.rows;
  R largest = 0;
  for (int j = 1; j <= m; ++j)
    for (int i = 1; i <= m; ++i) {
      c(i, j) = a(i, j);
      u(i, j) = 0;
    }
  for (int i = 1; i <= m; ++i) largest = std::max(largest, c(i, i));
  const R floor = m * static_cast<R>(0x1p-53) * largest;
  for (int k = 1; k <= m; ++k) {
    int pivot = 0;
    R top = floor;
    for (int i = 1; i <= m; ++i)
      if (c(i, i) > top) {
        top = c(i, i);
        pivot = i;
      }
    if (pivot == 0) break;
    const R root = std::sqrt(top);
    for (int j = 1; j <= m; ++j) u(k, j) = c(pivot, j) / root;
    for (int j = 1; j <= m; ++j)
      for (int i = 1; i <= m; ++i) c(i, j) -= u(k, i) * u(k, j);
    for (int i = 1; i <= m; ++i) c(pivot, i) = c(i, pivot) = 0;
  }
}

// Whether the smoother should work in extended precision: Q singular and
// PHI with a root near 1, where the filter's recursion for the roots is
// close to unstable in Q's null space (the filter's own rule).
bool wantsWide(Mat phi, const Array<double>& uq) {
  const int m = phi.rows;
  if (m == 0) return false;
  // |PHI^16| (Frobenius) at least 0.1: a root of about 0.87 and up.
  std::vector<double> a(static_cast<size_t>(m) * m), c(a.size());
  for (int j = 1; j <= m; ++j)
    for (int i = 1; i <= m; ++i) a[(i - 1) + m * (j - 1)] = phi(i, j);
  for (int step = 0; step < 4; ++step) {
    for (int j = 0; j < m; ++j)
      for (int i = 0; i < m; ++i) {
        double sum = 0.0;
        for (int l = 0; l < m; ++l) sum += a[i + m * l] * a[l + m * j];
        c[i + m * j] = sum;
      }
    a.swap(c);
  }
  double norm = 0.0;
  for (double v : a) norm += v * v;
  if (norm < 0.01) return false;
  // The triangle of the root of Q: its smallest diagonal against the largest.
  std::vector<double> t(static_cast<size_t>(m) * m);
  for (int j = 1; j <= m; ++j)
    for (int i = 1; i <= m; ++i) t[(i - 1) + m * (j - 1)] = uq(i, j);
  reflect(Array<double>{t.data(), m}, m, m, m);
  double largest = 0.0, smallest = 0.0;
  for (int i = 0; i < m; ++i) {
    const double d = std::abs(t[i + m * i]);
    largest = std::max(largest, d);
    smallest = i == 0 ? d : std::min(smallest, d);
  }
  return smallest * smallest <= m * 0x1p-53 * largest * largest;
}

template <class R>
struct Sweep {
  int m, n;
  std::vector<R> store;
  Array<R> phi, uq, b, e, sigma, su;
  std::vector<R> roots;  // U(t), m x m x n

  Sweep(const StateSpaceModel& model)
      : m(model.phi.rows),
        n(model.z.cols),
        store(static_cast<size_t>(m) * m * 5 + static_cast<size_t>(2 * m) * (3 * m + 1) +
              static_cast<size_t>(2 * m) * m),
        roots(static_cast<size_t>(m) * m * std::max(n, 0)) {
    const int ld = std::max(m, 1);
    R* p = store.data();
    auto take = [&](long size) {
      R* q = p;
      p += size;
      return q;
    };
    const long mm = static_cast<long>(m) * m;
    phi = {take(mm), ld};
    uq = {take(mm), ld};
    sigma = {take(mm), ld};
    su = {take(mm), ld};
    Array<R> work{take(mm), ld};
    b = {take(2L * m * (3 * m + 1)), std::max(2 * m, 1)};
    e = {take(2L * m * m), std::max(2 * m, 1)};
    for (int j = 1; j <= m; ++j)
      for (int i = 1; i <= m; ++i) phi(i, j) = model.phi(i, j);
    rootOf(model.q, uq, work);
    rootOf(model.p1, root(1), work);
  }

  Array<R> root(int t) {
    return {roots.data() + static_cast<size_t>(m) * m * (t - 1), std::max(m, 1)};
  }

  // B(t) from U(t), reflected; with the identity [I; 0] appended when
  // withRows (its columns then hold the top rows of W(t), transposed).
  // Returns the number of columns of z (0 or 1).
  int step(const double* zt, bool exact, Array<R> u, bool withRows) {
    const int first = exact ? 0 : 1, cols = first + m + (withRows ? m : 0);
    if (!exact)
      for (int i = 1; i <= 2 * m; ++i) {
        R sum = 0;
        if (i <= m)
          for (int j = 1; j <= m; ++j) sum += u(i, j) * zt[j - 1];
        b(i, 1) = sum;
      }
    for (int j = 1; j <= m; ++j) {
      R* bj = b.col(j + first);
      for (int i = 1; i <= m; ++i) {
        R sum = 0;
        for (int l = 1; l <= m; ++l) sum += u(i, l) * phi(j, l);
        bj[i - 1] = sum;
        bj[m + i - 1] = uq(i, j);
      }
      if (withRows) {
        R* ij = b.col(first + m + j);
        for (int i = 1; i <= 2 * m; ++i) ij[i - 1] = i == j ? 1 : 0;
      }
    }
    reflect(b, 2 * m, first + m, cols);
    return first;
  }

  void run(const StateSpaceModel& model, const FilterGains& gains, double* V) {
    const long mm = static_cast<long>(m) * m;
    for (int t = 1; t < n; ++t) {
      const int first = step(model.z.col(t), gains.f[t - 1] == 0.0, root(t), false);
      const Array<R> next = root(t + 1);
      for (int j = 1; j <= m; ++j)
        for (int i = 1; i <= m; ++i) next(i, j) = i <= j ? b(i + first, j + first) : 0;
    }
    // The root of S(n+1) = I.
    for (int j = 1; j <= m; ++j)
      for (int i = 1; i <= m; ++i) sigma(i, j) = i == j ? 1 : 0;
    for (int t = n; t >= 1; --t) {
      const Array<R> u = root(t);
      const int first = step(model.z.col(t), gains.f[t - 1] == 0.0, u, true);
      // E = [SIGMA W2'; W3'] (2m - first rows), W2' and W3' the rows first+1..
      // of the appended columns; its triangle is the root of S(t).
      const int rows = 2 * m - first;
      for (int j = 1; j <= m; ++j) {
        const R* wj = b.col(first + m + j);
        for (int i = 1; i <= m; ++i) {
          R sum = 0;
          for (int l = i; l <= m; ++l) sum += sigma(i, l) * wj[first + l - 1];
          e(i, j) = sum;
        }
        for (int i = m + 1; i <= rows; ++i) e(i, j) = wj[first + i - 1];
      }
      reflect(e, rows, m, m);
      for (int j = 1; j <= m; ++j)
        for (int i = 1; i <= m; ++i) sigma(i, j) = i <= j ? e(i, j) : 0;
      // V(t) = (SIGMA U)'(SIGMA U).
      for (int j = 1; j <= m; ++j)
        for (int i = 1; i <= m; ++i) {
          R sum = 0;
          for (int l = i; l <= m; ++l) sum += sigma(i, l) * u(l, j);
          su(i, j) = sum;
        }
      const Mat vt{V + mm * (t - 1), std::max(m, 1), m, m};
      for (int j = 1; j <= m; ++j)
        for (int i = 1; i <= j; ++i) {
          R sum = 0;
          for (int l = 1; l <= m; ++l) sum += su(l, i) * su(l, j);
          vt(i, j) = vt(j, i) = static_cast<double>(sum);
        }
    }
  }
};

// The sweep above for an order M fixed at compile time (1..6), in double:
// one forward run of the filter's triangularizations that keeps, per
// period, U(t) and the top rows of W(t) it needs, then the backward
// recursion for the roots of S(t) from those, all in fixed arrays. The
// reflections of B(t) run only over the rows that can be nonzero: the
// column of z over the top m rows, the k-th column of PHI' over those and
// the first k rows of the root of Q, taken upper triangular (the rows below
// are zero in B and stay zero under the earlier reflections).
template <int M>
class FixedSweep {
 public:
  // store: kStore * n doubles of work.
  static constexpr long kStore = 3L * M * M;
  FixedSweep(const StateSpaceModel& model, const double (&uqRoot)[M][M], double* store)
      : n_(model.z.cols), roots_(store), rows_(store + static_cast<long>(M) * M * n_) {
    KOVA_UNROLL
    for (int j = 0; j < M; ++j) {
      KOVA_UNROLL
      for (int i = 0; i < M; ++i) {
        phi_[j][i] = model.phi(i + 1, j + 1);
        uq_[j][i] = uqRoot[j][i];
      }
    }
    diagonal_ = kalman::isDiagonal(model.phi);
    double work[M * M];
    rootOf(model.p1, Array<double>{roots_, M}, Array<double>{work, M});
    // Every U(t) upper triangular: the first one as the R of its QR.
    reflect(Array<double>{roots_, M}, M, M, M);
  }

  void run(const StateSpaceModel& model, const FilterGains& gains, double* V) {
    for (int t = 1; t <= n_; ++t) {
      if (gains.f[t - 1] == 0.0)
        forward<0>(model.z.col(t), t);
      else
        forward<1>(model.z.col(t), t);
    }
    double sigma[M][M] = {};
    KOVA_UNROLL
    for (int i = 0; i < M; ++i) sigma[i][i] = 1;
    for (int t = n_; t >= 1; --t) {
      if (gains.f[t - 1] == 0.0)
        backward<0>(t, sigma);
      else
        backward<1>(t, sigma);
      variance(t, sigma, V + static_cast<long>(M) * M * (t - 1));
    }
  }

 private:
  static constexpr int kRows = 2 * M;

  double* root(int t) { return roots_ + static_cast<long>(M) * M * (t - 1); }
  double* topRows(int t) { return rows_ + static_cast<long>(2 * M) * M * (t - 1); }

  // One Householder reflection of column k (0-based) of the cols x kRows
  // array b over its rows k..last, applied to the later columns.
  template <int Cols, int Rows>
  static void reflectColumn(double (&b)[Cols][Rows], int k, int last) {
    double* bk = b[k];
    double squares = 0;
    for (int i = k; i <= last; ++i) squares += bk[i] * bk[i];
    if (squares == 0) {
      bool zero = true;
      for (int i = k; i <= last; ++i) zero = zero && bk[i] == 0;
      if (zero) return;
    }
    double norm = std::sqrt(squares);
    if (!(squares >= 0x1p-900 && squares <= 0x1p900)) {
      // Scaled, where the squares may underflow or overflow.
      double scale = 0;
      for (int i = k; i <= last; ++i) scale = std::max(scale, std::abs(bk[i]));
      double sum = 0;
      for (int i = k; i <= last; ++i) {
        const double v = bk[i] / scale;
        sum += v * v;
      }
      norm = scale * std::sqrt(sum);
    }
    const double alpha = bk[k] > 0 ? -norm : norm;
    bk[k] -= alpha;
    const double inverse = 1 / (-alpha * bk[k]);  // 2 / v'v
    KOVA_UNROLL
    for (int j = k + 1; j < Cols; ++j) {
      double* bj = b[j];
      double sum = 0;
      for (int i = k; i <= last; ++i) sum += bk[i] * bj[i];
      const double c = sum * inverse;
      for (int i = k; i <= last; ++i) bj[i] -= c * bk[i];
    }
    bk[k] = alpha;
    for (int i = k + 1; i <= last; ++i) bk[i] = 0;
  }

  // B(t) with the identity [I; 0] appended, reflected; keeps U(t+1) and the
  // rows First+1..2m of the appended columns (W2' over W3').
  template <int First>
  void forward(const double* zt, int t) {
    constexpr int cols = First + 2 * M;
    double b[cols][kRows];
    const double* u = root(t);  // column-major, u[i + M j]
    if (First == 1) {
      KOVA_UNROLL
      for (int i = 0; i < M; ++i) {
        double sum = 0;
        KOVA_UNROLL
        for (int j = i; j < M; ++j) sum += u[i + M * j] * zt[j];
        b[0][i] = sum;
      }
    }
    KOVA_UNROLL
    for (int j = 0; j < M; ++j) {
      double* bj = b[First + j];
      double* ij = b[First + M + j];
      KOVA_UNROLL
      for (int i = 0; i < M; ++i) {
        if (diagonal_) {
          bj[i] = i <= j ? u[i + M * j] * phi_[j][j] : 0;
        } else {
          double sum = 0;
          KOVA_UNROLL
          for (int l = i; l < M; ++l) sum += u[i + M * l] * phi_[l][j];
          bj[i] = sum;
        }
        ij[i] = i == j ? 1 : 0;
      }
      KOVA_UNROLL
      for (int i = 0; i < M; ++i) {
        bj[M + i] = uq_[j][i];
        ij[M + i] = 0;
      }
    }
    if (First == 1) {
      KOVA_UNROLL
      for (int i = 0; i < M; ++i) b[0][M + i] = 0;
    }
    KOVA_UNROLL
    for (int k = 0; k < First + M; ++k) reflectColumn(b, k, M + k - First);
    if (t < n_) {
      double* next = root(t + 1);
      KOVA_UNROLL
      for (int j = 0; j < M; ++j) {
        KOVA_UNROLL
        for (int i = 0; i < M; ++i) next[i + M * j] = i <= j ? b[First + j][First + i] : 0;
      }
    }
    double* w = topRows(t);
    KOVA_UNROLL
    for (int j = 0; j < M; ++j) {
      KOVA_UNROLL
      for (int i = 0; i < kRows - First; ++i) w[i + kRows * j] = b[First + M + j][First + i];
    }
  }

  // SIGMA := the root of S(t) = W2 S(t+1) W2' + W3 W3', the triangle of
  // E = [SIGMA W2'; W3'].
  template <int First>
  void backward(int t, double (&sigma)[M][M]) {
    constexpr int rows = kRows - First;
    const double* w = topRows(t);
    double e[M][rows];
    KOVA_UNROLL
    for (int j = 0; j < M; ++j) {
      const double* wj = w + kRows * j;
      KOVA_UNROLL
      for (int i = 0; i < M; ++i) {
        double sum = 0;
        KOVA_UNROLL
        for (int l = i; l < M; ++l) sum += sigma[l][i] * wj[l];
        e[j][i] = sum;
      }
      KOVA_UNROLL
      for (int i = M; i < rows; ++i) e[j][i] = wj[i];
    }
    KOVA_UNROLL
    for (int k = 0; k < M; ++k) reflectColumn(e, k, rows - 1);
    KOVA_UNROLL
    for (int j = 0; j < M; ++j) {
      KOVA_UNROLL
      for (int i = 0; i < M; ++i) sigma[j][i] = i <= j ? e[j][i] : 0;
    }
  }

  // V(t) = (SIGMA U)'(SIGMA U), both factors upper triangular.
  void variance(int t, const double (&sigma)[M][M], double* vt) {
    const double* u = root(t);
    double su[M][M];
    KOVA_UNROLL
    for (int j = 0; j < M; ++j) {
      KOVA_UNROLL
      for (int i = 0; i < M; ++i) {
        double sum = 0;
        KOVA_UNROLL
        for (int l = i; l <= j; ++l) sum += sigma[l][i] * u[l + M * j];
        su[j][i] = sum;
      }
    }
    KOVA_UNROLL
    for (int j = 0; j < M; ++j) {
      KOVA_UNROLL
      for (int i = 0; i <= j; ++i) {
        double sum = 0;
        KOVA_UNROLL
        for (int l = 0; l <= i; ++l) sum += su[i][l] * su[j][l];
        vt[i + M * j] = vt[j + M * i] = sum;
      }
    }
  }

  int n_;
  bool diagonal_;
  double phi_[M][M];  // phi_[j][i] = PHI(i, j)
  double uq_[M][M];   // uq_[j][i] = UQ(i, j)
  double* roots_;     // U(t), m x m x n
  double* rows_;      // the kept rows of W(t)', 2m x m x n
};
}  // namespace

ScratchNeed smoothedStateVariancesNeed(int m, int n) {
  ScratchNeed need;
  if (m >= 1 && m <= 6) need.doubles = 3LL * m * m * std::max(n, 0);
  return need;
}

void smoothedStateVariances(const StateSpaceModel& model, const FilterGains& gains, double* V,
                            Scratch& s) {
  const int m = model.phi.rows, n = model.z.cols;
  if (m == 0 || n == 0) return;
  const bool fixed = kalman::byOrder(m, [&](auto order) {
    constexpr int M = decltype(order)::value;
    if constexpr (M == 0) {
      return false;
    } else {
      double uq[M][M], work[M * M];
      rootOf(model.q, Array<double>{&uq[0][0], M}, Array<double>{work, M});
      if (wantsWide(model.phi, Array<double>{&uq[0][0], M})) return false;
      // The pivoted root made upper triangular (the R of its QR, a root of
      // Q too), for the rows the reflections may skip.
      reflect(Array<double>{&uq[0][0], M}, M, M, M);
      // The work from the scratch when it holds it (the need above), else
      // from the heap.
      const long size = FixedSweep<M>::kStore * n;
      std::vector<double> heap;
      Scratch k = s;
      double* store = nullptr;
      if (!k.counting() && k.doublesLeft() >= size) {
        store = k.doubles(size);
      } else {
        heap.resize(static_cast<size_t>(size));
        store = heap.data();
      }
      FixedSweep<M>(model, uq, store).run(model, gains, V);
      return true;
    }
  });
  if (fixed) return;
  Sweep<double> plain(model);
  if (wantsWide(model.phi, plain.uq)) {
    Sweep<long double>(model).run(model, gains, V);
    return;
  }
  plain.run(model, gains, V);
}

void smoothStateWide(const StateSpaceModel& model, const FilterGains& gains, const double* v,
                     Mat eps) {
  using R = long double;
  const int m = model.phi.rows, n = model.z.cols;
  if (m == 0 || n == 0) return;
  std::vector<R> rs(static_cast<size_t>(m) * (n + 1), 0), e(static_cast<size_t>(m) * n), next(m);
  auto r = [&](int t) { return rs.data() + static_cast<size_t>(m) * t; };  // r(t), t = 0..n
  for (int t = n; t >= 1; --t) {
    const R* rt = r(t);
    R* prev = r(t - 1);
    for (int j = 1; j <= m; ++j) {
      R sum = 0;
      for (int i = 1; i <= m; ++i) sum += static_cast<R>(model.phi(i, j)) * rt[i - 1];
      prev[j - 1] = sum;
    }
    const double ft = gains.f[t - 1];
    if (ft != 0.0) {
      R c = static_cast<R>(v[t - 1]) / ft;
      for (int i = 0; i < m; ++i) c -= static_cast<R>(gains.k(i + 1, t)) * rt[i];
      for (int i = 0; i < m; ++i) prev[i] += static_cast<R>(model.z(i + 1, t)) * c;
    }
  }
  for (int t = 1; t <= n; ++t) {
    R* et = e.data() + static_cast<size_t>(m) * (t - 1);
    for (int i = 1; i <= m; ++i) {
      R sum = 0;
      if (t == 1) {
        for (int l = 1; l <= m; ++l) sum += static_cast<R>(model.p1(i, l)) * r(0)[l - 1];
      } else {
        const R* ep = et - m;
        for (int l = 1; l <= m; ++l)
          sum += static_cast<R>(model.phi(i, l)) * ep[l - 1] +
                 static_cast<R>(model.q(i, l)) * r(t - 1)[l - 1];
      }
      et[i - 1] = sum;
    }
    for (int i = 1; i <= m; ++i) eps(i, t) = static_cast<double>(et[i - 1]);
  }
}

}  // namespace kova
