#include "run/driver.h"

#include <memory>

#include "run/console.h"
#include "run/fortran_io.h"
#include "run/phase_stubs.h"
#include "run/run_record.h"
#include "run/stop.h"

namespace kova {
namespace {

// Sets up the report or the log file: open (created if absent) and rewind,
// so the run's text replaces any earlier contents from the start. The old
// contents are cut off at once: a run that stops before writing its report
// must not leave an earlier run's report looking like its own. The driver's
// own failures go to the console only.
void setUpReportFile(const NamedUnit& file, std::string_view failure) {
  int iocond = openUnit(file.unit, file.name, "FORMATTED", "UNKNOWN");
  if (iocond == 0) iocond = rewindUnit(file.unit);
  if (iocond == 0) iocond = endFileUnit(file.unit);
  if (iocond != 0) {
    consoleLine(failure);
    stopRun();
  }
}

void closeReportFiles(const RunRecord& run) {
  if (closeUnit(run.outUnit(), "KEEP") != 0)
    consoleLine(" ERROR IN CLOSING FILE KOVAOUT.  PROGRAM CONTINUES");
  if (closeUnit(run.logUnit(), "KEEP") != 0)
    consoleLine(" ERROR IN CLOSING FILE KOVALOG IN KOVAMAIN.  PROGRAM CONTINUES");
}

// The PI restrictions are all equalities (in particular when there are none).
bool piRestrictionsAllEqualities(const RunRecord&) { return true; }

void estimateGroups(RunRecord& run) {
  for (int g = 1; g <= run.dims.NG; ++g) {
    // Planning of the group's arrays and the group estimation come here.
  }
}

void runPooledPhase(RunRecord& run) {
  if (run.dims.NG < 2 || !piRestrictionsAllEqualities(run)) return;
  // The pooled steps come here.
}

}  // namespace

void KOVAMAIN() {
  auto run = std::make_unique<RunRecord>();
  fillFixedFiles(run->files);
  setUpReportFile(run->files[Fixed::KOVAOUT], " ERROR IN SETTING UP FILE KOVAOUT.  PROGRAM STOPS");
  setUpReportFile(run->files[Fixed::KOVALOG], " ERROR IN SETTING UP FILE KOVALOG.  PROGRAM STOPS");
  run->WR.assign(run->capacities.wr, 0.0);
  run->WI.assign(run->capacities.wi, 0);
  run->WC.assign(run->capacities.wc, {});

  stubReadParameters(*run);
  stubReadKeys(*run);
  buildScratchNames(run->files, run->dims.NG, run->groups.id.data(), run->logUnit());
  stubForecastIndex(*run);
  estimateGroups(*run);
  runPooledPhase(*run);

  DELETF(run->files, run->dims.NG, KeptSaveFiles{}, run->logUnit());
  closeReportFiles(*run);
}

}  // namespace kova
