#pragma once
// The damped least-squares solve shared by the PHI and DELTA paths, and the
// secant search (with the Illinois modification) for its damping value.
//
// The system has NR = m + p rows and NC unknowns: m data rows (A, y_d) and p
// restriction rows (B, b) that must hold exactly. For a damping g >= 0 the
// damped solution d(g) minimises
//     ||A d - y_d||**2 + g**2 ||d||**2   subject to   B d = b;
// with g = 0 it is the minimum-length solution among the exact-restriction
// least-squares solutions.
//
// One singular value decomposition X = [A; B] = U S V' serves every g. With
// k the numerical rank, r = U1' y (U1 the first k left vectors) and, for
// j <= k, e_j = sqrt(S_j**2 + g**2), c_j = S_j / e_j, the solution is
//     d = V1 l,   l_j = (c_j r_j - delta_j) / e_j,
// where delta = 0 without restriction rows, and otherwise delta (length k)
// is the minimum-length solution of the p x k system
//     U_b diag(c) delta = U_b diag(c**2) r - b
// (U_b the restriction rows of U1). This is the elimination of the data-row
// residual h from  min ||h||**2 + g**2 ||d||**2  s.t.  X d + [h; 0] = y,
// whose restriction part is all that couples the singular directions; the
// p x k system has the rank of B, so dependent restriction rows show there.
#include <cmath>

#include "linalg/scratch.h"
#include "linalg/views.h"

namespace kova {

// Singular values at or below this fraction of the largest count as zero.
constexpr double kSvdRankTol = 1.0E-16;
// Rank tolerance of the restriction system above. Its matrix has entries of
// at most 1 and carries the rounding of the decomposition (a few NR units of
// the machine precision); dependent restriction rows leave pivots of that
// size, which a tolerance at the machine precision would divide by.
constexpr double kRestrictionRankTol = 1.0E-10;

// Linear restriction rows on an unknown vector: coef (rows x NC) d = rhs.
// No rows (coef.rows = 0) means no restriction.
struct RestrictionRows {
  Mat coef;
  const double* rhs = nullptr;
};

struct DampedSystem {
  int NR = 0, NC = 0, m = 0, p = 0;
  int k = 0;         // numerical rank of X
  double S1 = 0.0;   // largest singular value
  double* S = nullptr;
  Mat U;             // NR x min(NR, NC)
  Mat V;             // NC x NC
  double* r = nullptr;    // U1' y (k)
  const double* b = nullptr;  // restriction right-hand sides (p), y(m+1..NR)
  // Work of one solve.
  double* e = nullptr;
  double* svdWork = nullptr;
  double* l = nullptr;
  Mat C;              // p x NC
  double* rhs = nullptr;
  double* delta = nullptr;
  double* rsd = nullptr;
  double* qrWork = nullptr;
  int* jpvt = nullptr;
  // Of the last solve with restriction rows: the rank QRLSQ found and the
  // full rank min(p, k).
  int restrictionRank = 0, restrictionFull = 0;
};

// Carves the arrays of a system of m data rows, p restriction rows and NC
// unknowns.
DampedSystem carveDampedSystem(Scratch& s, int m, int p, int NC);

// Decomposes X (NR x NC, destroyed) and forms r from y (NR entries: the data
// right-hand sides then the restriction right-hand sides; y must stay
// alive while the system is used). Returns DSVDC's INFO. S1 = 0 (also for
// NR = 0) leaves k = 0: the caller stops.
int factorDampedSystem(DampedSystem& sys, Mat X, const double* y);

// d(g) into d (NC). With restriction rows, returns true when the rank of the
// restriction system fell below its full rank (sys.restrictionRank and
// sys.restrictionFull tell by how much).
bool dampedSolve(DampedSystem& sys, double g, double* d, int unit);

// The rank message of a damped solve.
void reportRestrictionRank(const DampedSystem& sys, const char* routine, const char* matrix,
                           int unit);

struct SecantOutcome {
  bool converged = false;
  int steps = 0;
};

// Secant search with the Illinois modification for a root of f between a
// (f(a) = fa > 0) and b (f(b) = fb). evaluate(step, g) computes f(g), leaving
// the caller's matrix at d(g). Stops when |f| <= tol at the top of a step or
// the bracket has closed; at most maxSteps evaluations. A secant step that is
// not defined (fa = fb, or a value that is not finite) ends the search as not
// converged, so that no damping value of NaN is ever used.
template <class Evaluate>
SecantOutcome secantSearch(double a, double fa, double b, double fb, int maxSteps, double tol,
                           Evaluate&& evaluate) {
  double fcur = fa;
  for (int step = 1; step <= maxSteps; ++step) {
    if (std::fabs(fcur) <= tol || std::fabs(a - b) <= 0.0) return {true, step - 1};
    const double g = (fa * b - fb * a) / (fa - fb);
    if (fa == fb || !std::isfinite(g)) return {false, step - 1};
    const bool wasPositive = fcur >= 0.0;
    fcur = evaluate(step, g);
    if (!std::isfinite(fcur)) return {false, step};
    const bool same = (fcur >= 0.0) == wasPositive;
    if (fcur > 0.0) {
      a = g;
      fa = fcur;
      if (same) fb *= 0.5;
    } else {
      b = g;
      fb = fcur;
      if (same) fa *= 0.5;
    }
  }
  return {std::fabs(fcur) <= tol || std::fabs(a - b) <= 0.0, maxSteps};
}

}  // namespace kova
