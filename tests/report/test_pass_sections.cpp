// The pass report sections: print levels, headings and the line layouts of
// their own lines (the matrix layout itself is the matrix printer's).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "report/estimation_sections.h"
#include "report_test_support.h"

namespace kova {
namespace {

using reporttest::capture;

const std::string kHeadingGI = "\n\n GROUP  17           ITERATION   3\n";

SectionContext context(int level, int out, int log) { return {level, 17, 3, out, log}; }

TEST(PassSections, BetaVectorsTwentyToALine) {
  std::vector<double> beta(21 * 2 + 3 * 2, 7.0);  // leading dimension 24
  for (int k = 0; k < 21; ++k) beta[k] = 1.0, beta[24 + k] = -2.5;
  beta[20] = 0.5;
  Mat b{beta.data(), 24, 21, 2};
  std::string ones, twos;
  for (int k = 0; k < 20; ++k) ones += "   1.0000    ", twos += "  -2.5000    ";
  EXPECT_EQ(capture([&](int out, int log) { printBetaSection(context(1, out, log), b); }).out,
            kHeadingGI + " THE   2 BETA(t) VECTORS ---\n\n" + ones + "\n  0.50000    \n" + twos +
                "\n  -2.5000    \n");
  EXPECT_EQ(capture([&](int out, int log) { printBetaSection(context(0, out, log), b); }).out, "");
}

TEST(PassSections, ForecastErrorLinesAndTheirAbsence) {
  double epsF[2] = {0.1, 0.2}, betaF[2] = {1.0, 2.0}, yF[2] = {0.0, 3.0}, yS[2] = {1, 2},
         yP[2] = {1, 2};
  ForecastSection s{Mat{epsF, 1, 1, 2}, Mat{betaF, 1, 1, 2}, yF, yS, yP, 2, 0.5, 0.25, 12.5,
                    150.0, true};
  auto print = [&](int level) {
    return capture([&](int out, int log) { printForecastSection(context(level, out, log), s); })
        .out;
  };
  EXPECT_EQ(print(0), "");
  std::string text = print(1);
  EXPECT_EQ(text.rfind(kHeadingGI, 0), 0u);
  std::size_t at = 0;
  for (const char* title :
       {" FORECAST EPSILON MATRIX (", " FORECAST BETA MATRIX (", " Y-DATA (",
        " FORECAST Y-VALUES (YFS) (",
        " FORECAST Y-VALUES (THE MINIMUM MEAN SQUARE ERROR LINEAR PREDICTOR OF THE YFS-VALUES) ("}) {
    at = text.find(title, at);
    ASSERT_NE(at, std::string::npos) << title;
  }
  const std::string tail =
      "\n\n\nROOT MEAN SQUARE ERROR OF YFS RESIDUALS IS  0.50000    \n"
      "ROOT MEAN SQUARE ERROR OF PREDICTOR RESIDUALS IS  0.25000    \n\n"
      "MEAN ABSOLUTE PERCENTAGE ERROR OF YFS RESIDUALS IS   12.500    \n"
      "MEAN ABSOLUTE PERCENTAGE ERROR OF PREDICTOR RESIDUALS IS   150.00    \n";
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);

  s.mapeComputed = false;
  text = print(1);
  const std::string none =
      "PREDICTOR RESIDUALS IS  0.25000    \n\n"
      "MEAN ABSOLUTE PERCENTAGE ERROR IS NOT COMPUTED DUE TO A ZERO COMPARISON Y-VALUE\n";
  EXPECT_EQ(text.substr(text.size() - none.size()), none);
}

}  // namespace
}  // namespace kova
