// The DELTA and PHI repairs against LAPACK (dsyev, dpstrf, dgeev) and
// closed forms.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <string>
#include <vector>

#include "io/edit_descriptors.h"
#include "linalg/lapack_eispack_ref.h"
#include "linalg/lapack_linpack_ref.h"
#include "report/report_test_support.h"
#include "solvers/definiteness.h"

namespace kova {
namespace {

using test::DMat;
using test::kEps;
using test::multiply;

// Scratch of its own for one call.
struct Region {
  std::vector<double> wr = std::vector<double>(4000);
  std::vector<int> wi = std::vector<int>(400);
  std::vector<dcomplex> wc = std::vector<dcomplex>(400);
  Scratch scratch() { return Scratch(wr.data(), 4000, wi.data(), 400, wc.data(), 400); }
};

Mat view(DMat& m) { return Mat{m.data(), m.ld, m.rows, m.cols}; }

double maxAbs(const DMat& a, const DMat& b) {
  double d = 0.0;
  for (int j = 1; j <= a.cols; ++j)
    for (int i = 1; i <= a.rows; ++i) d = std::max(d, std::fabs(a(i, j) - b(i, j)));
  return d;
}

// Ascending eigenvalues and eigenvectors from dsyev.
void symmetricEigen(DMat a, std::vector<double>& w, DMat& v) {
  const int n = a.rows, lwork = 64 * n;
  w.assign(n, 0.0);
  std::vector<double> work(lwork);
  int info = 0;
  dsyev_("V", "U", &n, a.data(), &a.ld, w.data(), work.data(), &lwork, &info, 1, 1);
  ASSERT_EQ(info, 0);
  v = a;
}

// Q diag(lambda) Q' with a random orthogonal Q (from dsyev of a random
// symmetric matrix).
DMat withEigenvalues(const std::vector<double>& lambda, unsigned seed) {
  const int n = static_cast<int>(lambda.size());
  DMat r = test::randomMatrix(n, n, seed);
  DMat s = multiply(r, r, true, false);
  std::vector<double> w;
  DMat q;
  symmetricEigen(s, w, q);
  DMat out(n, n, 2);
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i)
      for (int k = 1; k <= n; ++k) out(i, j) += q(i, k) * lambda[k - 1] * q(j, k);
  return out;
}

// Eigenvalues of a real general matrix from dgeev, sorted by modulus.
std::vector<std::complex<double>> generalEigenvalues(DMat a) {
  const int n = a.rows, one = 1, lwork = 64 * n;
  std::vector<double> wr(n), wi(n), work(lwork);
  int info = 0;
  dgeev_("N", "N", &n, a.data(), &a.ld, wr.data(), wi.data(), nullptr, &one, nullptr, &one,
         work.data(), &lwork, &info, 1, 1);
  EXPECT_EQ(info, 0);
  std::vector<std::complex<double>> out;
  for (int i = 0; i < n; ++i) out.emplace_back(wr[i], wi[i]);
  std::sort(out.begin(), out.end(), [](auto x, auto y) {
    return std::abs(x) != std::abs(y) ? std::abs(x) < std::abs(y) : x.imag() < y.imag();
  });
  return out;
}

struct Eigen {
  int n;
  std::vector<dcomplex> eval, V, VINV;
  std::vector<double> moduli;
  PhiEigen view;
  explicit Eigen(int n_) : n(n_), eval(n_), V(n_ * n_ + 3), VINV(n_ * n_ + 3), moduli(n_) {
    view = PhiEigen{n, n, eval.data(), V.data(), VINV.data(), moduli.data()};
  }
  // Re(V diag(EVAL) VINV) and the largest imaginary part of it.
  DMat rebuild(double& imag) const {
    DMat out(n, n);
    imag = 0.0;
    for (int j = 0; j < n; ++j)
      for (int i = 0; i < n; ++i) {
        dcomplex sum = 0.0;
        for (int k = 0; k < n; ++k) sum += V[i + k * n] * eval[k] * VINV[k + j * n];
        out(i + 1, j + 1) = sum.real();
        imag = std::max(imag, std::fabs(sum.imag()));
      }
    return out;
  }
};

// S diag(blocks) S^-1 for a fixed well-conditioned S: PHI with chosen
// eigenvalues, not symmetric.
DMat similar(const DMat& d) {
  const int n = d.rows;
  DMat s(n, n), sinv(n, n);
  // S = I + 0.3 N with N strictly lower: S^-1 = I - 0.3 N + 0.09 N^2 - ...
  for (int i = 1; i <= n; ++i) s(i, i) = 1.0;
  for (int j = 1; j <= n; ++j)
    for (int i = j + 1; i <= n; ++i) s(i, j) = 0.3 * (i + j) / n;
  // Invert by forward substitution, column by column.
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i) {
      double v = i == j ? 1.0 : 0.0;
      for (int k = 1; k < i; ++k) v -= s(i, k) * sinv(k, j);
      sinv(i, j) = v;
    }
  return multiply(multiply(s, d), sinv);
}

TEST(DeltaRepair, IndefiniteDeltaIsProjectedAndFactoredWithItsRank) {
  // (2, -1) under TOL 0: Z diag(2, 0) Z', a rank-1 factor and the message;
  // then a 5 x 5 with two negative eigenvalues against the dsyev projection.
  for (const std::vector<double>& lambda :
       {std::vector<double>{2.0, -1.0}, std::vector<double>{3.0, -0.5, 1.0, -2.0, 0.25}}) {
    const int n = static_cast<int>(lambda.size());
    DMat delta = withEigenvalues(lambda, 11 + n);
    std::vector<double> w;
    DMat q;
    symmetricEigen(delta, w, q);
    DMat expected(n, n);
    int positive = 0;
    for (int k = 1; k <= n; ++k) {
      positive += w[k - 1] > 0.0;
      for (int j = 1; j <= n; ++j)
        for (int i = 1; i <= n; ++i) expected(i, j) += q(i, k) * std::max(w[k - 1], 0.0) * q(j, k);
    }
    DMat u(n, n, 1), z(n, n);
    std::vector<double> eval(n), eval0(n);
    bool adjusted = false;
    Region region;
    const auto printed = reporttest::capture([&](int out, int) {
      Scratch s = region.scratch();
      ADJDND(view(delta), view(u), eval.data(), view(z), 0.0, eval0.data(), adjusted, s, out);
      EXPECT_EQ(s.used().doubles, 0);  // the caller's scratch does not advance
    });
    EXPECT_TRUE(adjusted);
    for (int k = 0; k < n; ++k) {
      EXPECT_NEAR(eval0[k], w[k], 10 * n * kEps * 3.0);
      EXPECT_NEAR(eval[k], std::max(w[k], 0.0), 10 * n * kEps * 3.0);
    }
    EXPECT_LT(maxAbs(delta, expected), 20 * n * kEps * 3.0);
    EXPECT_LT(maxAbs(multiply(u, u, true, false), delta), 50 * n * kEps * 3.0);
    // Rows beyond the rank are zero; the message counts them.
    for (int i = positive + 1; i <= n; ++i)
      for (int j = 1; j <= n; ++j) EXPECT_EQ(u(i, j), 0.0);
    EXPECT_NE(printed.out.find("THE FINAL DELTA MATRIX IN SUBROUTINE ADJDND IS NOT POSITIVE "
                               "DEFINITE.\nTHE LAST" +
                               editI(n - positive, 3) +
                               " ROWS OF THE UPPER CHOLESKY FACTOR HAVEBEEN SET TO ZERO.\n"),
              std::string::npos)
        << printed.out;
  }
}

TEST(DeltaRepair, PositiveDefiniteDeltaKeepsItsValuesAndGetsThePivotedFactor) {
  const int n = 4;
  DMat delta = withEigenvalues({0.5, 2.0, 1.0, 4.0}, 3);
  const DMat original = delta;
  DMat u(n, n, 2), z(n, n, 1);
  std::vector<double> eval(n), eval0(n);
  bool adjusted = true;
  Region region;
  const auto printed = reporttest::capture([&](int out, int) {
    Scratch s = region.scratch();
    ADJDND(view(delta), view(u), eval.data(), view(z), 0.0, eval0.data(), adjusted, s, out);
  });
  EXPECT_FALSE(adjusted);
  EXPECT_EQ(printed.out, "");
  EXPECT_EQ(maxAbs(delta, original), 0.0);
  EXPECT_NEAR(eval0[0], 0.5, 40 * kEps);
  EXPECT_NEAR(eval0[3], 4.0, 40 * kEps);
  // The same greedy pivoting as LAPACK's dpstrf: its factor, columns put
  // back in DELTA's order, is ours.
  DMat ref = original;
  std::vector<int> piv(n);
  int rank = 0, info = 0;
  const double tol = -1.0;
  std::vector<double> work(2 * n);
  ::dpstrf_("U", &n, ref.data(), &ref.ld, piv.data(), &rank, &tol, work.data(), &info, 1);
  ASSERT_EQ(rank, n);
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i)
      EXPECT_NEAR(u(i, piv[j - 1]), i <= j ? ref(i, j) : 0.0, 20 * kEps) << i << "," << j;
  EXPECT_LT(maxAbs(multiply(u, u, true, false), original), 40 * kEps);
}

TEST(DeltaRepair, DiagonalDeltaAndAsymFloorsAndMessages) {
  // ADJDD: a negative element becomes 0 with a zero in the factor; an
  // all-negative diagonal is floored at |largest| * TOL with the message.
  DMat delta(3, 3);
  delta(1, 1) = 2.0, delta(2, 2) = -0.5, delta(3, 3) = 0.25;
  DMat u(3, 3);
  double diagu[3];
  bool adjusted = false;
  auto printed = reporttest::capture(
      [&](int out, int) { ADJDD(view(delta), view(u), 0.0, diagu, adjusted, out); });
  EXPECT_TRUE(adjusted);
  EXPECT_EQ(delta(2, 2), 0.0);
  EXPECT_EQ(diagu[1], -0.5);
  EXPECT_EQ(u(1, 1), std::sqrt(2.0));
  EXPECT_EQ(u(2, 2), 0.0);
  EXPECT_EQ(u(3, 3), 0.5);
  EXPECT_EQ(printed.out, "");
  delta(1, 1) = -2.0, delta(2, 2) = -4.0, delta(3, 3) = -1.0;
  printed = reporttest::capture(
      [&](int out, int) { ADJDD(view(delta), view(u), 0.5, diagu, adjusted, out); });
  EXPECT_EQ(printed.out, "LARGEST DIAG. ENTRY IN DELTA IS NEGATIVE IN ADJDD:  -1.0000    "
                         " MAXD IS MADE POSITIVE.\n");
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(delta(i, i), 0.5);

  // ADPSYM with a negative definite matrix: the zero matrix and a zero
  // factor. ADJDND with n = 1 and a negative value: its absolute value, and
  // the matrix follows.
  DMat asym = withEigenvalues({-1.0, -3.0}, 5);
  DMat ua(2, 2), z(2, 2);
  double eval[2], eval0[2];
  Region region;
  printed = reporttest::capture([&](int out, int) {
    Scratch s = region.scratch();
    ADPSYM(view(asym), view(ua), eval, view(z), 0.0, eval0, adjusted, s, out);
  });
  EXPECT_TRUE(adjusted);
  EXPECT_EQ(maxAbs(asym, DMat(2, 2)), 0.0);
  EXPECT_EQ(maxAbs(ua, DMat(2, 2)), 0.0);
  EXPECT_NE(printed.out.find("IN SUBROUTINE ADPSYM, MAX. EIGENVALUE OF ASYM MATRIX IS NOT "
                             "POSITIVE:  -1.0000    .  THE MATRIX HAS BE REPLACED BY THE ZERO "
                             "MATRIX.\nTHE FINAL ASYM MATRIX IN SUBROUTINE ADPSYM IS NOT POSITIVE "
                             "DEFINITE.\nTHE LAST  2 ROWS"),
            std::string::npos)
      << printed.out;
  DMat one(1, 1), uone(1, 1), zone(1, 1);
  one(1, 1) = -4.0;
  printed = reporttest::capture([&](int out, int) {
    Scratch s = region.scratch();
    ADJDND(view(one), view(uone), eval, view(zone), 0.0, eval0, adjusted, s, out);
  });
  EXPECT_TRUE(adjusted);
  EXPECT_EQ(one(1, 1), 4.0);
  EXPECT_EQ(uone(1, 1), 2.0);
  EXPECT_EQ(printed.out, "IN SUBROUTINE ADJDND, MAX. EIGENVALUE OF DELTA MATRIX   IS NOT "
                         "POSITIVE:  -4.0000    .  IT HAS BEEN REPLACED BY ITS ABSOLU   TE "
                         "VALUE.\n");
}

TEST(PhiRepair, ReduceAllAndReduceSelectedAgainstDgeev) {
  DMat d(3, 3);
  d(1, 1) = 1.2, d(2, 2) = 0.5, d(3, 3) = -0.3;
  const DMat phi0 = similar(d);
  const double rho = 0.2;
  for (int method : {2, 1}) {
    DMat phi = phi0;
    Eigen eig(3);
    double evlen0[3], evlen[3];
    bool adjusted = false;
    Region region;
    Scratch s = region.scratch();
    ADJPHI(view(phi), eig.view, rho, method, evlen0, evlen, adjusted, s, 6);
    EXPECT_TRUE(adjusted);
    DMat expected = phi0;
    if (method == 2) {
      for (double& v : expected.a) v /= 1.2 + rho;
    } else {
      DMat moved = d;
      moved(1, 1) = rho;
      expected = similar(moved);
    }
    EXPECT_LT(maxAbs(phi, expected), 20 * kEps) << method;
    const auto lambda = generalEigenvalues(phi);
    const double want[3] = {method == 2 ? 0.3 / 1.4 : 0.2, method == 2 ? 0.5 / 1.4 : 0.3,
                            method == 2 ? 1.2 / 1.4 : 0.5};
    const double sign[3] = {method == 2 ? -1.0 : 1.0, method == 2 ? 1.0 : -1.0, 1.0};
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(lambda[k].real(), sign[k] * want[k], 50 * kEps);
    // The arrays describe the PHI returned.
    double imag = 0.0;
    EXPECT_LT(maxAbs(eig.rebuild(imag), phi), 50 * kEps);
    EXPECT_LT(imag, 50 * kEps);
    std::vector<double> before(evlen0, evlen0 + 3), after(evlen, evlen + 3);
    std::sort(before.begin(), before.end());
    std::sort(after.begin(), after.end());
    EXPECT_NEAR(before[2], 1.2, 50 * kEps);
    EXPECT_NEAR(after[2], method == 2 ? 1.2 / 1.4 : 0.5, 50 * kEps);
    EXPECT_NEAR(after[0], method == 2 ? 0.3 / 1.4 : 0.2, 50 * kEps);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(eig.moduli[k], evlen[k]);
  }
}

TEST(PhiRepair, ComplexPairMovesTogetherAndUnitModulusIsInadmissible) {
  // A rotation-dilation block of modulus 1.5 beside 0.3: under METHOD 1 the
  // pair goes to modulus RHO with its argument, and PHI stays real.
  DMat d(3, 3);
  const double r = 1.5, t = 0.7;
  d(1, 1) = r * std::cos(t), d(1, 2) = -r * std::sin(t);
  d(2, 1) = r * std::sin(t), d(2, 2) = r * std::cos(t);
  d(3, 3) = 0.3;
  DMat phi = similar(d);
  Eigen eig(3);
  double evlen0[3], evlen[3];
  bool adjusted = false;
  Region region;
  Scratch s = region.scratch();
  ADJPHI(view(phi), eig.view, 0.5, 1, evlen0, evlen, adjusted, s, 6);
  EXPECT_TRUE(adjusted);
  const auto lambda = generalEigenvalues(phi);
  EXPECT_NEAR(lambda[0].real(), 0.3, 50 * kEps);
  for (int k = 1; k <= 2; ++k) {
    EXPECT_NEAR(std::abs(lambda[k]), 0.5, 50 * kEps);
    EXPECT_NEAR(std::fabs(std::arg(lambda[k])), t, 50 * kEps);
  }
  double imag = 0.0;
  eig.rebuild(imag);
  EXPECT_LT(imag, 50 * kEps);

  // Modulus exactly 1: divided by 1 + 0.2.
  DMat unit(2, 2);
  unit(1, 1) = 1.0, unit(1, 2) = 0.3, unit(2, 2) = 0.5;
  DMat expected = unit;
  for (double& v : expected.a) v /= 1.2;
  Eigen eig2(2);
  ADJPHI(view(unit), eig2.view, 0.2, 2, evlen0, evlen, adjusted, s, 6);
  EXPECT_TRUE(adjusted);
  EXPECT_EQ(maxAbs(unit, expected), 0.0);

  // Diagonal PHI (0.5, -1.5): divided by 1.7 under METHOD 2; under METHOD 1
  // only the second moves, to RHO with its sign.
  DMat diag(2, 2);
  diag(1, 1) = 0.5, diag(2, 2) = -1.5;
  DMat diag1 = diag;
  ADJPHD(view(diag), 0.2, 2, evlen0, adjusted);
  EXPECT_TRUE(adjusted);
  EXPECT_NEAR(diag(1, 1), 0.29411764705882354, 2 * kEps);
  EXPECT_NEAR(diag(2, 2), -0.88235294117647056, 2 * kEps);
  EXPECT_EQ(evlen0[1], 1.5);
  ADJPHD(view(diag1), 0.2, 1, evlen0, adjusted);
  EXPECT_EQ(diag1(1, 1), 0.5);
  EXPECT_EQ(diag1(2, 2), -0.2);
  diag(1, 1) = 0.999, diag(2, 2) = -0.5;
  ADJPHD(view(diag), 0.2, 2, evlen0, adjusted);
  EXPECT_FALSE(adjusted);
}

TEST(PhiEigenvalues, EigdcpMatchesDgeevAndInvertsTheVectors) {
  const int n = 5;
  DMat phi = test::randomMatrix(n, n, 21, 2);
  const DMat phi0 = phi;
  Eigen eig(n);
  double maxevl = -1.0;
  Region region;
  Scratch s = region.scratch();
  EIGDCP(view(phi), eig.view, maxevl, true, s, 6);
  EXPECT_EQ(maxAbs(phi, phi0), 0.0);
  const auto lambda = generalEigenvalues(phi0);
  std::vector<dcomplex> ours(eig.eval);
  std::sort(ours.begin(), ours.end(), [](auto x, auto y) {
    return std::abs(x) != std::abs(y) ? std::abs(x) < std::abs(y) : x.imag() < y.imag();
  });
  // HQR2 stops its iteration at a relative 1.6E-13, LAPACK near eps.
  const double tol = 10 * 1.6e-13;
  for (int k = 0; k < n; ++k) EXPECT_LT(std::abs(ours[k] - lambda[k]), tol) << k;
  EXPECT_NEAR(maxevl, std::abs(lambda[n - 1]), tol);
  double imag = 0.0;
  EXPECT_LT(maxAbs(eig.rebuild(imag), phi0), tol);
  EXPECT_LT(imag, tol);

  // EIGENR with Z held at another leading dimension than A.
  DMat a = phi0, z(n, n, 3);
  std::vector<double> wr(n), wi(n);
  int ierr = -1;
  EIGENR(view(a), wr.data(), wi.data(), view(z), s, ierr);
  EXPECT_EQ(ierr, 0);
  for (int k = 0; k < n; ++k) EXPECT_LT(std::abs(dcomplex(wr[k], wi[k]) - eig.eval[k]), 1e-14);
  EXPECT_LE(EIGDCPneed(n).doubles, 4000);
  EXPECT_LE(ADJPHIneed(n).complexes, 400);
}

}  // namespace
}  // namespace kova
