#include "run/driver.h"

#include <memory>

#include "data/data_set_up.h"
#include "estimation/group_driver.h"
#include "forecast/forecast_index.h"
#include "input/key_file.h"
#include "input/option_groups.h"
#include "input/parameter_file.h"
#include "input/workspace_plan.h"
#include "report/parameter_report.h"
#include "io/console.h"
#include "io/fortran_io.h"
#include "run/run_record.h"
#include "io/stop.h"

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

void readParameters(RunRecord& run) {
  GETPRM(run.files[Fixed::PARAMTRS], run.capacities, run.options, run.outUnit(), run.logUnit());
  const Options& o = run.options;
  run.dims.T = o.T;
  run.dims.K = o.K;
  run.dims.P = o.P;
  run.dims.M = o.M;
  RPTPRM(o, run.outUnit(), run.logUnit());
  const Capacities& c = run.capacities;
  CKUMEM(o.M, o.K, o.P, o.phiRestrictionRows, o.piRestrictionRows, o.deltaRestrictionRows,
         c.phiRestrictions, c.piRestrictions, c.deltaRestrictions, run.outUnit(), run.logUnit());
}

void readKeys(RunRecord& run) {
  const Capacities& c = run.capacities;
  GETKEY(run.files[Fixed::YXDKEY], run.dims.T, run.keys, c.maxGid, c.maxGroups, c.maxKeys,
         run.outUnit(), run.logUnit());
  run.dims.NG = run.keys.NG;
  run.groups.id = run.keys.groupId;
  run.groups.keys = run.keys.groupKeys;
  buildScratchNames(run.files, run.dims.NG, run.groups.id.data(), run.logUnit());
  IDXFC(run.keys, run.files, run.groups.estimationRecords.data(),
        run.groups.forecastRecords.data(), run.logUnit());
}

void setUpData(RunRecord& run) {
  const Options& o = run.options;
  const SecondCapacities& second = run.second;
  DataSetupPlan plan;
  ALCSDT(o.M, second.blockRecords, second.ldXBlock, second.ldZBlock, plan, run.capacities.wr,
         run.outUnit(), run.logUnit());
  DataSetUpArrays arrays;
  arrays.yBlock = carve(run.WR, plan.wr.start[0]);
  arrays.xBlock = Mat{carve(run.WR, plan.wr.start[1]), second.ldXBlock, o.K, second.blockRecords};
  arrays.zBlock = Mat{carve(run.WR, plan.wr.start[2]), second.ldZBlock, o.P, second.blockRecords};
  arrays.phi = Mat{carve(run.WR, plan.wr.start[3]), plan.ldSquare, o.M, o.M};
  arrays.delta = Mat{carve(run.WR, plan.wr.start[4]), plan.ldSquareRow, o.M, o.M};
  arrays.L = Mat{run.lMatrix.data(), second.ldLMatrix, o.K, o.M};

  DataSetUpSettings s;
  s.N = run.dims.T;
  s.K = o.K;
  s.P = o.P;
  s.M = o.M;
  s.width = o.dataFieldWidth;
  s.leadingOnes = o.leadingOnes;
  s.zSource = o.zSource;
  s.lSource = o.lSource;
  s.phiSource = o.phiSource;
  s.deltaSource = o.deltaSource;
  s.diagonalPhi = o.diagonalPhi;
  s.diagonalDelta = o.diagonalDelta;
  s.phiRows = o.phiRestrictionRows;
  s.piRows = o.piRestrictionRows;
  s.deltaRows = o.deltaRestrictionRows;
  s.iterations = o.iterations;
  s.blockRecords = second.blockRecords;
  KeyArrays keys{run.keys.DKEY.data(), run.keys.DPOINT.data(),
                 std::span<const std::array<char, 2>>(run.keys.YFOPTS.data(), run.dims.T)};
  SETDAT(s, keys, run.groups, run.dims.NG, run.files, arrays, run.restrictions, run.names,
         run.dataReady, run.restrictionsReady, run.logUnit());
  OPGSET(o.optionGroups, run.dims.NG, run.groups.id.data(), run.groups.MAXITG.data(),
         run.logUnit());
}

// The PI restrictions are all equalities (in particular when there are none).
bool piRestrictionsAllEqualities(const RunRecord& run) {
  return run.options.piRestrictionRows == run.options.piEqualityRows;
}

void reparametrisePiRestrictions(RunRecord& run) {
  if (!piRestrictionsAllEqualities(run)) return;
  ReparametrisationPlan plan;
  ALPOCR(run.dims.K, run.dims.P, run.options.piRestrictionRows, plan, run.capacities.wr,
         run.outUnit(), run.logUnit());
  // The reparametrisation itself and its report come here.
}

// One group: its plan, then the group driver.
void estimateGroup(RunRecord& run, int g) {
  const Options& o = run.options;
  GroupDims d{run.groups.foundEstimation[g - 1], run.groups.foundForecast[g - 1], o.K, o.P, o.M};
  const ScratchNeed need = groupStepNeed(d, o);
  GroupPlanDims dims{d.NUMT, d.TF, o.M, o.K, o.P, o.phiRestrictionRows, o.piRestrictionRows,
                     o.deltaRestrictionRows, need.doubles, need.ints, need.complexes};
  GroupPlan plan;
  ALCCGR(dims, plan, run.capacities.wr, run.capacities.wi, run.capacities.wc, run.outUnit(),
         run.logUnit());

  GroupJob job;
  job.groupId = run.groups.id[g - 1];
  job.g = g;
  job.NG = run.dims.NG;
  job.lastPass = run.groups.MAXITG[g - 1];
  job.dims = d;
  job.options = &o;
  job.files = &run.files;
  job.names = &run.names;
  job.L = Mat{run.lMatrix.data(), run.second.ldLMatrix, o.K, o.M};
  job.restrictions = &run.restrictions;
  job.plan = &plan;
  job.WR = &run.WR;
  job.WI = &run.WI;
  job.WC = &run.WC;
  job.sigma2Table = run.groupSigma2.data();
  job.outUnit = run.outUnit();
  job.logUnit = run.logUnit();
  ESTGRP(job);
}

void runPooledPhase(RunRecord& run) {
  if (run.dims.NG < 2 || !piRestrictionsAllEqualities(run)) return;
  // The pooled steps come here.
}

}  // namespace

void runInputPhases(RunRecord& run) {
  fillFixedFiles(run.files);
  setUpReportFile(run.files[Fixed::KOVAOUT], " ERROR IN SETTING UP FILE KOVAOUT.  PROGRAM STOPS");
  setUpReportFile(run.files[Fixed::KOVALOG], " ERROR IN SETTING UP FILE KOVALOG.  PROGRAM STOPS");
  run.WR.assign(run.capacities.wr, 0.0);
  run.WI.assign(run.capacities.wi, 0);
  run.WC.assign(run.capacities.wc, {});
  readParameters(run);
  readKeys(run);
  setUpData(run);
}

void KOVAMAIN() {
  auto run = std::make_unique<RunRecord>();
  runInputPhases(*run);
  reparametrisePiRestrictions(*run);
  for (int g = 1; g <= run->dims.NG; ++g) estimateGroup(*run, g);
  runPooledPhase(*run);

  const Options& o = run->options;
  DELETF(run->files, run->dims.NG, KeptSaveFiles{o.savePhi, o.saveDelta, o.saveBeta},
         run->logUnit());
  closeReportFiles(*run);
}

}  // namespace kova
