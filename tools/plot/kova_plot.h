#pragma once
// kova_plot: pictures of the result tables that kova writes at the end of a
// run (KOVA_BETA.csv, KOVA_FITTED.csv, KOVA_FORECASTS.csv, and where present
// KOVA_FORECAST_ERRORS.csv and kova_prepare's GROUPS.csv). For each group an
// SVG with a panel of BETA_k(t) per k and a panel of y, the fitted values and
// the forecasts; an index.html shows them all. Where the run wrote
// KOVA_INNOVATIONS.csv, the y panel shows the one-step-ahead prediction with
// its 95% band instead of the fitted values (which equal y in this model),
// and a panel of the standardised innovations follows.
//
// A value that is empty, NaN or infinite is no point of its series: the line
// breaks there (the next point starts a new subpath), so the path of a series
// has one point per period with a finite value, and a series with none has
// no path.
//
// Every table is read and checked before anything is written. Faults of the
// input throw BadInput naming the file, the line and the column (exit status
// 2); a file that cannot be written throws WriteFailure (exit status 1).
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "csv/csv_table.h"

namespace kova::plot {

using csv::BadInput;

struct WriteFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A series of one table column: period -> value (NaN where not given).
using Series = std::map<int, double>;

struct BetaSeries {
  int k = 0;
  std::string variable;  // name of x_k
  Series beta, pooled;
  Series lower, upper;  // BETA -+ 1.96 std_error, where the table gives it
};

struct ForecastError {
  std::string forecast;  // yfs, predictor or pooled
  int compared = 0;      // forecast records with a y to compare
  double rmse = 0;
};

// A row of KOVA_WARNINGS.csv: a finding of kova's checks after a group's
// last pass.
struct WarningRow {
  std::string kind, pass, value;
};

// Records missing between two periods, found from the times of PERIODS.csv.
struct GapMark {
  int afterPeriod = 0;   // between this period and the next one drawn
  std::string from, to;  // the times of the two
  std::string missing;   // the times left out, as text
};

struct GroupResults {
  int id = 0;
  std::string name;  // from GROUPS.csv; empty when not known
  int lastPass = -1;
  int firstPeriod = 0, lastPeriod = 0;  // of all records drawn
  int firstForecast = 0;                // 0: no forecast records
  std::vector<BetaSeries> betas;        // by k
  std::string yName;
  Series y, fitted, pooledFitted;               // estimation periods
  Series forecastY, yfs, predictor, pooledForecast;  // forecast periods
  // From KOVA_INNOVATIONS.csv, when the run wrote it: the one-step-ahead
  // prediction y - v with its 95% band y - v -+ 1.96 sqrt(variance), and the
  // standardised innovations with the lines at -+1.96.
  bool innovations = false;
  Series innovation, variance, standardised;
  Series prediction, lower, upper, zLower, zUpper;
  std::vector<ForecastError> errors;
  // The time of each period, from kova_prepare's PERIODS.csv (empty when the
  // run directory has none): the x axes are labelled with them.
  std::map<int, std::string> times;
  std::vector<GapMark> gaps;         // where the times leave some out
  std::vector<WarningRow> warnings;  // from KOVA_WARNINGS.csv, when present
  // "common PHI and DELTA" when KOVA_ESTIMATES.csv has the common model's
  // rows, "ML" when it has LOGLIK rows for the group, "iterative"
  // when it has none, empty when the run directory has no such table.
  std::string method;
};

// Reads and checks the tables of a run directory; groups by identifier.
std::vector<GroupResults> readResults(const std::string& dir);

// A table column by column name, with messages that point at the file, the
// line and the column of a fault.
class Table {
 public:
  // Reads the file; a row with fewer or more fields than the header is an error.
  explicit Table(const std::string& path);
  int column(const std::string& name) const;
  // The column's index, or -1 when the header has no such column.
  int optionalColumn(const std::string& name) const;
  std::size_t rows() const { return table_.rows.size(); }
  const std::string& text(std::size_t row, int column) const;
  int integer(std::size_t row, int column) const;
  double number(std::size_t row, int column) const;  // NaN when empty
  int line(std::size_t row) const { return table_.rows[row].line; }
  std::string at(std::size_t row, int column) const;  // "file, line L, column 'c'"

 private:
  csv::CsvTable table_;
};

// An axis: its range and the round values where it has ticks.
struct Axis {
  double lo = 0, hi = 1, step = 1;
  std::vector<double> ticks;
};

// Ticks at 1, 2 or 5 times a power of ten, about `target` of them, over a
// range widened from [lo, hi] to the ticks around it; a `whole` axis (periods)
// keeps [lo, hi] and a step of 1 or more. A zero range is widened around its
// value, an empty one (lo > hi or NaN) becomes [0, 1].
Axis niceAxis(double lo, double hi, int target, bool whole);
// The label of a tick of the axis: as many decimals as the step needs, or an
// exponent on an axis of very large values or a very small step.
std::string tickLabel(double value, const Axis& axis);

std::string escapeXml(const std::string& text);
// "Group 3: name" (or "Group 3" when the name is not known).
std::string groupHeading(const GroupResults& group);
std::string svgFileName(int id);  // group_003.svg

// What a warning kind means, in a line; a kind this program does not know
// gets a general line.
std::string warningMeaning(const std::string& kind);
// The kinds of a group's warnings, each once, in the order of their rows.
std::vector<std::string> warningKinds(const GroupResults& group);
// The box on a group's picture that lists its warnings and its time gaps
// (empty when it has neither); `height` gets its height.
std::string warningBox(const GroupResults& group, double x, double y, double width, double& height);

std::string groupSvg(const GroupResults& group);
std::string indexHtml(const std::string& runName, const std::vector<GroupResults>& groups);

}  // namespace kova::plot
