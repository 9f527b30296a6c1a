// Eigenvalues of Y = X' S X through the banded pencil, checked against
// LAPACK dsyevd on Y formed independently from its definition,
// Y(t,s) = x(t)' PHI^(t-s) PI(s) x(s), PI(1) = P1, PI(t) = PHI PI(t-1) PHI' + Q:
// PHI zero, diagonal, full with a complex pair, spectral radius 0.99; P1
// stationary or not; rows with x(t) = 0; Q near singular; and the refusals
// when P1 or Q is not positive definite. The worst error of each class,
// relative to ||Y||_2, is printed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "linalg/banded_pencil_eigen.h"

extern "C" {
void dsyevd_(const char* jobz, const char* uplo, const int* n, double* a, const int* lda, double* w,
             double* work, const int* lwork, int* iwork, const int* liwork, int* info, std::size_t,
             std::size_t);
}

namespace kova {
namespace {

using Matrix = std::vector<double>;  // column-major

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

// The solution of P = PHI P PHI' + Q, by doubling: P = sum_k PHI^k Q PHI'^k.
Matrix stationary(int m, const Matrix& phi, const Matrix& q) {
  Matrix p = q, f = phi;
  for (int it = 0; it < 40; ++it) {
    Matrix add = multiply(m, multiply(m, f, p), transpose(m, f));
    for (size_t i = 0; i < p.size(); ++i) p[i] += add[i];
    f = multiply(m, f, f);
  }
  return p;
}

Matrix randomMatrix(int rows, int cols, std::mt19937& gen) {
  std::normal_distribution<double> g(0.0, 1.0);
  Matrix a(static_cast<size_t>(rows) * cols);
  for (double& v : a) v = g(gen);
  return a;
}

// PHI with eigenvalues rho, 0.7 rho, 0.49 rho, ... on a random orthogonal
// basis, the leading pair replaced by rho e^(+-i theta) when theta > 0.
Matrix transition(int m, double rho, double theta, std::mt19937& gen) {
  Matrix block(static_cast<size_t>(m) * m, 0.0);
  for (int i = 0; i < m; ++i) block[i + i * m] = rho * std::pow(0.7, i);
  if (theta > 0.0 && m >= 2) {
    block[0] = block[1 + m] = rho * std::cos(theta);
    block[1] = rho * std::sin(theta);
    block[m] = -rho * std::sin(theta);
  }
  Matrix basis = randomMatrix(m, m, gen);
  for (int j = 0; j < m; ++j) {
    for (int k = 0; k < j; ++k) {
      double dot = 0.0;
      for (int i = 0; i < m; ++i) dot += basis[i + j * m] * basis[i + k * m];
      for (int i = 0; i < m; ++i) basis[i + j * m] -= dot * basis[i + k * m];
    }
    double nrm = 0.0;
    for (int i = 0; i < m; ++i) nrm += basis[i + j * m] * basis[i + j * m];
    for (int i = 0; i < m; ++i) basis[i + j * m] /= std::sqrt(nrm);
  }
  return multiply(m, multiply(m, basis, block), transpose(m, basis));
}

Matrix positiveDefinite(int m, std::mt19937& gen) {
  const Matrix b = randomMatrix(m, m, gen);
  Matrix s = multiply(m, b, transpose(m, b));
  for (int i = 0; i < m; ++i) s[i + i * m] += 0.1;
  return s;
}

struct Case {
  int n, m;
  Matrix x, phi, p1, q;
};

// Y from its definition, n x n.
Matrix formY(const Case& c) {
  const int n = c.n, m = c.m;
  Matrix y(static_cast<size_t>(n) * n), pi = c.p1, g(m), h(m);
  for (int s = 0; s < n; ++s) {
    if (s > 0) {
      pi = multiply(m, multiply(m, c.phi, pi), transpose(m, c.phi));
      for (size_t i = 0; i < pi.size(); ++i) pi[i] += c.q[i];
    }
    for (int i = 0; i < m; ++i) {
      g[i] = 0.0;
      for (int k = 0; k < m; ++k) g[i] += pi[i + k * m] * c.x[k + s * m];
    }
    for (int t = s; t < n; ++t) {
      double v = 0.0;
      for (int i = 0; i < m; ++i) v += c.x[i + t * m] * g[i];
      y[t + s * n] = y[s + t * n] = v;
      for (int i = 0; i < m; ++i) {
        h[i] = 0.0;
        for (int k = 0; k < m; ++k) h[i] += c.phi[i + k * m] * g[k];
      }
      g = h;
    }
  }
  return y;
}

std::vector<double> dsyevdValues(int n, Matrix a) {
  int info = 0, lwork = 2 * n + 1, liwork = 1;
  std::vector<double> w(n), work(lwork);
  std::vector<int> iwork(liwork);
  dsyevd_("N", "L", &n, a.data(), &n, w.data(), work.data(), &lwork, iwork.data(), &liwork, &info,
          1, 1);
  EXPECT_EQ(info, 0);
  return w;
}

// Runs the routine in a region of exactly the size it asks for.
std::vector<double> pencilValues(const Case& c, int& ierr) {
  const ScratchNeed need = pencilEigenvaluesNeed(c.n, c.m);
  std::vector<double> wr(need.doubles);
  std::vector<int> wi(need.ints);
  std::vector<dcomplex> wc(need.complexes);
  Scratch s(wr.data(), need.doubles, wi.data(), need.ints, wc.data(), need.complexes);
  std::vector<double> values(c.n, -7.0);
  ierr = -1;
  pencilEigenvalues(c.n, c.m, c.x.data(), c.phi.data(), c.p1.data(), c.q.data(), values.data(), s,
                    ierr);
  return values;
}

// The worst error relative to ||Y||_2 of each class of cases, for the log.
std::map<std::string, double>& worstByClass() {
  static std::map<std::string, double> worst;
  return worst;
}

void printWorst() {
  for (const auto& [name, w] : worstByClass())
    std::printf("  worst |error| / ||Y||  %-46s %.2e\n", name.c_str(), w);
  worstByClass().clear();
}

// Compares with dsyevd to TOL ||Y||_2, absolute.
void expectMatchesLapack(const Case& c, const std::string& cls, double tol = 1e-10) {
  int ierr = 0;
  const std::vector<double> values = pencilValues(c, ierr);
  ASSERT_EQ(ierr, 0);
  const std::vector<double> ref = dsyevdValues(c.n, formY(c));
  const double norm = std::max(std::fabs(ref.front()), std::fabs(ref.back()));
  double worst = 0.0;
  for (int i = 0; i < c.n; ++i) worst = std::max(worst, std::fabs(values[i] - ref[i]));
  const double rel = norm > 0.0 ? worst / norm : worst;
  double& w = worstByClass()[cls];
  w = std::max(w, rel);
  EXPECT_LE(rel, tol) << cls << " n " << c.n << " m " << c.m << " ||Y|| " << norm;
  EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
}

TEST(BandedPencilEigen, AutoregressionBatteryMatchesDsyevd) {
  std::mt19937 gen(20261207);
  for (int m : {1, 2, 3, 5}) {
    for (int n : {1, 2, 3, 50, 400}) {
      SCOPED_TRACE(testing::Message() << "m " << m << " n " << n);
      const Matrix q = positiveDefinite(m, gen), zero(static_cast<size_t>(m) * m, 0.0);
      Matrix diagonal = zero;
      for (int i = 0; i < m; ++i) diagonal[i + i * m] = 0.9 - 0.35 * i;
      struct Named {
        const char* name;
        Matrix phi;
      };
      const Named phis[] = {{"PHI zero", zero},
                            {"PHI diagonal", diagonal},
                            {"PHI full, complex pair", transition(m, 0.8, 0.6, gen)},
                            {"PHI spectral radius 0.99", transition(m, 0.99, 0.3, gen)}};
      for (const Named& ph : phis) {
        SCOPED_TRACE(ph.name);
        Case c{n, m, randomMatrix(m, n, gen), ph.phi, stationary(m, ph.phi, q), q};
        expectMatchesLapack(c, std::string(ph.name) + ", P1 stationary");
        // A start far from stationarity: a small, differently shaped P1.
        c.p1 = positiveDefinite(m, gen);
        for (double& v : c.p1) v *= 0.05;
        expectMatchesLapack(c, std::string(ph.name) + ", P1 not stationary");
        // Every third regressor vector zero: Y has zero rows and columns.
        for (int t = 0; t < n; t += 3)
          for (int i = 0; i < m; ++i) c.x[i + t * m] = 0.0;
        expectMatchesLapack(c, std::string(ph.name) + ", rows x(t) = 0");
      }
    }
  }
  printWorst();
}

TEST(BandedPencilEigen, LargeOrderAndNearlySingularQ) {
  std::mt19937 gen(99);
  for (int m : {3, 5}) {
    SCOPED_TRACE(testing::Message() << "n 1000, m " << m << ", spectral radius 0.995");
    const Matrix phi = transition(m, 0.995, 0.3, gen), q = positiveDefinite(m, gen);
    expectMatchesLapack(Case{1000, m, randomMatrix(m, 1000, gen), phi, stationary(m, phi, q), q},
                        "n 1000");
  }
  {
    // An order beyond the ones laid out at compile time.
    SCOPED_TRACE("m 7");
    const int m = 7;
    const Matrix phi = transition(m, 0.97, 0.8, gen), q = positiveDefinite(m, gen);
    expectMatchesLapack(Case{120, m, randomMatrix(m, 120, gen), phi, stationary(m, phi, q), q},
                        "m 7");
  }
  // Q of rank one plus tiny I: S^-1 has condition up to about 1e14,
  // yet nothing is inverted; the result holds to the same accuracy.
  for (int m : {2, 3}) {
    for (double tiny : {1e-8, 1e-11, 1e-13}) {
      SCOPED_TRACE(testing::Message() << "m " << m << " Q near singular " << tiny);
      Matrix q(static_cast<size_t>(m) * m);
      std::vector<double> v(m);
      for (int i = 0; i < m; ++i) v[i] = 1.0 + i;
      for (int j = 0; j < m; ++j)
        for (int i = 0; i < m; ++i) q[i + j * m] = v[i] * v[j] + (i == j ? tiny : 0.0);
      const Matrix phi = transition(m, 0.95, 0.5, gen);
      expectMatchesLapack(Case{300, m, randomMatrix(m, 300, gen), phi, stationary(m, phi, q), q},
                          "Q near singular");
    }
  }
  printWorst();
}

// Cases where ||X||^2 ||S|| or the intermediate congruences dwarf ||Y||:
// where an error bounded by eps ||X||^2 ||S|| would show.
TEST(BandedPencilEigen, IllScaledCasesMatchDsyevd) {
  std::mt19937 gen(31);
  {
    SCOPED_TRACE("explosive PHI, spectral radius 1.02");
    const int m = 3, n = 200;
    Matrix p1 = positiveDefinite(m, gen);
    expectMatchesLapack(Case{n, m, randomMatrix(m, n, gen), transition(m, 1.02, 0.4, gen), p1,
                             positiveDefinite(m, gen)},
                        "explosive PHI");
  }
  {
    SCOPED_TRACE("non-normal PHI, transient growth 10");
    const int m = 2, n = 300;
    const Matrix phi = {0.9, 0.0, 10.0, 0.9}, q = positiveDefinite(m, gen);
    expectMatchesLapack(Case{n, m, randomMatrix(m, n, gen), phi, stationary(m, phi, q), q},
                        "non-normal PHI");
  }
  {
    // x(t) nearly orthogonal to the slow, large component of e(t): ||Y||
    // is about 1e-6 while ||X||^2 ||S|| is about 1e3.
    SCOPED_TRACE("x(t) away from the dominant direction of S");
    const int m = 2, n = 400;
    const Matrix phi = {0.999, 0.0, 0.0, 0.1}, q = {1.0, 0.0, 0.0, 1e-6};
    Matrix x = randomMatrix(m, n, gen);
    for (int t = 0; t < n; ++t) x[t * m] *= 1e-5;
    expectMatchesLapack(Case{n, m, x, phi, stationary(m, phi, q), q},
                        "x away from S's dominant direction");
  }
  {
    SCOPED_TRACE("P1 near singular, Q small");
    const int m = 3, n = 300;
    Matrix p1(static_cast<size_t>(m) * m), q = positiveDefinite(m, gen);
    for (int j = 0; j < m; ++j)
      for (int i = 0; i < m; ++i)
        p1[i + j * m] = 100.0 * (i + 1) * (j + 1) + (i == j ? 1e-11 : 0.0);
    for (double& v : q) v *= 1e-6;
    expectMatchesLapack(Case{n, m, randomMatrix(m, n, gen), transition(m, 0.9, 0.7, gen), p1, q},
                        "P1 near singular, Q small");
  }
  printWorst();
}

TEST(BandedPencilEigen, RefusesWhenP1OrQIsNotPositiveDefinite) {
  std::mt19937 gen(5);
  const int n = 20, m = 3;
  const Matrix good = positiveDefinite(m, gen), phi = transition(m, 0.9, 0.4, gen);
  Matrix singular(static_cast<size_t>(m) * m, 1.0);  // rank one
  Matrix indefinite = good;
  indefinite[0] = -1.0;
  int ierr = 0;
  for (const Matrix& bad : {singular, indefinite}) {
    std::vector<double> values =
        pencilValues(Case{n, m, randomMatrix(m, n, gen), phi, bad, good}, ierr);
    EXPECT_EQ(ierr, 1);
    EXPECT_TRUE(std::all_of(values.begin(), values.end(), [](double v) { return v == -7.0; }));
    values = pencilValues(Case{n, m, randomMatrix(m, n, gen), phi, good, bad}, ierr);
    EXPECT_EQ(ierr, 2);
    EXPECT_TRUE(std::all_of(values.begin(), values.end(), [](double v) { return v == -7.0; }));
  }
  // N = 0 does nothing and asks for nothing.
  const ScratchNeed none = pencilEigenvaluesNeed(0, m);
  EXPECT_EQ(none.doubles, 0);
  Scratch empty(nullptr, 0, nullptr, 0, nullptr, 0);
  ierr = -1;
  pencilEigenvalues(0, m, nullptr, phi.data(), good.data(), good.data(), nullptr, empty, ierr);
  EXPECT_EQ(ierr, 0);
}

}  // namespace
}  // namespace kova
