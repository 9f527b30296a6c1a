// NLopt's local searches with the objective's exceptions carried through.
#include "likelihood/local_search.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <nlopt.hpp>
#include <vector>

namespace kova {
namespace {

// The best point the objective has been asked about with its gradient, and
// both there: a round of the quasi-Newton method begins at the best point
// so far, which the search has already evaluated (the first value, the end
// of the round before).
struct BestPoint {
  std::vector<double> x, grad;
  double value = 0.0;
  bool known = false;
};

struct Relay {
  const LocalSearch* search = nullptr;
  std::exception_ptr thrown;
  BestPoint best;
  nlopt::opt* round = nullptr;  // the round running
  // Where the search met the end of an earlier one, and its value there.
  bool joined = false;
  std::vector<double> joinedAt;
  double joinedValue = 0.0;
};

// Whether a loose search has joined the end of an earlier one (at x, or
// before).
bool joins(Relay& r, const double* x, double value) {
  const LocalSearch& search = *r.search;
  if (r.joined) return true;
  if (search.polish || search.joined == nullptr || !(value < search.rejected)) return false;
  if (!search.joined(x, value, search.joinedContext)) return false;
  r.joined = true;
  r.joinedAt.assign(x, x + search.dim);
  r.joinedValue = value;
  return true;
}

// The objective at x (grad: its gradient, when not null), from the best
// point when x is that point.
double evaluate(Relay& r, const double* x, double* grad) {
  const LocalSearch& search = *r.search;
  const int dim = search.dim;
  BestPoint& b = r.best;
  if (b.known && std::equal(x, x + dim, b.x.begin())) {
    if (grad != nullptr) std::copy(b.grad.begin(), b.grad.end(), grad);
    return b.value;
  }
  const double value = search.objective(x, grad, search.context);
  if (grad != nullptr && search.gradient && (!b.known || value < b.value)) {
    b.x.assign(x, x + dim);
    b.grad.assign(grad, grad + dim);
    b.value = value;
    b.known = true;
  }
  if (r.round != nullptr && joins(r, x, value)) r.round->force_stop();
  return value;
}

// NLopt's callback: the caller's objective; an exception is kept for the
// caller and NLopt told to stop (a method may still ask for a point before
// it looks: the objective is not called again).
double relay(unsigned n, const double* x, double* grad, void* data) {
  (void)n;
  Relay& r = *static_cast<Relay*>(data);
  if (r.thrown) throw nlopt::forced_stop();
  try {
    return evaluate(r, x, grad);
  } catch (...) {
    r.thrown = std::current_exception();
  }
  throw nlopt::forced_stop();
}

int runRound(const LocalSearch& search, std::vector<double>& v, double value, Relay& r) {
  const int dim = search.dim;
  const nlopt::algorithm method = search.gradient  ? nlopt::LD_LBFGS
                                  : search.bounded ? nlopt::LN_BOBYQA
                                                   : nlopt::LN_SBPLX;
  nlopt::opt opt(method, static_cast<unsigned>(dim));
  opt.set_min_objective(relay, &r);
  r.round = &opt;
  if (search.gradient || search.bounded) {
    std::vector<double> upper(dim, 1.0E3);
    for (int i = 0; i < search.boxed; ++i) upper[i] = search.box;
    std::vector<double> lower(upper);
    for (double& b : lower) b = -b;
    opt.set_lower_bounds(lower);
    opt.set_upper_bounds(upper);
  }
  opt.set_xtol_rel(search.polish ? 1.0E-10 : 1.0E-3);
  opt.set_ftol_abs(search.polish ? 1.0E-11 : 1.0E-3);
  if (search.gradient) {
    opt.set_maxeval((search.polish ? 100 : 30) * dim);
  } else {
    opt.set_maxeval((search.polish ? (search.fallback ? 300 : 1000) : 200) * dim);
  }
  std::vector<double> steps(dim);
  for (int i = 0; i < dim; ++i) steps[i] = std::max(0.1 * std::fabs(v[i]), 0.02);
  for (int i = 0; i < search.boxed; ++i) steps[i] = std::min(steps[i], 0.25 * search.box);
  opt.set_initial_step(steps);
  double f = value;
  int code = static_cast<int>(nlopt::FAILURE);
  try {
    code = static_cast<int>(opt.optimize(v, f));
  } catch (const nlopt::roundoff_limited&) {
    code = static_cast<int>(nlopt::ROUNDOFF_LIMITED);
  } catch (const nlopt::forced_stop&) {
    code = static_cast<int>(nlopt::FORCED_STOP);
  } catch (const std::invalid_argument&) {
    code = static_cast<int>(nlopt::INVALID_ARGS);
  } catch (const std::bad_alloc&) {
    code = static_cast<int>(nlopt::OUT_OF_MEMORY);
  } catch (const std::exception&) {
    code = static_cast<int>(nlopt::FAILURE);
  }
  r.round = nullptr;
  if (r.thrown) std::rethrow_exception(r.thrown);
  return code;
}

}  // namespace

MlStatus statusOf(int code) {
  // Rounding limited the progress (-4): at the tight tolerances of a polish
  // the point is as good as rounding lets it be.
  if ((code >= 1 && code <= 4) || code == static_cast<int>(nlopt::ROUNDOFF_LIMITED))
    return MlStatus::Converged;
  if (code == 5 || code == 6) return MlStatus::NotConverged;
  return MlStatus::Failed;
}

const char* searchAlgorithm(const LocalSearch& search) {
  return search.gradient ? "LBFGS" : search.bounded ? "BOBYQA" : "SUBPLEX";
}

// A round that gains less than this on the value has not moved.
constexpr double kMoved = 1.0E-9;

int localSearch(const LocalSearch& search, double* x, double& value) {
  const int dim = search.dim;
  Relay r;
  r.search = &search;
  if (dim == 0) {
    value = search.objective(x, nullptr, search.context);
    return value < search.rejected ? 1 : -1;
  }
  // With the gradient (kept for the first step of the quasi-Newton round).
  std::vector<double> g(dim);
  value = evaluate(r, x, search.gradient ? g.data() : nullptr);
  if (!(value < search.rejected)) return -1;
  if (joins(r, x, value)) return static_cast<int>(nlopt::FORCED_STOP);
  std::vector<double> v(x, x + dim);
  int kept = -1;  // the code of the last round that converged
  int code = -1;
  // The point NLopt leaves is its best; keep it only when it is better.
  // Returns whether it is better by more than rounding (kMoved).
  auto keepBetter = [&]() {
    const double fv = evaluate(r, v.data(), nullptr);
    const bool better = fv < value - kMoved;
    if (fv <= value) {
      value = fv;
      std::copy(v.begin(), v.end(), x);
    } else {
      std::copy(x, x + dim, v.begin());
    }
    return better;
  };
  // A quasi-Newton round whose line search fails (rounding near the
  // maximum, the guard's corner) is followed, in a polish, by a derivative
  // free one from its point; not a second round that failed to move from
  // the point where the first converged (its line search fails at the
  // maximum: the first round's convergence stands).
  LocalSearch fallback = search;
  fallback.gradient = false;
  fallback.bounded = true;
  fallback.fallback = true;
  fallback.fellBack = nullptr;
  for (int round = 0; round < (search.polish ? 2 : 1); ++round) {
    code = runRound(search, v, value, r);
    const bool moved = keepBetter();
    const bool confirmed = round > 0 && kept >= 0 && !moved;
    if (statusOf(code) != MlStatus::Converged && search.polish && search.gradient && !confirmed &&
        !(search.firstRoundStands && kept >= 0)) {
      if (search.fellBack != nullptr) *search.fellBack = true;
      code = runRound(fallback, v, value, r);
      keepBetter();
    }
    if (statusOf(code) != MlStatus::Converged) break;
    kept = code;
  }
  if (r.joined) {
    std::copy(r.joinedAt.begin(), r.joinedAt.end(), x);
    value = r.joinedValue;
    return static_cast<int>(nlopt::FORCED_STOP);
  }
  return kept >= 0 && statusOf(code) != MlStatus::Converged ? kept : code;
}

}  // namespace kova
