#pragma once
// The key file YXDKEY: which group every data record belongs to, and whether
// it is an estimation record or a forecast record.
//
// GETKEY reads the key lines up to the first end line (END OF DATA), checks
// their number against T, and builds the key table: DKEY holds the group
// identifier of every key sorted ascending, so that each group's keys are
// contiguous; DPOINT holds, beside each DKEY entry, the key's position in the
// file (ascending within a group); YFOPTS stays in file order ("NN" for an
// estimation record, "F " for a forecast record without y, "YF" for one with
// y) and is looked up through DPOINT.
//
// Every fault of the file is reported (log unit and console; a key-capacity
// shortage also to the output unit) and ends the run through the stop
// convention, except a Y without an F, which is corrected to "F " and reported
// with " PROGRAM CONTINUES.".
#include <array>
#include <string_view>

#include "input/capacities.h"
#include "io/file_services.h"
#include "io/file_table.h"

namespace kova {

inline constexpr int kKeyCapacity = Capacities{}.maxKeys;

struct KeyTable {
  int count = 0;  // keys read (equal to T after a successful read)
  std::array<int, kKeyCapacity> DKEY{};
  std::array<int, kKeyCapacity> DPOINT{};
  std::array<std::array<char, 2>, kKeyCapacity> YFOPTS{};
  int NG = 0;
  std::array<int, kMaxGroups> groupId{};    // the NG identifiers, ascending
  std::array<int, kMaxGroups> groupKeys{};  // keys of each group; 0 beyond NG

  // The forecast option of the key at file position 1..count.
  std::string_view yfopt(int position) const {
    return {YFOPTS[position - 1].data(), 2};
  }
  // Index (0-based) into DKEY/DPOINT of the first key of group position g.
  int firstKey(int g) const {
    int first = 0;
    for (int i = 1; i < g; ++i) first += groupKeys[i - 1];
    return first;
  }
};

// Reads the key file on file.unit (opened "FORMATTED", "OLD": a missing file
// stops the run with the open service's message, which names it).
// maxGid is the largest acceptable group identifier; groupCapacity and
// keyCapacity bound the groups and the keys (values above the table's sizes
// are taken as the table's sizes).
void GETKEY(const NamedUnit& file, int T, KeyTable& keys, int maxGid, int groupCapacity,
            int keyCapacity, int outUnit, int logUnit);

// The fewest estimation records a group can be estimated from: PHI is
// regressed on EPSILON(t-1), so it needs at least one pair of periods.
inline constexpr int kMinEstimationRecords = 2;

// Stops the run, naming the first group (in ascending order of identifier)
// with fewer than kMinEstimationRecords estimation records ("NN" keys), so
// that no group reaches its estimation short of data. Called on the key
// table that GETKEY built, before anything is written for the groups.
void checkGroupSizes(const KeyTable& keys, int logUnit);

}  // namespace kova
