// The trust folder's one-time root and the repository configuration in the data root.

#include "trust/trusted_root.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/json.h"
#include "core/paths.h"
#include "platform/file_lock.h"
#include "platform/storage.h"
#include "support/links.h"
#include "support/privacy.h"
#include "support/temp_dir.h"
#include "trust/test_keys.h"

namespace tovra {
namespace {

namespace fs = std::filesystem;
using testing::outcome;
using testing::read_file;
using testing::sample_root_bytes;

class TrustedRootTest : public ::testing::Test {
 protected:
  testing::TempDir temp;
  fs::path trust = temp / "trust";
  std::string initialize(const std::string& bytes) {
    return outcome([&] { initialize_trusted_root(trust, bytes); });
  }
};

TEST_F(TrustedRootTest, WritesTheRootByteForByteOnceIntoAPrivateFolder) {
  const std::string bytes = sample_root_bytes();
  EXPECT_EQ(initialize(bytes), "ok");
  EXPECT_EQ(read_file(trust / "root.json"), bytes);
  EXPECT_EQ(testing::privacy_of(trust), "ok");
  EXPECT_EQ(testing::privacy_of(trust / "root.json"), "ok");

  EXPECT_EQ(initialize(sample_root_bytes("2099-01-01T00:00:00Z")),
            "already_initialized: Trusted root is already initialized");
  EXPECT_EQ(read_file(trust / "root.json"), bytes);
}

TEST_F(TrustedRootTest, ALinkNamedRootCountsAsInitialisedAndIsNotFollowed) {
  TOVRA_NEEDS_SYMLINKS();
  windows_security::ensure_private_directory(trust);
  testing::write_file(temp / "elsewhere.json", "{}");
  for (const char* target : {"elsewhere.json", "missing.json"}) {
    fs::remove(trust / "root.json");
    testing::make_symlink(temp / target, trust / "root.json");
    EXPECT_EQ(initialize(sample_root_bytes()).substr(0, 19), "already_initialized") << target;
  }
  EXPECT_EQ(read_file(temp / "elsewhere.json"), "{}");
  EXPECT_FALSE(fs::exists(temp / "missing.json"));
}

TEST_F(TrustedRootTest, RefusedOrBusyRootsLeaveNoFileAndNoHeldLock) {
  const testing::SigningKey& a = testing::shared_key("ed25519");
  const testing::SigningKey& b = testing::shared_key("ecdsa-sha2-nistp256");
  const std::pair<std::string, std::string> cases[] = {
      {testing::sign_metadata(testing::root_content({&a, &b}, 2), {&a}).dump(), "signature_threshold"},
      {testing::sign_metadata(testing::root_content({&a}, 1, "2100-01-01"), {&a}).dump(), "invalid_expiry"},
      {std::string(524289, ' '), "size_limit"},
  };
  for (const auto& [bytes, code] : cases) {
    EXPECT_EQ(initialize(bytes).substr(0, code.size()), code);
    EXPECT_FALSE(fs::exists(fs::symlink_status(trust / "root.json")));
  }
  windows_security::ensure_private_directory(trust);
  OperationLock other = operation_lock(trust / ".lock", false, false);
  EXPECT_EQ(initialize(sample_root_bytes()), "busy: Another Tovra operation is using this state");
  EXPECT_FALSE(fs::exists(trust / "root.json"));
  other.release();
  // Expiry is the package load's concern, not this step's.
  EXPECT_EQ(initialize(sample_root_bytes("2001-01-01T00:00:00Z")), "ok");
}

TEST(RepositoryConfig, RecordsTheBundlePathOnlyWithABundleAndRewritesAtEachCommit) {
  testing::TempDir temp;
  const fs::path data = temp / "data";
  windows_security::ensure_private_directory(data);
  const fs::path config = data / "repository.json";
  const fs::path ca = data / "repository-ca.pem";
  write_repository_config(config, ca, "https://a.example.test", "old bundle");
  const std::string bundle = "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n";
  write_repository_config(config, ca, "https://ü.example.test", bundle);
  EXPECT_EQ(read_file(ca), bundle);
  EXPECT_EQ(testing::privacy_of(ca), "ok");
  EXPECT_EQ(read_file(config), R"({"ca_bundle":)" + Json(utf8_path(ca)).dump() +
                                   R"(,"origin":"https://ü.example.test","schema_version":1})");

  // A later package without a bundle takes the earlier bundle away with it.
  write_repository_config(config, ca, "https://updates.example.test:8443", "");
  EXPECT_EQ(read_file(config), R"({"ca_bundle":"","origin":"https://updates.example.test:8443","schema_version":1})");
  EXPECT_FALSE(fs::exists(fs::symlink_status(ca)));
}

}  // namespace
}  // namespace tovra
