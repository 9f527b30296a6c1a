// The search for the maximum of the profile likelihood from many starts,
// and the observed information at it.
#include "likelihood/max_likelihood.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "likelihood/ml_coordinates.h"
#include "likelihood/ml_information.h"
#include "likelihood/panel_likelihood.h"
#include "likelihood/svd_rank.h"
#include "linalg/blas1.h"
#include "linalg/eispack.h"
#include "solvers/definiteness.h"
#include "solvers/lm_phi.h"

namespace kova {
using namespace ml;

namespace {

constexpr double kTwoPi = 6.283185307179586476925286766559;
// The value of an inadmissible point (non-stationary PHI, no likelihood).
constexpr double kRejected = 1.0E100;

// The box of a diagonal PHI, relative to EVLTOL (the bound itself has no
// likelihood).
constexpr double kBox = 1.0 - 1.0E-9;

// The weight of the guard against a collapsing innovation variance: past
// kMlCollapse the value grows by kGuardWeight (log(kMlCollapse / collapse))^2,
// which outgrows the likelihood's 1/2 log(1/f) a few thousandths of a log
// unit past the line, smoothly, so that the model-based search keeps working.
constexpr double kGuardWeight = 100.0;

// PHI and DELTA / trace at x (w.phi, w.delta; the unknowns of PHI before
// the map onto the stationary region in w.d); trace: DELTA's (its floor
// included). False where x has no likelihood.
bool pointAt(Work& w, const double* x, double& trace) {
  phiAt(w, x);
  squashPhi(w);
  const double radius = spectralRadius(w);
  if (!(radius < w.lay.EVLTOL)) return false;
  trace = deltaAt(w, x + w.lay.np);
  if (!(trace > 0.0) || !std::isfinite(trace)) return false;
  const int M = w.lay.M;
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) w.delta(i, j) /= trace;
  return true;
}

// The criterion at w.phi, w.delta: the concentrated profile, or under
// REML the restricted log-likelihood of the group (NaN where it has none).
double criterionOf(Work& w, const LikelihoodTerms& terms) {
  if (w.reml == nullptr) return terms.concentrated();
  double value = 0.0;
  return w.reml->evaluate(w.phi, w.delta, value) ? value
                                                 : std::numeric_limits<double>::quiet_NaN();
}

// The value minimised from the profile at the point: -loglik, plus the pin
// of the scale and the guard.
double valueOf(Work& w, const LikelihoodTerms& terms, double trace) {
  w.guarded = false;
  if (!terms.valid) return kRejected;
  const double pin = std::log(trace);
  const double loglik = criterionOf(w, terms);
  if (!std::isfinite(loglik)) return kRejected;
  double guard = 0.0;
  if (terms.collapse < kMlCollapse) {
    w.guarded = true;
    w.collapsedBest = std::max(w.collapsedBest, loglik);
    const double g = terms.collapse > 0.0 ? std::log(kMlCollapse / terms.collapse) : 1.0E3;
    guard = kGuardWeight * g * g;
  }
  return -loglik + pin * pin + guard;
}

double searchValue(const double* x, void* context) {
  Work& w = *static_cast<Work*>(context);
  ++w.evaluations;
  double trace = 0.0;
  if (!pointAt(w, x, trace)) return kRejected;
  return valueOf(w, profileLikelihood(*w.data, w.phi, w.delta, w.profile), trace);
}

// The gradient by central differences of the value (where the score does
// not apply: exact rows, the guard acting).
void differencedGradient(Work& w, const double* x, double* grad) {
  const int dim = w.lay.dim();
  std::vector<double> z(x, x + dim);
  for (int i = 0; i < dim; ++i) {
    const double h = 1.0E-6 * std::max(1.0, std::fabs(x[i]));
    z[i] = x[i] + h;
    const double up = searchValue(z.data(), &w);
    z[i] = x[i] - h;
    const double down = searchValue(z.data(), &w);
    z[i] = x[i];
    grad[i] = up < kRejected && down < kRejected ? (up - down) / (2.0 * h) : 0.0;
  }
}

// The gradient of the spectral radius of a (M x M) by central differences
// into g.
void radiusGradient(Work& w, Mat a, Mat g) {
  const int M = w.lay.M;
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) {
      const double a0 = a(i, j), h = 1.0E-7 * std::max(1.0, std::fabs(a0));
      a(i, j) = a0 + h;
      const double up = radiusOf(w, a);
      a(i, j) = a0 - h;
      const double down = radiusOf(w, a);
      a(i, j) = a0;
      g(i, j) = (up - down) / (2.0 * h);
    }
}

// The chain from the score of the profile (w.gPhi, w.gDelta at the point
// of pointAt) to the gradient of the value in x.
void chainGradient(Work& w, const double* x, double trace, double* grad) {
  const Layout& lay = w.lay;
  const int M = lay.M;
  // PHI: the derivatives in its unknowns d before the map, then u.
  if (lay.nu > 0) {
    const double e = lay.EVLTOL;
    if (lay.leadingOnly || lay.diagonalPhi) {
      for (int i = 0; i < lay.nu; ++i) {
        const double th = lay.squash && !lay.box ? std::tanh(w.d[i] / e) : 0.0;
        w.gd[i] = w.gPhi(i + 1, i + 1) * (1.0 - th * th);
      }
    } else {
      // PHI = A g(r) / r: dl/dA = h G + h'(r) <G, A> grad r, h = g / r.
      phiFromUnknowns(lay, w.d, w.pre);
      double h = 1.0, dh = 0.0;
      const double r = lay.squash ? radiusOf(w, w.pre) : 0.0;
      if (r > 0.0 && r < 2.0) {
        const double th = std::tanh(r / e), g = e * th, dg = 1.0 - th * th;
        h = g / r;
        dh = (dg * r - g) / (r * r);
      }
      double inner = 0.0;
      for (int j = 1; j <= M; ++j)
        for (int i = 1; i <= M; ++i) inner += w.gPhi(i, j) * w.pre(i, j);
      if (dh != 0.0) radiusGradient(w, w.pre, w.gA);
      for (int j = 1; j <= M; ++j)
        for (int i = 1; i <= M; ++i)
          w.gd[(j - 1) * M + i - 1] =
              h * w.gPhi(i, j) + (dh != 0.0 ? dh * inner * w.gA(i, j) : 0.0);
    }
    for (int j = 1; j <= lay.np; ++j) {
      double sum = 0.0;
      for (int i = 1; i <= lay.nu; ++i) sum += lay.N(i, j) * w.gd[i - 1];
      grad[j - 1] = -sum;
    }
  }
  if (lay.nd == 0) return;
  // DELTA = (U'U + kMlSingularDelta t / M I) / (c t), t = trace U'U, c = 1 +
  // kMlSingularDelta: loglik does not change with the scale of DELTA, so its
  // derivative in U'U is E + kMlSingularDelta / M trace(E) I with E =
  // gDelta / (c t); the pin (log c t)^2 adds 2 log(c t) / t I.
  const double c = 1.0 + kMlSingularDelta, t = trace / c, pin = std::log(trace);
  double traceE = 0.0;
  for (int i = 1; i <= M; ++i) traceE += w.gDelta(i, i) / trace;
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) {
      double v = -w.gDelta(i, j) / trace;
      if (i == j) v += -kMlSingularDelta / M * traceE + 2.0 * pin / t;
      w.gA(i, j) = v;  // H: the derivative of the value in U'U
    }
  const double* f = x + lay.np;
  double* gf = grad + lay.np;
  if (lay.diagonalDelta) {
    for (int i = 1; i <= M; ++i) gf[i - 1] = 2.0 * f[i - 1] * w.gA(i, i);
    return;
  }
  // d/dU = 2 U H, U(a,b) at (b-1)b/2 + a - 1 for a <= b.
  for (int b = 1; b <= M; ++b)
    for (int a2 = 1; a2 <= b; ++a2) {
      double sum = 0.0;
      for (int l = a2; l <= M; ++l) sum += f[(l - 1) * l / 2 + a2 - 1] * w.gA(l, b);
      gf[(b - 1) * b / 2 + a2 - 1] = 2.0 * sum;
    }
}

// The objective of the local searches: the value and, when grad is not
// null, its gradient.
double searchObjective(const double* x, double* grad, void* context) {
  Work& w = *static_cast<Work*>(context);
  if (grad == nullptr) return searchValue(x, context);
  const int dim = w.lay.dim();
  ++w.evaluations;
  double trace = 0.0;
  if (!pointAt(w, x, trace)) {
    std::fill_n(grad, dim, 0.0);
    return kRejected;
  }
  LikelihoodTerms terms;
  // chainGradient reads only the diagonals of a diagonal PHI and DELTA.
  const Layout& lay = w.lay;
  const bool diagonalOnly =
      (lay.leadingOnly || lay.diagonalPhi || lay.nu == 0) && (lay.diagonalDelta || lay.nd == 0);
  const bool scored = profileScore(*w.data, w.phi, w.delta, false, w.gPhi, w.gDelta, w.profile,
                                   &terms, diagonalOnly);
  const double value = valueOf(w, terms, trace);
  if (!(value < kRejected)) {
    std::fill_n(grad, dim, 0.0);
    return value;
  }
  // Exact rows: the gradient by differences. Where the guard acts, the
  // gradient is the likelihood's alone: the value there exceeds what the
  // gradient promises, so a line search backs off and ends the quasi-Newton
  // round (a polish goes on derivative free), at the cost of one evaluation
  // rather than 2 dim.
  if (!scored) {
    const bool guarded = w.guarded;
    differencedGradient(w, x, grad);
    w.guarded = guarded;
    return value;
  }
  chainGradient(w, x, trace, grad);
  return value;
}

// The starts: 1 the last pass's PHI and DELTA, 2 PHI = 0 with that DELTA,
// 3 PHI = 0 and DELTA = I, 4 half the last PHI with its DELTA, then
// kMlRandomStarts draws of a fixed seed: a stationary PHI of the estimated
// form (spectral radius uniform up to 0.9 EVLTOL) and a DELTA with the last
// one's trace, so that the runs of a group are reproducible.
constexpr int kFixedStarts = 4;
constexpr int kPolished = kMlPolished;
// The screening ends, after kMinimumStarts, once kAgreeing starts have loose
// maxima within kAgree of the best.
constexpr int kMinimumStarts = 5;
constexpr int kAgreeing = 3;
constexpr double kAgree = 1.0E-2;

// The factor coordinate k of x with the sign of its row's diagonal: a row
// of U and its negative give the same DELTA = U'U.
double factorCoordinate(const Layout& lay, const double* x, int k) {
  const double* f = x + lay.np;
  if (lay.diagonalDelta) return std::fabs(f[k]);
  int row = 1, column = 1;  // U(row, column) at (column - 1) column / 2 + row - 1
  while (column * (column + 1) / 2 <= k) ++column;
  row = k - (column - 1) * column / 2 + 1;
  return f[(row - 1) * row / 2 + row - 1] < 0.0 ? -f[k] : f[k];
}

// Two screened points in the same basin: loose maxima within kAgree and
// every coordinate within 0.05 (the factor of DELTA up to the signs of its
// rows); the polish of the second is then skipped.
bool sameBasin(const Layout& lay, const double* best, const double* other, double bestValue,
               double value) {
  if (!(std::fabs(value - bestValue) <= kAgree)) return false;
  for (int i = 0; i < lay.np; ++i)
    if (!(std::fabs(other[i] - best[i]) <= 0.05)) return false;
  for (int k = 0; k < lay.nd; ++k)
    if (!(std::fabs(factorCoordinate(lay, other, k) - factorCoordinate(lay, best, k)) <= 0.05))
      return false;
  return true;
}

// The ends of the starts screened so far, which a later start may join.
struct ScreenedEnds {
  const Layout* lay = nullptr;
  const double* ends = nullptr;   // count x dim
  const double* loose = nullptr;  // their loose maxima
  const int* joined = nullptr;    // of each: 1 when it ended by joining another
  int count = 0;
  int met = -1;  // out: the end the start being screened joined
};

// A start being screened has reached the basin (sameBasin) of the end of
// an earlier start that ran to its loose maximum: it would end there too,
// and ends now.
bool joinsScreened(const double* x, double value, void* context) {
  ScreenedEnds& e = *static_cast<ScreenedEnds*>(context);
  const int dim = e.lay->dim();
  for (int k = 0; k < e.count; ++k)
    if (!e.joined[k] && sameBasin(*e.lay, e.ends + k * dim, x, -e.loose[k], value)) {
      e.met = k;
      return true;
    }
  return false;
}
constexpr unsigned kStartSeed = 20261;

double uniform(std::mt19937& g) { return (static_cast<double>(g()) + 0.5) / 4294967296.0; }

double gaussian(std::mt19937& g) {
  const double u = uniform(g), v = uniform(g);
  return std::sqrt(-2.0 * std::log(u)) * std::cos(kTwoPi * v);
}

void makeStart(Work& w, int start, Mat lastPhi, Mat lastDelta, std::mt19937& draws, Mat phi,
               Mat delta) {
  const Layout& lay = w.lay;
  const int M = lay.M;
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) {
      phi(i, j) = start == 1 ? lastPhi(i, j) : start == 4 ? 0.5 * lastPhi(i, j) : 0.0;
      delta(i, j) = start == 3 ? (i == j ? 1.0 : 0.0) : lastDelta(i, j);
    }
  if (start <= kFixedStarts) return;
  double trace = 0.0;
  for (int i = 1; i <= M; ++i) trace += std::max(lastDelta(i, i), 0.0);
  if (!(trace > 0.0)) trace = M;
  // PHI.
  const double top = 0.9 * lay.EVLTOL;
  if (lay.leadingOnly) {
    if (lay.nu > 0) phi(1, 1) = top * (2.0 * uniform(draws) - 1.0);
  } else if (lay.nu > 0 && lay.diagonalPhi) {
    for (int i = 1; i <= M; ++i) phi(i, i) = top * (2.0 * uniform(draws) - 1.0);
  } else if (lay.nu > 0) {
    for (int j = 1; j <= M; ++j)
      for (int i = 1; i <= M; ++i) w.phi(i, j) = gaussian(draws);
    const double radius = spectralRadius(w);
    const double scale = radius > 0.0 && radius < 2.0 ? top * uniform(draws) / radius : 0.0;
    for (int j = 1; j <= M; ++j)
      for (int i = 1; i <= M; ++i) phi(i, j) = scale * w.phi(i, j);
  }
  // DELTA: B B' + I / 10 (its diagonal alone under DDIAG), to the trace.
  if (lay.leadingOnly) return;
  double sum = 0.0;
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) w.phi(i, j) = gaussian(draws);
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) {
      double v = i == j ? 0.1 : 0.0;
      if (!lay.diagonalDelta || i == j)
        for (int l = 1; l <= M; ++l) v += w.phi(i, l) * w.phi(j, l);
      delta(i, j) = v;
      if (i == j) sum += v;
    }
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) delta(i, j) *= trace / sum;
}

}  // namespace
namespace {

// The arrays of the whole step, carved once.
struct StepArrays {
  Work w;
  double *x, *best, *d0, *sv, *se, *svWork;
  Mat N, cu, cv;     // nu x nu each: the restriction null space
  Mat q;             // M x M
  double *z, *step;  // np + nq
  Mat h, chol, cov;  // (np + nq) square
  Mat piCopy;        // PI restriction rows, for their rank
  Mat piU, piV;
  int* keep;         // np + nq: the coordinates that get standard errors
  int* pos;          // np + nq
  double* screened;  // kPolished x (np + nd): the best screened points
  double* loose;     // kMlStarts: the loose maxima of the starts screened
  double* ends;      // kMlStarts x (np + nd): their points
  int* joined;       // of each: 1 when it ended by joining an earlier one
  int* independent;  // of each: 1 for a start other than an earlier pass's
  double *gp, *gm;   // np + nq: scores of the information's differences
};

StepArrays carveStep(Scratch& s, const GroupDims& d, int piRows, int phiRows) {
  const int M = d.M, n = d.KP();
  const int nu = M * M, nq = M * (M + 1) / 2, dim = nu + nq;
  StepArrays a;
  a.w.phi = s.mat(M, M);
  a.w.delta = s.mat(M, M);
  a.w.eigA = s.mat(M, M);
  a.w.eigZ = s.mat(M, M);
  a.w.d = s.doubles(nu);
  a.w.gPhi = s.mat(M, M);
  a.w.gDelta = s.mat(M, M);
  a.w.gA = s.mat(M, M);
  a.w.pre = s.mat(M, M);
  a.w.gd = s.doubles(nu);
  a.w.wr = s.doubles(M);
  a.w.wi = s.doubles(M);
  a.x = s.doubles(dim);
  a.best = s.doubles(dim);
  a.d0 = s.doubles(nu);
  const int rows = std::max(phiRows, 1);
  a.sv = s.doubles(rows + piRows + nu + n + 1);
  a.se = s.doubles(nu + n + 1);
  a.svWork = s.doubles(rows + piRows + nu + n + 1);
  a.cu = s.mat(rows, nu);
  a.cv = s.mat(nu, nu);
  a.N = s.mat(nu, nu);
  a.q = s.mat(M, M);
  a.z = s.doubles(dim);
  a.step = s.doubles(dim);
  a.h = s.mat(dim, dim);
  a.chol = s.mat(dim, dim);
  a.cov = s.mat(dim, dim);
  a.piCopy = s.mat(piRows, n);
  a.piU = s.mat(piRows, std::max(std::min(piRows, n), 1));
  a.piV = s.mat(n, n);
  a.keep = s.ints(dim);
  a.pos = s.ints(dim);
  a.screened = s.doubles(kPolished * dim);
  a.loose = s.doubles(kMlStarts + kMlEarlierStarts);
  a.ends = s.doubles((kMlStarts + kMlEarlierStarts) * dim);
  a.joined = s.ints(kMlStarts + kMlEarlierStarts);
  a.independent = s.ints(kMlStarts + kMlEarlierStarts);
  a.gp = s.doubles(dim);
  a.gm = s.doubles(dim);
  return a;
}

// The element of PHI or SIGMA**2 DELTA of coordinate k (0-based) of the
// information, into result.indefinite*.
void nameCoordinate(const Layout& lay, int k, MlResult& result) {
  if (k < 0) return;
  const int M = lay.M;
  if (k >= lay.np) {
    result.indefiniteMatrix = 3;
    qElement(lay, k - lay.np, result.indefiniteRow, result.indefiniteColumn);
  } else if (lay.squash || lay.np == lay.nu) {
    result.indefiniteMatrix = 1;
    if (lay.leadingOnly) {
      result.indefiniteRow = result.indefiniteColumn = 1;
    } else if (lay.diagonalPhi) {
      result.indefiniteRow = result.indefiniteColumn = k + 1;
    } else {
      result.indefiniteRow = k % M + 1;
      result.indefiniteColumn = k / M + 1;
    }
  } else {
    result.indefiniteMatrix = 2;  // a coordinate of the restriction rows' null space
    result.indefiniteRow = k + 1;
  }
}

// The boundaries of the maximum at w.phi and w.delta (MlResult).
void findBoundaries(Work& w, StepArrays& a, const LikelihoodTerms& terms, MlResult& result) {
  const Layout& lay = w.lay;
  const int M = lay.M;
  result.collapse = terms.collapse;
  result.collapsedLoglik = w.collapsedBest;
  result.degenerate = w.collapsedBest > result.loglik || terms.collapse < kMlCollapse;
  if (lay.nu > 0) {
    result.phiRadius = spectralRadius(w);
    result.phiAtBound = result.phiRadius >= (1.0 - kMlPhiBound) * lay.EVLTOL;
  }
  if (lay.leadingOnly || M < 2) return;
  // The eigenvalues of DELTA (ascending), SIGMA**2 DELTA's up to the scale.
  double* d = a.sv;
  double* e = a.se;
  int ierr = 0;
  TRED2(w.delta.ld, M, w.delta.p, d, e, a.q.p);  // a.q: M x M, the same ld
  TQL2(a.q.ld, M, d, e, a.q.p, ierr);
  if (ierr != 0 || !(d[M - 1] > 0.0)) {
    result.deltaSingular = true;
    result.deltaRatio = 0.0;
    return;
  }
  // The floor of deltaAt is kMlSingularDelta of the mean eigenvalue: at
  // most twice it counts as singular.
  result.deltaRatio = std::max(d[0], 0.0) / d[M - 1];
  double mean = 0.0;
  for (int i = 0; i < M; ++i) mean += d[i] / M;
  result.deltaSingular = d[0] <= 2.0 * kMlSingularDelta * mean;
}

// Coordinate k (0-based) of the information lies on the boundary of the
// maximum (findBoundaries): PHI at the bound (under a diagonal PHI, the
// element at it; otherwise all of PHI), SIGMA**2 DELTA singular (under a
// diagonal DELTA, the variance at zero; otherwise all of DELTA).
bool onBoundary(Work& w, const MlResult& result, int k) {
  const Layout& lay = w.lay;
  const int M = lay.M;
  if (k < lay.np) {
    if (!result.phiAtBound) return false;
    if (!lay.box) return true;
    const int i = lay.leadingOnly ? 1 : k + 1;
    return std::fabs(w.phi(i, i)) >= (1.0 - kMlPhiBound) * lay.EVLTOL;
  }
  if (!result.deltaSingular) return false;
  if (!lay.diagonalDelta) return true;
  int i = 0, j = 0;
  qElement(lay, k - lay.np, i, j);
  double mean = 0.0;
  for (int l = 1; l <= M; ++l) mean += w.delta(l, l) / M;
  return w.delta(i, i) <= 2.0 * kMlSingularDelta * mean;
}

}  // namespace

void estimateMaxLikelihood(const MlData& data, const MlForm& form, const RestrictionRows& phiRows,
                           Mat lastPhi, Mat lastDelta, MlResult& result, Scratch s,
                           const MlEarlierPasses& earlier) {
  const int M = lastPhi.rows, n = data.xz.cols;
  GroupDims dims;
  dims.NUMT = data.xz.rows;
  dims.M = M;
  dims.K = n;
  dims.P = 1;
  StepArrays a = carveStep(s, dims, data.pi.SPIROW, phiRows.coef.rows);
  Work& w = a.w;
  w.data = &data;
  Layout& lay = w.lay;
  lay.M = M;
  lay.diagonalPhi = form.diagonalPhi;
  lay.diagonalDelta = form.diagonalDelta;
  lay.leadingOnly = form.leadingOnly;
  lay.EVLTOL = form.EVLTOL;
  lay.nu = form.zeroPhi ? 0 : form.leadingOnly ? 1 : form.diagonalPhi ? M : M * M;
  lay.nq = form.leadingOnly ? 1 : form.diagonalDelta ? M : M * (M + 1) / 2;
  lay.nd = form.leadingOnly ? 0 : lay.nq;
  lay.d0 = a.d0;
  std::fill_n(lay.d0, std::max(lay.nu, 1), 0.0);
  // The restriction rows on PHI: d0 their minimum-norm solution, N the null
  // space of their matrix.
  const int rows = lay.nu > 0 ? phiRows.coef.rows : 0;
  int rank = 0;
  if (rows > 0) {
    Mat c{a.cu.p, a.cu.ld, rows, lay.nu};
    for (int j = 1; j <= lay.nu; ++j)
      for (int i = 1; i <= rows; ++i) c(i, j) = phiRows.coef(i, j);
    Mat v{a.cv.p, a.cv.ld, lay.nu, lay.nu};
    Scratch t = s;  // the left vectors, before the callees' scratch is used
    Mat uu = t.mat(rows, std::min(rows, lay.nu));
    rank = svdRank(c, a.sv, a.se, uu, v, a.svWork);
    for (int l = 1; l <= rank; ++l) {
      const double coef = DDOT(rows, uu.col(l), 1, phiRows.rhs, 1) / a.sv[l - 1];
      DAXPY(lay.nu, coef, v.col(l), 1, lay.d0, 1);
    }
    lay.np = lay.nu - rank;
    lay.N = Mat{a.N.p, a.N.ld, lay.nu, lay.np};
    for (int j = 1; j <= lay.np; ++j) std::copy_n(v.col(rank + j), lay.nu, lay.N.col(j));
  } else {
    lay.np = lay.nu;
    lay.squash = lay.nu > 0;
    lay.box = lay.squash && (lay.leadingOnly || lay.diagonalPhi);
    lay.N = Mat{a.N.p, a.N.ld, lay.nu, lay.nu};
    for (int j = 1; j <= lay.nu; ++j)
      for (int i = 1; i <= lay.nu; ++i) lay.N(i, j) = i == j ? 1.0 : 0.0;
  }
  w.eig = s;
  w.profile = s;

  {
    MlResult fresh;
    fresh.phi = result.phi;
    fresh.delta = result.delta;
    fresh.phiCov = result.phiCov;
    fresh.sdeltaCov = result.sdeltaCov;
    fresh.spread = result.spread;
    result = fresh;
  }
  // REML: the group as a panel of one, whose restricted likelihood needs
  // XZ of full column rank on the free PI and more rows than free PI.
  std::unique_ptr<Panel> reml;
  if (form.restricted) {
    const std::vector<PanelGroupData> one{PanelGroupData{data.tlx, data.xz, data.y, data.pi}};
    reml = std::make_unique<Panel>(one, M, PanelCriterion::REML, 1);
    if (!reml->ready()) return;
    w.reml = reml.get();
  }
  const int dim = lay.dim();
  LocalSearch search;
  search.objective = searchObjective;
  // The score is that of the profile: the restricted criterion is
  // searched derivative free.
  search.gradient = rows == 0 && !form.restricted;
  search.context = &w;
  search.dim = dim;
  search.bounded = lay.squash;
  if (lay.box) {
    search.boxed = lay.np;
    search.box = kBox * lay.EVLTOL;
  }
  search.rejected = kRejected;
  ScreenedEnds screenedEnds{&lay, a.ends, a.loose, a.joined};
  search.joined = joinsScreened;
  search.joinedContext = &screenedEnds;
  result.algorithm = searchAlgorithm(search);
  // Every start screened to a loose tolerance; the best kPolished of them
  // (by their loose maxima) polished to a tight one.
  // After the last pass's PHI and DELTA, those of the passes before it
  // (the most recent first), then the other starts.
  const int extra = std::min(earlier.count, kMlEarlierStarts);
  const int count = kFixedStarts + kMlRandomStarts + extra;
  double top[kPolished];
  int topStart[kPolished];
  std::fill_n(top, kPolished, kRejected);
  std::fill_n(topStart, kPolished, 0);
  std::mt19937 draws(kStartSeed);
  for (int start = 1; start <= count; ++start) {
    // Enough when kAgreeing starts other than the passes' have reached the
    // best loose maximum (the passes' own starts, near one another, agree
    // too easily).
    if (start > kMinimumStarts + extra) {
      int agreeing = 0;
      for (int k = 0; k < result.starts; ++k)
        if (a.independent[k] && a.loose[k] >= result.screenedHigh - kAgree) ++agreeing;
      if (agreeing >= kAgreeing) break;
    }
    int label = start;
    if (start >= 2 && start <= 1 + extra) {
      const int k = earlier.count - 1 - (start - 2);
      const double* v = earlier.values + 2L * M * M * k;
      for (int j = 1; j <= M; ++j)
        for (int i = 1; i <= M; ++i) {
          a.q(i, j) = v[(j - 1) * M + i - 1];
          a.h(i, j) = v[M * M + (j - 1) * M + i - 1];
        }
      label = -earlier.pass[k];
    } else {
      label = start > 1 ? start - extra : 1;
      makeStart(w, label, lastPhi, lastDelta, draws, a.q, a.h);
    }
    if (!startAt(w, a.q, Mat{a.h.p, a.h.ld, M, M}, a.x)) continue;
    double value = kRejected;
    screenedEnds.met = -1;
    localSearch(search, a.x, value);
    if (!(value < kRejected)) continue;
    // A start that joined an earlier one's end has that loose maximum (or
    // its own where higher), and ranks after it on a tie.
    const int met = screenedEnds.met;
    if (met >= 0) value = std::min(value, -a.loose[met]);
    const double loglik = -value;
    a.independent[result.starts] = label > 0 ? 1 : 0;
    a.joined[result.starts] = met >= 0 ? 1 : 0;
    std::copy_n(a.x, dim, a.ends + result.starts * dim);
    a.loose[result.starts++] = loglik;
    screenedEnds.count = result.starts;
    result.screenedHigh = result.starts == 1 ? loglik : std::max(result.screenedHigh, loglik);
    result.screenedLow = result.starts == 1 ? loglik : std::min(result.screenedLow, loglik);
    // Into the ranking of the best (ties: the earlier start).
    for (int k = 0; k < kPolished; ++k) {
      if (!(value < top[k])) continue;
      for (int l = kPolished - 1; l > k; --l) {
        top[l] = top[l - 1];
        topStart[l] = topStart[l - 1];
        std::copy_n(a.screened + (l - 1) * dim, dim, a.screened + l * dim);
      }
      top[k] = value;
      topStart[k] = label;
      std::copy_n(a.x, dim, a.screened + k * dim);
      break;
    }
  }
  LocalSearch polish = search;
  polish.polish = true;
  bool bestFellBack = false;
  double bestValue = kRejected;
  for (int k = 0; k < kPolished; ++k) {
    if (!(top[k] < kRejected)) break;
    double* x = a.screened + k * dim;
    if (k > 0 && sameBasin(lay, a.screened, x, top[0], top[k])) continue;
    double value = top[k];
    bool fellBack = false;
    polish.fellBack = &fellBack;
    const int code = localSearch(polish, x, value);
    if (!(value < kRejected)) continue;
    ++result.polished;
    result.polishedLow = result.polished == 1 ? -value : std::min(result.polishedLow, -value);
    // A polish that converged beats one that did not.
    const bool better = value < bestValue && (statusOf(code) == MlStatus::Converged ||
                                              statusOf(result.nloptCode) != MlStatus::Converged);
    if (bestValue >= kRejected || better) {
      bestValue = value;
      result.nloptCode = code;
      result.bestStart = topStart[k];
      result.algorithm = fellBack ? "LBFGS, THEN BOBYQA" : searchAlgorithm(search);
      bestFellBack = fellBack;
      std::copy_n(x, dim, a.best);
    }
  }
  // A polish that had to go on derivative free (a boundary's flat face, as
  // a rule) is polished again from its own point until it stops moving.
  polish.fellBack = nullptr;  // the flag of the last polish above is out of scope
  for (int again = 0; again < 3 && bestFellBack && bestValue < kRejected; ++again) {
    std::copy_n(a.best, dim, a.x);
    double value = bestValue;
    const int code = localSearch(polish, a.x, value);
    if (!(value < bestValue - 1.0E-9) || statusOf(code) != MlStatus::Converged) break;
    bestValue = value;
    result.nloptCode = code;
    std::copy_n(a.x, dim, a.best);
  }
  result.evaluations = w.evaluations;
  if (!(bestValue < kRejected)) {
    result.status = MlStatus::Failed;
    result.degenerate = w.collapsedBest > -kRejected;
    result.collapsedLoglik = w.collapsedBest;
    return;
  }
  result.status = statusOf(result.nloptCode);
  if (result.status != MlStatus::Converged) {
    result.degenerate = w.collapsedBest > -bestValue;
    result.collapsedLoglik = w.collapsedBest;
    return;
  }

  // The estimates: PHI, DELTA / trace, the concentrated SIGMA**2.
  phiAt(w, a.best);
  squashPhi(w);
  const double tr = deltaAt(w, a.best + lay.np);
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) w.delta(i, j) /= tr;
  // The reported value in extended precision (the search's may have lost
  // digits near a singular DELTA).
  const LikelihoodTerms terms =
      profileLikelihood(data, w.phi, w.delta, w.profile, nullptr, Mat{}, nullptr, true);
  result.loglik = terms.concentrated();
  result.observations = terms.noisy;
  double sigma2n = terms.rss / terms.noisy;
  if (w.reml != nullptr) {
    // SIGMA**2 = RSS / (n - q), q the free PI.
    if (!w.reml->evaluate(w.phi, w.delta, result.loglik)) {
      result.status = MlStatus::Failed;
      return;
    }
    sigma2n = w.reml->value(0).sigma2;
  }
  double scale = 0.0;
  for (int i = 1; i <= M; ++i) scale += lastDelta(i, i);
  if (lay.leadingOnly) scale = lastDelta(1, 1);
  if (!(scale > 0.0)) scale = lay.leadingOnly ? 1.0 : M;
  copyMatrix(w.phi, result.phi);
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) result.delta(i, j) = scale * w.delta(i, j);
  result.sigma2 = sigma2n / scale;
  findBoundaries(w, a, terms, result);

  // The free parameters: PHI's coordinates, Q's unknowns (DELTA's less the
  // scale, SIGMA**2 added), PI's elements less the rank of its rows.
  int piRank = 0;
  if (data.pi.SPIROW > 0) {
    Mat c = a.piCopy;
    copyMatrix(Mat{data.pi.R.p, data.pi.R.ld, data.pi.SPIROW, n}, c);
    piRank = svdRank(c, a.sv, a.se, a.piU, a.piV, a.svWork);
  }
  result.parameters = lay.np + lay.nq + n - piRank;
  // The restricted likelihood is that of the n - q error contrasts.
  if (w.reml != nullptr) result.observations -= n - piRank;
  result.aic = -2.0 * result.loglik + 2.0 * result.parameters;
  result.bic = -2.0 * result.loglik + result.parameters * std::log(double(result.observations));

  // The observed information in (u, Q's unknowns).
  const int nh = lay.np + lay.nq;
  double* step = a.step;
  // PHI's coordinates u = N'(d - d0) of the estimate, unmapped.
  unknownsFromPhi(lay, w.phi, w.d);
  for (int j = 1; j <= lay.np; ++j) {
    double sum = 0.0;
    for (int i = 1; i <= lay.nu; ++i) sum += lay.N(i, j) * (w.d[i - 1] - lay.d0[i - 1]);
    a.z[j - 1] = sum;
  }
  for (int k = 0; k < lay.nq; ++k) {
    int i = 0, j = 0;
    qElement(lay, k, i, j);
    const double q = sigma2n * w.delta(i, j);
    a.z[lay.np + k] = q;
    const double size = std::sqrt(std::fabs(w.delta(i, i) * w.delta(j, j))) * sigma2n;
    step[lay.np + k] = 1.0E-4 * (size > 0.0 ? size : sigma2n);
  }
  for (int k = 0; k < lay.np; ++k) step[k] = 1.0E-4 * std::max(std::fabs(a.z[k]), 0.1);
  for (int j = 1; j <= M * M; ++j) {
    std::fill_n(result.phiCov.col(j), M * M, 0.0);
    std::fill_n(result.sdeltaCov.col(j), M * M, 0.0);
  }
  // The coordinates that get standard errors: none where the likelihood is
  // degenerate; on a boundary, those off it (a variance at zero, or PHI at
  // the bound, has no spread that the information describes).
  result.covered = 0;
  if (result.degenerate) return;
  int nk = 0;
  result.onBoundary.assign(2 * M * M, 0);
  for (int k = 0; k < nh; ++k) {
    if (!onBoundary(w, result, k)) {
      a.keep[nk++] = k;
      continue;
    }
    int i = 0, j = 0;
    if (k >= lay.np) {
      qElement(lay, k - lay.np, i, j);
      result.onBoundary[M * M + (j - 1) * M + i - 1] = 1;
      result.onBoundary[M * M + (i - 1) * M + j - 1] = 1;
    } else if (lay.box) {
      i = lay.leadingOnly ? 1 : k + 1;
      result.onBoundary[(i - 1) * M + i - 1] = 1;
    } else {
      for (int e = 0; e < M * M; ++e) result.onBoundary[e] = 1;  // all of PHI
    }
  }
  result.boundaryOmitted = nh - nk;
  if (nk == 0) return;
  Mat info{a.h.p, a.h.ld, nk, nk};
  if (!observedInformation(w, a.z, step, a.keep, nk, info, a.q, a.gp, a.gm)) return;
  // Where the information is not definite, the coordinate in which it
  // first fails (given the ones before it) is set aside and the rest tried
  // again, so that the errors come from the largest block found this way
  // in which it is definite, with the others held at their estimates.
  int* pos = a.pos;  // the kept coordinates' places in info
  for (int i = 0; i < nk; ++i) pos[i] = i;
  int left = nk;
  Mat sub{a.cov.p, a.cov.ld, 0, 0};
  for (bool first = true; left > 0; first = false) {
    sub = Mat{a.cov.p, a.cov.ld, left, left};
    for (int j = 1; j <= left; ++j)
      for (int i = 1; i <= left; ++i) sub(i, j) = info(pos[i - 1] + 1, pos[j - 1] + 1);
    int failed = -1;
    if (invertDefinite(sub, Mat{a.chol.p, a.chol.ld, left, left}, &failed)) break;
    if (first) nameCoordinate(lay, a.keep[pos[failed]], result);
    std::copy(pos + failed + 1, pos + left, pos + failed);
    --left;
  }
  if (left == 0) return;
  for (int i = 0; i < left; ++i) a.keep[i] = a.keep[pos[i]];
  nk = left;
  // The inverse, moved from a.cov (scattered into it below) to info.
  info = Mat{a.h.p, a.h.ld, nk, nk};
  for (int j = 1; j <= nk; ++j)
    for (int i = 1; i <= nk; ++i) info(i, j) = sub(i, j);
  result.covered = nk;
  result.covariance = nk == nh;
  // cov(u, q) of the covered coordinates, scattered to all nh (NaN on the
  // diagonal of the others: no standard error).
  Mat cov{a.cov.p, a.cov.ld, nh, nh};
  for (int j = 1; j <= nh; ++j) std::fill_n(cov.col(j), nh, 0.0);
  for (int k = 1; k <= nh; ++k) cov(k, k) = std::numeric_limits<double>::quiet_NaN();
  for (int j = 1; j <= nk; ++j)
    for (int i = 1; i <= nk; ++i) cov(a.keep[i - 1] + 1, a.keep[j - 1] + 1) = info(i, j);
  // PHI's elements through N: an element takes every u it depends on, so
  // under restriction rows all of them must be covered.
  bool allPhi = true;
  for (int k = 0; k < lay.np; ++k) allPhi = allPhi && !std::isnan(cov(k + 1, k + 1));
  // PHI: cov d = N cov u N', scattered to the elements.
  auto phiElement = [&](int k) {  // 1-based element of PHI for unknown k (0-based)
    if (lay.leadingOnly) return 1;
    if (lay.diagonalPhi) return k * M + k + 1;
    return k + 1;
  };
  for (int k = 0; k < lay.nu; ++k)
    for (int l = 0; l < lay.nu; ++l) {
      double sum = 0.0;
      if (lay.squash) {
        sum = cov(k + 1, l + 1);  // N = I
      } else if (allPhi) {
        for (int i = 1; i <= lay.np; ++i)
          for (int j = 1; j <= lay.np; ++j) sum += lay.N(k + 1, i) * cov(i, j) * lay.N(l + 1, j);
      } else {
        sum = k == l ? std::numeric_limits<double>::quiet_NaN() : 0.0;
      }
      result.phiCov(phiElement(k), phiElement(l)) = sum;
    }
  for (int k = 0; k < lay.nq; ++k)
    for (int l = 0; l < lay.nq; ++l) {
      int i1 = 0, j1 = 0, i2 = 0, j2 = 0;
      qElement(lay, k, i1, j1);
      qElement(lay, l, i2, j2);
      const double v = cov(lay.np + k + 1, lay.np + l + 1);
      for (int e1 : {(j1 - 1) * M + i1, (i1 - 1) * M + j1})
        for (int e2 : {(j2 - 1) * M + i2, (i2 - 1) * M + j2}) result.sdeltaCov(e1, e2) = v;
    }
  // The spread of BETA needs the whole covariance: none from a part.
  if (!result.covariance) return;
  // The factor: invertDefinite left R^-1 in chol, cov (u, q) = R^-1 R^-T;
  // column l of R^-1 maps to PHI through N (d0 dropped: the map is affine)
  // and to DELTA through Q / SIGMA**2.
  if (result.spread.p == nullptr) return;
  for (int l = 1; l <= nh; ++l) {
    double* column = result.spread.col(l);
    for (int i = 0; i < lay.nu; ++i) {
      double v = 0.0;
      for (int j = 1; j <= lay.np; ++j) v += lay.N(i + 1, j) * a.chol(j, l);
      w.d[i] = v;
    }
    phiFromUnknowns(lay, w.d, Mat{column, M, M, M});
    for (int k = 0; k < lay.nq; ++k) a.z[lay.np + k] = a.chol(lay.np + k + 1, l) / result.sigma2;
    qFromUnknowns(lay, a.z + lay.np, Mat{column + M * M, M, M, M});
  }
  result.spreadCount = nh;
}

ScratchNeed estimateMaxLikelihoodNeed(const GroupDims& d, int piRows, int phiRows) {
  Scratch s;
  carveStep(s, d, piRows, phiRows);
  ScratchNeed need = s.used();
  ScratchNeed callees = profileLikelihoodNeed(d, piRows);
  callees.include(profileScoreNeed(d, piRows));
  callees.include(EIGENRneed(d.M));
  const int nu = d.M * d.M;
  callees.include(ScratchNeed{static_cast<long long>(std::max(phiRows, 1)) * nu, 0, 0});
  need.add(callees);
  return need;
}

}  // namespace kova
