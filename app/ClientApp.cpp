#include "app/ClientApp.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fstream>
#include <thread>

#include "protocol/Credentials.h"
#include "protocol/DisplayName.h"
#include "protocol/LocalFiles.h"
#include "protocol/RelayLink.h"
#include "protocol/SecureStore.h"

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
    case ETargetProblem::NotNineDigits: return "접속 ID는 9자리 숫자입니다.";
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
  FRelayTls = ConfiguredRelayTls();
  // Beside config.ini, the owner's alone; read once here, so the main window shows the code
  // from the start.
  try {
    TLoadedIdentity loaded = LoadOrCreateIdentity(JoinPath(FConfig.Folder(), IdentityFileName));
    if (!loaded.Replaced.empty())
      FSecurityProblem = "보안 키 파일을 읽을 수 없어 새 키를 만들었습니다 (이전 파일: " + loaded.Replaced + ")";
    FIdentity = loaded.Key;
    FSecurityCode = tlm::SecurityCode(FIdentity->PublicKey());
  } catch (const std::exception& e) {
    FSecurityProblem = std::string("보안 키를 저장하지 못해 이 컴퓨터로의 접속은 암호화되지 않습니다: ") + e.what();
  }
  FPins = std::make_shared<TPinFile>(JoinPath(FConfig.Folder(), PinFileName));
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
  FHost = std::make_unique<THostAgent>(FUi, RelayHost(), FParts.RelayPort, deviceKey,
                                       FConfig.PasswordHash(), FParts.Services, FParts.Timings);
  FHost->SetQuality(FQuality);
  FHost->SetSecurity(FIdentity, FConfig.RequireEncryption());
  // The agent logs it; the windows show it for as long as the session lasts.
  FHost->OnSessionSecurity = [this](const std::string& AText) {
    Notify([&](IClientView& AView) { AView.SessionSecurityChanged(AText); });
  };
  if (!FSecurityProblem.empty()) AddLog(FSecurityProblem);
  FHost->OnID = [this](const std::string& AText) { HostID(AText); };
  FHost->OnStatus = [this](const std::string& AText) {
    Notify([&](IClientView& AView) { AView.HostStatusChanged(AText); });
  };
  FHost->OnLog = [this](const std::string& AText) { AddLog(AText); };
  FHost->OnConsent = [this](const TConsentQuestion& AQuestion) { HostConsent(AQuestion); };
  FHost->OnOneTimePassword = [this](const std::string& AText) {
    FOneTimePassword = AText;
    Notify([&](IClientView& AView) { AView.OneTimePasswordChanged(AText); });
  };
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
  if (AID.size() != 9 || AID.find_first_not_of("0123456789") != std::string::npos) return ETargetProblem::NotNineDigits;
  if (AID == FMyID) return ETargetProblem::Self;
  return ETargetProblem::None;
}

bool TClientApp::ConnectRemembered(const std::string& AID) {
  const std::string hash = FConfig.RecentPasswordHash(AID);
  if (hash.empty() || CheckTarget(AID) != ETargetProblem::None) return false;
  ConnectWithHash(AID, hash);
  return true;
}

void TClientApp::Connect(const std::string& AID, const std::string& APassword, bool ARemember) {
  if (CheckTarget(AID) != ETargetProblem::None) return;
  const std::string password = TrimControl(APassword);
  const std::string hash = password.empty() ? std::string() : HashPassword(password);
  // Only the password's hash is kept, never the password; a connection without the wish forgets it.
  SaveConfig([&] { FConfig.SetRecentPasswordHash(AID, ARemember ? hash : std::string()); });
  ConnectWithHash(AID, hash);
}

void TClientApp::ConnectWithHash(const std::string& AID, const std::string& APasswordHash) {
  // By value: the recent list AID may come from is rebuilt below.
  const std::string target = AID;
  const std::string hash = APasswordHash;
  const bool known = std::any_of(FRecent.begin(), FRecent.end(), [&](const TRecentItem& AItem) { return AItem.ID == target; });
  FNewRecentID = known ? std::string() : target;
  std::string name;  // the entry's name stays with it
  for (const TRecentItem& item : FRecent)
    if (item.ID == target) name = item.Name;
  SaveConfig([&] { FConfig.AddRecent(target, name); });
  RefreshRecent();
  OpenViewer(target, FConfig.MyName(), hash);
}

void TClientApp::OpenViewer(const std::string& ATarget, const std::string& AName, const std::string& APasswordHash) {
  if (!FParts.OpenViewer) return;
  TViewerRequest request;
  request.Server = RelayHost();
  request.Port = FParts.RelayPort;
  request.Tls = FRelayTls;
  request.TargetID = ATarget;
  request.MyName = AName;
  request.DefaultQuality = FQuality;
  request.ResultFile = FEnv.ResultFile;
  request.DownloadDir = FEnv.DownloadFolder();
  // The static proof is for partners of the plain wire; a viewer that offers encryption never
  // sends it (docs/end-to-end-encryption.md).
  if (!APasswordHash.empty()) {
    request.PasswordHash = APasswordHash;
    request.Proof = MakeSessionProof(ATarget, request.PasswordHash);
  }
  request.OwnID = FMyID;
  request.Pins = FPins;
  request.RequireEncryption = FConfig.RequireEncryption();
  FParts.OpenViewer(request);
}

TRelayTlsChoice TClientApp::ConfiguredRelayTls() const {
  // The environment's choice wins; config.ini can only turn TLS on, and names the certificate
  // file when the environment names none.
  return TRelayTlsChoice{FEnv.RelayTls || FConfig.RelayTls(),
                         FEnv.RelayTlsCa.empty() ? FConfig.RelayCa() : FEnv.RelayTlsCa};
}

std::string TClientApp::RelayHost() const {
  if (!FEnv.RelayHost.empty()) return FEnv.RelayHost;
  const std::string stored = FConfig.RelayHost();
  return stored.empty() ? FEnv.RelayHostOrDefault() : stored;
}

TClientSettings TClientApp::Settings() const {
  return TClientSettings{FConfig.MyName(), FConfig.RelayHost(), FConfig.RelayTls(), FConfig.RelayCa()};
}

TSettingsOverrides TClientApp::Overrides() const {
  TSettingsOverrides overrides;
  if (!FEnv.RelayHost.empty()) overrides.RelayHost = FEnv.RelayHost;
  overrides.RelayTls = FEnv.RelayTls;
  if (!FEnv.RelayTlsCa.empty()) overrides.RelayCa = FEnv.RelayTlsCa;
  return overrides;
}

void TClientApp::ChangeSettings(const TClientSettings& ASettings) {
  SaveConfig([&] {
    FConfig.SetMyName(ASettings.MyName);
    FConfig.SetRelayHost(ASettings.RelayHost);
    FConfig.SetRelayTls(ASettings.RelayTls);
    FConfig.SetRelayCa(ASettings.RelayCa);
  });
  // New viewer connections use them at once; the host's own link to the relay at the next start.
  FRelayTls = ConfiguredRelayTls();
}

std::optional<bool> TClientApp::KeepRunningOnClose() const { return FConfig.KeepRunningOnClose(); }

void TClientApp::SetKeepRunningOnClose(bool AKeep) {
  SaveConfig([&] { FConfig.SetKeepRunningOnClose(AKeep); });
}

void TClientApp::SetPortalRestoreToken(const std::string& AToken) {
  SaveConfig([&] { FConfig.SetPortalRestoreToken(AToken); });
}

void TClientApp::AutoConnect() {
  // The environment's ID and password are used as they stand: scripts pass exact values.
  const std::string& target = FEnv.AutoConnect;
  OpenViewer(target, "AutoViewer", FEnv.AutoPassword.empty() ? std::string() : HashPassword(FEnv.AutoPassword));
}

void TClientApp::ViewerRefused(const std::string& AID, ERelayRefusal AKind) {
  // An ID the relay does not know is not worth keeping; one that is merely offline now is, and
  // so is any ID that was in the list before this attempt. The relay says both in one text.
  TViewerRefusal refusal{AID, AKind, false};
  if (!AID.empty() && AID == FNewRecentID && AKind == ERelayRefusal::Offline) {
    FNewRecentID.clear();
    refusal.Forgotten = true;
    SaveConfig([&] {
      FConfig.RemoveRecent(AID);
      FConfig.SetRecentPasswordHash(AID, "");
    });
    RefreshRecent();
  }
  Notify([&](IClientView& AView) { AView.ViewerRefused(refusal); });
}

void TClientApp::ViewerPasswordRefused(const std::string& AID, const std::string& APasswordHash) {
  // Only the password that failed: one kept since (a new "비밀번호 기억") stays.
  if (APasswordHash.empty() || FConfig.RecentPasswordHash(AID) != APasswordHash) return;
  SaveConfig([&] { FConfig.SetRecentPasswordHash(AID, ""); });
  AddLog("기억한 비밀번호가 맞지 않아 지웠습니다: " + FormatID(AID));
}

void TClientApp::RenameRecent(size_t AIndex, const std::string& AName) {
  if (AIndex >= FRecent.size()) return;
  const std::string id = FRecent[AIndex].ID;
  const std::string name = TrimControl(CleanDisplayName(AName));
  SaveConfig([&] { FConfig.RenameRecent(id, name); });
  RefreshRecent();
}

void TClientApp::RemoveRecent(size_t AIndex) {
  if (AIndex >= FRecent.size()) return;
  const std::string id = FRecent[AIndex].ID;
  SaveConfig([&] {
    FConfig.RemoveRecent(id);
    FConfig.SetRecentPasswordHash(id, "");
  });
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

void TClientApp::AnswerConsent(uint64_t ATicket, bool AAllow, bool AViewOnly) {
  // A question that lapsed or was withdrawn meanwhile: the agent ignores the answer, view-only
  // with it.
  if (FHost) FHost->AnswerConsent(ATicket, AAllow, AViewOnly);
}

void TClientApp::RenewOneTimePassword() {
  if (FHost) FHost->RenewOneTimePassword();
}

void TClientApp::SetViewerInputBlocked(bool ABlocked) {
  if (!FHost || !InSession()) return;
  FHost->SetViewOnly(ABlocked);
  AddLog(ABlocked ? "상담원 입력 차단" : "상담원 입력 허용");
}

bool TClientApp::ViewerInputBlocked() const { return FHost && FHost->ViewOnly(); }

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
                           AQuestion.ViewerIP + ")\r\n" + why +
                           (AQuestion.SessionCode.empty()
                                ? std::string("암호화되지 않은 연결입니다.\r\n")
                                : "세션 코드: " + AQuestion.SessionCode + " (상담원 화면의 코드와 같은지 확인하세요)\r\n") +
                           "\r\n이 접속을 허용하시겠습니까?";
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
  if (AInSession)
    FSessionStartedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now().time_since_epoch()).count();
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
