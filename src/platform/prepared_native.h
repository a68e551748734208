#pragma once
// The native calls beneath prepared files. The step sequence and its checks are written once in
// prepared_file.cc; each backend supplies only these calls. Errors are system error numbers
// (errno on POSIX, GetLastError on Windows), 0 meaning success.

#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "platform/prepared_file.h"
#include "platform/storage.h"
#include "platform/unique_fd.h"

namespace tovra::prepared_native {

// What one look at an open file, or at a name in a folder, shows.
struct Facts {
  bool ordinary = false;  // a regular file; through a handle also exactly one link
  PreparedIdentity identity;
  std::uint64_t size = 0;
  bool owner_only = true;  // no access beyond the owner's, and not executable
};

bool disk_full(int error);
// The file system has no space reservation; writing carries on without one.
bool reservation_unsupported(int error);

// Creates `name` inside the chain's target, exclusively, privately, never through a link.
int create_new(const windows_security::DirectoryChain& parent, const std::filesystem::path& name, unique_fd& file);
bool handle_facts(const unique_fd& file, Facts& facts);
bool name_facts(const windows_security::DirectoryChain& parent, const std::filesystem::path& name, Facts& facts);
// Owner-only access, with execute where asked (POSIX modes; nothing to change on Windows).
int make_private(const unique_fd& file, bool executable);
// Reserves `length` bytes and sets the end of file there; raises where only the second part fails.
int reserve(const unique_fd& file, std::uint64_t length);
int set_length(const unique_fd& file, std::uint64_t length);
int write_at(const unique_fd& file, const char* data, std::size_t size, std::uint64_t offset, std::size_t& done);
int read_at(const unique_fd& file, char* data, std::size_t size, std::uint64_t offset, std::size_t& done);
int flush(const unique_fd& file);
void remove(const windows_security::DirectoryChain& parent, const std::filesystem::path& name) noexcept;

// A failed call's problem: the full-disk problem, or `code` with the message and the number.
[[noreturn]] void raise(int error, const char* code, const char* message);

}  // namespace tovra::prepared_native
