#pragma once
// The result tables: CSV files beside the report that hold every estimate
// at full precision, one value per row, for R, pandas or a spreadsheet.
//
//   KOVA_ESTIMATES.csv        PI (with standard errors and t-ratios),
//                             SIGMA2, PHI, DELTA and GAMMA of every pass;
//                             the pooled PI and the MU covariance
//   KOVA_BETA.csv             BETA(t) of every pass, forecast periods
//                             included; the pooled BETA beside the last pass
//   KOVA_FITTED.csv           y and x'BETA of the last pass
//   KOVA_FORECASTS.csv        the group and pooled forecasts
//   KOVA_FORECAST_ERRORS.csv  their RMSE and MAPE
//   KOVA_INNOVATIONS.csv      the one-step-ahead prediction errors of each
//                             group's last pass, their variances and the
//                             standardised values
//   KOVA_WARNINGS.csv         what the check after each group's last pass
//                             found (estimation/pass_warnings.h); only the
//                             header when nothing
//
// Everything goes to temporary names (".tmp") and is renamed by commit()
// at the end of a complete run; a run that stops unwinds through the
// destructor, which removes them, so a half table never looks complete.
// Rows of passes before a group's last stream to disk as they come; the
// last pass waits in memory for the pooled phase, which adds its columns.
// The tables stand beside the report: nothing about them goes to the
// log unless they cannot be written, and then the run stops (a run that
// says it is complete has written them all) and leaves none.
#include <cstdio>
#include <initializer_list>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "linalg/views.h"

namespace kova {

struct VariableNames;

// The error measures of one forecast over the records whose y is given.
struct ForecastErrors {
  int compared = 0;
  double rmse = 0.0, mape = 0.0;
  bool mapeComputed = false;
};

// What the group driver hands over from its last pass.
struct LastPassFit {
  const double* y = nullptr;   // T
  Mat X;                       // K x T
  const double* yF = nullptr;  // TF, -999999.0 where not given
  const double* yS = nullptr;  // TF: x'PI z
  const double* yP = nullptr;  // TF: the predictor
  ForecastErrors yfsErrors, predictorErrors;
};

// What the maximum-likelihood step adds to the estimates table.
struct MaxLikelihoodRows {
  double loglik = 0.0;
  int parameters = 0;
  double aic = 0.0, bic = 0.0;
  Mat phi, phiCov;        // phiCov of PHI's elements; empty: no standard errors
  Mat delta;
  double sigma2 = 0.0;
  Mat sdeltaCov;          // of SIGMA**2 DELTA's elements; empty: none
};

// The common model's rows (group and pass empty).
struct CommonModelRows {
  double loglik = 0.0, penalty = 0.0;
  int parameters = 0, observations = 0;
  double aic = 0.0, bic = 0.0;
  Mat phi, delta;
  Mat phiCov, deltaCov;  // of the elements, column by column; empty: no standard errors
  // The intervals of PHI's diagonal, per component (COMMON_PHI_LOWER and
  // COMMON_PHI_UPPER rows where phiInterval is 1).
  std::vector<int> phiInterval;
  std::vector<double> phiLower, phiUpper;
};

class ResultTables {
 public:
  explicit ResultTables(std::string directory = ".");
  ~ResultTables();
  ResultTables(const ResultTables&) = delete;
  ResultTables& operator=(const ResultTables&) = delete;

  // Removes the tables of an earlier run (complete or not) from the directory.
  void removeEarlierTables() const;
  // Opens the temporary files. A table name that is taken by something
  // removeEarlierTables could not remove (a directory), or a temporary file
  // that cannot be created, stops the run with a message to the console and
  // the log naming it.
  void start(const VariableNames& names, int NG, int logUnit);
  bool active() const { return active_; }

  // A group's pass; g is the group's position 1..NG.
  // With sigma2 = 0 the standard errors and t-ratios are left empty; so
  // they are for the elements flagged in `unidentified` (K*P, when given),
  // which the data do not determine.
  void addPi(int groupId, int pass, const double* PIVECT, int K, int P, Mat cov, double sigma2,
             const bool* unidentified = nullptr);
  // PI under ML with its covariance including the uncertainty of PHI and
  // DELTA: rows PI_ML_SPREAD beside the rows PI of the same pass.
  void addPiMlSpread(int groupId, int pass, const double* PIVECT, int K, int P, Mat cov);
  void addPassMatrices(int groupId, int pass, Mat phi, Mat delta, double sigma2, Mat gamma);
  // beta K x T; betaF K x TF (TF may be 0); se K x T, the standard errors
  // of BETA(t) (empty: none); bandQuantile the multiple of se of the 95%
  // band (NaN: not known, an empty cell).
  void addBeta(int g, int groupId, int pass, bool lastPass, Mat beta, Mat betaF, Mat se = Mat{},
               double bandQuantile = std::numeric_limits<double>::quiet_NaN());
  void addLastPassFit(int g, const LastPassFit& fit);
  void addWarning(int groupId, int pass, const std::string& kind, double value);
  // Every warning added, as (group, kind), whether or not the tables are
  // written: the run's closing summary counts them.
  const std::vector<std::pair<int, std::string>>& warningsAdded() const { return warnings_; }
  // LOGLIK, ML_PARAMETERS, AIC, BIC, ML_PHI, ML_DELTA (standard errors with
  // SIGMA**2 held fixed) and ML_SIGMA2_DELTA, under the final pass.
  void addMaxLikelihood(int groupId, int pass, const MaxLikelihoodRows& rows);
  // COMMON_LOGLIK, COMMON_PENALTY, COMMON_PARAMETERS, COMMON_OBSERVATIONS,
  // COMMON_AIC, COMMON_BIC, COMMON_PHI and COMMON_DELTA (with standard
  // errors where known), group and pass empty; a warning of the common
  // model, group and pass empty.
  void addCommonModel(const CommonModelRows& rows);
  void addCommonWarning(const std::string& kind, double value);
  // The last pass's innovations (T each; standardised NaN: left empty) and
  // their statistics: LJUNG_BOX and LJUNG_BOX_P (row = the lag),
  // JARQUE_BERA and JARQUE_BERA_P in the estimates table.
  void addInnovations(int groupId, int pass, int T, const double* v, const double* variance,
                      const double* standardised);
  void addInnovationStatistics(int groupId, int pass, int lagCount, const int* lags,
                               const double* q, const double* qP, double jb, double jbP);

  // The pooled phase.
  void addPooledPi(const double* pibar, int K, int P, Mat cov);
  void addMuCovariance(Mat muCov);
  void addPooledBeta(int g, Mat beta);
  void addPooledForecast(int g, Mat betaF, const double* yHat, const ForecastErrors& errors);

  // Writes what waited for the pooled phase and renames every table.
  void commit();

 private:
  struct GroupRows;
  struct BetaPeriods;
  struct Table {
    std::string name;
    std::FILE* file = nullptr;
    std::shared_ptr<char[]> buffer;  // stdio's buffer, freed after fclose
  };
  enum TableIndex {
    kEstimates, kBetaPasses, kBeta, kFitted, kForecasts, kErrors, kWarnings, kInnovations,
    kTables
  };

  std::string path(const std::string& name) const;
  bool openAll();
  void closeAll();
  void removeTemporaries();
  void fail(const std::string& what);
  void write(TableIndex t, const std::string& line);
  // xRows: the rows are those of x (PI); unidentified: elements left
  // without standard error and t-ratio.
  void writeMatrix(const std::string& prefix, const char* matrix, Mat a, Mat cov,
                   bool xRows = false, const bool* unidentified = nullptr);
  std::string estimateRow(const std::string& prefix, std::initializer_list<std::string> fields,
                          const std::string& variable = "") const;
  std::string xName(int k) const;
  void writeBetaRows(TableIndex t, int groupId, int pass, const BetaPeriods& beta,
                     const BetaPeriods* pooled);
  void writeLastPassTables();
  bool copyStreamedBetaRows(std::FILE* from, long bytes);

  std::string directory_;
  std::vector<Table> tables_;
  std::vector<GroupRows> groups_;
  std::string yName_;
  std::vector<std::string> xNames_;
  int logUnit_ = 0;
  bool active_ = false;
  std::vector<std::pair<int, std::string>> warnings_;
};

}  // namespace kova
