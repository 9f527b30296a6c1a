#pragma once
// PFCAST: the pooled forecast of one group with TF >= 1 forecast records.
// With A the group's final PHI (PSAVE), c its pooled MU vector (MUVECP),
// G the pooled PI with a zero first column and e0 the last column of its
// pooled EPSILON matrix (EPSVECP), for j = 1..TF:
//   eF(j) = A eF(j-1), eF(0) = e0;   bF(j) = c zF(1,j) + G zF(j) + L eF(j);
//   yF~(j) = xF(j)' bF(j).
// (c multiplies the first z-component, which is 1 whenever the pooled model
// is meaningful: then this is c + G zF(j) + L eF(j).)
// The forecast data come from YFCAST, XFCAST, ZFCAST and the y-given flags of
// YFCIDX. Over the records whose flag is at least 1: the root mean square
// error and, when none of their y-values is 0.0, the mean absolute
// percentage error. eF and bF are written, one record each, to the group's
// PHDATG and DTDATG files: those hold the group's starting PHI and DELTA,
// which nothing reads after the group's set-up, and they are deleted at the
// end of the run like the other scratch files.
#include "pooled/pooled_derivations.h"
#include "io/file_table.h"
#include "linalg/scratch.h"
#include "linalg/views.h"

namespace kova {

struct PooledForecast {
  Mat epsF;                   // M x TF, the caller's
  Mat betaF;                  // K x TF, the caller's
  double* yF = nullptr;       // TF: the y-values (-999999.0 where not given)
  double* yHat = nullptr;     // TF: the forecasts
  int compared = 0;
  double rmse = 0.0, mape = 0.0;
  bool mapeComputed = false;
};

void PFCAST(const PooledGroup& grp, int TF, const FileTable& files, Mat L, const double* pibar,
            PooledForecast& out, Scratch s, int logUnit);
ScratchNeed PFCASTneed(int T, int TF, int K, int P, int M);

}  // namespace kova
