#include <algorithm>
#include <new>

#include "platform/win32/shell_link.h"

namespace tovra::win32 {

std::wstring quote_argument(std::wstring_view text) {
  std::wstring out = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : text) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      out.append(backslashes * 2 + 1, L'\\');
    } else {
      out.append(backslashes, L'\\');
    }
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  out += L'"';
  return out;
}

HRESULT ShortcutImageStream::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_ISequentialStream) || IsEqualIID(iid, IID_IStream)) {
    *out = static_cast<IStream*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

ULONG ShortcutImageStream::AddRef() { return ++references_; }

ULONG ShortcutImageStream::Release() {
  const ULONG left = --references_;
  if (left == 0) delete this;
  return left;
}

HRESULT ShortcutImageStream::Read(void* buffer, ULONG count, ULONG* read) {
  if (buffer == nullptr && count != 0) return STG_E_INVALIDPOINTER;
  ULONG copied = 0;
  if (position_ < bytes_.size()) {
    const std::uint64_t available = bytes_.size() - position_;
    copied = available < count ? static_cast<ULONG>(available) : count;
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(position_), copied, static_cast<unsigned char*>(buffer));
    position_ += copied;
  }
  if (read != nullptr) *read = copied;
  return copied < count ? S_FALSE : S_OK;
}

HRESULT ShortcutImageStream::Write(const void* buffer, ULONG count, ULONG* written) {
  if (written != nullptr) *written = 0;
  if (buffer == nullptr && count != 0) return STG_E_INVALIDPOINTER;
  if (position_ > kShortcutImageLimit || count > kShortcutImageLimit - position_) return STG_E_MEDIUMFULL;
  const std::size_t end = static_cast<std::size_t>(position_) + count;
  try {
    if (bytes_.size() < end) bytes_.resize(end, 0);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  std::copy_n(static_cast<const unsigned char*>(buffer), count, bytes_.begin() + static_cast<std::ptrdiff_t>(position_));
  position_ = end;
  if (written != nullptr) *written = count;
  return S_OK;
}

HRESULT ShortcutImageStream::Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) {
  std::int64_t base = 0;
  switch (origin) {
    case STREAM_SEEK_SET: base = 0; break;
    case STREAM_SEEK_CUR: base = static_cast<std::int64_t>(position_); break;
    case STREAM_SEEK_END: base = static_cast<std::int64_t>(bytes_.size()); break;
    default: return STG_E_INVALIDFUNCTION;
  }
  const std::int64_t offset = move.QuadPart;
  // Both operands are bounded by the limit or checked against it before adding.
  if (offset < -static_cast<std::int64_t>(kShortcutImageLimit) ||
      offset > static_cast<std::int64_t>(kShortcutImageLimit))
    return STG_E_INVALIDFUNCTION;
  const std::int64_t target = base + offset;
  if (target < 0 || target > static_cast<std::int64_t>(kShortcutImageLimit)) return STG_E_INVALIDFUNCTION;
  position_ = static_cast<std::uint64_t>(target);
  if (position != nullptr) position->QuadPart = position_;
  return S_OK;
}

HRESULT ShortcutImageStream::SetSize(ULARGE_INTEGER size) {
  if (size.QuadPart > kShortcutImageLimit) return STG_E_MEDIUMFULL;
  try {
    bytes_.resize(static_cast<std::size_t>(size.QuadPart), 0);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT ShortcutImageStream::CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) { return E_NOTIMPL; }
HRESULT ShortcutImageStream::Commit(DWORD) { return S_OK; }
HRESULT ShortcutImageStream::Revert() { return STG_E_INVALIDFUNCTION; }
HRESULT ShortcutImageStream::LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) { return STG_E_INVALIDFUNCTION; }
HRESULT ShortcutImageStream::UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) { return STG_E_INVALIDFUNCTION; }

HRESULT ShortcutImageStream::Stat(STATSTG* stat, DWORD) {
  if (stat == nullptr) return E_POINTER;
  *stat = STATSTG{};
  stat->type = STGTY_STREAM;
  stat->cbSize.QuadPart = bytes_.size();
  stat->grfMode = STGM_READWRITE;
  return S_OK;
}

HRESULT ShortcutImageStream::Clone(IStream** out) {
  if (out != nullptr) *out = nullptr;
  return E_NOTIMPL;
}

}  // namespace tovra::win32
