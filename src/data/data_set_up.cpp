#include "data/data_set_up.h"

#include <algorithm>

#include "data/data_lines.h"
#include "data/restriction_files.h"
#include "io/error_report.h"
#include "io/file_services.h"
#include "io/fortran_io.h"
#include "io/record_io.h"
#include "io/text_conversion.h"

namespace kova {
namespace {

constexpr const char* kCaller = "SUBROUTINE SETDAT";
constexpr double kMissingY = -999999.0;

// filesNeeded: the files held open at once while the records are routed,
// which an open that finds the limit on open files reached quotes.
void openData(const NamedUnit& file, int logUnit, int filesNeeded = 0) {
  int iocond = 0;
  openFile(file.unit, logUnit, file.name, "FORMATTED", "OLD", iocond, kCaller, "STOP",
           filesNeeded);
  rewindFile(file.unit, logUnit, file.name, iocond, kCaller, "STOP");
}

void openScratch(const NamedUnit& file, int logUnit, int filesNeeded) {
  int iocond = 0;
  openFile(file.unit, logUnit, file.name, "UNFORMATTED", "UNKNOWN", iocond, kCaller, "STOP",
           filesNeeded);
  rewindFile(file.unit, logUnit, file.name, iocond, kCaller, "STOP");
}

void closeKept(const NamedUnit& file, int logUnit) {
  int iocond = 0;
  closeFile(file.unit, logUnit, file.name, "KEEP", iocond, kCaller, "CONTINUE");
}

// A scratch record that cannot be written would silently lose data.
void checkWrite(int iocond, const NamedUnit& file, int logUnit) {
  if (iocond == 0) return;
  reportError(" IN SUBROUTINE SETDAT, ERROR IN WRITING FILE " + std::string(trimmed(file.name)) +
                  ", IOCOND = " + std::to_string(iocond) + ".",
              "STOP", logUnit);
}

void writeScratch(const NamedUnit& file, const double* values, int n, int logUnit) {
  checkWrite(writeDoubles(file.unit, values, n), file, logUnit);
}

// Dimensions that the fixed arrays of the set-up cannot hold, or that make no
// model, would corrupt memory or divide by zero further on.
void checkDimensions(const DataSetUpSettings& s, int logUnit) {
  auto fail = [&](const std::string& what) {
    reportError(" IN SUBROUTINE SETDAT, " + what, "STOP", logUnit);
  };
  if (s.width < 1 || s.width > 80)
    fail("THE DATA FIELD WIDTH (WID) MUST LIE BETWEEN 1 AND 80; IT IS " +
         std::to_string(s.width) + ".");
  if (s.K < 1 || s.P < 1 || s.M < 1)
    fail("THE DIMENSIONS K, P AND M MUST BE AT LEAST 1; THEY ARE " + std::to_string(s.K) + ", " +
         std::to_string(s.P) + " AND " + std::to_string(s.M) + ".");
  if (s.K > kBlockRows || s.P > kBlockRows)
    fail("K AND P MAY NOT EXCEED " + std::to_string(kBlockRows) + "; THEY ARE " +
         std::to_string(s.K) + " AND " + std::to_string(s.P) + ".");
  if (s.K > kLMatrixRows)
    fail("K MAY NOT EXCEED " + std::to_string(kLMatrixRows) +
         ", THE ROW CAPACITY OF THE L-MATRIX; IT IS " + std::to_string(s.K) + ".");
}

// How a record's fields are spread over a file and its continuation file.
struct Split {
  int fields = 0;  // fields a record needs
  int first = 0;   // of them, on the line of the first file
  bool continued() const { return fields > first; }
};

Split splitOf(int fields, int perLine) { return Split{fields, std::min(fields, perLine)}; }

using ForecastOption = std::array<char, 2>;
bool isForecast(const ForecastOption& o) { return o[0] == 'F' || o[1] == 'F'; }
bool yGiven(const ForecastOption& o) { return o[0] == 'Y' || o[1] == 'Y'; }

struct Reading {
  const DataSetUpSettings& s;
  const FileTable& files;
  DataSetUpArrays& arrays;
  int logUnit;
  int F;      // fields per line
  int first;  // 1-based index of the first x and z component in the files
  Split yx, z;
  bool userZ;
};

void readNames(const Reading& r, VariableNames& names) {
  DataLine line, more;
  readDataLine(r.files[Fixed::YXDATA1], line, kCaller, r.logUnit);
  if (r.yx.continued()) readDataLine(r.files[Fixed::YXDATA2], more, kCaller, r.logUnit);
  for (int f = 0; f < r.yx.fields; ++f) {
    std::string name = f < r.yx.first ? nameField(line.text, f, r.s.width)
                                      : nameField(more.text, f - r.yx.first, r.s.width);
    if (f == 0)
      names.y = name;
    else
      names.x[r.first + f - 2] = name;
  }
  if (!r.userZ || r.z.fields == 0) return;
  readDataLine(r.files[Fixed::ZDATA1], line, kCaller, r.logUnit);
  if (r.z.continued()) readDataLine(r.files[Fixed::ZDATA2], more, kCaller, r.logUnit);
  for (int f = 0; f < r.z.fields; ++f)
    names.z[r.first + f - 1] = f < r.z.first ? nameField(line.text, f, r.s.width)
                                             : nameField(more.text, f - r.z.first, r.s.width);
}

// Reads the y/x lines of one block: all first-file lines, then all
// continuation lines.
void readYXBlock(const Reading& r, const KeyArrays& keys, int start, int n,
                 std::vector<DataLine>& lines) {
  const int w = r.s.width;
  const NamedUnit& f1 = r.files[Fixed::YXDATA1];
  const NamedUnit& f2 = r.files[Fixed::YXDATA2];
  for (int i = 0; i < n; ++i) readDataLine(f1, lines[i], kCaller, r.logUnit);
  for (int i = 0; i < n; ++i) {
    const ForecastOption& options = keys.YFOPTS[start + i];
    r.arrays.yBlock[i] = (isForecast(options) && !yGiven(options))
                             ? kMissingY
                             : dataField(lines[i], 0, w, f1, kCaller, r.logUnit);
    for (int f = 1; f < r.yx.first; ++f)
      r.arrays.xBlock(r.first + f - 1, i + 1) = dataField(lines[i], f, w, f1, kCaller, r.logUnit);
  }
  if (!r.yx.continued()) return;
  for (int i = 0; i < n; ++i) readDataLine(f2, lines[i], kCaller, r.logUnit);
  for (int i = 0; i < n; ++i)
    for (int f = r.yx.first; f < r.yx.fields; ++f)
      r.arrays.xBlock(r.first + f - 1, i + 1) =
          dataField(lines[i], f - r.yx.first, w, f2, kCaller, r.logUnit);
}

void readZBlock(const Reading& r, int n, std::vector<DataLine>& lines) {
  const int w = r.s.width;
  if (!r.userZ) {
    for (int i = 1; i <= n; ++i)
      for (int k = 1; k <= r.s.P; ++k) r.arrays.zBlock(k, i) = k == 1 ? 1.0 : 0.0;
    return;
  }
  if (r.z.fields == 0) return;
  const NamedUnit& f1 = r.files[Fixed::ZDATA1];
  const NamedUnit& f2 = r.files[Fixed::ZDATA2];
  for (int i = 0; i < n; ++i) readDataLine(f1, lines[i], kCaller, r.logUnit);
  for (int i = 0; i < n; ++i)
    for (int f = 0; f < r.z.first; ++f)
      r.arrays.zBlock(r.first + f, i + 1) = dataField(lines[i], f, w, f1, kCaller, r.logUnit);
  if (!r.z.continued()) return;
  for (int i = 0; i < n; ++i) readDataLine(f2, lines[i], kCaller, r.logUnit);
  for (int i = 0; i < n; ++i)
    for (int f = r.z.first; f < r.z.fields; ++f)
      r.arrays.zBlock(r.first + f, i + 1) =
          dataField(lines[i], f - r.z.first, w, f2, kCaller, r.logUnit);
}

void routeBlock(const Reading& r, const KeyArrays& keys, const int* groupOfRecord, int start,
                int n, GroupTable& groups) {
  for (int i = 0; i < n; ++i) {
    int p = start + i;
    int g = groupOfRecord[p];
    bool forecast = isForecast(keys.YFOPTS[p]);
    const NamedUnit& y = r.files.scratch(forecast ? Family::YFCAST : Family::YDATA, g);
    const NamedUnit& x = r.files.scratch(forecast ? Family::XFCAST : Family::XDATA, g);
    const NamedUnit& z = r.files.scratch(forecast ? Family::ZFCAST : Family::ZDATA, g);
    writeScratch(y, &r.arrays.yBlock[i], 1, r.logUnit);
    writeScratch(x, r.arrays.xBlock.col(i + 1), r.s.K, r.logUnit);
    writeScratch(z, r.arrays.zBlock.col(i + 1), r.s.P, r.logUnit);
    ++(forecast ? groups.foundForecast : groups.foundEstimation)[g - 1];
  }
}

constexpr Family kDataFamilies[] = {Family::YDATA,  Family::XDATA,  Family::ZDATA,
                                    Family::YFCAST, Family::XFCAST, Family::ZFCAST};

void checkCounts(const GroupTable& groups, int NG, int logUnit) {
  for (int g = 0; g < NG; ++g) {
    if (groups.estimationRecords[g] != groups.foundEstimation[g])
      reportError("IN SUBROUTINE SETDAT, DISCREPENCY OCCURS BETWEEN DATA COUNTS IN A GROUP -- "
                  "ERROR POSSIBLY OCCURS IN ARRAY YFOPTS.",
                  "STOP", logUnit);
    if (groups.forecastRecords[g] != groups.foundForecast[g])
      reportError("IN SUBROUTINE SETDAT, DISCREPENCY OCCURS BETWEEN DATA COUNTS IN A GROUP -- "
                  "COUNT FROM YXDKEY VERSUS COUNT FROM DATA FILES.",
                  "STOP", logUnit);
  }
}

// Reads `rows` rows of `cols` values: row j from line j of the first file
// (after `skipLines` lines), overflow beyond F values from line j of the
// continuation file.
void readMatrixRows(const Reading& r, Fixed first, Fixed second, int rows, int cols, Mat out) {
  const int w = r.s.width;
  Split split = splitOf(cols, r.F);
  DataLine line;
  for (int j = 1; j <= rows; ++j) {
    readDataLine(r.files[first], line, kCaller, r.logUnit);
    for (int c = 0; c < split.first; ++c)
      out(j, c + 1) = dataField(line, c, w, r.files[first], kCaller, r.logUnit);
  }
  if (!split.continued()) return;
  for (int j = 1; j <= rows; ++j) {
    readDataLine(r.files[second], line, kCaller, r.logUnit);
    for (int c = split.first; c < cols; ++c)
      out(j, c + 1) = dataField(line, c - split.first, w, r.files[second], kCaller, r.logUnit);
  }
}

bool continuationNeeded(const Reading& r, int cols) { return splitOf(cols, r.F).continued(); }

void setUpLMatrix(const Reading& r) {
  const DataSetUpSettings& s = r.s;
  Mat L = r.arrays.L;
  if (s.lSource == 'U') {
    bool second = continuationNeeded(r, s.M);
    openData(r.files[Fixed::LDATA1], r.logUnit);
    if (second) openData(r.files[Fixed::LDATA2], r.logUnit);
    readMatrixRows(r, Fixed::LDATA1, Fixed::LDATA2, s.K, s.M, L);
    closeKept(r.files[Fixed::LDATA1], r.logUnit);
    if (second) closeKept(r.files[Fixed::LDATA2], r.logUnit);
    return;
  }
  if (s.M != s.K)
    reportError("IN SUBROUTINE SETDAT, FOR GENERATING THE DEFAULT LU-MATRIX, THE DIMENSION M IS "
                "NOT EQUAL TO THE DIMENSION K.",
                "STOP", r.logUnit);
  for (int i = 1; i <= s.M; ++i)
    for (int j = 1; j <= s.K; ++j) L(j, i) = j == i ? 1.0 : 0.0;
}

// The elements of a matrix in column order without gaps, as one record holds them.
std::vector<double> columnOrder(Mat m) {
  std::vector<double> out;
  out.reserve(static_cast<std::size_t>(m.rows) * m.cols);
  for (int j = 1; j <= m.cols; ++j)
    for (int i = 1; i <= m.rows; ++i) out.push_back(m(i, j));
  return out;
}

void setUpStartingPhi(const Reading& r, int NG) {
  const DataSetUpSettings& s = r.s;
  bool second = continuationNeeded(r, s.M);
  openData(r.files[Fixed::PDATA1], r.logUnit);
  if (second) openData(r.files[Fixed::PDATA2], r.logUnit);
  readMatrixRows(r, Fixed::PDATA1, Fixed::PDATA2, s.M, s.M, r.arrays.phi);
  closeKept(r.files[Fixed::PDATA1], r.logUnit);
  if (second) closeKept(r.files[Fixed::PDATA2], r.logUnit);
  std::vector<double> packed = columnOrder(r.arrays.phi);
  for (int g = 1; g <= NG; ++g) {
    const NamedUnit& file = r.files.scratch(Family::PHDATG, g);
    writeScratch(file, packed.data(), s.M * s.M, r.logUnit);
    closeKept(file, r.logUnit);
  }
}

void setUpStartingDelta(const Reading& r, int NG) {
  const DataSetUpSettings& s = r.s;
  bool second = continuationNeeded(r, s.M);
  const NamedUnit& d1 = r.files[Fixed::DDATA1];
  openData(d1, r.logUnit);
  if (second) openData(r.files[Fixed::DDATA2], r.logUnit);
  DataLine line;
  readDataLine(d1, line, kCaller, r.logUnit);
  double sigma2 = dataField(line, 0, s.width, d1, kCaller, r.logUnit);
  readMatrixRows(r, Fixed::DDATA1, Fixed::DDATA2, s.M, s.M, r.arrays.delta);
  closeKept(d1, r.logUnit);
  if (second) closeKept(r.files[Fixed::DDATA2], r.logUnit);
  std::vector<double> packed = columnOrder(r.arrays.delta);
  for (int g = 1; g <= NG; ++g) {
    const NamedUnit& file = r.files.scratch(Family::DTDATG, g);
    writeScratch(file, &sigma2, 1, r.logUnit);
    writeScratch(file, packed.data(), s.M * s.M, r.logUnit);
    closeKept(file, r.logUnit);
  }
}

}  // namespace

int phiRestrictionColumns(int M, bool diagonal) { return diagonal ? M : M * M; }
int piRestrictionColumns(int K, int P) { return P * K; }
int deltaRestrictionColumns(int M, bool diagonal) { return diagonal ? M : M * (M + 1) / 2; }

void SETDAT(const DataSetUpSettings& s, const KeyArrays& keys, GroupTable& groups, int NG,
            const FileTable& files, DataSetUpArrays& arrays, Restrictions& restrictions,
            VariableNames& names, bool& dataReady, bool& restrictionsReady, int logUnit) {
  checkDimensions(s, logUnit);
  const int N = s.N;
  const int B = s.blockRecords;
  const int first = s.leadingOnes ? 2 : 1;
  Reading r{s, files, arrays, logUnit, 80 / s.width, first, {}, {}, s.zSource == 'U'};
  r.yx = splitOf(1 + s.K - first + 1, r.F);
  r.z = splitOf(s.P - first + 1, r.F);

  // Every group's files stay open while the records are routed: with many
  // groups this is the most files the run holds open at once.
  const bool readZ = r.userZ && r.z.fields > 0;
  const int filesNeeded = openUnitCount() + 2 +
                          NG * (6 + (s.phiSource == 'U') + (s.deltaSource == 'U')) +
                          (r.yx.continued() ? 2 : 1) + (readZ ? (r.z.continued() ? 2 : 1) : 0);
  const NamedUnit& saveKeys = files[Fixed::SAVEKEYS];
  const NamedUnit& savePoint = files[Fixed::SAVEDPNT];
  openScratch(saveKeys, logUnit, filesNeeded);
  openScratch(savePoint, logUnit, filesNeeded);
  for (int g = 1; g <= NG; ++g) {
    for (Family f : kDataFamilies) openScratch(files.scratch(f, g), logUnit, filesNeeded);
    if (s.phiSource == 'U') openScratch(files.scratch(Family::PHDATG, g), logUnit, filesNeeded);
    if (s.deltaSource == 'U') openScratch(files.scratch(Family::DTDATG, g), logUnit, filesNeeded);
  }
  openData(files[Fixed::YXDATA1], logUnit, filesNeeded);
  if (r.yx.continued()) openData(files[Fixed::YXDATA2], logUnit, filesNeeded);
  if (readZ) {
    openData(files[Fixed::ZDATA1], logUnit, filesNeeded);
    if (r.z.continued()) openData(files[Fixed::ZDATA2], logUnit, filesNeeded);
  }
  checkWrite(writeInts(saveKeys.unit, keys.DKEY, N), saveKeys, logUnit);
  checkWrite(writeInts(savePoint.unit, keys.DPOINT, N), savePoint, logUnit);

  // The record-to-group table, built in the storage of DKEY: sorting DPOINT
  // into file order carries each record's group position along.
  int* groupOfRecord = keys.DKEY;
  for (int g = 1, p = 0; g <= NG; ++g)
    for (int k = 0; k < groups.keys[g - 1]; ++k) groupOfRecord[p++] = g;
  HPSORT(N, keys.DPOINT, groupOfRecord, logUnit, "STOP");

  for (int g = 0; g < NG; ++g) groups.foundEstimation[g] = groups.foundForecast[g] = 0;
  names.y = std::string(80, ' ');
  names.x.assign(s.K, std::string(80, ' '));
  names.z.assign(s.P, std::string(80, ' '));
  readNames(r, names);
  if (s.leadingOnes) names.x[0] = names.z[0] = padded("CONSTANT", 80);

  std::vector<DataLine> lines(B);
  for (int start = 0; start < N; start += B) {
    int n = std::min(B, N - start);
    if (s.leadingOnes)
      for (int i = 1; i <= B; ++i) arrays.xBlock(1, i) = arrays.zBlock(1, i) = 1.0;
    readYXBlock(r, keys, start, n, lines);
    readZBlock(r, n, lines);
    routeBlock(r, keys, groupOfRecord, start, n, groups);
  }

  closeKept(files[Fixed::YXDATA1], logUnit);
  if (r.yx.continued()) closeKept(files[Fixed::YXDATA2], logUnit);
  if (readZ) {
    closeKept(files[Fixed::ZDATA1], logUnit);
    if (r.z.continued()) closeKept(files[Fixed::ZDATA2], logUnit);
  }
  for (int g = 1; g <= NG; ++g)
    for (Family f : kDataFamilies) closeKept(files.scratch(f, g), logUnit);

  int iocond = 0;
  rewindFile(saveKeys.unit, logUnit, saveKeys.name, iocond, kCaller, "STOP");
  rewindFile(savePoint.unit, logUnit, savePoint.name, iocond, kCaller, "STOP");
  checkWrite(readInts(saveKeys.unit, keys.DKEY, N), saveKeys, logUnit);
  checkWrite(readInts(savePoint.unit, keys.DPOINT, N), savePoint, logUnit);
  closeKept(saveKeys, logUnit);
  closeKept(savePoint, logUnit);

  checkCounts(groups, NG, logUnit);
  setUpLMatrix(r);
  if (s.phiSource == 'U') setUpStartingPhi(r, NG);
  if (s.deltaSource == 'U') setUpStartingDelta(r, NG);

  RestrictionReader reader{files, s.width, logUnit};
  restrictions.phi.rows = s.phiRows;
  restrictions.phi.cols = phiRestrictionColumns(s.M, s.diagonalPhi);
  restrictions.pi.rows = s.piRows;
  restrictions.pi.cols = piRestrictionColumns(s.K, s.P);
  restrictions.delta.rows = s.deltaRows;
  restrictions.delta.cols = deltaRestrictionColumns(s.M, s.diagonalDelta);
  readRestriction(reader, RestrictionKind::Phi, restrictions.phi);
  readRestriction(reader, RestrictionKind::Pi, restrictions.pi);
  readRestriction(reader, RestrictionKind::Delta, restrictions.delta);

  dataReady = restrictionsReady = true;
  for (int g = 0; g < NG; ++g) groups.MAXITG[g] = s.iterations;
}

}  // namespace kova
