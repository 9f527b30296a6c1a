// The common model: the cost of one evaluation of the panel's likelihood and
// of the whole search on one and on two threads, and (with --recovery N) a
// recovery study: N simulated panels of 20 groups x 20 periods (T periods
// with --recovery N T), K = M = 3, common diagonal PHI (0.6, 0.3, 0) and
// DELTA (1, 0.5, 0.5), each group's own PI and SIGMA**2; the mean estimate
// of PHI, its spread beside the mean standard error, and the coverage of
// its 95% intervals under ML and REML.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "likelihood/common_model.h"

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

void recovery(int panels, int periods) {
  const std::vector<double> phi{0.6, 0.3, 0.0}, delta{1.0, 0.5, 0.5};
  const int M = 3;
  for (PanelCriterion c : {PanelCriterion::ML, PanelCriterion::REML}) {
    std::mt19937 rng(20261207);
    double sum[3] = {0, 0, 0}, squares[3] = {0, 0, 0}, seSum[3] = {0, 0, 0};
    int covered[3] = {0, 0, 0}, withSe[3] = {0, 0, 0}, zero[3] = {0, 0, 0}, bound[3] = {0, 0, 0};
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
      }
    }
    std::printf("%s: %d of %d panels fitted\n", c == PanelCriterion::ML ? "ML" : "REML", fitted,
                panels);
    // The spread of the estimates beside the mean standard error: a
    // coverage short of 95% with the two alike is the shape of the
    // likelihood, with a smaller standard error the information's.
    for (int j = 0; j < M; ++j) {
      const double n = std::max(fitted, 1), mean = sum[j] / n;
      std::printf(
          "  PHI(%d,%d) true %.2f  mean %.3f  sd %.3f  mean se %.3f  coverage %.3f (of %d with a"
          " standard error)  DELTA at 0: %d  PHI at the bound: %d\n",
          j + 1, j + 1, phi[j], mean, std::sqrt(std::max(squares[j] / n - mean * mean, 0.0)),
          withSe[j] > 0 ? seSum[j] / withSe[j] : 0.0,
          withSe[j] > 0 ? static_cast<double>(covered[j]) / withSe[j] : 0.0, withSe[j], zero[j],
          bound[j]);
    }
  }
}

}  // namespace
}  // namespace kova

int main(int argc, char** argv) {
  if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "--recovery") == 0) {
    kova::recovery(std::stoi(argv[2]), argc == 4 ? std::stoi(argv[3]) : 20);
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
