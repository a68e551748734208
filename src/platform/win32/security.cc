#include "platform/win32/security.h"

#include <cstring>

#include "core/error.h"

namespace tovra::win32 {

SidBuffer::SidBuffer(const windows_security::UserIdentity& identity) {
  const std::string& bytes = identity.native;
  require(bytes.size() >= 8 && bytes.size() <= SECURITY_MAX_SID_SIZE, "permissions",
          "Cannot read the current Windows user identity");
  words_.resize((bytes.size() + sizeof(DWORD) - 1) / sizeof(DWORD));
  std::memcpy(words_.data(), bytes.data(), bytes.size());
  require(::IsValidSid(sid()) != 0 && ::GetLengthSid(sid()) == bytes.size(), "permissions",
          "Cannot read the current Windows user identity");
}

PrivateDescriptor::PrivateDescriptor(const windows_security::UserIdentity& identity) : sid_(identity) {
  constexpr const char* failed = "Cannot prepare private Windows directory permissions";
  const DWORD sid_length = ::GetLengthSid(sid_.sid());
  // The ACL header and one entry (header and mask) take 16 bytes besides the SID; whole words.
  const DWORD acl_bytes = (sid_length + 16 + 3) & ~DWORD{3};
  acl_.resize(acl_bytes / sizeof(DWORD));
  auto* acl = reinterpret_cast<PACL>(acl_.data());
  const bool built =
      ::InitializeAcl(acl, acl_bytes, ACL_REVISION) != 0 &&
      ::AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, FILE_ALL_ACCESS,
                              sid_.sid()) != 0 &&
      ::InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) != 0 &&
      ::SetSecurityDescriptorOwner(&descriptor_, sid_.sid(), FALSE) != 0 &&
      ::SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) != 0 &&
      ::SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED) != 0;
  require(built, "permissions", failed);
  attributes_.nLength = sizeof(SECURITY_ATTRIBUTES);
  attributes_.lpSecurityDescriptor = &descriptor_;
  attributes_.bInheritHandle = FALSE;
}

OwnerDescriptor::OwnerDescriptor(const windows_security::UserIdentity& identity) : sid_(identity) {
  const bool built = ::InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) != 0 &&
                     ::SetSecurityDescriptorOwner(&descriptor_, sid_.sid(), FALSE) != 0;
  require(built, "permissions", "Cannot prepare Windows file ownership");
  attributes_.nLength = sizeof(SECURITY_ATTRIBUTES);
  attributes_.lpSecurityDescriptor = &descriptor_;
  attributes_.bInheritHandle = FALSE;
}

}  // namespace tovra::win32
