#include "winui/SingleInstance.h"

#include <cstdint>

#include "winui/WinControls.h"

namespace tlm {

namespace {

const wchar_t* const ClassName = L"TLMRemoteInstance";
constexpr UINT WmActivate = WM_APP + 20;

// FNV-1a of the folder, case folded: a name of fixed length whatever the path holds.
std::wstring NameFor(const std::string& AFolder) {
  std::wstring folder = W(AFolder);
  while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
  if (!folder.empty()) ::CharUpperBuffW(folder.data(), DWORD(folder.size()));
  uint64_t hash = 1469598103934665603ull;
  for (wchar_t c : folder) {
    hash ^= uint64_t(c == L'/' ? L'\\' : c);
    hash *= 1099511628211ull;
  }
  wchar_t text[40];
  swprintf(text, 40, L"TLMRemoteClient-%016llx", static_cast<unsigned long long>(hash));
  return text;
}

}  // namespace

TSingleInstance::TSingleInstance(const std::string& AFolder) : FName(NameFor(AFolder)) {}

TSingleInstance::~TSingleInstance() {
  if (FWnd) {
    ::SetWindowLongPtrW(FWnd, GWLP_USERDATA, 0);
    ::DestroyWindow(FWnd);
  }
  if (FMutex) ::CloseHandle(FMutex);
}

bool TSingleInstance::Acquire() {
  const std::wstring mutexName = L"Local\\" + FName;
  FMutex = ::CreateMutexW(nullptr, TRUE, mutexName.c_str());
  if (FMutex && ::GetLastError() == ERROR_ALREADY_EXISTS) {
    ::CloseHandle(FMutex);
    FMutex = nullptr;
    // The running copy may take the foreground: it is the one the user started again.
    if (HWND other = ::FindWindowExW(HWND_MESSAGE, nullptr, ClassName, FName.c_str())) {
      DWORD process = 0;
      ::GetWindowThreadProcessId(other, &process);
      ::AllowSetForegroundWindow(process);
      ::PostMessageW(other, WmActivate, 0, 0);
    }
    return false;
  }
  RegisterWindowClass(ClassName, &TSingleInstance::WndProc, nullptr, nullptr);
  FWnd = ::CreateWindowExW(0, ClassName, FName.c_str(), 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           ::GetModuleHandleW(nullptr), nullptr);
  ::SetWindowLongPtrW(FWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  return true;
}

LRESULT CALLBACK TSingleInstance::WndProc(HWND AWnd, UINT AMsg, WPARAM AW, LPARAM AL) {
  if (AMsg == WmActivate) {
    if (auto* self = WindowObject<TSingleInstance>(AWnd); self && self->OnActivate) self->OnActivate();
    return 0;
  }
  return ::DefWindowProcW(AWnd, AMsg, AW, AL);
}

}  // namespace tlm
