#pragma once
// Turns the parsed options into a complete, checked model: defaults filled
// in, shapes checked against K, P and M, DELTA checked and factored, the
// stationary covariance of EPSILON found, and every group's record plan
// (estimation, "F" or "FY" at each period) laid out. Throws BadInput.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "io/text_conversion.h"
#include "dense.h"
#include "fields.h"
#include "options.h"

namespace kova::simulate {

// Capacities of the program that reads the directory.
constexpr int kMaxGroups = 150;
constexpr int kMaxGroupId = 150;
constexpr int kMaxRecords = 12500;
constexpr int kMaxDimension = 60;
constexpr int kMaxRestrictionRows = 256;

enum class RecordKind { Estimation, Forecast, ForecastWithY };

struct GroupPlan {
  int id = 0;
  std::vector<RecordKind> kinds;  // one per period t = 1..records
};

struct Model {
  Options opt;  // as given, defaults resolved
  int k = 0, p = 0, m = 0, width = 0;
  int s = 1;  // first component of x and z held in the files
  bool userZ = false;
  bool writeL = false;
  Matrix pi, l, phi, delta, gamma;  // gamma: stationary covariance / SIGMA**2
  Matrix innovationFactor;          // C with C C' = SIGMA**2 DELTA
  Matrix startFactor;               // C with C C' = SIGMA**2 GAMMA
  Matrix startPhi, startDelta;
  double sigma2 = 1.0, startSigma2 = 1.0;
  std::vector<RestrictionRow> piRows;  // equalities (with --fix-pi) then inequalities
  int piEqualities = 0;
  std::vector<GroupPlan> groups;
  int totalRecords = 0;
};

namespace detail {

inline void checkRange(int value, int low, int high, const std::string& what) {
  if (value < low || value > high)
    throw BadInput(what + " = " + std::to_string(value) + " is out of range " +
                   std::to_string(low) + ".." + std::to_string(high));
}

// A given matrix in the expected shape; one number for a square shape is
// that multiple of the identity.
inline Matrix shaped(const Matrix& given, int rows, int cols, const Matrix& fallback,
                     const std::string& what) {
  if (given.empty()) return fallback;
  if (given.rows == 1 && given.cols == 1 && rows == cols) return identity(rows, cols, given(1, 1));
  if (given.rows != rows || given.cols != cols)
    throw BadInput(what + " is " + std::to_string(given.rows) + " x " + std::to_string(given.cols) +
                   ", expected " + std::to_string(rows) + " x " + std::to_string(cols));
  return given;
}

inline void checkCovariance(const Matrix& d, const std::string& what, Matrix& factor,
                            double sigma2) {
  if (!isSymmetric(d)) throw BadInput(what + " is not symmetric");
  Matrix scaled = d;
  for (double& v : scaled.a) v *= sigma2;
  if (!semidefiniteFactor(scaled, factor)) throw BadInput(what + " is not non-negative definite");
}

inline std::vector<double> perComponent(const std::vector<double>& values, int count,
                                        const std::string& what) {
  if (values.size() == 1) return std::vector<double>(static_cast<std::size_t>(count), values[0]);
  if (static_cast<int>(values.size()) != count)
    throw BadInput(what + ": give one value or " + std::to_string(count) +
                   " (one per drawn component)");
  return values;
}

inline void markPositions(const PositionSpec& where, RecordKind kind, GroupPlan& g,
                          const std::string& what) {
  const int n = static_cast<int>(g.kinds.size());
  auto mark = [&](int t) {
    if (t > n)
      throw BadInput(what + ": position " + std::to_string(t) + " is beyond the " +
                     std::to_string(n) + " records of group " + std::to_string(g.id));
    if (g.kinds[t - 1] != RecordKind::Estimation && g.kinds[t - 1] != kind)
      throw BadInput("--forecast and --forecast-y both name position " + std::to_string(t) +
                     " of group " + std::to_string(g.id));
    g.kinds[t - 1] = kind;
  };
  for (const PositionItem& item : where.items) {
    if (item.group >= 0 && item.group != g.id) continue;
    if (item.lastN > n)
      throw BadInput(what + ": last:" + std::to_string(item.lastN) + " is more than the " +
                     std::to_string(n) + " records of group " + std::to_string(g.id));
    int first = item.lastN > 0 ? n - item.lastN + 1 : item.first;
    int last = item.lastN > 0 ? n : item.last;
    for (int t = first; t <= last; ++t) mark(t);
  }
}

// A statement of PARAMTRS must not be taken for a comment or for the end line.
inline void checkStatement(const std::string& text, const std::string& what) {
  if (text.find('!') != std::string::npos)
    throw BadInput(what + " must not contain \"!\" (kova would skip the line as a comment)");
  if (isEndOfData(text))
    throw BadInput(what +
                   " must not hold END, OF and DATA together (kova would end the file there)");
}

inline void checkRestrictionRows(const std::vector<RestrictionRow>& rows, int columns,
                                 const std::string& what) {
  for (const auto& row : rows) {
    if (row.entries.empty()) throw BadInput(what + ": a row without entries");
    for (auto [c, v] : row.entries)
      if (c < 1 || c > columns)
        throw BadInput(what + ": column " + std::to_string(c) + " is outside 1.." +
                       std::to_string(columns));
  }
}

}  // namespace detail

inline Model buildModel(const Options& given) {
  using namespace detail;
  Model md;
  md.opt = given;
  Options& o = md.opt;
  if (o.out.empty()) throw BadInput("--out DIR is required");

  checkRange(o.ng, 1, kMaxGroups, "--ng: NG");
  checkRange(o.k, 1, kMaxDimension, "--k: K");
  checkRange(o.p, 1, kMaxDimension, "--p: P");
  if (o.m == 0) o.m = o.k;
  checkRange(o.m, 1, kMaxDimension, "--m: M");
  checkRange(o.width, kMinWidth, kLineLength, "--width: W");
  checkRange(o.digits, 1, 17, "--digits");
  checkRange(o.burnIn, 0, 1000000, "--burn-in");
  checkRange(o.iterations, 1, 999, "--iterations");
  md.k = o.k;
  md.p = o.p;
  md.m = o.m;
  md.width = o.width;
  md.s = o.leadingOnes ? 2 : 1;

  // Record layout: the data set-up reads a record from its line and the
  // same-numbered line of the continuation file, never further.
  const int perLine = fieldsPerLine(md.width);
  auto checkFits = [&](int fields, const std::string& what) {
    if (fields > 2 * perLine)
      throw BadInput(what + " needs " + std::to_string(fields) + " fields, but two lines of " +
                     std::to_string(perLine) + " fields of width " + std::to_string(md.width) +
                     " hold " + std::to_string(2 * perLine) + "; choose a smaller --width");
  };
  checkFits(1 + md.k - md.s + 1, "a y/x record (y and x(" + std::to_string(md.s) + "..K))");

  md.userZ = o.z == ZSource::User || (o.z == ZSource::Automatic && md.p > 1);
  if (md.userZ && o.leadingOnes && md.p == 1) md.userZ = false;  // nothing to read
  if (md.userZ) checkFits(md.p - md.s + 1, "a z record");

  // Groups and their records.
  std::vector<int> ids = o.ids;
  if (ids.empty())
    for (int g = 1; g <= o.ng; ++g) ids.push_back(g);
  if (static_cast<int>(ids.size()) != o.ng)
    throw BadInput("--ids: " + std::to_string(ids.size()) +
                   " identifiers for NG = " + std::to_string(o.ng) + " groups");
  for (std::size_t i = 0; i < ids.size(); ++i) {
    checkRange(ids[i], 0, kMaxGroupId, "--ids: group identifier");
    for (std::size_t j = 0; j < i; ++j)
      if (ids[j] == ids[i])
        throw BadInput("--ids: identifier " + std::to_string(ids[i]) + " twice");
  }
  std::vector<int> counts = o.records.empty() ? std::vector<int>{30} : o.records;
  if (o.totalT > 0) {
    if (!o.records.empty()) throw BadInput("--t and --records exclude each other");
    if (o.totalT > kMaxRecords)
      throw BadInput("--t: T = " + std::to_string(o.totalT) + " records, at most " +
                     std::to_string(kMaxRecords));
    if (o.totalT < o.ng) throw BadInput("--t: T is less than NG; every group needs a record");
    counts.assign(static_cast<std::size_t>(o.ng), o.totalT / o.ng);
    for (int g = 0; g < o.totalT % o.ng; ++g) ++counts[g];
  }
  if (counts.size() == 1) counts.assign(static_cast<std::size_t>(o.ng), counts[0]);
  if (static_cast<int>(counts.size()) != o.ng)
    throw BadInput("--records: " + std::to_string(counts.size()) +
                   " counts for NG = " + std::to_string(o.ng) + " groups (give one or NG)");
  long long total = 0;
  for (int c : counts) {
    if (c < 1)
      throw BadInput("--records: every group needs at least 1 record, not " + std::to_string(c));
    total += c;
  }
  if (total > kMaxRecords)
    throw BadInput("--records: T = " + std::to_string(total) + " records in all, at most " +
                   std::to_string(kMaxRecords));
  md.totalRecords = static_cast<int>(total);
  if (!o.forecast.given && !o.forecastY.given) o.forecastY = detail::parsePositions("last:2", "");
  for (const PositionSpec* where : {&o.forecast, &o.forecastY})
    for (const PositionItem& item : where->items)
      if (item.group >= 0 && std::find(ids.begin(), ids.end(), item.group) == ids.end())
        throw BadInput("--forecast/--forecast-y: no group " + std::to_string(item.group));
  for (int g = 0; g < o.ng; ++g) {
    GroupPlan plan;
    plan.id = ids[g];
    plan.kinds.assign(static_cast<std::size_t>(counts[g]), RecordKind::Estimation);
    markPositions(o.forecast, RecordKind::Forecast, plan, "--forecast");
    markPositions(o.forecastY, RecordKind::ForecastWithY, plan, "--forecast-y");
    bool anyEstimation = false;
    for (RecordKind kind : plan.kinds) anyEstimation |= kind == RecordKind::Estimation;
    if (!anyEstimation)
      throw BadInput("group " + std::to_string(plan.id) + " has no estimation record left");
    md.groups.push_back(std::move(plan));
  }

  // Parameters.
  Matrix defaultPi(md.k, md.p);
  for (int i = 1; i <= md.k; ++i)
    for (int j = 1; j <= md.p; ++j) defaultPi(i, j) = i + j / 10.0;
  md.pi = shaped(o.pi, md.k, md.p, defaultPi, "--pi: PI");
  md.l = shaped(o.l, md.k, md.m, identity(md.k, md.m), "--l: L");
  md.phi = shaped(o.phi, md.m, md.m, identity(md.m, md.m, 0.5), "--phi: PHI");
  md.delta = shaped(o.delta, md.m, md.m, identity(md.m, md.m, 0.1), "--delta: DELTA");
  if (!(o.sigma2 > 0.0)) throw BadInput("--sigma2: SIGMA**2 must be positive");
  md.sigma2 = o.sigma2;
  checkCovariance(md.delta, "--delta: DELTA", md.innovationFactor, md.sigma2);
  if (o.zeroPhi && maxAbs(md.phi) != 0.0) throw BadInput("--zero-phi: the true PHI is not zero");
  if (o.diagonalPhi && !isDiagonal(md.phi))
    throw BadInput("--diagonal-phi: the true PHI is not diagonal");
  if (o.diagonalDelta && !isDiagonal(md.delta))
    throw BadInput("--diagonal-delta: the true DELTA is not diagonal");
  if (o.start == StartKind::Stationary) {
    if (!stationaryCovariance(md.phi, md.delta, md.gamma))
      throw BadInput(
          "--phi: PHI has an eigenvalue of modulus 1 or more, so EPSILON(t) has no "
          "stationary distribution; use --start zero");
    checkCovariance(md.gamma, "the stationary covariance of EPSILON", md.startFactor, md.sigma2);
  }

  // kova generates the identity as L when M = K; anything else must be read.
  md.writeL = o.ldata || md.m != md.k || !isIdentity(md.l);
  if (md.writeL) checkFits(md.m, "a row of L (M values)");
  md.startPhi = shaped(o.startPhi, md.m, md.m, md.phi, "--start-phi");
  md.startDelta = shaped(o.startDelta, md.m, md.m, md.delta, "--start-delta");
  md.startSigma2 = o.startSigma2Given ? o.startSigma2 : md.sigma2;
  if (o.pdata || o.ddata) checkFits(md.m, "a row of the starting PHI or DELTA (M values)");
  if (o.ddata && !isSymmetric(md.startDelta)) throw BadInput("--start-delta is not symmetric");

  // x and z draws.
  int drawnX = md.k - md.s + 1;
  int drawnZ = md.p - 1;
  if (drawnX > 0) {
    o.xMean = perComponent(o.xMean, drawnX, "--x-mean");
    o.xScale = perComponent(o.xScale, drawnX, "--x-scale");
  }
  if (drawnZ > 0) {
    o.zMean = perComponent(o.zMean, drawnZ, "--z-mean");
    o.zScale = perComponent(o.zScale, drawnZ, "--z-scale");
  }
  for (double v : o.xScale)
    if (v < 0.0) throw BadInput("--x-scale: negative standard deviation");
  for (double v : o.zScale)
    if (v < 0.0) throw BadInput("--z-scale: negative standard deviation");

  // Restrictions. An entry line holds two indices and a value, w columns each.
  md.piRows = o.piEq;
  for (int c : o.fixPi) {
    RestrictionRow row;
    row.entries.emplace_back(c, 1.0);
    row.rhsIsTruth = true;
    md.piRows.push_back(row);
  }
  md.piEqualities = static_cast<int>(md.piRows.size());
  md.piRows.insert(md.piRows.end(), o.piIneq.begin(), o.piIneq.end());
  checkRestrictionRows(md.piRows, md.p * md.k, "--restrict-pi/--fix-pi");
  checkRestrictionRows(o.phiEq, o.diagonalPhi ? md.m : md.m * md.m, "--restrict-phi");
  checkRestrictionRows(o.deltaEq, o.diagonalDelta ? md.m : md.m * (md.m + 1) / 2,
                       "--restrict-delta");
  const std::size_t cap = kMaxRestrictionRows;
  if (md.piRows.size() > cap || o.phiEq.size() > cap || o.deltaEq.size() > cap)
    throw BadInput("a restriction has more than 256 rows");
  bool anyRestriction = !md.piRows.empty() || !o.phiEq.empty() || !o.deltaEq.empty();
  if (anyRestriction && 3 * md.width > kLineLength)
    throw BadInput("restriction entry lines hold 3 fields of width " + std::to_string(md.width) +
                   ", more than 80 columns; use --width 26 or less");
  for (auto& row : md.piRows)
    if (row.rhsIsTruth) {
      row.rhs = 0.0;
      for (auto [c, v] : row.entries) row.rhs += v * md.pi.a[static_cast<std::size_t>(c - 1)];
    }

  if (o.title.empty())
    o.title = "KOVA_SIMULATE: " + std::to_string(o.ng) + " GROUPS, SEED " + std::to_string(o.seed);
  if (o.title.size() > 70) throw BadInput("--title: at most 70 characters");
  checkStatement("TITLE = " + o.title, "--title");
  for (const std::string& statement : o.extraParams) {
    checkStatement(statement, "--param");
    std::size_t eq = statement.find('=');
    if (eq == std::string::npos || detail::trim(statement.substr(0, eq)).empty())
      throw BadInput("--param: \"" + statement + "\" is not KEY = VALUE");
    if (statement.size() > static_cast<std::size_t>(kLineLength))
      throw BadInput("--param: a statement is at most 80 characters");
  }
  return md;
}

}  // namespace kova::simulate
