#pragma once
// Whole runs of the program for the benchmarks: the program in a directory
// as a child process, timed from the outside as a user sees it, with the
// child's own peak resident set and system time from the kernel.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

namespace kova::bench {

struct RunFigures {
  double seconds = 0;
  double systemSeconds = 0;
  double userSeconds = 0;
  double peakMegabytes = 0;
  int status = -1;
};

inline RunFigures runProgram(const std::filesystem::path& dir) {
  RunFigures f;
  std::fflush(stdout);  // the child must not repeat what is buffered
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(dir.c_str()) != 0) ::_exit(127);
    if (!std::freopen("/dev/null", "w", stdout)) ::_exit(127);
    ::execl(KOVA_BINARY, KOVA_BINARY, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage {};
  ::wait4(pid, &status, 0, &usage);
  f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  f.systemSeconds = usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
  f.userSeconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6;
  f.peakMegabytes = usage.ru_maxrss / 1024.0;
  f.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return f;
}

}  // namespace kova::bench
