#include "linalg/machine_constants.h"

#include <string>

#include "io/console.h"
#include "io/edit_descriptors.h"

namespace kova {
namespace {

constexpr double kPrecision = 1.6E-13;
constexpr double kRadix = 16.0;

// The JOB field is written as I0 writes it: just the digits and the sign,
// so the message reads "...(2)" rather than carrying a fixed-width gap.
std::string minimalInteger(int job) {
  return editI(job, static_cast<int>(std::to_string(job).size()));
}

void reportUnknownJob(const char* name, int job, const char* setting) {
  consoleLine(std::string("NO INFORMATION AVAILABLE FOR ") + name + "(" + minimalInteger(job) + ")");
  consoleLine(setting);
}

}  // namespace

double DMACH(int job) {
  if (job != 1) reportUnknownJob("DMACH", job, "DMACH IS SET TO 16.0D-14 IN FUNCTION DMACH");
  return kPrecision;
}

double DRADIX(int job) {
  if (job != 1) reportUnknownJob("DRADIX", job, "DRADIX IS SET TO 16.0D0 IN FUNCTION DRADIX");
  return kRadix;
}

}  // namespace kova
