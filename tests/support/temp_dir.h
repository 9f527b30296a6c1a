#pragma once
// Test support: a fresh temporary directory that is the current directory for
// the lifetime of the object, and small file helpers.
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>

#include "io/fortran_io.h"

namespace kova::testing {

class TempDir {
 public:
  TempDir() : previous_(std::filesystem::current_path()) {
    static std::atomic<int> counter{0};
    path_ = std::filesystem::temp_directory_path() /
            ("kova_test_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
    std::filesystem::current_path(path_);
  }
  ~TempDir() {
    closeAllUnits();
    std::filesystem::current_path(previous_);
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path previous_;
  std::filesystem::path path_;
};

inline std::string readFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void writeFile(const std::filesystem::path& file, const std::string& text) {
  std::ofstream(file, std::ios::binary) << text;
}

// Every file of the current directory by name, with its contents: what a run
// found, to compare with what it left.
inline std::map<std::string, std::string> filesAndContents() {
  std::map<std::string, std::string> files;
  for (auto& entry : std::filesystem::directory_iterator("."))
    if (entry.is_regular_file())
      files[entry.path().filename().string()] = readFile(entry.path());
  return files;
}

// The names of the files of `before` that are gone or changed now.
inline std::string changedFiles(const std::map<std::string, std::string>& before) {
  std::string changed;
  for (const auto& [name, text] : before)
    if (!std::filesystem::exists(name) || readFile(name) != text) changed += name + " ";
  return changed;
}

}  // namespace kova::testing
