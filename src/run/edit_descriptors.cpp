#include "run/edit_descriptors.h"

#include <cstdio>
#include <cstdlib>

namespace kova {

std::string editI(long long value, int w) {
  std::string digits = std::to_string(value);
  if (static_cast<int>(digits.size()) > w) return std::string(w, '*');
  return std::string(w - digits.size(), ' ') + digits;
}

std::string editA(std::string_view text, int w) {
  if (w <= 0) return std::string(text);
  if (static_cast<int>(text.size()) >= w) return std::string(text.substr(0, w));
  return std::string(w - text.size(), ' ') + std::string(text);
}

std::string editX(int n) { return std::string(n > 0 ? n : 0, ' '); }

// The remaining descriptors are being written; these placeholders keep the
// interface usable meanwhile.
std::string editF(double value, int w, int d) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%*.*f", w, d, value);
  std::string s(buf);
  return static_cast<int>(s.size()) > w ? std::string(w, '*') : s;
}
std::string editE(double value, int w, int d) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%*.*E", w, d, value);
  return buf;
}
std::string editD(double value, int w, int d) { return editE(value, w, d); }
std::string editG(double value, int w, int d) { return editE(value, w, d); }

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
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17g", value);
  line_ += buf;
  return *this;
}
ListLine& ListLine::operator<<(bool value) {
  separate(false);
  line_ += value ? 'T' : 'F';
  return *this;
}

bool readIntegerField(std::string_view field, long long& value) {
  std::string packed;
  for (char c : field)
    if (c != ' ') packed += c;
  value = 0;
  if (packed.empty()) return true;
  std::size_t i = 0;
  bool negative = false;
  if (packed[0] == '+' || packed[0] == '-') {
    negative = packed[0] == '-';
    i = 1;
  }
  if (i == packed.size()) return false;
  long long v = 0;
  for (; i < packed.size(); ++i) {
    if (packed[i] < '0' || packed[i] > '9') return false;
    if (v > (9223372036854775807LL - 9) / 10) return false;
    v = v * 10 + (packed[i] - '0');
  }
  value = negative ? -v : v;
  return true;
}

bool readRealField(std::string_view field, double& value) {
  std::string packed;
  for (char c : field)
    if (c != ' ') packed += (c == 'D' || c == 'd') ? 'E' : c;
  value = 0.0;
  if (packed.empty()) return true;
  char* end = nullptr;
  value = std::strtod(packed.c_str(), &end);
  return end && *end == '\0';
}

}  // namespace kova
