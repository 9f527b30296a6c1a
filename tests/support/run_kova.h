#pragma once
// Test support: runs the kova program in the current directory and collects
// its exit status and console output.
#include <cstdlib>
#include <string>
#include <sys/wait.h>

#include "support/temp_dir.h"

namespace kova::testing {

// Copies the files of examples/<name> into dir.
inline void copyExample(const std::string& name,
                        const std::filesystem::path& dir = std::filesystem::path(".")) {
  for (auto& entry :
       std::filesystem::directory_iterator(std::filesystem::path(KOVA_SOURCE_DIR) / "examples" / name))
    std::filesystem::copy(entry.path(), dir / entry.path().filename());
}

struct RunResult {
  int status = -1;
  std::string console;
};

// `prefix` goes before the program's path on the command line (for example
// a command that drops privileges).
inline RunResult runKova(const std::string& prefix = "") {
  RunResult result;
  int raw = std::system((prefix + std::string(KOVA_BINARY) + " > console.txt 2>&1").c_str());
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  result.console = readFile("console.txt");
  std::error_code ec;
  std::filesystem::remove("console.txt", ec);
  return result;
}

// Runs a shell command (one of the tools) with its output in out.txt and
// err.txt; the exit status and what it wrote to stderr.
struct ToolResult {
  int status = -1;
  std::string err;
};
inline ToolResult runTool(const std::string& command) {
  int raw = std::system((command + " > out.txt 2> err.txt").c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, readFile("err.txt")};
}

}  // namespace kova::testing
