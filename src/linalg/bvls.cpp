#include "linalg/bvls.h"

#include <algorithm>
#include <cmath>

#include "linalg/blas1.h"
#include "io/console.h"
#include "io/edit_descriptors.h"

namespace kova {
namespace {

constexpr double kEps = 2.220446049250313E-16;

// The state of one solve. The free set is INDEX(1..nsetp); the triangular
// factor of its columns sits in rows 1..nsetp of those columns of A. B holds
// Q'(B - sum of A(:,j) X(j) over the fixed unknowns), so that the free
// unknowns always solve a plain least-squares problem against it.
struct Solver {
  Mat a;
  double* b;
  Mat bnd;
  double* x;
  double* w;
  int* index;
  double* s;  // M: residual, or the right-hand side under trial
  double* z;  // N: the free set's least-squares solution, by position
  int m, n;
  int nsetp = 0;

  double lower(int j) const { return bnd(1, j); }
  double upper(int j) const { return bnd(2, j); }
  bool hasLower(int j) const { return lower(j) > -kBvlsUnbounded; }
  bool hasUpper(int j) const { return upper(j) < kBvlsUnbounded; }
  // Whether X(j) may move up (down) without leaving its bounds.
  bool canRise(int j) const { return !hasUpper(j) || x[j - 1] < upper(j); }
  bool canFall(int j) const { return !hasLower(j) || x[j - 1] > lower(j); }

  void start();
  void residual(bool solved);
  void dual();
  int choose() const;
  bool tryEnter(int j, bool commit);
  void applyGivens(int row, double c, double sn, int fromPos);
  void leave(int pos);
  void solveFree();
  bool stepTowardsFree();
  void releaseBound();
};

// Every unknown starts at the point of its bounds nearest 0, held fixed.
void Solver::start() {
  for (int k = 1; k <= n; ++k) index[k - 1] = k;
  nsetp = 0;
  for (int j = 1; j <= n; ++j) {
    double v = 0.0;
    if (hasLower(j)) v = std::max(v, lower(j));
    if (hasUpper(j)) v = std::min(v, upper(j));
    x[j - 1] = v;
    if (v != 0.0) DAXPY(m, -v, a.col(j), 1, b, 1);
  }
}

// s := B - R X_free, the residual of the current iterate in transformed
// rows. When X_free solves the free problem, rows 1..nsetp of the residual
// are zero in exact arithmetic and are set so: computed, they would carry
// rounding of the size of the free columns into every dual, and a dual that
// matters can be far smaller than that (the lightly weighted rows of QDBVLS
// make exactly such duals). An iterate cut short by the iteration limit does
// not solve the free problem and gets the full residual.
void Solver::residual(bool solved) {
  DCOPY(m, b, 1, s, 1);
  if (solved) {
    std::fill(s, s + nsetp, 0.0);
    return;
  }
  for (int k = 1; k <= nsetp; ++k) {
    int j = index[k - 1];
    DAXPY(k, -x[j - 1], a.col(j), 1, s, 1);
  }
}

// W := A's, which the orthogonal transforms leave equal to A'(B - A X) of
// the original data.
void Solver::dual() {
  for (int j = 1; j <= n; ++j) w[j - 1] = DDOT(m, a.col(j), 1, s, 1);
}

// The fixed unknown whose dual promises the steepest descent in a direction
// its bounds allow; 0 when there is none (the Kuhn-Tucker conditions hold).
int Solver::choose() const {
  int best = 0;
  double bestScore = 0.0;
  for (int k = nsetp + 1; k <= n; ++k) {
    int j = index[k - 1];
    double wj = w[j - 1];
    double score = 0.0;
    if (wj > 0.0 && canRise(j)) score = wj;
    if (wj < 0.0 && canFall(j)) score = -wj;
    if (score > bestScore) {
      bestScore = score;
      best = j;
    }
  }
  return best;
}

// Tries to add column j to the factor with a Householder reflection of rows
// nsetp+1..M. The column is refused when it is numerically dependent on the
// free columns, or when the enlarged least-squares solution would not move
// X(j) in the direction its dual promised (rounding can make a tiny dual
// lie). Nothing changes unless the column is accepted and commit is set.
bool Solver::tryEnter(int j, bool commit) {
  const int p = nsetp + 1;
  if (p > m) return false;
  double* c = a.col(j);
  double above = DNRM2(nsetp, c, 1);
  double sigma = DNRM2(m - nsetp, c + nsetp, 1);
  if (sigma == 0.0 || sigma <= 100.0 * kEps * above) return false;

  const double c1 = c[p - 1];
  const double alpha = c1 >= 0.0 ? -sigma : sigma;
  const double v1 = c1 - alpha;
  const double half = sigma * (sigma + std::abs(c1));  // v'v / 2
  auto reflect = [&](double* y) {
    double t = (v1 * y[p - 1] + DDOT(m - p, c + p, 1, y + p, 1)) / half;
    y[p - 1] -= t * v1;
    DAXPY(m - p, -t, c + p, 1, y + p, 1);
  };

  const double xj = x[j - 1];
  DCOPY(m, b, 1, s, 1);
  if (xj != 0.0) DAXPY(m, xj, c, 1, s, 1);
  reflect(s);
  const double ztest = s[p - 1] / alpha;
  const bool rising = w[j - 1] > 0.0;
  if (rising ? !(ztest > xj) : !(ztest < xj)) return false;
  if (!commit) return true;

  DCOPY(m, s, 1, b, 1);
  for (int k = p; k <= n; ++k) {
    int jk = index[k - 1];
    if (jk != j) reflect(a.col(jk));
  }
  c[p - 1] = alpha;
  std::fill(c + p, c + m, 0.0);
  int pos = static_cast<int>(std::find(index + p - 1, index + n, j) - index);
  std::swap(index[p - 1], index[pos]);
  nsetp = p;
  return true;
}

// Rotates rows `row` and row+1 of B and of the columns at positions
// fromPos..N; the columns before fromPos are zero in both rows.
void Solver::applyGivens(int row, double c, double sn, int fromPos) {
  auto rotate = [&](double* y) {
    double u = y[row - 1], v = y[row];
    y[row - 1] = c * u + sn * v;
    y[row] = c * v - sn * u;
  };
  for (int k = fromPos; k <= n; ++k) rotate(a.col(index[k - 1]));
  rotate(b);
}

// Moves the free unknown at position pos, already set to a bound, to the
// fixed set, and restores the triangular factor of the remaining columns.
void Solver::leave(int pos) {
  const int j = index[pos - 1];
  DAXPY(m, -x[j - 1], a.col(j), 1, b, 1);
  for (int k = pos; k < nsetp; ++k) index[k - 1] = index[k];
  index[nsetp - 1] = j;
  --nsetp;
  // The columns after pos are now upper Hessenberg from row pos on.
  for (int i = pos; i <= nsetp; ++i) {
    double* c = a.col(index[i - 1]);
    double u = c[i - 1], v = c[i];
    double r = std::hypot(u, v);
    if (r == 0.0) continue;
    applyGivens(i, u / r, v / r, i + 1);
    c[i - 1] = r;
    c[i] = 0.0;
  }
}

// z(1..nsetp) := R^{-1} B(1..nsetp) by back substitution down the columns.
void Solver::solveFree() {
  DCOPY(nsetp, b, 1, z, 1);
  for (int k = nsetp; k >= 1; --k) {
    const double* c = a.col(index[k - 1]);
    z[k - 1] /= c[k - 1];
    DAXPY(k - 1, -z[k - 1], c, 1, z, 1);
  }
}

// Moves the free unknowns towards z. When z lies strictly inside the bounds
// the move is complete and true is returned. Otherwise the move stops where
// the first unknown meets a bound, and every unknown then at a bound leaves
// the free set.
bool Solver::stepTowardsFree() {
  double step = 2.0;
  int blocking = 0;
  for (int k = 1; k <= nsetp; ++k) {
    const int j = index[k - 1];
    const double xj = x[j - 1], zk = z[k - 1];
    double ratio = 2.0;
    if (hasLower(j) && zk <= lower(j))
      ratio = xj <= lower(j) ? 0.0 : (xj - lower(j)) / (xj - zk);
    else if (hasUpper(j) && zk >= upper(j))
      ratio = xj >= upper(j) ? 0.0 : (upper(j) - xj) / (zk - xj);
    if (ratio < step) {
      step = ratio;
      blocking = k;
    }
  }
  if (blocking == 0) {
    for (int k = 1; k <= nsetp; ++k) x[index[k - 1] - 1] = z[k - 1];
    return true;
  }
  for (int k = 1; k <= nsetp; ++k) {
    double& xj = x[index[k - 1] - 1];
    xj += step * (z[k - 1] - xj);
  }
  // The blocking unknown goes exactly to the bound it met; any other that
  // rounding left on or past a bound goes there too.
  for (int k = nsetp; k >= 1; --k) {
    const int j = index[k - 1];
    double& xj = x[j - 1];
    bool atLower = hasLower(j) && (xj <= lower(j) || (k == blocking && z[k - 1] <= lower(j)));
    bool atUpper = hasUpper(j) && (xj >= upper(j) || (k == blocking && z[k - 1] >= upper(j)));
    if (atLower) xj = lower(j);
    else if (atUpper) xj = upper(j);
    else continue;
    leave(k);
  }
  return false;
}

// An iterate cut short can hold an unknown that has just entered the free
// set still at its bound; it returns to the fixed set, so that the free set
// is exactly the unknowns strictly inside their bounds.
void Solver::releaseBound() {
  for (int k = nsetp; k >= 1; --k) {
    const int j = index[k - 1];
    double& xj = x[j - 1];
    if (hasLower(j) && xj <= lower(j)) xj = lower(j);
    else if (hasUpper(j) && xj >= upper(j)) xj = upper(j);
    else continue;
    leave(k);
  }
}

int checkArguments(const Mat& a, const Vec& b, const Mat& bnd, const Vec& x, const Vec& w,
                   const IVec& index, const BvlsWork& work) {
  const int m = a.rows, n = a.cols;
  if (m < 1 || n < 1) return 1;
  bool shortArray = !a.p || a.ld < m || !b.p || b.n < m || !bnd.p || bnd.rows < 2 ||
                    bnd.ld < 2 || bnd.cols < n || !x.p || x.n < n || !w.p || w.n < n ||
                    !index.p || index.n < n || !work.s.p || work.s.n < m || !work.z.p ||
                    work.z.n < n;
  if (shortArray) return 2;
  for (int j = 1; j <= n; ++j)
    if (!(bnd(1, j) <= bnd(2, j))) return 3;
  return 0;
}

}  // namespace

void dbvlsWithLimit(int itmax, Mat a, Vec b, Mat bnd, Vec x, double& rnorm, int& nsetp,
                    Vec w, IVec index, int& ierr, BvlsWork work) {
  traceLine((ListLine() << "ITMAX=" << itmax << " EPS=" << kEps).str());
  ierr = checkArguments(a, b, bnd, x, w, index, work);
  if (ierr != 0) return;

  Solver sv{a, b.p, bnd, x.p, w.p, index.p, work.s.p, work.z.p, a.rows, a.cols};
  sv.start();
  // An iteration is one least-squares solve of the free set.
  int iter = 0;
  for (;;) {
    sv.residual(true);
    sv.dual();
    // An unknown may enter only if the solve that follows stays within the
    // limit; reaching the limit with an unknown waiting to enter is IERR 4.
    const bool mayEnter = iter < itmax;
    int j;
    while ((j = sv.choose()) != 0 && !sv.tryEnter(j, mayEnter)) sv.w[j - 1] = 0.0;
    if (j == 0) break;
    if (!mayEnter) {
      ierr = 4;
      break;
    }
    do {
      if (++iter > itmax) {
        ierr = 4;
        break;
      }
      sv.solveFree();
    } while (!sv.stepTowardsFree());
    if (ierr != 0) break;
  }
  if (ierr == 4) sv.releaseBound();
  sv.residual(ierr == 0);
  sv.dual();
  rnorm = DNRM2(sv.m, sv.s, 1);
  nsetp = sv.nsetp;
}

void DBVLS(Mat a, Vec b, Mat bnd, Vec x, double& rnorm, int& nsetp, Vec w, IVec index,
           int& ierr, BvlsWork work) {
  dbvlsWithLimit(30 * a.cols, a, b, bnd, x, rnorm, nsetp, w, index, ierr, work);
}

}  // namespace kova
