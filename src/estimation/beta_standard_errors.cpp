#include "estimation/beta_standard_errors.h"

#include <algorithm>
#include <cmath>

#include "linalg/blas1.h"
#include "linalg/linpack.h"
#include "linalg/state_space.h"

namespace kova {
namespace {

// c = a b (m x m).
void product(Mat a, Mat b, Mat c) {
  for (int j = 1; j <= c.cols; ++j)
    for (int i = 1; i <= c.rows; ++i) {
      double sum = 0.0;
      for (int l = 1; l <= a.cols; ++l) sum += a(i, l) * b(l, j);
      c(i, j) = sum;
    }
}

// root := R P' (m x m) with P'AP = R'R by the pivoted Cholesky steps (c:
// m x m work), the rows beyond the numerical rank zero: root'root = A.
void squareRoot(Mat a, Mat root, Mat c, double* work, int* jpvt) {
  const int m = a.rows;
  for (int j = 1; j <= m; ++j) std::copy_n(a.col(j), m, c.col(j));
  std::fill_n(jpvt, m, 0);
  int rank = 0;
  DCHDC(c.p, c.ld, m, work, jpvt, 1, rank);
  for (int k = 1; k <= m; ++k) {
    double* rk = root.col(jpvt[k - 1]);
    for (int i = 1; i <= m; ++i) rk[i - 1] = (i <= k && i <= rank) ? c(i, k) : 0.0;
  }
}

}  // namespace

void smoothedStateVariances(const StateSpaceModel& model, const FilterGains& gains, double* V,
                            Scratch& s) {
  const int m = model.phi.rows, n = model.z.cols;
  const long mm = static_cast<long>(m) * m;
  const int ld = std::max(m, 1);
  Scratch local = s;
  Mat N = local.mat(m, m), Lt = local.mat(m, m), w = local.mat(m, m), w2 = local.mat(m, m);
  Mat u = local.mat(m, m), uq = local.mat(m, m), b = local.mat(2 * m, m + 1);
  double* qraux = local.doubles(m + 1);
  double* qrWork = local.doubles(m + 1);
  int* jpvt = local.ints(m + 1);
  auto at = [&](int t) { return Mat{V + mm * (t - 1), ld, m, m}; };
  // The predicted covariances P(t) = U(t)'U(t), with U(t) from the array
  // [U z, U PHI'; 0, UQ] of the square-root filter: the covariance form
  // P - P z z'P / f cancels where the state is nearly known from the data
  // (a singular DELTA beside a root of PHI near 1), and V(t) below is a
  // small difference of P(t) and P(t) N(t-1) P(t) there.
  squareRoot(model.q, uq, w, qrWork, jpvt);
  squareRoot(model.p1, u, w, qrWork, jpvt);
  for (int t = 1; t <= n; ++t) {
    Mat Vt = at(t);
    for (int j = 1; j <= m; ++j)
      for (int i = 1; i <= m; ++i) Vt(i, j) = DDOT(m, u.col(i), 1, u.col(j), 1);
    const int first = gains.f[t - 1] > 0.0 ? 1 : 0;
    if (first == 1) {
      const double* z = model.z.col(t);
      for (int i = 1; i <= 2 * m; ++i) b(i, 1) = i <= m ? DDOT(m, u.p + (i - 1), u.ld, z, 1) : 0.0;
    }
    for (int j = 1; j <= m; ++j)
      for (int i = 1; i <= m; ++i) {
        b(i, j + first) = DDOT(m, u.p + (i - 1), u.ld, model.phi.p + (j - 1), model.phi.ld);
        b(m + i, j + first) = uq(i, j);
      }
    DQRDC(b.p, b.ld, 2 * m, m + first, qraux, jpvt, qrWork, 0);
    for (int j = 1; j <= m; ++j)
      for (int i = 1; i <= m; ++i) u(i, j) = i <= j ? b(i + first, j + first) : 0.0;
  }
  // Backward: N(t-1) from N(t), then V(t).
  for (int j = 1; j <= m; ++j) std::fill_n(N.col(j), m, 0.0);
  for (int t = n; t >= 1; --t) {
    const double f = gains.f[t - 1];
    const double* z = model.z.col(t);
    const double* k = gains.k.col(t);
    for (int j = 1; j <= m; ++j)
      for (int i = 1; i <= m; ++i)
        Lt(i, j) = model.phi(i, j) - (f > 0.0 ? k[i - 1] * z[j - 1] : 0.0);
    product(N, Lt, w);  // N L
    for (int j = 1; j <= m; ++j)
      for (int i = 1; i <= m; ++i) {
        double sum = f > 0.0 ? z[i - 1] * z[j - 1] / f : 0.0;
        for (int l = 1; l <= m; ++l) sum += Lt(l, i) * w(l, j);
        w2(i, j) = sum;
      }
    for (int j = 1; j <= m; ++j) std::copy_n(w2.col(j), m, N.col(j));
    Mat Vt = at(t);
    product(N, Vt, w);   // N P
    product(Vt, w, w2);  // P N P
    for (int j = 1; j <= m; ++j)
      for (int i = 1; i <= m; ++i) Vt(i, j) -= w2(i, j);
  }
}

ScratchNeed smoothedStateVariancesNeed(int m) {
  Scratch s;
  for (int i = 0; i < 6; ++i) s.mat(m, m);
  s.mat(2 * m, m + 1);
  s.doubles(m + 1);
  s.doubles(m + 1);
  s.ints(m + 1);
  return s.used();
}

namespace {

// One period's variances: se(:, col) = SIGMA**2 diag(L V L') + diag(G COV G'),
// G = Z - L D with z the period's P-vector and D (M x K*P) the smoother's
// map of XZ at the period (column j at d + M (j-1)); no G part without COV.
struct PeriodVariance {
  const BetaErrorInputs& in;
  Mat LV, G, GC;  // K x M, K x n, K x n
  void operator()(Mat V, const double* z, const double* d, double* out) {
    const int K = in.L.rows, M = in.L.cols, n = in.xz.cols, P = in.Z.rows;
    product(in.L, V, LV);
    for (int i = 1; i <= K; ++i) {
      double var = 0.0;
      for (int l = 1; l <= M; ++l) var += LV(i, l) * in.L(i, l);
      out[i - 1] = in.sigma2 * var;
    }
    if (in.cov.p == nullptr || n == 0) return;
    // Column j = (p-1)K + k of G: z_p e_k - L d_j.
    for (int j = 1; j <= n; ++j) {
      const double* dj = d + static_cast<long long>(M) * (j - 1);
      for (int i = 1; i <= K; ++i) {
        double sum = 0.0;
        for (int l = 1; l <= M; ++l) sum += in.L(i, l) * dj[l - 1];
        G(i, j) = -sum;
      }
      const int p = (j - 1) / K + 1, k = (j - 1) % K + 1;
      if (p <= P) G(k, j) += z[p - 1];
    }
    product(G, in.cov, GC);
    for (int i = 1; i <= K; ++i) {
      double sum = 0.0;
      for (int j = 1; j <= n; ++j) sum += GC(i, j) * G(i, j);
      out[i - 1] += sum;
    }
  }
};

// The arrays of betaStandardErrors, carved alike for the run and its need.
struct ErrorArrays {
  double* f;           // NUMT
  Mat gain;            // M x NUMT
  double* V;           // M x M x NUMT
  Mat v;               // NUMT x K*P: the innovations of XZ
  double* states;      // the smoother's map of XZ, period by period: M x K*P each
  Mat VF, w;           // M x M
  double *dF, *dNext;  // M x K*P
  Mat LV, G, GC;       // K x M, K x K*P, K x K*P
  Mat column;          // M x NUMT: one column's smoothed states
};

ErrorArrays carve(Scratch& s, const GroupDims& d) {
  const int M = d.M, T = d.NUMT, n = d.KP(), K = d.K;
  const long long mn = std::max(static_cast<long long>(M) * n, 1LL);
  ErrorArrays a;
  a.f = s.doubles(T);
  a.gain = s.mat(M, T);
  a.V = s.doubles(static_cast<long long>(M) * M * T);
  a.v = s.mat(T, n);
  a.states = s.doubles(mn * std::max(T, 1));
  a.VF = s.mat(M, M);
  a.w = s.mat(M, M);
  a.dF = s.doubles(mn);
  a.dNext = s.doubles(mn);
  a.LV = s.mat(K, M);
  a.G = s.mat(K, n);
  a.GC = s.mat(K, n);
  a.column = s.mat(M, T);
  return a;
}

}  // namespace

void propagateStateVariance(Mat phi, Mat delta, Mat V, Mat w) {
  const int m = phi.rows;
  product(phi, V, w);
  for (int j = 1; j <= m; ++j)
    for (int i = 1; i <= m; ++i) {
      double sum = delta(i, j);
      for (int l = 1; l <= m; ++l) sum += w(i, l) * phi(j, l);
      V(i, j) = sum;
    }
}

void betaStandardErrors(const BetaErrorInputs& in, Mat se, Scratch s) {
  const int M = in.phi.rows, T = in.tlx.cols, n = in.xz.cols, K = in.L.rows;
  const int TF = in.ZF.p != nullptr ? in.ZF.cols : 0;
  const long long mm = static_cast<long long>(M) * M, mn = static_cast<long long>(M) * n;
  const int ld = std::max(M, 1);
  ErrorArrays a = carve(s, GroupDims{T, TF, K, in.Z.rows, M});
  double *V = a.V, *states = a.states, *dF = a.dF, *dNext = a.dNext;
  Mat v = a.v, VF = a.VF, column = a.column;
  PeriodVariance variance{in, a.LV, a.G, a.GC};
  const StateSpaceModel model{in.phi, in.delta, in.gamma, in.tlx};
  const FilterGains gains{a.f, a.gain};
  Scratch k = s;
  kalmanGains(model, gains, k);
  k = s;
  smoothedStateVariances(model, gains, V, k);
  if (in.cov.p != nullptr && n > 0) {
    for (int j = 1; j <= n; ++j) std::copy_n(in.xz.col(j), T, v.col(j));
    k = s;
    innovations(in.phi, in.tlx, gains, v, v, k);
    for (int j = 1; j <= n; ++j) {
      k = s;
      smoothState(model, gains, v.col(j), column, k);
      for (int t = 1; t <= T; ++t)
        std::copy_n(column.col(t), M, states + mn * (t - 1) + static_cast<long long>(M) * (j - 1));
    }
  }
  for (int t = 1; t <= T; ++t)
    variance(Mat{V + mm * (t - 1), ld, M, M}, in.Z.col(t), states + mn * (t - 1), se.col(t));
  // The forecast periods from period T: V := PHI V PHI' + DELTA, D := PHI D.
  if (T >= 1 && TF >= 1) {
    const Mat last{V + mm * (T - 1), ld, M, M};
    for (int j = 1; j <= M; ++j) std::copy_n(last.col(j), M, VF.col(j));
    std::copy_n(states + mn * (T - 1), mn, dF);
    for (int h = 1; h <= TF; ++h) {
      propagateStateVariance(in.phi, in.delta, VF, a.w);
      for (int j = 0; j < n; ++j) {
        const double* from = dF + static_cast<long long>(M) * j;
        for (int i = 1; i <= M; ++i) {
          double sum = 0.0;
          for (int l = 1; l <= M; ++l) sum += in.phi(i, l) * from[l - 1];
          dNext[static_cast<long long>(M) * j + i - 1] = sum;
        }
      }
      std::copy_n(dNext, mn, dF);
      variance(VF, in.ZF.col(h), dF, se.col(T + h));
    }
  }
  for (int t = 1; t <= T + (T >= 1 ? TF : 0); ++t)
    for (int i = 1; i <= K; ++i) se(i, t) = std::sqrt(std::max(se(i, t), 0.0));
}

ScratchNeed betaStandardErrorsNeed(const GroupDims& d) {
  const int M = d.M, T = d.NUMT, n = d.KP();
  Scratch s;
  carve(s, d);
  ScratchNeed need = s.used();
  ScratchNeed kernels = kalmanGainsNeed(M);
  for (const ScratchNeed& x :
       {smoothedStateVariancesNeed(M), innovationsNeed(M, n), smoothStateNeed(M, T)})
    kernels.include(x);
  need.add(kernels);
  return need;
}

}  // namespace kova
