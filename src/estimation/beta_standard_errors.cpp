#include "estimation/beta_standard_errors.h"

#include <algorithm>
#include <cmath>

#include "linalg/smoothed_state_variances.h"
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
    // G COV G' in extended precision: where the data fix BETA(t) closely
    // but PI poorly its terms are up to 1e12 times the sum.
    for (int i = 1; i <= K; ++i) {
      long double sum = 0.0L;
      for (int j = 1; j <= n; ++j)
        for (int l = 1; l <= n; ++l)
          sum += static_cast<long double>(G(i, j)) * in.cov(j, l) * G(i, l);
      out[i - 1] += static_cast<double>(sum);
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
  const FilterGains gains{a.f, a.gain, V};
  Scratch k = s;
  // The filter in extended precision where it asks for it (a singular DELTA
  // beside a root of PHI near 1), with the smoothing of XZ that follows it:
  // the map of XZ is wanted to the full precision of PI's covariance.
  const bool wide = kalmanGains(model, Mat{}, Mat{}, gains, k, kExactRootTol, 0.0, true);
  k = s;
  smoothedStateVariances(model, gains, V, k);
  if (in.cov.p != nullptr && n > 0) {
    for (int j = 1; j <= n; ++j) std::copy_n(in.xz.col(j), T, v.col(j));
    k = s;
    innovations(in.phi, in.tlx, gains, v, v, k, wide);
    for (int j = 1; j <= n; ++j) {
      k = s;
      if (wide)
        smoothStateWide(model, gains, v.col(j), column);
      else
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
      propagateCovariance(in.phi, in.delta, VF, a.w);
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
       {smoothedStateVariancesNeed(M, T), innovationsNeed(M, n), smoothStateNeed(M, T)})
    kernels.include(x);
  need.add(kernels);
  return need;
}

}  // namespace kova
