// GAMMA, YSIGMA and the SIGMA-EPS blocks against dense references: the
// Stein equation solved by LAPACK, cov(y) assembled from powers of PHI by
// repeated multiplication, and the eigen-decomposition of PHI from dgeev
// with a dense complex inverse.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <string>
#include <vector>

#include "engine/covariance_structure.h"
#include "engine/ysigma_eigenvalues.h"
#include "io/fortran_io.h"
#include "io/stop.h"
#include "linalg/lapack_eispack_ref.h"
#include "linalg/lapack_linpack_ref.h"
#include "report/saved_results.h"
#include "support/temp_dir.h"

extern "C" void dpotrf_(const char* uplo, const int* n, double* a, const int* lda, int* info,
                        std::size_t);

namespace kova {
namespace {

using test::DMat;
using test::multiply;
using test::ZMat;
using cplx = std::complex<double>;

constexpr int kOut = 71;

Mat view(DMat& m) { return Mat{m.data(), m.ld, m.rows, m.cols}; }

double maxAbs(const DMat& m) {
  double r = 0.0;
  for (int j = 1; j <= m.cols; ++j)
    for (int i = 1; i <= m.rows; ++i) r = std::max(r, std::abs(m(i, j)));
  return r;
}

double maxDiff(const DMat& a, const DMat& b) {
  double r = 0.0;
  for (int j = 1; j <= a.cols; ++j)
    for (int i = 1; i <= a.rows; ++i) r = std::max(r, std::abs(a(i, j) - b(i, j)));
  return r;
}

// Upper Cholesky factor by LAPACK (positive definite input).
DMat upperFactor(const DMat& a) {
  DMat u = a;
  int n = a.rows, info = 0;
  dpotrf_("U", &n, u.data(), &u.ld, &info, 1);
  EXPECT_EQ(info, 0);
  for (int j = 1; j <= n; ++j)
    for (int i = j + 1; i <= n; ++i) u(i, j) = 0.0;
  return u;
}

// GAMMA - PHI GAMMA PHI' = DELTA through the dense Kronecker system, by dgels.
DMat steinSolution(const DMat& phi, const DMat& delta) {
  int m = phi.rows, n = m * m, one = 1, info = 0, lwork = 64 * n;
  DMat a(n, n);
  std::vector<double> b(n), work(lwork);
  for (int c = 1; c <= m; ++c)
    for (int d = 1; d <= m; ++d)
      for (int aa = 1; aa <= m; ++aa)
        for (int bb = 1; bb <= m; ++bb)
          a((aa - 1) * m + bb, (c - 1) * m + d) =
              (aa == c && bb == d ? 1.0 : 0.0) - phi(aa, c) * phi(bb, d);
  for (int c = 1; c <= m; ++c)
    for (int r = 1; r <= m; ++r) b[(c - 1) * m + r - 1] = delta(r, c);
  dgels_("N", &n, &n, &one, a.data(), &a.ld, b.data(), &n, work.data(), &lwork, &info, 1);
  EXPECT_EQ(info, 0);
  DMat g(m, m);
  for (int c = 1; c <= m; ++c)
    for (int r = 1; r <= m; ++r) g(r, c) = b[(c - 1) * m + r - 1];
  return g;
}

// PHI = V diag(eval) V^-1 from dgeev, V^-1 by zgetrf/zgetri.
struct EigenRef {
  std::vector<cplx> eval;
  ZMat v, vinv;
  std::vector<double> moduli;
  PhiEigen eig;
};

void eigenOf(const DMat& phi, EigenRef& e) {
  int n = phi.rows, info = 0, lwork = 64 * n, one = 1;
  DMat a = phi, vr(n, n);
  std::vector<double> wr(n), wi(n), work(lwork);
  double vl = 0;
  dgeev_("N", "V", &n, a.data(), &a.ld, wr.data(), wi.data(), &vl, &one, vr.data(), &vr.ld,
         work.data(), &lwork, &info, 1, 1);
  ASSERT_EQ(info, 0);
  e.eval.resize(n);
  e.moduli.resize(n);
  e.v = ZMat(n, n, 1);
  for (int j = 1; j <= n; ++j) {
    e.eval[j - 1] = cplx(wr[j - 1], wi[j - 1]);
    e.moduli[j - 1] = std::abs(e.eval[j - 1]);
    for (int i = 1; i <= n; ++i) {
      if (wi[j - 1] == 0.0)
        e.v(i, j) = vr(i, j);
      else if (wi[j - 1] > 0.0)
        e.v(i, j) = cplx(vr(i, j), vr(i, j + 1));
      else
        e.v(i, j) = cplx(vr(i, j - 1), -vr(i, j));
    }
  }
  e.vinv = e.v;
  std::vector<int> ipiv(n);
  std::vector<cplx> zwork(lwork);
  zgetrf_(&n, &n, e.vinv.data(), &e.vinv.ld, ipiv.data(), &info);
  ASSERT_EQ(info, 0);
  zgetri_(&n, e.vinv.data(), &e.vinv.ld, ipiv.data(), zwork.data(), &lwork, &info);
  ASSERT_EQ(info, 0);
  e.eig = PhiEigen{n, e.v.ld, e.eval.data(), e.v.data(), e.vinv.data(), e.moduli.data()};
}

std::vector<std::string> readLines(const char* name) {
  std::vector<std::string> lines;
  std::ifstream in(name);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

struct GammaResult {
  DMat gamma, ugamma;
};

GammaResult runCGAMMA(const PhiForm& form, DMat phi, DMat delta, DMat udelta) {
  const int M = phi.rows;
  GammaResult r{DMat(M, M, 2), DMat(M, M, 1)};
  // Exactly the planned need: carving past it would stop the run.
  ScratchNeed need = CGAMMAneed(M);
  std::vector<double> wr(need.doubles);
  std::vector<int> wi(need.ints);
  Scratch s(wr.data(), need.doubles, wi.data(), need.ints, nullptr, 0);
  CGAMMA(form, view(phi), view(delta), view(udelta), view(r.gamma), view(r.ugamma), s, kOut);
  return r;
}

struct YsigmaResult {
  DMat ysigma, uysgma;
  std::vector<double> blocks;
};

// Runs CSIGYE (in the caller's scratch directory) and checks that the files
// hold exactly what it returned.
YsigmaResult runCSIGYE(const PhiForm& form, DMat tlx, DMat phi, const PhiEigen& eig, DMat ugamma,
                       DMat udelta) {
  const int M = tlx.rows, NUMT = tlx.cols;
  YsigmaResult r{DMat(NUMT, NUMT, 3), DMat(NUMT, NUMT, 1),
                 std::vector<double>(static_cast<std::size_t>(M) * M * NUMT, -7.0)};
  // Exactly the planned need: carving past it would stop the run.
  ScratchNeed need = CSIGYEneed(M, NUMT);
  std::vector<double> wr(need.doubles);
  std::vector<int> wi(need.ints);
  std::vector<dcomplex> wc(need.complexes);
  Scratch s(wr.data(), need.doubles, wi.data(), need.ints, wc.data(), need.complexes);
  YsigmaFiles files{{"YSIGFCTR.001", 310}, {"ESIGMA.001", 312}};
  CSIGYE(form, view(tlx), view(phi), eig, view(ugamma), view(udelta), view(r.ysigma),
         view(r.uysgma), r.blocks.data(), files, s, -1);

  DMat fu(NUMT, NUMT);
  std::vector<double> fb(r.blocks.size());
  EXPECT_EQ(openUnit(310, "YSIGFCTR.001", "UNFORMATTED", "OLD"), 0);
  EXPECT_EQ(readMatrixRecord(310, view(fu)), 0);
  EXPECT_EQ(openUnit(312, "ESIGMA.001", "UNFORMATTED", "OLD"), 0);
  EXPECT_EQ(readMatrixRecord(312, Mat{fb.data(), M * M, M * M, NUMT}), 0);
  EXPECT_EQ(maxDiff(fu, r.uysgma), 0.0);
  EXPECT_EQ(fb, r.blocks);
  closeUnit(310, "KEEP");
  closeUnit(312, "KEEP");
  return r;
}

// cov(y) in units of SIGMA**2 straight from the model: for t >= s,
// cov(EPSILON(t), EPSILON(s)) = PHI^(t-s) GAMMA and
// YSIGMA(t,s) = x~(t)' PHI^(t-s) GAMMA x~(s), with x~(1)'GAMMA x~(1) on the
// first diagonal element. Checks YSIGMA, its factor and the blocks
// B(k) = GAMMA (PHI^k)'.
void expectModelCovariance(const YsigmaResult& r, const DMat& tlx, const DMat& phi,
                           const DMat& gamma, double tol) {
  const int M = tlx.rows, NUMT = tlx.cols;
  DMat expected(NUMT, NUMT), power(M, M);
  for (int i = 1; i <= M; ++i) power(i, i) = 1.0;
  double blockError = 0.0;
  for (int k = 0; k < NUMT; ++k) {
    DMat c = multiply(power, gamma);  // cov(EPSILON(t+k), EPSILON(t))
    DMat b = multiply(gamma, power, false, true);
    for (int j = 1; j <= M; ++j)
      for (int i = 1; i <= M; ++i)
        blockError =
            std::max(blockError, std::abs(b(i, j) - r.blocks[k * M * M + (j - 1) * M + i - 1]));
    for (int s = 1; s + k <= NUMT; ++s) {
      double v = 0.0;
      for (int j = 1; j <= M; ++j)
        for (int i = 1; i <= M; ++i) v += tlx(i, s + k) * c(i, j) * tlx(j, s);
      expected(s + k, s) = expected(s, s + k) = v;
    }
    power = multiply(power, phi);
  }
  const double scale = maxAbs(expected);
  EXPECT_LE(maxDiff(r.ysigma, expected), tol * scale);
  EXPECT_LE(maxDiff(multiply(r.uysgma, r.uysgma, true), expected), tol * scale);
  EXPECT_LE(blockError, tol * maxAbs(gamma));
}

DMat fromRows(int n, std::initializer_list<double> rowsFirst) {
  DMat m(n, n, 1);
  auto it = rowsFirst.begin();
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= n; ++j) m(i, j) = *it++;
  return m;
}

DMat positiveDefinite(int n, unsigned seed) {
  DMat a = test::randomMatrix(n, n, seed), d = multiply(a, a, false, true);
  for (int i = 1; i <= n; ++i) d(i, i) += 0.5;
  return d;
}

TEST(CovarianceStructure, RegressorMatricesAgainstTheirDefinitions) {
  testing::TempDir dir;
  const int K = 4, M = 2, P = 3, NUMT = 6;
  DMat L = test::randomMatrix(K, M, 1, 1), X = test::randomMatrix(K, NUMT, 2, 2),
       Z = test::randomMatrix(P, NUMT, 3, 1);
  DMat tlx(M, NUMT, 3), xz(NUMT, K * P, 2);
  CTLXS(view(L), view(X), view(tlx), {"TLX.004", 320}, true, -1);
  CXZ(view(X), view(Z), view(xz), {"XZ.004", 322}, true, -1);

  DMat tlxRef = multiply(L, X, true);
  EXPECT_LE(maxDiff(tlx, tlxRef), 4 * test::kEps);
  // x(t)' PI z(t) = XZ(t,:) vec(PI): row t of XZ is z(t)' (Kronecker) x(t)'.
  DMat pi = test::randomMatrix(K, P, 4);
  for (int t = 1; t <= NUMT; ++t) {
    double direct = 0.0, viaXz = 0.0;
    for (int j = 1; j <= P; ++j)
      for (int k = 1; k <= K; ++k) {
        direct += X(k, t) * pi(k, j) * Z(j, t);
        viaXz += xz(t, (j - 1) * K + k) * pi(k, j);
        EXPECT_EQ(xz(t, (j - 1) * K + k), Z(j, t) * X(k, t));
      }
    EXPECT_NEAR(viaXz, direct, 1e-14);
  }
  // Each file holds its matrix as one record without the padding.
  DMat tlxFile(M, NUMT), xzFile(NUMT, K * P);
  ASSERT_EQ(openUnit(320, "TLX.004", "UNFORMATTED", "OLD"), 0);
  EXPECT_EQ(readMatrixRecord(320, view(tlxFile)), 0);
  EXPECT_EQ(readMatrixRecord(320, view(tlxFile)), kEndOfFile);
  ASSERT_EQ(openUnit(322, "XZ.004", "UNFORMATTED", "OLD"), 0);
  EXPECT_EQ(readMatrixRecord(322, view(xzFile)), 0);
  EXPECT_EQ(maxDiff(tlxFile, tlx), 0.0);
  EXPECT_EQ(maxDiff(xzFile, xz), 0.0);
}

// A record that cannot be written must not pass for a saved matrix: the
// pooled phase would read a stale or short one.
TEST(CovarianceStructure, AFailedWriteStopsTheRun) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  testing::TempDir dir;
  ASSERT_EQ(openUnit(kOut, "LOG", "FORMATTED", "UNKNOWN"), 0);
  DMat L = test::randomMatrix(2, 2, 5), X = test::randomMatrix(2, 1000, 6), tlx(2, 1000);
  EXPECT_THROW(CTLXS(view(L), view(X), view(tlx), {"/dev/full", 320}, true, kOut), RunStopped);
  closeAllUnits();
  bool reported = false;
  for (const std::string& line : readLines("LOG"))
    reported =
        reported || line.rfind(" IN SUBROUTINE CTLXS, ERROR IN WRITING FILE /dev/full", 0) == 0;
  EXPECT_TRUE(reported);
}

TEST(CovarianceStructure, DiagonalPhiGammaAndItsWarnings) {
  testing::TempDir dir;
  ASSERT_EQ(openUnit(kOut, "OUT", "FORMATTED", "UNKNOWN"), 0);
  const PhiForm diag{false, true};
  DMat identity = fromRows(2, {1, 0, 0, 1});

  GammaResult r = runCGAMMA(diag, fromRows(2, {0.5, 0, 0, 0.5}), identity, identity);
  EXPECT_NEAR(r.gamma(1, 1), 1 / 0.75, 1e-15);
  EXPECT_NEAR(r.gamma(2, 2), 1 / 0.75, 1e-15);
  EXPECT_EQ(r.gamma(1, 2), 0.0);
  EXPECT_EQ(r.gamma(2, 1), 0.0);

  // A full DELTA: GAMMA(i,j) = DELTA(i,j) / (1 - PHI(i,i) PHI(j,j)), and the
  // factor reproduces it.
  DMat phi3 = fromRows(3, {0.9, 0, 0, 0, -0.6, 0, 0, 0, 0.2});
  DMat delta3 = positiveDefinite(3, 11);
  r = runCGAMMA(diag, phi3, delta3, upperFactor(delta3));
  for (int j = 1; j <= 3; ++j)
    for (int i = 1; i <= 3; ++i)
      EXPECT_NEAR(r.gamma(i, j), delta3(i, j) / (1 - phi3(i, i) * phi3(j, j)),
                  1e-14 * maxAbs(r.gamma));
  EXPECT_LE(maxDiff(multiply(r.ugamma, r.ugamma, true), r.gamma), 1e-14 * maxAbs(r.gamma));
  EXPECT_EQ(readLines("OUT").size(), 0u);

  // Non-stationary entries: every product >= 1 is reported and its element
  // set to zero; the factor of the zero matrix has rank 0.
  DMat delta = fromRows(2, {2.0, 0.3, 0.3, 1.0});
  r = runCGAMMA(diag, fromRows(2, {-1.1, 0, 0, -1.1}), delta, upperFactor(delta));
  EXPECT_EQ(maxAbs(r.gamma), 0.0);
  EXPECT_EQ(maxAbs(r.ugamma), 0.0);
  r = runCGAMMA(diag, fromRows(2, {1.1, 0, 0, -1.1}), delta, upperFactor(delta));
  EXPECT_EQ(r.gamma(1, 1), 0.0);
  EXPECT_EQ(r.gamma(2, 2), 0.0);
  EXPECT_NEAR(r.gamma(2, 1), 0.3 / 2.21, 1e-16);
  EXPECT_EQ(r.gamma(1, 2), r.gamma(2, 1));
  ASSERT_EQ(closeUnit(kOut, "KEEP"), 0);

  const std::string stationary =
      " IN SUBROUTINE CGAMMA,THE DIAGONAL MATRIX PHIIS NOT STATIONARY.  TWO DIAGONAL ENTRIES ARE";
  const std::string rank0 =
      " IN SUBROUTINE CGAMMA, THE UPPER TRIANGULAR FACTOR OF GAMMA HAS RANK   0.  THE FULL RANK IS"
      "   2";
  const std::vector<std::string> expected = {stationary + "  -1.1000         -1.1000    ",
                                             stationary + "  -1.1000         -1.1000    ",
                                             stationary + "  -1.1000         -1.1000    ",
                                             rank0,
                                             stationary + "   1.1000          1.1000    ",
                                             stationary + "  -1.1000         -1.1000    ",
                                             rank0};
  EXPECT_EQ(readLines("OUT"), expected);
}

TEST(CovarianceStructure, FullPhiWithComplexPair) {
  testing::TempDir dir;
  ASSERT_EQ(openUnit(kOut, "OUT", "FORMATTED", "UNKNOWN"), 0);
  // Eigenvalues 0.45 +- 0.5i (modulus 0.67) and -0.5.
  const int M = 3;
  DMat block = fromRows(3, {0.45, 0.5, 0, -0.5, 0.45, 0, 0, 0, -0.5});
  DMat s = test::randomMatrix(M, M, 21);
  for (int i = 1; i <= M; ++i) s(i, i) += 2.0;
  // S^-1 through dgels against the identity.
  DMat sinv(M, M);
  {
    int n = M, info = 0, lwork = 64;
    std::vector<double> work(lwork);
    for (int i = 1; i <= M; ++i) sinv(i, i) = 1.0;
    DMat a = s;
    dgels_("N", &n, &n, &n, a.data(), &a.ld, sinv.data(), &sinv.ld, work.data(), &lwork, &info, 1);
    ASSERT_EQ(info, 0);
  }
  DMat phi = multiply(multiply(s, block), sinv);
  DMat delta = positiveDefinite(M, 23), udelta = upperFactor(delta);
  EigenRef e;
  eigenOf(phi, e);
  int complexCount = 0;
  for (cplx z : e.eval) complexCount += z.imag() != 0.0;
  ASSERT_EQ(complexCount, 2);

  const PhiForm full{false, false};
  GammaResult r = runCGAMMA(full, phi, delta, udelta);
  DMat gammaRef = steinSolution(phi, delta);
  DMat residual = multiply(multiply(phi, r.gamma), phi, false, true);
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) residual(i, j) = r.gamma(i, j) - residual(i, j) - delta(i, j);
  EXPECT_LE(maxAbs(residual), 1e-13 * maxAbs(delta));
  EXPECT_LE(maxDiff(r.gamma, gammaRef), 1e-12 * maxAbs(gammaRef));
  EXPECT_LE(maxDiff(multiply(r.ugamma, r.ugamma, true), r.gamma), 1e-13 * maxAbs(r.gamma));

  // YSIGMA from the LAPACK GAMMA; NUMT = 1 leaves one M-block column.
  DMat ugammaRef = upperFactor(gammaRef);
  for (int numt : {1, 2, 9, 60}) {
    SCOPED_TRACE(numt);
    DMat tlx = test::randomMatrix(M, numt, 30 + numt, 2);
    YsigmaResult y = runCSIGYE(full, tlx, phi, e.eig, ugammaRef, udelta);
    expectModelCovariance(y, tlx, phi, gammaRef, 1e-13);
    if (numt == 1) {
      EXPECT_NEAR(std::abs(y.uysgma(1, 1)), std::sqrt(y.ysigma(1, 1)), 1e-15);
    }
  }
  // The eigen-arrays are left as they were.
  EigenRef again;
  eigenOf(phi, again);
  EXPECT_EQ(e.eval, again.eval);

  // PHI = I has no stationary GAMMA: XGAMMA vanishes and the least-squares
  // solution is zero.
  DMat identity = fromRows(3, {1, 0, 0, 0, 1, 0, 0, 0, 1});
  r = runCGAMMA(full, identity, delta, udelta);
  EXPECT_EQ(maxAbs(r.gamma), 0.0);
  ASSERT_EQ(closeUnit(kOut, "KEEP"), 0);
  const std::vector<std::string> expected = {
      " IN SUBROUTINE CGAMMA, THE RANK OF XGAMMA IS   0. THE MAXIMAL RANK IS   6",
      " IN SUBROUTINE CGAMMA, THE UPPER TRIANGULAR FACTOR OF GAMMA HAS RANK   0.  THE FULL RANK IS"
      "   3"};
  EXPECT_EQ(readLines("OUT"), expected);
}

TEST(CovarianceStructure, DiagonalAndZeroPhiYsigma) {
  testing::TempDir dir;
  const int M = 2;
  DMat delta = fromRows(2, {1.5, -0.4, -0.4, 0.8}), udelta = upperFactor(delta);
  PhiEigen noEig;

  // Diagonal PHI with one negative entry, against the dense model.
  DMat phi = fromRows(2, {0.5, 0, 0, -0.7});
  DMat gamma = steinSolution(phi, delta);
  DMat tlx = test::randomMatrix(M, 25, 41, 1);
  YsigmaResult y = runCSIGYE({false, true}, tlx, phi, noEig, upperFactor(gamma), udelta);
  expectModelCovariance(y, tlx, phi, gamma, 1e-13);

  // PHI = 0, by the option or as an estimate: YSIGMA is diagonal with
  // x~'GAMMA x~ first and x~'DELTA x~ after, and only B(0) is non-zero. A
  // GAMMA unlike DELTA shows which factor serves which period.
  DMat g0 = fromRows(2, {3.0, 1.0, 1.0, 2.0});
  DMat zero(M, M, 1);
  for (bool option : {true, false}) {
    SCOPED_TRACE(option);
    y = runCSIGYE({option, false}, tlx, zero, noEig, upperFactor(g0), udelta);
    DMat expected(25, 25);
    for (int t = 1; t <= 25; ++t) {
      const DMat& c = t == 1 ? g0 : delta;
      for (int j = 1; j <= M; ++j)
        for (int i = 1; i <= M; ++i) expected(t, t) += tlx(i, t) * c(i, j) * tlx(j, t);
    }
    EXPECT_LE(maxDiff(y.ysigma, expected), 1e-14 * maxAbs(expected));
    EXPECT_LE(maxDiff(multiply(y.uysgma, y.uysgma, true), expected), 1e-14 * maxAbs(expected));
    for (std::size_t k = M * M; k < y.blocks.size(); ++k) ASSERT_EQ(y.blocks[k], 0.0);
    EXPECT_NEAR(y.blocks[1], g0(2, 1), 1e-15);
  }
}

TEST(CovarianceStructure, CutOffLag) {
  EXPECT_EQ(cutOffLag(0.5), 252);
  EXPECT_EQ(cutOffLag(1.0), 100000);
  EXPECT_EQ(cutOffLag(1.5), 100000);
  EXPECT_EQ(cutOffLag(0.0), 100000);
  // A modulus a hair below 1 gives a lag beyond the integer range: it is
  // never reached, and must not wrap.
  EXPECT_GT(cutOffLag(1.0 - 1e-12), 100000000);
}

// The report's eigenvalues of YSIGMA = U'U from its factor: U = [1 1; 0 1]
// gives [1 1; 1 2], whose eigenvalues are (3 -+ sqrt 5) / 2; a factor the
// singular value iteration cannot settle (a NaN) is said to have failed
// rather than handing back numbers that are no eigenvalues.
TEST(CovarianceStructure, YsigmaEigenvaluesAndTheirFailure) {
  std::vector<double> u = {1.0, 0.0, 1.0, 1.0}, values(2), work(ysigmaEigenvaluesNeed(2).doubles);
  Scratch s(work.data(), static_cast<long long>(work.size()), nullptr, 0, nullptr, 0);
  ASSERT_TRUE(ysigmaEigenvalues(Mat{u.data(), 2, 2, 2}, values.data(), s));
  EXPECT_NEAR(values[0], (3.0 - std::sqrt(5.0)) / 2.0, 1e-15);
  EXPECT_NEAR(values[1], (3.0 + std::sqrt(5.0)) / 2.0, 1e-14);
  u[2] = std::nan("");
  Scratch t(work.data(), static_cast<long long>(work.size()), nullptr, 0, nullptr, 0);
  EXPECT_FALSE(ysigmaEigenvalues(Mat{u.data(), 2, 2, 2}, values.data(), t));
}

}  // namespace
}  // namespace kova
