#include "platform/prepared_file.h"

#include <cstdint>
#include <limits>
#include <string>

#include "core/error.h"
#include "platform/fault_injection.h"
#include "platform/read_file.h"
#include "platform/storage.h"
#include "platform/win32/win32_support.h"

namespace tovra {
namespace {

namespace ws = windows_security;
using win32::handle_of;

constexpr DWORD kWritePiece = 65536;

bool disk_full(DWORD error) { return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL || error == 1295; }

[[noreturn]] void raise_error(DWORD error, std::string_view code, std::string_view message) {
  if (disk_full(error))
    throw Error("insufficient_space", "Cannot allocate game storage; free space or choose another location");
  throw Error(std::string(code), std::string(message) + " (" + std::to_string(error) + ")");
}

bool set_end_of_file(HANDLE file, std::uint64_t length) {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
  return ::SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end) != 0;
}

unique_fd open_for_identity(const std::wstring& native) {
  return win32::open_entry(native, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
}

}  // namespace

struct PreparedFile::State {
  std::filesystem::path path;
  std::wstring native;
  std::uint64_t length = 0;
  PreparedIdentity identity;
  bool allocated = false;
  std::uint64_t written = 0;
  bool created_new = false;
  bool identity_recorded = false;
  unique_fd file;

  // Handle checks; returns the current size.
  std::uint64_t identity_query() {
    win32::HandleFacts facts;
    require(file.valid() && ::GetFileType(handle_of(file)) == FILE_TYPE_DISK &&
                win32::handle_facts(handle_of(file), facts) &&
                (facts.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
                facts.links == 1,
            "unsafe_path", "Allocation requires an ordinary single-link file");
    const PreparedIdentity now{facts.volume, facts.index};
    if (identity_recorded) require(now == identity, "allocation_changed", "Prepared allocation identity changed");
    identity = now;
    identity_recorded = true;
    return facts.size;
  }

  // The path must still name the file we created.
  bool path_check() const noexcept {
    if (!identity_recorded) return false;
    const unique_fd probe = open_for_identity(native);
    win32::HandleFacts facts;
    if (!probe || !win32::handle_facts(handle_of(probe), facts)) return false;
    if ((facts.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) return false;
    return facts.volume == identity.volume && facts.index == identity.index;
  }

  void require_steady(bool size_ok, std::string_view message) {
    const bool ok = size_ok && path_check();
    require(ok, "allocation_changed", message);
  }
};

PreparedFile::PreparedFile(std::unique_ptr<State> state) : state_(std::move(state)) {}

PreparedFile::~PreparedFile() {
  if (!state_) return;
  state_->file.reset();
  if (state_->created_new && state_->identity_recorded && state_->path_check())
    ::DeleteFileW(state_->native.c_str());
}

const std::filesystem::path& PreparedFile::path() const { return state_->path; }
std::uint64_t PreparedFile::written() const { return state_->written; }
bool PreparedFile::allocated() const { return state_->allocated; }

std::unique_ptr<PreparedFile> create_prepared_file(const std::filesystem::path& target,
                                                   std::uint64_t authenticated_length,
                                                   const PreparedFile::OwnershipCallback& ownership) {
  require(authenticated_length <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()), "size_limit",
          "File allocation exceeds native length bounds");
  auto state = std::make_unique<PreparedFile::State>();
  PreparedFile::State& s = *state;
  s.path = win32::lexical_absolute(target);
  s.native = win32::long_form(s.path);
  s.length = authenticated_length;
  require(s.path.has_filename() && path_kind(s.path.parent_path()) == PathKind::directory, "unsafe_path",
          "Allocation requires an ordinary parent directory");

  ws::OpenedFile opened =
      ws::open_private_file(s.path, ws::FileAccess::read_write, ws::share_read | ws::share_delete,
                            ws::Disposition::create_new, ws::file_flag_none, true);
  if (!opened) {
    raise_error(static_cast<DWORD>(opened.error), "unsafe_path",
                "Cannot exclusively create or reopen a prepared allocation");
  }
  s.file = std::move(opened.file);
  s.created_new = true;
  auto prepared = std::make_unique<PreparedFile>(std::move(state));
  PreparedFile::State& p = s;  // the state object itself does not move

  require(p.identity_query() == 0, "unsafe_path", "A new allocation must begin empty");
  require(p.path_check(), "allocation_changed", "New allocation path changed before recording ownership");
  if (ownership) {
    ownership(*prepared);
    p.require_steady(p.identity_query() == 0, "New allocation changed while recording ownership");
  }

  p.allocated = false;
  bool reserve = true;
  if (p.length > 0) {
    FILE_ALLOCATION_INFO allocation{};
    allocation.AllocationSize.QuadPart = static_cast<LONGLONG>(p.length);
    if (::SetFileInformationByHandle(handle_of(p.file), FileAllocationInfo, &allocation, sizeof allocation) == 0) {
      const DWORD error = ::GetLastError();
      if (disk_full(error))
        throw Error("insufficient_space", "Cannot reserve file data; free space or choose other game storage");
      if (error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_FUNCTION && error != ERROR_CALL_NOT_IMPLEMENTED)
        throw Error("space_reservation", "Native file allocation failed (" + std::to_string(error) + ")");
      reserve = false;
    } else if (!set_end_of_file(handle_of(p.file), p.length)) {
      raise_error(::GetLastError(), "file_write", "Cannot set allocated file length");
    }
  }
  p.allocated = reserve;
  const std::uint64_t size = p.identity_query();
  p.require_steady(size == (p.allocated ? p.length : 0), "New allocation changed during preparation");
  return prepared;
}

void PreparedFile::write(std::string_view bytes) {
  State& s = *state_;
  require(s.file.valid(), "file_write", "Cannot write staged file data");
  require(s.length - s.written >= bytes.size(), "size_limit", "Write exceeds the authenticated file length");
  while (!bytes.empty()) {
    const DWORD piece = bytes.size() < kWritePiece ? static_cast<DWORD>(bytes.size()) : kWritePiece;
    DWORD done = 0;
    if (::WriteFile(handle_of(s.file), bytes.data(), piece, &done, nullptr) == 0)
      raise_error(::GetLastError(), "file_write", "Cannot write staged file data");
    require(done > 0, "file_write", "Cannot advance staged file data");
    s.written += done;
    bytes.remove_prefix(done);
  }
}

void PreparedFile::set_executable(bool /*executable*/) {
  // Windows keeps no executable attribute; only the identity is re-confirmed.
  State& s = *state_;
  s.require_steady(s.identity_query() <= s.length, "Allocated file changed before setting executable permissions");
  s.require_steady(true, "Allocated file changed while setting executable permissions");
}

void PreparedFile::complete(bool require_full_length) {
  State& s = *state_;
  if (require_full_length)
    require(s.written == s.length, "length_mismatch", "File data is shorter than its authenticated length");
  std::uint64_t size = s.identity_query();
  s.require_steady(size >= s.written && size <= s.length, "Allocated file changed before completion");
  if (!set_end_of_file(handle_of(s.file), s.written))
    raise_error(::GetLastError(), "file_write", "Cannot set allocated file length");
  s.require_steady(s.identity_query() == s.written, "Allocated file changed during writing");
  size = s.identity_query();
  s.require_steady(size >= s.written && size <= s.length, "Partial file changed before synchronization");
  require(fault_point("prepared file flush") == 0, "file_sync", "Cannot synchronize reserved file data");
  require(::FlushFileBuffers(handle_of(s.file)) != 0, "file_sync", "Cannot synchronize reserved file data");
  s.created_new = false;
  s.file.reset();
}

PreparedIdentity prepared_directory_identity(const std::filesystem::path& directory) {
  const std::wstring native = win32::long_form(directory);
  const unique_fd first = open_for_identity(native);
  require(first.valid(), "unsafe_path", "Cannot inspect prepared directory identity");
  const unique_fd second = open_for_identity(native);
  win32::HandleFacts a;
  win32::HandleFacts b;
  const auto ordinary = [](const win32::HandleFacts& facts) {
    return (facts.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
  };
  const bool same = second.valid() && win32::handle_facts(handle_of(first), a) &&
                    win32::handle_facts(handle_of(second), b) && ordinary(a) && ordinary(b) &&
                    a.volume == b.volume && a.index == b.index;
  require(same, "unsafe_path", "Prepared directory is linked, replaced or unavailable");
  return {a.volume, a.index};
}

}  // namespace tovra
