#pragma once
// Progress-and-continue reporting at the safe boundaries of long snapshot operations.

#include <cstdint>

#include "core/digest.h"

namespace tovra {

// Reports (done, total) when a callback is set; raises `cancelled` when it asks to stop.
void report_progress(const HashProgress& progress, std::uint64_t done, std::uint64_t total);

}  // namespace tovra
