#pragma once
// The Shell Link writer's pieces that its tests reach directly: the in-memory stream the link is
// saved into, the link flags and the command-line quoting.

#include <windows.h>
#include <objidl.h>

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

namespace tovra::win32 {

inline constexpr std::size_t kShortcutImageLimit = 32768;

// Keeps only the flags that carry the link's own data and adds every "do not track or resolve" flag.
inline constexpr DWORD shell_link_flags(DWORD current) { return (current & 0xF7u) | 0x740100u; }

// Windows command-line quoting of one argument: always quoted, backslashes doubled only where a
// quote or the end follows them.
std::wstring quote_argument(std::wstring_view text);

// A bounded, growable in-memory IStream the Shell Link object saves into.
class ShortcutImageStream final : public IStream {
 public:
  ShortcutImageStream() = default;
  ShortcutImageStream(const ShortcutImageStream&) = delete;
  ShortcutImageStream& operator=(const ShortcutImageStream&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG count, ULONG* read) override;
  HRESULT STDMETHODCALLTYPE Write(const void* buffer, ULONG count, ULONG* written) override;
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) override;
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER size) override;
  HRESULT STDMETHODCALLTYPE CopyTo(IStream* target, ULARGE_INTEGER count, ULARGE_INTEGER* read,
                                   ULARGE_INTEGER* written) override;
  HRESULT STDMETHODCALLTYPE Commit(DWORD flags) override;
  HRESULT STDMETHODCALLTYPE Revert() override;
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER count, DWORD type) override;
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER count, DWORD type) override;
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD flags) override;
  HRESULT STDMETHODCALLTYPE Clone(IStream** out) override;

 private:
  ~ShortcutImageStream() = default;  // deleted through Release only

  std::atomic<ULONG> references_{1};
  std::vector<unsigned char> bytes_;
  std::uint64_t position_ = 0;
};

}  // namespace tovra::win32
