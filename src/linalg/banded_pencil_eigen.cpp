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

// The helpers below take the block order M as a template argument when it
// is small (MC = M), so that their short loops are laid out at compile time,
// or at run time (MC = 0, M = MRUN).
template <int MC>
constexpr int order(int mrun) {
  return MC > 0 ? MC : mrun;
}

// C := op(A) B for M x M blocks, op(A) = A or A'.
template <int MC>
void product(int mrun, bool transA, const double* a, const double* b, double* c) {
  const int m = order<MC>(mrun);
  for (int j = 0; j < m; ++j)
    for (int i = 0; i < m; ++i) {
      double sum = 0.0;
      for (int k = 0; k < m; ++k) sum += (transA ? a[k + i * m] : a[i + k * m]) * b[k + j * m];
      c[i + j * m] = sum;
    }
}

// Householder QR of the ROWS x M panel P, ROWS = BLOCKS M (leading
// dimension ROWS): on return its upper triangle holds R and the part below
// the diagonal the reflectors' vectors (unit first element implied), so that
// H(M) ... H(1) P = [R; 0] with H(j) = I - TAU(j) v(j) v(j)'.
template <int MC, int BLOCKS>
void triangularize(int mrun, double* p, double* tau) {
  const int m = order<MC>(mrun), rows = BLOCKS * m;
  for (int j = 0; j < m; ++j) {
    double* col = p + static_cast<long>(j) * rows;
    double scale = 0.0, ss = 0.0;
    for (int i = j + 1; i < rows; ++i) {
      scale = std::max(scale, std::fabs(col[i]));
      ss += col[i] * col[i];
    }
    if (scale == 0.0) {
      tau[j] = 0.0;
      continue;
    }
    double norm = std::sqrt(ss);
    if (!(scale > 1e-150 && scale < 1e150)) {
      // Scaled squares keep the norm clear of overflow and underflow.
      ss = 0.0;
      for (int i = j + 1; i < rows; ++i) ss += (col[i] / scale) * (col[i] / scale);
      norm = scale * std::sqrt(ss);
    }
    const double alpha = col[j];
    const double beta = -std::copysign(rotationLength(alpha, norm), alpha);
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
inline void reflector(int rows, const double* p, int j, double* v) {
  for (int i = 0; i < j; ++i) v[i] = 0.0;
  v[j] = 1.0;
  for (int i = j + 1; i < rows; ++i) v[i] = p[i + static_cast<long>(j) * rows];
}

// W := H(M) ... H(1) W H(1) ... H(M) for the symmetric ROWS x ROWS W, each
// H = I - tau v v' applied as the symmetric rank-two update W - v u' - u v'
// with u = tau W v - (tau^2 / 2)(v' W v) v. Only the lower triangle of W is
// read and worked on; the upper one is filled in at the end.
template <int MC, int BLOCKS>
void reflectBothSides(int mrun, const double* p, const double* tau, double* w, double* v,
                      double* u) {
  const int m = order<MC>(mrun), rows = BLOCKS * m;
  for (int j = 0; j < m; ++j) {
    if (tau[j] == 0.0) continue;
    reflector(rows, p, j, v);
    for (int i = 0; i < rows; ++i) u[i] = 0.0;
    for (int k = 0; k < rows; ++k) {
      const double* col = w + k * rows;
      double sum = col[k] * v[k];
      for (int i = k + 1; i < rows; ++i) {
        u[i] += col[i] * v[k];
        sum += col[i] * v[i];
      }
      u[k] += sum;
    }
    double vu = 0.0;
    for (int i = 0; i < rows; ++i) {
      u[i] *= tau[j];
      vu += v[i] * u[i];
    }
    const double half = 0.5 * tau[j] * vu;
    for (int i = 0; i < rows; ++i) u[i] -= half * v[i];
    for (int k = 0; k < rows; ++k)
      for (int i = k; i < rows; ++i) w[i + k * rows] -= v[i] * u[k] + u[i] * v[k];
  }
  for (int k = 1; k < rows; ++k)
    for (int i = 0; i < k; ++i) w[i + k * rows] = w[k + i * rows];
}

// G := G H(1) ... H(M) for the M x ROWS block row G.
template <int MC>
void reflectFromRight(int mrun, const double* p, const double* tau, double* g, double* v) {
  const int m = order<MC>(mrun), rows = 2 * m;
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

template <int MC>
class BlockReduction {
 public:
  BlockReduction(int n, int m, const Work& w)
      : n_(n), m_(order<MC>(m)), mm_(static_cast<long>(m_) * m_), w_(w) {}
  double* d(int t) const { return w_.d + (t - 1) * mm_; }  // C(t,t)
  double* e(int t) const { return w_.e + (t - 1) * mm_; }  // C(t+1,t)

  // C := T(t)' C T(t), T(t) = I except block row t = [PHI R] in block
  // columns t-1, t (just R for t = 1); block t-1 is still X X' there and
  // couples with nothing, block t couples with t+1 only.
  void applyFactor(int t, const double* phi, const double* r) {
    const int m = order<MC>(m_);
    double* b = d(t);
    if (t >= 2) {
      product<MC>(m, false, b, phi, w_.t1);  // C(t,t) PHI
      product<MC>(m, true, phi, w_.t1, w_.t2);
      for (long k = 0; k < mm_; ++k) d(t - 1)[k] += w_.t2[k];
      product<MC>(m, true, r, w_.t1, e(t - 1));
      if (t < n_) product<MC>(m, false, e(t), phi, w_.fill);
    }
    product<MC>(m, false, b, r, w_.t1);
    product<MC>(m, true, r, w_.t1, b);
    if (t < n_) {
      // Upper triangular times upper triangular stays so, exactly.
      product<MC>(m, false, e(t), r, w_.t1);
      std::copy(w_.t1, w_.t1 + mm_, e(t));
    }
  }

  // Chases the bulge C(s+2,s) (in FILL) to the bottom: a block reflection
  // of blocks s+1, s+2 makes C(s+1,s) upper triangular and C(s+2,s) zero,
  // and raises C(s+3,s+1); at the bottom, a reflection of the last block
  // alone makes C(N,N-1) upper triangular.
  void chase(int s) {
    const int m = order<MC>(m_), m2 = 2 * m;
    const long mm = static_cast<long>(m) * m;
    for (;; ++s) {
      // Nothing left to chase (PHI = 0 makes no bulge at all).
      if ((s + 2 > n_ || allZero(w_.fill, mm)) && upperTriangular(e(s))) return;
      if (s + 2 > n_) {
        double* p = w_.panel;
        std::copy(e(s), e(s) + mm, p);
        triangularize<MC, 1>(m, p, w_.tau);
        takeUpper(p, m, e(s));
        reflectBothSides<MC, 1>(m, p, w_.tau, d(n_), w_.v, w_.pv);
        return;
      }
      double* p = w_.panel;
      for (int j = 0; j < m; ++j)
        for (int i = 0; i < m; ++i) {
          p[i + j * m2] = e(s)[i + j * m];
          p[m + i + j * m2] = w_.fill[i + j * m];
        }
      triangularize<MC, 2>(m, p, w_.tau);
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
      reflectBothSides<MC, 2>(m, p, w_.tau, w, w_.v, w_.pv);
      for (int j = 0; j < m; ++j)
        for (int i = 0; i < m; ++i) {
          d(s + 1)[i + j * m] = w[i + j * m2];
          e(s + 1)[i + j * m] = w[m + i + j * m2];
          d(s + 2)[i + j * m] = w[m + i + (m + j) * m2];
        }
      if (s + 3 <= n_) {
        double* g = w_.g;
        std::fill(g, g + mm, 0.0);
        std::copy(e(s + 2), e(s + 2) + mm, g + mm);
        reflectFromRight<MC>(m, p, w_.tau, g, w_.v);
        std::copy(g, g + mm, w_.fill);
        std::copy(g + mm, g + 2 * mm, e(s + 2));
      }
    }
  }

 private:
  bool allZero(const double* a, long len) const {
    return std::all_of(a, a + len, [](double v) { return v == 0.0; });
  }
  bool upperTriangular(const double* a) const {
    const int m = order<MC>(m_);
    for (int j = 0; j < m; ++j)
      for (int i = j + 1; i < m; ++i)
        if (a[i + j * m] != 0.0) return false;
    return true;
  }

  // The M x M upper triangle of a panel with leading dimension LD.
  void takeUpper(const double* p, int ld, double* out) const {
    const int m = order<MC>(m_);
    for (int j = 0; j < m; ++j)
      for (int i = 0; i < m; ++i) out[i + j * m] = i <= j ? p[i + j * ld] : 0.0;
  }

  int n_, m_;
  long mm_;
  const Work& w_;
};

// A symmetric band matrix of half-bandwidth K (KC > 0: K = KC) in the
// storage of the header, leading dimension K + 2.
template <int KC>
struct Band {
  double* a;
  int n, krun;
  double& operator()(int i, int j) const {
    return a[(i - j) + static_cast<long>(j - 1) * (order<KC>(krun) + 2)];
  }

  // C := G C G' with G the rotation [c s; -s c] in the plane (p, p+1);
  // the elements it touches lie within distance K + 1 of the diagonal.
  void rotate(int p, double c, double s) const {
    const int q = p + 1, k = order<KC>(krun), ld = k + 2;
    // Rows p and q left of the diagonal block: C(p,j) and C(q,j) lie next
    // to each other, and a step along the rows is ld - 1.
    const int j0 = std::max(1, q - k - 1);
    double* row = &(*this)(p, j0);
    for (int j = j0; j < p; ++j, row += ld - 1) {
      const double x = row[0], y = row[1];
      row[0] = c * x + s * y;
      row[1] = c * y - s * x;
    }
    double* dp = &(*this)(p, p);  // C(p,p), C(q,p), ..., down column p
    double* dq = dp + ld;         // C(q,q), C(q+1,q), ..., down column q
    const double app = dp[0], aqp = dp[1], aqq = dq[0];
    dp[0] = c * c * app + 2.0 * c * s * aqp + s * s * aqq;
    dq[0] = s * s * app - 2.0 * c * s * aqp + c * c * aqq;
    dp[1] = c * s * (aqq - app) + (c * c - s * s) * aqp;
    // Columns p and q below the diagonal block.
    const int below = std::min(n, p + k + 1) - q;
    for (int i = 1; i <= below; ++i) {
      const double x = dp[i + 1], y = dq[i];
      dp[i + 1] = c * x + s * y;
      dq[i] = c * y - s * x;
    }
  }

  // Band to tridiagonal: each element below the first subdiagonal is
  // removed by a rotation of its row with the one above, and the element
  // that rotation raises at distance K + 1 is chased down by K rows at a
  // time until it falls off the end.
  void tridiagonalize() const {
    const Band& b = *this;
    const int k = order<KC>(krun);
    for (int j = 1; j <= n - 2; ++j) {
      for (int r = std::min(j + k, n); r >= j + 2; --r) {
        int p = r - 1, col = j;
        for (;;) {
          const double x = b(p, col), y = b(p + 1, col);
          if (y == 0.0) break;
          const double h = rotationLength(x, y);
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

// The reduction, the band and the tridiagonal eigenvalues, once the
// factors of P1 and Q are in W.
template <int MC>
int solve(int n, int mrun, const double* x, const double* phi, const Work& w, double* values) {
  const int m = order<MC>(mrun);
  const long mm = static_cast<long>(m) * m;
  BlockReduction<MC> red(n, m, w);
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
  const int nm = n * m;
  const Band<MC> band{w.band, nm, m};
  std::fill(w.band, w.band + static_cast<long>(m + 2) * nm, 0.0);
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
  if (qlErr != 0) return 3;
  // The other N M - N eigenvalues of C are zeros of the pencil.
  std::copy(w.diag + (nm - n), w.diag + nm, values);
  return 0;
}

}  // namespace

void pencilEigenvalues(int n, int m, const double* x, const double* phi, const double* p1,
                       const double* q, double* values, Scratch& sc, int& ierr) {
  ierr = 0;
  if (n < 1) return;
  if (m < 1) {  // no state: Y = 0
    std::fill(values, values + n, 0.0);
    return;
  }
  const Work w = Work::carve(sc, n, m);
  if (!upperFactor(m, p1, w.r1)) {
    ierr = 1;
    return;
  }
  if (!upperFactor(m, q, w.rq)) {
    ierr = 2;
    return;
  }
  // Orders up to 6 have their own instance; larger ones share one.
  using Solver = int (*)(int, int, const double*, const double*, const Work&, double*);
  static constexpr Solver solvers[] = {solve<0>, solve<1>, solve<2>, solve<3>,
                                       solve<4>, solve<5>, solve<6>};
  ierr = solvers[m <= 6 ? m : 0](n, m, x, phi, w, values);
}

ScratchNeed pencilEigenvaluesNeed(int n, int m) {
  Scratch counting;
  if (n >= 1 && m >= 1) Work::carve(counting, n, m);
  return counting.used();
}

}  // namespace kova
