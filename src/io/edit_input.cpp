// Input of numeric fields by Iw and Dw.0 rules under BLANK='NULL'.
#include <cmath>
#include <cstdlib>

#include "io/edit_descriptors.h"

namespace kova {
namespace {

std::string withoutBlanks(std::string_view field) {
  std::string packed;
  for (char c : field)
    if (c != ' ') packed += c;
  return packed;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isSign(char c) { return c == '+' || c == '-'; }

bool isExponentLetter(char c) {
  switch (c) {
    case 'E': case 'e': case 'D': case 'd': case 'Q': case 'q':
      return true;
    default:
      return false;
  }
}

}  // namespace

bool readIntegerField(std::string_view field, long long& value) {
  std::string s = withoutBlanks(field);
  if (s.empty()) {
    value = 0;
    return true;
  }
  std::size_t i = isSign(s[0]) ? 1 : 0;
  bool negative = s[0] == '-';
  if (i == s.size()) return false;
  long long magnitude = 0;
  for (; i < s.size(); ++i) {
    if (!isDigit(s[i])) return false;
    magnitude = magnitude * 10 + (s[i] - '0');
    if (magnitude > 2147483648LL) return false;  // stops long before long long overflows
  }
  if (!negative && magnitude > 2147483647LL) return false;
  value = negative ? -magnitude : magnitude;
  return true;
}

bool readRealField(std::string_view field, double& value) {
  std::string s = withoutBlanks(field);
  if (s.empty()) {
    value = 0.0;
    return true;
  }
  // Rewrite the field in the form strtod reads: [sign]digits[.digits][e[sign]digits].
  std::string number;
  std::size_t i = 0;
  if (isSign(s[i])) number += s[i++];
  int mantissaDigits = 0;
  bool point = false;
  for (; i < s.size(); ++i) {
    if (isDigit(s[i])) {
      ++mantissaDigits;
    } else if (s[i] == '.' && !point) {
      point = true;
    } else {
      break;
    }
    number += s[i];
  }
  if (mantissaDigits == 0) return false;
  if (i < s.size()) {
    if (isExponentLetter(s[i])) {
      ++i;
    } else if (!isSign(s[i])) {
      return false;
    }
    number += 'e';
    if (i < s.size() && isSign(s[i])) number += s[i++];
    int exponentDigits = 0;
    for (; i < s.size() && isDigit(s[i]); ++i, ++exponentDigits) number += s[i];
    if (exponentDigits == 0 || i != s.size()) return false;
  }
  // The text is plain ASCII with a '.' point, and the program never changes
  // the C locale, so strtod reads it exactly (correctly rounded).
  char* end = nullptr;
  double v = std::strtod(number.c_str(), &end);
  if (end != number.c_str() + number.size() || std::isinf(v)) return false;
  value = v;
  return true;
}

}  // namespace kova
