#pragma once
// The local searches of the maximum-likelihood step: NLopt, quasi-Newton on
// the score or derivative free, from one point to a loose tolerance (the screening of a start) or
// to a tight one (the polish of the best starts).
//
// The objective is minimised. Anything it throws (a run stop above all)
// ends the search and leaves this routine unchanged: NLopt's C++ layer
// would otherwise turn it into a failure code and the run would go on.

namespace kova {

enum class MlStatus { Converged, NotConverged, Failed };

// The value at x (dim coordinates) and, when grad is not null, its
// gradient there; context is the caller's.
using SearchObjective = double (*)(const double* x, double* grad, void* context);

struct LocalSearch {
  SearchObjective objective = nullptr;
  void* context = nullptr;
  int dim = 0;
  // The method: with a gradient, LBFGS (quasi-Newton) in a box of +-1e3;
  // without, BOBYQA in that box when bounded, subplex otherwise.
  bool gradient = false;
  bool bounded = false;
  bool polish = false;        // two tight rounds instead of one loose one
  bool fallback = false;      // a derivative-free round after a quasi-Newton one (shorter)
  // A polish whose first quasi-Newton round converged takes no
  // derivative-free round after a second that stops short (at a converged
  // point the line search meets only rounding): the first's convergence stands.
  bool firstRoundStands = false;
  // Out (when not null): set to true when a polish went on derivative free.
  bool* fellBack = nullptr;
  double rejected = 1.0E100;  // values at or above this have no likelihood
  // The box of the bounded methods: the first `boxed` coordinates in
  // [-box, box], the others in [-1e3, 1e3].
  int boxed = 0;
  double box = 1.0E3;
  // A loose search (not a polish) ends early where joined(x, value,
  // joinedContext) says that the point has joined the end of an earlier
  // search (the point and its value are then the search's end).
  bool (*joined)(const double* x, double value, void* context) = nullptr;
  void* joinedContext = nullptr;
};

// From x: returns NLopt's result code (-1 when x itself is rejected, -5
// when the search was ended because it joined another) and leaves in x and
// value the best point seen. In a polish, the second round
// starts from the first's point with a fresh model; when it stops short,
// the first round's convergence stands (its point is never worse).
int localSearch(const LocalSearch& search, double* x, double& value);

// NLopt's codes 1-4 and -4 (rounding limited the progress) are convergence.
MlStatus statusOf(int nloptCode);
const char* searchAlgorithm(const LocalSearch& search);

}  // namespace kova
