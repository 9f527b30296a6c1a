// The group forecast against closed forms: PHI a scaled rotation, so that
// PHI^j = r^j R(j theta); y through the Kronecker rows z' (x) x'.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "forecast/group_forecast.h"

namespace kova {
namespace {

struct Forecast {
  int M, K, P, TF;
  std::vector<double> epsF, betaF, yS, yP, work;
  GroupForecast out;
  Forecast(int m, int k, int p, int tf)
      : M(m), K(k), P(p), TF(tf), epsF(m * tf, -1.0), betaF(k * tf, -1.0), yS(tf), yP(tf),
        work(m) {
    out.epsF = Mat{epsF.data(), M, M, TF};
    out.betaF = Mat{betaF.data(), K, K, TF};
    out.yS = yS.data();
    out.yP = yP.data();
    // Stale values from an earlier call must not survive.
    out.compared = 99;
    out.mapeComputed = true;
    out.rmseS = out.rmseP = out.mapeS = out.mapeP = 42.0;
  }
};

struct Inputs {
  static constexpr int M = 2, K = 2, P = 2, NUMT = 3, TF = 5;
  double XF[K * TF] = {1.0, 0.5, -0.3, 2.0, 1.2, -0.7, 0.4, 0.9, -1.1, 0.6};
  double ZF[P * TF] = {1.0, 0.2, 1.0, -0.4, 1.0, 0.8, 1.0, 1.5, 1.0, -0.9};
  double L[K * M] = {0.9, -0.2, 0.3, 1.1};
  double eps[M * NUMT] = {9.0, 9.0, 9.0, 9.0, 0.7, -1.3};  // only column NUMT is used
  double piv[K * P] = {1.5, -0.5, 0.25, 2.0};
  double tlxf[M * TF];
  Inputs() {
    for (int j = 0; j < TF; ++j)
      for (int m = 0; m < M; ++m)
        tlxf[m + j * M] = L[0 + m * K] * XF[0 + j * K] + L[1 + m * K] * XF[1 + j * K];
  }
  void run(const double* yF, Mat phi, Forecast& f) {
    YFCAST(yF, Mat{XF, K, K, TF}, Mat{ZF, P, P, TF}, Mat{tlxf, M, M, TF}, Mat{L, K, K, M}, phi,
           Mat{eps, M, M, NUMT}, piv, f.out, f.work.data());
  }
};

TEST(YFCAST, RotationPhiMatchesClosedFormsAndErrorMeasures) {
  Inputs in;
  const double r = 0.8, theta = 0.6;
  double phi[4] = {r * std::cos(theta), r * std::sin(theta), -r * std::sin(theta),
                   r * std::cos(theta)};
  // Not given: the marker and -9990.0 itself; -9989.0 is a given value.
  const double yF[5] = {2.5, -999999.0, -9990.0, -9989.0, 4.0};
  Forecast f(2, 2, 2, 5);
  in.run(yF, Mat{phi, 2, 2, 2}, f);

  double sumS = 0, sumP = 0, pctS = 0, pctP = 0;
  int n = 0;
  for (int j = 1; j <= 5; ++j) {
    const double c = std::pow(r, j) * std::cos(j * theta), s = std::pow(r, j) * std::sin(j * theta);
    const double e1 = c * in.eps[4] - s * in.eps[5], e2 = s * in.eps[4] + c * in.eps[5];
    EXPECT_NEAR(f.epsF[(j - 1) * 2], e1, 1e-14);
    EXPECT_NEAR(f.epsF[(j - 1) * 2 + 1], e2, 1e-14);
    const double* x = in.XF + (j - 1) * 2;
    const double* z = in.ZF + (j - 1) * 2;
    double ys = 0.0;
    for (int p = 0; p < 2; ++p)
      for (int k = 0; k < 2; ++k) ys += z[p] * x[k] * in.piv[p * 2 + k];
    const double le[2] = {in.L[0] * e1 + in.L[2] * e2, in.L[1] * e1 + in.L[3] * e2};
    const double yp = ys + x[0] * le[0] + x[1] * le[1];
    EXPECT_NEAR(f.yS[j - 1], ys, 1e-14);
    EXPECT_NEAR(f.yP[j - 1], yp, 1e-14);
    for (int k = 0; k < 2; ++k)
      EXPECT_NEAR(f.betaF[(j - 1) * 2 + k], in.piv[k] * z[0] + in.piv[2 + k] * z[1] + le[k],
                  1e-14);
    if (yF[j - 1] > -9990.0) {
      ++n;
      sumS += (yF[j - 1] - ys) * (yF[j - 1] - ys);
      sumP += (yF[j - 1] - yp) * (yF[j - 1] - yp);
      pctS += std::fabs(yF[j - 1] - ys) / std::fabs(yF[j - 1]);
      pctP += std::fabs(yF[j - 1] - yp) / std::fabs(yF[j - 1]);
    }
  }
  EXPECT_EQ(f.out.compared, 3);
  EXPECT_NEAR(f.out.rmseS, std::sqrt(sumS / n), 1e-12);
  EXPECT_NEAR(f.out.rmseP, std::sqrt(sumP / n), 1e-12);
  EXPECT_TRUE(f.out.mapeComputed);
  EXPECT_NEAR(f.out.mapeS, 100.0 * pctS / n, 1e-12);
  EXPECT_NEAR(f.out.mapeP, 100.0 * pctP / n, 1e-12);
  EXPECT_NE(f.out.rmseS, f.out.rmseP);
}

TEST(YFCAST, ZeroPhiZeroYAndNothingGiven) {
  Inputs in;
  double zero[4] = {0.0, 0.0, 0.0, 0.0};
  {
    SCOPED_TRACE("PHI = 0 and a compared y of 0.0");
    const double yF[5] = {0.0, 1.0, -999999.0, 3.0, -2.0};
    Forecast f(2, 2, 2, 5);
    in.run(yF, Mat{zero, 2, 2, 2}, f);
    for (double e : f.epsF) EXPECT_EQ(e, 0.0);
    for (int j = 0; j < 5; ++j) EXPECT_EQ(f.yP[j], f.yS[j]);
    double sum = 0.0;
    for (int j : {0, 1, 3, 4}) sum += (yF[j] - f.yS[j]) * (yF[j] - f.yS[j]);
    EXPECT_EQ(f.out.compared, 4);
    EXPECT_NEAR(f.out.rmseS, std::sqrt(sum / 4), 1e-13);
    EXPECT_EQ(f.out.rmseP, f.out.rmseS);
    EXPECT_FALSE(f.out.mapeComputed);
    EXPECT_EQ(f.out.mapeS, 0.0);
    EXPECT_EQ(f.out.mapeP, 0.0);
  }
  {
    SCOPED_TRACE("no y given");
    const double yF[5] = {-999999.0, -999999.0, -9990.0, -999999.0, -1.0e6};
    Forecast f(2, 2, 2, 5);
    in.run(yF, Mat{zero, 2, 2, 2}, f);
    EXPECT_EQ(f.out.compared, 0);
    EXPECT_EQ(f.out.rmseS, 0.0);
    EXPECT_EQ(f.out.rmseP, 0.0);
    EXPECT_FALSE(f.out.mapeComputed);
    EXPECT_EQ(f.out.mapeS, 0.0);
    EXPECT_EQ(f.out.mapeP, 0.0);
  }
}

}  // namespace
}  // namespace kova
