// Private storage and durable files on Windows: drive forms, held ancestors, access lists,
// destination identities, commits that wait for a brief holder, the disk-full errors, and a held
// file that cannot be moved aside.
#ifdef _WIN32

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/durable.h"
#include "platform/storage.h"
#include "platform/win32/win32_support.h"
#include "win32_test_support.h"

namespace tovra::windows_security {
namespace {

namespace fs = std::filesystem;
using testing::outcome;
using testing::read_file;
using testing::TempDir;
using testing::write_file;
using win32_testing::HeldFile;

// Only Windows has a drive name without a root directory after it.
TEST(Win32StoragePaths, RefusesADriveWithoutItsRoot) {
  for (const wchar_t* path : {L"C:", L"C:dir"}) {
    EXPECT_EQ(outcome([&] { normalize_private_path(path, true); }),
              "unsafe_path: Windows storage path is empty, oversized or contains an unsafe root")
        << win32::narrow(path);
  }
}

TEST(Win32PrivateStorage, HeldAncestorsCannotBeRenamedAway) {
  TOVRA_SKIP_UNDER_WINE("share modes are not enforced when a directory held without delete sharing is renamed");
  TempDir temp;
  const auto root = temp / "data";
  ensure_private_directory(root / "a" / "b");
  const DirectoryChain chain = open_directory_chain(root / "a" / "b", true, false, current_user_identity(), true);
  EXPECT_FALSE(::MoveFileExW((root / "a").c_str(), (root / "moved").c_str(), 0));
  EXPECT_FALSE(::MoveFileExW((root / "a" / "b").c_str(), (root / "a" / "c").c_str(), 0));
}

// Replaces a folder's DACL with the user's entry (given flags) plus, optionally, one for `other`.
void set_dacl(const std::filesystem::path& folder, BYTE user_flags, const wchar_t* other) {
  const auto identity = current_user_identity();
  std::vector<DWORD> sid((identity.native.size() + 3) / 4);
  std::memcpy(sid.data(), identity.native.data(), identity.native.size());
  PSID other_sid = nullptr;
  if (other != nullptr) {
    ASSERT_TRUE(::ConvertStringSidToSidW(other, &other_sid));
  }
  std::vector<DWORD> acl(256);
  auto* list = reinterpret_cast<PACL>(acl.data());
  ASSERT_TRUE(::InitializeAcl(list, static_cast<DWORD>(acl.size() * 4), ACL_REVISION));
  ASSERT_TRUE(::AddAccessAllowedAceEx(list, ACL_REVISION, user_flags, FILE_ALL_ACCESS, sid.data()));
  if (other_sid != nullptr) {
    ASSERT_TRUE(::AddAccessAllowedAceEx(list, ACL_REVISION, 3, FILE_GENERIC_READ, other_sid));
  }
  const DWORD result = ::SetNamedSecurityInfoW(const_cast<wchar_t*>(folder.c_str()), SE_FILE_OBJECT,
                                               DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                               nullptr, nullptr, list, nullptr);
  if (other_sid != nullptr) ::LocalFree(other_sid);
  ASSERT_EQ(result, static_cast<DWORD>(ERROR_SUCCESS));
}

TEST(Win32PrivateStorage, AccessRulesNameForeignIdentitiesAndRequireInheritance) {
  TOVRA_SKIP_UNDER_WINE("file ACLs are synthesised from Unix mode bits, so a written DACL does not read back");
  TempDir temp;
  const auto folder = temp / "data";
  ensure_private_directory(folder);
  const auto verify = [&] {
    const DirectoryChain chain = open_directory_chain(folder, true, false, current_user_identity(), true);
  };
  set_dacl(folder, 3, L"S-1-5-32-545");
  EXPECT_EQ(outcome(verify), "permissions: Windows storage grants access to another identity (S-1-5-32-545)");
  set_dacl(folder, 3, L"S-1-5-18");
  EXPECT_EQ(outcome(verify), "ok");
  set_dacl(folder, OBJECT_INHERIT_ACE, nullptr);
  EXPECT_EQ(outcome(verify),
            "permissions: Private Windows storage must retain current-user access and private inheritance");
}

TEST(Win32DestinationIdentity, FormsOnlyWhereCaseSensitivityIsKnown) {
  // Wine cannot answer the case-sensitivity query: the identity is refused rather than guessed.
  TempDir temp;
  const std::string result = outcome([&] { destination_identity(temp.path(), true); });
  EXPECT_EQ(result, testing::under_wine()
                        ? "unsafe_path: Windows setup requires known case-insensitive directory ancestry"
                        : "ok");
}

TEST(Win32DestinationIdentity, FoldsCaseAndKeepsTypedMissingPart) {
  TOVRA_SKIP_UNDER_WINE(win32_testing::kNoCaseSensitivityQuery);
  TempDir temp;
  const auto folder = temp / "Shortcuts";
  std::filesystem::create_directories(folder);
  const std::string lower = destination_identity(temp / "shortcuts", true);
  const std::string upper = destination_identity(temp / "SHORTCUTS", true);
  EXPECT_EQ(lower, upper);
  EXPECT_EQ(lower.rfind("\\\\?\\VOLUME{", 0), 0u) << lower;
  const std::string missing = destination_identity(temp / "Shortcuts" / "New Folder" / "Link.lnk", false);
  EXPECT_EQ(missing, lower + "\\NEW FOLDER\\LINK.LNK");
  testing::write_file(folder / "file.txt", "x");
  EXPECT_EQ(outcome([&] { destination_identity(folder / "file.txt", true); }),
            "unsafe_path: Windows path ancestry requires ordinary directories");
  EXPECT_EQ(destination_identity(folder / "file.txt", false), lower + "\\FILE.TXT");
}

TEST(Win32Export, RetriesWhileTheDestinationIsBrieflyHeld) {
  TempDir temp;
  const auto record = temp / "data" / "record.json";
  write_private_file(record, "old");
  HeldFile held(record, FILE_SHARE_READ);
  ASSERT_TRUE(held.open());
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    held.close();
  });
  const std::string result = outcome([&] { write_private_file(record, "new"); });
  release.join();
  EXPECT_EQ(result, "ok");
  EXPECT_EQ(read_file(record), "new");
}

TEST(Win32Export, MapsDiskFullErrorsToTheSpaceProblem) {
  for (const int error : {112, 39, 1295}) {
    EXPECT_EQ(outcome([&] { raise_file_write_error(error, "Cannot write"); }),
              "insufficient_space: Local storage cannot save data; free space and try again");
  }
  EXPECT_EQ(outcome([] { raise_file_write_error(5, "Cannot write"); }), "file_write: Cannot write (5)");
  EXPECT_EQ(native_long_path(L"C:/a/./b").native(), L"\\\\?\\C:\\a\\b");
}

TEST(Win32Quarantine, AFileHeldWithoutDeleteSharingIsReportedAndKept) {
  TempDir temp;
  const auto folder = temp / "install";
  fs::create_directories(folder / "sub");
  write_file(folder / "sub" / "busy.dll", "y");
  std::vector<fs::path> moved;
  // Neither deleting nor renaming it can succeed.
  HeldFile held(folder / "sub" / "busy.dll", FILE_SHARE_READ);
  ASSERT_TRUE(held.open());
  EXPECT_EQ(outcome([&] { remove_path_or_quarantine(folder, temp / "quarantine", moved); }),
            "file_remove: Cannot remove " + (folder / "sub" / "busy.dll").generic_string() +
                "; close the program that uses it and try again");
  EXPECT_TRUE(moved.empty());
  held.close();
  EXPECT_EQ(read_file(folder / "sub" / "busy.dll"), "y");
}

}  // namespace
}  // namespace tovra::windows_security

#endif  // _WIN32
