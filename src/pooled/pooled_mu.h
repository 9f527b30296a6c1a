#pragma once
// DLTMUP: adds one group's MU-vector to the sums from which the covariance
// matrix of the MU-vectors across groups is formed after the last group.
//
// The MU-vector of a group is its mean coefficient vector, the first K
// elements of PI corrected for the part of the random coefficients that the
// fixed regressors absorb: with h(t) = TLX(:,t)' EPSILON(:,t) and c the
// generalized least-squares coefficients of h on XZ C' (covariance factor
// UYSGMA, YSIGMA = UYSGMA'UYSGMA),
//   mu(i) = PIVECT(i) + sum_j C(j,i) c(j),  i = 1..K.
// Group 1 clears the sums; every group adds
//   s1 += mu,  S2 += mu mu',  S3 += COV(1:K,1:K)  (its covariance of PIVECT);
// group NG leaves the result
//   (S2 - s1 s1' / NG) / (NG - 1) - S3 / NG
// in `result`: the spread of the MU-vectors less their mean sampling
// covariance. Nothing is done when the accumulators are inactive (the run
// has no pooled phase) or NG < 2.
#include "estimation/pooled_hand_over.h"
#include "linalg/scratch.h"
#include "linalg/views.h"

namespace kova {

// The run-wide sums of DLTMUP; the storage is the run's. C (n x KP) is the
// pooled reparametrisation of PI, set before the first group.
struct MuAccumulators {
  bool active = false;
  int K = 0, KP = 0;
  int n = 0;       // rows of C
  Mat C;           // n x KP
  double* s1 = nullptr;  // K
  Mat S2, S3;      // K x K
  Mat result;      // K x K, written by the last group
};


// s is carved from a copy; the caller's Scratch does not advance. The GLS
// messages go to outUnit.
void DLTMUP(int g, int NG, const MuVectorInputs& in, MuAccumulators& acc, Scratch s,
            int outUnit);
ScratchNeed DLTMUPneed(int NUMT, int K, int n);

}  // namespace kova
