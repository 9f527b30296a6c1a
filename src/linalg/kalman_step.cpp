// The start of the square-root filter: the triangular roots of P(1) and Q.
#include "linalg/kalman_step.h"

namespace kova::kalman {

void triangleOf(Mat root) {
  const int m = root.rows;
  triangularize<0, 0, 0>(Block<double>{root.p, std::max(root.ld, 1)}, m, m, m);
  for (int j = 1; j <= m; ++j)
    for (int i = j + 1; i <= m; ++i) root(i, j) = 0.0;
}

bool rootOf(Mat a, Mat u, Mat work) {
  const int m = a.rows;
  Mat c = work;
  for (int j = 1; j <= m; ++j) std::copy_n(a.col(j), m, c.col(j));
  for (int j = 1; j <= m; ++j) std::fill_n(u.col(j), m, 0.0);
  double largest = 0.0;
  for (int i = 1; i <= m; ++i) largest = std::max(largest, c(i, i));
  const double floor = m * 0x1p-53 * largest;
  // Row k of U: the k-th pivot's row of the Schur complement over its root.
  for (int k = 1; k <= m; ++k) {
    int pivot = 0;
    double top = floor;
    for (int i = 1; i <= m; ++i)
      if (c(i, i) > top) {
        top = c(i, i);
        pivot = i;
      }
    if (pivot == 0) break;
    const double root = std::sqrt(top);
    for (int j = 1; j <= m; ++j) u(k, j) = c(pivot, j) / root;
    for (int j = 1; j <= m; ++j)
      for (int i = 1; i <= m; ++i) c(i, j) -= u(k, i) * u(k, j);
    for (int i = 1; i <= m; ++i) c(pivot, i) = c(i, pivot) = 0.0;
  }
  bool definite = std::isfinite(largest);
  const double limit = kIndefiniteTol * largest;
  for (int j = 1; j <= m; ++j)
    for (int i = 1; i <= m; ++i)
      if (!(std::abs(c(i, j)) <= limit)) definite = false;
  triangleOf(u);
  return definite;
}

}  // namespace kova::kalman
