#pragma once
// Draws every record of a checked model and writes the input directory and
// TRUTH.
//
// Records are drawn in file order, but each group has its own random stream
// and EPSILON state, so a group's series is the same whether the groups'
// records are interleaved or contiguous. x(t) and z(t) are rounded to the
// values their fields read back as before BETA(t) and y(t) are formed, so the
// model holds for the data as kova reads them; only y carries the rounding
// of its own field.
//
// writeDirectory returns the names of the files written; a file that cannot
// be written throws WriteFailure.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "io/text_conversion.h"
#include "dense.h"
#include "fields.h"
#include "random.h"
#include "validate.h"

namespace kova::simulate {

struct WriteFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Every name the simulator may write; the ones a run does not write are
// removed so that a directory always describes one draw.
inline const std::vector<std::string>& simulatorFiles() {
  static const std::vector<std::string> names = {
      "PARAMTRS", "YXDKEY", "YXDATA1", "YXDATA2", "ZDATA1", "ZDATA2", "LDATA1",
      "LDATA2",   "PDATA1", "PDATA2",  "DDATA1",  "DDATA2", "RCFPI",  "RVCPI",
      "RCFPH",    "RVCPH",  "RCFDT",   "RVCDT",   "TRUTH"};
  return names;
}

namespace detail {

inline std::string kindKey(RecordKind kind) {
  switch (kind) {
    case RecordKind::Forecast:
      return "F";
    case RecordKind::ForecastWithY:
      return "FY";
    default:
      return "NN";
  }
}

inline void appendExact(std::string& out, double v) {
  char text[40];
  int n = std::snprintf(text, sizeof text, " %.17G", v);
  out.append(text, static_cast<std::size_t>(n));
}

// Comment lines are tested for the end line before anything else, so they
// must not hold its three words either.
inline void appendComment(std::string& out, const std::string& text) {
  if (isEndOfData(text)) throw std::logic_error("comment reads as an end line: " + text);
  out += text;
  out += '\n';
}

// Rows of a matrix, each split between the main file and its continuation.
inline void appendMatrixRows(const Matrix& a, int width, std::string& main,
                             std::string& continuation) {
  std::string fields;
  for (int i = 1; i <= a.rows; ++i) {
    fields.clear();
    for (int j = 1; j <= a.cols; ++j) appendNumber(fields, a(i, j), width);
    appendRecord(main, &continuation, fields, a.cols, width);
  }
}

inline void appendRestriction(const std::vector<RestrictionRow>& rows, int width,
                              std::string& matrixFile, std::string& vectorFile) {
  for (std::size_t r = 0; r < rows.size(); ++r) {
    std::string row = std::to_string(r + 1);
    for (auto [c, v] : rows[r].entries) {
      appendText(matrixFile, row, width);
      appendText(matrixFile, std::to_string(c), width);
      appendNumber(matrixFile, v, width);
      matrixFile += '\n';
    }
    appendText(vectorFile, row, width);
    appendNumber(vectorFile, rows[r].rhs, width);
    vectorFile += '\n';
  }
  matrixFile += "END OF DATA\n";
  vectorFile += "END OF DATA\n";
}

inline void appendMatrix(std::string& out, const std::string& name, const Matrix& a) {
  out += name + " " + std::to_string(a.rows) + " " + std::to_string(a.cols) + "\n";
  for (int i = 1; i <= a.rows; ++i) {
    for (int j = 1; j <= a.cols; ++j) appendExact(out, a(i, j));
    out += '\n';
  }
}

inline std::string yesNo(bool b) { return b ? "YES" : "NO"; }

inline std::string paramFile(const Model& md) {
  const Options& o = md.opt;
  std::string s;
  appendComment(s, "! Written by kova_simulate, seed " + std::to_string(o.seed) + ".");
  appendComment(s, "! The true parameters, EPSILON(t) and BETA(t) are in TRUTH.");
  s += "BEGIN GROUP (ALL)\n";
  s += "TITLE = " + o.title + "\n";
  s += "T = " + std::to_string(md.totalRecords) + "\n";
  s += "K = " + std::to_string(md.k) + "\n";
  s += "P = " + std::to_string(md.p) + "\n";
  s += "M = " + std::to_string(md.m) + "\n";
  s += "CONST = " + yesNo(o.leadingOnes) + "\n";
  s += std::string("Z-VECTORS = ") + (md.userZ ? "USER" : "DEFAULT") + "\n";
  s += std::string("L-MATRIX = ") + (md.writeL ? "USER" : "DEFAULT") + "\n";
  s += std::string("INITIAL PHI = ") + (o.pdata ? "USER" : "DEFAULT") + "\n";
  s += std::string("INITIAL DELTA = ") + (o.ddata ? "USER" : "DEFAULT") + "\n";
  s += "ZERO PHI = " + yesNo(o.zeroPhi) + "\n";
  s += "DIAGONAL PHI = " + yesNo(o.diagonalPhi) + "\n";
  s += "DIAGONAL DELTA = " + yesNo(o.diagonalDelta) + "\n";
  if (!o.phiEq.empty()) s += "RESTRICTIONS PHI = " + std::to_string(o.phiEq.size()) + "\n";
  if (md.piEqualities > 0) s += "RESTRICTIONS PI = " + std::to_string(md.piEqualities) + "\n";
  int inequalities = static_cast<int>(md.piRows.size()) - md.piEqualities;
  if (inequalities > 0) s += "RESTRICTIONS PI INEQ = " + std::to_string(inequalities) + "\n";
  if (!o.deltaEq.empty()) s += "RESTRICTIONS DELTA = " + std::to_string(o.deltaEq.size()) + "\n";
  s += "ITERATIONS = " + std::to_string(o.iterations) + "\n";
  s += "WIDTH = " + std::to_string(md.width) + "\n";
  for (const std::string& statement : o.extraParams) s += statement + "\n";
  s += "END GROUP (ALL)\n";
  s += "END OF DATA\n";
  return s;
}

inline std::string nameOf(char letter, int index) { return letter + std::to_string(index); }

}  // namespace detail

struct Output {
  std::vector<std::pair<std::string, std::string>> files;  // name, contents
};

// Draws the records and assembles every file in memory.
inline Output simulate(const Model& md) {
  using namespace detail;
  const Options& o = md.opt;
  const int w = md.width, k = md.k, p = md.p, m = md.m, s = md.s;
  const int ng = static_cast<int>(md.groups.size());
  const bool yxSplit = 1 + k - s + 1 > fieldsPerLine(w);
  const bool zSplit = md.userZ && p - s + 1 > fieldsPerLine(w);

  // File order: (group position, period).
  std::vector<std::pair<int, int>> order;
  order.reserve(static_cast<std::size_t>(md.totalRecords));
  if (o.interleave) {
    for (int t = 1, more = 1; more; ++t) {
      more = 0;
      for (int g = 0; g < ng; ++g)
        if (t <= static_cast<int>(md.groups[g].kinds.size())) {
          order.emplace_back(g, t);
          more = 1;
        }
    }
  } else {
    for (int g = 0; g < ng; ++g)
      for (int t = 1; t <= static_cast<int>(md.groups[g].kinds.size()); ++t)
        order.emplace_back(g, t);
  }

  std::string keys, yx1, yx2, z1, z2, truth, fields, xFields, zFields;
  auto fieldValue = [&](std::string& out, double v) {
    appendNumber(out, v, w, o.digits);
    return std::strtod(out.c_str() + (out.size() - w), nullptr);
  };
  const std::size_t n = order.size();
  keys.reserve(n * 8);
  yx1.reserve(n * 81);
  truth.reserve(n * 26 * (3 + m + k));

  appendComment(keys, "! Written by kova_simulate: group identifier, then F for a");
  appendComment(keys, "! forecast record, FY when its y is given too.");

  // Name lines.
  fields.clear();
  appendText(fields, "Y", w);
  for (int i = s; i <= k; ++i) appendText(fields, nameOf('X', i), w);
  appendRecord(yx1, yxSplit ? &yx2 : nullptr, fields, 1 + k - s + 1, w);
  if (md.userZ) {
    fields.clear();
    for (int i = s; i <= p; ++i) appendText(fields, nameOf('Z', i), w);
    appendRecord(z1, zSplit ? &z2 : nullptr, fields, p - s + 1, w);
  }

  // Per-group streams and EPSILON states.
  std::vector<Rng> rngs;
  std::vector<std::vector<double>> eps(static_cast<std::size_t>(ng), std::vector<double>(m, 0.0));
  std::vector<double> draw(static_cast<std::size_t>(std::max(m, 1))), next(m), x(k), z(p), beta(k);
  auto innovate = [&](Rng& rng, std::vector<double>& e, const Matrix& factor, bool withPhi) {
    for (int i = 0; i < m; ++i) draw[i] = rng.normal();
    for (int i = 1; i <= m; ++i) {
      double v = 0.0;
      if (withPhi)
        for (int j = 1; j <= m; ++j) v += md.phi(i, j) * e[j - 1];
      for (int j = 1; j <= i; ++j) v += factor(i, j) * draw[j - 1];
      next[i - 1] = v;
    }
    e.assign(next.begin(), next.end());
  };
  for (int g = 0; g < ng; ++g) {
    rngs.emplace_back(o.seed, static_cast<std::uint64_t>(md.groups[g].id));
    if (o.start == StartKind::Stationary) {
      innovate(rngs[g], eps[g], md.startFactor, false);
    } else {
      for (int b = 0; b < o.burnIn; ++b) innovate(rngs[g], eps[g], md.innovationFactor, true);
    }
  }

  truth += "RECORDS " + std::to_string(n) + "\n";
  truth += "! position group t key y EPSILON(1.." + std::to_string(m) + ") BETA(1.." +
           std::to_string(k) + ")\n";
  for (std::size_t r = 0; r < n; ++r) {
    auto [g, t] = order[r];
    const GroupPlan& plan = md.groups[g];
    Rng& rng = rngs[g];
    std::vector<double>& e = eps[g];
    innovate(rng, e, md.innovationFactor, true);
    // x and z are drawn as the text of their fields and taken back from it,
    // so the model holds for exactly the values kova reads.
    xFields.clear();
    zFields.clear();
    if (s == 2) x[0] = 1.0;
    for (int i = s; i <= k; ++i)
      x[i - 1] = fieldValue(xFields, o.xMean[i - s] + o.xScale[i - s] * rng.normal());
    z[0] = 1.0;
    if (s == 1 && md.userZ) fieldValue(zFields, 1.0);
    for (int i = 2; i <= p; ++i)
      z[i - 1] =
          md.userZ ? fieldValue(zFields, o.zMean[i - 2] + o.zScale[i - 2] * rng.normal()) : 0.0;
    double y = 0.0;
    for (int i = 1; i <= k; ++i) {
      double b = 0.0;
      for (int j = 1; j <= p; ++j) b += md.pi(i, j) * z[j - 1];
      for (int j = 1; j <= m; ++j) b += md.l(i, j) * e[j - 1];
      beta[i - 1] = b;
      y += x[i - 1] * b;
    }
    if (!std::isfinite(y))
      throw BadInput("drawn values are not finite (group " + std::to_string(plan.id) + ", period " +
                     std::to_string(t) + "); PHI is explosive or scales too large");
    RecordKind kind = plan.kinds[t - 1];

    keys += std::to_string(plan.id);
    if (kind == RecordKind::Forecast) keys += " F";
    if (kind == RecordKind::ForecastWithY) keys += " FY";
    keys += '\n';

    fields.clear();
    if (kind == RecordKind::Forecast)
      appendBlank(fields, w);
    else
      appendNumber(fields, y, w, o.digits);
    fields += xFields;
    appendRecord(yx1, yxSplit ? &yx2 : nullptr, fields, 1 + k - s + 1, w);
    if (md.userZ) appendRecord(z1, zSplit ? &z2 : nullptr, zFields, p - s + 1, w);

    truth += std::to_string(r + 1) + " " + std::to_string(plan.id) + " " + std::to_string(t) + " " +
             kindKey(kind);
    appendExact(truth, y);
    for (int i = 0; i < m; ++i) appendExact(truth, e[i]);
    for (int i = 0; i < k; ++i) appendExact(truth, beta[i]);
    truth += '\n';
  }
  keys += "END OF DATA\n";

  // TRUTH: the header first, then the records drawn above.
  std::string head;
  head += "! TRUTH written by kova_simulate; kova does not read this file.\n";
  head += "SEED " + std::to_string(o.seed) + "\n";
  head += "NG " + std::to_string(ng) + "\nT " + std::to_string(md.totalRecords) + "\n";
  head += "K " + std::to_string(k) + "\nP " + std::to_string(p) + "\nM " + std::to_string(m) + "\n";
  head += "WIDTH " + std::to_string(w) + "\n";
  head += "LEADING_ONES " + yesNo(o.leadingOnes) + "\n";
  head += std::string("Z_VECTORS ") + (md.userZ ? "USER" : "DEFAULT") + "\n";
  head += std::string("START ") +
          (o.start == StartKind::Stationary ? "STATIONARY 0" : "ZERO " + std::to_string(o.burnIn)) +
          "\n";
  head += "SIGMA2";
  appendExact(head, md.sigma2);
  head += "\n";
  appendMatrix(head, "PI", md.pi);
  appendMatrix(head, "L", md.l);
  appendMatrix(head, "PHI", md.phi);
  appendMatrix(head, "DELTA", md.delta);
  if (o.start == StartKind::Stationary) appendMatrix(head, "GAMMA", md.gamma);
  head += "GROUPS " + std::to_string(ng) + "\n";
  head += "! identifier records estimation forecast(F) forecast(FY)\n";
  for (const GroupPlan& plan : md.groups) {
    int counts[3] = {0, 0, 0};
    for (RecordKind kind : plan.kinds) ++counts[static_cast<int>(kind)];
    head += std::to_string(plan.id) + " " + std::to_string(plan.kinds.size()) + " " +
            std::to_string(counts[0]) + " " + std::to_string(counts[1]) + " " +
            std::to_string(counts[2]) + "\n";
  }

  Output out;
  out.files.emplace_back("PARAMTRS", paramFile(md));
  out.files.emplace_back("YXDKEY", std::move(keys));
  out.files.emplace_back("YXDATA1", std::move(yx1));
  if (yxSplit) out.files.emplace_back("YXDATA2", std::move(yx2));
  if (md.userZ) {
    out.files.emplace_back("ZDATA1", std::move(z1));
    if (zSplit) out.files.emplace_back("ZDATA2", std::move(z2));
  }
  auto matrixFiles = [&](const std::string& base, const Matrix& a, const std::string* firstLine) {
    std::string main = firstLine ? *firstLine : "", cont;
    appendMatrixRows(a, w, main, cont);
    out.files.emplace_back(base + "1", std::move(main));
    if (a.cols > fieldsPerLine(w)) out.files.emplace_back(base + "2", std::move(cont));
  };
  if (md.writeL) matrixFiles("LDATA", md.l, nullptr);
  if (o.pdata) matrixFiles("PDATA", md.startPhi, nullptr);
  if (o.ddata) {
    std::string sigmaLine = numberField(md.startSigma2, w) + "\n";
    matrixFiles("DDATA", md.startDelta, &sigmaLine);
  }
  auto restriction = [&](const std::vector<RestrictionRow>& rows, const char* matrixName,
                         const char* vectorName) {
    if (rows.empty()) return;
    std::string a, b;
    appendRestriction(rows, w, a, b);
    out.files.emplace_back(matrixName, std::move(a));
    out.files.emplace_back(vectorName, std::move(b));
  };
  restriction(o.phiEq, "RCFPH", "RVCPH");
  restriction(md.piRows, "RCFPI", "RVCPI");
  restriction(o.deltaEq, "RCFDT", "RVCDT");
  out.files.emplace_back("TRUTH", head + truth + "END\n");
  return out;
}

inline void writeDirectory(const std::string& dir, const Output& output) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (!fs::is_directory(dir)) throw WriteFailure("cannot create directory " + dir);
  for (const std::string& name : simulatorFiles()) {
    bool written = false;
    for (const auto& file : output.files) written |= file.first == name;
    if (!written) fs::remove(fs::path(dir) / name, ec);
  }
  for (const auto& [name, text] : output.files) {
    fs::path path = fs::path(dir) / name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (!out) throw WriteFailure("cannot write " + path.string());
  }
}

}  // namespace kova::simulate
