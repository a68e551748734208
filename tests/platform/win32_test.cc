// The win32 backend's own services: private storage (drive forms, held ancestors, access lists,
// destination identities), durable files (commits that wait for a brief holder, the disk-full
// errors, a held file that cannot be moved aside), text conversion, locks, prepared files, volumes,
// the uninstall entry and the Shell Link writer.
#ifdef _WIN32

#include <windows.h>
#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/test_util.h"
#include "platform/command_line.h"
#include "platform/console.h"
#include "platform/delayed_removal.h"
#include "platform/directory_listing.h"
#include "platform/durable.h"
#include "platform/file_lock.h"
#include "platform/known_folders.h"
#include "platform/launcher_entry.h"
#include "platform/prepared_file.h"
#include "platform/process.h"
#include "platform/read_file.h"
#include "platform/storage.h"
#include "platform/uninstall_entry.h"
#include "platform/volume.h"
#include "platform/win32/shell_link.h"
#include "platform/win32/win32_support.h"
#include "shortcuts/pe_image.h"
#include "support/privacy.h"
#include "support/temp_dir.h"
#include "support/wine.h"

namespace tovra::windows_security {
namespace {

namespace fs = std::filesystem;
using testing::outcome;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

constexpr const char* kNoCaseSensitivityQuery =
    "GetFileInformationByHandleEx(FileCaseSensitiveInfo) fails with error 120, so no destination identity forms";

// Skips the calling test under Wine, naming the Wine limitation.
#define TOVRA_SKIP_UNDER_WINE(reason)                                                       \
  do {                                                                                      \
    if (::tovra::testing::under_wine()) GTEST_SKIP() << "Wine limitation: " << (reason); \
  } while (false)

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
  set_dacl(folder, 3, L"S-1-5-32-545");
  EXPECT_EQ(testing::privacy_of(folder),
            "permissions: Windows storage grants access to another identity (S-1-5-32-545)");
  set_dacl(folder, 3, L"S-1-5-18");
  EXPECT_EQ(testing::privacy_of(folder), "ok");
  set_dacl(folder, OBJECT_INHERIT_ACE, nullptr);
  EXPECT_EQ(testing::privacy_of(folder),
            "permissions: Private Windows storage must retain current-user access and private inheritance");
}

TEST(Win32DestinationIdentity, FoldsCaseAndKeepsTypedMissingPart) {
  TempDir temp;
  const auto folder = temp / "Shortcuts";
  std::filesystem::create_directories(folder);
  // Wine cannot answer the case-sensitivity query: the identity is refused rather than guessed.
  if (testing::under_wine()) {
    EXPECT_EQ(outcome([&] { destination_identity(folder, true); }),
              "unsafe_path: Windows setup requires known case-insensitive directory ancestry");
    GTEST_SKIP() << "Wine limitation: " << kNoCaseSensitivityQuery;
  }
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
  unique_fd held = win32::owned_handle(
      ::CreateFileW(record.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held.valid());
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    held.reset();
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
  unique_fd held = win32::owned_handle(::CreateFileW((folder / "sub" / "busy.dll").c_str(), GENERIC_READ,
                                                    FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held.valid());
  EXPECT_EQ(outcome([&] { remove_path_or_quarantine(folder, temp / "quarantine", moved); }),
            "file_remove: Cannot remove " + (folder / "sub" / "busy.dll").generic_string() +
                "; close the program that uses it and try again");
  EXPECT_TRUE(moved.empty());
  held.reset();
  EXPECT_EQ(read_file(folder / "sub" / "busy.dll"), "y");
}

TEST(Win32Text, ConvertsValidUtf16AndRefusesBrokenOrOversizedText) {
  EXPECT_EQ(native_text_to_utf8(L"caf\u00E9 \U0001F3AE"), "caf\xC3\xA9 \xF0\x9F\x8E\xAE");
  EXPECT_EQ(native_text_to_utf8(L""), "");
  const wchar_t lone[] = {L'a', 0xD800, L'b'};
  EXPECT_EQ(outcome([&] { native_text_to_utf8(NativeTextView(lone, 3)); }),
            "text_encoding: Native process text must contain valid Unicode");
  const std::wstring huge(kNativeTextUnits + 1, L'x');
  EXPECT_EQ(outcome([&] { native_text_to_utf8(huge); }), "text_limit: Native Unicode text exceeds its bound");
  // The test program's own command line splits into its arguments.
  EXPECT_NO_THROW(read_native_arguments(0, nullptr));
}

TEST(Win32Process, FindsItsFoldersItselfAndOneCancellationHandler) {
  const fs::path data = local_app_data_folder();
  EXPECT_TRUE(data.is_absolute());
  EXPECT_TRUE(fs::is_directory(data));
  EXPECT_EQ(start_menu_programs_folder().filename(), fs::path(L"Programs"));
  EXPECT_EQ(current_executable_path().filename(), fs::path(L"platform_tests.exe"));

  ConsoleCancellation first;
  EXPECT_EQ(outcome([] { ConsoleCancellation second; }),
            "signal: Console cancellation handler is already installed");
  EXPECT_FALSE(first.predicate()());

  // Each line must end in a line feed alone, so both streams leave text mode.
  use_binary_standard_streams();
  EXPECT_EQ(::_setmode(::_fileno(stdout), _O_BINARY), _O_BINARY);
  EXPECT_EQ(::_setmode(::_fileno(stderr), _O_BINARY), _O_BINARY);
}

TEST(Win32Locks, IdentitiesFollowTheFileAndOnlyEmptyLockFilesAreUsed) {
  TempDir temp;
  const auto data = temp / "data";
  windows_security::ensure_private_directory(data);
  NativeFileLock first = NativeFileLock::acquire(data / ".tovra-setup.lock", true, true, false);
  const LockFileIdentity identity = first.identity();
  first.release();
  EXPECT_EQ(NativeFileLock::acquire(data / ".tovra-setup.lock", false, true, true).identity(), identity);

  write_file(data / "full.lock", "not empty");
  EXPECT_EQ(outcome([&] { NativeFileLock::acquire(data / "full.lock", false, false, false); }).substr(0, 12),
            "lock_failed:");
  EXPECT_EQ(outcome([&] { NativeFileLock::acquire(data / "missing" / "x.lock", true, false, false); }),
            "lock_failed: Native ownership requires ordinary existing parents");
}

TEST(Win32PreparedFile, ReservesWritesTruncatesAndCleansUp) {
  TempDir temp;
  const auto folder = temp / "staging";
  windows_security::ensure_private_directory(folder);
  {
    auto file = create_prepared_file(folder / "game.bin", 10);
    // Space is reserved up front, so the file already has its authenticated length; Wine cannot
    // reserve (FileAllocationInfo is not supported there) and the writer goes on without it.
    EXPECT_EQ(file->allocated(), !testing::under_wine());
    EXPECT_EQ(fs::file_size(folder / "game.bin"), file->allocated() ? 10u : 0u);
    file->write("12345");
    EXPECT_EQ(outcome([&] { file->write("123456"); }), "size_limit: Write exceeds the authenticated file length");
    EXPECT_EQ(outcome([&] { file->complete(true); }),
              "length_mismatch: File data is shorter than its authenticated length");
    file->set_executable(true);
    file->complete(false);
  }
  EXPECT_EQ(read_file(folder / "game.bin"), "12345");
  const std::string exists = outcome([&] { create_prepared_file(folder / "game.bin", 1); });
  EXPECT_EQ(exists, "unsafe_path: Cannot exclusively create or reopen a prepared allocation (80)");

  { auto abandoned = create_prepared_file(folder / "partial.bin", 4); abandoned->write("ab"); }
  EXPECT_FALSE(fs::exists(folder / "partial.bin"));
  {
    auto empty = create_prepared_file(folder / "empty.bin", 0);
    empty->complete(true);
  }
  EXPECT_EQ(read_file(folder / "empty.bin"), "");

  {
    auto linked = create_prepared_file(folder / "linked.bin", 4);
    ASSERT_TRUE(::CreateHardLinkW((folder / "other.bin").c_str(), (folder / "linked.bin").c_str(), nullptr));
    EXPECT_EQ(outcome([&] { linked->write("ab"); linked->complete(false); }),
              "unsafe_path: Allocation requires an ordinary single-link file");
  }
  EXPECT_EQ(prepared_directory_identity(folder / "."), prepared_directory_identity(folder));
  EXPECT_EQ(outcome([&] { prepared_directory_identity(folder / "missing"); }),
            "unsafe_path: Cannot inspect prepared directory identity");
}

TEST(Win32Volume, ReportsTheVolumeGuidAndGeometry) {
  TempDir temp;
  const StorageVolume volume = query_storage_volume(temp.path());
  EXPECT_EQ(volume.identity.rfind("\\\\?\\volume{", 0), 0u) << volume.identity;
  EXPECT_GT(volume.allocation_unit, 0u);
  EXPECT_GE(volume.capacity_bytes, volume.available_bytes);
  EXPECT_FALSE(volume.inode_capacity.has_value());
  EXPECT_EQ(outcome([&] { query_storage_volume(temp / "missing"); }),
            "unsafe_path: Storage needs an ordinary absolute directory");
  EXPECT_EQ(temporary_folder_on_volume_of(temp / "data").value_or(fs::path()).root_name(), temp.path().root_name());
}

TEST(Win32Listing, NamesEntriesInUtf8WithTheirKinds) {
  TempDir temp;
  fs::create_directories(temp / "list" / "folder");
  write_file(temp / "list" / fs::path(L"caf\u00E9.txt"), "x");
  std::map<std::string, bool> regular;
  list_directory(temp / "list", [&](const DirectoryEntry& entry) {
    regular[entry.name] = entry.regular;
    EXPECT_FALSE(entry.link);
    return true;
  });
  EXPECT_EQ(regular, (std::map<std::string, bool>{{"caf\xC3\xA9.txt", true}, {"folder", false}}));
}

TEST(Win32DelayedRemoval, TheCommandInterpreterRemovesTheFolderLater) {
  TempDir temp;
  const auto folder = temp / "quarantine";
  fs::create_directories(folder / "deep");
  write_file(folder / "deep" / "busy.dll", "x");
  schedule_folder_removal(folder);
  EXPECT_TRUE(fs::exists(folder));  // the removal waits for this process to finish first
  for (int i = 0; i < 300 && fs::exists(folder); ++i) ::Sleep(100);
  EXPECT_FALSE(fs::exists(folder));
}

std::wstring registry_text(HKEY key, const wchar_t* name) {
  wchar_t buffer[1024] = {};
  DWORD size = sizeof buffer;
  if (::RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS) return L"<absent>";
  return buffer;
}

TEST(Win32UninstallEntry, WritesTheValuesAndRemovesTheKey) {
  UninstallEntry entry;
  entry.name = uninstall_entry_name(std::string("tovra-test-brand"));
  entry.display_name = "Northwind Caf\xC3\xA9";
  entry.publisher = "Northwind";
  entry.install_location = L"C:\\Users\\me\\AppData\\Local\\My Games";
  entry.executable = L"C:/Users/me/AppData/Local/My Games/native/bootstrap/bin/gui.exe";
  entry.icon = entry.executable;
  write_uninstall_entry(entry);
  const std::wstring path = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tovra.tovra-test-brand";
  HKEY key = nullptr;
  ASSERT_EQ(::RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(registry_text(key, L"DisplayName"), L"Northwind Caf\u00E9");
  EXPECT_EQ(registry_text(key, L"DisplayVersion"), L"<absent>");
  EXPECT_EQ(registry_text(key, L"DisplayIcon"), L"C:\\Users\\me\\AppData\\Local\\My Games\\native\\bootstrap\\bin\\gui.exe");
  EXPECT_EQ(registry_text(key, L"UninstallString"),
            L"\"C:\\Users\\me\\AppData\\Local\\My Games\\native\\bootstrap\\bin\\gui.exe\" --data-dir "
            L"\"C:\\Users\\me\\AppData\\Local\\My Games\" --gui -- --uninstall");
  DWORD flag = 0;
  DWORD size = sizeof flag;
  EXPECT_EQ(::RegGetValueW(key, nullptr, L"NoRepair", RRF_RT_REG_DWORD, nullptr, &flag, &size), ERROR_SUCCESS);
  EXPECT_EQ(flag, 1u);
  ::RegCloseKey(key);
  remove_uninstall_entry(entry.name);
  EXPECT_NE(::RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
  remove_uninstall_entry(entry.name);  // a missing key is fine

  entry.display_name = std::string("bad\0name", 8);
  EXPECT_EQ(outcome([&] { write_uninstall_entry(entry); }), "unsafe_path: Native path contains a NUL byte");
  entry.name = "Tovra.Not_An_Id";
  EXPECT_EQ(outcome([&] { write_uninstall_entry(entry); }).substr(0, 17), "invalid_identity:");
}

TEST(Win32ShellLink, QuotesArgumentsForTheWindowsCommandLine) {
  const std::pair<std::wstring, std::wstring> cases[] = {
      {L"C:\\My Games", L"\"C:\\My Games\""},
      {L"C:\\dir\\", L"\"C:\\dir\\\\\""},
      {L"say \"hi\"", L"\"say \\\"hi\\\"\""},
      {L"a\\\\\"b", L"\"a\\\\\\\\\\\"b\""},
      {L"", L"\"\""},
  };
  for (const auto& [text, quoted] : cases) EXPECT_EQ(win32::quote_argument(text), quoted) << win32::narrow(text);
  EXPECT_EQ(win32::shell_link_flags(0xFFFFFFFFu), 0x7401F7u);
  EXPECT_EQ(win32::shell_link_flags(0x80u | 0x20000u | 0x4u), 0x740184u);
}

TEST(Win32ShellLink, ImageStreamIsBoundedAt32KiB) {
  IStream* stream = new win32::ShortcutImageStream();
  ULONG count = 0;
  EXPECT_EQ(stream->Write("abcdef", 6, &count), S_OK);
  LARGE_INTEGER offset{};
  offset.QuadPart = 2;
  EXPECT_EQ(stream->Seek(offset, STREAM_SEEK_SET, nullptr), S_OK);
  char buffer[8] = {};
  EXPECT_EQ(stream->Read(buffer, 8, &count), S_FALSE);
  EXPECT_EQ(std::string(buffer, count), "cdef");
  offset.QuadPart = -7;
  EXPECT_EQ(stream->Seek(offset, STREAM_SEEK_END, nullptr), STG_E_INVALIDFUNCTION);
  offset.QuadPart = 32767;
  EXPECT_EQ(stream->Seek(offset, STREAM_SEEK_SET, nullptr), S_OK);
  EXPECT_EQ(stream->Write("xy", 2, &count), STG_E_MEDIUMFULL);
  EXPECT_EQ(stream->Write("x", 1, &count), S_OK);
  STATSTG stat{};
  EXPECT_EQ(stream->Stat(&stat, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(stat.cbSize.QuadPart, 32768u);
  ULARGE_INTEGER size{};
  size.QuadPart = 32769;
  EXPECT_EQ(stream->SetSize(size), STG_E_MEDIUMFULL);
  EXPECT_EQ(stream->Release(), 0u);
}

TEST(Win32ShellLink, WritesAVerifiedLinkThatIsNeverReplaced) {
  TOVRA_SKIP_UNDER_WINE(std::string(kNoCaseSensitivityQuery) +
                        "; IShellLinkDataList::SetFlags is a stub and IPropertyStore::GetValue returns E_NOTIMPL");
  TempDir temp;
  const fs::path data = temp / "data";
  const fs::path bootstrap = data / "native" / "bootstrap" / "gui.exe";
  const fs::path menu = temp / "menu";
  fs::create_directories(bootstrap.parent_path());
  fs::create_directories(menu);
  write_file(bootstrap, testing::pe_image({}));
  const DesktopShortcut game{bootstrap, data, "space-game", "Northwind Arcade"};
  std::string image;
  create_launcher_entry(game, menu / "Game.LNK", &image);
  EXPECT_GE(image.size(), 76u);
  EXPECT_EQ(image.substr(0, 4), std::string("\x4C\0\0\0", 4));
  EXPECT_EQ(outcome([&] { create_launcher_entry(game, menu / "Game.LNK"); }),
            "already_exists: Windows shortcut destination already exists; it was preserved");
  EXPECT_EQ(read_file(menu / "Game.LNK"), image);
  remove_launcher_file(menu / "Game.LNK");
  remove_launcher_file(menu / "Game.LNK");  // a missing file is fine
  EXPECT_FALSE(fs::exists(menu / "Game.LNK"));
}

TEST(Win32ShellLink, SerializationIsVerifiedBeforeAnythingIsWritten) {
  // Prepared by hand, pointing at this test program: serialisation does not check the target itself.
  const auto self = own_executable_path(32768);
  ASSERT_TRUE(self.has_value());
  LauncherEntryFields fields;
  fields.target = self->string();
  fields.data_root = "C:\\Games";
  fields.arguments = {"--data-dir", fields.data_root, "--gui", "--game", "space-game"};
  fields.working_directory = self->parent_path().string();
  fields.description = "Northwind Arcade";
  fields.icon = fields.target;
  const std::string result = outcome([&] { serialize_launcher_entry(fields); });
  // Wine keeps the link flags it was given (SetFlags is a stub), so the read-back check refuses them.
  EXPECT_EQ(result, testing::under_wine()
                        ? "shortcut_api: Native shortcut serialization changed its flags"
                        : "ok");
}

}  // namespace
}  // namespace tovra::windows_security

#endif  // _WIN32
