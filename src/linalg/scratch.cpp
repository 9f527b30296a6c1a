#include "linalg/scratch.h"

#include <algorithm>
#include <string>

#include "io/error_report.h"

namespace kova {

void ScratchNeed::include(const ScratchNeed& other) {
  doubles = std::max(doubles, other.doubles);
  ints = std::max(ints, other.ints);
  complexes = std::max(complexes, other.complexes);
}

Scratch::Scratch(double* wr, long long nwr, int* wi, long long nwi, dcomplex* wc, long long nwc)
    : counting_(false), wr_(wr), wi_(wi), wc_(wc), size_{nwr, nwi, nwc} {}

namespace {

template <class T>
T* take(bool counting, T* base, long long& used, long long size, long long n, const char* what) {
  if (n < 0) n = 0;
  T* p = counting ? nullptr : base + used;
  used += n;
  if (!counting && used > size)
    reportError(std::string(" IN THE PROGRAM REGION, A STEP NEEDS MORE ") + what +
                    " SCRATCH THAN ITS PLAN HOLDS (" + std::to_string(used) + " > " +
                    std::to_string(size) + ").",
                "STOP", -1);
  return p;
}

}  // namespace

double* Scratch::doubles(long long n) {
  return take(counting_, wr_, used_.doubles, size_.doubles, n, "REAL*8");
}
int* Scratch::ints(long long n) { return take(counting_, wi_, used_.ints, size_.ints, n, "INTEGER"); }
dcomplex* Scratch::complexes(long long n) {
  return take(counting_, wc_, used_.complexes, size_.complexes, n, "COMPLEX*16");
}

Mat Scratch::mat(int rows, int cols) {
  const int ld = std::max(rows, 1);
  return Mat{doubles(static_cast<long long>(ld) * std::max(cols, 0)), ld, rows, cols};
}

Scratch Scratch::rest() const {
  if (counting_) return Scratch();
  return Scratch(wr_ + used_.doubles, size_.doubles - used_.doubles, wi_ + used_.ints,
                 size_.ints - used_.ints, wc_ + used_.complexes, size_.complexes - used_.complexes);
}

}  // namespace kova
