#include "io/file_services.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "io/edit_descriptors.h"
#include "io/error_report.h"
#include "io/fortran_io.h"
#include "io/messages.h"
#include "io/stop.h"
#include "io/text_conversion.h"

namespace kova {
namespace {

// A text left-adjusted in a field of the given length and cut at its last
// non-blank character.
std::string contents(std::string_view text, std::size_t fieldLength) {
  std::string field = padded(text, fieldLength);
  return field.substr(0, leftAdjust(field));
}

// The shared tail of the three services: log the outcome, and on failure
// tell the console and stop or continue.
void finishService(std::string_view operation, int logUnit, std::string_view fileName,
                   int iocond, std::string_view caller, std::string_view option) {
  std::string head = " FROM " + contents(caller, 120) + ": ";
  std::string name = contents(fileName, std::max<std::size_t>(fileName.size(), 12));
  if (iocond == 0) {
    writeUnit(logUnit, "");
    writeUnit(logUnit, head + "NORMAL RETURN FROM " + std::string(operation) + " OF FILE " +
                           name + ".  IOCOND =" + editI(iocond, 5) + ".");
    return;
  }
  bool goOn = optionHasContinue(option);
  reportToUnitAndConsole(logUnit, head + "ERROR IN " + std::string(operation) + " OF FILE " +
                                      name + ", WITH IOCOND =" + editI(iocond, 5) +
                                      (goOn ? ".  PROGRAM CONTINUES." : ".  PROGRAM STOPS."));
  if (!goOn) stopRun();
}

// A bare IOCOND of 24 or 23 does not tell the user that the limit on open
// files is too low for the run, nor by how much.
void explainDescriptorShortage(int logUnit, int iocond, std::string_view caller,
                               int filesNeeded) {
  constexpr int kStandardStreams = 3;
  int needed = std::max(filesNeeded, openUnitCount() + 1) + kStandardStreams;
  long limit = openFileLimit();
  reportToUnitAndConsole(
      logUnit, " FROM " + contents(caller, 120) + ": " +
                   (iocond == ENFILE ? "THE SYSTEM'S TABLE OF OPEN FILES IS FULL."
                                     : "TOO MANY OPEN FILES.") +
                   "  THE RUN NEEDS " + std::to_string(needed) +
                   " FILES OPEN AT ONCE (STANDARD INPUT, OUTPUT AND ERROR INCLUDED); THE LIMIT "
                   "ON OPEN FILES (ULIMIT -N) IS " +
                   (limit < 0 ? std::string("UNKNOWN") : std::to_string(limit)) + ".");
}

// IOCOND 5004 alone does not say why a scratch name was refused.
void explainNotRegularFile(int logUnit, std::string_view fileName, std::string_view caller) {
  reportToUnitAndConsole(logUnit,
                         " FROM " + contents(caller, 120) + ": " +
                             contents(fileName, std::max<std::size_t>(fileName.size(), 12)) +
                             " IN THE RUN DIRECTORY IS A SYMBOLIC LINK, A DEVICE OR A PIPE, "
                             "NOT A FILE OF AN EARLIER RUN.  THE RUN WRITES NOTHING "
                             "THROUGH IT: REMOVE IT AND RUN AGAIN.");
}

}  // namespace

void openFile(int unit, int logUnit, std::string_view fileName, std::string_view form,
              std::string_view status, int& iocond, std::string_view caller,
              std::string_view option, int filesNeeded) {
  iocond = openUnit(unit, fileName, form, status);
  if (iocond == EMFILE || iocond == ENFILE)
    explainDescriptorShortage(logUnit, iocond, caller, filesNeeded);
  if (iocond == kNotRegularFile) explainNotRegularFile(logUnit, fileName, caller);
  finishService("OPENING", logUnit, fileName, iocond, caller, option);
}

void closeFile(int unit, int logUnit, std::string_view fileName, std::string_view status,
               int& iocond, std::string_view caller, std::string_view option) {
  iocond = closeUnit(unit, status);
  finishService("CLOSING", logUnit, fileName, iocond, caller, option);
}

void rewindFile(int unit, int logUnit, std::string_view fileName, int& iocond,
                std::string_view caller, std::string_view option) {
  iocond = rewindUnit(unit);
  finishService("REWINDING", logUnit, fileName, iocond, caller, option);
}

void ADDIDF(std::string& fileName, int suffix, int logUnit, std::string_view option) {
  if (suffix < 0 || suffix > 999) {
    reportError(" IN SUBROUTINE ADDIDF, ERROR IN THE SIZE OF THE INTEGER SUFFIX -- POSSIBLY TOO LARGE.",
                option, logUnit);
    return;
  }
  std::string field = fileName;
  std::size_t length = static_cast<std::size_t>(leftAdjust(field));
  if (field.size() < length + 4) {
    reportError(" ERROR IN SUBROUTINE ADDIDF.  FILENM HAS TOO FEW BLANK SPACES FOR ADDING '.' AND AN INTEGER SUFFIX.",
                option, logUnit);
    return;
  }
  std::string_view name(field.data(), length);
  if (name.find(' ') != std::string_view::npos) {
    reportError(" ERROR IN SUBROUTINE ADDIDF.  A BLANK CHARACTER APPEARS BETWEEN NON-BLANK CHARACTERS.",
                option, logUnit);
    return;
  }
  if (name.find('.') != std::string_view::npos) {
    reportError(" ERROR IN SUBROUTINE ADDIDF.  THE CHARACTER '.' APPEARS IN FILENM.", option,
                logUnit);
    return;
  }
  std::string digits = std::to_string(suffix);
  std::string tail = "." + std::string(3 - digits.size(), '0') + digits;
  field.replace(length, 4, tail);
  fileName = field;
}

void deleteFile(const NamedUnit& file, int logUnit, std::string_view openCaller,
                std::string_view closeCaller) {
  int iocond = 0;
  openFile(file.unit, logUnit, file.name, "UNFORMATTED", "UNKNOWN", iocond, openCaller,
           "CONTINUE");
  // A file that could not be opened was not deleted: a close would only log a
  // misleading normal return.
  if (iocond != 0) return;
  closeFile(file.unit, logUnit, file.name, "DELETE", iocond, closeCaller, "CONTINUE");
}

void renameFile(std::string_view from, std::string_view to, int logUnit, int& iocond,
                std::string_view caller, std::string_view option) {
  const std::string source = contents(from, std::max<std::size_t>(from.size(), 12));
  const std::string target = contents(to, std::max<std::size_t>(to.size(), 12));
  iocond = std::rename(source.c_str(), target.c_str()) == 0 ? 0 : (errno != 0 ? errno : EIO);
  finishService("RENAMING", logUnit, source + " TO " + target, iocond, caller, option);
}

int tryRenameFile(std::string_view from, std::string_view to, int logUnit,
                  std::string_view caller) {
  const std::string source = contents(from, std::max<std::size_t>(from.size(), 12));
  const std::string target = contents(to, std::max<std::size_t>(to.size(), 12));
  errno = 0;
  const int iocond =
      std::rename(source.c_str(), target.c_str()) == 0 ? 0 : (errno != 0 ? errno : EIO);
  if (iocond == 0) {
    finishService("RENAMING", logUnit, source + " TO " + target, 0, caller, "CONTINUE");
  } else {
    writeUnit(logUnit, "");
    writeUnit(logUnit, " FROM " + contents(caller, 120) + ": ERROR IN RENAMING OF FILE " + source +
                           " TO " + target + ", WITH IOCOND =" + editI(iocond, 5) + ".");
  }
  return iocond;
}

void replaceAsOne(const std::vector<FileMove>& moves, std::string_view what, int logUnit,
                  std::string_view caller) {
  struct Done {
    std::string from, to;
  };
  std::vector<Done> done;  // every rename made, in order
  std::vector<std::string> asides;
  std::string failure;
  auto rename = [&](const std::string& from, const std::string& to) {
    const int iocond = tryRenameFile(from, to, logUnit, caller);
    if (iocond == 0) {
      done.push_back({from, to});
      return true;
    }
    failure = "RENAMING " + from + " TO " + to + " FAILED, WITH IOCOND =" + editI(iocond, 5) +
              " (" + std::strerror(iocond) + ")";
    return false;
  };
  bool ok = true;
  for (const FileMove& m : moves) {
    const std::string from = contents(m.from, m.from.size()), to = contents(m.to, m.to.size());
    std::error_code ec;
    if (!std::filesystem::exists(std::filesystem::symlink_status(to, ec))) continue;
    const std::string aside = to + ".old";
    if (std::filesystem::exists(std::filesystem::symlink_status(aside, ec))) {
      failure = aside + " EXISTS (A FILE PUT ASIDE BY AN EARLIER RUN?)";
      ok = false;
      break;
    }
    if (!(ok = rename(to, aside))) break;
    asides.push_back(aside);
  }
  for (std::size_t i = 0; ok && i < moves.size(); ++i)
    ok = rename(contents(moves[i].from, moves[i].from.size()),
                contents(moves[i].to, moves[i].to.size()));
  if (ok) {
    for (const std::string& aside : asides) std::remove(aside.c_str());
    return;
  }
  // Undo, newest first: the new files go back to their names, the old ones
  // to theirs.
  std::string unrestored;
  for (auto it = done.rbegin(); it != done.rend(); ++it)
    if (std::rename(it->to.c_str(), it->from.c_str()) != 0) unrestored += " " + it->to;
  const std::string head = " FROM " + contents(caller, 120) + ": ";
  reportToUnitAndConsole(
      logUnit, head + "THE " + std::string(what) + " ARE NOT PUT IN PLACE: " + failure + ".  " +
                   (unrestored.empty()
                        ? "EVERY EARLIER FILE IS LEFT AS IT WAS; THE NEW ONES STAY UNDER THEIR "
                          "TEMPORARY NAMES."
                        : "THESE COULD NOT BE RESTORED:" + unrestored + "."));
  writeUnitAndConsole(logUnit, " PROGRAM STOPS.");
  stopRun();
}

void FDELET(const NamedUnit& a, const NamedUnit& b, const NamedUnit& c, int logUnit) {
  for (const NamedUnit* file : {&a, &b, &c})
    deleteFile(*file, logUnit, "SUBROUTINE FDELET", "SUBROUTINE FDELET");
}

}  // namespace kova
