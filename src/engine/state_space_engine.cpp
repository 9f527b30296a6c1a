// The state-space engine: every question a pass asks of YSIGMA answered
// through the Kalman filter of the model (state EPSILON(t), observation
// x~(t)'EPSILON(t), no observation noise), in time and memory linear in
// NUMT.
//
// PI: the filter turns [XZ y] into innovations; dividing a row by the root
// of its variance whitens it (YSIGMA = L D L', and GLS does not depend on
// which square root whitens). Rows of zero variance are exact: their
// innovations are equations that PI satisfies, as the generalized
// least-squares core treats a zero-variance direction. Both sets of rows
// are compressed by a QR factorization to at most K*P + 1 rows each (an
// orthogonal map of the rows changes neither the estimate nor its
// covariance) and the small stacked problem, with the PI restrictions, goes
// to the generalized least-squares core; only the count of rows that carry
// noise is restored in SIGMA**2.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "engine/epsilon_beta.h"
#include "engine/pass1_covariance.h"
#include "engine/pass_engines.h"
#include "engine/result_record.h"
#include "engine/ysigma_eigenvalues.h"
#include "io/error_report.h"
#include "io/messages.h"
#include "linalg/blas1.h"
#include "linalg/least_squares.h"
#include "linalg/linpack.h"
#include "linalg/banded_pencil_eigen.h"
#include "linalg/quasiseparable_eigen.h"
#include "report/saved_results.h"

namespace kova {
namespace {

// Whether the eigenvalues of YSIGMA come from the banded pencil (about
// 26 M^3 T^2 operations, memory linear in T) rather than the formed matrix
// (about 2/3 T^3 vectorised operations, T^2/2 doubles): where the pencil is
// the faster (measured by bench/bench_quasiseparable_eigen: from about 100
// periods at M = 1 and 1,600 at M = 3, so 60 M^3 and at least 100), and
// beyond 2,000 periods in any case, which bounds the formed matrix to 16 MB.
bool usePencil(int T, int M) {
  const long long from = std::min(2000LL, std::max(100LL, 60LL * M * M * M));
  return T >= from;
}

// Rank tolerance of the exact equations, as in the least-squares core.
constexpr double kExactRankTol = kGlsTol;

void copyMatrix(Mat from, Mat to) {
  for (int j = 1; j <= from.cols; ++j) std::copy_n(from.col(j), from.rows, to.col(j));
}

// A'A for the m x m factors of the structure step.
void gram(Mat u, Mat out) {
  const int m = u.rows;
  for (int j = 1; j <= m; ++j)
    for (int i = 1; i <= m; ++i) out(i, j) = DDOT(m, u.col(i), 1, u.col(j), 1);
}

// Compresses rows 1..rows of a (cols columns) to the triangle of its QR
// factorization; returns the number of its rows, min(rows, cols), with the
// part below the diagonal cleared.
int compress(Mat a, int rows, double* qraux, int* jpvt, double* work) {
  const int cols = a.cols, c = std::min(rows, cols);
  if (rows == 0) return 0;
  DQRDC(a.p, a.ld, rows, cols, qraux, jpvt, work, 0);
  for (int j = 1; j <= cols; ++j)
    for (int i = j + 1; i <= c; ++i) a(i, j) = 0.0;
  return c;
}

struct PiArrays {
  Mat noisy, exact;  // NUMT x (n + 1): whitened rows, exact rows
  double *qraux, *qrWork;
  int* jpvt;
  Mat a, f, b, x;  // the compressed problem
  double *sigma2, *scale;
  Mat cov;
  GlsWork gls;
};

PiArrays carvePi(Scratch& s, int numt, int n, int spirow) {
  PiArrays w;
  w.noisy = s.mat(numt, n + 1);
  w.exact = s.mat(numt, n + 1);
  w.qraux = s.doubles(n + 1);
  w.qrWork = s.doubles(n + 1);
  w.jpvt = s.ints(n + 1);
  const int rows = 2 * (n + 1) + spirow;
  w.a = s.mat(rows, n);
  w.f = s.mat(rows, rows);
  w.b = s.mat(rows, 1);
  w.x = s.mat(n, 1);
  w.sigma2 = s.doubles(1);
  w.scale = s.doubles(n);
  w.gls = carveGlsWork(s, rows, n, 1);
  return w;
}

struct ScovarArrays {
  Mat rec0, rec1;                    // the records of passes 0 and 1
  Mat v0;                            // NUMT x n: innovations of XZ under pass 0
  Mat exact;                         // NUMT x n: the exact rows, then their triangle
  Mat ww, c, bm, v, g, h, rhs, rsd;  // n x n
  double *sv, *e, *svdWork, *qraux, *qrWork, *u;
  int* jpvt;
  Mat op;       // NUMT x n: the pass-0 estimator, transposed
  double* y1g;  // NUMT
};

ScovarArrays carveScovar(Scratch& s, int numt, int m, int n) {
  ScovarArrays w;
  const long long len = StateSpaceEngine::recordLength(numt, m);
  w.rec0 = Mat{s.doubles(len), static_cast<int>(len), static_cast<int>(len), 1};
  w.rec1 = Mat{s.doubles(len), static_cast<int>(len), static_cast<int>(len), 1};
  w.v0 = s.mat(numt, n);
  w.exact = s.mat(numt, n);
  for (Mat* a : {&w.ww, &w.c, &w.bm, &w.v, &w.g, &w.h, &w.rhs, &w.rsd}) *a = s.mat(n, n);
  w.sv = s.doubles(n + 1);
  w.e = s.doubles(n);
  w.svdWork = s.doubles(std::max(numt, n));
  w.qraux = s.doubles(n);
  w.qrWork = s.doubles(std::max(qrlsqWorkSize(n, n), static_cast<long>(n)));
  w.u = s.doubles(numt);
  w.jpvt = s.ints(n);
  w.op = s.mat(numt, n);
  w.y1g = s.doubles(numt);
  return w;
}

ScratchNeed eigenNeed(int T, int M) {
  Scratch s;
  s.doubles(static_cast<long long>(M) * M * T);
  s.mat(M, T);
  s.doubles(T);
  s.doubles(M);
  ScratchNeed need = s.used();
  ScratchNeed kernels = stateCovariancesNeed(M);
  kernels.include(quasiseparableEigenvaluesNeed(T, M));
  need.add(kernels);
  return need;
}

}  // namespace

StateSpaceRecords StateSpaceRecords::carve(Scratch& s, const GroupDims& d) {
  const int T = d.NUMT, M = d.M, n = d.KP();
  StateSpaceRecords r;
  // PHI, Q, P1, f and the gains lie side by side: they are the record of
  // YSFACTR0/1.
  r.phi = s.mat(M, M);
  r.q = s.mat(M, M);
  r.p1 = s.mat(M, M);
  r.f = s.doubles(T);
  r.gain = s.mat(M, T);
  r.innov = s.mat(T, n + 1);
  r.residual = s.doubles(T);
  r.rw = s.mat(n + 1, n);
  return r;
}

long long StateSpaceEngine::storeLength(const GroupDims& d) {
  Scratch s;
  StateSpaceRecords::carve(s, d);
  return s.used().doubles;
}

long long StateSpaceEngine::recordLength(int NUMT, int M) {
  return 3LL * M * M + static_cast<long long>(NUMT) * (M + 1);
}

StateSpaceEngine::StateSpaceEngine(const GroupDims& d, const EngineArrays& a) : d_(d), a_(a) {
  Scratch store(a.store, a.storeLength, nullptr, 0, nullptr, 0);
  r_ = StateSpaceRecords::carve(store, d);
}

void StateSpaceEngine::structure(const PassModel& pass, double* blocks, const YsigmaFiles& files,
                                 Scratch s, int logUnit) {
  const int M = d_.M, T = d_.NUMT;
  tlx_ = pass.tlx;
  sigmaEpsBlocks(pass.form, pass.phi, *pass.eig, pass.ugamma, blocks, T, s);
  // The model whose observation covariance the dense square root forms:
  // the first state from UGAMMA, the disturbances from UDELTA.
  if (pass.form.zeroPhi) {
    for (int j = 1; j <= M; ++j) std::fill_n(r_.phi.col(j), M, 0.0);
  } else {
    copyMatrix(pass.phi, r_.phi);
  }
  gram(pass.udelta, r_.q);
  gram(pass.ugamma, r_.p1);
  // The filter on the factors themselves: a singular DELTA keeps its null
  // space exactly, as in the dense square root (and the filter runs in
  // extended precision when PHI has a root near 1 beside it).
  wide_ = kalmanGains(model(), pass.udelta, pass.ugamma, gains(), s, kExactRootTol, 0.0, true);

  const long mm = static_cast<long>(M) * M;
  writeResultRecord(files.esigma, "CSIGYE",
                    Mat{blocks, static_cast<int>(std::max(mm, 1L)), static_cast<int>(mm), T},
                    logUnit);
  // The model and its filter, as YSFACTR0/1 hold them.
  const int len = static_cast<int>(recordLength(T, M));
  writeResultRecord(files.ysigfctr, "CSIGYE", Mat{r_.phi.p, std::max(len, 1), len, 1}, logUnit);
}

Mat StateSpaceEngine::factor(Scratch s) {
  expandFactor(r_.phi, tlx_, gains(), a_.uysgma, s);
  return a_.uysgma;
}

Mat StateSpaceEngine::ysigma(Scratch s) {
  const Mat u = factor(s);
  const int T = d_.NUMT;
  // U is upper triangular: YSIGMA(i,j) sums rows 1..min(i,j).
  for (int j = 1; j <= T; ++j)
    for (int i = 1; i <= j; ++i) {
      const double v = DDOT(i, u.col(i), 1, u.col(j), 1);
      a_.ysigma(i, j) = v;
      a_.ysigma(j, i) = v;
    }
  return a_.ysigma;
}

// YSIGMA(t,s) = x~(t)' PHI^(t-s) Pi(s) x~(s) for t >= s: quasiseparable
// generators p(t) = x~(t), A = PHI, q(s) = PHI Pi(s) x~(s), d(t) =
// x~(t)' Pi(t) x~(t).
bool StateSpaceEngine::eigenvalues(double* values, Scratch s) {
  const int M = d_.M, T = d_.NUMT;
  // Long groups: the banded pencil of the state's covariance, O(T^2 M^3)
  // time and O(T M^2) memory; it declines a P1 or Q that is not positive
  // definite, and the formed matrix answers then, where the program region
  // holds it.
  if (usePencil(T, M)) {
    int ierr = 0;
    pencilEigenvalues(T, M, tlx_.p, r_.phi.p, r_.p1.p, r_.q.p, values, s, ierr);
    if (ierr == 0) return true;
    if (s.doublesLeft() < eigenNeed(T, M).doubles) return false;
  }
  const long mm = static_cast<long>(M) * M;
  double* pi = s.doubles(mm * T);
  Mat q = s.mat(M, T);
  double* d = s.doubles(T);
  double* w = s.doubles(M);
  stateCovariances(model(), pi, s);
  for (int t = 1; t <= T; ++t) {
    const Mat pit{pi + mm * (t - 1), std::max(M, 1), M, M};
    const double* x = tlx_.col(t);
    for (int i = 1; i <= M; ++i) w[i - 1] = DDOT(M, pit.p + (i - 1), pit.ld, x, 1);
    d[t - 1] = DDOT(M, x, 1, w, 1);
    for (int i = 1; i <= M; ++i) q(i, t) = DDOT(M, r_.phi.p + (i - 1), r_.phi.ld, w, 1);
  }
  int ierr = 0;
  quasiseparableEigenvalues(T, M, tlx_.p, r_.phi.p, q.p, d, values, s, ierr);
  return ierr == 0;
}

void StateSpaceEngine::saveStructure(const NamedUnit& file, int logUnit) {
  const long long len = recordLength(d_.NUMT, d_.M);
  SAVYSG(Mat{r_.phi.p, static_cast<int>(len), static_cast<int>(len), 1}, file, logUnit);
}

StateSpaceEngine::Solved StateSpaceEngine::solveWhitened(Mat v, const PiRestrictionView& rest,
                                                         double* x, Mat cov, Scratch s,
                                                         int logUnit) {
  const int T = v.rows, n = v.cols - 1, nr = std::max(rest.SPIROW, 0);
  PiArrays w = carvePi(s, T, n, nr);
  int nn = 0, ne = 0;
  for (int t = 1; t <= T; ++t) {
    const double f = r_.f[t - 1];
    if (f > 0.0) {
      const double scale = 1.0 / std::sqrt(f);
      ++nn;
      for (int j = 1; j <= n + 1; ++j) w.noisy(nn, j) = v(t, j) * scale;
    } else {
      ++ne;
      for (int j = 1; j <= n + 1; ++j) w.exact(ne, j) = v(t, j);
    }
  }
  const int cn = compress(w.noisy, nn, w.qraux, w.jpvt, w.qrWork);
  const int ce = compress(w.exact, ne, w.qraux, w.jpvt, w.qrWork);

  // [whitened rows; exact rows; restriction rows] x = b + F u, with F the
  // identity on the whitened rows and zero on the others.
  const int rows = cn + ce + nr;
  for (int j = 1; j <= n; ++j) {
    double* aj = w.a.col(j);
    for (int i = 1; i <= cn; ++i) aj[i - 1] = w.noisy(i, j);
    for (int i = 1; i <= ce; ++i) aj[cn + i - 1] = w.exact(i, j);
    for (int i = 1; i <= nr; ++i) aj[cn + ce + i - 1] = rest.R(i, j);
  }
  for (int i = 1; i <= cn; ++i) w.b(i, 1) = w.noisy(i, n + 1);
  for (int i = 1; i <= ce; ++i) w.b(cn + i, 1) = w.exact(i, n + 1);
  for (int i = 1; i <= nr; ++i) w.b(cn + ce + i, 1) = rest.r[i - 1];
  for (int j = 1; j <= rows; ++j) {
    std::fill_n(w.f.col(j), rows, 0.0);
    if (j <= cn) w.f(j, j) = 1.0;
  }
  // Whitening scales the columns apart (a coefficient that the data
  // barely determine has a whitened column many orders below the others),
  // and the core's rank rule is relative to the largest column: each
  // column goes in with unit norm, so that a direction is dropped only
  // when it is nearly a combination of the others, as the dense engine
  // judges the unwhitened design.
  for (int j = 1; j <= n; ++j) {
    const double norm = DNRM2(rows, w.a.col(j), 1);
    w.scale[j - 1] = norm > 0.0 ? norm : 1.0;
    for (int i = 0; i < rows; ++i) w.a.col(j)[i] /= w.scale[j - 1];
  }
  GlsProblem problem;
  problem.a = w.a.p;
  problem.lda = w.a.ld;
  problem.f = w.f.p;
  problem.ldf = w.f.ld;
  problem.b = w.b.p;
  problem.ldb = w.b.ld;
  problem.n = rows;
  problem.p = n;
  problem.nb = 1;
  problem.covariance = cov.p != nullptr;
  GlsResults results;
  results.x = x;
  results.ldx = std::max(n, 1);
  results.sigma2 = w.sigma2;
  results.cov = cov.p;
  results.ldcov = cov.ld;
  for (int j = 0; j < n; ++j) x[j] = 0.0;
  if (!solveGls(problem, results, w.gls, logUnit))
    reportError(
        " IN SUBROUTINE ECPIMU, THE WORK SPACE OF THE LEAST-SQUARES "
        "CORE IS TOO SHORT.",
        "STOP", logUnit);

  for (int j = 1; j <= n; ++j) x[j - 1] /= w.scale[j - 1];
  if (cov.p != nullptr && results.covStatus == kCovFormed)
    for (int j = 1; j <= n; ++j)
      for (int i = 1; i <= n; ++i) cov(i, j) /= w.scale[i - 1] * w.scale[j - 1];
  // The whitened rows beyond the triangle were zero equations with noise:
  // they count in the degrees of freedom of SIGMA**2.
  Solved solved;
  const int r2 = results.r2, dof = results.r2 + (nn - cn);
  solved.sigma2 = (r2 > 0 && dof > 0) ? w.sigma2[0] * r2 / dof : 0.0;
  solved.covFormed = results.covStatus == kCovFormed;
  noisy_ = nn;
  compressed_ = cn;
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n + 1; ++i) r_.rw(i, j) = i <= cn ? w.noisy(i, j) : 0.0;
  return solved;
}

// One step of refinement of PI, for the extended-precision filter: the
// whitened rows of a singular DELTA beside a root of PHI near 1 grow by
// many orders, and the first solution carries the rounding of y's
// whitening at that size. The residual of the first solution, formed in
// extended precision and whitened by the same filter, is solved again for
// the correction. v holds the innovations of [XZ y] and is left with those
// of [XZ residual]; r_.residual is set for the smoother.
StateSpaceEngine::Solved StateSpaceEngine::refinePi(const double* y, Mat XZ,
                                                    const PiRestrictionView& rest, Mat v,
                                                    PiEstimate& est, Scratch s, int logUnit) {
  const int T = XZ.rows, n = XZ.cols, nr = std::max(rest.SPIROW, 0);
  std::vector<double> res(T), restRes(nr), dx(n);
  for (int t = 1; t <= T; ++t) {
    long double sum = y[t - 1];
    for (int j = 1; j <= n; ++j) sum -= static_cast<long double>(XZ(t, j)) * est.PIVECT[j - 1];
    res[t - 1] = static_cast<double>(sum);
  }
  for (int i = 1; i <= nr; ++i) {
    long double sum = rest.r[i - 1];
    for (int j = 1; j <= n; ++j) sum -= static_cast<long double>(rest.R(i, j)) * est.PIVECT[j - 1];
    restRes[i - 1] = static_cast<double>(sum);
  }
  PiRestrictionView rest2 = rest;
  rest2.r = restRes.data();
  Mat rcol{v.col(n + 1), v.ld, T, 1};
  Mat rin{res.data(), std::max(T, 1), T, 1};
  innovations(r_.phi, tlx_, gains(), rin, rcol, s, true);
  const Solved solved = solveWhitened(v, rest2, dx.data(), est.cov, s, logUnit);
  std::copy_n(v.col(n + 1), T, r_.residual);
  for (int j = 1; j <= n; ++j) {
    est.PIVECT[j - 1] += dx[j - 1];
    DAXPY(T, -dx[j - 1], v.col(j), 1, r_.residual, 1);
  }
  return solved;
}

void StateSpaceEngine::estimatePi(int pass, int groupId, const double* y, Mat XZ,
                                  const PiRestrictionView& rest, PiEstimate& est, Scratch s,
                                  int /*outUnit*/, int logUnit) {
  const int T = XZ.rows, n = XZ.cols, nr = std::max(rest.SPIROW, 0);
  const bool dump = groupId == 17 && pass == 1;
  if (dump) dumpEcpimuInputs(T, y, XZ, factor(s), rest, logUnit);

  Mat v = r_.innov;
  copyMatrix(Mat{XZ.p, XZ.ld, T, n}, v);
  std::copy_n(y, T, v.col(n + 1));
  innovations(r_.phi, tlx_, gains(), v, v, s, wide_);
  Solved solved = solveWhitened(v, rest, est.PIVECT, est.cov, s, logUnit);
  // The innovations of the residual, for the smoother.
  std::copy_n(v.col(n + 1), T, r_.residual);
  for (int j = 1; j <= n; ++j) DAXPY(T, -est.PIVECT[j - 1], v.col(j), 1, r_.residual, 1);
  if (wide_) solved = refinePi(y, XZ, rest, v, est, s, logUnit);
  est.sigma2 = solved.sigma2;
  est.covUnavailable = !solved.covFormed;
  if (est.covUnavailable)
    for (int j = 1; j <= n; ++j) std::fill_n(est.cov.col(j), n, 0.0);

  std::copy_n(y, T, est.MU);
  for (int i = 1; i <= nr; ++i) est.MU[T + i - 1] = rest.r[i - 1];
  for (int j = 1; j <= n; ++j) {
    const double pj = est.PIVECT[j - 1];
    DAXPY(T, -pj, XZ.col(j), 1, est.MU, 1);
    for (int i = 1; i <= nr; ++i) est.MU[T + i - 1] -= rest.R(i, j) * pj;
  }
  if (dump) dumpEcpimuEstimate(est.PIVECT, n, logUnit);
}

// The same whitening and least squares as PI's, without restrictions.
// The compressed design of the pass (for ORCVAR) is not needed after this,
// the pass's last step.
void StateSpaceEngine::regress(Mat design, const double* rhs, double* x, Scratch s, int unit) {
  const int T = design.rows, n = design.cols;
  Mat v = s.mat(T, n + 1);
  copyMatrix(Mat{design.p, design.ld, T, n}, v);
  std::copy_n(rhs, T, v.col(n + 1));
  innovations(r_.phi, tlx_, gains(), v, v, s);
  solveWhitened(v, PiRestrictionView{}, x, Mat{}, s, unit);
}

ScratchNeed StateSpaceEngine::regressNeed(int NUMT, int M, int n) {
  Scratch s;
  s.mat(NUMT, n + 1);
  ScratchNeed need = s.used();
  Scratch pi;
  carvePi(pi, NUMT, n, 0);
  ScratchNeed inner = pi.used();
  inner.include(innovationsNeed(M, n + 1));
  need.add(inner);
  return need;
}

void StateSpaceEngine::piCovariance(Mat XZ, double sigma2, const PiRestrictionView& rest,
                                    PiEstimate& est, OrcvarRanks& ranks, Scratch s, int outUnit,
                                    int logUnit, int K, int P) {
  ORCVARwhitened(Mat{r_.rw.p, r_.rw.ld, compressed_, XZ.cols}, noisy_, XZ.rows, sigma2, rest, est,
                 ranks, s, outUnit, logUnit, K, P);
}

void StateSpaceEngine::epsilon(const double* /*blocks*/, const double* /*MU*/, Mat eps,
                               const NamedUnit& epsmatrx, Scratch s, int logUnit) {
  smoothState(model(), gains(), r_.residual, eps, s);
  writeResultRecord(epsmatrx, "CEPS", Mat{eps.p, eps.ld, d_.M, d_.NUMT}, logUnit);
}

// The covariance of the pass-0 estimator under the pass-1 structure,
// SIGMA**2 A0 Y1 A0', with A0 the estimator as a linear map of y. Its
// transpose is formed column by column: A0' g is the adjoint of the pass-0
// filter applied to the weights the constrained least squares gives each
// innovation; Y1 times it comes from the pass-1 model's covariance sweep.
void StateSpaceEngine::specialCovariance(Mat XZ, const NamedUnit& ysfactr0,
                                         const NamedUnit& ysfactr1, double sigma2, Mat cov,
                                         Scratch s, int outUnit, int logUnit) {
  const int T = XZ.rows, n = XZ.cols, M = d_.M;
  const long mm = static_cast<long>(M) * M;
  ScovarArrays w = carveScovar(s, T, M, n);
  readYsigmaRecord(ysfactr0, w.rec0, logUnit);
  readYsigmaRecord(ysfactr1, w.rec1, logUnit);
  if (n < 1) return;
  for (int j = 1; j <= n; ++j) std::fill_n(cov.col(j), n, 0.0);
  if (T < 1 || sigma2 == 0.0) return;

  const int ldm = std::max(M, 1);
  const Mat phi0{w.rec0.p, ldm, M, M};
  const FilterGains gains0{w.rec0.p + 3 * mm, Mat{w.rec0.p + 3 * mm + T, ldm, M, T}};
  const StateSpaceModel model1{Mat{w.rec1.p, ldm, M, M}, Mat{w.rec1.p + mm, ldm, M, M},
                               Mat{w.rec1.p + 2 * mm, ldm, M, M}, tlx_};

  copyMatrix(Mat{XZ.p, XZ.ld, T, n}, w.v0);
  innovations(phi0, tlx_, gains0, w.v0, w.v0, s);

  // W'W over the whitened rows; the exact rows gathered.
  int ne = 0;
  for (int j = 1; j <= n; ++j) std::fill_n(w.ww.col(j), n, 0.0);
  for (int t = 1; t <= T; ++t) {
    const double f = gains0.f[t - 1];
    if (f > 0.0) {
      for (int j = 1; j <= n; ++j)
        for (int i = 1; i <= n; ++i) w.ww(i, j) += w.v0(t, i) * w.v0(t, j) / f;
    } else {
      ++ne;
      for (int j = 1; j <= n; ++j) w.exact(ne, j) = w.v0(t, j);
    }
  }

  // The null space N of the exact rows and Pe = (E'E)^+, from the singular
  // values of their triangle.
  int a = 0;
  for (int j = 1; j <= n; ++j) std::fill_n(w.bm.col(j), n, 0.0);
  if (ne > 0) {
    const int ce = compress(Mat{w.exact.p, w.exact.ld, ne, n}, ne, w.qraux, w.jpvt, w.qrWork);
    int info = 0;
    DSVDC(w.exact.p, w.exact.ld, ce, n, w.sv, w.e, nullptr, 1, w.v.p, w.v.ld, w.svdWork, 1, info);
    if (info != 0) {
      // The rank of the exact equations is unknown: no covariance rather
      // than one formed from unconverged singular values.
      const std::string message =
          " IN SUBROUTINE SCOVAR, THE SINGULAR VALUES OF THE EXACT EQUATIONS DID NOT CONVERGE"
          " (INFO=" + std::to_string(info) + ").  THE SPECIAL COVARIANCE MATRIX IS NOT COMPUTED.";
      writeUnit(outUnit, message);
      reportError(message, "CONTINUE", logUnit);
      return;
    }
    const int top = std::min(ce, n);
    if (top >= 1 && w.sv[0] > 0.0)
      while (a < top && w.sv[a] > kExactRankTol * w.sv[0]) ++a;
    for (int l = 1; l <= a; ++l) {
      const double inv = 1.0 / (w.sv[l - 1] * w.sv[l - 1]);
      for (int j = 1; j <= n; ++j)
        for (int i = 1; i <= n; ++i) w.bm(i, j) += inv * w.v(i, l) * w.v(j, l);
    }
  } else {
    for (int j = 1; j <= n; ++j)
      for (int i = 1; i <= n; ++i) w.v(i, j) = i == j ? 1.0 : 0.0;
  }
  const int q = n - a;
  const Mat N{w.v.col(a + 1), w.v.ld, n, q};

  // C = N (N'W'WN)^+ N'.
  Mat wn{w.h.p, w.h.ld, n, q};  // W'W N
  for (int j = 1; j <= q; ++j)
    for (int i = 1; i <= n; ++i) {
      double sum = 0.0;
      for (int l = 1; l <= n; ++l) sum += w.ww(i, l) * N(l, j);
      wn(i, j) = sum;
    }
  Mat info{w.g.p, w.g.ld, q, q};
  for (int j = 1; j <= q; ++j)
    for (int i = 1; i <= q; ++i) info(i, j) = DDOT(n, N.col(i), 1, wn.col(j), 1);
  Mat ident{w.rhs.p, w.rhs.ld, q, q};
  for (int j = 1; j <= q; ++j)
    for (int i = 1; i <= q; ++i) ident(i, j) = i == j ? 1.0 : 0.0;
  Mat hinv{w.c.p, w.c.ld, q, q};
  int rank = 0;
  if (q > 0)
    QRLSQ(info.p, info.ld, q, q, q, ident.p, ident.ld, kGlsTol, hinv.p, hinv.ld, w.rsd.p, w.rsd.ld,
          rank, w.jpvt, w.qrWork, logUnit);
  // C, in g (the information matrix is spent).
  Mat cm{w.g.p, w.g.ld, n, n};
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i) {
      double sum = 0.0;
      for (int k = 1; k <= q; ++k)
        for (int l = 1; l <= q; ++l) sum += N(i, k) * hinv(k, l) * N(j, l);
      cm(i, j) = sum;
    }
  // B = Pe (I - W'W C).
  Mat mx{w.rhs.p, w.rhs.ld, n, n};
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i) {
      double sum = i == j ? 1.0 : 0.0;
      for (int l = 1; l <= n; ++l) sum -= w.ww(i, l) * cm(l, j);
      mx(i, j) = sum;
    }
  Mat bmat{w.h.p, w.h.ld, n, n};
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i) {
      double sum = 0.0;
      for (int l = 1; l <= n; ++l) sum += w.bm(i, l) * mx(l, j);
      bmat(i, j) = sum;
    }

  for (int k = 1; k <= n; ++k) {
    for (int t = 1; t <= T; ++t) {
      const double f = gains0.f[t - 1];
      const Mat& weights = f > 0.0 ? cm : bmat;
      double sum = 0.0;
      for (int l = 1; l <= n; ++l) sum += w.v0(t, l) * weights(l, k);
      w.u[t - 1] = f > 0.0 ? sum / f : sum;
    }
    innovationsAdjoint(phi0, tlx_, gains0, w.u, w.op.col(k), s);
  }
  for (int k = 1; k <= n; ++k) {
    applyCovariance(model1, w.op.col(k), w.y1g, s);
    for (int j = k; j <= n; ++j) {
      const double v = sigma2 * DDOT(T, w.op.col(j), 1, w.y1g, 1);
      cov(j, k) = v;
      cov(k, j) = v;
    }
  }
}

ScratchNeed StateSpaceEngine::need(const GroupDims& d, int piRows, bool eigenvalues) {
  const int T = d.NUMT, M = d.M, n = d.KP();
  ScratchNeed need;
  Scratch pi;
  carvePi(pi, T, n, piRows);
  ScratchNeed piNeed = pi.used();
  piNeed.add(innovationsNeed(M, n + 1));
  Scratch sc;
  carveScovar(sc, T, M, n);
  ScratchNeed scNeed = sc.used();
  ScratchNeed kernels;
  for (const ScratchNeed& k :
       {innovationsNeed(M, n), innovationsAdjointNeed(M), applyCovarianceNeed(M, T)})
    kernels.include(k);
  scNeed.add(kernels);
  for (const ScratchNeed& k :
       {sigmaEpsBlocksNeed(M), kalmanGainsNeed(M), piNeed, ORCVARwhitenedNeed(n + 1, n, piRows),
        smoothStateNeed(M, T), scNeed, expandFactorNeed(M)})
    need.include(k);
  if (eigenvalues) need.include(usePencil(T, M) ? pencilEigenvaluesNeed(T, M) : eigenNeed(T, M));
  return need;
}

}  // namespace kova
