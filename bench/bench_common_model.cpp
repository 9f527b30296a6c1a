// The common model: the cost of one evaluation of the panel's likelihood and
// of the whole search on one and on two threads, and (with --recovery N) a
// recovery study: N simulated panels of 20 groups x 20 periods (T periods
// with --recovery N T), K = M = 3, common diagonal PHI (0.6, 0.3, 0) and
// DELTA (1, 0.5, 0.5), each group's own PI and SIGMA**2; the mean estimate
// of PHI, its spread beside the mean standard error, and the coverage of
// its 95% intervals, Wald and on the scale of the stationary map, under ML
// and REML. With --recovery N T FILE, FILE gets a line per fit: PHI(j,j),
// its standard error, DELTA(j,j) and its standard error and the boundary
// flags per component, then the standard errors of PHI's diagonal from a
// Hessian of the bench's own at steps 2e-3 and 2e-4 (a check of the
// search's numerical information).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "likelihood/common_model.h"
#include "likelihood/stationary_interval.h"

namespace kova {
namespace {

struct SimGroup {
  int T = 0;
  std::vector<double> tlx, xz, y;  // M x T, T x M, T (L = I, P = 1)
};

std::vector<SimGroup> simulatePanel(int groups, int T, const std::vector<double>& phi,
                                    const std::vector<double>& delta, std::mt19937& rng) {
  const int M = static_cast<int>(phi.size());
  std::normal_distribution<double> g;
  std::uniform_real_distribution<double> u(0.5, 2.0);
  std::vector<SimGroup> out(groups);
  for (SimGroup& s : out) {
    s.T = T;
    s.tlx.assign(static_cast<size_t>(M) * T, 0.0);
    s.xz.assign(static_cast<size_t>(T) * M, 0.0);
    s.y.assign(T, 0.0);
    const double sigma = std::sqrt(u(rng));
    std::vector<double> eps(M, 0.0);
    for (int t = -50; t < T; ++t) {
      for (int j = 0; j < M; ++j) eps[j] = phi[j] * eps[j] + sigma * std::sqrt(delta[j]) * g(rng);
      if (t < 0) continue;
      double y = 0.0;
      for (int k = 0; k < M; ++k) {
        const double x = k == 0 ? 1.0 : 1.0 + g(rng);
        s.tlx[static_cast<size_t>(t) * M + k] = x;
        s.xz[static_cast<size_t>(k) * T + t] = x;
        y += x * (1.0 + 0.5 * k + eps[k]);
      }
      s.y[t] = y;
    }
  }
  return out;
}

std::vector<PanelGroupData> panelData(std::vector<SimGroup>& groups, int M) {
  std::vector<PanelGroupData> data;
  for (SimGroup& s : groups)
    data.push_back(PanelGroupData{Mat{s.tlx.data(), M, M, s.T}, Mat{s.xz.data(), s.T, s.T, M},
                                  s.y.data(),
                                  PiRestrictionView{Mat{nullptr, 1, 0, M}, nullptr, 0}});
  return data;
}

// Produc's shape: 48 groups x 17 periods, M = 5.
void BM_PanelEvaluation(benchmark::State& state) {
  std::mt19937 rng(1);
  std::vector<SimGroup> groups =
      simulatePanel(48, 17, {0.6, 0.3, 0.0, 0.5, 0.2}, {1, 0.5, 0.5, 0.3, 0.2}, rng);
  Panel panel(panelData(groups, 5), 5, PanelCriterion::REML, static_cast<int>(state.range(0)));
  std::vector<double> phi(25, 0.0), delta(25, 0.0);
  for (int j = 0; j < 5; ++j) {
    phi[j * 6] = 0.5;
    delta[j * 6] = 1.0;
  }
  double value = 0.0;
  for (auto _ : state) {
    panel.evaluate(Mat{phi.data(), 5, 5, 5}, Mat{delta.data(), 5, 5, 5}, value);
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_PanelEvaluation)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

// The same panel's value with its score (the derivatives in PHI and DELTA).
void BM_PanelScore(benchmark::State& state) {
  std::mt19937 rng(1);
  std::vector<SimGroup> groups =
      simulatePanel(48, 17, {0.6, 0.3, 0.0, 0.5, 0.2}, {1, 0.5, 0.5, 0.3, 0.2}, rng);
  Panel panel(panelData(groups, 5), 5, PanelCriterion::REML, static_cast<int>(state.range(0)));
  std::vector<double> phi(25, 0.0), delta(25, 0.0), gPhi(25), gDelta(25);
  for (int j = 0; j < 5; ++j) {
    phi[j * 6] = 0.5;
    delta[j * 6] = 1.0;
  }
  double value = 0.0;
  bool scored = false;
  for (auto _ : state) {
    panel.evaluateScore(Mat{phi.data(), 5, 5, 5}, Mat{delta.data(), 5, 5, 5}, value,
                        Mat{gPhi.data(), 5, 5, 5}, Mat{gDelta.data(), 5, 5, 5}, scored);
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_PanelScore)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

// The capacity panel's shape: 150 groups, 12,450 periods, M = 3.
void BM_CommonSearch(benchmark::State& state) {
  std::mt19937 rng(2);
  std::vector<SimGroup> groups = simulatePanel(150, 83, {0.6, 0.3, 0.0}, {1, 0.5, 0.5}, rng);
  CommonForm form;
  form.diagonalPhi = form.diagonalDelta = true;
  for (auto _ : state) {
    Panel panel(panelData(groups, 3), 3, PanelCriterion::REML, static_cast<int>(state.range(0)));
    CommonResult r;
    estimateCommonModel(panel, form, r);
    benchmark::DoNotOptimize(r.loglik);
  }
}
BENCHMARK(BM_CommonSearch)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(2);

// The standard errors of PHI's diagonal by a Hessian of its own, apart from
// the search's: central differences of step h in (PHI(1,1), PHI(2,2),
// PHI(3,3), DELTA(1,1), DELTA(2,2)), DELTA(3,3) = 3 less the other two,
// inverted by Gauss-Jordan. False where it is not definite.
bool ownPhiErrors(Panel& panel, const CommonForm& form, const CommonResult& r, double h,
                  double se[3]) {
  const int n = 5;
  auto f = [&](const double* t, double& v) {
    std::vector<double> ph(9, 0.0), de(9, 0.0);
    for (int j = 0; j < 3; ++j) ph[j * 4] = t[j];
    de[0] = t[3];
    de[4] = t[4];
    de[8] = 3.0 - t[3] - t[4];
    return commonValue(panel, form, Mat{ph.data(), 3, 3, 3}, Mat{de.data(), 3, 3, 3}, v);
  };
  double t0[n] = {r.phi[0], r.phi[4], r.phi[8], r.delta[0], r.delta[4]};
  double H[n][n], f0 = 0.0;
  if (!f(t0, f0)) return false;
  for (int a = 0; a < n; ++a)
    for (int b = 0; b <= a; ++b) {
      double v[4], t[n];
      const double sa[4] = {1, 1, -1, -1}, sb[4] = {1, -1, 1, -1};
      for (int k = 0; k < 4; ++k) {
        std::copy(t0, t0 + n, t);
        t[a] += sa[k] * h;
        t[b] += sb[k] * h;
        if (!f(t, v[k])) return false;
      }
      H[a][b] = H[b][a] = a == b ? (v[0] - 2.0 * f0 + v[3]) / (4.0 * h * h)
                                 : (v[0] - v[1] - v[2] + v[3]) / (4.0 * h * h);
    }
  // Inverse of -H.
  double A[n][2 * n];
  for (int a = 0; a < n; ++a)
    for (int b = 0; b < 2 * n; ++b) A[a][b] = b < n ? -H[a][b] : (b - n == a ? 1.0 : 0.0);
  for (int c = 0; c < n; ++c) {
    if (!(A[c][c] > 0.0)) return false;
    const double d = A[c][c];
    for (int b = 0; b < 2 * n; ++b) A[c][b] /= d;
    for (int a = 0; a < n; ++a) {
      if (a == c) continue;
      const double m = A[a][c];
      for (int b = 0; b < 2 * n; ++b) A[a][b] -= m * A[c][b];
    }
  }
  for (int j = 0; j < 3; ++j) {
    if (!(A[j][n + j] > 0.0)) return false;
    se[j] = std::sqrt(A[j][n + j]);
  }
  return true;
}

void recovery(int panels, int periods, const char* dumpPath) {
  const std::vector<double> phi{0.6, 0.3, 0.0}, delta{1.0, 0.5, 0.5};
  const int M = 3;
  std::FILE* dump = dumpPath != nullptr ? std::fopen(dumpPath, "w") : nullptr;
  for (PanelCriterion c : {PanelCriterion::ML, PanelCriterion::REML}) {
    std::mt19937 rng(20261207);
    double sum[3] = {0, 0, 0}, squares[3] = {0, 0, 0}, seSum[3] = {0, 0, 0};
    int covered[3] = {0, 0, 0}, withSe[3] = {0, 0, 0}, zero[3] = {0, 0, 0}, bound[3] = {0, 0, 0};
    int mapped[3] = {0, 0, 0};
    int fitted = 0;
    for (int p = 0; p < panels; ++p) {
      std::vector<SimGroup> groups = simulatePanel(20, periods, phi, delta, rng);
      Panel panel(panelData(groups, M), M, c, 2);
      CommonForm form;
      form.diagonalPhi = form.diagonalDelta = true;
      CommonResult r;
      estimateCommonModel(panel, form, r);
      if (r.status == MlStatus::Failed) continue;
      ++fitted;
      if (dump != nullptr) {
        std::fprintf(dump, "%s %d", c == PanelCriterion::ML ? "ML" : "REML", p);
        for (int j = 0; j < M; ++j) {
          const int k = j * M + j;
          const double v = r.covariance ? r.cov[static_cast<size_t>(k) * 2 * M * M + k] : -1.0;
          const double dv =
              r.covariance ? r.cov[static_cast<size_t>(k + M * M) * 2 * M * M + k + M * M] : -1.0;
          std::fprintf(dump, " %.6g %.6g %.6g %.6g %d %d %d", r.phi[k], v > 0 ? std::sqrt(v) : -1.0,
                       r.delta[k], dv > 0 ? std::sqrt(dv) : -1.0, r.deltaZero[j], r.phiAtBound[j],
                       r.phiNotIdentified[j]);
        }
        for (double h : {2.0E-3, 2.0E-4}) {
          double se[3] = {-1.0, -1.0, -1.0};
          ownPhiErrors(panel, form, r, h, se);
          std::fprintf(dump, " %.6g %.6g %.6g", se[0], se[1], se[2]);
        }
        std::fprintf(dump, "\n");
      }
      for (int j = 0; j < M; ++j) {
        const double est = r.phi[j * M + j];
        sum[j] += est;
        squares[j] += est * est;
        zero[j] += r.deltaZero[j];
        bound[j] += r.phiAtBound[j];
        if (!r.covariance) continue;
        const int k = j * M + j;
        const double v = r.cov[static_cast<size_t>(k) * 2 * M * M + k];
        if (!(v > 0.0)) continue;
        ++withSe[j];
        seSum[j] += std::sqrt(v);
        if (std::fabs(est - phi[j]) <= 1.959964 * std::sqrt(v)) ++covered[j];
        const PhiInterval i = stationaryInterval(est, std::sqrt(v), form.EVLTOL);
        if (i.valid && i.lower <= phi[j] && phi[j] <= i.upper) ++mapped[j];
      }
    }
    std::printf("%s: %d of %d panels fitted\n", c == PanelCriterion::ML ? "ML" : "REML", fitted,
                panels);
    // The spread of the estimates beside the mean standard error: a
    // coverage short of 95% with the two alike is the shape of the
    // likelihood, with a smaller standard error the information's.
    for (int j = 0; j < M; ++j) {
      const double n = std::max(fitted, 1), mean = sum[j] / n;
      const double sd = std::sqrt(std::max(squares[j] / n - mean * mean, 0.0));
      const double meanSe = withSe[j] > 0 ? seSum[j] / withSe[j] : 0.0;
      const double share = std::max(withSe[j], 1);
      std::printf(
          "  PHI(%d,%d) true %.2f  mean %.3f (bias %+.3f)  sd %.3f  mean se %.3f (se/sd %.2f)"
          "  coverage: Wald %.3f, on the map's scale %.3f (of %d with a standard error)"
          "  DELTA at 0: %d  PHI at the bound: %d\n",
          j + 1, j + 1, phi[j], mean, mean - phi[j], sd, meanSe, sd > 0.0 ? meanSe / sd : 0.0,
          covered[j] / share, mapped[j] / share, withSe[j], zero[j], bound[j]);
    }
  }
  if (dump != nullptr) std::fclose(dump);
}

}  // namespace
}  // namespace kova

int main(int argc, char** argv) {
  if ((argc >= 3 && argc <= 5) && std::strcmp(argv[1], "--recovery") == 0) {
    kova::recovery(std::stoi(argv[2]), argc >= 4 ? std::stoi(argv[3]) : 20,
                   argc == 5 ? argv[4] : nullptr);
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
