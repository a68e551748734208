#include "state/launcher_store.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <thread>
#include <tuple>

#include "core/test_util.h"
#include "package/package.h"
#include "platform/file_lock.h"
#include "support/temp_dir.h"

namespace tovra {
namespace {

namespace fs = std::filesystem;
using testing::outcome;

class LauncherStoreTest : public ::testing::Test {
 protected:
  // The package's launcher built for `platform`: its manifest bytes and its archive.
  std::string make_launcher(const std::string& platform) {
    builder::ReleaseOptions release = builder::default_launcher();
    release.snapshot.platform = platform;
    release.snapshot.release_fields = builder::launcher_release_fields(release.gui_executable, release.helpers);
    const builder::PackedSnapshot packed = builder::pack_snapshot(release.files, release.snapshot);
    testing::write_file(archive_, packed.archive);
    return packed.manifest.dump();
  }

  std::string seed(const fs::path& root, const std::string& manifest) {
    return outcome([&] { seed_initial_launcher(root, manifest, archive_, {}); });
  }

  fs::path state_file() const { return root_ / "launcher/installation.json"; }

  testing::TempDir temp_;
  fs::path root_ = temp_ / "data";
  fs::path archive_ = temp_ / "launcher.tar.zst";
  std::string manifest_ = make_launcher("windows-x86_64");
};

TEST_F(LauncherStoreTest, SeedsABrandNewStoreOnceAsTheCandidate) {
  const LauncherStore fresh = LauncherStore::create(root_, true);
  EXPECT_EQ(fresh.read_state()["generation"], 0);
  EXPECT_FALSE(launcher_intact(root_));

  const LauncherReference seeded = seed_initial_launcher(root_, manifest_, archive_, {});
  EXPECT_EQ(seeded.manifest_sha256, digest_hex(manifest_, "sha256"));
  const Json state = LauncherStore::open(root_).read_state_with_installed();
  EXPECT_EQ(state["generation"], 1);
  EXPECT_EQ(state["candidate"], (Json{{"build_id", "launcher-1"}, {"manifest_sha256", seeded.manifest_sha256}}));
  EXPECT_TRUE(state["active"].is_null());
  EXPECT_EQ(state["installed"], false);
  EXPECT_EQ(testing::read_file(root_ / "launcher/manifests" / (seeded.manifest_sha256 + ".json")), manifest_);
  EXPECT_TRUE(fs::is_regular_file(root_ / "launcher/versions" / seeded.manifest_sha256 / "bin/tovra-launcher.exe"));
  EXPECT_TRUE(launcher_intact(root_));
  EXPECT_EQ(seed(root_, manifest_), "already_installed: Initial launcher seeding requires a new owned profile");

  // Which slot is checked: active, else candidate, never the rollback.
  const LauncherStore store = LauncherStore::open(root_);
  const Json reference = state["candidate"];
  const auto slots = [&](const Json& active, const Json& candidate, const Json& rollback) {
    Json edited = store.read_state();
    edited["active"] = active;
    edited["candidate"] = candidate;
    edited["rollback"] = rollback;
    store.write_state(edited);
    return launcher_intact(root_);
  };
  EXPECT_TRUE(slots(reference, nullptr, nullptr));
  EXPECT_FALSE(slots(nullptr, nullptr, reference));
  Json other_build = reference;
  other_build["build_id"] = "build-2";
  EXPECT_FALSE(slots(nullptr, other_build, nullptr));
  EXPECT_PROBLEM(store.load_stored_manifest(other_build), "launcher_state",
                 "Launcher identity/platform differs from its local reference");
  EXPECT_PROBLEM(store.load_stored_manifest(nullptr), "launcher_missing", "Install a verified launcher first");

  std::string tampered = manifest_;
  tampered[tampered.size() / 2] ^= 1;
  testing::write_file(root_ / "launcher/manifests" / (seeded.manifest_sha256 + ".json"), tampered);
  EXPECT_PROBLEM(store.load_stored_manifest(reference), "content_mismatch", "Stored launcher manifest changed");
  EXPECT_FALSE(slots(reference, nullptr, nullptr));

  testing::write_file(root_ / ".tovra-setup-incomplete", "{}");
  EXPECT_PROBLEM_CODE(LauncherStore::open(root_), "native_install_incomplete");
}

TEST_F(LauncherStoreTest, RefusesSeedingWhatIsNotNewOrNotForThisPlatform) {
  LauncherStore::create(root_, true);
  testing::write_file(root_ / "launcher/manifests/stray.json", "{}");
  EXPECT_EQ(seed(root_, manifest_), "already_installed: Initial launcher seeding requires a new owned profile");

  const std::string linux_launcher = make_launcher("linux-x86_64");
  EXPECT_EQ(seed(temp_ / "other", linux_launcher),
            "launcher_incompatible: Initial launcher targets another native platform");
  EXPECT_FALSE(fs::exists(temp_ / "other/launcher/installation.json"));
}

TEST_F(LauncherStoreTest, SeedingWaitsBrieflyForTheStoreLock) {
  LauncherStore::create(root_, true);
  OperationLock held = operation_lock(root_ / "launcher/bootstrap.lock", false, false);
  using Clock = std::chrono::steady_clock;
  Clock::time_point start = Clock::now();
  EXPECT_EQ(seed(root_, manifest_), "busy: Another Tovra operation is using this state");
  EXPECT_GE(Clock::now() - start, std::chrono::seconds(2));

  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    held.release();
  });
  start = Clock::now();
  EXPECT_EQ(seed(root_, manifest_), "ok");
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
  releaser.join();
}

TEST_F(LauncherStoreTest, StateIsValidatedOnReadAndBoundedOnWrite) {
  const LauncherStore store = LauncherStore::create(root_, true);
  const Json reference{{"build_id", "build-1"}, {"manifest_sha256", std::string(64, 'a')}};
  const Json attempt{{"nonce", std::string(32, '0')}, {"reference", reference}};
  const std::string malformed = "launcher_state: Launcher installation record is malformed; it was preserved";
  const std::tuple<const char*, std::function<void(Json&)>, std::string> cases[] = {
      {"valid", [&](Json& s) { s["rollback"] = reference; s["attempt"] = attempt; }, "ok"},
      {"other format", [](Json& s) { s["format"] = "tovra-launcher-store-v2"; },
       "unsupported_schema: Unknown launcher state was preserved"},
      {"generation 0", [](Json& s) { s["generation"] = 0; }, "invalid_version: Metadata version must be positive"},
      {"upper-case digest", [&](Json& s) { s["active"] = reference; s["active"]["manifest_sha256"] = std::string(64, 'A'); },
       "launcher_state: Launcher manifest identity is invalid"},
      {"bad build id", [&](Json& s) { s["rollback"] = reference; s["rollback"]["build_id"] = "a b"; },
       "invalid_identity"},
      {"short nonce", [&](Json& s) { s["attempt"] = attempt; s["attempt"]["nonce"] = std::string(31, '0'); },
       "launcher_state: Launcher startup identity is invalid"},
      {"attempt beside a candidate", [&](Json& s) { s["attempt"] = attempt; s["candidate"] = reference; },
       "launcher_state: Launcher candidate/startup state is contradictory"},
      {"bad failed candidate", [&](Json& s) { s["failed_candidate"] = {{"reference", {{"build_id", "x"}}}}; }, malformed},
  };
  for (const auto& [name, edit, expected] : cases) {
    SCOPED_TRACE(name);
    Json state{{"schema_version", 1}, {"format", "tovra-launcher-store-v1"}, {"generation", 3},
               {"active", nullptr},   {"rollback", nullptr},                  {"candidate", nullptr},
               {"attempt", nullptr},  {"failed_candidate", nullptr}};
    edit(state);
    testing::write_file(state_file(), state.dump());
    const std::string got = outcome([&] { store.read_state(); });
    EXPECT_EQ(got.substr(0, expected.size()), expected);
    EXPECT_EQ(testing::read_file(state_file()), state.dump()) << "reading never changes the file";
  }

  testing::write_file(state_file(), std::string(32769, ' '));
  EXPECT_PROBLEM(store.read_state(), "size_limit", "File exceeds read limit");

  Json state = parse_json(R"({"active":null,"attempt":null,"candidate":null,"failed_candidate":null,)"
                          R"("format":"tovra-launcher-store-v1","generation":41,"rollback":null,"schema_version":1})",
                          1000);
  store.write_state(state);
  EXPECT_EQ(testing::read_file(state_file()),
            R"({"active":null,"attempt":null,"candidate":null,"failed_candidate":null,)"
            R"("format":"tovra-launcher-store-v1","generation":42,"rollback":null,"schema_version":1})");
  state["generation"] = UINT64_MAX;
  EXPECT_PROBLEM(store.write_state(state), "launcher_state", "Launcher state generation is exhausted");
  // Written with generation 2, the text is 165 bytes besides the padding's characters.
  state["generation"] = 1;
  state["pad"] = std::string(32768 - 165 + 1, 'x');
  EXPECT_PROBLEM(store.write_state(state), "size_limit", "Launcher state exceeds its durable bound");
  state["pad"] = std::string(32768 - 165, 'x');
  EXPECT_NO_THROW(store.write_state(state));
  EXPECT_EQ(fs::file_size(state_file()), 32768u);
}

}  // namespace
}  // namespace tovra
