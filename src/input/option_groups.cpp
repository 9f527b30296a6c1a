#include "input/option_groups.h"

#include <algorithm>
#include <string_view>

#include "io/error_report.h"

namespace kova {

void OPGSET(const OptionGroupTable& table, int NG, const int* groupIds, int* MAXITG,
            int logUnit) {
  int entries = std::clamp(table.NOPTG, 0, kOptionGroupCapacity);
  for (int i = 0; i < entries; ++i) {
    if (std::string_view(table.name[i]).find("MAXITG") == std::string_view::npos) continue;
    const int* found = std::find(groupIds, groupIds + std::max(NG, 0), table.OPTGID[i]);
    if (found == groupIds + std::max(NG, 0)) {
      reportError(" IN SUBROUTINE OPGSET, NO GROUP FOUND WITH THE ID SPECIFIED IN OPTGID",
                  "CONTINUE", logUnit);
      continue;
    }
    MAXITG[found - groupIds] = table.value[i];
  }
}

bool usesMaximumLikelihood(const Options& options, int groupId) {
  const OptionGroupTable& table = options.optionGroups;
  bool ml = options.maximumLikelihood;
  const int entries = std::clamp(table.NOPTG, 0, kOptionGroupCapacity);
  for (int i = 0; i < entries; ++i)
    if (table.OPTGID[i] == groupId &&
        std::string_view(table.name[i]).find("METHOD") != std::string_view::npos)
      ml = table.value[i] == 1 || table.value[i] == 2;
  return ml;
}

bool usesRestrictedLikelihood(const Options& options, int groupId) {
  const OptionGroupTable& table = options.optionGroups;
  bool reml = options.maximumLikelihood && options.restrictedLikelihood;
  const int entries = std::clamp(table.NOPTG, 0, kOptionGroupCapacity);
  for (int i = 0; i < entries; ++i)
    if (table.OPTGID[i] == groupId &&
        std::string_view(table.name[i]).find("METHOD") != std::string_view::npos)
      reml = table.value[i] == 2;
  return reml;
}

}  // namespace kova
