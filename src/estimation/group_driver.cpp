#include "estimation/group_driver.h"

#include <algorithm>
#include <vector>
#include <cmath>
#include <cstdint>
#include <limits>

#include "data/group_data.h"
#include "engine/covariance_structure.h"
#include "likelihood/beta_parameter_spread.h"
#include "estimation/beta_standard_errors.h"
#include "engine/epsilon_beta.h"
#include "estimation/innovation_diagnostics.h"
#include "likelihood/ml_step.h"
#include "engine/pi_estimate.h"
#include "estimation/pi_inequalities.h"
#include "estimation/pi_rank.h"
#include "estimation/pass_warnings.h"
#include "estimation/progress.h"
#include "engine/pass1_covariance.h"
#include "engine/pass_engines.h"
#include "estimation/starting_values.h"
#include "estimation/student_quantile.h"
#include "engine/ysigma_eigenvalues.h"
#include "forecast/group_forecast.h"
#include "input/option_groups.h"
#include "report/estimation_sections.h"
#include "report/group_data_report.h"
#include "report/saved_results.h"
#include "report/pass1_covariance_section.h"
#include "io/edit_descriptors.h"
#include "io/messages.h"
#include "report/adjustment_sections.h"
#include "solvers/definiteness.h"
#include "solvers/lm_delta.h"
#include "solvers/leading_element.h"
#include "solvers/lm_phi.h"
#include "solvers/method_choice.h"
#include "solvers/qp_path.h"

namespace kova {
namespace {

// The arrays a group keeps from step to step, carved from the group plan.
struct GroupArrays {
  GroupData data;
  Mat phi, delta, udelta, gamma, ugamma;
  PhiEigen eig;
  Mat tlx, tlxf, xz;
  EngineArrays engine;
  double* blocks = nullptr;  // M x M x NUMT
  Mat cov;
  double* PIVECT = nullptr;
  double* MU = nullptr;
  Mat epsilon, beta;
  Mat betaSe;                // K x (NUMT + TF), at the end of the scratch stretch
  Mat mlSpread;              // 2 M*M x mlSpreadColumns(M), before it: from ML to the final pass
  Mat workR;                 // the working PI restriction
  double* workRhs = nullptr;
  double* ysigmaEigen = nullptr;
  double* EIPIVC = nullptr;
  int* attained = nullptr;   // per inequality row, the passes it bound
  GroupForecast forecast;
  Scratch scratch;           // the stretch W3..W6 with WI1 and WC1
};

// The draws of PHI and DELTA for the standard errors of BETA under ML start
// from this seed (plus the group's number): the same data, the same errors.
constexpr std::uint64_t kSpreadSeed = 20261207;

// The doubles of GroupArrays::mlSpread.
long long mlSpreadSize(int M) { return 2LL * M * M * mlSpreadColumns(M); }

GroupArrays carveArrays(const GroupJob& job) {
  const GroupPlan& plan = *job.plan;
  const GroupDims& d = job.dims;
  const int T = d.NUMT, TF = d.TF, K = d.K, P = d.P, M = d.M, KP = d.KP();
  auto wr = [&](int e) { return carve(*job.WR, plan.start[e]); };
  auto wc = [&](int e) { return carve(*job.WC, plan.start[e]); };
  auto mat = [&](int e, int rows, int cols) { return Mat{wr(e), std::max(rows, 1), rows, cols}; };

  GroupArrays a;
  a.data.T = T;
  a.data.TF = TF;
  a.data.K = K;
  a.data.P = P;
  a.data.y = wr(1);
  a.data.yF = wr(2);
  a.data.X = mat(3, K, T);
  a.data.XF = mat(4, K, TF);
  a.data.Z = mat(5, P, T);
  a.data.ZF = mat(6, P, TF);
  a.phi = mat(7, M, M);
  a.delta = mat(8, M, M);
  a.udelta = mat(9, M, M);
  a.tlx = mat(10, M, T);
  a.tlxf = mat(11, M, TF);
  a.cov = mat(12, KP, KP);
  a.gamma = mat(13, M, M);
  a.ugamma = mat(14, M, M);
  a.eig = PhiEigen{M, std::max(M, 1), wc(16), wc(15), wc(17), wr(20)};
  a.blocks = wr(22);
  // The dense engine's T x T arrays, or the state-space engine's records
  // followed, when a step wants them, by YSIGMA and its factor.
  if (job.options->denseEngine) {
    a.engine.ysigma = mat(23, T, T);
    a.engine.uysgma = mat(24, T, T);
    a.engine.RO = mat(34, T, T);
  } else {
    const long long store = StateSpaceEngine::storeLength(d);
    a.engine.store = wr(23);
    a.engine.storeLength = store;
    if (plan.size[24] > 0) {
      a.engine.ysigma = Mat{wr(23) + store, std::max(T, 1), T, T};
      a.engine.uysgma = mat(24, T, T);
    }
  }
  a.PIVECT = wr(25);
  a.MU = wr(26);
  const int R = job.restrictions->pi.rows;
  a.workR = mat(27, R, KP);
  a.workRhs = wr(27) + static_cast<long>(std::max(R, 1)) * KP;
  a.ysigmaEigen = wr(28);
  a.EIPIVC = wr(28) + T;
  a.epsilon = mat(29, M, T);
  a.xz = mat(35, T, KP);
  a.forecast.yS = wr(39);
  a.forecast.yP = wr(40);
  a.beta = mat(41, K, T);
  a.forecast.epsF = mat(42, M, TF);
  a.forecast.betaF = mat(43, K, TF);
  const long long arena =
      plan.size[30] + plan.size[31] + plan.size[32] + plan.size[33];
  // The attained counters of the inequality rows live across the passes,
  // ahead of the integer scratch.
  a.attained = carve(*job.WI, plan.start[37]);
  // The standard errors of BETA(t) live from their step to the tables at
  // the end of the pass: the tail of the stretch, outside the steps' scratch.
  const long long betaSe = static_cast<long long>(K) * (T + TF);
  a.betaSe = Mat{wr(30) + arena - betaSe, std::max(K, 1), K, T + TF};
  const long long spread = mlSpreadSize(M);
  a.mlSpread = Mat{wr(30) + arena - betaSe - spread, std::max(2 * M * M, 1), 2 * M * M,
                   mlSpreadColumns(M)};
  a.scratch = Scratch(wr(30), arena - betaSe - spread, a.attained + R, plan.size[37] - R, wc(38),
                      plan.size[38]);
  return a;
}

// The variance decomposition of the random coefficients: L GAMMA L', the
// covariance of BETA(t) - PI z(t) in units of SIGMA**2.
void printVarianceDecomposition(const SectionContext& c, Mat L, Mat gamma, Scratch s) {
  if (c.printLevel < 3) return;
  const int K = L.rows, M = L.cols;
  Mat lg = s.mat(K, M), v = s.mat(K, K);
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= K; ++i) {
      double sum = 0.0;
      for (int l = 1; l <= M; ++l) sum += L(i, l) * gamma(l, j);
      lg(i, j) = sum;
    }
  for (int j = 1; j <= K; ++j)
    for (int i = 1; i <= K; ++i) {
      double sum = 0.0;
      for (int l = 1; l <= M; ++l) sum += lg(i, l) * L(j, l);
      v(i, j) = sum;
    }
  printPassMatrix(c, 3, v, "MATRIX OF VARIANCE DECOMPOSITION");
}

MlOutcome mlOutcome(MlEnding ending) {
  switch (ending) {
    case MlEnding::Interior: return MlOutcome::Converged;
    case MlEnding::Boundary: return MlOutcome::Boundary;
    case MlEnding::Degenerate: return MlOutcome::Degenerate;
    case MlEnding::NotConverged: return MlOutcome::NotConverged;
    case MlEnding::NotApplicable: break;
  }
  return MlOutcome::NotApplicable;
}

class GroupRun {
 public:
  explicit GroupRun(const GroupJob& job)
      : job_(job),
        o_(*job.options),
        a_(carveArrays(job)),
        engine_(makePassEngine(o_.denseEngine ? PassEngineKind::Dense : PassEngineKind::StateSpace,
                               job.dims, a_.engine)) {}

  void run() {
    setUp();
    // Under METHOD = ML one more pass follows the iterative ones, at the
    // estimates of the likelihood step (or at the iterative ones where that
    // step does not apply or fails); it is the group's last pass.
    ml_ = job_.common == nullptr && usesMaximumLikelihood(o_, job_.groupId);
    lastPass_ = job_.lastPass + (ml_ ? 1 : 0);
    if (ml_) {
      const std::size_t mm = static_cast<std::size_t>(job_.dims.M) * job_.dims.M;
      earlierValues_.reserve(2 * mm * std::max(job_.lastPass, 1));
      earlierPasses_.reserve(std::max(job_.lastPass, 1));
    }
    for (pass_ = 0; pass_ <= job_.lastPass; ++pass_) runPass();
    if (ml_) {
      maximumLikelihood();
      runPass();
    }
    warnAboutLastPass();
    closeGroup();
  }

 private:
  const NamedUnit& family(Family f) const { return job_.files->scratch(f, job_.g); }
  SectionContext context() const {
    return SectionContext{o_.printLevel, job_.groupId, pass_, job_.outUnit, job_.logUnit};
  }
  int piRows() const { return job_.restrictions->pi.rows; }
  const VariableNames& names() const {
    static const VariableNames unnamed;
    return job_.names != nullptr ? *job_.names : unnamed;
  }
  // The OLS and GLS modes: PHI(1,1) and DELTA(1,1) alone.
  bool leadingOnly() const { return o_.ordinaryLeastSquares || o_.generalisedLeastSquares; }
  bool hasInequalities() const { return o_.piEqualityRows < piRows(); }
  // The last pass hands the group to the pooled phase.
  bool pooledHandOver() const { return !hasInequalities() && job_.NG >= 2; }

  void copyPiRestriction() {
    Restriction& pi = job_.restrictions->pi;
    CPYRPI(pi.coefficients(), pi.vector.data(), pi.rows, a_.workR, a_.workRhs);
    spirow_ = pi.rows;
  }

  void setUp() {
    const GroupDims& d = job_.dims;
    if (piRows() >= 1) copyPiRestriction();
    GETDTA(a_.data, *job_.files, job_.g, job_.logUnit);
    printDataSection();

    StartingPhiSettings ps{o_.phiSource, o_.zeroPhi, o_.diagonalPhi, o_.printLevel, job_.groupId};
    Scratch s = a_.scratch;
    // The start files under their own names; the run's new ones are written
    // under the temporary names of the file table (closeGroup).
    const FileTable& files = *job_.files;
    INTPHI(ps, a_.phi, a_.eig, phiIsZero_, family(Family::PHDATG),
           files.savedFile(Family::PSAVE, job_.g), s, job_.outUnit, job_.logUnit);
    StartingDeltaSettings ds{o_.deltaSource, o_.printLevel, job_.groupId};
    s = a_.scratch;
    INTDLT(ds, a_.delta, sigma2_, a_.udelta, family(Family::DTDATG),
           files.savedFile(Family::DSAVE, job_.g), s, job_.outUnit, job_.logUnit);
    if (leadingOnly()) keepLeadingStartingValues();
    if (job_.common != nullptr) takeCommonValues();

    CTLXS(job_.L, a_.data.X, a_.tlx, family(Family::TLX), true, job_.logUnit);
    if (d.TF >= 1) CTLXS(job_.L, a_.data.XF, a_.tlxf, family(Family::TLXF), true, job_.logUnit);
    const SectionContext c = context();
    printPassMatrix(c, 5, a_.tlx, "THE MATRIX TLX", true);
    if (d.TF >= 1) printPassMatrix(c, 5, a_.tlxf, "THE MATRIX TLXF", true);
    CXZ(a_.data.X, a_.data.Z, a_.xz, family(Family::XZ), true, job_.logUnit);
    printPassMatrix(c, 5, a_.xz, "THE MATRIX XZ", true);
    // The data fix which combinations of PI they determine, for every pass.
    Restriction& pi = job_.restrictions->pi;
    const Mat equalities{pi.matrix.data(), kRestrictionCapacity,
                         std::min(o_.piEqualityRows, pi.rows), job_.dims.KP()};
    findPiIdentification(a_.xz, equalities, piId_, a_.scratch, job_.logUnit);
  }

  // The common model's PHI and DELTA replace the starting values, and the
  // factor of their covariance goes to the BETA bands of the pass.
  void takeCommonValues() {
    const CommonStart& c = *job_.common;
    const int M = job_.dims.M;
    for (int j = 1; j <= M; ++j)
      for (int i = 1; i <= M; ++i) {
        a_.phi(i, j) = c.phi(i, j);
        a_.delta(i, j) = c.delta(i, j);
      }
    if (o_.zeroPhi || o_.diagonalPhi) {
      diagonalPhiEigen(a_.phi, a_.eig);
    } else {
      Scratch s = a_.scratch;
      double MAXEVL = 0.0;
      EIGDCP(a_.phi, a_.eig, MAXEVL, true, s, job_.outUnit);
    }
    rebuildUdelta();
    mlSpreadCount_ = 0;
    const bool fits = c.spreadCount <= a_.mlSpread.cols && c.spread.rows == a_.mlSpread.rows;
    if (c.spreadCount > 0 && fits) {
      for (int l = 1; l <= c.spreadCount; ++l)
        std::copy_n(c.spread.col(l), c.spread.rows, a_.mlSpread.col(l));
      mlSpreadCount_ = c.spreadCount;
    }
  }

  // Pass 0 of the OLS and GLS modes already works with the leading elements
  // alone, so that the whole run is the one of M = 1 with L's first column.
  void keepLeadingStartingValues() {
    keepLeadingElement(a_.phi);
    keepLeadingElement(a_.delta);
    keepLeadingElement(a_.udelta);
    a_.udelta(1, 1) = a_.delta(1, 1) > 0.0 ? std::sqrt(a_.delta(1, 1)) : 0.0;
    diagonalPhiEigen(a_.phi, a_.eig);
  }

  void printDataSection() {
    GroupDataSection section;
    section.printLevel = o_.printLevel;
    section.groupId = job_.groupId;
    section.iterations = job_.lastPass;
    section.yName = &job_.names->y;
    section.xNames = &job_.names->x;
    section.zNames = &job_.names->z;
    section.data = &a_.data;
    section.zSource = o_.zSource;
    section.lSource = o_.lSource;
    section.M = job_.dims.M;
    section.L = job_.L;
    section.restrictions = job_.restrictions;
    section.diagonalPhi = o_.diagonalPhi;
    section.diagonalDelta = o_.diagonalDelta;
    RPTGDT(section, job_.outUnit, job_.logUnit);
  }

  // Passes 1..N re-estimate PHI and then DELTA from the previous pass's
  // EPSILON and residuals, each by the path its method code names, and
  // rebuild UDELTA from the new DELTA.
  void reestimatePhiAndDelta() {
    if (epsilonIsZero()) {
      // Nothing is left to estimate PHI and DELTA from (DELTA went to zero
      // on an earlier pass); the solvers would stop the whole run on their
      // zero regression matrices, losing every later group.
      reportToUnitAndConsole(
          job_.outUnit, " IN ITERATION" + editI(pass_, 4) + " OF GROUP" + editI(job_.groupId, 4) +
                            ", THE EPSILON MATRIX IS ZERO: PHI AND DELTA ARE KEPT FROM THE "
                            "PREVIOUS ITERATION.");
      writeUnit(job_.logUnit, " IN ITERATION" + editI(pass_, 4) + " OF GROUP" +
                                  editI(job_.groupId, 4) + ", THE EPSILON MATRIX IS ZERO.");
      return;
    }
    const SectionContext c = context();
    Restriction& rp = job_.restrictions->phi;
    Restriction& rd = job_.restrictions->delta;
    Scratch s = a_.scratch;
    if (solverPath(HOWCPH(o_.diagonalPhi, rp.rows, job_.outUnit)) == SolverPath::LM) {
      double MAXEVL = 0.0;
      LmPhiJob pj{o_.zeroPhi, o_.diagonalPhi, a_.tlx, a_.epsilon, a_.delta, a_.MU,
                  RestrictionRows{rp.coefficients(), rp.vector.data()}, o_.EVLTOL, c,
                  leadingOnly()};
      LMCPHI(pj, a_.phi, a_.eig, MAXEVL, s);
    } else {
      QpPhiJob pj{o_.zeroPhi, o_.diagonalPhi, a_.tlx, a_.epsilon, a_.delta, a_.MU, o_.EVLTOL, c,
                  leadingOnly()};
      QPCPHI(pj, a_.phi, a_.eig, s);
    }
    s = a_.scratch;
    const NamedUnit& xdelta = (*job_.files)[Fixed::XDELTA];
    if (solverPath(HOWCDT(o_.diagonalDelta, rd.rows, job_.outUnit)) == SolverPath::LM) {
      LmDeltaJob dj{pass_, o_.diagonalDelta, a_.tlx, a_.epsilon, a_.phi, sigma2_,
                    RestrictionRows{rd.coefficients(), rd.vector.data()}, xdelta, c,
                    leadingOnly()};
      LMCDLT(dj, a_.delta, dlttol_, s);
    } else {
      QpDeltaJob dj{pass_, o_.diagonalDelta, a_.tlx, a_.epsilon, a_.phi, sigma2_, xdelta, c,
                    leadingOnly()};
      QPCDLT(dj, a_.delta, dlttol_, s);
    }
    rebuildUdelta();
  }

  bool epsilonIsZero() const {
    for (int t = 1; t <= a_.epsilon.cols; ++t)
      for (int i = 1; i <= a_.epsilon.rows; ++i)
        if (a_.epsilon(i, t) != 0.0) return false;
    return true;
  }

  // In the OLS and GLS modes only DELTA(1,1) is used (the paths leave the
  // other elements zero; they are cleared here too, since GAMMA is formed
  // from DELTA itself); otherwise DELTA is made non-negative definite and
  // factored.
  void rebuildUdelta() {
    const int M = job_.dims.M;
    if (leadingOnly()) {
      for (int j = 1; j <= M; ++j)
        for (int i = 1; i <= M; ++i) {
          a_.udelta(i, j) = 0.0;
          if (i != 1 || j != 1) a_.delta(i, j) = 0.0;
        }
      if (a_.delta(1, 1) < 0.0) {
        writeUnit(job_.outUnit, " IN ITERATION" + editI(pass_, 4) + " DELTA(1,1) IS " +
                                    editG(a_.delta(1, 1), 13, 5) + " IT IS SET TO ZERO.");
        a_.delta(1, 1) = 0.0;
      }
      a_.udelta(1, 1) = std::sqrt(a_.delta(1, 1));
      return;
    }
    Scratch s = a_.scratch;
    double* before = s.doubles(M);
    double* after = s.doubles(M);
    bool adjusted = false;
    if (o_.diagonalDelta) {
      ADJDD(a_.delta, a_.udelta, 0.0, before, adjusted, job_.outUnit);
      for (int i = 1; i <= M; ++i) after[i - 1] = a_.delta(i, i);
    } else {
      Mat z = s.mat(M, M);
      Scratch rest = s.rest();
      ADJDND(a_.delta, a_.udelta, after, z, 0.0, before, adjusted, rest, job_.outUnit);
    }
    printDeltaAdjustment(context(), DeltaAdjustmentSection{a_.delta, before, after, adjusted, false});
  }

  MlData mlData() const {
    return MlData{a_.tlx, a_.xz, a_.data.y,
                  PiRestrictionView{Mat{a_.workR.p, a_.workR.ld, spirow_, job_.dims.KP()},
                                    a_.workRhs, spirow_}};
  }

  // The PHI and DELTA of an iterative pass before the last: further starts
  // of the likelihood search.
  void keepForLikelihoodStarts() {
    const int M = job_.dims.M;
    for (Mat m : {a_.phi, a_.delta})
      for (int j = 1; j <= M; ++j) earlierValues_.insert(earlierValues_.end(), m.col(j), m.col(j) + M);
    earlierPasses_.push_back(pass_);
  }

  void maximumLikelihood() {
    Restriction& rp = job_.restrictions->phi;
    MlStepJob j;
    j.earlier = MlEarlierPasses{earlierValues_.data(), earlierPasses_.data(),
                                static_cast<int>(earlierPasses_.size())};
    j.data = mlData();
    j.form = MlForm{o_.zeroPhi, o_.diagonalPhi, o_.diagonalDelta, leadingOnly(), o_.EVLTOL};
    j.form.restricted = usesRestrictedLikelihood(o_, job_.groupId);
    j.phiRows = RestrictionRows{rp.coefficients(), rp.vector.data()};
    j.deltaRestrictions = job_.restrictions->delta.rows > 0;
    j.piInequalities = hasInequalities();
    j.groupId = job_.groupId;
    j.finalPass = lastPass_;
    j.printLevel = o_.printLevel;
    j.tables = job_.tables;
    j.outUnit = job_.outUnit;
    j.logUnit = job_.logUnit;
    j.spread = a_.mlSpread;
    j.spreadCount = &mlSpreadCount_;
    showProgress({job_.groupId, job_.g, job_.NG, pass_, lastPass_, true});
    MlEnding ending = MlEnding::NotApplicable;
    j.ending = &ending;
    mlApplied_ = MLSTEP(j, a_.phi, a_.delta, a_.scratch);
    if (job_.outcome != nullptr) job_.outcome->ml = mlOutcome(ending);
    if (!mlApplied_) return;
    // The eigen arrays and UDELTA of the new PHI and DELTA, as the solvers
    // leave them.
    Scratch s = a_.scratch;
    if (o_.zeroPhi || o_.diagonalPhi || leadingOnly()) {
      diagonalPhiEigen(a_.phi, a_.eig);
    } else {
      double MAXEVL = 0.0;
      EIGDCP(a_.phi, a_.eig, MAXEVL, true, s, job_.outUnit);
    }
    rebuildUdelta();
  }

  void runPass() {
    showProgress({job_.groupId, job_.g, job_.NG, pass_, lastPass_, false});
    if (hasInequalities()) copyPiRestriction();
    if (pass_ >= 1 && pass_ <= job_.lastPass) reestimatePhiAndDelta();
    if (ml_ && pass_ >= 1 && pass_ < job_.lastPass) keepForLikelihoodStarts();
    covarianceStructure();
    estimatePi();
    epsilonAndBeta();
    if (job_.dims.TF >= 1) forecast();
    if (job_.tables != nullptr) addToTables(*job_.tables);
    if (pass_ == lastPass_) innovationDiagnostics();
  }

  // The one-step-ahead prediction errors of the last pass and their tests.
  void innovationDiagnostics() {
    const int T = job_.dims.NUMT, M = job_.dims.M;
    Scratch s = a_.scratch;
    InnovationSeries series{s.doubles(T), s.doubles(T), s.doubles(T)};
    Mat phi = a_.phi;
    if (o_.zeroPhi) {
      phi = s.mat(M, M);
      for (int j = 1; j <= M; ++j) std::fill_n(phi.col(j), M, 0.0);
    }
    InnovationStatistics st;
    kova::innovationDiagnostics(phi, a_.delta, a_.gamma, a_.tlx, a_.xz, a_.data.y, a_.PIVECT,
                                sigma2_, series, st, s);
    printInnovationStatistics(st, job_.groupId, pass_, o_.printLevel, job_.outUnit);
    if (job_.tables == nullptr) return;
    job_.tables->addInnovations(job_.groupId, pass_, T, series.v, series.variance,
                                series.standardised);
    job_.tables->addInnovationStatistics(job_.groupId, pass_, st.lagCount, st.lags, st.q, st.qP,
                                         st.jb, st.jbP);
  }

  // The multiple of BETA(t)'s standard error that makes its 95% band: the
  // quantile of Student's t with the group's n - q degrees of freedom (n the
  // estimation periods, q PI's free elements), those of its SIGMA**2.
  double bandQuantile() const {
    const int q = job_.dims.KP() - std::min(o_.piEqualityRows, piRows());
    return studentQuantile(0.975, job_.dims.NUMT - q);
  }

  void addToTables(ResultTables& tables) const {
    const bool last = pass_ == lastPass_;
    const GroupForecast& f = a_.forecast;
    tables.addPassMatrices(job_.groupId, pass_, a_.phi, a_.delta, sigma2_, a_.gamma);
    tables.addBeta(job_.g, job_.groupId, pass_, last, a_.beta,
                   job_.dims.TF >= 1 ? f.betaF : Mat{}, a_.betaSe, bandQuantile());
    if (!last) return;
    LastPassFit fit;
    fit.y = a_.data.y;
    fit.X = a_.data.X;
    fit.yF = a_.data.yF;
    fit.yS = f.yS;
    fit.yP = f.yP;
    fit.yfsErrors = ForecastErrors{f.compared, f.rmseS, f.mapeS, f.mapeComputed};
    fit.predictorErrors = ForecastErrors{f.compared, f.rmseP, f.mapeP, f.mapeComputed};
    tables.addLastPassFit(job_.g, fit);
  }

  void covarianceStructure() {
    const SectionContext c = context();
    const PhiForm form{o_.zeroPhi, o_.diagonalPhi};
    Scratch s = a_.scratch;
    CGAMMA(form, a_.phi, a_.delta, a_.udelta, a_.gamma, a_.ugamma, s, job_.outUnit);
    printPassMatrix(c, 4, a_.gamma, "THE GAMMA MATRIX");
    printVarianceDecomposition(c, job_.L, a_.gamma, a_.scratch);

    const YsigmaFiles files{family(Family::YSIGFCTR), family(Family::ESIGMA)};
    const PassModel model{form, a_.tlx, a_.phi, &a_.eig, a_.ugamma, a_.udelta};
    engine_->structure(model, a_.blocks, files, a_.scratch, job_.logUnit);
    printSigmaEpsBlocks(c, job_.dims.M, job_.dims.NUMT, a_.blocks);
    if (o_.printLevel >= 5) printPassMatrix(c, 5, engine_->ysigma(a_.scratch), "THE YSIGMA MATRIX");
    if (o_.printLevel >= 1) {
      if (engine_->eigenvalues(a_.ysigmaEigen, a_.scratch))
        printPassMatrix(c, 1, Mat{a_.ysigmaEigen, job_.dims.NUMT, job_.dims.NUMT, 1},
                        "EIGENVALUES OF YSIGMA");
      else
        writeUnit(job_.outUnit, " THE EIGENVALUES OF YSIGMA COULD NOT BE COMPUTED IN ITERATION" +
                                    editI(pass_, 4) + ".");
    }
    // What the special covariance of pass 1 needs of passes 0 and 1.
    if (pass_ <= 1) {
      const NamedUnit& file =
          job_.files->fixed[static_cast<int>(pass_ == 0 ? Fixed::YSFACTR0 : Fixed::YSFACTR1)];
      engine_->saveStructure(file, job_.logUnit);
    }
  }

  void estimatePi() {
    const SectionContext c = context();
    // With inequality rows, those that bind become equalities of the
    // working copy; the others drop out for this pass.
    int converted = 0;
    if (hasInequalities()) {
      Scratch si = a_.scratch;
      INEQPI(pass_, job_.groupId, a_.data.y, a_.xz, engine_->factor(a_.scratch), a_.workR, a_.workRhs, spirow_,
             o_.piEqualityRows, converted, a_.EIPIVC, a_.attained, si, job_.outUnit,
             job_.logUnit);
    }
    PiRestrictionView rest{Mat{a_.workR.p, a_.workR.ld, spirow_, job_.dims.KP()}, a_.workRhs,
                           spirow_};
    est_ = PiEstimate{a_.PIVECT, a_.MU, a_.cov, sigma2_, Mat{}, false};
    engine_->estimatePi(pass_, job_.groupId, a_.data.y, a_.xz, rest, est_, a_.scratch,
                        job_.outUnit, job_.logUnit);
    sigma2_ = est_.sigma2;
    if (pass_ == 1) {
      sigma2Pass1_ = sigma2_;
    }
    if (hasInequalities()) CMPPIV(a_.EIPIVC, a_.PIVECT, job_.dims.KP(), job_.outUnit);
    SCLCOV(est_);

    PiSection pi;
    pi.K = job_.dims.K;
    pi.P = job_.dims.P;
    pi.PIVECT = a_.PIVECT;
    pi.MU = a_.MU;
    pi.muLength = job_.dims.NUMT + spirow_;
    pi.cov = a_.cov;
    pi.sigma2 = sigma2_;
    pi.covUnavailable = est_.covUnavailable;
    pi.inequalities = hasInequalities();
    pi.converted = converted;
    pi.EIPIVC = a_.EIPIVC;
    RPTPIR(c, pi);
    if (o_.printLevel >= 1)
      notePiIdentification(piId_, job_.dims.K, job_.dims.P, names().x, names().z, job_.outUnit);
    if (job_.tables != nullptr) {
      Mat cov = a_.cov;
      cov.rows = cov.cols = job_.dims.KP();
      job_.tables->addPi(job_.groupId, pass_, a_.PIVECT, job_.dims.K, job_.dims.P, cov, sigma2_,
                         piId_.flags());
    }

    OrcvarRanks ranks;
    engine_->piCovariance(a_.xz, sigma2_, rest, est_, ranks, a_.scratch, job_.outUnit,
                          job_.logUnit, job_.dims.K, job_.dims.P);
    CovarianceSection cs;
    cs.cov = a_.cov;
    cs.fixedByRestrictions = est_.covUnavailable && ranks.restriction == job_.dims.KP();
    piFixed_ = cs.fixedByRestrictions;
    cs.restrictionRank = ranks.restriction;
    cs.whiteningRank = ranks.whitening;
    cs.informationRank = ranks.information;
    cs.informationFull = ranks.informationFull;
    cs.whiteningFull = job_.dims.NUMT;
    cs.restrictionFull = std::min(spirow_, job_.dims.KP());
    printCovarianceSection(c, cs);
  }

  void epsilonAndBeta() {
    const SectionContext c = context();
    engine_->epsilon(a_.blocks, a_.MU, a_.epsilon, family(Family::EPSMATRX), a_.scratch,
                     job_.logUnit);
    printPassMatrix(c, 3, a_.epsilon, "THE EPSILON MATRIX");
    if (pass_ == lastPass_ && pooledHandOver()) {
      job_.sigma2Table[job_.g - 1] = sigma2_;
      if (job_.handOver) {
        const MuVectorInputs in{a_.tlx, a_.xz, a_.PIVECT, a_.epsilon, engine_.get(), a_.cov};
        job_.handOver(in, a_.scratch);
      }
    }
    CBETA(a_.PIVECT, a_.data.Z, job_.L, a_.epsilon, a_.beta);
    printBetaSection(c, a_.beta);
    if (job_.tables != nullptr) betaStandardErrors();
    if (o_.saveBeta)
      PUTBTA(job_.groupId, pass_, lastPass_, a_.beta, family(Family::BETASAV), job_.logUnit);
    if (pass_ == 1) specialCovariance();
  }

  // Before the special covariance of pass 1 replaces the covariance of PI.
  void betaStandardErrors() {
    const int M = job_.dims.M;
    Scratch s = a_.scratch;
    Mat phi = a_.phi;
    if (o_.zeroPhi) {
      phi = s.mat(M, M);
      for (int j = 1; j <= M; ++j) std::fill_n(phi.col(j), M, 0.0);
    }
    Mat cov = a_.cov;
    cov.rows = cov.cols = job_.dims.KP();
    BetaErrorInputs in;
    in.phi = phi;
    in.delta = a_.delta;
    in.gamma = a_.gamma;
    in.tlx = a_.tlx;
    in.xz = a_.xz;
    in.L = job_.L;
    in.Z = a_.data.Z;
    if (job_.dims.TF >= 1) in.ZF = a_.data.ZF;
    if (!est_.covUnavailable) in.cov = cov;
    in.sigma2 = sigma2_;
    kova::betaStandardErrors(in, a_.betaSe, s);
    // Known errors or none: a part that cannot be computed empties them all.
    int gap = kBetaSeComplete;
    if (est_.covUnavailable && !piFixed_)
      gap = kPiCovarianceMissing;
    else if (pass_ == lastPass_ && (ml_ || job_.common != nullptr))
      gap = mlParameterPart(phi, in.ZF, s);
    if (gap != kBetaSeComplete) {
      for (int t = 1; t <= a_.betaSe.cols; ++t)
        std::fill_n(a_.betaSe.col(t), a_.betaSe.rows, std::numeric_limits<double>::quiet_NaN());
    }
    if (pass_ == lastPass_) betaSeGap_ = gap;
  }

  // The final pass under ML adds the uncertainty of PHI and DELTA (by
  // simulation), and so does the pass at the common model's estimates
  // (their covariance from the common fit). Where ML does not apply
  // (restriction rows on DELTA, inequality rows on PI), the pass is an
  // iterative one and its errors are those at known PHI and DELTA, as for
  // the iterative method.
  int mlParameterPart(Mat phi, Mat ZF, Scratch s) {
    if (job_.restrictions->delta.rows > 0 || hasInequalities()) return kBetaSeComplete;
    if (!mlApplied_ && job_.common == nullptr) return kMlStepFailed;
    if (mlSpreadCount_ == 0) return kSpreadMissing;
    return addParameterUncertainty(phi, ZF, s) > 0 ? kBetaSeComplete : kNoAdmissibleDraw;
  }

  int addParameterUncertainty(Mat phi, Mat ZF, Scratch s) {
    SpreadInputs spread;
    spread.data = mlData();
    spread.phi = phi;
    spread.delta = a_.delta;
    spread.L = job_.L;
    spread.Z = a_.data.Z;
    spread.ZF = ZF;
    spread.spread = a_.mlSpread;
    spread.count = mlSpreadCount_;
    spread.sigma2 = sigma2_;
    spread.draws = s.mat(mlSpreadCount_, kSpreadDraws);
    standardNormalDraws(kSpreadSeed + static_cast<std::uint64_t>(job_.groupId), spread.draws);
    const int KP = job_.dims.KP();
    if (!est_.covUnavailable && KP >= 1) {
      spread.piCov = s.mat(KP, KP);
      for (int j = 1; j <= KP; ++j) std::copy_n(a_.cov.col(j), KP, spread.piCov.col(j));
    }
    const int accepted = addParameterSpread(spread, a_.betaSe, s);
    if (accepted > 0 && spread.piCov.p != nullptr) reportPiSpread(spread.piCov, s);
    return accepted;
  }

  // PI's standard errors with the uncertainty of PHI and DELTA, beside the
  // conditional ones of the PI section: the report and rows PI_ML_SPREAD.
  void reportPiSpread(Mat piCov, Scratch s) {
    const int K = job_.dims.K, P = job_.dims.P;
    Mat se = s.mat(K, P);
    for (int j = 1; j <= P; ++j)
      for (int i = 1; i <= K; ++i) {
        const int e = (j - 1) * K + i;
        se(i, j) = std::sqrt(std::max(piCov(e, e), 0.0));
      }
    const bool reml = usesRestrictedLikelihood(o_, job_.groupId);
    printPassMatrix(context(), 1, se,
                    std::string("STANDARD ERRORS OF PI WITH THE UNCERTAINTY OF PHI AND DELTA (") +
                        (reml ? "REML)" : "ML)"));
    if (job_.tables != nullptr)
      job_.tables->addPiMlSpread(job_.groupId, pass_, a_.PIVECT, K, P, piCov);
  }

  // Pass 1 weighs the data as pass 0 did but gives them pass 1's structure.
  void specialCovariance() {
    const FileTable& f = *job_.files;
    engine_->specialCovariance(a_.xz, f[Fixed::YSFACTR0], f[Fixed::YSFACTR1], sigma2_, a_.cov,
                               a_.scratch, job_.outUnit, job_.logUnit);
    printSpecialCovarianceSection(context(), a_.cov);
  }

  void forecast() {
    const SectionContext c = context();
    Scratch s = a_.scratch;
    double* work = s.doubles(job_.dims.M);
    YFCAST(a_.data.yF, a_.data.XF, a_.data.ZF, a_.tlxf, job_.L, a_.phi, a_.epsilon, a_.PIVECT,
           a_.forecast, work);
    const GroupForecast& f = a_.forecast;
    ForecastSection fs;
    fs.epsF = f.epsF;
    fs.betaF = f.betaF;
    fs.yF = a_.data.yF;
    fs.yS = f.yS;
    fs.yP = f.yP;
    fs.TF = job_.dims.TF;
    fs.rmseS = f.rmseS;
    fs.rmseP = f.rmseP;
    fs.mapeS = f.mapeS;
    fs.mapeP = f.mapeP;
    fs.mapeComputed = f.mapeComputed;
    printForecastSection(c, fs);
  }

  void warnAboutLastPass() {
    LastPassState st;
    st.lastPass = lastPass_;
    st.sigma2First = sigma2Pass1_;
    st.sigma2Last = sigma2_;
    st.phi = a_.phi;
    st.zeroPhi = o_.zeroPhi;
    st.diagonalPhi = o_.diagonalPhi;
    st.EVLTOL = o_.EVLTOL;
    st.delta = a_.delta;
    st.leadingOnly = leadingOnly();
    st.atMlEstimates = ml_ && mlApplied_;
    st.betaSeGap = betaSeGap_;
    st.commonPhiDelta = job_.common != nullptr;
    const PassWarnings w = checkLastPass(st, a_.scratch, job_.logUnit);
    reportWarnings(w, job_.groupId, lastPass_, job_.dims.M, job_.outUnit, job_.logUnit,
                   job_.tables);
    reportPiIdentification(piId_, job_.groupId, lastPass_, job_.dims.K, job_.dims.P, names().x,
                           names().z, job_.outUnit, job_.logUnit, job_.tables);
  }

  void closeGroup() {
    PUTPHI(a_.phi, family(Family::PSAVE), job_.logUnit);
    if (o_.saveDelta) PUTDLT(a_.delta, sigma2_, family(Family::DSAVE), job_.logUnit);
    const FileTable& f = *job_.files;
    FDELET(f[Fixed::YSFACTR0], f[Fixed::YSFACTR1], f[Fixed::XDELTA], job_.logUnit);
  }

  const GroupJob& job_;
  const Options& o_;
  GroupArrays a_;
  std::unique_ptr<PassEngine> engine_;
  PiEstimate est_;
  PiIdentification piId_;
  int pass_ = 0;
  bool ml_ = false;   // METHOD = ML for this group
  std::vector<double> earlierValues_;  // PHI, DELTA of passes 1..last-1 (ML starts)
  std::vector<int> earlierPasses_;
  int mlSpreadCount_ = 0;  // columns of a_.mlSpread that the ML step filled
  bool mlApplied_ = false;   // the final pass is at the ML estimates
  bool piFixed_ = false;     // the restriction rows fix PI: it has no error
  int betaSeGap_ = 0;        // of the last pass (BetaSeGap)
  int lastPass_ = 0;  // the passes run: 0..lastPass_
  int spirow_ = 0;
  double sigma2_ = 1.0;
  double sigma2Pass1_ = 0.0;
  bool phiIsZero_ = false;
  double dlttol_ = 0.0;  // the DELTA solvers' bound, set on pass 1
};

}  // namespace

GroupNeeds groupNeeds(const GroupDims& d, const Options& o, int groupId,
                      const ScratchNeed& handOver) {
  const int T = d.NUMT, M = d.M, KP = d.KP(), R = o.piRestrictionRows;
  const bool inequalities = o.piEqualityRows < R;
  // The state-space engine forms an explicit factor only for the steps that
  // work on one: the inequality step, the dumps of group 17 and the YSIGMA
  // of print level 5.
  const bool wantsFactor = inequalities || groupId == 17 || o.printLevel >= 5;
  GroupNeeds needs;
  needs.engine = passEngineNeeds(o.denseEngine ? PassEngineKind::Dense : PassEngineKind::StateSpace,
                                 d, R, wantsFactor, o.printLevel >= 1);
  ScratchNeed& need = needs.step;
  need = needs.engine.scratch;
  for (const ScratchNeed& n :
       {INTPHIneed(M), INTDLTneed(M), CGAMMAneed(M), EIGDCPneed(M),
        LMCPHIneed(M, T, o.phiRestrictionRows, o.diagonalPhi),
        LMCDLTneed(M, T, o.deltaRestrictionRows, o.diagonalDelta), QPCPHIneed(M, T),
        QPCDLTneed(M, T)})
    need.include(n);
  if (o.denseEngine || inequalities) need.include(INEQPIneed(T, KP, R));
  // The DELTA repair: its eigenvalues before and after, the eigenvectors.
  ScratchNeed repair = ADJDNDneed(M);
  repair.doubles += 2LL * M + static_cast<long long>(M) * M;
  need.include(repair);
  need.include(checkLastPassNeed(M));
  need.include(findPiIdentificationNeed(T, KP, o.piEqualityRows));
  need.include(handOver);
  if (usesMaximumLikelihood(o, groupId)) need.include(MLSTEPneed(d, R, o.phiRestrictionRows));
  {
    ScratchNeed diagnostics{3LL * T + static_cast<long long>(M) * M, 0, 0};
    diagnostics.add(innovationDiagnosticsNeed(d));
    need.include(diagnostics);
  }
  // The variance decomposition (K x M and K x K).
  need.include(ScratchNeed{static_cast<long long>(d.K) * (M + d.K), 0, 0});
  {
    ScratchNeed se{static_cast<long long>(M) * M, 0, 0};
    ScratchNeed parts = betaStandardErrorsNeed(d);
    if (usesMaximumLikelihood(o, groupId) || o.commonModel != 'N') {
      ScratchNeed spread{static_cast<long long>(mlSpreadColumns(M)) * kSpreadDraws +
                             static_cast<long long>(KP) * KP + static_cast<long long>(d.K) * d.P,
                         0, 0};
      spread.add(addParameterSpreadNeed(d, R));
      parts.include(spread);
    }
    se.add(parts);
    need.include(se);
  }
  // The standard errors of BETA and the ML factor for them, kept apart.
  need.doubles += static_cast<long long>(d.K) * (T + d.TF) + mlSpreadSize(M);
  need.ints += R;  // the attained counters, ahead of the scratch
  return needs;
}

void ESTGRP(const GroupJob& job) { GroupRun(job).run(); }

}  // namespace kova
