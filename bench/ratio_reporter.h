#pragma once
// Console output as usual, plus the CPU time of every run kept by name, so
// that each "ours..." run can be set beside its "lapack..." twin at the end.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace kova::bench {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Iteration && !r.error_occurred)
        times_[r.benchmark_name()] = r.GetAdjustedCPUTime();
    ConsoleReporter::ReportRuns(runs);
  }
  void printRatios() const {
    std::printf("\nratio ours/LAPACK (CPU time; target <= 1.5)\n");
    for (const auto& [name, ours] : times_) {
      if (name.rfind("ours", 0) != 0) continue;
      std::string ref = "lapack" + name.substr(4);
      auto it = times_.find(ref);
      if (it == times_.end()) continue;
      std::printf("  %-26s %10.3f ms  %-28s %10.3f ms  ratio %.2f\n", name.c_str(), ours,
                  ref.c_str(), it->second, ours / it->second);
    }
  }

 private:
  std::map<std::string, double> times_;
};

// Runs the benchmarks and prints the ratios.
inline int runWithRatios(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printRatios();
  benchmark::Shutdown();
  return 0;
}

}  // namespace kova::bench
