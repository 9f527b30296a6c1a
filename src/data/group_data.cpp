#include "data/group_data.h"

#include "io/error_report.h"
#include "io/file_services.h"
#include "io/record_io.h"
#include "io/text_conversion.h"

namespace kova {
namespace {

constexpr const char* kCaller = "SUBROUTINE GETDTA";

// Reads `count` records of `length` values, record j into column j.
void loadColumns(const NamedUnit& file, int count, int length, double* first, long ld,
                 int logUnit) {
  int iocond = 0;
  openFile(file.unit, logUnit, file.name, "UNFORMATTED", "OLD", iocond, kCaller, "STOP");
  rewindFile(file.unit, logUnit, file.name, iocond, kCaller, "STOP");
  for (int j = 0; j < count; ++j) {
    if (readDoubles(file.unit, first + j * ld, length) != 0)
      reportError(" IN SUBROUTINE GETDTA, RECORD " + std::to_string(j + 1) + " OF FILE " +
                      std::string(trimmed(file.name)) + " IS MISSING OR TOO SHORT.",
                  "STOP", logUnit);
  }
  closeFile(file.unit, logUnit, file.name, "KEEP", iocond, kCaller, "CONTINUE");
}

}  // namespace

void GETDTA(GroupData& d, const FileTable& files, int g, int logUnit) {
  loadColumns(files.scratch(Family::YDATA, g), d.T, 1, d.y, 1, logUnit);
  loadColumns(files.scratch(Family::XDATA, g), d.T, d.K, d.X.p, d.X.ld, logUnit);
  loadColumns(files.scratch(Family::ZDATA, g), d.T, d.P, d.Z.p, d.Z.ld, logUnit);
  loadColumns(files.scratch(Family::YFCAST, g), d.TF, 1, d.yF, 1, logUnit);
  loadColumns(files.scratch(Family::XFCAST, g), d.TF, d.K, d.XF.p, d.XF.ld, logUnit);
  loadColumns(files.scratch(Family::ZFCAST, g), d.TF, d.P, d.ZF.p, d.ZF.ld, logUnit);
}

}  // namespace kova
