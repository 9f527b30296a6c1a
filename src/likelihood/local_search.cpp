// NLopt's local searches with the objective's exceptions carried through.
#include "likelihood/local_search.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <nlopt.hpp>
#include <vector>

namespace kova {
namespace {

struct Relay {
  const LocalSearch* search = nullptr;
  std::exception_ptr thrown;
};

// NLopt's callback: the caller's objective; an exception is kept for the
// caller and NLopt told to stop.
double relay(unsigned n, const double* x, double* grad, void* data) {
  (void)n;
  Relay& r = *static_cast<Relay*>(data);
  try {
    return r.search->objective(x, grad, r.search->context);
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

int localSearch(const LocalSearch& search, double* x, double& value) {
  const int dim = search.dim;
  value = search.objective(x, nullptr, search.context);
  if (dim == 0) return value < search.rejected ? 1 : -1;
  if (!(value < search.rejected)) return -1;
  Relay r;
  r.search = &search;
  std::vector<double> v(x, x + dim);
  int kept = -1;  // the code of the last round that converged
  int code = -1;
  // The point NLopt leaves is its best; keep it only when it is better.
  auto keepBetter = [&]() {
    const double fv = search.objective(v.data(), nullptr, search.context);
    if (fv <= value) {
      value = fv;
      std::copy(v.begin(), v.end(), x);
    } else {
      std::copy(x, x + dim, v.begin());
    }
  };
  // A quasi-Newton round whose line search fails (rounding near the
  // maximum, the guard's corner) is followed, in a polish, by a derivative
  // free one from its point.
  LocalSearch fallback = search;
  fallback.gradient = false;
  fallback.bounded = true;
  fallback.fallback = true;
  fallback.fellBack = nullptr;
  for (int round = 0; round < (search.polish ? 2 : 1); ++round) {
    code = runRound(search, v, value, r);
    keepBetter();
    if (statusOf(code) != MlStatus::Converged && search.polish && search.gradient &&
        !(search.firstRoundStands && kept >= 0)) {
      if (search.fellBack != nullptr) *search.fellBack = true;
      code = runRound(fallback, v, value, r);
      keepBetter();
    }
    if (statusOf(code) != MlStatus::Converged) break;
    kept = code;
  }
  return kept >= 0 && statusOf(code) != MlStatus::Converged ? kept : code;
}

}  // namespace kova
