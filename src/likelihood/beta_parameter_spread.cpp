#include "likelihood/beta_parameter_spread.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "linalg/eispack.h"
#include "linalg/kalman_step.h"
#include "linalg/linpack.h"
#include "linalg/state_space.h"
#include "solvers/definiteness.h"

namespace kova {
namespace {

constexpr double kRootTol = 1.0E-8;

struct SpreadArrays {
  Mat phi, delta, gamma;  // theta^ or a draw, and its GAMMA
  Mat u, ud, x, w;        // M x M: the factor of DELTA, of the draw, work
  Mat factorSteps;        // M*M x count: dU of each direction
  Mat beta, base;         // K x (NUMT + TF): b at the draw and at theta^
  Mat mse, smooth0;       // K x (NUMT + TF): the sum over draws; the smoothing part at theta^
  double* pivect;         // K*P
  double* f;              // NUMT
  Mat gain, eps;          // M x NUMT
  double* residual;       // NUMT: the innovations of y - XZ PIVECT
  Mat innov;              // NUMT x (K*P + 1): those of [XZ y]
  double *state, *next;   // M
  double* V;              // M x M x NUMT
  Mat vf;                 // M x M
  double* lt;             // K x M: L's rows, each contiguous
  double* piBase;         // K*P: PIVECT at theta^
  Mat piSum, info, chol;  // K*P x K*P; chol: the triangle of the whitened XZ
  bool rooted = false;    // chol holds it (every row noisy)
  double *wr, *wi;        // M: PHI's eigenvalues
  Mat eigA, eigZ;         // M x M
};

SpreadArrays carve(Scratch& s, const GroupDims& d) {
  const int M = d.M, T = d.NUMT, K = d.K, periods = T + d.TF;
  SpreadArrays a;
  a.phi = s.mat(M, M);
  a.delta = s.mat(M, M);
  a.gamma = s.mat(M, M);
  a.u = s.mat(M, M);
  a.ud = s.mat(M, M);
  a.x = s.mat(M, M);
  a.w = s.mat(M, M);
  a.factorSteps = s.mat(M * M, mlSpreadColumns(M));
  a.beta = s.mat(K, periods);
  a.base = s.mat(K, periods);
  a.mse = s.mat(K, periods);
  a.smooth0 = s.mat(K, periods);
  a.pivect = s.doubles(d.KP());
  a.f = s.doubles(T);
  a.gain = s.mat(M, T);
  a.eps = s.mat(M, T);
  a.residual = s.doubles(T);
  a.innov = s.mat(T, d.KP() + 1);
  a.state = s.doubles(M);
  a.next = s.doubles(M);
  a.V = s.doubles(static_cast<long long>(M) * M * T);
  a.vf = s.mat(M, M);
  a.lt = s.doubles(static_cast<long long>(K) * M);
  const int n = d.KP();
  a.piBase = s.doubles(n);
  a.piSum = s.mat(n, n);
  a.info = s.mat(n, n);
  a.chol = s.mat(n, n);
  a.wr = s.doubles(M);
  a.wi = s.doubles(M);
  a.eigA = s.mat(M, M);
  a.eigZ = s.mat(M, M);
  return a;
}

void fill(Mat a, double v) {
  for (int j = 1; j <= a.cols; ++j) std::fill_n(a.col(j), a.rows, v);
}

// c = a' b (trans) or a b, square.
void product(Mat a, Mat b, Mat c, bool transA = false) {
  const int m = c.rows;
  for (int j = 1; j <= m; ++j)
    for (int i = 1; i <= m; ++i) {
      double sum = 0.0;
      for (int l = 1; l <= m; ++l) sum += (transA ? a(l, i) : a(i, l)) * b(l, j);
      c(i, j) = sum;
    }
}

// a = u'u, u upper triangular (LINPACK's Cholesky factor without
// pivoting); false when a pivot is not positive. work: M.
bool choleskyUpper(Mat a, Mat u, double* work) {
  const int m = a.rows;
  for (int j = 1; j <= m; ++j)
    for (int i = 1; i <= m; ++i) u(i, j) = i <= j ? a(i, j) : 0.0;
  int info = 0;
  DCHDC(u.p, u.ld, m, work, nullptr, 0, info);
  return info == m;
}

// The directions of the factor: dU = Phi(X) U, X = U^-T dDELTA U^-1, per
// column. X is formed as U^-T (U^-T dDELTA)' (dDELTA is symmetric), column
// by column through LINPACK's triangular solver. False when DELTA is not
// positive definite (DELTA is then drawn itself).
bool factorDirections(const SpreadInputs& in, SpreadArrays& a) {
  const int M = in.delta.rows;
  if (!choleskyUpper(in.delta, a.u, a.state)) return false;
  int info = 0;
  for (int l = 1; l <= in.count; ++l) {
    const Mat dd{in.spread.col(l) + M * M, M, M, M};
    for (int j = 1; j <= M; ++j) {
      std::copy_n(dd.col(j), M, a.x.col(j));
      DTRSL(a.u.p, a.u.ld, M, a.x.col(j), 11, info);  // U^-T dDELTA
    }
    for (int j = 1; j <= M; ++j) {
      for (int i = 1; i <= M; ++i) a.w(i, j) = a.x(j, i);
      DTRSL(a.u.p, a.u.ld, M, a.w.col(j), 11, info);  // X
    }
    for (int j = 1; j <= M; ++j)
      for (int i = 1; i <= M; ++i) a.x(i, j) = i < j ? a.w(i, j) : i == j ? 0.5 * a.w(i, i) : 0.0;
    product(a.x, a.u, Mat{a.factorSteps.col(l), M, M, M});
  }
  return true;
}

// A DELTA that is not positive definite (a full DELTA held at a lower rank)
// is drawn itself; the directions that turn its null space take the draw
// out of the non-negative definite matrices at first order. The draw is
// replaced by the nearest non-negative definite matrix (its negative
// eigenvalues set to 0), which moves it by a second-order amount only.
bool nearestSemidefinite(SpreadArrays& a) {
  const int M = a.delta.rows;
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) a.x(i, j) = 0.5 * (a.delta(i, j) + a.delta(j, i));
  TRED2(a.x.ld, M, a.x.p, a.wr, a.wi, a.eigZ.p);
  int ierr = 0;
  TQL2(a.eigZ.ld, M, a.wr, a.wi, a.eigZ.p, ierr);
  if (ierr != 0) return false;
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) {
      double sum = 0.0;
      for (int l = 1; l <= M; ++l) sum += a.eigZ(i, l) * std::max(a.wr[l - 1], 0.0) * a.eigZ(j, l);
      a.delta(i, j) = sum;
    }
  return true;
}

// a.phi and a.delta at theta^ + sum_l z_l c_l; a drawn DELTA that is not
// non-negative definite is moved to the nearest one that is.
bool drawAt(const SpreadInputs& in, bool factored, const double* z, SpreadArrays& a) {
  const int M = in.phi.rows;
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) {
      const int e = (j - 1) * M + i;
      double p = in.phi(i, j), d = factored ? a.u(i, j) : in.delta(i, j);
      for (int l = 1; l <= in.count; ++l) {
        p += z[l - 1] * in.spread(e, l);
        d += z[l - 1] * (factored ? a.factorSteps(e, l) : in.spread(M * M + e, l));
      }
      a.phi(i, j) = p;
      (factored ? a.ud : a.delta)(i, j) = d;
    }
  if (factored) {
    product(a.ud, a.ud, a.delta, true);
    return true;
  }
  return nearestSemidefinite(a);
}

// PHI of the draw (a.phi) is stationary: every eigenvalue of modulus below
// 1. A draw beyond has no stationary covariance (the geometric sums of
// GAMMA's equation diverge, and a diagonal PHI would give a negative one
// that the filter need not notice, with variances growing without bound
// over the periods): it is dropped.
bool stationaryDraw(SpreadArrays& a, Scratch s) {
  const int M = a.phi.rows;
  for (int j = 1; j <= M; ++j) std::copy_n(a.phi.col(j), M, a.eigA.col(j));
  int ierr = 0;
  EIGENR(a.eigA, a.wr, a.wi, a.eigZ, s, ierr);
  if (ierr != 0) return false;
  for (int i = 0; i < M; ++i)
    if (!(std::hypot(a.wr[i], a.wi[i]) < 1.0)) return false;
  return true;
}

// b (K x (NUMT + TF)) at a.phi, a.delta, with the filter left in a.f,
// a.gain and GAMMA in a.gamma; false where the point has no likelihood.
bool betaAt(const SpreadInputs& in, SpreadArrays& a, Mat b, Scratch s) {
  const int M = in.phi.rows, T = in.data.tlx.cols, n = in.data.xz.cols;
  const int K = in.L.rows, P = in.Z.rows, TF = b.cols - T;
  const FilterGains gains{a.f, a.gain, a.V};
  ProfileOutputs outputs;
  outputs.pivect = a.pivect;
  outputs.gamma = a.gamma;
  outputs.gains = &gains;
  outputs.innovations = a.innov;
  outputs.designRoot = a.chol;
  const LikelihoodTerms terms = profileLikelihood(in.data, a.phi, a.delta, s, outputs);
  a.rooted = outputs.designRooted;
  if (!terms.valid) return false;
  // The innovations of the residual y - XZ PIVECT, by the filter's
  // linearity from those of [XZ y].
  for (int t = 1; t <= T; ++t) {
    double r = a.innov(t, n + 1);
    for (int j = 1; j <= n; ++j) r -= a.innov(t, j) * a.pivect[j - 1];
    a.residual[t - 1] = r;
  }
  const StateSpaceModel model{a.phi, a.delta, a.gamma, in.data.tlx};
  Scratch k = s;
  smoothState(model, gains, a.residual, a.eps, k);
  auto period = [&](const double* z, const double* eps, double* out) {
    for (int kk = 1; kk <= K; ++kk) {
      double sum = 0.0;
      for (int p = 1; p <= P; ++p) sum += a.pivect[(p - 1) * K + kk - 1] * z[p - 1];
      for (int m = 1; m <= M; ++m) sum += in.L(kk, m) * eps[m - 1];
      out[kk - 1] = sum;
    }
  };
  // The periods with the order fixed at compile time (the same sums).
  kalman::byOrder(M, [&](auto order) {
    constexpr int kM = decltype(order)::value;
    const int m = kM > 0 ? kM : M;
    for (int t = 1; t <= T; ++t) {
      const double* z = in.Z.col(t);
      const double* eps = a.eps.col(t);
      double* out = b.col(t);
      for (int kk = 1; kk <= K; ++kk) {
        double sum = 0.0;
        for (int p = 1; p <= P; ++p) sum += a.pivect[(p - 1) * K + kk - 1] * z[p - 1];
        KOVA_UNROLL
        for (int l = 1; l <= m; ++l) sum += in.L(kk, l) * eps[l - 1];
        out[kk - 1] = sum;
      }
    }
  });
  if (T >= 1) std::copy_n(a.eps.col(T), M, a.state);
  for (int h = 1; h <= TF; ++h) {
    for (int i = 1; i <= M; ++i) {
      double sum = 0.0;
      for (int l = 1; l <= M; ++l) sum += a.phi(i, l) * a.state[l - 1];
      a.next[i - 1] = sum;
    }
    std::copy_n(a.next, M, a.state);
    period(in.ZF.col(h), a.state, b.col(T + h));
  }
  return true;
}

// sum += SIGMA**2 diag(L V(t) L') + (b - base)^2 at the point betaAt left
// (V from its filter; the forecast periods V := PHI V PHI' + DELTA).
void addSmoothing(const SpreadInputs& in, SpreadArrays& a, Mat b, Mat base, Mat sum, Scratch s) {
  const int M = in.phi.rows, T = in.data.tlx.cols, K = in.L.rows, TF = b.cols - T;
  // The smoother's variances from the likelihood's own filter (its f(t),
  // gains and P(t), kept by betaAt).
  const StateSpaceModel model{a.phi, a.delta, a.gamma, in.data.tlx};
  const FilterGains gains{a.f, a.gain, a.V};
  smoothedStateVariances(model, gains, a.V, s);
  // The rows of L, contiguous (L' column by column).
  double* lt = a.lt;
  for (int k = 1; k <= K; ++k)
    for (int i = 1; i <= M; ++i) lt[(k - 1) * M + i - 1] = in.L(k, i);
  // The order m fixed at compile time for the small orders, so that the
  // period's m x m loops unroll.
  kalman::byOrder(M, [&](auto order) {
    constexpr int kM = decltype(order)::value;
    const int m = kM > 0 ? kM : M;
    auto add = [&](Mat V, int t) {
      const double* bt = b.col(t);
      const double* baset = base.col(t);
      double* sumt = sum.col(t);
      for (int k = 0; k < K; ++k) {
        const double* lk = lt + k * m;
        double var = 0.0;
        KOVA_UNROLL
        for (int j = 0; j < m; ++j) {
          const double* vj = V.col(j + 1);
          double lv = 0.0;  // (L V)(k, j)
          KOVA_UNROLL
          for (int i = 0; i < m; ++i) lv += lk[i] * vj[i];
          var += lv * lk[j];
        }
        const double move = bt[k] - baset[k];
        sumt[k] += in.sigma2 * var + move * move;
      }
    };
    const long long mm = static_cast<long long>(m) * m;
    const int ld = kM > 0 ? kM : std::max(M, 1);
    for (int t = 1; t <= T; ++t) add(Mat{a.V + mm * (t - 1), ld, m, m}, t);
    if (T < 1 || TF < 1) return;
    const Mat last{a.V + mm * (T - 1), ld, m, m};
    for (int j = 1; j <= m; ++j) std::copy_n(last.col(j), m, a.vf.col(j));
    for (int h = 1; h <= TF; ++h) {
      propagateCovariance(a.phi, a.delta, a.vf, a.w);
      add(a.vf, T + h);
    }
  });
}

// COV at the point betaAt left, SIGMA**2 (XZ' YSIGMA^-1 XZ)^-1, inverted
// through the triangle R of the whitened XZ that its profile left in
// a.chol (R'R = XZ' YSIGMA^-1 XZ): R^-1 R^-T column by column. False
// (a.info undefined) where it cannot be formed this way: PI restriction
// rows, an exact observation, a singular information.
bool conditionalPiCovariance(const SpreadInputs& in, SpreadArrays& a) {
  const int n = in.data.xz.cols;
  if (in.data.pi.SPIROW > 0 || n < 1 || !a.rooted) return false;
  // Singular where a pivot is below kRootTol of the largest (the rule of a
  // Cholesky factor of R'R at double precision, on the root's scale).
  double largest = 0.0;
  for (int j = 1; j <= n; ++j) largest = std::max(largest, std::fabs(a.chol(j, j)));
  for (int j = 1; j <= n; ++j)
    if (!(std::fabs(a.chol(j, j)) > kRootTol * largest) || !std::isfinite(a.chol(j, j)))
      return false;
  int info = 0;
  for (int j = 1; j <= n; ++j) {
    double* col = a.info.col(j);
    std::fill_n(col, n, 0.0);
    col[j - 1] = 1.0;
    DTRSL(a.chol.p, a.chol.ld, n, col, 11, info);  // U^-T e_j
    if (info != 0) return false;
    DTRSL(a.chol.p, a.chol.ld, n, col, 1, info);  // U^-1 U^-T e_j
    if (info != 0) return false;
    for (int i = 0; i < n; ++i) col[i] *= in.sigma2;
  }
  return true;
}

// piSum += COV at the draw (or at theta^) + (PIVECT - PIVECT^)(...)'.
void addPiSpread(const SpreadInputs& in, SpreadArrays& a) {
  const int n = in.piCov.rows;
  const Mat cov = conditionalPiCovariance(in, a) ? a.info : in.piCov;
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i)
      a.piSum(i, j) +=
          cov(i, j) + (a.pivect[i - 1] - a.piBase[i - 1]) * (a.pivect[j - 1] - a.piBase[j - 1]);
}

}  // namespace

int addParameterSpread(const SpreadInputs& in, Mat se, Scratch s) {
  const int K = se.rows, periods = se.cols, M = in.phi.rows, T = in.data.tlx.cols;
  const GroupDims d{T, periods - T, K, in.Z.rows, M};
  SpreadArrays a = carve(s, d);
  // theta^ itself: the centre of the moves and the smoothing part to replace.
  for (int j = 1; j <= M; ++j) {
    std::copy_n(in.phi.col(j), M, a.phi.col(j));
    std::copy_n(in.delta.col(j), M, a.delta.col(j));
  }
  fill(a.smooth0, 0.0);
  fill(a.mse, 0.0);
  const bool known = betaAt(in, a, a.base, s);
  if (known) addSmoothing(in, a, a.base, a.base, a.smooth0, s);
  const bool withPi = in.piCov.p != nullptr && in.piCov.rows > 0;
  if (withPi) {
    std::copy_n(a.pivect, in.piCov.rows, a.piBase);
    fill(a.piSum, 0.0);
  }
  const bool factored = factorDirections(in, a);
  int accepted = 0;
  for (int i = 1; i <= in.draws.cols && known; ++i) {
    if (!drawAt(in, factored, in.draws.col(i), a) || !stationaryDraw(a, s)) continue;
    if (!betaAt(in, a, a.beta, s)) continue;
    addSmoothing(in, a, a.beta, a.base, a.mse, s);
    if (withPi) addPiSpread(in, a);
    ++accepted;
  }
  if (withPi && accepted > 0)
    for (int j = 1; j <= in.piCov.cols; ++j)
      for (int i = 1; i <= in.piCov.rows; ++i) in.piCov(i, j) = a.piSum(i, j) / accepted;
  for (int t = 1; t <= periods; ++t)
    for (int k = 1; k <= K; ++k) {
      const double piPart = se(k, t) * se(k, t) - a.smooth0(k, t);
      se(k, t) = accepted == 0 ? std::numeric_limits<double>::quiet_NaN()
                               : std::sqrt(std::max(piPart + a.mse(k, t) / accepted, 0.0));
    }
  return accepted;
}

ScratchNeed addParameterSpreadNeed(const GroupDims& d, int piRows) {
  Scratch s;
  carve(s, d);
  ScratchNeed need = s.used();
  ScratchNeed kernels = profileLikelihoodNeed(d, piRows);
  kernels.include(EIGENRneed(d.M));
  kernels.include(smoothStateNeed(d.M, d.NUMT));
  kernels.include(smoothedStateVariancesNeed(d.M, d.NUMT));
  need.add(kernels);
  return need;
}

void standardNormalDraws(std::uint64_t seed, Mat z) {
  std::mt19937_64 rng(seed);
  const double twoPi = 2.0 * std::acos(-1.0);
  auto uniform = [&] { return (static_cast<double>(rng() >> 11) + 0.5) * 0x1.0p-53; };
  for (int j = 1; j <= z.cols; ++j)
    for (int i = 1; i <= z.rows; i += 2) {
      const double r = std::sqrt(-2.0 * std::log(uniform())), angle = twoPi * uniform();
      z(i, j) = r * std::cos(angle);
      if (i < z.rows) z(i + 1, j) = r * std::sin(angle);
    }
}

}  // namespace kova
