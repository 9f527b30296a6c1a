#include "estimation/student_quantile.h"

#include <cmath>
#include <limits>

namespace kova {

// The finite sums for integer degrees of freedom (Abramowitz and Stegun,
// Handbook of Mathematical Functions, 26.7.3 and 26.7.4), with theta =
// atan(t / sqrt(dof)):
//   odd dof:  (2 / pi) (theta + sin theta (cos theta + 2/3 cos^3 theta + ...
//             + (2 4 ... (dof - 3)) / (1 3 ... (dof - 2)) cos^(dof-2) theta)),
//   even dof: sin theta (1 + 1/2 cos^2 theta + ...
//             + (1 3 ... (dof - 3)) / (2 4 ... (dof - 2)) cos^(dof-2) theta).
// Every term is positive: the sums lose nothing to cancellation.
double studentCentralProbability(double t, int dof) {
  const double theta = std::atan(t / std::sqrt(static_cast<double>(dof)));
  const double s = std::sin(theta), c = std::cos(theta), c2 = c * c;
  if (dof % 2 == 1) {
    double term = c, sum = dof > 1 ? c : 0.0;
    for (int j = 3; j <= dof - 2; j += 2) {
      term *= c2 * (j - 1) / j;
      sum += term;
    }
    return 2.0 / M_PI * (theta + s * sum);
  }
  double term = 1.0, sum = 1.0;
  for (int j = 2; j <= dof - 2; j += 2) {
    term *= c2 * (j - 1) / j;
    sum += term;
  }
  return s * sum;
}

namespace {

// The normal quantile by bisection on the upper tail 1/2 erfc(x / sqrt 2).
double normalQuantile(double probability) {
  double low = 0.0, high = 40.0;
  for (int i = 0; i < 200 && high - low > 1e-16 * high; ++i) {
    const double mid = 0.5 * (low + high);
    (0.5 * std::erfc(-mid / std::sqrt(2.0)) < probability ? low : high) = mid;
  }
  return 0.5 * (low + high);
}

// Many degrees of freedom: the expansion of t about the normal quantile z in
// powers of 1 / dof (Abramowitz and Stegun 26.7.5), its first neglected
// term below 1e-12 of t from dof = 200 on at the usual probabilities.
double studentQuantileExpanded(double probability, int dof) {
  const double z = normalQuantile(probability), z2 = z * z, n = dof;
  const double g1 = (z2 + 1.0) * z / 4.0;
  const double g2 = ((5.0 * z2 + 16.0) * z2 + 3.0) * z / 96.0;
  const double g3 = (((3.0 * z2 + 19.0) * z2 + 17.0) * z2 - 15.0) * z / 384.0;
  const double g4 = ((((79.0 * z2 + 776.0) * z2 + 1482.0) * z2 - 1920.0) * z2 - 945.0) * z / 92160.0;
  return z + (g1 + (g2 + (g3 + g4 / n) / n) / n) / n;
}

}  // namespace

// By bisection on P(|T| <= t) = 2 probability - 1, which rises with t.
double studentQuantile(double probability, int dof) {
  if (dof < 1 || !(probability > 0.5 && probability < 1.0))
    return std::numeric_limits<double>::quiet_NaN();
  if (dof > 200) return studentQuantileExpanded(probability, dof);
  const double target = 2.0 * probability - 1.0;
  double low = 0.0, high = 1.0;
  while (studentCentralProbability(high, dof) < target && high < 1e300) high *= 2.0;
  for (int i = 0; i < 200 && high - low > 1e-15 * high; ++i) {
    const double mid = 0.5 * (low + high);
    (studentCentralProbability(mid, dof) < target ? low : high) = mid;
  }
  return 0.5 * (low + high);
}

}  // namespace kova
