// The local searches of the likelihood step around NLopt: a run stop raised
// by the objective leaves the search, whichever the method (NLopt's C++
// layer would turn it into a failure code and the run would go on).
#include <gtest/gtest.h>

#include "io/stop.h"
#include "likelihood/local_search.h"

namespace kova {
namespace {

struct Bowl {
  int calls = 0;
  int stopAt = -1;  // throw RunStopped at this call
};

// (x - 1)^2 + 2 (y + 0.5)^2.
double bowl(const double* x, double* grad, void* context) {
  Bowl& b = *static_cast<Bowl*>(context);
  if (++b.calls == b.stopAt) throw RunStopped();
  if (grad != nullptr) {
    grad[0] = 2.0 * (x[0] - 1.0);
    grad[1] = 4.0 * (x[1] + 0.5);
  }
  return (x[0] - 1.0) * (x[0] - 1.0) + 2.0 * (x[1] + 0.5) * (x[1] + 0.5);
}

TEST(LocalSearch, RunStopRaisedByTheObjectiveLeavesEverySearch) {
  for (int method = 0; method < 3; ++method) {
    SCOPED_TRACE(method);
    Bowl b;
    b.stopAt = 7;
    LocalSearch search;
    search.objective = bowl;
    search.context = &b;
    search.dim = 2;
    search.gradient = method == 0;
    search.bounded = method == 1;
    search.polish = true;
    double x[2] = {0.0, 0.0}, value = 0.0;
    EXPECT_THROW(localSearch(search, x, value), RunStopped);
    EXPECT_EQ(b.calls, 7);  // nothing ran after the stop
  }
}

}  // namespace
}  // namespace kova
