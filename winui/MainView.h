// TWinMainView: the native main window as a view of the client core. It shows what the core
// reports (ID and "보안 코드", status, log, recent list, the one-time password, session state and
// who is connected, the consent question) and turns what the user does in the window into the
// core's verbs; the boxes the user answers (the partner's password, the names, the settings
// dialog, the messages) are its own and can be replaced.
//
// Contract: user-interface thread only; created after the core and removed from it (RemoveView)
// before either goes.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/ClientApp.h"
#include "winui/ConsentPrompt.h"
#include "winui/MainWindow.h"
#include "winui/Autostart.h"
#include "winui/TrayIcon.h"

namespace tlm {

// The boxes the main window asks with, replaceable so that tests never block.
struct TWinMainBoxes {
  std::function<void(HWND AOwner, const std::string& AText)> Info;
  std::function<void(HWND AOwner, const std::string& AText)> Error;
  // The partner's password (masked) with "비밀번호 기억"; false when cancelled.
  std::function<bool(HWND AOwner, std::string& APassword, bool& ARemember)> PartnerPassword;
  // One line of text, AText in and out; false when cancelled.
  std::function<bool(HWND AOwner, const std::string& ATitle, const std::string& APrompt, std::string& AText)> Text;
  // The settings dialog; false when cancelled. ASettings and AAutostart ("시작할 때 자동 실행") in
  // and out.
  std::function<bool(HWND AOwner, TClientSettings& ASettings, bool& AAutostart, const TSettingsOverrides& AEnv)>
      Settings;
  // A yes-or-no question; true for yes.
  std::function<bool(HWND AOwner, const std::string& AText)> Question;
  // Whether the desktop has a notification area for the tray icon.
  std::function<bool()> TrayAvailable;
  static TWinMainBoxes Standard();
};

class TWinMainView final : public IClientView {
public:
  explicit TWinMainView(TClientApp& AApp, TWinMainBoxes ABoxes = TWinMainBoxes::Standard());
  ~TWinMainView() override;

  TWinClientMain& Window() { return FWindow; }
  TWinTrayIcon& Tray() { return FTray; }
  // The program is to end (the tray's "종료", or closing the window where that ends it).
  std::function<void()> OnQuit;
  bool PreTranslate(MSG& AMsg);
  // The open consent prompt, or null.
  TConsentPrompt* Prompt() const { return FPrompt && FPrompt->Open() ? FPrompt.get() : nullptr; }

  // The prompt counts down the host agent's deadline for the question (60 s); the agent's lapse
  // closes it and is recorded as a time-out. Should that not come, it declines itself a little
  // later.
  static constexpr int ConsentSeconds = 60;
  static constexpr int ConsentGraceSeconds = 3;

  // What the window's buttons and its timer do, for tests as for the window.
  void OpenSettings();
  // Where "시작할 때 자동 실행" lives (the user's Run key, for this program by default).
  void SetAutostart(TWinAutostart AAutostart) { FAutostart = std::move(AAutostart); }
  void RenameRecent(int AIndex);
  void ActivateRecent(int AIndex);
  void Refresh();  // the header and the session line, every 1.5 s
  // The user closed the window: to the tray, or the end, as the close rule says (asking first
  // where it says so).
  void CloseRequested();

  void HostIdChanged(const std::string& AID) override;
  void HostStatusChanged(const std::string& AText) override;
  void LogAdded(const TLogEntry& AEntry) override;
  void ConsentAsked(const TConsentQuestion& AQuestion, const std::string& AText) override;
  void ConsentClosed() override;
  void SessionChanged(bool AInSession) override;
  void SessionSecurityChanged(const std::string& AText) override;
  void RecentChanged() override;
  void ConfigWriteFailed(const std::string& AText) override;
  void OneTimePasswordChanged(const std::string& AText) override;

private:
  void ConnectTo(const std::string& AID);
  void SetPassword();
  void ShowSecurityCode();

  TClientApp& FApp;
  TWinMainBoxes FBoxes;
  TWinClientMain FWindow;
  std::unique_ptr<TConsentPrompt> FPrompt;
  bool FInSession = false;  // as SessionChanged last said
  TWinTrayIcon FTray;
  TWinAutostart FAutostart{TWinAutostart::ThisProgram()};
  bool FToldAboutTray = false;
};

}  // namespace tlm
