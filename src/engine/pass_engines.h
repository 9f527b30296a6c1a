#pragma once
// The two engines of a pass behind the seam of pass_engine.h.
#include "engine/pass_engine.h"
#include "linalg/state_space.h"

namespace kova {

class DenseEngine : public PassEngine {
 public:
  explicit DenseEngine(const EngineArrays& a) : a_(a) {}
  void structure(const PassModel& model, double* blocks, const YsigmaFiles& files, Scratch s,
                 int logUnit) override;
  void regress(Mat design, const double* rhs, double* x, Scratch s, int unit) override;
  Mat ysigma(Scratch s) override;
  Mat factor(Scratch s) override;
  bool eigenvalues(double* values, Scratch s) override;
  void saveStructure(const NamedUnit& file, int logUnit) override;
  void estimatePi(int pass, int groupId, const double* y, Mat XZ, const PiRestrictionView& rest,
                  PiEstimate& est, Scratch s, int outUnit, int logUnit) override;
  void piCovariance(Mat XZ, double sigma2, const PiRestrictionView& rest, PiEstimate& est,
                    OrcvarRanks& ranks, Scratch s, int outUnit, int logUnit, int K, int P) override;
  void epsilon(const double* blocks, const double* MU, Mat eps, const NamedUnit& epsmatrx,
               Scratch s, int logUnit) override;
  void specialCovariance(Mat XZ, const NamedUnit& ysfactr0, const NamedUnit& ysfactr1,
                         double sigma2, Mat cov, Scratch s, int outUnit, int logUnit) override;

  static ScratchNeed need(const GroupDims& d, int piRows);
  static ScratchNeed regressNeed(int NUMT, int n);

 private:
  EngineArrays a_;
  Mat tlx_;
};

// The records the state-space engine keeps across the steps of a pass,
// carved from EngineArrays::store.
struct StateSpaceRecords {
  double* f = nullptr;         // NUMT innovation variances (0: exact observation)
  Mat gain;                    // M x NUMT
  Mat phi, q, p1;              // the model of the pass, M x M each
  Mat innov;                   // NUMT x (K*P + 1): innovations of [XZ y]
  double* residual = nullptr;  // NUMT: innovations of y - XZ PIVECT
  Mat rw;                      // (K*P + 1) x K*P: the compressed whitened design
  static StateSpaceRecords carve(Scratch& s, const GroupDims& d);
};

class StateSpaceEngine : public PassEngine {
 public:
  StateSpaceEngine(const GroupDims& d, const EngineArrays& a);
  void structure(const PassModel& model, double* blocks, const YsigmaFiles& files, Scratch s,
                 int logUnit) override;
  void regress(Mat design, const double* rhs, double* x, Scratch s, int unit) override;
  Mat ysigma(Scratch s) override;
  Mat factor(Scratch s) override;
  bool eigenvalues(double* values, Scratch s) override;
  void saveStructure(const NamedUnit& file, int logUnit) override;
  void estimatePi(int pass, int groupId, const double* y, Mat XZ, const PiRestrictionView& rest,
                  PiEstimate& est, Scratch s, int outUnit, int logUnit) override;
  void piCovariance(Mat XZ, double sigma2, const PiRestrictionView& rest, PiEstimate& est,
                    OrcvarRanks& ranks, Scratch s, int outUnit, int logUnit, int K, int P) override;
  void epsilon(const double* blocks, const double* MU, Mat eps, const NamedUnit& epsmatrx,
               Scratch s, int logUnit) override;
  void specialCovariance(Mat XZ, const NamedUnit& ysfactr0, const NamedUnit& ysfactr1,
                         double sigma2, Mat cov, Scratch s, int outUnit, int logUnit) override;

  // eigenvalues: the report prints the eigenvalues of YSIGMA.
  static ScratchNeed need(const GroupDims& d, int piRows, bool eigenvalues);
  static ScratchNeed regressNeed(int NUMT, int M, int n);
  static long long storeLength(const GroupDims& d);
  // The length of the record written to YSFACTR0/1: PHI, Q, P1, f, the gains.
  static long long recordLength(int NUMT, int M);

 private:
  // The model of the pass as the kernels see it.
  StateSpaceModel model() const { return StateSpaceModel{r_.phi, r_.q, r_.p1, tlx_}; }
  FilterGains gains() const { return FilterGains{r_.f, r_.gain}; }
  GroupDims d_;
  EngineArrays a_;
  StateSpaceRecords r_;
  Mat tlx_;
  // PI-type least squares on innovations v (NUMT x (n + 1), the right-hand
  // side last) under the restriction rows: x, SIGMA**2 and, when cov.p is
  // set, the covariance; leaves the compressed whitened design in r_.rw.
  struct Solved {
    double sigma2 = 0.0;
    bool covFormed = false;
  };
  Solved solveWhitened(Mat v, const PiRestrictionView& rest, double* x, Mat cov, Scratch s,
                       int logUnit);
  Solved refinePi(const double* y, Mat XZ, const PiRestrictionView& rest, Mat v, PiEstimate& est,
                  Scratch s, int logUnit);
  bool wide_ = false;   // the filter in extended precision (a singular DELTA)
  int noisy_ = 0;       // observations with a non-zero innovation variance
  int compressed_ = 0;  // rows of rw in use
};

}  // namespace kova
