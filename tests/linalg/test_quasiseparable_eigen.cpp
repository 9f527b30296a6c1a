// Eigenvalues of symmetric quasiseparable matrices from their generators,
// checked against LAPACK dsyevd on the matrix formed independently: the
// covariance Y(t,s) = x(t)' PHI^(t-s) PI x(s) of a stationary vector
// autoregression seen through regressors x(t), with PHI zero, diagonal,
// full with a complex pair, near the unit circle, singular PI and rows with
// x(t) = 0; and an indefinite matrix from random generators.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numbers>
#include <random>
#include <vector>

#include "linalg/quasiseparable_eigen.h"

extern "C" {
void dsyevd_(const char* jobz, const char* uplo, const int* n, double* a, const int* lda, double* w,
             double* work, const int* lwork, int* iwork, const int* liwork, int* info, std::size_t,
             std::size_t);
}

namespace kova {
namespace {

using Matrix = std::vector<double>;  // column-major, square unless said

Matrix multiply(int m, const Matrix& x, const Matrix& y) {
  Matrix z(static_cast<size_t>(m) * m, 0.0);
  for (int j = 0; j < m; ++j)
    for (int k = 0; k < m; ++k)
      for (int i = 0; i < m; ++i) z[i + j * m] += x[i + k * m] * y[k + j * m];
  return z;
}

Matrix transpose(int m, const Matrix& x) {
  Matrix z(x.size());
  for (int j = 0; j < m; ++j)
    for (int i = 0; i < m; ++i) z[j + i * m] = x[i + j * m];
  return z;
}

// The stationary covariance PI = sum_k PHI^k SIGMA PHI'^k, by doubling.
Matrix stationary(int m, const Matrix& phi, const Matrix& sigma) {
  Matrix pi = sigma, f = phi;
  for (int it = 0; it < 40; ++it) {
    Matrix add = multiply(m, multiply(m, f, pi), transpose(m, f));
    for (size_t i = 0; i < pi.size(); ++i) pi[i] += add[i];
    f = multiply(m, f, f);
  }
  return pi;
}

struct Problem {
  int n, r;
  Matrix p, a, q, d;  // generators
  Matrix dense;       // Y, n x n, formed from x, PHI and PI directly
};

// x is r x n, column t = x(t).
Problem covariance(int n, int r, const Matrix& x, const Matrix& phi, const Matrix& pi) {
  Problem pr{n, r, x, phi, Matrix(static_cast<size_t>(r) * n), Matrix(n), {}};
  const Matrix phiPi = multiply(r, phi, pi);
  for (int t = 0; t < n; ++t)
    for (int i = 0; i < r; ++i)
      for (int k = 0; k < r; ++k) {
        pr.q[i + t * r] += phiPi[i + k * r] * x[k + t * r];
        pr.d[t] += x[i + t * r] * pi[i + k * r] * x[k + t * r];
      }
  pr.dense.assign(static_cast<size_t>(n) * n, 0.0);
  for (int s = 0; s < n; ++s) {
    Matrix g = pi;  // PHI^(t-s) PI
    for (int t = s; t < n; ++t) {
      double v = 0.0;
      for (int i = 0; i < r; ++i)
        for (int k = 0; k < r; ++k) v += x[i + t * r] * g[i + k * r] * x[k + s * r];
      pr.dense[t + s * n] = pr.dense[s + t * n] = v;
      g = multiply(r, phi, g);
    }
  }
  return pr;
}

std::vector<double> dsyevdValues(Problem pr) {
  int n = pr.n, info = 0, lwork = 2 * n + 1, liwork = 1;
  std::vector<double> w(n), work(lwork);
  std::vector<int> iwork(liwork);
  dsyevd_("N", "L", &n, pr.dense.data(), &n, w.data(), work.data(), &lwork, iwork.data(), &liwork,
          &info, 1, 1);
  EXPECT_EQ(info, 0);
  return w;
}

// Runs the routine in a region of exactly the size it asks for and compares
// with dsyevd to 1e-12 ||Y||_2, absolute.
void expectMatchesLapack(const Problem& pr) {
  const ScratchNeed need = quasiseparableEigenvaluesNeed(pr.n, pr.r);
  std::vector<double> wr(need.doubles);
  std::vector<int> wi(need.ints);
  std::vector<dcomplex> wc(need.complexes);
  Scratch s(wr.data(), need.doubles, wi.data(), need.ints, wc.data(), need.complexes);
  std::vector<double> values(pr.n, -1.0);
  int ierr = -1;
  quasiseparableEigenvalues(pr.n, pr.r, pr.p.data(), pr.a.data(), pr.q.data(), pr.d.data(),
                            values.data(), s, ierr);
  ASSERT_EQ(ierr, 0);
  const std::vector<double> ref = dsyevdValues(pr);
  const double norm = std::max(std::fabs(ref.front()), std::fabs(ref.back()));
  double worst = 0.0;
  for (int i = 0; i < pr.n; ++i) worst = std::max(worst, std::fabs(values[i] - ref[i]));
  EXPECT_LE(worst, 1e-12 * norm) << "n " << pr.n << " r " << pr.r << " ||Y|| " << norm;
  EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
}

Matrix randomMatrix(int rows, int cols, std::mt19937& gen) {
  std::normal_distribution<double> g(0.0, 1.0);
  Matrix m(static_cast<size_t>(rows) * cols);
  for (double& v : m) v = g(gen);
  return m;
}

// PHI with the given eigenvalues on a random basis: real ones, or a complex
// pair rho e^(+-i theta) in the leading 2 x 2 block when theta > 0.
Matrix transition(int r, double rho, double theta, std::mt19937& gen) {
  Matrix blockForm(static_cast<size_t>(r) * r, 0.0);
  for (int i = 0; i < r; ++i) blockForm[i + i * r] = rho * std::pow(0.7, i);
  if (theta > 0.0 && r >= 2) {
    blockForm[0] = blockForm[1 + r] = rho * std::cos(theta);
    blockForm[1] = rho * std::sin(theta);
    blockForm[r] = -rho * std::sin(theta);
  }
  // An orthogonal basis keeps the powers of PHI bounded like rho^k.
  Matrix basis = randomMatrix(r, r, gen);
  for (int j = 0; j < r; ++j) {
    for (int k = 0; k < j; ++k) {
      double dot = 0.0;
      for (int i = 0; i < r; ++i) dot += basis[i + j * r] * basis[i + k * r];
      for (int i = 0; i < r; ++i) basis[i + j * r] -= dot * basis[i + k * r];
    }
    double nrm = 0.0;
    for (int i = 0; i < r; ++i) nrm += basis[i + j * r] * basis[i + j * r];
    for (int i = 0; i < r; ++i) basis[i + j * r] /= std::sqrt(nrm);
  }
  return multiply(r, multiply(r, basis, blockForm), transpose(r, basis));
}

Matrix positiveDefinite(int r, std::mt19937& gen) {
  const Matrix b = randomMatrix(r, r, gen);
  Matrix s = multiply(r, b, transpose(r, b));
  for (int i = 0; i < r; ++i) s[i + i * r] += 0.1;
  return s;
}

TEST(QuasiseparableEigen, VectorAutoregressionCovariancesMatchDsyevd) {
  std::mt19937 gen(20261207);
  const int sizes[] = {1, 2, 3, 50, 400};
  for (int r : {1, 2, 3, 5}) {
    for (int n : sizes) {
      SCOPED_TRACE(testing::Message() << "r " << r << " n " << n);
      const Matrix x = randomMatrix(r, n, gen);
      const Matrix sigma = positiveDefinite(r, gen);
      const Matrix zero(static_cast<size_t>(r) * r, 0.0);
      {
        SCOPED_TRACE("PHI = 0: Y is diagonal");
        expectMatchesLapack(covariance(n, r, x, zero, sigma));
      }
      {
        SCOPED_TRACE("diagonal PHI");
        Matrix phi = zero;
        for (int i = 0; i < r; ++i) phi[i + i * r] = 0.9 - 0.35 * i;
        expectMatchesLapack(covariance(n, r, x, phi, stationary(r, phi, sigma)));
      }
      {
        SCOPED_TRACE("full PHI with a complex pair");
        const Matrix phi = transition(r, 0.8, 0.6, gen);
        expectMatchesLapack(covariance(n, r, x, phi, stationary(r, phi, sigma)));
      }
      {
        SCOPED_TRACE("spectral radius 0.99");
        const Matrix phi = transition(r, 0.99, 0.0, gen);
        expectMatchesLapack(covariance(n, r, x, phi, stationary(r, phi, sigma)));
      }
    }
  }
}

TEST(QuasiseparableEigen, SingularCovariancesMatchDsyevd) {
  std::mt19937 gen(7);
  for (int r : {1, 2, 3, 5}) {
    for (int n : {3, 50, 400}) {
      SCOPED_TRACE(testing::Message() << "r " << r << " n " << n);
      // Rows with x(t) = 0 (every third one) and a singular PI: a diagonal
      // PHI driven by a rank-one SIGMA with a zero component, so that the
      // last coordinate never moves.
      Matrix x = randomMatrix(r, n, gen);
      for (int t = 0; t < n; t += 3)
        for (int i = 0; i < r; ++i) x[i + t * r] = 0.0;
      Matrix phi(static_cast<size_t>(r) * r, 0.0), sigma(phi.size(), 0.0);
      std::vector<double> v(r, 1.0);
      v[r - 1] = r > 1 ? 0.0 : 1.0;
      for (int i = 0; i < r; ++i) {
        phi[i + i * r] = 0.95 - 0.2 * i;
        for (int k = 0; k < r; ++k) sigma[i + k * r] = v[i] * v[k];
      }
      expectMatchesLapack(covariance(n, r, x, phi, stationary(r, phi, sigma)));
      // Also PHI with a zero eigenvalue (singular) and a complex pair.
      const Matrix full = r >= 3 ? transition(r, 0.9, 1.1, gen) : phi;
      Matrix singular = full;
      for (int i = 0; i < r; ++i) singular[i + (r - 1) * r] = 0.0;
      expectMatchesLapack(covariance(n, r, x, singular, stationary(r, singular, sigma)));
    }
  }
}

TEST(QuasiseparableEigen, LargeOrderAndIndefiniteGenerators) {
  std::mt19937 gen(99);
  {
    SCOPED_TRACE("n 1000, r 3, spectral radius 0.995");
    const int n = 1000, r = 3;
    const Matrix phi = transition(r, 0.995, 0.3, gen);
    expectMatchesLapack(covariance(n, r, randomMatrix(r, n, gen), phi,
                                   stationary(r, phi, positiveDefinite(r, gen))));
  }
  {
    // Generators with no covariance behind them: Y is indefinite.
    SCOPED_TRACE("indefinite");
    const int n = 300, r = 4;
    Problem pr{n, r, randomMatrix(r, n, gen), transition(r, 0.97, 0.5, gen),
               randomMatrix(r, n, gen), randomMatrix(1, n, gen), {}};
    pr.dense.assign(static_cast<size_t>(n) * n, 0.0);
    for (int s = 0; s < n; ++s) {
      pr.dense[s + s * n] = pr.d[s];
      std::vector<double> v(pr.q.begin() + s * r, pr.q.begin() + (s + 1) * r), av(r);
      for (int t = s + 1; t < n; ++t) {
        double y = 0.0;
        for (int i = 0; i < r; ++i) y += pr.p[i + t * r] * v[i];
        pr.dense[t + s * n] = pr.dense[s + t * n] = y;
        std::fill(av.begin(), av.end(), 0.0);
        for (int k = 0; k < r; ++k)
          for (int i = 0; i < r; ++i) av[i] += pr.a[i + k * r] * v[k];
        v = av;
      }
    }
    expectMatchesLapack(pr);
  }
}

TEST(QuasiseparableEigen, TridiagonalClosedForm) {
  // tridiag(-1, 2, -1) with a zero coupling in the middle: two blocks with
  // eigenvalues 2 - 2 cos(k pi / (m + 1)).
  const int n = 13;
  std::vector<double> d(n, 2.0), e(n, -1.0), expect;
  e[5] = 0.0;
  for (int m : {6, 7})
    for (int k = 1; k <= m; ++k) expect.push_back(2.0 - 2.0 * std::cos(k * std::numbers::pi / (m + 1)));
  std::sort(expect.begin(), expect.end());
  int ierr = -1;
  tridiagonalEigenvalues(n, d.data(), e.data(), ierr);
  ASSERT_EQ(ierr, 0);
  for (int i = 0; i < n; ++i) EXPECT_NEAR(d[i], expect[i], 4e-15);
}

}  // namespace
}  // namespace kova
