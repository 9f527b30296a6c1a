#pragma once
// The combinations of PI that a group's data do not determine.
//
// PI is estimated from y = XZ PIVECT + error under the equality rows R of
// its restriction. When [XZ; R] has rank below K*P, PIVECT + t v fits the
// data equally well and meets the restrictions for every t and every v in
// the null space of [XZ; R]: the combinations v'PIVECT are not identified,
// and the estimate along them (the minimum-norm one) and its standard
// errors are artefacts. An element PIVECT(i) is identified exactly when
// e_i is orthogonal to that null space.
//
// The rank is found once per group, from the data alone: the singular
// values of [XZ; R] with each column scaled to unit length (so that the
// units of the variables do not matter), counted as zero at or below
// 1.0E-10 of the largest. The covariance step's numerical ranks, which
// also depend on the pass's YSIGMA and SIGMA**2, report the same loss in
// the covariance section of each pass.
#include <string>
#include <vector>

#include "linalg/scratch.h"
#include "linalg/views.h"

namespace kova {

class ResultTables;

struct PiIdentification {
  int KP = 0;
  int deficiency = 0;              // the number of combinations not identified
  std::vector<double> directions;  // KP x deficiency, unit columns (PIVECT order)
  std::vector<char> unidentified;  // KP flags
  bool complete() const { return deficiency == 0; }
  const bool* flags() const;       // nullptr when nothing is unidentified
};

// XZ is NUMT x K*P; R holds the equality rows (rows = 0: none). A failing
// SVD is written to logUnit and leaves the group counted as identified.
void findPiIdentification(Mat XZ, Mat R, PiIdentification& result, Scratch s, int logUnit);
ScratchNeed findPiIdentificationNeed(int NUMT, int KP, int rows);

// The warning pi_rank_deficient after the last pass: its line with the
// variables involved (to the report, the log and the tables), then in the
// report each combination not identified, term by term. Names are those of
// the data files (80-character fields).
// After each pass's PI section of the report (print level 1 and above):
// which elements the data leave open, so that their standard errors and
// t-ratios there are not read as estimates.
void notePiIdentification(const PiIdentification& id, int K, int P,
                          const std::vector<std::string>& xNames,
                          const std::vector<std::string>& zNames, int outUnit);

void reportPiIdentification(const PiIdentification& id, int groupId, int pass, int K, int P,
                            const std::vector<std::string>& xNames,
                            const std::vector<std::string>& zNames, int outUnit, int logUnit,
                            ResultTables* tables);

}  // namespace kova
