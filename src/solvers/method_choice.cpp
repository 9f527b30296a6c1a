#include "solvers/method_choice.h"

#include "io/error_report.h"
#include "io/messages.h"

namespace kova {
namespace {

std::string choose(bool diagonal, int rows, int unit, const char* negative, const char* matrix,
                   int blankLines) {
  if (rows < 0) reportError(negative, "STOP", unit);
  const bool qp = diagonal && rows == 0;
  for (int i = 0; i < blankLines; ++i) writeUnit(unit, "");
  writeUnit(unit, std::string("THE MATRIX ") + matrix + " IS COMPUTED WITH A " +
                      (qp ? "QUADRATIC PROGRAMMING" : "LEVENBERG-MARQUARDT") + " ALGORITHM.");
  return qp ? "QP    " : "LM    ";
}

}  // namespace

std::string HOWCDT(bool DDIAG, int SDTROW, int unit) {
  return choose(DDIAG, SDTROW, unit, "IN SUBROUTINE HOWCDT, SDTROW IS NEGATIVE.", "DELTA", 1);
}

std::string HOWCPH(bool PDIAG, int SPHROW, int unit) {
  return choose(PDIAG, SPHROW, unit, "IN SUBROUTINE HOWCPH, SPHROW IS NEGATIVE.", "PHI", 2);
}

SolverPath solverPath(std::string_view code) {
  if (code.find("LM") != std::string_view::npos) return SolverPath::LM;
  return SolverPath::QP;
}

}  // namespace kova
