#pragma once
// The error numbers the crash and fault tests inject: a full disk and a refused access as the
// backend's system reports them to a durable step.

namespace tovra::testing {

extern const int kDiskFull;
extern const int kAccessDenied;

}  // namespace tovra::testing
