#pragma once
// The open, close and rewind services, the file-name suffix and deletion.
//
// Each service performs its operation, stores the I/O status in iocond (0 for
// success) and logs one line on success. A failure is written to the log unit
// and the console; the run then continues when the option contains CONTINUE
// or continue, and stops otherwise. Every message names the caller.
#include <string>
#include <string_view>
#include <vector>

namespace kova {

// An open that fails for want of file descriptors (too many open files in
// the process or in the system) is first explained in one more line: how many
// files the run needs open at once, and the limit on open files. The need is
// `filesNeeded` (the caller's count of the files it holds open at once, those
// already open included) or, when the caller gives none, the open units and
// this one; the three standard streams are added to either.
void openFile(int unit, int logUnit, std::string_view fileName, std::string_view form,
              std::string_view status, int& iocond, std::string_view caller,
              std::string_view option, int filesNeeded = 0);

// The name is used only in the messages; the close acts on the unit.
void closeFile(int unit, int logUnit, std::string_view fileName, std::string_view status,
               int& iocond, std::string_view caller, std::string_view option);

void rewindFile(int unit, int logUnit, std::string_view fileName, int& iocond,
                std::string_view caller, std::string_view option);

// Appends "." and the suffix in three digits to the (left-adjusted) name in
// its fixed-length field. Reports, with the caller's option, a suffix outside
// 0..999, a field too short for four more characters, and a blank or a "."
// inside the name; after a report under a continue option the field is left
// as it was.
void ADDIDF(std::string& fileName, int suffix, int logUnit, std::string_view option);

struct NamedUnit {
  std::string name;
  int unit = 0;
};

// Renames a closed file (replacing a file of the new name) and logs it like
// the other services, as "RENAMING OF FILE from TO to"; iocond is errno.
void renameFile(std::string_view from, std::string_view to, int logUnit, int& iocond,
                std::string_view caller, std::string_view option);

// Renames a closed file as renameFile does, but returns the failure (logged
// as an error) to the caller instead of acting on it.
int tryRenameFile(std::string_view from, std::string_view to, int logUnit, std::string_view caller);

// Puts a set of files in place as one: each `from` is renamed to its `to`,
// replacing the file there, so that afterwards either every `to` holds its
// new file or every `to` is as it was. The files being replaced are first
// renamed aside (to + ".old", which must not exist) and removed only when
// every new file is in place; a rename that fails undoes the ones done, in
// reverse order, and stops the run with a message naming the file, what
// was left as it was and where the new files are. `what` names the set in
// that message.
struct FileMove {
  std::string from, to;
};
void replaceAsOne(const std::vector<FileMove>& moves, std::string_view what, int logUnit,
                  std::string_view caller);

// Deletes three files (open UNKNOWN, close DELETE), continuing past failures.
void FDELET(const NamedUnit& a, const NamedUnit& b, const NamedUnit& c, int logUnit);

// Deletes one file through the services: an open that creates it if absent,
// then a close with status DELETE. Messages carry the caller text.
void deleteFile(const NamedUnit& file, int logUnit, std::string_view openCaller,
                std::string_view closeCaller);

}  // namespace kova
