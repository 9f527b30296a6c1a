#include "engine/ysigma_eigenvalues.h"

#include "linalg/linpack.h"

namespace kova {
namespace {

struct Work {
  Mat x;
  double *s, *e, *work;
  static Work carve(Scratch& sc, int n) {
    return Work{sc.mat(n, n), sc.doubles(n + 1), sc.doubles(n), sc.doubles(n)};
  }
};

}  // namespace

bool ysigmaEigenvalues(Mat u, double* values, Scratch& sc) {
  const int n = u.rows;
  if (n < 1) return true;
  Work w = Work::carve(sc, n);
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i) w.x(i, j) = u(i, j);
  int info = 0;
  DSVDC(w.x.p, w.x.ld, n, n, w.s, w.e, nullptr, 1, nullptr, 1, w.work, 0, info);
  // Singular values come in descending order.
  for (int i = 1; i <= n; ++i) values[i - 1] = w.s[n - i] * w.s[n - i];
  return info == 0;
}

ScratchNeed ysigmaEigenvaluesNeed(int n) {
  Scratch counting;
  Work::carve(counting, n);
  return counting.used();
}

}  // namespace kova
