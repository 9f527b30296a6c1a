// Whole runs of the program on simulated data, one run each, timed from the
// outside as a user sees them: (a) one group of 700 periods with a full
// PHI, 2 passes; (b) the program's capacities, 150 groups and 12,500
// records, 5 passes at print level 1; (c) b under the common model, on one
// and on two threads. Reports the wall time (per pass for a) and the peak
// resident memory of the run.
#include <benchmark/benchmark.h>

#include "run_program.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

fs::path simulate(const std::string& name, const std::string& options) {
  fs::path d = fs::temp_directory_path() / ("kova_bench_" + name + "_" + std::to_string(::getpid()));
  std::string command = std::string(KOVA_SIMULATOR) + " --out " + d.string() + " " + options +
                        " > /dev/null";
  if (std::system(command.c_str()) != 0) std::abort();
  return d;
}

using kova::bench::RunFigures;
using kova::bench::runProgram;

void report(benchmark::State& state, const RunFigures& f, int passes) {
  if (f.status != 0) state.SkipWithError("the run did not complete");
  state.counters["seconds"] = f.seconds;
  state.counters["seconds_per_pass"] = f.seconds / passes;
  state.counters["peak_MB"] = f.peakMegabytes;
}

void BM_OneGroupOf700Periods(benchmark::State& state) {
  const fs::path dir = simulate("t700", "--ng 1 --records 700 --k 3 --p 2 --m 3 --width 12"
                                        " --forecast-y none --iterations 2");
  RunFigures f;
  for (auto _ : state) f = runProgram(dir);
  report(state, f, 2);
  fs::remove_all(dir);
}
BENCHMARK(BM_OneGroupOf700Periods)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_Capacities(benchmark::State& state) {
  const fs::path dir = simulate("capacity", "--ng 150 --t 12500 --k 3 --p 2 --m 3 --width 12"
                                            " --forecast-y last:2 --iterations 5"
                                            " --param \"PRINT LEVEL = 1\"");
  RunFigures f;
  for (auto _ : state) f = runProgram(dir);
  report(state, f, 5);
  fs::remove_all(dir);
}
BENCHMARK(BM_Capacities)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// (c) The same capacities under the common model (REML, diagonal PHI and
// DELTA), its likelihood on one thread and on two (the argument).
void BM_CapacitiesCommonModel(benchmark::State& state) {
  const std::string threads = std::to_string(state.range(0));
  const fs::path dir = simulate("capacity_common" + threads,
                                "--ng 150 --t 12500 --k 3 --p 2 --m 3 --width 12"
                                " --forecast-y last:2 --iterations 5"
                                " --param \"PRINT LEVEL = 1\" --param \"COMMON MODEL = REML\""
                                " --param \"DIAGONAL PHI = YES\" --param \"DIAGONAL DELTA = YES\""
                                " --param \"COMMON THREADS = " +
                                    threads + "\"");
  RunFigures f;
  for (auto _ : state) f = runProgram(dir);
  report(state, f, 1);
  state.counters["cpu_seconds"] = f.userSeconds + f.systemSeconds;
  fs::remove_all(dir);
}
BENCHMARK(BM_CapacitiesCommonModel)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
