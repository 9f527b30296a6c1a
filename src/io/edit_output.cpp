// Output edit descriptors and list-directed output, laid out as gfortran 12
// lays them out. The digits always come from std::to_chars with a precision,
// which rounds the exact binary value to nearest, ties to even, as gfortran's
// default rounding does (and as C's printf does, without its cost); the code
// here only places them.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

#include "io/edit_descriptors.h"

namespace kova {
namespace {

std::string stars(int w) { return std::string(w > 0 ? w : 0, '*'); }

bool isStars(const std::string& field) {
  return !field.empty() && field.find_first_not_of('*') == std::string::npos;
}

// The digits of a finite value in the form of printf's "%#.*e" or "%#.*f":
// scientific "d.ddde+xx" or fixed "ddd.ddd", with the point even when no
// digit follows it.
std::string printed(std::chars_format form, int precision, double value) {
  // The longest fixed text: 309 integer digits, the point and the decimals.
  std::string text(static_cast<std::size_t>(330 + (precision > 0 ? precision : 0)), '\0');
  const auto r = std::to_chars(text.data(), text.data() + text.size(), value, form, precision);
  text.resize(static_cast<std::size_t>(r.ptr - text.data()));
  if (precision == 0) {
    if (form == std::chars_format::fixed)
      text += '.';
    else
      text.insert(1, ".");
  }
  return text;
}

// gfortran spells out "Infinity" only when the sign (if negative) fits too,
// and otherwise falls back to "Inf"; a positive infinity gets no plus sign.
std::string infinityOrNan(double value, int w) {
  if (w < 3) return stars(w);
  std::string field(static_cast<std::size_t>(w), ' ');
  if (std::isnan(value)) return field.replace(w - 3, 3, "NaN");
  bool negative = std::signbit(value);
  if (negative && w == 3) return stars(w);
  if (w > (negative ? 8 : 7)) {
    field.replace(w - 8, 8, "Infinity");
    if (negative) field[w - 9] = '-';
  } else {
    field.replace(w - 3, 3, "Inf");
    if (negative) field[w - 4] = '-';
  }
  return field;
}

// The common tail of every numeric field: blanks, the sign, a zero before the
// point only when there are no integer digits and a column is left for it,
// the digits, the point, the fraction and the exponent. A field of one
// column, or of two with a sign, never holds a number.
std::string assemble(bool negative, std::string_view before, std::string_view after,
                     std::string_view exponent, int w) {
  int used = static_cast<int>(before.size() + after.size() + exponent.size()) + 1 + (negative ? 1 : 0);
  int blanks = w - used;
  if (blanks < 0 || w == 1 || (w == 2 && negative)) return stars(w);
  bool leadingZero = before.empty() && blanks > 0;
  if (leadingZero) --blanks;
  std::string field(static_cast<std::size_t>(blanks), ' ');
  if (negative) field += '-';
  if (leadingZero) field += '0';
  field.append(before).append(".").append(after).append(exponent);
  return field;
}

// The exponent part for Ew.d (e = 0): "E+dd", or "+ddd" without the letter
// once the exponent needs three digits; Ew.dEe: the letter and e digits.
// Returns false when the exponent does not fit.
// The sign and the magnitude in `digits` digits, zeros in front.
std::string signedDigits(int exponent, int digits) {
  std::string magnitude = std::to_string(std::abs(exponent));
  std::string text(1, exponent < 0 ? '-' : '+');
  text.append(static_cast<std::size_t>(std::max(digits - static_cast<int>(magnitude.size()), 0)),
              '0');
  return text + magnitude;
}

bool exponentText(int exponent, int e, char letter, std::string& text) {
  int magnitude = std::abs(exponent);
  if (e <= 0) {
    if (magnitude > 999) return false;
    text = magnitude > 99 ? signedDigits(exponent, 3) : letter + signedDigits(exponent, 2);
    return true;
  }
  int digits = static_cast<int>(std::to_string(magnitude).size());
  if (digits > e || e > 40) return false;
  text = letter + signedDigits(exponent, e);
  return true;
}

// Ew.d and Dw.d ("0.ddddE+xx"), or with a scale factor of 1 as list-directed
// output uses ("d.dddE+xxx", d digits after the point).
std::string exponentForm(double value, int w, int d, int e, char letter, bool scaleOne) {
  if (!std::isfinite(value)) return infinityOrNan(value, w);
  if (d <= 0) return stars(w);
  double magnitude = std::fabs(value);
  std::string text = printed(std::chars_format::scientific, scaleOne ? d : d - 1, magnitude);
  std::size_t at = text.find('e');
  std::string digits = text.substr(0, 1) + text.substr(2, at - 2);
  int exponent = magnitude == 0.0 ? 0 : std::atoi(text.c_str() + at + 1) + (scaleOne ? 0 : 1);
  std::string expText;
  if (!exponentText(exponent, e, letter, expText)) return stars(w);
  bool negative = std::signbit(value);
  if (scaleOne) return assemble(negative, digits.substr(0, 1), digits.substr(1), expText, w);
  return assemble(negative, "", digits, expText, w);
}

// 10**k by repeated multiplication, as gfortran computes it.
double powerOfTen(int k) {
  double r = 1.0;
  for (int i = 0; i < (k >= 0 ? k : -k); ++i) r *= 10;
  return k >= 0 ? r : 1.0 / r;
}

// G editing's choice for a magnitude m with d significant digits: true with
// the number of decimals for F editing, false for E editing. The boundaries
// 10**k - 0.5*10**(k-d) are computed in double arithmetic exactly as gfortran
// computes them (10**k times 1 - 0.5/10**d), not in exact decimal, so that a
// value within an ulp of a boundary goes the same way as in gfortran.
bool fixedDecimals(double m, int d, int& decimals) {
  if (m == 0.0) {
    decimals = d - 1;
    return true;
  }
  const double tenToD = powerOfTen(d);
  const double scale = 1 - 0.5 / tenToD;
  if (m < 0.1 * scale || 0.5 >= tenToD - m) return false;
  int k = 1;  // the decade: m < 10**(k-1) * scale
  while (k <= d && !(m < powerOfTen(k - 1) * scale)) ++k;
  decimals = d + 1 - k;
  return true;
}

// List-directed DOUBLE PRECISION: G25.17E3 with a scale factor of 1, i.e.
// 17 significant digits in F form plus 5 blanks, or in 1PE25.16E3 form.
std::string listReal(double value) {
  constexpr int kWidth = 25, kDigits = 17, kPad = 5;
  if (!std::isfinite(value)) return infinityOrNan(value, kWidth);
  int decimals;
  if (fixedDecimals(std::fabs(value), kDigits, decimals))
    return editF(value, kWidth - kPad, decimals) + std::string(kPad, ' ');
  return exponentForm(value, kWidth, kDigits - 1, 3, 'E', true);
}

}  // namespace

std::string editI(long long value, int w) {
  std::string digits = std::to_string(value);
  if (w <= 0) return digits;
  if (static_cast<int>(digits.size()) > w) return stars(w);
  return std::string(w - digits.size(), ' ') + digits;
}

std::string editF(double value, int w, int d) {
  if (!std::isfinite(value)) return infinityOrNan(value, w);
  if (d < 0) return stars(w);
  std::string text = printed(std::chars_format::fixed, d, std::fabs(value));
  std::size_t point = text.find('.');
  std::size_t firstNonZero = text.find_first_not_of('0');
  std::size_t start = firstNonZero < point ? firstNonZero : point;
  return assemble(std::signbit(value), std::string_view(text).substr(start, point - start),
                  std::string_view(text).substr(point + 1), "", w);
}

std::string editE(double value, int w, int d) { return exponentForm(value, w, d, 0, 'E', false); }

std::string editE(double value, int w, int d, int e) {
  return exponentForm(value, w, d, e, 'E', false);
}

std::string editD(double value, int w, int d) { return exponentForm(value, w, d, 0, 'D', false); }

std::string editG(double value, int w, int d) { return editG(value, w, d, 0); }

std::string editG(double value, int w, int d, int e) {
  if (!std::isfinite(value)) return infinityOrNan(value, w);
  if (d <= 0) return stars(w);
  int decimals;
  if (!fixedDecimals(std::fabs(value), d, decimals)) return exponentForm(value, w, d, e, 'E', false);
  int pad = e <= 0 ? 4 : e + 2;
  if (pad >= w) pad = w - 1;
  std::string field = editF(value, w - pad, decimals);
  // When the F part overflows, gfortran stars the blanks after it as well.
  if (isStars(field)) return stars(w);
  return field + std::string(static_cast<std::size_t>(pad), ' ');
}

std::string editA(std::string_view text, int w) {
  if (w <= 0) return std::string(text);
  if (static_cast<int>(text.size()) >= w) return std::string(text.substr(0, w));
  return std::string(w - text.size(), ' ') + std::string(text);
}

std::string editX(int n) { return std::string(n > 0 ? n : 0, ' '); }

void ListLine::separate(bool isText) {
  if (empty_ || !(isText && lastWasText_)) line_ += ' ';
  empty_ = false;
  lastWasText_ = isText;
}

ListLine& ListLine::operator<<(std::string_view text) {
  separate(true);
  line_ += text;
  return *this;
}

ListLine& ListLine::operator<<(int value) {
  separate(false);
  line_ += editI(value, 11);
  return *this;
}

ListLine& ListLine::operator<<(long long value) {
  separate(false);
  line_ += editI(value, 20);
  return *this;
}

ListLine& ListLine::operator<<(double value) {
  separate(false);
  line_ += listReal(value);
  return *this;
}

ListLine& ListLine::operator<<(bool value) {
  separate(false);
  line_ += value ? 'T' : 'F';
  return *this;
}

}  // namespace kova
