// Singular value decomposition (DSVDC): Householder reduction to upper
// bidiagonal form, explicit accumulation of the left and right transforms,
// then the implicitly shifted QR iteration on the bidiagonal matrix, with
// plane rotations applied to pairs of columns of U and V.
#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "linalg/linpack.h"

namespace kova {
namespace {

constexpr int kMaxIterations = 30;  // QR steps allowed per singular value

inline double* column(double* a, int ld, int j) { return a + static_cast<long>(j - 1) * ld; }

void scale(int n, double a, double* x) {
  for (int i = 0; i < n; ++i) x[i] *= a;
}

void swapColumns(int n, double* a, double* b) {
  for (int i = 0; i < n; ++i) std::swap(a[i], b[i]);
}

// (x, y) := (c x + s y, c y - s x)
void rotate(int n, double* x, double* y, double c, double s) {
  for (int i = 0; i < n; ++i) {
    double xi = x[i], yi = y[i];
    x[i] = c * xi + s * yi;
    y[i] = c * yi - s * xi;
  }
}

// Plane rotation that zeroes b against a: on return a holds r and b the
// reconstruction value z, as the classic generator does; the sign of r
// follows the larger of the two inputs.
void rotg(double& a, double& b, double& c, double& s) {
  double roe = std::fabs(a) > std::fabs(b) ? a : b;
  double scl = std::fabs(a) + std::fabs(b);
  if (scl == 0.0) {
    c = 1.0;
    s = 0.0;
    a = 0.0;
    b = 0.0;
    return;
  }
  double r = scl * std::sqrt((a / scl) * (a / scl) + (b / scl) * (b / scl));
  r = std::copysign(1.0, roe) * r;
  c = a / r;
  s = b / r;
  double z = 1.0;
  if (std::fabs(a) > std::fabs(b)) z = s;
  if (std::fabs(b) >= std::fabs(a) && c != 0.0) z = 1.0 / c;
  a = r;
  b = z;
}

// Scales v so that v(1) = 1 + |v(1)|/||v|| and returns -sign(v1)*||v||, the
// value the reflector leaves in the first position (0 for a zero vector).
double makeReflector(int len, double* v) {
  double nrm = DNRM2(len, v, 1);
  if (nrm != 0.0) {
    if (v[0] != 0.0) nrm = std::copysign(nrm, v[0]);
    scale(len, 1.0 / nrm, v);
    v[0] += 1.0;
  }
  return -nrm;
}

struct Svd {
  double* x;
  int ldx, n, p;
  double *s, *e, *u;
  int ldu;
  double* v;
  int ldv;
  double* work;
  bool wantu, wantv;
  int ncu;  // number of left vectors wanted
  // Elements of the bidiagonal matrix at or below this size are rounding
  // noise: eps times max(|s(k)| + |e(k)|), the norm of the matrix.
  double negligible = 0.0;
};

// Reduces X to bidiagonal form by alternating column and row reflectors,
// keeping the reflectors in U and V for the later accumulation.
void bidiagonalize(Svd& d, int nct, int nrt) {
  int n = d.n, p = d.p;
  int lu = std::max(nct, nrt);
  for (int l = 1; l <= lu; ++l) {
    double* xl = column(d.x, d.ldx, l);
    if (l <= nct) d.s[l - 1] = makeReflector(n - l + 1, xl + (l - 1));
    if (l <= nct && d.s[l - 1] != 0.0 && l < p)
      applyReflector(n - l + 1, xl + (l - 1), column(d.x, d.ldx, l + 1) + (l - 1), d.ldx, p - l);
    // Row l of the reduced matrix, for the row reflector below.
    for (int j = l + 1; j <= p; ++j) d.e[j - 1] = column(d.x, d.ldx, j)[l - 1];
    if (d.wantu && l <= nct) {
      double* ul = column(d.u, d.ldu, l);
      for (int i = l; i <= n; ++i) ul[i - 1] = xl[i - 1];
    }
    if (l > nrt) continue;
    double* er = d.e + l;  // e(l+1..p)
    d.e[l - 1] = makeReflector(p - l, er);
    if (l + 1 <= n && d.e[l - 1] != 0.0) {
      // Apply the row reflector to rows l+1..n from the right, column by
      // column: work = X(l+1:n, l+1:p) * e, then X -= work * e' / e(l+1).
      double* w = d.work + l;
      for (int i = 0; i < n - l; ++i) w[i] = 0.0;
      for (int j = l + 1; j <= p; ++j)
        DAXPY(n - l, d.e[j - 1], column(d.x, d.ldx, j) + l, 1, w, 1);
      for (int j = l + 1; j <= p; ++j)
        DAXPY(n - l, -d.e[j - 1] / er[0], w, 1, column(d.x, d.ldx, j) + l, 1);
    }
    if (d.wantv) {
      double* vl = column(d.v, d.ldv, l);
      for (int i = l + 1; i <= p; ++i) vl[i - 1] = d.e[i - 1];
    }
  }
}

// Overwrites the stored column reflectors in U by the product of the
// reflectors applied to the first NCU columns of the identity.
void generateU(Svd& d, int nct) {
  int n = d.n;
  for (int j = nct + 1; j <= d.ncu; ++j) {
    double* uj = column(d.u, d.ldu, j);
    for (int i = 0; i < n; ++i) uj[i] = 0.0;
    uj[j - 1] = 1.0;
  }
  for (int l = nct; l >= 1; --l) {
    double* ul = column(d.u, d.ldu, l);
    if (d.s[l - 1] != 0.0) {
      if (l < d.ncu)
        applyReflector(n - l + 1, ul + (l - 1), column(d.u, d.ldu, l + 1) + (l - 1), d.ldu,
                       d.ncu - l);
      scale(n - l + 1, -1.0, ul + (l - 1));
      ul[l - 1] += 1.0;
      for (int i = 0; i < l - 1; ++i) ul[i] = 0.0;
    } else {
      for (int i = 0; i < n; ++i) ul[i] = 0.0;
      ul[l - 1] = 1.0;
    }
  }
}

// Likewise for V, whose reflectors start one row below the diagonal.
void generateV(Svd& d, int nrt) {
  int p = d.p;
  for (int l = p; l >= 1; --l) {
    double* vl = column(d.v, d.ldv, l);
    if (l <= nrt && d.e[l - 1] != 0.0)
      applyReflector(p - l, vl + l, column(d.v, d.ldv, l + 1) + l, d.ldv, p - l);
    for (int i = 0; i < p; ++i) vl[i] = 0.0;
    vl[l - 1] = 1.0;
  }
}

enum class Step { DeflateLast, Split, QrStep, Converged };

// Finds what to do with the active block ending at m: l is set to the first
// row of the block (or of the split) as the classic routine sets it. An
// element is negligible when it is lost against its neighbours or against
// the norm of the matrix: the relative test alone never passes once the
// neighbours themselves are below eps ||B||, where rounding noise of size
// eps ||B|| is all the iteration can reach.
Step inspect(const Svd& d, int m, int& l) {
  double* s = d.s;
  double* e = d.e;
  for (l = m - 1; l >= 1; --l) {
    double test = std::fabs(s[l - 1]) + std::fabs(s[l]);
    if (test + std::fabs(e[l - 1]) == test || std::fabs(e[l - 1]) <= d.negligible) {
      e[l - 1] = 0.0;
      break;
    }
  }
  if (l == m - 1) {
    ++l;
    return Step::Converged;
  }
  int ls = m;
  for (; ls > l; --ls) {
    double test = 0.0;
    if (ls != m) test += std::fabs(e[ls - 1]);
    if (ls != l + 1) test += std::fabs(e[ls - 2]);
    if (test + std::fabs(s[ls - 1]) == test || std::fabs(s[ls - 1]) <= d.negligible) {
      s[ls - 1] = 0.0;
      break;
    }
  }
  Step step;
  if (ls == l) {
    step = Step::QrStep;
  } else if (ls == m) {
    step = Step::DeflateLast;
  } else {
    step = Step::Split;
    l = ls;
  }
  ++l;
  return step;
}

// s(m) is negligible: chase e(m-1) up and out with rotations from the right.
void deflateLast(Svd& d, int l, int m) {
  double* s = d.s;
  double* e = d.e;
  double f = e[m - 2];
  e[m - 2] = 0.0;
  for (int k = m - 1; k >= l; --k) {
    double t1 = s[k - 1], cs, sn;
    rotg(t1, f, cs, sn);
    s[k - 1] = t1;
    if (k != l) {
      f = -sn * e[k - 2];
      e[k - 2] = cs * e[k - 2];
    }
    if (d.wantv) rotate(d.p, column(d.v, d.ldv, k), column(d.v, d.ldv, m), cs, sn);
  }
}

// s(l-1) is negligible: chase e(l-1) down and out with rotations from the
// left, splitting the matrix there.
void split(Svd& d, int l, int m) {
  double* s = d.s;
  double* e = d.e;
  double f = e[l - 2];
  e[l - 2] = 0.0;
  for (int k = l; k <= m; ++k) {
    double t1 = s[k - 1], cs, sn;
    rotg(t1, f, cs, sn);
    s[k - 1] = t1;
    f = -sn * e[k - 1];
    e[k - 1] = cs * e[k - 1];
    if (d.wantu) rotate(d.n, column(d.u, d.ldu, k), column(d.u, d.ldu, l - 1), cs, sn);
  }
}

// One implicitly shifted QR step on rows l..m, the shift taken from the
// trailing 2 x 2 block of B'B (computed on scaled values against overflow).
void qrStep(Svd& d, int l, int m) {
  double* s = d.s;
  double* e = d.e;
  double scl = std::max({std::fabs(s[m - 1]), std::fabs(s[m - 2]), std::fabs(e[m - 2]),
                         std::fabs(s[l - 1]), std::fabs(e[l - 1])});
  double sm = s[m - 1] / scl, smm1 = s[m - 2] / scl, emm1 = e[m - 2] / scl;
  double sl = s[l - 1] / scl, el = e[l - 1] / scl;
  double b = ((smm1 + sm) * (smm1 - sm) + emm1 * emm1) / 2.0;
  double c = (sm * emm1) * (sm * emm1);
  double shift = 0.0;
  if (b != 0.0 || c != 0.0) {
    shift = std::sqrt(b * b + c);
    if (b < 0.0) shift = -shift;
    shift = c / (b + shift);
  }
  double f = (sl + sm) * (sl - sm) + shift;
  double g = sl * el;
  for (int k = l; k <= m - 1; ++k) {
    double cs, sn;
    rotg(f, g, cs, sn);
    if (k != l) e[k - 2] = f;
    f = cs * s[k - 1] + sn * e[k - 1];
    e[k - 1] = cs * e[k - 1] - sn * s[k - 1];
    g = sn * s[k];
    s[k] = cs * s[k];
    if (d.wantv) rotate(d.p, column(d.v, d.ldv, k), column(d.v, d.ldv, k + 1), cs, sn);
    rotg(f, g, cs, sn);
    s[k - 1] = f;
    f = cs * e[k - 1] + sn * s[k];
    s[k] = -sn * e[k - 1] + cs * s[k];
    g = sn * e[k];
    e[k] = cs * e[k];
    if (d.wantu && k < d.n) rotate(d.n, column(d.u, d.ldu, k), column(d.u, d.ldu, k + 1), cs, sn);
  }
  e[m - 2] = f;
}

// s(l) has converged: make it positive and sink it to its place in the
// descending order among the values already found (l..mm).
void settle(Svd& d, int l, int mm) {
  double* s = d.s;
  if (s[l - 1] < 0.0) {
    s[l - 1] = -s[l - 1];
    if (d.wantv) scale(d.p, -1.0, column(d.v, d.ldv, l));
  }
  for (; l != mm && !(s[l - 1] >= s[l]); ++l) {
    std::swap(s[l - 1], s[l]);
    if (d.wantv && l < d.p) swapColumns(d.p, column(d.v, d.ldv, l), column(d.v, d.ldv, l + 1));
    if (d.wantu && l < d.n) swapColumns(d.n, column(d.u, d.ldu, l), column(d.u, d.ldu, l + 1));
  }
}

// Empty matrix: nothing to decompose; any requested vectors are the
// identity so that callers may still use them.
void identityVectors(Svd& d) {
  if (d.wantu)
    for (int j = 1; j <= d.ncu; ++j) {
      double* uj = column(d.u, d.ldu, j);
      for (int i = 0; i < d.n; ++i) uj[i] = 0.0;
      uj[j - 1] = 1.0;
    }
  if (d.wantv)
    for (int j = 1; j <= d.p; ++j) {
      double* vj = column(d.v, d.ldv, j);
      for (int i = 0; i < d.p; ++i) vj[i] = 0.0;
      vj[j - 1] = 1.0;
    }
}

}  // namespace

void DSVDC(double* x, int ldx, int n, int p, double* s, double* e, double* u, int ldu, double* v,
           int ldv, double* work, int job, int& info) {
  int jobu = (job % 100) / 10;
  Svd d{x, ldx, n, p, s, e, u, ldu, v, ldv, work, jobu != 0, job % 10 != 0,
        jobu > 1 ? std::min(n, p) : n};
  info = 0;
  if (n <= 0 || p <= 0) {
    if (n < 0 || p < 0) return;
    identityVectors(d);
    return;
  }

  int nct = std::min(n - 1, p);
  int nrt = std::max(0, std::min(p - 2, n));
  bidiagonalize(d, nct, nrt);

  // The bidiagonal matrix has order m; when n < p it gains a zero last
  // diagonal, which the first deflation removes.
  int m = std::min(p, n + 1);
  if (nct < p) s[nct] = column(x, ldx, nct + 1)[nct];
  if (n < m) s[m - 1] = 0.0;
  if (nrt + 1 < m) e[nrt] = column(x, ldx, m)[nrt];
  e[m - 1] = 0.0;
  double norm = 0.0;
  for (int k = 0; k < m; ++k) norm = std::max(norm, std::fabs(s[k]) + std::fabs(e[k]));
  d.negligible = std::numeric_limits<double>::epsilon() * norm;
  if (d.wantu) generateU(d, nct);
  if (d.wantv) generateV(d, nrt);

  int mm = m, iter = 0;
  while (m > 0) {
    if (iter >= kMaxIterations) {
      info = m;
      return;
    }
    int l = 0;
    switch (inspect(d, m, l)) {
      case Step::DeflateLast:
        deflateLast(d, l, m);
        break;
      case Step::Split:
        split(d, l, m);
        break;
      case Step::QrStep:
        qrStep(d, l, m);
        ++iter;
        break;
      case Step::Converged:
        settle(d, l, mm);
        iter = 0;
        --m;
        break;
    }
  }
}

}  // namespace kova
