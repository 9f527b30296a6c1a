#pragma once
// The save files of a group: PSAVE (PHI), DSAVE (SIGMA**2 and DELTA),
// BETASAV (the BETA(t) vectors of every pass) and the transposed factor of
// YSIGMA after passes 0 and 1 (YSFACTR0, YSFACTR1). One unformatted record
// per matrix, column order, no leading-dimension padding.
#include "data/matrix_records.h"
#include "io/file_services.h"
#include "linalg/views.h"

namespace kova {

void PUTPHI(Mat phi, const NamedUnit& file, int logUnit);
void PUTDLT(Mat delta, double sigma2, const NamedUnit& file, int logUnit);
// Opens and rewinds on pass 0, writes (groupId, pass) and BETA, closes on
// the last pass N.
void PUTBTA(int groupId, int pass, int lastPass, Mat beta, const NamedUnit& file, int logUnit);
// target := UYSGMA'; with write set, target is written to the file.
void SAVYSG(Mat uysgma, Mat target, const NamedUnit& file, bool write, int logUnit);
// The same file with a record of another form (the state-space engine's).
void SAVYSG(Mat record, const NamedUnit& file, int logUnit);

}  // namespace kova
