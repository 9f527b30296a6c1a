#pragma once
// Shared by the report tests: runs a printing routine in a fresh directory
// with the report on KOVAOUT and messages on KOVALOG, and returns what each
// received.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "io/console.h"
#include "io/fortran_io.h"

namespace kova::reporttest {

constexpr int kOutUnit = 100;
constexpr int kLogUnit = 102;

inline std::string readText(const std::filesystem::path& name) {
  std::ifstream in(name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Printed {
  std::string out;
  std::string log;
  std::string console;
};

// Calls print(outUnit, logUnit) in a temporary directory that is removed
// afterwards.
inline Printed capture(const std::function<void(int, int)>& print) {
  static int serial = 0;
  const std::filesystem::path home = std::filesystem::current_path();
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() /
      ("kova_report_" + std::to_string(::getpid()) + "_" + std::to_string(++serial));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  std::filesystem::current_path(dir);
  Printed printed;
  std::ostringstream console;
  {
    ConsoleRedirect redirect(console);
    openUnit(kOutUnit, "KOVAOUT", "FORMATTED", "UNKNOWN");
    openUnit(kLogUnit, "KOVALOG", "FORMATTED", "UNKNOWN");
    print(kOutUnit, kLogUnit);
    closeAllUnits();
  }
  printed.out = readText("KOVAOUT");
  printed.log = readText("KOVALOG");
  printed.console = console.str();
  std::filesystem::current_path(home);
  std::filesystem::remove_all(dir);
  return printed;
}

}  // namespace kova::reporttest
