#include "likelihood/svd_rank.h"

#include <algorithm>

#include "linalg/least_squares.h"
#include "linalg/linpack.h"

namespace kova {

int svdRank(Mat x, double* s, double* e, Mat u, Mat v, double* work) {
  const int r = x.rows, c = x.cols;
  if (r == 0 || c == 0) return 0;
  int info = 0;
  DSVDC(x.p, x.ld, r, c, s, e, u.p, u.ld, v.p, v.ld, work, 21, info);
  if (info != 0) return -1;
  const int top = std::min(r, c);
  int rank = 0;
  if (s[0] > 0.0)
    while (rank < top && s[rank] > kGlsTol * s[0]) ++rank;
  return rank;
}

}  // namespace kova
