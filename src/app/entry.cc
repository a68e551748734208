#include "app/entry.h"

namespace tovra {

int installer_main(int, char**, const char*) { return 1; }

}  // namespace tovra
