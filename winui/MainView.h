// TWinMainView: the native main window as a view of the client core. It shows what the core
// reports (ID, status, log, recent list, session state, the consent question) and turns what
// the user does in the window into the core's verbs; the boxes the user answers (the partner's
// password, the messages) are its own.
//
// Contract: user-interface thread only; created after the core and removed from it (RemoveView)
// before either goes.
#pragma once

#include <memory>
#include <string>

#include "app/ClientApp.h"
#include "winui/ConsentPrompt.h"
#include "winui/MainWindow.h"

namespace tlm {

class TWinMainView final : public IClientView {
public:
  explicit TWinMainView(TClientApp& AApp);
  ~TWinMainView() override;

  TWinClientMain& Window() { return FWindow; }
  bool PreTranslate(MSG& AMsg);
  // The open consent prompt, or null.
  TConsentPrompt* Prompt() const { return FPrompt && FPrompt->Open() ? FPrompt.get() : nullptr; }

  // The prompt counts down the host agent's deadline for the question (60 s); the agent's lapse
  // closes it and is recorded as a time-out. Should that not come, it declines itself a little
  // later.
  static constexpr int ConsentSeconds = 60;
  static constexpr int ConsentGraceSeconds = 3;

  void HostIdChanged(const std::string& AID) override;
  void HostStatusChanged(const std::string& AText) override;
  void LogAdded(const TLogEntry& AEntry) override;
  void ConsentAsked(const TConsentQuestion& AQuestion, const std::string& AText) override;
  void ConsentClosed() override;
  void SessionChanged(bool AInSession) override;
  void RecentChanged() override;
  void ConfigWriteFailed(const std::string& AText) override;

private:
  void ConnectTo(const std::string& AID);
  void SetPassword();
  void ShowHeader();

  TClientApp& FApp;
  TWinClientMain FWindow;
  std::unique_ptr<TConsentPrompt> FPrompt;
};

}  // namespace tlm
