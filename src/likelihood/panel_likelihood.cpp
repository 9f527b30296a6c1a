// The panel's likelihood: the groups' profile (or restricted) likelihoods
// through the Kalman filter, summed in the order of the groups.
// The restricted likelihood of the error contrasts: Harville, Journal of the
// American Statistical Association 72 (1977), section 6; Harvey, Forecasting,
// Structural Time Series Models and the Kalman Filter, 3.4.7.
#include "likelihood/panel_likelihood.h"

#include <algorithm>
#include <cmath>

#include "likelihood/design_factor.h"
#include "likelihood/group_pool.h"
#include "likelihood/svd_rank.h"
#include "linalg/blas1.h"
#include "linalg/state_space_likelihood.h"

namespace kova {

GroupValue profileGroupValue(const LikelihoodTerms& terms) {
  GroupValue v;
  v.valid = terms.valid;
  if (v.valid) {
    v.loglik = terms.concentrated();
    v.rows = terms.noisy;
    v.sigma2 = terms.rss / terms.noisy;
  }
  if (v.valid && !std::isfinite(v.loglik)) v.valid = false;
  return v;
}

namespace {

constexpr double kTwoPi = 6.283185307179586476925286766559;

struct RestrictedArrays {
  Mat gamma;
  double* f;
  Mat v;  // T x (q + 1)
  double* qraux;  // the moduli of R's diagonal
};

RestrictedArrays carveRestricted(Scratch& s, int T, int M, int q) {
  RestrictedArrays a;
  a.gamma = s.mat(M, M);
  a.f = s.doubles(T);
  a.v = s.mat(T, q + 1);
  a.qraux = s.doubles(q + 1);
  return a;
}

}  // namespace

Mat designOf(Mat xn, const double* y0, Mat v) {
  const int T = xn.rows, q = xn.cols;
  if (y0 == xn.p + static_cast<long>(q) * xn.ld) return Mat{xn.p, xn.ld, T, q + 1};
  for (int j = 1; j <= q; ++j) std::copy_n(xn.col(j), T, v.col(j));
  std::copy_n(y0, T, v.col(q + 1));
  return v;
}

GroupValue designContribution(Mat tlx, Mat xn, const double* y0, Mat phi, Mat delta, Mat gamma,
                              bool restricted, Scratch s) {
  const int T = xn.rows, q = xn.cols, M = phi.rows;
  GroupValue out;
  if (T <= q) return out;
  RestrictedArrays a = carveRestricted(s, T, M, q);
  if (gamma.p != nullptr) {
    for (int j = 1; j <= M; ++j) std::copy_n(gamma.col(j), M, a.gamma.col(j));
  } else {
    stationaryCovariance(phi, delta, a.gamma, s);
  }
  filterInnovations(StateSpaceModel{phi, delta, a.gamma, tlx}, designOf(xn, y0, a.v), a.f, a.v,
                    Mat{}, s);
  // Every row must carry noise: an exact row would tie b down without a
  // density, which the contrasts of this form do not cover.
  double sumLogF = 0.0;
  for (int t = 1; t <= T; ++t) {
    const double f = a.f[t - 1];
    if (f == 0.0) out.exact = true;
    if (!(f > 0.0) || !std::isfinite(f)) return out;
    sumLogF += std::log(f);
    const double scale = 1.0 / std::sqrt(f);
    for (int j = 1; j <= q + 1; ++j) a.v(t, j) *= scale;
  }
  std::fill_n(a.qraux, q + 1, 0.0);
  triangularDiagonal(a.v, a.qraux);
  return valueFromFactor(sumLogF, a.qraux, T, q, restricted);
}

// The QR factorisation of the whitened [XN y0]: R's diagonal gives
// log det(XN' YSIGMA^-1 XN), its last element the root of RSS.
GroupValue valueFromFactor(double sumLogF, const double* r, int T, int q, bool restricted) {
  GroupValue out;
  double logDet = 0.0;
  for (int j = 1; j <= q; ++j) {
    if (!(r[j - 1] > 0.0)) return out;
    logDet += 2.0 * std::log(r[j - 1]);
  }
  const double rss = r[q] * r[q];
  const int n = restricted ? T - q : T;
  if (!(rss > 0.0) || !std::isfinite(rss) || !std::isfinite(logDet)) return out;
  out.valid = true;
  out.rows = n;
  out.sigma2 = rss / n;
  out.loglik =
      -0.5 * (sumLogF + (restricted ? logDet : 0.0) + n * (1.0 + std::log(kTwoPi * rss / n)));
  return out;
}

namespace {

// x(1..n)'y(1..n) in four running sums, so that the products do not wait
// on one another (the order of the sums is fixed: the same bits on every
// call).
double dot(const double* x, const double* y, int n) {
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
  int i = 0;
  for (; i + 4 <= n; i += 4) {
    s0 += x[i] * y[i];
    s1 += x[i + 1] * y[i + 1];
    s2 += x[i + 2] * y[i + 2];
    s3 += x[i + 3] * y[i + 3];
  }
  for (; i < n; ++i) s0 += x[i] * y[i];
  return (s0 + s1) + (s2 + s3);
}

// The Euclidean norm of x(1..n), by the plain sum of squares where that
// neither overflows nor underflows, else by the scaled sum.
double norm(const double* x, int n) {
  const double sum = dot(x, x, n);
  if (sum > 1.0E-280 && sum < 1.0E280) return std::sqrt(sum);
  return DNRM2(n, x, 1);
}

}  // namespace

// H = I - u u' / (alpha (alpha + |x1|)) for each column but the last.
void triangularDiagonal(Mat v, double* r) {
  const int T = v.rows, n = v.cols;
  for (int j = 1; j <= n; ++j) {
    double* x = v.col(j) + (j - 1);
    const int len = T - j + 1;
    const double alpha = norm(x, len);
    r[j - 1] = alpha;
    if (j == n || !(alpha > 0.0)) return;
    // H = I - u u' / (alpha (alpha + |x1|)), u = x + sign(x1) alpha e1.
    const double x1 = x[0];
    x[0] = x1 + std::copysign(alpha, x1);
    const double beta = 1.0 / (alpha * (alpha + std::fabs(x1)));
    for (int c = j + 1; c <= n; ++c) {
      double* y = v.col(c) + (j - 1);
      const double f = beta * dot(x, y, len);
      for (int i = 0; i < len; ++i) y[i] -= f * x[i];
    }
  }
}

ScratchNeed designContributionNeed(int T, int M, int q) {
  Scratch s;
  carveRestricted(s, T, M, q);
  ScratchNeed need = s.used();
  ScratchNeed callees = stationaryCovarianceNeed(M);
  callees.include(filterInnovationsNeed(M, q + 1));
  need.add(callees);
  return need;
}

Panel::Panel(const std::vector<PanelGroupData>& groups, int M, PanelCriterion criterion,
             int threads)
    : M_(M), criterion_(criterion), threads_(std::max(threads, 1)) {
  groups_.resize(groups.size());
  values_.resize(groups.size());
  for (size_t g = 0; g < groups.size(); ++g) {
    groups_[g].data = groups[g];
    prepare(groups_[g], static_cast<int>(g) + 1);
    const int T = groups[g].xz.rows, KP = groups[g].xz.cols;
    GroupDims d{T, 0, KP, 1, M};
    ScratchNeed need = designContributionNeed(T, M, groups_[g].q);
    if (criterion == PanelCriterion::ML)
      need.include(profileLikelihoodNeed(d, groups[g].pi.SPIROW));
    need_ = std::max(need_, need.doubles + 64);
    needInts_ = std::max(needInts_, need.ints + 8);
  }
  scale_.assign(static_cast<size_t>(M), 0.0);
  long long rows = 0;
  for (const PanelGroupData& g : groups) {
    for (int t = 1; t <= g.tlx.cols; ++t)
      for (int i = 1; i <= M; ++i) scale_[i - 1] += g.tlx(i, t) * g.tlx(i, t);
    rows += g.tlx.cols;
  }
  for (double& v : scale_) v = v > 0.0 && rows > 0 ? v / rows : 1.0;
  threads_ = std::min(threads_, std::max(static_cast<int>(groups.size()), 1));
  workspace_.resize(static_cast<size_t>(threads_));
  for (std::vector<double>& w : workspace_) w.assign(static_cast<size_t>(need_), 0.0);
  intWorkspace_.resize(static_cast<size_t>(threads_));
  for (std::vector<int>& w : intWorkspace_) w.assign(static_cast<size_t>(needInts_), 0);
  pool_ = std::make_unique<GroupPool>(threads_);
}

Panel::~Panel() = default;

// The null space of the PI equality rows (right singular vectors beyond
// their rank), the minimum-norm pi0 that meets them, and the design on it.
void Panel::prepare(Group& g, int position) {
  const Mat xz = g.data.xz;
  const int T = xz.rows, n = xz.cols, nr = g.data.pi.SPIROW;
  std::vector<double> pi0(static_cast<size_t>(n), 0.0), nb(static_cast<size_t>(n) * n, 0.0);
  int a = 0;
  if (nr > 0 && n > 0) {
    std::vector<double> c(static_cast<size_t>(nr + 1) * n), sv(nr + n + 1), e(nr + n + 1),
        work(nr + n + 1), u(static_cast<size_t>(nr + 1) * n);
    Mat cm{c.data(), nr + 1, nr, n};
    for (int j = 1; j <= n; ++j)
      for (int i = 1; i <= nr; ++i) cm(i, j) = g.data.pi.R(i, j);
    Mat vv{nb.data(), n, n, n};
    a = svdRank(cm, sv.data(), e.data(), Mat{u.data(), nr + 1, nr, std::min(nr, n)}, vv,
                work.data());
    if (a < 0) {
      fault_ = fault_ == 0 ? position : fault_;
      return;
    }
    for (int l = 1; l <= a; ++l) {
      double coef = 0.0;
      for (int i = 1; i <= nr; ++i) coef += u[(l - 1) * (nr + 1) + i - 1] * g.data.pi.r[i - 1];
      coef /= sv[l - 1];
      for (int i = 1; i <= n; ++i) pi0[i - 1] += coef * vv(i, l);
    }
  } else {
    for (int i = 0; i < n; ++i) nb[static_cast<size_t>(i) * n + i] = 1.0;
  }
  g.q = n - a;
  g.xn.assign(static_cast<size_t>(std::max(T, 1)) * (g.q + 1), 0.0);
  for (int t = 1; t <= T; ++t) {
    double r = g.data.y[t - 1];
    for (int l = 1; l <= n; ++l) r -= xz(t, l) * pi0[l - 1];
    g.xn[static_cast<size_t>(g.q) * T + t - 1] = r;
    for (int j = 1; j <= g.q; ++j) {
      double sum = 0.0;
      for (int l = 1; l <= n; ++l) sum += xz(t, l) * nb[static_cast<size_t>(a + j - 1) * n + l - 1];
      g.xn[static_cast<size_t>(j - 1) * T + t - 1] = sum;
    }
  }
  g.fullRank = true;
  // No more rows than free PI: the residual is zero, and there is no
  // likelihood under either criterion.
  if (T <= g.q) {
    g.fullRank = false;
    fault_ = fault_ == 0 ? position : fault_;
    return;
  }
  if (g.q == 0) return;
  // The factorisation of the whitened design needs XN of full column rank
  // (rank is kept by the whitening, which is one-to-one); without it ML
  // goes by the profile likelihood, REML cannot.
  std::vector<double> x(g.xn), sv(T + g.q + 1), e(T + g.q + 1), work(T + g.q + 1),
      vr(static_cast<size_t>(g.q) * g.q), u(static_cast<size_t>(T) * g.q);
  if (svdRank(Mat{x.data(), T, T, g.q}, sv.data(), e.data(), Mat{u.data(), T, T, g.q},
              Mat{vr.data(), g.q, g.q, g.q}, work.data()) < g.q) {
    g.fullRank = false;
    if (criterion_ == PanelCriterion::REML) fault_ = fault_ == 0 ? position : fault_;
  }
}

void Panel::evaluateGroup(int g, int worker) {
  std::vector<double>& w = workspace_[static_cast<size_t>(worker)];
  std::vector<int>& wi = intWorkspace_[static_cast<size_t>(worker)];
  Scratch s(w.data(), need_, wi.data(), needInts_, nullptr, 0);
  const Group& gr = groups_[static_cast<size_t>(g)];
  const int T = gr.data.xz.rows;
  const bool ml = criterion_ == PanelCriterion::ML;
  GroupValue v;
  if (gr.fullRank)
    v = designContribution(gr.data.tlx,
                           Mat{const_cast<double*>(gr.xn.data()), std::max(T, 1), T, gr.q}, gr.y0(),
                           phi_, delta_, gamma_, !ml, s);
  // ML over a design short of rank or rows without noise: the profile
  // likelihood, which handles both.
  if (ml && (!gr.fullRank || v.exact)) {
    const MlData data{gr.data.tlx, gr.data.xz, gr.data.y, gr.data.pi};
    v = profileGroupValue(profileLikelihood(data, phi_, delta_, s));
  }
  if (v.valid && !std::isfinite(v.loglik)) v.valid = false;
  values_[static_cast<size_t>(g)] = v;
}

// GAMMA = PHI GAMMA PHI' + DELTA is common to the groups: once here.
void Panel::formGamma(Mat phi, Mat delta) {
  const ScratchNeed need = stationaryCovarianceNeed(M_);
  gammaStore_.resize(static_cast<size_t>(M_) * M_);
  gammaWork_.resize(static_cast<size_t>(need.doubles + 8));
  gamma_ = Mat{gammaStore_.data(), std::max(M_, 1), M_, M_};
  stationaryCovariance(phi, delta, gamma_,
                       Scratch(gammaWork_.data(), need.doubles + 8, nullptr, 0, nullptr, 0));
}

bool Panel::evaluate(Mat phi, Mat delta, double& loglik) {
  phi_ = phi;
  delta_ = delta;
  formGamma(phi, delta);
  pool_->run(groups(), [this](int g, int worker) { evaluateGroup(g, worker); });
  loglik = 0.0;
  bool valid = true;
  for (const GroupValue& v : values_) {
    valid = valid && v.valid;
    loglik += v.valid ? v.loglik : 0.0;
  }
  return valid && groups() > 0;
}

}  // namespace kova
