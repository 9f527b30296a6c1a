// Student's t quantiles (the 95% bands of BETA(t) use them) against a
// 40-digit solution (tests/data/student_t/student_quantiles.py), across the finite sums of few
// degrees of freedom and the expansion of many.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>

#include "estimation/student_quantile.h"

namespace kova {
namespace {

TEST(StudentQuantile, AgreesWithExtendedPrecisionAtEveryDegreeOfFreedom) {
  std::ifstream in(std::string(KOVA_TEST_DATA) + "/student_t/student_quantiles.csv");
  ASSERT_TRUE(in.good());
  std::string line;
  int compared = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#' || line[0] == 'p') continue;
    std::istringstream fields(line);
    double p = 0.0, expected = 0.0;
    int dof = 0;
    char comma = 0;
    fields >> p >> comma >> dof >> comma >> expected;
    const double q = studentQuantile(p, dof);
    EXPECT_NEAR(q, expected, 1e-10 * expected) << "p " << p << " dof " << dof;
    // The probability of the quantile's central interval is the one asked.
    if (dof <= 200) {
      EXPECT_NEAR(studentCentralProbability(q, dof), 2.0 * p - 1.0, 1e-13);
    }
    ++compared;
  }
  EXPECT_EQ(compared, 72);
  EXPECT_TRUE(std::isnan(studentQuantile(0.975, 0)));
  EXPECT_TRUE(std::isnan(studentQuantile(0.4, 10)));
  EXPECT_TRUE(std::isnan(studentQuantile(1.0, 10)));
}

}  // namespace
}  // namespace kova
