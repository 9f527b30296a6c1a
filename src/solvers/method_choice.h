#pragma once
// The choice between the two solver paths for PHI and for DELTA.
//
// A method code is six characters: "LM    " (the damped least-squares path,
// lm_phi.h / lm_delta.h) or "QP    " (the bounded least-squares path,
// qp_path.h). Only a diagonal matrix without linear restrictions can take the
// bounded path: its bounds are simple bounds on each unknown.
#include <string>
#include <string_view>

namespace kova {

enum class SolverPath { LM, QP };

// HOWCDT: "QP    " for a diagonal DELTA without restriction rows, otherwise
// "LM    ". Writes a blank line and the sentence naming the method to UNIT.
// A negative SDTROW writes "IN SUBROUTINE HOWCDT, SDTROW IS NEGATIVE." and
// stops the run.
std::string HOWCDT(bool DDIAG, int SDTROW, int unit);

// HOWCPH: the same for PHI (two blank lines before the sentence).
std::string HOWCPH(bool PDIAG, int SPHROW, int unit);

// How the group driver reads a code: "LM" anywhere selects the damped path,
// else "QP" the bounded path (the choosers produce nothing else).
SolverPath solverPath(std::string_view code);

}  // namespace kova
