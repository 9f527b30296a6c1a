#pragma once
// What a group hands to the pooled phase on its last pass (groups without
// inequality restrictions, runs of two or more groups): its estimates, and
// the engine of its passes for the generalized least squares under its
// YSIGMA. The run driver supplies the receiver, so that the group driver
// knows nothing of the pooled phase.
#include <functional>

#include "linalg/scratch.h"
#include "linalg/views.h"

namespace kova {

class PassEngine;

struct MuVectorInputs {
  Mat tlx;  // M x NUMT
  Mat xz;   // NUMT x KP
  const double* PIVECT = nullptr;
  Mat epsilon;                   // M x NUMT
  PassEngine* engine = nullptr;  // the generalized least squares under YSIGMA
  Mat cov;                       // KP x KP, the covariance of PIVECT
};

// Receives the inputs with the group's scratch stretch.
using PooledHandOver = std::function<void(const MuVectorInputs&, Scratch)>;

}  // namespace kova
