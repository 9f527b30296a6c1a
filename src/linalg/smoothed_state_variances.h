#pragma once
// The smoother's steps in extended precision, beside the state-space
// kernels of state_space.h (the variances themselves are declared there).
#include "linalg/state_space.h"

namespace kova {

// smoothState with the recursions for r(t) and e(t) carried in extended
// precision, for a filter that ran in it (kalmanGains returned true): the
// closed loop L(t) = PHI - K(t) z(t)' then amplifies the rounding of the
// double recursion far beyond the rounding unit. No scratch; eps is m x n.
void smoothStateWide(const StateSpaceModel& model, const FilterGains& gains, const double* v,
                     Mat eps);

}  // namespace kova
