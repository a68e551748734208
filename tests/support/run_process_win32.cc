#include <windows.h>

#include <cwchar>
#include <cwctype>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "platform/win32/shell_link.h"
#include "platform/win32/win32_support.h"
#include "support/run_process.h"

namespace tovra::testing {
namespace {

std::wstring wide(const std::string& text) {
  bool ok = false;
  std::wstring result = win32::widen(text, &ok);
  if (!ok) throw std::runtime_error("not UTF-8: " + text);
  return result;
}

// The inherited environment with `overrides` put in place of variables of the same name, in the
// order of upper-cased names that Windows keeps.
std::wstring environment_block(const std::vector<std::string>& overrides) {
  std::map<std::wstring, std::wstring> entries;
  const auto put = [&](const std::wstring& entry) {
    std::wstring name = entry.substr(0, entry.find(L'=', 1));
    for (wchar_t& unit : name) unit = static_cast<wchar_t>(::towupper(unit));
    entries[name] = entry;
  };
  if (wchar_t* inherited = ::GetEnvironmentStringsW()) {
    for (const wchar_t* entry = inherited; *entry != L'\0'; entry += std::wcslen(entry) + 1) put(entry);
    ::FreeEnvironmentStringsW(inherited);
  }
  for (const std::string& entry : overrides) put(wide(entry));
  std::wstring block;
  for (const auto& [name, entry] : entries) block += entry + L'\0';
  return block + L'\0';
}

struct Handle {
  HANDLE value = nullptr;
  ~Handle() { reset(); }
  void reset() {
    if (value != nullptr && value != INVALID_HANDLE_VALUE) ::CloseHandle(value);
    value = nullptr;
  }
};

}  // namespace

ProcessResult run_process(const std::string& program, const std::vector<std::string>& arguments,
                          const std::vector<std::string>& environment, const std::optional<SignalWhen>& signal_when) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  Handle out_read, out_write, err_read, err_write, nul;
  if (!::CreatePipe(&out_read.value, &out_write.value, &inheritable, 0) ||
      !::CreatePipe(&err_read.value, &err_write.value, &inheritable, 0))
    throw std::runtime_error("CreatePipe");
  ::SetHandleInformation(out_read.value, HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(err_read.value, HANDLE_FLAG_INHERIT, 0);
  nul.value = ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING, 0, nullptr);

  // Quoted as CommandLineToArgvW splits it back.
  std::wstring line = win32::quote_argument(wide(program));
  for (const std::string& argument : arguments) line += L' ' + win32::quote_argument(wide(argument));
  std::wstring block = environment_block(environment);
  const std::wstring application = wide(program);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nul.value;
  startup.hStdOutput = out_write.value;
  startup.hStdError = err_write.value;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                        block.data(), nullptr, &startup, &process))
    throw std::runtime_error("cannot start " + program);
  Handle process_handle{process.hProcess}, thread_handle{process.hThread};
  out_write.reset();
  err_write.reset();

  ProcessResult result;
  std::mutex guard;
  bool terminated = false;
  const auto drain = [&](HANDLE pipe, std::string& into, bool watch) {
    char buffer[65536];
    DWORD count = 0;
    while (::ReadFile(pipe, buffer, sizeof buffer, &count, nullptr) && count > 0) {
      std::lock_guard lock(guard);
      into.append(buffer, count);
      if (watch && !terminated && into.find(signal_when->text_on_stderr) != std::string::npos) {
        // Windows has no signals; the nearest to any of them is an abrupt end.
        ::TerminateProcess(process.hProcess, 1);
        terminated = true;
      }
    }
  };
  std::thread out_reader(drain, out_read.value, std::ref(result.out), false);
  drain(err_read.value, result.err, signal_when.has_value());
  out_reader.join();
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  if (!terminated && ::GetExitCodeProcess(process.hProcess, &code)) result.exit_code = static_cast<int>(code);
  return result;
}

void set_environment_variable(const std::string& name, const std::string& value) {
  if (!::SetEnvironmentVariableW(wide(name).c_str(), value.empty() ? nullptr : wide(value).c_str()))
    throw std::runtime_error("cannot set " + name);
}

}  // namespace tovra::testing
