#include "estimation/pi_rank.h"

#include <algorithm>
#include <cmath>

#include "estimation/pass_warnings.h"
#include "io/edit_descriptors.h"
#include "io/messages.h"
#include "linalg/linpack.h"
#include "report/named_estimates.h"
#include "report/result_tables.h"

namespace kova {
namespace {

// Singular values of the scaled [XZ; R] at or below this fraction of the
// largest count as zero: exact collinearity leaves rounding of about 1e-16.
constexpr double kRankFloor = 1.0E-10;
// An element whose row of the null-space basis is below this is identified
// (the basis is orthonormal; rounding leaves about 1e-15).
constexpr double kInvolved = 1.0E-8;

struct RankWork {
  Mat t;  // KP x KP: the triangle of the QR factorization of the scaled [XZ; R]
  double *row, *s, *e, *work, *scale;
  Mat v;  // KP x KP
};

RankWork carve(Scratch& s, int kp) {
  RankWork w;
  w.t = s.mat(kp, kp);
  w.row = s.doubles(kp);
  w.s = s.doubles(kp + 1);
  w.e = s.doubles(kp);
  w.work = s.doubles(kp);
  w.scale = s.doubles(kp);
  w.v = s.mat(kp, kp);
  return w;
}

// Folds one row into the triangle by plane rotations (Golub and Van Loan,
// section 5.1.8): the triangle's singular values stay those of the rows
// seen so far, in KP x KP memory however long the group.
void foldRow(RankWork& w, int kp) {
  for (int j = 1; j <= kp; ++j) {
    const double b = w.row[j - 1];
    if (b == 0.0) continue;
    const double a = w.t(j, j);
    const double r = std::hypot(a, b);
    const double c = a / r, sn = b / r;
    w.t(j, j) = r;
    for (int k = j + 1; k <= kp; ++k) {
      const double tk = w.t(j, k), rk = w.row[k - 1];
      w.t(j, k) = c * tk + sn * rk;
      w.row[k - 1] = c * rk - sn * tk;
    }
  }
}

// "name" of x variable k, or "x*z" when z variable p is not the constant
// of a model with one z component.
std::string elementName(int k, int p, int P, const std::vector<std::string>& x,
                        const std::vector<std::string>& z) {
  const std::string xn = variableName(&x, k, 'X');
  const std::string zn = variableName(&z, p, 'Z');
  return P == 1 ? xn : xn + "*" + zn;
}

}  // namespace

const bool* PiIdentification::flags() const {
  return deficiency > 0 ? reinterpret_cast<const bool*>(unidentified.data()) : nullptr;
}

ScratchNeed findPiIdentificationNeed(int NUMT, int KP, int rows) {
  (void)NUMT;
  (void)rows;
  Scratch s;
  carve(s, std::max(KP, 1));
  return s.used();
}

void findPiIdentification(Mat XZ, Mat R, PiIdentification& id, Scratch s, int logUnit) {
  const int numt = XZ.rows, kp = XZ.cols, rows = std::max(R.rows, 0), n = numt + rows;
  id = PiIdentification{};
  id.KP = kp;
  id.unidentified.assign(static_cast<std::size_t>(std::max(kp, 0)), 0);
  if (kp < 1 || n < 1) return;
  RankWork w = carve(s, kp);
  for (int j = 1; j <= kp; ++j) {
    double sum = 0.0;
    for (int i = 1; i <= numt; ++i) sum += XZ(i, j) * XZ(i, j);
    for (int i = 1; i <= rows; ++i) sum += R(i, j) * R(i, j);
    // A zero column is itself a direction of the null space.
    w.scale[j - 1] = sum > 0.0 ? 1.0 / std::sqrt(sum) : 1.0;
    std::fill_n(w.t.col(j), kp, 0.0);
  }
  for (int i = 1; i <= n; ++i) {
    for (int j = 1; j <= kp; ++j)
      w.row[j - 1] = (i <= numt ? XZ(i, j) : R(i - numt, j)) * w.scale[j - 1];
    foldRow(w, kp);
  }
  int info = 0;
  DSVDC(w.t.p, w.t.ld, kp, kp, w.s, w.e, nullptr, 1, w.v.p, w.v.ld, w.work, 1, info);
  if (info != 0) {
    writeUnit(logUnit, " IN THE RANK CHECK OF XZ, THE SINGULAR VALUE DECOMPOSITION FAILED (INFO =" +
                           editI(info, 4) + ").  THE CHECK IS SKIPPED.");
    return;
  }
  const int m = kp;
  int rank = 0;
  while (rank < m && w.s[rank] > kRankFloor * w.s[0]) ++rank;
  id.deficiency = kp - rank;
  if (id.deficiency == 0) return;
  // The right singular vectors rank+1..KP span the null space of the scaled
  // matrix; D v is that of [XZ; R] itself.
  id.directions.assign(static_cast<std::size_t>(kp) * id.deficiency, 0.0);
  for (int c = 1; c <= id.deficiency; ++c) {
    const double* v = w.v.col(rank + c);
    double* d = &id.directions[static_cast<std::size_t>(c - 1) * kp];
    double norm = 0.0;
    for (int i = 0; i < kp; ++i) {
      d[i] = w.scale[i] * v[i];
      norm += d[i] * d[i];
    }
    norm = std::sqrt(norm);
    for (int i = 0; i < kp; ++i) d[i] /= norm;
  }
  for (int i = 0; i < kp; ++i) {
    double row = 0.0;
    for (int c = rank + 1; c <= kp; ++c) row += w.v.col(c)[i] * w.v.col(c)[i];
    id.unidentified[i] = std::sqrt(row) > kInvolved ? 1 : 0;
  }
}

void notePiIdentification(const PiIdentification& id, int K, int P,
                          const std::vector<std::string>& xNames,
                          const std::vector<std::string>& zNames, int out) {
  if (id.deficiency == 0) return;
  std::string elements;
  for (int i = 1; i <= id.KP; ++i) {
    if (!id.unidentified[i - 1]) continue;
    const int k = (i - 1) % K + 1, p = (i - 1) / K + 1;
    elements += (elements.empty() ? "" : ", ") + std::string("PI(") + editI(k, 0) + "," +
                editI(p, 0) + ") " + elementName(k, p, P, xNames, zNames);
  }
  writeUnit(out, "");
  writeUnit(out, " NOT DETERMINED BY THE DATA (COLLINEAR REGRESSORS): " + elements + ".");
  writeUnit(out, " THEIR STANDARD ERRORS AND T-RATIOS ABOVE ARE NOT ESTIMATES.");
}

void reportPiIdentification(const PiIdentification& id, int groupId, int pass, int K, int P,
                            const std::vector<std::string>& xNames,
                            const std::vector<std::string>& zNames, int out, int log,
                            ResultTables* tables) {
  if (id.deficiency == 0) return;
  const PassWarning w{WarningKind::PiRankDeficient, static_cast<double>(id.deficiency)};
  std::string names;
  for (int i = 1; i <= id.KP; ++i)
    if (id.unidentified[i - 1])
      names += (names.empty() ? "" : ", ") + elementName((i - 1) % K + 1, (i - 1) / K + 1, P,
                                                          xNames, zNames);
  const std::string lines[] = {warningLine(w, groupId, pass, 0),
                               " THE VARIABLES INVOLVED: " + names + "."};
  writeUnit(out, "");
  for (const std::string& line : lines) {
    writeUnit(out, line);
    writeUnit(log, line);
  }
  writeUnit(out, " THE COMBINATIONS NOT DETERMINED (THEIR ELEMENTS OF PI HAVE NO STANDARD ERRORS"
                 " IN THE TABLES):");
  for (int c = 1; c <= id.deficiency; ++c) {
    const double* d = &id.directions[static_cast<std::size_t>(c - 1) * id.KP];
    double largest = 0.0;
    for (int i = 0; i < id.KP; ++i) largest = std::max(largest, std::fabs(d[i]));
    bool first = true;
    for (int i = 1; i <= id.KP; ++i) {
      if (std::fabs(d[i - 1]) <= kInvolved * largest) continue;
      const int k = (i - 1) % K + 1, p = (i - 1) / K + 1;
      std::string term = editF(std::fabs(d[i - 1]), 9, 6);
      term[0] = d[i - 1] < 0.0 ? '-' : first ? ' ' : '+';
      writeUnit(out, std::string(first ? "   " + editI(c, 2) + ".  " : "        ") + term +
                         " * PI(" + editI(k, 0) + "," + editI(p, 0) + ")  " +
                         elementName(k, p, P, xNames, zNames));
      first = false;
    }
  }
  if (tables != nullptr) tables->addWarning(groupId, pass, warningKindName(w.kind), w.value);
}

}  // namespace kova
