#include "report/pass1_covariance_section.h"

#include "io/messages.h"
#include "report/matrix_printer.h"

namespace kova {

void printSpecialCovarianceSection(const SectionContext& c, Mat cov) {
  if (c.printLevel < 3) return;
  const int out = c.outUnit, msg = c.messageUnit;
  const int n = cov.rows;
  PRTHDG(c.groupId, c.pass, "GI", out, msg);
  writeUnit(out, "");
  writeUnit(out, "THE SPECIAL COVARIANCE MATRIX AND STANDARD ERRORS COMPUTED IN ITERATION 1");
  PRTMAT(cov.ld, n, n, cov.p, out, " COVARIANCE MATRIX", msg);
  printStandardErrorLists(nullptr, Mat{cov.p, cov.ld, n, n}, false, out);
}

}  // namespace kova
