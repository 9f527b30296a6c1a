#pragma once
// The seam between a pass and the covariance YSIGMA of the y-values. The
// steps of a pass ask the engine for what they need of YSIGMA (the
// covariance structure, PI by generalized least squares with its covariance
// and ranks, the EPSILON matrix, the special covariance of pass 1, the
// eigenvalues, an explicit factor for the steps that want one) and never
// touch a factor themselves. Two engines answer:
//   - the dense engine: YSIGMA, its factor UYSGMA and the residual operator
//     as NUMT x NUMT matrices (CSIGYE, ECPIMU, ORCVAR, CEPS, SCOVAR as they
//     stand); O(NUMT^3) time and O(NUMT^2) memory;
//   - the state-space engine: YSIGMA is the covariance of the observations
//     x~(t)'EPSILON(t) of the model's state, so the Kalman filter, its
//     adjoint and the fast state smoother give the same results in
//     O(NUMT M^3) time and O(NUMT (M + K*P)) memory.
// Each engine writes the same scratch files in the same order (ESIGMA and
// YSIGFCTR in the structure step, YSFACTR0/1, EPSMATRX), with its own
// records in YSIGFCTR and YSFACTR0/1.
#include <memory>

#include "data/group_dims.h"
#include "engine/covariance_structure.h"
#include "engine/pi_estimate.h"
#include "io/file_services.h"
#include "linalg/scratch.h"
#include "linalg/views.h"
#include "solvers/phi_eigen.h"

namespace kova {

enum class PassEngineKind { StateSpace, Dense };

// The name the parameter echo and the log give the engine.
const char* passEngineName(PassEngineKind kind);

// What the covariance structure of a pass is built from.
struct PassModel {
  PhiForm form;
  Mat tlx;  // M x NUMT
  Mat phi;
  const PhiEigen* eig = nullptr;
  Mat ugamma, udelta;  // GAMMA = UGAMMA'UGAMMA, DELTA = UDELTA'UDELTA
};

// The arrays an engine keeps across the passes of a group, from the plan.
struct EngineArrays {
  Mat ysigma, uysgma, RO;   // NUMT x NUMT when planned, else empty
  double* store = nullptr;  // the state-space engine's records
  long long storeLength = 0;
};

class PassEngine {
 public:
  virtual ~PassEngine() = default;

  // CSIGYE: the structure of YSIGMA for this pass and the SIGMA-EPS blocks
  // (M x M x NUMT); writes ESIGMA, then YSIGFCTR (the dense factor, or the
  // state-space model and its filter: what the pooled phase reads).
  virtual void structure(const PassModel& model, double* blocks, const YsigmaFiles& files,
                         Scratch s, int logUnit) = 0;
  // YSIGMA as a matrix, for the report (planned only at print level 5).
  virtual Mat ysigma(Scratch s) = 0;
  // An explicit factor UYSGMA (UYSGMA'UYSGMA = YSIGMA), for the steps that
  // work on one (the inequality step, the MU-vector sums, the dumps).
  virtual Mat factor(Scratch s) = 0;
  // The eigenvalues of YSIGMA, ascending (NUMT values); false when they
  // could not be computed (the report says so instead of printing them).
  virtual bool eigenvalues(double* values, Scratch s) = 0;
  // SAVYSG: what the special covariance of pass 1 needs of this pass.
  virtual void saveStructure(const NamedUnit& file, int logUnit) = 0;
  // ECPIMU.
  virtual void estimatePi(int pass, int groupId, const double* y, Mat XZ,
                          const PiRestrictionView& rest, PiEstimate& est, Scratch s, int outUnit,
                          int logUnit) = 0;
  // ORCVAR, after ECPIMU of the same pass.
  virtual void piCovariance(Mat XZ, double sigma2, const PiRestrictionView& rest, PiEstimate& est,
                            OrcvarRanks& ranks, Scratch s, int outUnit, int logUnit, int K,
                            int P) = 0;
  // CEPS: EPSILON from the residual of ECPIMU; writes EPSMATRX.
  virtual void epsilon(const double* blocks, const double* MU, Mat eps, const NamedUnit& epsmatrx,
                       Scratch s, int logUnit) = 0;
  // x (design.cols): the generalized least-squares coefficients of rhs on
  // design (NUMT rows) under YSIGMA, minimum-norm when design is rank
  // deficient (the MU-vector of the pooled sums). Messages go to unit.
  virtual void regress(Mat design, const double* rhs, double* x, Scratch s, int unit) = 0;
  // SCOVAR, on pass 1.
  virtual void specialCovariance(Mat XZ, const NamedUnit& ysfactr0, const NamedUnit& ysfactr1,
                                 double sigma2, Mat cov, Scratch s, int outUnit, int logUnit) = 0;
};

std::unique_ptr<PassEngine> makePassEngine(PassEngineKind kind, const GroupDims& dims,
                                           const EngineArrays& arrays);

// The scratch of PassEngine::regress for n columns.
ScratchNeed passEngineRegressNeed(PassEngineKind kind, int NUMT, int M, int n);

// What the plan holds for an engine: the NUMT x NUMT arrays (the dense
// engine always; the state-space engine only when a step wants an explicit
// factor or the report prints YSIGMA), the state-space records, and the
// largest scratch need of the engine's steps.
struct EngineNeeds {
  bool squareArrays = true;  // YSIGMA, UYSGMA and the residual operator
  bool factor = true;        // UYSGMA alone (and YSIGMA for the report)
  long long store = 0;
  ScratchNeed scratch;
};
EngineNeeds passEngineNeeds(PassEngineKind kind, const GroupDims& dims, int piRows,
                            bool wantsFactor, bool eigenvalues);

}  // namespace kova
