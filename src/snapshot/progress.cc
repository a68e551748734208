#include "snapshot/progress.h"

#include "core/error.h"

namespace tovra {

void report_progress(const HashProgress& progress, std::uint64_t done, std::uint64_t total) {
  if (progress && !progress(done, total)) throw Error("cancelled", "Operation cancelled at a safe boundary");
}

}  // namespace tovra
