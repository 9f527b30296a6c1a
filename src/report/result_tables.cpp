#include "report/result_tables.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <limits>
#include <cstring>
#include <filesystem>

#include "data/data_set_up.h"
#include "io/messages.h"
#include "io/stop.h"
#include "report/estimation_sections.h"

namespace kova {
namespace {

const char* const kTableNames[] = {"KOVA_ESTIMATES.csv", "KOVA_BETA.csv.passes",
                                   "KOVA_BETA.csv",      "KOVA_FITTED.csv",
                                   "KOVA_FORECASTS.csv", "KOVA_FORECAST_ERRORS.csv",
                                   "KOVA_WARNINGS.csv",  "KOVA_INNOVATIONS.csv"};
const char* const kHeaders[] = {
    "group,pass,matrix,row,column,value,std_error,t_ratio,variable\n",
    "",
    "group,pass,period,forecast,k,variable,beta,pooled_beta,std_error,band_quantile\n",
    "group,period,variable,y,fitted,pooled_fitted\n",
    "group,period,variable,y,forecast_yfs,forecast_predictor,pooled_forecast\n",
    "group,forecast,compared,rmse,mape\n",
    "group,pass,kind,value\n",
    "group,pass,period,innovation,variance,standardised\n"};
const char* const kTemporary = ".tmp";

// A forecast record's y counts as given above this (not given is -999999).
constexpr double kGivenY = -9990.0;

// The shortest text that reads back as the same double (at most 17
// significant digits; 0.1 is written 0.1, not 0.10000000000000001).
void appendNumber(std::string& line, double v) {
  if (std::isnan(v)) {
    line += "NaN";
  } else if (std::isinf(v)) {
    line += v > 0 ? "Inf" : "-Inf";
  } else {
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    line.append(buf, r.ptr);
  }
}

std::string number(double v) {
  std::string text;
  appendNumber(text, v);
  return text;
}

void appendInteger(std::string& line, long v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  line.append(buf, r.ptr);
}

std::string integer(long v) { return std::to_string(v); }

// A name as one CSV field: trimmed, quoted when it holds a separator.
std::string field(const std::string& name) {
  const auto first = name.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  std::string s = name.substr(first, name.find_last_not_of(' ') - first + 1);
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string quoted = "\"";
  for (char c : s) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

std::string join(std::initializer_list<std::string> fields) {
  std::string line;
  bool first = true;
  for (const std::string& f : fields) {
    if (!first) line += ',';
    line += f;
    first = false;
  }
  return line + "\n";
}

std::vector<double> copyOf(Mat a) {
  std::vector<double> v(static_cast<std::size_t>(a.rows) * a.cols);
  for (int j = 1; j <= a.cols; ++j)
    for (int i = 1; i <= a.rows; ++i) v[(j - 1) * static_cast<std::size_t>(a.rows) + i - 1] = a(i, j);
  return v;
}

}  // namespace

// BETA of one pass by period: the estimation periods, then the forecast
// periods (none when betaF has no columns).
struct ResultTables::BetaPeriods {
  Mat beta, betaF;
  Mat se;  // K x (T + TF), or K x T (estimation periods only); empty: none
  double bandQuantile = std::numeric_limits<double>::quiet_NaN();
  int periods() const { return beta.cols + betaF.cols; }
  double operator()(int k, int s) const {
    return s <= beta.cols ? beta(k, s) : betaF(k, s - beta.cols);
  }
};

// A group's last pass, kept until the pooled phase has added its columns.
struct ResultTables::GroupRows {
  int groupId = 0, K = 0, T = 0, TF = 0;
  int lastPass = 0;
  long streamedBytes = 0;              // its earlier passes in the passes table
  std::vector<double> beta, betaF;     // K x T, K x TF
  std::vector<double> betaSe;          // K x (T + TF); empty: none
  double bandQuantile = std::numeric_limits<double>::quiet_NaN();
  std::vector<double> pooledBeta, pooledBetaF;  // empty without a pooled phase
  std::vector<double> y, X;            // T, K x T
  std::vector<double> yF, yS, yP, yPooled;
  ForecastErrors yfs, predictor, pooled;
  bool fitted = false;                 // the last pass has been handed over

  Mat view(std::vector<double>& v, int cols) const {
    return Mat{v.data(), std::max(K, 1), K, v.empty() ? 0 : cols};
  }
  BetaPeriods lastBeta() {
    return BetaPeriods{view(beta, T), view(betaF, TF), view(betaSe, T + TF), bandQuantile};
  }
  BetaPeriods lastPooledBeta() {
    return BetaPeriods{view(pooledBeta, T), view(pooledBetaF, TF), Mat{}};
  }
};

ResultTables::ResultTables(std::string directory) : directory_(std::move(directory)) {}

ResultTables::~ResultTables() {
  closeAll();
  removeTemporaries();
}

std::string ResultTables::path(const std::string& name) const { return directory_ + "/" + name; }

void ResultTables::removeEarlierTables() const {
  for (int t = 0; t < kTables; ++t) {
    std::remove(path(kTableNames[t]).c_str());
    std::remove(path(std::string(kTableNames[t]) + kTemporary).c_str());
  }
}

void ResultTables::start(const VariableNames& names, int NG, int logUnit) {
  logUnit_ = logUnit;
  yName_ = field(names.y);
  xNames_.clear();
  for (const std::string& x : names.x) xNames_.push_back(field(x));
  groups_.assign(static_cast<std::size_t>(NG), GroupRows{});
  // What removeEarlierTables could not remove (a directory of a table's
  // name) would stop the run at its very end: it is said now.
  for (int t = 0; t < kTables; ++t) {
    std::error_code ec;
    if (t != kBetaPasses &&
        std::filesystem::exists(std::filesystem::symlink_status(path(kTableNames[t]), ec))) {
      active_ = true;
      fail(std::string(kTableNames[t]) + ": it exists and cannot be replaced");
    }
  }
  active_ = openAll();
  if (!active_) return;
  for (int t = 0; t < kTables; ++t) write(static_cast<TableIndex>(t), kHeaders[t]);
}

namespace {
constexpr std::size_t kTableBuffer = 256 * 1024;
}  // namespace

bool ResultTables::openAll() {
  tables_.clear();
  for (int t = 0; t < kTables; ++t) {
    Table table{std::string(kTableNames[t]) + kTemporary, nullptr, nullptr};
    // The passes table is read back by commit().
    table.file = std::fopen(path(table.name).c_str(), t == kBetaPasses ? "w+b" : "wb");
    const int err = errno;
    if (table.file != nullptr) {
      // Megabytes of short rows: a large buffer of our own (glibc ignores the
      // size of one it allocates itself) saves most of the system calls.
      table.buffer.reset(new char[kTableBuffer]);
      std::setvbuf(table.file, table.buffer.get(), _IOFBF, kTableBuffer);
    }
    tables_.push_back(table);
    if (table.file == nullptr) {
      active_ = true;
      fail(table.name + ": " + std::strerror(err));
      return false;
    }
  }
  return true;
}

void ResultTables::closeAll() {
  for (Table& t : tables_)
    if (t.file != nullptr) {
      std::fclose(t.file);
      t.file = nullptr;
    }
}

void ResultTables::removeTemporaries() {
  for (const Table& t : tables_) std::remove(path(t.name).c_str());
  tables_.clear();
}

// A table that cannot be written ends the run: a run that says it is
// complete has written every table. None is left behind.
void ResultTables::fail(const std::string& what) {
  if (!active_) return;
  active_ = false;
  closeAll();
  removeTemporaries();
  removeEarlierTables();
  writeUnitAndConsole(logUnit_, "");
  writeUnitAndConsole(
      logUnit_, " THE RESULT TABLES KOVA_*.csv CANNOT BE WRITTEN (" + what + ").  PROGRAM STOPS.");
  stopRun();
}

void ResultTables::write(TableIndex t, const std::string& line) {
  if (!active_ || line.empty()) return;
  Table& table = tables_[t];
  if (std::fwrite(line.data(), 1, line.size(), table.file) != line.size())
    fail(table.name + ": " + std::strerror(errno));
}

// A row of the estimates table; `variable` (the last column, so that
// readers by position of the older columns keep working) names the x
// variable of a row of PI and is empty elsewhere.
std::string ResultTables::estimateRow(const std::string& prefix,
                                      std::initializer_list<std::string> fields,
                                      const std::string& variable) const {
  std::string line = prefix + join(fields);
  line.insert(line.size() - 1, "," + variable);
  return line;
}

std::string ResultTables::xName(int k) const {
  return k >= 1 && k <= static_cast<int>(xNames_.size()) ? xNames_[k - 1] : "";
}

void ResultTables::writeMatrix(const std::string& prefix, const char* matrix, Mat a, Mat cov,
                               bool xRows, const bool* unidentified) {
  for (int j = 1; j <= a.cols; ++j)
    for (int i = 1; i <= a.rows; ++i) {
      const double v = a(i, j);
      const int element = (j - 1) * a.rows + i;
      std::string se, t;
      if (cov.p != nullptr && (unidentified == nullptr || !unidentified[element - 1])) {
        const double e = standardError(cov, element);
        se = std::isnan(e) ? std::string() : number(e);  // NaN: none for this element
        if (e > 0.0) t = number(v / e);
      }
      write(kEstimates, estimateRow(prefix, {matrix, integer(i), integer(j), number(v), se, t},
                                    xRows ? xName(i) : ""));
    }
}

void ResultTables::addPiMlSpread(int groupId, int pass, const double* PIVECT, int K, int P,
                                 Mat cov) {
  if (!active_) return;
  const Mat pi{const_cast<double*>(PIVECT), std::max(K, 1), K, P};
  writeMatrix(integer(groupId) + "," + integer(pass) + ",", "PI_ML_SPREAD", pi, cov);
}

void ResultTables::addPi(int groupId, int pass, const double* PIVECT, int K, int P, Mat cov,
                         double sigma2, const bool* unidentified) {
  if (!active_) return;
  // With SIGMA**2 = 0 the covariance is unknown, not zero: no standard error.
  const std::string prefix = integer(groupId) + "," + integer(pass) + ",";
  const Mat pi{const_cast<double*>(PIVECT), std::max(K, 1), K, P};
  if (sigma2 == 0.0) {
    for (int j = 1; j <= P; ++j)
      for (int i = 1; i <= K; ++i)
        write(kEstimates,
              estimateRow(prefix, {"PI", integer(i), integer(j), number(pi(i, j)), "", ""},
                          xName(i)));
    return;
  }
  writeMatrix(prefix, "PI", pi, cov, true, unidentified);
}

void ResultTables::addWarning(int groupId, int pass, const std::string& kind, double value) {
  warnings_.emplace_back(groupId, kind);
  if (!active_) return;
  write(kWarnings, join({integer(groupId), integer(pass), kind, number(value)}));
}

void ResultTables::addMaxLikelihood(int groupId, int pass, const MaxLikelihoodRows& r) {
  if (!active_) return;
  const std::string prefix = integer(groupId) + "," + integer(pass) + ",";
  double values[4] = {r.loglik, static_cast<double>(r.parameters), r.aic, r.bic};
  writeMatrix(prefix, "LOGLIK", Mat{&values[0], 1, 1, 1}, Mat{});
  writeMatrix(prefix, "ML_PARAMETERS", Mat{&values[1], 1, 1, 1}, Mat{});
  writeMatrix(prefix, "AIC", Mat{&values[2], 1, 1, 1}, Mat{});
  writeMatrix(prefix, "BIC", Mat{&values[3], 1, 1, 1}, Mat{});
  writeMatrix(prefix, "ML_PHI", r.phi, r.phiCov);
  const int M = r.delta.rows, n = M * M;
  std::vector<double> sdelta(static_cast<size_t>(n)), cov;
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) sdelta[(j - 1) * M + i - 1] = r.sigma2 * r.delta(i, j);
  Mat deltaCov{};
  if (r.sdeltaCov.p != nullptr) {
    // SE(DELTA) = SE(SIGMA**2 DELTA) / SIGMA**2.
    cov.resize(static_cast<size_t>(n) * n);
    const double s2 = r.sigma2 * r.sigma2;
    for (int j = 1; j <= n; ++j)
      for (int i = 1; i <= n; ++i) cov[(j - 1) * n + i - 1] = r.sdeltaCov(i, j) / s2;
    deltaCov = Mat{cov.data(), n, n, n};
  }
  writeMatrix(prefix, "ML_DELTA", r.delta, deltaCov);
  writeMatrix(prefix, "ML_SIGMA2_DELTA", Mat{sdelta.data(), std::max(M, 1), M, M}, r.sdeltaCov);
}

void ResultTables::addCommonModel(const CommonModelRows& r) {
  if (!active_) return;
  double values[6] = {r.loglik, r.penalty, static_cast<double>(r.parameters),
                      static_cast<double>(r.observations), r.aic, r.bic};
  const char* names[6] = {"COMMON_LOGLIK", "COMMON_PENALTY", "COMMON_PARAMETERS",
                          "COMMON_OBSERVATIONS", "COMMON_AIC", "COMMON_BIC"};
  for (int k = 0; k < 6; ++k) writeMatrix(",,", names[k], Mat{&values[k], 1, 1, 1}, Mat{});
  // Elements held fixed (or at a bound) have no standard error: empty, not 0.
  auto rows = [&](const char* name, Mat a, Mat cov) {
    for (int j = 1; j <= a.cols; ++j)
      for (int i = 1; i <= a.rows; ++i) {
        const int k = (j - 1) * a.rows + i;
        std::string se, t;
        if (cov.p != nullptr && cov(k, k) > 0.0) {
          const double e = std::sqrt(cov(k, k));
          se = number(e);
          t = number(a(i, j) / e);
        }
        write(kEstimates,
              estimateRow(",,", {name, integer(i), integer(j), number(a(i, j)), se, t}));
      }
  };
  rows("COMMON_PHI", r.phi, r.phiCov);
  rows("COMMON_DELTA", r.delta, r.deltaCov);
  for (size_t j = 0; j < r.phiInterval.size(); ++j) {
    if (!r.phiInterval[j]) continue;
    const std::string at = integer(static_cast<int>(j) + 1);
    write(kEstimates,
          estimateRow(",,", {"COMMON_PHI_LOWER", at, at, number(r.phiLower[j]), "", ""}));
    write(kEstimates,
          estimateRow(",,", {"COMMON_PHI_UPPER", at, at, number(r.phiUpper[j]), "", ""}));
  }
}

void ResultTables::addCommonWarning(const std::string& kind, double value) {
  warnings_.emplace_back(0, kind);  // group 0: the panel's
  if (!active_) return;
  write(kWarnings, join({"", "", kind, number(value)}));
}

void ResultTables::addInnovations(int groupId, int pass, int T, const double* v,
                                  const double* variance, const double* standardised) {
  if (!active_) return;
  for (int t = 0; t < T; ++t)
    write(kInnovations,
          join({integer(groupId), integer(pass), integer(t + 1), number(v[t]), number(variance[t]),
                std::isnan(standardised[t]) ? std::string() : number(standardised[t])}));
}

void ResultTables::addInnovationStatistics(int groupId, int pass, int lagCount, const int* lags,
                                           const double* q, const double* qP, double jb,
                                           double jbP) {
  if (!active_) return;
  const std::string g = integer(groupId), p = integer(pass);
  for (int l = 0; l < lagCount; ++l) {
    write(kEstimates,
          estimateRow("", {g, p, "LJUNG_BOX", integer(lags[l]), "1", number(q[l]), "", ""}));
    write(kEstimates,
          estimateRow("", {g, p, "LJUNG_BOX_P", integer(lags[l]), "1", number(qP[l]), "", ""}));
  }
  // Not computed (NaN): written empty, never as a number.
  const auto computed = [](double v) { return std::isnan(v) ? std::string() : number(v); };
  write(kEstimates, estimateRow("", {g, p, "JARQUE_BERA", "1", "1", computed(jb), "", ""}));
  write(kEstimates, estimateRow("", {g, p, "JARQUE_BERA_P", "1", "1", computed(jbP), "", ""}));
}

void ResultTables::addPassMatrices(int groupId, int pass, Mat phi, Mat delta, double sigma2,
                                   Mat gamma) {
  if (!active_) return;
  const std::string prefix = integer(groupId) + "," + integer(pass) + ",";
  writeMatrix(prefix, "SIGMA2", Mat{&sigma2, 1, 1, 1}, Mat{});
  writeMatrix(prefix, "PHI", phi, Mat{});
  writeMatrix(prefix, "DELTA", delta, Mat{});
  writeMatrix(prefix, "GAMMA", gamma, Mat{});
}

void ResultTables::addBeta(int g, int groupId, int pass, bool lastPass, Mat beta, Mat betaF,
                           Mat se, double bandQuantile) {
  if (!active_) return;
  GroupRows& rows = groups_[g - 1];
  rows.groupId = groupId;
  rows.K = beta.rows;
  rows.T = beta.cols;
  rows.TF = betaF.p != nullptr ? betaF.cols : 0;
  if (rows.TF == 0) betaF = Mat{};
  if (lastPass) {
    rows.lastPass = pass;
    rows.beta = copyOf(beta);
    rows.betaSe = se.p != nullptr ? copyOf(se) : std::vector<double>{};
    rows.betaF = copyOf(betaF);
    rows.bandQuantile = bandQuantile;
    return;
  }
  const long before = std::ftell(tables_[kBetaPasses].file);
  writeBetaRows(kBetaPasses, groupId, pass, BetaPeriods{beta, betaF, se, bandQuantile}, nullptr);
  if (active_) rows.streamedBytes += std::ftell(tables_[kBetaPasses].file) - before;
}

void ResultTables::writeBetaRows(TableIndex t, int groupId, int pass, const BetaPeriods& beta,
                                 const BetaPeriods* pooled) {
  const std::string prefix = integer(groupId) + "," + integer(pass) + ",";
  const int T = beta.beta.cols, K = beta.beta.rows;
  // One line buffer for all the rows (thousands per group).
  std::string line;
  for (int s = 1; s <= beta.periods(); ++s)
    for (int k = 1; k <= K; ++k) {
      // The pooled forecast BETA exists when the pooled forecast was made.
      const bool withPooled = pooled != nullptr && s <= pooled->periods();
      line = prefix;
      appendInteger(line, s);
      line += s > T ? ",1," : ",0,";
      appendInteger(line, k);
      line += ',';
      if (k <= static_cast<int>(xNames_.size())) line += xNames_[k - 1];
      line += ',';
      appendNumber(line, beta(k, s));
      line += ',';
      if (withPooled) appendNumber(line, (*pooled)(k, s));
      line += ',';
      // An unknown standard error is an empty cell.
      if (beta.se.p != nullptr && s <= beta.se.cols && !std::isnan(beta.se(k, s)))
        appendNumber(line, beta.se(k, s));
      line += ',';
      if (!std::isnan(beta.bandQuantile)) appendNumber(line, beta.bandQuantile);
      line += '\n';
      write(t, line);
    }
}

void ResultTables::addLastPassFit(int g, const LastPassFit& fit) {
  if (!active_) return;
  GroupRows& rows = groups_[g - 1];
  rows.y.assign(fit.y, fit.y + rows.T);
  rows.X = copyOf(fit.X);
  if (rows.TF > 0) {
    rows.yF.assign(fit.yF, fit.yF + rows.TF);
    rows.yS.assign(fit.yS, fit.yS + rows.TF);
    rows.yP.assign(fit.yP, fit.yP + rows.TF);
  }
  rows.yfs = fit.yfsErrors;
  rows.predictor = fit.predictorErrors;
  rows.fitted = true;
}

void ResultTables::addPooledPi(const double* pibar, int K, int P, Mat cov) {
  if (!active_) return;
  writeMatrix(",,", "POOLED_PI", Mat{const_cast<double*>(pibar), std::max(K, 1), K, P}, cov, true);
}

void ResultTables::addMuCovariance(Mat muCov) {
  if (!active_) return;
  writeMatrix(",,", "MU_COVARIANCE", muCov, Mat{});
}

void ResultTables::addPooledBeta(int g, Mat beta) {
  if (!active_) return;
  GroupRows& rows = groups_[g - 1];
  rows.pooledBeta = copyOf(beta);
}

void ResultTables::addPooledForecast(int g, Mat betaF, const double* yHat,
                                     const ForecastErrors& errors) {
  if (!active_) return;
  GroupRows& rows = groups_[g - 1];
  rows.pooledBetaF = copyOf(betaF);
  rows.yPooled.assign(yHat, yHat + rows.TF);
  rows.pooled = errors;
}

// Copies a group's earlier passes from the passes table, where they are
// stored in group order.
bool ResultTables::copyStreamedBetaRows(std::FILE* from, long bytes) {
  char buf[1 << 16];
  while (bytes > 0) {
    const std::size_t want = static_cast<std::size_t>(std::min<long>(bytes, sizeof buf));
    if (std::fread(buf, 1, want, from) != want) return false;
    write(kBeta, std::string(buf, want));
    bytes -= static_cast<long>(want);
  }
  return true;
}

void ResultTables::writeLastPassTables() {
  std::FILE* passes = tables_[kBetaPasses].file;
  if (std::fflush(passes) != 0 || std::fseek(passes, 0, SEEK_SET) != 0)
    return fail(tables_[kBetaPasses].name + ": " + std::strerror(errno));
  for (GroupRows& rows : groups_) {
    if (!copyStreamedBetaRows(passes, rows.streamedBytes))
      return fail(tables_[kBetaPasses].name + ": cannot be read back");
    const BetaPeriods pooled = rows.lastPooledBeta();
    writeBetaRows(kBeta, rows.groupId, rows.lastPass, rows.lastBeta(),
                  rows.pooledBeta.empty() ? nullptr : &pooled);
  }

  auto fitOf = [](const std::vector<double>& X, const std::vector<double>& beta, int K, int t) {
    double sum = 0.0;
    for (int k = 0; k < K; ++k) sum += X[(t - 1) * K + k] * beta[(t - 1) * K + k];
    return sum;
  };
  for (const GroupRows& rows : groups_) {
    if (!rows.fitted) continue;
    const std::string id = integer(rows.groupId);
    const bool pooled = !rows.pooledBeta.empty();
    for (int t = 1; t <= rows.T; ++t)
      write(kFitted, join({id, integer(t), yName_, number(rows.y[t - 1]),
                           number(fitOf(rows.X, rows.beta, rows.K, t)),
                           pooled ? number(fitOf(rows.X, rows.pooledBeta, rows.K, t)) : ""}));
    const bool pooledForecast = !rows.yPooled.empty();
    for (int j = 1; j <= rows.TF; ++j) {
      const double y = rows.yF[j - 1];
      write(kForecasts,
            join({id, integer(rows.T + j), yName_, y > kGivenY ? number(y) : "",
                  number(rows.yS[j - 1]), number(rows.yP[j - 1]),
                  pooledForecast ? number(rows.yPooled[j - 1]) : ""}));
    }
    if (rows.TF < 1) continue;
    auto errors = [&](const char* name, const ForecastErrors& e) {
      write(kErrors, join({id, name, integer(e.compared), number(e.rmse),
                           e.mapeComputed ? number(e.mape) : ""}));
    };
    errors("yfs", rows.yfs);
    errors("predictor", rows.predictor);
    if (pooledForecast) errors("pooled", rows.pooled);
  }
}

void ResultTables::commit() {
  if (!active_) return;
  writeLastPassTables();
  if (!active_) return;
  for (Table& t : tables_) {
    const int closed = std::fclose(t.file);
    t.file = nullptr;
    if (closed != 0) return fail(t.name + ": " + std::strerror(errno));
  }
  std::remove(path(tables_[kBetaPasses].name).c_str());
  for (int t = 0; t < kTables; ++t) {
    if (t == kBetaPasses) continue;
    if (std::rename(path(tables_[t].name).c_str(), path(kTableNames[t]).c_str()) != 0) {
      const int err = errno;
      removeEarlierTables();
      return fail(tables_[t].name + ": " + std::strerror(err));
    }
  }
  tables_.clear();
  active_ = false;
}

}  // namespace kova
