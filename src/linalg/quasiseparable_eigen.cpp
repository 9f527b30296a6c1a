// Eigenvalues of a symmetric quasiseparable matrix: the matrix is formed
// from its generators, reduced to tridiagonal form by Householder
// similarities without accumulating them, and the tridiagonal matrix is
// solved by implicit QL without vectors: Wilkinson and Reinsch, Handbook
// for Automatic Computation II, contributions II/2 (tred1) and II/3 (tql1),
// here with the deflation test at the double precision epsilon.
#include "linalg/quasiseparable_eigen.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

namespace kova {
namespace {

// The lower triangle of an N x N symmetric matrix packed by columns:
// column j holds rows j..N, so the array has N (N + 1) / 2 elements.
struct Packed {
  double* base;
  int n;
  double* col(int j) const {  // element (j, j) of column j
    const long jm = j - 1;
    return base + jm * (n + 1) - jm * j / 2;
  }
  double& operator()(int i, int j) const { return col(j)[i - j]; }
};

struct Work {
  Packed y;    // the lower triangle of Y, then of the reduced matrices
  double* e;   // off-diagonal of the tridiagonal matrix (N + 1: E(N) is work)
  double* u;   // Householder vector, and the generator vector being carried
  double* pv;  // Y u, then the rank-two update vector
  static Work carve(Scratch& sc, int n, int r) {
    Work w;
    w.y = Packed{sc.doubles(static_cast<long long>(n) * (n + 1) / 2), n};
    w.e = sc.doubles(n + 1);
    w.u = sc.doubles(std::max(n, 2 * r));
    w.pv = sc.doubles(std::max(n, r));
    return w;
  }
};

// The lower triangle of Y from its generators, column by column: v runs
// through A^k Q(.,s), k = 0, 1, ..., so the whole costs N^2 R^2 / 2.
void formLower(int n, int r, const double* p, const double* a, const double* q, const double* d,
               Packed y, double* v, double* av) {
  for (int s = 1; s <= n; ++s) {
    double* col = y.col(s) - (s - 1);  // col[t - 1] is Y(t, s)
    col[s - 1] = d[s - 1];
    if (s == n || r == 0) {
      for (int t = s + 1; t <= n; ++t) col[t - 1] = 0.0;
      continue;
    }
    for (int k = 0; k < r; ++k) v[k] = q[k + static_cast<long>(s - 1) * r];
    for (int t = s + 1; t <= n; ++t) {
      const double* pt = p + static_cast<long>(t - 1) * r;
      double sum = 0.0;
      for (int k = 0; k < r; ++k) sum += pt[k] * v[k];
      col[t - 1] = sum;
      if (t == n) break;
      for (int k = 0; k < r; ++k) av[k] = 0.0;
      for (int j = 0; j < r; ++j) {
        const double vj = v[j];
        const double* aj = a + static_cast<long>(j) * r;
        for (int k = 0; k < r; ++k) av[k] += aj[k] * vj;
      }
      std::copy(av, av + r, v);
    }
  }
}

// The two O(N^2) loops of each Householder step, on four lanes at a time
// (two SSE2 registers; one AVX register in the AVX2 clone, chosen when the
// program starts). The rank-two update does the scalar loop's operations on
// each element; the dot product adds four partial sums in a fixed order, so
// the two clones give the same values (neither contracts to fused
// multiply-adds: AVX2 alone has none).
typedef double Lanes __attribute__((vector_size(32)));

// The load is always inlined, so no call returns a vector: GCC's -Wpsabi
// note about the calling convention of AVX-sized vectors does not apply.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
[[gnu::always_inline]] inline Lanes load(const double* p) {
  Lanes v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Returns sum c[k] u[k] and does pv[k] += c[k] uj, k < len.
[[gnu::target_clones("avx2", "default")]] double dotAndUpdate(int len, const double* c,
                                                              const double* u, double uj,
                                                              double* pv) {
  Lanes acc = {0.0, 0.0, 0.0, 0.0};
  const Lanes ujs = {uj, uj, uj, uj};
  int k = 0;
  for (; k + 4 <= len; k += 4) {
    const Lanes cv = load(c + k);
    acc += cv * load(u + k);
    const Lanes next = load(pv + k) + cv * ujs;
    std::memcpy(pv + k, &next, sizeof next);
  }
  double sum = (acc[0] + acc[1]) + (acc[2] + acc[3]);
  for (; k < len; ++k) {
    sum += c[k] * u[k];
    pv[k] += c[k] * uj;
  }
  return sum;
}

// c[k] -= uj pv[k] + pj u[k], k < len.
[[gnu::target_clones("avx2", "default")]] void rankTwoUpdate(int len, double* c, double uj,
                                                             const double* pv, double pj,
                                                             const double* u) {
  const Lanes ujs = {uj, uj, uj, uj}, pjs = {pj, pj, pj, pj};
  int k = 0;
  for (; k + 4 <= len; k += 4) {
    const Lanes next = load(c + k) - (ujs * load(pv + k) + pjs * load(u + k));
    std::memcpy(c + k, &next, sizeof next);
  }
  for (; k < len; ++k) c[k] -= uj * pv[k] + pj * u[k];
}
#pragma GCC diagnostic pop

// Householder tridiagonalization of the symmetric matrix held in the lower
// triangle of Y, last row first, as TRED2 does but without the
// transformations: D gets the diagonal, E(i) the element (i+1, i).
// Y is destroyed.
void tridiagonalize(int n, Packed y, double* d, double* e, double* u, double* pv) {
  for (int i = n; i >= 2; --i) {
    const int l = i - 1;
    d[i - 1] = y(i, i);
    double scale = 0.0;
    for (int k = 1; k <= l; ++k) scale += std::fabs(y(i, k));
    if (l == 1 || scale == 0.0) {
      e[l - 1] = y(i, l);
      continue;
    }
    // Scaling the row keeps the squares clear of overflow and underflow.
    double h = 0.0;
    for (int k = 1; k <= l; ++k) {
      u[k - 1] = y(i, k) / scale;
      h += u[k - 1] * u[k - 1];
    }
    double f = u[l - 1];
    double g = -std::copysign(std::sqrt(h), f);
    e[l - 1] = scale * g;
    h -= f * g;
    u[l - 1] = f - g;
    // pv := Y u / h from the lower triangle, walked down its columns.
    for (int j = 0; j < l; ++j) pv[j] = 0.0;
    for (int j = 1; j <= l; ++j) {
      const double uj = u[j - 1];
      const double* col = y.col(j) - (j - 1);
      const double sum = pv[j - 1] + col[j - 1] * uj;
      pv[j - 1] = sum + dotAndUpdate(l - j, col + j, u + j, uj, pv + j);
    }
    f = 0.0;
    for (int j = 0; j < l; ++j) {
      pv[j] /= h;
      f += pv[j] * u[j];
    }
    const double hh = f / (h + h);
    for (int j = 0; j < l; ++j) pv[j] -= hh * u[j];
    // Y := Y - u pv' - pv u' on the lower triangle.
    for (int j = 1; j <= l; ++j) {
      double* col = y.col(j) - (j - 1);
      rankTwoUpdate(l - j + 1, col + j - 1, u[j - 1], pv + j - 1, pv[j - 1], u + j - 1);
    }
  }
  d[0] = y(1, 1);
}

}  // namespace

void tridiagonalEigenvalues(int n, double* d, double* e, int& ierr) {
  ierr = 0;
  if (n <= 1) return;
  const double eps = DBL_EPSILON;
  e[n - 1] = 0.0;
  double f = 0.0, b = 0.0;
  for (int l = 1; l <= n; ++l) {
    b = std::max(b, eps * (std::fabs(d[l - 1]) + std::fabs(e[l - 1])));
    // E(N) is zero, so the search always stops.
    int m = l;
    while (std::fabs(e[m - 1]) > b) ++m;
    for (int its = 0; m > l; ++its) {
      if (its == 30) {
        ierr = l;
        return;
      }
      // Shift: the eigenvalue of the leading 2x2 block nearer to D(L).
      const double g0 = d[l - 1];
      const double pp = (d[l] - g0) / (2.0 * e[l - 1]);
      const double rr = rotationLength(pp, 1.0);
      d[l - 1] = e[l - 1] / (pp + std::copysign(rr, pp));
      const double h0 = g0 - d[l - 1];
      for (int i = l + 1; i <= n; ++i) d[i - 1] -= h0;
      f += h0;
      // One implicit QL sweep on rows l..m.
      double p = d[m - 1];
      double c = 1.0, s = 0.0;
      for (int i = m - 1; i >= l; --i) {
        const double g = c * e[i - 1];
        const double h = c * p;
        const double r = rotationLength(p, e[i - 1]);
        e[i] = s * r;
        // p and E(i) both zero: the identity rotation is the limit.
        s = r != 0.0 ? e[i - 1] / r : 0.0;
        c = r != 0.0 ? p / r : 1.0;
        p = c * d[i - 1] - s * g;
        d[i] = h + s * (c * g + s * d[i - 1]);
      }
      e[l - 1] = s * p;
      d[l - 1] = c * p;
      if (std::fabs(e[l - 1]) <= b) break;
    }
    d[l - 1] += f;
    e[l - 1] = 0.0;
  }
  std::sort(d, d + n);
}

void quasiseparableEigenvalues(int n, int r, const double* p, const double* a, const double* q,
                               const double* d, double* values, Scratch& sc, int& ierr) {
  ierr = 0;
  if (n < 1) return;
  Work w = Work::carve(sc, n, r);
  formLower(n, r, p, a, q, d, w.y, w.u, w.pv);
  tridiagonalize(n, w.y, values, w.e, w.u, w.pv);
  tridiagonalEigenvalues(n, values, w.e, ierr);
}

ScratchNeed quasiseparableEigenvaluesNeed(int n, int r) {
  Scratch counting;
  Work::carve(counting, n, r);
  return counting.used();
}

}  // namespace kova
