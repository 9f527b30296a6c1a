#include "run/phase_stubs.h"

#include "run/file_services.h"

namespace kova {

void stubReadParameters(RunRecord& run) {
  const NamedUnit& file = run.files[Fixed::PARAMTRS];
  int iocond = 0;
  openFile(file.unit, run.logUnit(), file.name, "FORMATTED", "OLD", iocond,
           "SUBROUTINE GETPRM", "STOP");
  closeFile(file.unit, run.logUnit(), file.name, "KEEP", iocond, "SUBROUTINE GETPRM", "STOP");
  run.dims.T = run.dims.K = run.dims.P = run.dims.M = 1;
}

void stubReadKeys(RunRecord& run) {
  const NamedUnit& file = run.files[Fixed::YXDKEY];
  int iocond = 0;
  openFile(file.unit, run.logUnit(), file.name, "FORMATTED", "UNKNOWN", iocond,
           "SUBROUTINE GETKEY", "STOP");
  closeFile(file.unit, run.logUnit(), file.name, "KEEP", iocond, "SUBROUTINE GETKEY", "STOP");
  run.dims.NG = 1;
  run.groups.id[0] = 1;
  run.groups.keys[0] = run.dims.T;
}

void stubForecastIndex(RunRecord& run) {
  for (int g = 0; g < run.dims.NG; ++g) {
    run.groups.estimationRecords[g] = run.groups.keys[g];
    run.groups.forecastRecords[g] = 0;
  }
}

}  // namespace kova
