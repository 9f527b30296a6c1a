#pragma once
// The likelihood of a panel whose groups share PHI and DELTA: every group
// keeps its own PI (under the PI equality rows) and SIGMA**2, and the
// log-likelihood of (PHI, DELTA) is the sum over the groups of each
// group's profile log-likelihood.
//
//   ML:   the group's concentrated profile, PIVECT and SIGMA**2 = RSS / n
//         maximised out: -1/2 (sum log f(t) + n (1 + log(2 pi RSS / n))),
//         from the factorisation below, or by the profile likelihood
//         (likelihood/profile_likelihood.h) where XN is short of rank or a
//         row has no noise.
//   REML: PIVECT integrated out. With PIVECT = pi0 + N b (N an orthonormal
//         basis of the null space of the PI equality rows, q = its columns,
//         the free elements of PI), XN = XZ N and y0 = y - XZ pi0, the
//         restricted log-likelihood with SIGMA**2 = RSS / (n - q) is
//           -1/2 (sum log f(t) + log det(XN' YSIGMA^-1 XN)
//                 + (n - q) (1 + log(2 pi RSS / (n - q)))),
//         RSS = min over b of (y0 - XN b)' YSIGMA^-1 (y0 - XN b), n the rows.
//         The constant +1/2 log det(XN'XN) of the error-contrast form is
//         left out (it does not depend on PHI or DELTA).
// Both are unchanged when DELTA is multiplied by a constant.
//
// The groups are evaluated on a pool of threads (likelihood/group_pool.h),
// each into its own slot, and summed in the order of the groups: the value
// does not depend on the number of threads, to the last bit. Nothing here
// reads or writes a file.
#include <memory>
#include <vector>

#include "likelihood/profile_likelihood.h"
#include "linalg/views.h"

namespace kova {

enum class PanelCriterion { ML, REML };

// What one group contributes to the panel's likelihood; the arrays are the
// caller's and live as long as the panel.
struct PanelGroupData {
  Mat tlx;  // M x T
  Mat xz;   // T x K*P
  const double* y = nullptr;
  PiRestrictionView pi;  // equality rows only
};

// The contribution of one group at one (PHI, DELTA).
struct GroupValue {
  bool valid = false;
  double loglik = 0.0;
  double sigma2 = 0.0;  // the maximising SIGMA**2 at the DELTA given
  int rows = 0;         // ML: the noisy rows; REML: n - q
  bool exact = false;   // a row without noise (f(t) = 0) was met
};

// A group's value from its profile likelihood's terms (ML): the concentrated
// log-likelihood, SIGMA**2 = RSS / n over its noisy rows; not valid where
// the terms are not or the value is not finite.
GroupValue profileGroupValue(const LikelihoodTerms& terms);

class GroupPool;

class Panel {
 public:
  // threads: at most this many (at least 1).
  Panel(const std::vector<PanelGroupData>& groups, int M, PanelCriterion criterion, int threads);
  ~Panel();
  Panel(const Panel&) = delete;
  Panel& operator=(const Panel&) = delete;

  // False when a group has no likelihood (no more rows than free PI) or,
  // under REML, XZ on the free PI is not of full column rank; groupFault()
  // names the first such group (1-based position).
  bool ready() const { return fault_ == 0; }
  int groupFault() const { return fault_; }

  int groups() const { return static_cast<int>(groups_.size()); }
  int M() const { return M_; }
  PanelCriterion criterion() const { return criterion_; }
  int threads() const { return threads_; }
  // The free elements of a group's PI (K*P less the rank of its rows).
  int freePi(int g) const { return groups_[g].q; }
  int rows(int g) const { return groups_[g].data.xz.rows; }

  // The mean square of each component of x~(t) = L'x(t) over all rows of
  // all groups (1 where it is 0): the scale on which DELTA's elements matter.
  const std::vector<double>& componentScale() const { return scale_; }

  // The sum over the groups at PHI, DELTA (M x M each); valid only when
  // every group's contribution is. Each group's value is left in value(g).
  bool evaluate(Mat phi, Mat delta, double& loglik);
  const GroupValue& value(int g) const { return values_[g]; }

  // The same value and its score (likelihood/panel_score.cpp): the
  // derivatives of the panel's log-likelihood with respect to each element
  // of PHI and of DELTA (M x M each; DELTA's symmetric, for symmetric
  // changes), the groups' scores summed in the order of the groups. scored
  // is false, and the derivatives are not written, where a group has no
  // score of its own (ML with a row without noise: its equation moves with
  // PHI and DELTA). diagonalOnly (PHI and DELTA diagonal): only the
  // diagonals of the derivatives are wanted, and only they are right.
  bool evaluateScore(Mat phi, Mat delta, double& loglik, Mat gradPhi, Mat gradDelta, bool& scored,
                     bool diagonalOnly = false);

 private:
  struct Group {
    PanelGroupData data;
    int q = 0;               // free PI
    bool fullRank = false;   // XN of full column rank
    // T x (q + 1): XN, then y0 (the filter reads both in one sweep).
    std::vector<double> xn;
    const double* y0() const { return xn.data() + static_cast<size_t>(q) * data.xz.rows; }
  };
  void prepare(Group& g, int position);
  void evaluateGroup(int g, int worker);
  void scoreGroup(int g, int worker);
  void formGamma(Mat phi, Mat delta);

  std::vector<Group> groups_;
  std::vector<GroupValue> values_;
  std::vector<double> scale_;
  std::vector<std::vector<double>> workspace_;  // one per worker
  std::vector<std::vector<int>> intWorkspace_;
  long long need_ = 0, needInts_ = 0;
  int M_ = 0;
  PanelCriterion criterion_;
  int threads_ = 1;
  int fault_ = 0;
  Mat phi_, delta_, gamma_;
  std::vector<double> gammaStore_, gammaWork_;
  std::unique_ptr<GroupPool> pool_;
  // The score's: its scratch (sized at the first score), and per group the
  // derivatives in PHI, DELTA and GAMMA (3 M*M; GAMMA's carried through its
  // equation for all groups at once, or none where the group's score came
  // whole from the profile), and whether the group has a score.
  long long scoreNeed_ = 0, scoreNeedInts_ = 0;
  std::vector<std::vector<double>> scoreWorkspace_;
  std::vector<std::vector<int>> scoreIntWorkspace_;
  std::vector<double> scores_;
  std::vector<int> scored_, throughGamma_;
  bool diagonalOnly_ = false;
};

// The REML (restricted) or ML contribution of one group from its design on
// the free PI (exposed for the tests): xn T x q of full column rank, y0 T;
// gamma the stationary covariance of PHI and DELTA (the same for every
// group: computed once by the caller), or empty. Not valid where a row has
// f(t) = 0 (exact set). y0 may be the column after xn's last (xn.ld apart).
GroupValue designContribution(Mat tlx, Mat xn, const double* y0, Mat phi, Mat delta, Mat gamma,
                              bool restricted, Scratch s);
ScratchNeed designContributionNeed(int T, int M, int q);

// designContribution and its score: the derivatives of the group's value
// with respect to each element of PHI, DELTA and of the first state's
// covariance GAMMA taken as free (M x M each, symmetric for DELTA and
// GAMMA); the caller carries the last through GAMMA = PHI GAMMA PHI' + DELTA.
// The score is written only where the value is valid.
// diagonalOnly: as Panel::evaluateScore's.
GroupValue designScore(Mat tlx, Mat xn, const double* y0, Mat phi, Mat delta, Mat gamma,
                       bool restricted, Mat gradPhi, Mat gradDelta, Mat gradGamma, Scratch s,
                       bool diagonalOnly = false);
ScratchNeed designScoreNeed(int T, int M, int q);

}  // namespace kova
