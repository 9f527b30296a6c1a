#include "pooled/pooled_forecast.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "io/error_report.h"
#include "io/file_services.h"
#include "io/record_io.h"
#include "io/text_conversion.h"

namespace kova {
namespace {

struct PfcastWork {
  Mat eps, XF, ZF, A;
  double *c, *e;
  int* given;
};

PfcastWork carveWork(Scratch& s, int T, int TF, int K, int P, int M) {
  PfcastWork w;
  w.eps = s.mat(M, T);
  w.c = s.doubles(K);
  w.XF = s.mat(K, TF);
  w.ZF = s.mat(P, TF);
  w.A = s.mat(M, M);
  w.e = s.doubles(M);
  w.given = s.ints(TF);
  return w;
}

void readFlags(const NamedUnit& file, int TF, int* given, int logUnit) {
  const char* caller = "SUBROUTINE PFCAST";
  int iocond = 0;
  openFile(file.unit, logUnit, file.name, "UNFORMATTED", "OLD", iocond, caller, "STOP");
  rewindFile(file.unit, logUnit, file.name, iocond, caller, "STOP");
  for (int j = 0; j < TF; ++j)
    if (readInts(file.unit, given + j, 1) != 0)
      reportError(" IN SUBROUTINE PFCAST, RECORD " + std::to_string(j + 1) + " OF FILE " +
                      std::string(trimmed(file.name)) + " IS MISSING OR HAS THE WRONG SIZE.",
                  "STOP", logUnit);
  closeFile(file.unit, logUnit, file.name, "KEEP", iocond, caller, "CONTINUE");
}

}  // namespace

ScratchNeed PFCASTneed(int T, int TF, int K, int P, int M) {
  Scratch s;
  carveWork(s, T, TF, K, P, M);
  return s.used();
}

void PFCAST(const PooledGroup& grp, int TF, const FileTable& files, Mat L, const double* pibar,
            PooledForecast& out, Scratch s, int logUnit) {
  const char* routine = "PFCAST";
  const int T = grp.T, K = grp.K, P = grp.P, M = grp.M, g = grp.g;
  PfcastWork w = carveWork(s, T, TF, K, P, M);
  readMatrixRecords(files.scratch(Family::PSAVE, g), &w.A, 1, routine, logUnit);
  const Mat c{w.c, std::max(K, 1), K, 1};
  readMatrixRecords(files.scratch(Family::MUVECP, g), &c, 1, routine, logUnit);
  readMatrixRecords(files.scratch(Family::EPSVECP, g), &w.eps, 1, routine, logUnit);
  readColumnRecords(files.scratch(Family::YFCAST, g), TF, Mat{out.yF, 1, 1, TF}, routine,
                    logUnit);
  readColumnRecords(files.scratch(Family::XFCAST, g), TF, w.XF, routine, logUnit);
  readColumnRecords(files.scratch(Family::ZFCAST, g), TF, w.ZF, routine, logUnit);
  readFlags(files.scratch(Family::YFCIDX, g), TF, w.given, logUnit);

  const double* previous = T >= 1 ? w.eps.col(T) : nullptr;
  for (int j = 1; j <= TF; ++j) {
    for (int i = 1; i <= M; ++i) {
      double sum = 0.0;
      for (int l = 1; l <= M; ++l) sum += w.A(i, l) * (previous ? previous[l - 1] : 0.0);
      w.e[i - 1] = sum;
    }
    for (int i = 1; i <= M; ++i) out.epsF(i, j) = w.e[i - 1];
    previous = out.epsF.col(j);
    double y = 0.0;
    for (int i = 1; i <= K; ++i) {
      double b = w.c[i - 1] * w.ZF(1, j);
      for (int q = 2; q <= P; ++q) b += pibar[(q - 1) * K + i - 1] * w.ZF(q, j);
      for (int m = 1; m <= M; ++m) b += L(i, m) * out.epsF(m, j);
      out.betaF(i, j) = b;
      y += w.XF(i, j) * b;
    }
    out.yHat[j - 1] = y;
  }

  int n = 0;
  bool zero = false;
  double squares = 0.0, percents = 0.0;
  for (int j = 0; j < TF; ++j) {
    if (w.given[j] < 1) continue;
    const double yj = out.yF[j], r = yj - out.yHat[j];
    ++n;
    squares += r * r;
    if (yj == 0.0) zero = true;
    else percents += std::fabs(r) / std::fabs(yj);
  }
  out.compared = n;
  out.rmse = n >= 1 ? std::sqrt(squares / n) : 0.0;
  out.mapeComputed = n >= 1 && !zero;
  out.mape = out.mapeComputed ? 100.0 * percents / n : 0.0;

  writeMatrixRecords(files.scratch(Family::PHDATG, g), &out.epsF, 1, routine, logUnit);
  writeMatrixRecords(files.scratch(Family::DTDATG, g), &out.betaF, 1, routine, logUnit);
}

}  // namespace kova
