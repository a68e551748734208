#include "platform/launcher_entry.h"

#include <windows.h>
#include <objbase.h>
#include <propsys.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <algorithm>
#include <cstdint>

#include "core/error.h"
#include "core/paths.h"
#include "core/text.h"
#include "platform/durable.h"
#include "platform/launcher_entry_native.h"
#include "platform/read_file.h"
#include "platform/storage.h"
#include "platform/win32/shell_link.h"
#include "platform/win32/win32_support.h"

namespace tovra {
namespace {

namespace fs = std::filesystem;
namespace ws = windows_security;
using win32::handle_of;

constexpr DWORD kFieldUnits = 32769;
constexpr DWORD kRequiredFlags = 0x740100;
constexpr DWORD kAllowedFlags = 0x7401F7;

// Older MinGW headers lack this key.
const PROPERTYKEY kLinkArguments = {{0x436F2667, 0x14E2, 0x4FEB, {0xB3, 0x0A, 0x14, 0x6C, 0x53, 0xB5, 0xB6, 0x74}},
                                    100};

template <typename T>
class ComRef {
 public:
  ComRef() = default;
  ~ComRef() {
    if (pointer_ != nullptr) pointer_->Release();
  }
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  T* get() const { return pointer_; }
  T* operator->() const { return pointer_; }
  T** out() { return &pointer_; }
  void** out_void() { return reinterpret_cast<void**>(&pointer_); }

 private:
  T* pointer_ = nullptr;
};

struct TaskFree {
  void operator()(void* memory) const noexcept { ::CoTaskMemFree(memory); }
};

struct PropVariant {
  PROPVARIANT value;
  PropVariant() { ::PropVariantInit(&value); }
  ~PropVariant() { ::PropVariantClear(&value); }
  PropVariant(const PropVariant&) = delete;
  PropVariant& operator=(const PropVariant&) = delete;
};

// One apartment for one serialisation; left only when this scope entered it.
class ComScope {
 public:
  ComScope() {
    const HRESULT result = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    require(result == S_OK || result == S_FALSE || result == RPC_E_CHANGED_MODE, "shortcut_api",
            "Cannot initialize Windows shortcut COM");
    entered_ = SUCCEEDED(result);
  }
  ~ComScope() {
    if (entered_) ::CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;

 private:
  bool entered_ = false;
};

void check(HRESULT result, std::string_view message) {
  if (FAILED(result))
    throw Error("shortcut_api", std::string(message) + " (" + std::to_string(static_cast<long>(result)) + ")");
}

std::wstring wide(std::string_view text) { return native_path(text).native(); }

bool same_ignoring_case(std::wstring_view a, std::wstring_view b) {
  return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

// The options are written bare; the values of --data-dir and --game are always quoted.
std::wstring argument_line(const std::vector<std::string>& arguments) {
  std::wstring line;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (i > 0) line += L' ';
    const bool value = i > 0 && (arguments[i - 1] == "--data-dir" || arguments[i - 1] == "--game");
    line += value ? win32::quote_argument(wide(arguments[i])) : wide(arguments[i]);
  }
  return line;
}

// Loads `image` into a fresh Shell Link object and compares it with `fields`.
bool verify_shell_link_image(std::string_view image, const LauncherEntryFields& fields, std::string& mismatch) {
  if (image.empty() || image.size() > win32::kShortcutImageLimit) {
    mismatch = "size";
    return false;
  }
  ComRef<IStream> stream;
  check(::CreateStreamOnHGlobal(nullptr, TRUE, stream.out()), "Cannot allocate native shortcut stream");
  ULONG wrote = 0;
  check(stream->Write(image.data(), static_cast<ULONG>(image.size()), &wrote), "Cannot populate native shortcut stream");
  require(wrote == image.size(), "shortcut_api", "Native shortcut stream write was incomplete");
  LARGE_INTEGER start{};
  check(stream->Seek(start, STREAM_SEEK_SET, nullptr), "Cannot rewind native shortcut stream");

  ComRef<IShellLinkW> link;
  check(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.out_void()),
        "Cannot create native Shell Link");
  ComRef<IPersistStream> persist;
  check(link->QueryInterface(IID_IPersistStream, persist.out_void()), "Cannot read native Shell Link persistence");
  check(persist->Load(stream.get()), "Cannot load native Shell Link image");
  ComRef<IShellLinkDataList> data;
  check(link->QueryInterface(IID_IShellLinkDataList, data.out_void()), "Cannot inspect Shell Link flags");
  DWORD flags = 0;
  check(data->GetFlags(&flags), "Cannot inspect Shell Link flags");
  if ((flags & (kRequiredFlags | SLDF_UNICODE)) != (kRequiredFlags | SLDF_UNICODE) || (flags & ~kAllowedFlags) != 0) {
    mismatch = "flags";
    return false;
  }

  ComRef<IPropertyStore> properties;
  check(link->QueryInterface(IID_IPropertyStore, properties.out_void()), "Cannot inspect native shortcut properties");
  PropVariant arguments;
  check(properties->GetValue(kLinkArguments, &arguments.value), "Cannot read native shortcut property");
  std::wstring stored;
  if (arguments.value.vt == VT_LPWSTR) {
    const wchar_t* text = arguments.value.pwszVal == nullptr ? L"" : arguments.value.pwszVal;
    std::size_t length = 0;
    while (text[length] != L'\0') {
      require(length < win32::kShortcutImageLimit, "size_limit", "Native shortcut property exceeds its bound");
      ++length;
    }
    stored.assign(text, length);
  } else if (arguments.value.vt != VT_EMPTY) {
    throw Error("shortcut_api",
                "Native shortcut property is not a string (type " + std::to_string(arguments.value.vt) + ")");
  }
  if (stored != argument_line(fields.arguments)) {
    mismatch = "arguments";
    return false;
  }

  const std::wstring target = wide(fields.target);
  PIDLIST_ABSOLUTE raw_list = nullptr;
  const HRESULT listed = link->GetIDList(&raw_list);
  const std::unique_ptr<void, TaskFree> list(raw_list);
  bool item_matches = false;
  if (SUCCEEDED(listed) && raw_list != nullptr) {
    wchar_t* raw_name = nullptr;
    if (SUCCEEDED(::SHGetNameFromIDList(raw_list, SIGDN_DESKTOPABSOLUTEPARSING, &raw_name))) {
      const std::unique_ptr<wchar_t, TaskFree> name(raw_name);
      item_matches = same_ignoring_case(name.get(), target);
    }
  }
  if (!item_matches) {
    mismatch = "item list";
    return false;
  }

  std::wstring path(MAX_PATH, L'\0');
  std::wstring directory(kFieldUnits, L'\0');
  std::wstring description(kFieldUnits, L'\0');
  std::wstring icon(kFieldUnits, L'\0');
  int icon_index = -1;
  int show = 0;
  WORD hotkey = 0xFFFF;
  const bool read = SUCCEEDED(link->GetPath(path.data(), MAX_PATH, nullptr, SLGP_RAWPATH)) &&
                    SUCCEEDED(link->GetWorkingDirectory(directory.data(), static_cast<int>(kFieldUnits))) &&
                    SUCCEEDED(link->GetDescription(description.data(), static_cast<int>(kFieldUnits))) &&
                    SUCCEEDED(link->GetIconLocation(icon.data(), static_cast<int>(kFieldUnits), &icon_index)) &&
                    SUCCEEDED(link->GetShowCmd(&show)) && SUCCEEDED(link->GetHotkey(&hotkey));
  if (!read) {
    mismatch = "link fields";
    return false;
  }
  for (std::wstring* text : {&path, &directory, &description, &icon}) text->resize(text->find(L'\0'));
  if (!same_ignoring_case(path, target)) {
    mismatch = "target";
  } else if (!same_ignoring_case(directory, wide(fields.working_directory))) {
    mismatch = "working directory";
  } else if (!same_ignoring_case(icon, wide(fields.icon)) || icon_index != 0) {
    mismatch = "icon";
  } else if (description != wide(fields.description)) {
    mismatch = "description";
  } else if (show != SW_SHOWNORMAL || hotkey != 0) {
    mismatch = "presentation";
  } else {
    return true;
  }
  return false;
}

}  // namespace

std::string_view launcher_entry_extension() { return ".lnk"; }

namespace launcher_entry_native {

bool same_name(const fs::path& name, std::string_view lower_ascii) {
  return same_ignoring_case(name.native(), wide(lower_ascii));
}

std::size_t argument_line_units(const std::vector<std::string>& arguments) { return argument_line(arguments).size(); }

fs::path absolute_normal(const fs::path& path) { return win32::lexical_absolute(path); }

// The held folder keeps the path meaningful: no ancestor can be renamed or replaced meanwhile.
unique_fd open_bootstrap(const ws::DirectoryChain&, const fs::path& target) {
  return win32::owned_handle(::CreateFileW(win32::long_form(target).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

bool single_link_file(const unique_fd& file) {
  FILE_ATTRIBUTE_TAG_INFO tag{};
  FILE_STANDARD_INFO standard{};
  return ::GetFileType(handle_of(file)) == FILE_TYPE_DISK &&
         ::GetFileInformationByHandleEx(handle_of(file), FileAttributeTagInfo, &tag, sizeof tag) != 0 &&
         (tag.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
         ::GetFileInformationByHandleEx(handle_of(file), FileStandardInfo, &standard, sizeof standard) != 0 &&
         standard.NumberOfLinks == 1;
}

bool read_start(const unique_fd& file, std::string& header) {
  DWORD got = 0;
  if (::ReadFile(handle_of(file), header.data(), static_cast<DWORD>(header.size()), &got, nullptr) == 0) return false;
  header.resize(got);
  return true;
}

bool nothing_at(const ws::DirectoryChain&, const fs::path& path) { return path_kind(path) == PathKind::missing; }

void create_file(const ws::DirectoryChain&, const fs::path& path, std::string_view content) {
  create_owned_file(path, content);
}

bool remove_file(const ws::DirectoryChain&, const fs::path& path) {
  if (::DeleteFileW(win32::long_form(path).c_str()) != 0) return true;
  const DWORD error = ::GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace launcher_entry_native

std::string serialize_launcher_entry(const LauncherEntryFields& fields) {
  const ComScope apartment;
  const std::wstring target = wide(fields.target);
  ComRef<IShellLinkW> link;
  check(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.out_void()),
        "Cannot create native Shell Link");
  check(link->SetPath(target.c_str()), "Cannot set Windows shortcut bootstrap");
  check(link->SetArguments(argument_line(fields.arguments).c_str()), "Cannot set Windows shortcut arguments");
  check(link->SetWorkingDirectory(wide(fields.working_directory).c_str()),
        "Cannot set Windows shortcut working directory");
  check(link->SetDescription(wide(fields.description).c_str()), "Cannot set Windows shortcut description");
  check(link->SetIconLocation(wide(fields.icon).c_str(), 0), "Cannot set Windows shortcut icon");
  check(link->SetShowCmd(SW_SHOWNORMAL), "Cannot set Windows shortcut presentation");
  check(link->SetHotkey(0), "Cannot clear Windows shortcut hotkey");

  ComRef<IShellLinkDataList> data;
  check(link->QueryInterface(IID_IShellLinkDataList, data.out_void()), "Cannot configure Shell Link flags");
  DWORD flags = 0;
  check(data->GetFlags(&flags), "Cannot read Shell Link flags");
  check(data->SetFlags(win32::shell_link_flags(flags)), "Cannot disable Windows shortcut tracking and expansion");

  ComRef<IPersistStream> persist;
  check(link->QueryInterface(IID_IPersistStream, persist.out_void()), "Cannot serialize native Shell Link");
  ComRef<IStream> stream;
  *stream.out() = new win32::ShortcutImageStream();
  check(persist->Save(stream.get(), TRUE), "Cannot serialize native shortcut");

  STATSTG stat{};
  check(stream->Stat(&stat, STATFLAG_NONAME), "Cannot inspect native shortcut length");
  const std::uint64_t size = stat.cbSize.QuadPart;
  require(size >= 1 && size <= win32::kShortcutImageLimit, "size_limit", "Windows shortcut image exceeds 32 KiB");
  LARGE_INTEGER start{};
  check(stream->Seek(start, STREAM_SEEK_SET, nullptr), "Cannot rewind native shortcut image");
  std::string image(static_cast<std::size_t>(size), '\0');
  ULONG read = 0;
  check(stream->Read(image.data(), static_cast<ULONG>(size), &read), "Cannot read native shortcut image");
  require(read == size, "shortcut_api",
          "Native shortcut image read " + std::to_string(read) + " of " + std::to_string(size) + " bytes");

  std::string mismatch;
  if (!verify_shell_link_image(image, fields, mismatch))
    throw Error("shortcut_api", "Native shortcut serialization changed its " + mismatch);
  return image;
}

}  // namespace tovra
