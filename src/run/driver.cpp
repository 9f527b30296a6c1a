#include "run/driver.h"

namespace kova {

void KOVAMAIN() {}

}  // namespace kova
