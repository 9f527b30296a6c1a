#include "report/adjustment_sections.h"

#include <string>

#include "io/messages.h"
#include "report/matrix_printer.h"

namespace kova {
namespace {

void message(int out, const std::string& text) {
  writeUnit(out, "");
  writeUnit(out, text);
}

// A list of n values printed as an n-component vector.
void printList(const SectionContext& c, const double* values, int n, const std::string& title) {
  PRTMAT(1, 1, n, values, c.outUnit, title, c.messageUnit);
}

}  // namespace

void printDeltaAdjustment(const SectionContext& c, const DeltaAdjustmentSection& s) {
  if (c.printLevel < 1) return;
  const int n = s.delta.rows;
  const std::string which = s.starting ? "STARTING DELTA" : "DELTA";
  PRTHDG(c.groupId, c.pass, "GI", c.outUnit, c.messageUnit);
  printList(c, s.before, n, "THE EIGENVALUES OF THE UNADJUSTED " + which + " MATRIX:");
  if (!s.adjusted) {
    message(c.outUnit, "NO ADJUSTMENT IS NECESSARY FOR THE " + which + " MATRIX.");
    return;
  }
  printList(c, s.after, n, "THE EIGENVALUES OF THE ADJUSTED " + which + " MATRIX:");
  message(c.outUnit, s.starting ? "THE STARTING DELTA MATRIX HAS BEEN ADJUSTED."
                                 : "DELTA MATRIX HAS BEEN ADJUSTED.");
  if (c.printLevel >= 3)
    PRTMAT(s.delta.ld, n, n, s.delta.p, c.outUnit, "THE ADJUSTED " + which, c.messageUnit);
}

void printPhiAdjustment(const SectionContext& c, const PhiAdjustmentSection& s) {
  if (c.printLevel < 1) return;
  const int n = s.phi.rows;
  PRTHDG(c.groupId, c.pass, "G", c.outUnit, c.messageUnit);
  if (s.zero) {
    message(c.outUnit, "PHI IS THE ZERO MATRIX.  NO ADJUSTMENT IS NECESSARY.");
    return;
  }
  const std::string which = s.starting ? "STARTING PHI" : "PHI";
  printList(c, s.before, n, "THE LENGTHS OF THE EIGENVALUES OF THE UNADJUSTED " + which + ":");
  if (!s.adjusted) {
    message(c.outUnit, "NO ADJUSTMENT IS NECESSARY FOR THE " + which + " MATRIX.");
    return;
  }
  printList(c, s.after, n, "THE LENGTHS OF THE EIGENVALUES OF THE ADJUSTED " + which + ":");
  message(c.outUnit, s.starting ? "THE STARTING PHI MATRIX HAS BEEN ADJUSTED."
                                 : "PHI MATRIX HAS BEEN ADJUSTED.");
  message(c.outUnit, s.method == 1 ? "METHOD OF ADJUSTMENT: REDUCE SELECTED EIGENVALUES"
                                   : "METHOD OF ADJUSTMENT: REDUCE ALL EIGENVALUES.");
  if (c.printLevel < 3) return;
  std::string title = "THE ADJUSTED PHI";
  if (s.starting) title = s.diagonal ? "THE ADJUSTED STARTING PH&I" : "THE ADJUSTED STARTING PHI";
  PRTMAT(s.phi.ld, n, n, s.phi.p, c.outUnit, title, c.messageUnit);
}

void printStartingPhi(const SectionContext& c, Mat phi) {
  if (c.pass == 0) {
    if (c.printLevel >= 1)
      PRTMAT(phi.ld, phi.rows, phi.cols, phi.p, c.outUnit, "THE STARTING PHI", c.messageUnit);
    return;
  }
  if (c.printLevel < 3) return;
  PRTHDG(c.groupId, c.pass, "GI", c.outUnit, c.messageUnit);
  PRTMAT(phi.ld, phi.rows, phi.cols, phi.p, c.outUnit, "THE PHI MATRIX", c.messageUnit);
}

void printStartingDelta(const SectionContext& c, Mat delta) {
  if (c.pass == 0) {
    if (c.printLevel >= 1)
      PRTMAT(delta.ld, delta.rows, delta.cols, delta.p, c.outUnit, "THE STARTING DELTA",
             c.messageUnit);
    return;
  }
  if (c.printLevel < 3) return;
  PRTHDG(c.groupId, c.pass, "GI", c.outUnit, c.messageUnit);
  PRTMAT(delta.ld, delta.rows, delta.cols, delta.p, c.outUnit, "THE UNADJUSTED DELTA",
         c.messageUnit);
}

}  // namespace kova
