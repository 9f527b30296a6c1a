#pragma once
// The report sections of the definiteness repairs and of the starting
// values: what the DELTA and PHI repairs changed, and the starting PHI and
// DELTA of a group. Messages from print level 1, matrices from level 3
// (before the first pass: the starting matrices from level 1).
#include "linalg/views.h"
#include "report/estimation_sections.h"

namespace kova {

// The DELTA repair of a pass, under the group and pass heading: the
// unadjusted and adjusted eigenvalues (for a diagonal DELTA its diagonal
// before and after), whether DELTA was adjusted, and the adjusted DELTA
// (level >= 3). `starting` selects the texts of the starting DELTA.
struct DeltaAdjustmentSection {
  Mat delta;                      // the repaired DELTA
  const double* before = nullptr; // n values
  const double* after = nullptr;  // n values
  bool adjusted = false;
  bool starting = false;
};
void printDeltaAdjustment(const SectionContext& c, const DeltaAdjustmentSection& s);

// The PHI repair of the starting values, under the group heading: "PHI IS
// THE ZERO MATRIX..." for a zero PHI; otherwise the eigenvalue lengths before
// and after, the method when PHI was adjusted and the adjusted PHI (level
// >= 3), or that no adjustment is necessary. diagonal selects the second
// variant's title (for ADJPHD).
struct PhiAdjustmentSection {
  Mat phi;                        // the repaired PHI
  const double* before = nullptr; // n eigenvalue lengths
  const double* after = nullptr;
  bool adjusted = false;
  bool zero = false;
  bool diagonal = false;
  bool starting = true;
  int method = 2;
};
void printPhiAdjustment(const SectionContext& c, const PhiAdjustmentSection& s);

// The starting PHI and DELTA before the first pass: "THE STARTING PHI" /
// "THE STARTING DELTA" at level >= 1 without a heading; after the first
// pass, "THE PHI MATRIX" / "THE UNADJUSTED DELTA" under the group and pass
// heading at level >= 3.
void printStartingPhi(const SectionContext& c, Mat phi);
void printStartingDelta(const SectionContext& c, Mat delta);

}  // namespace kova
