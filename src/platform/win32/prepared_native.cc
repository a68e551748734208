#include "platform/prepared_native.h"

#include <string>

#include "core/error.h"
#include "core/paths.h"
#include "platform/win32/win32_support.h"

namespace tovra::prepared_native {
namespace {

using win32::handle_of;

std::wstring native_of(const windows_security::DirectoryChain& parent, const std::filesystem::path& name) {
  return win32::long_form(parent.path() / name);
}

unique_fd open_for_identity(const std::wstring& native) {
  return win32::open_entry(native, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
}

bool plain(const win32::HandleFacts& facts) {
  return (facts.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

Facts facts_of(const win32::HandleFacts& facts) {
  Facts result;
  result.ordinary = plain(facts);
  result.identity = {facts.volume, facts.index};
  result.size = facts.size;
  return result;
}

int result(bool ok) { return ok ? 0 : static_cast<int>(::GetLastError()); }

}  // namespace

bool disk_full(int error) { return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL || error == 1295; }

bool reservation_unsupported(int error) {
  return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION || error == ERROR_CALL_NOT_IMPLEMENTED;
}

int create_new(const windows_security::DirectoryChain& parent, const std::filesystem::path& name, unique_fd& file) {
  namespace ws = windows_security;
  // Others may read or delete it while it is written, never write it.
  ws::OpenedFile opened = ws::open_private_file_at(parent, utf8_path(name), ws::FileAccess::read_write,
                                                   ws::Disposition::create_new, ws::file_flag_none,
                                                   ws::share_read | ws::share_delete);
  file = std::move(opened.file);
  return file.valid() ? 0 : opened.error;
}

bool handle_facts(const unique_fd& file, Facts& facts) {
  win32::HandleFacts native;
  if (!win32::handle_facts(handle_of(file), native)) return false;
  facts = facts_of(native);
  facts.ordinary = facts.ordinary && native.links == 1 && ::GetFileType(handle_of(file)) == FILE_TYPE_DISK;
  return true;
}

bool name_facts(const windows_security::DirectoryChain& parent, const std::filesystem::path& name, Facts& facts) {
  const unique_fd probe = open_for_identity(native_of(parent, name));
  win32::HandleFacts native;
  if (!probe || !win32::handle_facts(handle_of(probe), native)) return false;
  facts = facts_of(native);
  return true;
}

// Windows keeps no executable attribute, and the file was created with its private descriptor.
int make_private(const unique_fd&, bool) { return 0; }

int reserve(const unique_fd& file, std::uint64_t length) {
  FILE_ALLOCATION_INFO allocation{};
  allocation.AllocationSize.QuadPart = static_cast<LONGLONG>(length);
  if (::SetFileInformationByHandle(handle_of(file), FileAllocationInfo, &allocation, sizeof allocation) == 0)
    return static_cast<int>(::GetLastError());
  if (const int error = set_length(file, length)) raise(error, "file_write", "Cannot set allocated file length");
  return 0;
}

int set_length(const unique_fd& file, std::uint64_t length) {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
  return result(::SetFileInformationByHandle(handle_of(file), FileEndOfFileInfo, &end, sizeof end) != 0);
}

// Written in order, so the current position is always the offset.
int write_at(const unique_fd& file, const char* data, std::size_t size, std::uint64_t, std::size_t& done) {
  DWORD count = 0;
  const bool ok = ::WriteFile(handle_of(file), data, static_cast<DWORD>(size), &count, nullptr) != 0;
  done = count;
  return result(ok);
}

int read_at(const unique_fd& file, char* data, std::size_t size, std::uint64_t offset, std::size_t& done) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD count = 0;
  const DWORD piece = size > 65536 ? 65536 : static_cast<DWORD>(size);
  const bool ok = ::ReadFile(handle_of(file), data, piece, &count, &at) != 0;
  done = count;
  if (!ok && ::GetLastError() == ERROR_HANDLE_EOF) return 0;
  return result(ok);
}

int flush(const unique_fd& file) { return result(::FlushFileBuffers(handle_of(file)) != 0); }

void remove(const windows_security::DirectoryChain& parent, const std::filesystem::path& name) noexcept {
  try {
    ::DeleteFileW(native_of(parent, name).c_str());
  } catch (...) {
    // Release never raises; a name that cannot even be formed is left alone.
  }
}

}  // namespace tovra::prepared_native

namespace tovra {

PreparedIdentity prepared_directory_identity(const std::filesystem::path& directory) {
  const std::wstring native = win32::long_form(directory);
  const unique_fd first = prepared_native::open_for_identity(native);
  require(first.valid(), "unsafe_path", "Cannot inspect prepared directory identity");
  const unique_fd second = prepared_native::open_for_identity(native);
  win32::HandleFacts a;
  win32::HandleFacts b;
  const auto ordinary = [](const win32::HandleFacts& facts) {
    return (facts.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
  };
  const bool same = second.valid() && win32::handle_facts(win32::handle_of(first), a) &&
                    win32::handle_facts(win32::handle_of(second), b) && ordinary(a) && ordinary(b) &&
                    a.volume == b.volume && a.index == b.index;
  require(same, "unsafe_path", "Prepared directory is linked, replaced or unavailable");
  return {a.volume, a.index};
}

}  // namespace tovra
