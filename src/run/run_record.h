#pragma once
// Everything a run owns, from start to end: capacities, file table,
// dimensions, per-group tables and the program region.
#include <array>
#include <complex>
#include <vector>

#include "data/data_set_up.h"
#include "data/restrictions.h"
#include "pooled/pooled_mu.h"
#include "pooled/pooled_reparametrisation.h"
#include "input/key_file.h"
#include "input/options.h"
#include "input/capacities.h"
#include "io/file_table.h"
#include "input/group_table.h"
#include "input/workspace_plan.h"

namespace kova {

struct RunDims {
  int T = 0;   // keys (data records) of all groups
  int K = 0;   // components of x(t) and BETA(t)
  int P = 0;   // components of z(t)
  int M = 0;   // components of EPSILON(t)
  int NG = 0;  // distinct groups
};


// The fixed arrays of the pooled phase: the reparametrisation of PI and the
// pooled PI with its sums and covariance (K*P up to kPooledPiSize), the
// MU-vector sums and the covariance matrix of the MU-vectors with its
// factor (K up to kPooledMuSize).
inline constexpr int kPooledPiSize = 200;
inline constexpr int kPooledMuSize = 60;

struct PooledArrays {
  static constexpr int kPi = kPooledPiSize, kMu = kPooledMuSize;
  std::vector<double> C = std::vector<double>(kPi * kPi);
  std::vector<double> d = std::vector<double>(kPi);
  std::vector<double> sumA = std::vector<double>(kPi * kPi);
  std::vector<double> sumB = std::vector<double>(kPi);
  std::vector<double> pibar = std::vector<double>(kPi);
  std::vector<double> piCov = std::vector<double>(kPi * kPi);
  std::vector<double> s1 = std::vector<double>(kMu);
  std::vector<double> S2 = std::vector<double>(kMu * kMu);
  std::vector<double> S3 = std::vector<double>(kMu * kMu);
  std::vector<double> muCov = std::vector<double>(kMu * kMu);   // DLTMUP's result, then adjusted
  std::vector<double> muFactor = std::vector<double>(kMu * kMu);
  PiReparametrisation reparametrisation;
  MuAccumulators mu;  // the groups add to it; active when the pooled phase will run
};

struct RunRecord {
  Capacities capacities;
  SecondCapacities second;
  FileTable files;
  RunDims dims;
  GroupTable groups;
  Options options;
  KeyTable keys;
  Restrictions restrictions;
  VariableNames names;
  // The L-matrix (K x M, leading dimension 30).
  std::vector<double> lMatrix = std::vector<double>(30 * 30);
  // Set by the data set-up once the groups' data and the restrictions are in place.
  bool dataReady = false;
  bool restrictionsReady = false;
  // SIGMA**2 of every group's last pass, by group position, for the pooled phase.
  std::array<double, kMaxGroups> groupSigma2{};
  PooledArrays pooled;
  // The program region, sized once from the capacities.
  RegionDoubles WR;
  std::vector<int> WI;
  std::vector<std::complex<double>> WC;

  int outUnit() const { return files.unit(Fixed::KOVAOUT); }
  int logUnit() const { return files.unit(Fixed::KOVALOG); }
};

}  // namespace kova
