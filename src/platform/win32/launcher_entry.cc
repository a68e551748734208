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
#include "platform/read_file.h"
#include "platform/storage.h"
#include "platform/win32/shell_link.h"
#include "platform/win32/win32_support.h"

namespace tovra {
namespace {

namespace fs = std::filesystem;
namespace ws = windows_security;
using win32::handle_of;

constexpr std::size_t kMaxBootstrapRead = 65536;
constexpr std::size_t kMaxTargetUnits = 260;     // the target must be shorter
constexpr std::size_t kMaxArgumentUnits = 8192;  // the arguments must be shorter
constexpr std::size_t kMaxNameBytes = 512;
constexpr std::size_t kMaxPathBytes = 4096;
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

void require_windowed_bootstrap(const unique_fd& file) {
  FILE_ATTRIBUTE_TAG_INFO tag{};
  FILE_STANDARD_INFO standard{};
  require(file.valid() && ::GetFileType(handle_of(file)) == FILE_TYPE_DISK &&
              ::GetFileInformationByHandleEx(handle_of(file), FileAttributeTagInfo, &tag, sizeof tag) != 0 &&
              (tag.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
              ::GetFileInformationByHandleEx(handle_of(file), FileStandardInfo, &standard, sizeof standard) != 0 &&
              standard.NumberOfLinks == 1,
          "shortcut_bootstrap", "Windows bootstrap must be an ordinary single-link file");
  std::string header(kMaxBootstrapRead, '\0');
  DWORD got = 0;
  require(::ReadFile(handle_of(file), header.data(), static_cast<DWORD>(header.size()), &got, nullptr) != 0 && got >= 64,
          "shortcut_bootstrap", "Cannot inspect Windows bootstrap image");
  header.resize(got);
  require_windowed_bootstrap_image(header);
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

std::string checked_launcher_entry_path(const fs::path& path) {
  require_shortcut_text(utf8_generic_path(path), kMaxPathBytes);
  ws::require_local_storage(path);
  require(path.has_root_name() && path.has_root_directory() && path == path.lexically_normal() &&
              path.has_filename() && path != path.root_path(),
          "shortcut_path", "Windows shortcut paths must be absolute and normalized");
  (void)ws::destination_identity(path.parent_path(), true);
  return utf8_path(path);
}

bool inside_launcher_payload(const fs::path& path) {
  for (fs::path dir = path.parent_path(); dir.has_relative_path(); dir = dir.parent_path()) {
    const std::wstring name = dir.filename().native();
    if ((same_ignoring_case(name, L"versions") || same_ignoring_case(name, L"staging")) &&
        same_ignoring_case(dir.parent_path().filename().native(), L"launcher")) {
      return true;
    }
  }
  return false;
}

LauncherEntryFields prepare_launcher_entry(const DesktopShortcut& shortcut) {
  LauncherEntryFields fields;
  fields.target = checked_launcher_entry_path(shortcut.bootstrap);
  fields.data_root = checked_launcher_entry_path(shortcut.data_root);
  const fs::path icon = native_path(fields.data_root) / "native" / "brand.ico";
  fields.icon = path_kind(icon) == PathKind::file ? utf8_path(icon) : fields.target;
  require_shortcut_text(shortcut.name, kMaxNameBytes);
  if (!shortcut.game_id.empty()) check_identifier(shortcut.game_id);
  require(!inside_launcher_payload(shortcut.bootstrap), "shortcut_bootstrap",
          "Windows shortcuts require the stable bootstrap outside staged or versioned launchers");
  require(utf16_length(fields.target) < kMaxTargetUnits, "shortcut_path",
          "Windows Shell Link target exceeds the native path bound");
  (void)ws::destination_identity(shortcut.data_root, true);
  fields.working_directory = utf8_path(native_path(fields.target).parent_path());
  fields.description = shortcut.name;
  fields.arguments = {"--data-dir", fields.data_root, "--gui"};
  if (!shortcut.game_id.empty()) {
    fields.arguments.push_back("--game");
    fields.arguments.push_back(shortcut.game_id);
  }
  require(argument_line(fields.arguments).size() < kMaxArgumentUnits, "shortcut_text",
          "Windows shortcut arguments exceed their bound");
  return fields;
}

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

std::string launcher_entry_image(const DesktopShortcut& shortcut) {
  const LauncherEntryFields fields = prepare_launcher_entry(shortcut);
  const fs::path target = native_path(fields.target);
  std::string image;
  // The bootstrap's folder stays pinned and the file held read-only while the link is built.
  ws::with_directory_chain(target.parent_path(), [&](const ws::DirectoryChain&) {
    const unique_fd file = win32::owned_handle(::CreateFileW(win32::long_form(target).c_str(), GENERIC_READ,
                                                             FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                             FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    require_windowed_bootstrap(file);
    image = serialize_launcher_entry(fields);
  });
  return image;
}

void create_launcher_entry(const DesktopShortcut& shortcut, const fs::path& destination, std::string* image) {
  const LauncherEntryFields fields = prepare_launcher_entry(shortcut);
  const fs::path checked = native_path(checked_launcher_entry_path(destination));
  require(same_ignoring_case(checked.extension().native(), L".lnk"), "shortcut_path",
          "Windows shortcut destination must end in .lnk");
  const std::string parent = ws::destination_identity(checked.parent_path(), true);
  const std::string data = ws::destination_identity(native_path(fields.data_root), true);
  const bool inside = parent == data || parent.rfind(data + "\\", 0) == 0;
  require(!inside && !inside_launcher_payload(checked), "shortcut_path",
          "Windows shortcuts must be outside application data and managed launcher payloads");
  ws::with_directory_chain(checked.parent_path(), [&](const ws::DirectoryChain&) {
    require(path_kind(checked) == PathKind::missing, "already_exists",
            "Windows shortcut destination already exists; it was preserved");
    const std::string bytes = launcher_entry_image(shortcut);
    create_owned_file(checked, bytes);
    if (image != nullptr) *image = bytes;
  });
}

void remove_launcher_file(const fs::path& path) {
  const fs::path normal = win32::lexical_absolute(path);
  const std::string message = "Cannot remove " + utf8_generic_path(normal);
  require(normal.has_filename(), "file_remove", message);
  ws::with_directory_chain(normal.parent_path(), [&](const ws::DirectoryChain&) {
    if (::DeleteFileW(win32::long_form(normal).c_str()) != 0) return;
    const DWORD error = ::GetLastError();
    require(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND, "file_remove", message);
  });
}

}  // namespace tovra
