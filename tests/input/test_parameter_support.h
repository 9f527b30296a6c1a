#pragma once
// Shared by the parameter-file tests: a fresh working directory per case and
// one in-process run of GETPRM on a given file text, with its log, report and
// console captured.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "support/temp_dir.h"
#include "input/parameter_file.h"
#include "io/console.h"
#include "io/file_table.h"
#include "io/fortran_io.h"
#include "io/stop.h"

namespace kova::paramtest {

constexpr int kOutUnit = 100;
constexpr int kLogUnit = 102;

// Works in a fresh temporary directory until destroyed.
using WorkDir = testing::TempDir;

inline void writeText(const std::string& name, const std::string& text) {
  std::ofstream(name, std::ios::binary) << text;
}

inline std::string readText(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline NamedUnit paramtrsEntry() {
  FileTable files;
  fillFixedFiles(files);
  return files[Fixed::PARAMTRS];
}

struct ParamRun {
  bool stopped = false;
  Options options;
  std::string log;
  std::string out;
  std::string console;
};

// Runs GETPRM in the current directory on `text` (written as PARAMTRS unless
// writeFile is false), with the report and log on KOVAOUT and KOVALOG.
inline ParamRun runGETPRM(const std::string& text, const Capacities& capacities = {},
                          bool writeFile = true) {
  if (writeFile) writeText("PARAMTRS", text);
  ParamRun run;
  std::ostringstream console;
  {
    ConsoleRedirect redirect(console);
    openUnit(kOutUnit, "KOVAOUT", "FORMATTED", "UNKNOWN");
    openUnit(kLogUnit, "KOVALOG", "FORMATTED", "UNKNOWN");
    try {
      GETPRM(paramtrsEntry(), capacities, run.options, kOutUnit, kLogUnit);
    } catch (const RunStopped&) {
      run.stopped = true;
    }
    closeAllUnits();
  }
  run.console = console.str();
  run.log = readText("KOVALOG");
  run.out = readText("KOVAOUT");
  return run;
}

// A file with one ALL group holding the given statements.
inline std::string allGroup(const std::string& statements) {
  return "BEGIN GROUP (ALL)\n" + statements + "END GROUP (ALL)\nEND OF DATA\n";
}

}  // namespace kova::paramtest
