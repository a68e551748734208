#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <tuple>

#include "core/test_util.h"
#include "package/initial_package.h"
#include "platform/storage.h"
#include "state/records.h"
#include "support/temp_dir.h"
#include "support/links.h"

namespace tovra {
namespace {

class RecordsTest : public ::testing::Test {
 protected:
  RecordsTest() : layout(data_root_layout(dir / "data")) { windows_security::ensure_private_directory(layout.native); }
  testing::TempDir dir;
  DataRootLayout layout;
};

TEST_F(RecordsTest, InstallationRecordIsCompactSortedAndBrandIsOptional) {
  InitialPackage package;
  package.descriptor_sha256 = std::string(64, 'a');
  package.origin = "https://repo.example";
  write_installation_record(layout, package);
  // Compact, members in byte order.
  EXPECT_TRUE(std::regex_match(testing::read_file(layout.installation_record),
                               std::regex(R"(\{"descriptor_sha256":"a{64}","installed_at":"20\d\d-[01]\d-[0-3]\dT)"
                                          R"([0-2]\d:[0-5]\d:[0-6]\dZ","kind":"tovra-installation",)"
                                          R"("origin":"https://repo\.example","schema_version":1\})")));
  EXPECT_NO_THROW(read_installation_record(layout));
  EXPECT_FALSE(read_installed_brand(layout.root).has_value());

  package.brand = Brand{"Caf\xc3\xa9 Games", "cafe", "Caf\xc3\xa9 Ltd", true};
  write_installation_record(layout, package);
  EXPECT_EQ(testing::read_file(layout.installation_record).rfind("{\"brand\":{\"icon\":true,\"id\":\"cafe\",\"name\":\"Caf\xc3\xa9 Games\",", 0), 0u);
  const auto brand = read_installed_brand(layout.root);
  ASSERT_TRUE(brand.has_value());
  EXPECT_EQ(brand->publisher, "Caf\xc3\xa9 Ltd");
  EXPECT_TRUE(brand->icon);

  // Reading the brand is best effort: a refused brand or no record at all is no brand.
  testing::write_file(layout.installation_record, R"({"kind":"tovra-installation","schema_version":1,"brand":)"
                                                  R"({"icon":false,"id":"Bad ID","name":"N","publisher":"P"}})");
  EXPECT_FALSE(read_installed_brand(layout.root).has_value());
  EXPECT_FALSE(read_installed_brand(dir / "nowhere").has_value());
}

TEST_F(RecordsTest, RecordsOfAnotherSchemaOrShapeAreRefused) {
  const std::string installation = layout.installation_record.string();
  const std::string status = layout.setup_status_record.string();
  const std::string fields = R"("action":"install","finished_at":"t","outcome":"failed")";
  const std::tuple<bool, std::string, std::string> cases[] = {
      {false, R"({"kind":"tovra-installation","schema_version":2})", "Unsupported installation record " + installation},
      {false, R"({"schema_version":1})", "Installation record is malformed: " + installation},
      {true, R"({"kind":"tovra-setup-status","schema_version":1,)" + fields + "}",
       "Setup status record is malformed: " + status},
      {true, R"({"kind":"tovra-installation","schema_version":1,"message":"",)" + fields + "}",
       "Unsupported setup status record"},
  };
  for (const auto& [is_status, text, message] : cases) {
    SCOPED_TRACE(text);
    testing::write_file(is_status ? layout.setup_status_record : layout.installation_record, text);
    if (is_status) {
      EXPECT_PROBLEM(read_setup_status(layout), "unsupported_schema", message);
    } else {
      EXPECT_PROBLEM(read_installation_record(layout), "unsupported_schema", message);
    }
  }
  // Problems of the profile pass unchanged.
  testing::write_file(layout.installation_record, R"({"kind":"tovra-installation","schema_version":1,"x":1.5})");
  EXPECT_PROBLEM_CODE(read_installation_record(layout), "invalid_number");
}

TEST_F(RecordsTest, SetupStatusRoundTripAndMessageCut) {
  EXPECT_FALSE(read_setup_status(layout).has_value());
  write_setup_status(layout, "repair", "failed", std::string(5000, 'm'));
  auto status = read_setup_status(layout);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->action + " " + status->outcome, "repair failed");
  EXPECT_EQ(status->message, std::string(2048, 'm'));
  EXPECT_EQ(status->finished_at.size(), 20u);

  // A three-byte character straddling the bound is left out whole.
  write_setup_status(layout, "install", "succeeded", std::string(2046, 'm') + "\xe2\x82\xac" + "tail");
  EXPECT_EQ(read_setup_status(layout)->message, std::string(2046, 'm'));

  // A message that cannot be serialised leaves the last record as it was.
  write_setup_status(layout, "install", "failed", "bad \xff");
  EXPECT_EQ(read_setup_status(layout)->outcome, "succeeded");
}

TEST_F(RecordsTest, SetupStatusIsNotWrittenWithoutANativeFolder) {
  TOVRA_NEEDS_SYMLINKS();
  const DataRootLayout empty = data_root_layout(dir / "empty");
  windows_security::ensure_private_directory(empty.root);
  EXPECT_NO_THROW(write_setup_status(empty, "install", "succeeded", ""));
  EXPECT_FALSE(std::filesystem::exists(empty.native));
  testing::make_directory_symlink(layout.native, empty.native);
  write_setup_status(empty, "install", "succeeded", "");
  EXPECT_FALSE(std::filesystem::exists(layout.setup_status_record));
}

TEST_F(RecordsTest, IncompleteMarkerBlocksAnInstallerInside) {
  write_incomplete_marker(layout);
  EXPECT_EQ(testing::read_file(layout.setup_incomplete_marker), R"({"kind":"tovra-setup-incomplete","schema_version":1})");
  EXPECT_PROBLEM_CODE(require_finished_image(layout.bootstrap_dir / "tovra.exe"), "native_install_incomplete");
}

}  // namespace
}  // namespace tovra
