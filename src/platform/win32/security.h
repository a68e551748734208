#pragma once
// Security descriptors of the win32 backend: the one private descriptor (owner = the user, a
// protected DACL with a single inheritable full-access entry) and the owner-only descriptor.

#include <windows.h>

#include <vector>

#include "platform/storage.h"

namespace tovra::win32 {

// The user's SID in DWORD-aligned memory.
class SidBuffer {
 public:
  explicit SidBuffer(const windows_security::UserIdentity& identity);
  PSID sid() const noexcept { return const_cast<DWORD*>(words_.data()); }

 private:
  std::vector<DWORD> words_;
};

// Refers to itself, so it is neither copied nor moved.
class PrivateDescriptor {
 public:
  explicit PrivateDescriptor(const windows_security::UserIdentity& identity);
  PrivateDescriptor(const PrivateDescriptor&) = delete;
  PrivateDescriptor& operator=(const PrivateDescriptor&) = delete;
  SECURITY_ATTRIBUTES* attributes() const noexcept { return const_cast<SECURITY_ATTRIBUTES*>(&attributes_); }

 private:
  SidBuffer sid_;
  std::vector<DWORD> acl_;
  SECURITY_DESCRIPTOR descriptor_{};
  SECURITY_ATTRIBUTES attributes_{};
};

// Only the owner is set, so the parent's inheritable entries decide access.
class OwnerDescriptor {
 public:
  explicit OwnerDescriptor(const windows_security::UserIdentity& identity);
  OwnerDescriptor(const OwnerDescriptor&) = delete;
  OwnerDescriptor& operator=(const OwnerDescriptor&) = delete;
  SECURITY_ATTRIBUTES* attributes() const noexcept { return const_cast<SECURITY_ATTRIBUTES*>(&attributes_); }

 private:
  SidBuffer sid_;
  SECURITY_DESCRIPTOR descriptor_{};
  SECURITY_ATTRIBUTES attributes_{};
};

// FileCaseSensitiveInfo, which older MinGW headers lack.
inline constexpr FILE_INFO_BY_HANDLE_CLASS kFileCaseSensitiveInfo = static_cast<FILE_INFO_BY_HANDLE_CLASS>(23);
struct CaseSensitiveInfo {
  ULONG Flags;
};

}  // namespace tovra::win32
