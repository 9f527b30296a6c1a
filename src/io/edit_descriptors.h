#pragma once
// Fortran edit descriptors, as gfortran 12 applies them.
//
// Output: each routine returns the field exactly as a formatted WRITE with
// that descriptor produces it, w characters long, filled with asterisks when
// the value does not fit. Numbers are rounded to nearest, ties to even on the
// exact binary value (gfortran's default rounding). A negative sign is
// written whenever the sign bit is set, so -0.0 and small negatives that
// round to zero come out as "-0.00". Infinity is written right-justified as
// "Infinity" when it fits with its sign (w >= 8, or 9 when negative), else as
// "Inf" (w >= 3, or 4), else as asterisks; NaN as "NaN" (w >= 3); a positive
// infinity gets no plus sign. Ew.d, Dw.d and Gw.d need d >= 1; with d = 0 gfortran stops
// the run, and these routines return asterisks.
//
// Input: the routines decode one field as a formatted READ does under
// BLANK='NULL', and return false when the field is not a number; the caller
// reports it, nothing is guessed.
#include <string>
#include <string_view>

namespace kova {

std::string editI(long long value, int w);            // Iw (w = 0: as few columns as needed)
std::string editF(double value, int w, int d);        // Fw.d
std::string editE(double value, int w, int d);        // Ew.d
std::string editE(double value, int w, int d, int e); // Ew.dEe (e = 0: as Ew.d)
std::string editD(double value, int w, int d);        // Dw.d
// Gw.d writes the value with F editing in w-4 columns followed by 4 blanks
// when it rounds (to d significant digits) into [0.1, 10**d), and with Ew.d
// otherwise; zero takes F editing with d-1 decimals. Gw.dEe leaves e+2 blanks
// instead of 4. When the F part does not fit, the blanks are asterisks too.
// The edges of the range follow gfortran's own double arithmetic, so that a
// value within an ulp of a boundary lands on the same side as in gfortran.
std::string editG(double value, int w, int d);        // Gw.d
std::string editG(double value, int w, int d, int e); // Gw.dEe (e = 0: as Gw.d)
std::string editA(std::string_view text, int w);      // Aw: cut to the first w characters or
                                                      // padded with blanks on the left; w <= 0: A
std::string editX(int n);                             // nX

// List-directed output (WRITE(unit,*)) with gfortran's spacing. The line
// starts with one blank; every item after the first is preceded by one blank,
// except a character item that follows a character item. Items take these
// widths: default INTEGER (operator<<(int)) 11 columns, INTEGER(8)
// (operator<<(long long)) 20, LOGICAL 1 ("T" or "F"), character items their
// own length, DOUBLE PRECISION (operator<<(double)) 25 columns holding 17
// significant digits: F form followed by 5 blanks for magnitudes that round
// into [0.1, 1e17) and for zero, else 1PE25.16E3 ("1.0000000000000000E-002").
// Lines are never wrapped (gfortran's default record length is unlimited).
class ListLine {
 public:
  ListLine& operator<<(std::string_view text);
  ListLine& operator<<(const char* text) { return *this << std::string_view(text); }
  ListLine& operator<<(int value);
  ListLine& operator<<(long long value);
  ListLine& operator<<(double value);
  ListLine& operator<<(bool value);
  // A single char would otherwise be promoted to int and listed as a number.
  ListLine& operator<<(char) = delete;
  // The line so far, without a newline.
  const std::string& str() const { return line_; }

 private:
  void separate(bool isText);
  std::string line_ = "";
  bool empty_ = true;
  bool lastWasText_ = false;
};

// Iw input of a default (4-byte) INTEGER: blanks anywhere are ignored, one
// leading sign is allowed, an all-blank field is 0. Returns false, leaving
// `value` unchanged, for anything else: a lone sign, any other character, or
// a value outside -2147483648..2147483647 (gfortran: "Value overflowed").
bool readIntegerField(std::string_view field, long long& value);

// Dw.0 input: blanks anywhere are ignored; an optional sign, digits with at
// most one decimal point, then an optional exponent: a letter E, D or Q (any
// case) with an optional sign, or a sign alone ("1.5+3", "1.5-3"), followed
// by at least one digit. An all-blank field is 0.0. The value is the nearest
// double, as gfortran reads it; a value too small for a double reads as 0 or
// a subnormal, as in gfortran.
//
// Returns false, leaving `value` unchanged, for anything else. This is
// stricter than gfortran on purpose, where gfortran accepts fields that no
// data file means as a number and quietly reads a value: a field with no
// digit before the exponent ("+", "-", ".", "E5" read as 0 by gfortran; a
// lone "-" or "." is a common missing-value mark), a doubled sign ("--1"
// reads as -0.0 in gfortran), "Infinity", "Inf" and "NaN", and a value beyond
// the range of a double (read as Infinity by gfortran). An estimator must not
// run on any of those.
bool readRealField(std::string_view field, double& value);

}  // namespace kova
