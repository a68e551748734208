#include "support/wine.h"

namespace tovra::testing {

bool under_wine() { return false; }

}  // namespace tovra::testing
