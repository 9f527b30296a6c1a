// The check after a group's last pass, on states built so that each finding
// is known in closed form: PHI as a rotation scaled to a given modulus (its
// eigenvalues a complex pair of that modulus), DELTA as a sum of outer
// products of a chosen rank.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "estimation/pass_warnings.h"

namespace kova {
namespace {

struct State {
  static constexpr int M = 3;
  std::vector<double> phi = std::vector<double>(M * M, 0.0);
  std::vector<double> delta = std::vector<double>(M * M, 0.0);
  std::vector<double> wr = std::vector<double>(2000);
  std::vector<int> wi = std::vector<int>(200);
  std::vector<dcomplex> wc = std::vector<dcomplex>(200);
  LastPassState st;

  State() {
    st.lastPass = 4;
    st.sigma2First = 2.0;
    st.sigma2Last = 3.0;
    st.phi = Mat{phi.data(), M, M, M};
    st.delta = Mat{delta.data(), M, M, M};
    // A clean state: a full PHI with a complex pair of modulus 0.6 and a real
    // eigenvalue -0.3; DELTA positive definite.
    rotation(0.6, 0.7);
    st.phi(3, 3) = -0.3;
    addOuter({1.0, 0.5, 0.0});
    addOuter({0.0, 1.0, 2.0});
    addOuter({0.3, 0.0, 1.0});
  }
  void rotation(double modulus, double angle) {
    st.phi(1, 1) = st.phi(2, 2) = modulus * std::cos(angle);
    st.phi(2, 1) = modulus * std::sin(angle);
    st.phi(1, 2) = -st.phi(2, 1);
  }
  void addOuter(std::vector<double> v) {
    for (int j = 1; j <= M; ++j)
      for (int i = 1; i <= M; ++i) st.delta(i, j) += v[i - 1] * v[j - 1];
  }
  PassWarnings check() {
    return checkLastPass(st, Scratch(wr.data(), wr.size(), wi.data(), wi.size(), wc.data(), wc.size()), 0);
  }
};

std::vector<std::pair<WarningKind, double>> found(const PassWarnings& w) {
  std::vector<std::pair<WarningKind, double>> out;
  for (int i = 0; i < w.count; ++i) out.emplace_back(w.item[i].kind, w.item[i].value);
  return out;
}

TEST(PassWarnings, EachFindingOnItsConstructedCase) {
  State clean;
  EXPECT_EQ(clean.check().count, 0);

  // SIGMA**2 ten times that of pass 1 is still fine; more is not.
  State grew;
  grew.st.sigma2Last = 20.0;
  EXPECT_EQ(grew.check().count, 0);
  grew.st.sigma2Last = 20.5;
  auto w = found(grew.check());
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(w[0].first, WarningKind::Sigma2Grew);
  EXPECT_DOUBLE_EQ(w[0].second, 10.25);
  grew.st.sigma2Last = 0.0;  // a collapse
  w = found(grew.check());
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(w[0].first, WarningKind::Sigma2Shrank);
  grew.st.lastPass = 1;  // pass 1 is the last: nothing to compare
  EXPECT_EQ(grew.check().count, 0);

  // A complex pair at the bound, within the search's 1.0E-5, or beyond it.
  for (double modulus : {0.995 - 0.9e-5, 0.995, 1.2}) {
    State bound;
    bound.rotation(modulus, 0.7);
    w = found(bound.check());
    ASSERT_EQ(w.size(), 1u) << modulus;
    EXPECT_EQ(w[0].first, WarningKind::PhiAtBound);
    EXPECT_NEAR(w[0].second, modulus, 1e-13);
  }
  State inside;
  inside.rotation(0.995 - 1.1e-5, 0.7);
  EXPECT_EQ(inside.check().count, 0);
  // A diagonal PHI with -EVLTOL on its diagonal, as the bounded path leaves it.
  State diagonal;
  diagonal.st.diagonalPhi = true;
  diagonal.st.phi(2, 2) = -0.995;
  EXPECT_EQ(found(diagonal.check()).at(0).first, WarningKind::PhiAtBound);

  // DELTA of rank 2; a DELTA whose smallest eigenvalue is 1.0E-9 of the
  // largest keeps its full rank.
  State singular;
  std::fill(singular.delta.begin(), singular.delta.end(), 0.0);
  singular.addOuter({1.0, 0.5, -0.25});
  singular.addOuter({0.2, 1.0, 3.0});
  w = found(singular.check());
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(w[0].first, WarningKind::DeltaSingular);
  EXPECT_EQ(w[0].second, 2.0);
  singular.addOuter({std::sqrt(1e-9) * 3.0, 0.0, 0.0});  // eigenvalue about 9E-9 of ~10
  EXPECT_EQ(singular.check().count, 0);

  // The OLS and GLS modes: a DELTA with DELTA(1,1) alone is what they
  // estimate; it is its zero that is reported.
  State leading;
  leading.st.leadingOnly = true;
  std::fill(leading.delta.begin(), leading.delta.end(), 0.0);
  leading.st.delta(1, 1) = 0.4;
  EXPECT_EQ(leading.check().count, 0);
  leading.st.delta(1, 1) = 0.0;
  w = found(leading.check());
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(w[0].first, WarningKind::Delta11Zero);
}

// At maximum-likelihood estimates the drift of the iterative passes (only
// the likelihood's starts) is not judged, however far SIGMA**2 moved; the
// same state without them is a drift. A part of the standard errors of BETA
// that could not be computed is its own finding.
TEST(PassWarnings, NoDriftAtMlEstimatesAndEmptyBetaErrors) {
  State ml;
  ml.st.sigma2Last = 40.0;  // twenty times pass 1's 2.0
  EXPECT_EQ(found(ml.check()).at(0).first, WarningKind::Sigma2Grew);
  EXPECT_NE(warningLine(ml.check().item[0], 3, 6, 3).find("SIGMA**2 IS 20.000 TIMES THAT OF"),
            std::string::npos);
  ml.st.atMlEstimates = true;
  EXPECT_EQ(ml.check().count, 0);
  ml.st.sigma2Last = 0.01;  // 1/200 of pass 1's
  EXPECT_EQ(ml.check().count, 0);
  ml.st.atMlEstimates = false;
  EXPECT_EQ(found(ml.check()).at(0).first, WarningKind::Sigma2Shrank);
  // The other findings are made all the same.
  ml.st.atMlEstimates = true;
  ml.rotation(1.2, 0.7);
  EXPECT_EQ(found(ml.check()).at(0).first, WarningKind::PhiAtBound);

  PassWarnings w;
  State gap;
  gap.st.betaSeGap = kSpreadMissing;
  w = gap.check();
  ASSERT_EQ(w.count, 1);
  EXPECT_EQ(w.item[0].kind, WarningKind::BetaSeIncomplete);
  EXPECT_STREQ(warningKindName(w.item[0].kind), "beta_se_incomplete");
  EXPECT_EQ(w.item[0].value, 2.0);
  EXPECT_NE(warningLine(w.item[0], 3, 6, 3).find("NOT POSITIVE DEFINITE"), std::string::npos);
}

// A pass at PHI and DELTA common to all groups: a PHI at the bound and a
// singular DELTA are the panel's findings, not the group's, and are left
// out; the findings about the group's own fit stay.
TEST(PassWarnings, CommonPhiAndDeltaLeaveTheirFindingsToThePanel) {
  State s;
  s.rotation(0.995, 0.7);
  std::fill(s.delta.begin(), s.delta.end(), 0.0);
  s.addOuter({1.0, 0.5, -0.25});
  s.st.sigma2Last = 30.0;
  s.st.betaSeGap = kPiCovarianceMissing;
  auto w = found(s.check());
  ASSERT_EQ(w.size(), 4u);
  EXPECT_EQ(w[1].first, WarningKind::PhiAtBound);
  EXPECT_EQ(w[2].first, WarningKind::DeltaSingular);
  EXPECT_EQ(w[2].second, 1.0);
  s.st.commonPhiDelta = true;
  w = found(s.check());
  ASSERT_EQ(w.size(), 2u);
  EXPECT_EQ(w[0].first, WarningKind::Sigma2Grew);
  EXPECT_DOUBLE_EQ(w[0].second, 15.0);
  EXPECT_EQ(w[1].first, WarningKind::BetaSeIncomplete);
}

}  // namespace
}  // namespace kova
