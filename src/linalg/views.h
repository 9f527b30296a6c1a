#pragma once
// Non-owning views of column-major storage with 1-based indexing, so that
// code reads like the formulas. A view never allocates.

namespace kova {

struct Mat {
  double* p = nullptr;
  int ld = 0, rows = 0, cols = 0;
  double& operator()(int i, int j) const { return p[(i - 1) + static_cast<long>(j - 1) * ld]; }
  double* col(int j) const { return p + static_cast<long>(j - 1) * ld; }
};

struct Vec {
  double* p = nullptr;
  int n = 0;
  double& operator()(int i) const { return p[i - 1]; }
};

struct IVec {
  int* p = nullptr;
  int n = 0;
  int& operator()(int i) const { return p[i - 1]; }
};

}  // namespace kova
