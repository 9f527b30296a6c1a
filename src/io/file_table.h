#pragma once
// The run's files: the fixed-name files (units 100, 102, ..., 148) and the
// per-group scratch files, 25 families of BASE.nnn names (units from 300).
#include <array>
#include <string>

#include "io/file_services.h"

namespace kova {

constexpr int kFixedFileCount = 25;
constexpr int kFamilyCount = 25;
constexpr int kMaxGroups = 150;
constexpr int kNameLength = 12;

enum class Fixed {
  KOVAOUT, KOVALOG, PARAMTRS, YXDKEY, YXDATA1, YXDATA2, ZDATA1, ZDATA2, LDATA1, LDATA2,
  PDATA1, PDATA2, DDATA1, DDATA2, RCFPH, RVCPH, RCFPI, RVCPI, RCFDT, RVCDT,
  XDELTA, YSFACTR0, YSFACTR1, SAVEKEYS, SAVEDPNT
};

enum class Family {
  YDATA, XDATA, ZDATA, PHDATG, DTDATG, YFCAST, XFCAST, ZFCAST, YFCIDX, FCLOWIDX,
  FCHIGHDX, TLX, TLXF, XZ, YSIGFCTR, UYSGMA, ESIGMA, EPSMATRX, PSAVE, DSAVE,
  BETASAV, MUVECP, EPSVECP, BETAVECP, DXZGMATS
};

struct FileTable {
  std::array<NamedUnit, kFixedFileCount> fixed;
  std::array<std::array<NamedUnit, kMaxGroups>, kFamilyCount> family;

  const NamedUnit& operator[](Fixed f) const { return fixed[static_cast<int>(f)]; }
  // The file of a family for group position g = 1..NG.
  const NamedUnit& scratch(Family f, int g) const {
    return family[static_cast<int>(f)][g - 1];
  }
  int unit(Fixed f) const { return (*this)[f].unit; }
  // A save file (PSAVE, DSAVE, BETASAV, BETAVECP) as a run finds and leaves
  // it (BASE.nnn): PSAVE and DSAVE are the start files that INITIAL
  // PHI/DELTA = SAVED reads. The run writes its own under the temporary
  // name scratch(f, g) (BASE.nnn.tmp), renamed to this one only at the end
  // of a complete run, so that a save file is never changed by a run that
  // stops.
  NamedUnit savedFile(Family f, int g) const;
};

inline constexpr std::string_view kTemporarySuffix = ".tmp";

// Fills the fixed names (12-character fields) and units 100, 102, ..., 148.
void fillFixedFiles(FileTable& files);

// The unit that fillFixedFiles gives a fixed file.
constexpr int fixedUnit(Fixed f) { return 100 + 2 * static_cast<int>(f); }

// Builds every family's names for the NG groups (group identifiers in
// ascending order) with ADDIDF under the stop option, and numbers the units
// 300 + (family - 1) * NG + (g - 1).
void buildScratchNames(FileTable& files, int ng, const int* groupIds, int logUnit);

struct KeptSaveFiles {
  bool phi = false;    // PSAVE.nnn
  bool delta = false;  // DSAVE.nnn
  bool beta = false;   // BETASAV.nnn and BETAVECP.nnn
};

// Whether the files of a family outlive the run under these options (the
// save families when their option is on).
bool kept(Family f, const KeptSaveFiles& keep);

// End-of-run deletion: the five fixed scratch files, then every group's
// family files except the save files kept. The save files of the table are
// the run's temporary ones: a start file is never deleted.
void DELETF(const FileTable& files, int ng, const KeptSaveFiles& kept, int logUnit);

// Stops the run when a kept PSAVE or DSAVE name (BASE.nnn) is held by
// something the save could not replace (a directory, a device, a pipe), or
// when its aside name BASE.nnn.old (see replaceAsOne) is taken:
// called as soon as the names are known, so that the run does not do its
// work only to fail at the end, and again by keepSaveFiles.
void checkSaveTargets(const FileTable& files, int ng, const KeptSaveFiles& kept, int logUnit);

// At the end of a complete run, after DELETF: puts each kept save file of
// the run in place of BASE.nnn, replacing the file of that name, all of
// them as one (replaceAsOne): afterwards either every save file is the
// run's new one or every one is as it was. A missing temporary file (but a
// BETAVECP, which only a pooled phase writes) or a failed rename stops the
// run.
void keepSaveFiles(const FileTable& files, int ng, const KeptSaveFiles& kept, int logUnit);

}  // namespace kova
