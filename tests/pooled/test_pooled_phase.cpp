// The pooled phase against dense references: the reparametrisation of PI
// against the SVD of dgesvd, the MU-vector sums against GLS by dgesv, and
// the pooled PI, its covariance, the per-group pooled estimates and the
// pooled forecast against Omega_g = X' DELTA_MU X + SIGMA**2 YSIGMA formed
// and solved densely, from group files written here.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "pooled/pooled_derivations.h"
#include "engine/pass_engines.h"
#include "pooled/pooled_mu.h"
#include "pooled/pooled_reparametrisation.h"
#include "pooled/pooled_forecast.h"
#include "io/fortran_io.h"
#include "io/record_io.h"
#include "io/stop.h"
#include "linalg/lapack_lsq_ref.h"
#include "report/saved_results.h"
#include "support/temp_dir.h"

namespace kova {
namespace {

using test::DMat;
using test::multiply;
using test::transpose;

Mat view(DMat& a) { return Mat{a.data(), a.ld, a.rows, a.cols}; }

struct Region {
  std::vector<double> wr = std::vector<double>(200000);
  std::vector<int> wi = std::vector<int>(2000);
  Scratch scratch() { return Scratch(wr.data(), wr.size(), wi.data(), wi.size(), nullptr, 0); }
};

double relError(const DMat& x, const DMat& ref) {
  return test::frobenius(test::difference(x, ref)) / test::frobenius(ref);
}

DMat column(const double* v, int n) {
  DMat c(n, 1);
  for (int i = 1; i <= n; ++i) c(i, 1) = v[i - 1];
  return c;
}

// Right singular vectors (all KP) and singular values of R by dgesvd.
void lapackSvd(DMat r, DMat& u, std::vector<double>& s, DMat& v) {
  int m = r.rows, n = r.cols, lwork = 10 * (m + n) * (m + n), info = 0;
  u = DMat(m, m);
  DMat vt(n, n);
  s.assign(std::min(m, n), 0.0);
  std::vector<double> work(lwork);
  dgesvd_("A", "A", &m, &n, r.data(), &r.ld, s.data(), u.data(), &u.ld, vt.data(), &vt.ld,
          work.data(), &lwork, &info, 1, 1);
  v = transpose(vt);
}

struct Reparametrised {
  DMat C;
  std::vector<double> d;
  PiReparametrisation rep;
};

Reparametrised orcrrp(DMat R, const std::vector<double>& r, int K, int P) {
  Reparametrised out;
  out.C = DMat(K * P, K * P);
  out.d.assign(K * P, 0.0);
  out.rep.C = Mat{out.C.data(), out.C.ld, 0, 0};
  out.rep.d = out.d.data();
  Region region;
  ORCRRP(view(R), r.data(), R.rows, K, P, out.rep, region.scratch(), -1);
  out.C.rows = out.rep.n;
  return out;
}

TEST(PooledPhase, ReparametrisationSpansTheNullSpaceAndSolvesTheRestriction) {
  const int K = 3, P = 2, KP = 6;
  DMat R = test::randomMatrix(4, KP, 11);
  for (int j = 1; j <= KP; ++j) R(4, j) = R(1, j) - 2.0 * R(2, j);  // a dependent row
  std::vector<double> r = {0.5, -1.0, 2.0, 2.5};
  Reparametrised rp = orcrrp(R, r, K, P);
  ASSERT_EQ(rp.rep.rank, 3);
  ASSERT_EQ(rp.rep.n, 3);

  DMat u, v;
  std::vector<double> s;
  lapackSvd(R, u, s, v);
  // C'C is the projector onto the null space, I - V_3 V_3'; d = V_3 S^-1 U_3' r.
  DMat proj = multiply(rp.C, rp.C, true, false), ref = test::identity(KP);
  DMat dRef(KP, 1);
  for (int k = 1; k <= 3; ++k) {
    double ur = 0.0;
    for (int l = 1; l <= 4; ++l) ur += u(l, k) * r[l - 1];
    for (int j = 1; j <= KP; ++j) {
      dRef(j, 1) += ur / s[k - 1] * v(j, k);
      for (int i = 1; i <= KP; ++i) ref(i, j) -= v(i, k) * v(j, k);
    }
  }
  EXPECT_LT(test::maxAbs(test::difference(proj, ref)), 1e-13);
  DMat ccT = multiply(rp.C, rp.C, false, true);
  EXPECT_LT(test::maxAbs(test::difference(ccT, test::identity(3))), 1e-13);
  EXPECT_LT(test::maxAbs(multiply(R, rp.C, false, true)), 1e-13);
  EXPECT_LT(relError(column(rp.d.data(), KP), dRef), 1e-12);

  // Without rows C = I and d = 0; restrictions that fix PI, or more rows
  // than coefficients, stop the run.
  Reparametrised none = orcrrp(DMat(0, KP), {}, K, P);
  EXPECT_TRUE(none.rep.noRows);
  EXPECT_EQ(test::maxAbs(test::difference(none.C, test::identity(KP))), 0.0);
  EXPECT_THROW(orcrrp(test::identity(2), {1.0, 2.0}, 2, 1), RunStopped);
  EXPECT_THROW(orcrrp(test::randomMatrix(3, 2, 5), {1.0, 2.0, 3.0}, 2, 1), RunStopped);
}

// Group data of the file-driven test: T periods, K = 2, P = 2, M = 2.
struct Group {
  int T;
  DMat y, X, Z, xz, U, tlx, blocks;  // U upper triangular, YSIGMA = U'U
  double sigma2;
  Group(int t, unsigned seed, const DMat& L) : T(t), y(test::randomMatrix(t, 1, seed)),
      X(test::randomMatrix(2, t, seed + 1)), Z(test::randomMatrix(2, t, seed + 2)), xz(t, 4),
      U(test::randomMatrix(t, t, seed + 3)), blocks(test::randomMatrix(2, 2 * t, seed + 4)),
      sigma2(0.5 + 0.1 * (seed % 7)) {
    for (int i = 1; i <= T; ++i) {
      X(1, i) = 1.0;
      Z(1, i) = 1.0;
      U(i, i) = 2.0 + std::fabs(U(i, i));
      for (int j = 1; j < i; ++j) U(i, j) = 0.0;
      for (int p = 1; p <= 2; ++p)
        for (int k = 1; k <= 2; ++k) xz(i, (p - 1) * 2 + k) = Z(p, i) * X(k, i);
    }
    tlx = multiply(L, X, true, false);
  }
  DMat omega(const DMat& deltaMu) const {
    DMat o = multiply(multiply(X, deltaMu, true, false), X);
    DMat yy = multiply(U, U, true, false);
    for (int j = 1; j <= T; ++j)
      for (int i = 1; i <= T; ++i) o(i, j) += sigma2 * yy(i, j);
    return o;
  }
  // cov(EPSILON(t), EPSILON(s)), B(t-s)' or B(s-t).
  double c(int t, int s, int i, int j) const {
    return t >= s ? blocks(j, 2 * (t - s) + i) : blocks(i, 2 * (s - t) + j);
  }
};

void writeRecords(const NamedUnit& f, std::vector<Mat> mats) {
  ASSERT_EQ(openUnit(f.unit, f.name, "UNFORMATTED", "UNKNOWN"), 0);
  for (Mat m : mats) ASSERT_EQ(writeMatrixRecord(f.unit, m), 0);
  closeUnit(f.unit, "KEEP");
}
void writeColumns(const NamedUnit& f, DMat a) {
  std::vector<Mat> cols;
  for (int j = 1; j <= a.cols; ++j) cols.push_back(Mat{&a(1, j), a.rows, a.rows, 1});
  writeRecords(f, cols);
}

TEST(PooledPhase, PooledPiEstimatesAndForecastAgreeWithDenseGls) {
  testing::TempDir dir;
  const int K = 2, P = 2, M = 2, KP = 4, NG = 3;
  FileTable files;
  const int ids[NG] = {4, 7, 9};
  buildScratchNames(files, NG, ids, -1);
  DMat L = test::randomMatrix(K, M, 3);
  std::vector<Group> groups = {Group(7, 10, L), Group(8, 20, L), Group(9, 30, L)};
  DMat deltaMu = multiply(test::randomMatrix(K, K, 4), test::randomMatrix(K, K, 4), true, false);
  deltaMu(1, 1) += 0.5;
  DMat uMu = deltaMu;
  int n2 = K, info = 0;
  dpotrf_("U", &n2, uMu.data(), &uMu.ld, &info, 1);
  uMu(2, 1) = 0.0;
  // One restriction: the two coefficients of the second z-component are equal.
  DMat R(1, KP);
  R(1, 3) = 1.0;
  R(1, 4) = -1.0;
  Reparametrised rp = orcrrp(R, {0.25}, K, P);

  DMat A(KP, KP), b(KP, 1), pibar(KP, 1), cov(KP, KP);
  Region region;
  for (int g = 1; g <= NG; ++g) {
    Group& G = groups[g - 1];
    DMat yRow = transpose(G.y);
    writeColumns(files.scratch(Family::YDATA, g), yRow);
    writeColumns(files.scratch(Family::XDATA, g), G.X);
    writeColumns(files.scratch(Family::ZDATA, g), G.Z);
    writeRecords(files.scratch(Family::XZ, g), {view(G.xz)});
    writeRecords(files.scratch(Family::YSIGFCTR, g), {view(G.U)});
    writeRecords(files.scratch(Family::TLX, g), {view(G.tlx)});
    writeRecords(files.scratch(Family::ESIGMA, g), {view(G.blocks)});
    const PooledGroup grp{g, ids[g - 1], G.T, K, P, M, G.sigma2, false, Mat{}};
    CDXZYP(grp, files, view(uMu), view(A), b.data(), region.scratch(), -1);
  }
  ASSERT_GE(CPOLPI(view(A), b.data(), view(rp.C), rp.d.data(), pibar.data(), view(cov),
                   region.scratch(), -1), rp.rep.n);

  // Dense: A = sum XZ' Omega^-1 XZ, b likewise; theta by the reduced
  // normal equations; pibar = d + C' theta, cov = C' (C A C')^-1 C.
  DMat aRef(KP, KP), bRef(KP, 1);
  std::vector<DMat> omegaInv;
  for (const Group& G : groups) {
    DMat rhs(G.T, KP + 1);
    for (int t = 1; t <= G.T; ++t) {
      for (int j = 1; j <= KP; ++j) rhs(t, j) = G.xz(t, j);
      rhs(t, KP + 1) = G.y(t, 1);
    }
    DMat w = test::solveSquare(G.omega(deltaMu), rhs);
    omegaInv.push_back(test::solveSquare(G.omega(deltaMu), test::identity(G.T)));
    DMat cross = multiply(G.xz, w, true, false);
    for (int j = 1; j <= KP; ++j)
      for (int i = 1; i <= KP; ++i) aRef(i, j) += cross(i, j);
    for (int i = 1; i <= KP; ++i) bRef(i, 1) += cross(i, KP + 1);
  }
  DMat d = column(rp.d.data(), KP);
  DMat cac = multiply(multiply(rp.C, aRef), rp.C, false, true);
  DMat rhs = multiply(rp.C, test::difference(bRef, multiply(aRef, d)));
  DMat piRef = multiply(rp.C, test::solveSquare(cac, rhs), true, false);
  for (int i = 1; i <= KP; ++i) piRef(i, 1) += d(i, 1);
  DMat covRef = multiply(multiply(rp.C, test::solveSquare(cac, rp.C), true, false),
                         test::identity(KP));
  EXPECT_LT(relError(A, aRef), 1e-12);
  EXPECT_LT(relError(pibar, piRef), 1e-11);
  EXPECT_LT(relError(cov, covRef), 1e-11);
  EXPECT_NEAR(pibar(3, 1) - pibar(4, 1), 0.25, 1e-13);

  // EMBTAP for every group; PFCAST for group 2 with three forecast periods.
  for (int g = 1; g <= NG; ++g) {
    const Group& G = groups[g - 1];
    const PooledGroup grp{g, ids[g - 1], G.T, K, P, M, G.sigma2, false, Mat{}};
    DMat eps(M, G.T), mu(K, 1), beta(K, G.T);
    PooledEstimates est{view(eps), mu.data(), view(beta)};
    EMBTAP(grp, files, view(L), pibar.data(), view(deltaMu), est, region.scratch(), -1);

    DMat r = test::difference(G.y, multiply(G.xz, pibar));
    DMat w = multiply(omegaInv[g - 1], r);
    DMat muRef = multiply(deltaMu, multiply(G.X, w));
    DMat epsRef(M, G.T), betaRef(K, G.T);
    for (int t = 1; t <= G.T; ++t)
      for (int s = 1; s <= G.T; ++s)
        for (int i = 1; i <= M; ++i)
          for (int j = 1; j <= M; ++j) epsRef(i, t) += G.sigma2 * G.c(t, s, i, j) * G.tlx(j, s) * w(s, 1);
    for (int i = 1; i <= K; ++i) muRef(i, 1) += pibar(i, 1);
    DMat le = multiply(L, epsRef);
    for (int t = 1; t <= G.T; ++t)
      for (int i = 1; i <= K; ++i)
        betaRef(i, t) = muRef(i, 1) * G.Z(1, t) + pibar(K + i, 1) * G.Z(2, t) + le(i, t);
    EXPECT_LT(relError(mu, muRef), 1e-11) << g;
    EXPECT_LT(relError(eps, epsRef), 1e-11) << g;
    EXPECT_LT(relError(beta, betaRef), 1e-11) << g;

    if (g != 2) continue;
    const int TF = 3;
    DMat phi = test::randomMatrix(M, M, 40), XF = test::randomMatrix(K, TF, 41),
         ZF = test::randomMatrix(P, TF, 42), yF(1, TF);
    yF(1, 1) = 1.5;
    yF(1, 2) = -999999.0;
    yF(1, 3) = -0.75;
    writeRecords(files.scratch(Family::PSAVE, g), {view(phi)});
    writeColumns(files.scratch(Family::YFCAST, g), yF);
    writeColumns(files.scratch(Family::XFCAST, g), XF);
    writeColumns(files.scratch(Family::ZFCAST, g), ZF);
    const NamedUnit& idx = files.scratch(Family::YFCIDX, g);
    ASSERT_EQ(openUnit(idx.unit, idx.name, "UNFORMATTED", "UNKNOWN"), 0);
    for (int flag : {1, 0, 1}) writeInts(idx.unit, &flag, 1);
    closeUnit(idx.unit, "KEEP");
    DMat epsF(M, TF), betaF(K, TF);
    std::vector<double> yRead(TF), yHat(TF);
    PooledForecast fc{view(epsF), view(betaF), yRead.data(), yHat.data()};
    PFCAST(grp, TF, files, view(L), pibar.data(), fc, region.scratch(), -1);
    DMat e(M, 1);
    for (int i = 1; i <= M; ++i) e(i, 1) = eps(i, G.T);
    double squares = 0.0, percents = 0.0;
    for (int j = 1; j <= TF; ++j) {
      e = multiply(phi, e);
      DMat bRef = multiply(L, e);
      double yRef = 0.0;
      for (int i = 1; i <= K; ++i) {
        bRef(i, 1) += mu(i, 1) * ZF(1, j) + pibar(K + i, 1) * ZF(2, j);
        yRef += XF(i, j) * bRef(i, 1);
        EXPECT_NEAR(betaF(i, j), bRef(i, 1), 1e-13);
      }
      for (int i = 1; i <= M; ++i) EXPECT_NEAR(epsF(i, j), e(i, 1), 1e-13);
      EXPECT_NEAR(yHat[j - 1], yRef, 1e-13);
      if (j == 2) continue;
      squares += (yF(1, j) - yRef) * (yF(1, j) - yRef);
      percents += std::fabs(yF(1, j) - yRef) / std::fabs(yF(1, j));
    }
    EXPECT_EQ(fc.compared, 2);
    EXPECT_NEAR(fc.rmse, std::sqrt(squares / 2), 1e-13);
    EXPECT_TRUE(fc.mapeComputed);
    EXPECT_NEAR(fc.mape, 50.0 * percents, 1e-11);
  }
}

// DLTMUP over three groups: each MU-vector from a dense GLS of h on XZ C'
// (dgesv on the normal equations with YSIGMA^-1), then the moment formula.
TEST(PooledPhase, MuVectorSumsFollowTheDenseGls) {
  const int K = 2, P = 2, KP = 4, M = 2, NG = 3, n = 3;
  DMat R(1, KP);
  R(1, 2) = 1.0;
  R(1, 4) = 2.0;
  Reparametrised rp = orcrrp(R, {1.0}, K, P);
  std::vector<double> s1(K), S2(K * K), S3(K * K), res(K * K);
  MuAccumulators acc{true, K, KP, n, view(rp.C), s1.data(), Mat{S2.data(), K, K, K},
                     Mat{S3.data(), K, K, K}, Mat{res.data(), K, K, K}};
  DMat mus(K, NG), s3(K, K);
  Region region;
  for (int g = 1; g <= NG; ++g) {
    const int T = 6 + g;
    DMat tlx = test::randomMatrix(M, T, 50 + g), xz = test::randomMatrix(T, KP, 60 + g),
         eps = test::randomMatrix(M, T, 70 + g), U = test::randomMatrix(T, T, 80 + g),
         pi = test::randomMatrix(KP, 1, 90 + g), cov = test::randomMatrix(KP, KP, 95 + g);
    for (int i = 1; i <= T; ++i) U(i, i) += 3.0;
    EngineArrays arrays;
    arrays.uysgma = view(U);
    DenseEngine engine(arrays);
    DLTMUP(g, NG, MuVectorInputs{view(tlx), view(xz), pi.data(), view(eps), &engine, view(cov)},
           acc, region.scratch(), -1);
    DMat h(T, 1);
    for (int t = 1; t <= T; ++t)
      for (int i = 1; i <= M; ++i) h(t, 1) += tlx(i, t) * eps(i, t);
    DMat design = multiply(xz, rp.C, false, true);
    DMat yInv = test::solveSquare(multiply(U, U, true, false), test::identity(T));
    DMat dy = multiply(design, yInv, true, false);
    DMat c = test::solveSquare(multiply(dy, design), multiply(dy, h));
    DMat ct = multiply(rp.C, c, true, false);
    for (int i = 1; i <= K; ++i) {
      mus(i, g) = pi(i, 1) + ct(i, 1);
      for (int j = 1; j <= K; ++j) s3(i, j) += cov(i, j);
    }
  }
  for (int i = 1; i <= K; ++i)
    for (int j = 1; j <= K; ++j) {
      double mi = 0.0, mj = 0.0, sij = 0.0;
      for (int g = 1; g <= NG; ++g) {
        mi += mus(i, g) / NG;
        mj += mus(j, g) / NG;
      }
      for (int g = 1; g <= NG; ++g) sij += (mus(i, g) - mi) * (mus(j, g) - mj);
      EXPECT_NEAR(res[(i - 1) + (j - 1) * K], sij / (NG - 1) - s3(i, j) / NG, 1e-12);
    }
}

}  // namespace
}  // namespace kova
