// TWinTrayIcon: the program's icon in the taskbar's notification area. A click on it opens the
// main window ("열기"); its menu has "열기" and "종료". The tooltip says the ID and the host's
// state.
//
// User-interface thread only; it shows nothing until Show. Its own hidden window receives the
// shell's notifications, and the icon goes with the object.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <functional>
#include <string>

namespace tlm {

class TWinTrayIcon {
public:
  TWinTrayIcon();
  ~TWinTrayIcon();
  TWinTrayIcon(const TWinTrayIcon&) = delete;
  TWinTrayIcon& operator=(const TWinTrayIcon&) = delete;

  // The desktop has a notification area (the shell's taskbar runs).
  static bool Available();
  // What the shell sends every top-level window when its taskbar starts again.
  static UINT TaskbarCreatedMessage();
  // True once the shell took the icon.
  bool Show();
  bool Shown() const { return FShown; }
  void SetToolTip(const std::string& AText);
  // A short notice beside the icon.
  void Notify(const std::string& ATitle, const std::string& AText);

  std::function<void()> OnOpen;
  std::function<void()> OnQuit;

  // What the icon's click and menu do, for tests as for the shell.
  enum : UINT { MenuOpen = 1, MenuQuit = 2 };
  static constexpr UINT IconId = 1;  // the icon's number for the shell
  void Choose(UINT AItem);
  HWND Handle() const { return FWnd; }

private:
  static LRESULT CALLBACK StaticProc(HWND AWnd, UINT AMsg, WPARAM AW, LPARAM AL);
  void ShowMenu();
  NOTIFYICONDATAW Data(UINT AFlags) const;

  HWND FWnd = nullptr;
  bool FShown = false;
  std::wstring FTip = L"TALMIR Remote";
};

}  // namespace tlm
