#pragma once
// Element counts for the planners: non-negative 64-bit values whose sums and
// products saturate at kCountCeiling, so that no dimension can wrap a count
// round to a small (or negative) one that would pass a capacity check.
// A negative dimension counts as 0.
#include <algorithm>
#include <array>
#include <initializer_list>

#include "input/workspace_plan.h"

namespace kova::plan {

struct Count {
  long long v = 0;
  Count() = default;
  Count(long long value) : v(std::clamp(value, 0LL, kCountCeiling)) {}  // NOLINT: implicit
};

inline Count operator+(Count a, Count b) {
  return Count(a.v > kCountCeiling - b.v ? kCountCeiling : a.v + b.v);
}
inline Count operator*(Count a, Count b) {
  if (a.v == 0 || b.v == 0) return Count(0);
  return Count(a.v > kCountCeiling / b.v ? kCountCeiling : a.v * b.v);
}
// Subtraction of a dimension offset (T - 1 and the like), floored at 0.
inline Count operator-(Count a, Count b) { return Count(a.v - b.v); }
inline Count largest(std::initializer_list<Count> candidates) {
  long long best = 0;
  for (Count c : candidates) best = std::max(best, c.v);
  return Count(best);
}
inline Count smallest(Count a, Count b) { return Count(std::min(a.v, b.v)); }

// Lays out the sizes from position 1 and sets the needed count.
template <std::size_t N>
void layOut(Layout<N>& layout, const std::array<Count, N>& sizes) {
  Count next(1);
  for (std::size_t i = 0; i < N; ++i) {
    layout.start[i] = next.v;
    layout.size[i] = sizes[i].v;
    next = next + sizes[i];
  }
  layout.needed = next.v;
}

// Reports a shortage (and ends the run) when needed exceeds the capacity.
void checkCapacity(const char* caller, const char* arrayText, long long needed,
                   int capacity, int outUnit, int logUnit);

}  // namespace kova::plan
