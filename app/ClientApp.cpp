#include "app/ClientApp.h"

#include <algorithm>
#include <ctime>
#include <fstream>
#include <thread>

#include "protocol/Credentials.h"

namespace tlm {

namespace {

constexpr size_t MinPasswordChars = 4;
constexpr const char* Ellipsis = "\xE2\x80\xA6";

bool IsContinuation(unsigned char AByte) { return (AByte & 0xC0) == 0x80; }

// Characters as a text box counts them (UTF-16 units: one beyond the basic plane counts twice).
size_t CountChars(const std::string& AText) {
  size_t n = 0;
  for (const char c : AText) {
    const auto b = static_cast<unsigned char>(c);
    if (!IsContinuation(b)) n += b >= 0xF0 ? 2 : 1;
  }
  return n;
}

// The first AMax characters of AText and an ellipsis, or AText when it is no longer. Stops
// after AMax characters, so a megabyte from a peer costs no more than a short line.
std::string CutToChars(const std::string& AText, size_t AMax) {
  size_t chars = 0;
  for (size_t i = 0; i < AText.size(); ++i) {
    const auto b = static_cast<unsigned char>(AText[i]);
    if (IsContinuation(b)) continue;
    chars += b >= 0xF0 ? 2 : 1;
    if (chars > AMax) return AText.substr(0, i) + Ellipsis;
  }
  return AText;
}

std::string LocalClock() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  if (::localtime_s(&local, &now) != 0) return "??:??:??";
#else
  if (!::localtime_r(&now, &local)) return "??:??:??";
#endif
  char text[16] = {};
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

}  // namespace

std::string TargetProblemText(ETargetProblem AProblem) {
  switch (AProblem) {
    case ETargetProblem::Empty: return "접속할 ID를 입력하세요.";
    case ETargetProblem::Self: return "자기 자신에게는 접속할 수 없습니다.";
    case ETargetProblem::None: break;
  }
  return "";
}

std::string PasswordChangeText(EPasswordChange AChange) {
  switch (AChange) {
    case EPasswordChange::TooShort: return "비밀번호는 4자 이상으로 설정하세요.";
    case EPasswordChange::Set: return "무인 접속 비밀번호가 설정되었습니다.";
    case EPasswordChange::Cleared: return "무인 접속 비밀번호가 해제되었습니다. 이제 접속 시 동의 팝업으로 승인합니다.";
  }
  return "";
}

std::string HostStateText(EHostState AState) {
  switch (AState) {
    case EHostState::InSession: return "화면 공유 중";
    case EHostState::Online: return "온라인";
    case EHostState::Offline: break;
  }
  return "오프라인";
}

std::string DisplayID(const std::string& AID) { return AID.empty() ? "--- --- ---" : FormatID(AID); }

std::string TLogEntry::Line() const {
  std::string line = Stamp + ' ' + Text;
  if (Repeats > 0) line += " (" + std::to_string(Repeats + 1) + "회 반복)";
  return line;
}

TClientApp::TClientApp(IUiDispatcher& AUi, TEnvironment AEnv, TClientParts AParts)
    : FUi(AUi), FEnv(std::move(AEnv)), FParts(std::move(AParts)), FConfig(FEnv) {
  FClipFallback = FParts.Services.Clipboard;
  FParts.Services.Clipboard = &FClipRoute;
  FQuality = FConfig.DefaultQuality();
  FRecent = FConfig.GetRecent();
  FRelayTls = TRelayTlsChoice{FEnv.RelayTls || FConfig.RelayTls(), FEnv.RelayTlsCa};
}

TClientApp::~TClientApp() {
  FViews.clear();
  FGuard->Kill();
  // The agent stops and waits for its reader here; what it still reports reaches a core whose
  // members are all alive, and no view.
  FHost.reset();
  FSessionClip.reset();
}

void TClientApp::AddView(IClientView* AView) {
  if (AView && std::find(FViews.begin(), FViews.end(), AView) == FViews.end()) FViews.push_back(AView);
}

void TClientApp::RemoveView(IClientView* AView) { std::erase(FViews, AView); }

template <typename TCall>
void TClientApp::Notify(TCall ACall) {
  // A view may add or remove views (itself too) from inside its call, or run a modal loop in
  // which that happens: each one is looked up again before it is called.
  const std::vector<IClientView*> views = FViews;
  for (IClientView* view : views)
    if (std::find(FViews.begin(), FViews.end(), view) != FViews.end()) ACall(*view);
}

void TClientApp::Start() {
  if (FHost) return;
  std::string deviceKey;
  SaveConfig([&] { deviceKey = FConfig.DeviceKey(); });
  if (deviceKey.empty()) deviceKey = FConfig.DeviceKey();  // not stored, but kept for this run
  // The host agent's channels take the program's default.
  SetDefaultRelayTls(FRelayTls);
  FHost = std::make_unique<THostAgent>(FUi, FEnv.RelayHostOrDefault(), FParts.RelayPort, deviceKey,
                                       FConfig.PasswordHash(), FParts.Services, FParts.Timings);
  FHost->SetQuality(FQuality);
  FHost->OnID = [this](const std::string& AText) { HostID(AText); };
  FHost->OnStatus = [this](const std::string& AText) {
    Notify([&](IClientView& AView) { AView.HostStatusChanged(AText); });
  };
  FHost->OnLog = [this](const std::string& AText) { AddLog(AText); };
  FHost->OnConsent = [this](const TConsentQuestion& AQuestion) { HostConsent(AQuestion); };
  FHost->OnConsentClosed = [this] { Notify([](IClientView& AView) { AView.ConsentClosed(); }); };
  FHost->OnSessionStart = [this](const std::string&) { SetSession(true); };
  FHost->OnSessionEnd = [this] { HostSessionEnd(); };
  FHost->OnChat = [this](const std::string& AText) { HostChat(AText); };
  FHost->OnAdmission = [this](const std::string& AName, const std::string& AIP, EAdmission AHow) {
    HostAdmission(AName, AIP, AHow);
  };
  FHost->Start();
  // Once the event loop runs, after the windows have been shown. The dispatcher runs a post
  // from its own thread at once, so this one is posted from another.
  if (!FEnv.AutoConnect.empty()) {
    std::thread post([this] { PostGuarded(FUi, FGuard, [this] { AutoConnect(); }); });
    post.join();
  }
}

EHostState TClientApp::HostState() const {
  if (!FHost) return EHostState::Offline;
  if (FHost->InSession()) return EHostState::InSession;
  return FHost->Connected() ? EHostState::Online : EHostState::Offline;
}

bool TClientApp::InSession() const { return FHost && FHost->InSession(); }

void TClientApp::SaveConfig(const std::function<void()>& AWrite) {
  try {
    AWrite();
  } catch (const std::exception& e) {
    const std::string text =
        std::string("설정을 저장하지 못했습니다. 이번 실행 동안은 바뀐 값을 그대로 씁니다.\n\n") + e.what();
    Notify([&](IClientView& AView) { AView.ConfigWriteFailed(text); });
  }
}

void TClientApp::RefreshRecent() {
  FRecent = FConfig.GetRecent();
  Notify([](IClientView& AView) { AView.RecentChanged(); });
}

ETargetProblem TClientApp::CheckTarget(const std::string& AID) const {
  if (AID.empty()) return ETargetProblem::Empty;
  if (AID == FMyID) return ETargetProblem::Self;
  return ETargetProblem::None;
}

void TClientApp::Connect(const std::string& AID, const std::string& APassword) {
  if (CheckTarget(AID) != ETargetProblem::None) return;
  // By value: the recent list AID may come from is rebuilt below.
  const std::string target = AID;
  std::string proof;
  const std::string password = TrimControl(APassword);
  if (!password.empty()) proof = MakeSessionProof(target, HashPassword(password));
  const bool known =
      std::any_of(FRecent.begin(), FRecent.end(), [&](const TRecentItem& AItem) { return AItem.ID == target; });
  FNewRecentID = known ? std::string() : target;
  SaveConfig([&] { FConfig.AddRecent(target, ""); });
  RefreshRecent();
  OpenViewer(target, FConfig.MyName(), proof);
}

void TClientApp::OpenViewer(const std::string& ATarget, const std::string& AName, const std::string& AProof) {
  if (!FParts.OpenViewer) return;
  FParts.OpenViewer(TViewerRequest{FEnv.RelayHostOrDefault(), FParts.RelayPort, FRelayTls, ATarget, AName, AProof,
                                   FQuality, FEnv.ResultFile, FEnv.DownloadFolder()});
}

void TClientApp::AutoConnect() {
  // The environment's ID and password are used as they stand: scripts pass exact values.
  const std::string& target = FEnv.AutoConnect;
  std::string proof;
  if (!FEnv.AutoPassword.empty()) proof = MakeSessionProof(target, HashPassword(FEnv.AutoPassword));
  OpenViewer(target, "AutoViewer", proof);
}

void TClientApp::ViewerRefused(const std::string& AID, ERelayRefusal AKind) {
  // An ID the relay does not know is not worth keeping; one that is merely offline now is, and
  // so is any ID that was in the list before this attempt. The relay says both in one text.
  TViewerRefusal refusal{AID, AKind, false};
  if (!AID.empty() && AID == FNewRecentID && AKind == ERelayRefusal::Offline) {
    FNewRecentID.clear();
    refusal.Forgotten = true;
    SaveConfig([&] { FConfig.RemoveRecent(AID); });
    RefreshRecent();
  }
  Notify([&](IClientView& AView) { AView.ViewerRefused(refusal); });
}

void TClientApp::RemoveRecent(size_t AIndex) {
  if (AIndex >= FRecent.size()) return;
  const std::string id = FRecent[AIndex].ID;
  SaveConfig([&] { FConfig.RemoveRecent(id); });
  RefreshRecent();
}

EPasswordChange TClientApp::ChangePassword(bool AAllow, const std::string& ATyped) {
  const std::string password = TrimControl(ATyped);
  if (AAllow && !password.empty()) {
    if (CountChars(password) < MinPasswordChars) return EPasswordChange::TooShort;
    const std::string hash = HashPassword(password);
    SaveConfig([&] { FConfig.SetPasswordHash(hash); });
    if (FHost) FHost->ChangePassword(hash);
    return EPasswordChange::Set;
  }
  SaveConfig([&] { FConfig.SetPasswordHash(""); });
  if (FHost) FHost->ChangePassword("");
  return EPasswordChange::Cleared;
}

void TClientApp::SetQuality(int APreset) {
  FQuality = APreset;
  SaveConfig([&] { FConfig.SetDefaultQuality(APreset); });
}

void TClientApp::SetKeepAspect(bool AKeep) {
  SaveConfig([&] { FConfig.SetKeepAspect(AKeep); });
}

void TClientApp::AnswerConsent(uint64_t ATicket, bool AAllow) {
  // A question that lapsed or was withdrawn meanwhile: the agent ignores the answer.
  if (FHost) FHost->AnswerConsent(ATicket, AAllow);
}

bool TClientApp::SendChat(const std::string& AText) {
  if (TrimControl(AText).empty() || !InSession()) return false;
  // Queued, never waited for: a connection that takes nothing drops the line instead.
  if (!FHost->SendChat(AText)) {
    AddLog("채팅 전송 실패: 보낼 수 없습니다 (연결이 밀려 있거나 끊겼습니다)");
    return false;
  }
  AddLog("[채팅] 나: " + AText);
  return true;
}

void TClientApp::EndSessionByUser() {
  if (FHost) FHost->EndSessionByUser();
  SetSession(false);
}

void TClientApp::AddLog(const std::string& AText) {
  TLogEntry entry{LocalClock(), CutToChars(AText, TLogEntry::MaxLogEntryChars), 0};
  // The same entry again (a relay refusing every few seconds): one line that counts.
  if (FLogStarted && entry.Text == FLastLogText && entry.Text.find('\n') == std::string::npos) {
    entry.Repeats = ++FLogRepeats;
  } else {
    FLastLogText = entry.Text;
    FLogRepeats = 0;
    FLogStarted = true;
  }
  Notify([&](IClientView& AView) { AView.LogAdded(entry); });
  WriteLogFile(entry.Stamp + ' ' + entry.Text);
}

void TClientApp::WriteLogFile(const std::string& ALine) {
  // For unattended runs and scripts. Best effort, like the ID file: a refused write must not
  // disturb the user.
  if (FEnv.LogFile.empty()) return;
  std::ofstream out(FEnv.LogFile, std::ios::binary | std::ios::app);
  if (out) out << ALine << '\n';
}

void TClientApp::HostID(const std::string& AID) {
  FMyID = AID;
  if (!FEnv.IdFile.empty() && !AID.empty()) {
    // Best effort: a missing folder or a refused write must not disturb the user.
    std::ofstream out(FEnv.IdFile, std::ios::binary | std::ios::trunc);
    if (out) out << AID;
  }
  Notify([&](IClientView& AView) { AView.HostIdChanged(AID); });
}

void TClientApp::HostConsent(const TConsentQuestion& AQuestion) {
  std::string why;
  if (AQuestion.Cause == EConsentCause::WrongPassword)
    why = "요청자가 입력한 비밀번호가 맞지 않습니다.\r\n";
  else if (AQuestion.Cause == EConsentCause::JustEnded)
    why = "방금 연결을 끊었으므로 비밀번호가 맞아도 다시 묻습니다.\r\n";
  const std::string text = "원격 지원 접속 요청이 있습니다.\r\n요청자: " + AQuestion.ViewerName + " (" +
                           AQuestion.ViewerIP + ")\r\n" + why + "\r\n이 접속을 허용하시겠습니까?";
  Notify([&](IClientView& AView) { AView.ConsentAsked(AQuestion, text); });
}

void TClientApp::HostAdmission(const std::string& AName, const std::string& AIP, EAdmission AHow) {
  if (AHow == EAdmission::Password || AHow == EAdmission::Accepted) FViewerName = AName + " (" + AIP + ")";
  try {
    FConfig.RecordAdmission(std::time(nullptr), AName, AIP, AdmissionText(AHow));
  } catch (const std::exception& e) {
    AddLog(std::string("접속 기록 저장 실패: ") + e.what());
  }
}

void TClientApp::SetSession(bool AInSession) {
  if (!AInSession) {
    FSessionClip.reset();
  } else if (FParts.SessionClipboard && !FSessionClip) {
    // Text copied on this computer during the session goes to the viewer; what is on the
    // clipboard already stays here.
    FSessionClip = FParts.SessionClipboard([this](const std::string& AText) {
      // Outside a session (it may be ending) nothing is owed; a full send queue is worth a line.
      if (FHost && !FHost->PushClipboard(AText) && FHost->InSession())
        AddLog("클립보드 전송 실패: 연결이 밀려 있습니다");
    });
  }
  Notify([&](IClientView& AView) { AView.SessionChanged(AInSession); });
}

void TClientApp::HostSessionEnd() {
  SetSession(false);
  // The helped person sees in the log that nobody is watching any more.
  AddLog(FViewerName.empty() ? std::string("상담원 연결 종료") : "상담원 연결 종료: " + FViewerName);
  FViewerName.clear();
}

void TClientApp::HostChat(const std::string& AText) {
  AddLog("[채팅] 원격: " + AText);
  Notify([&](IClientView& AView) { AView.ChatReceived(AText); });
}

void TClientApp::ApplyViewerClipboard(const std::string& AText) {
  if (FSessionClip)
    FSessionClip->ApplyRemote(AText);
  else if (FClipFallback)
    FClipFallback->SetClipboardText(AText);
}

}  // namespace tlm
