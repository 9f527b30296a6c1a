#include "estimation/starting_values.h"

#include <cmath>
#include <string>

#include "io/edit_descriptors.h"
#include "io/error_report.h"
#include "io/fortran_io.h"
#include "io/messages.h"
#include "io/text_conversion.h"
#include "report/adjustment_sections.h"
#include "report/estimation_sections.h"
#include "data/matrix_records.h"
#include "solvers/definiteness.h"

namespace kova {
namespace {

constexpr double kStartingRho = 0.2;
constexpr int kStartingMethod = 2;

// A record that is missing, short, long or damaged (a file of a run with
// another M, say) must stop the run: read on, it would start the group from
// values that belong to nothing.
void readRecord(const NamedUnit& file, Mat a, int record, const char* routine,
                const std::string& what, int groupId, int logUnit) {
  const int iocond = readMatrixRecord(file.unit, a);
  if (iocond == 0) return;
  reportError(std::string("IN SUBROUTINE ") + routine + ", RECORD " + std::to_string(record) +
                  " OF FILE " + std::string(trimmed(file.name)) + " IS MISSING OR IS NOT " +
                  what + " OF GROUP " + std::to_string(groupId) + " (IOCOND = " +
                  std::to_string(iocond) + ").",
              "STOP", logUnit);
}

std::string shape(int M) { return "THE " + editI(M, 3) + " X " + editI(M, 3); }

void openForReading(const NamedUnit& file, const std::string& caller, int logUnit) {
  int iocond = 0;
  openFile(file.unit, logUnit, file.name, "UNFORMATTED", "OLD", iocond, caller, "STOP");
  rewindFile(file.unit, logUnit, file.name, iocond, caller, "STOP");
}

void closeKept(const NamedUnit& file, const std::string& caller, int logUnit) {
  int iocond = 0;
  closeFile(file.unit, logUnit, file.name, "KEEP", iocond, caller, "STOP");
}

struct PhiWork {
  double *evlen0, *evlen;
};

PhiWork carvePhiWork(Scratch& s, int M) { return PhiWork{s.doubles(M), s.doubles(M)}; }

}  // namespace

char startingSource(std::string_view initText) {
  if (initText.find('U') != std::string_view::npos) return 'U';
  if (initText.find('S') != std::string_view::npos) return 'S';
  return ' ';
}

void INTPHI(const StartingPhiSettings& settings, Mat phi, PhiEigen& eig, bool& phiIsZero,
            const NamedUnit& phdatg, const NamedUnit& psave, Scratch& scratch, int outUnit,
            int logUnit) {
  const int M = phi.rows;
  Scratch s = scratch;
  PhiWork w = carvePhiWork(s, M);
  const std::string caller = "SUBROUTINE INTPHI";
  const bool fromFile = !settings.zeroPhi && (settings.init == 'U' || settings.init == 'S');
  phiIsZero = !fromFile;
  if (phiIsZero) {
    for (int j = 1; j <= M; ++j)
      for (int i = 1; i <= M; ++i) phi(i, j) = 0.0;
    if (settings.printLevel > 0) {
      writeUnit(outUnit, "");
      writeUnit(outUnit, "THE INITIAL PHI MATRIX IS THE ZERO MATRIX.");
    }
  } else {
    const NamedUnit& file = settings.init == 'U' ? phdatg : psave;
    openForReading(file, caller, logUnit);
    readRecord(file, phi, 1, "INTPHI", shape(M) + " PHI MATRIX", settings.groupId, logUnit);
    closeKept(file, caller, logUnit);
  }
  const SectionContext c{settings.printLevel, settings.groupId, 0, outUnit, logUnit};
  if (!phiIsZero) printStartingPhi(c, phi);

  bool adjusted = false;
  if (settings.diagonalPhi) {
    ADJPHD(phi, kStartingRho, kStartingMethod, w.evlen0, adjusted);
    for (int i = 1; i <= M; ++i) w.evlen[i - 1] = std::fabs(phi(i, i));
  } else {
    ADJPHI(phi, eig, kStartingRho, kStartingMethod, w.evlen0, w.evlen, adjusted, s, outUnit);
  }
  PhiAdjustmentSection section;
  section.phi = phi;
  section.before = w.evlen0;
  section.after = w.evlen;
  section.adjusted = adjusted;
  section.zero = phiIsZero;
  section.diagonal = settings.diagonalPhi;
  section.method = kStartingMethod;
  printPhiAdjustment(c, section);
}

ScratchNeed INTPHIneed(int M) {
  Scratch s;
  carvePhiWork(s, M);
  ScratchNeed need = s.used();
  ScratchNeed inner = ADJPHIneed(M);
  need.add(inner);
  return need;
}

void INTDLT(const StartingDeltaSettings& settings, Mat delta, double& sigma2, Mat udelta,
            const NamedUnit& dtdatg, const NamedUnit& dsave, Scratch& scratch, int outUnit,
            int logUnit) {
  const int M = delta.rows;
  const std::string caller = "SUBROUTINE INTDLT";
  if (settings.init != 'U' && settings.init != 'S') {
    sigma2 = 1.0;
    for (int j = 1; j <= M; ++j)
      for (int i = 1; i <= M; ++i) delta(i, j) = udelta(i, j) = i == j ? 1.0 : 0.0;
    writeUnit(outUnit, "");
    writeUnit(outUnit, "");
    writeUnit(outUnit, " THE STARTING DELTA MATRIX IS THE " + editI(M, 3) + " X " + editI(M, 3) +
                           " IDENTITY MATRIX.");
    return;
  }
  const NamedUnit& file = settings.init == 'U' ? dtdatg : dsave;
  openForReading(file, caller, logUnit);
  readRecord(file, Mat{&sigma2, 1, 1, 1}, 1, "INTDLT", "SIGMA**2", settings.groupId, logUnit);
  readRecord(file, delta, 2, "INTDLT", shape(M) + " DELTA MATRIX", settings.groupId, logUnit);
  closeKept(file, caller, logUnit);

  const SectionContext c{settings.printLevel, settings.groupId, 0, outUnit, logUnit};
  printStartingDelta(c, delta);
  writeUnit(outUnit, " THE INITIAL SIGMA**2 IS" + editG(sigma2, 13, 5));
  writeUnit(outUnit, "");
  writeUnit(outUnit, "NO ADJUSTMENT IS MADE ON THE INITIAL DELTA MATRIX.");

  const int r = pivotedFactor(delta, udelta, scratch);
  if (r < M) {
    const std::string text =
        "THE FINAL DELTA MATRIX IN SUBROUTINE INTDLT IS NOT POSSITIVE DEFINITE. THE LAST" +
        editI(M - r, 3) + "ROWS OF THE UPPER CHOLESKY FACTORHAVE BEEN SET TO ZERO.";
    writeUnit(outUnit, "");
    writeUnit(outUnit, text);
    writeUnit(logUnit, "");
    writeUnit(logUnit, text);
  }
}

ScratchNeed INTDLTneed(int M) { return pivotedFactorNeed(M); }

}  // namespace kova
