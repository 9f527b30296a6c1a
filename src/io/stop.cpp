#include "io/stop.h"

#include <ostream>
#include <string>

#include "io/console.h"
#include "io/fortran_io.h"
#include "io/messages.h"

namespace kova {

void stopRun() {
  // What a full disk kept out of the report or the log is said, not lost
  // in silence.
  std::string name;
  if (const int iocond = flushAllUnits(&name)) reportWriteFailure(name, iocond);
  console().flush();
  throw RunStopped();
}

}  // namespace kova
