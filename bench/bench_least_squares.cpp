// The generalized least-squares core at the sizes of a PI estimation:
// n = NUMT rows, K*P = 6 regressors, F a lower-triangular NUMT x NUMT
// covariance factor and NUMT + 1 right-hand sides (y and the unit vectors),
// covariance on. Beside it, reference LAPACK doing what dggglm does, for all
// right-hand sides at once: dggqrf, dormqr, two dtrtrs and a dgemm (dggglm
// itself takes one right-hand side per call; at NUMT = 100 a loop of dggglm
// calls is timed as well). Neither side forms u. After the runs a summary
// prints the time ratio ours / LAPACK.
#include <benchmark/benchmark.h>

#include "ratio_reporter.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "../tests/linalg/lapack_lsq_ref.h"
#include "linalg/least_squares.h"

namespace {

constexpr int kRegressors = 6;

struct Problem {
  int n, p, nb;
  std::vector<double> a, f, b;
};

Problem makeProblem(int numt) {
  Problem pr{numt, kRegressors, numt + 1, {}, {}, {}};
  std::mt19937 gen(777u + numt);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  long n = numt;
  pr.a.resize(n * pr.p);
  for (double& v : pr.a) v = dist(gen);
  pr.f.assign(n * n, 0.0);
  for (int j = 0; j < numt; ++j) {
    pr.f[j + j * n] = 1.5 + std::abs(dist(gen));
    for (int i = j + 1; i < numt; ++i) pr.f[i + j * n] = 0.3 * dist(gen);
  }
  pr.b.assign(n * pr.nb, 0.0);
  for (int i = 0; i < numt; ++i) pr.b[i] = dist(gen);
  for (int j = 1; j < pr.nb; ++j) pr.b[(j - 1) + j * n] = 1.0;
  return pr;
}

void ours(benchmark::State& state) {
  Problem pr = makeProblem(static_cast<int>(state.range(0)));
  kova::GlsWorkSizes need = kova::glsWorkSizes(pr.n, pr.p, pr.nb);
  std::vector<double> wr(need.doubles), x(static_cast<long>(pr.p) * pr.nb), sigma2(pr.nb),
      cov(pr.p * pr.p);
  std::vector<int> wi(need.ints);
  kova::GlsProblem gp{pr.a.data(), pr.n, pr.f.data(), pr.n,  pr.b.data(),
                      pr.n,        pr.n, pr.p,        pr.nb, true};
  kova::GlsResults res{x.data(), pr.p, sigma2.data(), cov.data(), pr.p};
  kova::GlsWork work{wr.data(), need.doubles, wi.data(), need.ints};
  for (auto _ : state) {
    kova::solveGls(gp, res, work, 0);
    benchmark::DoNotOptimize(x.data());
  }
  state.counters["r2"] = res.r2;
}

bool sameAnswer(const Problem& pr, const std::vector<double>& d, const std::vector<double>& sigma2,
                std::vector<double>& x, std::vector<double>& s2, std::vector<double>& cov) {
  kova::GlsWorkSizes need = kova::glsWorkSizes(pr.n, pr.p, pr.nb);
  std::vector<double> wr(need.doubles);
  std::vector<int> wi(need.ints);
  kova::GlsProblem gp{pr.a.data(), pr.n, pr.f.data(), pr.n,  pr.b.data(),
                      pr.n,        pr.n, pr.p,        pr.nb, true};
  kova::GlsResults res{x.data(), pr.p, s2.data(), cov.data(), pr.p};
  kova::solveGls(gp, res, kova::GlsWork{wr.data(), need.doubles, wi.data(), need.ints}, 0);
  double worst = 0.0;
  for (int j = 0; j < pr.nb; ++j) {
    for (int i = 0; i < pr.p; ++i)
      worst = std::max(
          worst, std::abs(x[i + static_cast<long>(j) * pr.p] - d[i + static_cast<long>(j) * pr.n]));
    worst = std::max(worst, std::abs(s2[j] - sigma2[j]) / std::max(1e-300, sigma2[j]));
  }
  return worst < 1e-9;
}

void lapack(benchmark::State& state) {
  Problem pr = makeProblem(static_cast<int>(state.range(0)));
  int n = pr.n, m = pr.p, p = pr.n, nb = pr.nb, nm = n - m, info = 0, lwork = -1;
  std::vector<double> a(pr.a.size()), f(pr.f.size()), d(pr.b.size()), taua(m), taub(n), query(2);
  dggqrf_(&n, &m, &p, a.data(), &n, taua.data(), f.data(), &n, taub.data(), &query[0], &lwork,
          &info);
  dormqr_("L", "T", &n, &nb, &m, a.data(), &n, taua.data(), d.data(), &n, &query[1], &lwork, &info,
          1, 1);
  lwork = static_cast<int>(std::max(query[0], query[1]));
  std::vector<double> work(lwork), sigma2(nb);
  const double one = 1.0, minusOne = -1.0;
  for (auto _ : state) {
    std::copy(pr.a.begin(), pr.a.end(), a.begin());
    std::copy(pr.f.begin(), pr.f.end(), f.begin());
    std::copy(pr.b.begin(), pr.b.end(), d.begin());
    dggqrf_(&n, &m, &p, a.data(), &n, taua.data(), f.data(), &n, taub.data(), work.data(), &lwork,
            &info);
    dormqr_("L", "T", &n, &nb, &m, a.data(), &n, taua.data(), d.data(), &n, work.data(), &lwork,
            &info, 1, 1);
    double* t22 = f.data() + m + static_cast<long>(m) * n;
    dtrtrs_("U", "N", "N", &nm, &nb, t22, &n, d.data() + m, &n, &info, 1, 1, 1);
    for (int j = 0; j < nb; ++j) {
      const double* y2 = d.data() + m + static_cast<long>(j) * n;
      sigma2[j] = kova::DDOT(nm, y2, 1, y2, 1) / nm;
    }
    dgemm_("N", "N", &m, &nb, &nm, &minusOne, f.data() + static_cast<long>(m) * n, &n, d.data() + m,
           &n, &one, d.data(), &n, 1, 1);
    dtrtrs_("U", "N", "N", &m, &nb, a.data(), &n, d.data(), &n, &info, 1, 1, 1);
    benchmark::DoNotOptimize(d.data());
  }
  // Both sides must have solved the same problem.
  std::vector<double> x(static_cast<long>(m) * nb), s2(nb), cov(m * m);
  if (!sameAnswer(pr, d, sigma2, x, s2, cov)) state.SkipWithError("LAPACK and ours disagree");
}

// dggglm as it is called: one right-hand side, one full factorization.
void dggglmLoop(benchmark::State& state) {
  Problem pr = makeProblem(static_cast<int>(state.range(0)));
  int n = pr.n, m = pr.p, p = pr.n, info = 0, lwork = 64 * n;
  std::vector<double> a(pr.a.size()), f(pr.f.size()), d(n), x(m), y(n), work(lwork);
  for (auto _ : state) {
    for (int j = 0; j < pr.nb; ++j) {
      std::copy(pr.a.begin(), pr.a.end(), a.begin());
      std::copy(pr.f.begin(), pr.f.end(), f.begin());
      std::copy_n(pr.b.begin() + static_cast<long>(j) * n, n, d.begin());
      dggglm_(&n, &m, &p, a.data(), &n, f.data(), &n, d.data(), x.data(), y.data(), work.data(),
              &lwork, &info);
    }
    benchmark::DoNotOptimize(x.data());
  }
}

BENCHMARK(ours)->Arg(100)->Arg(700)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(lapack)->Arg(100)->Arg(700)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(dggglmLoop)->Arg(100)->Unit(benchmark::kMillisecond)->MinTime(0.5);

}  // namespace

int main(int argc, char** argv) { return kova::bench::runWithRatios(argc, argv); }
