#include "io/file_table.h"

#include <filesystem>
#include <system_error>
#include <vector>

#include "io/error_report.h"
#include "io/text_conversion.h"

namespace kova {
namespace {

constexpr const char* kFixedNames[kFixedFileCount] = {
    "KOVAOUT", "KOVALOG", "PARAMTRS", "YXDKEY",   "YXDATA1",  "YXDATA2",  "ZDATA1",
    "ZDATA2",  "LDATA1",  "LDATA2",   "PDATA1",   "PDATA2",   "DDATA1",   "DDATA2",
    "RCFPH",   "RVCPH",   "RCFPI",    "RVCPI",    "RCFDT",    "RVCDT",    "XDELTA",
    "YSFACTR0", "YSFACTR1", "SAVEKEYS", "SAVEDPNT"};

constexpr const char* kFamilyNames[kFamilyCount] = {
    "YDATA",    "XDATA",    "ZDATA",    "PHDATG", "DTDATG", "YFCAST",  "XFCAST",
    "ZFCAST",   "YFCIDX",   "FCLOWIDX", "FCHIGHDX", "TLX",  "TLXF",    "XZ",
    "YSIGFCTR", "UYSGMA",   "ESIGMA",   "EPSMATRX", "PSAVE", "DSAVE",  "BETASAV",
    "MUVECP",   "EPSVECP",  "BETAVECP", "DXZGMATS"};

constexpr int kFirstScratchUnit = 300;

}  // namespace

bool kept(Family f, const KeptSaveFiles& keep) {
  switch (f) {
    case Family::PSAVE: return keep.phi;
    case Family::DSAVE: return keep.delta;
    case Family::BETASAV:
    case Family::BETAVECP: return keep.beta;
    default: return false;
  }
}

namespace {

// The save families: written under BASE.nnn.tmp, put in place at the end.
constexpr Family kSaveFamilies[] = {Family::PSAVE, Family::DSAVE, Family::BETASAV,
                                    Family::BETAVECP};

bool isSaveFamily(Family f) {
  for (Family s : kSaveFamilies)
    if (s == f) return true;
  return false;
}

}  // namespace

void fillFixedFiles(FileTable& files) {
  for (int i = 0; i < kFixedFileCount; ++i)
    files.fixed[i] =
        NamedUnit{padded(kFixedNames[i], kNameLength), fixedUnit(static_cast<Fixed>(i))};
}

void buildScratchNames(FileTable& files, int ng, const int* groupIds, int logUnit) {
  for (int f = 0; f < kFamilyCount; ++f) {
    for (int g = 0; g < ng; ++g) {
      std::string name = padded(kFamilyNames[f], kNameLength);
      ADDIDF(name, groupIds[g], logUnit, "STOP");
      const Family family = static_cast<Family>(f);
      if (isSaveFamily(family)) name = std::string(trimmed(name)) + std::string(kTemporarySuffix);
      files.family[f][g] = NamedUnit{name, kFirstScratchUnit + f * ng + g};
    }
  }
}

NamedUnit FileTable::savedFile(Family f, int g) const {
  NamedUnit file = scratch(f, g);
  std::string_view name = trimmed(file.name);
  if (name.size() > kTemporarySuffix.size() &&
      name.substr(name.size() - kTemporarySuffix.size()) == kTemporarySuffix)
    name.remove_suffix(kTemporarySuffix.size());
  file.name = padded(name, kNameLength);
  return file;
}

void DELETF(const FileTable& files, int ng, const KeptSaveFiles& keep, int logUnit) {
  for (Fixed f : {Fixed::XDELTA, Fixed::YSFACTR0, Fixed::YSFACTR1, Fixed::SAVEKEYS,
                  Fixed::SAVEDPNT})
    deleteFile(files[f], logUnit, "SUBROUTINE DELETF", "SUBROUTINE DELETF");
  for (int g = 1; g <= ng; ++g) {
    for (int f = 0; f < kFamilyCount; ++f) {
      Family family = static_cast<Family>(f);
      if (kept(family, keep)) continue;
      // The PSAVE close has always been logged under this spelling.
      deleteFile(files.scratch(family, g), logUnit, "SUBROUTINE DELETF",
                 family == Family::PSAVE ? "SUBOUTINE DELETF" : "SUBROUTINE DELETF");
    }
  }
}

void checkSaveTargets(const FileTable& files, int ng, const KeptSaveFiles& keep, int logUnit) {
  for (Family family : kSaveFamilies) {
    if (!kept(family, keep)) continue;
    for (int g = 1; g <= ng; ++g) {
      const std::string name(trimmed(files.savedFile(family, g).name));
      std::error_code ec;
      if (std::filesystem::exists(std::filesystem::symlink_status(name + ".old", ec)))
        reportError(" " + name +
                        ".old IN THE RUN DIRECTORY (A START FILE PUT ASIDE BY A RUN THAT "
                        "DID NOT END?) WOULD BE REPLACED BY THE SAVE: MOVE IT AWAY AND RUN "
                        "AGAIN.",
                    "STOP", logUnit);
      const auto status = std::filesystem::symlink_status(name, ec);
      if (!std::filesystem::exists(status) || std::filesystem::is_regular_file(status) ||
          std::filesystem::is_symlink(status))
        continue;
      reportError(" " + name +
                      " IN THE RUN DIRECTORY IS NOT A FILE (A DIRECTORY, A DEVICE OR A PIPE): THE "
                      "RUN COULD NOT SAVE ITS RESULT UNDER THAT NAME.  REMOVE IT AND RUN AGAIN.",
                  "STOP", logUnit);
    }
  }
}

void keepSaveFiles(const FileTable& files, int ng, const KeptSaveFiles& keep, int logUnit) {
  checkSaveTargets(files, ng, keep, logUnit);
  std::vector<FileMove> moves;
  for (Family family : kSaveFamilies) {
    if (!kept(family, keep)) continue;
    for (int g = 1; g <= ng; ++g) {
      const std::string temporary(trimmed(files.scratch(family, g).name));
      std::error_code ec;
      const bool made =
          std::filesystem::is_regular_file(std::filesystem::symlink_status(temporary, ec));
      // The pooled BETA exists only where the pooled phase ran: without it
      // the earlier file of that name stays, as it always has.
      if (!made && family == Family::BETAVECP) continue;
      if (!made)
        reportError(" FROM SUBROUTINE DELETF: THE SAVE FILE " + temporary +
                        " OF THIS RUN IS MISSING: NO SAVE FILE IS PUT IN PLACE.",
                    "STOP", logUnit);
      moves.push_back({temporary, std::string(trimmed(files.savedFile(family, g).name))});
    }
  }
  if (!moves.empty()) replaceAsOne(moves, "SAVE FILES", logUnit, "SUBROUTINE DELETF");
}

}  // namespace kova
