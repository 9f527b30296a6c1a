// The Kalman filter at the size of one ML evaluation of a group: NUMT =
// 700 periods, M = 3 states, K*P + 1 = 4 data columns (the likelihood
// sweep, with a full and with a diagonal PHI; a singular DELTA beside a
// definite one), the same sweep in extended precision (the reported
// LOGLIK), the score's filter and smoother, and the engines' gains
// (kalmanGains) with the whitening of the columns (innovations); and one
// whole evaluation of the profile likelihood (the filter, the whitening and
// the least squares of PI) and one scored evaluation of the search at the
// same size.
// Not a test: run by hand (build with -DKOVA_BENCH=ON) on a quiet machine.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "likelihood/profile_likelihood.h"
#include "linalg/scratch.h"
#include "linalg/state_space.h"
#include "linalg/state_space_likelihood.h"

namespace {

using namespace kova;

constexpr int kM = 3, kPeriods = 700, kColumns = 4;

struct Problem {
  std::vector<double> phi, q, p1, z, data, f, v, k, p;
  std::vector<double> work;

  StateSpaceModel model() {
    return {Mat{phi.data(), kM, kM, kM}, Mat{q.data(), kM, kM, kM}, Mat{p1.data(), kM, kM, kM},
            Mat{z.data(), kM, kM, kPeriods}};
  }
  Mat dataView() { return Mat{data.data(), kPeriods, kPeriods, kColumns}; }
  Mat vView() { return Mat{v.data(), kPeriods, kPeriods, kColumns}; }
  Scratch scratch() {
    return Scratch(work.data(), static_cast<long long>(work.size()), nullptr, 0, nullptr, 0);
  }
};

// diagonal: PHI = diag(0.6, 0.3, 0) (the engine benchmark's); otherwise a
// full PHI of spectral radius below 1. singular: DELTA of rank 2.
Problem makeProblem(bool diagonal, bool singular) {
  Problem pr;
  pr.phi = diagonal ? std::vector<double>{0.6, 0, 0, 0, 0.3, 0, 0, 0, 0}
                    : std::vector<double>{0.6, 0.1, 0.05, -0.1, 0.3, 0.1, 0.05, 0.0, 0.2};
  pr.q = singular ? std::vector<double>{0.1, 0.02, 0.0, 0.02, 0.05, 0.0, 0.0, 0.0, 0.0}
                  : std::vector<double>{0.1, 0.01, 0.0, 0.01, 0.05, 0.0, 0.0, 0.0, 0.02};
  pr.p1.assign(kM * kM, 0.0);
  pr.work.assign(1 << 20, 0.0);
  Scratch s = pr.scratch();
  stationaryCovariance(Mat{pr.phi.data(), kM, kM, kM}, Mat{pr.q.data(), kM, kM, kM},
                       Mat{pr.p1.data(), kM, kM, kM}, s);
  std::mt19937 gen(17);
  std::normal_distribution<double> normal;
  pr.z.resize(kM * kPeriods);
  for (int t = 0; t < kPeriods; ++t) {
    pr.z[kM * t] = 1.0;
    for (int i = 1; i < kM; ++i) pr.z[kM * t + i] = normal(gen);
  }
  pr.data.resize(kPeriods * kColumns);
  for (double& d : pr.data) d = normal(gen);
  pr.f.resize(kPeriods);
  pr.v.resize(kPeriods * kColumns);
  pr.k.resize(kM * kPeriods);
  pr.p.resize(kM * kM * kPeriods);
  return pr;
}

void likelihoodSweep(benchmark::State& state) {
  Problem pr = makeProblem(state.range(0) != 0, state.range(1) != 0);
  const StateSpaceModel model = pr.model();
  for (auto _ : state) {
    filterInnovations(model, pr.dataView(), pr.f.data(), pr.vView(), Mat{}, pr.scratch());
    benchmark::DoNotOptimize(pr.v.data());
  }
}

void preciseSweep(benchmark::State& state) {
  Problem pr = makeProblem(false, state.range(0) != 0);
  const StateSpaceModel model = pr.model();
  for (auto _ : state) {
    filterInnovationsPrecise(model, pr.dataView(), pr.f.data(), pr.vView());
    benchmark::DoNotOptimize(pr.v.data());
  }
}

void scoreOfOneColumn(benchmark::State& state) {
  Problem pr = makeProblem(state.range(0) != 0, false);
  const StateSpaceModel model = pr.model();
  std::vector<double> out(3 * kM * kM);
  const StateSpaceScore score{Mat{out.data(), kM, kM, kM}, Mat{out.data() + kM * kM, kM, kM, kM},
                              Mat{out.data() + 2 * kM * kM, kM, kM, kM}};
  for (auto _ : state) {
    stateSpaceScore(model, pr.data.data(), score, pr.scratch());
    benchmark::DoNotOptimize(out.data());
  }
}

// The engines' filter: gains, then the whitening of the columns; wide: in
// extended precision (a singular DELTA and a root of PHI near 1).
void engineGains(benchmark::State& state) {
  const bool wide = state.range(0) != 0;
  Problem pr = makeProblem(false, wide);
  if (wide) pr.phi[0] = 0.97;
  const StateSpaceModel model = pr.model();
  const FilterGains gains{pr.f.data(), Mat{pr.k.data(), kM, kM, kPeriods}};
  for (auto _ : state) {
    Scratch s = pr.scratch();
    const bool widened = kalmanGains(model, Mat{}, Mat{}, gains, s, kExactRootTol, 0.0, wide);
    innovations(model.phi, model.z, gains, pr.dataView(), pr.vView(), s, widened);
    benchmark::DoNotOptimize(pr.v.data());
  }
}

// One evaluation of the profile likelihood: the data columns XZ (3) and y.
void profileEvaluation(benchmark::State& state) {
  Problem pr = makeProblem(state.range(0) != 0, false);
  MlData data;
  data.tlx = pr.model().z;
  data.xz = Mat{pr.data.data(), kPeriods, kPeriods, kColumns - 1};
  data.y = pr.data.data() + static_cast<long>(kPeriods) * (kColumns - 1);
  const Mat phi{pr.phi.data(), kM, kM, kM}, delta{pr.q.data(), kM, kM, kM};
  double loglik = 0.0;
  for (auto _ : state) {
    const LikelihoodTerms terms = profileLikelihood(data, phi, delta, pr.scratch());
    loglik = terms.concentrated();
    benchmark::DoNotOptimize(loglik);
  }
}

// One scored evaluation of the search (the profile, then its score by the
// smoother from the profile's filter) under a diagonal PHI and DELTA, with
// the whole score or its diagonals alone (what the search reads there).
void searchScore(benchmark::State& state) {
  Problem pr = makeProblem(true, false);
  MlData data;
  data.tlx = pr.model().z;
  data.xz = Mat{pr.data.data(), kPeriods, kPeriods, kColumns - 1};
  data.y = pr.data.data() + static_cast<long>(kPeriods) * (kColumns - 1);
  const Mat phi{pr.phi.data(), kM, kM, kM}, delta{pr.q.data(), kM, kM, kM};
  std::vector<double> out(2 * kM * kM);
  const Mat gPhi{out.data(), kM, kM, kM}, gDelta{out.data() + kM * kM, kM, kM, kM};
  for (auto _ : state) {
    profileScore(data, phi, delta, false, gPhi, gDelta, pr.scratch(), nullptr,
                 state.range(0) != 0);
    benchmark::DoNotOptimize(out.data());
  }
}

}  // namespace

BENCHMARK(searchScore)
    ->ArgName("diagonalOnly")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(0.5);
BENCHMARK(profileEvaluation)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->MinTime(0.5);
BENCHMARK(likelihoodSweep)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->ArgNames({"diagonal", "singular"})
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(0.5);
BENCHMARK(preciseSweep)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->MinTime(0.5);
BENCHMARK(scoreOfOneColumn)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->MinTime(0.5);
BENCHMARK(engineGains)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->MinTime(0.5);

BENCHMARK_MAIN();
