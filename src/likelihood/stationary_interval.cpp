// Intervals of PHI's diagonal on the scale of the stationary map.
#include "likelihood/stationary_interval.h"

#include <cmath>

namespace kova {

PhiInterval stationaryInterval(double phi, double se, double bound, double z) {
  PhiInterval out;
  if (!std::isfinite(phi) || !std::isfinite(se) || !std::isfinite(bound) || !std::isfinite(z) ||
      !(se > 0.0) || !(bound > 0.0) || !(z > 0.0) || !(std::fabs(phi) < bound))
    return out;
  const double ratio = phi / bound;
  const double u = bound * std::atanh(ratio);
  const double half = z * se / (1.0 - ratio * ratio);
  out.lower = bound * std::tanh((u - half) / bound);
  out.upper = bound * std::tanh((u + half) / bound);
  out.valid = std::isfinite(out.lower) && std::isfinite(out.upper);
  return out;
}

}  // namespace kova
