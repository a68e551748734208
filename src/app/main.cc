// Process entry of tovra-install.
#include "app/entry.h"

namespace tovra {
extern const char* const kInitialPackageSeal;
}

int main(int argc, char** argv) { return tovra::installer_main(argc, argv, tovra::kInitialPackageSeal); }
