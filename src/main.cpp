// KOVAMAIN: reads the command line, runs the driver, catches the stop and
// sets the exit status: 0 after a complete run, 1 after a run that stops,
// 2 for a command line it cannot follow (nothing is run then).
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "io/console.h"
#include "io/fortran_io.h"
#include "io/stop.h"
#include "run/driver.h"

namespace {

constexpr const char* kVersion = "kova 1.0";

constexpr const char* kUsage =
    "Usage: kova [--trace] [DIR]\n"
    "Estimates the random-coefficient model that the parameter file PARAMTRS\n"
    "and the data files of DIR (the current directory by default) describe,\n"
    "and writes the report KOVAOUT, the log KOVALOG and the tables KOVA_*.csv\n"
    "there.\n"
    "\n"
    "  --trace    show the whole trace of the passes on the console (as\n"
    "             CONSOLE = TRACE in PARAMTRS), not a line per group\n"
    "  --help     print this text and exit\n"
    "  --version  print the version and exit\n"
    "\n"
    "Exit status: 0 after a complete run, 1 after a run that stops with a\n"
    "message, 2 for a command line that cannot be followed.\n";

struct CommandLine {
  bool help = false, version = false, trace = false;
  const char* directory = nullptr;
  std::string error;  // set when the line cannot be followed
};

CommandLine readCommandLine(int argc, char** argv) {
  CommandLine line;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h")
      line.help = true;
    else if (arg == "--version")
      line.version = true;
    else if (arg == "--trace")
      line.trace = true;
    else if (arg.empty() || arg[0] == '-')
      line.error = "unknown option '" + std::string(arg) + "'";
    else if (line.directory != nullptr)
      line.error = "more than one directory given ('" + std::string(line.directory) +
                   "', '" + std::string(arg) + "')";
    else
      line.directory = argv[i];
    if (!line.error.empty()) break;
  }
  return line;
}

int usageError(const std::string& message) {
  std::fprintf(stderr, "kova: %s\n%s", message.c_str(), kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const CommandLine line = readCommandLine(argc, argv);
  if (!line.error.empty()) return usageError(line.error);
  if (line.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (line.version) {
    std::puts(kVersion);
    return 0;
  }
  if (line.directory != nullptr && ::chdir(line.directory) != 0)
    return usageError("cannot run in '" + std::string(line.directory) +
                      "': " + std::strerror(errno));
  kova::setConsoleTrace(line.trace);

  kova::raiseOpenFileLimit();
  try {
    kova::KOVAMAIN();
  } catch (const kova::RunStopped&) {
    // A stopped run leaves its scratch files on disk, as they stood.
    kova::closeAllUnits();
    kova::spillMemoryFiles();
    return 1;
  }
  kova::closeAllUnits();
  kova::spillMemoryFiles();
  return 0;
}
