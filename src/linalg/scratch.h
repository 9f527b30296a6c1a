#pragma once
// Scratch space of one step, carved from a stretch of the program region.
//
// A step lays out every scratch array it needs once, at its start, by
// asking a Scratch for them in turn; nothing is allocated. The same carving
// code, run on a counting Scratch (default-constructed, no storage), gives
// the step's need, which the group plan uses to size the stretch: so the
// plan and the step can never disagree. Carving past the end of a real
// stretch is a planning fault; it ends the run with a message.
#include <complex>

#include "linalg/views.h"

namespace kova {

using dcomplex = std::complex<double>;

struct ScratchNeed {
  long long doubles = 0, ints = 0, complexes = 0;
  // The larger of two needs, item by item (steps that run in turn share).
  void include(const ScratchNeed& other);
  // The sum of two needs (a callee that carves after its caller).
  void add(const ScratchNeed& other) {
    doubles += other.doubles;
    ints += other.ints;
    complexes += other.complexes;
  }
};

class Scratch {
 public:
  Scratch() = default;  // counting: hands out null pointers and counts
  Scratch(double* wr, long long nwr, int* wi, long long nwi, dcomplex* wc, long long nwc);

  double* doubles(long long n);
  int* ints(long long n);
  dcomplex* complexes(long long n);
  // A rows x cols matrix with leading dimension max(rows, 1).
  Mat mat(int rows, int cols);
  Vec vec(int n) { return Vec{doubles(n), n}; }

  bool counting() const { return counting_; }
  // Doubles that can still be carved (a counting Scratch has no end).
  long long doublesLeft() const {
    return counting_ ? (1LL << 62) : size_.doubles - used_.doubles;
  }
  ScratchNeed used() const { return used_; }
  // What is left, for a callee that carves its own arrays after ours.
  Scratch rest() const;

 private:
  bool counting_ = true;
  double* wr_ = nullptr;
  int* wi_ = nullptr;
  dcomplex* wc_ = nullptr;
  ScratchNeed size_;
  ScratchNeed used_;
};

}  // namespace kova
