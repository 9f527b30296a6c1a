// The search for the common PHI and DELTA, its boundaries and its
// observed information.
#include "likelihood/common_model.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "likelihood/common_delta_rank.h"
#include "linalg/eispack.h"
#include "solvers/definiteness.h"

namespace kova {
namespace {

constexpr double kRejected = 1.0E100;

// The coordinates: PHI's (0, M or M*M), then DELTA's factor (M or
// M(M+1)/2); some held at 0 (fixed), the others searched (active).
struct Coordinates {
  int M = 0, nPhi = 0, nDelta = 0;
  std::vector<int> fixed;  // per coordinate
  std::vector<int> active() const {
    std::vector<int> a;
    for (int i = 0; i < nPhi + nDelta; ++i)
      if (!fixed[i]) a.push_back(i);
    return a;
  }
};

struct Search {
  Panel* panel = nullptr;
  CommonForm form;
  Coordinates co;
  std::vector<int> active;
  std::vector<double> full;  // all coordinates
  std::vector<double> phi, delta, a, wr, wi, z, eigWork;
  std::vector<int> eigInts;
  std::vector<double> root;  // square roots of the panel's component scales
  int evaluations = 0;
  // The score: in PHI and DELTA, in the coordinates of a full PHI before
  // its map, and of the spectral radius there.
  std::vector<double> gPhi, gDelta, pre, gRadius;
  Mat phiMat() { return Mat{phi.data(), co.M, co.M, co.M}; }
  Mat deltaMat() { return Mat{delta.data(), co.M, co.M, co.M}; }
};

double spectralRadius(Search& w, Mat phi) {
  const int M = w.co.M;
  if (w.form.diagonalPhi || w.form.zeroPhi) {
    double r = 0.0;
    for (int i = 1; i <= M; ++i) r = std::max(r, std::fabs(phi(i, i)));
    return r;
  }
  Mat a{w.a.data(), M, M, M};
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) a(i, j) = phi(i, j);
  Scratch s(w.eigWork.data(), static_cast<long long>(w.eigWork.size()), w.eigInts.data(),
            static_cast<long long>(w.eigInts.size()), nullptr, 0);
  int ierr = 0;
  EIGENR(a, w.wr.data(), w.wi.data(), Mat{w.z.data(), M, M, M}, s, ierr);
  if (ierr != 0) return 2.0;
  double r = 0.0;
  for (int i = 0; i < M; ++i) r = std::max(r, std::hypot(w.wr[i], w.wi[i]));
  return r;
}

// PHI from its coordinates, through the map onto the stationary region.
void phiFromCoordinates(Search& w, const double* c) {
  const int M = w.co.M;
  const double e = w.form.EVLTOL;
  Mat phi = w.phiMat();
  std::fill(w.phi.begin(), w.phi.end(), 0.0);
  if (w.form.zeroPhi) return;
  if (w.form.diagonalPhi) {
    for (int j = 1; j <= M; ++j) phi(j, j) = e * std::tanh(c[j - 1] / e);
    return;
  }
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) phi(i, j) = c[(j - 1) * M + i - 1];
  const double r = spectralRadius(w, phi);
  if (!(r > 0.0) || r >= 2.0 * e + 1.0E6) return;
  const double scale = e * std::tanh(r / e) / r;
  for (double& v : w.phi) v *= scale;
}

// DELTA = U'U from the factor's coordinates; returns its trace.
double deltaFromCoordinates(Search& w, const double* c) {
  const int M = w.co.M;
  Mat d = w.deltaMat();
  std::fill(w.delta.begin(), w.delta.end(), 0.0);
  if (w.form.diagonalDelta) {
    for (int j = 1; j <= M; ++j) d(j, j) = c[j - 1] * c[j - 1] / (w.root[j - 1] * w.root[j - 1]);
  } else {
    // U(i,j), i <= j, at (j-1)j/2 + i - 1.
    for (int b = 1; b <= M; ++b)
      for (int a = 1; a <= M; ++a) {
        double sum = 0.0;
        for (int i = 1; i <= std::min(a, b); ++i)
          sum += c[(a - 1) * a / 2 + i - 1] * c[(b - 1) * b / 2 + i - 1];
        d(a, b) = sum / (w.root[a - 1] * w.root[b - 1]);
      }
  }
  double tr = 0.0;
  for (int j = 1; j <= M; ++j) tr += d(j, j);
  return tr;
}

// 1/2 log det of a symmetric M x M matrix by Cholesky; -infinity when it is
// not positive definite.
double halfLogDet(Mat d) {
  const int M = d.rows;
  std::vector<double> l(static_cast<size_t>(M) * M, 0.0);
  double sum = 0.0;
  for (int j = 0; j < M; ++j) {
    double v = d(j + 1, j + 1);
    for (int k = 0; k < j; ++k) v -= l[k * M + j] * l[k * M + j];
    if (!(v > 0.0)) return -std::numeric_limits<double>::infinity();
    const double root = std::sqrt(v);
    l[j * M + j] = root;
    sum += std::log(root);
    for (int i = j + 1; i < M; ++i) {
      double x = d(i + 1, j + 1);
      for (int k = 0; k < j; ++k) x -= l[k * M + i] * l[k * M + j];
      l[j * M + i] = x / root;
    }
  }
  return sum;
}

// loglik + penalty at PHI and DELTA (normalised here, in place).
bool penalisedValue(Panel& panel, const CommonForm& form, Mat phi, Mat delta, double& value,
                    double* penaltyOut) {
  const int M = delta.rows;
  double tr = 0.0;
  for (int j = 1; j <= M; ++j) tr += delta(j, j);
  if (!(tr > 0.0) || !std::isfinite(tr)) return false;
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) delta(i, j) *= M / tr;
  double penalty = 0.0;
  if (form.penalty && !form.diagonalDelta) {
    penalty = halfLogDet(delta);
    if (!std::isfinite(penalty)) return false;
  }
  double loglik = 0.0;
  if (!panel.evaluate(phi, delta, loglik)) return false;
  value = loglik + penalty;
  if (penaltyOut != nullptr) *penaltyOut = penalty;
  return std::isfinite(value);
}

double searchScore(Search& w, const double* x, double* gradient);

double searchValue(const double* x, double* gradient, void* context) {
  Search& w = *static_cast<Search*>(context);
  if (gradient != nullptr) return searchScore(w, x, gradient);
  ++w.evaluations;
  for (size_t i = 0; i < w.active.size(); ++i) w.full[w.active[i]] = x[i];
  phiFromCoordinates(w, w.full.data());
  const double radius = spectralRadius(w, w.phiMat());
  if (!(radius < w.form.EVLTOL)) return kRejected * (1.0 + std::min(radius, 1.0E6));
  const double tr = deltaFromCoordinates(w, w.full.data() + w.co.nPhi);
  double value = 0.0;
  if (!penalisedValue(*w.panel, w.form, w.phiMat(), w.deltaMat(), value, nullptr)) return kRejected;
  const double pin = std::log(tr / w.co.M);
  return -value + pin * pin;
}

// The inverse of the symmetric positive definite M x M d by Cholesky into
// inv (M*M, column-major); false where d is not positive definite.
bool symmetricInverse(Mat d, std::vector<double>& inv) {
  const int M = d.rows;
  std::vector<double> l(static_cast<size_t>(M) * M, 0.0);
  for (int j = 0; j < M; ++j) {
    double v = d(j + 1, j + 1);
    for (int k = 0; k < j; ++k) v -= l[k * M + j] * l[k * M + j];
    if (!(v > 0.0)) return false;
    l[j * M + j] = std::sqrt(v);
    for (int i = j + 1; i < M; ++i) {
      double x = d(i + 1, j + 1);
      for (int k = 0; k < j; ++k) x -= l[k * M + i] * l[k * M + j];
      l[j * M + i] = x / l[j * M + j];
    }
  }
  // Column c of the inverse: L L' x = e(c).
  inv.assign(static_cast<size_t>(M) * M, 0.0);
  std::vector<double> y(M);
  for (int c = 0; c < M; ++c) {
    for (int i = 0; i < M; ++i) {
      double v = i == c ? 1.0 : 0.0;
      for (int k = 0; k < i; ++k) v -= l[k * M + i] * y[k];
      y[i] = v / l[i * M + i];
    }
    for (int i = M - 1; i >= 0; --i) {
      double v = y[i];
      for (int k = i + 1; k < M; ++k) v -= l[i * M + k] * inv[c * M + k];
      inv[c * M + i] = v / l[i * M + i];
    }
  }
  return true;
}

// The gradient of the spectral radius of a full PHI's coordinates (w.pre)
// by central differences into w.gRadius.
void radiusGradient(Search& w) {
  const int M = w.co.M;
  Mat a{w.pre.data(), M, M, M};
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) {
      const double a0 = a(i, j), h = 1.0E-7 * std::max(1.0, std::fabs(a0));
      a(i, j) = a0 + h;
      const double up = spectralRadius(w, a);
      a(i, j) = a0 - h;
      const double down = spectralRadius(w, a);
      a(i, j) = a0;
      w.gRadius[(j - 1) * M + i - 1] = (up - down) / (2.0 * h);
    }
}

// The gradient of the objective by central differences of its value, for
// a panel whose score is not at hand.
void differencedGradient(Search& w, const double* x, double* gradient) {
  const int n = static_cast<int>(w.active.size());
  std::vector<double> z(x, x + n);
  for (int i = 0; i < n; ++i) {
    const double h = 1.0E-6 * std::max(1.0, std::fabs(x[i]));
    z[i] = x[i] + h;
    const double up = searchValue(z.data(), nullptr, &w);
    z[i] = x[i] - h;
    const double down = searchValue(z.data(), nullptr, &w);
    z[i] = x[i];
    gradient[i] = up < kRejected && down < kRejected ? (up - down) / (2.0 * h) : 0.0;
  }
}

// The objective and its gradient in the active coordinates: the panel's
// score in PHI and DELTA (normalised to trace M), with the penalty's
// 1/2 DELTA^-1, carried to DELTA before its normalisation (the value does
// not change with DELTA's scale: dV/dD = (M / tr)(G - <G, DELTA> / M I)),
// the pin's 2 log(tr / M) / tr I added, then through the factor U and the
// map of PHI.
double searchScore(Search& w, const double* x, double* gradient) {
  const int n = static_cast<int>(w.active.size()), M = w.co.M;
  ++w.evaluations;
  for (int i = 0; i < n; ++i) w.full[w.active[i]] = x[i];
  std::fill_n(gradient, n, 0.0);
  phiFromCoordinates(w, w.full.data());
  const double radius = spectralRadius(w, w.phiMat());
  if (!(radius < w.form.EVLTOL)) return kRejected * (1.0 + std::min(radius, 1.0E6));
  const double tr = deltaFromCoordinates(w, w.full.data() + w.co.nPhi);
  if (!(tr > 0.0) || !std::isfinite(tr)) return kRejected;
  Mat delta = w.deltaMat();
  for (double& v : w.delta) v *= M / tr;
  double penalty = 0.0;
  const bool penalised = w.form.penalty && !w.form.diagonalDelta;
  std::vector<double> inverse;
  if (penalised) {
    penalty = halfLogDet(delta);
    if (!std::isfinite(penalty) || !symmetricInverse(delta, inverse)) return kRejected;
  }
  double loglik = 0.0;
  bool scored = false;
  Mat gPhi{w.gPhi.data(), M, M, M}, gDelta{w.gDelta.data(), M, M, M};
  const bool diagonal = (w.form.zeroPhi || w.form.diagonalPhi) && w.form.diagonalDelta;
  if (!w.panel->evaluateScore(w.phiMat(), delta, loglik, gPhi, gDelta, scored, diagonal))
    return kRejected;
  const double value = loglik + penalty;
  if (!std::isfinite(value)) return kRejected;
  const double pin = std::log(tr / M);
  const double objective = -value + pin * pin;
  if (!scored) {
    differencedGradient(w, x, gradient);
    return objective;
  }
  if (penalised)
    for (size_t k = 0; k < w.gDelta.size(); ++k) w.gDelta[k] += 0.5 * inverse[k];
  // H: the objective's derivative in DELTA before the normalisation.
  double inner = 0.0;
  for (size_t k = 0; k < w.gDelta.size(); ++k) inner += w.gDelta[k] * w.delta[k];
  std::vector<double> H(static_cast<size_t>(M) * M);
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) {
      double v = -(M / tr) * (gDelta(i, j) - (i == j ? inner / M : 0.0));
      if (i == j) v += 2.0 * pin / tr;
      H[(j - 1) * M + i - 1] = v / (w.root[i - 1] * w.root[j - 1]);
    }
  std::vector<double> g(static_cast<size_t>(w.co.nPhi + w.co.nDelta), 0.0);
  const double* f = w.full.data() + w.co.nPhi;
  double* gf = g.data() + w.co.nPhi;
  if (w.form.diagonalDelta) {
    for (int j = 1; j <= M; ++j) gf[j - 1] = 2.0 * f[j - 1] * H[(j - 1) * M + j - 1];
  } else {
    // d/dU = 2 U H, U(a,b) at (b-1)b/2 + a - 1 for a <= b.
    for (int b = 1; b <= M; ++b)
      for (int a = 1; a <= b; ++a) {
        double sum = 0.0;
        for (int l = a; l <= M; ++l) sum += f[(l - 1) * l / 2 + a - 1] * H[(b - 1) * M + l - 1];
        gf[(b - 1) * b / 2 + a - 1] = 2.0 * sum;
      }
  }
  const double e = w.form.EVLTOL;
  if (!w.form.zeroPhi && w.form.diagonalPhi) {
    for (int j = 1; j <= M; ++j) {
      const double th = std::tanh(w.full[j - 1] / e);
      g[j - 1] = -gPhi(j, j) * (1.0 - th * th);
    }
  } else if (!w.form.zeroPhi) {
    // PHI = h(r) A, h = e tanh(r / e) / r: dV/dA = h G + h'(r) <G, A> grad r.
    std::copy_n(w.full.data(), M * M, w.pre.data());
    Mat a{w.pre.data(), M, M, M};
    const double r = spectralRadius(w, a);
    double h = 1.0, dh = 0.0;
    if (r > 0.0 && r < 2.0 * e + 1.0E6) {
      const double th = std::tanh(r / e), gr = e * th;
      h = gr / r;
      dh = ((1.0 - th * th) * r - gr) / (r * r);
    }
    double along = 0.0;
    for (int k = 0; k < M * M; ++k) along += w.gPhi[k] * w.pre[k];
    if (dh != 0.0) radiusGradient(w);
    for (int k = 0; k < M * M; ++k)
      g[k] = -(h * w.gPhi[k] + (dh != 0.0 ? dh * along * w.gRadius[k] : 0.0));
  }
  for (int i = 0; i < n; ++i) gradient[i] = g[w.active[i]];
  return objective;
}

// The coordinates of the start PHI = c I, DELTA = I.
void startCoordinates(const Search& w, double c, std::vector<double>& full) {
  const int M = w.co.M;
  const double e = w.form.EVLTOL;
  std::fill(full.begin(), full.end(), 0.0);
  if (!w.form.zeroPhi) {
    const double u = w.form.diagonalPhi ? e * std::atanh(c / e) : c;
    for (int j = 1; j <= M; ++j) full[w.form.diagonalPhi ? j - 1 : (j - 1) * M + j - 1] = u;
  }
  for (int j = 1; j <= M; ++j)
    full[w.co.nPhi + (w.form.diagonalDelta ? j - 1 : (j - 1) * j / 2 + j - 1)] = 1.0;
  for (int i = 0; i < w.co.nPhi + w.co.nDelta; ++i)
    if (w.co.fixed[i]) full[i] = 0.0;
}

// Runs `ls` (bounded) over the active coordinates of `full`, the others
// held, and leaves its end point in `full`; returns the minimised value.
double searchActive(Search& w, LocalSearch ls, std::vector<double>& full, int& code) {
  w.active = w.co.active();
  std::vector<double> x;
  for (int i : w.active) x.push_back(full[i]);
  w.full = full;
  ls.dim = static_cast<int>(x.size());
  ls.bounded = true;
  ls.rejected = kRejected;
  double value = 0.0;
  code = localSearch(ls, x.data(), value);
  for (size_t i = 0; i < w.active.size(); ++i) full[w.active[i]] = x[i];
  return value;
}

// A local search over the active coordinates from `full`, quasi-Newton on
// the panel's score (a derivative-free round after a polish whose first
// round fails); returns the value (minimised) and leaves the point in full.
double polish(Search& w, std::vector<double>& full, bool tight, int& code) {
  LocalSearch ls;
  ls.objective = searchValue;
  ls.context = &w;
  ls.gradient = tight;
  ls.firstRoundStands = true;
  ls.polish = tight;
  return searchActive(w, ls, full, code);
}

// Whether the loose maximum `screened` lies within kCommonSameBasin of the
// polished point `best`: PHI's coordinates as they are, DELTA's factor
// scaled to unit mean square (its scale is the flat direction the pin holds
// only loosely).
bool sameBasin(const Coordinates& co, const std::vector<double>& screened,
               const std::vector<double>& best) {
  for (int i = 0; i < co.nPhi; ++i)
    if (!(std::fabs(screened[i] - best[i]) <= kCommonSameBasin)) return false;
  auto rms = [&](const std::vector<double>& c) {
    double sum = 0.0;
    for (int i = co.nPhi; i < co.nPhi + co.nDelta; ++i) sum += c[i] * c[i];
    return std::sqrt(sum / std::max(co.nDelta, 1));
  };
  const double a = rms(screened), b = rms(best);
  if (!(a > 0.0) || !(b > 0.0)) return false;
  for (int i = co.nPhi; i < co.nPhi + co.nDelta; ++i)
    if (!(std::fabs(screened[i] / a - best[i] / b) <= kCommonSameBasin)) return false;
  return true;
}

// The normalised DELTA and PHI at `full` into the result.
void keepEstimates(Search& w, const std::vector<double>& full, CommonResult& r) {
  phiFromCoordinates(w, full.data());
  const double tr = deltaFromCoordinates(w, full.data() + w.co.nPhi);
  r.phi = w.phi;
  r.delta = w.delta;
  for (double& v : r.delta) v *= w.co.M / tr;
}

// Diagonal DELTA elements near 0 fixed at 0 where the likelihood allows:
// all candidates at once first (one polish), else the smallest alone, in
// rounds until none is left.
void fixZeroDeltas(Search& w, std::vector<double>& full, double& best, CommonResult& r) {
  if (!w.form.diagonalDelta) return;
  const int M = w.co.M;
  for (int round = 0; round < M; ++round) {
    keepEstimates(w, full, r);
    double total = 0.0;
    for (int j = 1; j <= M; ++j)
      total += r.delta[(j - 1) * M + j - 1] * w.root[j - 1] * w.root[j - 1];
    std::vector<std::pair<double, int>> candidates;
    int freeDeltas = 0;
    for (int j = 1; j <= M; ++j) {
      if (w.co.fixed[w.co.nPhi + j - 1]) continue;
      ++freeDeltas;
      const double share = r.delta[(j - 1) * M + j - 1] * w.root[j - 1] * w.root[j - 1] / total;
      if (share < kCommonZeroDelta) candidates.emplace_back(share, j);
    }
    if (candidates.empty()) return;
    std::sort(candidates.begin(), candidates.end());
    // At least one DELTA element stays free.
    if (static_cast<int>(candidates.size()) >= freeDeltas) candidates.resize(freeDeltas - 1);
    if (candidates.empty()) return;
    bool accepted = false;
    for (size_t take : {candidates.size(), size_t{1}}) {
      if (accepted) break;
      Coordinates saved = w.co;
      std::vector<double> trial = full;
      for (size_t k = 0; k < take; ++k) {
        const int j = candidates[k].second;
        w.co.fixed[w.co.nPhi + j - 1] = 1;
        trial[w.co.nPhi + j - 1] = 0.0;
        if (w.form.diagonalPhi) {
          w.co.fixed[j - 1] = 1;
          trial[j - 1] = 0.0;
        }
      }
      int code = 0;
      const double value = polish(w, trial, true, code);
      if (value <= best + kCommonZeroLoss && value < kRejected) {
        full = trial;
        best = std::min(best, value);
        for (size_t k = 0; k < take; ++k) {
          r.deltaZero[candidates[k].second - 1] = 1;
          if (w.form.diagonalPhi) r.phiNotIdentified[candidates[k].second - 1] = 1;
        }
        accepted = true;
      } else {
        w.co = saved;
      }
      if (take == 1) break;
    }
    if (!accepted) return;
  }
}

// Whether a group met a row without noise at the last evaluation.
bool exactRows(const Search& w) {
  for (int g = 0; g < w.panel->groups(); ++g)
    if (w.panel->value(g).exact) return true;
  return false;
}

// The log-likelihood (no penalty) at the coordinates `full`; exact: a
// group met a row without noise.
bool loglikAt(Search& w, const std::vector<double>& full, double& loglik, bool& exact) {
  const int M = w.co.M;
  phiFromCoordinates(w, full.data());
  if (!(spectralRadius(w, w.phiMat()) < w.form.EVLTOL)) return false;
  const double tr = deltaFromCoordinates(w, full.data() + w.co.nPhi);
  if (!(tr > 0.0) || !std::isfinite(tr)) return false;
  for (double& v : w.delta) v *= M / tr;
  if (!w.panel->evaluate(w.phiMat(), w.deltaMat(), loglik)) return false;
  exact = exactRows(w);
  return std::isfinite(loglik);
}

// The search with DELTA held at rank `rank`: its factor's rows past rank
// fixed at 0, the penalty (when on) on DELTA's nonzero eigenvalues.
struct RankSearch {
  Search* w = nullptr;
  int rank = 0;
};

// loglik + penalty at `full` for DELTA of rank `rank`; the trace of DELTA
// before its normalisation in tr.
bool rankValue(Search& w, int rank, const double* full, double& value, double& penalty,
               double& tr) {
  const int M = w.co.M;
  phiFromCoordinates(w, full);
  if (!(spectralRadius(w, w.phiMat()) < w.form.EVLTOL)) return false;
  tr = deltaFromCoordinates(w, full + w.co.nPhi);
  if (!(tr > 0.0) || !std::isfinite(tr)) return false;
  for (double& v : w.delta) v *= M / tr;
  penalty = 0.0;
  if (w.form.penalty) {
    penalty = halfLogPseudoDet(full + w.co.nPhi, w.root, M, rank);
    if (!std::isfinite(penalty)) return false;
  }
  double loglik = 0.0;
  if (!w.panel->evaluate(w.phiMat(), w.deltaMat(), loglik)) return false;
  value = loglik + penalty;
  return std::isfinite(value);
}

double rankObjective(const double* x, double* /*gradient*/, void* context) {
  RankSearch& s = *static_cast<RankSearch*>(context);
  Search& w = *s.w;
  ++w.evaluations;
  for (size_t i = 0; i < w.active.size(); ++i) w.full[w.active[i]] = x[i];
  phiFromCoordinates(w, w.full.data());
  const double radius = spectralRadius(w, w.phiMat());
  if (!(radius < w.form.EVLTOL)) return kRejected * (1.0 + std::min(radius, 1.0E6));
  double value = 0.0, penalty = 0.0, tr = 0.0;
  if (!rankValue(w, s.rank, w.full.data(), value, penalty, tr)) return kRejected;
  const double pin = std::log(tr / w.co.M);
  return -value + pin * pin;
}

double polishAtRank(Search& w, int rank, std::vector<double>& full, int& code) {
  RankSearch s{&w, rank};
  LocalSearch ls;
  ls.objective = rankObjective;
  ls.context = &s;
  ls.polish = true;
  return searchActive(w, ls, full, code);
}

// The search from `trial` with DELTA's factor rows from `rank` on held at 0
// (left fixed in w.co); a polish stopped by its evaluation limit goes on
// from where it stopped while it still gains.
bool refitAtRank(Search& w, int rank, std::vector<double>& trial, double& value, int& code) {
  constexpr int kRankPolishes = 2;
  const int M = w.co.M, nPhi = w.co.nPhi;
  for (int j = 0; j < M; ++j)
    for (int i = rank; i <= j; ++i) w.co.fixed[nPhi + j * (j + 1) / 2 + i] = 1;
  value = polishAtRank(w, rank, trial, code);
  for (int more = 0; more < kRankPolishes && statusOf(code) == MlStatus::NotConverged; ++more) {
    const double again = polishAtRank(w, rank, trial, code);
    const bool gains = again < value - kCommonZeroLoss;
    value = std::min(value, again);
    if (!gains) break;
  }
  return value < kRejected;
}

// The factor coordinates `full` with the eigenvalues of W below the cut
// of d scaled by `scale`, at rank `rank`, into `out`.
void scaledSmallEigenvalues(const DeltaRank& d, const std::vector<double>& full, int nPhi, int M,
                            int rank, double scale, std::vector<double>& out) {
  DeltaRank moved = d;
  for (int k = 0; k < M - d.rank; ++k)
    moved.eigenvalues[k] = scale * std::max(d.eigenvalues[k], 0.0);
  out = full;
  rankFactor(moved, M, rank, out.data() + nPhi);
}

// Whether the value searched (at rank `current`) falls by more than
// kCommonZeroLoss as the small eigenvalues shrink by `shrink`, no group
// meeting a row without noise there.
bool fallsWhenShrunk(Search& w, const DeltaRank& d, const std::vector<double>& full, int current,
                     double shrink) {
  std::vector<double> inside;
  scaledSmallEigenvalues(d, full, w.co.nPhi, w.co.M, current, shrink, inside);
  double lastValue = 0.0, atShrunk = 0.0, penalty = 0.0, tr = 0.0;
  return rankValue(w, current, full.data(), lastValue, penalty, tr) &&
         rankValue(w, current, inside.data(), atShrunk, penalty, tr) && !exactRows(w) &&
         atShrunk < lastValue - kCommonZeroLoss;
}

// Whether the last point `full` of a penalised search with a full DELTA is
// a maximum along the small eigenvalues of W (those of d below its cut):
// as they shrink by `shrink` the likelihood climbs (towards the spike) and
// the penalty takes more, so the value falls, and as they grow by
// 1 / shrink it does not rise. A likelihood that falls there is the
// recursion losing its digits close to singular, not a maximum.
bool penaltyHoldsSpike(Search& w, const DeltaRank& d, const std::vector<double>& full,
                       double shrink) {
  const int M = w.co.M, nPhi = w.co.nPhi;
  std::vector<double> inward, outward;
  scaledSmallEigenvalues(d, full, nPhi, M, M, shrink, inward);
  scaledSmallEigenvalues(d, full, nPhi, M, M, 1.0 / shrink, outward);
  double last = 0.0, lastPenalty = 0.0, in = 0.0, inPenalty = 0.0, out = 0.0, penalty = 0.0,
         tr = 0.0;
  if (!rankValue(w, M, full.data(), last, lastPenalty, tr) ||
      !rankValue(w, M, inward.data(), in, inPenalty, tr) || exactRows(w) ||
      !rankValue(w, M, outward.data(), out, penalty, tr))
    return false;
  return in < last - kCommonZeroLoss && in - inPenalty >= last - lastPenalty - kCommonZeroLoss &&
         !(out > last + kCommonZeroLoss);
}

// A full DELTA that ends at or near singular.
//   Singular (eigenvalues below kCommonSingularDelta of the largest on the
//   scale of the data): where the value searched falls as those shrink
//   further (by kCommonShrink) the maximum lies inside and stands;
//   otherwise, where the likelihood comes to the lower rank continuously,
//   DELTA is refitted at that rank; where it does not (it grows without
//   bound, or a row loses its noise), there is no maximum.
//   Near singular, without the penalty (eigenvalues below kCommonZeroDelta
//   of the trace, as the diagonal's shares): the search stops short of the
//   boundary, where the likelihood is flat in the factor; refitted at the
//   rank of the others and kept where it loses at most kCommonZeroLoss.
// In rounds while the refit ends at a lower rank again.
void reduceDeltaRank(Search& w, std::vector<double>& full, double& best, int& bestCode,
                     CommonResult& r) {
  if (w.form.diagonalDelta) return;
  constexpr double kCommonShrink = 1.0E-2;
  constexpr double kCommonSpike = 1.0;
  const int M = w.co.M, nPhi = w.co.nPhi;
  for (bool first = true;; first = false) {
    DeltaRank d;
    if (!deltaRankOf(full.data() + nPhi, M, kCommonSingularDelta, d)) return;
    if (first) r.deltaRatio = d.ratio;
    const int current = r.deltaRank > 0 ? r.deltaRank : M;
    const Coordinates saved = w.co;
    std::vector<double> trial = full;
    double value = 0.0;
    int code = 0, rank = d.rank;
    if (d.rank < current) {
      // The log-likelihood at the last point and at its projection on the
      // lower rank: a row without noise there (or no likelihood), or a
      // fall of more than kCommonSpike, is a spike the search ran into.
      rankFactor(d, M, d.rank, trial.data() + nPhi);
      double atLast = 0.0, atProjection = 0.0;
      bool exactLast = false, exact = false;
      const bool valid =
          loglikAt(w, full, atLast, exactLast) && loglikAt(w, trial, atProjection, exact);
      r.projectionLoss = valid ? atLast - atProjection : std::numeric_limits<double>::infinity();
      bool spike = !valid || exact || !(r.projectionLoss <= kCommonSpike);
      // The penalty is minus infinity at the lower rank: however steeply
      // the likelihood alone climbs there, a penalised value that falls on
      // both sides of the last point along the small eigenvalues (as they
      // shrink further and as they grow back) has its maximum inside.
      const bool bounded = w.form.penalty && current == M && valid && !exactLast &&
                           penaltyHoldsSpike(w, d, full, kCommonShrink);
      if (bounded || (!spike && fallsWhenShrunk(w, d, full, current, kCommonShrink))) {
        r.projectionLoss = 0.0;
        return;
      }
      // Still rising towards a lower rank whose value is below: no
      // maximum either.
      if (!spike) spike = r.projectionLoss > kCommonZeroLoss;
      if (spike || !refitAtRank(w, d.rank, trial, value, code)) {
        w.co = saved;
        r.deltaSingular = true;
        return;
      }
    } else {
      if (w.form.penalty) return;
      double sum = 0.0;
      for (double v : d.eigenvalues) sum += std::max(v, 0.0);
      int small = 0;
      while (small < M - 1 && d.eigenvalues[small] < kCommonZeroDelta * sum) ++small;
      rank = M - small;
      if (rank >= current) return;
      rankFactor(d, M, rank, trial.data() + nPhi);
      const bool refitted = refitAtRank(w, rank, trial, value, code);
      if (!refitted || !(value <= best + kCommonZeroLoss)) {
        w.co = saved;
        return;
      }
    }
    full = trial;
    best = value;
    bestCode = code;
    r.deltaRank = rank;
  }
}

// Where DELTA is held at a lower rank: its null space, and the directions
// along which PHI is not identified, PHI's action on them held at 0.
void describeDeltaRank(Search& w, const std::vector<double>& full, CommonResult& r) {
  const int M = w.co.M, k = r.deltaRank;
  if (k == 0) return;
  const double* c = full.data() + w.co.nPhi;
  r.deltaNull = deltaNullSpace(c, w.root, M, k);
  r.phiFlat = w.form.zeroPhi ? std::vector<double>{}
                             : phiFlatDirections(r.phi, c, w.root, M, k, kCommonFlatPhi);
  r.phiFlatCount = static_cast<int>(r.phiFlat.size()) / M;
  if (r.phiFlatCount == 0) return;
  if (w.form.diagonalPhi) {
    // Diagonal PHI: only a component that does not vary leaves its
    // PHI(j,j) free.
    for (int f = 0; f < r.phiFlatCount; ++f)
      for (int j = 0; j < M; ++j) {
        double others = 0.0;
        for (int i = 0; i < M; ++i) others += i == j ? 0.0 : std::fabs(r.phiFlat[f * M + i]);
        if (others <= 1.0E-8 && std::fabs(r.phiFlat[f * M + j]) == 1.0) {
          r.phiNotIdentified[j] = 1;
          r.phi[j * M + j] = 0.0;
        }
      }
    return;
  }
  // PHI := PHI (I - P), P the orthogonal projection on the flat directions.
  std::vector<double> q;  // orthonormal columns
  for (int f = 0; f < r.phiFlatCount; ++f) {
    std::vector<double> v(r.phiFlat.begin() + f * M, r.phiFlat.begin() + (f + 1) * M);
    for (size_t b = 0; b < q.size() / M; ++b) {
      double dot = 0.0;
      for (int i = 0; i < M; ++i) dot += q[b * M + i] * v[i];
      for (int i = 0; i < M; ++i) v[i] -= dot * q[b * M + i];
    }
    double norm = 0.0;
    for (double x : v) norm += x * x;
    norm = std::sqrt(norm);
    if (!(norm > 0.0)) continue;
    for (double x : v) q.push_back(x / norm);
  }
  std::vector<double> phi = r.phi;
  for (size_t b = 0; b < q.size() / M; ++b)
    for (int i = 0; i < M; ++i) {
      double pq = 0.0;
      for (int l = 0; l < M; ++l) pq += r.phi[l * M + i] * q[b * M + l];
      for (int j = 0; j < M; ++j) phi[j * M + i] -= pq * q[b * M + j];
    }
  r.phi = phi;
}

// The elements of the information: PHI's (row, col) and DELTA's (i <= j).
struct Element {
  bool isPhi;
  int i, j;
};

std::vector<Element> informationElements(const Search& w, const CommonResult& r) {
  const int M = w.co.M;
  std::vector<Element> el;
  if (!w.form.zeroPhi) {
    bool anyBound = false;
    for (int v : r.phiAtBound) anyBound = anyBound || v;
    for (int j = 1; j <= M; ++j)
      for (int i = 1; i <= M; ++i) {
        if (w.form.diagonalPhi && i != j) continue;
        if (w.form.diagonalPhi && (r.phiNotIdentified[j - 1] || r.phiAtBound[j - 1])) continue;
        if (!w.form.diagonalPhi && anyBound) continue;
        el.push_back({true, i, j});
      }
  }
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= j; ++i) {
      if (w.form.diagonalDelta && i != j) continue;
      if (w.form.diagonalDelta && r.deltaZero[j - 1]) continue;
      el.push_back({false, i, j});
    }
  return el;
}

// The penalised log-likelihood at the estimates moved along the elements.
bool valueAt(Search& w, const CommonResult& r, const std::vector<Element>& el,
             const std::vector<double>& theta, double& value) {
  const int M = w.co.M;
  w.phi = r.phi;
  w.delta = r.delta;
  Mat phi = w.phiMat(), delta = w.deltaMat();
  for (size_t k = 0; k < el.size(); ++k) {
    const Element& e = el[k];
    if (e.isPhi) {
      phi(e.i, e.j) = theta[k];
    } else {
      delta(e.i, e.j) = theta[k];
      delta(e.j, e.i) = theta[k];
    }
  }
  if (!(spectralRadius(w, phi) < w.form.EVLTOL)) return false;
  (void)M;
  return penalisedValue(*w.panel, w.form, phi, delta, value, nullptr);
}

// Symmetric eigenvalues (ascending) and vectors of the n x n a.
bool symmetricEigen(int n, std::vector<double> a, std::vector<double>& d, std::vector<double>& z) {
  d.assign(n, 0.0);
  z.assign(static_cast<size_t>(n) * n, 0.0);
  std::vector<double> e(n, 0.0);
  TRED2(n, n, a.data(), d.data(), e.data(), z.data());
  int ierr = 0;
  TQL2(n, n, d.data(), e.data(), z.data(), ierr);
  return ierr == 0;
}

void informationAndCovariance(Search& w, CommonResult& r) {
  const int M = w.co.M, M2 = M * M;
  const std::vector<Element> el = informationElements(w, r);
  const int n = static_cast<int>(el.size());
  r.omitted = (w.form.zeroPhi ? 0 : (w.form.diagonalPhi ? M : M2)) +
              (w.form.diagonalDelta ? M : M * (M + 1) / 2) - n;
  if (n < 2) {
    // One DELTA element alone is set by the trace: nothing is left to
    // estimate, and no element has a variance.
    if (n == 1 && !el[0].isPhi) {
      r.covariance = true;
      r.cov.assign(static_cast<size_t>(2 * M2) * 2 * M2, 0.0);
    }
    return;
  }
  std::vector<double> theta(n), h(n);
  for (int k = 0; k < n; ++k) {
    const Element& e = el[k];
    theta[k] = e.isPhi ? r.phi[(e.j - 1) * M + e.i - 1] : r.delta[(e.j - 1) * M + e.i - 1];
    // Steps on each element's own scale: a DELTA element moves by a small
    // fraction of its diagonal's geometric mean (which stays definite).
    h[k] = e.isPhi ? 1.0E-4
                   : 1.0E-3 * std::sqrt(r.delta[(e.i - 1) * M + e.i - 1] *
                                        r.delta[(e.j - 1) * M + e.j - 1]);
    if (!(h[k] > 0.0)) return;
  }
  double f0 = 0.0;
  if (!valueAt(w, r, el, theta, f0)) return;
  std::vector<double> H(static_cast<size_t>(n) * n);
  auto at = [&](int a, double da, int b, double db, double& v) {
    std::vector<double> t = theta;
    t[a] += da;
    t[b] += db;
    return valueAt(w, r, el, t, v);
  };
  for (int a = 0; a < n; ++a) {
    double fp = 0.0, fm = 0.0;
    if (!at(a, h[a], a, 0.0, fp) || !at(a, -h[a], a, 0.0, fm)) return;
    H[a * n + a] = (fp - 2.0 * f0 + fm) / (h[a] * h[a]);
    for (int b = 0; b < a; ++b) {
      double pp = 0.0, pm = 0.0, mp = 0.0, mm = 0.0;
      if (!at(a, h[a], b, h[b], pp) || !at(a, h[a], b, -h[b], pm) || !at(a, -h[a], b, h[b], mp) ||
          !at(a, -h[a], b, -h[b], mm))
        return;
      H[a * n + b] = H[b * n + a] = (pp - pm - mp + mm) / (4.0 * h[a] * h[b]);
    }
  }
  // A basis Z of the plane trace(DELTA) = const: c has 1 on DELTA's
  // diagonal elements; Gram-Schmidt from c / |c| over the unit vectors.
  std::vector<double> c(n, 0.0);
  for (int k = 0; k < n; ++k) c[k] = (!el[k].isPhi && el[k].i == el[k].j) ? 1.0 : 0.0;
  const double cn = std::sqrt(std::accumulate(c.begin(), c.end(), 0.0));
  std::vector<std::vector<double>> basis;
  if (cn > 0.0) {
    for (double& v : c) v /= cn;
    basis.push_back(c);
  }
  std::vector<std::vector<double>> zcols;
  for (int i = 0; i < n && static_cast<int>(basis.size()) < n; ++i) {
    std::vector<double> v(n, 0.0);
    v[i] = 1.0;
    if (appendOrthonormal(basis, v)) zcols.push_back(basis.back());
  }
  const int q = static_cast<int>(zcols.size());
  // J = -Z'HZ.
  std::vector<double> hz(static_cast<size_t>(n) * q), J(static_cast<size_t>(q) * q);
  for (int b = 0; b < q; ++b)
    for (int i = 0; i < n; ++i) {
      double sum = 0.0;
      for (int k = 0; k < n; ++k) sum += H[k * n + i] * zcols[b][k];
      hz[b * n + i] = sum;
    }
  for (int b = 0; b < q; ++b)
    for (int a = 0; a < q; ++a) {
      double sum = 0.0;
      for (int i = 0; i < n; ++i) sum += zcols[a][i] * hz[b * n + i];
      J[b * q + a] = -sum;
    }
  std::vector<double> d, v;
  // Definiteness judged on J scaled to unit diagonal (the elements' units
  // differ by many orders): J = S Js S, J^-1 = S^-1 Js^-1 S^-1.
  std::vector<double> sc(q);
  for (int a = 0; a < q; ++a) {
    if (!(J[a * q + a] > 0.0)) return;
    sc[a] = std::sqrt(J[a * q + a]);
  }
  for (int b = 0; b < q; ++b)
    for (int a = 0; a < q; ++a) J[b * q + a] /= sc[a] * sc[b];
  if (!symmetricEigen(q, J, d, v)) return;
  if (!(d[0] > 1.0E-10 * std::fabs(d[q - 1]))) return;
  // The factor Z V diag(1 / sqrt(d)), element by element into vec PHI and
  // vec DELTA.
  r.spreadCount = q;
  r.spread.assign(static_cast<size_t>(2 * M2) * q, 0.0);
  for (int l = 0; l < q; ++l) {
    std::vector<double> col(n, 0.0);
    for (int k = 0; k < n; ++k) {
      double sum = 0.0;
      for (int b = 0; b < q; ++b) sum += zcols[b][k] * v[l * q + b] / sc[b];
      col[k] = sum / std::sqrt(d[l]);
    }
    double* out = r.spread.data() + static_cast<size_t>(l) * 2 * M2;
    for (int k = 0; k < n; ++k) {
      const Element& e = el[k];
      if (e.isPhi) {
        out[(e.j - 1) * M + e.i - 1] = col[k];
      } else {
        out[M2 + (e.j - 1) * M + e.i - 1] = col[k];
        out[M2 + (e.i - 1) * M + e.j - 1] = col[k];
      }
    }
  }
  r.cov.assign(static_cast<size_t>(2 * M2) * 2 * M2, 0.0);
  for (int l = 0; l < q; ++l) {
    const double* f = r.spread.data() + static_cast<size_t>(l) * 2 * M2;
    for (int b = 0; b < 2 * M2; ++b)
      for (int a = 0; a < 2 * M2; ++a) r.cov[static_cast<size_t>(b) * 2 * M2 + a] += f[a] * f[b];
  }
  r.covariance = true;
}

// Standard errors where DELTA is held at a lower rank: the information of
// the parameters of that fit (PHI's free elements and the free coordinates
// of DELTA's factor) in the plane that leaves out DELTA's scale and the
// directions along which PHI is not identified, carried to the elements of
// PHI and DELTA by the derivatives of the map (the delta method).
void rankInformation(Search& w, const std::vector<double>& full, int rank, CommonResult& r) {
  const int M = w.co.M, M2 = M * M, nPhi = w.co.nPhi;
  std::vector<Element> el;
  for (const Element& e : informationElements(w, r))
    if (e.isPhi) el.push_back(e);
  const int nEl = static_cast<int>(el.size());
  std::vector<int> coords;
  for (int i = nPhi; i < nPhi + w.co.nDelta; ++i)
    if (!w.co.fixed[i]) coords.push_back(i);
  const int n = nEl + static_cast<int>(coords.size());
  const int phiCount = w.form.zeroPhi ? 0 : (w.form.diagonalPhi ? M : M2);
  r.omitted = phiCount - nEl + w.co.nDelta - static_cast<int>(coords.size());
  // U(i,j) of a coordinate (0-based).
  auto position = [&](int k, int& i, int& j) {
    const int c = k - nPhi;
    j = 0;
    while ((j + 1) * (j + 2) / 2 <= c) ++j;
    i = c - j * (j + 1) / 2;
  };
  std::vector<double> theta(n), h(n);
  double scale = 0.0;
  for (int k : coords) scale += full[k] * full[k];
  scale = std::sqrt(scale / M);
  for (int k = 0; k < n; ++k) {
    if (k < nEl) {
      theta[k] = r.phi[(el[k].j - 1) * M + el[k].i - 1];
      h[k] = 1.0E-4;
      continue;
    }
    int i = 0, j = 0;
    position(coords[k - nEl], i, j);
    double column = 0.0;
    for (int l = 0; l <= j; ++l)
      column += full[nPhi + j * (j + 1) / 2 + l] * full[nPhi + j * (j + 1) / 2 + l];
    theta[k] = full[coords[k - nEl]];
    h[k] = 5.0E-4 * (column > 0.0 ? std::sqrt(column) : scale);
  }
  std::vector<double> c = full;
  auto value = [&](const std::vector<double>& t, double& v) {
    w.phi = r.phi;
    for (int k = 0; k < nEl; ++k) w.phiMat()(el[k].i, el[k].j) = t[k];
    if (!(spectralRadius(w, w.phiMat()) < w.form.EVLTOL)) return false;
    for (int k = nEl; k < n; ++k) c[coords[k - nEl]] = t[k];
    const double tr = deltaFromCoordinates(w, c.data() + nPhi);
    if (!(tr > 0.0)) return false;
    for (double& x : w.delta) x *= M / tr;
    double penalty = 0.0;
    if (w.form.penalty) {
      penalty = halfLogPseudoDet(c.data() + nPhi, w.root, M, rank);
      if (!std::isfinite(penalty)) return false;
    }
    double loglik = 0.0;
    if (!w.panel->evaluate(w.phiMat(), w.deltaMat(), loglik)) return false;
    v = loglik + penalty;
    return std::isfinite(v);
  };
  double f0 = 0.0;
  if (!value(theta, f0)) return;
  std::vector<double> H(static_cast<size_t>(n) * n);
  auto at = [&](int a, double da, int b, double db, double& v) {
    std::vector<double> t = theta;
    t[a] += da;
    t[b] += db;
    return value(t, v);
  };
  for (int a = 0; a < n; ++a) {
    double fp = 0.0, fm = 0.0;
    if (!at(a, h[a], a, 0.0, fp) || !at(a, -h[a], a, 0.0, fm)) return;
    H[static_cast<size_t>(a) * n + a] = (fp - 2.0 * f0 + fm) / (h[a] * h[a]);
    for (int b = 0; b < a; ++b) {
      double pp = 0.0, pm = 0.0, mp = 0.0, mm = 0.0;
      if (!at(a, h[a], b, h[b], pp) || !at(a, h[a], b, -h[b], pm) || !at(a, -h[a], b, h[b], mp) ||
          !at(a, -h[a], b, -h[b], mm))
        return;
      H[static_cast<size_t>(a) * n + b] = H[static_cast<size_t>(b) * n + a] =
          (pp - pm - mp + mm) / (4.0 * h[a] * h[b]);
    }
  }
  // Flat: DELTA's scale (the factor along itself) and, under a full PHI,
  // PHI + b w' for the directions w PHI is not identified along.
  std::vector<std::vector<double>> flat(1, std::vector<double>(n, 0.0));
  for (int k = nEl; k < n; ++k) flat[0][k] = theta[k];
  if (!w.form.diagonalPhi && nEl == M2)
    for (int f = 0; f < r.phiFlatCount; ++f)
      for (int i = 1; i <= M; ++i) {
        std::vector<double> d(n, 0.0);
        for (int k = 0; k < nEl; ++k)
          if (el[k].i == i) d[k] = r.phiFlat[f * M + el[k].j - 1];
        flat.push_back(d);
      }
  r.omitted += static_cast<int>(flat.size()) - 1;
  std::vector<double> F;
  int q = 0;
  if (!planeCovarianceFactor(H, n, flat, F, q)) return;
  // d DELTA / d U(i,j): DELTA = M Wd / trace(Wd), Wd(a,b) = (U'U)(a,b) /
  // (root(a) root(b)).
  const double tr = deltaFromCoordinates(w, full.data() + nPhi);
  const std::vector<double> wd = w.delta;
  auto u = [&](int i, int j) { return i <= j ? full[nPhi + j * (j + 1) / 2 + i] : 0.0; };
  r.spreadCount = q;
  r.spread.assign(static_cast<size_t>(2 * M2) * q, 0.0);
  for (int l = 0; l < q; ++l) {
    const double* col = F.data() + static_cast<size_t>(l) * n;
    double* out = r.spread.data() + static_cast<size_t>(l) * 2 * M2;
    for (int k = 0; k < nEl; ++k) out[(el[k].j - 1) * M + el[k].i - 1] = col[k];
    for (int k = nEl; k < n; ++k) {
      int i = 0, j = 0;
      position(coords[k - nEl], i, j);
      const double dtr = 2.0 * u(i, j) / (w.root[j] * w.root[j]);
      for (int b = 0; b < M; ++b)
        for (int a = 0; a < M; ++a) {
          const double dw =
              ((a == j ? u(i, b) : 0.0) + (b == j ? u(i, a) : 0.0)) / (w.root[a] * w.root[b]);
          out[M2 + b * M + a] += col[k] * M / tr * (dw - dtr / tr * wd[b * M + a]);
        }
    }
  }
  r.cov.assign(static_cast<size_t>(2 * M2) * 2 * M2, 0.0);
  for (int l = 0; l < q; ++l) {
    const double* f = r.spread.data() + static_cast<size_t>(l) * 2 * M2;
    for (int b = 0; b < 2 * M2; ++b)
      for (int a = 0; a < 2 * M2; ++a) r.cov[static_cast<size_t>(b) * 2 * M2 + a] += f[a] * f[b];
  }
  r.covariance = true;
}

void checkBoundaries(Search& w, CommonResult& r) {
  const int M = w.co.M;
  const double limit = w.form.EVLTOL * (1.0 - kCommonPhiBound);
  if (!w.form.zeroPhi) {
    if (w.form.diagonalPhi) {
      for (int j = 1; j <= M; ++j)
        r.phiAtBound[j - 1] =
            !r.phiNotIdentified[j - 1] && std::fabs(r.phi[(j - 1) * M + j - 1]) >= limit;
    } else {
      std::vector<double> p = r.phi;
      if (spectralRadius(w, Mat{p.data(), M, M, M}) >= limit)
        std::fill(r.phiAtBound.begin(), r.phiAtBound.end(), 1);
    }
  }
  // A full DELTA's singularity: reduceDeltaRank.
}

}  // namespace

bool CommonResult::boundary() const {
  for (size_t j = 0; j < deltaZero.size(); ++j)
    if (deltaZero[j] || phiAtBound[j]) return true;
  return deltaSingular || deltaRank > 0;
}

bool commonValue(Panel& panel, const CommonForm& form, Mat phi, Mat delta, double& value) {
  const int M = delta.rows;
  std::vector<double> d(static_cast<size_t>(M) * M);
  for (int j = 1; j <= M; ++j)
    for (int i = 1; i <= M; ++i) d[(j - 1) * M + i - 1] = delta(i, j);
  return penalisedValue(panel, form, phi, Mat{d.data(), M, M, M}, value, nullptr);
}

namespace {

void setUpSearch(Panel& panel, const CommonForm& form, Search& w) {
  const int M = panel.M();
  w.panel = &panel;
  w.form = form;
  w.co.M = M;
  w.co.nPhi = form.zeroPhi ? 0 : (form.diagonalPhi ? M : M * M);
  w.co.nDelta = form.diagonalDelta ? M : M * (M + 1) / 2;
  w.co.fixed.assign(w.co.nPhi + w.co.nDelta, 0);
  w.phi.assign(static_cast<size_t>(M) * M, 0.0);
  w.delta = w.phi;
  w.a = w.phi;
  w.z = w.phi;
  w.wr.assign(M, 0.0);
  w.wi.assign(M, 0.0);
  for (double v : panel.componentScale()) w.root.push_back(std::sqrt(v));
  w.gPhi = w.phi;
  w.gDelta = w.phi;
  w.pre = w.phi;
  w.gRadius = w.phi;
  const ScratchNeed need = EIGENRneed(M);
  w.eigWork.assign(static_cast<size_t>(need.doubles + 8), 0.0);
  w.eigInts.assign(static_cast<size_t>(need.ints + 8), 0);
}

}  // namespace

double commonObjective(Panel& panel, const CommonForm& form, const std::vector<double>& coordinates,
                       double* gradient) {
  Search w;
  setUpSearch(panel, form, w);
  w.active = w.co.active();
  w.full = coordinates;
  return searchValue(coordinates.data(), gradient, &w);
}

void estimateCommonModel(Panel& panel, const CommonForm& form, CommonResult& r) {
  const int M = panel.M();
  Search w;
  setUpSearch(panel, form, w);
  r = CommonResult{};
  r.M = M;
  r.deltaZero.assign(M, 0);
  r.phiNotIdentified.assign(M, 0);
  r.phiAtBound.assign(M, 0);

  // The starts, screened to a loose tolerance.
  const double levels[kCommonStarts] = {0.0, 0.5, 0.9, -0.5};
  const int starts = form.zeroPhi ? 1 : kCommonStarts;
  std::vector<std::pair<double, std::vector<double>>> screened;
  for (int k = 0; k < starts; ++k) {
    std::vector<double> full(w.co.nPhi + w.co.nDelta);
    startCoordinates(w, levels[k], full);
    int code = 0;
    const double value = polish(w, full, false, code);
    if (value < kRejected) screened.emplace_back(value, full);
  }
  r.starts = static_cast<int>(screened.size());
  if (screened.empty()) {
    r.evaluations = w.evaluations;
    return;
  }
  std::sort(screened.begin(), screened.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  r.screenedHigh = -screened.front().first;
  r.screenedLow = -screened.back().first;
  double best = std::numeric_limits<double>::infinity();
  std::vector<double> bestFull;
  int bestCode = 0;
  r.polishedLow = std::numeric_limits<double>::infinity();
  for (int k = 0; k < std::min(kCommonPolished, r.starts); ++k) {
    std::vector<double> full = screened[k].second;
    if (k > 0 && best < kRejected && sameBasin(w.co, full, bestFull)) continue;
    int code = 0;
    const double value = polish(w, full, true, code);
    ++r.polished;
    r.polishedLow = std::min(r.polishedLow, -value);
    if (value < best) {
      best = value;
      bestFull = full;
      bestCode = code;
    }
  }
  if (!(best < kRejected)) {
    r.evaluations = w.evaluations;
    return;
  }
  fixZeroDeltas(w, bestFull, best, r);
  reduceDeltaRank(w, bestFull, best, bestCode, r);
  keepEstimates(w, bestFull, r);
  describeDeltaRank(w, bestFull, r);
  r.status = statusOf(bestCode);

  // The value at the estimates, each group's SIGMA**2 and log-likelihood.
  double value = 0.0;
  std::vector<double> phi = r.phi, delta = r.delta;
  bool valued = false;
  if (r.deltaRank > 0) {
    double tr = 0.0;
    valued = rankValue(w, r.deltaRank, bestFull.data(), value, r.penalty, tr);
    if (valued && r.phiFlatCount > 0) {
      // PHI with its action on the flat directions at 0: the same value.
      double loglik = 0.0;
      valued = panel.evaluate(Mat{phi.data(), M, M, M}, w.deltaMat(), loglik);
      value = loglik + r.penalty;
    }
  } else {
    valued = penalisedValue(panel, form, Mat{phi.data(), M, M, M}, Mat{delta.data(), M, M, M},
                            value, &r.penalty);
  }
  if (!valued) {
    r.status = MlStatus::Failed;
    r.evaluations = w.evaluations;
    return;
  }
  r.loglik = value - r.penalty;
  const int G = panel.groups();
  r.sigma2.resize(G);
  r.groupLoglik.resize(G);
  int freePhi = 0, freeDelta = 0;
  for (int i = 0; i < w.co.nPhi; ++i) freePhi += w.co.fixed[i] ? 0 : 1;
  for (int i = w.co.nPhi; i < w.co.nPhi + w.co.nDelta; ++i) freeDelta += w.co.fixed[i] ? 0 : 1;
  r.parameters = freePhi + std::max(freeDelta - 1, 0);
  if (r.deltaRank > 0)  // PHI's flat directions are no parameters
    r.parameters -=
        form.diagonalPhi
            ? static_cast<int>(std::count(r.phiNotIdentified.begin(), r.phiNotIdentified.end(), 1))
            : M * r.phiFlatCount;
  r.observations = 0;
  for (int g = 0; g < G; ++g) {
    r.sigma2[g] = panel.value(g).sigma2;
    r.groupLoglik[g] = panel.value(g).loglik;
    r.parameters += 1 + panel.freePi(g);
    r.observations += panel.value(g).rows;
  }
  r.aic = -2.0 * value + 2.0 * r.parameters;
  r.bic = -2.0 * value + r.parameters * std::log(static_cast<double>(std::max(r.observations, 1)));
  checkBoundaries(w, r);
  // No maximum: no information either. A full DELTA close to singular can
  // leave the elements' information short of definite where steps in its
  // elements leave the definite ones: its factor's coordinates then.
  if (r.deltaRank > 0) {
    rankInformation(w, bestFull, r.deltaRank, r);
  } else if (!r.deltaSingular) {
    informationAndCovariance(w, r);
    if (!r.covariance && !form.diagonalDelta) {
      const int omitted = r.omitted;
      rankInformation(w, bestFull, M, r);
      if (!r.covariance) r.omitted = omitted;
    }
  }
  r.evaluations = w.evaluations;
}

}  // namespace kova
