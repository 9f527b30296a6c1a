// Eigenvalues of an autoregressive covariance seen through regressors, by a
// band-preserving reduction of the symmetric-definite pencil (X X', S^-1).
//
// The reduction follows Crawford, "Reduction of a band-symmetric generalized
// eigenvalue problem", Comm. ACM 16 (1973): the congruence is split into
// elementary block factors, and after each factor the bulge it raises
// outside the band is chased off the end of the matrix by orthogonal
// similarities that commute with the factors still to come. Here the
// factors are those of the inverse factor Z = L^-1 R of S (Z Z' = S) rather
// than of the Cholesky factor of S^-1, so only PHI and the triangular
// factors of P1 and Q are ever multiplied in. The banded result goes to
// tridiagonal form by Schwarz's rotations with bulge chasing (Schwarz,
// Numer. Math. 12 (1968); Handbook for Automatic Computation II,
// contribution II/8, bandrd), and to eigenvalues by the QL method of
// quasiseparable_eigen.cpp.
#include "linalg/banded_pencil_eigen.h"

#include <algorithm>
#include <cmath>

#include "linalg/quasiseparable_eigen.h"

namespace kova {
namespace {

// sqrt(x^2 + y^2) without std::hypot's cost where the squares can neither
// overflow nor lose the larger term to underflow.
inline double length(double x, double y) {
  const double big = std::max(std::fabs(x), std::fabs(y));
  if (big > 1e-150 && big < 1e150) return std::sqrt(x * x + y * y);
  return std::hypot(x, y);
}

struct Work {
  double* r1;     // M x M: upper triangular R1, R1 R1' = P1
  double* rq;     // M x M: the same for Q
  double* d;      // N blocks M x M: C(t,t), symmetric, held in full
  double* e;      // N - 1 blocks M x M: C(t+1,t)
  double* fill;   // M x M: C(s+2,s), the bulge being chased
  double* panel;  // 2M x M: the block column being triangularized, then its reflectors
  double* tau;    // M: the reflectors' scalars
  double* w;      // 2M x 2M: the diagonal pair of blocks a reflection acts on
  double* g;      // M x 2M: the block row below that pair
  double* v;      // 2M: one reflector in full
  double* pv;     // 2M: work for the two-sided reflection
  double* t1;     // M x M products
  double* t2;     // M x M
  double* band;   // (M + 2) x NM: the banded matrix, as described in the header
  double* diag;   // NM: its tridiagonal form, then the eigenvalues
  double* off;    // NM

  static Work carve(Scratch& sc, int n, int m) {
    const long long mm = static_cast<long long>(m) * m, nm = static_cast<long long>(n) * m;
    Work w;
    w.r1 = sc.doubles(mm);
    w.rq = sc.doubles(mm);
    w.d = sc.doubles(n * mm);
    w.e = sc.doubles(std::max(n - 1, 0) * mm);
    w.fill = sc.doubles(mm);
    w.panel = sc.doubles(2 * mm);
    w.tau = sc.doubles(m);
    w.w = sc.doubles(4 * mm);
    w.g = sc.doubles(2 * mm);
    w.v = sc.doubles(2 * m);
    w.pv = sc.doubles(2 * m);
    w.t1 = sc.doubles(mm);
    w.t2 = sc.doubles(mm);
    w.band = sc.doubles((m + 2) * nm);
    w.diag = sc.doubles(nm);
    w.off = sc.doubles(nm);
    return w;
  }
};

// Upper triangular R with R R' = A (M x M, upper triangle read), from the
// last column back; false at a pivot that is not positive.
bool upperFactor(int m, const double* a, double* r) {
  for (int j = m - 1; j >= 0; --j) {
    double piv = a[j + j * m];
    for (int k = j + 1; k < m; ++k) piv -= r[j + k * m] * r[j + k * m];
    if (!(piv > 0.0)) return false;
    const double rjj = std::sqrt(piv);
    r[j + j * m] = rjj;
    for (int i = 0; i < j; ++i) {
      double sum = a[i + j * m];
      for (int k = j + 1; k < m; ++k) sum -= r[i + k * m] * r[j + k * m];
      r[i + j * m] = sum / rjj;
    }
    for (int i = j + 1; i < m; ++i) r[i + j * m] = 0.0;
  }
  return true;
}

// C := op(A) B for M x M blocks, op(A) = A or A'.
void product(int m, bool transA, const double* a, const double* b, double* c) {
  for (int j = 0; j < m; ++j)
    for (int i = 0; i < m; ++i) {
      double sum = 0.0;
      for (int k = 0; k < m; ++k) sum += (transA ? a[k + i * m] : a[i + k * m]) * b[k + j * m];
      c[i + j * m] = sum;
    }
}

// Householder QR of the ROWS x M panel P (leading dimension ROWS): on
// return its upper triangle holds R and the part below the diagonal the
// reflectors' vectors (unit first element implied), so that
// H(M) ... H(1) P = [R; 0] with H(j) = I - TAU(j) v(j) v(j)'.
void triangularize(int rows, int m, double* p, double* tau) {
  for (int j = 0; j < m; ++j) {
    double* col = p + static_cast<long>(j) * rows;
    double scale = 0.0;
    for (int i = j + 1; i < rows; ++i) scale = std::max(scale, std::fabs(col[i]));
    if (scale == 0.0) {
      tau[j] = 0.0;
      continue;
    }
    // Scaled sums of squares keep the norm clear of overflow and underflow.
    double ss = 0.0;
    for (int i = j + 1; i < rows; ++i) ss += (col[i] / scale) * (col[i] / scale);
    const double alpha = col[j];
    const double beta = -std::copysign(length(alpha, scale * std::sqrt(ss)), alpha);
    tau[j] = (beta - alpha) / beta;
    const double f = 1.0 / (alpha - beta);
    for (int i = j + 1; i < rows; ++i) col[i] *= f;
    col[j] = beta;
    for (int c = j + 1; c < m; ++c) {
      double* other = p + static_cast<long>(c) * rows;
      double dot = other[j];
      for (int i = j + 1; i < rows; ++i) dot += col[i] * other[i];
      dot *= tau[j];
      other[j] -= dot;
      for (int i = j + 1; i < rows; ++i) other[i] -= dot * col[i];
    }
  }
}

// The j-th reflector of a triangularized panel, spread over ROWS entries.
void reflector(int rows, const double* p, int j, double* v) {
  for (int i = 0; i < j; ++i) v[i] = 0.0;
  v[j] = 1.0;
  for (int i = j + 1; i < rows; ++i) v[i] = p[i + static_cast<long>(j) * rows];
}

// W := H(M) ... H(1) W H(1) ... H(M) for the symmetric ROWS x ROWS W (held
// in full), each H = I - tau v v' applied as the symmetric rank-two update
// W - v u' - u v' with u = tau W v - (tau^2 / 2)(v' W v) v.
void reflectBothSides(int rows, int m, const double* p, const double* tau, double* w, double* v,
                      double* u) {
  for (int j = 0; j < m; ++j) {
    if (tau[j] == 0.0) continue;
    reflector(rows, p, j, v);
    double vu = 0.0;
    for (int i = 0; i < rows; ++i) {
      double sum = 0.0;
      for (int k = j; k < rows; ++k) sum += w[i + k * rows] * v[k];
      u[i] = tau[j] * sum;
      vu += v[i] * u[i];
    }
    const double half = 0.5 * tau[j] * vu;
    for (int i = 0; i < rows; ++i) u[i] -= half * v[i];
    for (int k = 0; k < rows; ++k)
      for (int i = 0; i < rows; ++i) w[i + k * rows] -= v[i] * u[k] + u[i] * v[k];
  }
}

// G := G H(1) ... H(M) for the M x ROWS block row G.
void reflectFromRight(int rows, int m, const double* p, const double* tau, double* g, double* v) {
  for (int j = 0; j < m; ++j) {
    if (tau[j] == 0.0) continue;
    reflector(rows, p, j, v);
    for (int r = 0; r < m; ++r) {
      double dot = 0.0;
      for (int k = j; k < rows; ++k) dot += g[r + k * m] * v[k];
      dot *= tau[j];
      for (int k = j; k < rows; ++k) g[r + k * m] -= dot * v[k];
    }
  }
}

class BlockReduction {
 public:
  BlockReduction(int n, int m, const Work& w) : n_(n), m_(m), mm_(static_cast<long>(m) * m), w_(w) {}
  double* d(int t) const { return w_.d + (t - 1) * mm_; }  // C(t,t)
  double* e(int t) const { return w_.e + (t - 1) * mm_; }  // C(t+1,t)

  // C := T(t)' C T(t), T(t) = I except block row t = [PHI R] in block
  // columns t-1, t (just R for t = 1); block t-1 is still X X' there and
  // couples with nothing, block t couples with t+1 only.
  void applyFactor(int t, const double* phi, const double* r) {
    const int m = m_;
    double* b = d(t);
    if (t >= 2) {
      product(m, false, b, phi, w_.t1);  // C(t,t) PHI
      product(m, true, phi, w_.t1, w_.t2);
      for (long k = 0; k < mm_; ++k) d(t - 1)[k] += w_.t2[k];
      product(m, true, r, w_.t1, e(t - 1));
      if (t < n_) product(m, false, e(t), phi, w_.fill);
    }
    product(m, false, b, r, w_.t1);
    product(m, true, r, w_.t1, b);
    if (t < n_) {
      // Upper triangular times upper triangular stays so, exactly.
      product(m, false, e(t), r, w_.t1);
      std::copy(w_.t1, w_.t1 + mm_, e(t));
    }
  }

  // Chases the bulge C(s+2,s) (in FILL) to the bottom: a block reflection
  // of blocks s+1, s+2 makes C(s+1,s) upper triangular and C(s+2,s) zero,
  // and raises C(s+3,s+1); at the bottom, a reflection of the last block
  // alone makes C(N,N-1) upper triangular.
  void chase(int s) {
    const int m = m_, m2 = 2 * m;
    for (;; ++s) {
      if (s + 2 > n_) {
        double* p = w_.panel;
        std::copy(e(s), e(s) + mm_, p);
        triangularize(m, m, p, w_.tau);
        takeUpper(p, m, e(s));
        reflectBothSides(m, m, p, w_.tau, d(n_), w_.v, w_.pv);
        return;
      }
      double* p = w_.panel;
      for (int j = 0; j < m; ++j)
        for (int i = 0; i < m; ++i) {
          p[i + j * m2] = e(s)[i + j * m];
          p[m + i + j * m2] = w_.fill[i + j * m];
        }
      triangularize(m2, m, p, w_.tau);
      takeUpper(p, m2, e(s));
      double* w = w_.w;
      const double *d1 = d(s + 1), *e1 = e(s + 1), *d2 = d(s + 2);
      for (int j = 0; j < m; ++j)
        for (int i = 0; i < m; ++i) {
          w[i + j * m2] = d1[i + j * m];
          w[m + i + j * m2] = e1[i + j * m];
          w[i + (m + j) * m2] = e1[j + i * m];
          w[m + i + (m + j) * m2] = d2[i + j * m];
        }
      reflectBothSides(m2, m, p, w_.tau, w, w_.v, w_.pv);
      for (int j = 0; j < m; ++j)
        for (int i = 0; i < m; ++i) {
          d(s + 1)[i + j * m] = w[i + j * m2];
          e(s + 1)[i + j * m] = w[m + i + j * m2];
          d(s + 2)[i + j * m] = w[m + i + (m + j) * m2];
        }
      if (s + 3 <= n_) {
        double* g = w_.g;
        std::fill(g, g + mm_, 0.0);
        std::copy(e(s + 2), e(s + 2) + mm_, g + mm_);
        reflectFromRight(m2, m, p, w_.tau, g, w_.v);
        std::copy(g, g + mm_, w_.fill);
        std::copy(g + mm_, g + 2 * mm_, e(s + 2));
      }
    }
  }

 private:
  // The M x M upper triangle of a panel with leading dimension LD.
  void takeUpper(const double* p, int ld, double* out) const {
    for (int j = 0; j < m_; ++j)
      for (int i = 0; i < m_; ++i) out[i + j * m_] = i <= j ? p[i + j * ld] : 0.0;
  }

  int n_, m_;
  long mm_;
  const Work& w_;
};

// A symmetric band matrix of half-bandwidth K in the storage of the header.
struct Band {
  double* a;
  int n, k, ld;
  double& operator()(int i, int j) const { return a[(i - j) + static_cast<long>(j - 1) * ld]; }

  // C := G C G' with G the rotation [c s; -s c] in the plane (p, p+1);
  // the elements it touches lie within distance K + 1 of the diagonal.
  void rotate(int p, double c, double s) const {
    const int q = p + 1;
    const Band& b = *this;
    for (int j = std::max(1, q - k - 1); j < p; ++j) {
      const double x = b(p, j), y = b(q, j);
      b(p, j) = c * x + s * y;
      b(q, j) = c * y - s * x;
    }
    const double app = b(p, p), aqp = b(q, p), aqq = b(q, q);
    b(p, p) = c * c * app + 2.0 * c * s * aqp + s * s * aqq;
    b(q, q) = s * s * app - 2.0 * c * s * aqp + c * c * aqq;
    b(q, p) = c * s * (aqq - app) + (c * c - s * s) * aqp;
    for (int i = q + 1, last = std::min(n, p + k + 1); i <= last; ++i) {
      const double x = b(i, p), y = b(i, q);
      b(i, p) = c * x + s * y;
      b(i, q) = c * y - s * x;
    }
  }

  // Band to tridiagonal: each element below the first subdiagonal is
  // removed by a rotation of its row with the one above, and the element
  // that rotation raises at distance K + 1 is chased down by K rows at a
  // time until it falls off the end.
  void tridiagonalize() const {
    const Band& b = *this;
    for (int j = 1; j <= n - 2; ++j) {
      for (int r = std::min(j + k, n); r >= j + 2; --r) {
        int p = r - 1, col = j;
        for (;;) {
          const double x = b(p, col), y = b(p + 1, col);
          if (y == 0.0) break;
          const double h = length(x, y);
          rotate(p, x / h, y / h);
          b(p + 1, col) = 0.0;
          if (p + 1 + k > n) break;
          col = p;
          p += k;
        }
      }
    }
  }
};

}  // namespace

void pencilEigenvalues(int n, int m, const double* x, const double* phi, const double* p1,
                       const double* q, double* values, Scratch& sc, int& ierr) {
  ierr = 0;
  if (n < 1) return;
  const Work w = Work::carve(sc, n, m);
  if (!upperFactor(m, p1, w.r1)) {
    ierr = 1;
    return;
  }
  if (!upperFactor(m, q, w.rq)) {
    ierr = 2;
    return;
  }
  const long mm = static_cast<long>(m) * m;
  BlockReduction red(n, m, w);
  for (int t = 1; t <= n; ++t) {
    const double* xt = x + static_cast<long>(t - 1) * m;
    for (int j = 0; j < m; ++j)
      for (int i = 0; i < m; ++i) red.d(t)[i + j * m] = xt[i] * xt[j];
    if (t < n) std::fill(red.e(t), red.e(t) + mm, 0.0);
  }
  for (int t = n; t >= 1; --t) {
    red.applyFactor(t, phi, t == 1 ? w.r1 : w.rq);
    if (t >= 2) red.chase(t - 1);
  }

  // C is block tridiagonal with upper triangular blocks below the
  // diagonal: banded with half-bandwidth M.
  const int nm = n * m, ld = m + 2;
  Band band{w.band, nm, m, ld};
  std::fill(w.band, w.band + static_cast<long>(ld) * nm, 0.0);
  for (int t = 1; t <= n; ++t) {
    const int base = (t - 1) * m;
    for (int j = 1; j <= m; ++j) {
      for (int i = j; i <= m; ++i) band(base + i, base + j) = red.d(t)[(i - 1) + (j - 1) * m];
      if (t < n)
        for (int i = 1; i <= j; ++i) band(base + m + i, base + j) = red.e(t)[(i - 1) + (j - 1) * m];
    }
  }
  band.tridiagonalize();
  for (int i = 1; i <= nm; ++i) {
    w.diag[i - 1] = band(i, i);
    w.off[i - 1] = i < nm ? band(i + 1, i) : 0.0;
  }
  int qlErr = 0;
  tridiagonalEigenvalues(nm, w.diag, w.off, qlErr);
  if (qlErr != 0) {
    ierr = 3;
    return;
  }
  // The other N M - N eigenvalues of C are zeros of the pencil.
  std::copy(w.diag + (nm - n), w.diag + nm, values);
}

ScratchNeed pencilEigenvaluesNeed(int n, int m) {
  Scratch counting;
  if (n >= 1) Work::carve(counting, n, m);
  return counting.used();
}

}  // namespace kova
