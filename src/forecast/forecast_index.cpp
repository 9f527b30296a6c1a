#include "forecast/forecast_index.h"

#include <cstdint>
#include <string>

#include "io/edit_descriptors.h"
#include "io/error_report.h"
#include "io/fortran_io.h"
#include "io/messages.h"
#include "io/stop.h"
#include "io/text_conversion.h"

namespace kova {
namespace {

constexpr std::string_view kCaller = "SUBROUTINE IDXFC";
constexpr std::int32_t kNoneBefore = -999999;
constexpr std::int32_t kNoneAfter = 999999;

struct IndexFiles {
  const NamedUnit& yGiven;
  const NamedUnit& low;
  const NamedUnit& high;
};

// A failed write would leave an index file that silently disagrees with the
// group's counts, so it ends the run, in the wording of the file services.
void writeValues(const NamedUnit& file, const std::int32_t* values, int count, int logUnit) {
  int iocond = writeRecord(file.unit, values, sizeof(std::int32_t) * count);
  if (iocond == 0) return;
  reportToUnitAndConsole(logUnit, " FROM SUBROUTINE IDXFC: ERROR IN WRITING OF FILE " +
                                      std::string(trimmed(file.name)) + ", WITH IOCOND =" +
                                      editI(iocond, 5) + ".  PROGRAM STOPS.");
  stopRun();
}

// Writes the records of the forecast records at group positions from..to.
void writeRun(const KeyTable& keys, int offset, int from, int to, const std::int32_t low[2],
              const std::int32_t high[2], const IndexFiles& files, int logUnit) {
  for (int f = from; f <= to; ++f) {
    std::string_view option = keys.yfopt(keys.DPOINT[offset + f - 1]);
    std::int32_t yGiven = option.find('Y') != std::string_view::npos ? 1 : 0;
    writeValues(files.yGiven, &yGiven, 1, logUnit);
    writeValues(files.low, low, 2, logUnit);
    writeValues(files.high, high, 2, logUnit);
  }
}

void openIndexFile(const NamedUnit& file, int logUnit) {
  int iocond = 0;
  openFile(file.unit, logUnit, file.name, "UNFORMATTED", "UNKNOWN", iocond, kCaller,
           "CONTINUE");
  rewindFile(file.unit, logUnit, file.name, iocond, kCaller, "CONTINUE");
}

void closeIndexFile(const NamedUnit& file, int logUnit) {
  int iocond = 0;
  closeFile(file.unit, logUnit, file.name, "KEEP", iocond, kCaller, "CONTINUE");
}

// One group: o is the number of keys of the groups before it, s the running
// key counter over all groups (advanced here).
void indexGroup(const KeyTable& keys, int g, int o, int& s, const IndexFiles& files,
                int& estimation, int& forecast, int logUnit) {
  estimation = 0;
  forecast = 0;
  int idxLow = 0;
  bool anyReg = false;  // the last record seen was an estimation record
  bool anyFc = false;   // a forecast run is open
  const int n = keys.groupKeys[g - 1];
  for (int i = 1; i <= n; ++i) {
    ++s;
    bool isEstimation =
        keys.yfopt(keys.DPOINT[s - 1]).find("NN") != std::string_view::npos;
    if (!isEstimation) {
      ++forecast;
      anyFc = true;
      if (anyReg) {
        idxLow = i - 1;
        anyReg = false;
      }
      continue;
    }
    ++estimation;
    anyReg = true;
    if (!anyFc) continue;
    int idxHi = i;
    if (idxHi - 2 < idxLow)
      reportError(" IN SUBROUTINE IDXFC, ERROR OCCURS IN THE INDICES IDXHI AND IDXLOW.", "STOP",
                  logUnit);
    std::int32_t low[2] = {estimation - 1,
                           idxLow > 0 ? keys.DPOINT[o + idxLow - 1] : kNoneBefore};
    std::int32_t high[2] = {estimation, keys.DPOINT[s - 1]};
    writeRun(keys, o, idxLow + 1, idxHi - 1, low, high, files, logUnit);
    anyFc = false;
  }
  if (!anyFc) return;
  if (anyReg)
    reportError(" IN SUBROUTINE IDXFC, ERROR OCCURS IN THE LOGICAL VARIABLES ANYREG AND ANYFC.",
                "STOP", logUnit);
  std::int32_t low[2] = {estimation, idxLow > 0 ? keys.DPOINT[o + idxLow - 1] : kNoneBefore};
  std::int32_t high[2] = {kNoneAfter, kNoneAfter};
  writeRun(keys, o, idxLow + 1, n, low, high, files, logUnit);
}

}  // namespace

void IDXFC(const KeyTable& keys, const FileTable& files, int* estimationCounts,
           int* forecastCounts, int logUnit) {
  int s = 0;
  int o = 0;
  for (int g = 1; g <= keys.NG; ++g) {
    IndexFiles index{files.scratch(Family::YFCIDX, g), files.scratch(Family::FCLOWIDX, g),
                     files.scratch(Family::FCHIGHDX, g)};
    openIndexFile(index.yGiven, logUnit);
    openIndexFile(index.low, logUnit);
    openIndexFile(index.high, logUnit);
    indexGroup(keys, g, o, s, index, estimationCounts[g - 1], forecastCounts[g - 1], logUnit);
    o += keys.groupKeys[g - 1];
    closeIndexFile(index.yGiven, logUnit);
    closeIndexFile(index.low, logUnit);
    closeIndexFile(index.high, logUnit);
  }
}

}  // namespace kova
