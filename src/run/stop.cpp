#include "run/stop.h"

#include <ostream>

#include "run/console.h"
#include "run/fortran_io.h"

namespace kova {

void stopRun() {
  flushAllUnits();
  console().flush();
  throw RunStopped();
}

}  // namespace kova
