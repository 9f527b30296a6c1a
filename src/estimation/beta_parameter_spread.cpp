#include "estimation/beta_parameter_spread.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "linalg/state_space.h"

namespace kova {
namespace {

// A hundredth of a standard deviation along each direction.
constexpr double kStep = 0.01;

struct SpreadArrays {
  Mat phi, delta, gamma;  // theta^ +- h c_l
  Mat plus, minus;        // K x (NUMT + TF): b at the two points
  double* pivect;         // K*P
  double* f;              // NUMT
  Mat gain, eps;          // M x NUMT
  double* residual;       // NUMT
  double *state, *next;   // M
};

SpreadArrays carve(Scratch& s, const GroupDims& d) {
  const int M = d.M, T = d.NUMT, K = d.K;
  SpreadArrays a;
  a.phi = s.mat(M, M);
  a.delta = s.mat(M, M);
  a.gamma = s.mat(M, M);
  a.plus = s.mat(K, T + d.TF);
  a.minus = s.mat(K, T + d.TF);
  a.pivect = s.doubles(d.KP());
  a.f = s.doubles(T);
  a.gain = s.mat(M, T);
  a.eps = s.mat(M, T);
  a.residual = s.doubles(T);
  a.state = s.doubles(M);
  a.next = s.doubles(M);
  return a;
}

// b = PI z + L eps for one period (PIVECT column by column of PI).
void betaOfPeriod(const SpreadInputs& in, const double* pivect, const double* z, const double* eps,
                  double* b) {
  const int K = in.L.rows, M = in.L.cols, P = in.Z.rows;
  for (int k = 1; k <= K; ++k) {
    double sum = 0.0;
    for (int p = 1; p <= P; ++p) sum += pivect[(p - 1) * K + k - 1] * z[p - 1];
    for (int m = 1; m <= M; ++m) sum += in.L(k, m) * eps[m - 1];
    b[k - 1] = sum;
  }
}

// b (K x (NUMT + TF)) at theta^ + step * column; false where the point has
// no likelihood.
bool betaAt(const SpreadInputs& in, const double* column, double step, SpreadArrays& a, Mat b,
            Scratch s) {
  const int M = in.phi.rows, T = in.data.tlx.cols, n = in.data.xz.cols;
  const int TF = in.ZF.p != nullptr ? in.ZF.cols : 0;
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) {
      a.phi(i, j) = in.phi(i, j) + step * column[(j - 1) * M + i - 1];
      a.delta(i, j) = in.delta(i, j) + step * column[M * M + (j - 1) * M + i - 1];
    }
  const LikelihoodTerms terms = profileLikelihood(in.data, a.phi, a.delta, s, a.pivect, a.gamma);
  if (!terms.valid) return false;
  for (int t = 1; t <= T; ++t) {
    double r = in.data.y[t - 1];
    for (int j = 1; j <= n; ++j) r -= in.data.xz(t, j) * a.pivect[j - 1];
    a.residual[t - 1] = r;
  }
  const StateSpaceModel model{a.phi, a.delta, a.gamma, in.data.tlx};
  const FilterGains gains{a.f, a.gain};
  Scratch k = s;
  kalmanGains(model, gains, k);
  const Mat r{a.residual, std::max(T, 1), T, 1};
  k = s;
  innovations(a.phi, in.data.tlx, gains, r, r, k);
  k = s;
  smoothState(model, gains, a.residual, a.eps, k);
  for (int t = 1; t <= T; ++t) betaOfPeriod(in, a.pivect, in.Z.col(t), a.eps.col(t), b.col(t));
  if (T >= 1) std::copy_n(a.eps.col(T), M, a.state);
  for (int h = 1; h <= TF; ++h) {
    for (int i = 1; i <= M; ++i) {
      double sum = 0.0;
      for (int l = 1; l <= M; ++l) sum += a.phi(i, l) * a.state[l - 1];
      a.next[i - 1] = sum;
    }
    std::copy_n(a.next, M, a.state);
    betaOfPeriod(in, a.pivect, in.ZF.col(h), a.state, b.col(T + h));
  }
  return true;
}

}  // namespace

void addParameterSpread(const SpreadInputs& in, Mat se, Scratch s) {
  const int K = se.rows, periods = se.cols;
  const GroupDims d{in.data.tlx.cols, periods - in.data.tlx.cols, K, in.Z.rows, in.phi.rows};
  SpreadArrays a = carve(s, d);
  for (int t = 1; t <= periods; ++t)
    for (int k = 1; k <= K; ++k) se(k, t) *= se(k, t);
  for (int l = 1; l <= in.count; ++l) {
    const double* c = in.spread.col(l);
    const bool up = betaAt(in, c, kStep, a, a.plus, s);
    const bool down = betaAt(in, c, -kStep, a, a.minus, s);
    double width = 2.0 * kStep;
    if (!up || !down) {
      // One side: the estimate itself stands in for the missing point.
      if (!up && !down) {
        for (int t = 1; t <= periods; ++t)
          std::fill_n(se.col(t), K, std::numeric_limits<double>::quiet_NaN());
        return;
      }
      betaAt(in, c, 0.0, a, up ? a.minus : a.plus, s);
      width = kStep;
    }
    for (int t = 1; t <= periods; ++t)
      for (int k = 1; k <= K; ++k) {
        const double slope = (a.plus(k, t) - a.minus(k, t)) / width;
        se(k, t) += slope * slope;
      }
  }
  for (int t = 1; t <= periods; ++t)
    for (int k = 1; k <= K; ++k) se(k, t) = std::sqrt(se(k, t));
}

ScratchNeed addParameterSpreadNeed(const GroupDims& d, int piRows) {
  Scratch s;
  carve(s, d);
  ScratchNeed need = s.used();
  ScratchNeed kernels = profileLikelihoodNeed(d, piRows);
  kernels.include(kalmanGainsNeed(d.M));
  kernels.include(innovationsNeed(d.M, 1));
  kernels.include(smoothStateNeed(d.M, d.NUMT));
  need.add(kernels);
  return need;
}

}  // namespace kova
