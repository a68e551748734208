// Private storage on Windows: path rules, private folders and their access checks, identities.
#ifdef _WIN32

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/storage.h"
#include "platform/win32/win32_support.h"
#include "win32_test_support.h"

namespace tovra::windows_security {
namespace {

using win32_testing::outcome;
using win32_testing::TempFolder;

const std::string unsafe_component = "unsafe_path: Windows storage path contains an unsafe component";
const std::string reserved_name = "unsafe_path: Windows storage path contains a reserved device name";

TEST(Win32StoragePaths, RefusesUnsafeFormsBeforeTouchingDisk) {
  struct Case {
    std::wstring path;
    bool root_allowed;
    std::string expected;
  };
  const Case cases[] = {
      {L"C:", true, "unsafe_path: Windows storage path is empty, oversized or contains an unsafe root"},
      {L"C:dir", true, "unsafe_path: Windows storage path is empty, oversized or contains an unsafe root"},
      {L"\\\\server\\share\\x", true, "unsafe_path: Windows private storage cannot be a network or device path"},
      {L"\\\\?\\C:\\x", true, "unsafe_path: Windows private storage cannot be a network or device path"},
      {L"\\\\.\\x", true, "unsafe_path: Windows private storage cannot be a network or device path"},
      {L"//server/share", true, "unsafe_path: Windows private storage cannot be a network or device path"},
      {L"C:\\", false, "unsafe_path: A drive root cannot be a private Tovra directory"},
      {L"C:\\a\\..\\..", false, unsafe_component},
      {L"C:\\data\\com1.tar.gz", false, reserved_name},
      {L"C:\\data\\name.", false, unsafe_component},
      {L"C:\\data\\" + std::wstring(256, L'x'), false, unsafe_component},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(outcome([&] { normalize_private_path(c.path, c.root_allowed); }), c.expected)
        << win32::narrow(c.path);
  }
}

TEST(Win32StoragePaths, AcceptsLookalikesAndNormalizes) {
  EXPECT_EQ(normalize_private_path(L"C:/data/./folder/", false), std::filesystem::path(L"C:\\data\\folder"));
  EXPECT_EQ(normalize_private_path(L"c:\\", true), std::filesystem::path(L"c:\\"));
}

TEST(Win32PrivateStorage, CreatesVerifiesAndPinsPrivateFolders) {
  TempFolder temp;
  const auto root = temp / "data";
  ensure_private_directory(root / "a" / "b");
  const DirectoryChain chain = open_directory_chain(root / "a" / "b", true, false, current_user_identity(), true);
  EXPECT_EQ(chain.size(), check_path_components(chain.path()) + 1);

  // A file where a directory is expected, and a missing folder without creation.
  win32_testing::put_file(root / "file", "x");
  EXPECT_EQ(outcome([&] { open_directory_chain(root / "file", true, false, current_user_identity(), false); }),
            "unsafe_path: Private Windows storage must be an ordinary directory or single-link file");
  EXPECT_EQ(outcome([&] { open_directory_chain(root / "missing", true, false, current_user_identity(), false); }),
            "unsafe_path: Cannot open the Windows storage directory");
}

TEST(Win32PrivateStorage, HeldAncestorsCannotBeRenamedAway) {
  TOVRA_SKIP_UNDER_WINE("share modes are not enforced when a directory held without delete sharing is renamed");
  TempFolder temp;
  const auto root = temp / "data";
  ensure_private_directory(root / "a" / "b");
  const DirectoryChain chain = open_directory_chain(root / "a" / "b", true, false, current_user_identity(), true);
  EXPECT_FALSE(::MoveFileExW((root / "a").c_str(), (root / "moved").c_str(), 0));
  EXPECT_FALSE(::MoveFileExW((root / "a" / "b").c_str(), (root / "a" / "c").c_str(), 0));
}

TEST(Win32PrivateStorage, PrivateFilesAreNeverTruncatedAndMustBeSingleLink) {
  TempFolder temp;
  const auto folder = temp / "data";
  ensure_private_directory(folder);
  for (const Disposition refused : {Disposition::create_always, Disposition::truncate_existing}) {
    EXPECT_EQ(outcome([&] { open_private_file(folder / "f", FileAccess::write, share_none, refused, 0, true); }),
              "unsafe_path: Private file opening must not truncate existing content");
  }
  OpenedFile created =
      open_private_file(folder / "f", FileAccess::write, share_none, Disposition::create_new, 0, true);
  ASSERT_TRUE(created);
  created.file.reset();
  const OpenedFile again =
      open_private_file(folder / "f", FileAccess::write, share_none, Disposition::create_new, 0, true);
  EXPECT_FALSE(again);
  EXPECT_EQ(again.error, ERROR_FILE_EXISTS);

  ASSERT_TRUE(::CreateHardLinkW((folder / "second").c_str(), (folder / "f").c_str(), nullptr));
  EXPECT_EQ(outcome([&] {
              open_private_file(folder / "f", FileAccess::read, share_read, Disposition::open_existing, 0, true);
            }),
            "unsafe_path: Private Windows storage must be an ordinary directory or single-link file");
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
  TempFolder temp;
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
  TempFolder temp;
  const std::string result = outcome([&] { destination_identity(temp.path(), true); });
  EXPECT_EQ(result, win32_testing::under_wine()
                        ? "unsafe_path: Windows setup requires known case-insensitive directory ancestry"
                        : "ok");
}

TEST(Win32DestinationIdentity, FoldsCaseAndKeepsTypedMissingPart) {
  TOVRA_SKIP_UNDER_WINE(win32_testing::kNoCaseSensitivityQuery);
  TempFolder temp;
  const auto folder = temp / "Shortcuts";
  std::filesystem::create_directories(folder);
  const std::string lower = destination_identity(temp / "shortcuts", true);
  const std::string upper = destination_identity(temp / "SHORTCUTS", true);
  EXPECT_EQ(lower, upper);
  EXPECT_EQ(lower.rfind("\\\\?\\VOLUME{", 0), 0u) << lower;
  const std::string missing = destination_identity(temp / "Shortcuts" / "New Folder" / "Link.lnk", false);
  EXPECT_EQ(missing, lower + "\\NEW FOLDER\\LINK.LNK");
  win32_testing::put_file(folder / "file.txt", "x");
  EXPECT_EQ(outcome([&] { destination_identity(folder / "file.txt", true); }),
            "unsafe_path: Windows path ancestry requires ordinary directories");
  EXPECT_EQ(destination_identity(folder / "file.txt", false), lower + "\\FILE.TXT");
}

TEST(Win32DestinationIdentity, GenericFormKeepsTheRootNameAndUsesSlashesAfterIt) {
  EXPECT_EQ(generic_identity("\\\\?\\VOLUME{1A2B}\\USERS\\CAF\xc3\x89\\TOVRA"), "\\\\?/VOLUME{1A2B}/USERS/CAF\xc3\x89/TOVRA");
  EXPECT_EQ(generic_identity("\\\\?\\VOLUME{1A2B}"), "\\\\?/VOLUME{1A2B}");
}

}  // namespace
}  // namespace tovra::windows_security

#endif  // _WIN32
