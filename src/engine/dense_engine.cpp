// The dense engine: YSIGMA, its factor UYSGMA and the residual operator as
// NUMT x NUMT matrices, through the steps as they have always computed.
#include <algorithm>

#include "engine/epsilon_beta.h"
#include "engine/pass1_covariance.h"
#include "engine/pass_engines.h"
#include "engine/ysigma_eigenvalues.h"
#include "linalg/least_squares.h"
#include "report/saved_results.h"

namespace kova {

void DenseEngine::structure(const PassModel& model, double* blocks, const YsigmaFiles& files,
                            Scratch s, int logUnit) {
  tlx_ = model.tlx;
  CSIGYE(model.form, model.tlx, model.phi, *model.eig, model.ugamma, model.udelta, a_.ysigma,
         a_.uysgma, blocks, files, s, logUnit);
}

Mat DenseEngine::ysigma(Scratch) { return a_.ysigma; }

Mat DenseEngine::factor(Scratch) { return a_.uysgma; }

bool DenseEngine::eigenvalues(double* values, Scratch s) {
  return ysigmaEigenvalues(a_.uysgma, values, s);
}

// The residual operator is free until ECPIMU fills it.
void DenseEngine::saveStructure(const NamedUnit& file, int logUnit) {
  SAVYSG(a_.uysgma, a_.RO, file, true, logUnit);
}

void DenseEngine::estimatePi(int pass, int groupId, const double* y, Mat XZ,
                             const PiRestrictionView& rest, PiEstimate& est, Scratch s, int outUnit,
                             int logUnit) {
  est.RO = a_.RO;
  ECPIMU(pass, groupId, y, XZ, rest, a_.uysgma, est, s, outUnit, logUnit);
}

void DenseEngine::piCovariance(Mat XZ, double sigma2, const PiRestrictionView& rest,
                               PiEstimate& est, OrcvarRanks& ranks, Scratch s, int outUnit,
                               int logUnit, int K, int P) {
  ORCVAR(XZ, sigma2, a_.uysgma, rest, est, ranks, s, outUnit, logUnit, K, P);
}

void DenseEngine::epsilon(const double* blocks, const double* MU, Mat eps,
                          const NamedUnit& epsmatrx, Scratch s, int logUnit) {
  CEPS(tlx_, blocks, a_.uysgma, a_.RO, MU, eps, epsmatrx, s, logUnit);
}

void DenseEngine::specialCovariance(Mat XZ, const NamedUnit& ysfactr0, const NamedUnit& ysfactr1,
                                    double sigma2, Mat cov, Scratch s, int outUnit, int logUnit) {
  SCOVAR(XZ, ysfactr0, ysfactr1, sigma2, cov, s, outUnit, logUnit);
}

namespace {

struct RegressWork {
  Mat factor;
  double* sigma2;
  GlsWork gls;
};

RegressWork carveRegress(Scratch& s, int NUMT, int n) {
  RegressWork w;
  w.factor = s.mat(NUMT, NUMT);
  w.sigma2 = s.doubles(1);
  w.gls = carveGlsWork(s, NUMT, n, 1);
  return w;
}

}  // namespace

// The generalized least-squares core with the factor: YSIGMA = UYSGMA'UYSGMA,
// so UYSGMA' is a factor F with F F' = YSIGMA.
void DenseEngine::regress(Mat design, const double* rhs, double* x, Scratch s, int unit) {
  const int NUMT = design.rows, n = design.cols;
  RegressWork w = carveRegress(s, NUMT, n);
  for (int j = 1; j <= NUMT; ++j)
    for (int i = 1; i <= NUMT; ++i) w.factor(i, j) = a_.uysgma(j, i);
  GlsProblem problem;
  problem.a = design.p;
  problem.lda = design.ld;
  problem.f = w.factor.p;
  problem.ldf = w.factor.ld;
  problem.b = rhs;
  problem.ldb = std::max(NUMT, 1);
  problem.n = NUMT;
  problem.p = n;
  problem.nb = 1;
  GlsResults results;
  results.x = x;
  results.ldx = std::max(n, 1);
  results.sigma2 = w.sigma2;
  for (int j = 0; j < n; ++j) x[j] = 0.0;
  solveGls(problem, results, w.gls, unit);
}

ScratchNeed DenseEngine::regressNeed(int NUMT, int n) {
  Scratch s;
  carveRegress(s, NUMT, n);
  return s.used();
}

ScratchNeed DenseEngine::need(const GroupDims& d, int piRows) {
  const int T = d.NUMT, M = d.M, KP = d.KP();
  ScratchNeed need;
  for (const ScratchNeed& n :
       {CSIGYEneed(M, T), ECPIMUneed(T, KP, piRows), ORCVARneed(T, KP, piRows), SCOVARneed(T, KP),
        CEPSneed(M, T), ysigmaEigenvaluesNeed(T)})
    need.include(n);
  return need;
}

}  // namespace kova
