#pragma once
// Gaps in the times of a panel: kova_prepare refuses them (unless told to go
// on) and kova_plot marks them on the period axis, both from the same
// reading of the times.
//
// Times are plain numbers (1979, 1990.25), ISO months (2020-03) or ISO dates
// (2020-03-31). Dates that all fall on one day of the month, or all on the
// last day of their month, step in months; other dates step in days. The
// step is the one most groups use: each group's most frequent step between
// consecutive times, and of those the most frequent (the smaller on a tie).
// A step from one time to the next that is larger than that leaves out the
// times in between.
#include <cstddef>
#include <string>
#include <vector>

namespace kova::csv {

struct TimeGap {
  std::size_t after = 0;             // between the group's times `after` and `after + 1`
  long long count = 0;               // how many times are left out
  std::vector<std::string> missing;  // the first of them (at most kListedMissing), as text
};

constexpr std::size_t kListedMissing = 8;

struct TimeGaps {
  bool checked = false;                      // false: the times are not all numbers or all ISO
                                             // dates, or no group has two
  std::string step;                          // "1", "3 months", "7 days"
  std::vector<std::vector<TimeGap>> groups;  // per group, in its order
  bool any() const;
};

// `times`: per group, its times in the order of its records.
TimeGaps findTimeGaps(const std::vector<std::vector<std::string>>& times);

// "1980, 1981, 1982" or "1980, 1981, ... (40 times)".
std::string missingText(const TimeGap& gap);

}  // namespace kova::csv
