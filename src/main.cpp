// KOVAMAIN: runs the driver, catches the stop and sets the exit status.
#include "run/driver.h"
#include "io/fortran_io.h"
#include "io/stop.h"

int main() {
  kova::raiseOpenFileLimit();
  try {
    kova::KOVAMAIN();
  } catch (const kova::RunStopped&) {
    kova::closeAllUnits();
    return 1;
  }
  kova::closeAllUnits();
  return 0;
}
