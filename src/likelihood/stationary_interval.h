#pragma once
// The confidence interval of a diagonal element of PHI on the scale of the
// search's map onto the stationary region: u = b atanh(phi / b), b = EVLTOL
// (phi = b tanh(u / b)). On short series the likelihood of an
// autoregressive coefficient is far from quadratic in phi: its curvature is
// largest where phi^ is far from 0, just where phi^ overshoots, and the
// Wald interval phi^ -+ z se falls short. In u the likelihood is nearer
// quadratic: the interval is u^ -+ z se_u, se_u = se / (1 - (phi^ / b)^2)
// (the delta method; at a maximum the observed information transforms
// exactly so), mapped back through the map. It lies inside (-b, b) and is
// not symmetric about phi^: longer on the side of 0.
namespace kova {

// The normal quantile of a two-sided 95% interval.
constexpr double kNormal975 = 1.959963984540054;

struct PhiInterval {
  bool valid = false;
  double lower = 0.0, upper = 0.0;
};

// Not valid unless |phi| < bound, se > 0 and z > 0 (all finite).
PhiInterval stationaryInterval(double phi, double se, double bound, double z = kNormal975);

}  // namespace kova
