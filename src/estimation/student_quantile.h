#pragma once

namespace kova {

// The quantile of Student's t distribution with `dof` degrees of freedom
// at `probability` (in (0.5, 1)): the t with P(T <= t) = probability. NaN
// when dof < 1 or the probability is outside (0.5, 1).
double studentQuantile(double probability, int dof);

// P(|T| <= t) for Student's t with dof >= 1 degrees of freedom, t >= 0.
double studentCentralProbability(double t, int dof);

}  // namespace kova
