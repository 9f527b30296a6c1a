#include "report/group_data_report.h"

#include <algorithm>

#include "report/matrix_printer.h"
#include "io/edit_descriptors.h"
#include "io/messages.h"
#include "io/text_conversion.h"

namespace kova {
namespace {

constexpr int kColumns = 6;

// A name cell: one blank, the name in 10 characters, two blanks. The name is
// left-adjusted before it is cut, so that a name written right-aligned in its
// data field is not lost, then centred in its 10 characters.
std::string nameCell(const std::string& name) {
  std::string field = name;
  int length = leftAdjust(field);
  std::string cell = padded(std::string_view(field).substr(0, std::min(length, 10)), 10);
  centre(cell);
  return " " + cell + "  ";
}

void writeNameLines(const std::vector<std::string>& names, int out) {
  for (std::size_t first = 0; first < names.size(); first += kColumns) {
    writeUnit(out, "");
    std::string line;
    for (std::size_t i = first; i < std::min(names.size(), first + kColumns); ++i)
      line += nameCell(names[i]);
    writeUnit(out, line);
  }
}

void writeValueLines(const std::vector<double>& values, int out) {
  for (std::size_t first = 0; first < values.size(); first += kColumns) {
    std::string line;
    for (std::size_t i = first; i < std::min(values.size(), first + kColumns); ++i)
      line += editG(values[i], 13, 5);
    writeUnit(out, line);
  }
}

struct ColumnSource {
  std::vector<std::string> names;
  // values(j, forecast) gives the full row of period j.
  std::vector<std::vector<double>> estimation, forecast;
};

std::vector<double> slice(const std::vector<double>& row, std::size_t first, std::size_t last) {
  return std::vector<double>(row.begin() + first, row.begin() + std::min(last, row.size()));
}

void writeBlock(const ColumnSource& source, std::size_t first, std::size_t last,
                const char* forecastHeading, int out) {
  writeNameLines(
      std::vector<std::string>(source.names.begin() + first,
                               source.names.begin() + std::min(last, source.names.size())),
      out);
  for (const auto& row : source.estimation) writeValueLines(slice(row, first, last), out);
  if (source.forecast.empty()) return;
  writeUnit(out, "");
  writeUnit(out, forecastHeading);
  for (const auto& row : source.forecast) writeValueLines(slice(row, first, last), out);
}

struct Headings {
  const char* main;
  const char* continuation;
  const char* forecastAll;    // when every column fits in six
  const char* forecastFirst;  // before the first six columns
  const char* forecastRest;   // before the remaining columns
};

void writeTable(const ColumnSource& source, const Headings& h, int out) {
  writeUnit(out, "");
  writeUnit(out, h.main);
  std::size_t n = source.names.size();
  if (n <= kColumns) {
    writeBlock(source, 0, n, h.forecastAll, out);
    return;
  }
  writeBlock(source, 0, kColumns, h.forecastFirst, out);
  writeUnit(out, "");
  writeUnit(out, h.continuation);
  writeBlock(source, kColumns, n, h.forecastRest, out);
}

ColumnSource yxColumns(const GroupDataSection& s) {
  const GroupData& d = *s.data;
  ColumnSource c;
  c.names.push_back(*s.yName);
  c.names.insert(c.names.end(), s.xNames->begin(), s.xNames->end());
  for (int t = 1; t <= d.T; ++t) {
    std::vector<double> row{d.y[t - 1]};
    for (int k = 1; k <= d.K; ++k) row.push_back(d.X(k, t));
    c.estimation.push_back(row);
  }
  for (int t = 1; t <= d.TF; ++t) {
    std::vector<double> row{d.yF[t - 1]};
    for (int k = 1; k <= d.K; ++k) row.push_back(d.XF(k, t));
    c.forecast.push_back(row);
  }
  return c;
}

ColumnSource zColumns(const GroupDataSection& s) {
  const GroupData& d = *s.data;
  ColumnSource c;
  c.names = *s.zNames;
  for (int t = 1; t <= d.T; ++t) {
    std::vector<double> row;
    for (int k = 1; k <= d.P; ++k) row.push_back(d.Z(k, t));
    c.estimation.push_back(row);
  }
  for (int t = 1; t <= d.TF; ++t) {
    std::vector<double> row;
    for (int k = 1; k <= d.P; ++k) row.push_back(d.ZF(k, t));
    c.forecast.push_back(row);
  }
  return c;
}

void writeDataEcho(const GroupDataSection& s, int out) {
  writeTable(yxColumns(s),
             {"---- DATA FROM \"FILE YXDATA1\" , \"FILE YXDATA2\" ----",
              "---- DATA FROM \"FILE YXDATA1\", \"FILE YXDATA2\" (CONTINUATION) ----",
              "Y-DATA AND X-DATA FOR FORECAST:", "Y-DATA,X-DATA FOR FORECAST:",
              "X-DATA FOR FORECAST:"},
             out);
}

void writeZEcho(const GroupDataSection& s, int out) {
  if (s.zSource != 'U') {
    writeUnit(out, "");
    writeUnit(out, "THE Z-VECTORS ARE THE DEFAULT PROGRAM GENERATED Z-VECTORS.");
    writeUnit(out, "THE FIRST COMPONENT OF EACH VECTOR IS 1.0, AND THE OTHER COMPONENTS ARE P-1 ZEROS");
    if (s.data->TF > 0) {
      writeUnit(out, "THE ZF-VECTORS FOR FORECAST ARE THE DEFAULT PROGRAM GENERATED ZF-VECTORS.");
      writeUnit(out, "THE FIRST COMPONENT OF EACH VECTOR IS 1.0, AND THE OTHER COMPONENTS ARE P-1 ZEROS");
    }
  }
  writeTable(zColumns(s),
             {"---- DATA FROM \"FILE ZDATA1\" , \"FILE ZDATA2\" ----",
              "---- DATA FROM \"FILE ZDATA1\", \"FILE ZDATA2\" (CONTINUATION) ----",
              "Z-DATA FOR FORECAST:", "Z-DATA FOR FORECAST:", "Z-DATA FOR FORECAST:"},
             out);
}

void writeLMatrix(const GroupDataSection& s, int out, int messageUnit) {
  if (s.lSource != 'U') {
    writeUnit(out, "");
    writeUnit(out, "THE L-MATRIX IS THE DEFAULT PROGRAM GENERATED MATRIX.");
    writeUnit(out, "THE ENTRIES OF THE MAIN DIAGONAL ARE 1'S, AND THE OTHER COMPONENTS OF THE "
                   "(K X M) MATRIX ARE ZEROS");
    return;
  }
  PRTMAT(s.L.ld, s.L.rows, s.L.cols, s.L.p, out, "THE MATRIX L", messageUnit);
}

void writeRestriction(Restriction& r, const char* matrixTitle, const char* vectorTitle, int out,
                      int messageUnit) {
  if (r.rows < 1) return;
  Mat m = r.coefficients();
  PRTMAT(m.ld, m.rows, m.cols, m.p, out, matrixTitle, messageUnit);
  PRTMAT(r.rows, r.rows, 1, r.vector.data(), out, vectorTitle, messageUnit);
}

}  // namespace

void RPTGDT(const GroupDataSection& s, int out, int messageUnit) {
  PRTHDG(s.groupId, 0, "G", out, messageUnit);
  if (s.printLevel >= 1) {
    writeDataEcho(s, out);
    writeZEcho(s, out);
    writeLMatrix(s, out, messageUnit);
  }
  Restrictions& r = *s.restrictions;
  writeRestriction(r.phi, "THE MATRIX TO CONSTRAIN THE PHI-MATRIX",
                   "THE VECTOR TO CONSTRAIN THE PHI-MATRIX", out, messageUnit);
  writeRestriction(r.pi, "THE MATRIX TO CONSTRAIN THE PI-MATRIX",
                   "THE VECTOR TO CONSTRAIN THE PI-MATRIX", out, messageUnit);
  writeRestriction(r.delta,
                   s.diagonalDelta ? "THE MATRIX TO CONSTRAIN THE DELTA-MATRIX"
                                   : "THE MATRIX TO CONSTRAIN THE DELTAT-MATRIX",
                   "THE VECTOR TO CONSTRAIN THE DELTA-MATRIX", out, messageUnit);
  writeUnit(out, "");
  writeUnit(out, "");
  writeUnit(out, "NUMBER OF ITERATIONS FOR THIS GROUP =" + editI(s.iterations + 1, 4));
}

}  // namespace kova
