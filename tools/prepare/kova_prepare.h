#pragma once
// kova_prepare: turns a CSV panel (one row per group and period) into a kova
// run directory: PARAMTRS, YXDKEY, YXDATA1/YXDATA2, ZDATA1/ZDATA2 and
// GROUPS.csv, the map from the CSV's group values to kova's identifiers.
//
// Every check on the input runs before anything is written, so bad input
// leaves no file behind. Faults of the input throw BadInput, whose message
// names the file, the line and the column (exit status 2); a file that
// cannot be written throws WriteFailure (exit status 1).
#include <stdexcept>
#include <string>
#include <vector>

#include "csv/csv_table.h"

namespace kova::prepare {

using csv::BadInput;
using csv::CsvRow;
using csv::CsvTable;
using csv::readCsv;

struct WriteFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// kova's capacities that a prepared directory must respect.
constexpr int kMaxGroups = 150;
constexpr int kMaxRecords = 12500;
constexpr int kLineLength = 80;

struct Request {
  std::string csv;
  std::string group, y, time, forecastColumn;
  std::vector<std::string> x, z;
  int forecastLast = 0;
  int iterations = 5;
  std::vector<std::string> options;  // KEY=VALUE, written as given
  std::string out;
  bool force = false;
  bool allowGaps = false;           // records taken as consecutive periods across gaps in --time
  std::vector<std::string> random;  // x columns (or "constant") whose coefficients vary
  bool diagonal = false;            // diagonal PHI and DELTA
};

struct OutputFile {
  std::string name;
  std::string text;
};

struct Prepared {
  std::vector<OutputFile> files;
  std::vector<std::string> warnings;  // values that had to be rounded
  std::string summary;
};

// Checks the whole table against the request and builds every file's text.
Prepared prepare(const Request& request, const CsvTable& table);

// The rows of the panel by group, as prepare() has ordered them.
struct Groups {
  std::vector<std::string> names;         // as the CSV spells them
  std::vector<std::vector<int>> members;  // row indices of each group, in time order
  std::vector<char> forecast;             // per row: a forecast record
};

// Gaps in the --time sequence of a group: BadInput naming the group and the
// times left out, or with --allow-gaps a warning.
void checkTimeGaps(const Request& request, const CsvTable& table, int timeColumn,
                   const Groups& groups, std::vector<std::string>& warnings);

// A warning for each --x or --z column whose value is the same on every
// estimation record of each group: with the leading one it is collinear.
void warnConstantColumns(const CsvTable& table, const std::vector<int>& xColumns,
                         const std::vector<int>& zColumns, const Groups& groups,
                         std::vector<std::string>& warnings);

// The coefficients that vary (--random): for each of the K coefficients
// (the constant, then the --x columns) whether it is random; the name
// "constant" stands for the leading one.
std::vector<bool> randomCoefficients(const Request& request);

// The L-matrix rows (K lines of M fields of `width` columns: 1 where the
// coefficient of the row is the column's random component, else 0), split
// over LDATA1 and LDATA2 as kova reads them.
void appendLMatrix(const std::vector<bool>& random, int width, std::string& first,
                   std::string& second);

// Checks the output directory (absent, empty, or --force) and writes the
// files; with --force, stale YXDATA2/ZDATA1/ZDATA2 that this run does not
// write are removed so that they cannot be mistaken for its data.
void checkOutputDirectory(const Request& request);
void writeDirectory(const Request& request, const Prepared& prepared);

// Number texts as the data files carry them.
struct Decimal {
  bool negative = false;
  std::string digits;  // significant digits, no leading or trailing zeros; empty for 0
  int exponent = 0;    // value = digits * 10**exponent
};

// Parses [sign] digits [. digits] [E|e|D|d [sign] digits] (at least one
// mantissa digit); false for anything else.
bool parseDecimal(const std::string& text, Decimal& out);

// The shortest exact spelling of the value (fixed or with an exponent).
std::string shortestSpelling(const Decimal& d);

// The value rounded, half away from zero, to the most significant digits
// whose shortest spelling fits within `room` characters; false when not even
// one digit fits.
bool roundToFit(const Decimal& d, int room, Decimal& rounded);

// |a - b| and |a - b| / |a|, computed exactly in decimal, as text such as
// "3.0E-21 (relative 1.5E-21)".
std::string differenceText(const Decimal& a, const Decimal& b);

}  // namespace kova::prepare
