#pragma once
// The simulator's options: command line (read by command_line.h) and config
// file, parsed into a plain record. Every fault of the user's input throws
// BadInput with a message that names the option; main turns it into exit
// status 2. The checks that need the whole record (dimensions against
// matrices, forecast positions against group sizes) are in validate.h.
#include <cstdint>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "dense.h"

namespace kova::simulate {

struct BadInput : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// One row of a linear restriction: sum of value * element(column) = rhs.
// `rhsIsTruth` asks for the rhs that the true parameters give.
struct RestrictionRow {
  std::vector<std::pair<int, double>> entries;
  double rhs = 0.0;
  bool rhsIsTruth = false;
};

// Forecast positions within a group: a range of periods (a single position
// is a range of one), or the last n records; for every group, or for the
// group with the given identifier only.
struct PositionItem {
  int group = -1;  // -1: every group
  int first = 0, last = 0;  // inclusive, 1-based; unused when lastN > 0
  int lastN = 0;
};

struct PositionSpec {
  std::vector<PositionItem> items;
  bool given = false;
};

enum class StartKind { Stationary, Zero };
enum class ZSource { Automatic, User, Default };

struct Options {
  std::string out;
  int ng = 3;
  std::vector<int> ids;      // empty: 1..NG
  std::vector<int> records;  // one value for all groups, or NG values
  int totalT = 0;            // > 0: T records spread over the groups
  PositionSpec forecast;     // "F"
  PositionSpec forecastY;    // "FY"
  bool interleave = false;
  int k = 3;
  int p = 2;
  int m = 0;  // 0: equal to K
  int width = 20;
  int digits = 17;  // at most, in the data fields
  bool leadingOnes = true;
  ZSource z = ZSource::Automatic;
  Matrix pi, l, phi, delta;  // empty: defaults
  double sigma2 = 1.0;
  StartKind start = StartKind::Stationary;
  int burnIn = 100;
  std::vector<double> xMean{0.0}, xScale{1.0}, zMean{0.0}, zScale{1.0};
  std::uint64_t seed = 1;
  bool ldata = false, pdata = false, ddata = false;
  Matrix startPhi, startDelta;
  double startSigma2 = 0.0;
  bool startSigma2Given = false;
  std::vector<RestrictionRow> piEq, piIneq, phiEq, deltaEq;
  std::vector<int> fixPi;
  bool diagonalPhi = false, diagonalDelta = false, zeroPhi = false;
  int iterations = 5;
  std::string title;
  std::vector<std::string> extraParams;
  bool help = false;
};

inline const char* usageText() {
  return R"(usage: kova_simulate --out DIR [--config FILE] [--ng N] [--ids LIST]
      [--records LIST | --t T] [--forecast WHERE] [--forecast-y WHERE]
      [--interleave] [--k K] [--p P] [--m M] [--width W] [--digits D]
      [--no-leading-ones] [--z user|default] [--pi MATRIX] [--l MATRIX]
      [--phi MATRIX] [--delta MATRIX] [--sigma2 S] [--start stationary|zero]
      [--burn-in N] [--x-mean LIST] [--x-scale LIST] [--z-mean LIST]
      [--z-scale LIST] [--seed N] [--ldata] [--pdata] [--ddata]
      [--start-phi MATRIX] [--start-delta MATRIX] [--start-sigma2 S]
      [--restrict-pi ROWS] [--restrict-pi-ineq ROWS] [--fix-pi LIST]
      [--restrict-phi ROWS] [--restrict-delta ROWS] [--diagonal-phi]
      [--diagonal-delta] [--zero-phi] [--iterations N] [--title TEXT]
      [--param "KEY = VALUE"]... [--help]
Draws data from y(t) = x(t)'BETA(t), BETA(t) = PI z(t) + L EPSILON(t),
EPSILON(t) = PHI EPSILON(t-1) + a(t), cov a(t) = SIGMA**2 DELTA, and writes
a kova input directory (PARAMTRS, YXDKEY, YXDATA1/2, ZDATA1/2, ...) and
TRUTH (the true parameters and each record's EPSILON(t) and BETA(t)).
  --out DIR              output directory (created; the simulator's files in
                         it are replaced, stale ones removed)
  --config FILE          read options from FILE, one per line as "name value"
                         (leading -- optional, # starts a comment line);
                         later command-line options override
  --ng N                 number of groups, 1..150 [3]
  --ids LIST             group identifiers, NG distinct values 0..150 [1..NG]
  --records LIST         records per group, forecast records included: one
                         value for every group or NG values [30]; T <= 12500
  --t T                  instead of --records: T records in all, spread
                         evenly (the first T mod NG groups get one more)
  --forecast WHERE       forecast records without y (key "F", y field blank)
  --forecast-y WHERE     forecast records with y (key "FY")
                         WHERE: comma-separated positions within each group:
                         p, p-q, last:n, each for every group or, written
                         ID/p, ID/p-q, ID/last:n, for group ID only; or none
                         [--forecast-y last:2 when neither option is given]
  --interleave           records period by period across the groups
                         [each group's records contiguous]
  --k K                  components of x(t) and BETA(t), 1..60 [3]; a y/x
                         record, y and x(2..K) (x(1..K) without leading
                         ones), must fit in two lines of 80 / W fields
  --p P                  components of z(t), 1..60 [2]
  --m M                  components of EPSILON(t), 1..60 [K]
  --width W              data field width, 8..80; a record may take at most
                         two lines of 80 / W fields [20]
  --digits D             at most D significant digits in the y, x and z
                         fields, 1..17; x and z are drawn rounded to them
                         [17, or as many as fit in W - 1 columns]
  --no-leading-ones      CONST = NO: x(1) is drawn and written, z(1) = 1 is
                         written [automatic leading ones]
  --z user|default       z(t) from ZDATA1/2 (components after the leading 1
                         drawn) or kova's default (1, 0, ..., 0)
                         [user when P > 1]
  --pi MATRIX            PI, K x P [PI(i,j) = i + j/10]
  --l MATRIX             L, K x M [L(i,i) = 1, other elements 0]
  --phi MATRIX           PHI, M x M [0.5 I]
  --delta MATRIX         DELTA, M x M, symmetric non-negative definite [0.1 I]
  --sigma2 S             SIGMA**2 > 0 [1]
                         MATRIX: rows separated by ';', elements by ',', as
                         "0.5,0;0,0.5"; one number s for a square matrix is
                         s times the identity
  --start stationary|zero  EPSILON(0) drawn from the stationary distribution,
                         or 0 followed by the burn-in [stationary]
  --burn-in N            periods drawn and dropped after a zero start [100]
  --x-mean LIST          mean of the drawn x components: one value, or one
                         per drawn component [0]
  --x-scale LIST         standard deviation of the drawn x components [1]
  --z-mean LIST          mean of the drawn z components [0]
  --z-scale LIST         standard deviation of the drawn z components [1]
  --seed N               random seed, 0..2^64-1 [1]
  --ldata                write LDATA1/2 (L-MATRIX = USER); automatic when L
                         is not the K x K identity
  --pdata                write PDATA1/2 with the starting PHI
                         (INITIAL PHI = USER)
  --ddata                write DDATA1/2 with the starting SIGMA**2 and DELTA
                         (INITIAL DELTA = USER)
  --start-phi MATRIX     starting PHI for PDATA [the true PHI]
  --start-delta MATRIX   starting DELTA for DDATA [the true DELTA]
  --start-sigma2 S       starting SIGMA**2 for DDATA [the true SIGMA**2]
  --restrict-pi ROWS     equality rows on PIVECT (PI column by column,
                         columns 1..P*K): "c:v,c:v=rhs;..."; rhs a number or
                         "truth" (the value the true PI gives)
  --restrict-pi-ineq ROWS  inequality rows on PIVECT, same form; they follow
                         the equality rows in RCFPI/RVCPI
  --fix-pi LIST          one more equality row per listed PIVECT position,
                         holding it at its true value
  --restrict-phi ROWS    equality rows on PHI (columns 1..M*M, or 1..M with
                         --diagonal-phi); rhs a number
  --restrict-delta ROWS  equality rows on DELTA (columns 1..M(M+1)/2, or
                         1..M with --diagonal-delta); rhs a number
  --diagonal-phi         DIAGONAL PHI = YES (the true PHI must be diagonal)
  --diagonal-delta       DIAGONAL DELTA = YES (the true DELTA must be diagonal)
  --zero-phi             ZERO PHI = YES (the true PHI must be zero)
  --iterations N         ITERATIONS in PARAMTRS, 1..999 [5]
  --title TEXT           TITLE in PARAMTRS, at most 70 characters
  --param "KEY = VALUE"  one more statement for the ALL group, such as
                         "GLS = YES" (repeatable)
  --help                 this text
Exit status: 0 written, 1 a file could not be written, 2 bad input.
)";
}

namespace detail {

inline std::string trim(const std::string& s) {
  std::size_t a = s.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return {};
  std::size_t b = s.find_last_not_of(" \t\r\n");
  return s.substr(a, b - a + 1);
}

inline std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(s);
  while (std::getline(in, part, sep)) parts.push_back(trim(part));
  if (!s.empty() && s.back() == sep) parts.push_back("");
  return parts;
}

inline long long parseInteger(const std::string& text, const std::string& what) {
  std::string t = trim(text);
  std::size_t used = 0;
  long long v = 0;
  try {
    v = std::stoll(t, &used);
  } catch (...) {
    used = 0;
  }
  if (t.empty() || used != t.size()) throw BadInput(what + ": \"" + text + "\" is not an integer");
  return v;
}

inline int parseInt(const std::string& text, const std::string& what) {
  long long v = parseInteger(text, what);
  if (v < -1000000000LL || v > 1000000000LL)
    throw BadInput(what + ": " + text + " is out of range");
  return static_cast<int>(v);
}

inline double parseDouble(const std::string& text, const std::string& what) {
  std::string t = trim(text);
  std::size_t used = 0;
  double v = 0.0;
  try {
    v = std::stod(t, &used);
  } catch (...) {
    used = 0;
  }
  if (t.empty() || used != t.size() || !std::isfinite(v))
    throw BadInput(what + ": \"" + text + "\" is not a finite number");
  return v;
}

inline std::vector<int> parseIntList(const std::string& text, const std::string& what) {
  std::vector<int> values;
  for (const std::string& item : split(text, ',')) values.push_back(parseInt(item, what));
  if (values.empty()) throw BadInput(what + ": empty list");
  return values;
}

inline std::vector<double> parseDoubleList(const std::string& text, const std::string& what) {
  std::vector<double> values;
  for (const std::string& item : split(text, ',')) values.push_back(parseDouble(item, what));
  if (values.empty()) throw BadInput(what + ": empty list");
  return values;
}

// Rows separated by ';', elements by ','; a single number stays a 1 x 1
// matrix here and becomes s * I once the shape is known (validate.h).
inline Matrix parseMatrix(const std::string& text, const std::string& what) {
  std::vector<std::vector<double>> rows;
  for (const std::string& row : split(text, ';')) rows.push_back(parseDoubleList(row, what));
  if (rows.empty()) throw BadInput(what + ": empty matrix");
  for (const auto& row : rows)
    if (row.size() != rows.front().size())
      throw BadInput(what + ": rows of different lengths in \"" + text + "\"");
  Matrix m(static_cast<int>(rows.size()), static_cast<int>(rows.front().size()));
  for (int i = 1; i <= m.rows; ++i)
    for (int j = 1; j <= m.cols; ++j) m(i, j) = rows[i - 1][j - 1];
  return m;
}

inline PositionSpec parsePositions(const std::string& text, const std::string& what) {
  PositionSpec where;
  where.given = true;
  if (trim(text) == "none") return where;
  for (std::string item : split(text, ',')) {
    PositionItem pos;
    std::size_t slash = item.find('/');
    if (slash != std::string::npos) {
      pos.group = parseInt(item.substr(0, slash), what);
      if (pos.group < 0) throw BadInput(what + ": \"" + item + "\" names a negative group");
      item = trim(item.substr(slash + 1));
    }
    if (item.rfind("last:", 0) == 0) {
      pos.lastN = parseInt(item.substr(5), what);
      if (pos.lastN < 1) throw BadInput(what + ": last:n needs n >= 1");
    } else {
      std::size_t dash = item.find('-', 1);
      pos.first = parseInt(item.substr(0, dash), what);
      pos.last = dash == std::string::npos ? pos.first : parseInt(item.substr(dash + 1), what);
      if (pos.first < 1 || pos.last < pos.first)
        throw BadInput(what + ": \"" + item +
                       "\" is not a position (p >= 1), a range (p-q, q >= p) or last:n");
    }
    where.items.push_back(pos);
  }
  return where;
}

// "c:v,c:v=rhs;..." with rhs a number or, where allowed, "truth".
inline std::vector<RestrictionRow> parseRestriction(const std::string& text,
                                                    const std::string& what, bool truthAllowed) {
  std::vector<RestrictionRow> rows;
  for (const std::string& rowText : split(text, ';')) {
    std::size_t eq = rowText.find('=');
    if (eq == std::string::npos) throw BadInput(what + ": row \"" + rowText + "\" has no \"=rhs\"");
    RestrictionRow row;
    for (const std::string& entry : split(rowText.substr(0, eq), ',')) {
      std::size_t colon = entry.find(':');
      if (colon == std::string::npos)
        throw BadInput(what + ": entry \"" + entry + "\" is not column:value");
      row.entries.emplace_back(parseInt(entry.substr(0, colon), what),
                               parseDouble(entry.substr(colon + 1), what));
    }
    std::string rhs = trim(rowText.substr(eq + 1));
    if (rhs == "truth") {
      if (!truthAllowed) throw BadInput(what + ": rhs \"truth\" is available for PI rows only");
      row.rhsIsTruth = true;
    } else {
      row.rhs = parseDouble(rhs, what);
    }
    rows.push_back(row);
  }
  return rows;
}

}  // namespace detail

// Every option the parser knows, without its leading "--".
inline const std::vector<std::string>& optionNames() {
  // clang-format off
  static const std::vector<std::string> names = {
      "out", "config", "ng", "ids", "records", "t", "forecast", "forecast-y", "interleave", "k",
      "p", "m", "width", "digits", "no-leading-ones", "z", "pi", "l", "phi", "delta", "sigma2",
      "start", "burn-in", "x-mean", "x-scale", "z-mean", "z-scale", "seed", "ldata", "pdata",
      "ddata", "start-phi", "start-delta", "start-sigma2", "restrict-pi", "restrict-pi-ineq",
      "fix-pi", "restrict-phi", "restrict-delta", "diagonal-phi", "diagonal-delta", "zero-phi",
      "iterations", "title", "param", "help"};
  // clang-format on
  return names;
}

inline bool isOption(const std::string& name) {
  for (const std::string& n : optionNames())
    if (name == n) return true;
  return false;
}

// Whether the option takes a value; flags do not.
inline bool takesValue(const std::string& name) {
  static const char* flags[] = {"interleave",   "no-leading-ones", "ldata",    "pdata", "ddata",
                                "diagonal-phi", "diagonal-delta",  "zero-phi", "help"};
  for (const char* f : flags)
    if (name == f) return false;
  return true;
}

void readConfigFile(const std::string& path, Options& o, int depth);

// Applies one option; `value` is ignored by flags.
inline void applyOption(const std::string& name, const std::string& value, Options& o,
                        int depth = 0) {
  using namespace detail;
  if (!isOption(name))
    throw BadInput("unknown option --" + name + " (kova_simulate --help lists the options)");
  const std::string what = "--" + name;
  if (name == "out") {
    if (trim(value).empty()) throw BadInput("--out: empty directory name");
    o.out = value;
  } else if (name == "config") {
    readConfigFile(value, o, depth + 1);
  } else if (name == "ng") {
    o.ng = parseInt(value, what);
  } else if (name == "ids") {
    o.ids = parseIntList(value, what);
  } else if (name == "records") {
    o.records = parseIntList(value, what);
  } else if (name == "t") {
    o.totalT = parseInt(value, what);
    if (o.totalT < 1) throw BadInput("--t: T must be at least 1");
  } else if (name == "forecast") {
    o.forecast = parsePositions(value, what);
  } else if (name == "forecast-y") {
    o.forecastY = parsePositions(value, what);
  } else if (name == "interleave") {
    o.interleave = true;
  } else if (name == "k") {
    o.k = parseInt(value, what);
  } else if (name == "p") {
    o.p = parseInt(value, what);
  } else if (name == "m") {
    o.m = parseInt(value, what);
    if (o.m == 0) throw BadInput("--m: M must be between 1 and 60");
  } else if (name == "width") {
    o.width = parseInt(value, what);
  } else if (name == "digits") {
    o.digits = parseInt(value, what);
  } else if (name == "no-leading-ones") {
    o.leadingOnes = false;
  } else if (name == "z") {
    if (value == "user")
      o.z = ZSource::User;
    else if (value == "default")
      o.z = ZSource::Default;
    else
      throw BadInput("--z: expected user or default, not \"" + value + "\"");
  } else if (name == "pi") {
    o.pi = parseMatrix(value, what);
  } else if (name == "l") {
    o.l = parseMatrix(value, what);
  } else if (name == "phi") {
    o.phi = parseMatrix(value, what);
  } else if (name == "delta") {
    o.delta = parseMatrix(value, what);
  } else if (name == "sigma2") {
    o.sigma2 = parseDouble(value, what);
  } else if (name == "start") {
    if (value == "stationary")
      o.start = StartKind::Stationary;
    else if (value == "zero")
      o.start = StartKind::Zero;
    else
      throw BadInput("--start: expected stationary or zero, not \"" + value + "\"");
  } else if (name == "burn-in") {
    o.burnIn = parseInt(value, what);
  } else if (name == "x-mean") {
    o.xMean = parseDoubleList(value, what);
  } else if (name == "x-scale") {
    o.xScale = parseDoubleList(value, what);
  } else if (name == "z-mean") {
    o.zMean = parseDoubleList(value, what);
  } else if (name == "z-scale") {
    o.zScale = parseDoubleList(value, what);
  } else if (name == "seed") {
    std::string t = trim(value);
    std::size_t used = 0;
    try {
      if (!t.empty() && t[0] != '-') o.seed = std::stoull(t, &used);
    } catch (...) {
      used = 0;
    }
    if (t.empty() || used != t.size())
      throw BadInput("--seed: \"" + value + "\" is not an integer 0..2^64-1");
  } else if (name == "ldata") {
    o.ldata = true;
  } else if (name == "pdata") {
    o.pdata = true;
  } else if (name == "ddata") {
    o.ddata = true;
  } else if (name == "start-phi") {
    o.startPhi = parseMatrix(value, what);
  } else if (name == "start-delta") {
    o.startDelta = parseMatrix(value, what);
  } else if (name == "start-sigma2") {
    o.startSigma2 = parseDouble(value, what);
    o.startSigma2Given = true;
  } else if (name == "restrict-pi") {
    o.piEq = parseRestriction(value, what, true);
  } else if (name == "restrict-pi-ineq") {
    o.piIneq = parseRestriction(value, what, true);
  } else if (name == "fix-pi") {
    o.fixPi = parseIntList(value, what);
  } else if (name == "restrict-phi") {
    o.phiEq = parseRestriction(value, what, false);
  } else if (name == "restrict-delta") {
    o.deltaEq = parseRestriction(value, what, false);
  } else if (name == "diagonal-phi") {
    o.diagonalPhi = true;
  } else if (name == "diagonal-delta") {
    o.diagonalDelta = true;
  } else if (name == "zero-phi") {
    o.zeroPhi = true;
  } else if (name == "iterations") {
    o.iterations = parseInt(value, what);
  } else if (name == "title") {
    o.title = value;
  } else if (name == "param") {
    o.extraParams.push_back(value);
  } else if (name == "help") {
    o.help = true;
  } else {
    throw BadInput("unknown option --" + name + " (kova_simulate --help lists the options)");
  }
}

inline void readConfigFile(const std::string& path, Options& o, int depth) {
  if (depth > 8) throw BadInput("--config: files include each other too deeply");
  std::ifstream in(path);
  if (!in) throw BadInput("--config: cannot read " + path);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    line = detail::trim(line);
    if (line.empty() || line[0] == '#') continue;
    if (line.rfind("--", 0) == 0) line = line.substr(2);
    std::size_t space = line.find_first_of(" \t");
    std::string name = line.substr(0, space);
    std::string value = space == std::string::npos ? "" : detail::trim(line.substr(space));
    if (isOption(name) && takesValue(name) && value.empty())
      throw BadInput(path + " line " + std::to_string(number) + ": --" + name + " needs a value");
    applyOption(name, value, o, depth);
  }
}

}  // namespace kova::simulate
