#include "report/saved_results.h"

#include <cstring>
#include <string>
#include <vector>

#include "io/error_report.h"
#include "io/fortran_io.h"
#include "io/record_io.h"
#include "io/text_conversion.h"

namespace kova {
namespace {

void openForWriting(const NamedUnit& file, int logUnit, const char* caller) {
  int iocond = 0;
  openFile(file.unit, logUnit, file.name, "UNFORMATTED", "UNKNOWN", iocond, caller, "STOP");
  rewindFile(file.unit, logUnit, file.name, iocond, caller, "STOP");
}

void closeKept(const NamedUnit& file, int logUnit, const char* caller) {
  int iocond = 0;
  closeFile(file.unit, logUnit, file.name, "KEEP", iocond, caller, "STOP");
}

// A save file that cannot be written would let a later run start from a
// damaged or stale record.
void checkWrite(int iocond, const NamedUnit& file, const char* routine, int logUnit) {
  if (iocond == 0) return;
  reportError(std::string(" IN SUBROUTINE ") + routine + ", ERROR IN WRITING FILE " +
                  std::string(trimmed(file.name)) + ", IOCOND = " + std::to_string(iocond) + ".",
              "STOP", logUnit);
}

}  // namespace

void PUTPHI(Mat phi, const NamedUnit& file, int logUnit) {
  openForWriting(file, logUnit, "SUBROUTINE PUTPHI");
  checkWrite(writeMatrixRecord(file.unit, phi), file, "PUTPHI", logUnit);
  closeKept(file, logUnit, "SUBROUTINE PUTPHI");
}

void PUTDLT(Mat delta, double sigma2, const NamedUnit& file, int logUnit) {
  openForWriting(file, logUnit, "SUBROUTINE PUTDLT");
  checkWrite(writeDoubles(file.unit, &sigma2, 1), file, "PUTDLT", logUnit);
  checkWrite(writeMatrixRecord(file.unit, delta), file, "PUTDLT", logUnit);
  closeKept(file, logUnit, "SUBROUTINE PUTDLT");
}

void PUTBTA(int groupId, int pass, int lastPass, Mat beta, const NamedUnit& file, int logUnit) {
  if (pass == 0) openForWriting(file, logUnit, "SUBROUTINE PUTBTA");
  const int head[2] = {groupId, pass};
  checkWrite(writeInts(file.unit, head, 2), file, "PUTBTA", logUnit);
  checkWrite(writeMatrixRecord(file.unit, beta), file, "PUTBTA", logUnit);
  if (pass == lastPass) closeKept(file, logUnit, "SUBROUTINE PUTBETA");
}

void SAVYSG(Mat record, const NamedUnit& file, int logUnit) {
  openForWriting(file, logUnit, "SUBROUTINE SAVYSG");
  checkWrite(writeMatrixRecord(file.unit, record), file, "SAVYSG", logUnit);
  closeKept(file, logUnit, "SUBROUTINE SAVYSG");
}

void SAVYSG(Mat uysgma, Mat target, const NamedUnit& file, bool write, int logUnit) {
  const int n = uysgma.rows;
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i) target(j, i) = uysgma(i, j);
  if (!write) return;
  openForWriting(file, logUnit, "SUBROUTINE SAVYSG");
  checkWrite(writeMatrixRecord(file.unit, Mat{target.p, target.ld, n, n}), file, "SAVYSG",
             logUnit);
  closeKept(file, logUnit, "SUBROUTINE SAVYSG");
}

}  // namespace kova
