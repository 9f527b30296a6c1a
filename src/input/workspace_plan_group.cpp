// The group plan (ALCCGR) and the bounds of the scratch arrays that the
// estimation steps of one group share.
#include <climits>
#include <string>

#include "input/workspace_plan.h"
#include "input/workspace_plan_count.h"
#include "io/edit_descriptors.h"
#include "io/messages.h"

namespace kova {

using plan::Count;
using plan::largest;

// Notation: n = K*P (the PI coefficients), T = T_g, R = PI rows, m = M.
// The Levenberg-Marquardt systems have NR = T - 1 + (restriction rows) rows
// and NC unknowns: NC = m(m+1)/2 for a full DELTA, m*m for a full PHI (the
// diagonal cases, m unknowns, are smaller). The stacked PI system has
// S = T + R rows. Each scratch array is given one role per step, so that the
// arrays a step holds at the same time lie in different work sizes:
//
//   W3  the step's main matrix
//       LM DELTA/PHI: the regression matrix XDLT/XPHI, NR x NC;
//       QP DELTA/PHI: the (T-1) x m bounded system;
//       INEQPI: the copy of UYSGMA' decomposed by the SVD, T x T;
//       GLS core (ECPIMU, SCOVAR, DLTMUP): the stacked covariance factor
//       [UYSGMA'; 0], S x S;
//       ORCVAR: the copy of RCFPI for its SVD (R x n), later the reduced
//       information matrix (n x n): n * max(R, n);
//       CGAMMA: XGAMMA, m^2 x m^2 (folded in place);
//       CSIGYE: the square root V of YSIGMA, T*m x T;
//       CEPS: W = UYSGMA RO', T x T.
//   W4  the second matrix
//       LM: the left singular vectors U, NR x NR;
//       INEQPI: U of the SVD, T x T;
//       GLS core: the right-hand sides [y, e_1..e_T], S x (T + 1);
//       ORCVAR: the null-space basis N, its transpose as right-hand sides
//       and the solution Y, 3 n^2;
//       CGAMMA: the minimum-norm reduction of QRLSQ, (m(m+1)/2)^2;
//       CEPS: A = W'W, T x T.
//   W5  the third matrix
//       LM: V (NC x NC) and the copy of the regression matrix kept across
//       DSVDC (NR x NC);
//       INEQPI: V (T x T), the transformed XZ (T x n) and y (T);
//       GLS core: the solutions and their SIGMA**2 ((n + 1)(T + 1)), the
//       minimum-norm reduction of R1 (n x n) and the n x S product that
//       forms the covariance;
//       ORCVAR: XZ N, the solution Zr and its residuals (3 T n) and the
//       residuals of the final inversion (n x n);
//       CEPS: the minimum-norm reduction of QRLSQ, T x T.
//   W6  the fourth matrix
//       LM: the damped (h, z) system, NR x (NR + NC), and its transposed
//       minimum-norm reduction, (NR + NC) x NR;
//       INEQPI: the stacked system of QDBVLS, S x (n + R);
//       GLS core: G2, the trailing rows of Q1'F, at most S x S;
//       ORCVAR: the whitening factor G and its minimum-norm reduction
//       (2 T^2) and the reduction of the information matrix (n^2).
//   W7  the vectors of a step (singular values, QR auxiliaries, right-hand
//       sides, residual vectors, bounds, weights)
//       LM: 10 (NR + NC) + T (s, e, the DSVDC work, U'y, y, d, l, (h, z),
//       the damped right-hand side, qraux, two QRLSQ work vectors, the
//       residual, the row weights) plus the real work of EIGDCP for PHI
//       (a copy of PHI, Z, the real and imaginary parts, the scaling),
//       2 m^2 + 4 m;
//       QP: 3 T + 5 m; INEQPI: 5 T + 5 (n + R) + 3 R + 1 (SVD vectors, the
//       stacked right-hand side, bounds 2 x (n + R), X, W, the two DBVLS work
//       vectors, E x and C x);
//       GLS core: 5 S + 2 n + T + 1; ORCVAR: 2 n + R + 3 T + 1;
//       CGAMMA: 5 m^2 + 2 m; CSIGYE: D = PHI^k (m^2) with 3 m + 2 T;
//       CEPS: 6 T + m; ADJDND: 2 m^2 + 5 m; YFCAST, CBETA, CTLXS: 2 m + K.
//   WI1 pivot and index vectors
//       LM: NR + NC + 2 m; QP: m; INEQPI: n + R; GLS core: n + S;
//       ORCVAR: max(T, n) + n; CGAMMA: m(m+1)/2 + m; CSIGYE, CEPS: T;
//       ADJDND: m.
//   WC1 complex work
//       EIGDCP/ADJPHI (ZGEFA/ZGEDI work, the complex product V diag W^-1):
//       2 m^2 + 2 m; CSIGYE (eigenvalue powers and W diag(lambda^k) W^-1):
//       2 m^2 + m.
// These are first bounds, to be tightened as the steps land. Arrays that
// live across the steps of a pass are not scratch and are not counted here.
// W1 and W2 keep their closed forms: W1 = n max(n, R + T) holds the stacked
// PI design [XZ; RCFPI] (or its transpose) and W2 = max(n, m^2, T + 1) a
// vector of the longest of those lengths.
GroupWorkSizes groupWorkSizes(const GroupPlanDims& d) {
  const Count n = Count(d.K) * d.P, t(d.T), r(d.piRows), m(d.M), k(d.K);
  const Count s = t + r;
  const Count ncd = Count((m * (m + 1)).v / 2), ncp = m * m;
  const Count nrd = t + d.sdtRows - 1, nrp = t + d.sphRows - 1;
  const Count t1 = t - 1;

  auto lmMatrix = [](Count nr, Count nc) { return nr * nc; };
  auto lmU = [](Count nr) { return nr * nr; };
  auto lmV = [](Count nr, Count nc) { return nc * nc + nr * nc; };
  auto lmDamped = [](Count nr, Count nc) { return Count(2) * nr * (nr + nc); };
  auto lmVectors = [&](Count nr, Count nc) {
    return Count(10) * (nr + nc) + t + Count(2) * m * m + Count(4) * m;
  };

  GroupWorkSizes w;
  w.W1 = (n * largest({n, r + t})).v;
  w.W2 = largest({n, m * m, t + 1}).v;
  w.W3 = largest({lmMatrix(nrd, ncd), lmMatrix(nrp, ncp), t1 * m, t * t, s * s,
                  n * largest({r, n}), m * m * m * m, t * m * t})
             .v;
  w.W4 = largest({lmU(nrd), lmU(nrp), t * t, s * (t + 1), Count(3) * n * n, ncd * ncd}).v;
  w.W5 = largest({lmV(nrd, ncd), lmV(nrp, ncp), t * t + t * n + t,
                  (n + 1) * (t + 1) + n * n + n * s, Count(3) * t * n + n * n})
             .v;
  w.W6 = largest({lmDamped(nrd, ncd), lmDamped(nrp, ncp), s * (n + r), s * s,
                  Count(2) * t * t + n * n})
             .v;
  w.W7 = largest({lmVectors(nrd, ncd), lmVectors(nrp, ncp), Count(3) * t + Count(5) * m,
                  Count(5) * t + Count(5) * (n + r) + Count(3) * r + 1,
                  Count(5) * s + Count(2) * n + t + 1, Count(2) * n + r + Count(3) * t + 1,
                  Count(5) * m * m + Count(2) * m, m * m + Count(3) * m + Count(2) * t,
                  Count(6) * t + m, Count(2) * m * m + Count(5) * m, Count(2) * m + k})
             .v;
  w.WI1 = largest({nrd + ncd + Count(2) * m, nrp + ncp + Count(2) * m, m, n + r, n + s,
                   largest({t, n}) + n, ncd + m, t})
              .v;
  w.WC1 = largest({Count(2) * m * m + Count(2) * m, Count(2) * m * m + m}).v;
  for (long long* v : {&w.W1, &w.W2, &w.W3, &w.W4, &w.W5, &w.W6, &w.W7, &w.WI1, &w.WC1})
    if (*v < 1) *v = 1;
  return w;
}

WorkArea GroupPlan::area(int entry) {
  if (entry == 37) return WorkArea::WI;
  if ((entry >= 15 && entry <= 18) || entry == 38) return WorkArea::WC;
  return WorkArea::WR;
}

namespace {

// A list-directed integer: default integers while the value fits them.
void putCount(ListLine& line, long long value) {
  if (value <= INT_MAX)
    line << static_cast<int>(value);
  else
    line << value;
}

std::array<Count, GroupPlan::kEntries + 1> entrySizes(const GroupPlanDims& d,
                                                      const GroupWorkSizes& w) {
  const Count t(d.T), tf(d.TF), m(d.M), k(d.K), p(d.P), n = Count(d.K) * d.P;
  const Count nt = largest({n, t});
  const Count mm = m * m;
  return {0,
          t, tf, k * t, k * tf, p * t, p * tf, mm, mm, mm, m * t,                // 1-10
          m * tf, n * nt, mm, mm, mm, m, mm, mm, mm, m,                          // 11-20
          mm, mm * t, t * t, t * t, nt, largest({n, Count(d.piRows) + t}), w.W1, w.W2,
          m * t, w.W3,                                                          // 21-30
          w.W4, w.W5, w.W6, t * t, nt * t, w.W7, w.WI1, w.WC1, tf, tf};          // 31-40
}

}  // namespace

void ALCCGR(const GroupPlanDims& d, GroupPlan& plan, int wrCapacity, int wiCapacity,
            int wcCapacity, int outUnit, int logUnit) {
  plan.work = groupWorkSizes(d);
  const auto sizes = entrySizes(d, plan.work);
  Count next[3] = {Count(1), Count(1), Count(1)};
  Count sums[3];
  for (int e = 1; e <= GroupPlan::kEntries; ++e) {
    int a = static_cast<int>(GroupPlan::area(e));
    plan.start[e] = next[a].v;
    plan.size[e] = sizes[e].v;
    next[a] = next[a] + sizes[e];
    sums[a] = sums[a] + sizes[e];
  }
  // The totals carry fixed margins instead of being the layout ends.
  plan.SSUMI = (sums[static_cast<int>(WorkArea::WI)] + 1000).v;
  plan.SSUMC = (sums[static_cast<int>(WorkArea::WC)] + 1000).v;
  plan.SSUMR = (sums[static_cast<int>(WorkArea::WR)] + 2000).v;

  ListLine line;
  line << "SSUMI=";
  putCount(line, plan.SSUMI);
  line << "  SSUMC=";
  putCount(line, plan.SSUMC);
  line << "  SSUMR=";
  putCount(line, plan.SSUMR);
  writeUnit(outUnit, line.str());

  plan::checkCapacity("SUBROUTINE ALCCGR", "REAL*8 WR", plan.SSUMR, wrCapacity, outUnit,
                      logUnit);
  plan::checkCapacity("SUBROUTINE ALCCGR", "INTEGER WI", plan.SSUMI, wiCapacity, outUnit,
                      logUnit);
  plan::checkCapacity("SUBROUTINE ALCCGR", "COMPLEX*16 WC", plan.SSUMC, wcCapacity, outUnit,
                      logUnit);
  // Only a plan that fits has leading dimensions (that fit an int).
  plan.ldX = plan.ldXF = d.K;
  plan.ldZ = plan.ldZF = d.P;
  plan.ldM = d.M;
  plan.ldT = d.T;
  plan.ldKPT = static_cast<int>(largest({Count(d.K) * d.P, Count(d.T)}).v);
}

}  // namespace kova
