// All eigenvalues of a symmetric quasiseparable covariance of order 3 from
// its generators, beside the dense route (form Y, TRED2, TQL2) and the
// banded-pencil route from the autoregression itself, at N = 100, 400, 700,
// 2000, and the ratios of their times.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "linalg/banded_pencil_eigen.h"
#include "linalg/eispack.h"
#include "linalg/quasiseparable_eigen.h"

namespace {

constexpr int kR = 3;

struct Generators {
  int n;
  std::vector<double> p, a, q, d;
  std::vector<double> pi;  // the stationary covariance, for the pencil route
};

// A stationary autoregression with a complex pair seen through random
// regressors: Y(t,s) = x(t)' PHI^(t-s) PI x(s), PI = PHI PI PHI' + I.
Generators generators(int n) {
  const int r = kR;
  std::mt19937 gen(2026);
  std::normal_distribution<double> g(0.0, 1.0);
  Generators gr{n, std::vector<double>(r * n), std::vector<double>(r * r, 0.0), std::vector<double>(r * n, 0.0),
                std::vector<double>(n, 0.0), {}};
  for (double& v : gr.p) v = g(gen);
  const double rho = 0.95, th = 0.4;
  gr.a = {rho * std::cos(th), rho * std::sin(th), 0.0, -rho * std::sin(th), rho * std::cos(th), 0.0, 0.0, 0.0, 0.6};
  std::vector<double> pi(r * r, 0.0), term(r * r, 0.0);
  for (int i = 0; i < r; ++i) term[i + i * r] = 1.0;
  for (int it = 0; it < 2000; ++it) {  // PI = sum_k PHI^k PHI'^k
    for (int i = 0; i < r * r; ++i) pi[i] += term[i];
    std::vector<double> next(r * r, 0.0);
    for (int j = 0; j < r; ++j)
      for (int i = 0; i < r; ++i)
        for (int k = 0; k < r; ++k)
          for (int l = 0; l < r; ++l) next[i + j * r] += gr.a[i + k * r] * term[k + l * r] * gr.a[j + l * r];
    term = next;
  }
  gr.pi = pi;
  for (int t = 0; t < n; ++t)
    for (int i = 0; i < r; ++i)
      for (int k = 0; k < r; ++k) {
        double phiPi = 0.0;
        for (int l = 0; l < r; ++l) phiPi += gr.a[i + l * r] * pi[l + k * r];
        gr.q[i + t * r] += phiPi * gr.p[k + t * r];
        gr.d[t] += gr.p[i + t * r] * pi[i + k * r] * gr.p[k + t * r];
      }
  return gr;
}

void oursFromGenerators(benchmark::State& state) {
  const Generators gr = generators(static_cast<int>(state.range(0)));
  const int n = gr.n;
  const kova::ScratchNeed need = kova::quasiseparableEigenvaluesNeed(n, kR);
  std::vector<double> wr(need.doubles), values(n);
  std::vector<int> wi(need.ints);
  std::vector<kova::dcomplex> wc(need.complexes);
  int ierr = 0;
  for (auto _ : state) {
    kova::Scratch s(wr.data(), need.doubles, wi.data(), need.ints, wc.data(), need.complexes);
    kova::quasiseparableEigenvalues(n, kR, gr.p.data(), gr.a.data(), gr.q.data(), gr.d.data(), values.data(), s,
                                    ierr);
    benchmark::DoNotOptimize(values.data());
  }
  if (ierr != 0) state.SkipWithError("no convergence");
}

// The same covariance from x(t), PHI, P1 = PI and Q = I.
void pencilFromAutoregression(benchmark::State& state) {
  const Generators gr = generators(static_cast<int>(state.range(0)));
  const int n = gr.n;
  const kova::ScratchNeed need = kova::pencilEigenvaluesNeed(n, kR);
  std::vector<double> wr(need.doubles), values(n), identity(kR * kR, 0.0);
  for (int i = 0; i < kR; ++i) identity[i + i * kR] = 1.0;
  std::vector<int> wi(need.ints);
  std::vector<kova::dcomplex> wc(need.complexes);
  int ierr = 0;
  for (auto _ : state) {
    kova::Scratch s(wr.data(), need.doubles, wi.data(), need.ints, wc.data(), need.complexes);
    kova::pencilEigenvalues(n, kR, gr.p.data(), gr.a.data(), gr.pi.data(), identity.data(), values.data(), s,
                            ierr);
    benchmark::DoNotOptimize(values.data());
  }
  if (ierr != 0) state.SkipWithError("pencil route refused");
}

void denseTred2Tql2(benchmark::State& state) {
  const Generators gr = generators(static_cast<int>(state.range(0)));
  const int n = gr.n, r = kR;
  std::vector<double> y(static_cast<size_t>(n) * n), z(y.size()), d(n), e(n), v(r), av(r);
  int ierr = 0;
  for (auto _ : state) {
    for (int s = 0; s < n; ++s) {
      y[s + static_cast<size_t>(s) * n] = gr.d[s];
      for (int i = 0; i < r; ++i) v[i] = gr.q[i + s * r];
      for (int t = s + 1; t < n; ++t) {
        double sum = 0.0;
        for (int i = 0; i < r; ++i) sum += gr.p[i + t * r] * v[i];
        y[t + static_cast<size_t>(s) * n] = sum;
        for (int i = 0; i < r; ++i) {
          av[i] = 0.0;
          for (int k = 0; k < r; ++k) av[i] += gr.a[i + k * r] * v[k];
        }
        v = av;
      }
    }
    kova::TRED2(n, n, y.data(), d.data(), e.data(), z.data());
    kova::TQL2(n, n, d.data(), e.data(), z.data(), ierr);
    benchmark::DoNotOptimize(d.data());
  }
  if (ierr != 0) state.SkipWithError("TQL2 did not converge");
}

void sizes(benchmark::internal::Benchmark* b) {
  b->Arg(100)->Arg(400)->Arg(700)->Arg(2000)->Unit(benchmark::kMillisecond);
}
BENCHMARK(oursFromGenerators)->Apply(sizes);
BENCHMARK(pencilFromAutoregression)->Apply(sizes);
BENCHMARK(denseTred2Tql2)->Apply(sizes);

// Keeps the CPU time of every run by name, for the ratios at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Iteration && !r.error_occurred) times[r.benchmark_name()] = r.GetAdjustedCPUTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nratio ours/dense route (CPU time)\n");
  for (const auto& [name, ours] : reporter.times) {
    if (name.rfind("oursFromGenerators", 0) != 0) continue;
    const std::string size = name.substr(name.find('/'));
    auto it = reporter.times.find("denseTred2Tql2" + size);
    if (it != reporter.times.end())
      std::printf("  N %-6s %10.2f ms  %10.2f ms  ratio %.3f\n", size.c_str() + 1, ours, it->second, ours / it->second);
  }
  std::printf("\nratio banded pencil/packed dense route (CPU time)\n");
  for (const auto& [name, pencil] : reporter.times) {
    if (name.rfind("pencilFromAutoregression", 0) != 0) continue;
    const std::string size = name.substr(name.find('/'));
    auto it = reporter.times.find("oursFromGenerators" + size);
    if (it != reporter.times.end())
      std::printf("  N %-6s %10.2f ms  %10.2f ms  ratio %.3f\n", size.c_str() + 1, pencil, it->second,
                  pencil / it->second);
  }
  benchmark::Shutdown();
  return 0;
}
