// The planners: layouts transcribed from the size tables, the capacity checks
// at their edges with the exact shortage report, and counts too large for 32
// bits.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <sstream>
#include <string>

#include "support/temp_dir.h"
#include "input/workspace_plan.h"
#include "io/console.h"
#include "io/fortran_io.h"
#include "io/stop.h"

namespace kova {
namespace {

namespace fs = std::filesystem;

constexpr int kOut = 100;
constexpr int kLog = 102;
constexpr int kWR = 6500000;
constexpr int kWI = 45000;
constexpr int kWC = 45000;

std::string shortage(const std::string& caller, const std::string& array, long long needed,
                     long long available) {
  return "\n FROM THE PROGRAM REGION " + caller + ", THE NUMBER OF VARIABLES OF TYPE\n " +
         array + " NEEDED IS AT LEAST " + std::to_string(needed) +
         ".\n\n THE NUMBER OF VARIABLES OF TYPE " + array + " ALLOCATED\n IS OF THE SIZE " +
         std::to_string(available) + ".\n\n PROGRAM STOPS.\n";
}

class PlanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(openUnit(kOut, "KOVAOUT", "FORMATTED", "UNKNOWN"), 0);
    ASSERT_EQ(openUnit(kLog, "KOVALOG", "FORMATTED", "UNKNOWN"), 0);
  }
  void TearDown() override {
    closeAllUnits();
  }

  // Runs a planning call; true when it stopped the run.
  template <class Call>
  bool stops(Call call) {
    ConsoleRedirect redirect(console_);
    try {
      call();
    } catch (const RunStopped&) {
      flushAllUnits();
      return true;
    }
    flushAllUnits();
    return false;
  }
  static std::string slurp(const char* name) {
    std::ifstream in(name);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::ostringstream console_;

 private:
  testing::TempDir dir_;
};

// ---------------------------------------------------------------------------
// CKUMEM

void ckumem(int M, int K, int P, int sph = 0, int pi = 0, int sdt = 0) {
  CKUMEM(M, K, P, sph, pi, sdt, 256, 256, 256, kOut, kLog);
}

TEST_F(PlanTest, RestrictionCapacitiesAtTheirEdges) {
  EXPECT_FALSE(stops([] { ckumem(16, 16, 16, 256, 256, 256); }));
  EXPECT_EQ(console_.str(), "");

  EXPECT_TRUE(stops([] { ckumem(17, 1, 1); }));
  const std::string report = shortage("SUROUTINE CKUMEM", "RCFPHU COLUMNS", 289, 256);
  EXPECT_EQ(console_.str(), report);
  EXPECT_EQ(slurp("KOVAOUT"), report);
  EXPECT_EQ(slurp("KOVALOG"), report);
}

TEST_F(PlanTest, RestrictionChecksRunInOrder) {
  struct Case {
    int M, K, P, sph, pi, sdt;
    const char* text;
    long long needed;
  } cases[] = {
      {17, 17, 17, 257, 257, 257, "SPHRWU ROWS", 257},
      {17, 17, 17, 0, 257, 257, "RCFPHU COLUMNS", 289},
      {1, 17, 17, 0, 257, 257, "SPIRWU ROWS", 257},
      {1, 16, 17, 0, 0, 257, "RCFPIU COLUMNS", 272},
      {1, 1, 1, 0, 0, 257, "SDTRWU ROWS", 257},
  };
  for (const Case& c : cases) {
    console_.str("");
    EXPECT_TRUE(stops([&] { ckumem(c.M, c.K, c.P, c.sph, c.pi, c.sdt); })) << c.text;
    EXPECT_EQ(console_.str(), shortage("SUROUTINE CKUMEM", c.text, c.needed, 256));
  }
  // K*P beyond 32 bits is still a count, not a wrapped negative number.
  console_.str("");
  EXPECT_TRUE(stops([] { ckumem(1, 65536, 65536); }));
  EXPECT_EQ(console_.str(), shortage("SUROUTINE CKUMEM", "RCFPIU COLUMNS", 4294967296LL, 256));
}

// ---------------------------------------------------------------------------
// The fixed-table planners: needed counts worked out by hand from the size
// tables.

template <std::size_t N>
void expectPacked(const Layout<N>& layout) {
  EXPECT_EQ(layout.start[0], 1);
  for (std::size_t i = 1; i < N; ++i)
    EXPECT_EQ(layout.start[i], layout.start[i - 1] + layout.size[i - 1]) << i;
  EXPECT_EQ(layout.needed, layout.start[N - 1] + layout.size[N - 1]);
}

TEST_F(PlanTest, DataSetupPlan) {
  DataSetupPlan plan;
  ALCSDT(2, 200, 60, 60, plan, kWR, kOut, kLog);
  EXPECT_EQ(plan.wr.start, (std::array<long long, 5>{1, 201, 12201, 24201, 24205}));
  EXPECT_EQ(plan.wr.needed, 24211);
  EXPECT_EQ(plan.ldSquare, 2);
  EXPECT_EQ(plan.ldSquareRow, 3);
  // The needed count is one past the last array, so a capacity of exactly
  // the sum of the sizes is short by one.
  EXPECT_TRUE(stops([&] { ALCSDT(2, 200, 60, 60, plan, 24210, kOut, kLog); }));
  EXPECT_EQ(console_.str(), shortage("SUBROUTINE ALCSDT", "REAL*8 WR", 24211, 24210));
}

TEST_F(PlanTest, ReparametrisationPlan) {
  ReparametrisationPlan plan;
  ALPOCR(1, 2, 1, plan, kWR, kOut, kLog);  // KP = 2, R = 1
  EXPECT_EQ(plan.wr.size, (std::array<long long, 5>{4, 4, 4, 2, 4}));
  EXPECT_EQ(plan.wr.needed, 19);
  EXPECT_EQ(plan.ldRows, 2);
  EXPECT_EQ(plan.ldCoeffs, 2);
  expectPacked(plan.wr);
  ALPOCR(2, 3, 10, plan, kWR, kOut, kLog);  // min(R + 1, KP) takes KP
  EXPECT_EQ(plan.wr.size[3], 6);
}

TEST_F(PlanTest, PooledPlans) {
  MuAdjustPlan ads;
  ALPADS(2, ads, kWR, kWI, kOut, kLog);
  EXPECT_EQ(ads.wr.size, (std::array<long long, 4>{2, 4, 2, 6}));
  EXPECT_EQ(ads.wr.needed, 15);
  EXPECT_EQ(ads.wi.needed, 3);
  EXPECT_EQ(ads.tolerance, 1.0E-14);
  EXPECT_EQ(ads.ldKRow, 3);

  PooledXzyPlan xzy;  // T = 2, K = 1, P = 2
  ALPXZY(2, 1, 2, xzy, kWR, kOut, kLog);
  EXPECT_EQ(xzy.wr.size, (std::array<long long, 15>{4, 2, 2, 2, 2, 1, 1, 1, 2, 2, 4, 4, 6, 8,
                                                     21}));
  EXPECT_EQ(xzy.wr.needed, 63);
  expectPacked(xzy.wr);

  PooledPiPlan pic;  // KP = 2
  ALPPIC(1, 2, pic, kWR, kWI, kOut, kLog);
  EXPECT_EQ(pic.wr.size, (std::array<long long, 7>{4, 2, 4, 4, 6, 6, 20}));
  EXPECT_EQ(pic.wr.needed, 47);
  EXPECT_EQ(pic.wi.needed, 3);
  EXPECT_EQ(pic.ldKP, 2);

  PooledEmbPlan emb;  // T = 2, K = 1, M = 1, P = 2
  ALPEMB(2, 1, 1, 2, emb, kWR, kOut, kLog);
  EXPECT_EQ(emb.wr.size,
            (std::array<long long, 13>{4, 2, 2, 2, 2, 2, 1, 1, 1, 2, 1, 2, 2}));
  EXPECT_EQ(emb.wr.needed, 25);
  expectPacked(emb.wr);

  PooledForecastPlan pfc;  // T = 2, M = 1, K = 1, P = 2, TF = 3
  ALCPFC(2, 1, 1, 2, 3, pfc, kWR, kOut, kLog);
  EXPECT_EQ(pfc.wr.size, (std::array<long long, 10>{2, 1, 3, 3, 6, 1, 3, 3, 3, 4}));
  EXPECT_EQ(pfc.wr.needed, 30);
  EXPECT_EQ(console_.str(), "");
}

TEST_F(PlanTest, PooledPlansReportTheirOwnShortages) {
  PooledPiPlan pic;
  EXPECT_TRUE(stops([&] { ALPPIC(1, 2, pic, kWR, 2, kOut, kLog); }));
  EXPECT_EQ(console_.str(), shortage("SUBROUTINE ALPPIC", "INTEGER WI", 3, 2));
  console_.str("");
  PooledXzyPlan xzy;  // P = 1: the (P - 1) arrays are empty
  EXPECT_TRUE(stops([&] { ALPXZY(5000, 1, 1, xzy, kWR, kOut, kLog); }));
  EXPECT_EQ(xzy.wr.size[4], 0);
  EXPECT_EQ(console_.str().rfind(
                "\n FROM THE PROGRAM REGION SUBROUTINE ALPXZY, THE NUMBER OF VARIABLES OF TYPE\n"
                " REAL*8 WR NEEDED IS AT LEAST ",
                0),
            0u);
}

// ---------------------------------------------------------------------------
// ALCCGR

GroupPlanDims dims(int T, int TF, int M, int K, int P, int sph = 0, int pi = 0, int sdt = 0) {
  GroupPlanDims d;
  d.T = T;
  d.TF = TF;
  d.M = M;
  d.K = K;
  d.P = P;
  d.sphRows = sph;
  d.piRows = pi;
  d.sdtRows = sdt;
  return d;
}

TEST_F(PlanTest, GroupPlanLaysEachWorkArrayOutWithoutGaps) {
  GroupPlan plan;
  const GroupPlanDims d = dims(40, 3, 3, 4, 2, 2, 5, 1);
  ALCCGR(d, plan, kWR, kWI, kWC, kOut, kLog);
  long long next[3] = {1, 1, 1}, sum[3] = {0, 0, 0};
  for (int e = 1; e <= GroupPlan::kEntries; ++e) {
    int a = static_cast<int>(GroupPlan::area(e));
    EXPECT_EQ(plan.start[e], next[a]) << "entry " << e;
    next[a] += plan.size[e];
    sum[a] += plan.size[e];
  }
  EXPECT_EQ(plan.start[37], 1);  // the only WI entry
  EXPECT_EQ(plan.start[15], 1);  // the first WC entry
  EXPECT_EQ(plan.start[38], plan.start[18] + plan.size[18]);
  EXPECT_EQ(plan.SSUMI, sum[1] + 1000);
  EXPECT_EQ(plan.SSUMC, sum[2] + 1000);
  EXPECT_EQ(plan.SSUMR, sum[0] + 2000);
  // Sizes given in closed form.
  const long long kp = 8, T = 40, M = 3;
  EXPECT_EQ(plan.size[12], kp * T);
  EXPECT_EQ(plan.size[22], M * M * T);
  EXPECT_EQ(plan.size[26], 5 + T);
  EXPECT_EQ(plan.size[27], 5 * kp + 5);  // W1: the working PI restriction
  EXPECT_EQ(plan.size[28], T + kp);      // W2
  EXPECT_EQ(plan.size[41], 4 * T);       // BETA
  EXPECT_EQ(plan.size[42], M * 3);       // forecast EPSILON
  EXPECT_EQ(plan.size[35], T * T);
  EXPECT_EQ(plan.ldKPT, 40);
  EXPECT_EQ(plan.ldM, 3);
}

TEST_F(PlanTest, GroupWorkSizesCoverTheLargestStepNeeds) {
  // A few needs of the estimation steps that the scratch arrays must hold.
  for (const GroupPlanDims& d : {dims(30, 0, 4, 3, 2, 3, 4, 2), dims(5, 2, 6, 2, 2, 0, 9, 7),
                                 dims(200, 10, 2, 8, 4, 0, 0, 0)}) {
    GroupPlanDims withSteps = d;
    withSteps.stepDoubles = 7 * d.T * d.T;
    withSteps.stepInts = 3 * d.T + 11;
    withSteps.stepComplexes = 5 * d.M * d.M + 9;
    const GroupWorkSizes w = groupWorkSizes(withSteps);
    EXPECT_GE(w.W3, withSteps.stepDoubles);  // the built steps' own needs
    EXPECT_GE(w.WI1, withSteps.stepInts);
    EXPECT_GE(w.WC1, withSteps.stepComplexes);
    const long long T = d.T, M = d.M, kp = d.K * d.P, R = d.piRows, S = T + R;
    const long long nrp = T - 1 + d.sphRows, nrd = T - 1 + d.sdtRows;
    EXPECT_GE(w.W3, M * M * nrp);                     // XPHI
    EXPECT_GE(w.W3, S * S);                           // the stacked covariance factor
    EXPECT_GE(w.W4, nrd * nrd);                       // U of the DELTA SVD
    EXPECT_GE(w.W4, S * (T + 1));                     // ECPIMU right-hand sides
    EXPECT_GE(w.W5, M * M * M * M + nrp * M * M);     // V and the XPHI copy
    EXPECT_GE(w.W6, S * (kp + R));                    // the QDBVLS system
    EXPECT_GE(w.W6, 2 * nrp * (nrp + M * M));         // the damped PHI system
    EXPECT_GE(w.WI1, kp + S);                         // GLS pivots
    EXPECT_GE(w.WC1, 2 * M * M);
  }
  const GroupWorkSizes empty = groupWorkSizes(dims(0, 0, 0, 0, 0));
  for (long long v : {empty.W1, empty.W2, empty.W3, empty.W4, empty.W5, empty.W6, empty.W7,
                      empty.WI1, empty.WC1})
    EXPECT_EQ(v, 1);
}

TEST_F(PlanTest, GroupPlanWritesItsTotalsLine) {
  GroupPlan plan;
  ALCCGR(dims(10, 2, 2, 2, 1), plan, kWR, kWI, kWC, kOut, kLog);
  flushAllUnits();
  std::string line = " SSUMI=" + std::string(12 - std::to_string(plan.SSUMI).size(), ' ') +
                     std::to_string(plan.SSUMI) + "   SSUMC=" +
                     std::string(12 - std::to_string(plan.SSUMC).size(), ' ') +
                     std::to_string(plan.SSUMC) + "   SSUMR=" +
                     std::string(12 - std::to_string(plan.SSUMR).size(), ' ') +
                     std::to_string(plan.SSUMR) + "\n";
  EXPECT_EQ(slurp("KOVAOUT"), line);
  EXPECT_EQ(slurp("KOVALOG"), "");
}

TEST_F(PlanTest, GroupPlanWithoutForecasts) {
  GroupPlan plan;
  ALCCGR(dims(10, 0, 2, 2, 1), plan, kWR, kWI, kWC, kOut, kLog);
  for (int e : {2, 4, 6, 11, 39, 40}) EXPECT_EQ(plan.size[e], 0) << e;
}

TEST_F(PlanTest, GroupPlanAtAndAboveTheWRCapacity) {
  const GroupPlanDims d = dims(120, 4, 3, 3, 2, 1, 2, 1);
  GroupPlan plan;
  ALCCGR(d, plan, kWR, kWI, kWC, kOut, kLog);
  const long long ssumr = plan.SSUMR;
  ASSERT_LT(ssumr, kWR);
  // The capacity is the planner's argument: a plan whose SSUMR equals it
  // passes, one element more stops.
  EXPECT_FALSE(stops([&] { ALCCGR(d, plan, static_cast<int>(ssumr), kWI, kWC, kOut, kLog); }));
  EXPECT_EQ(console_.str(), "");
  EXPECT_TRUE(
      stops([&] { ALCCGR(d, plan, static_cast<int>(ssumr) - 1, kWI, kWC, kOut, kLog); }));
  const std::string report = shortage("SUBROUTINE ALCCGR", "REAL*8 WR", ssumr, ssumr - 1);
  EXPECT_EQ(console_.str(), report);
  EXPECT_NE(slurp("KOVAOUT").find(report), std::string::npos);
  EXPECT_NE(slurp("KOVALOG").find(report), std::string::npos);
}

TEST_F(PlanTest, GroupPlanChecksWIAndWCAfterWR) {
  const GroupPlanDims d = dims(20, 1, 2, 2, 2);
  GroupPlan plan;
  EXPECT_TRUE(stops([&] { ALCCGR(d, plan, kWR, 1000, 1000, kOut, kLog); }));
  EXPECT_EQ(console_.str(), shortage("SUBROUTINE ALCCGR", "INTEGER WI", plan.SSUMI, 1000));
  console_.str("");
  EXPECT_TRUE(stops([&] { ALCCGR(d, plan, kWR, kWI, 1000, kOut, kLog); }));
  EXPECT_EQ(console_.str(), shortage("SUBROUTINE ALCCGR", "COMPLEX*16 WC", plan.SSUMC, 1000));
}

TEST_F(PlanTest, HugeGroupsReportAShortageInsteadOfOverflowing) {
  GroupPlan plan;
  // M^4 and M T^2 are far beyond 32 bits here.
  EXPECT_TRUE(stops([&] { ALCCGR(dims(12500, 0, 1000, 16, 16), plan, kWR, kWI, kWC, kOut, kLog); }));
  EXPECT_GT(plan.SSUMR, static_cast<long long>(INT_MAX));
  EXPECT_GE(plan.work.W5, 1000LL * 1000 * 1000 * 1000);
  EXPECT_EQ(console_.str(), shortage("SUBROUTINE ALCCGR", "REAL*8 WR", plan.SSUMR, kWR));
  // The SSUM line shows the full counts.
  EXPECT_NE(slurp("KOVAOUT").find(std::to_string(plan.SSUMR)), std::string::npos);

  console_.str("");
  EXPECT_TRUE(stops([&] {
    ALCCGR(dims(INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MAX), plan,
           kWR, kWI, kWC, kOut, kLog);
  }));
  EXPECT_EQ(plan.SSUMR, kCountCeiling);
  EXPECT_NE(console_.str().find("REAL*8 WR NEEDED IS AT LEAST"), std::string::npos);
}

}  // namespace
}  // namespace kova
