#pragma once
// The report sections of the pooled phase, written by the run driver: the
// reparametrisation of PI, the covariance matrix of the MU-vectors and its
// adjustment, the pooled PI vector, and for every group its pooled
// estimates and pooled forecast.
#include "linalg/views.h"

namespace kova {

// Level >= 1, no heading: the rank of the PI restriction matrix, C and d;
// without restriction rows the one line that says C = I and d = 0.
void printPiReparametrisation(int printLevel, bool noRows, int rank, Mat C, const double* d,
                              int outUnit, int messageUnit);

// Always: the K x K matrix the groups accumulated.
void printInitialMuCovariance(Mat result, int outUnit, int messageUnit);

// Always: the eigenvalues of the initial matrix, then either the adjusted
// eigenvalues, matrix and upper Cholesky factor, or the line that no
// adjustment was necessary.
void printMuAdjustment(const double* eval0, const double* eval, bool adjusted, Mat asym,
                       Mat uasym, int outUnit, int messageUnit);

// Level >= 1: the pooled PI vector and its covariance with standard errors,
// t-ratios and coefficients of variation.
void printPooledPi(int printLevel, const double* pibar, Mat cov, int outUnit, int messageUnit);

// Level >= 1, heading "G": a group's pooled EPSILON matrix, MU vector and
// BETA matrix.
void printPooledResults(int printLevel, int groupId, Mat eps, const double* mu, Mat beta,
                        int outUnit, int messageUnit);

// Level >= 1, heading "G": a group's pooled forecast with its error lines.
struct PooledForecastSection {
  Mat epsF, betaF;
  const double* yF = nullptr;
  const double* yHat = nullptr;
  int TF = 0;
  double rmse = 0.0, mape = 0.0;
  bool mapeComputed = false;
};
void printPooledForecast(int printLevel, int groupId, const PooledForecastSection& s,
                         int outUnit, int messageUnit);

}  // namespace kova
