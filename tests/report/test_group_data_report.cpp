// The group's data section: the six-column layout with its continuation and
// forecast headings, the default z and L notices, the restrictions, and what
// each print level shows.
#include <gtest/gtest.h>

#include <memory>

#include "report/group_data_report.h"
#include "report_test_support.h"

namespace kova {
namespace {

using reporttest::capture;

std::string name(const std::string& text) {
  std::string field(80, ' ');
  field.replace(0, text.size(), text);
  return field;
}

// A group of K x-components, 2 estimation and 1 forecast period; x(k) of
// period t is 10 t + k, y is t.
struct Fixture {
  explicit Fixture(int K, int P = 1) : K(K), P(P) {
    yName = name("         Y");  // right-aligned in its data field
    for (int k = 1; k <= K; ++k) xNames.push_back(name("X" + std::to_string(k)));
    for (int k = 1; k <= P; ++k) zNames.push_back(name("Z" + std::to_string(k)));
    y = {1, 2};
    yF = {-999999.0};
    X.resize(K * 2);
    XF.resize(K);
    for (int k = 1; k <= K; ++k) {
      X[k - 1] = 10 + k;
      X[K + k - 1] = 20 + k;
      XF[k - 1] = 30 + k;
    }
    Z.assign(P * 2, 1.0);
    ZF.assign(P, 1.0);
    data = GroupData{2, 1, K, P, y.data(), Mat{X.data(), K, K, 2}, Mat{Z.data(), P, P, 2},
                     yF.data(), Mat{XF.data(), K, K, 1}, Mat{ZF.data(), P, P, 1}};
    section.groupId = 7;
    section.iterations = 4;
    section.yName = &yName;
    section.xNames = &xNames;
    section.zNames = &zNames;
    section.data = &data;
    section.M = 1;
    L.assign(K, 1.0);
    section.L = Mat{L.data(), K, K, 1};
    section.restrictions = restrictions.get();
  }
  std::string print() {
    return capture([&](int out, int log) { RPTGDT(section, out, log); }).out;
  }
  int K, P;
  std::string yName;
  std::vector<std::string> xNames, zNames;
  std::vector<double> y, yF, X, XF, Z, ZF, L;
  GroupData data;
  std::unique_ptr<Restrictions> restrictions = std::make_unique<Restrictions>();
  GroupDataSection section;
};

TEST(GroupDataReport, AllColumnsFitInSix) {
  Fixture f(2);
  std::string out = f.print();
  const std::string expected =
      "\n\n GROUP   7\n"
      "\n---- DATA FROM \"FILE YXDATA1\" , \"FILE YXDATA2\" ----\n"
      "\n     Y            X1           X2      \n"
      "   1.0000       11.000       12.000    \n"
      "   2.0000       21.000       22.000    \n"
      "\nY-DATA AND X-DATA FOR FORECAST:\n"
      " -0.10000E+07   31.000       32.000    \n"
      "\nTHE Z-VECTORS ARE THE DEFAULT PROGRAM GENERATED Z-VECTORS.\n"
      "THE FIRST COMPONENT OF EACH VECTOR IS 1.0, AND THE OTHER COMPONENTS ARE P-1 ZEROS\n"
      "THE ZF-VECTORS FOR FORECAST ARE THE DEFAULT PROGRAM GENERATED ZF-VECTORS.\n"
      "THE FIRST COMPONENT OF EACH VECTOR IS 1.0, AND THE OTHER COMPONENTS ARE P-1 ZEROS\n"
      "\n---- DATA FROM \"FILE ZDATA1\" , \"FILE ZDATA2\" ----\n"
      "\n     Z1      \n"
      "   1.0000    \n"
      "   1.0000    \n"
      "\nZ-DATA FOR FORECAST:\n"
      "   1.0000    \n"
      "\nTHE L-MATRIX IS THE DEFAULT PROGRAM GENERATED MATRIX.\n"
      "THE ENTRIES OF THE MAIN DIAGONAL ARE 1'S, AND THE OTHER COMPONENTS OF THE (K X M) MATRIX "
      "ARE ZEROS\n"
      "\n\nNUMBER OF ITERATIONS FOR THIS GROUP =   5\n";
  EXPECT_EQ(out, expected);
}

TEST(GroupDataReport, MoreThanSixColumnsContinue) {
  Fixture f(7);
  f.section.zSource = 'U';
  std::string out = f.print();
  const std::string yx =
      "\n---- DATA FROM \"FILE YXDATA1\" , \"FILE YXDATA2\" ----\n"
      "\n     Y            X1           X2           X3           X4           X5      \n"
      "   1.0000       11.000       12.000       13.000       14.000       15.000    \n"
      "   2.0000       21.000       22.000       23.000       24.000       25.000    \n"
      "\nY-DATA,X-DATA FOR FORECAST:\n"
      " -0.10000E+07   31.000       32.000       33.000       34.000       35.000    \n"
      "\n---- DATA FROM \"FILE YXDATA1\", \"FILE YXDATA2\" (CONTINUATION) ----\n"
      "\n     X6           X7      \n"
      "   16.000       17.000    \n"
      "   26.000       27.000    \n"
      "\nX-DATA FOR FORECAST:\n"
      "   36.000       37.000    \n";
  EXPECT_NE(out.find(yx), std::string::npos) << out;
  EXPECT_EQ(out.find("DEFAULT PROGRAM GENERATED Z-VECTORS"), std::string::npos);
}

TEST(GroupDataReport, PrintLevelZeroKeepsHeadingRestrictionsAndCount) {
  Fixture f(2);
  f.section.printLevel = 0;
  f.section.lSource = 'U';
  f.restrictions->delta.rows = 1;
  f.restrictions->delta.cols = 3;
  f.restrictions->delta.matrix[0] = 2.0;
  f.restrictions->delta.vector[0] = 1.0;
  std::string out = f.print();
  EXPECT_EQ(out.find("DATA FROM"), std::string::npos);
  EXPECT_EQ(out.find("THE MATRIX L"), std::string::npos);
  EXPECT_NE(out.find(" THE MATRIX TO CONSTRAIN THE DELTAT-MATRIX ( 3-COMPONENT VECTOR ) \n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(" THE VECTOR TO CONSTRAIN THE DELTA-MATRIX ( 1-COMPONENT VECTOR ) \n"),
            std::string::npos);
  EXPECT_TRUE(out.ends_with("\n\nNUMBER OF ITERATIONS FOR THIS GROUP =   5\n"));

  f.section.printLevel = 1;
  f.section.diagonalDelta = true;
  out = f.print();
  EXPECT_NE(out.find(" THE MATRIX L ( 2-COMPONENT VECTOR ) "), std::string::npos) << out;
  EXPECT_NE(out.find(" THE MATRIX TO CONSTRAIN THE DELTA-MATRIX"), std::string::npos);
}

}  // namespace
}  // namespace kova
