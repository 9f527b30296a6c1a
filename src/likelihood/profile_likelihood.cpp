// The profile likelihood through the Kalman filter (prediction-error
// decomposition of the Gaussian likelihood: Harvey, Forecasting, Structural
// Time Series Models and the Kalman Filter, 3.4; concentrating the scale and
// the regression coefficients: ibid. 3.4.2 and 3.4.6), and its score by the
// state smoother (Durbin and Koopman, Time Series Analysis by State Space
// Methods, 2012, 7.3.3).
#include "likelihood/profile_likelihood.h"

#include <algorithm>
#include <cmath>

#include "likelihood/svd_rank.h"
#include "linalg/blas1.h"
#include "linalg/kalman_step.h"
#include "linalg/state_space_likelihood.h"

namespace kova {
namespace {

constexpr double kTwoPi = 6.283185307179586476925286766559;
// Exact equations that PIVECT misses by more than this (relative) make the
// data impossible under the model.
constexpr double kExactMissTol = 1.0E-6;

void copyMatrix(Mat from, Mat to) {
  for (int j = 1; j <= from.cols; ++j) std::copy_n(from.col(j), from.rows, to.col(j));
}
// Compresses rows 1..rows of a to the triangle of its QR factorization
// (Householder, no pivoting, the signs of LINPACK's); returns its number of
// rows, min(rows, cols).
int compress(Mat a, int rows) {
  if (rows == 0) return 0;
  const int cols = a.cols, c = std::min(rows, cols);
  kalman::triangularize<0, 0, 0>(kalman::Block<double>{a.p, std::max(a.ld, 1)}, rows, cols, rows);
  for (int j = 1; j <= cols; ++j)
    for (int i = j + 1; i <= c; ++i) a(i, j) = 0.0;
  return c;
}

struct ProfileArrays {
  Mat gamma;
  double* f;
  Mat v;      // NUMT x (n + 1): innovations of [XZ y], then the whitened rows
  Mat exact;  // NUMT x (n + 1)
  Mat c;  // constraints (n + 1 + nr) x n, then destroyed by the SVD
  double* crhs;
  Mat an;  // (n + 1) x n: the design on the null space of the constraints
  double *b, *s, *e, *work, *pi0, *x;
  Mat u, vv, vr;  // left and right singular vectors (constraints, design)
  Mat gainOut;    // M x NUMT: the filter's gains PHI K(t), kept when asked for
  double* ratio;  // NUMT: f(t) / |z(t)|^2 of the noisy rows
};

ProfileArrays carveProfile(Scratch& s, int T, int M, int n, int nr) {
  ProfileArrays w;
  w.gamma = s.mat(M, M);
  w.f = s.doubles(T);
  w.v = s.mat(T, n + 1);
  w.exact = s.mat(T, n + 1);
  const int rows = n + 1 + nr;
  w.c = s.mat(rows, n);
  w.crhs = s.doubles(rows);
  w.an = s.mat(n + 1, n);
  w.b = s.doubles(n + 1);
  w.s = s.doubles(rows + n + 1);
  w.e = s.doubles(std::max(n, 1));
  w.work = s.doubles(rows + n + 1);
  w.pi0 = s.doubles(std::max(n, 1));
  w.x = s.doubles(std::max(n, 1));
  w.u = s.mat(rows, std::max(n, 1));
  w.vv = s.mat(n, n);
  w.vr = s.mat(n, n);
  w.ratio = s.doubles(T);
  return w;
}

double norm2(int n, const double* x) { return n > 0 ? DNRM2(n, x, 1) : 0.0; }

}  // namespace

double LikelihoodTerms::concentrated() const {
  return -0.5 * (sumLogF + noisy * (1.0 + std::log(kTwoPi * rss / noisy)));
}

double LikelihoodTerms::atUnitScale() const {
  return -0.5 * (sumLogF + rss + noisy * std::log(kTwoPi));
}

LikelihoodTerms profileLikelihood(const MlData& data, Mat phi, Mat delta, Scratch s, double* pivect,
                                  Mat gamma, const FilterGains* gains, bool precise) {
  ProfileOutputs given;
  given.pivect = pivect;
  given.gamma = gamma;
  given.gains = gains;
  return profileLikelihood(data, phi, delta, s, given, precise);
}

LikelihoodTerms profileLikelihood(const MlData& data, Mat phi, Mat delta, Scratch s,
                                  ProfileOutputs& given, bool precise) {
  double* pivect = given.pivect;
  const Mat gamma = given.gamma;
  const FilterGains* gains = given.gains;
  given.designRooted = false;
  const int M = phi.rows, T = data.xz.rows, n = data.xz.cols, nr = data.pi.SPIROW;
  ProfileArrays w = carveProfile(s, T, M, n, nr);
  if (gains != nullptr) {
    w.f = gains->f;
    w.gainOut = gains->k;
  }
  LikelihoodTerms out;
  stationaryCovariance(phi, delta, w.gamma, s);
  if (gamma.p != nullptr) copyMatrix(w.gamma, gamma);
  // The innovations of [XZ y], in place.
  Mat v = w.v;
  copyMatrix(Mat{data.xz.p, data.xz.ld, T, n}, v);
  std::copy_n(data.y, T, v.col(n + 1));
  const StateSpaceModel model{phi, delta, w.gamma, data.tlx};
  if (precise) {
    filterInnovationsPrecise(model, v, w.f, v);
  } else {
    filterInnovations(model, v, w.f, v, w.gainOut, s, gains != nullptr ? gains->p : nullptr);
  }
  if (given.innovations.p != nullptr) copyMatrix(v, given.innovations);

  // Noisy rows whitened into the top of v, exact rows gathered. The sum of
  // log f(t) as the logs of running products, each taken once it leaves
  // [2^-300, 2^300] (an f(t) outside that range on its own): one log in
  // many periods rather than one per period.
  int nn = 0, ne = 0;
  double product = 1.0;
  for (int t = 1; t <= T; ++t) {
    const double f = w.f[t - 1];
    if (!(f >= 0.0) || !std::isfinite(f)) return out;  // DELTA not definite
    if (f > 0.0) {
      const double scale = 1.0 / std::sqrt(f);
      const double* zt = data.tlx.col(t);
      double zz = 0.0;
      for (int i = 0; i < M; ++i) zz += zt[i] * zt[i];
      w.ratio[nn] = f / zz;
      ++nn;
      if (f >= 0x1p-300 && f <= 0x1p300) {
        product *= f;
        if (product < 0x1p-300 || product > 0x1p300) {
          out.sumLogF += std::log(product);
          product = 1.0;
        }
      } else {
        out.sumLogF += std::log(f);
      }
      for (int j = 1; j <= n + 1; ++j) v(nn, j) = v(t, j) * scale;
    } else {
      ++ne;
      for (int j = 1; j <= n + 1; ++j) w.exact(ne, j) = v(t, j);
    }
  }
  out.sumLogF += std::log(product);
  out.noisy = nn;
  if (nn == 0) return out;
  {
    double* middle = w.ratio + nn / 2;
    std::nth_element(w.ratio, middle, w.ratio + nn);
    const double median = *middle;
    out.collapse = *std::min_element(w.ratio, w.ratio + nn) / median;
  }
  const int cn = compress(v, nn);
  const int ce = compress(w.exact, ne);
  if (given.designRoot.p != nullptr && ne == 0 && cn >= n) {
    for (int j = 1; j <= n; ++j)
      for (int i = 1; i <= n; ++i) given.designRoot(i, j) = i <= j ? v(i, j) : 0.0;
    given.designRooted = true;
  }

  // Constraints: the exact equations, then the PI equality rows.
  const int nc = ce + nr;
  for (int j = 1; j <= n; ++j) {
    for (int i = 1; i <= ce; ++i) w.c(i, j) = w.exact(i, j);
    for (int i = 1; i <= nr; ++i) w.c(ce + i, j) = data.pi.R(i, j);
  }
  for (int i = 1; i <= ce; ++i) w.crhs[i - 1] = w.exact(i, n + 1);
  for (int i = 1; i <= nr; ++i) w.crhs[ce + i - 1] = data.pi.r[i - 1];

  // PIVECT = pi0 + N x: pi0 the minimum-norm solution of the constraints,
  // N the right singular vectors beyond their rank.
  std::fill_n(w.pi0, n, 0.0);
  int a = 0;
  Mat N{nullptr, std::max(n, 1), n, n};
  if (nc > 0 && n > 0) {
    Mat c{w.c.p, w.c.ld, nc, n};
    a = svdRank(c, w.s, w.e, Mat{w.u.p, w.u.ld, nc, std::min(nc, n)}, w.vv, w.work);
    if (a < 0) return out;
    for (int l = 1; l <= a; ++l) {
      const double coef = DDOT(nc, w.u.col(l), 1, w.crhs, 1) / w.s[l - 1];
      DAXPY(n, coef, w.vv.col(l), 1, w.pi0, 1);
    }
    // The constraints again (the SVD destroyed them), to check pi0 meets them.
    double miss = 0.0, size = norm2(nc, w.crhs);
    for (int i = 1; i <= ce; ++i) {
      const double r = DDOT(n, w.exact.p + (i - 1), w.exact.ld, w.pi0, 1) - w.exact(i, n + 1);
      miss += r * r;
    }
    for (int i = 1; i <= nr; ++i) {
      const double r = DDOT(n, data.pi.R.p + (i - 1), data.pi.R.ld, w.pi0, 1) - data.pi.r[i - 1];
      miss += r * r;
    }
    size += w.s[0] * norm2(n, w.pi0);
    if (std::sqrt(miss) > kExactMissTol * size && miss > 0.0) return out;
    N = Mat{w.vv.col(a + 1), w.vv.ld, n, n - a};
  }
  const int q = n - a;
  // The design on the null space and the right-hand side b - A pi0.
  for (int i = 1; i <= cn; ++i) {
    double r = v(i, n + 1);
    for (int l = 1; l <= n; ++l) r -= v(i, l) * w.pi0[l - 1];
    w.b[i - 1] = r;
  }
  for (int j = 1; j <= q; ++j)
    for (int i = 1; i <= cn; ++i) {
      double sum = 0.0;
      if (N.p == nullptr) {
        sum = v(i, j);
      } else {
        for (int l = 1; l <= n; ++l) sum += v(i, l) * N(l, j);
      }
      w.an(i, j) = sum;
    }
  double rss = 0.0;
  if (q > 0) {
    // Least squares by the SVD of AN (kept in c, which is free now).
    Mat an{w.c.p, w.c.ld, cn, q};
    copyMatrix(Mat{w.an.p, w.an.ld, cn, q}, an);
    const Mat vr{w.vr.p, w.vr.ld, q, q};
    const int rk = svdRank(an, w.s, w.e, Mat{w.u.p, w.u.ld, cn, std::min(cn, q)}, vr, w.work);
    if (rk < 0) return out;
    std::fill_n(w.x, q, 0.0);
    for (int l = 1; l <= rk; ++l) {
      const double coef = DDOT(cn, w.u.col(l), 1, w.b, 1) / w.s[l - 1];
      DAXPY(q, coef, vr.col(l), 1, w.x, 1);
    }
    for (int i = 1; i <= cn; ++i) {
      double r = w.b[i - 1];
      for (int j = 1; j <= q; ++j) r -= w.an(i, j) * w.x[j - 1];
      rss += r * r;
    }
  } else {
    for (int i = 1; i <= cn; ++i) rss += w.b[i - 1] * w.b[i - 1];
  }
  if (pivect != nullptr) {
    std::copy_n(w.pi0, n, pivect);
    for (int j = 1; j <= q; ++j)
      for (int l = 1; l <= n; ++l)
        pivect[l - 1] += (N.p == nullptr ? (l == j) : N(l, j)) * w.x[j - 1];
  }
  out.rss = rss;
  out.valid = rss > 0.0 && std::isfinite(rss) && std::isfinite(out.sumLogF);
  return out;
}

ScratchNeed profileLikelihoodNeed(const GroupDims& d, int piRows) {
  Scratch s;
  carveProfile(s, d.NUMT, d.M, d.KP(), piRows);
  ScratchNeed need = s.used();
  ScratchNeed callees = stationaryCovarianceNeed(d.M);
  callees.include(filterInnovationsNeed(d.M, d.KP() + 1));
  need.add(callees);
  return need;
}
namespace {

struct ScoreArrays {
  double *pivect, *u;
  Mat gamma, q, p1, b, t1, t2;
  StateSpaceScore score;
  FilterGains record;  // the profile's filter, for the score
};

ScoreArrays carveScore(Scratch& s, int T, int M, int n) {
  ScoreArrays a;
  a.pivect = s.doubles(std::max(n, 1));
  a.u = s.doubles(T);
  a.record.f = s.doubles(T);
  a.record.k = s.mat(M, T);
  a.record.p = s.doubles(static_cast<long long>(M) * M * T);
  a.gamma = s.mat(M, M);
  a.q = s.mat(M, M);
  a.p1 = s.mat(M, M);
  a.b = s.mat(M, M);
  a.t1 = s.mat(M, M);
  a.t2 = s.mat(M, M);
  a.score.phi = s.mat(M, M);
  a.score.q = s.mat(M, M);
  a.score.p1 = s.mat(M, M);
  return a;
}

}  // namespace

bool profileScore(const MlData& data, Mat phi, Mat delta, bool unitScale, Mat gradPhi,
                  Mat gradDelta, Scratch s, LikelihoodTerms* profile, bool diagonalOnly) {
  const int M = phi.rows, T = data.xz.rows, n = data.xz.cols;
  ScoreArrays a = carveScore(s, T, M, n);
  const LikelihoodTerms terms =
      profileLikelihood(data, phi, delta, s, a.pivect, a.gamma, &a.record);
  if (profile != nullptr) *profile = terms;
  if (!terms.valid || terms.noisy < T) return false;
  // The residual at the maximising PIVECT, and the scale of the likelihood
  // whose score is taken: Q = scale DELTA, P1 = scale GAMMA.
  for (int t = 1; t <= T; ++t) {
    double r = data.y[t - 1];
    for (int j = 1; j <= n; ++j) r -= data.xz(t, j) * a.pivect[j - 1];
    a.u[t - 1] = r;
  }
  const double scale = unitScale ? 1.0 : terms.rss / terms.noisy;
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) {
      a.q(i, j) = scale * delta(i, j);
      a.p1(i, j) = scale * a.gamma(i, j);
    }
  // The profile's filter ran at DELTA and GAMMA: f(t) and P(t) scale with
  // them, the gains do not.
  a.score.diagonalOnly = diagonalOnly;
  stateSpaceScore(StateSpaceModel{phi, a.q, a.p1, data.tlx}, a.u, a.score, s, &a.record, scale);
  // Through GAMMA = PHI GAMMA PHI' + Q: B = PHI' B PHI + dl/dP1, then
  // dl/dQ += B and dl/dPHI += 2 B PHI P1.
  stationaryCovarianceAdjoint(phi, a.score.p1, a.b, s);
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) {
      double sum = 0.0;
      for (int l = 1; l <= M; ++l) sum += a.b(i, l) * phi(l, j);
      a.t1(i, j) = sum;  // B PHI
    }
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) {
      double sum = 0.0;
      for (int l = 1; l <= M; ++l) sum += a.t1(i, l) * a.p1(l, j);
      gradPhi(i, j) = a.score.phi(i, j) + 2.0 * sum;
      gradDelta(i, j) = scale * (a.score.q(i, j) + a.b(i, j));
    }
  return true;
}

ScratchNeed profileScoreNeed(const GroupDims& d, int piRows) {
  Scratch s;
  carveScore(s, d.NUMT, d.M, d.KP());
  ScratchNeed need = s.used();
  ScratchNeed callees = profileLikelihoodNeed(d, piRows);
  callees.include(stateSpaceScoreNeed(d.M, d.NUMT));
  callees.include(stationaryCovarianceNeed(d.M));
  need.add(callees);
  return need;
}

}  // namespace kova
