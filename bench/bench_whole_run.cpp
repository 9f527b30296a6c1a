// Whole runs of the program on simulated data, one run each, timed from the
// outside as a user sees them: (a) one group of 700 periods with a full
// PHI, 2 passes; (b) the program's capacities, 150 groups and 12,500
// records, 5 passes at print level 1. Reports the wall time (per pass for
// a) and the peak resident memory of the run.
#include <benchmark/benchmark.h>

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

struct RunFigures {
  double seconds = 0;
  double peakMegabytes = 0;
  int status = -1;
};

// Runs the program in `dir` as a child process; its peak resident set comes
// from the kernel's accounting of that child alone.
RunFigures runProgram(const fs::path& dir) {
  RunFigures f;
  auto start = std::chrono::steady_clock::now();
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(dir.c_str()) != 0) ::_exit(127);
    if (!std::freopen("/dev/null", "w", stdout)) ::_exit(127);
    ::execl(KOVA_BINARY, KOVA_BINARY, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage {};
  ::wait4(pid, &status, 0, &usage);
  f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  f.peakMegabytes = usage.ru_maxrss / 1024.0;
  f.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return f;
}

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

}  // namespace

BENCHMARK_MAIN();
