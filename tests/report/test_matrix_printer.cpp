// Expected texts come from gfortran running the formats of each layout:
// see report_reference.f90 beside this file.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "report/matrix_printer.h"
#include "report_test_support.h"

namespace kova {
namespace {

using reporttest::capture;
using reporttest::Printed;

std::string printMatrix(int ld, int rows, int cols, const double* a, const std::string& title) {
  Printed p = capture([&](int out, int log) { PRTMAT(ld, rows, cols, a, out, title, log); });
  EXPECT_EQ(p.log, "");
  EXPECT_EQ(p.console, "");
  return p.out;
}

TEST(PRTMAT, MatrixIsPrintedColumnByColumn) {
  // Leading dimension 3: the third row of the storage must never be printed.
  const double a[] = {1.0, -2.5, 777.0, 123456.0, 0.001234, 777.0, 0.0, 99999.5, 777.0};
  EXPECT_EQ(printMatrix(3, 2, 3, a, "THE PHI MATRIX (ALGORITHM LM)"),
            "\n\n"
            " THE PHI MATRIX (ALGORITHM LM) ( 2 BY 3 MATRIX )\n"
            "  COLUMN 1\n"
            "   1.0000      -2.5000    \n"
            "  COLUMN 2\n"
            "  0.12346E+06  0.12340E-02\n"
            "  COLUMN 3\n"
            "   0.0000      0.10000E+06\n");
}

TEST(PRTMAT, ColumnOfThirteenTakesThreeLines) {
  std::vector<double> col(13);
  for (int i = 1; i <= 13; ++i) col[i - 1] = i * 1.5 - 7.0;
  col[12] = 1.0e-100;
  EXPECT_EQ(printMatrix(13, 13, 1, col.data(), "MU(T)"),
            "\n\n"
            " MU(T) ( 13-COMPONENT VECTOR ) \n"
            "   -5.5000      -4.0000      -2.5000      -1.0000      0.50000       2.0000    \n"
            "    3.5000       5.0000       6.5000       8.0000       9.5000       11.000    \n"
            "   0.10000E-99\n");
}

TEST(PRTMAT, SingleElementIsAOneComponentVector) {
  const double x = -0.5;
  EXPECT_EQ(printMatrix(1, 1, 1, &x, "SIGMA**$"),
            "\n\n"
            " SIGMA** ( 1-COMPONENT VECTOR ) \n"
            "  -0.50000    \n");
}

TEST(PRTMAT, RowIsTakenAlongTheLeadingDimension) {
  // A 2 x 7 array; the print is of its first row, stepping by ld = 2.
  std::vector<double> a(14, 555.0);
  for (int j = 0; j < 7; ++j) a[2 * j] = std::pow(10.0, j - 3) * 3.14159265;
  EXPECT_EQ(printMatrix(2, 1, 7, a.data(), "   ABC$"),
            "\n\n"
            " ABC ( 7-COMPONENT VECTOR ) \n"
            "   0.31416E-02  0.31416E-01  0.31416       3.1416       31.416       314.16    \n"
            "    3141.6    \n");
}

TEST(PRTMAT, TitlesAreTrimmedAndABlankTitleIsOneBlank) {
  const double x = 1.0;
  auto heading = [&](const std::string& title) {
    std::string out = printMatrix(1, 1, 1, &x, title);
    return out.substr(2, out.find('\n', 2) - 2);
  };
  EXPECT_EQ(heading(""), "   ( 1-COMPONENT VECTOR ) ");
  EXPECT_EQ(heading("   "), "   ( 1-COMPONENT VECTOR ) ");
  EXPECT_EQ(heading("$"), " $ ( 1-COMPONENT VECTOR ) ");
  EXPECT_EQ(heading("  X  "), " X ( 1-COMPONENT VECTOR ) ");
  EXPECT_EQ(heading(std::string(120, 'T')), " " + std::string(100, 'T') + " ( 1-COMPONENT VECTOR ) ");
}

TEST(PRTMAT, CountsOutsideOneTo999CancelThePrint) {
  const double a[] = {0.0};
  EXPECT_EQ(printMatrix(1, 0, 3, a, "EMPTY"),
            "\n\n"
            " PRINTING OF EMPTY HAS BEEN CANCELED.\n"
            " NUMBER OF ROWS =           0\n");
  // Rows are checked before columns.
  EXPECT_EQ(printMatrix(5, 5, 1000, a, "WIDE"),
            "\n\n"
            " PRINTING OF WIDE HAS BEEN CANCELED.\n"
            " NUMBER OF COLUMNS =        1000\n");
  EXPECT_NE(printMatrix(1, 1000, 0, a, "R").find("NUMBER OF ROWS =        1000"),
            std::string::npos);
  EXPECT_NE(printMatrix(1, -3, 1, a, "R").find("NUMBER OF ROWS =          -3"),
            std::string::npos);
}

TEST(PRTMAT, NineHundredNinetyNineIsStillPrinted) {
  std::vector<double> a(999 * 2, 0.0);
  const double head[] = {0.1, 0.09999949, 99999.49, 99999.51, 1.0e5, -1.0e-5};
  std::copy(head, head + 6, a.begin());
  std::string out = printMatrix(999, 999, 2, a.data(), "BIG");
  EXPECT_NE(out.find(" BIG ( 999 BY 2 MATRIX )\n  COLUMN 1\n"
                     "  0.10000      0.99999E-01   99999.      0.10000E+06  0.10000E+06 -0.10000E-04\n"),
            std::string::npos);
  // 999 values make 166 full lines and one of three.
  std::size_t lines = 0;
  for (char c : out) lines += c == '\n';
  EXPECT_EQ(lines, 2u + 1u + 2u * (1u + 167u));
}

TEST(PRTHDG, SelectorChoosesTheLine) {
  auto heading = [](const std::string& selector, int group, int iteration) {
    return capture([&](int out, int log) { PRTHDG(group, iteration, selector, out, log); }).out;
  };
  EXPECT_EQ(heading("GI", 17, 3), "\n\n GROUP  17           ITERATION   3\n");
  EXPECT_EQ(heading("G", 150, 3), "\n\n GROUP   150\n");
  EXPECT_EQ(heading("I", 17, 0), "\n\n ITERATION    0\n");
  EXPECT_EQ(heading("gi", 17, 3), "\n\n");
}

TEST(PRTHDG, NegativeNumberIsReportedAndStillShown) {
  Printed p = capture([](int out, int log) { PRTHDG(4, -1, "GI", out, log); });
  EXPECT_EQ(p.out, "\n\n GROUP  4           ITERATION   -1\n");
  const std::string message =
      "\n INTEGER I=        -1 IS NOT WITHIN CONVERSION RANGE IN SUBROUTINE ICNVRT.  NO "
      "CONVERSION IS PERFORMED.\n PROGRAM CONTINUES.\n";
  EXPECT_EQ(p.log, message);
  EXPECT_EQ(p.console, message);
}

}  // namespace
}  // namespace kova
