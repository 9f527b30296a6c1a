// A full common DELTA held at a lower rank.
#include "likelihood/common_delta_rank.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <limits>

#include "linalg/eispack.h"

namespace kova {
namespace {

// U(i,j), 0-based, i <= j, in the factor coordinates.
inline int at(int i, int j) { return j * (j + 1) / 2 + i; }

// W = U'U (M x M, column-major) from the coordinates.
std::vector<double> gram(const double* c, int M) {
  std::vector<double> w(static_cast<size_t>(M) * M, 0.0);
  for (int b = 0; b < M; ++b)
    for (int a = 0; a <= b; ++a) {
      double sum = 0.0;
      for (int i = 0; i <= a; ++i) sum += c[at(i, a)] * c[at(i, b)];
      w[static_cast<size_t>(b) * M + a] = w[static_cast<size_t>(a) * M + b] = sum;
    }
  return w;
}

// The columns (M each) of z for its first `count` eigenvalues, back in
// DELTA's units (x = D y) and scaled to a largest element of +1.
std::vector<double> unitColumns(const std::vector<double>& z, int M, int count,
                                const std::vector<double>& root) {
  std::vector<double> out(static_cast<size_t>(M) * count);
  for (int k = 0; k < count; ++k) {
    double* x = out.data() + static_cast<size_t>(k) * M;
    double big = 0.0;
    for (int j = 0; j < M; ++j) {
      x[j] = root[j] * z[static_cast<size_t>(k) * M + j];
      if (std::fabs(x[j]) > std::fabs(big)) big = x[j];
    }
    for (int j = 0; j < M; ++j) x[j] /= big;
  }
  return out;
}

}  // namespace

bool symmetricEigenpairs(int n, std::vector<double> a, std::vector<double>& d,
                         std::vector<double>& z) {
  d.assign(n, 0.0);
  z.assign(static_cast<size_t>(n) * n, 0.0);
  std::vector<double> e(n, 0.0);
  TRED2(n, n, a.data(), d.data(), e.data(), z.data());
  int ierr = 0;
  TQL2(n, n, d.data(), e.data(), z.data(), ierr);
  return ierr == 0;
}

bool deltaRankOf(const double* c, int M, double cut, DeltaRank& out) {
  out = DeltaRank{};
  if (!symmetricEigenpairs(M, gram(c, M), out.eigenvalues, out.vectors)) return false;
  const double top = out.eigenvalues[M - 1];
  if (!(top > 0.0)) return false;
  out.ratio = out.eigenvalues[0] / top;
  for (double v : out.eigenvalues) out.rank += v >= cut * top ? 1 : 0;
  return true;
}

void rankFactor(const DeltaRank& d, int M, int r, double* c) {
  // B = diag(sqrt(lambda)) Z' over the r largest, r x M column-major;
  // Householder QR leaves R in place of B.
  std::vector<double> b(static_cast<size_t>(r) * M);
  for (int k = 0; k < r; ++k) {
    const int e = M - 1 - k;
    const double s = std::sqrt(std::max(d.eigenvalues[e], 0.0));
    for (int j = 0; j < M; ++j)
      b[static_cast<size_t>(j) * r + k] = s * d.vectors[static_cast<size_t>(e) * M + j];
  }
  for (int j = 0; j < std::min(r, M); ++j) {
    double norm = 0.0;
    for (int i = j; i < r; ++i)
      norm += b[static_cast<size_t>(j) * r + i] * b[static_cast<size_t>(j) * r + i];
    norm = std::sqrt(norm);
    if (norm == 0.0) continue;
    const double alpha = b[static_cast<size_t>(j) * r + j] > 0.0 ? -norm : norm;
    std::vector<double> v(r, 0.0);
    for (int i = j; i < r; ++i) v[i] = b[static_cast<size_t>(j) * r + i];
    v[j] -= alpha;
    double vv = 0.0;
    for (int i = j; i < r; ++i) vv += v[i] * v[i];
    if (vv == 0.0) continue;
    for (int col = j; col < M; ++col) {
      double dot = 0.0;
      for (int i = j; i < r; ++i) dot += v[i] * b[static_cast<size_t>(col) * r + i];
      const double f = 2.0 * dot / vv;
      for (int i = j; i < r; ++i) b[static_cast<size_t>(col) * r + i] -= f * v[i];
    }
  }
  for (int j = 0; j < M; ++j)
    for (int i = 0; i <= j; ++i) c[at(i, j)] = i < r ? b[static_cast<size_t>(j) * r + i] : 0.0;
}

double halfLogPseudoDet(const double* c, const std::vector<double>& root, int M, int r) {
  // A = U(1:r, :) D^-1; DELTA = (M / trace) A'A shares its nonzero
  // eigenvalues with (M / trace) AA'.
  double trace = 0.0;
  std::vector<double> g(static_cast<size_t>(r) * r, 0.0);
  for (int j = 0; j < M; ++j) {
    const double s = 1.0 / (root[j] * root[j]);
    for (int a = 0; a < std::min(r, j + 1); ++a) {
      trace += c[at(a, j)] * c[at(a, j)] * s;
      for (int b = 0; b <= a; ++b)
        g[static_cast<size_t>(b) * r + a] += c[at(a, j)] * c[at(b, j)] * s;
    }
  }
  if (!(trace > 0.0)) return -std::numeric_limits<double>::infinity();
  // Cholesky of the lower triangle of g.
  double sum = 0.5 * r * std::log(M / trace);
  for (int j = 0; j < r; ++j) {
    double v = g[static_cast<size_t>(j) * r + j];
    for (int k = 0; k < j; ++k)
      v -= g[static_cast<size_t>(k) * r + j] * g[static_cast<size_t>(k) * r + j];
    if (!(v > 0.0)) return -std::numeric_limits<double>::infinity();
    const double d = std::sqrt(v);
    g[static_cast<size_t>(j) * r + j] = d;
    sum += std::log(d);
    for (int i = j + 1; i < r; ++i) {
      double x = g[static_cast<size_t>(j) * r + i];
      for (int k = 0; k < j; ++k)
        x -= g[static_cast<size_t>(k) * r + i] * g[static_cast<size_t>(k) * r + j];
      g[static_cast<size_t>(j) * r + i] = x / d;
    }
  }
  return sum;
}

std::vector<double> deltaNullSpace(const double* c, const std::vector<double>& root, int M, int r) {
  std::vector<double> d, z;
  if (r >= M || !symmetricEigenpairs(M, gram(c, M), d, z)) return {};
  return unitColumns(z, M, M - r, root);
}

std::vector<double> phiFlatDirections(const std::vector<double>& phi, const double* c,
                                      const std::vector<double>& root, int M, int r, double cut) {
  if (r >= M) return {};
  // On the scale of the data: PHI~ = D PHI D^-1, G = sum_k PHI~^k W PHI~'^k
  // (k < M), whose kernel is that of the stationary covariance.
  std::vector<double> p(static_cast<size_t>(M) * M), term = gram(c, M), g = term, next(term.size());
  for (int j = 0; j < M; ++j)
    for (int i = 0; i < M; ++i)
      p[static_cast<size_t>(j) * M + i] = root[i] * phi[static_cast<size_t>(j) * M + i] / root[j];
  for (int k = 1; k < M; ++k) {
    // term := PHI~ term PHI~'.
    std::vector<double> left(term.size(), 0.0);
    for (int j = 0; j < M; ++j)
      for (int l = 0; l < M; ++l)
        for (int i = 0; i < M; ++i)
          left[static_cast<size_t>(j) * M + i] +=
              p[static_cast<size_t>(l) * M + i] * term[static_cast<size_t>(j) * M + l];
    std::fill(next.begin(), next.end(), 0.0);
    for (int j = 0; j < M; ++j)
      for (int l = 0; l < M; ++l)
        for (int i = 0; i < M; ++i)
          next[static_cast<size_t>(j) * M + i] +=
              left[static_cast<size_t>(l) * M + i] * p[static_cast<size_t>(l) * M + j];
    term = next;
    for (size_t i = 0; i < g.size(); ++i) g[i] += term[i];
  }
  std::vector<double> d, z;
  if (!symmetricEigenpairs(M, g, d, z) || !(d[M - 1] > 0.0)) return {};
  int flat = 0;
  while (flat < M && d[flat] < cut * d[M - 1]) ++flat;
  return unitColumns(z, M, flat, root);
}

bool appendOrthonormal(std::vector<std::vector<double>>& basis, std::vector<double> v) {
  const size_t n = v.size();
  double before = 0.0;
  for (double x : v) before += x * x;
  before = std::sqrt(before);
  if (!(before > 0.0)) return false;
  for (int pass = 0; pass < 2; ++pass)
    for (const std::vector<double>& b : basis) {
      double dot = 0.0;
      for (size_t k = 0; k < n; ++k) dot += b[k] * v[k];
      for (size_t k = 0; k < n; ++k) v[k] -= dot * b[k];
    }
  double norm = 0.0;
  for (double x : v) norm += x * x;
  norm = std::sqrt(norm);
  if (norm < 0.5 * before) return false;
  for (double& x : v) x /= norm;
  basis.push_back(std::move(v));
  return true;
}

bool planeCovarianceFactor(const std::vector<double>& H, int n,
                           const std::vector<std::vector<double>>& directions,
                           std::vector<double>& factor, int& q) {
  // Gram-Schmidt (twice) of the directions, then of the unit vectors
  // against them: the unit vectors that survive span the plane.
  std::vector<std::vector<double>> basis, z;
  auto orthogonalise = [&](const std::vector<double>& v, bool keep) {
    if (appendOrthonormal(basis, v) && keep) z.push_back(basis.back());
  };
  for (const std::vector<double>& d : directions) orthogonalise(d, false);
  for (int i = 0; i < n && static_cast<int>(basis.size()) < n; ++i) {
    std::vector<double> v(n, 0.0);
    v[i] = 1.0;
    orthogonalise(v, true);
  }
  q = static_cast<int>(z.size());
  if (q == 0) return false;
  // J = -Z'HZ, scaled to unit diagonal.
  std::vector<double> J(static_cast<size_t>(q) * q), sc(q);
  for (int b = 0; b < q; ++b)
    for (int a = 0; a < q; ++a) {
      double sum = 0.0;
      for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) sum += z[a][i] * H[static_cast<size_t>(j) * n + i] * z[b][j];
      J[static_cast<size_t>(b) * q + a] = -sum;
    }
  for (int a = 0; a < q; ++a) {
    if (!(J[static_cast<size_t>(a) * q + a] > 0.0)) return false;
    sc[a] = std::sqrt(J[static_cast<size_t>(a) * q + a]);
  }
  for (int b = 0; b < q; ++b)
    for (int a = 0; a < q; ++a) J[static_cast<size_t>(b) * q + a] /= sc[a] * sc[b];
  std::vector<double> d, v;
  if (!symmetricEigenpairs(q, J, d, v)) return false;
  if (!(d[0] > 1.0E-10 * std::fabs(d[q - 1]))) return false;
  // F = Z S^-1 V diag(1 / sqrt(d)).
  factor.assign(static_cast<size_t>(n) * q, 0.0);
  for (int l = 0; l < q; ++l)
    for (int k = 0; k < n; ++k) {
      double sum = 0.0;
      for (int b = 0; b < q; ++b) sum += z[b][k] * v[static_cast<size_t>(l) * q + b] / sc[b];
      factor[static_cast<size_t>(l) * n + k] = sum / std::sqrt(d[l]);
    }
  return true;
}

}  // namespace kova
