#include "platform/read_file.h"

#include <string>

#include "platform/win32/win32_support.h"

namespace tovra {
namespace {

using win32::handle_of;

constexpr DWORD kAllSharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace

bool mounted_folder(const std::filesystem::path&) { return false; }

PathKind path_kind(const std::filesystem::path& path) {
  const std::wstring native = win32::long_form(path);
  const DWORD attributes = ::GetFileAttributesW(native.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return PathKind::missing;
    return PathKind::unknown;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    const unique_fd entry = win32::open_entry(native, FILE_READ_ATTRIBUTES, kAllSharing);
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!entry || ::GetFileInformationByHandleEx(handle_of(entry), FileAttributeTagInfo, &tag, sizeof tag) == 0)
      return PathKind::unknown;
    return tag.ReparseTag == IO_REPARSE_TAG_SYMLINK ? PathKind::link : PathKind::reparse;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return PathKind::directory;
  if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) return PathKind::other;
  return PathKind::file;
}

std::optional<std::filesystem::path> own_executable_path(std::size_t limit) {
  if (limit == 0 || limit > 32768) return std::nullopt;
  // One unit beyond the limit shows truncation.
  std::wstring buffer(limit + 1, L'\0');
  const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  if (length == 0 || length > limit) return std::nullopt;
  buffer.resize(length);
  return std::filesystem::path(buffer);
}

ReadOnlyFile ReadOnlyFile::open(const std::filesystem::path& path) {
  const std::wstring native = win32::long_form(path);
  unique_fd file = win32::owned_handle(::CreateFileW(native.c_str(), GENERIC_READ, kAllSharing, nullptr, OPEN_EXISTING,
                                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                                     nullptr));
  if (!file) return ReadOnlyFile(unique_fd(), OpenStatus::failed);
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (::GetFileInformationByHandleEx(handle_of(file), FileAttributeTagInfo, &tag, sizeof tag) == 0)
    return ReadOnlyFile(unique_fd(), OpenStatus::failed);
  if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return ReadOnlyFile(unique_fd(), OpenStatus::link);
  return ReadOnlyFile(std::move(file), OpenStatus::opened);
}

std::optional<std::uint64_t> ReadOnlyFile::ordinary_size() const {
  if (!fd_.valid() || ::GetFileType(handle_of(fd_)) != FILE_TYPE_DISK) return std::nullopt;
  win32::HandleFacts facts;
  if (!win32::handle_facts(handle_of(fd_), facts)) return std::nullopt;
  if ((facts.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) != 0)
    return std::nullopt;
  return facts.size;
}

std::optional<std::uint64_t> ReadOnlyFile::size() const {
  LARGE_INTEGER size{};
  if (!fd_.valid() || ::GetFileSizeEx(handle_of(fd_), &size) == 0 || size.QuadPart < 0) return std::nullopt;
  return static_cast<std::uint64_t>(size.QuadPart);
}

std::optional<std::size_t> ReadOnlyFile::read(char* buffer, std::size_t capacity) {
  if (!fd_.valid()) return std::nullopt;
  const DWORD asked = capacity > 0x40000000 ? 0x40000000 : static_cast<DWORD>(capacity);
  DWORD got = 0;
  if (::ReadFile(handle_of(fd_), buffer, asked, &got, nullptr) == 0) {
    // A pipe whose writer closed is the end of the data.
    if (::GetLastError() == ERROR_BROKEN_PIPE) return 0;
    return std::nullopt;
  }
  return static_cast<std::size_t>(got);
}

}  // namespace tovra
