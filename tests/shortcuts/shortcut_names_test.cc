// Shortcut rules that hold alike on every backend: the bootstrap image, launcher payloads, and the
// hashed names and data-folder test built on destination identities.

#include <gtest/gtest.h>

#include <string>

#include "core/test_util.h"
#include "platform/launcher_entry.h"
#include "shortcuts/pe_image.h"
#include "shortcuts/shortcuts.h"

namespace tovra {
namespace {

using testing::outcome;
using testing::pe_image;

TEST(BootstrapImage, OnlyAnAmd64WindowedExecutablePasses) {
  const struct {
    const char* what;
    testing::PeFields fields;
    bool accepted;
  } cases[] = {
      {"windowed AMD64", {}, true},
      {"header at the smallest offset", {.pe_offset = 64}, true},
      {"header ending exactly at the read", {.pe_offset = 418, .length = 512}, true},
      {"console subsystem", {.subsystem = 3}, false},
      {"32-bit machine", {.machine = 0x14C}, false},
      {"DLL", {.characteristics = 0x2022}, false},
      {"not an executable image", {.characteristics = 0x0020}, false},
      {"PE32 optional header", {.magic = 0x10B}, false},
      {"optional header too small", {.optional_size = 69}, false},
      {"header inside the DOS stub", {.pe_offset = 63}, false},
      {"header too close to the end", {.pe_offset = 419, .length = 512}, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(outcome([&] { require_windowed_bootstrap_image(pe_image(c.fields)); }),
              c.accepted ? "ok" : testing::kNotWindowed)
        << c.what;
  }
  EXPECT_EQ(outcome([&] { require_windowed_bootstrap_image(std::string(63, 'M')); }), testing::kNotWindowed);
}

TEST(LauncherPayload, VersionedAndStagedLaunchersAreRecognised) {
  EXPECT_TRUE(inside_launcher_payload("/d/Launcher/Staging/x/gui.exe"));
  EXPECT_TRUE(inside_launcher_payload("/d/launcher/VERSIONS/gui.exe"));
  EXPECT_FALSE(inside_launcher_payload("/d/launcher/versions"));  // the folder itself, not inside it
  EXPECT_FALSE(inside_launcher_payload("/d/versions/launcher/gui.exe"));
}

// Digests worked out by hand: sha256 of the identity with "/" between its components, where
// Windows keeps the "\\?" that begins its identities.
TEST(ShortcutIdentity, HashedNameAndDataFolderTestUseTheGenericIdentity) {
#ifdef _WIN32
  const std::string root = "\\\\?\\VOLUME{1A2B3C4D-0000-4000-8000-00000000CAFE}\\USERS\\CAF\xc3\x89\\APPDATA\\LOCAL\\TOVRA";
  const std::string digest = "e6bbb677c7b13f5296cae73f87a5f49a32c12f05fc898757b0f18334fb9d93b9";
  const std::string sep = "\\";
#else
  const std::string root = "8:1/home/caf\xc3\xa9/.local/share/Tovra";
  const std::string digest = "9359d6ecb5a2518b4ea2b66a2b7167166546b6a131c578455f4d06d778db40e0";
  const std::string sep = "/";
#endif
  EXPECT_EQ(hashed_shortcut_name(root, ""), "tovra-" + digest + "-launcher");
  EXPECT_EQ(hashed_shortcut_name(root, "con"), "tovra-" + digest + "-game-con");
  const struct {
    std::string inner, outer;
    bool inside;
  } cases[] = {
      {root, root, true},
      {root + sep + "MENU" + sep + "A.LNK", root, true},
      {root + sep + "A.LNK", root + sep, true},
      {root + "2" + sep + "A.LNK", root, false},
  };
  for (const auto& c : cases) EXPECT_EQ(identity_within(c.inner, c.outer), c.inside) << c.inner << " in " << c.outer;
}

}  // namespace
}  // namespace tovra
