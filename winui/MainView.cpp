#include "winui/MainView.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "app/CloseRule.h"
#include "protocol/Credentials.h"
#include "protocol/SecurePins.h"
#include "winui/ModalBoxes.h"
#include "winui/SettingsDialog.h"
#include "winui/WinControls.h"

namespace tlm {

namespace {

constexpr COLORREF InSessionColour = RGB(0xE6, 0xF0, 0xE6);
constexpr COLORREF EndedColour = RGB(0xFB, 0xFA, 0xF5);

int64_t SteadyNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

TWinMainBoxes TWinMainBoxes::Standard() {
  TWinMainBoxes b;
  b.Info = [](HWND AOwner, const std::string& AText) { InfoBox(AOwner, AText); };
  b.Error = [](HWND AOwner, const std::string& AText) { ErrorBox(AOwner, AText); };
  b.PartnerPassword = [](HWND AOwner, std::string& APassword, bool& ARemember) {
    bool remember = false;
    if (!InputBox(AOwner, "무인 접속 비밀번호",
                  "상대방이 비밀번호를 설정했다면 입력하세요 (없으면 비워두고 확인 → 상대 동의 필요):", true, APassword,
                  "비밀번호 기억 (최근 접속에서 다시 묻지 않음)", &remember))
      return false;
    ARemember = remember && !TrimControl(APassword).empty();
    return true;
  };
  b.Text = [](HWND AOwner, const std::string& ATitle, const std::string& APrompt, std::string& AText) {
    return InputBox(AOwner, ATitle, APrompt, false, AText);
  };
  b.Settings = [](HWND AOwner, TClientSettings& ASettings, bool& AAutostart, const TSettingsOverrides& AEnv) {
    return TWinSettingsDialog::Edit(AOwner, ASettings, AAutostart, AEnv);
  };
  b.Question = [](HWND AOwner, const std::string& AText) { return QuestionBox(AOwner, AText); };
  b.TrayAvailable = [] { return TWinTrayIcon::Available(); };
  return b;
}

TWinMainView::TWinMainView(TClientApp& AApp, TWinMainBoxes ABoxes) : FApp(AApp), FBoxes(std::move(ABoxes)) {
  FWindow.SetQuality(IsQualityPreset(FApp.Quality()) ? FApp.Quality() : -1);
  FWindow.SetAutoPassword(FApp.HasPassword());
  // The password itself is never shown, but that one is set is.
  if (FApp.HasPassword()) FWindow.ClearPassword("설정됨 ******");
  RecentChanged();
  HostIdChanged(FApp.MyID());
  FWindow.SetOneTimePassword(FApp.OneTimePassword());
  ShowSecurityCode();
  FWindow.OnConnect = [this](const std::string& ATyped) { ConnectTo(DigitsOnly(ATyped)); };
  FWindow.OnRecentActivate = [this](int AIndex) { ActivateRecent(AIndex); };
  FWindow.OnRecentDelete = [this](int AIndex) {
    if (AIndex >= 0) FApp.RemoveRecent(size_t(AIndex));
  };
  FWindow.OnRecentRename = [this](int AIndex) { RenameRecent(AIndex); };
  FWindow.OnSetPassword = [this] { SetPassword(); };
  FWindow.OnQualityChange = [this](int AIndex) { FApp.SetQuality(AIndex); };
  FWindow.OnEndSession = [this] { FApp.EndSessionByUser(); };
  FWindow.OnChat = [this](const std::string& AText) { FApp.SendChat(AText); };
  FWindow.OnRenewOtp = [this] { FApp.RenewOneTimePassword(); };
  FWindow.OnBlockInput = [this](bool ABlocked) {
    FApp.SetViewerInputBlocked(ABlocked);
    FWindow.SetBlockInput(FApp.ViewerInputBlocked());  // outside a session nothing is blocked
  };
  FWindow.OnSettings = [this] { OpenSettings(); };
  FWindow.OnTimer = [this] { Refresh(); };
  FWindow.OnClose = [this] { CloseRequested(); };
  FTray.OnOpen = [this] { FWindow.BringToFront(); };
  FTray.OnQuit = [this] {
    if (OnQuit) OnQuit();
  };
  if (FBoxes.TrayAvailable && FBoxes.TrayAvailable()) FTray.Show();
}

void TWinMainView::CloseRequested() {
  // Whatever viewer windows are still open, the main window decides whether the program ends.
  const bool tray = FBoxes.TrayAvailable && FBoxes.TrayAvailable() && (FTray.Shown() || FTray.Show());
  ECloseChoice choice = CloseChoice(tray, FApp.HasPassword(), FApp.KeepRunningOnClose());
  if (choice == ECloseChoice::AskToTray) {
    const bool keep = FBoxes.Question && FBoxes.Question(FWindow.Handle(), KeepRunningQuestion());
    FApp.SetKeepRunningOnClose(keep);
    choice = keep ? ECloseChoice::ToTray : ECloseChoice::Quit;
  } else if (choice == ECloseChoice::AskToQuit) {
    if (!FBoxes.Question || !FBoxes.Question(FWindow.Handle(), QuitUnattendedQuestion())) return;
    choice = ECloseChoice::Quit;
  }
  if (choice == ECloseChoice::ToTray) {
    FWindow.Hide();
    if (!FToldAboutTray) {
      FToldAboutTray = true;
      FTray.Notify("TALMIR Remote", InTrayNotice());
    }
    return;
  }
  if (OnQuit) OnQuit();
}

TWinMainView::~TWinMainView() {
  if (FPrompt) FPrompt->Withdraw();
}

bool TWinMainView::PreTranslate(MSG& AMsg) {
  if (FPrompt && FPrompt->Open() && ::IsDialogMessageW(FPrompt->Handle(), &AMsg)) return true;
  return FWindow.PreTranslate(AMsg);
}

void TWinMainView::Refresh() {
  FWindow.SetHeaderState(HostStateText(FApp.HostState()));
  // As the core reported the session: the agent may be in one before its start reached the core.
  if (!FInSession) {
    FWindow.SetSessionLine("");
    return;
  }
  const int64_t seconds = std::max<int64_t>(0, (SteadyNowMs() - FApp.SessionStartedMs()) / 1000);
  char clock[32];
  std::snprintf(clock, sizeof clock, "%02lld:%02lld", static_cast<long long>(seconds / 60),
                static_cast<long long>(seconds % 60));
  FWindow.SetSessionLine((FApp.ViewerName().empty() ? std::string("상담원") : FApp.ViewerName()) + " · " + clock);
  FWindow.SetBlockInput(FApp.ViewerInputBlocked());
}

void TWinMainView::ConnectTo(const std::string& AID) {
  if (const ETargetProblem problem = FApp.CheckTarget(AID); problem != ETargetProblem::None) {
    if (FBoxes.Info) FBoxes.Info(FWindow.Handle(), TargetProblemText(problem));
    return;
  }
  std::string password;
  bool remember = false;
  if (!FBoxes.PartnerPassword || !FBoxes.PartnerPassword(FWindow.Handle(), password, remember)) return;
  FApp.Connect(AID, password, remember);
}

void TWinMainView::ActivateRecent(int AIndex) {
  if (AIndex < 0 || size_t(AIndex) >= FApp.Recent().size()) return;
  // By value: connecting rebuilds the list.
  const std::string id = FApp.Recent()[size_t(AIndex)].ID;
  // A proof the user asked to keep connects at once; otherwise the password is asked for.
  if (!FApp.ConnectRemembered(id)) ConnectTo(id);
}

void TWinMainView::RenameRecent(int AIndex) {
  if (AIndex < 0 || size_t(AIndex) >= FApp.Recent().size() || !FBoxes.Text) return;
  std::string name = FApp.Recent()[size_t(AIndex)].Name;
  if (!FBoxes.Text(FWindow.Handle(), "이름 붙이기", "이 접속 ID에 붙일 이름 (예: 회계팀 김 과장):", name)) return;
  FApp.RenameRecent(size_t(AIndex), name);
}

void TWinMainView::OpenSettings() {
  if (!FBoxes.Settings) return;
  TClientSettings settings = FApp.Settings();
  const bool wasAutostart = FAutostart.Enabled();
  bool autostart = wasAutostart;
  if (!FBoxes.Settings(FWindow.Handle(), settings, autostart, FApp.Overrides())) return;
  FApp.ChangeSettings(settings);
  if (autostart == wasAutostart) return;
  try {
    if (autostart)
      FAutostart.Enable();
    else
      FAutostart.Disable();
  } catch (const std::exception& e) {
    if (FBoxes.Error) FBoxes.Error(FWindow.Handle(), std::string("자동 실행을 바꿀 수 없습니다: ") + e.what());
  }
}

void TWinMainView::SetPassword() {
  const EPasswordChange change = FApp.ChangePassword(FWindow.AutoPasswordChecked(), FWindow.PasswordText());
  if (change == EPasswordChange::Set) FWindow.ClearPassword("설정됨 ******");
  if (change == EPasswordChange::Cleared) {
    FWindow.ClearPassword("");
    FWindow.SetAutoPassword(false);
  }
  if (FBoxes.Info) FBoxes.Info(FWindow.Handle(), PasswordChangeText(change));
}

void TWinMainView::ShowSecurityCode() {
  // Where the build or the key file has none, the line stays hidden.
  FWindow.SetSecurityLine(FApp.SecurityCode().empty() ? std::string() : "보안 코드 " + FApp.SecurityCode(), false);
}

void TWinMainView::HostIdChanged(const std::string& AID) {
  FWindow.SetMyID(DisplayID(AID));
  FTray.SetToolTip("TALMIR Remote - " + DisplayID(AID));
}

void TWinMainView::HostStatusChanged(const std::string& AText) { FWindow.SetStatus(AText); }

void TWinMainView::LogAdded(const TLogEntry& AEntry) {
  if (AEntry.Repeats > 0)
    FWindow.ReplaceLastLogLine(AEntry.Line());
  else
    FWindow.AppendLogLine(AEntry.Line());
}

void TWinMainView::ConsentAsked(const TConsentQuestion& AQuestion, const std::string& AText) {
  FWindow.BringToFront();
  if (FPrompt) FPrompt->Withdraw();
  const uint64_t ticket = AQuestion.Ticket;
  FPrompt = std::make_unique<TConsentPrompt>(
      FWindow.Handle(), AText, ConsentSeconds,
      [this, ticket](bool AAllow, bool AViewOnly) { FApp.AnswerConsent(ticket, AAllow, AViewOnly); },
      ConsentGraceSeconds);
}

void TWinMainView::ConsentClosed() {
  if (FPrompt) FPrompt->Withdraw();
}

void TWinMainView::SessionChanged(bool AInSession) {
  FInSession = AInSession;
  if (!AInSession) ShowSecurityCode();
  FWindow.SetPanelColour(AInSession ? InSessionColour : EndedColour);
  FWindow.ShowSessionControls(AInSession);
  Refresh();  // now, not at the next tick
}

void TWinMainView::SessionSecurityChanged(const std::string& AText) {
  FWindow.SetSecurityLine(AText, AText == PlainConnectionText);
}

void TWinMainView::RecentChanged() {
  std::vector<std::string> lines;
  for (const TRecentItem& item : FApp.Recent())
    lines.push_back(FormatID(item.ID) + (item.Name.empty() ? std::string() : "   " + item.Name));
  FWindow.SetRecent(lines);
}

void TWinMainView::ConfigWriteFailed(const std::string& AText) {
  if (FBoxes.Error) FBoxes.Error(FWindow.Handle(), AText);
}

void TWinMainView::OneTimePasswordChanged(const std::string& AText) { FWindow.SetOneTimePassword(AText); }

}  // namespace tlm
