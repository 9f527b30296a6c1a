// The regressor matrices of a group (CTLXS, CXZ), the cut-off lag of an
// eigenvalue power, and the result records they share with CSIGYE.
#include "engine/covariance_structure.h"

#include <cmath>
#include <limits>
#include <string>

#include "engine/result_record.h"
#include "io/error_report.h"
#include "io/text_conversion.h"
#include "linalg/blas1.h"
#include "data/matrix_records.h"

namespace kova {

void writeResultRecord(const NamedUnit& file, const char* routine, Mat a, int logUnit) {
  const std::string caller = std::string("SUBROUTINE ") + routine;
  int iocond = 0;
  openFile(file.unit, logUnit, file.name, "UNFORMATTED", "UNKNOWN", iocond, caller, "STOP");
  rewindFile(file.unit, logUnit, file.name, iocond, caller, "STOP");
  iocond = writeMatrixRecord(file.unit, a);
  if (iocond != 0)
    reportError(std::string(" IN SUBROUTINE ") + routine + ", ERROR IN WRITING FILE " +
                    std::string(trimmed(file.name)) + ", IOCOND = " + std::to_string(iocond) + ".",
                "STOP", logUnit);
  closeFile(file.unit, logUnit, file.name, "KEEP", iocond, caller, "STOP");
}

void CTLXS(Mat L, Mat X, Mat result, const NamedUnit& file, bool writeFile, int logUnit) {
  const int K = L.rows, M = L.cols, n = X.cols;
  for (int t = 1; t <= n; ++t) {
    const double* x = X.col(t);
    double* r = result.col(t);
    for (int i = 1; i <= M; ++i) r[i - 1] = DDOT(K, L.col(i), 1, x, 1);
  }
  if (writeFile) writeResultRecord(file, "CTLXS", Mat{result.p, result.ld, M, n}, logUnit);
}

void CXZ(Mat X, Mat Z, Mat XZ, const NamedUnit& file, bool writeFile, int logUnit) {
  const int K = X.rows, P = Z.rows, NUMT = X.cols;
  for (int j = 1; j <= P; ++j)
    for (int k = 1; k <= K; ++k) {
      double* c = XZ.col((j - 1) * K + k);
      for (int t = 1; t <= NUMT; ++t) c[t - 1] = Z(j, t) * X(k, t);
    }
  if (writeFile) writeResultRecord(file, "CXZ", Mat{XZ.p, XZ.ld, NUMT, K * P}, logUnit);
}

int cutOffLag(double r) {
  if (!(r > 0.0 && r < 1.0)) return 100000;
  // Beyond this lag r^k is below 1.0E-76 and the power is dropped. A modulus
  // within about 1.0E-7 of 1 gives a lag past the integer range: such a
  // power is never dropped, so the largest lag says the same.
  const double lag = std::trunc(std::log(1.0E-76) / std::log(r));
  if (lag >= static_cast<double>(std::numeric_limits<int>::max()))
    return std::numeric_limits<int>::max();
  return static_cast<int>(lag);
}

}  // namespace kova
