#include "input/key_file.h"

#include <algorithm>
#include <string>

#include "io/error_report.h"
#include "io/fortran_io.h"
#include "io/text_conversion.h"

namespace kova {
namespace {

constexpr std::string_view kCaller = "SUBROUTINE GETKEY";

// Blanks the first occurrence of c; says whether there was one.
bool blankFirst(std::string& line, char c) {
  std::size_t at = line.find(c);
  if (at == std::string::npos) return false;
  line[at] = ' ';
  return true;
}

void setOption(std::array<char, 2>& option, std::string_view text) {
  option = {text[0], text[1]};
}

// Reads one key line (already left-adjusted, not a comment) and appends its
// key to the table.
void storeKey(std::string& line, KeyTable& keys, int maxGid, int keyCapacity, int outUnit,
              int logUnit) {
  bool upperY = blankFirst(line, 'Y');
  bool lowerY = blankFirst(line, 'y');
  bool upperF = blankFirst(line, 'F');
  bool lowerF = blankFirst(line, 'f');
  bool hasY = upperY || lowerY;
  bool hasF = upperF || lowerF;

  int id = 0;
  CTI(line, id, logUnit, kCaller, "STOP");
  if (id < 0 || id > maxGid)
    reportError(" ERROR IN SUBROUTINE GETKEY.  UNACCEPTABLE GROUP ID-- POSSIBLY TOO LARGE.",
                "STOP", logUnit);

  int n = keys.count + 1;
  if (n > keyCapacity) reportShortage("SUROUTINE GETKEY", "DKEY OR DPOINT", n, keyCapacity,
                                      outUnit, logUnit);
  keys.count = n;
  keys.DKEY[n - 1] = id;
  keys.DPOINT[n - 1] = n;
  std::array<char, 2>& option = keys.YFOPTS[n - 1];
  if (!hasY && !hasF) {
    setOption(option, "NN");
  } else if (hasY && hasF) {
    setOption(option, "YF");
  } else {
    setOption(option, "F ");
    if (hasY)
      reportError(" ERROR IN FORECASTING OPTION IN KEY FILE --'Y' WITHOUT 'F'.  'F' IS ENTERED.",
                  "CONTINUE", logUnit);
  }
}

// Groups the sorted DKEY into runs of equal identifiers, then restores file
// order inside each run (the heap sort is not stable).
void buildGroups(KeyTable& keys, int groupCapacity, int logUnit) {
  keys.groupKeys.fill(0);
  keys.groupId.fill(0);
  keys.NG = 0;
  for (int i = 0; i < keys.count; ++i) {
    if (i == 0 || keys.DKEY[i] != keys.DKEY[i - 1]) {
      if (keys.NG >= groupCapacity)
        reportError(" IN SUBROUTINE GETKEY, KEY FILE HAS TOO MANY GROUPS.", "STOP", logUnit);
      ++keys.NG;
      keys.groupId[keys.NG - 1] = keys.DKEY[i];
    }
    ++keys.groupKeys[keys.NG - 1];
  }
  int first = 0;
  for (int g = 0; g < keys.NG; ++g) {
    HPSORT(keys.groupKeys[g], keys.DPOINT.data() + first, keys.DKEY.data() + first, logUnit,
           "STOP");
    first += keys.groupKeys[g];
  }
}

}  // namespace

void GETKEY(const NamedUnit& file, int T, KeyTable& keys, int maxGid, int groupCapacity,
            int keyCapacity, int outUnit, int logUnit) {
  keyCapacity = std::min(keyCapacity, kKeyCapacity);
  groupCapacity = std::min(groupCapacity, kMaxGroups);
  keys.count = 0;
  keys.NG = 0;

  int iocond = 0;
  // "OLD": a run never creates or changes an input file, and a missing key
  // file is reported by name.
  openFile(file.unit, logUnit, file.name, "FORMATTED", "OLD", iocond, kCaller, "STOP");
  rewindFile(file.unit, logUnit, file.name, iocond, kCaller, "CONTINUE");
  if (iocond != 0) {
    closeFile(file.unit, logUnit, file.name, "KEEP", iocond, kCaller, "CONTINUE");
    reportError(" ERROR IN REWINDING THE KEY FILE IN SUBROUTINE GETKEY.", "STOP", logUnit);
  }

  std::string line;
  for (;;) {
    if (readLine(file.unit, line) != 0) {
      closeFile(file.unit, logUnit, file.name, "KEEP", iocond, kCaller, "CONTINUE");
      reportError(" ERROR IN READING DATA IN KEY FILE IN SUBROUTINE GETKEY.  CHECK DATA AND "
                  "THE TWO ENDING LINES.",
                  "STOP", logUnit);
    }
    if (isEndOfData(line)) break;
    int length = leftAdjust(line);
    if (length == 0 || line.find('!') != std::string::npos) continue;
    storeKey(line, keys, maxGid, keyCapacity, outUnit, logUnit);
  }

  if (keys.count < 1 || keys.count != T)
    reportError(" ERROR IN KEY FILE. INCORRECT NUMBER OF KEYS.", "STOP", logUnit);
  HPSORT(keys.count, keys.DKEY.data(), keys.DPOINT.data(), logUnit, "STOP");
  buildGroups(keys, groupCapacity, logUnit);
  closeFile(file.unit, logUnit, file.name, "KEEP", iocond, kCaller, "STOP");
}

void checkGroupSizes(const KeyTable& keys, int logUnit) {
  int first = 0;
  for (int g = 0; g < keys.NG; ++g) {
    int estimation = 0;
    for (int i = first; i < first + keys.groupKeys[g]; ++i)
      if (keys.yfopt(keys.DPOINT[i]) == "NN") ++estimation;
    first += keys.groupKeys[g];
    if (estimation >= kMinEstimationRecords) continue;
    reportError(" ERROR IN KEY FILE. GROUP " + std::to_string(keys.groupId[g]) + " HAS " +
                    std::to_string(estimation) + " ESTIMATION RECORDS (KEYS WITHOUT F); A GROUP "
                    "NEEDS AT LEAST " + std::to_string(kMinEstimationRecords) + ".",
                "STOP", logUnit);
  }
}

}  // namespace kova
