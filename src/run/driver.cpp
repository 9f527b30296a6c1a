#include "run/driver.h"

#include <filesystem>
#include <memory>
#include <new>
#include <string>

#include "data/data_set_up.h"
#include "pooled/pooled_derivations.h"
#include "estimation/group_driver.h"
#include "engine/pass_engine.h"
#include "pooled/pooled_mu.h"
#include "forecast/forecast_index.h"
#include "pooled/pooled_forecast.h"
#include "input/key_file.h"
#include "input/option_groups.h"
#include "input/parameter_file.h"
#include "input/workspace_plan.h"
#include "report/parameter_report.h"
#include "pooled/pooled_sections.h"
#include "report/result_tables.h"
#include "report/named_estimates.h"
#include "report/run_summary.h"
#include "estimation/progress.h"
#include "io/edit_descriptors.h"
#include "io/error_report.h"
#include "io/messages.h"
#include "solvers/definiteness.h"
#include "io/console.h"
#include "io/fortran_io.h"
#include "run/run_record.h"
#include "run/common_phase.h"
#include "io/stop.h"
#include "io/text_conversion.h"

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

// A report or log that the disk did not take is a failed run: the close
// (and the flush before the results are put in place) is checked, the
// failure said on the console and in the log where it still can be.
void checkReportFiles(const RunRecord& run, bool close) {
  for (const Fixed f : {Fixed::KOVAOUT, Fixed::KOVALOG}) {
    const NamedUnit& file = run.files[f];
    const int iocond = close ? closeUnit(file.unit, "KEEP") : flushUnit(file.unit);
    if (iocond == 0) continue;
    const std::string text = writeFailureText(trimmed(file.name), iocond);
    // The log says why the report is short, while it still can.
    if (f == Fixed::KOVAOUT && isUnitOpen(run.logUnit()) && writeLine(run.logUnit(), text) == 0)
      flushUnit(run.logUnit());
    reportWriteFailure(trimmed(file.name), iocond);
    stopRun();
  }
}

void readParameters(RunRecord& run) {
  GETPRM(run.files[Fixed::PARAMTRS], run.capacities, run.options, run.outUnit(), run.logUnit());
  const Options& o = run.options;
  if (o.consoleTrace) setConsoleTrace(true);
  run.dims.T = o.T;
  run.dims.K = o.K;
  run.dims.P = o.P;
  run.dims.M = o.M;
  RPTPRM(o, run.outUnit(), run.logUnit());
  writeUnit(run.logUnit(), std::string(" THE PASSES RUN ON THE ") +
                               (o.denseEngine ? "DENSE" : "STATE SPACE") + " ENGINE.");
  const Capacities& c = run.capacities;
  CKUMEM(o.M, o.K, o.P, o.phiRestrictionRows, o.piRestrictionRows, o.deltaRestrictionRows,
         c.phiRestrictions, c.piRestrictions, c.deltaRestrictions, run.outUnit(), run.logUnit());
}

// The scratch files live in memory (within the I/O layer's budget): a run
// creates and deletes thousands of them, and on disk each costs inode work
// that dwarfs the computation. The save families that the options keep stay
// on disk, as do the files that the user's directory holds when the run
// opens them.
void holdScratchInMemory(const FileTable& files, int ng, const KeptSaveFiles& keep) {
  for (Fixed f : {Fixed::XDELTA, Fixed::YSFACTR0, Fixed::YSFACTR1, Fixed::SAVEKEYS,
                  Fixed::SAVEDPNT})
    holdInMemory(files[f].name);
  for (int f = 0; f < kFamilyCount; ++f) {
    const Family family = static_cast<Family>(f);
    for (int g = 1; g <= ng; ++g) {
      if (kept(family, keep))
        declareScratch(files.scratch(family, g).name);
      else
        holdInMemory(files.scratch(family, g).name);
    }
  }
}

void readKeys(RunRecord& run) {
  const Capacities& c = run.capacities;
  GETKEY(run.files[Fixed::YXDKEY], run.dims.T, run.keys, c.maxGid, c.maxGroups, c.maxKeys,
         run.outUnit(), run.logUnit());
  checkGroupSizes(run.keys, run.logUnit());
  run.dims.NG = run.keys.NG;
  run.groups.id = run.keys.groupId;
  run.groups.keys = run.keys.groupKeys;
  buildScratchNames(run.files, run.dims.NG, run.groups.id.data(), run.logUnit());
  const Options& o = run.options;
  holdScratchInMemory(run.files, run.dims.NG, KeptSaveFiles{o.savePhi, o.saveDelta, o.saveBeta});
  checkSaveTargets(run.files, run.dims.NG, KeptSaveFiles{o.savePhi, o.saveDelta, o.saveBeta},
                   run.logUnit());
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
  const int K = run.dims.K, P = run.dims.P, KP = K * P, rows = run.options.piRestrictionRows;
  const int out = run.outUnit(), log = run.logUnit();
  ReparametrisationPlan plan;
  ALPOCR(K, P, rows, plan, run.capacities.wr, out, log);
  PooledArrays& pa = run.pooled;
  pa.mu.active = false;
  // The pooled arrays are fixed; a larger model keeps its group results
  // and goes without the pooled phase.
  if (KP > kPooledPiSize || K > kPooledMuSize) {
    if (run.dims.NG >= 2) {
      const std::string message = " K*P =" + editI(KP, 5) + " AND K =" + editI(K, 4) +
                                  " EXCEED THE POOLED ARRAYS (K*P UP TO" +
                                  editI(kPooledPiSize, 4) + ", K UP TO" +
                                  editI(kPooledMuSize, 3) + ").  THE POOLED PHASE IS SKIPPED.";
      writeUnit(out, "");
      writeUnit(out, message);
      reportError(message, "CONTINUE", log);
    }
    return;
  }
  PiReparametrisation& rep = pa.reparametrisation;
  rep.C = Mat{pa.C.data(), kPooledPiSize, 0, 0};
  rep.d = pa.d.data();
  Restriction& pi = run.restrictions.pi;
  Scratch region(run.WR.data(), static_cast<long long>(run.WR.size()), run.WI.data(),
                 static_cast<long long>(run.WI.size()), run.WC.data(),
                 static_cast<long long>(run.WC.size()));
  ORCRRP(Mat{pi.matrix.data(), kRestrictionCapacity, rows, KP}, pi.vector.data(), rows, K, P,
         rep, region, log);
  printPiReparametrisation(run.options.printLevel, rep.noRows, rep.rank, rep.C, rep.d, out, log);

  MuAccumulators& mu = pa.mu;
  mu.active = run.dims.NG >= 2;
  mu.K = K;
  mu.KP = KP;
  mu.n = rep.n;
  mu.C = rep.C;
  mu.s1 = pa.s1.data();
  mu.S2 = Mat{pa.S2.data(), kPooledMuSize, K, K};
  mu.S3 = Mat{pa.S3.data(), kPooledMuSize, K, K};
  mu.result = Mat{pa.muCov.data(), kPooledMuSize, K, K};
  for (double& v : pa.muCov) v = 0.0;
}

// The group's line of the compact progress display, and its part of the
// closing summary.
void finishGroup(const GroupJob& job, const GroupOutcome& outcome, const ResultTables& tables,
                 std::size_t warningsBefore, RunSummary& summary) {
  std::vector<std::string> kinds;
  const auto& added = tables.warningsAdded();
  for (std::size_t i = warningsBefore; i < added.size(); ++i) kinds.push_back(added[i].second);
  std::string ml;
  switch (outcome.ml) {
    case MlOutcome::None: break;
    case MlOutcome::Converged: ml = "converged"; ++summary.mlConverged; break;
    case MlOutcome::Boundary: ml = "at a boundary"; ++summary.mlBoundary; break;
    case MlOutcome::Degenerate: ml = "degenerate"; ++summary.mlDegenerate; break;
    case MlOutcome::NotConverged: ml = "not converged"; ++summary.mlNotConverged; break;
    case MlOutcome::NotApplicable: ml = "not applicable"; ++summary.mlNotApplicable; break;
  }
  ++summary.groups;
  const int lastPass = job.lastPass + (outcome.ml == MlOutcome::None ? 0 : 1);
  finishProgress(job.groupId, job.g, job.NG, groupOutcome(lastPass, ml, kinds));
}

void writeSummary(RunSummary& summary, const ResultTables& tables, int logUnit) {
  summary.warnings = tables.warningsAdded();
  std::error_code ec;
  summary.directory = std::filesystem::current_path(ec).string();
  writeUnit(logUnit, "");
  for (const std::string& line : summaryLines(summary)) {
    consoleLine(line);
    writeUnit(logUnit, line);
  }
}

// One group: its plan, then the group driver.
void estimateGroup(RunRecord& run, int g, ResultTables& tables, RunSummary& summary,
                   const CommonStart* common = nullptr) {
  const Options& o = run.options;
  GroupDims d{run.groups.foundEstimation[g - 1], run.groups.foundForecast[g - 1], o.K, o.P, o.M};
  // The pooled hand-over of the last pass: the MU-vector regression.
  ScratchNeed handOver;
  if (o.denseEngine || (run.dims.NG >= 2 && o.piEqualityRows == o.piRestrictionRows)) {
    handOver = DLTMUPneed(d.NUMT, o.K, d.KP());
    handOver.add(passEngineRegressNeed(
        o.denseEngine ? PassEngineKind::Dense : PassEngineKind::StateSpace, d.NUMT, o.M, d.KP()));
  }
  const GroupNeeds needs = groupNeeds(d, o, run.groups.id[g - 1], handOver);
  const ScratchNeed& need = needs.step;
  GroupPlanDims dims{d.NUMT, d.TF, o.M, o.K, o.P, o.phiRestrictionRows, o.piRestrictionRows,
                     o.deltaRestrictionRows, need.doubles, need.ints, need.complexes};
  dims.squareArrays = needs.engine.squareArrays;
  dims.factor = needs.engine.factor;
  dims.engineStore = needs.engine.store;
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
  if (run.pooled.mu.active && run.dims.NG >= 2) {
    const int NG = run.dims.NG, out = run.outUnit();
    MuAccumulators* mu = &run.pooled.mu;
    job.handOver = [g, NG, mu, out](const MuVectorInputs& in, Scratch s) {
      DLTMUP(g, NG, in, *mu, s, out);
    };
  }
  job.tables = &tables;
  // Under the common model the group's one pass runs at the common PHI and DELTA.
  if (common != nullptr) {
    job.common = common;
    job.lastPass = 0;
  }
  job.outUnit = run.outUnit();
  job.logUnit = run.logUnit();
  GroupOutcome outcome;
  job.outcome = &outcome;
  const std::size_t warningsBefore = tables.warningsAdded().size();
  ESTGRP(job);
  finishGroup(job, outcome, tables, warningsBefore, summary);
}

void runPooledPhase(RunRecord& run, ResultTables& tables) {
  if (run.dims.NG < 2 || !piRestrictionsAllEqualities(run)) return;
  PooledArrays& pa = run.pooled;
  if (!pa.mu.active) return;  // skipped, with its message, before the groups
  const Options& o = run.options;
  const int K = run.dims.K, P = run.dims.P, M = run.dims.M, KP = K * P, NG = run.dims.NG;
  const int out = run.outUnit(), log = run.logUnit();
  const Capacities& cap = run.capacities;
  const Mat L{run.lMatrix.data(), run.second.ldLMatrix, K, M};
  // Each step's planner checks the step's arrays against the capacities; the
  // step then carves them from the start of the program region.
  const Scratch region(run.WR.data(), static_cast<long long>(run.WR.size()), run.WI.data(),
                       static_cast<long long>(run.WI.size()), run.WC.data(),
                       static_cast<long long>(run.WC.size()));
  auto group = [&](int g) {
    PooledGroup grp;
    grp.g = g;
    grp.groupId = run.groups.id[g - 1];
    grp.T = run.groups.foundEstimation[g - 1];
    grp.K = K;
    grp.P = P;
    grp.M = M;
    grp.sigma2 = run.groupSigma2[g - 1];
    grp.stateSpace = !o.denseEngine;
    grp.L = L;
    return grp;
  };

  // The covariance matrix of the MU-vectors, made non-negative definite.
  Mat muCov = pa.mu.result;
  printInitialMuCovariance(muCov, out, log);
  MuAdjustPlan adjustPlan;
  ALPADS(K, adjustPlan, cap.wr, cap.wi, out, log);
  Mat muFactor{pa.muFactor.data(), kPooledMuSize, K, K};
  {
    Scratch s = region;
    double* eval = s.doubles(K);
    Mat z = s.mat(K, K);
    double* eval0 = s.doubles(K);
    bool adjusted = false;
    ADPSYM(muCov, muFactor, eval, z, adjustPlan.tolerance, eval0, adjusted, s, out);
    printMuAdjustment(eval0, eval, adjusted, muCov, muFactor, out, log);
  }
  tables.addMuCovariance(muCov);

  // Every group's cross products, summed for the pooled PI.
  Mat sumA{pa.sumA.data(), kPooledPiSize, KP, KP};
  for (int j = 1; j <= KP; ++j) {
    pa.sumB[j - 1] = 0.0;
    for (int i = 1; i <= KP; ++i) sumA(i, j) = 0.0;
  }
  for (int g = 1; g <= NG; ++g) {
    const PooledGroup grp = group(g);
    // A group whose SIGMA**2 is 0 has no error variance left: its Omega is
    // X'DELTA_MU X alone, of rank K at most, and would weigh its PI as
    // nearly exact. It stays out of the sums (and the pooled PI).
    if (!(grp.sigma2 > 0.0)) {
      const std::string message = " GROUP" + editI(grp.groupId, 4) +
                                  ": SIGMA**2 IS 0.  THE GROUP IS LEFT OUT OF THE POOLED PI.";
      writeUnit(out, message);
      reportError(message, "CONTINUE", log);
      continue;
    }
    PooledXzyPlan plan;
    ALPXZY(grp.T, K, P, plan, cap.wr, out, log,
           grp.stateSpace ? CDXZYPneed(grp.T, K, P, M, true).doubles : -1);
    CDXZYP(grp, run.files, muFactor, sumA, pa.sumB.data(), region, log);
  }

  PooledPiPlan piPlan;
  ALPPIC(K, P, piPlan, cap.wr, cap.wi, out, log);
  const PiReparametrisation& rep = pa.reparametrisation;
  Mat piCov{pa.piCov.data(), kPooledPiSize, KP, KP};
  const int rank = CPOLPI(sumA, pa.sumB.data(), rep.C, rep.d, pa.pibar.data(), piCov, region, log);
  if (rank == 0) {
    // Nothing of the pooled PI is determined by the data.
    const std::string message =
        " THE POOLED CROSS-PRODUCT MATRIX HAS RANK 0.  NO POOLED ESTIMATES ARE COMPUTED.";
    writeUnit(out, "");
    writeUnit(out, message);
    reportError(message, "CONTINUE", log);
    return;
  }
  printPooledPi(o.printLevel, pa.pibar.data(), piCov, out, log);
  if (o.printLevel >= 1)
    printPiByVariable("THE POOLED PI BY VARIABLE", pa.pibar.data(), piCov, K, P,
                      PiNames{&run.names.x, &run.names.z}, nullptr, out);
  tables.addPooledPi(pa.pibar.data(), K, P, piCov);

  for (int g = 1; g <= NG; ++g) {
    const PooledGroup grp = group(g);
    const int TF = run.groups.foundForecast[g - 1];
    PooledEmbPlan plan;
    ALPEMB(grp.T, K, M, P, plan, cap.wr, out, log);
    Scratch s = region;
    PooledEstimates est;
    est.eps = s.mat(M, grp.T);
    est.mu = s.doubles(K);
    est.beta = s.mat(K, grp.T);
    EMBTAP(grp, run.files, L, pa.pibar.data(), muCov, est, s.rest(), log);
    printPooledResults(o.printLevel, grp.groupId, est.eps, est.mu, est.beta, out, log);
    tables.addPooledBeta(g, est.beta);
    if (TF < 1) continue;

    PooledForecastPlan forecastPlan;
    ALCPFC(grp.T, M, K, P, TF, forecastPlan, cap.wr, out, log);
    Scratch f = region;
    PooledForecast fc;
    fc.epsF = f.mat(M, TF);
    fc.betaF = f.mat(K, TF);
    fc.yF = f.doubles(TF);
    fc.yHat = f.doubles(TF);
    PFCAST(grp, TF, run.files, L, pa.pibar.data(), fc, f.rest(), log);
    PooledForecastSection section{fc.epsF, fc.betaF, fc.yF,  fc.yHat, TF,
                                  fc.rmse, fc.mape,  fc.mapeComputed};
    printPooledForecast(o.printLevel, grp.groupId, section, out, log);
    tables.addPooledForecast(g, fc.betaF, fc.yHat,
                             ForecastErrors{fc.compared, fc.rmse, fc.mape, fc.mapeComputed});
  }
}

// The limit that a refused allocation met, when the user has set one.
std::string addressSpaceText() {
  const long long limit = addressSpaceLimit();
  if (limit < 0) return "";
  return " (THE LIMIT ON THE ADDRESS SPACE, ULIMIT -V, IS " + std::to_string(limit / 1024) + " KB)";
}

// The program region, allocated once: a system that cannot give it ends
// the run with the need in the message, not with an abort.
void allocateRegion(RunRecord& run) {
  const Capacities& c = run.capacities;
  try {
    run.WR = RegionDoubles(c.wr);
    run.WI.assign(c.wi, 0);
    run.WC.assign(c.wc, {});
  } catch (const std::bad_alloc&) {
    const long long bytes = 8LL * c.wr + 4LL * c.wi + 16LL * c.wc;
    const std::string message =
        " THE PROGRAM REGION CANNOT BE ALLOCATED: IT NEEDS" + editI(c.wr, 9) + " REAL*8," +
        editI(c.wi, 7) + " INTEGER AND" + editI(c.wc, 7) + " COMPLEX*16 VARIABLES (" +
        std::to_string((bytes + (1 << 20) - 1) >> 20) + " MB), MORE MEMORY THAN THE SYSTEM GIVES" +
        addressSpaceText() + ".";
    writeUnit(run.outUnit(), "");
    writeUnit(run.outUnit(), message);
    reportError(message, "STOP", run.logUnit());
  }
}

// Any other allocation that the system refuses, wherever in the run (the
// run record is gone by then: the report files are found by their units).
[[noreturn]] void reportOutOfMemory() {
  const std::string message =
      " THE SYSTEM REFUSED MEMORY THAT THE RUN NEEDS: AN ALLOCATION FAILED" + addressSpaceText() +
      ".  PROGRAM STOPS.";
  const int out = fixedUnit(Fixed::KOVAOUT), log = fixedUnit(Fixed::KOVALOG);
  writeUnit(out, "");
  writeUnit(out, message);
  reportToUnitAndConsole(log, message);
  stopRun();
}

}  // namespace

void runInputPhases(RunRecord& run) {
  fillFixedFiles(run.files);
  setUpReportFile(run.files[Fixed::KOVAOUT], " ERROR IN SETTING UP FILE KOVAOUT.  PROGRAM STOPS");
  setUpReportFile(run.files[Fixed::KOVALOG], " ERROR IN SETTING UP FILE KOVALOG.  PROGRAM STOPS");
  // The trace of the solver steps goes to the log, whatever the console shows.
  setTraceUnit(run.logUnit());
  allocateRegion(run);
  readParameters(run);
  readKeys(run);
  setUpData(run);
}

void KOVAMAIN() try {
  auto run = std::make_unique<RunRecord>();
  // The tables of this run replace those of any earlier one; if this run
  // stops, it leaves none (the destructor removes what was begun).
  ResultTables tables;
  tables.removeEarlierTables();
  runInputPhases(*run);
  tables.start(run->names, run->dims.NG, run->logUnit());
  reparametrisePiRestrictions(*run);
  RunSummary summary;
  summary.parameterWarnings = run->options.lineWarnings;
  CommonPhase common;
  if (run->options.commonModel != 'N') runCommonPhase(*run, tables, common);
  for (int g = 1; g <= run->dims.NG; ++g)
    estimateGroup(*run, g, tables, summary, common.active ? &common.start : nullptr);
  runPooledPhase(*run, tables);

  const Options& o = run->options;
  const KeptSaveFiles kept{o.savePhi, o.saveDelta, o.saveBeta};
  DELETF(run->files, run->dims.NG, kept, run->logUnit());
  checkReportFiles(*run, false);
  keepSaveFiles(run->files, run->dims.NG, kept, run->logUnit());
  summary.tables = tables.active();
  tables.commit();
  writeSummary(summary, tables, run->logUnit());
  checkReportFiles(*run, true);
} catch (const std::bad_alloc&) {
  reportOutOfMemory();
}

}  // namespace kova
