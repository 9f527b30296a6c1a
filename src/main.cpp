// KOVAMAIN: runs the driver, catches the stop and sets the exit status.
#include "run/driver.h"
#include "io/fortran_io.h"
#include "io/stop.h"

int main() {
  kova::raiseOpenFileLimit();
  try {
    kova::KOVAMAIN();
  } catch (const kova::RunStopped&) {
    // A stopped run leaves its scratch files on disk, as they stood.
    kova::closeAllUnits();
    kova::spillMemoryFiles();
    return 1;
  }
  kova::closeAllUnits();
  kova::spillMemoryFiles();
  return 0;
}
