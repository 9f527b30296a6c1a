#include "pooled/pooled_reparametrisation.h"

#include <algorithm>

#include "io/edit_descriptors.h"
#include "io/messages.h"
#include "io/stop.h"
#include "linalg/linpack.h"

namespace kova {
namespace {

constexpr double kRankTol = 1.0E-14;

void setIdentity(int KP, PiReparametrisation& out) {
  out.n = KP;
  out.C.rows = KP;
  out.C.cols = KP;
  for (int j = 1; j <= KP; ++j) {
    for (int i = 1; i <= KP; ++i) out.C(i, j) = 0.0;
    out.C(j, j) = 1.0;
    out.d[j - 1] = 0.0;
  }
}

struct OrcrrpWork {
  Mat x, u, v;
  double *s, *e, *work;
};

OrcrrpWork carveWork(Scratch& s, int rows, int KP) {
  OrcrrpWork w;
  w.x = s.mat(rows, KP);
  w.u = s.mat(rows, rows);
  w.v = s.mat(KP, KP);
  w.s = s.doubles(std::min(rows + 1, KP));
  w.e = s.doubles(KP);
  w.work = s.doubles(std::max(rows, 1));
  return w;
}

void stopWith(const std::string& message, int logUnit) {
  reportToUnitAndConsole(logUnit, message);
  stopRun();
}

}  // namespace

ScratchNeed ORCRRPneed(int rows, int KP) {
  Scratch s;
  carveWork(s, rows, KP);
  return s.used();
}

void ORCRRP(Mat R, const double* r, int rows, int K, int P, PiReparametrisation& out, Scratch s,
            int logUnit) {
  if (K < 1 || P < 1)
    stopWith((ListLine() << "IN SUBROUTINE ORCRRP,  KDM=" << K << "PDM=" << P
                         << ".  NO COMPUTATION IS PERFORMED.  PROGRAM STOPS.")
                 .str(),
             logUnit);
  const int KP = K * P;
  if (rows < 0 || rows > KP)
    stopWith((ListLine() << "IN SUBROUTINE ORCRRP,  SPIROW =" << rows
                         << ".  NO COMPUTATION IS PERFORMED.  PROGRAM STOPS.")
                 .str(),
             logUnit);
  out.noRows = rows == 0;
  out.rank = 0;
  if (rows == 0) {
    setIdentity(KP, out);
    return;
  }

  OrcrrpWork w = carveWork(s, rows, KP);
  for (int j = 1; j <= KP; ++j)
    for (int i = 1; i <= rows; ++i) w.x(i, j) = R(i, j);
  int info = 0;
  DSVDC(w.x.p, w.x.ld, rows, KP, w.s, w.e, w.u.p, w.u.ld, w.v.p, w.v.ld, w.work, 11, info);
  if (info != 0) {
    writeUnitAndConsole(logUnit, (ListLine() << "IN SUBROUTINE ORCRRP, UPON RETURNINGFROM "
                                                "SUBROUTINE DSVDC.  INFO SHOULD BE ZERO UPON A "
                                                "REGULAR RETURN")
                                     .str());
    writeUnitAndConsole(logUnit, (ListLine() << "INFO=" << info).str());
  }
  const int m = std::min(rows, KP);
  int a = 0;
  if (w.s[0] > 0.0)
    while (a < m && w.s[a] >= kRankTol * w.s[0]) ++a;
  out.rank = a;
  if (a == 0) {
    setIdentity(KP, out);
    return;
  }
  if (a != rows)
    writeUnit(logUnit, (ListLine() << "IN SUBROUTINE ORCRRP, THE NUMBER OF ROWS IN THE PI "
                                      "RESTRICTION MATRIX IS"
                                   << rows << ".  THE RANK OF THE RESTRICTION MATRIX IS" << a
                                   << ". THE TWO VALUES ARE UNEQUAL.")
                           .str());
  if (a == KP)
    stopWith("IN SUBROUTINE ORCRRP, THE NUMBER OF ROWS IN THE PI RESTRICTION MATRIX IS EQUAL TO "
             "THE RANK OF THE RESTRICTION MATRIX.  PROGRAM STOPS.",
             logUnit);

  out.n = KP - a;
  out.C.rows = out.n;
  out.C.cols = KP;
  for (int j = 1; j <= KP; ++j)
    for (int i = 1; i <= out.n; ++i) out.C(i, j) = w.v(j, a + i);
  for (int j = 0; j < KP; ++j) out.d[j] = 0.0;
  for (int i = 1; i <= a; ++i) {
    double ur = 0.0;
    for (int l = 1; l <= rows; ++l) ur += w.u(l, i) * r[l - 1];
    const double c = ur / w.s[i - 1];
    for (int j = 1; j <= KP; ++j) out.d[j - 1] += c * w.v(j, i);
  }
}

}  // namespace kova
