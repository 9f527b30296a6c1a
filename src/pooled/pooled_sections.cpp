#include "pooled/pooled_sections.h"

#include <string>

#include "io/edit_descriptors.h"
#include "io/messages.h"
#include "report/estimation_sections.h"
#include "report/matrix_printer.h"

namespace kova {
namespace {

void print(Mat a, const char* title, int out, int msg) {
  PRTMAT(a.ld, a.rows, a.cols, a.p, out, title, msg);
}

void printVector(const double* v, int n, const char* title, int out, int msg) {
  PRTMAT(n, n, 1, v, out, title, msg);
}

}  // namespace

void printPiReparametrisation(int printLevel, bool noRows, int rank, Mat C, const double* d,
                              int out, int msg) {
  if (printLevel < 1) return;
  writeUnit(out, "");
  if (noRows) {
    writeUnit(out, "NO RESTRICTION ON PI MATRIX: THE MATRIX C HAS BEEN SET TO THE IDENTITY "
                   "MATRIX, AND THE VECTOR R'*INVERSE(RR')*r HAS ZERO ENTRIES.");
    return;
  }
  writeUnit(out, "NUMERICAL RANK OF THE RESTRICTION MATRIX OF PI IS" + editI(rank, 5));
  print(C, "THE MATRIX C -- ORTHOGONAL TO THE PI RESTRICTION MATRIX", out, msg);
  printVector(d, C.cols, "THE VECTOR R'*INVERSE(RR')*r IN THE RESTRICTION OF PI COEFFICIENTS",
              out, msg);
}

void printInitialMuCovariance(Mat result, int out, int msg) {
  print(result, "THE INITIAL COVARIANCE MATRIX FOR THE MU-VECTORS", out, msg);
}

void printMuAdjustment(const double* eval0, const double* eval, bool adjusted, Mat asym,
                       Mat uasym, int out, int msg) {
  const int K = asym.rows;
  printVector(eval0, K, "EIGENVALUES OF THE INITIAL COVARIANCE MATRIX OF THE MU-VECTORS", out,
              msg);
  if (!adjusted) {
    writeUnit(out, "");
    writeUnit(out, "NO ADJUSTMENT IS NECESSARY FOR THE COVARIANCE MATRIX.");
    return;
  }
  printVector(eval, K, "THE ADJUSTED EIGENVALUES", out, msg);
  print(asym, "THE ADJUSTED COVARIANCE MATRIX", out, msg);
  print(uasym, "THE UPPER CHOLESKY FACTOR OF THE ADJUSTED COVARIANCE MATRIX", out, msg);
}

void printPooledPi(int printLevel, const double* pibar, Mat cov, int out, int msg) {
  if (printLevel < 1) return;
  printVector(pibar, cov.rows, "THE POOLED PI-VECTOR", out, msg);
  print(cov, "COVARIANCE OF PI-VECTOR", out, msg);
  printStandardErrorLists(pibar, cov, true, out);
}

void printPooledResults(int printLevel, int groupId, Mat eps, const double* mu, Mat beta,
                        int out, int msg) {
  if (printLevel < 1) return;
  PRTHDG(groupId, 0, "G", out, msg);
  print(eps, "THE POOLED EPSILON MATRIX", out, msg);
  printVector(mu, beta.rows, "THE POOLED MU VECTOR", out, msg);
  print(beta, "THE POOLED BETA MATRIX", out, msg);
}

void printPooledForecast(int printLevel, int groupId, const PooledForecastSection& s, int out,
                         int msg) {
  if (printLevel < 1) return;
  PRTHDG(groupId, 0, "G", out, msg);
  print(s.epsF, "FORECAST POOLED EPSILON MATRIX", out, msg);
  print(s.betaF, "FORECAST POOLED BETA MATRIX", out, msg);
  PRTMAT(1, 1, s.TF, s.yF, out, "Y-DATA", msg);
  PRTMAT(1, 1, s.TF, s.yHat, out, "FORECAST Y-VALUES (POOLED)", msg);
  writeUnit(out, "");
  writeUnit(out, "");
  writeUnit(out, "ROOT MEAN SQUARE ERROR OF POOLED FORECAST RESIDUALS IS" + editG(s.rmse, 13, 5));
  writeUnit(out, "");
  if (s.mapeComputed)
    writeUnit(out, "MEAN ABSOLUTE PERCENTAGE ERROR OF POOLED FORECAST RESIDUALS IS" +
                       editG(s.mape, 13, 5));
  else
    writeUnit(out,
              "MEAN ABSOLUTE PERCENTAGE ERROR IS NOT COMPUTED DUE TO A ZERO COMPARISON Y-VALUE");
}

}  // namespace kova
