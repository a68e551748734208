#include "platform/win32/win32_support.h"
#include "support/wine.h"

namespace tovra::testing {

bool under_wine() { return win32::running_under_wine(); }

}  // namespace tovra::testing
