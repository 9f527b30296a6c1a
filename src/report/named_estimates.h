#pragma once
// A PI matrix listed element by element with the names of its variables:
// row k is the coefficient of x variable k, column p that of z variable p
// (the data files' names, CONSTANT for the leading ones), beside the
// estimate, its standard error and t-ratio. Elements flagged in
// `unidentified` (when given) show NOT IDENTIFIED instead of the two.
#include <string>
#include <string_view>
#include <vector>

#include "linalg/views.h"

namespace kova {

struct PiNames {
  const std::vector<std::string>* x = nullptr;  // K names (80-character fields)
  const std::vector<std::string>* z = nullptr;  // P names
};

// The name of x variable k (or z variable p), trimmed; "X(k)" where none.
std::string variableName(const std::vector<std::string>* names, int index, char letter);

void printPiByVariable(std::string_view title, const double* pi, Mat cov, int K, int P,
                       const PiNames& names, const bool* unidentified, int outUnit);

}  // namespace kova
