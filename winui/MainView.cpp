#include "winui/MainView.h"

#include "protocol/Credentials.h"
#include "winui/ModalBoxes.h"
#include "winui/WinControls.h"

namespace tlm {

namespace {

constexpr COLORREF InSessionColour = RGB(0xE6, 0xF0, 0xE6);
constexpr COLORREF EndedColour = RGB(0xFB, 0xFA, 0xF5);

}  // namespace

TWinMainView::TWinMainView(TClientApp& AApp) : FApp(AApp) {
  FWindow.SetQuality(IsQualityPreset(FApp.Quality()) ? FApp.Quality() : -1);
  FWindow.SetAutoPassword(FApp.HasPassword());
  RecentChanged();
  FWindow.OnConnect = [this](const std::string& ATyped) { ConnectTo(DigitsOnly(ATyped)); };
  FWindow.OnRecentActivate = [this](int AIndex) {
    if (AIndex >= 0 && size_t(AIndex) < FApp.Recent().size()) ConnectTo(FApp.Recent()[size_t(AIndex)].ID);
  };
  FWindow.OnRecentDelete = [this](int AIndex) {
    if (AIndex >= 0) FApp.RemoveRecent(size_t(AIndex));
  };
  FWindow.OnSetPassword = [this] { SetPassword(); };
  FWindow.OnQualityChange = [this](int AIndex) { FApp.SetQuality(AIndex); };
  FWindow.OnEndSession = [this] { FApp.EndSessionByUser(); };
  FWindow.OnChat = [this](const std::string& AText) { FApp.SendChat(AText); };
  FWindow.OnTimer = [this] { ShowHeader(); };
}

TWinMainView::~TWinMainView() {
  if (FPrompt) FPrompt->Withdraw();
}

bool TWinMainView::PreTranslate(MSG& AMsg) {
  if (FPrompt && FPrompt->Open() && ::IsDialogMessageW(FPrompt->Handle(), &AMsg)) return true;
  return FWindow.PreTranslate(AMsg);
}

void TWinMainView::ShowHeader() { FWindow.SetHeaderState(HostStateText(FApp.HostState())); }

void TWinMainView::ConnectTo(const std::string& AID) {
  if (const ETargetProblem problem = FApp.CheckTarget(AID); problem != ETargetProblem::None) {
    InfoBox(FWindow.Handle(), TargetProblemText(problem));
    return;
  }
  std::string password;
  if (!InputBox(FWindow.Handle(), "무인 접속 비밀번호",
                "상대방이 비밀번호를 설정했다면 입력하세요 (없으면 비워두고 확인 → 상대 동의 필요):", true, password))
    return;
  FApp.Connect(AID, password);
}

void TWinMainView::SetPassword() {
  const EPasswordChange change = FApp.ChangePassword(FWindow.AutoPasswordChecked(), FWindow.PasswordText());
  if (change == EPasswordChange::Set) FWindow.ClearPassword("설정됨 ******");
  if (change == EPasswordChange::Cleared) {
    FWindow.ClearPassword("");
    FWindow.SetAutoPassword(false);
  }
  InfoBox(FWindow.Handle(), PasswordChangeText(change));
}

void TWinMainView::HostIdChanged(const std::string& AID) { FWindow.SetMyID(DisplayID(AID)); }

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
  FPrompt = std::make_unique<TConsentPrompt>(FWindow.Handle(), AText, ConsentSeconds,
                                             [this, ticket](bool AAllow) { FApp.AnswerConsent(ticket, AAllow); },
                                             ConsentGraceSeconds);
}

void TWinMainView::ConsentClosed() {
  if (FPrompt) FPrompt->Withdraw();
}

void TWinMainView::SessionChanged(bool AInSession) {
  FWindow.SetPanelColour(AInSession ? InSessionColour : EndedColour);
  FWindow.ShowSessionControls(AInSession);
  ShowHeader();  // now, not at the next tick
}

void TWinMainView::RecentChanged() {
  std::vector<std::string> lines;
  for (const TRecentItem& item : FApp.Recent())
    lines.push_back(FormatID(item.ID) + (item.Name.empty() ? std::string() : "   " + item.Name));
  FWindow.SetRecent(lines);
}

void TWinMainView::ConfigWriteFailed(const std::string& AText) { ErrorBox(FWindow.Handle(), AText); }

}  // namespace tlm
