#include "host/HostAgent.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>

#include "host/SmoothPacing.h"
#include "platform/Folders.h"
#include "protocol/Credentials.h"
#include "protocol/DisplayName.h"
#include "protocol/Error.h"
#include "protocol/Messages.h"
#include "protocol/Packet.h"

namespace tlm {

namespace {

constexpr int WindowFullWaitMs = 10;
// The link-paced preset looks for room in the window more often: on a quick line an
// acknowledgement is back within a millisecond or two.
constexpr int SmoothWindowWaitMs = 1;
constexpr int CaptureErrorWaitMs = 200;
// File requests waiting behind the one being sent; more are refused with MsgFileError.
constexpr size_t MaxQueuedFileSends = 16;
// Unsent bytes the kernel may hold: about 26 ms at 40 Mbit/s, so a frame written during a
// download leaves soon instead of behind seconds of file chunks.
constexpr int UnsentLimitBytes = 128 * 1024;
// How a file chunk waits for a full line to drain: in steps, and at most this long per chunk.
constexpr int ChunkWaitStepMs = 5;
constexpr int MaxChunkWaitMs = 1000;

// Steady milliseconds for measuring frame delays.
int64_t SteadyMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Millisecond tick that wraps at 2^32; compare only differences taken as uint32_t.
uint32_t TickMs() {
  using namespace std::chrono;
  return uint32_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void SleepMs(int AMs) { std::this_thread::sleep_for(std::chrono::milliseconds(AMs)); }


std::string NameAndAddress(const char* AFormat, const std::string& AName, const std::string& AIP) {
  // "%s (%s)" formats of the admission log lines
  std::string out = AFormat;
  out += AName + " (" + AIP + ")";
  return out;
}

}  // namespace

const char* AdmissionText(EAdmission AHow) {
  switch (AHow) {
    case EAdmission::Password: return "비밀번호";
    case EAdmission::Accepted: return "동의";
    case EAdmission::Refused: return "거부";
    case EAdmission::TimedOut: return "시간 초과";
    case EAdmission::Withdrawn: return "요청 취소";
  }
  return "?";
}

std::string ConnectionLossText(const std::string& ASystemText) {
  static const struct {
    const char* Clue;
    const char* Text;
  } known[] = {
      {"Connection refused", "서버가 연결을 거부했습니다"},
      {"Write stalled", "서버가 데이터를 받지 않습니다 (시간 초과)"},
      {"timed out", "응답 시간 초과"},
      {"Cannot resolve", "서버 이름을 찾을 수 없습니다"},
      {"Connection closed by peer", "서버가 연결을 닫았습니다"},
      {"Connection reset", "서버가 연결을 끊었습니다"},
      {"Network is unreachable", "네트워크에 연결할 수 없습니다"},
      {"No route to host", "네트워크에 연결할 수 없습니다"},
  };
  for (const auto& k : known)
    if (ASystemText.find(k.Clue) != std::string::npos) return std::string(k.Text) + " (" + ASystemText + ")";
  return ASystemText;
}

THostAgent::THostAgent(IUiDispatcher& AUi, std::string AServer, int APort, std::string ADeviceKey,
                       std::string APasswordHash, THostServices AServices, THostTimings ATimings)
    : FUi(AUi),
      FGuard(NewLifeGuard()),
      FServer(std::move(AServer)),
      FPort(APort),
      FDeviceKey(std::move(ADeviceKey)),
      FServices(std::move(AServices)),
      FTimings(ATimings),
      FPasswordHash(std::move(APasswordHash)),
      FFileSends(MaxQueuedFileSends) {
  if (FServices.MakeCapturer) {
    FCapturer = FServices.MakeCapturer();
  } else {
    FCapturer = MakeScreenCapturer(FServices.MakeScreen ? FServices.MakeScreen() : CreateSystemScreen());
  }
  if (FCapturer) {
    FCapturer->SetQuality(FJpegQuality.load());
    FMonitors = CapturerMonitors();
    FSelectedMonitor = FCapturer->MonitorIndex();
  }
}

THostAgent::~THostAgent() {
  Stop();
  FGuard->Kill();
  FFileSends.WaitIdle();
}

// ---- lifecycle --------------------------------------------------------------------------

void THostAgent::Start() {
  if (FRunning.exchange(true)) return;
  FReader = std::make_unique<TProcThread>([this] { ConnectLoop(); });
}

void THostAgent::Stop() {
  if (!FRunning.exchange(false)) return;
  {
    std::lock_guard<std::mutex> hold(FWakeLock);  // the reconnect wait tests FRunning under it
  }
  FWake.notify_all();
  EndOpenConsent(EConsentEnd::Lost);
  // Abort first: it wakes a connect, a read or a blocked write on every thread, so ending the
  // session below never waits for a peer that stopped reading.
  if (TConnRef conn = Client()) conn->End("Stopped");
  EndSession();
  if (FReader) {
    if (FUi.IsUiThread()) FUi.WaitPumping([this] { return FReader->Finished(); });
    FReader->Wait();
    FReader.reset();
  }
  FFileSends.WaitIdle();
}

void THostAgent::ChangePassword(const std::string& APasswordHash) {
  std::lock_guard<std::mutex> hold(FTextLock);
  FPasswordHash = APasswordHash;
}

std::string THostAgent::ID() const {
  std::lock_guard<std::mutex> hold(FTextLock);
  return FID;
}

void THostAgent::ConnectLoop() {
  if (FServices.Input) {
    const std::optional<TVirtualScreen> virt = ReadVirtualScreen();
    std::lock_guard<std::mutex> hold(FMonitorsLock);
    FVirt = virt.value_or(TVirtualScreen{});
  }
  while (FRunning) {
    TRelayChannelSettings settings;
    settings.Host = FServer;
    settings.Port = uint16_t(FPort);
    settings.ConnectTimeoutMs = FTimings.ConnectTimeoutMs;
    settings.ReadTimeoutMs = FTimings.ReadTimeoutMs;
    settings.PollMs = FTimings.PollMs;
    settings.WriteStallMs = FTimings.WriteStallMs;
    settings.NotSentLowWaterBytes = UnsentLimitBytes;
    TConnRef conn = std::make_shared<TRelayChannel>(settings);
    TRelayChannel& channel = *conn;  // the handlers run while this loop holds conn
    channel.OnConnected = [this, &channel] {
      channel.Writer().PostWait(MsgHostRegister, BytesOf(FDeviceKey));
      FConnected = true;
      FLastKeepAlive = TickMs();
    };
    channel.OnTurn = [this, &channel] {
      KeepAliveIfDue(channel);
      CheckConsentDeadline();
    };
    channel.OnPacket = [this](const TPacket& APacket) { DispatchCmd(APacket.Type, APacket.Payload); };
    SetClient(conn);
    if (!FRunning) channel.End();  // Stop came before the channel was visible to it
    Status("릴레이 서버에 연결하는 중...");
    channel.Start();
    channel.Wait();
    if (FUserEnded) {
      Log("사용자가 연결을 끊었습니다");
    } else if (FRunning) {
      Log("연결 끊김: " + ConnectionLossText(channel.Cause()));
    }
    FConnected = false;
    EndOpenConsent(EConsentEnd::Lost);
    // The channel has ended and stopped its writer, so a capture thread or a file sender that
    // waited for room has been released, and ending the session cannot wait for the network.
    EndSession();
    ReleaseHeldInput();
    Post([this] {
      auto handler = OnID;
      if (handler) handler("");
    });
    SetClient(nullptr);
    conn.reset();  // a file send may hold it a little longer: it finds the writer stopped
    if (FUserEnded.exchange(false)) continue;  // the user ended the session: register again at once
    if (FRunning) {
      const int seconds = (FTimings.ReconnectWaitMs + 999) / 1000;
      Status("재연결 대기 중... (" + std::to_string(seconds) + "초)");
      WaitBeforeReconnect();
    }
  }
}

void THostAgent::KeepAliveIfDue(TRelayChannel& AConn) {
  if (!TickElapsed(TickMs(), FLastKeepAlive, FTimings.KeepAliveMs)) return;
  AConn.Writer().PostWait(MsgKeepAlive);
  FLastKeepAlive = TickMs();
}

void THostAgent::WaitBeforeReconnect() {
  std::unique_lock<std::mutex> hold(FWakeLock);
  FWake.wait_for(hold, std::chrono::milliseconds(FTimings.ReconnectWaitMs), [this] { return !FRunning; });
}

// ---- dispatch ---------------------------------------------------------------------------

void THostAgent::DispatchCmd(uint32_t AType, const TBytes& AData) {
  switch (AType) {
    case MsgHostId: HandleHostId(AData); break;
    case MsgSessionStart: StartSession(); break;
    case MsgSessionEnd: EndSession(); break;
    case MsgAdmitRequest: HandleConnectRequest(AData); break;
    case MsgAdmitWithdrawn: EndOpenConsent(EConsentEnd::Withdrawn); break;
    case MsgFrameAck:
      FFrameFlow.FrameAcked(SteadyMs());
      break;
    case MsgKeyframeRequest: FKeyframeWanted.exchange(1); break;
    case MsgQuality:
      if (!AData.empty()) SetQuality(AData[0]);
      break;
    case MsgSelectMonitor: SelectMonitor(AData); break;
    case MsgMouse: InjectMouse(AData); break;
    case MsgKey: InjectKey(AData); break;
    case MsgClipboard: SetClipboardFromViewer(AData); break;
    case MsgChat: {
      std::string text = TextOf(AData);
      Post([this, LMsg = std::move(text)] {
        auto handler = OnChat;
        if (handler) handler(LMsg);
      });
      break;
    }
    case MsgFileBegin: HandleFileBegin(AData); break;
    case MsgFileChunk: HandleFileChunk(AData); break;
    case MsgFileEnd: HandleFileEnd(); break;
    case MsgFileGet: HandleFileGet(AData); break;
    case MsgListDir: HandleListDir(AData); break;
    default: break;  // not ours: dropped without an answer
  }
}

void THostAgent::HandleHostId(const TBytes& AData) {
  {
    std::lock_guard<std::mutex> hold(FTextLock);
    FID = TrimControl(TextOf(AData));
  }
  Post([this] {
    auto handler = OnID;
    if (handler) handler(ID());
  });
  Status("대기 중 - 접속을 기다립니다");
}

// ---- admission --------------------------------------------------------------------------

void THostAgent::HandleConnectRequest(const TBytes& AData) {
  const std::vector<std::string> fields = SplitTabs(TextOf(AData));
  // Both texts reach a prompt and the log: a relay may pass on whatever the viewer chose.
  const std::string LIP = CleanDisplayName(FieldAt(fields, 0));
  std::string LName = CleanDisplayName(FieldAt(fields, 1));
  const std::string proof = FieldAt(fields, 2);
  if (LName.empty()) LName = LIP;

  std::string id, hash;
  {
    std::lock_guard<std::mutex> hold(FTextLock);
    id = FID;
    hash = FPasswordHash;
  }
  // A proof to a host without a password proves nothing either way: asked as without one.
  EConsentCause cause = !hash.empty() && !proof.empty() ? EConsentCause::WrongPassword : EConsentCause::NoPassword;
  if (!hash.empty() && !proof.empty() && SameTextAscii(MakeSessionProof(id, hash), proof)) {
    cause = EConsentCause::JustEnded;
    if (!PasswordHeld()) {
      SendWait(MsgAdmitAccept);
      Log(NameAndAddress("비밀번호 인증 접속 허용: ", LName, LIP));
      Admitted(LName, LIP, EAdmission::Password);
      return;
    }
    // The user has just ended a session: whoever comes back asks again, password or not.
    Log(NameAndAddress("연결을 끊은 직후라 비밀번호가 맞아도 사용자에게 묻습니다: ", LName, LIP));
  }

  const std::optional<uint64_t> ticket =
      FConsent.Open(LName, LIP, TickMs(), uint32_t(std::max(FTimings.ConsentTimeoutMs, 0)));
  if (!ticket) {
    // One question at a time: a second request while one is open is declined at once.
    SendWaitText(MsgAdmitReject, AdmitRejectReason);
    return;
  }
  // The reader goes back to the relay at once; the answer comes through AnswerConsent.
  Post([this, LQuestion = TConsentQuestion{*ticket, LName, LIP, cause}] {
    if (!FConsent.IsOpen(LQuestion.Ticket)) return;  // ended before it was shown: never shown
    if (!FRunning.load()) {
      // Stopping: the reader may have opened it after Stop ended the open question, and Stop
      // runs queued calls while it waits for the reader.
      EndConsent(LQuestion.Ticket, EConsentEnd::Lost);
      return;
    }
    auto handler = OnConsent;  // a copy: the handler may destroy the agent
    if (!handler) {
      EndConsent(LQuestion.Ticket, EConsentEnd::Refused);
      return;
    }
    try {
      handler(LQuestion);
    } catch (const std::exception& e) {
      // The prompt could not be shown: the question and the connection end, as any failure
      // of the reader would end them.
      EndConsent(LQuestion.Ticket, EConsentEnd::Lost);
      FailConnection(e.what());
    }
  });
}

bool THostAgent::PasswordHeld() {
  if (!FPasswordHeld.load()) return false;
  if (TickElapsed(TickMs(), FPasswordHeldSince.load(), FTimings.PasswordHoldAfterUserEndMs)) {
    FPasswordHeld = false;
    return false;
  }
  return true;
}

void THostAgent::AnswerConsent(uint64_t ATicket, bool AAllow) {
  EndConsent(ATicket, AAllow ? EConsentEnd::Allowed : EConsentEnd::Refused);
}

void THostAgent::CheckConsentDeadline() {
  if (const std::optional<uint64_t> ticket = FConsent.Lapsed(TickMs())) EndConsent(*ticket, EConsentEnd::TimedOut);
}

void THostAgent::EndOpenConsent(EConsentEnd AHow) {
  if (const std::optional<uint64_t> ticket = FConsent.Current()) EndConsent(*ticket, AHow);
}

void THostAgent::EndConsent(uint64_t ATicket, EConsentEnd AHow) {
  const std::optional<TPendingConsent::TRequest> request = FConsent.End(ATicket);
  if (!request) return;  // the answer, the withdrawal, the deadline or the loss came first
  const std::string& name = request->ViewerName;
  const std::string& ip = request->ViewerIP;
  if (AHow != EConsentEnd::Allowed && AHow != EConsentEnd::Refused) {
    // The prompt, if shown, is void now.
    Post([this] {
      auto handler = OnConsentClosed;
      if (handler) handler();
    });
  }
  if (AHow == EConsentEnd::Lost) return;  // nobody is left to answer
  // Never waits: this may run on the user-interface thread. A full queue means a relay that
  // reads nothing, and the connection is given up soon anyway.
  const bool sent = AHow == EConsentEnd::Allowed ? SendNow(MsgAdmitAccept, "") : SendNow(MsgAdmitReject, AdmitRejectReason);
  if (!sent) Log(NameAndAddress("접속 응답을 보내지 못했습니다: ", name, ip));
  switch (AHow) {
    case EConsentEnd::Allowed:
      Log(NameAndAddress("사용자 동의 접속 허용: ", name, ip));
      Admitted(name, ip, EAdmission::Accepted);
      break;
    case EConsentEnd::Refused:
      Log(NameAndAddress("접속 거부: ", name, ip));
      Status("접속 거부됨 - 대기 중");
      Admitted(name, ip, EAdmission::Refused);
      break;
    case EConsentEnd::TimedOut:
    case EConsentEnd::Withdrawn: {
      // Nobody answered, or the viewer gave up: declined either way. After a withdrawal the
      // relay no longer needs the answer, but it is owed one.
      const bool lapsed = AHow == EConsentEnd::TimedOut;
      Log(NameAndAddress(lapsed ? "접속 요청 시간 초과, 거부됨: " : "접속 요청 취소됨: ", name, ip));
      Status("대기 중 - 접속을 기다립니다");
      Admitted(name, ip, lapsed ? EAdmission::TimedOut : EAdmission::Withdrawn);
      break;
    }
    case EConsentEnd::Lost: break;
  }
}

void THostAgent::Admitted(const std::string& AName, const std::string& AIP, EAdmission AHow) {
  Post([this, AName, AIP, AHow] {
    auto handler = OnAdmission;
    if (handler) handler(AName, AIP, AHow);
  });
}

// ---- session ----------------------------------------------------------------------------

void THostAgent::StartSession() {
  {
    std::lock_guard<std::mutex> hold(FSessionLock);
    if (FInSession) return;
    FFrameFlow.Reset();
    FFrameNo = 0;
    FKeyframeWanted.exchange(1);
    ++FSessionSerial;
    FInSession = true;
    // Without a reading the layout read when the reader started stays.
    if (const std::optional<TVirtualScreen> virt = ReadVirtualScreen()) {
      std::lock_guard<std::mutex> hold(FMonitorsLock);
      FVirt = *virt;
    }
    if (FCapturer) {
      FCapturer->RefreshMonitors();
      FCapturer->Reset();
    }
    {
      std::lock_guard<std::mutex> hold(FMonitorsLock);
      FMonitors.clear();
      if (FCapturer) {
        FMonitors = CapturerMonitors();
        FSelectedMonitor = FCapturer->MonitorIndex();
      }
    }
    SendMonitorList();
    if (FCapturer) {
      TConnRef conn = Client();
      FCapture = std::make_unique<TProcThread>([this, conn] { CaptureLoop(conn); });
    }
  }
  Status("상담원 접속됨 - 화면 공유 중");
  Post([this] {
    auto handler = OnSessionStart;
    if (handler) handler("");
  });
}

void THostAgent::EndSession() {
  {
    std::lock_guard<std::mutex> hold(FSessionLock);
    if (!FInSession) return;
    FInSession = false;
    if (FCapture) {
      FCapture->Wait();
      FCapture.reset();
    }
  }
  FFileSends.Clear();  // the running send sees the session end and stops by itself
  {
    std::lock_guard<std::mutex> hold(FRecvLock);
    const std::string name = FRecvFile.Abandon();
    if (!name.empty()) Log("파일 수신 중단: " + name);
  }
  ReleaseHeldInput();
  Status("대기 중 - 접속을 기다립니다");
  Post([this] {
    auto handler = OnSessionEnd;
    if (handler) handler();
  });
}

bool THostAgent::PushClipboard(const std::string& AText) { return FInSession && SendNow(MsgClipboard, AText); }

bool THostAgent::SendChat(const std::string& AText) { return FInSession && SendNow(MsgChat, AText); }

void THostAgent::EndSessionByUser() {
  if (!FInSession) return;
  TConnRef conn = Client();
  if (!conn) return;
  FUserEnded = true;
  FPasswordHeldSince = TickMs();
  FPasswordHeld = true;
  conn->End("Ended by the user");  // the reader sees the abort, ends the session and registers again
}

void THostAgent::SetClipboardFromViewer(const TBytes& AData) {
  IClipboardSetter* clipboard = FServices.Clipboard;
  if (!clipboard) return;
  Sync([clipboard, LText = TextOf(AData)] {
    try {
      clipboard->SetClipboardText(LText);
    } catch (...) {
      // another program holding the clipboard must not end the session
    }
  });
}

// ---- streaming --------------------------------------------------------------------------

void THostAgent::SetQuality(int APreset) {
  FQuality = APreset;
  FJpegQuality = QualityPresetFor(APreset).JpegQuality;
  FKeyframeWanted.exchange(1);
}

void THostAgent::SelectMonitor(const TBytes& AData) {
  if (AData.empty()) return;
  const int index = AData[0];
  std::lock_guard<std::mutex> hold(FMonitorsLock);
  if (index < int(FMonitors.size())) FSelectedMonitor = index;
  FKeyframeWanted.exchange(1);
}

void THostAgent::SendMonitorList() {
  std::vector<TMonitorLine> lines;
  {
    std::lock_guard<std::mutex> hold(FMonitorsLock);
    for (size_t i = 0; i < FMonitors.size(); ++i) {
      const TPixelRect& b = FMonitors[i].Bounds;
      lines.push_back({int(i), b.Right - b.Left, b.Bottom - b.Top, FMonitors[i].Primary});
    }
  }
  SendWaitText(MsgMonitorList, BuildMonitorList(lines));
}

// The screen changed size or its monitors changed: the viewer gets the new list before the
// first frame of the new layout, and mouse positions are mapped against it from now on.
void THostAgent::ScreenLayoutChanged() {
  std::vector<THostMonitor> monitors = CapturerMonitors();
  const std::optional<TVirtualScreen> virt = ReadVirtualScreen();  // none: keep the layout known so far
  {
    std::lock_guard<std::mutex> hold(FMonitorsLock);
    FMonitors = std::move(monitors);
    if (virt) FVirt = *virt;
    // A choice the viewer made meanwhile stands while its monitor exists.
    if (FSelectedMonitor.load() >= int(FMonitors.size())) FSelectedMonitor = FCapturer->MonitorIndex();
  }
  SendMonitorList();
}

std::vector<THostMonitor> THostAgent::CapturerMonitors() const {
  std::vector<THostMonitor> monitors;
  for (int i = 0; i < FCapturer->MonitorCount(); ++i) monitors.push_back(FCapturer->GetMonitor(i));
  return monitors;
}

std::optional<TVirtualScreen> THostAgent::ReadVirtualScreen() const {
  if (!FServices.Input) return std::nullopt;
  try {
    return FServices.Input->VirtualScreen();
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

void THostAgent::CaptureLoop(TConnRef AConn) {
  if (!AConn) return;
  // The link-paced preset's rule (host/SmoothPacing.h), this thread's alone; it starts afresh
  // whenever the preset changes.
  TSmoothPacing smooth;
  int preset = -1;
  uint64_t acksSeen = 0;
  while (FInSession && FRunning) {
    if (const int chosen = FQuality.load(); chosen != preset) {
      preset = chosen;
      smooth.Reset();
    }
    const bool paced = preset == QualitySmooth;
    if (paced) {
      if (const uint64_t acks = FFrameFlow.Acks(); acks != acksSeen) {
        acksSeen = acks;
        smooth.AckCame(SteadyMs(), FFrameFlow.LastRoundTripMs());
      }
    }
    if (FFrameFlow.WindowFull()) {
      SleepMs(paced ? SmoothWindowWaitMs : WindowFullWaitMs);
      continue;
    }
    bool keyframe = FKeyframeWanted.exchange(0) == 1;
    try {
      if (FCapturer->CheckLayout()) {
        ScreenLayoutChanged();
        keyframe = true;
      }
      // Monitor and quality changes arrive on other threads; the capturer sees them here only.
      const int monitor = FSelectedMonitor.load();
      if (monitor != FCapturer->MonitorIndex()) FCapturer->SelectMonitor(monitor);
      std::vector<TEncodedRect> rects;
      int width = 0, height = 0;
      bool any = false;
      if (paced) {
        TTileReport report;
        any = FCapturer->CapturePlanned(keyframe, smooth.NextPlan(), rects, width, height, report);
        smooth.Captured(report);
      } else {
        FCapturer->SetQuality(FJpegQuality.load());
        any = FCapturer->Capture(keyframe, rects, width, height);
      }
      if (any) {
        const uint32_t frameNo = FFrameNo.fetch_add(1) + 1;
        const TBytes payload = BuildFramePayload(frameNo, width, height, keyframe, rects);
        const int64_t nowMs = SteadyMs();
        FFrameFlow.FrameSent(nowMs);
        if (paced) smooth.FrameMade(nowMs);
        AConn->Writer().PostWait(MsgFrame, payload);
      }
    } catch (const std::exception&) {
      if (FInSession) SleepMs(CaptureErrorWaitMs);
    }
    SleepMs(paced ? smooth.PauseMs() : QualityPresetFor(preset).PauseMs);
  }
}

// ---- input ------------------------------------------------------------------------------

void THostAgent::InjectMouse(const TBytes& AData) {
  if (!FServices.Input) return;
  const TMouseEventRec rec = UnpackMouseEvent(AData);
  std::vector<TMouseInput> inputs;
  {
    std::lock_guard<std::mutex> hold(FMonitorsLock);
    const int monitor = FSelectedMonitor.load();
    // Without a known monitor the position is taken from the desktop's origin.
    const TPixelRect base = monitor >= 0 && monitor < int(FMonitors.size()) ? FMonitors[monitor].Bounds : TPixelRect{};
    inputs = MouseInputsFor(rec, base, FVirt);
  }
  std::lock_guard<std::mutex> hold(FInputLock);
  for (const TMouseInput& in : inputs) {
    try {
      FServices.Input->SendMouse(in);
    } catch (const std::exception&) {
      continue;  // refused input is lost, as the desktop would lose it
    }
    FHeld.Note(in);
  }
}

void THostAgent::InjectKey(const TBytes& AData) {
  if (!FServices.Input) return;
  const TKeyInput in = KeyInputFor(UnpackKeyEvent(AData));
  std::lock_guard<std::mutex> hold(FInputLock);
  try {
    FServices.Input->SendKey(in);
  } catch (const std::exception&) {
    return;
  }
  FHeld.Note(in);
}

void THostAgent::ReleaseHeldInput() {
  if (!FServices.Input) return;
  std::lock_guard<std::mutex> hold(FInputLock);
  for (const TMouseInput& in : FHeld.TakeMouseReleases()) {
    try {
      FServices.Input->SendMouse(in);
    } catch (const std::exception&) {
    }
  }
  for (const TKeyInput& in : FHeld.TakeKeyReleases()) {
    try {
      FServices.Input->SendKey(in);
    } catch (const std::exception&) {
    }
  }
}

// ---- files ------------------------------------------------------------------------------

std::string THostAgent::DownloadFolder() const {
  return FServices.DownloadDir.empty() ? UserDownloadDir() : FServices.DownloadDir;
}

void THostAgent::HandleFileBegin(const TBytes& AData) {
  std::optional<TFileAnnouncement> announced;
  std::string failure;
  {
    std::lock_guard<std::mutex> hold(FRecvLock);
    // A new announcement ends the previous file whatever becomes of this one, so its chunks
    // can never land in the previous file.
    const std::string previous = FRecvFile.IsOpen() ? FRecvFile.Name() : "";
    try {
      announced = FRecvFile.Begin(DownloadFolder(), TextOf(AData));
    } catch (const std::exception& e) {
      failure = e.what();
    }
    // An ignored announcement (no size field) leaves the previous file open.
    if (!previous.empty() && (announced || !failure.empty())) Log("파일 수신 중단: " + previous);
  }
  if (!failure.empty()) {
    SendWaitText(MsgFileError, "파일 생성 실패: " + failure);
    return;
  }
  if (!announced) return;
  SendWait(MsgFileReady);
  Status("파일 수신 중: " + announced->Name);
  Log("파일 수신 시작: " + announced->Name + " (" + std::to_string(announced->Size) + " 바이트)");
}

void THostAgent::HandleFileChunk(const TBytes& AData) {
  std::string failure;
  {
    std::lock_guard<std::mutex> hold(FRecvLock);
    if (!FRecvFile.IsOpen() || AData.empty()) return;
    try {
      FRecvFile.Append(AData);
      return;
    } catch (const std::exception& e) {
      failure = FRecvFile.Name() + ": " + e.what();
    }
  }
  // The disk refused the bytes: the file stays under its temporary name, the viewer is told,
  // and the rest of this file is ignored; the connection itself is fine.
  Status("파일 수신 실패: " + failure);
  Log("파일 수신 실패: " + failure);
  SendWaitText(MsgFileError, "파일 쓰기 실패: " + failure);
}

void THostAgent::HandleFileEnd() {
  std::optional<TReceivedFile::TResult> result;
  std::string name;
  {
    std::lock_guard<std::mutex> hold(FRecvLock);
    name = FRecvFile.Name();
    result = FRecvFile.Finish();
  }
  if (!result) return;
  if (result->Complete) {
    Status("파일 수신 완료: " + FileNamePart(result->Path));
    Log("파일 수신 완료: " + result->Path);
    return;
  }
  const std::string text = name + " (" + std::to_string(result->Received) + "/" + std::to_string(result->Expected.value_or(0)) + " 바이트)";
  Status("파일 수신 실패: " + text);
  Log("파일 수신 실패: " + text + ", 받은 부분: " + result->Path);
  SendWaitText(MsgFileError, "파일 수신 실패: " + text);
}

void THostAgent::HandleFileGet(const TBytes& AData) {
  std::string LPath = TextOf(AData);
  if (!ExistingFile(LPath)) {
    SendWaitText(MsgFileError, "파일을 찾을 수 없습니다");
    return;
  }
  TConnRef conn = Client();
  if (!conn) return;
  const uint64_t session = FSessionSerial.load();
  bool queued = false;
  try {
    queued = FFileSends.Push([this, conn, session, LPath] { SendFile(conn, session, LPath); });
  } catch (const std::exception& e) {
    SendWaitText(MsgFileError, e.what());
    return;
  }
  if (!queued) SendWaitText(MsgFileError, "보낼 파일이 너무 많이 밀려 있습니다: " + FileNamePart(LPath));
}

bool THostAgent::SessionLasts(uint64_t ASession) const {
  return FInSession && FRunning && FSessionSerial.load() == ASession;
}

void THostAgent::SendFile(TConnRef AConn, uint64_t ASession, std::string APath) {
  // A request of a session that has ended is dropped: nobody is there to receive it.
  if (!SessionLasts(ASession)) return;
  std::string name = FileNamePart(APath);
  try {
    TFileSender sender(APath);
    name = sender.Name();
    // The whole file through the bulk queue, so its end never overtakes its last chunk, and
    // every other packet overtakes the next chunk.
    const auto send = [&](uint32_t AType, std::span<const uint8_t> AData) { AConn->Writer().PostBulk(AType, AData); };
    sender.SendBegin(send);
    Log("파일 송신 시작: " + name + " (" + std::to_string(sender.Size()) + " 바이트)");
    // Before each chunk: while frames are slow to come back the line is full, so the chunk
    // waits (a little at a time, never long in all) and the picture keeps moving.
    const auto goOn = [&] {
      for (int waited = 0; waited < MaxChunkWaitMs && SessionLasts(ASession) && FFrameFlow.Congested(SteadyMs());
           waited += ChunkWaitStepMs)
        SleepMs(ChunkWaitStepMs);
      return SessionLasts(ASession);
    };
    if (sender.SendBody(send, goOn)) {
      Log("파일 송신 완료: " + name);
    } else {
      Log("파일 송신 중단: " + name + " (" + std::to_string(sender.Sent()) + "/" + std::to_string(sender.Size()) + " 바이트)");
    }
  } catch (const std::exception& e) {
    Log("파일 송신 실패: " + name + ": " + e.what());
    try {
      AConn->Writer().PostBulk(MsgFileError, BytesOf(e.what()));
    } catch (const std::exception&) {
      // the connection is gone as well
    }
  }
}

void THostAgent::HandleListDir(const TBytes& AData) {
  std::string path = TextOf(AData);
  if (path == "~" && !FServices.ConfigDir.empty()) path = FServices.ConfigDir;
  std::string reply;
  try {
    reply = BuildHostListing(path);
  } catch (const std::exception& e) {
    reply = BuildDirListingError(e.what());
  }
  SendWaitText(MsgDirListing, reply);
}

// ---- sending and marshalling ------------------------------------------------------------

THostAgent::TConnRef THostAgent::Client() const {
  std::lock_guard<std::mutex> hold(FClientLock);
  return FClient;
}

void THostAgent::SetClient(TConnRef AConn) {
  std::lock_guard<std::mutex> hold(FClientLock);
  FClient = std::move(AConn);
}

void THostAgent::SendWait(uint32_t AType, std::span<const uint8_t> AData) {
  const TConnRef conn = Client();
  if (!conn) throw TConnectionError("Not connected");
  conn->Writer().PostWait(AType, AData);
}

void THostAgent::SendWaitText(uint32_t AType, std::string_view AText) {
  SendWait(AType, std::span(reinterpret_cast<const uint8_t*>(AText.data()), AText.size()));
}

bool THostAgent::SendNow(uint32_t AType, std::string_view AText) {
  const TConnRef conn = Client();
  return conn && conn->Writer().PostText(AType, AText);
}

void THostAgent::FailConnection(const std::string& AWhy) {
  if (const TConnRef conn = Client()) conn->End(AWhy);
}

void THostAgent::Post(std::function<void()> AProc) { PostGuarded(FUi, FGuard, std::move(AProc)); }

void THostAgent::Sync(std::function<void()> AProc) { SyncGuarded(FUi, FGuard, std::move(AProc)); }

void THostAgent::Status(const std::string& AText) {
  Post([this, AText] {
    auto handler = OnStatus;
    if (handler) handler(AText);
  });
}

void THostAgent::Log(const std::string& AText) {
  Post([this, AText] {
    auto handler = OnLog;
    if (handler) handler(AText);
  });
}

}  // namespace tlm
