#pragma once
// The linear restrictions on PHI, PI and DELTA: R rows of coefficients on the
// restricted parameter vector (C columns) and R right-hand sides, held in
// fixed arrays of 256 x 256 and 256.
#include <array>
#include <vector>

#include "linalg/views.h"

namespace kova {

constexpr int kRestrictionCapacity = 256;

struct Restriction {
  int rows = 0;  // R; 0 means the restriction is absent
  int cols = 0;  // C, the length of the restricted parameter vector
  std::vector<double> matrix = std::vector<double>(kRestrictionCapacity * kRestrictionCapacity);
  std::vector<double> vector = std::vector<double>(kRestrictionCapacity);
  Mat coefficients() { return Mat{matrix.data(), kRestrictionCapacity, rows, cols}; }
  Vec rightHandSide() { return Vec{vector.data(), rows}; }
};

struct Restrictions {
  Restriction phi, pi, delta;
};

// The PI restriction in force: rows 1..SPIROW of R (K*P columns) and r.
struct PiRestrictionView {
  Mat R;       // ld >= rows; rows = SPIROW
  double* r = nullptr;
  int SPIROW = 0;
};

}  // namespace kova
