// Number texts: the CSV's spelling is kept when it fits its field; when it
// does not, the value is respelled exactly (fewer zeros, an exponent), and
// only when no exact spelling fits is it rounded, digit by digit in decimal.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "kova_prepare.h"

namespace kova::prepare {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Zeros written out rather than folded into an exponent stay few.
constexpr int kMaxPlainZeros = 40;

void normalise(Decimal& d) {
  std::size_t lead = d.digits.find_first_not_of('0');
  if (lead == std::string::npos) {
    d.digits.clear();
    d.exponent = 0;
    return;
  }
  d.digits.erase(0, lead);
  std::size_t last = d.digits.find_last_not_of('0');
  d.exponent += static_cast<int>(d.digits.size() - 1 - last);
  d.digits.erase(last + 1);
}

}  // namespace

bool parseDecimal(const std::string& s, Decimal& out) {
  std::size_t i = 0, n = s.size();
  Decimal d;
  if (i < n && (s[i] == '+' || s[i] == '-')) d.negative = s[i++] == '-';
  bool point = false;
  int fraction = 0;
  for (; i < n; ++i) {
    if (isDigit(s[i])) {
      d.digits += s[i];
      if (point) ++fraction;
    } else if (s[i] == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (d.digits.empty()) return false;
  long exponent = 0;
  if (i < n) {
    if (s[i] != 'E' && s[i] != 'e' && s[i] != 'D' && s[i] != 'd') return false;
    ++i;
    bool negative = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    std::size_t first = i;
    for (; i < n && isDigit(s[i]); ++i) exponent = std::min(exponent * 10 + (s[i] - '0'), 1000000L);
    if (i == first || i != n) return false;
    if (negative) exponent = -exponent;
  }
  d.exponent = static_cast<int>(exponent) - fraction;
  normalise(d);
  out = d;
  return true;
}

std::string shortestSpelling(const Decimal& d) {
  if (d.digits.empty()) return "0";
  const int n = static_cast<int>(d.digits.size());
  const int e = d.exponent;
  std::vector<std::string> candidates;
  if (e >= 0) {
    if (e <= kMaxPlainZeros) candidates.push_back(d.digits + std::string(e, '0'));
  } else if (n > -e) {
    candidates.push_back(d.digits.substr(0, n + e) + "." + d.digits.substr(n + e));
  } else if (-e - n <= kMaxPlainZeros) {
    candidates.push_back("0." + std::string(-e - n, '0') + d.digits);
  }
  candidates.push_back(d.digits + "E" + std::to_string(e));
  std::string pointed = d.digits.substr(0, 1);
  if (n > 1) pointed += "." + d.digits.substr(1);
  candidates.push_back(pointed + "E" + std::to_string(e + n - 1));
  std::string best = *std::min_element(
      candidates.begin(), candidates.end(),
      [](const std::string& a, const std::string& b) { return a.size() < b.size(); });
  return d.negative ? "-" + best : best;
}

bool roundToFit(const Decimal& d, int room, Decimal& rounded) {
  const int n = static_cast<int>(d.digits.size());
  for (int keep = n - 1; keep >= 1; --keep) {
    Decimal r = d;
    r.digits = d.digits.substr(0, keep);
    r.exponent = d.exponent + (n - keep);
    if (d.digits[keep] >= '5') {
      int at = keep - 1;
      while (at >= 0 && r.digits[at] == '9') r.digits[at--] = '0';
      if (at >= 0) {
        ++r.digits[at];
      } else {
        r.digits.insert(r.digits.begin(), '1');
      }
    }
    normalise(r);
    if (static_cast<int>(shortestSpelling(r).size()) <= room) {
      rounded = r;
      return true;
    }
  }
  return false;
}

namespace {

// The digits of |value| scaled to the exponent `to` (<= the value's own).
std::string scaled(const Decimal& d, int to) {
  return d.digits + std::string(static_cast<std::size_t>(d.exponent - to), '0');
}

// a - b for digit strings with a >= b.
std::string subtract(std::string a, std::string b) {
  b.insert(0, a.size() - b.size(), '0');
  int borrow = 0;
  for (int i = static_cast<int>(a.size()) - 1; i >= 0; --i) {
    int v = (a[i] - '0') - (b[i] - '0') - borrow;
    borrow = v < 0;
    a[i] = static_cast<char>('0' + v + 10 * borrow);
  }
  return a;
}

bool lessDigits(const std::string& a, const std::string& b) {
  return a.size() != b.size() ? a.size() < b.size() : a < b;
}

// Two significant digits and a decimal exponent for a value given as the
// digits and exponent of a normalised Decimal.
std::string shortScientific(const std::string& digits, int exponent) {
  long double lead = std::strtold(("0." + digits.substr(0, 18)).c_str(), nullptr) * 10.0L;
  int e = exponent + static_cast<int>(digits.size()) - 1;
  char text[48];
  std::snprintf(text, sizeof text, "%.1LfE%+d", lead, e);
  return text;
}

}  // namespace

std::string differenceText(const Decimal& a, const Decimal& b) {
  if (a.digits.empty() && b.digits.empty()) return "0";
  // Both are rounded values of one another and share a sign, so the
  // difference of their magnitudes is the difference of the values.
  int to = std::min(a.digits.empty() ? b.exponent : a.exponent, b.digits.empty() ? a.exponent : b.exponent);
  std::string x = scaled(a, to), y = scaled(b, to);
  if (lessDigits(x, y)) std::swap(x, y);
  Decimal diff;
  diff.digits = subtract(x, y);
  diff.exponent = to;
  normalise(diff);
  if (diff.digits.empty()) return "0";
  std::string text = shortScientific(diff.digits, diff.exponent);
  if (!a.digits.empty()) {
    // relative: leading digits divided, exponents subtracted
    long double ld = std::strtold(("0." + diff.digits.substr(0, 18)).c_str(), nullptr);
    long double la = std::strtold(("0." + a.digits.substr(0, 18)).c_str(), nullptr);
    int e = (diff.exponent + static_cast<int>(diff.digits.size())) -
            (a.exponent + static_cast<int>(a.digits.size()));
    long double q = ld / la;
    while (q < 1.0L) {
      q *= 10.0L;
      --e;
    }
    while (q >= 10.0L) {
      q /= 10.0L;
      ++e;
    }
    char rel[48];
    std::snprintf(rel, sizeof rel, " (relative %.1LfE%+d)", q, e);
    text += rel;
  }
  return text;
}

}  // namespace kova::prepare
