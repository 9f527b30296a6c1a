// The starting PHI and DELTA of a group: sources, repairs, factor and the
// report lines, with the files written as the data set-up and the save
// routines write them.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "estimation/starting_values.h"
#include "io/record_io.h"
#include "io/stop.h"
#include "report/report_test_support.h"
#include "report/saved_results.h"

namespace kova {
namespace {

constexpr int kFileUnit = 300;

struct Region {
  std::vector<double> wr = std::vector<double>(2000);
  std::vector<int> wi = std::vector<int>(200);
  std::vector<dcomplex> wc = std::vector<dcomplex>(200);
  Scratch scratch() { return Scratch(wr.data(), 2000, wi.data(), 200, wc.data(), 200); }
};

struct Eigen {
  std::vector<dcomplex> eval, V, VINV;
  std::vector<double> moduli;
  PhiEigen view;
  explicit Eigen(int n) : eval(n), V(n * n), VINV(n * n), moduli(n) {
    view = PhiEigen{n, n, eval.data(), V.data(), VINV.data(), moduli.data()};
  }
};

// A file of unformatted records, each a vector of doubles, as the data
// set-up (PHDATG, DTDATG) and the save routines write them.
void writeRecords(const std::string& name, const std::vector<std::vector<double>>& records) {
  ASSERT_EQ(openUnit(kFileUnit, name, "UNFORMATTED", "UNKNOWN"), 0);
  for (const auto& r : records) writeDoubles(kFileUnit, r.data(), static_cast<int>(r.size()));
  closeUnit(kFileUnit, "KEEP");
}

const NamedUnit kPhdatg{"PHDATG.001", kFileUnit}, kPsave{"PSAVE.001", kFileUnit + 2};
const NamedUnit kDtdatg{"DTDATG.001", kFileUnit + 4}, kDsave{"DSAVE.001", kFileUnit + 6};

struct PhiRun {
  std::vector<double> phi;
  bool zero = false;
  reporttest::Printed printed;
};

// INTPHI in a directory holding the given files.
PhiRun startPhi(const StartingPhiSettings& settings, int M,
                const std::vector<double>& phdatg, const std::vector<double>& psave) {
  PhiRun run;
  run.phi.assign(M * (M + 1), -7.0);
  Eigen eig(M);
  Region region;
  run.printed = reporttest::capture([&](int out, int log) {
    if (!phdatg.empty()) writeRecords(kPhdatg.name, {phdatg});
    if (!psave.empty()) writeRecords(kPsave.name, {psave});
    Scratch s = region.scratch();
    INTPHI(settings, Mat{run.phi.data(), M + 1, M, M}, eig.view, run.zero, kPhdatg, kPsave, s,
           out, log);
  });
  return run;
}

TEST(StartingPhi, SourcesZeroOptionAndRepair) {
  EXPECT_EQ(startingSource("U           "), 'U');
  EXPECT_EQ(startingSource("US"), 'U');
  EXPECT_EQ(startingSource("   S"), 'S');
  EXPECT_EQ(startingSource("            "), ' ');
  EXPECT_EQ(startingSource("D"), ' ');

  // 'U' reads PHDATG, 'S' PSAVE; both stable, so kept as read.
  const std::vector<double> user{0.5, 0.1, -0.2, 0.3}, saved{0.1, 0.0, 0.0, 0.2};
  StartingPhiSettings st;
  st.groupId = 1;
  for (char init : {'U', 'S'}) {
    st.init = init;
    PhiRun run = startPhi(st, 2, user, saved);
    const std::vector<double>& want = init == 'U' ? user : saved;
    EXPECT_FALSE(run.zero);
    EXPECT_EQ(run.phi[0], want[0]);
    EXPECT_EQ(run.phi[1], want[1]);
    EXPECT_EQ(run.phi[3], want[2]);
    EXPECT_EQ(run.phi[4], want[3]);
    EXPECT_NE(run.printed.out.find("THE STARTING PHI ( 2 BY 2 MATRIX )"), std::string::npos);
    EXPECT_NE(run.printed.out.find("\n\nNO ADJUSTMENT IS NECESSARY FOR THE STARTING PHI MATRIX.\n"),
              std::string::npos);
    EXPECT_NE(run.printed.log.find(init == 'U' ? "PHDATG.001" : "PSAVE.001"), std::string::npos);
  }

  // The zero-PHI option beats 'U': PHDATG is not there and is not opened;
  // the message only from print level 1.
  st.init = 'U';
  st.zeroPhi = true;
  for (int level : {0, 1}) {
    st.printLevel = level;
    PhiRun run = startPhi(st, 2, {}, {});
    EXPECT_TRUE(run.zero);
    EXPECT_EQ(run.phi[0], 0.0);
    EXPECT_EQ(run.phi[4], 0.0);
    const bool said = run.printed.out.find("\nTHE INITIAL PHI MATRIX IS THE ZERO MATRIX.\n") !=
                      std::string::npos;
    EXPECT_EQ(said, level == 1);
    EXPECT_EQ(run.printed.log.find("PHDATG"), std::string::npos);
    EXPECT_EQ(run.printed.out.find("THE STARTING PHI"), std::string::npos);
    const bool zeroSaid = run.printed.out.find(
                              "PHI IS THE ZERO MATRIX.  NO ADJUSTMENT IS NECESSARY.") !=
                          std::string::npos;
    EXPECT_EQ(zeroSaid, level == 1);
  }

  // Diagonal PHI (0.5, -1.5) from PSAVE: divided by 1.7.
  st = StartingPhiSettings{};
  st.init = 'S';
  st.diagonalPhi = true;
  st.printLevel = 3;
  PhiRun run = startPhi(st, 2, {}, {0.5, 0.0, 0.0, -1.5});
  EXPECT_NEAR(run.phi[0], 0.5 / 1.7, 1e-16);
  EXPECT_NEAR(run.phi[4], -1.5 / 1.7, 1e-16);
  EXPECT_NE(run.printed.out.find("\nTHE STARTING PHI MATRIX HAS BEEN ADJUSTED.\n\nMETHOD OF "
                                 "ADJUSTMENT: REDUCE ALL EIGENVALUES.\n"),
            std::string::npos);
  EXPECT_NE(run.printed.out.find(" THE ADJUSTED STARTING PH&I ( 2 BY 2 MATRIX )"),
            std::string::npos);

  // Full PHI with largest modulus exactly 1.0: divided by 1.2.
  st.diagonalPhi = false;
  run = startPhi(st, 2, {}, {1.0, 0.0, 0.3, 0.5});
  EXPECT_EQ(run.phi[0], 1.0 / 1.2);
  EXPECT_EQ(run.phi[3], 0.3 / 1.2);
  EXPECT_EQ(run.phi[4], 0.5 / 1.2);
  EXPECT_NE(run.printed.out.find(" THE ADJUSTED STARTING PHI ( 2 BY 2 MATRIX )"),
            std::string::npos);
}

struct DeltaRun {
  std::vector<double> delta, udelta;
  double sigma2 = 0.0;
  reporttest::Printed printed;
};

DeltaRun startDelta(char init, int M, const std::vector<std::vector<double>>& dtdatg,
                    const std::vector<std::vector<double>>& dsave) {
  DeltaRun run;
  run.delta.assign(M * M, -7.0);
  run.udelta.assign((M + 2) * M, -7.0);
  StartingDeltaSettings st;
  st.init = init;
  st.groupId = 1;
  Region region;
  run.printed = reporttest::capture([&](int out, int log) {
    if (!dtdatg.empty()) writeRecords(kDtdatg.name, dtdatg);
    if (!dsave.empty()) writeRecords(kDsave.name, dsave);
    Scratch s = region.scratch();
    INTDLT(st, Mat{run.delta.data(), M, M, M}, run.sigma2, Mat{run.udelta.data(), M + 2, M, M},
           kDtdatg, kDsave, s, out, log);
  });
  return run;
}

TEST(StartingDelta, DefaultUserRankTwoAndSaveFile) {
  // Default with M = 3: identity, SIGMA**2 = 1 and the one line.
  DeltaRun run = startDelta(' ', 3, {}, {});
  EXPECT_EQ(run.sigma2, 1.0);
  for (int j = 0; j < 3; ++j)
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(run.delta[i + 3 * j], i == j ? 1.0 : 0.0);
      EXPECT_EQ(run.udelta[i + 5 * j], i == j ? 1.0 : 0.0);
    }
  EXPECT_EQ(run.printed.out, "\n\n THE STARTING DELTA MATRIX IS THE   3 X   3 IDENTITY MATRIX.\n");

  // A user DELTA of rank 2 (B'B, B 2 x 3): U'U = DELTA, third row of U zero,
  // the message counts one row.
  const double b[2][3] = {{1.0, 2.0, -1.0}, {0.5, -1.0, 3.0}};
  std::vector<double> delta(9);
  for (int j = 0; j < 3; ++j)
    for (int i = 0; i < 3; ++i) delta[i + 3 * j] = b[0][i] * b[0][j] + b[1][i] * b[1][j];
  run = startDelta('U', 3, {{2.5}, delta}, {});
  EXPECT_EQ(run.sigma2, 2.5);
  EXPECT_EQ(run.delta, delta);
  double worst = 0.0;
  for (int j = 0; j < 3; ++j)
    for (int i = 0; i < 3; ++i) {
      double utu = 0.0;
      for (int k = 0; k < 3; ++k) utu += run.udelta[k + 5 * i] * run.udelta[k + 5 * j];
      worst = std::max(worst, std::fabs(utu - delta[i + 3 * j]));
    }
  EXPECT_LT(worst, 1e-14);
  for (int j = 0; j < 3; ++j) EXPECT_EQ(run.udelta[2 + 5 * j], 0.0);
  const std::string& out = run.printed.out;
  EXPECT_NE(out.find(" THE STARTING DELTA ( 3 BY 3 MATRIX )"), std::string::npos);
  EXPECT_NE(out.find("\n THE INITIAL SIGMA**2 IS   2.5000    \n\nNO ADJUSTMENT IS MADE ON THE "
                     "INITIAL DELTA MATRIX.\n"),
            std::string::npos);
  EXPECT_NE(out.find("\nTHE FINAL DELTA MATRIX IN SUBROUTINE INTDLT IS NOT POSSITIVE DEFINITE. "
                     "THE LAST  1ROWS OF THE UPPER CHOLESKY FACTORHAVE BEEN SET TO ZERO.\n"),
            std::string::npos)
      << out;

  // The same values from DSAVE as PUTDLT writes them.
  reporttest::capture([&](int, int log) {
    PUTDLT(Mat{delta.data(), 3, 3, 3}, 2.5, kDsave, log);
    std::vector<double> d(9), u(9);
    double sigma2 = 0.0;
    StartingDeltaSettings st;
    st.init = 'S';
    Region region;
    Scratch s = region.scratch();
    INTDLT(st, Mat{d.data(), 3, 3, 3}, sigma2, Mat{u.data(), 3, 3, 3}, kDtdatg, kDsave, s, 100,
           log);
    EXPECT_EQ(sigma2, 2.5);
    EXPECT_EQ(d, delta);
  });
}

TEST(StartingValues, WrongSizedOrMissingFilesStopTheRun) {
  // A DSAVE written by a run with M = 2, read with M = 3.
  EXPECT_THROW(startDelta('S', 3, {}, {{1.0}, {1.0, 0.0, 0.0, 1.0}}), RunStopped);
  // A DTDATG whose DELTA record is missing, and a PSAVE that is not there.
  EXPECT_THROW(startDelta('U', 2, {{1.0}}, {}), RunStopped);
  StartingPhiSettings st;
  st.init = 'S';
  EXPECT_THROW(startPhi(st, 2, {}, {}), RunStopped);
  // The message names the file, the record and the group.
  const auto printed = reporttest::capture([&](int out, int logUnit) {
    writeRecords(kDsave.name, {{1.0}, {1.0, 0.0, 0.0, 1.0}});
    std::vector<double> d(9), u(9);
    double sigma2 = 0.0;
    StartingDeltaSettings sd;
    sd.init = 'S';
    sd.groupId = 7;
    Region region;
    Scratch s = region.scratch();
    EXPECT_THROW(INTDLT(sd, Mat{d.data(), 3, 3, 3}, sigma2, Mat{u.data(), 3, 3, 3}, kDtdatg,
                        kDsave, s, out, logUnit),
                 RunStopped);
  });
  EXPECT_NE(printed.log.find("IN SUBROUTINE INTDLT, RECORD 2 OF FILE DSAVE.001 IS MISSING OR IS "
                             "NOT THE   3 X   3 DELTA MATRIX OF GROUP 7 (IOCOND = 5000).\n "
                             "PROGRAM STOPS."),
            std::string::npos)
      << printed.log;
  EXPECT_NE(printed.console.find("DSAVE.001"), std::string::npos);
}

}  // namespace
}  // namespace kova
