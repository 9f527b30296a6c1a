// The score of the panel's likelihood: each group's from the filter's
// record by the state smoother, summed in the order of the groups, and
// GAMMA's part carried through its equation once for the panel.
//
// A group's value (likelihood/panel_likelihood.h), with V = YSIGMA(PHI,
// DELTA), X = XN, e the generalised least-squares residual of y0 on X,
// R'R = X'V^-1 X and SIGMA**2 = RSS / m (m = n under ML, n - q under REML),
// has the differential
//   dl = -1/2 tr(V^-1 dV) + 1/(2 SIGMA**2) e'V^-1 dV V^-1 e
//        [+ 1/2 sum over k of w(k)'V^-1 dV V^-1 w(k),  w = X R^-1, REML],
// the residual's coefficients and SIGMA**2 being maxima (envelope). The
// first two terms are the score of the Gaussian likelihood of e under the
// model scaled by SIGMA**2 (stateSpaceScore); the last, the derivative of
// -1/2 log det(X'V^-1 X), is a sum of the quadratic parts of that score for
// the columns of w, which need only the smoother's r(t) of each column and
// its smoothed state:
//   r(t-1) = z(t) v(t) / f(t) + L(t)' r(t),  L(t) = PHI - K(t) z(t)',
//   a^(1) = GAMMA r(0),  a^(t+1) = PHI a^(t) + DELTA r(t),
//   dl/dDELTA += 1/2 sum over t < n of r(t) r(t)',
//   dl/dPHI   += sum over t < n of r(t) a^(t)',
//   dl/dGAMMA += 1/2 r(0) r(0)'
// (Durbin and Koopman, Time Series Analysis by State Space Methods, 2012,
// 4.4 and 7.3.3). The innovations v of the columns of w are those of X,
// already at hand, times R^-1.
#include <algorithm>
#include <cmath>
#include <type_traits>

#include "likelihood/design_factor.h"
#include "likelihood/group_pool.h"
#include "likelihood/panel_likelihood.h"
#include "linalg/state_space_likelihood.h"

namespace kova {
namespace {

struct ScoreArrays {
  Mat gamma;
  FilterGains record;  // f, gains and P(t) of the filter
  Mat v;               // T x (q + 1): innovations, whitened, then factorised
  Mat w;               // T x (q + 1): the whitened innovations
  double* rdiag;       // q + 1
  double* b;           // q: the generalised least-squares coefficients
  double* e;           // T: the residual
  Mat sq, sp1;         // SIGMA**2 DELTA and SIGMA**2 GAMMA
  StateSpaceScore score;
  Mat vx;  // T x q: the innovations of X R^-1
  Mat r;   // M x (T + 1): r(0..T) of one column
  double* hat;
  double* next;
};

ScoreArrays carveScore(Scratch& s, int T, int M, int q) {
  ScoreArrays a;
  a.gamma = s.mat(M, M);
  a.record.f = s.doubles(T);
  a.record.k = s.mat(M, T);
  a.record.p = s.doubles(static_cast<long long>(M) * M * T);
  a.v = s.mat(T, q + 1);
  a.w = s.mat(T, q + 1);
  a.rdiag = s.doubles(q + 1);
  a.b = s.doubles(std::max(q, 1));
  a.e = s.doubles(T);
  a.sq = s.mat(M, M);
  a.sp1 = s.mat(M, M);
  a.score.phi = s.mat(M, M);
  a.score.q = s.mat(M, M);
  a.score.p1 = s.mat(M, M);
  a.vx = s.mat(T, std::max(q, 1));
  a.r = s.mat(M, T + 1);
  a.hat = s.doubles(M);
  a.next = s.doubles(M);
  return a;
}

// The quadratic parts of the score for the columns of v (innovations, T x
// nc, weight 1 each), added to the three derivatives; r: M x (T + 1). kM >
// 0: the order fixed at compile time so that the small loops unroll;
// kDiagonal: PHI and DELTA diagonal, their products element by element,
// and only the diagonals of the derivatives formed (the others are left as
// they are).
template <int kM, bool kDiagonal>
void addQuadraticParts(Mat phi, Mat delta, Mat gamma, Mat z, const FilterGains& record, Mat v,
                       Mat r, double* hat, double* next, Mat gradPhi, Mat gradDelta,
                       Mat gradGamma) {
  const int M = kM > 0 ? kM : phi.rows, T = z.cols;
  for (int c = 1; c <= v.cols; ++c) {
    const double* vc = v.col(c);
    for (int i = 0; i < M; ++i) r(i + 1, T + 1) = 0.0;
    for (int t = T; t >= 1; --t) {
      const double* zt = z.col(t);
      const double* kt = record.k.col(t);
      const double* rt = r.col(t + 1);
      double* prev = r.col(t);
      double kr = 0.0;
      for (int i = 0; i < M; ++i) kr += kt[i] * rt[i];
      const double scaled = vc[t - 1] / record.f[t - 1] - kr;
      for (int i = 1; i <= M; ++i) {
        double sum = zt[i - 1] * scaled;
        if (kDiagonal) {
          sum += phi(i, i) * rt[i - 1];
        } else {
          for (int l = 1; l <= M; ++l) sum += phi(l, i) * rt[l - 1];
        }
        prev[i - 1] = sum;
      }
    }
    const double* r0 = r.col(1);
    if (kDiagonal) {
      for (int i = 1; i <= M; ++i) {
        hat[i - 1] = gamma(i, i) * r0[i - 1];
        gradGamma(i, i) += 0.5 * r0[i - 1] * r0[i - 1];
      }
      for (int t = 1; t < T; ++t) {
        const double* rt = r.col(t + 1);
        for (int i = 1; i <= M; ++i) {
          const double ri = rt[i - 1], hi = hat[i - 1];
          gradPhi(i, i) += ri * hi;
          gradDelta(i, i) += 0.5 * ri * ri;
          hat[i - 1] = phi(i, i) * hi + delta(i, i) * ri;
        }
      }
      continue;
    }
    for (int j = 1; j <= M; ++j) {
      double sum = 0.0;
      for (int l = 1; l <= M; ++l) sum += gamma(j, l) * r0[l - 1];
      hat[j - 1] = sum;
      for (int i = 1; i <= j; ++i) gradGamma(i, j) += 0.5 * r0[i - 1] * r0[j - 1];
    }
    for (int t = 1; t < T; ++t) {
      const double* rt = r.col(t + 1);
      for (int j = 1; j <= M; ++j) {
        for (int i = 1; i <= M; ++i) gradPhi(i, j) += rt[i - 1] * hat[j - 1];
        for (int i = 1; i <= j; ++i) gradDelta(i, j) += 0.5 * rt[i - 1] * rt[j - 1];
      }
      for (int i = 1; i <= M; ++i) {
        double sum = 0.0;
        for (int l = 1; l <= M; ++l) sum += phi(i, l) * hat[l - 1] + delta(i, l) * rt[l - 1];
        next[i - 1] = sum;
      }
      for (int i = 0; i < M; ++i) hat[i] = next[i];
    }
  }
  // The lower triangles of the symmetric ones.
  if (kDiagonal) return;
  for (int j = 1; j <= M; ++j)
    for (int i = j + 1; i <= M; ++i) {
      gradDelta(i, j) = gradDelta(j, i);
      gradGamma(i, j) = gradGamma(j, i);
    }
}

bool isDiagonal(Mat a) {
  for (int j = 1; j <= a.cols; ++j)
    for (int i = 1; i <= a.rows; ++i)
      if (i != j && a(i, j) != 0.0) return false;
  return true;
}

template <bool kDiagonal>
void quadraticPartsOfOrder(Mat phi, Mat delta, Mat gamma, Mat z, const FilterGains& record, Mat v,
                           ScoreArrays& a, Mat gradPhi, Mat gradDelta, Mat gradGamma) {
  auto run = [&](auto order) {
    addQuadraticParts<decltype(order)::value, kDiagonal>(
        phi, delta, gamma, z, record, v, a.r, a.hat, a.next, gradPhi, gradDelta, gradGamma);
  };
  switch (phi.rows) {
    case 1:
      return run(std::integral_constant<int, 1>{});
    case 2:
      return run(std::integral_constant<int, 2>{});
    case 3:
      return run(std::integral_constant<int, 3>{});
    case 4:
      return run(std::integral_constant<int, 4>{});
    case 5:
      return run(std::integral_constant<int, 5>{});
    case 6:
      return run(std::integral_constant<int, 6>{});
    default:
      return run(std::integral_constant<int, 0>{});
  }
}

}  // namespace

GroupValue designScore(Mat tlx, Mat xn, const double* y0, Mat phi, Mat delta, Mat gamma,
                       bool restricted, Mat gradPhi, Mat gradDelta, Mat gradGamma, Scratch s,
                       bool diagonalOnly) {
  const int T = xn.rows, q = xn.cols, M = phi.rows;
  GroupValue out;
  if (T <= q) return out;
  ScoreArrays a = carveScore(s, T, M, q);
  if (gamma.p != nullptr) {
    for (int j = 1; j <= M; ++j) std::copy_n(gamma.col(j), M, a.gamma.col(j));
  } else {
    stationaryCovariance(phi, delta, a.gamma, s);
  }
  // The value as designContribution forms it, the filter's record kept.
  filterInnovations(StateSpaceModel{phi, delta, a.gamma, tlx}, designOf(xn, y0, a.v), a.record.f,
                    a.v, a.record.k, s, a.record.p);
  double sumLogF = 0.0;
  for (int t = 1; t <= T; ++t) {
    const double f = a.record.f[t - 1];
    if (f == 0.0) out.exact = true;
    if (!(f > 0.0) || !std::isfinite(f)) return out;
    sumLogF += std::log(f);
    const double scale = 1.0 / std::sqrt(f);
    for (int j = 1; j <= q + 1; ++j) a.v(t, j) *= scale;
  }
  for (int j = 1; j <= q + 1; ++j) std::copy_n(a.v.col(j), T, a.w.col(j));
  std::fill_n(a.rdiag, q + 1, 0.0);
  triangularDiagonal(a.v, a.rdiag);
  out = valueFromFactor(sumLogF, a.rdiag, T, q, restricted);
  if (!out.valid) return out;

  // R's diagonal with its signs; R b = Q'y0 by back substitution.
  auto diagonal = [&](int j) { return -std::copysign(a.rdiag[j - 1], a.v(j, j)); };
  for (int j = q; j >= 1; --j) {
    double sum = a.v(j, q + 1);
    for (int l = j + 1; l <= q; ++l) sum -= a.v(j, l) * a.b[l - 1];
    a.b[j - 1] = sum / diagonal(j);
  }
  for (int t = 1; t <= T; ++t) {
    double r = y0[t - 1];
    for (int j = 1; j <= q; ++j) r -= xn(t, j) * a.b[j - 1];
    a.e[t - 1] = r;
  }
  // The Gaussian score of e under the model scaled by SIGMA**2; the
  // filter's record is that of the unscaled one.
  const double sigma2 = out.sigma2;
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) {
      a.sq(i, j) = sigma2 * delta(i, j);
      a.sp1(i, j) = sigma2 * a.gamma(i, j);
    }
  stateSpaceScore(StateSpaceModel{phi, a.sq, a.sp1, tlx}, a.e, a.score, s, &a.record, sigma2);
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) {
      gradPhi(i, j) = a.score.phi(i, j);
      gradDelta(i, j) = sigma2 * a.score.q(i, j);
      gradGamma(i, j) = sigma2 * a.score.p1(i, j);
    }
  if (!restricted || q == 0) return out;
  // The columns of X R^-1: each row of the whitened X times R^-1 (forward
  // substitution, on the whitened row), then back to innovations.
  for (int t = 1; t <= T; ++t) {
    const double root = std::sqrt(a.record.f[t - 1]);
    for (int j = 1; j <= q; ++j) {
      double sum = a.w(t, j);
      for (int i = 1; i < j; ++i) sum -= a.vx(t, i) * a.v(i, j);
      a.vx(t, j) = sum / diagonal(j);
    }
    for (int j = 1; j <= q; ++j) a.vx(t, j) *= root;
  }
  const Mat vx{a.vx.p, a.vx.ld, T, q};
  if (diagonalOnly && isDiagonal(phi) && isDiagonal(delta)) {
    quadraticPartsOfOrder<true>(phi, delta, a.gamma, tlx, a.record, vx, a, gradPhi, gradDelta,
                                gradGamma);
  } else {
    quadraticPartsOfOrder<false>(phi, delta, a.gamma, tlx, a.record, vx, a, gradPhi, gradDelta,
                                 gradGamma);
  }
  return out;
}

ScratchNeed designScoreNeed(int T, int M, int q) {
  Scratch s;
  carveScore(s, T, M, q);
  ScratchNeed need = s.used();
  ScratchNeed callees = stationaryCovarianceNeed(M);
  callees.include(filterInnovationsNeed(M, q + 1));
  callees.include(stateSpaceScoreNeed(M, T));
  need.add(callees);
  return need;
}

void Panel::scoreGroup(int g, int worker) {
  std::vector<double>& w = scoreWorkspace_[static_cast<size_t>(worker)];
  std::vector<int>& wi = scoreIntWorkspace_[static_cast<size_t>(worker)];
  Scratch s(w.data(), scoreNeed_, wi.data(), scoreNeedInts_, nullptr, 0);
  const Group& gr = groups_[static_cast<size_t>(g)];
  const int T = gr.data.xz.rows, M = M_, MM = M * M;
  const bool ml = criterion_ == PanelCriterion::ML;
  double* slot = scores_.data() + static_cast<size_t>(g) * 3 * MM;
  const Mat gPhi{slot, std::max(M, 1), M, M}, gDelta{slot + MM, std::max(M, 1), M, M},
      gGamma{slot + 2 * MM, std::max(M, 1), M, M};
  GroupValue v;
  int scored = 0, throughGamma = 1;
  if (gr.fullRank) {
    v = designScore(gr.data.tlx, Mat{const_cast<double*>(gr.xn.data()), std::max(T, 1), T, gr.q},
                    gr.y0(), phi_, delta_, gamma_, !ml, gPhi, gDelta, gGamma, s, diagonalOnly_);
    scored = v.valid ? 1 : 0;
  }
  // ML over a design short of rank or rows without noise: the profile's
  // score, whole (GAMMA's part included), where it has one.
  if (ml && (!gr.fullRank || v.exact)) {
    const MlData data{gr.data.tlx, gr.data.xz, gr.data.y, gr.data.pi};
    LikelihoodTerms terms;
    scored = profileScore(data, phi_, delta_, false, gPhi, gDelta, s, &terms) ? 1 : 0;
    throughGamma = 0;
    v = profileGroupValue(terms);
  }
  if (v.valid && !std::isfinite(v.loglik)) v.valid = false;
  values_[static_cast<size_t>(g)] = v;
  scored_[static_cast<size_t>(g)] = scored;
  throughGamma_[static_cast<size_t>(g)] = throughGamma;
}

bool Panel::evaluateScore(Mat phi, Mat delta, double& loglik, Mat gradPhi, Mat gradDelta,
                          bool& scored, bool diagonalOnly) {
  const int G = groups(), M = M_, MM = M * M;
  if (scoreWorkspace_.empty()) {
    for (const Group& g : groups_) {
      const int T = g.data.xz.rows;
      ScratchNeed need = designScoreNeed(T, M, g.q);
      if (criterion_ == PanelCriterion::ML)
        need.include(profileScoreNeed(GroupDims{T, 0, g.data.xz.cols, 1, M}, g.data.pi.SPIROW));
      scoreNeed_ = std::max(scoreNeed_, need.doubles + 64);
      scoreNeedInts_ = std::max(scoreNeedInts_, need.ints + 8);
    }
    scoreWorkspace_.resize(static_cast<size_t>(threads_));
    for (std::vector<double>& w : scoreWorkspace_) w.assign(static_cast<size_t>(scoreNeed_), 0.0);
    scoreIntWorkspace_.resize(static_cast<size_t>(threads_));
    for (std::vector<int>& w : scoreIntWorkspace_) w.assign(static_cast<size_t>(scoreNeedInts_), 0);
    scores_.assign(static_cast<size_t>(G) * 3 * MM, 0.0);
    scored_.assign(static_cast<size_t>(G), 0);
    throughGamma_.assign(static_cast<size_t>(G), 0);
  }
  phi_ = phi;
  delta_ = delta;
  diagonalOnly_ = diagonalOnly;
  formGamma(phi, delta);
  pool_->run(G, [this](int g, int worker) { scoreGroup(g, worker); });
  loglik = 0.0;
  bool valid = true;
  scored = true;
  for (int g = 0; g < G; ++g) {
    const GroupValue& v = values_[static_cast<size_t>(g)];
    valid = valid && v.valid;
    loglik += v.valid ? v.loglik : 0.0;
    scored = scored && scored_[static_cast<size_t>(g)];
  }
  if (!valid || G == 0) {
    scored = false;
    return false;
  }
  if (!scored) return true;
  // The sums in the order of the groups: through GAMMA (sg) or whole.
  std::vector<double> sum(static_cast<size_t>(5) * MM, 0.0);
  double *sp = sum.data(), *sd = sp + MM, *sg = sd + MM, *wp = sg + MM, *wd = wp + MM;
  for (int g = 0; g < G; ++g) {
    const double* slot = scores_.data() + static_cast<size_t>(g) * 3 * MM;
    if (throughGamma_[static_cast<size_t>(g)]) {
      for (int k = 0; k < MM; ++k) {
        sp[k] += slot[k];
        sd[k] += slot[MM + k];
        sg[k] += slot[2 * MM + k];
      }
    } else {
      for (int k = 0; k < MM; ++k) {
        wp[k] += slot[k];
        wd[k] += slot[MM + k];
      }
    }
  }
  // GAMMA = PHI GAMMA PHI' + DELTA: B = PHI' B PHI + dl/dGAMMA, then
  // dl/dDELTA += B and dl/dPHI += 2 B PHI GAMMA.
  std::vector<double> b(static_cast<size_t>(2) * MM);
  const Mat B{b.data(), std::max(M, 1), M, M}, BP{b.data() + MM, std::max(M, 1), M, M};
  const ScratchNeed need = stationaryCovarianceNeed(M);
  stationaryCovarianceAdjoint(phi, Mat{sg, std::max(M, 1), M, M}, B,
                              Scratch(gammaWork_.data(), need.doubles + 8, nullptr, 0, nullptr, 0));
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) {
      double s = 0.0;
      for (int l = 1; l <= M; ++l) s += B(i, l) * phi(l, j);
      BP(i, j) = s;
    }
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) {
      double s = 0.0;
      for (int l = 1; l <= M; ++l) s += BP(i, l) * gamma_(l, j);
      const int k = (j - 1) * M + i - 1;
      gradPhi(i, j) = sp[k] + 2.0 * s + wp[k];
      gradDelta(i, j) = sd[k] + B(i, j) + wd[k];
    }
  return true;
}

}  // namespace kova
