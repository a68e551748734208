#include "platform/storage.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "core/error.h"
#include "platform/win32/security.h"
#include "platform/win32/win32_support.h"

namespace tovra::windows_security {
namespace {

namespace fs = std::filesystem;
using win32::handle_of;

constexpr std::size_t max_path_units = 4096;
constexpr std::size_t max_component_units = 255;
constexpr std::size_t max_components = 128;
constexpr int max_created_directories = 32;
constexpr DWORD max_descriptor_bytes = 131072;
constexpr DWORD max_acl_entries = 128;
constexpr DWORD max_identity_units = 4160;
constexpr DWORD full_access = 0x1F01FF;

constexpr const char* not_ordinary = "Private Windows storage must be an ordinary directory or single-link file";

bool separator(wchar_t c) { return c == L'/' || c == L'\\'; }

std::vector<std::wstring> components_of(const fs::path& normalized) {
  std::vector<std::wstring> parts;
  for (const auto& part : normalized.relative_path()) {
    if (!part.empty() && part.native() != L".") parts.push_back(part.native());
  }
  return parts;
}

struct LocalFreer {
  void operator()(void* memory) const noexcept { ::LocalFree(memory); }
};

DWORD access_of(FileAccess access) {
  switch (access) {
    case FileAccess::read: return GENERIC_READ;
    case FileAccess::write: return GENERIC_WRITE;
    case FileAccess::read_write: return GENERIC_READ | GENERIC_WRITE;
  }
  return GENERIC_READ;
}

DWORD share_of(unsigned share) {
  DWORD mode = 0;
  if ((share & share_read) != 0) mode |= FILE_SHARE_READ;
  if ((share & share_write) != 0) mode |= FILE_SHARE_WRITE;
  if ((share & share_delete) != 0) mode |= FILE_SHARE_DELETE;
  return mode;
}

DWORD disposition_of(Disposition disposition) {
  switch (disposition) {
    case Disposition::create_new: return CREATE_NEW;
    case Disposition::open_existing: return OPEN_EXISTING;
    case Disposition::open_always: return OPEN_ALWAYS;
    case Disposition::create_always: return CREATE_ALWAYS;
    case Disposition::truncate_existing: return TRUNCATE_EXISTING;
  }
  return OPEN_EXISTING;
}

unique_fd open_chain_entry(const std::wstring& native) {
  return win32::owned_handle(::CreateFileW(native.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

OpenedFile open_private_native(const fs::path& normalized, FileAccess access, unsigned share, Disposition disposition,
                               const UserIdentity& identity) {
  const win32::PrivateDescriptor descriptor(identity);
  const std::wstring native = win32::long_form(normalized);
  OpenedFile result;
  result.file = win32::owned_handle(::CreateFileW(
      native.c_str(), access_of(access) | READ_CONTROL, share_of(share), descriptor.attributes(),
      disposition_of(disposition), FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!result.file) {
    result.error = static_cast<int>(::GetLastError());
    return result;
  }
  verify_private_object(result.file, false, identity);
  return result;
}

// Volume GUID path of an open directory or file.
std::wstring volume_path_of(HANDLE handle) {
  std::wstring buffer(max_identity_units + 1, L'\0');
  const DWORD length = ::GetFinalPathNameByHandleW(handle, buffer.data(), max_identity_units + 1, VOLUME_NAME_GUID);
  require(length != 0 && length <= max_identity_units, "unsafe_path",
          "Cannot resolve a bounded local Windows directory identity");
  buffer.resize(length);
  require(buffer.rfind(L"\\\\?\\Volume{", 0) == 0, "unsafe_path",
          "Cannot resolve a bounded local Windows directory identity");
  return buffer;
}

void require_case_insensitive(HANDLE handle) {
  win32::CaseSensitiveInfo info{};
  require(::GetFileInformationByHandleEx(handle, win32::kFileCaseSensitiveInfo, &info, sizeof info) != 0 &&
              info.Flags == 0,
          "unsafe_path", "Windows setup requires known case-insensitive directory ancestry");
}

std::wstring case_folded(const std::wstring& identity) {
  require(!identity.empty() && identity.size() <= max_identity_units, "size_limit",
          "Windows destination identity exceeds its bound");
  const int units = static_cast<int>(identity.size());
  const int size = ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, identity.data(), units, nullptr, 0, nullptr,
                                   nullptr, 0);
  require(size >= 1 && size <= static_cast<int>(max_identity_units), "unsafe_path",
          "Cannot prepare Windows filesystem casing");
  std::wstring upper(static_cast<std::size_t>(size), L'\0');
  const int mapped = ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, identity.data(), units, upper.data(), size,
                                     nullptr, nullptr, 0);
  require(mapped == units && ::CompareStringOrdinal(identity.data(), units, upper.data(), mapped, TRUE) == CSTR_EQUAL,
          "unsafe_path", "Windows destination casing is not ordinally equivalent");
  return upper;
}

unique_fd open_identity_entry(const std::wstring& native) {
  return win32::owned_handle(::CreateFileW(native.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                           nullptr, OPEN_EXISTING,
                                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

}  // namespace

UserIdentity current_user_identity() {
  HANDLE raw = nullptr;
  require(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw) != 0, "permissions",
          "Cannot identify the current Windows user");
  const unique_fd token = win32::owned_handle(raw);
  DWORD size = 0;
  const BOOL sized = ::GetTokenInformation(raw, TokenUser, nullptr, 0, &size);
  require(sized == 0 && ::GetLastError() == ERROR_INSUFFICIENT_BUFFER && size >= 16 && size <= 16384, "permissions",
          "Windows user identity exceeds its bound");
  std::vector<DWORD> buffer((size + sizeof(DWORD) - 1) / sizeof(DWORD));
  DWORD filled = 0;
  const BOOL read = ::GetTokenInformation(raw, TokenUser, buffer.data(), size, &filled);
  const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
  require(read != 0 && size >= filled && ::IsValidSid(user->User.Sid) != 0, "permissions",
          "Cannot read the current Windows user identity");
  const DWORD length = ::GetLengthSid(user->User.Sid);
  UserIdentity identity;
  identity.native.assign(static_cast<const char*>(user->User.Sid), length);
  return identity;
}

std::size_t check_path_components(const fs::path& path) {
  constexpr const char* unsafe = "Windows storage path contains an unsafe component";
  std::size_t count = 0;
  for (const auto& part : path.relative_path()) {
    const std::wstring& name = part.native();
    if (name.empty() || name == L".") continue;
    ++count;
    require(name != L".." && name.size() <= max_component_units && count <= max_components && name.back() != L'.' &&
                name.back() != L' ' && name.find_first_of(L"<>:\"/\\|?*") == std::wstring::npos,
            "unsafe_path", unsafe);
    for (wchar_t c : name) require(c >= 0x20, "unsafe_path", "Windows storage path contains a control character");
    std::wstring stem = name.substr(0, name.find(L'.'));
    for (wchar_t& c : stem)
      if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    bool reserved = stem == L"CON" || stem == L"PRN" || stem == L"AUX" || stem == L"NUL";
    if (stem.size() == 4 && (stem.compare(0, 3, L"COM") == 0 || stem.compare(0, 3, L"LPT") == 0)) {
      const wchar_t last = stem[3];
      reserved = reserved || (last >= L'1' && last <= L'9') || last == 0x00B9 || last == 0x00B2 || last == 0x00B3;
    }
    require(!reserved, "unsafe_path", "Windows storage path contains a reserved device name");
  }
  return count;
}

fs::path normalize_private_path(const fs::path& path, bool root_allowed) {
  const std::wstring& text = path.native();
  require(!text.empty() && text.size() <= max_path_units && text.find(L'\0') == std::wstring::npos &&
              (!path.has_root_name() || path.has_root_directory()),
          "unsafe_path", "Windows storage path is empty, oversized or contains an unsafe root");
  require(!(text.size() >= 2 && separator(text[0]) && separator(text[1])), "unsafe_path",
          "Windows private storage cannot be a network or device path");
  check_path_components(path);
  std::error_code error;
  const fs::path absolute = path.is_absolute() ? path : fs::absolute(path, error);
  require(!error && win32::is_drive_root_name(absolute.root_name().native()) && absolute.has_root_directory(),
          "unsafe_path", "Windows private storage needs a local drive-qualified path");
  const std::size_t count = check_path_components(absolute);
  fs::path normalized = absolute.lexically_normal();
  if (!normalized.has_filename() && normalized.has_relative_path()) normalized = normalized.parent_path();
  require(!(count == 0 && !root_allowed) && normalized.native().size() <= max_path_units, "unsafe_path",
          "A drive root cannot be a private Tovra directory");
  return normalized;
}

void require_private_volume(const fs::path& normalized) {
  const std::wstring root = normalized.root_name().native() + L"\\";
  const UINT type = ::GetDriveTypeW(root.c_str());
  require(type == DRIVE_REMOVABLE || type == DRIVE_FIXED, "unsafe_path",
          "Windows private storage requires a local filesystem");
  DWORD flags = 0;
  const BOOL read = ::GetVolumeInformationW(root.c_str(), nullptr, 0, nullptr, nullptr, &flags, nullptr, 0);
  require(read != 0 && (flags & FILE_PERSISTENT_ACLS) != 0, "permissions",
          "Windows private storage requires a filesystem with persistent ACLs");
}

void require_local_storage(const fs::path& path) {
  const win32::ErrorModeScope scope;
  require_private_volume(normalize_private_path(path, false));
}

void require_ordinary_object(const unique_fd& handle, bool expect_directory) {
  win32::HandleFacts facts;
  require(handle.valid() && ::GetFileType(handle_of(handle)) == FILE_TYPE_DISK &&
              win32::handle_facts(handle_of(handle), facts),
          "unsafe_path", not_ordinary);
  const bool directory = (facts.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  require((facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && directory == expect_directory &&
              (directory || facts.links == 1),
          "unsafe_path", not_ordinary);
}

void verify_private_object(const unique_fd& handle, bool is_directory, const UserIdentity& identity) {
  require_ordinary_object(handle, is_directory);
  const win32::SidBuffer user(identity);
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR raw = nullptr;
  const DWORD status = ::GetSecurityInfo(handle_of(handle), SE_FILE_OBJECT,
                                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                                         &dacl, nullptr, &raw);
  const std::unique_ptr<void, LocalFreer> descriptor(raw);
  require(status == ERROR_SUCCESS && raw != nullptr && ::IsValidSecurityDescriptor(raw) != 0 &&
              ::GetSecurityDescriptorLength(raw) <= max_descriptor_bytes && owner != nullptr &&
              ::IsValidSid(owner) != 0 && ::EqualSid(owner, user.sid()) != 0,
          "permissions", "Private Windows storage must belong to the current user");
  require(dacl != nullptr && ::IsValidAcl(dacl) != 0 && dacl->AceCount >= 1 && dacl->AceCount <= max_acl_entries,
          "permissions", "Windows directory permissions are not private");

  GENERIC_MAPPING mapping{0x120089, 0x120116, 0x1200A0, full_access};
  DWORD total = 0;
  DWORD files_inherit = 0;
  DWORD folders_inherit = 0;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    require(::GetAce(dacl, i, &entry) != 0 && entry != nullptr, "permissions",
            "Cannot inspect Windows directory permissions");
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    constexpr BYTE allowed_flags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | INHERITED_ACE;
    require(header->AceType == ACCESS_ALLOWED_ACE_TYPE && header->AceSize >= 20 &&
                (header->AceFlags & ~allowed_flags) == 0,
            "permissions", "Windows directory permissions contain unsupported access rules");
    auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    PSID sid = &ace->SidStart;
    const BYTE sub_authorities = static_cast<const SID*>(sid)->SubAuthorityCount;
    require(sub_authorities <= 15 && header->AceSize - 8u >= ::GetSidLengthRequired(sub_authorities) &&
                ::IsValidSid(sid) != 0,
            "permissions", "Windows directory permissions contain a malformed identity");
    const bool own = ::EqualSid(sid, user.sid()) != 0;
    if (!own && ::IsWellKnownSid(sid, WinLocalSystemSid) == 0) {
      char* text = nullptr;
      std::string name = "an unknown identity";
      if (::ConvertSidToStringSidA(sid, &text) != 0 && text != nullptr) {
        name = text;
        ::LocalFree(text);
      }
      throw Error("permissions", "Windows storage grants access to another identity (" + name + ")");
    }
    if (!own) continue;
    DWORD mask = ace->Mask;
    ::MapGenericMask(&mask, &mapping);
    total |= mask;
    if ((header->AceFlags & OBJECT_INHERIT_ACE) != 0) files_inherit |= mask;
    if ((header->AceFlags & CONTAINER_INHERIT_ACE) != 0) folders_inherit |= mask;
  }
  const bool retained = (total & full_access) == full_access &&
                        (!is_directory || ((files_inherit & full_access) == full_access &&
                                           (folders_inherit & full_access) == full_access));
  require(retained, "permissions", "Private Windows storage must retain current-user access and private inheritance");
}

void verify_private_handle(const unique_fd& handle, bool is_directory) {
  verify_private_object(handle, is_directory, current_user_identity());
}

namespace {

// One step of a chain walk: opens `path`, creating a missing directory privately when allowed
// (counted in `created`).
unique_fd open_chain_step(const fs::path& path, bool directory, bool create, int& created,
                          const win32::PrivateDescriptor& descriptor, const UserIdentity& identity) {
  const std::wstring native = win32::long_form(path);
  unique_fd handle = open_chain_entry(native);
  if (handle) {
    require_ordinary_object(handle, directory);
    return handle;
  }
  const DWORD error = ::GetLastError();
  require((error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) && create, "unsafe_path",
          "Cannot open the Windows storage directory");
  ++created;
  require(created <= max_created_directories, "size_limit", "Windows storage creation exceeds its parent limit");
  if (::CreateDirectoryW(native.c_str(), descriptor.attributes()) == 0) {
    // Another process was faster; its directory is verified like any other.
    require(::GetLastError() == ERROR_ALREADY_EXISTS, "permissions", "Cannot create a private Windows directory");
  }
  handle = open_chain_entry(native);
  require(handle.valid(), "unsafe_path", "Cannot inspect the new Windows directory");
  verify_private_object(handle, true, identity);
  return handle;
}

}  // namespace

DirectoryChain open_directory_chain(const fs::path& path, bool target_is_directory, bool create_missing,
                                    const UserIdentity& identity, bool verify_target) {
  const fs::path normalized = normalize_private_path(path, !verify_target);
  const win32::ErrorModeScope scope;
  require_private_volume(normalized);
  const win32::PrivateDescriptor descriptor(identity);
  DirectoryChain chain;
  chain.set_path(normalized);
  fs::path current = normalized.root_path();
  unique_fd root = open_chain_entry(win32::long_form(current));
  require(root.valid(), "unsafe_path", "Cannot inspect the Windows drive root");
  require_ordinary_object(root, true);
  chain.push(std::move(root));
  const std::vector<std::wstring> names = components_of(normalized);
  if (names.empty() && !target_is_directory) throw Error("unsafe_path", not_ordinary);
  int created = 0;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const bool last = i + 1 == names.size();
    const bool directory = !last || target_is_directory;
    current /= names[i];
    unique_fd handle = open_chain_step(current, directory, target_is_directory && create_missing, created, descriptor,
                                       identity);
    if (verify_target && last) verify_private_object(handle, directory, identity);
    chain.push(std::move(handle));
  }
  return chain;
}

void extend_directory_chain(DirectoryChain& chain, const fs::path& name, const UserIdentity& identity) {
  require(!chain.empty(), "unsafe_path", "Cannot open the Windows storage directory");
  require(check_path_components(name) == 1 && name.native().find_first_of(L"/\\") == std::wstring::npos &&
              name != ".",
          "unsafe_path", "Windows storage path contains an unsafe component");
  const win32::ErrorModeScope scope;
  const win32::PrivateDescriptor descriptor(identity);
  int created = 0;
  unique_fd handle = open_chain_step(chain.path() / name, true, true, created, descriptor, identity);
  if (created == 0) verify_private_object(handle, true, identity);
  chain.extend(name, std::move(handle));
}

void ensure_private_directory(const fs::path& path) {
  open_directory_chain(path, true, true, current_user_identity(), true);
}

void with_directory_chain(const fs::path& directory, const std::function<void(const DirectoryChain&)>& action) {
  const win32::ErrorModeScope scope;
  const DirectoryChain chain = open_directory_chain(directory, true, false, current_user_identity(), false);
  action(chain);
}

OpenedFile open_private_file(const fs::path& path, FileAccess access, unsigned share, Disposition disposition,
                             unsigned /*flags*/, bool verify_parent) {
  require(disposition != Disposition::create_always && disposition != Disposition::truncate_existing, "unsafe_path",
          "Private file opening must not truncate existing content");
  const fs::path normalized = normalize_private_path(path, false);
  const UserIdentity identity = current_user_identity();
  const win32::ErrorModeScope scope;
  const DirectoryChain parent = open_directory_chain(normalized.parent_path(), true, false, identity, verify_parent);
  OpenedFile result = open_private_native(normalized, access, share, disposition, identity);
  if (!result.file) ::SetLastError(static_cast<DWORD>(result.error));
  return result;
}

OpenedFile open_private_file_at(const DirectoryChain& parent, std::string_view name, FileAccess access,
                                Disposition disposition, unsigned /*flags*/, unsigned share) {
  require(disposition != Disposition::create_always && disposition != Disposition::truncate_existing, "unsafe_path",
          "Private file opening must not truncate existing content");
  require(!parent.empty(), "unsafe_path", "Cannot open the Windows storage directory");
  bool ok = false;
  const std::wstring wide = win32::widen(name, &ok);
  require(ok && check_path_components(fs::path(wide)) == 1 && wide.find_first_of(L"/\\") == std::wstring::npos &&
              wide != L".",
          "unsafe_path", "Windows storage path contains an unsafe component");
  return open_private_native(parent.path() / wide, access, share, disposition, current_user_identity());
}

OpenedFile open_owned_file(const fs::path& path, FileAccess access, unsigned share, Disposition disposition,
                           unsigned /*flags*/) {
  const win32::OwnerDescriptor descriptor(current_user_identity());
  const std::wstring native = win32::long_form(path);
  OpenedFile result;
  result.file = win32::owned_handle(::CreateFileW(native.c_str(), access_of(access), share_of(share),
                                                  descriptor.attributes(), disposition_of(disposition),
                                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!result.file) result.error = static_cast<int>(::GetLastError());
  return result;
}

std::string destination_identity(const fs::path& path, bool require_directories) {
  const fs::path normalized = normalize_private_path(path, true);
  const win32::ErrorModeScope scope;
  require_private_volume(normalized);
  std::vector<unique_fd> held;
  fs::path current = normalized.root_path();
  unique_fd root = open_identity_entry(win32::long_form(current));
  require(root.valid(), "unsafe_path", "Cannot inspect Windows destination ancestry");
  require_ordinary_object(root, true);
  require_case_insensitive(handle_of(root));
  std::wstring identity = volume_path_of(handle_of(root));
  const std::size_t brace = identity.find(L'}');
  require(brace != std::wstring::npos && (brace + 1 == identity.size() ||
                                          (brace + 2 == identity.size() && identity[brace + 1] == L'\\')),
          "unsafe_path", "Windows setup requires a drive rooted at a local volume");
  const std::wstring prefix = identity.substr(0, brace + 1);
  held.push_back(std::move(root));

  const std::vector<std::wstring> names = components_of(normalized);
  std::size_t existing = 0;
  for (; existing < names.size(); ++existing) {
    const bool last = existing + 1 == names.size();
    current /= names[existing];
    unique_fd handle = open_identity_entry(win32::long_form(current));
    if (!handle) {
      const DWORD error = ::GetLastError();
      require(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND, "unsafe_path",
              "Cannot inspect Windows destination component");
      break;
    }
    FILE_ATTRIBUTE_TAG_INFO tag{};
    require(::GetFileInformationByHandleEx(handle_of(handle), FileAttributeTagInfo, &tag, sizeof tag) != 0,
            "unsafe_path", "Cannot inspect Windows path component");
    const bool directory = (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    require(directory || (last && !require_directories), "unsafe_path",
            "Windows path ancestry requires ordinary directories");
    require_ordinary_object(handle, directory);
    if (directory) require_case_insensitive(handle_of(handle));
    std::wstring volume = volume_path_of(handle_of(handle));
    require(volume.size() > prefix.size() && volume.compare(0, prefix.size(), prefix) == 0 &&
                volume[prefix.size()] == L'\\',
            "unsafe_path", "Windows destination volume changed");
    identity = std::move(volume);
    held.push_back(std::move(handle));
  }
  for (std::size_t i = existing; i < names.size(); ++i) {
    if (identity.empty() || identity.back() != L'\\') identity += L'\\';
    identity += names[i];
  }
  if (!identity.empty() && identity.back() == L'\\') identity.pop_back();
  return win32::narrow(case_folded(identity));
}

std::string generic_identity(std::string_view identity) {
  // The root name "\\?" stays as it is: only the separators after it change.
  constexpr std::string_view root_name = "\\\\?";
  const std::size_t kept = identity.starts_with(root_name) ? root_name.size() : 0;
  std::string text(identity);
  std::replace(text.begin() + static_cast<std::ptrdiff_t>(kept), text.end(), '\\', '/');
  return text;
}

}  // namespace tovra::windows_security
