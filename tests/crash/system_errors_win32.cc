// The error numbers the fault tests inject, as Windows reports them.

#include "crash_fixture.h"

namespace tovra::testing {

const int kDiskFull = 112;     // ERROR_DISK_FULL
const int kAccessDenied = 5;   // ERROR_ACCESS_DENIED

}  // namespace tovra::testing
