#pragma once
// The closing summary of a complete run, for the console and the log: how
// many groups were estimated, for each kind of warning the groups that got
// it, how the likelihood steps ended, and where the report and the tables
// are. And the outcome of one group, for its line of the compact progress
// display. Plain ASCII text, nothing written here.
#include <string>
#include <utility>
#include <vector>

namespace kova {

struct RunSummary {
  int groups = 0;                                     // groups estimated
  int parameterWarnings = 0;  // lines of PARAMTRS warned about
  std::vector<std::pair<int, std::string>> warnings;  // (group, kind), as added
  int mlConverged = 0, mlBoundary = 0, mlDegenerate = 0, mlNotConverged = 0, mlNotApplicable = 0;
  std::string directory;  // the run directory, as a path
  bool tables = true;     // the result tables were written
};

std::vector<std::string> summaryLines(const RunSummary& summary);

// "passes 0-<lastPass>", then the likelihood step's end (`ml` empty when the
// group has none) and the kinds of warning of the group, each kind once.
std::string groupOutcome(int lastPass, const std::string& ml,
                         const std::vector<std::string>& kinds);

}  // namespace kova
