#pragma once
// YFCAST: a group's forecasts of EPSILON, BETA and y for its forecast
// periods, with the error measures over the periods whose y is given.
#include "linalg/views.h"

namespace kova {

struct GroupForecast {
  Mat epsF;              // M x TF: PHI^j EPSILON(:, NUMT)
  Mat betaF;             // K x TF
  double* yS = nullptr;  // TF: x' PI z
  double* yP = nullptr;  // TF: yS + TLXF' epsF
  int compared = 0;
  double rmseS = 0, rmseP = 0, mapeS = 0, mapeP = 0;
  bool mapeComputed = false;
};

// yF (TF; -999999.0 where not given), XF (K x TF), ZF (P x TF), TLXF
// (M x TF), L, PHI, EPSILON (M x NUMT), PIVECT. Every field of out is
// rewritten; compared counts the periods with yF > -9990.0. work (M
// doubles) is not needed: each period's forecast EPSILON is built from the
// previous one in place.
void YFCAST(const double* yF, Mat XF, Mat ZF, Mat tlxf, Mat L, Mat phi, Mat epsilon,
            const double* PIVECT, GroupForecast& out, double* work);

}  // namespace kova
