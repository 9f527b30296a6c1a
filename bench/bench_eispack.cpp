// The real general eigenproblem with right eigenvectors on a 100 x 100
// matrix: BALANC, ELMHES, ELTRAN, HQR2, BALBAK beside LAPACK dgeev (JOBVR =
// 'V'), and the ratio of their times.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "../tests/linalg/lapack_eispack_ref.h"
#include "linalg/eispack.h"

namespace {

constexpr int kN = 100;

std::vector<double> randomMatrix(int n) {
  std::vector<double> a(static_cast<size_t>(n) * n);
  std::mt19937 gen(2024);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (double& v : a) v = u(gen);
  return a;
}

void BM_EispackChain(benchmark::State& state) {
  const int n = kN;
  const std::vector<double> a0 = randomMatrix(n);
  std::vector<double> a(a0.size()), z(a0.size()), wr(n), wi(n), scale(n);
  std::vector<int> intch(n);
  int low = 0, igh = 0, ierr = 0;
  for (auto _ : state) {
    a = a0;
    kova::BALANC(n, n, a.data(), low, igh, scale.data());
    kova::ELMHES(n, n, low, igh, a.data(), intch.data());
    kova::ELTRAN(n, n, low, igh, a.data(), intch.data(), z.data());
    kova::HQR2(n, n, low, igh, a.data(), wr.data(), wi.data(), z.data(), ierr);
    kova::BALBAK(n, n, low, igh, scale.data(), n, z.data());
    benchmark::DoNotOptimize(z.data());
  }
  if (ierr != 0) state.SkipWithError("HQR2 did not converge");
}

void BM_LapackDgeev(benchmark::State& state) {
  int n = kN, one = 1, info = 0, lwork = -1;
  const std::vector<double> a0 = randomMatrix(n);
  std::vector<double> a(a0.size()), vr(a0.size()), wr(n), wi(n), vl(1);
  double query = 0.0;
  dgeev_("N", "V", &n, a.data(), &n, wr.data(), wi.data(), vl.data(), &one, vr.data(), &n, &query, &lwork, &info, 1, 1);
  lwork = static_cast<int>(query);
  std::vector<double> work(lwork);
  for (auto _ : state) {
    a = a0;
    dgeev_("N", "V", &n, a.data(), &n, wr.data(), wi.data(), vl.data(), &one, vr.data(), &n, work.data(), &lwork,
           &info, 1, 1);
    benchmark::DoNotOptimize(vr.data());
  }
  if (info != 0) state.SkipWithError("dgeev failed");
}

BENCHMARK(BM_EispackChain)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LapackDgeev)->Unit(benchmark::kMicrosecond);

// Keeps the mean time per iteration of each benchmark for the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Iteration && r.iterations > 0)
        seconds[r.run_name.function_name] = r.real_accumulated_time / static_cast<double>(r.iterations);
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> seconds;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto ours = reporter.seconds.find("BM_EispackChain");
  const auto lapack = reporter.seconds.find("BM_LapackDgeev");
  if (ours != reporter.seconds.end() && lapack != reporter.seconds.end() && lapack->second > 0.0)
    std::printf("ratio ours/LAPACK (n = %d, right eigenvectors): %.3f\n", kN, ours->second / lapack->second);
  benchmark::Shutdown();
  return 0;
}
