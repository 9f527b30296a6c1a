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
//
// The steps of a pass that are built carve all their scratch arrays from
// one stretch (W3..W6, which lie side by side), WI1 and WC1, and state
// their exact need (GroupPlanDims::stepDoubles and so on); W3, WI1 and WC1
// are at least that need. Two work sizes hold arrays of the group driver:
//   W1  the working copy of the PI restriction, R x n and R right-hand
//       sides (the inequality step rewrites it every pass);
//   W2  the eigenvalues of YSIGMA (T) and the inequality estimate EIPIVC (n).
// The remaining candidates are bounds for the solver steps of PHI and DELTA,
// the inequality step of PI and the special covariance of pass 1. The
// Levenberg-Marquardt systems have NR = T - 1 + (restriction rows) rows and
// NC unknowns: m(m+1)/2 for a full DELTA, m*m for a full PHI.
//   W3  LM: XDLT/XPHI, NR x NC; QP: (T-1) x m; INEQPI: T x T; the special
//       covariance's GLS core: [YSIGMA-0 factor; 0], S x S, S = T + R.
//   W4  LM: U, NR x NR; INEQPI: T x T; special covariance: S x (T + 1).
//   W5  LM: V and the copy of the regression matrix; INEQPI: V, the
//       transformed XZ and y; special covariance: the GLS solutions.
//   W6  LM: the damped system and its reduction; INEQPI: the QDBVLS system.
//   W7  the vectors of those steps; WI1 their pivots; WC1 the complex
//       eigen work of EIGDCP inside the PHI search.
GroupWorkSizes groupWorkSizes(const GroupPlanDims& d) {
  const Count n = Count(d.K) * d.P, t(d.T), r(d.piRows), m(d.M);
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

  // Only the dense engine, or an explicit factor of YSIGMA, needs the T x T
  // bounds of the inequality step and the special covariance; the state-space
  // steps state their need through stepDoubles.
  const bool square = d.squareArrays || d.factor;
  const Count tt = square ? t * t : Count(0);
  const Count ss = square ? s * s : Count(0);
  const Count st1 = square ? s * (t + 1) : Count(0);

  GroupWorkSizes w;
  w.W1 = (r * n + r).v;
  w.W2 = (t + n).v;
  if (square) {
    w.W3 = largest({Count(d.stepDoubles), lmMatrix(nrd, ncd), lmMatrix(nrp, ncp), t1 * m, tt, ss})
               .v;
    w.W4 = largest({lmU(nrd), lmU(nrp), tt, st1}).v;
    w.W5 = largest({lmV(nrd, ncd), lmV(nrp, ncp), tt + t * n + t,
                    (n + 1) * (t + 1) + n * n + n * s})
               .v;
    w.W6 = largest({lmDamped(nrd, ncd), lmDamped(nrp, ncp), s * (n + r), ss}).v;
  } else {
    // The solver steps carve what they use (stepDoubles); the bounds above
    // grow with T^2 through the unused square systems.
    w.W3 = largest({Count(d.stepDoubles), t1 * m}).v;
  }
  w.W7 = largest({lmVectors(nrd, ncd), lmVectors(nrp, ncp), Count(3) * t + Count(5) * m,
                  Count(5) * t + Count(5) * (n + r) + Count(3) * r + 1,
                  Count(5) * s + Count(2) * n + t + 1})
             .v;
  w.WI1 = largest({Count(d.stepInts), nrd + ncd + Count(2) * m, nrp + ncp + Count(2) * m, m,
                   n + r, n + s})
              .v;
  w.WC1 = largest({Count(d.stepComplexes), Count(2) * m * m + Count(2) * m}).v;
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
  const Count tt = t * t;
  const Count ysigmaSize = d.squareArrays ? tt : Count(d.engineStore) + (d.factor ? tt : Count(0));
  const Count factorSize = (d.squareArrays || d.factor) ? tt : Count(0);
  const Count roSize = d.squareArrays ? tt : Count(0);
  const Count xzSize = d.squareArrays ? nt * t : t * n;
  return {0,
          t, tf, k * t, k * tf, p * t, p * tf, mm, mm, mm, m * t,                // 1-10
          m * tf, n * nt, mm, mm, mm, m, mm, mm, mm, m,                          // 11-20
          mm, mm * t, ysigmaSize, factorSize, nt, largest({n, Count(d.piRows) + t}), w.W1, w.W2,
          m * t, w.W3,                                                          // 21-30
          w.W4, w.W5, w.W6, roSize, xzSize, w.W7, w.WI1, w.WC1, tf, tf,         // 31-40
          k * t, m * tf, k * tf};                                                // 41-43
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
