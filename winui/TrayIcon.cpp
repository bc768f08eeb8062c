#include "winui/TrayIcon.h"

#include <algorithm>

#include "winui/WinControls.h"

namespace tlm {

namespace {

constexpr wchar_t TrayClass[] = L"TLMRemoteTray";
constexpr UINT WmTray = WM_APP + 40;

// Copies AText into a fixed field of the shell's structure, cut to fit with its terminator.
template <size_t N>
void CopyField(wchar_t (&AField)[N], const std::wstring& AText) {
  const size_t n = std::min(AText.size(), N - 1);
  std::copy_n(AText.data(), n, AField);
  AField[n] = L'\0';
}

}  // namespace

TWinTrayIcon::TWinTrayIcon() {
  RegisterWindowClass(TrayClass, StaticProc, nullptr);
  // Never shown and never in the task bar, but a top-level window: a message-only one would not
  // hear the shell's "TaskbarCreated" after Explorer restarts.
  FWnd = ::CreateWindowExW(WS_EX_TOOLWINDOW, TrayClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                           ::GetModuleHandleW(nullptr), nullptr);
  if (FWnd) ::SetWindowLongPtrW(FWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

TWinTrayIcon::~TWinTrayIcon() {
  if (FShown) {
    NOTIFYICONDATAW data = Data(0);
    ::Shell_NotifyIconW(NIM_DELETE, &data);
  }
  if (FWnd) {
    ::SetWindowLongPtrW(FWnd, GWLP_USERDATA, 0);
    ::DestroyWindow(FWnd);
  }
}

bool TWinTrayIcon::Available() { return ::FindWindowW(L"Shell_TrayWnd", nullptr) != nullptr; }

UINT TWinTrayIcon::TaskbarCreatedMessage() {
  static const UINT message = ::RegisterWindowMessageW(L"TaskbarCreated");
  return message;
}

NOTIFYICONDATAW TWinTrayIcon::Data(UINT AFlags) const {
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof data;
  data.hWnd = FWnd;
  data.uID = IconId;
  data.uFlags = AFlags;
  return data;
}

bool TWinTrayIcon::Show() {
  if (FShown || !FWnd) return FShown;
  NOTIFYICONDATAW data = Data(NIF_ICON | NIF_TIP | NIF_MESSAGE);
  data.uCallbackMessage = WmTray;
  data.hIcon = ProgramIcon(true);
  if (!data.hIcon) data.hIcon = ::LoadIconW(nullptr, IDI_APPLICATION);  // a build without resources
  CopyField(data.szTip, FTip);
  FShown = ::Shell_NotifyIconW(NIM_ADD, &data) != FALSE;
  return FShown;
}

void TWinTrayIcon::SetToolTip(const std::string& AText) {
  FTip = W(AText);
  if (!FShown) return;
  NOTIFYICONDATAW data = Data(NIF_TIP);
  CopyField(data.szTip, FTip);
  ::Shell_NotifyIconW(NIM_MODIFY, &data);
}

void TWinTrayIcon::Notify(const std::string& ATitle, const std::string& AText) {
  if (!FShown) return;
  NOTIFYICONDATAW data = Data(NIF_INFO);
  CopyField(data.szInfoTitle, W(ATitle));
  CopyField(data.szInfo, W(AText));
  data.dwInfoFlags = NIIF_INFO;
  ::Shell_NotifyIconW(NIM_MODIFY, &data);
}

void TWinTrayIcon::Choose(UINT AItem) {
  if (AItem == MenuOpen && OnOpen) OnOpen();
  if (AItem == MenuQuit && OnQuit) OnQuit();
}

void TWinTrayIcon::ShowMenu() {
  HMENU menu = ::CreatePopupMenu();
  ::AppendMenuW(menu, MF_STRING, MenuOpen, L"열기");
  ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  ::AppendMenuW(menu, MF_STRING, MenuQuit, L"종료");
  ::SetMenuDefaultItem(menu, MenuOpen, FALSE);
  POINT at{};
  ::GetCursorPos(&at);
  // The shell's rule for tray menus: the owner in front, or the menu never closes by a click
  // elsewhere.
  ::SetForegroundWindow(FWnd);
  const UINT item = UINT(::TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, at.x, at.y, 0, FWnd, nullptr));
  ::PostMessageW(FWnd, WM_NULL, 0, 0);
  ::DestroyMenu(menu);
  Choose(item);
}

LRESULT CALLBACK TWinTrayIcon::StaticProc(HWND AWnd, UINT AMsg, WPARAM AW, LPARAM AL) {
  TWinTrayIcon* self = WindowObject<TWinTrayIcon>(AWnd);
  if (self && AMsg == TaskbarCreatedMessage() && self->FShown) {
    // A new shell has no icons: the one it had is put back.
    self->FShown = false;
    self->Show();
    return 0;
  }
  if (self && AMsg == WmTray) {
    switch (LOWORD(AL)) {
      case WM_LBUTTONUP:
      case WM_LBUTTONDBLCLK: self->Choose(MenuOpen); break;
      case WM_RBUTTONUP:
      case WM_CONTEXTMENU: self->ShowMenu(); break;
      default: break;
    }
    return 0;
  }
  return ::DefWindowProcW(AWnd, AMsg, AW, AL);
}

}  // namespace tlm
