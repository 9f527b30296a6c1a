// The PHI and DELTA paths of passes 1..N: closed forms of exact data, the
// damping searches against their bounds (checked as ridge solutions through
// LAPACK), the bounded paths, the method codes and the fatal cases.
#include <gtest/gtest.h>

#include <algorithm>

#include <cmath>
#include <complex>
#include <filesystem>
#include <functional>
#include <vector>

#include "io/stop.h"
#include "report/report_test_support.h"
#include "solvers/damped_reference.h"
#include "solvers/lm_delta.h"
#include "solvers/lm_phi.h"
#include "solvers/method_choice.h"
#include "solvers/qp_path.h"

namespace kova {
namespace {

using reporttest::capture;
using reporttest::kLogUnit;
using reporttest::kOutUnit;
using test::DMat;

Mat view(DMat& m) { return Mat{m.data(), m.ld, m.rows, m.cols}; }

struct Region {
  std::vector<double> wr;
  std::vector<int> wi;
  std::vector<dcomplex> wc;
  explicit Region(ScratchNeed n) : wr(n.doubles + 1), wi(n.ints + 1), wc(n.complexes + 1) {}
  Scratch scratch() {
    return Scratch(wr.data(), wr.size(), wi.data(), wi.size(), wc.data(), wc.size());
  }
};

struct Eigen {
  int M;
  std::vector<dcomplex> eval, V, VINV;
  std::vector<double> moduli;
  explicit Eigen(int m) : M(m), eval(m), V(m * m), VINV(m * m), moduli(m) {}
  PhiEigen view() { return PhiEigen{M, M, eval.data(), V.data(), VINV.data(), moduli.data()}; }
};

SectionContext context() { return SectionContext{3, 7, 2, kOutUnit, kLogUnit}; }
const NamedUnit kXdelta{"XDELTA", 140};

// EPSILON(t) = x(t) sqrt(x(t)'D x(t)) / |x(t)|**2, so that with PHI = 0 the
// DELTA regression of every period holds exactly with DELTA = D.
DMat exactEpsilon(const DMat& x, const DMat& D) {
  DMat e(x.rows, x.cols);
  for (int t = 1; t <= x.cols; ++t) {
    double q = 0.0, xx = 0.0;
    for (int i = 1; i <= x.rows; ++i) {
      xx += x(i, t) * x(i, t);
      for (int j = 1; j <= x.rows; ++j) q += x(i, t) * D(i, j) * x(j, t);
    }
    for (int i = 1; i <= x.rows; ++i) e(i, t) = x(i, t) * std::sqrt(q) / xx;
  }
  return e;
}

// The unknowns of a symmetric 2 x 2 DELTA: (1,1), (1,2), (2,2).
std::vector<double> unknowns2(const DMat& d) { return {d(1, 1), d(1, 2), d(2, 2)}; }

TEST(LmDelta, ExactDataThenTheBoundOfLaterPasses) {
  const int M = 2, T = 9;
  DMat x = test::randomMatrix(M, T, 21), phi(M, M), D(M, M), delta(M, M);
  D(1, 1) = 0.5, D(1, 2) = D(2, 1) = 0.2, D(2, 2) = 0.3;
  DMat eps = exactEpsilon(x, D);
  // The regression as the test writes it: off-diagonal columns carry 2.
  DMat A(T - 1, 3), y(T - 1, 1), noB(0, 3), nob(0, 1);
  for (int t = 2; t <= T; ++t) {
    A(t - 1, 1) = x(1, t) * x(1, t);
    A(t - 1, 2) = 2.0 * x(1, t) * x(2, t);
    A(t - 1, 3) = x(2, t) * x(2, t);
    const double v = x(1, t) * eps(1, t) + x(2, t) * eps(2, t);
    y(t - 1, 1) = v * v;
  }
  Region region(LMCDLTneed(M, T, 1, false));
  Scratch s = region.scratch();
  std::vector<double> bRow{0.0, 1.0, 0.0}, bRhs{0.1};
  LmDeltaJob job{1, false, view(x), view(eps), view(phi), 1.0, {}, kXdelta, context()};
  double DLTTOL = 0.0;
  reporttest::Printed p = capture([&](int, int) {
    LMCDLT(job, view(delta), DLTTOL, s);
    EXPECT_TRUE(std::filesystem::exists("XDELTA"));
    // Pass 2, bound beyond the solution: kept undamped (XDLT read back).
    job.ITER = 2;
    double wide = 2.0;
    LMCDLT(job, view(delta), wide, s);
    for (int j = 1; j <= M; ++j)
      for (int i = 1; i <= M; ++i) EXPECT_NEAR(delta(i, j), D(i, j), 1.0E-12);
    // A tighter bound: D2NORM meets it, and DELTA is a ridge solution.
    double tight = 0.3;
    LMCDLT(job, view(delta), tight, s);
    DMat d(3, 1);
    for (int i = 0; i < 3; ++i) d(i + 1, 1) = unknowns2(delta)[i];
    EXPECT_NEAR(test::frobenius(d), tight, 1.0E-5 * tight);
    const double g2 = test::impliedDamping(A, y, noB, d);
    EXPECT_GT(g2, 0.0);
    const DMat ref = test::kktRidge(A, y, noB, nob, g2);
    for (int i = 1; i <= 3; ++i) EXPECT_NEAR(d(i, 1), ref(i, 1), 1.0E-9);
    EXPECT_EQ(delta(1, 2), delta(2, 1));
  });
  // Exact data: DELTA = D, and DLTTOL counts the off-diagonal pair once.
  EXPECT_NEAR(DLTTOL, std::sqrt(0.25 + 0.04 + 0.09), 1.0E-12);
  EXPECT_NE(p.console.find("DLTTOL OF THE FIRST ITERATION="), std::string::npos);
  EXPECT_NE(p.console.find("D2NORM OF THE FIRST BGAMMA="), std::string::npos);
  EXPECT_NE(p.out.find("THE UNADJUSTED DELTA (ALGORITHM LM)"), std::string::npos);

}

// MU(t) = x(t)' PHI EPSILON(t-1), plus noise when asked.
std::vector<double> phiResponse(const DMat& x, const DMat& eps, const DMat& phi, double noise,
                                unsigned seed) {
  const DMat n = test::randomMatrix(1, x.cols, seed);
  std::vector<double> mu(x.cols, 0.0);
  for (int t = 2; t <= x.cols; ++t) {
    double v = noise * n(1, t);
    for (int i = 1; i <= x.rows; ++i)
      for (int j = 1; j <= x.rows; ++j) v += x(i, t) * phi(i, j) * eps(j, t - 1);
    mu[t - 1] = v;
  }
  return mu;
}

double maxModulus2(const DMat& a) {
  const std::complex<double> tr = a(1, 1) + a(2, 2), det = a(1, 1) * a(2, 2) - a(1, 2) * a(2, 1);
  const std::complex<double> root = std::sqrt(tr * tr - 4.0 * det);
  return std::max(std::abs((tr + root) / 2.0), std::abs((tr - root) / 2.0));
}

TEST(LmPhi, ExactStationaryFitThenTheEigenvalueBound) {
  const int M = 2, T = 60;
  DMat x = test::randomMatrix(M, T, 31), eps = test::randomMatrix(M, T, 32);
  DMat delta(M, M), truth(M, M), phi(M, M);
  delta(1, 1) = 1.0, delta(2, 2) = 0.5, delta(1, 2) = delta(2, 1) = 0.2;
  truth(1, 1) = 0.5, truth(1, 2) = 0.1, truth(2, 1) = -0.2, truth(2, 2) = 0.4;
  std::vector<double> mu = phiResponse(x, eps, truth, 0.0, 1);
  Region region(LMCPHIneed(M, T, 0, false));
  Scratch s = region.scratch();
  Eigen e(M);
  PhiEigen eig = e.view();
  LmPhiJob job{false, false, view(x), view(eps), view(delta), mu.data(), {}, 0.9, context()};
  double MAXEVL = 0.0;
  reporttest::Printed p = capture([&](int, int) { LMCPHI(job, view(phi), eig, MAXEVL, s); });
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) EXPECT_NEAR(phi(i, j), truth(i, j), 1.0E-12);
  EXPECT_NEAR(MAXEVL, maxModulus2(truth), 1.0E-12);
  EXPECT_EQ(p.console.find("MAXEVL OF BGAMMA="), std::string::npos);

  // Non-stationary data: MAXEVL meets EVLTOL; PHI is the ridge solution of
  // the rows weighted by 1/sqrt(x(t)' DELTA x(t)).
  truth(1, 1) = 1.2, truth(1, 2) = 0.3, truth(2, 1) = 0.0, truth(2, 2) = 0.5;
  mu = phiResponse(x, eps, truth, 0.3, 2);
  job.MU = mu.data();
  p = capture([&](int, int) { LMCPHI(job, view(phi), eig, MAXEVL, s); });
  EXPECT_NEAR(MAXEVL, 0.9, 1.0E-5);
  EXPECT_NEAR(maxModulus2(phi), MAXEVL, 1.0E-12);
  DMat A(T - 1, 4), y(T - 1, 1), noB(0, 4), nob(0, 1), d(4, 1);
  for (int t = 2; t <= T; ++t) {
    double q = 0.0;
    for (int i = 1; i <= M; ++i)
      for (int j = 1; j <= M; ++j) q += x(i, t) * delta(i, j) * x(j, t);
    const double w = 1.0 / std::sqrt(q);
    for (int i = 1; i <= M; ++i)
      for (int j = 1; j <= M; ++j) A(t - 1, (i - 1) * M + j) = w * x(j, t) * eps(i, t - 1);
    y(t - 1, 1) = w * mu[t - 1];
  }
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) d((j - 1) * M + i, 1) = phi(i, j);
  const DMat ref = test::kktRidge(A, y, noB, nob, test::impliedDamping(A, y, noB, d));
  for (int i = 1; i <= 4; ++i) EXPECT_NEAR(d(i, 1), ref(i, 1), 1.0E-9);
  EXPECT_NE(p.log.find("MAXEVL OF FIRST AGAMMA="), std::string::npos);
  EXPECT_NE(p.console.find("ITER="), std::string::npos);

  // Zero-PHI option: the zero matrix whatever the data.
  job.zeroPhi = true;
  capture([&](int, int) { LMCPHI(job, view(phi), eig, MAXEVL, s); });
  EXPECT_EQ(test::frobenius(phi), 0.0);
  EXPECT_EQ(MAXEVL, 0.0);

  // All-zero EPSILON: XPHI is zero and the run stops with its message.
  job.zeroPhi = false;
  DMat zero(M, T);
  job.epsilon = view(zero);
  p = capture([&](int, int) { EXPECT_THROW(LMCPHI(job, view(phi), eig, MAXEVL, s), RunStopped); });
  EXPECT_NE(p.log.find("THE COEFFICIENT MATRIX XPHI IN SUB. CPHILM IS A ZEROMATRIX.  PROGRAM "
                       "STOPS IN SUB. CHPILM."),
            std::string::npos);
}

TEST(QpPaths, BoundsOfDeltaAndPhi) {
  const int M = 2, T = 12;
  DMat x = test::randomMatrix(M, T, 41), phi(M, M), delta(M, M), D(M, M);
  for (int t = 1; t <= T; ++t) x(1, t) = 1.0 + std::fabs(x(1, t));  // |x1| > |x2|
  D(1, 1) = 1.0, D(2, 2) = -0.5;  // x'Dx > 0, but the second variance is negative
  DMat eps = exactEpsilon(x, D);
  Region region(QPCDLTneed(M, T));
  Scratch s = region.scratch();
  QpDeltaJob job{1, true, view(x), view(eps), view(phi), 1.0, kXdelta, context()};
  double DLTTOL = 0.0;
  // With the second variance at 0, the first is the one-column fit.
  double sxy = 0.0, sxx = 0.0;
  for (int t = 2; t <= T; ++t) {
    const double x1 = x(1, t) * x(1, t), v = x1 * D(1, 1) + x(2, t) * x(2, t) * D(2, 2);
    sxy += x1 * v;
    sxx += x1 * x1;
  }
  capture([&](int, int) {
    QPCDLT(job, view(delta), DLTTOL, s);
    EXPECT_EQ(delta(2, 2), 0.0);
    EXPECT_NEAR(delta(1, 1), sxy / sxx, 1.0E-12);
    EXPECT_NEAR(DLTTOL, sxy / sxx, 1.0E-12);
    job.ITER = 2;
    double bound = 0.5 * sxy / sxx;
    QPCDLT(job, view(delta), bound, s);
    EXPECT_EQ(delta(1, 1), bound);
    EXPECT_EQ(delta(1, 2), 0.0);
  });

  // One unknown: PHI clamped to +-EVLTOL; inside, the weighted fit.
  DMat x1 = test::randomMatrix(1, T, 42), e1 = test::randomMatrix(1, T, 43), p1(1, 1), d1(1, 1);
  d1(1, 1) = 0.7;
  Eigen ev(1);
  PhiEigen eig = ev.view();
  Region r1(QPCPHIneed(1, T));
  Scratch s1 = r1.scratch();
  for (double coef : {1.5, -1.5, 0.4}) {
    DMat c(1, 1);
    c(1, 1) = coef;
    std::vector<double> mu = phiResponse(x1, e1, c, coef == 0.4 ? 0.2 : 0.0, 3);
    QpPhiJob pj{false, true, view(x1), view(e1), view(d1), mu.data(), 0.9, context()};
    capture([&](int, int) { QPCPHI(pj, view(p1), eig, s1); });
    if (coef != 0.4) {
      EXPECT_EQ(p1(1, 1), coef > 0 ? 0.9 : -0.9);
      continue;
    }
    double num = 0.0, den = 0.0;
    for (int t = 2; t <= T; ++t) {
      const double w2 = 1.0 / (d1(1, 1) * x1(1, t) * x1(1, t)), z = x1(1, t) * e1(1, t - 1);
      num += w2 * z * mu[t - 1];
      den += w2 * z * z;
    }
    EXPECT_NEAR(p1(1, 1), num / den, 1.0E-12);
    EXPECT_EQ(ev.eval[0], dcomplex(p1(1, 1), 0.0));
  }
  // A period with x(t)' DELTA x(t) = 0 has no finite weight and says
  // nothing of PHI: it is left out of the fit (it stopped the run), and PHI
  // is the weighted fit of the other periods.
  x1(1, 5) = 0.0;
  std::vector<double> mu(T);
  for (int t = 1; t <= T; ++t) mu[t - 1] = 0.3 * x1(1, t) * e1(1, std::max(t - 1, 1)) + 0.01 * t;
  QpPhiJob pj{false, true, view(x1), view(e1), view(d1), mu.data(), 0.9, context()};
  reporttest::Printed p = capture([&](int, int) { QPCPHI(pj, view(p1), eig, s1); });
  EXPECT_EQ(p.log.find("DIVISION BY ZERO"), std::string::npos);
  double num = 0.0, den = 0.0;
  for (int t = 2; t <= T; ++t) {
    if (t == 5) continue;
    const double w2 = 1.0 / (d1(1, 1) * x1(1, t) * x1(1, t)), z = x1(1, t) * e1(1, t - 1);
    num += w2 * z * mu[t - 1];
    den += w2 * z * z;
  }
  EXPECT_NEAR(p1(1, 1), std::clamp(num / den, -0.9, 0.9), 1.0E-12);
}

TEST(MethodChoice, CodesAndTheirSentences) {
  reporttest::Printed p = capture([](int out, int) {
    EXPECT_EQ(HOWCDT(true, 0, out), "QP    ");
    EXPECT_EQ(HOWCDT(true, 1, out), "LM    ");
    EXPECT_EQ(HOWCDT(false, 0, out), "LM    ");
    EXPECT_EQ(HOWCPH(true, 0, out), "QP    ");
    EXPECT_EQ(HOWCPH(false, 2, out), "LM    ");
  });
  EXPECT_EQ(p.out,
            "\nTHE MATRIX DELTA IS COMPUTED WITH A QUADRATIC PROGRAMMING ALGORITHM.\n"
            "\nTHE MATRIX DELTA IS COMPUTED WITH A LEVENBERG-MARQUARDT ALGORITHM.\n"
            "\nTHE MATRIX DELTA IS COMPUTED WITH A LEVENBERG-MARQUARDT ALGORITHM.\n"
            "\n\nTHE MATRIX PHI IS COMPUTED WITH A QUADRATIC PROGRAMMING ALGORITHM.\n"
            "\n\nTHE MATRIX PHI IS COMPUTED WITH A LEVENBERG-MARQUARDT ALGORITHM.\n");
  EXPECT_EQ(solverPath("LM    "), SolverPath::LM);
  EXPECT_EQ(solverPath("QP    "), SolverPath::QP);
  p = capture([](int out, int) { EXPECT_THROW(HOWCPH(false, -1, out), RunStopped); });
  EXPECT_NE(p.out.find("IN SUBROUTINE HOWCPH, SPHROW IS NEGATIVE."), std::string::npos);
}

}  // namespace
}  // namespace kova
