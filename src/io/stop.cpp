#include "io/stop.h"

#include <ostream>

#include "io/console.h"
#include "io/fortran_io.h"

namespace kova {

void stopRun() {
  flushAllUnits();
  console().flush();
  throw RunStopped();
}

}  // namespace kova
