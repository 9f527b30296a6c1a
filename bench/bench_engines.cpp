// The two engines of the passes on one group (K = 3, P = 1, M = 3, diagonal
// PHI and DELTA, 5 passes), whole runs timed from the outside:
//   - NUMT 100, 400, 700 at print level 0 and 1, each with both engines in
//     the same run of this program, and the state-space / dense ratios;
//   - NUMT 1,250 and 12,500 (the whole record capacity in one group) at
//     print level 0 with the state-space engine: the time ratio (linear
//     growth means about 10) and the peak resident memory.
// Not a test: run by hand (build with -DKOVA_BENCH=ON) on a quiet machine.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "run_program.h"

namespace {

namespace fs = std::filesystem;

using Figures = kova::bench::RunFigures;

// A directory from the simulator; `groups` is --ng N --records R or --t T.
fs::path simulate(const std::string& groups, int printLevel, bool dense,
                  const std::string& forecasts = "none") {
  static int serial = 0;
  const fs::path d = fs::temp_directory_path() /
                     ("kova_engines_" + std::to_string(::getpid()) + "_" + std::to_string(serial++));
  std::ostringstream command;
  command << KOVA_SIMULATOR << " --out " << d.string() << " " << groups
          << " --k 3 --p 1 --m 3 --phi '0.6,0,0;0,0.3,0;0,0,0'"
          << " --delta '0.1,0,0;0,0.05,0;0,0,0.02' --diagonal-phi --diagonal-delta"
          << " --forecast-y " << forecasts << " --iterations 5 --seed 7 --param 'PRINT = "
          << printLevel << "'";
  if (dense) command << " --param 'ENGINE = DENSE'";
  command << " > /dev/null";
  std::fflush(stdout);
  if (std::system(command.str().c_str()) != 0) std::abort();
  return d;
}

// The best of `repeats` runs (the machine is shared).
Figures best(const std::string& groups, int printLevel, bool dense, int repeats,
             const std::string& forecasts = "none") {
  const fs::path dir = simulate(groups, printLevel, dense, forecasts);
  Figures b;
  for (int i = 0; i < repeats; ++i) {
    const Figures f = kova::bench::runProgram(dir);
    if (f.status != 0) {
      std::printf("  %s, print level %d, %s: exit status %d\n", groups.c_str(), printLevel,
                  dense ? "dense" : "state space", f.status);
      b = f;
      break;
    }
    if (i == 0 || f.seconds < b.seconds) b = f;
  }
  fs::remove_all(dir);
  return b;
}

}  // namespace

int main() {
  std::printf("one group, K = 3, P = 1, M = 3, diagonal PHI and DELTA, 5 passes\n");
  std::printf("%6s %5s %12s %12s %8s %10s %10s\n", "NUMT", "print", "state s", "dense s",
              "ratio", "state MB", "dense MB");
  for (int printLevel : {0, 1})
    for (int numt : {100, 400, 700}) {
      const std::string one = "--ng 1 --records " + std::to_string(numt);
      const Figures s = best(one, printLevel, false, 3);
      const Figures d = best(one, printLevel, true, numt >= 700 ? 1 : 3);
      std::printf("%6d %5d %12.3f %12.3f %8.3f %10.1f %10.1f\n", numt, printLevel, s.seconds,
                  d.seconds, s.seconds / d.seconds, s.peakMegabytes, d.peakMegabytes);
    }
  const Figures small = best("--ng 1 --records 1250", 0, false, 3);
  const Figures large = best("--ng 1 --records 12500", 0, false, 3);
  std::printf("\nstate space, print level 0: NUMT 1250 %.3f s (%.1f MB), NUMT 12500 %.3f s "
              "(%.1f MB), ratio %.2f (linear: about 10; target <= 12)\n",
              small.seconds, small.peakMegabytes, large.seconds, large.peakMegabytes,
              large.seconds / small.seconds);

  const Figures pooled = best("--ng 2 --records 6000", 0, false, 3, "last:2");
  std::printf("two groups of 6,000 periods with the pooled phase, print level 0: %.3f s, "
              "%.1f MB (targets 2 s, 100 MB)\n",
              pooled.seconds, pooled.peakMegabytes);
  const Figures capacity = best("--ng 150 --t 12500", 1, false, 3, "last:2");
  const Figures capacityDense = best("--ng 150 --t 12500", 1, true, 1, "last:2");
  std::printf("capacity run (150 groups, 12,500 records, print level 1): state space %.3f s "
              "(system %.3f s, %.1f MB), dense %.3f s, ratio %.3f (targets 1 s, system under "
              "10%%, 100 MB)\n",
              capacity.seconds, capacity.systemSeconds, capacity.peakMegabytes,
              capacityDense.seconds, capacity.seconds / capacityDense.seconds);
  return 0;
}
