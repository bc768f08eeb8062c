#include "winui/Autostart.h"

#include <windows.h>

#include "protocol/Error.h"
#include "protocol/WinText.h"

namespace tlm {

namespace {

std::string Reason(LSTATUS AStatus) { return SystemErrorText(DWORD(AStatus)); }

}  // namespace

std::string TWinAutostart::ThisProgram() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
    if (n < path.size()) {
      path.resize(n);
      return Utf8FromWide(path);
    }
    path.resize(path.size() * 2);  // a long path: try a larger buffer
  }
}

bool TWinAutostart::Enabled() const {
  DWORD size = 0;
  return ::RegGetValueW(HKEY_CURRENT_USER, RunKey, ValueName, RRF_RT_REG_SZ, nullptr, nullptr, &size) == ERROR_SUCCESS;
}

void TWinAutostart::Enable() {
  HKEY key = nullptr;
  LSTATUS status = ::RegCreateKeyExW(HKEY_CURRENT_USER, RunKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) throw TError(Reason(status));
  const std::wstring command = WideFromUtf8(Command());
  status = ::RegSetValueExW(key, ValueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                            DWORD((command.size() + 1) * sizeof(wchar_t)));
  ::RegCloseKey(key);
  if (status != ERROR_SUCCESS) throw TError(Reason(status));
}

void TWinAutostart::Disable() {
  const LSTATUS status = ::RegDeleteKeyValueW(HKEY_CURRENT_USER, RunKey, ValueName);
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
    throw TError(Reason(status));
}

}  // namespace tlm
