#pragma once
// Fortran edit descriptors, as gfortran applies them.
//
// Output: each routine returns the field exactly as a formatted WRITE with
// that descriptor produces it, asterisks included when the value does not
// fit. Input: the routines decode one field as a formatted READ does, and
// return false when the field is not a number (it is reported by the caller,
// never guessed).
#include <string>
#include <string_view>

namespace kova {

std::string editI(long long value, int w);            // Iw
std::string editF(double value, int w, int d);        // Fw.d
std::string editE(double value, int w, int d);        // Ew.d
std::string editD(double value, int w, int d);        // Dw.d
std::string editG(double value, int w, int d);        // Gw.d
std::string editA(std::string_view text, int w);      // Aw: cut or padded on the left
std::string editX(int n);                             // nX

// List-directed output (WRITE(unit,*)) with gfortran's spacing: the line
// starts with one blank; numbers take gfortran's field widths; adjacent
// character items are not separated.
class ListLine {
 public:
  ListLine& operator<<(std::string_view text);
  ListLine& operator<<(const char* text) { return *this << std::string_view(text); }
  ListLine& operator<<(int value);
  ListLine& operator<<(long long value);
  ListLine& operator<<(double value);
  ListLine& operator<<(bool value);
  const std::string& str() const { return line_; }

 private:
  void separate(bool isText);
  std::string line_ = "";
  bool empty_ = true;
  bool lastWasText_ = false;
};

// Iw input: blanks are ignored, a leading sign is allowed, an all-blank
// field is 0.
bool readIntegerField(std::string_view field, long long& value);

// Dw.0 input: blanks are ignored; the field may carry its own decimal point
// and exponent (E, D, or a signed exponent without a letter); an all-blank
// field is 0.0.
bool readRealField(std::string_view field, double& value);

}  // namespace kova
