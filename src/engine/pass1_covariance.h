#pragma once
// SCOVAR: the special covariance matrix of pass 1, the covariance of PIVECT
// when the estimate is weighted with the covariance structure of pass 0 but
// the data carry the structure of pass 1.
#include "io/file_services.h"
#include "linalg/scratch.h"
#include "linalg/views.h"

namespace kova {

// With F0 and F1 the factors read from the two files (one record each,
// NUMT x NUMT, as SAVYSG writes them: F F' = YSIGMA of pass 0 and of
// pass 1), E (K*P x NUMT) is the generalized least-squares estimator built
// from XZ (NUMT x K*P) and the weights F0 F0', applied to the columns of F1:
//   E = (XZ' Y0^-1 XZ)^-1 XZ' Y0^-1 F1,
// computed by the least-squares core (Paige's form, nothing is inverted),
// and cov (K*P x K*P) := sigma2 E E'. A rank-deficient XZ gives the
// minimum-norm estimator; a zero XZ or sigma2 = 0 gives the zero matrix.
// Each file is opened "OLD", rewound, read and closed with KEEP through the
// file services under the caller "SUBROUTINE SCOVAR", so a missing file
// stops the run with their message; a record that is missing or of another
// size stops it too (a factor of some other group would give a matrix that
// belongs to nothing). The core's messages (CHKZY2: columns of F1 that the
// exact equations of a singular F0 reject) go to logUnit, as in the PI
// step; outUnit is not written. Every work array comes from s.
void SCOVAR(Mat XZ, const NamedUnit& ysfactr0, const NamedUnit& ysfactr1, double sigma2, Mat cov,
            Scratch& s, int outUnit, int logUnit);
ScratchNeed SCOVARneed(int NUMT, int KP);

// One record of YSFACTR0 or YSFACTR1 into f (its size is the record's):
// open "OLD", rewind, read, close "KEEP" under the caller "SUBROUTINE
// SCOVAR"; a missing record or one of another size stops the run.
void readYsigmaRecord(const NamedUnit& file, Mat f, int logUnit);

}  // namespace kova
