// EPSILON against the best linear unbiased predictor Cov(EPSILON, y) P r,
// P the GLS residual projector, every covariance built densely from PHI and
// DELTA and every solve done by LAPACK; BETA(t) against its defining sums.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <sstream>
#include <vector>

#include "engine/epsilon_beta.h"
#include "io/console.h"
#include "io/fortran_io.h"
#include "io/stop.h"
#include "linalg/lapack_lsq_ref.h"
#include "report/saved_results.h"
#include "support/temp_dir.h"

namespace kova {
namespace {

using test::DMat;
using test::multiply;
using test::randomMatrix;
using test::solveSquare;
using test::transpose;

Mat view(DMat& d) { return Mat{d.data(), d.ld, d.rows, d.cols}; }

struct Group {
  int NUMT, K, P, M;
  DMat X, Z, L, tlx, XZ, phi, gamma;
  std::vector<DMat> phiPowers;  // PHI^0 .. PHI^(NUMT-1)
};

Group makeGroup(int NUMT, int K, int P, int M, unsigned seed) {
  Group g{NUMT, K, P, M, {}, {}, {}, {}, {}, {}, {}, {}};
  g.X = randomMatrix(K, NUMT, seed);
  g.Z = randomMatrix(P, NUMT, seed + 1);
  for (int t = 1; t <= NUMT; ++t) g.Z(1, t) = 1.0;
  g.L = randomMatrix(K, M, seed + 2);
  g.tlx = multiply(g.L, g.X, true, false);
  g.XZ = DMat(NUMT, K * P);
  for (int t = 1; t <= NUMT; ++t)
    for (int j = 1; j <= P; ++j)
      for (int k = 1; k <= K; ++k) g.XZ(t, (j - 1) * K + k) = g.Z(j, t) * g.X(k, t);

  // A stable, non-symmetric PHI (spectral radius below 0.8) and an SPD DELTA.
  g.phi = randomMatrix(M, M, seed + 3);
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) g.phi(i, j) *= 0.7 / M;
  DMat a = randomMatrix(M, M, seed + 4);
  DMat delta = multiply(a, a, false, true);
  for (int i = 1; i <= M; ++i) delta(i, i) += 0.5;

  // GAMMA from vec(GAMMA) - (PHI kron PHI) vec(GAMMA) = vec(DELTA), by dgesv.
  DMat kron(M * M, M * M), rhs(M * M, 1);
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) {
      const int row = (j - 1) * M + i;
      rhs(row, 1) = delta(i, j);
      for (int l = 1; l <= M; ++l)
        for (int k = 1; k <= M; ++k)
          kron(row, (l - 1) * M + k) = (row == (l - 1) * M + k ? 1.0 : 0.0) - g.phi(i, k) * g.phi(j, l);
    }
  DMat vecGamma = solveSquare(kron, rhs);
  g.gamma = DMat(M, M);
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) g.gamma(i, j) = vecGamma((j - 1) * M + i, 1);

  g.phiPowers.push_back(test::identity(M));
  for (int k = 1; k < NUMT; ++k) g.phiPowers.push_back(multiply(g.phi, g.phiPowers.back()));
  return g;
}

TEST(CEPS, EqualsTheBestLinearUnbiasedPredictorAndIsWrittenToItsFile) {
  struct Shape {
    int NUMT, K, P, M;
  };
  for (Shape sh : {Shape{9, 3, 2, 2}, Shape{40, 2, 2, 3}, Shape{3, 1, 1, 4}}) {
    SCOPED_TRACE(sh.NUMT);
    const int NUMT = sh.NUMT, M = sh.M, KP = sh.K * sh.P;
    Group g = makeGroup(NUMT, sh.K, sh.P, M, 40u + NUMT);

    // cov(EPSILON(t), EPSILON(s)) = PHI^(t-s) GAMMA for t >= s, dense.
    DMat sigEps(M * NUMT, M * NUMT);
    for (int t = 1; t <= NUMT; ++t)
      for (int s = 1; s <= NUMT; ++s) {
        DMat c = t >= s ? multiply(g.phiPowers[t - s], g.gamma)
                        : transpose(multiply(g.phiPowers[s - t], g.gamma));
        for (int j = 1; j <= M; ++j)
          for (int i = 1; i <= M; ++i) sigEps((t - 1) * M + i, (s - 1) * M + j) = c(i, j);
      }
    // y(t) = XZ(t,:) PI + x~(t)' EPSILON(t): Cov(EPSILON, y) = sigEps Xt.
    DMat Xt(M * NUMT, NUMT);
    for (int t = 1; t <= NUMT; ++t)
      for (int i = 1; i <= M; ++i) Xt((t - 1) * M + i, t) = g.tlx(i, t);
    DMat covEpsY = multiply(sigEps, Xt);
    DMat Y = multiply(Xt, covEpsY, true, false);

    // The blocks B(k) = GAMMA (PHI^k)'.
    std::vector<double> blocks(static_cast<std::size_t>(M) * M * NUMT);
    for (int k = 0; k < NUMT; ++k) {
      DMat b = multiply(g.gamma, g.phiPowers[k], false, true);
      for (int j = 1; j <= M; ++j)
        for (int i = 1; i <= M; ++i) blocks[k * M * M + (j - 1) * M + (i - 1)] = b(i, j);
    }

    // A factor with U'U = YSIGMA that is not triangular: a reflection of
    // the Cholesky factor.
    DMat R = Y;
    int n = NUMT, info = 0;
    dpotrf_("U", &n, R.data(), &R.ld, &info, 1);
    ASSERT_EQ(info, 0);
    for (int j = 1; j <= NUMT; ++j)
      for (int i = j + 1; i <= NUMT; ++i) R(i, j) = 0.0;
    DMat v = randomMatrix(NUMT, 1, 7);
    double vv = 0.0;
    for (int i = 1; i <= NUMT; ++i) vv += v(i, 1) * v(i, 1);
    DMat H = test::identity(NUMT);
    for (int j = 1; j <= NUMT; ++j)
      for (int i = 1; i <= NUMT; ++i) H(i, j) -= 2.0 * v(i, 1) * v(j, 1) / vv;
    DMat U0 = multiply(H, R), U(NUMT, NUMT, 2);
    for (int j = 1; j <= NUMT; ++j)
      for (int i = 1; i <= NUMT; ++i) U(i, j) = U0(i, j);

    // RO(:,i) = e_i - XZ x_i, x_i the GLS estimate for the response e_i.
    DMat yinvXZ = solveSquare(Y, g.XZ);
    DMat gls = solveSquare(multiply(g.XZ, yinvXZ, true, false), transpose(yinvXZ));
    DMat hat = multiply(g.XZ, gls);
    DMat RO(NUMT, NUMT, 3);
    for (int j = 1; j <= NUMT; ++j)
      for (int i = 1; i <= NUMT; ++i) RO(i, j) = (i == j ? 1.0 : 0.0) - hat(i, j);

    DMat y = randomMatrix(NUMT, 1, 11);
    for (int t = 1; t <= NUMT; ++t) y(t, 1) += 3.0 * g.XZ(t, 1) - g.XZ(t, KP);
    DMat mu = multiply(RO, y);
    // The predictor: Cov(EPSILON, y) Y^-1 (y - XZ PI-hat).
    DMat resid = test::difference(y, multiply(g.XZ, multiply(gls, y)));
    DMat ref = multiply(covEpsY, solveSquare(Y, resid));

    DMat tlx(M, NUMT, 1), eps(M, NUMT, 2);
    for (int t = 1; t <= NUMT; ++t)
      for (int i = 1; i <= M; ++i) tlx(i, t) = g.tlx(i, t);
    for (double& e : eps.a) e = std::numeric_limits<double>::quiet_NaN();

    // Exactly the scratch the step says it needs, filled with NaN: a step
    // that carves more stops the run, one that reads before writing shows.
    const ScratchNeed need = CEPSneed(M, NUMT);
    std::vector<double> wr(need.doubles, std::numeric_limits<double>::quiet_NaN());
    std::vector<int> wi(need.ints, -7);
    Scratch scratch(wr.data(), need.doubles, wi.data(), need.ints, nullptr, 0);

    testing::TempDir dir;
    ASSERT_EQ(openUnit(102, "KOVALOG", "FORMATTED", "UNKNOWN"), 0);
    const NamedUnit file{"EPSMATRX.004", 420};
    CEPS(view(tlx), blocks.data(), view(U), view(RO), mu.data(), view(eps), file, scratch, 102);

    double scale = 0.0, err = 0.0;
    for (int t = 1; t <= NUMT; ++t)
      for (int i = 1; i <= M; ++i) {
        scale = std::max(scale, std::fabs(ref((t - 1) * M + i, 1)));
        err = std::max(err, std::fabs(eps(i, t) - ref((t - 1) * M + i, 1)));
      }
    EXPECT_GT(scale, 0.01);
    EXPECT_LT(err, 1e-10 * scale);
    std::printf("NUMT %d: max |EPSILON - BLUP| / max |BLUP| = %.2e\n", NUMT, err / scale);

    // The file holds one record of the M x NUMT values, without padding.
    ASSERT_EQ(openUnit(421, "EPSMATRX.004", "UNFORMATTED", "OLD"), 0);
    DMat back(M, NUMT);
    ASSERT_EQ(readMatrixRecord(421, view(back)), 0);
    for (int t = 1; t <= NUMT; ++t)
      for (int i = 1; i <= M; ++i) EXPECT_EQ(back(i, t), eps(i, t));
    std::vector<unsigned char> extra;
    EXPECT_EQ(readRecord(421, extra), kEndOfFile);
    closeAllUnits();
  }
}

// A record that cannot be written must stop the run, not leave a file that
// later readers take for this pass's EPSILON. /dev/full refuses every write
// that reaches it; a record larger than the stream buffer reaches it at once.
TEST(CEPS, WriteFailureStopsTheRun) {
  const int M = 40, NUMT = 30;
  std::vector<double> tlx(M * NUMT, 0.0), blocks(M * M * NUMT, 0.0), eye(NUMT * NUMT, 0.0),
      mu(NUMT, 0.0), eps(M * NUMT, 0.0);
  for (int i = 0; i < NUMT; ++i) eye[i * NUMT + i] = 1.0;
  const ScratchNeed need = CEPSneed(M, NUMT);
  std::vector<double> wr(need.doubles);
  std::vector<int> wi(need.ints);
  Scratch scratch(wr.data(), need.doubles, wi.data(), need.ints, nullptr, 0);
  testing::TempDir dir;
  std::ostringstream console;
  ConsoleRedirect quiet(console);
  ASSERT_EQ(openUnit(102, "KOVALOG", "FORMATTED", "UNKNOWN"), 0);
  EXPECT_THROW(CEPS(Mat{tlx.data(), M, M, NUMT}, blocks.data(), Mat{eye.data(), NUMT, NUMT, NUMT},
                    Mat{eye.data(), NUMT, NUMT, NUMT}, mu.data(), Mat{eps.data(), M, M, NUMT},
                    NamedUnit{"/dev/full", 420}, scratch, 102),
               RunStopped);
  closeAllUnits();
  const std::string log = testing::readFile("KOVALOG");
  EXPECT_NE(log.find(" IN SUBROUTINE CEPS, ERROR IN WRITING FILE /dev/full, IOCOND = 28."),
            std::string::npos)
      << log;
}

TEST(CBETA, IsPiZPlusLEpsilonAndReproducesTheRegressionOfY) {
  const int NUMT = 7, K = 3, P = 2, M = 2;
  Group g = makeGroup(NUMT, K, P, M, 90);
  DMat piv = randomMatrix(K * P, 1, 91), eps = randomMatrix(M, NUMT, 92, 1);
  DMat beta(K, NUMT, 2);
  DMat Z(P, NUMT, 1), L(K, M, 3);
  for (int t = 1; t <= NUMT; ++t)
    for (int j = 1; j <= P; ++j) Z(j, t) = g.Z(j, t);
  for (int m = 1; m <= M; ++m)
    for (int k = 1; k <= K; ++k) L(k, m) = g.L(k, m);

  CBETA(piv.data(), view(Z), view(L), view(eps), view(beta));

  for (int t = 1; t <= NUMT; ++t) {
    // x(t)' BETA(t) = XZ(t,:) PIVECT + x~(t)' EPSILON(t): ties the order of
    // PIVECT to the rows of XZ.
    double lhs = 0.0, rhs = 0.0;
    for (int k = 1; k <= K; ++k) lhs += g.X(k, t) * beta(k, t);
    for (int c = 1; c <= K * P; ++c) rhs += g.XZ(t, c) * piv(c, 1);
    for (int m = 1; m <= M; ++m) rhs += g.tlx(m, t) * eps(m, t);
    EXPECT_NEAR(lhs, rhs, 1e-13);
    for (int k = 1; k <= K; ++k) {
      double want = 0.0;
      for (int j = 1; j <= P; ++j) want += piv((j - 1) * K + k, 1) * Z(j, t);
      for (int m = 1; m <= M; ++m) want += L(k, m) * eps(m, t);
      EXPECT_NEAR(beta(k, t), want, 1e-14);
    }
  }
}

}  // namespace
}  // namespace kova
