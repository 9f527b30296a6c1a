// HQR2: eigenvalues and eigenvectors of a real upper Hessenberg matrix by the
// double-shift QR algorithm, then back-substitution in the quasi-triangular
// Schur form and transformation back with Z.
#include <algorithm>
#include <cmath>

#include "linalg/blas1.h"
#include "linalg/eispack.h"
#include "linalg/machine_constants.h"
#include "linalg/views.h"

namespace kova {
namespace {

struct Problem {
  Mat h, z;
  int n, low, igh;
  double* wr;
  double* wi;
  double eps;    // DMACH(1)
  double norm;   // sum of |h(i,j)| over the Hessenberg part
};

// (cr + i ci) = (ar + i ai) / (br + i bi), scaled against overflow.
void cdiv(double ar, double ai, double br, double bi, double& cr, double& ci) {
  double s = std::fabs(br) + std::fabs(bi);
  const double ars = ar / s, ais = ai / s, brs = br / s, bis = bi / s;
  s = brs * brs + bis * bis;
  cr = (ars * brs + ais * bis) / s;
  ci = (ais * brs - ars * bis) / s;
}

double hessenbergNorm(Mat h, int n) {
  double norm = 0.0;
  for (int j = 1; j <= n; ++j) {
    const double* col = h.col(j);
    for (int i = 1; i <= std::min(j + 1, n); ++i) norm += std::fabs(col[i - 1]);
  }
  return norm;
}

// Largest l in low..en whose subdiagonal entry h(l,l-1) is negligible
// (l = low when none is): rows l..en form the active block.
int activeStart(const Problem& pb, int en) {
  const Mat& h = pb.h;
  for (int l = en; l > pb.low; --l) {
    double s = std::fabs(h(l - 1, l - 1)) + std::fabs(h(l, l));
    if (s == 0.0) s = pb.norm;
    if (std::fabs(h(l, l - 1)) <= pb.eps * s) return l;
  }
  return pb.low;
}

struct Shift {
  double x, y, w;  // trailing 2x2: h(en,en), h(na,na), h(en,na)*h(na,en)
};

// Finds the row m where the double step can start, two consecutive small
// subdiagonal entries permitting, and the first column (p, q, r) of the
// implicit shift polynomial there.
int doubleStepStart(const Problem& pb, int l, int en, const Shift& sh, double& p, double& q, double& r) {
  const Mat& h = pb.h;
  int m = en - 2;
  for (;; --m) {
    const double zz = h(m, m);
    const double rr = sh.x - zz, ss = sh.y - zz;
    p = (rr * ss - sh.w) / h(m + 1, m) + h(m, m + 1);
    q = h(m + 1, m + 1) - zz - rr - ss;
    r = h(m + 2, m + 1);
    const double s = std::fabs(p) + std::fabs(q) + std::fabs(r);
    p /= s;
    q /= s;
    r /= s;
    if (m == l) break;
    const double lhs = std::fabs(h(m, m - 1)) * (std::fabs(q) + std::fabs(r));
    const double rhs = pb.eps * std::fabs(p) * (std::fabs(h(m - 1, m - 1)) + std::fabs(zz) + std::fabs(h(m + 1, m + 1)));
    if (lhs <= rhs) break;
  }
  return m;
}

// Applies the reflector I - (x y zz)'(1 q r) to rows k..k+nr-1 (nr = 2 or 3)
// from both sides, and accumulates it in Z.
void applyReflector(Problem& pb, int k, int en, bool three, double x, double y, double zz, double q, double r) {
  Mat& h = pb.h;
  const int n = pb.n;
  if (three) {
    for (int j = k; j <= n; ++j) {
      double* c = h.col(j) + (k - 1);
      const double p = c[0] + q * c[1] + r * c[2];
      c[0] -= p * x;
      c[1] -= p * y;
      c[2] -= p * zz;
    }
    double* c0 = h.col(k);
    double* c1 = h.col(k + 1);
    double* c2 = h.col(k + 2);
    for (int i = 0; i < std::min(en, k + 3); ++i) {
      const double p = x * c0[i] + y * c1[i] + zz * c2[i];
      c0[i] -= p;
      c1[i] -= p * q;
      c2[i] -= p * r;
    }
    double* z0 = pb.z.col(k);
    double* z1 = pb.z.col(k + 1);
    double* z2 = pb.z.col(k + 2);
    for (int i = pb.low - 1; i < pb.igh; ++i) {
      const double p = x * z0[i] + y * z1[i] + zz * z2[i];
      z0[i] -= p;
      z1[i] -= p * q;
      z2[i] -= p * r;
    }
    return;
  }
  for (int j = k; j <= n; ++j) {
    double* c = h.col(j) + (k - 1);
    const double p = c[0] + q * c[1];
    c[0] -= p * x;
    c[1] -= p * y;
  }
  double* c0 = h.col(k);
  double* c1 = h.col(k + 1);
  for (int i = 0; i < std::min(en, k + 3); ++i) {
    const double p = x * c0[i] + y * c1[i];
    c0[i] -= p;
    c1[i] -= p * q;
  }
  double* z0 = pb.z.col(k);
  double* z1 = pb.z.col(k + 1);
  for (int i = pb.low - 1; i < pb.igh; ++i) {
    const double p = x * z0[i] + y * z1[i];
    z0[i] -= p;
    z1[i] -= p * q;
  }
}

// One implicit double-shift QR step on rows l..en, chasing the bulge from
// row m.
void doubleStep(Problem& pb, int l, int en, const Shift& sh) {
  Mat& h = pb.h;
  double p, q, r;
  const int m = doubleStepStart(pb, l, en, sh, p, q, r);
  for (int i = m + 2; i <= en; ++i) {
    h(i, i - 2) = 0.0;
    if (i != m + 2) h(i, i - 3) = 0.0;
  }
  const int na = en - 1;
  for (int k = m; k <= na; ++k) {
    const bool notLast = k != na;
    double x = 0.0;
    if (k != m) {
      p = h(k, k - 1);
      q = h(k + 1, k - 1);
      r = notLast ? h(k + 2, k - 1) : 0.0;
      x = std::fabs(p) + std::fabs(q) + std::fabs(r);
      if (x == 0.0) continue;
      p /= x;
      q /= x;
      r /= x;
    }
    const double s = std::copysign(std::sqrt(p * p + q * q + r * r), p);
    if (k != m)
      h(k, k - 1) = -s * x;
    else if (l != m)
      h(k, k - 1) = -h(k, k - 1);
    p += s;
    const double xs = p / s, ys = q / s, zs = r / s;
    q /= p;
    r /= p;
    applyReflector(pb, k, en, notLast, xs, ys, zs, q, r);
  }
}

// The trailing 2x2 block of rows na, en has split off. Stores its eigenvalues
// and, for a real pair, rotates it to upper triangular form.
void twoRoots(Problem& pb, int en, const Shift& sh, double t) {
  Mat& h = pb.h;
  const int na = en - 1;
  const double p = (sh.y - sh.x) / 2.0;
  const double q = p * p + sh.w;
  double zz = std::sqrt(std::fabs(q));
  h(en, en) = sh.x + t;
  const double x = h(en, en);
  h(na, na) = sh.y + t;
  if (q < 0.0) {
    pb.wr[na - 1] = x + p;
    pb.wr[en - 1] = x + p;
    pb.wi[na - 1] = zz;
    pb.wi[en - 1] = -zz;
    return;
  }
  zz = p + std::copysign(zz, p);
  pb.wr[na - 1] = x + zz;
  pb.wr[en - 1] = zz != 0.0 ? x - sh.w / zz : x + zz;
  pb.wi[na - 1] = 0.0;
  pb.wi[en - 1] = 0.0;
  const double hx = h(en, na);
  const double s = std::fabs(hx) + std::fabs(zz);
  double c = zz / s, sn = hx / s;
  const double rn = std::sqrt(c * c + sn * sn);
  c /= rn;
  sn /= rn;
  for (int j = na; j <= pb.n; ++j) {
    double* col = h.col(j);
    const double a = col[na - 1];
    col[na - 1] = c * a + sn * col[en - 1];
    col[en - 1] = c * col[en - 1] - sn * a;
  }
  double* hna = h.col(na);
  double* hen = h.col(en);
  for (int i = 0; i < en; ++i) {
    const double a = hna[i];
    hna[i] = c * a + sn * hen[i];
    hen[i] = c * hen[i] - sn * a;
  }
  double* zna = pb.z.col(na);
  double* zen = pb.z.col(en);
  for (int i = pb.low - 1; i < pb.igh; ++i) {
    const double a = zna[i];
    zna[i] = c * a + sn * zen[i];
    zen[i] = c * zen[i] - sn * a;
  }
}

// Reduces rows/columns low..igh to quasi-triangular form; returns IERR.
int reduceToSchur(Problem& pb) {
  Mat& h = pb.h;
  int en = pb.igh;
  double t = 0.0;  // accumulated exceptional shifts
  while (en >= pb.low) {
    for (int its = 0;; ++its) {
      const int l = activeStart(pb, en);
      const int na = en - 1;
      Shift sh{h(en, en), 0.0, 0.0};
      if (l == en) {
        h(en, en) = sh.x + t;
        pb.wr[en - 1] = h(en, en);
        pb.wi[en - 1] = 0.0;
        en = na;
        break;
      }
      sh.y = h(na, na);
      sh.w = h(en, na) * h(na, en);
      if (l == na) {
        twoRoots(pb, en, sh, t);
        en -= 2;
        break;
      }
      if (its == 30) return en;
      if (its == 10 || its == 20) {
        // Exceptional shift, to break cycles the standard shift can fall into.
        t += sh.x;
        for (int i = pb.low; i <= en; ++i) h(i, i) -= sh.x;
        const double s = std::fabs(h(en, na)) + std::fabs(h(na, en - 2));
        sh.x = 0.75 * s;
        sh.y = sh.x;
        sh.w = -0.4375 * s * s;
      }
      doubleStep(pb, l, en, sh);
    }
  }
  return 0;
}

// Divides h(i..en, cols) by the largest of their row-i entries when it is so
// large that its reciprocal no longer registers, so that the next rows of
// the back-substitution cannot overflow.
void overflowControl(Mat h, int i, int en, int ncols, int c0) {
  double t = 0.0;
  for (int c = 0; c < ncols; ++c) t = std::max(t, std::fabs(h(i, c0 + c)));
  if (t == 0.0 || t + 1.0 / t > t) return;
  for (int c = 0; c < ncols; ++c)
    for (int j = i; j <= en; ++j) h(j, c0 + c) /= t;
}

// Solves (T - p I) x = 0 upward for the real eigenvalue p = wr(en), x(en) = 1,
// leaving x in column en of H.
void realVector(Problem& pb, int en) {
  Mat& h = pb.h;
  const double* wr = pb.wr;
  const double* wi = pb.wi;
  const double p = wr[en - 1];
  int m = en;
  h(en, en) = 1.0;
  double zz = 0.0, s = 0.0;  // the pending row of a 2x2 block
  for (int i = en - 1; i >= 1; --i) {
    const double w = h(i, i) - p;
    double r = 0.0;
    for (int j = m; j <= en; ++j) r += h(i, j) * h(j, en);
    if (wi[i - 1] < 0.0) {
      zz = w;
      s = r;
      continue;
    }
    m = i;
    if (wi[i - 1] == 0.0) {
      const double t = w != 0.0 ? w : pb.eps * pb.norm;
      h(i, en) = -r / t;
    } else {
      const double x = h(i, i + 1), y = h(i + 1, i);
      const double q = (wr[i - 1] - p) * (wr[i - 1] - p) + wi[i - 1] * wi[i - 1];
      const double t = (x * s - zz * r) / q;
      h(i, en) = t;
      h(i + 1, en) = std::fabs(x) > std::fabs(zz) ? (-r - w * t) / x : (-s - y * t) / zz;
    }
    overflowControl(h, i, en, 1, en);
  }
}

// The complex eigenvector of wr(en) + i wi(en) with wi(en) < 0: real part in
// column na, imaginary part in column en of H, last component chosen
// imaginary so that the vector matrix stays triangular.
void complexVector(Problem& pb, int en) {
  Mat& h = pb.h;
  const double* wr = pb.wr;
  const double* wi = pb.wi;
  const double p = wr[en - 1], q = wi[en - 1];
  const int na = en - 1;
  int m = na;
  if (std::fabs(h(en, na)) > std::fabs(h(na, en))) {
    h(na, na) = q / h(en, na);
    h(na, en) = -(h(en, en) - p) / h(en, na);
  } else {
    cdiv(0.0, -h(na, en), h(na, na) - p, q, h(na, na), h(na, en));
  }
  h(en, na) = 0.0;
  h(en, en) = 1.0;
  double zz = 0.0, r = 0.0, s = 0.0;  // the pending row of a 2x2 block
  for (int i = na - 1; i >= 1; --i) {
    const double w = h(i, i) - p;
    double ra = 0.0, sa = 0.0;
    for (int j = m; j <= en; ++j) {
      ra += h(i, j) * h(j, na);
      sa += h(i, j) * h(j, en);
    }
    if (wi[i - 1] < 0.0) {
      zz = w;
      r = ra;
      s = sa;
      continue;
    }
    m = i;
    if (wi[i - 1] == 0.0) {
      cdiv(-ra, -sa, w, q, h(i, na), h(i, en));
    } else {
      const double x = h(i, i + 1), y = h(i + 1, i);
      double vr = (wr[i - 1] - p) * (wr[i - 1] - p) + wi[i - 1] * wi[i - 1] - q * q;
      const double vi = (wr[i - 1] - p) * 2.0 * q;
      if (vr == 0.0 && vi == 0.0)
        vr = pb.eps * pb.norm * (std::fabs(w) + std::fabs(q) + std::fabs(x) + std::fabs(y) + std::fabs(zz));
      cdiv(x * r - zz * ra + q * sa, x * s - zz * sa - q * ra, vr, vi, h(i, na), h(i, en));
      if (std::fabs(x) > std::fabs(zz) + std::fabs(q)) {
        h(i + 1, na) = (-ra - w * h(i, na) + q * h(i, en)) / x;
        h(i + 1, en) = (-sa - w * h(i, en) - q * h(i, na)) / x;
      } else {
        cdiv(-r - y * h(i, na), -s - y * h(i, en), zz, q, h(i + 1, na), h(i + 1, en));
      }
    }
    overflowControl(h, i, en, 2, na);
  }
}

// Eigenvectors of the quasi-triangular matrix, then Z times them.
void backTransform(Problem& pb) {
  Mat& h = pb.h;
  Mat& z = pb.z;
  const int n = pb.n, low = pb.low, igh = pb.igh;
  for (int en = n; en >= 1; --en) {
    const double q = pb.wi[en - 1];
    if (q == 0.0)
      realVector(pb, en);
    else if (q < 0.0)
      complexVector(pb, en);
  }
  // Rows isolated by BALANC: their vectors are already those of H.
  for (int i = 1; i <= n; ++i) {
    if (i >= low && i <= igh) continue;
    for (int j = i; j <= n; ++j) z(i, j) = h(i, j);
  }
  // Z(low..igh, j) := Z(low..igh, low..m) H(low..m, j), m = min(j, igh),
  // from the last column down so that the columns read are still unchanged.
  const int rows = igh - low + 1;
  for (int j = n; j >= low; --j) {
    const int m = std::min(j, igh);
    double* zj = z.col(j) + (low - 1);
    if (m == j) {
      const double hjj = h(j, j);
      for (int i = 0; i < rows; ++i) zj[i] *= hjj;
    } else {
      for (int i = 0; i < rows; ++i) zj[i] = 0.0;
    }
    for (int k = low; k <= std::min(m, j - 1); ++k) DAXPY(rows, h(k, j), z.col(k) + (low - 1), 1, zj, 1);
  }
}

}  // namespace

void HQR2(int nm, int n, int low, int igh, double* hh, double* wr, double* wi, double* zz, int& ierr) {
  Problem pb{Mat{hh, nm, n, n}, Mat{zz, nm, n, n}, n, low, igh, wr, wi, DMACH(1), 0.0};
  ierr = 0;
  pb.norm = hessenbergNorm(pb.h, n);
  for (int i = 1; i <= n; ++i) {
    if (i >= low && i <= igh) continue;
    wr[i - 1] = pb.h(i, i);
    wi[i - 1] = 0.0;
  }
  ierr = reduceToSchur(pb);
  if (ierr != 0 || pb.norm == 0.0) return;
  backTransform(pb);
}

}  // namespace kova
