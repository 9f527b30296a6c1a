#include "input/workspace_plan.h"

#include "input/workspace_plan_count.h"
#include "io/error_report.h"

namespace kova {

namespace plan {

void checkCapacity(const char* caller, const char* arrayText, long long needed, int capacity,
                   int outUnit, int logUnit) {
  if (needed > capacity) reportShortage(caller, arrayText, needed, capacity, outUnit, logUnit);
}

}  // namespace plan

using plan::Count;

namespace {

constexpr const char* kWR = "REAL*8 WR";
constexpr const char* kWI = "INTEGER WI";

}  // namespace

void CKUMEM(int M, int K, int P, int sphRows, int piRows, int sdtRows, int phiLimit,
            int piLimit, int deltaLimit, int outUnit, int logUnit) {
  // Counts are taken as given (a negative row count cannot exceed a limit);
  // the squares and the product in 64 bits.
  const long long mm = static_cast<long long>(M) * M;
  const long long kp = static_cast<long long>(K) * P;
  const struct {
    long long count;
    int limit;
    const char* text;
  } checks[] = {
      {sphRows, phiLimit, "SPHRWU ROWS"}, {mm, phiLimit, "RCFPHU COLUMNS"},
      {piRows, piLimit, "SPIRWU ROWS"},   {kp, piLimit, "RCFPIU COLUMNS"},
      {sdtRows, deltaLimit, "SDTRWU ROWS"}, {mm, deltaLimit, "RCFDTU COLUMNS"},
  };
  for (const auto& c : checks)
    plan::checkCapacity("SUROUTINE CKUMEM", c.text, c.count, c.limit, outUnit, logUnit);
}

void ALCSDT(int M, int blockRecords, int ldX, int ldZ, DataSetupPlan& p, int wrCapacity,
            int outUnit, int logUnit) {
  Count m(M), block(blockRecords);
  plan::layOut(p.wr, {block, block * ldX, block * ldZ, m * m, (m + 1) * m});
  plan::checkCapacity("SUBROUTINE ALCSDT", kWR, p.wr.needed, wrCapacity, outUnit, logUnit);
  p.ldSquare = M;
  p.ldSquareRow = M + 1;
}

void ALPOCR(int K, int P, int piRows, ReparametrisationPlan& p, int wrCapacity, int outUnit,
            int logUnit) {
  Count kp = Count(K) * P, r1 = Count(piRows) + 1;
  plan::layOut(p.wr, {r1 * kp, r1 * r1, kp * kp, plan::smallest(r1, kp), Count(2) * kp});
  plan::checkCapacity("SUBROUTINE ALPOCR", kWR, p.wr.needed, wrCapacity, outUnit, logUnit);
  // Only a plan that fits has leading dimensions (that fit an int).
  p.ldRows = piRows + 1;
  p.ldCoeffs = K * P;
}

void ALPADS(int K, MuAdjustPlan& p, int wrCapacity, int wiCapacity, int outUnit, int logUnit) {
  Count k(K);
  plan::layOut(p.wr, {k, k * k, k, (k + 1) * k});
  plan::layOut(p.wi, {k});
  p.tolerance = 1.0E-14;
  plan::checkCapacity("SUBROUTINE ALPADS", kWR, p.wr.needed, wrCapacity, outUnit, logUnit);
  plan::checkCapacity("SUBROUTINE ALPADS", kWI, p.wi.needed, wiCapacity, outUnit, logUnit);
  p.ldK = K;
  p.ldKRow = K + 1;
}

void ALPXZY(int T, int K, int P, PooledXzyPlan& p, int wrCapacity, int outUnit, int logUnit,
            long long stateSpaceNeed) {
  Count t(T), k(K), kp = Count(K) * P, p1 = Count(P) - 1;
  Count rows = plan::largest({Count(3) * t, kp}) + 1;
  Count cols = plan::largest({k + t, kp});
  const bool dense = stateSpaceNeed < 0;
  plan::layOut(p.wr, {kp * kp, kp, t, t * k, t * k * p1, k, k * k, k * k * p1, t, k * t, kp * t,
                      dense ? t * t : Count(0), dense ? (k + t) * t : Count(0),
                      (kp + k + 1) * t, dense ? rows * cols : Count(stateSpaceNeed)});
  plan::checkCapacity("SUBROUTINE ALPXZY", kWR, p.wr.needed, wrCapacity, outUnit, logUnit);
}

void ALPPIC(int K, int P, PooledPiPlan& p, int wrCapacity, int wiCapacity, int outUnit,
            int logUnit) {
  Count kp = Count(K) * P;
  plan::layOut(p.wr, {kp * kp, kp, kp * kp, kp * kp, (kp + 1) * kp, (kp + 1) * kp,
                      Count(2) * kp * (kp + 3)});
  plan::layOut(p.wi, {kp});
  plan::checkCapacity("SUBROUTINE ALPPIC", kWR, p.wr.needed, wrCapacity, outUnit, logUnit);
  plan::checkCapacity("SUBROUTINE ALPPIC", kWI, p.wi.needed, wiCapacity, outUnit, logUnit);
  p.ldKP = K * P;
}

void ALPEMB(int T, int K, int M, int P, PooledEmbPlan& p, int wrCapacity, int outUnit,
            int logUnit) {
  Count t(T), k(K), m(M), pp(P), p1 = Count(P) - 1;
  plan::layOut(p.wr, {pp * t, m * t, m * m * t, t, t * k, t * k * p1, k, k * k, k * k * p1,
                      m * t, k, k * t, Count(2) * plan::largest({m, k})});
  plan::checkCapacity("SUBROUTINE ALPEMB", kWR, p.wr.needed, wrCapacity, outUnit, logUnit);
}

void ALCPFC(int T, int M, int K, int P, int TF, PooledForecastPlan& p, int wrCapacity,
            int outUnit, int logUnit) {
  Count t(T), m(M), k(K), pp(P), tf(TF);
  plan::layOut(p.wr, {t * m, k, tf, k * tf, pp * tf, m * m, tf, m * tf, k * tf, k * tf + m});
  plan::checkCapacity("SUBROUTINE ALCPFC", kWR, p.wr.needed, wrCapacity, outUnit, logUnit);
}

}  // namespace kova
