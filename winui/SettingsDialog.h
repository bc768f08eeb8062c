// TWinSettingsDialog: the "설정" dialog of the native windows. It shows the settings it is given
// (the name partners see, the relay address, TLS and its certificate file, and whether the
// program starts at login: "시작할 때 자동 실행"), checks them with
// CheckClientSettings on "확인" and stays open with the reason while they do not hold. Fields
// the environment overrides show the environment's value with a note and cannot be changed
// here; what is stored for them stays as it was. A view: the caller stores what Settings()
// answers.
//
// Contract: user-interface thread only. The window is made hidden by the constructor; Run
// shows it and waits (a loop of its own) until it is answered. Tests drive its controls and
// TryAccept without Run.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "app/ClientSettings.h"

namespace tlm {

class TWinSettingsDialog {
public:
  TWinSettingsDialog(HWND AOwner, const TClientSettings& ACurrent, const TSettingsOverrides& AOverrides,
                     bool AAutostart = false);
  ~TWinSettingsDialog();
  TWinSettingsDialog(const TWinSettingsDialog&) = delete;
  TWinSettingsDialog& operator=(const TWinSettingsDialog&) = delete;

  // True when "확인" was accepted; Settings() then holds the checked values.
  bool Run();
  // "확인": true when the values hold (the dialog is then done), else the reason shows.
  bool TryAccept();
  const TClientSettings& Settings() const { return FSettings; }
  bool Autostart() const { return FAutostart; }
  HWND AutostartBox() const { return chkAutostart; }
  bool Accepted() const { return FAccepted; }

  HWND Handle() const { return FWnd; }
  HWND NameEdit() const { return edtName; }
  HWND RelayEdit() const { return edtRelay; }
  HWND TlsBox() const { return chkTls; }
  HWND CaEdit() const { return edtCa; }
  HWND BrowseButton() const { return btnBrowse; }
  std::string ErrorText() const;  // "" while no reason shows

  // The standard use: the dialog over AOwner; ASettings in, and out when accepted.
  static bool Edit(HWND AOwner, TClientSettings& ASettings, bool& AAutostart, const TSettingsOverrides& AOverrides);

private:
  static LRESULT CALLBACK WndProc(HWND AWnd, UINT AMsg, WPARAM AW, LPARAM AL);
  LRESULT OnMessage(UINT AMsg, WPARAM AW, LPARAM AL);
  void FollowTls();
  void Browse();

  HWND FOwner = nullptr;
  TClientSettings FSettings;
  const TSettingsOverrides FOverrides;
  bool FDone = false;
  bool FAccepted = false;
  HWND FWnd = nullptr;
  HWND edtName = nullptr, edtRelay = nullptr, chkTls = nullptr, edtCa = nullptr, btnBrowse = nullptr;
  HWND lblError = nullptr;
  HWND chkAutostart = nullptr;
  bool FAutostart = false;
  std::vector<HWND> FNotes;
};

}  // namespace tlm
