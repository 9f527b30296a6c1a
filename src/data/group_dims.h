#pragma once
// The dimensions of one group's estimation.

namespace kova {

struct GroupDims {
  int NUMT = 0;  // estimation periods
  int TF = 0;    // forecast periods
  int K = 0;     // components of x(t) and BETA(t)
  int P = 0;     // components of z(t)
  int M = 0;     // components of EPSILON(t)
  int KP() const { return K * P; }
};

}  // namespace kova
