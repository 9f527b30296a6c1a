// The generalized least-squares core (Paige's formulation) and CHKZY2.
//
// With Q1' A P1 = [R1; 0] (rank r1) and G2 the last n - r1 rows of Q1'F,
// the constraint b = A x + F u splits into
//   R1 P1'x = c1 - F1 u          (first r1 rows)
//   G2 u    = c2                 (last n - r1 rows),
// so the least u is the minimum-norm solution of the second block, and x
// follows by back substitution. With G2 P2 = Q2 R2 (rank r2) and the first
// r2 rows of R2 reduced to [T2 0] Z2, u = P2 Z2' [w; 0] with T2 w = d,
// d the first r2 entries of Q2'c2; so ||u|| = ||w|| and F1 u = Y [w; 0]
// with Y = F1 P2 Z2'. Neither u nor the n x n operator behind it is ever
// formed: per right-hand side only Q2', one triangular solve and an
// r1 x r2 product remain, and they dominate together with the QR of G2.
#include <algorithm>
#include <cstring>

#include "linalg/least_squares.h"
#include "io/edit_descriptors.h"
#include "io/messages.h"

namespace kova {
namespace {

inline long off(int i, int j, int ld) { return (i - 1) + static_cast<long>(j - 1) * ld; }

// Q'y for NCOLS columns of Y, with the reflectors 1..NREF of a DQRDC
// factorization X (NROWS rows). Columns go in groups of four and every
// reflector passes over a group before the next group starts, so the group
// stays in cache while the reflectors stream past.
void applyQt(double* x, int ldx, int nrows, int nref, const double* qraux, double* y, int ldy,
             int ncols) {
  constexpr int kGroup = 4;
  for (int c = 0; c < ncols; c += kGroup) {
    int width = std::min(kGroup, ncols - c);
    double* yc = y + static_cast<long>(c) * ldy;
    for (int j = 1; j <= nref; ++j) {
      if (qraux[j - 1] == 0.0) continue;
      double* xjj = x + off(j, j, ldx);
      double diag = *xjj;  // R(j,j) sits where the reflector's first entry belongs
      *xjj = qraux[j - 1];
      applyReflector(nrows - j + 1, xjj, yc + (j - 1), ldy, width);
      *xjj = diag;
    }
  }
}

// y_k(0..len-1) -= w_k t for four columns; restrict lets the compiler keep
// t(i) in a register across the four updates.
inline void subtractFour(int len, const double* __restrict t, double w0, double w1, double w2,
                         double w3, double* __restrict y0, double* __restrict y1,
                         double* __restrict y2, double* __restrict y3) {
  for (int i = 0; i < len; ++i) {
    double ti = t[i];
    y0[i] -= w0 * ti;
    y1[i] -= w1 * ti;
    y2[i] -= w2 * ti;
    y3[i] -= w3 * ti;
  }
}

// T W = Y for NCOLS columns, T upper triangular of order R with a nonzero
// diagonal. Eight right-hand sides share each pass over a column of T, which
// would otherwise be fetched from memory once per right-hand side; per
// column the arithmetic is DTRSL's back substitution.
void solveUpperMany(int r, const double* t, int ldt, double* y, int ldy, int ncols) {
  constexpr int kGroup = 8;
  int c = 0;
  for (; c + kGroup <= ncols; c += kGroup) {
    double* yc[kGroup];
    for (int k = 0; k < kGroup; ++k) yc[k] = y + static_cast<long>(c + k) * ldy;
    for (int j = r; j >= 1; --j) {
      const double* tj = t + off(1, j, ldt);
      double d = tj[j - 1];
      double w[kGroup];
      for (int k = 0; k < kGroup; ++k) w[k] = (yc[k][j - 1] /= d);
      subtractFour(j - 1, tj, w[0], w[1], w[2], w[3], yc[0], yc[1], yc[2], yc[3]);
      subtractFour(j - 1, tj, w[4], w[5], w[6], w[7], yc[4], yc[5], yc[6], yc[7]);
    }
  }
  int info = 0;
  for (; c < ncols; ++c) DTRSL(t, ldt, r, y + static_cast<long>(c) * ldy, 1, info);
}

struct Carved {
  double *ac, *qraux1, *norms1, *zaux1, *vec1;
  double *m, *qraux2, *norms2, *zaux2, *vec2;
  double *y, *bnorm, *c;
  int *jpvt1, *jpvt2;
};

Carved carve(const GlsWork& w, int n, int p, int nb) {
  long ld = std::max(1, n);
  Carved c{};
  double* d = w.wr;
  auto take = [&d](long len) {
    double* s = d;
    d += len;
    return s;
  };
  c.ac = take(ld * p);
  c.qraux1 = take(p);
  c.norms1 = take(p);
  c.zaux1 = take(p);
  c.vec1 = take(p);
  c.m = take(ld * (static_cast<long>(n) + nb));
  c.qraux2 = take(n);
  c.norms2 = take(n);
  c.zaux2 = take(n);
  c.vec2 = take(n);
  c.y = take(static_cast<long>(std::max(1, p)) * n);
  c.bnorm = take(nb);
  c.c = take(static_cast<long>(p) * p);
  c.jpvt1 = w.wi;
  c.jpvt2 = w.wi + p;
  return c;
}

void copyBlock(int rows, int cols, const double* src, int lds, double* dst, int ldd) {
  for (int j = 0; j < cols; ++j)
    if (rows > 0)
      std::memcpy(dst + static_cast<long>(j) * ldd, src + static_cast<long>(j) * lds,
                  sizeof(double) * rows);
}

// Covariance of x in units of SIGMA**2. x = P1 Z1' [T1^-1 (c1 - F1 u); 0],
// and with b = F e the map e -> c1 - F1 u is F1 (I - projection on the row
// space of G2) = H2 E, H2 the last n - r2 columns of Y and E with
// orthonormal rows. Hence cov = P1 Z1' [K K' 0; 0 0] Z1 P1', K = T1^-1 H2.
void formCovariance(int n, int p, int r1, int r2, const Carved& w, GlsResults& res) {
  const int ld = std::max(1, n);
  for (int j = 1; j <= p; ++j) std::fill_n(res.cov + off(1, j, res.ldcov), p, 0.0);
  if (r1 == 0) {
    res.covStatus = kCovNoRank;
    return;
  }
  const int nc = n - r2;
  double* h2 = w.y + off(1, r2 + 1, p);
  int info = 0;
  for (int j = 1; j <= nc; ++j) DTRSL(w.ac, ld, r1, h2 + off(1, j, p), 1, info);
  std::fill_n(w.c, static_cast<long>(p) * p, 0.0);
  for (int l = 1; l <= r1; ++l)
    for (int i = l; i <= r1; ++i) {
      double s = DDOT(nc, h2 + (i - 1), p, h2 + (l - 1), p);
      w.c[off(i, l, p)] = s;
      w.c[off(l, i, p)] = s;
    }
  if (r1 < p) {
    applyTrapezoidZ(r1, p, w.ac, ld, w.zaux1, w.c, 1, p, p, true);
    applyTrapezoidZ(r1, p, w.ac, ld, w.zaux1, w.c, p, 1, p, true);
  }
  for (int l = 1; l <= p; ++l)
    for (int i = 1; i <= p; ++i)
      res.cov[off(w.jpvt1[i - 1], w.jpvt1[l - 1], res.ldcov)] = w.c[off(i, l, p)];
  res.covStatus = kCovFormed;
}

}  // namespace

int CHKZY2(int rqa2tb, int nrwq2b, int ny, const double* y2, int ldy, const double* scale,
           double tol, int unit) {
  if (rqa2tb < 0 || rqa2tb > nrwq2b) {
    writeUnit(unit,
              (ListLine() << "ERROR IN SUBROUTINE CHKZY2: RQA2TB=" << rqa2tb << "NRWQ2B=" << nrwq2b)
                  .str());
    return 0;
  }
  const int tail = nrwq2b - rqa2tb;
  if (tail == 0) return 0;
  int bad = 0;
  for (int j = 0; j < ny; ++j) {
    double t = DNRM2(tail, y2 + rqa2tb + static_cast<long>(j) * ldy, 1);
    if (t > tol * scale[j]) ++bad;
  }
  if (bad > 0)
    writeUnit(unit, (ListLine() << "IN SUBROUTINE CHKZY2, AMONG" << ny << "Y-VECTORS," << bad
                                << "Y2-VECTORS ARE NONZERO.")
                        .str());
  return bad;
}

GlsWorkSizes glsWorkSizes(int n, int p, int nb) {
  long nn = std::max(n, 0), pp = std::max(p, 0), bb = std::max(nb, 0);
  long ld = std::max(1L, nn);
  GlsWorkSizes s;
  s.doubles = ld * pp + 4 * pp + ld * (nn + bb) + 4 * nn + std::max(1L, pp) * nn + bb + pp * pp;
  s.ints = pp + nn;
  s.doubles = std::max(1L, s.doubles);
  s.ints = std::max(1L, s.ints);
  return s;
}

GlsWork carveGlsWork(Scratch& s, int n, int p, int nb) {
  const GlsWorkSizes sizes = glsWorkSizes(n, p, nb);
  GlsWork w;
  w.wr = s.doubles(sizes.doubles);
  w.wrLength = sizes.doubles;
  w.wi = s.ints(sizes.ints);
  w.wiLength = sizes.ints;
  return w;
}

bool solveGls(const GlsProblem& pr, GlsResults& res, const GlsWork& work, int unit) {
  const int n = std::max(pr.n, 0), p = std::max(pr.p, 0), nb = std::max(pr.nb, 0);
  GlsWorkSizes need = glsWorkSizes(n, p, nb);
  if (work.wrLength < need.doubles || work.wiLength < need.ints) return false;
  const int ld = std::max(1, n);
  Carved w = carve(work, n, p, nb);

  // Q1' A P1 = [R1; 0], rank r1; Q1' applied to F and to every b. Only the
  // r1 reflectors that the rank keeps are applied, as QRLSQ does.
  copyBlock(n, p, pr.a, pr.lda, w.ac, ld);
  std::fill_n(w.jpvt1, p, 0);
  if (n > 0 && p > 0) DQRDC(w.ac, ld, n, p, w.qraux1, w.jpvt1, w.norms1, 1);
  const int r1 = numericalRank(w.ac, ld, std::min(n, p), kGlsTol);
  copyBlock(n, n, pr.f, pr.ldf, w.m, ld);
  double* cb = w.m + off(1, n + 1, ld);  // Q1'b, one column per right-hand side
  copyBlock(n, nb, pr.b, pr.ldb, cb, ld);
  applyQt(w.ac, ld, n, std::min(r1, n - 1), w.qraux1, w.m, ld, n + nb);

  // Rank-deficient A: R1 = [T1 0] Z1 for the minimum-norm x.
  if (r1 > 0 && r1 < p) reduceTrapezoid(r1, p, w.ac, ld, w.zaux1, w.vec1);

  // G2 P2 = Q2 R2, rank r2; Q2' applied to c2.
  const int m2 = n - r1;
  double* g2 = w.m + r1;
  double* c2 = cb + r1;
  int r2 = 0;
  if (m2 > 0) {
    std::fill_n(w.jpvt2, n, 0);
    DQRDC(g2, ld, m2, n, w.qraux2, w.jpvt2, w.norms2, 1);
    r2 = numericalRank(g2, ld, m2, kGlsTol);
    applyQt(g2, ld, m2, std::min(r2, m2 - 1), w.qraux2, c2, ld, nb);
  } else {
    for (int i = 0; i < n; ++i) w.jpvt2[i] = i + 1;
  }

  // Entries r2+1..m2 of Q2'c2 are reached by no u: the exact equations are
  // consistent only if they vanish.
  res.inconsistent = 0;
  if (r2 < m2) {
    for (int j = 0; j < nb; ++j) w.bnorm[j] = DNRM2(n, pr.b + static_cast<long>(j) * pr.ldb, 1);
    res.inconsistent = CHKZY2(r2, m2, nb, c2, ld, w.bnorm, kChkzy2Tol, unit);
  }

  // T2 w = d in place; SIGMA**2 = ||w||^2 / r2 (= ||u||^2 / r2). With r2 = 0
  // no equation carries noise: u = 0 and SIGMA**2 = 0.
  if (r2 > 0) {
    reduceTrapezoid(r2, n, g2, ld, w.zaux2, w.vec2);
    solveUpperMany(r2, g2, ld, c2, ld, nb);
    for (int j = 0; j < nb; ++j) {
      double s = DNRM2(r2, c2 + static_cast<long>(j) * ld, 1);
      res.sigma2[j] = s * s / r2;
    }
  } else {
    std::fill_n(res.sigma2, nb, 0.0);
  }

  // x from T1 (Z1 P1'x)_1 = c1 - Y [w; 0], then Z1' and P1.
  if (r1 > 0) {
    for (int i = 1; i <= n; ++i)
      for (int l = 1; l <= r1; ++l) w.y[off(l, i, p)] = w.m[off(l, w.jpvt2[i - 1], ld)];
    if (r2 > 0) applyTrapezoidZ(r2, n, g2, ld, w.zaux2, w.y, p, 1, r1, false);
  }
  for (int j = 1; j <= nb; ++j) {
    double* xj = res.x + off(1, j, res.ldx);
    if (r1 == 0) {
      std::fill_n(xj, p, 0.0);
      continue;
    }
    double* h = w.vec1;
    const double* wj = c2 + off(1, j, ld);
    DCOPY(r1, cb + off(1, j, ld), 1, h, 1);
    for (int l = 1; l <= r2; ++l) {
      const double* yl = w.y + off(1, l, p);
      double wl = wj[l - 1];
      for (int i = 0; i < r1; ++i) h[i] -= wl * yl[i];
    }
    int info = 0;
    DTRSL(w.ac, ld, r1, h, 1, info);  // T1 has no zero diagonal: |T1(k,k)| >= |R1(k,k)| > 0
    std::fill(h + r1, h + p, 0.0);
    applyTrapezoidZ(r1, p, w.ac, ld, w.zaux1, h, 1, p, 1, true);
    for (int i = 0; i < p; ++i) xj[w.jpvt1[i] - 1] = h[i];
  }

  res.r1 = r1;
  res.r2 = r2;
  if (pr.covariance)
    formCovariance(n, p, r1, r2, w, res);
  else
    res.covStatus = kCovNotRequested;
  return true;
}

}  // namespace kova
