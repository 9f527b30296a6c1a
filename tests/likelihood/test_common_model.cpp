// PHI and DELTA common to the groups of a panel:
//   - the panel's ML and REML log-likelihoods against a dense evaluation
//     through LAPACK (YSIGMA from its definition, its Cholesky factor, the
//     restricted design on an orthonormal null space of the PI rows from
//     LAPACK's SVD);
//   - the value and the whole search bitwise the same on one and on two
//     threads;
//   - on one group, the common model's maximum is the group's own maximum
//     likelihood (likelihood/max_likelihood.h);
//   - the shipped example (examples/grunfeld): the restricted
//     log-likelihood of the table against the dense one at the reported PHI
//     and DELTA from the source data, every group's pass at the common PHI
//     and DELTA, and the same tables with one thread as with two;
//   - two simulated panels (tests/data/common) against statsmodels'
//     state-space maximum likelihood of the summed groups: the
//     log-likelihood, PHI, DELTA, each group's SIGMA**2 and the standard
//     errors;
//   - a component whose innovation variance is zero in the simulated panel
//     is found at the boundary, fixed there, and its PHI reported as not
//     identified, the other elements keeping standard errors.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <vector>

#include "io/fortran_io.h"
#include "likelihood/common_model.h"
#include "likelihood/max_likelihood.h"
#include "linalg/lapack_lsq_ref.h"
#include "linalg/lapack_eispack_ref.h"
#include "report/common_model_section.h"
#include "support/result_csv.h"
#include "support/run_kova.h"
#include "support/temp_dir.h"

namespace kova {
namespace {

using test::DMat;

Mat view(DMat& m) { return Mat{m.data(), m.ld, m.rows, m.cols}; }

struct SimGroup {
  int T = 0, K = 0, P = 0, M = 0;
  DMat tlx, xz, R;  // L = I: tlx = x
  std::vector<double> y, r;
};

// A group simulated from the model with L = I (K = M), P = 1 or 2.
SimGroup simulate(int T, int M, int P, const DMat& phi, const DMat& delta, double sigma,
                  std::mt19937& rng) {
  std::normal_distribution<double> g;
  SimGroup s;
  s.T = T;
  s.K = M;
  s.P = P;
  s.M = M;
  s.tlx = DMat(M, T);
  s.xz = DMat(T, M * P);
  s.R = DMat(0, M * P);
  s.y.resize(T);
  // DELTA's Cholesky factor (lower), zero rows allowed.
  DMat c(M, M);
  for (int j = 1; j <= M; ++j) {
    double v = delta(j, j);
    for (int k = 1; k < j; ++k) v -= c(j, k) * c(j, k);
    c(j, j) = v > 0.0 ? std::sqrt(v) : 0.0;
    for (int i = j + 1; i <= M; ++i) {
      double x = delta(i, j);
      for (int k = 1; k < j; ++k) x -= c(i, k) * c(j, k);
      c(i, j) = c(j, j) > 0.0 ? x / c(j, j) : 0.0;
    }
  }
  std::vector<double> eps(M, 0.0), next(M), a(M);
  for (int t = -50; t <= T; ++t) {
    for (int i = 0; i < M; ++i) a[i] = g(rng);
    for (int i = 1; i <= M; ++i) {
      double v = 0.0;
      for (int l = 1; l <= M; ++l) v += phi(i, l) * eps[l - 1] + sigma * c(i, l) * a[l - 1];
      next[i - 1] = v;
    }
    eps = next;
    if (t < 1) continue;
    double y = 0.0;
    std::vector<double> z(P, 1.0);
    if (P > 1) z[1] = g(rng);
    for (int k = 1; k <= M; ++k) {
      const double x = k == 1 ? 1.0 : 1.0 + g(rng);
      s.tlx(k, t) = x;
      for (int p = 1; p <= P; ++p) s.xz(t, (p - 1) * M + k) = z[p - 1] * x;
      y += x * (0.5 * k + eps[k - 1]);
      if (P > 1) y += 0.3 * z[1] * x;
    }
    s.y[t - 1] = y;
  }
  return s;
}

PanelGroupData panelData(SimGroup& s) {
  return PanelGroupData{view(s.tlx), view(s.xz), s.y.data(),
                        PiRestrictionView{view(s.R), s.r.data(), s.R.rows}};
}

// The dense ML and REML log-likelihoods of one group.
// unitReml: the restricted log-likelihood with YSIGMA the covariance of
// y at the DELTA given (SIGMA**2 = 1, not maximised out).
struct DenseValue {
  double ml = 0.0, reml = 0.0, unitReml = 0.0;
};

DenseValue denseValue(const SimGroup& s, const DMat& phi, const DMat& delta) {
  const int T = s.T, M = s.M, n = s.xz.cols, nr = s.R.rows;
  DMat a(M * M, M * M), v(M * M, 1);
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) {
      v((j - 1) * M + i, 1) = delta(i, j);
      for (int l = 1; l <= M; ++l)
        for (int k = 1; k <= M; ++k)
          a((j - 1) * M + i, (l - 1) * M + k) =
              (i == k && j == l ? 1.0 : 0.0) - phi(i, k) * phi(j, l);
    }
  DMat gv = test::solveSquare(a, v);
  DMat Y(T, T);
  for (int s1 = 1; s1 <= T; ++s1) {
    // PHI^(t-s) GAMMA x~(s), advanced in t.
    std::vector<double> w(M), w2(M);
    for (int i = 1; i <= M; ++i) {
      w[i - 1] = 0.0;
      for (int l = 1; l <= M; ++l) w[i - 1] += gv((l - 1) * M + i, 1) * s.tlx(l, s1);
    }
    for (int t = s1; t <= T; ++t) {
      double sum = 0.0;
      for (int i = 1; i <= M; ++i) sum += s.tlx(i, t) * w[i - 1];
      Y(t, s1) = Y(s1, t) = sum;
      for (int i = 1; i <= M; ++i) {
        w2[i - 1] = 0.0;
        for (int l = 1; l <= M; ++l) w2[i - 1] += phi(i, l) * w[l - 1];
      }
      w = w2;
    }
  }
  int info = 0;
  dpotrf_("L", &T, Y.data(), &Y.ld, &info, 1);
  EXPECT_EQ(info, 0);
  double logdetV = 0.0;
  for (int t = 1; t <= T; ++t) logdetV += 2.0 * std::log(Y(t, t));
  // pi0 and an orthonormal null space N of the PI rows.
  DMat N(n, n), pi0(n, 1);
  int q = n;
  if (nr == 0) {
    N = test::identity(n);
  } else {
    DMat rr = s.R, rhs(nr, 1);
    for (int i = 1; i <= nr; ++i) rhs(i, 1) = s.r[i - 1];
    int rank = 0;
    pi0 = test::lapackMinNorm(rr, rhs, 1e-12, rank);
    DMat rc = s.R, sv(std::min(nr, n), 1), u(nr, nr), vt(n, n);
    int lwork = 5 * (nr + n) + 64;
    std::vector<double> work(lwork);
    dgesvd_("N", "A", &nr, &n, rc.data(), &rc.ld, sv.data(), u.data(), &u.ld, vt.data(), &vt.ld,
            work.data(), &lwork, &info, 1, 1);
    q = n - rank;
    N = DMat(n, q);
    for (int j = 1; j <= q; ++j)
      for (int i = 1; i <= n; ++i) N(i, j) = vt(rank + j, i);
  }
  // Whitened [XN y0].
  DMat w(T, q + 1);
  for (int t = 1; t <= T; ++t) {
    double y0 = s.y[t - 1];
    for (int l = 1; l <= n; ++l) y0 -= s.xz(t, l) * pi0(l, 1);
    w(t, q + 1) = y0;
    for (int j = 1; j <= q; ++j) {
      double sum = 0.0;
      for (int l = 1; l <= n; ++l) sum += s.xz(t, l) * N(l, j);
      w(t, j) = sum;
    }
  }
  int nrhs = q + 1;
  dtrtrs_("L", "N", "N", &T, &nrhs, Y.data(), &Y.ld, w.data(), &w.ld, &info, 1, 1, 1);
  DMat xtx(q, q), xty(q, 1);
  for (int j = 1; j <= q; ++j) {
    for (int i = 1; i <= q; ++i)
      for (int t = 1; t <= T; ++t) xtx(i, j) += w(t, i) * w(t, j);
    for (int t = 1; t <= T; ++t) xty(j, 1) += w(t, j) * w(t, q + 1);
  }
  DMat b = test::solveSquare(xtx, xty);
  double rss = 0.0;
  for (int t = 1; t <= T; ++t) {
    double e = w(t, q + 1);
    for (int j = 1; j <= q; ++j) e -= w(t, j) * b(j, 1);
    rss += e * e;
  }
  dpotrf_("L", &q, xtx.data(), &xtx.ld, &info, 1);
  double logdetX = 0.0;
  for (int j = 1; j <= q; ++j) logdetX += 2.0 * std::log(xtx(j, j));
  const double twoPi = 2.0 * M_PI;
  DenseValue out;
  out.ml = -0.5 * (logdetV + T * (1.0 + std::log(twoPi * rss / T)));
  out.reml = -0.5 * (logdetV + logdetX + (T - q) * (1.0 + std::log(twoPi * rss / (T - q))));
  out.unitReml = -0.5 * (logdetV + logdetX + rss + (T - q) * std::log(twoPi));
  return out;
}

DMat matrix(int M, std::initializer_list<double> values) {
  DMat m(M, M);
  auto it = values.begin();
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) m(i, j) = *it++;
  return m;
}

TEST(CommonModel, PanelLikelihoodAgreesWithTheDenseEvaluation) {
  std::mt19937 rng(3001);
  const int M = 2;
  DMat phiTrue = matrix(M, {0.6, 0.1, -0.2, 0.3});
  DMat deltaTrue = matrix(M, {1.0, 0.3, 0.3, 0.5});
  std::vector<SimGroup> groups;
  groups.push_back(simulate(15, M, 1, phiTrue, deltaTrue, 0.7, rng));
  groups.push_back(simulate(22, M, 2, phiTrue, deltaTrue, 1.3, rng));
  groups.push_back(simulate(31, M, 2, phiTrue, deltaTrue, 0.4, rng));
  // The third group's PI under one equality row: PI(1,1) - PI(2,2) = 0.2.
  groups[2].R = DMat(1, 4);
  groups[2].R(1, 1) = 1.0;
  groups[2].R(1, 4) = -1.0;
  groups[2].r = {0.2};
  std::vector<PanelGroupData> data;
  for (SimGroup& g : groups) data.push_back(panelData(g));
  // Points away from the truth, full PHI and DELTA at an arbitrary scale.
  const DMat phis[] = {matrix(M, {0.5, -0.3, 0.4, 0.6}), matrix(M, {-0.2, 0.0, 0.0, 0.9})};
  const DMat deltas[] = {matrix(M, {2.0, -0.5, -0.5, 0.7}), matrix(M, {0.01, 0.0, 0.0, 3.0})};
  for (PanelCriterion c : {PanelCriterion::ML, PanelCriterion::REML}) {
    Panel panel(data, M, c, 1);
    ASSERT_TRUE(panel.ready());
    for (int k = 0; k < 2; ++k) {
      DMat phi = phis[k], delta = deltas[k];
      double total = 0.0;
      ASSERT_TRUE(panel.evaluate(view(phi), view(delta), total));
      double dense = 0.0;
      for (int g = 0; g < 3; ++g) {
        const DenseValue d = denseValue(groups[g], phis[k], deltas[k]);
        const double ref = c == PanelCriterion::ML ? d.ml : d.reml;
        EXPECT_NEAR(panel.value(g).loglik, ref, 1e-10 * std::fabs(ref)) << g << " " << k;
        dense += ref;
      }
      EXPECT_NEAR(total, dense, 1e-10 * std::fabs(dense));
      EXPECT_EQ(panel.freePi(2), 3);
    }
  }
}

// y scaled by c leaves every f(t) and XN as they are and multiplies RSS by
// c^2: the log-likelihood moves by exactly -n log c (n = T under ML, T - q
// under REML). At c = 1e145 and 1e-145 the sums of squares of the whitened
// y (near 1e292 and 1e-288) are beyond the range the plain sum is trusted in,
// and the norms are taken scaled.
TEST(CommonModel, ExtremeScalesOfYMoveTheLikelihoodByTheirLog) {
  std::mt19937 rng(3002);
  const int M = 2;
  DMat phiTrue = matrix(M, {0.6, 0.1, -0.2, 0.3});
  DMat deltaTrue = matrix(M, {1.0, 0.3, 0.3, 0.5});
  const SimGroup base = simulate(22, M, 2, phiTrue, deltaTrue, 0.9, rng);
  DMat phi = matrix(M, {0.5, -0.3, 0.4, 0.6}), delta = matrix(M, {2.0, -0.5, -0.5, 0.7});
  const DenseValue dense = denseValue(base, phi, delta);
  for (double c : {1e145, 1e-145}) {
    SimGroup g = base;
    for (double& y : g.y) y *= c;
    std::vector<PanelGroupData> data{panelData(g)};
    for (PanelCriterion criterion : {PanelCriterion::ML, PanelCriterion::REML}) {
      Panel panel(data, M, criterion, 1);
      double total = 0.0;
      ASSERT_TRUE(panel.evaluate(view(phi), view(delta), total)) << c;
      const bool ml = criterion == PanelCriterion::ML;
      const double expected = (ml ? dense.ml : dense.reml) - (ml ? 22 : 22 - 4) * std::log(c);
      EXPECT_NEAR(total, expected, 1e-10 * std::fabs(expected)) << c << " " << ml;
    }
  }
}

std::vector<SimGroup> diagonalPanel(int groups, int T, const DMat& phi, const DMat& delta,
                                    unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0.5, 2.0);
  std::vector<SimGroup> out;
  for (int g = 0; g < groups; ++g)
    out.push_back(simulate(T + g % 5, phi.rows, 1, phi, delta, u(rng), rng));
  return out;
}

TEST(CommonModel, OneAndTwoThreadsGiveTheSameBits) {
  const int M = 2;
  DMat phi = matrix(M, {0.6, 0.0, 0.0, 0.3});
  DMat delta = matrix(M, {1.0, 0.0, 0.0, 0.4});
  std::vector<SimGroup> groups = diagonalPanel(9, 20, phi, delta, 77);
  std::vector<PanelGroupData> data;
  for (SimGroup& g : groups) data.push_back(panelData(g));
  CommonForm form;
  form.diagonalPhi = true;
  form.diagonalDelta = true;
  CommonResult r1, r2;
  {
    Panel one(data, M, PanelCriterion::REML, 1), two(data, M, PanelCriterion::REML, 2);
    EXPECT_EQ(two.threads(), 2);
    double a = 0.0, b = 0.0;
    DMat p = matrix(M, {0.3, 0.0, 0.0, -0.4}), d = matrix(M, {0.2, 0.0, 0.0, 1.7});
    ASSERT_TRUE(one.evaluate(view(p), view(d), a));
    ASSERT_TRUE(two.evaluate(view(p), view(d), b));
    EXPECT_EQ(a, b);
    estimateCommonModel(one, form, r1);
    estimateCommonModel(two, form, r2);
  }
  ASSERT_NE(r1.status, MlStatus::Failed);
  EXPECT_EQ(r1.loglik, r2.loglik);
  EXPECT_EQ(r1.evaluations, r2.evaluations);
  EXPECT_EQ(r1.phi, r2.phi);
  EXPECT_EQ(r1.delta, r2.delta);
  EXPECT_EQ(r1.cov, r2.cov);
}

TEST(CommonModel, OneGroupReachesTheGroupMaximumLikelihood) {
  const int M = 2;
  DMat phiTrue = matrix(M, {0.7, 0.0, 0.0, 0.2});
  DMat deltaTrue = matrix(M, {1.0, 0.0, 0.0, 0.5});
  std::vector<SimGroup> groups = diagonalPanel(1, 150, phiTrue, deltaTrue, 4242);
  SimGroup& s = groups[0];
  // The group's own ML.
  MlData data{view(s.tlx), view(s.xz), s.y.data(), PiRestrictionView{view(s.R), nullptr, 0}};
  MlForm mform;
  mform.diagonalPhi = true;
  mform.diagonalDelta = true;
  DMat lastPhi = matrix(M, {0.3, 0.0, 0.0, 0.3}), lastDelta = matrix(M, {1.0, 0.0, 0.0, 1.0});
  DMat phi(M, M), delta(M, M), phiCov(M * M, M * M), sdeltaCov(M * M, M * M), none(0, M);
  MlResult ml;
  ml.phi = view(phi);
  ml.delta = view(delta);
  ml.phiCov = view(phiCov);
  ml.sdeltaCov = view(sdeltaCov);
  GroupDims d{s.T, 0, s.K, s.P, M};
  const ScratchNeed need = estimateMaxLikelihoodNeed(d, 0, 0);
  std::vector<double> wr(need.doubles);
  std::vector<int> wi(need.ints + 1);
  Scratch scratch(wr.data(), need.doubles, wi.data(), need.ints + 1, nullptr, 0);
  estimateMaxLikelihood(data, mform, RestrictionRows{view(none), nullptr}, view(lastPhi),
                        view(lastDelta), ml, scratch);
  ASSERT_EQ(ml.status, MlStatus::Converged);
  ASSERT_FALSE(ml.boundary());

  std::vector<PanelGroupData> pd{panelData(s)};
  Panel panel(pd, M, PanelCriterion::ML, 1);
  CommonForm form;
  form.diagonalPhi = true;
  form.diagonalDelta = true;
  CommonResult r;
  estimateCommonModel(panel, form, r);
  ASSERT_EQ(r.status, MlStatus::Converged);
  EXPECT_NEAR(r.loglik, ml.loglik, 1e-8 * std::fabs(ml.loglik));
  // SIGMA**2 DELTA, the identified scale, and PHI.
  for (int j = 1; j <= M; ++j) {
    EXPECT_NEAR(r.phi[(j - 1) * M + j - 1], phi(j, j), 1e-4);
    const double q = r.sigma2[0] * r.delta[(j - 1) * M + j - 1];
    EXPECT_NEAR(q, ml.sigma2 * delta(j, j), 1e-3 * ml.sigma2 * delta(j, j));
  }
  // Two PHI, one DELTA ratio, SIGMA**2 and two PI: the group's count.
  EXPECT_EQ(r.parameters, ml.parameters);
  // The standard errors of PHI agree with those of the group's observed
  // information (both by differences: to a per cent).
  ASSERT_TRUE(r.covariance);
  ASSERT_TRUE(ml.covariance);
  for (int j = 1; j <= M; ++j) {
    const int k = (j - 1) * M + j;
    const double se = std::sqrt(r.cov[static_cast<size_t>(k - 1) * 2 * M * M + k - 1]);
    EXPECT_NEAR(se, std::sqrt(phiCov(k, k)), 0.01 * std::sqrt(phiCov(k, k))) << j;
  }
}

// METHOD = REML of one group: its restricted maximum is that of the common
// model of a panel of one under REML, and the criterion it reports at its
// estimates is the dense restricted log-likelihood there.
TEST(CommonModel, OneGroupReachesTheGroupRestrictedMaximum) {
  const int M = 2;
  DMat phiTrue = matrix(M, {0.6, 0.0, 0.0, 0.3});
  DMat deltaTrue = matrix(M, {1.0, 0.0, 0.0, 0.5});
  std::vector<SimGroup> groups = diagonalPanel(1, 60, phiTrue, deltaTrue, 977);
  SimGroup& s = groups[0];
  MlData data{view(s.tlx), view(s.xz), s.y.data(), PiRestrictionView{view(s.R), nullptr, 0}};
  MlForm mform;
  mform.diagonalPhi = true;
  mform.diagonalDelta = true;
  DMat lastPhi = matrix(M, {0.3, 0.0, 0.0, 0.3}), lastDelta = matrix(M, {1.0, 0.0, 0.0, 1.0});
  DMat phi(M, M), delta(M, M), phiCov(M * M, M * M), sdeltaCov(M * M, M * M), none(0, M);
  GroupDims d{s.T, 0, s.K, s.P, M};
  const ScratchNeed need = estimateMaxLikelihoodNeed(d, 0, 0);
  std::vector<double> wr(need.doubles);
  std::vector<int> wi(need.ints + 1);
  Scratch scratch(wr.data(), need.doubles, wi.data(), need.ints + 1, nullptr, 0);
  auto fit = [&](bool restricted, MlResult& r) {
    r.phi = view(phi);
    r.delta = view(delta);
    r.phiCov = view(phiCov);
    r.sdeltaCov = view(sdeltaCov);
    mform.restricted = restricted;
    estimateMaxLikelihood(data, mform, RestrictionRows{view(none), nullptr}, view(lastPhi),
                          view(lastDelta), r, scratch);
  };
  MlResult ml, reml;
  fit(false, ml);
  ASSERT_EQ(ml.status, MlStatus::Converged);
  const DMat mlPhi = phi;
  fit(true, reml);
  ASSERT_EQ(reml.status, MlStatus::Converged);
  ASSERT_FALSE(reml.boundary());
  // The criterion at the reported estimates, densely.
  const DenseValue dense = denseValue(s, phi, delta);
  EXPECT_NEAR(reml.loglik, dense.reml, 1e-10 * std::fabs(dense.reml));
  // Not the profile: the restricted criterion moves the estimates.
  EXPECT_GT(std::fabs(phi(1, 1) - mlPhi(1, 1)) + std::fabs(phi(2, 2) - mlPhi(2, 2)), 1e-3);
  EXPECT_EQ(reml.parameters, ml.parameters);

  std::vector<PanelGroupData> pd{panelData(s)};
  Panel panel(pd, M, PanelCriterion::REML, 1);
  CommonForm form;
  form.diagonalPhi = true;
  form.diagonalDelta = true;
  CommonResult r;
  estimateCommonModel(panel, form, r);
  ASSERT_EQ(r.status, MlStatus::Converged);
  EXPECT_NEAR(r.loglik, reml.loglik, 1e-8 * std::fabs(reml.loglik));
  for (int j = 1; j <= M; ++j) {
    EXPECT_NEAR(r.phi[(j - 1) * M + j - 1], phi(j, j), 1e-4) << j;
    // SIGMA**2 = RSS / (n - q) under both.
    const double q = r.sigma2[0] * r.delta[(j - 1) * M + j - 1];
    EXPECT_NEAR(q, reml.sigma2 * delta(j, j), 1e-3 * reml.sigma2 * delta(j, j)) << j;
  }
}

// METHOD = REML's standard errors: the inverse of minus the Hessian of the
// dense restricted log-likelihood in (PHI(1,1), PHI(2,2), SIGMA**2
// DELTA(1,1), SIGMA**2 DELTA(2,2)), SIGMA**2 not maximised out, by central
// differences at the reported estimates, inverted through LAPACK.
TEST(CommonModel, OneGroupRestrictedStandardErrorsAreTheDenseInformation) {
  const int M = 2;
  DMat phiTrue = matrix(M, {0.6, 0.0, 0.0, 0.3});
  DMat deltaTrue = matrix(M, {1.0, 0.0, 0.0, 0.5});
  std::vector<SimGroup> groups = diagonalPanel(1, 160, phiTrue, deltaTrue, 4211);
  SimGroup& s = groups[0];
  MlData data{view(s.tlx), view(s.xz), s.y.data(), PiRestrictionView{view(s.R), nullptr, 0}};
  MlForm mform;
  mform.diagonalPhi = true;
  mform.diagonalDelta = true;
  mform.restricted = true;
  DMat lastPhi = matrix(M, {0.3, 0.0, 0.0, 0.3}), lastDelta = matrix(M, {1.0, 0.0, 0.0, 1.0});
  DMat phi(M, M), delta(M, M), phiCov(M * M, M * M), sdeltaCov(M * M, M * M), none(0, M);
  DMat spread(2 * M * M, mlSpreadColumns(M));
  GroupDims d{s.T, 0, s.K, s.P, M};
  const ScratchNeed need = estimateMaxLikelihoodNeed(d, 0, 0);
  std::vector<double> wr(need.doubles);
  std::vector<int> wi(need.ints + 1);
  Scratch scratch(wr.data(), need.doubles, wi.data(), need.ints + 1, nullptr, 0);
  MlResult r;
  r.phi = view(phi);
  r.delta = view(delta);
  r.phiCov = view(phiCov);
  r.sdeltaCov = view(sdeltaCov);
  r.spread = view(spread);
  estimateMaxLikelihood(data, mform, RestrictionRows{view(none), nullptr}, view(lastPhi),
                        view(lastDelta), r, scratch);
  ASSERT_EQ(r.status, MlStatus::Converged);
  ASSERT_FALSE(r.boundary());
  ASSERT_TRUE(r.covariance);
  EXPECT_EQ(r.spreadCount, 2 * M);  // PHI's and DELTA's diagonals

  // theta = (PHI(1,1), PHI(2,2), Q(1,1), Q(2,2)), Q = SIGMA**2 DELTA.
  const double theta0[4] = {phi(1, 1), phi(2, 2), r.sigma2 * delta(1, 1),
                            r.sigma2 * delta(2, 2)};
  auto value = [&](const double* th) {
    DMat p = matrix(M, {th[0], 0.0, 0.0, th[1]}), q = matrix(M, {th[2], 0.0, 0.0, th[3]});
    return denseValue(s, p, q).unitReml;
  };
  double h[4];
  for (int i = 0; i < 4; ++i) h[i] = 2e-4 * std::max(std::fabs(theta0[i]), 0.1);
  DMat info(4, 4);
  double th[4];
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j <= i; ++j) {
      double f[4];
      const int sgn[4][2] = {{1, 1}, {1, -1}, {-1, 1}, {-1, -1}};
      for (int c = 0; c < 4; ++c) {
        std::copy_n(theta0, 4, th);
        th[i] += sgn[c][0] * h[i];
        th[j] += sgn[c][1] * h[j];
        f[c] = value(th);
      }
      const double hij = -(f[0] - f[1] - f[2] + f[3]) / (4.0 * h[i] * h[j]);
      info(i + 1, j + 1) = info(j + 1, i + 1) = hij;
    }
  int n = 4, info0 = 0;
  DMat chol = info, cov = test::identity(4);
  dpotrf_("U", &n, chol.data(), &chol.ld, &info0, 1);
  ASSERT_EQ(info0, 0);
  dpotrs_("U", &n, &n, chol.data(), &chol.ld, cov.data(), &cov.ld, &info0, 1);
  ASSERT_EQ(info0, 0);
  const int el[2] = {1, M * M};  // (1,1) and (2,2), column by column
  for (int k = 0; k < 2; ++k) {
    const double sePhi = std::sqrt(cov(k + 1, k + 1)), seQ = std::sqrt(cov(k + 3, k + 3));
    EXPECT_NEAR(std::sqrt(phiCov(el[k], el[k])), sePhi, 1e-4 * sePhi) << k;
    EXPECT_NEAR(std::sqrt(sdeltaCov(el[k], el[k])), seQ, 1e-4 * seQ) << k;
    EXPECT_NEAR(phiCov(el[k], el[1 - k]), cov(1, 2), 1e-4 * sePhi * std::sqrt(cov(2, 2))) << k;
    EXPECT_NEAR(sdeltaCov(el[k], el[1 - k]), cov(3, 4), 1e-4 * seQ * std::sqrt(cov(4, 4))) << k;
  }
  // The spread's factor: PHI(1,1) and DELTA(2,2) (in units of the reported
  // DELTA) carry the dense covariance.
  double vPhi = 0.0, vDelta = 0.0;
  for (int l = 1; l <= r.spreadCount; ++l) {
    vPhi += spread(1, l) * spread(1, l);
    vDelta += spread(M * M + M * M, l) * spread(M * M + M * M, l);
  }
  EXPECT_NEAR(vPhi, cov(1, 1), 2e-4 * cov(1, 1));
  const double vd = cov(4, 4) / (r.sigma2 * r.sigma2);
  EXPECT_NEAR(vDelta, vd, 2e-4 * vd);
}

TEST(CommonModel, ZeroInnovationVarianceIsFixedAndItsPhiNotIdentified) {
  const int M = 2;
  DMat phiTrue = matrix(M, {0.6, 0.0, 0.0, 0.3});
  DMat deltaTrue = matrix(M, {1.0, 0.0, 0.0, 0.0});
  std::vector<SimGroup> groups = diagonalPanel(15, 25, phiTrue, deltaTrue, 914);
  std::vector<PanelGroupData> data;
  for (SimGroup& g : groups) data.push_back(panelData(g));
  Panel panel(data, M, PanelCriterion::REML, 2);
  CommonForm form;
  form.diagonalPhi = true;
  form.diagonalDelta = true;
  CommonResult r;
  estimateCommonModel(panel, form, r);
  ASSERT_NE(r.status, MlStatus::Failed);
  EXPECT_EQ(r.deltaZero, (std::vector<int>{0, 1}));
  EXPECT_EQ(r.phiNotIdentified, (std::vector<int>{0, 1}));
  EXPECT_TRUE(r.boundary());
  EXPECT_EQ(r.delta[3], 0.0);
  EXPECT_NEAR(r.delta[0], 2.0, 1e-12);
  EXPECT_NEAR(r.phi[0], 0.6, 0.15);
  // PHI(1,1) keeps its standard error; the fixed elements have none.
  ASSERT_TRUE(r.covariance);
  EXPECT_GT(r.cov[0], 0.0);
  EXPECT_EQ(r.cov[3 * 8 + 3], 0.0);
  // A diagonal PHI and DELTA less the two fixed, less the scale: 1 + 0.
  int perGroup = 0;
  for (int g = 0; g < panel.groups(); ++g) perGroup += 1 + panel.freePi(g);
  EXPECT_EQ(r.parameters, 1 + perGroup);
}

// The restricted log-likelihood of a panel from the dense evaluation at a
// diagonal PHI and DELTA = u u', u = (1, b(2), ..., b(M)): the rank-1
// problem in coordinates of its own, theta = (PHI(1,1), ..., PHI(M,M),
// b(2), ..., b(M)).
double denseRankOne(const std::vector<SimGroup>& groups, const std::vector<double>& theta, int M) {
  DMat phi(M, M), delta(M, M);
  std::vector<double> u(M, 1.0);
  for (int j = 1; j <= M; ++j) phi(j, j) = theta[j - 1];
  for (int j = 2; j <= M; ++j) u[j - 1] = theta[M + j - 2];
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) delta(i, j) = u[i - 1] * u[j - 1];
  double sum = 0.0;
  for (const SimGroup& g : groups) sum += denseValue(g, phi, delta).reml;
  return sum;
}

// A panel whose innovations move along one direction only (DELTA = u u',
// M = 3): without the penalty the full DELTA ends singular, is held at rank
// 1 and its maximum there is the maximum of the rank-1 problem: the value
// is the dense one, the gradient of the dense value in coordinates of its
// own vanishes (a Newton step gains less than 1e-6) and the standard
// errors are those of the dense information in those coordinates. Under ML
// the same panel's likelihood has no maximum there (a spike), said so.
TEST(CommonModel, SingularDeltaIsHeldAtItsRankAtTheRestrictedMaximum) {
  const int M = 3, M2 = M * M;
  const double u[3] = {1.0, 0.5, -0.5};
  DMat phiTrue = matrix(M, {0.6, 0.0, 0.0, 0.0, 0.3, 0.0, 0.0, 0.0, 0.5});
  DMat deltaTrue(M, M);
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) deltaTrue(i, j) = u[i - 1] * u[j - 1];
  std::vector<SimGroup> groups = diagonalPanel(15, 25, phiTrue, deltaTrue, 11);
  std::vector<PanelGroupData> data;
  for (SimGroup& g : groups) data.push_back(panelData(g));
  Panel panel(data, M, PanelCriterion::REML, 2);
  CommonForm form;
  form.diagonalPhi = true;
  CommonResult r;
  estimateCommonModel(panel, form, r);
  ASSERT_EQ(r.status, MlStatus::Converged);
  ASSERT_EQ(r.deltaRank, 1);
  EXPECT_FALSE(r.deltaSingular);
  EXPECT_TRUE(r.boundary());
  EXPECT_LT(r.deltaRatio, kCommonSingularDelta);
  // DELTA = u u' (trace M) and its two null directions: DELTA v = 0.
  auto delta = [&](int i, int j) { return r.delta[(j - 1) * M + i - 1]; };
  ASSERT_EQ(r.deltaNull.size(), static_cast<size_t>(2 * M));
  for (int k = 0; k < 2; ++k)
    for (int i = 1; i <= M; ++i) {
      double dv = 0.0;
      for (int j = 1; j <= M; ++j) dv += delta(i, j) * r.deltaNull[k * M + j - 1];
      EXPECT_NEAR(dv, 0.0, 1e-12) << k << " " << i;
    }
  std::vector<double> theta{r.phi[0], r.phi[4], r.phi[8], delta(2, 1) / delta(1, 1),
                            delta(3, 1) / delta(1, 1)};
  EXPECT_NEAR(delta(2, 2), delta(1, 1) * theta[3] * theta[3], 1e-12);
  EXPECT_NEAR(delta(3, 2), delta(1, 1) * theta[3] * theta[4], 1e-12);
  EXPECT_NEAR(theta[3], 0.5, 0.1);
  EXPECT_NEAR(theta[4], -0.5, 0.1);
  // Diagonal PHI stays identified: u has no zero element.
  EXPECT_EQ(r.phiFlatCount, 0);
  EXPECT_EQ(r.phiNotIdentified, (std::vector<int>{0, 0, 0}));
  // The value is the dense one.
  const double f0 = denseRankOne(groups, theta, M);
  EXPECT_NEAR(r.loglik, f0, 1e-10 * std::fabs(f0));
  // Gradient and Hessian of the dense value by central differences.
  const int n = 5;
  const double h = 1e-4;
  DMat g(n, 1), H(n, n);
  auto f = [&](int a, double da, int b, double db) {
    std::vector<double> t = theta;
    t[a] += da;
    t[b] += db;
    return denseRankOne(groups, t, M);
  };
  for (int a = 0; a < n; ++a) {
    g(a + 1, 1) = (f(a, h, a, 0.0) - f(a, -h, a, 0.0)) / (2.0 * h);
    H(a + 1, a + 1) = (f(a, h, a, 0.0) - 2.0 * f0 + f(a, -h, a, 0.0)) / (h * h);
    for (int b = 0; b < a; ++b)
      H(a + 1, b + 1) = H(b + 1, a + 1) =
          (f(a, h, b, h) - f(a, h, b, -h) - f(a, -h, b, h) + f(a, -h, b, -h)) / (4.0 * h * h);
  }
  DMat info(n, n);
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i) info(i, j) = -H(i, j);
  const DMat step = test::solveSquare(info, g);
  const DMat cov = test::solveSquare(info, test::identity(n));
  double gain = 0.0;
  for (int a = 1; a <= n; ++a) gain += 0.5 * g(a, 1) * step(a, 1);
  EXPECT_GE(gain, 0.0);
  EXPECT_LT(gain, 1e-6);
  for (int a = 1; a <= n; ++a) EXPECT_LT(std::fabs(g(a, 1)) * std::sqrt(cov(a, a)), 2e-3) << a;
  // Standard errors: PHI's from the dense covariance; DELTA(2,1) = M b2 /
  // (1 + b2^2 + b3^2) by the delta method.
  ASSERT_TRUE(r.covariance);
  auto rcov = [&](int a, int b) { return r.cov[static_cast<size_t>(b) * 2 * M2 + a]; };
  for (int j = 0; j < M; ++j) {
    const int k = j * M + j;
    EXPECT_NEAR(std::sqrt(rcov(k, k)), std::sqrt(cov(j + 1, j + 1)),
                0.005 * std::sqrt(cov(j + 1, j + 1)))
        << j;
  }
  const double b2 = theta[3], b3 = theta[4], s = 1.0 + b2 * b2 + b3 * b3;
  const double d2 = M * (s - 2.0 * b2 * b2) / (s * s), d3 = -M * 2.0 * b2 * b3 / (s * s);
  const double v21 = d2 * d2 * cov(4, 4) + 2.0 * d2 * d3 * cov(4, 5) + d3 * d3 * cov(5, 5);
  EXPECT_NEAR(std::sqrt(rcov(M2 + 1, M2 + 1)), std::sqrt(v21), 0.005 * std::sqrt(v21));
  EXPECT_EQ(r.omitted, 3);
  // Three PHI and DELTA's two directions (rank 1 of M = 3, less the scale).
  int perGroup = 0;
  for (int k = 0; k < panel.groups(); ++k) perGroup += 1 + panel.freePi(k);
  EXPECT_EQ(r.parameters, 3 + 2 + perGroup);

  // Under ML the same panel has a spike: along the fit's two small
  // eigen-directions the dense ML value grows by 1/2 log 100 for each
  // hundredfold shrink (without bound: in the limit a row is fitted
  // exactly), so there is no maximum and the fit says so. The growth takes
  // that rate only far out: from the fit's end it first climbs about twice
  // as fast (down to some 1e-10 of the largest eigenvalue), so the probe
  // looks between 1e-10 and 1e-14.
  {
    Panel mlPanel(data, M, PanelCriterion::ML, 2);
    CommonResult m;
    estimateCommonModel(mlPanel, form, m);
    EXPECT_TRUE(m.deltaSingular);
    EXPECT_EQ(m.deltaRank, 0);
    EXPECT_FALSE(m.covariance);
    EXPECT_GT(m.projectionLoss, 1.0);
    std::vector<double> z = m.delta, ev(M);
    int nn = M, lwork = 200, info = 0;
    std::vector<double> work(lwork);
    dsyev_("V", "U", &nn, z.data(), &nn, ev.data(), work.data(), &lwork, &info, 1, 1);
    ASSERT_EQ(info, 0);
    EXPECT_LT(ev[1], kCommonSingularDelta * ev[2]);
    std::vector<double> along;
    for (double eps : {1e-10, 1e-12, 1e-14}) {
      DMat phi(M, M), d(M, M);
      for (int j = 1; j <= M; ++j) phi(j, j) = m.phi[(j - 1) * M + j - 1];
      for (int k = 0; k < M; ++k) {
        const double l = k < 2 ? eps * ev[2] : ev[k];
        for (int j = 1; j <= M; ++j)
          for (int i = 1; i <= M; ++i) d(i, j) += l * z[k * M + i - 1] * z[k * M + j - 1];
      }
      double sum = 0.0;
      for (const SimGroup& g : groups) sum += denseValue(g, phi, d).ml;
      along.push_back(sum);
    }
    EXPECT_NEAR(along[1] - along[0], 0.5 * std::log(100.0), 0.05);
    EXPECT_NEAR(along[2] - along[1], 0.5 * std::log(100.0), 0.05);
    // The penalty takes 1/2 log 100 for each of the two: it bounds this
    // spike, and the penalised search stays off it.
    CommonForm penalised = form;
    penalised.penalty = true;
    CommonResult q;
    estimateCommonModel(mlPanel, penalised, q);
    EXPECT_FALSE(q.deltaSingular);
    EXPECT_EQ(q.deltaRank, 0);
    // Its end lies close to singular, where the likelihood climbs about as
    // fast as the penalty falls: by the dense penalised value it is a
    // maximum along its two small eigen-directions, the value lower with
    // them a hundredfold smaller and a hundredfold larger.
    std::vector<double> zq = q.delta, evq(M);
    dsyev_("V", "U", &nn, zq.data(), &nn, evq.data(), work.data(), &lwork, &info, 1, 1);
    ASSERT_EQ(info, 0);
    EXPECT_LT(evq[1], kCommonSingularDelta * evq[2]);
    auto densePenalised = [&](double scale) {
      DMat phi(M, M), d(M, M);
      for (int j = 1; j <= M; ++j) phi(j, j) = q.phi[(j - 1) * M + j - 1];
      double trace = 0.0, logDet = 0.0;
      for (int k = 0; k < M; ++k) {
        const double l = k < 2 ? scale * evq[k] : evq[k];
        trace += l;
        logDet += std::log(l);
        for (int j = 1; j <= M; ++j)
          for (int i = 1; i <= M; ++i) d(i, j) += l * zq[k * M + i - 1] * zq[k * M + j - 1];
      }
      double sum = 0.5 * (logDet + M * std::log(M / trace));
      for (const SimGroup& g : groups) sum += denseValue(g, phi, d).ml;
      return sum;
    };
    const double atEnd = densePenalised(1.0);
    EXPECT_NEAR(atEnd, q.loglik + q.penalty, 1e-3);
    EXPECT_LT(densePenalised(1e-2), atEnd - 1e-3);
    EXPECT_LT(densePenalised(1e2), atEnd - 1e-3);
  }

  // With the penalty DELTA stays definite, close to singular, where steps
  // in its elements leave the definite matrices: the standard errors come
  // from its factor, and PHI's are those of the dense penalised value in
  // coordinates of its own (DELTA = L L', L lower triangular, L(1,1) = 1).
  form.penalty = true;
  CommonResult p;
  estimateCommonModel(panel, form, p);
  ASSERT_EQ(p.status, MlStatus::Converged);
  EXPECT_EQ(p.deltaRank, 0);
  EXPECT_FALSE(p.deltaSingular);
  ASSERT_TRUE(p.covariance);
  auto pd = [&](int i, int j) { return p.delta[(j - 1) * M + i - 1]; };
  const double l21 = pd(2, 1) / pd(1, 1), l31 = pd(3, 1) / pd(1, 1);
  const double l22 = std::sqrt(pd(2, 2) / pd(1, 1) - l21 * l21);
  const double l32 = (pd(3, 2) / pd(1, 1) - l31 * l21) / l22;
  const double l33 = std::sqrt(pd(3, 3) / pd(1, 1) - l31 * l31 - l32 * l32);
  std::vector<double> eta{p.phi[0], p.phi[4], p.phi[8], l21, l31, l22, l32, l33};
  auto penalised = [&](const std::vector<double>& t) {
    DMat phi(M, M), L(M, M), delta(M, M);
    for (int j = 1; j <= M; ++j) phi(j, j) = t[j - 1];
    L(1, 1) = 1.0;
    L(2, 1) = t[3];
    L(3, 1) = t[4];
    L(2, 2) = t[5];
    L(3, 2) = t[6];
    L(3, 3) = t[7];
    double trace = 0.0;
    for (int j = 1; j <= M; ++j)
      for (int i = 1; i <= M; ++i) {
        for (int k = 1; k <= M; ++k) delta(i, j) += L(i, k) * L(j, k);
        if (i == j) trace += delta(i, i);
      }
    double sum = 0.5 * M * std::log(M / trace) + std::log(std::fabs(t[5] * t[7]));
    for (const SimGroup& g : groups) sum += denseValue(g, phi, delta).reml;
    return sum;
  };
  const double p0 = penalised(eta);
  EXPECT_NEAR(p.loglik + p.penalty, p0, 1e-10 * std::fabs(p0));
  const int m = 8;
  DMat pinfo(m, m);
  const double e = 1e-4;
  auto pf = [&](int a, double da, int b, double db) {
    std::vector<double> t = eta;
    t[a] += da;
    t[b] += db;
    return penalised(t);
  };
  for (int a = 0; a < m; ++a) {
    pinfo(a + 1, a + 1) = -(pf(a, e, a, 0.0) - 2.0 * p0 + pf(a, -e, a, 0.0)) / (e * e);
    for (int b = 0; b < a; ++b)
      pinfo(a + 1, b + 1) = pinfo(b + 1, a + 1) =
          -(pf(a, e, b, e) - pf(a, e, b, -e) - pf(a, -e, b, e) + pf(a, -e, b, -e)) / (4.0 * e * e);
  }
  const DMat pcov = test::solveSquare(pinfo, test::identity(m));
  for (int j = 0; j < M; ++j) {
    const int k = j * M + j;
    const double se = std::sqrt(p.cov[static_cast<size_t>(k) * 2 * M2 + k]);
    EXPECT_NEAR(se, std::sqrt(pcov(j + 1, j + 1)), 0.01 * std::sqrt(pcov(j + 1, j + 1))) << j;
  }
}

// A spike: every group's first x is 0, so with zero PHI the constant's
// variance DELTA(1,1) is that row's whole variance, and as it goes to 0
// each group's PI fits its first row exactly: the likelihood grows without
// bound (by 1/2 log per group, more than the penalty's 1/2 log takes). The
// fit says so, with and without the penalty: no maximum, no rank held,
// and the report gives the last point's value as no maximum, without AIC
// or BIC.
TEST(CommonModel, ASpikeWhereDeltaTurnsSingularIsNoMaximum) {
  std::mt19937 rng(1);
  std::normal_distribution<double> gauss;
  const int M = 2, G = 6, T = 20;
  std::vector<SimGroup> groups(G);
  for (SimGroup& s : groups) {
    s.T = T;
    s.K = s.M = M;
    s.P = 1;
    s.tlx = DMat(M, T);
    s.xz = DMat(T, M);
    s.R = DMat(0, M);
    double e1 = 0.0, e2 = 0.0;
    for (int t = 1; t <= T; ++t) {
      const double x = t == 1 ? 0.0 : 1.0 + gauss(rng);
      s.tlx(1, t) = s.xz(t, 1) = 1.0;
      s.tlx(2, t) = s.xz(t, 2) = x;
      e1 = 0.5 * e1 + 0.01 * gauss(rng);
      e2 = 0.5 * e2 + 0.7 * gauss(rng);
      s.y.push_back(1.0 + e1 + x * (2.0 + e2));
    }
  }
  std::vector<PanelGroupData> data;
  for (SimGroup& g : groups) data.push_back(panelData(g));
  Panel panel(data, M, PanelCriterion::ML, 1);
  for (bool penalty : {false, true}) {
    CommonForm form;
    form.zeroPhi = true;
    form.penalty = penalty;
    CommonResult r;
    estimateCommonModel(panel, form, r);
    ASSERT_NE(r.status, MlStatus::Failed) << penalty;
    EXPECT_TRUE(r.deltaSingular) << penalty;
    EXPECT_EQ(r.deltaRank, 0) << penalty;
    EXPECT_LT(r.deltaRatio, kCommonSingularDelta) << penalty;
    EXPECT_LT(r.delta[0], 1e-8) << penalty;
    // The value at the last point is far above that of the same PHI and
    // DELTA with the constant's variance at 0 (there the first rows have
    // no noise and drop out).
    EXPECT_GT(r.projectionLoss, 10.0) << penalty;
    DMat phi(M, M), singular(M, M);
    singular(2, 2) = 2.0;
    double atZero = 0.0;
    ASSERT_TRUE(panel.evaluate(view(phi), view(singular), atZero));
    EXPECT_GT(r.loglik, atZero + 10.0) << penalty;
    if (penalty) continue;
    testing::TempDir dir;
    openUnit(100, "KOVAOUT", "FORMATTED", "UNKNOWN");
    openUnit(102, "KOVALOG", "FORMATTED", "UNKNOWN");
    CommonModelSection s;
    s.restricted = false;
    s.status = "NO MAXIMUM (DELTA TURNS SINGULAR)";
    s.loglik = r.loglik;
    s.phi = view(phi);
    s.delta = Mat{r.delta.data(), M, M, M};
    s.zeroPhi = true;
    s.deltaZero = r.deltaZero;
    s.phiNotIdentified = r.phiNotIdentified;
    s.phiAtBound = r.phiAtBound;
    s.deltaSingular = r.deltaSingular;
    s.deltaRatio = r.deltaRatio;
    s.covariance = r.covariance;
    printCommonModel(s, 100);
    reportCommonWarnings(s, nullptr, 100, 102);
    closeAllUnits();
    // The report's long lines wrap onto lines indented by five.
    std::string report = testing::readFile("KOVAOUT");
    for (size_t at = report.find("\n     "); at != std::string::npos;
         at = report.find("\n     ", at))
      report.replace(at, 6, " ");
    EXPECT_NE(report.find("LOG-LIKELIHOOD AT THE LAST POINT"), std::string::npos) << report;
    EXPECT_NE(report.find("(NOT A MAXIMUM)"), std::string::npos) << report;
    EXPECT_NE(report.find("NO AIC OR BIC: THE LIKELIHOOD HAS NO MAXIMUM."), std::string::npos);
    EXPECT_EQ(report.find("   AIC"), std::string::npos) << report;
    EXPECT_NE(report.find("GROWS WITHOUT BOUND AS DELTA TURNS SINGULAR AND HAS NO MAXIMUM"),
              std::string::npos)
        << report;
    EXPECT_EQ(testing::readFile("KOVALOG"),
              " WARNING (COMMON MODEL): DELTA IS SINGULAR AND THE LIKELIHOOD GROWS WITHOUT BOUND"
              " THERE: NO MAXIMUM.\n WARNING (COMMON MODEL): NO STANDARD ERRORS.\n");
    EXPECT_NE(report.find("NO STANDARD ERRORS: THERE IS NO MAXIMUM."), std::string::npos);
    EXPECT_FALSE(r.covariance);
  }
}

// The Grunfeld firms of the source data in order of first appearance: the
// first 18 years of each (the last two are forecast records), x = (1,
// value, capital), L = I.
std::vector<SimGroup> grunfeldGroups() {
  std::ifstream in(std::filesystem::path(KOVA_TEST_DATA) / "grunfeld" / "grunfeld.csv");
  std::string line;
  std::getline(in, line);
  std::vector<std::string> order;
  std::map<std::string, std::vector<std::array<double, 3>>> rows;
  while (std::getline(in, line)) {
    std::stringstream f(line);
    std::string inv, val, cap, firm;
    std::getline(f, inv, ',');
    std::getline(f, val, ',');
    std::getline(f, cap, ',');
    std::getline(f, firm, ',');
    if (!rows.count(firm)) order.push_back(firm);
    rows[firm].push_back({std::stod(inv), std::stod(val), std::stod(cap)});
  }
  std::vector<SimGroup> out;
  for (const std::string& firm : order) {
    const auto& r = rows[firm];
    SimGroup s;
    s.T = static_cast<int>(r.size()) - 2;
    s.K = s.M = 3;
    s.P = 1;
    s.tlx = DMat(3, s.T);
    s.xz = DMat(s.T, 3);
    s.R = DMat(0, 3);
    for (int t = 1; t <= s.T; ++t) {
      const double x[3] = {1.0, r[t - 1][1], r[t - 1][2]};
      for (int k = 1; k <= 3; ++k) s.tlx(k, t) = s.xz(t, k) = x[k - 1];
      s.y.push_back(r[t - 1][0]);
    }
    out.push_back(s);
  }
  return out;
}

// The rows of KOVA_ESTIMATES.csv by "group,pass,matrix(row,column)".
std::map<std::string, std::string> estimates(const char* column) {
  const testing::Csv csv = testing::readCsv("KOVA_ESTIMATES.csv");
  std::map<std::string, std::string> out;
  for (size_t i = 0; i < csv.rows.size(); ++i)
    out[csv.at(i, "group") + "," + csv.at(i, "pass") + "," + csv.at(i, "matrix") + "(" +
        csv.at(i, "row") + "," + csv.at(i, "column") + ")"] = csv.at(i, column);
  return out;
}

// METHOD = REML on every Grunfeld firm: the LOGLIK row of each is the
// dense restricted log-likelihood of the firm at its reported PHI and DELTA,
// and the report and tables say which criterion it is.
TEST(CommonModel, GrunfeldFirmsUnderRemlReportTheDenseRestrictedLikelihood) {
  testing::TempDir dir;
  testing::copyExample("grunfeld-firms");
  {
    std::ifstream in("PARAMTRS");
    std::stringstream text;
    text << in.rdbuf();
    std::string p = text.str();
    const std::string end = "END GROUP (ALL)";
    p.insert(p.find(end), "METHOD = REML\nDIAGONAL PHI = YES\nDIAGONAL DELTA = YES\n");
    std::ofstream("PARAMTRS") << p;
  }
  const testing::RunResult run = testing::runKova();
  ASSERT_EQ(run.status, 0) << run.console;
  const std::string report = testing::readFile("KOVAOUT");
  EXPECT_NE(report.find("METHOD FOR PHI AND DELTA         =  RESTRICTED MAXIMUM LIKELIHOOD"),
            std::string::npos);
  EXPECT_NE(report.find("RESTRICTED LOG-LIKELIHOOD (PI INTEGRATED OUT)"), std::string::npos);
  std::map<std::string, std::string> value = estimates("value");
  const std::vector<SimGroup> firms = grunfeldGroups();
  const int M = 3;
  int compared = 0;
  for (int g = 1; g <= 11; ++g) {
    const std::string p = std::to_string(g) + ",5,";
    if (!value.count(p + "LOGLIK(1,1)")) continue;
    DMat phi(M, M), delta(M, M);
    for (int j = 1; j <= M; ++j)
      for (int i = 1; i <= M; ++i) {
        const std::string e = "(" + std::to_string(i) + "," + std::to_string(j) + ")";
        phi(i, j) = std::stod(value.at(p + "ML_PHI" + e));
        delta(i, j) = std::stod(value.at(p + "ML_DELTA" + e));
      }
    const DenseValue dense = denseValue(firms[g - 1], phi, delta);
    EXPECT_NEAR(std::stod(value.at(p + "LOGLIK(1,1)")), dense.reml, 1e-10 * std::fabs(dense.reml))
        << g;
    // BIC counts the 18 - 3 error contrasts of the restricted likelihood.
    EXPECT_NEAR(std::stod(value.at(p + "BIC(1,1)")),
                -2.0 * std::stod(value.at(p + "LOGLIK(1,1)")) +
                    std::stod(value.at(p + "ML_PARAMETERS(1,1)")) * std::log(15.0),
                1e-8)
        << g;
    ++compared;
  }
  EXPECT_GE(compared, 9);
  EXPECT_NE(report.find("RESTRICTED MAXIMUM-LIKELIHOOD PHI"), std::string::npos);
  EXPECT_NE(report.find("RESTRICTED MAXIMUM-LIKELIHOOD SIGMA**2 DELTA"), std::string::npos);
  // The BETA(t) bands carry the draws of PHI and DELTA as under ML: where
  // they are missing, it is for one of ML's reasons (the information not
  // definite or on a boundary, 2; no admissible draw, 3).
  const testing::Csv warnings = testing::readCsv("KOVA_WARNINGS.csv");
  int incomplete = 0;
  for (size_t i = 0; i < warnings.rows.size(); ++i)
    if (warnings.at(i, "kind") == "beta_se_incomplete") {
      const std::string why = warnings.at(i, "value");
      EXPECT_TRUE(why == "2" || why == "3") << why;
      ++incomplete;
    }
  EXPECT_LE(incomplete, compared);
}

TEST(CommonModel, GrunfeldExampleAgreesWithTheDenseRestrictedLikelihood) {
  testing::TempDir dir;
  testing::copyExample("grunfeld");
  const testing::RunResult run = testing::runKova();
  ASSERT_EQ(run.status, 0) << run.console;
  std::map<std::string, std::string> value = estimates("value");
  const int M = 3;
  DMat phi(M, M), delta(M, M);
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) {
      const std::string e = "(" + std::to_string(i) + "," + std::to_string(j) + ")";
      phi(i, j) = std::stod(value.at(",,COMMON_PHI" + e));
      delta(i, j) = std::stod(value.at(",,COMMON_DELTA" + e));
      // Every firm's one pass runs at the common PHI and DELTA.
      for (int g = 1; g <= 11; ++g) {
        const std::string p = std::to_string(g) + ",0,";
        EXPECT_EQ(std::stod(value.at(p + "PHI" + e)), phi(i, j)) << g << e;
        EXPECT_NEAR(std::stod(value.at(p + "DELTA" + e)), delta(i, j), 1e-14) << g << e;
        EXPECT_EQ(value.count(std::to_string(g) + ",1,PHI" + e), 0u);
      }
    }
  double dense = 0.0;
  for (const SimGroup& g : grunfeldGroups()) dense += denseValue(g, phi, delta).reml;
  const double loglik = std::stod(value.at(",,COMMON_LOGLIK(1,1)"));
  EXPECT_NEAR(loglik, dense, 1e-9 * std::fabs(dense));
  // Diagonal PHI and DELTA less the scale, and each firm's SIGMA**2 and
  // three PI; AIC and BIC from them (165 = 11 x (18 - 3) contrasts).
  EXPECT_EQ(value.at(",,COMMON_PARAMETERS(1,1)"), "49");
  EXPECT_EQ(value.at(",,COMMON_OBSERVATIONS(1,1)"), "165");
  EXPECT_NEAR(std::stod(value.at(",,COMMON_AIC(1,1)")), -2.0 * loglik + 2.0 * 49, 1e-9);
  EXPECT_NEAR(std::stod(value.at(",,COMMON_BIC(1,1)")), -2.0 * loglik + 49 * std::log(165.0), 1e-9);
  // The value coefficient's PHI sits at the bound: said in the report and
  // the warnings, and it has no standard error; the others have one.
  std::map<std::string, std::string> se = estimates("std_error");
  EXPECT_EQ(se.at(",,COMMON_PHI(2,2)"), "");
  EXPECT_NE(se.at(",,COMMON_PHI(1,1)"), "");
  // The panel's row says it once; the firms' passes at that PHI do not
  // repeat it as a phi_at_bound of their own.
  const std::string warnings = testing::readFile("KOVA_WARNINGS.csv");
  EXPECT_EQ(warnings, "group,pass,kind,value\n,,common_phi_at_bound,2\n");
  const std::string report = testing::readFile("KOVAOUT");
  EXPECT_NE(report.find("PHI(2,2) IS AT THE BOUND"), std::string::npos);
  EXPECT_NE(report.find("RESTRICTED MAXIMUM LIKELIHOOD"), std::string::npos);

  // One thread: the same tables, to the last digit.
  const std::string tables = testing::readFile("KOVA_ESTIMATES.csv");
  std::string params = testing::readFile("PARAMTRS");
  params.replace(params.find("END GROUP (ALL)"), 0, "COMMON THREADS = 1\n");
  std::ofstream("PARAMTRS") << params;
  ASSERT_EQ(testing::runKova().status, 0);
  EXPECT_EQ(testing::readFile("KOVA_ESTIMATES.csv"), tables);
  EXPECT_NE(testing::readFile("KOVAOUT").find("THREADS  1"), std::string::npos);
}

// kova_simulate with a DELTA of rank 1 (innovations along (1, 0.5, -0.5)
// only): kova's common model, full DELTA without the penalty, holds DELTA
// at rank 1 and says so in the report and in KOVA_WARNINGS.csv (the
// panel's row, group and pass empty), with standard errors of PHI and
// DELTA from the rank-1 information.
TEST(CommonModel, SimulatedPanelWithARankOneDeltaIsReportedAtItsRank) {
  testing::TempDir dir;
  const std::string command =
      std::string(KOVA_SIMULATOR) +
      " --out case --seed 2 --ng 15 --records 30 --k 3 --p 1 --m 3 --diagonal-phi"
      " --phi '0.6,0,0;0,0.3,0;0,0,0.5' --delta '1,0.5,-0.5;0.5,0.25,-0.25;-0.5,-0.25,0.25'"
      " --param 'COMMON MODEL = REML' --param 'COMMON PENALTY = NO'";
  ASSERT_EQ(std::system((command + " > sim.txt 2>&1").c_str()), 0) << testing::readFile("sim.txt");
  std::filesystem::current_path("case");
  const testing::RunResult run = testing::runKova();
  ASSERT_EQ(run.status, 0) << run.console;
  EXPECT_EQ(testing::readFile("KOVA_WARNINGS.csv"),
            "group,pass,kind,value\n,,common_delta_rank,1\n");
  // The bands carry the spread of the rank-1 fit: draws about a singular
  // DELTA are kept (moved to the nearest definite matrix), not all refused.
  const testing::Csv beta = testing::readCsv("KOVA_BETA.csv");
  ASSERT_FALSE(beta.rows.empty());
  for (std::size_t i = 0; i < beta.rows.size(); ++i) {
    const double se = std::stod(beta.at(i, "std_error"));
    EXPECT_TRUE(std::isfinite(se) && se > 0.0) << i;
  }
  std::string report = testing::readFile("KOVAOUT");
  for (size_t at = report.find("\n     "); at != std::string::npos; at = report.find("\n     ", at))
    report.replace(at, 6, " ");
  EXPECT_NE(report.find("HELD AT RANK 1, AT THE MAXIMUM OF THE LIKELIHOOD THERE"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("PHI STAYS IDENTIFIED"), std::string::npos);
  EXPECT_NE(
      report.find("STANDARD ERRORS FROM THE INFORMATION OF THE PARAMETERS OF DELTA OF RANK 1"),
      std::string::npos);
  EXPECT_NE(
      testing::readFile("KOVALOG").find(" WARNING (COMMON MODEL): DELTA HELD AT RANK 1 (0 ALONG "),
      std::string::npos);
  // The tables: DELTA of rank 1 along about (1, 0.5, -0.5), every element
  // of PHI's diagonal and of DELTA with a standard error; PHI and DELTA's
  // two free directions, each group's SIGMA**2 and three PI.
  std::map<std::string, std::string> value = estimates("value"), se = estimates("std_error");
  auto delta = [&](int i, int j) {
    return std::stod(
        value.at(",,COMMON_DELTA(" + std::to_string(i) + "," + std::to_string(j) + ")"));
  };
  EXPECT_NEAR(delta(2, 2) * delta(1, 1), delta(2, 1) * delta(2, 1), 1e-12);
  EXPECT_NEAR(delta(3, 3) * delta(2, 2), delta(3, 2) * delta(3, 2), 1e-12);
  EXPECT_NEAR(delta(2, 1) / delta(1, 1), 0.5, 0.1);
  EXPECT_NEAR(delta(3, 1) / delta(1, 1), -0.5, 0.1);
  for (int j = 1; j <= 3; ++j) {
    EXPECT_NE(se.at(",,COMMON_PHI(" + std::to_string(j) + "," + std::to_string(j) + ")"), "");
    for (int i = 1; i <= 3; ++i)
      EXPECT_NE(se.at(",,COMMON_DELTA(" + std::to_string(i) + "," + std::to_string(j) + ")"), "");
  }
  EXPECT_EQ(value.at(",,COMMON_PARAMETERS(1,1)"), std::to_string(3 + 2 + 15 * 4));
}

// A design short of rank: ML goes on (by the profile likelihood, the same
// value as without the repeated column), REML refuses the panel naming the
// group; and a run in the OLS mode refuses the common model with a message
// and exit status 1.
TEST(CommonModel, DesignsTheRestrictedLikelihoodCannotTakeAreRefused) {
  const int M = 2;
  DMat phi = matrix(M, {0.5, 0.0, 0.0, 0.2}), delta = matrix(M, {1.0, 0.0, 0.0, 0.3});
  std::vector<SimGroup> groups = diagonalPanel(3, 20, phi, delta, 5);
  // Group 2 with x's second column repeated in a third column of XZ.
  SimGroup& g = groups[1];
  DMat xz(g.T, 3);
  for (int t = 1; t <= g.T; ++t) {
    xz(t, 1) = g.xz(t, 1);
    xz(t, 2) = xz(t, 3) = g.xz(t, 2);
  }
  std::vector<PanelGroupData> plain, repeated;
  for (SimGroup& s : groups) plain.push_back(panelData(s));
  repeated = plain;
  DMat none(0, 3);
  repeated[1].xz = view(xz);
  repeated[1].pi = PiRestrictionView{view(none), nullptr, 0};
  double a = 0.0, b = 0.0;
  DMat p = matrix(M, {0.3, 0.0, 0.0, 0.6}), d = matrix(M, {0.7, 0.0, 0.0, 1.1});
  Panel ml(plain, M, PanelCriterion::ML, 1), mlRepeated(repeated, M, PanelCriterion::ML, 2);
  ASSERT_TRUE(mlRepeated.ready());
  ASSERT_TRUE(ml.evaluate(view(p), view(d), a));
  ASSERT_TRUE(mlRepeated.evaluate(view(p), view(d), b));
  EXPECT_NEAR(a, b, 1e-10 * std::fabs(a));
  Panel reml(repeated, M, PanelCriterion::REML, 1);
  EXPECT_FALSE(reml.ready());
  EXPECT_EQ(reml.groupFault(), 2);
  // A group of two rows for two free PI has no likelihood under either.
  plain[2].xz.rows = plain[2].tlx.cols = 2;
  for (PanelCriterion c : {PanelCriterion::ML, PanelCriterion::REML}) {
    Panel shortGroup(plain, M, c, 1);
    EXPECT_FALSE(shortGroup.ready());
    EXPECT_EQ(shortGroup.groupFault(), 3);
  }

  testing::TempDir dir;
  testing::copyExample("grunfeld");
  std::string params = testing::readFile("PARAMTRS");
  params.replace(params.find("END GROUP (ALL)"), 0, "OLS = YES\n");
  std::ofstream("PARAMTRS") << params;
  const testing::RunResult run = testing::runKova();
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.console.find("THE COMMON MODEL IS NOT AVAILABLE IN THE OLS AND GLS MODES"),
            std::string::npos)
      << run.console;
}

// A panel of tests/data/common: group, t, y, x; x~ = (1, x), P = 1.
std::vector<SimGroup> readPanel(const std::string& name) {
  std::ifstream in(std::filesystem::path(KOVA_TEST_DATA) / "common" / (name + ".csv"));
  std::string line;
  std::getline(in, line);
  std::map<int, std::vector<std::pair<double, double>>> rows;
  while (std::getline(in, line)) {
    std::stringstream f(line);
    std::string g, t, y, x;
    std::getline(f, g, ',');
    std::getline(f, t, ',');
    std::getline(f, y, ',');
    std::getline(f, x, ',');
    rows[std::stoi(g)].emplace_back(std::stod(y), std::stod(x));
  }
  std::vector<SimGroup> out;
  for (const auto& [g, r] : rows) {
    SimGroup s;
    s.T = static_cast<int>(r.size());
    s.K = s.M = 2;
    s.P = 1;
    s.tlx = DMat(2, s.T);
    s.xz = DMat(s.T, 2);
    s.R = DMat(0, 2);
    for (int t = 1; t <= s.T; ++t) {
      s.tlx(1, t) = s.xz(t, 1) = 1.0;
      s.tlx(2, t) = s.xz(t, 2) = r[t - 1].second;
      s.y.push_back(r[t - 1].first);
    }
    out.push_back(s);
  }
  return out;
}

TEST(CommonModel, SimulatedPanelsAgreeWithStatsmodels) {
  std::map<std::string, double> golden;
  {
    std::ifstream in(std::filesystem::path(KOVA_TEST_DATA) / "common" / "golden.csv");
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
      const size_t a = line.find(','), b = line.find(',', a + 1);
      golden[line.substr(0, b)] = std::stod(line.substr(b + 1));
    }
  }
  for (const std::string panelName : {"panel_a", "panel_b"}) {
    auto gold = [&](const std::string& key) { return golden.at(panelName + "," + key); };
    std::vector<SimGroup> groups = readPanel(panelName);
    std::vector<PanelGroupData> data;
    for (SimGroup& g : groups) data.push_back(panelData(g));
    Panel panel(data, 2, PanelCriterion::ML, 2);
    CommonForm form;
    form.diagonalPhi = true;
    form.diagonalDelta = true;
    CommonResult r;
    estimateCommonModel(panel, form, r);
    ASSERT_EQ(r.status, MlStatus::Converged) << panelName;
    ASSERT_FALSE(r.boundary()) << panelName;
    EXPECT_NEAR(r.loglik, gold("LOGLIK"), 1e-6 * std::fabs(gold("LOGLIK"))) << panelName;
    EXPECT_NEAR(r.phi[0], gold("PHI1"), 1e-3) << panelName;
    EXPECT_NEAR(r.phi[3], gold("PHI2"), 1e-3) << panelName;
    EXPECT_NEAR(r.delta[0], gold("DELTA1"), 1e-3) << panelName;
    EXPECT_NEAR(r.delta[3], gold("DELTA2"), 1e-3) << panelName;
    for (int g = 0; g < panel.groups(); ++g) {
      const double s2 = gold("SIGMA2_" + std::to_string(g + 1));
      EXPECT_NEAR(r.sigma2[g], s2, 1e-3 * s2) << panelName << " " << g;
    }
    ASSERT_TRUE(r.covariance) << panelName;
    const int n = 8;  // 2 M*M
    auto se = [&](int k) { return std::sqrt(r.cov[static_cast<size_t>(k) * n + k]); };
    EXPECT_NEAR(se(0), gold("SE_PHI1"), 0.02 * gold("SE_PHI1")) << panelName;
    EXPECT_NEAR(se(3), gold("SE_PHI2"), 0.02 * gold("SE_PHI2")) << panelName;
    EXPECT_NEAR(se(4), gold("SE_DELTA1"), 0.02 * gold("SE_DELTA1")) << panelName;
    EXPECT_NEAR(se(7), gold("SE_DELTA1"), 0.02 * gold("SE_DELTA1")) << panelName;
  }
}

}  // namespace
}  // namespace kova
