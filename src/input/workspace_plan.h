#pragma once
// Planning of the program region: the work arrays WR (doubles), WI (integers)
// and WC (double-complex values) that the run driver owns.
//
// Before each phase a planner computes the size of every array that the phase
// uses, lays the arrays of each work array out one after another from
// position 1 without gaps, and returns each array's 1-based start position
// (and the leading dimensions of its matrices). A plan holds until the next
// planning call; planners neither clear nor initialise the work arrays.
//
// Counts are computed in 64 bits and saturate at kCountCeiling, so that any
// dimension, however large, gives a shortage report instead of an overflow.
// When a needed count exceeds its capacity the planner issues the capacity
// shortage report (console, output unit, log unit) with its own caller text
// and the array text "REAL*8 WR", "INTEGER WI" or "COMPLEX*16 WC", and the
// run ends. Needed count: one past the last array (1 + the sum of the sizes),
// except for ALCCGR, which checks its SSUM totals.
#include <array>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>
#include <vector>

namespace kova {

inline constexpr long long kCountCeiling = 4'000'000'000'000'000'000LL;

// Start positions and sizes of the arrays one phase lays out in one work
// array, in layout order (index 0 is the first array).
template <std::size_t N>
struct Layout {
  std::array<long long, N> start{};
  std::array<long long, N> size{};
  long long needed = 1;  // one past the last array
};

// Storage of the program region: allocated zeroed by the system (calloc),
// and not written again on construction, so that the pages of the large
// REAL*8 region that a run never uses are never touched (a group of a few
// hundred periods uses a small part of its 6,500,000 doubles).
template <class T>
struct ZeroedPages {
  using value_type = T;
  ZeroedPages() = default;
  template <class U>
  ZeroedPages(const ZeroedPages<U>&) {}
  T* allocate(std::size_t n) {
    void* p = std::calloc(n == 0 ? 1 : n, sizeof(T));
    if (p == nullptr) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t) { std::free(p); }
  // Value-initialisation would write the zeros calloc already gave.
  template <class U>
  void construct(U*) noexcept {}
  template <class U, class A, class... Rest>
  void construct(U* p, A&& a, Rest&&... rest) {
    ::new (static_cast<void*>(p)) U(std::forward<A>(a), std::forward<Rest>(rest)...);
  }
  template <class U>
  bool operator==(const ZeroedPages<U>&) const { return true; }
  template <class U>
  bool operator!=(const ZeroedPages<U>&) const { return false; }
};
using RegionDoubles = std::vector<double, ZeroedPages<double>>;

// The element at a 1-based start position of a work array, for carving views.
template <class Work>
auto* carve(Work& work, long long start) {
  return work.data() + (start - 1);
}

// ---------------------------------------------------------------------------
// CKUMEM: the restriction arrays of PHI, PI and DELTA are fixed arrays (rows
// and columns up to their limit, 256 each). Checks, in this order, SPHROW,
// M*M, the PI rows, K*P, SDTROW and M*M against the limits; the first one
// that exceeds its limit gives the shortage report (caller "SUROUTINE
// CKUMEM") and ends the run.
void CKUMEM(int M, int K, int P, int sphRows, int piRows, int sdtRows, int phiLimit,
            int piLimit, int deltaLimit, int outUnit, int logUnit);

// ---------------------------------------------------------------------------
// ALCSDT: the data set-up. WR: the block of y values (block records), the x
// block (block x ldX), the z block (block x ldZ), an M x M matrix (leading
// dimension M) and an (M+1) x M matrix (leading dimension M + 1).
struct DataSetupPlan {
  Layout<5> wr;
  int ldSquare = 0;      // M
  int ldSquareRow = 0;   // M + 1
};
void ALCSDT(int M, int blockRecords, int ldX, int ldZ, DataSetupPlan& plan, int wrCapacity,
            int outUnit, int logUnit);

// ALPOCR: the PI reparametrisation, with R the PI rows and KP = K*P. WR:
// (R+1) x KP, (R+1) x (R+1), KP x KP, min(R+1, KP), 2 x KP.
struct ReparametrisationPlan {
  Layout<5> wr;
  int ldRows = 0;    // R + 1, for the first two
  int ldCoeffs = 0;  // KP, for the third and fourth
};
void ALPOCR(int K, int P, int piRows, ReparametrisationPlan& plan, int wrCapacity,
            int outUnit, int logUnit);

// ---------------------------------------------------------------------------
// ALCCGR: the group plan, 43 entries (numbered 1..43 as the group driver
// knows them): the 40 of the classic layout and, after them, the BETA(t)
// vectors (K x T), the forecast EPSILON (M x TF) and the forecast BETA
// (K x TF). Entries 15..18 and 38 lie in WC, entry 37 in WI, all others in
// WR. The work sizes W1..W7, WI1 and WC1 are the scratch arrays that the
// estimation steps of a pass share in turn; groupWorkSizes documents them.
// W3..W6 are adjacent, so the group driver hands them to a step as one
// stretch of scratch.
struct GroupPlanDims {
  int T = 0;        // estimation records of the group (T_g)
  int TF = 0;       // forecast records of the group
  int M = 0, K = 0, P = 0;
  int sphRows = 0;  // PHI restriction rows (SPHROW)
  int piRows = 0;   // PI restriction rows, equalities and inequalities
  int sdtRows = 0;  // DELTA restriction rows (SDTROW)
  // The largest scratch need of the estimation steps that carve their work
  // arrays from the W3..W6 stretch, WI1 and WC1 (the steps compute it from
  // their own carving code; the group driver passes it in).
  long long stepDoubles = 0, stepInts = 0, stepComplexes = 0;
  // The arrays of the engine of the passes: YSIGMA, its factor and the
  // residual operator as T x T matrices (squareArrays), or the factor and
  // YSIGMA alone when a step asks for them (factor), and the records of the
  // state-space engine (engineStore doubles, in the place of YSIGMA).
  bool squareArrays = true;
  bool factor = true;
  long long engineStore = 0;
};

struct GroupWorkSizes {
  long long W1 = 1, W2 = 1, W3 = 1, W4 = 1, W5 = 1, W6 = 1, W7 = 1, WI1 = 1, WC1 = 1;
};

// Each work size is the largest need of the steps that share it, never below 1.
GroupWorkSizes groupWorkSizes(const GroupPlanDims& d);

enum class WorkArea { WR, WI, WC };

struct GroupPlan {
  static constexpr int kEntries = 43;
  std::array<long long, kEntries + 1> start{};  // [1..43], in the entry's work array
  std::array<long long, kEntries + 1> size{};   // [1..43]
  GroupWorkSizes work;
  // Leading dimensions handed to the group driver.
  int ldX = 0, ldXF = 0;     // K, K
  int ldZ = 0, ldZF = 0;     // P, P
  int ldM = 0;               // M (PHI, DELTA, their factors, GAMMA, EPSILON...)
  int ldT = 0;               // T_g
  int ldKPT = 0;             // max(K*P, T_g)
  int fixedA = 5, fixedB = 5;
  long long SSUMI = 0, SSUMC = 0, SSUMR = 0;

  static WorkArea area(int entry);
};

// Lays out the group's arrays, writes the list-directed line "SSUMI=", SSUMI,
// "  SSUMC=", SSUMC, "  SSUMR=", SSUMR to the output unit, then checks SSUMR
// against the WR capacity, SSUMI against WI and SSUMC against WC (caller
// "SUBROUTINE ALCCGR").
void ALCCGR(const GroupPlanDims& d, GroupPlan& plan, int wrCapacity, int wiCapacity,
            int wcCapacity, int outUnit, int logUnit);

// ---------------------------------------------------------------------------
// The pooled phase (KP = K*P, T the group's estimation records, TF its
// forecast records).

// ALPADS: the adjustment of the MU-vector covariance matrix. WR: K, K x K, K,
// (K+1) x K; WI: K. Sets the definiteness tolerance 1.0E-14.
struct MuAdjustPlan {
  Layout<4> wr;
  Layout<1> wi;
  int ldK = 0;       // K
  int ldKRow = 0;    // K + 1
  double tolerance = 0.0;
};
void ALPADS(int K, MuAdjustPlan& plan, int wrCapacity, int wiCapacity, int outUnit,
            int logUnit);

// ALPXZY: one group's matrices for the pooled PI, 15 WR arrays.
struct PooledXzyPlan {
  Layout<15> wr;
};
// A group of the state-space engine gives stateSpaceNeed, the need of its
// linear-time step, in the place of the T x T arrays of the dense square
// root of Omega and its SVD.
void ALPXZY(int T, int K, int P, PooledXzyPlan& plan, int wrCapacity, int outUnit, int logUnit,
            long long stateSpaceNeed = -1);

// ALPPIC: the pooled PI vector and its covariance. WR: six KP matrices and
// vectors, then a work area of 2 x KP x (KP + 3); WI: KP. The two arrays of
// (KP + 1) x KP elements are KP x (KP + 1) matrices, so all six leading
// dimensions are KP.
struct PooledPiPlan {
  Layout<7> wr;
  Layout<1> wi;
  int ldKP = 0;
};
void ALPPIC(int K, int P, PooledPiPlan& plan, int wrCapacity, int wiCapacity, int outUnit,
            int logUnit);

// ALPEMB: one group's pooled EPSILON matrix, MU vector and BETA matrix, 13 WR
// arrays.
struct PooledEmbPlan {
  Layout<13> wr;
};
void ALPEMB(int T, int K, int M, int P, PooledEmbPlan& plan, int wrCapacity, int outUnit,
            int logUnit);

// ALCPFC: one group's pooled forecast, 10 WR arrays.
struct PooledForecastPlan {
  Layout<10> wr;
};
void ALCPFC(int T, int M, int K, int P, int TF, PooledForecastPlan& plan, int wrCapacity,
            int outUnit, int logUnit);

}  // namespace kova
