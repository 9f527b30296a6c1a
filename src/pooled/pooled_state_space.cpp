// The pooled phase on a group's state-space model: Omega^+ applied through
// the Kalman filter of the augmented model, and the pooled EPSILON by the
// stationary covariance sweeps.
#include "pooled/pooled_state_space.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "linalg/blas1.h"
#include "linalg/least_squares.h"
#include "linalg/state_space.h"

namespace kova {
namespace {

constexpr double kRankTol = 1.0E-14;
constexpr double kPooledRootTol = 1.0E-6;

// The record of YSIGFCTR: PHI, Q, P1 (M x M each), f (T), the gains (M x T).
struct GroupModel {
  Mat phi, q, p1;
};

long long recordLength(int T, int M) { return 3LL * M * M + static_cast<long long>(T) * (M + 1); }

GroupModel readModel(const PooledGroup& grp, const FileTable& files, Scratch& s,
                     const char* routine, int logUnit) {
  const int M = grp.M, ld = std::max(M, 1);
  const int len = static_cast<int>(recordLength(grp.T, M));
  double* record = s.doubles(len);
  const Mat all{record, std::max(len, 1), len, 1};
  readMatrixRecords(files.scratch(Family::YSIGFCTR, grp.g), &all, 1, routine, logUnit);
  const long mm = static_cast<long>(M) * M;
  return GroupModel{Mat{record, ld, M, M}, Mat{record + mm, ld, M, M},
                    Mat{record + 2 * mm, ld, M, M}};
}

// An estimate of Omega's largest eigenvalue, within a small factor: the
// largest of its diagonal (Omega(t,t) = z(t)' P1 z(t), the state being
// stationary) and the Rayleigh quotients of a few power steps from the
// vector of ones, each step one covariance sweep.
double largestEigenvalue(const StateSpaceModel& model, Scratch s) {
  const int m = model.phi.rows, T = model.z.cols;
  double largest = 0.0;
  for (int t = 1; t <= T; ++t) {
    const double* z = model.z.col(t);
    double sum = 0.0;
    for (int j = 1; j <= m; ++j) sum += z[j - 1] * DDOT(m, model.p1.col(j), 1, z, 1);
    largest = std::max(largest, sum);
  }
  double* u = s.doubles(T);
  double* v = s.doubles(T);
  std::fill_n(u, T, 1.0 / std::sqrt(static_cast<double>(std::max(T, 1))));
  for (int step = 0; step < 4; ++step) {
    applyCovariance(model, u, v, s);
    largest = std::max(largest, DDOT(T, u, 1, v, 1));
    const double norm = DNRM2(T, v, 1);
    if (!(norm > 0.0)) break;
    for (int t = 0; t < T; ++t) u[t] = v[t] / norm;
  }
  return largest;
}

ScratchNeed largestEigenvalueNeed(int m, int T) {
  Scratch s;
  s.doubles(2LL * T);
  ScratchNeed need = s.used();
  need.add(applyCovarianceNeed(m, T));
  return need;
}

struct Augmented {
  StateSpaceModel model;
  FilterGains gains;
};

// The largest innovation variance f(t) among the observations that the
// dense pseudo-inverse would find in Omega's null space but the filter kept.
// With Omega = L D L' (the filter's factor), f(t) is the variance of the
// direction n(t) = L^-T e(t) of y-space, and the eigenvalue rule of the
// dense computation sees its Rayleigh quotient f(t) / |n(t)|^2. With a
// DELTA_MU of lower rank (eigenvalues raised to 1e-14 of the largest) one
// observation's gain can make |n(t)|^2 large (1e4 and more) while f(t)
// stays far above the floor: the direction, of no variance in the dense
// judgement, then weighs as an almost exact equation on the pooled PI.
// |n(t)|^2 = 1 + z(t)' M(t-1) z(t), M(t) = K(t) K(t)' + L(t) M(t-1) L(t)',
// L(t) = PHI - K(t) z(t)' (the adjoint's recursion for L^-T e(t), summed in
// closed form). Returns 0 when there is none, and in smallestOther the
// smallest f(t) > 0 of the other observations; w1, w2, w3 are m x m work.
double hiddenNullPivot(const Augmented& a, double floor, Mat w1, Mat w2, Mat w3,
                       double& smallestOther) {
  const int m = a.model.phi.rows, T = a.model.z.cols;
  Mat M = w1, lt = w2, ml = w3;
  for (int j = 1; j <= m; ++j) std::fill_n(M.col(j), m, 0.0);
  double worst = 0.0;
  smallestOther = HUGE_VAL;
  for (int t = 1; t <= T; ++t) {
    const double* z = a.model.z.col(t);
    const double* k = a.gains.k.col(t);
    const double f = a.gains.f[t - 1];
    if (f > 0.0) {
      double quad = 0.0;
      for (int j = 1; j <= m; ++j) quad += z[j - 1] * DDOT(m, M.col(j), 1, z, 1);
      if (f <= floor * (1.0 + std::max(quad, 0.0)))
        worst = std::max(worst, f);
      else
        smallestOther = std::min(smallestOther, f);
    }
    // M := L M L' + K K'.
    for (int j = 1; j <= m; ++j)
      for (int i = 1; i <= m; ++i)
        lt(i, j) = a.model.phi(i, j) - (f > 0.0 ? k[i - 1] * z[j - 1] : 0.0);
    for (int j = 1; j <= m; ++j)
      for (int i = 1; i <= m; ++i) {
        double sum = 0.0;
        for (int l = 1; l <= m; ++l) sum += lt(i, l) * M(l, j);
        ml(i, j) = sum;
      }
    for (int j = 1; j <= m; ++j)
      for (int i = 1; i <= m; ++i) {
        double sum = f > 0.0 ? k[i - 1] * k[j - 1] : 0.0;
        for (int l = 1; l <= m; ++l) sum += ml(i, l) * lt(j, l);
        M(i, j) = sum;
      }
    for (int j = 1; j <= m; ++j)
      for (int i = j + 1; i <= m; ++i) M(i, j) = M(j, i) = 0.5 * (M(i, j) + M(j, i));
  }
  return worst;
}

// State [SIGMA EPSILON(t); eta], transition diag(PHI, I), disturbance
// diag(SIGMA**2 Q, 0), first state diag(SIGMA**2 P1, DELTA_MU), observed
// through [L'x(t); x(t)].
Augmented augment(const PooledGroup& grp, const GroupModel& g, Mat X, Mat L, Mat uMu, Scratch& s) {
  const int M = grp.M, K = grp.K, T = grp.T, m = M + K;
  Augmented a;
  Mat phi = s.mat(m, m), q = s.mat(m, m), p1 = s.mat(m, m), z = s.mat(m, T);
  for (Mat* x : {&phi, &q, &p1})
    for (int j = 1; j <= m; ++j) std::fill_n(x->col(j), m, 0.0);
  const double s2 = std::max(grp.sigma2, 0.0);
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) {
      phi(i, j) = g.phi(i, j);
      q(i, j) = s2 * g.q(i, j);
      p1(i, j) = s2 * g.p1(i, j);
    }
  for (int j = 1; j <= K; ++j) {
    phi(M + j, M + j) = 1.0;
    for (int i = 1; i <= K; ++i) p1(M + i, M + j) = DDOT(K, uMu.col(i), 1, uMu.col(j), 1);
  }
  for (int t = 1; t <= T; ++t) {
    const double* x = X.col(t);
    for (int i = 1; i <= M; ++i) z(i, t) = DDOT(K, L.col(i), 1, x, 1);
    for (int k = 1; k <= K; ++k) z(M + k, t) = x[k - 1];
  }
  a.model = StateSpaceModel{phi, q, p1, z};
  a.gains = FilterGains{s.doubles(T), s.mat(m, T)};
  // Exact as the dense pseudo-inverse judges Omega: a variance at or below
  // kRankTol times its largest eigenvalue; and, as a group's filter, one
  // at or below 1e-12 of |z|^2 trace P(t) (the state here mixes the
  // group's EPSILON with the constant deviation, of other scales, and the
  // rule of the group's passes, 1e-16, would keep rounding of the larger
  // as variance of the smaller: random panels part from the dense
  // pseudo-inverse then).
  const double floor = kRankTol * largestEigenvalue(a.model, s);
  kalmanGains(a.model, Mat{}, Mat{}, a.gains, s, kPooledRootTol, floor);
  // An observation whose direction in y-space has a Rayleigh quotient at
  // the floor is exact as the dense pseudo-inverse judges it: the filter is
  // run again with the floor raised to its f(t), which makes it (and any
  // smaller f) exact, until no such observation is left (each exact one
  // changes the later gains, and may uncover the next).
  Scratch local = s;
  Mat w1 = local.mat(m, m), w2 = local.mat(m, m), w3 = local.mat(m, m);
  double raised = floor;
  for (int round = 0; round < 32; ++round) {
    double other = 0.0;
    const double pivot = hiddenNullPivot(a, floor, w1, w2, w3, other);
    if (!(pivot > floor) || pivot <= raised) break;
    // Above the pivot by more than the rounding between the filter's test
    // (on |U z|^2) and the f(t) it records (the triangle's corner squared);
    // not when that would make an observation of variance exact too.
    const double next = pivot * (1.0 + 1.0E-9);
    if (!(other > next)) break;
    raised = next;
    kalmanGains(a.model, Mat{}, Mat{}, a.gains, local, kPooledRootTol, raised);
  }
  return a;
}

// x := G x = L^-T D^+ L^-1 x for every column.
void generalInverse(const Augmented& a, Mat x, double* work, Scratch& s) {
  const int T = x.rows;
  innovations(a.model.phi, a.model.z, a.gains, x, x, s);
  for (int c = 1; c <= x.cols; ++c) {
    double* xc = x.col(c);
    for (int t = 0; t < T; ++t) work[t] = a.gains.f[t] > 0.0 ? xc[t] / a.gains.f[t] : 0.0;
    innovationsAdjoint(a.model.phi, a.model.z, a.gains, work, xc, s);
  }
}

// The exact observations and the Gram matrix of their directions
// n_i = L^-T e_i: (n_i'n_j) = (L^-1 n_j)(i).
struct ExactDirections {
  std::vector<int> rows;
  Mat gram, rhs, coef, rsd;
  int* jpvt = nullptr;
  double* qrWork = nullptr;
};

ExactDirections exactDirections(const Augmented& a, int T, double* work, Scratch& s) {
  ExactDirections e;
  for (int t = 1; t <= T; ++t)
    if (a.gains.f[t - 1] == 0.0) e.rows.push_back(t);
  const int ne = static_cast<int>(e.rows.size());
  if (ne == 0) return e;
  e.gram = s.mat(ne, ne);
  e.jpvt = s.ints(ne);
  e.qrWork = s.doubles(qrlsqWorkSize(ne, ne));
  Mat u = s.mat(T, 1);
  for (int j = 0; j < ne; ++j) {
    std::fill_n(work, T, 0.0);
    work[e.rows[j] - 1] = 1.0;
    innovationsAdjoint(a.model.phi, a.model.z, a.gains, work, u.p, s);
    innovations(a.model.phi, a.model.z, a.gains, u, u, s);
    for (int i = 0; i < ne; ++i) e.gram(i + 1, j + 1) = u(e.rows[i], 1);
  }
  for (int j = 1; j <= ne; ++j)
    for (int i = 1; i < j; ++i) e.gram(i, j) = e.gram(j, i) = 0.5 * (e.gram(i, j) + e.gram(j, i));
  return e;
}

// x := P x, the component of each column orthogonal to the exact directions:
// x - N c with c the least-squares coefficients of x on N = [n_i].
void project(const Augmented& a, const ExactDirections& e, Mat x, double* work, Scratch& s,
             int logUnit) {
  const int T = x.rows, nc = x.cols, ne = static_cast<int>(e.rows.size());
  if (ne == 0) return;
  Scratch local = s;
  Mat nx = local.mat(T, nc);
  for (int c = 1; c <= nc; ++c) std::copy_n(x.col(c), T, nx.col(c));
  innovations(a.model.phi, a.model.z, a.gains, nx, nx,
              local);  // N'x = (L^-1 x)(exact rows)
  Mat rhs = local.mat(ne, nc), coef = local.mat(ne, nc), rsd = local.mat(ne, nc);
  Mat gram = local.mat(ne, ne);
  for (int c = 1; c <= nc; ++c)
    for (int i = 0; i < ne; ++i) rhs(i + 1, c) = nx(e.rows[i], c);
  for (int j = 1; j <= ne; ++j) std::copy_n(e.gram.col(j), ne, gram.col(j));
  int rank = 0;
  QRLSQ(gram.p, gram.ld, ne, ne, nc, rhs.p, rhs.ld, kRankTol, coef.p, coef.ld, rsd.p, rsd.ld, rank,
        e.jpvt, e.qrWork, logUnit);
  for (int c = 1; c <= nc; ++c) {
    std::fill_n(work, T, 0.0);
    for (int i = 0; i < ne; ++i) work[e.rows[i] - 1] = coef(i + 1, c);
    double* nc1 = nx.col(1);  // N coef = L^-T (coefficients at the exact rows)
    innovationsAdjoint(a.model.phi, a.model.z, a.gains, work, nc1, local);
    DAXPY(T, -1.0, nc1, 1, x.col(c), 1);
  }
}

}  // namespace

ScratchNeed omegaPseudoInverseStateSpaceNeed(int T, int K, int M, int nc, int exact) {
  const int m = M + K;
  Scratch s;
  s.doubles(recordLength(T, M));
  s.mat(m, m);
  s.mat(m, m);
  s.mat(m, m);
  s.mat(m, T);
  s.doubles(T);
  s.mat(m, T);
  s.doubles(T);
  if (exact > 0) {
    s.mat(exact, exact);
    s.ints(exact);
    s.doubles(qrlsqWorkSize(exact, exact));
    s.mat(T, 1);
    s.mat(T, nc);
    s.mat(exact, nc);
    s.mat(exact, nc);
    s.mat(exact, nc);
    s.mat(exact, exact);
  }
  ScratchNeed need = s.used();
  ScratchNeed kernels = kalmanGainsNeed(m);
  {
    Scratch w;
    for (int i = 0; i < 3; ++i) w.mat(m, m);
    ScratchNeed check = w.used();
    check.add(kalmanGainsNeed(m));
    kernels.include(check);
  }
  kernels.include(largestEigenvalueNeed(m, T));
  kernels.include(innovationsNeed(m, nc));
  kernels.include(innovationsAdjointNeed(m));
  need.add(kernels);
  return need;
}

int omegaPseudoInverseStateSpace(const PooledGroup& grp, const FileTable& files, Mat X, Mat L,
                                 Mat uMu, Mat rhs, Scratch s, int logUnit) {
  const int T = grp.T;
  const GroupModel g = readModel(grp, files, s, "CDXZYP", logUnit);
  const Augmented a = augment(grp, g, X, L, uMu, s);
  double* work = s.doubles(T);
  const ExactDirections e = exactDirections(a, T, work, s);
  project(a, e, rhs, work, s, logUnit);
  generalInverse(a, rhs, work, s);
  project(a, e, rhs, work, s, logUnit);
  return T - static_cast<int>(e.rows.size());
}

ScratchNeed pooledEpsilonStateSpaceNeed(int T, int M) {
  Scratch s;
  s.doubles(recordLength(T, M));
  ScratchNeed need = s.used();
  need.add(applyStationaryCovarianceNeed(M, T));
  return need;
}

void pooledEpsilonStateSpace(const PooledGroup& grp, const FileTable& files, Mat tlx,
                             const double* u, Mat eps, Scratch s, int logUnit) {
  const GroupModel g = readModel(grp, files, s, "EMBTAP", logUnit);
  // P1 is the stationary GAMMA of the pass (UGAMMA'UGAMMA, as the first
  // SIGMA-EPS block).
  applyStationaryCovariance(g.phi, g.p1, tlx, u, eps, s);
}

}  // namespace kova
