#pragma once
// The coordinates of the likelihood search (likelihood/max_likelihood.h
// describes them): the maps between the optimiser's coordinates and PHI,
// DELTA and Q = SIGMA**2 DELTA, the map onto the stationary region, and the
// state of the search that its objective works on.
#include <algorithm>
#include <limits>

#include "likelihood/profile_likelihood.h"
#include "linalg/scratch.h"
#include "linalg/views.h"

namespace kova {

class Panel;

namespace ml {

inline void copyMatrix(Mat from, Mat to) {
  for (int j = 1; j <= from.cols; ++j) std::copy_n(from.col(j), from.rows, to.col(j));
}

// The layout of the optimisation: PHI's unknowns d = d0 + N u (np
// coordinates u), then the factor of DELTA (nd coordinates).
struct Layout {
  int M = 0;
  int nu = 0;  // unknowns of PHI (0, 1, M or M*M)
  int np = 0;  // free coordinates of PHI
  int nd = 0;  // unknowns of DELTA (0 in the OLS and GLS modes, M, M(M+1)/2)
  int nq = 0;  // unknowns of Q = SIGMA**2 DELTA (1, M, M(M+1)/2)
  bool diagonalPhi = false, diagonalDelta = false, leadingOnly = false;
  // Without restriction rows the optimiser sees PHI through a smooth map
  // onto the stationary region (squashPhi) instead of rejecting points; a
  // diagonal PHI (and PHI(1,1) of the OLS and GLS modes) is instead held in
  // the box |PHI(i,i)| <= kBox EVLTOL, where a maximum at the bound is
  // reached rather than approached.
  bool squash = false;
  bool box = false;
  double EVLTOL = 0.995;
  double* d0 = nullptr;  // nu
  Mat N;                 // nu x np
  int dim() const { return np + nd; }
};

struct Work {
  const MlData* data = nullptr;
  Layout lay;
  Mat phi, delta, eigA, eigZ;
  double *d, *wr, *wi;
  Scratch eig;  // for the eigenvalues of a full PHI
  Scratch profile;
  int evaluations = 0;
  // The highest log-likelihood seen where the collapse guard acted, and
  // whether it acted at the last point.
  double collapsedBest = -std::numeric_limits<double>::infinity();
  bool guarded = false;
  // The score: of the profile in PHI and DELTA, of the spectral radius.
  Mat gPhi, gDelta, gA, pre;
  double* gd;
  // Under REML, the group as a panel of one: the criterion of the search.
  Panel* reml = nullptr;
};

// PHI from its unknowns d (0, 1, M or M*M of them) and back.
void phiFromUnknowns(const Layout& lay, const double* d, Mat phi);
void unknownsFromPhi(const Layout& lay, Mat phi, double* d);
// PHI at the coordinates u into w.phi (unknowns d = d0 + N u in w.d).
void phiAt(Work& w, const double* u);
// The spectral radius of a (M x M; 2 when EIGENR fails), of w.phi.
double radiusOf(Work& w, Mat a);
double spectralRadius(Work& w);
// The smooth map of w.phi onto the stationary region, and its inverse on
// the coordinates x of a stationary PHI.
void squashPhi(Work& w);
void unsquash(Work& w, double* x);
// DELTA from the factor coordinates f into w.delta, its floor included;
// returns its trace.
double deltaAt(Work& w, const double* f);
// The coordinates x of a start at PHI, DELTA.
bool startAt(Work& w, Mat phi, Mat delta, double* x);
// Q from its unknowns q, and the (row, column) of unknown k (0-based).
void qFromUnknowns(const Layout& lay, const double* q, Mat Q);
void qElement(const Layout& lay, int k, int& i, int& j);

}  // namespace ml
}  // namespace kova
