// DMACH and DRADIX. For a JOB other than 1 they write two lines and return
// the JOB = 1 value all the same. JOB is written as the Fortran I0 descriptor
// writes it (no padding), e.g. FORMAT('NO INFORMATION AVAILABLE FOR DMACH(',I0,')').
#include <gtest/gtest.h>

#include <sstream>

#include "linalg/machine_constants.h"
#include "io/console.h"

namespace kova {
namespace {

TEST(MachineConstants, JobOneIsSilent) {
  std::ostringstream out;
  ConsoleRedirect redirect(out);
  EXPECT_EQ(DMACH(1), 1.6E-13);
  EXPECT_EQ(DRADIX(1), 16.0);
  EXPECT_EQ(out.str(), "");
}

TEST(MachineConstants, OtherJobsReportAndFallBack) {
  std::ostringstream out;
  ConsoleRedirect redirect(out);
  EXPECT_EQ(DMACH(2), 1.6E-13);
  EXPECT_EQ(DMACH(-13), 1.6E-13);
  EXPECT_EQ(DRADIX(0), 16.0);
  EXPECT_EQ(out.str(),
            "NO INFORMATION AVAILABLE FOR DMACH(2)\n"
            "DMACH IS SET TO 16.0D-14 IN FUNCTION DMACH\n"
            "NO INFORMATION AVAILABLE FOR DMACH(-13)\n"
            "DMACH IS SET TO 16.0D-14 IN FUNCTION DMACH\n"
            "NO INFORMATION AVAILABLE FOR DRADIX(0)\n"
            "DRADIX IS SET TO 16.0D0 IN FUNCTION DRADIX\n");
}

}  // namespace
}  // namespace kova
