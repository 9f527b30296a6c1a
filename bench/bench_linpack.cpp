// Pivoted QR (DQRDC, JOB = 1) and SVD (DSVDC, JOB = 11) beside reference
// LAPACK's dgeqp3 and dgesvd (JOBU = JOBVT = 'A', the same vectors). After the
// runs a summary prints the time ratio ours / LAPACK for each size.
#include <benchmark/benchmark.h>

#include "ratio_reporter.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "linalg/linpack.h"

extern "C" {
void dgeqp3_(const int* m, const int* n, double* a, const int* lda, int* jpvt, double* tau,
             double* work, const int* lwork, int* info);
void dgesvd_(const char* jobu, const char* jobvt, const int* m, const int* n, double* a,
             const int* lda, double* s, double* u, const int* ldu, double* vt, const int* ldvt,
             double* work, const int* lwork, int* info, std::size_t, std::size_t);
}

namespace {

std::vector<double> randomMatrix(int n, int p) {
  std::mt19937 gen(12345u + n * 7u + p);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  std::vector<double> x(static_cast<std::size_t>(n) * p);
  for (double& v : x) v = dist(gen);
  return x;
}

void oursQr(benchmark::State& state) {
  int n = state.range(0), p = state.range(1);
  std::vector<double> x0 = randomMatrix(n, p), x(x0.size()), qraux(p), work(p);
  std::vector<int> jpvt(p);
  for (auto _ : state) {
    std::copy(x0.begin(), x0.end(), x.begin());
    std::fill(jpvt.begin(), jpvt.end(), 0);
    kova::DQRDC(x.data(), n, n, p, qraux.data(), jpvt.data(), work.data(), 1);
    benchmark::DoNotOptimize(x.data());
  }
}

void lapackQr(benchmark::State& state) {
  int n = state.range(0), p = state.range(1), info = 0, lwork = -1;
  std::vector<double> x0 = randomMatrix(n, p), x(x0.size()), tau(std::min(n, p)), query(1);
  std::vector<int> jpvt(p);
  dgeqp3_(&n, &p, x.data(), &n, jpvt.data(), tau.data(), query.data(), &lwork, &info);
  lwork = static_cast<int>(query[0]);
  std::vector<double> work(lwork);
  for (auto _ : state) {
    std::copy(x0.begin(), x0.end(), x.begin());
    std::fill(jpvt.begin(), jpvt.end(), 0);
    dgeqp3_(&n, &p, x.data(), &n, jpvt.data(), tau.data(), work.data(), &lwork, &info);
    benchmark::DoNotOptimize(x.data());
  }
}

void oursSvd(benchmark::State& state) {
  int n = state.range(0), p = state.range(1), info = 0;
  std::vector<double> x0 = randomMatrix(n, p), x(x0.size()), s(std::min(n + 1, p)), e(p),
      u(static_cast<std::size_t>(n) * n), v(static_cast<std::size_t>(p) * p), work(n);
  for (auto _ : state) {
    std::copy(x0.begin(), x0.end(), x.begin());
    kova::DSVDC(x.data(), n, n, p, s.data(), e.data(), u.data(), n, v.data(), p, work.data(), 11,
                info);
    benchmark::DoNotOptimize(s.data());
  }
  if (info != 0) state.SkipWithError("DSVDC did not converge");
}

void lapackSvd(benchmark::State& state) {
  int n = state.range(0), p = state.range(1), info = 0, lwork = -1;
  std::vector<double> x0 = randomMatrix(n, p), x(x0.size()), s(std::min(n, p)),
      u(static_cast<std::size_t>(n) * n), vt(static_cast<std::size_t>(p) * p), query(1);
  dgesvd_("A", "A", &n, &p, x.data(), &n, s.data(), u.data(), &n, vt.data(), &p, query.data(),
          &lwork, &info, 1, 1);
  lwork = static_cast<int>(query[0]);
  std::vector<double> work(lwork);
  for (auto _ : state) {
    std::copy(x0.begin(), x0.end(), x.begin());
    dgesvd_("A", "A", &n, &p, x.data(), &n, s.data(), u.data(), &n, vt.data(), &p, work.data(),
            &lwork, &info, 1, 1);
    benchmark::DoNotOptimize(s.data());
  }
  if (info != 0) state.SkipWithError("dgesvd did not converge");
}

void qrSizes(benchmark::internal::Benchmark* b) {
  b->Args({2100, 700})->Args({700, 700})->Args({100, 100})->Unit(benchmark::kMillisecond);
  b->MinTime(0.5);
}
void svdSizes(benchmark::internal::Benchmark* b) {
  b->Args({700, 700})->Args({200, 50})->Unit(benchmark::kMillisecond)->MinTime(0.5);
}

BENCHMARK(oursQr)->Apply(qrSizes);
BENCHMARK(lapackQr)->Apply(qrSizes);
BENCHMARK(oursSvd)->Apply(svdSizes);
BENCHMARK(lapackSvd)->Apply(svdSizes);

}  // namespace

int main(int argc, char** argv) { return kova::bench::runWithRatios(argc, argv); }
