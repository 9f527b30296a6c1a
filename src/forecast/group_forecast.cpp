#include "forecast/group_forecast.h"

#include <cmath>

namespace kova {

namespace {
// A y-value at or below this marks a forecast period whose y is not given.
constexpr double kNotGivenBelow = -9990.0;
}  // namespace

void YFCAST(const double* yF, Mat XF, Mat ZF, Mat tlxf, Mat L, Mat phi, Mat epsilon,
            const double* PIVECT, GroupForecast& out, double* /*work*/) {
  const int K = XF.rows, TF = XF.cols, P = ZF.rows, M = phi.rows, NUMT = epsilon.cols;

  for (int j = 1; j <= TF; ++j) {
    // BETAF(:,j) = PI zF(j), the systematic part.
    double* bj = out.betaF.col(j);
    for (int k = 1; k <= K; ++k) {
      double v = 0.0;
      for (int p = 1; p <= P; ++p) v += PIVECT[(p - 1) * K + (k - 1)] * ZF(p, j);
      bj[k - 1] = v;
    }
    double ys = 0.0;
    for (int k = 1; k <= K; ++k) ys += XF(k, j) * bj[k - 1];
    out.yS[j - 1] = ys;

    // PHI^j EPSILON(:,NUMT). Applying PHI once to the previous period's
    // forecast performs exactly the same products, in the same order, as
    // applying it j times to EPSILON(:,NUMT).
    double* ej = out.epsF.col(j);
    const double* prev = j == 1 ? (NUMT >= 1 ? epsilon.col(NUMT) : nullptr) : out.epsF.col(j - 1);
    for (int i = 1; i <= M; ++i) {
      double v = 0.0;
      if (prev != nullptr)
        for (int m = 1; m <= M; ++m) v += phi(i, m) * prev[m - 1];
      ej[i - 1] = v;
    }

    for (int k = 1; k <= K; ++k) {
      double v = 0.0;
      for (int m = 1; m <= M; ++m) v += L(k, m) * ej[m - 1];
      bj[k - 1] += v;
    }
    double yp = ys;
    for (int m = 1; m <= M; ++m) yp += tlxf(m, j) * ej[m - 1];
    out.yP[j - 1] = yp;
  }

  int n = 0;
  bool zeroY = false;
  double sumS = 0.0, sumP = 0.0, pctS = 0.0, pctP = 0.0;
  for (int j = 0; j < TF; ++j) {
    if (!(yF[j] > kNotGivenBelow)) continue;
    ++n;
    const double dS = yF[j] - out.yS[j], dP = yF[j] - out.yP[j];
    sumS += dS * dS;
    sumP += dP * dP;
    if (yF[j] == 0.0) {
      zeroY = true;
    } else {
      pctS += std::fabs(dS) / std::fabs(yF[j]);
      pctP += std::fabs(dP) / std::fabs(yF[j]);
    }
  }
  out.compared = n;
  out.rmseS = n >= 1 ? std::sqrt(sumS / n) : 0.0;
  out.rmseP = n >= 1 ? std::sqrt(sumP / n) : 0.0;
  out.mapeComputed = n >= 1 && !zeroY;
  out.mapeS = out.mapeComputed ? 100.0 * pctS / n : 0.0;
  out.mapeP = out.mapeComputed ? 100.0 * pctP / n : 0.0;
}

}  // namespace kova
