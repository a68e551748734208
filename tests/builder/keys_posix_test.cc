// The publisher's private key file is readable and writable by its owner alone.

#include <gtest/gtest.h>

#include <filesystem>

#include "package/keys.h"
#include "support/temp_dir.h"

namespace tovra::builder {
namespace {

TEST(SigningKeyTest, PrivateKeyFileHasOwnerOnlyMode) {
  testing::TempDir dir;
  write_key_files(generate_key("ed25519"), dir / "release");
  EXPECT_EQ(std::filesystem::status(private_key_path(dir / "release")).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

}  // namespace
}  // namespace tovra::builder
