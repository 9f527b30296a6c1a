// The input phases at the program's capacities: 150 groups, 12,500 records,
// K = 10, P = 4 (user z-vectors), from the parameter file to the last record
// routed to its group's scratch files. The input directory is written once by
// the simulator; each iteration runs in it afresh.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>

#include "run/driver.h"
#include "io/fortran_io.h"
#include "run/run_record.h"

namespace {

namespace fs = std::filesystem;

fs::path capacityDirectory() {
  static const fs::path dir = [] {
    fs::path d = fs::temp_directory_path() / ("kova_bench_setup_" + std::to_string(::getpid()));
    std::string command = std::string(KOVA_SIMULATOR) + " --out " + d.string() +
                          " --ng 150 --t 12500 --k 10 --p 4 --width 10 --interleave"
                          " --forecast-y last:3 > /dev/null";
    if (std::system(command.c_str()) != 0) std::abort();
    return d;
  }();
  return dir;
}

void BM_InputPhasesAtCapacity(benchmark::State& state) {
  fs::path home = fs::current_path();
  fs::current_path(capacityDirectory());
  for (auto _ : state) {
    auto run = std::make_unique<kova::RunRecord>();
    kova::runInputPhases(*run);
    kova::closeAllUnits();
    benchmark::DoNotOptimize(run->groups.foundEstimation[149]);
  }
  fs::current_path(home);
}
BENCHMARK(BM_InputPhasesAtCapacity)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  fs::remove_all(capacityDirectory(), ec);
  return 0;
}
