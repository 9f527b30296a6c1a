#include "report/named_estimates.h"

#include "io/edit_descriptors.h"
#include "io/messages.h"
#include "report/estimation_sections.h"

namespace kova {
namespace {

// Left-aligned in w columns, cut to fit.
std::string leftColumn(const std::string& text, std::size_t w) {
  std::string s = text.substr(0, w);
  return s + std::string(w - s.size(), ' ');
}

}  // namespace

std::string variableName(const std::vector<std::string>* names, int index, char letter) {
  std::string name;
  if (names != nullptr && index >= 1 && index <= static_cast<int>(names->size()))
    name = (*names)[index - 1];
  const auto first = name.find_first_not_of(' ');
  if (first == std::string::npos) return std::string(1, letter) + "(" + std::to_string(index) + ")";
  return name.substr(first, name.find_last_not_of(' ') - first + 1);
}

void printPiByVariable(std::string_view title, const double* pi, Mat cov, int K, int P,
                       const PiNames& names, const bool* unidentified, int out) {
  writeUnit(out, "");
  writeUnit(out, " " + std::string(title));
  writeUnit(out, "");
  writeUnit(out, "   ROW COL  X VARIABLE       Z VARIABLE            ESTIMATE      STD. ERROR"
                 "         T-RATIO");
  for (int p = 1; p <= P; ++p)
    for (int k = 1; k <= K; ++k) {
      const int i = (p - 1) * K + k;
      std::string line = editI(k, 6) + editI(p, 4) + "  " +
                         leftColumn(variableName(names.x, k, 'X'), 16) + " " +
                         leftColumn(variableName(names.z, p, 'Z'), 16) + editG(pi[i - 1], 16, 7);
      if (unidentified != nullptr && unidentified[i - 1]) {
        line += "   NOT IDENTIFIED";
      } else if (cov.p != nullptr) {
        const double se = standardError(cov, i);
        line += editG(se, 16, 7);
        if (se > 0.0) line += editG(pi[i - 1] / se, 16, 7);
      }
      writeUnit(out, line);
    }
}

}  // namespace kova
