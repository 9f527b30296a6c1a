#pragma once
// INTPHI and INTDLT: the starting PHI, SIGMA**2, DELTA and UDELTA of a
// group, from the user's data (INIT text with "U"), the save files of an
// earlier run ("S") or the defaults (zero PHI; SIGMA**2 = 1, DELTA = I).
#include "io/file_services.h"
#include "linalg/scratch.h"
#include "linalg/views.h"
#include "solvers/phi_eigen.h"

#include <string_view>

namespace kova {

// The source an INIT text names: 'U' (the user's data) when it holds a "U"
// anywhere, else 'S' (the save file of an earlier run) when it holds an "S",
// else ' ' (the default).
char startingSource(std::string_view initText);

// A file that is missing, a record that is missing, short or of another size
// (a save file of a run with another M) stops the run with a message naming
// the file and the group.
struct StartingPhiSettings {
  char init = ' ';  // 'U', 'S' or anything else for the default
  bool zeroPhi = false;
  bool diagonalPhi = false;
  int printLevel = 1;
  int groupId = 0;
};

// The starting PHI, made stationary (method 2, RHO = 0.2). For a full PHI
// eig is filled (eigenvalues, vectors, inverse, moduli) whatever happens.
// phiIsZero returns whether PHI is the zero matrix by the option or default.
void INTPHI(const StartingPhiSettings& settings, Mat phi, PhiEigen& eig, bool& phiIsZero,
            const NamedUnit& phdatg, const NamedUnit& psave, Scratch& s, int outUnit,
            int logUnit);
ScratchNeed INTPHIneed(int M);

struct StartingDeltaSettings {
  char init = ' ';
  int printLevel = 1;
  int groupId = 0;
};

// The starting SIGMA**2, DELTA and its factor UDELTA (UDELTA' UDELTA =
// DELTA, columns in DELTA's order). A DELTA read from a file is printed and
// used as read; when it is singular the rows of the factor beyond its rank
// are zero, which is reported, and the run goes on.
void INTDLT(const StartingDeltaSettings& settings, Mat delta, double& sigma2, Mat udelta,
            const NamedUnit& dtdatg, const NamedUnit& dsave, Scratch& s, int outUnit,
            int logUnit);
ScratchNeed INTDLTneed(int M);

}  // namespace kova
