// The local searches of the likelihood step around NLopt: a run stop raised
// by the objective leaves the search, whichever the method (NLopt's C++
// layer would turn it into a failure code and the run would go on).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "io/stop.h"
#include "likelihood/local_search.h"

namespace kova {
namespace {

struct Bowl {
  int calls = 0;
  int stopAt = -1;  // throw RunStopped at this call
  std::vector<std::array<double, 2>> points;  // where it was evaluated
};

// (x - 1)^2 + 2 (y + 0.5)^2.
double bowl(const double* x, double* grad, void* context) {
  Bowl& b = *static_cast<Bowl*>(context);
  if (++b.calls == b.stopAt) throw RunStopped();
  b.points.push_back({x[0], x[1]});
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
    b.stopAt = 4;  // inside NLopt's first round (the quasi-Newton one needs 5 calls in all)
    LocalSearch search;
    search.objective = bowl;
    search.context = &b;
    search.dim = 2;
    search.gradient = method == 0;
    search.bounded = method == 1;
    search.polish = true;
    double x[2] = {0.0, 0.0}, value = 0.0;
    EXPECT_THROW(localSearch(search, x, value), RunStopped);
    EXPECT_EQ(b.calls, 4);  // nothing ran after the stop
  }
}

// Each round of the quasi-Newton method begins at the best point so far,
// and the search ends by taking NLopt's best point: neither is evaluated
// again. The minimum of the bowl is found all the same.
TEST(LocalSearch, NoPointIsEvaluatedTwice) {
  for (bool polish : {false, true}) {
    SCOPED_TRACE(polish);
    Bowl b;
    LocalSearch search;
    search.objective = bowl;
    search.context = &b;
    search.dim = 2;
    search.gradient = true;
    search.polish = polish;
    double x[2] = {0.3, 0.7}, value = 0.0;
    const int code = localSearch(search, x, value);
    EXPECT_EQ(statusOf(code), MlStatus::Converged);
    EXPECT_NEAR(x[0], 1.0, 1e-4);
    EXPECT_NEAR(x[1], -0.5, 1e-4);
    EXPECT_NEAR(value, (x[0] - 1.0) * (x[0] - 1.0) + 2.0 * (x[1] + 0.5) * (x[1] + 0.5), 1e-15);
    std::vector<std::array<double, 2>> seen = b.points;
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end());
  }
}

// A loose search told that it has joined an earlier search's end stops
// there: that point and its value are its end, and the objective is not
// called again. A polish is never stopped that way.
TEST(LocalSearch, LooseSearchEndsWhereItJoinsAnother) {
  auto nearMinimum = [](const double* x, double, void*) { return std::fabs(x[0] - 1.0) < 0.3; };
  for (bool polish : {false, true}) {
    SCOPED_TRACE(polish);
    Bowl b;
    LocalSearch search;
    search.objective = bowl;
    search.context = &b;
    search.dim = 2;
    search.gradient = true;
    search.polish = polish;
    search.joined = nearMinimum;
    double x[2] = {-2.0, 0.7}, value = 0.0;
    const int code = localSearch(search, x, value);
    if (polish) {
      EXPECT_EQ(statusOf(code), MlStatus::Converged);
      EXPECT_NEAR(x[0], 1.0, 1e-6);
      continue;
    }
    EXPECT_EQ(code, -5);  // NLopt's forced stop
    ASSERT_FALSE(b.points.empty());
    // The end is the first point that joined, the last one evaluated.
    const std::array<double, 2> last = b.points.back();
    EXPECT_LT(std::fabs(last[0] - 1.0), 0.3);
    for (std::size_t i = 0; i + 1 < b.points.size(); ++i)
      EXPECT_GE(std::fabs(b.points[i][0] - 1.0), 0.3);
    EXPECT_EQ(x[0], last[0]);
    EXPECT_EQ(x[1], last[1]);
    EXPECT_EQ(value, (x[0] - 1.0) * (x[0] - 1.0) + 2.0 * (x[1] + 0.5) * (x[1] + 0.5));
  }
}

}  // namespace
}  // namespace kova
