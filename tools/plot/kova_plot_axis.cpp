// Axis ranges with round ticks, and their labels.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "kova_plot.h"

namespace kova::plot {
namespace {

// The largest range an axis is given; wider data are drawn clipped to it.
constexpr double kMaxRange = 1e300;

double niceStep(double range, int target) {
  double raw = range / std::max(target, 1);
  double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0})
    if (m * power >= raw * (1 - 1e-9)) return m * power;
  return 10 * power;
}

}  // namespace

Axis niceAxis(double lo, double hi, int target, bool whole) {
  if (!(lo <= hi)) lo = 0, hi = 1;  // no finite value at all
  lo = std::max(lo, -kMaxRange);
  hi = std::min(hi, kMaxRange);
  if (hi - lo <= std::max(std::abs(lo), std::abs(hi)) * 1e-12) {
    double pad = lo == 0 ? 1 : std::abs(lo) * 0.05;
    lo -= pad;
    hi += pad;
  }
  Axis a;
  a.step = niceStep(hi - lo, target);
  if (whole) a.step = std::max(a.step, 1.0);
  // Values on a whole axis (periods) keep their range; others widen to ticks.
  a.lo = whole ? lo : std::floor(lo / a.step) * a.step;
  a.hi = whole ? hi : std::ceil(hi / a.step) * a.step;
  double first = std::ceil(a.lo / a.step - 1e-9);
  for (double i = first; i * a.step <= a.hi + a.step * 1e-9 && a.ticks.size() < 50; i += 1)
    a.ticks.push_back(i == 0 ? 0.0 : i * a.step);
  return a;
}

std::string tickLabel(double value, const Axis& axis) {
  char b[64];
  int stepPower = static_cast<int>(std::floor(std::log10(axis.step) + 1e-9));
  double largest = std::max(std::abs(axis.lo), std::abs(axis.hi));
  if (value == 0) return "0";
  // One notation for the whole axis: an exponent when its values are large
  // or its step is small.
  if (largest < 1e6 && axis.step >= 1e-4) {
    std::snprintf(b, sizeof b, "%.*f", std::max(0, -stepPower), value);
    return b;
  }
  // as many mantissa digits on every tick as the largest one needs
  int axisPower = static_cast<int>(std::floor(std::log10(largest)));
  std::snprintf(b, sizeof b, "%.*e", std::max(0, axisPower - stepPower), value);
  // 1.5e+06 -> 1.5e6, 2e-05 -> 2e-5
  std::string s = b;
  std::size_t e = s.find('e');
  std::string mantissa = s.substr(0, e), exponent = s.substr(e + 1);
  bool negative = exponent[0] == '-';
  exponent.erase(0, 1);
  exponent.erase(0, std::min(exponent.find_first_not_of('0'), exponent.size() - 1));
  return mantissa + "e" + (negative ? "-" : "") + exponent;
}

}  // namespace kova::plot
