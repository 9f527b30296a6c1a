// PI under inequality restrictions and its agreement check.
#include "estimation/pi_inequalities.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "io/edit_descriptors.h"
#include "io/file_services.h"
#include "io/messages.h"
#include "io/stop.h"
#include "linalg/blas1.h"
#include "linalg/bvls.h"
#include "linalg/least_squares.h"
#include "linalg/linpack.h"
#include "report/matrix_printer.h"

namespace kova {
namespace {

constexpr int kDumpUnit = 888;
constexpr const char* kDumpFile = "INEQPI.OUT";
constexpr const char* kCaller = "SUBROUTINE INEQPI";
constexpr double kAttainedTolerance = 1.0E-10;
// A row holds to the rounding of its terms; a miss below this fraction of
// them is no miss (see convertAttained).
constexpr double kRoundingFloor = 1.0E-13;
constexpr double kCloseTolerance = 1.0E-8;
constexpr int kIndicesPerLine = 6;

// The arrays of one INEQPI call; the same carving sizes the step. E holds
// room for the equality rows and for the at most min(NUMT, K*P) exact
// equations of a singular factor; the QDBVLS work is sized for that many
// constraint rows in all.
struct IneqpiArrays {
  Mat f;         // UYSGMA', destroyed by DSVDC
  Mat w;         // its left singular vectors
  double* sv = nullptr;       // NUMT + 1 singular values
  double* e = nullptr;        // NUMT
  double* svdWork = nullptr;  // NUMT
  Mat at;        // W' XZ, rows scaled by 1/s
  double* bt = nullptr;       // W' y, likewise
  double* qraux = nullptr;    // K*P, for the exact equations
  double* qrWork = nullptr;   // K*P
  int* jpvt = nullptr;        // K*P
  Mat eq;        // the equality rows handed to QDBVLS
  double* eqRhs = nullptr;
  QdbvlsWork qp;
};

IneqpiArrays carveIneqpi(Scratch& s, int numt, int kp, int rows) {
  const int exact = std::min(numt, kp);
  const int mc = std::max(rows, 0) + exact;
  IneqpiArrays a;
  a.f = s.mat(numt, numt);
  a.w = s.mat(numt, numt);
  a.sv = s.doubles(numt + 1);
  a.e = s.doubles(numt);
  a.svdWork = s.doubles(numt);
  a.at = s.mat(numt, kp);
  a.bt = s.doubles(numt);
  a.qraux = s.doubles(kp);
  a.qrWork = s.doubles(kp);
  a.jpvt = s.ints(kp);
  a.eq = s.mat(mc, kp);
  a.eqRhs = s.doubles(mc);
  const QdbvlsWorkSize size = qdbvlsWorkSize(numt, kp, mc, 0);
  double* dwork = s.doubles(size.doubles);
  int* iwork = s.ints(size.ints);
  if (!s.counting()) a.qp = carveQdbvlsWork(dwork, iwork, numt, kp, mc, 0);
  return a;
}

void writeText(int unit, const char* text) { writeUnit(unit, (ListLine() << text).str()); }

void writeCount(int unit, const char* label, int value) {
  writeUnit(unit, (ListLine() << label << value).str());
}

void dumpInputs(const double* y, Mat XZ, Mat uysgma, Mat workR, const double* workRhs,
                int spirow, int neqpic, int logUnit) {
  const int numt = XZ.rows, kp = XZ.cols;
  int iocond = 0;
  openFile(kDumpUnit, logUnit, kDumpFile, "FORMATTED", "UNKNOWN", iocond, kCaller, "STOP");
  writeText(kDumpUnit, "FROM SUBROUTINE INEQPI --");
  writeCount(kDumpUnit, "NUMT=", numt);
  PRTMAT(std::max(numt, 1), numt, 1, y, kDumpUnit, "THE VECTOR Y", logUnit);
  PRTMAT(XZ.ld, numt, kp, XZ.p, kDumpUnit, "THE MATRIX XZ", logUnit);
  PRTMAT(uysgma.ld, numt, numt, uysgma.p, kDumpUnit, "THE MATRIX UYSGMA", logUnit);
  writeCount(kDumpUnit, "SPIROW=", spirow);
  writeCount(kDumpUnit, "NEQPIC=", neqpic);
  PRTMAT(workR.ld, spirow, kp, workR.p, kDumpUnit, "THE MATRIX RCFPI", logUnit);
  PRTMAT(std::max(spirow, 1), spirow, 1, workRhs, kDumpUnit, "THE VECTOR RVCPI", logUnit);
}

void dumpSolution(const double* eipivc, int kp, int ierr, const QdbvlsWork& qp, int cols,
                  int logUnit) {
  PRTMAT(std::max(kp, 1), kp, 1, eipivc, kDumpUnit, "THE VECTOR EIPIVC", logUnit);
  writeCount(kDumpUnit, "IERR =", ierr);
  writeCount(kDumpUnit, "NSETP =", qp.nsetp);
  writeCount(kDumpUnit, "KDM*PDM+CNROWE+CNROWG =", cols);
  PRTMAT(std::max(cols, 1), cols, 1, qp.w, kDumpUnit, "THE VECTOR W", logUnit);
  writeText(kDumpUnit, "THE VECTOR IDX --");
  for (int first = 0; first < cols; first += kIndicesPerLine) {
    ListLine line;
    for (int i = first; i < std::min(cols, first + kIndicesPerLine); ++i) line << qp.index[i];
    writeUnit(kDumpUnit, line.str());
  }
}

// DCF: the singular value decomposition UYSGMA' = W S V' (left vectors
// only), and the transformed regression
//   at = S_r^-1 W_r' XZ, bt = S_r^-1 W_r' y     (rows 1..r)
//   W_0' XZ x = W_0' y                           (rows r+1..NUMT, exact)
// r is the numerical rank of the factor: the leading singular values above
// 1.0E-8 of the largest, the rank rule of the generalized least-squares
// core. Returns r.
//
// How a singular factor enters. With y - XZ x = UYSGMA' u, the estimate
// minimises ||u||; along a left singular vector w_i with s_i > 0 that is the
// sum of (w_i'(y - XZ x) / s_i)**2, an ordinary least-squares row. Along a
// vector with s_i = 0 (numerically) the disturbance has no variance at all,
// so w_i'(y - XZ x) = 0 must hold exactly: such a direction is an exact
// equation on x, as a zero row of the covariance factor is in the
// generalized least-squares core that estimates PI under the converted
// restrictions. Those equations are reduced (compressExact) to at most K*P
// independent ones, which join the equality restrictions. A singular factor
// therefore makes fewer least-squares rows and more equality rows; a zero
// factor leaves only equalities.
int DCF(const double* y, Mat XZ, Mat uysgma, IneqpiArrays& a, int logUnit) {
  const int numt = XZ.rows, kp = XZ.cols;
  for (int j = 1; j <= numt; ++j)
    for (int i = 1; i <= numt; ++i) a.f(i, j) = uysgma(j, i);
  int info = 0;
  if (numt > 0)
    DSVDC(a.f.p, a.f.ld, numt, numt, a.sv, a.e, a.w.p, a.w.ld, nullptr, 1, a.svdWork, 10, info);
  if (info != 0) {
    reportToUnitAndConsole(logUnit,
                           (ListLine() << "SINGULAR VALUE DECOMPOSITION IN SUBROUTINE DCF HAS "
                                          "BEEN UNSUCCESSFUL.  PROGRAM STOPS")
                               .str());
    stopRun();
  }
  int r = 0;
  while (r < numt && a.sv[r] > kGlsTol * a.sv[0]) ++r;
  for (int i = 1; i <= numt; ++i) {
    const double* wi = a.w.col(i);
    for (int j = 1; j <= kp; ++j) a.at(i, j) = DDOT(numt, wi, 1, XZ.col(j), 1);
    a.bt[i - 1] = DDOT(numt, wi, 1, y, 1);
    if (i <= r) {
      const double scale = 1.0 / a.sv[i - 1];
      for (int j = 1; j <= kp; ++j) a.at(i, j) *= scale;
      a.bt[i - 1] *= scale;
    }
  }
  return r;
}

// Reduces the exact equations, rows r+1..NUMT of at and bt, by a QR
// factorization with column pivoting to its leading independent rows
// R P' x = (Q' g)(1..k), written to eq and eqRhs from row `first` on.
// Independence is judged against the size of XZ itself (||W' XZ|| =
// ||XZ||): rows that are rounding beside it say nothing about x. What the
// remaining rows of Q' g hold is the data's departure from the model; it is
// no restriction on x. Returns k.
int compressExact(Mat XZ, int r, IneqpiArrays& a, int first) {
  const int numt = XZ.rows, kp = XZ.cols, q = numt - r;
  if (q <= 0 || kp <= 0) return 0;
  double xzNorm = 0.0;
  for (int j = 1; j <= kp; ++j) xzNorm = std::hypot(xzNorm, DNRM2(numt, XZ.col(j), 1));
  double* g0 = a.at.p + r;
  std::fill_n(a.jpvt, kp, 0);
  DQRDC(g0, a.at.ld, q, kp, a.qraux, a.jpvt, a.qrWork, 1);
  int k = 0;
  while (k < std::min(q, kp) && std::abs(g0[k + static_cast<long>(k) * a.at.ld]) > kGlsTol * xzNorm)
    ++k;
  int info = 0;
  DQRSL(g0, a.at.ld, q, k, a.qraux, a.bt + r, nullptr, a.bt + r, nullptr, nullptr, nullptr, 1000,
        info);
  for (int i = 1; i <= k; ++i) {
    for (int j = 1; j <= kp; ++j) {
      const double rij = j >= i ? g0[(i - 1) + static_cast<long>(j - 1) * a.at.ld] : 0.0;
      a.eq(first + i - 1, a.jpvt[j - 1]) = rij;
    }
    a.eqRhs[first + i - 2] = a.bt[r + i - 1];
  }
  return k;
}

// The message of restrictions that no PI meets, to the report, the log and
// the console.
void reportInfeasible(int groupId, int pass, int outUnit, int logUnit) {
  const std::string text =
      (ListLine() << "IN SUBROUTINE INEQPI, NO PI MEETS ALL PI RESTRICTIONS OF GROUP" << groupId
                  << "IN ITERATION" << pass
                  << ".  NO INEQUALITY IS CONVERTED.  PROGRAM CONTINUES.")
          .str();
  writeUnit(outUnit, "");
  writeUnit(outUnit, text);
  reportToUnitAndConsole(logUnit, text);
}

// Copies the inequality rows that EIPIVC meets behind the equality rows and
// returns how many there are. The measure of "meets" is 1.0E-10 of the
// right-hand side (absolute 1.0E-10 for a zero one). A binding row holds to
// the rounding of EIPIVC, which is of the order of the machine precision
// times the size of the whole vector: where that is large beside the
// right-hand side (large coefficients in a homogeneous row, a right-hand
// side near zero) an exactly binding row misses by more than that measure.
// So a miss within the rounding floor of ||row|| ||EIPIVC|| (or of the sum of
// the magnitudes of the row's terms, when larger) also counts as met.
int convertAttained(Mat workR, double* workRhs, int total, int neqpic, const double* eipivc,
                    int* attained, bool dump) {
  const int kp = workR.cols;
  const double xNorm = kp > 0 ? DNRM2(kp, eipivc, 1) : 0.0;
  int spirow = neqpic;
  for (int i = neqpic + 1; i <= total; ++i) {
    double v = 0.0, terms = 0.0, rowNorm = 0.0;
    for (int j = 1; j <= kp; ++j) {
      v += workR(i, j) * eipivc[j - 1];
      terms += std::abs(workR(i, j) * eipivc[j - 1]);
      rowNorm = std::hypot(rowNorm, workR(i, j));
    }
    terms = std::max(terms, rowNorm * xNorm);
    const double d = workRhs[i - 1];
    const double miss = d != 0.0 ? std::abs(v - d) : std::abs(v);
    const double tolerance = d != 0.0 ? kAttainedTolerance * std::abs(d) : kAttainedTolerance;
    if (!(miss <= tolerance || miss <= kRoundingFloor * terms)) continue;
    ++spirow;
    if (spirow != i) {
      for (int j = 1; j <= kp; ++j) workR(spirow, j) = workR(i, j);
      workRhs[spirow - 1] = d;
    }
    ++attained[i - neqpic - 1];
    if (dump) {
      writeUnit(kDumpUnit, "");
      writeCount(kDumpUnit, "EQUALITY ATTAINED IN EQUATION", i);
      writeUnit(kDumpUnit, "");
    }
  }
  return spirow - neqpic;
}

}  // namespace

ScratchNeed INEQPIneed(int NUMT, int KP, int rows) {
  Scratch s;
  carveIneqpi(s, NUMT, KP, rows);
  return s.used();
}

void INEQPI(int pass, int groupId, const double* y, Mat XZ, Mat uysgma, Mat workR,
            double* workRhs, int& SPIROW, int NEQPIC, int& converted, double* EIPIVC,
            int* attained, Scratch& s, int outUnit, int logUnit) {
  const int kp = XZ.cols, total = std::max(SPIROW, 0), neqpic = std::clamp(NEQPIC, 0, total);
  const int mi = total - neqpic;
  const bool dump = groupId == 17 && pass == 1;
  IneqpiArrays a = carveIneqpi(s, XZ.rows, kp, total);
  if (pass == 0) std::fill_n(attained, mi, 0);
  if (dump) dumpInputs(y, XZ, uysgma, workR, workRhs, total, neqpic, logUnit);

  // The least-squares problem without the covariance, and the equality
  // rows: the user's first, then the exact equations of a singular factor.
  const int r = DCF(y, XZ, uysgma, a, logUnit);
  for (int j = 1; j <= kp; ++j)
    for (int i = 1; i <= neqpic; ++i) a.eq(i, j) = workR(i, j);
  std::copy_n(workRhs, neqpic, a.eqRhs);
  const int me = neqpic + compressExact(XZ, r, a, neqpic + 1);

  LinearConstraints cons{Mat{a.eq.p, a.eq.ld, me, kp}, a.eqRhs,
                         Mat{workR.p + neqpic, workR.ld, mi, kp}, workRhs + neqpic};
  bool inconsistent = false;
  int ierr = 0;
  QDBVLS(Mat{a.at.p, a.at.ld, r, kp}, a.bt, cons, a.qp, EIPIVC, inconsistent, ierr, logUnit);
  if (dump) dumpSolution(EIPIVC, kp, ierr, a.qp, kp + me + mi, logUnit);

  converted = 0;
  if (inconsistent)
    reportInfeasible(groupId, pass, outUnit, logUnit);
  else
    converted = convertAttained(workR, workRhs, total, neqpic, EIPIVC, attained, dump);
  SPIROW = neqpic + converted;

  if (dump) {
    int iocond = 0;
    closeFile(kDumpUnit, logUnit, kDumpFile, "KEEP", iocond, kCaller, "STOP");
  }
}

bool CMPPIV(const double* EIPIVC, const double* PIVECT, int n, int outUnit) {
  double d = 0.0;
  for (int i = 0; i < n; ++i) d = std::hypot(d, EIPIVC[i] - PIVECT[i]);
  const double scale = std::sqrt(DNRM2(n, EIPIVC, 1) * DNRM2(n, PIVECT, 1));
  const bool equal = kCloseTolerance * scale >= d;
  writeUnit(outUnit, "");
  writeText(outUnit, equal ? "EIPIVC AND PIVECT ARE SUFFICIENTLY CLOSE TO BE CONSIDERED "
                             "NUMERICALLY EQUAL."
                           : "EIPIVC AND PIVECT ARE NOT SUFFICIENTLY CLOSE TO BE CONSIDERED "
                             "NUMERICALLY EQUAL");
  return equal;
}

}  // namespace kova
