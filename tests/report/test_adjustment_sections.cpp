// The report sections of the DELTA repair: what each print level shows.
#include <gtest/gtest.h>

#include <string>

#include "report/adjustment_sections.h"
#include "report/report_test_support.h"

namespace kova {
namespace {

std::string printed(int level, bool adjusted, bool starting) {
  double delta[4] = {1.0, 0.5, 0.5, 0.25};
  double before[2] = {-0.5, 1.5}, after[2] = {0.0, 1.5};
  return reporttest::capture([&](int out, int log) {
           SectionContext c{level, 12, 3, out, log};
           printDeltaAdjustment(c, DeltaAdjustmentSection{Mat{delta, 2, 2, 2}, before, after,
                                                          adjusted, starting});
         }).out;
}

TEST(DeltaAdjustmentSection, PrintLevelsAndTexts) {
  EXPECT_EQ(printed(0, true, false), "");
  const std::string unchanged = printed(1, false, false);
  EXPECT_EQ(unchanged,
            "\n\n GROUP  12           ITERATION   3\n\n\n"
            " THE EIGENVALUES OF THE UNADJUSTED DELTA MATRIX: ( 2-COMPONENT VECTOR ) \n"
            "  -0.50000       1.5000    \n\nNO ADJUSTMENT IS NECESSARY FOR THE DELTA MATRIX.\n");
  const std::string level1 = printed(1, true, false);
  EXPECT_NE(level1.find("THE EIGENVALUES OF THE ADJUSTED DELTA MATRIX:"), std::string::npos);
  EXPECT_NE(level1.find("\nDELTA MATRIX HAS BEEN ADJUSTED.\n"), std::string::npos);
  EXPECT_EQ(level1.find("THE ADJUSTED DELTA ("), std::string::npos);
  const std::string level3 = printed(3, true, true);
  EXPECT_NE(level3.find("THE EIGENVALUES OF THE UNADJUSTED STARTING DELTA MATRIX:"),
            std::string::npos);
  EXPECT_NE(level3.find("\nTHE STARTING DELTA MATRIX HAS BEEN ADJUSTED.\n"), std::string::npos);
  EXPECT_NE(level3.find(" THE ADJUSTED STARTING DELTA ( 2 BY 2 MATRIX )"), std::string::npos);
}

}  // namespace
}  // namespace kova
