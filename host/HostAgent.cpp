#include "host/HostAgent.h"

#include <algorithm>
#include <chrono>
#include <optional>

#include "protocol/Credentials.h"
#include "protocol/DisplayName.h"
#include "protocol/Error.h"
#include "protocol/Messages.h"
#include "protocol/Packet.h"
#include "protocol/SecurePins.h"
#include "protocol/SecureChannel.h"

namespace tlm {

namespace {

// Unsent bytes the kernel may hold: about 26 ms at 40 Mbit/s, so a frame written during a
// download leaves soon instead of behind seconds of file chunks.
constexpr int UnsentLimitBytes = 128 * 1024;

// Millisecond tick that wraps at 2^32; compare only differences taken as uint32_t.
uint32_t TickMs() {
  using namespace std::chrono;
  return uint32_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::string NameAndAddress(const char* AFormat, const std::string& AName, const std::string& AIP) {
  // "%s (%s)" formats of the admission log lines
  std::string out = AFormat;
  out += AName + " (" + AIP + ")";
  return out;
}

std::unique_ptr<IHostCapturer> MakeCapturer(const THostServices& AServices) {
  if (AServices.MakeCapturer) return AServices.MakeCapturer();
  return MakeScreenCapturer(AServices.MakeScreen ? AServices.MakeScreen() : CreateSystemScreen());
}

TAdmissionRules AdmissionRules(const THostTimings& ATimings) {
  TAdmissionRules rules;
  rules.ConsentLimitMs = uint32_t(std::max(ATimings.ConsentTimeoutMs, 0));
  rules.PasswordHoldMs = ATimings.PasswordHoldAfterUserEndMs;
  return rules;
}

}  // namespace

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
      FTimings(ATimings),
      FClipboard(AServices.Clipboard),
      FAdmission(std::move(APasswordHash), AdmissionRules(ATimings)),
      FStreamer(MakeCapturer(AServices)),
      FInput(AServices.Input),
      FFiles(AServices.DownloadDir, AServices.ConfigDir, FStreamer.Flow(),
             THostFileNotes{[this](const std::string& AText) { Log(AText); },
                            [this](const std::string& AText) { Status(AText); }}) {}

THostAgent::~THostAgent() {
  Stop();
  FGuard->Kill();
  FFiles.WaitIdle();
}

// ---- lifecycle --------------------------------------------------------------------------

void THostAgent::Start() {
  if (FRunning.exchange(true)) return;
  RenewOneTimePassword();
  FReader = std::make_unique<TProcThread>([this] { ConnectLoop(); });
}

void THostAgent::Stop() {
  if (!FRunning.exchange(false)) return;
  {
    std::lock_guard<std::mutex> hold(FLock);  // the reconnect wait tests FRunning under it
  }
  FWake.notify_all();
  EndOpenConsent(EConsentEnd::Lost);
  // Abort first: it wakes a connect, a read or a blocked write on every thread; the reader then
  // ends the session (it owns the session's parts) without waiting for a peer that stopped reading.
  if (TConnRef conn = Client()) conn->End("Stopped");
  if (FReader) {
    if (FUi.IsUiThread()) FUi.WaitPumping([this] { return FReader->Finished(); });
    FReader->Wait();
    FReader.reset();
  }
  FFiles.WaitIdle();
}

void THostAgent::ChangePassword(const std::string& APasswordHash) { FAdmission.SetPassword(APasswordHash); }

void THostAgent::SetQuality(int APreset) { FStreamer.SetQuality(APreset); }

void THostAgent::ConnectLoop() {
  FInput.ReadDesktop();
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
      SecureTurn(channel);
    };
    channel.OnPacket = [this, &channel](const TPacket& APacket) {
      if (!SecureDispatch(channel, APacket)) DispatchCmd(channel.Writer(), APacket.Type, APacket.Payload);
    };
    {
      std::lock_guard<std::mutex> hold(FLock);
      FClient = conn;
    }
    if (!FRunning) channel.End();  // Stop came before the channel was visible to it
    Status("릴레이 서버에 연결하는 중...");
    channel.Start();
    channel.Wait();
    if (FReRegister) {
      // The refused encrypted session said why already.
    } else if (FUserEnded) {
      Log("사용자가 연결을 끊었습니다");
    } else if (FRunning) {
      Log("연결 끊김: " + ConnectionLossText(channel.Cause()));
    }
    FConnected = false;
    EndOpenConsent(EConsentEnd::Lost);
    FSecure.reset();
    FSecureTicket = 0;
    FSecureVerdict = 0;
    // The channel has ended and stopped its writer, so a capture thread or a file sender that
    // waited for room has been released, and ending the session cannot wait for the network.
    EndSession();
    FInput.ReleaseHeld();  // what was pressed outside a session too
    Post([this] {
      auto handler = OnID;
      if (handler) handler("");
    });
    {
      std::lock_guard<std::mutex> hold(FLock);
      FClient.reset();
    }
    conn.reset();  // a file send may hold it a little longer: it finds the writer stopped
    // The user ended the session, or a refused encrypted one ended: register again at once.
    if (FUserEnded.exchange(false) | FReRegister.exchange(false)) continue;
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
  std::unique_lock<std::mutex> hold(FLock);
  FWake.wait_for(hold, std::chrono::milliseconds(FTimings.ReconnectWaitMs), [this] { return !FRunning; });
}

// ---- dispatch ---------------------------------------------------------------------------

// Every handler runs whenever its packet arrives, in a session or not: the relay keeps session
// messages inside sessions, and one that does not could as well start a session first.
void THostAgent::DispatchCmd(TPacketWriter& AReply, uint32_t AType, const TBytes& AData) {
  switch (AType) {
    case MsgHostId: HandleHostId(AData); break;
    case MsgSessionStart: StartSession(); break;
    case MsgSessionEnd: EndSession(); break;
    case MsgAdmitRequest: HandleConnectRequest(AReply, AData); break;
    case MsgAdmitWithdrawn: EndOpenConsent(EConsentEnd::Withdrawn); break;
    case MsgFrameAck: FStreamer.FrameAcked(); break;
    case MsgKeyframeRequest: FStreamer.RequestKeyframe(); break;
    case MsgQuality:
      if (!AData.empty()) {
        FStreamer.SetViewerCodings(AnnouncedTileCodings(AData));
        SetQuality(AData[0]);
      }
      break;
    case MsgSelectMonitor:
      if (!AData.empty()) FStreamer.SelectMonitor(AData[0]);
      break;
    case MsgMouse: FInput.Mouse(AData, FStreamer.Layout()); break;
    case MsgKey: FInput.Key(AData); break;
    case MsgClipboard: SetClipboardFromViewer(AData); break;
    case MsgChat: {
      std::string text = TextOf(AData);
      Post([this, LMsg = std::move(text)] {
        auto handler = OnChat;
        if (handler) handler(LMsg);
      });
      break;
    }
    case MsgFileBegin: FFiles.ReceiveBegin(TextOf(AData), AReply); break;
    case MsgFileChunk: FFiles.ReceiveChunk(AData, AReply); break;
    case MsgFileEnd: FFiles.ReceiveEnd(AReply); break;
    case MsgFileGet: FFiles.Request(TextOf(AData), AReply, Session()); break;
    case MsgFileCancel:
      if (AData.empty()) FFiles.ReceiveCancel();
      else if (AData.size() == 4) FFiles.CancelSend(GetLE32(AData.data()));
      break;
    case MsgListDir: FFiles.List(TextOf(AData), AReply); break;
    default: break;  // not ours: dropped without an answer
  }
}

void THostAgent::HandleHostId(const TBytes& AData) {
  FID = TrimControl(TextOf(AData));
  Post([this, LId = FID] {
    FShownID = LId;
    auto handler = OnID;
    if (handler) handler(LId);
  });
  Status("대기 중 - 접속을 기다립니다");
}

// ---- admission --------------------------------------------------------------------------

void THostAgent::HandleConnectRequest(TPacketWriter& AReply, const TBytes& AData) {
  const std::vector<std::string> fields = SplitTabs(TextOf(AData));
  // Both texts reach a prompt and the log: a relay may pass on whatever the viewer chose.
  const std::string LIP = CleanDisplayName(FieldAt(fields, 0));
  std::string LName = CleanDisplayName(FieldAt(fields, 1));
  const std::string proof = FieldAt(fields, 2);
  if (LName.empty()) LName = LIP;

  if (FIdentity) {
    switch (HostAdmitPath(proof, FRequireEncryption)) {
      case THostAdmitPath::Secure: {
        if (FSecure || Session()) {
          AReply.PostWait(MsgAdmitReject, BytesOf(AdmitRejectReason));  // one viewer at a time
          return;
        }
        // Admitted to the handshake only: nothing of the session leaves before it has keys.
        THandshakePasswords hashes = FAdmission.HandshakePasswordHashes();
        if (!hashes.First.empty() && !FGuesses.PasswordAllowed(std::chrono::steady_clock::now())) {
          Log("비밀번호가 여러 번 틀려 잠시 동안 사용자에게 묻습니다");
          hashes = {};
        }
        AReply.HoldSession();
        FSecure = std::make_unique<THostSecureStart>(*FIdentity, FID, std::move(hashes), LIP, TickMs());
        AReply.PostWait(MsgAdmitAccept);
        return;
      }
      case THostAdmitPath::Refuse:
        AReply.PostWait(MsgAdmitReject, BytesOf(std::string("암호화되지 않은 연결은 허용되지 않습니다")));
        Log(NameAndAddress("암호화하지 않는 접속 요청 거부 (RequireEncryption=1): ", LName, LIP));
        Admitted(LName, LIP, EAdmission::Refused);
        return;
      case THostAdmitPath::Plain:
        break;
    }
  }
  // This request runs in clear, as a peer without the handshake speaks.
  AReply.PlainSession();

  const std::optional<EConsentCause> cause = FAdmission.Check(FID, proof, TickMs());
  if (!cause) {
    AReply.PostWait(MsgAdmitAccept);
    Log(NameAndAddress("비밀번호 인증 접속 허용: ", LName, LIP));
    Admitted(LName, LIP, EAdmission::Password);
    return;
  }
  // The user has just ended a session: whoever comes back asks again, password or not.
  if (*cause == EConsentCause::JustEnded)
    Log(NameAndAddress("연결을 끊은 직후라 비밀번호가 맞아도 사용자에게 묻습니다: ", LName, LIP));

  const std::optional<uint64_t> ticket = FAdmission.Ask(LName, LIP, TickMs());
  if (!ticket) {
    // One question at a time: a second request while one is open is declined at once.
    AReply.PostWait(MsgAdmitReject, BytesOf(AdmitRejectReason));
    return;
  }
  // The reader goes back to the relay at once; the answer comes through AnswerConsent.
  AskUser(TConsentQuestion{*ticket, LName, LIP, *cause, {}});
}

void THostAgent::AskUser(TConsentQuestion AQuestion) {
  Post([this, LQuestion = std::move(AQuestion)] {
    if (!FAdmission.IsOpen(LQuestion.Ticket)) return;  // ended before it was shown: never shown
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

void THostAgent::AnswerConsent(uint64_t ATicket, bool AAllow, bool AViewOnly) {
  EndConsent(ATicket, AAllow ? EConsentEnd::Allowed : EConsentEnd::Refused, AAllow && AViewOnly);
}

void THostAgent::CheckConsentDeadline() {
  if (const std::optional<uint64_t> ticket = FAdmission.Lapsed(TickMs())) EndConsent(*ticket, EConsentEnd::TimedOut);
}

void THostAgent::EndOpenConsent(EConsentEnd AHow) {
  if (const std::optional<uint64_t> ticket = FAdmission.Current()) EndConsent(*ticket, AHow);
}

void THostAgent::EndConsent(uint64_t ATicket, EConsentEnd AHow, bool AViewOnly) {
  const std::optional<TPendingConsent::TRequest> request = FAdmission.End(ATicket);
  if (!request) return;  // the answer, the withdrawal, the deadline or the loss came first
  // Before the acceptance leaves, so the session starts with the viewer's input dropped; an
  // answer that came too late changes nothing.
  if (AHow == EConsentEnd::Allowed && AViewOnly) {
    FInput.SetViewOnly(true);
    Log("보기만 허용: 상담원의 입력은 이 컴퓨터에 전달되지 않습니다");
  }
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
  if (ATicket == FSecureTicket.load()) {
    // An encrypted request was accepted by the relay already: the answer goes inside the
    // handshake, sent by the reader (SecureTurn).
    FSecureVerdict = int(AHow) + 1;
  } else {
    // Never waits: this may run on the user-interface thread. A full queue means a relay that
    // reads nothing, and the connection is given up soon anyway.
    const bool sent =
        AHow == EConsentEnd::Allowed ? SendNow(MsgAdmitAccept, "") : SendNow(MsgAdmitReject, AdmitRejectReason);
    if (!sent) Log(NameAndAddress("접속 응답을 보내지 못했습니다: ", name, ip));
  }
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
  if (Session()) return;
  const TConnRef conn = Client();
  if (!conn) return;
  // The session keeps the channel alive for its workers, but uses only its writer.
  auto session = std::make_shared<THostSession>(std::shared_ptr<TPacketWriter>(conn, &conn->Writer()));
  {
    std::lock_guard<std::mutex> hold(FLock);
    FSession = session;
  }
  FStreamer.Begin(session);
  Status("상담원 접속됨 - 화면 공유 중");
  if (!FSealed) {
    Log(std::string(PlainConnectionText));
    Post([this] {
      auto handler = OnSessionSecurity;
      if (handler) handler(std::string(PlainConnectionText));
    });
  }
  Post([this] {
    auto handler = OnSessionStart;
    if (handler) handler("");
  });
}

void THostAgent::EndSession() {
  THostSessionRef session;
  {
    std::lock_guard<std::mutex> hold(FLock);
    session = std::move(FSession);
    FSession.reset();
  }
  if (!session) return;
  session->Close();  // the capture thread and a running file send stop by themselves
  if (FSealed) {
    // Nothing of this session may leave in clear afterwards, nor open under its keys.
    FSealed = false;
    if (const TConnRef conn = Client()) {
      conn->PlainSession();
      conn->Writer().HoldSession();
    }
  }
  FStreamer.End();
  FFiles.SessionEnded();
  FInput.ReleaseHeld();
  FInput.SetViewOnly(false);  // a session's "보기만 허용" ends with it
  // Whoever was given the one-time password has had their session with it.
  RenewOneTimePassword();
  Status("대기 중 - 접속을 기다립니다");
  Post([this] {
    auto handler = OnSessionEnd;
    if (handler) handler();
  });
}

void THostAgent::RenewOneTimePassword() {
  std::string LText;
  try {
    LText = NewOneTimePassword();
  } catch (const std::exception& e) {
    FAdmission.SetOneTimePassword(std::string());
    Log(std::string("임시 비밀번호를 만들 수 없습니다: ") + e.what());
    return;
  }
  FAdmission.SetOneTimePassword(HashPassword(LText));
  Post([this, LText] {
    auto handler = OnOneTimePassword;
    if (handler) handler(LText);
  });
}

bool THostAgent::PushClipboard(const std::string& AText) {
  const THostSessionRef session = Session();
  return session && session->Writer().PostText(MsgClipboard, AText);
}

bool THostAgent::SendChat(const std::string& AText) {
  const THostSessionRef session = Session();
  return session && session->Writer().PostText(MsgChat, AText);
}

void THostAgent::EndSessionByUser() {
  if (!Session()) return;
  TConnRef conn = Client();
  if (!conn) return;
  FUserEnded = true;
  FAdmission.HoldPassword(TickMs());
  conn->End("Ended by the user");  // the reader sees the abort, ends the session and registers again
}

void THostAgent::SetClipboardFromViewer(const TBytes& AData) {
  IClipboardSetter* clipboard = FClipboard;
  if (!clipboard) return;
  Sync([clipboard, LText = TextOf(AData)] {
    try {
      clipboard->SetClipboardText(LText);
    } catch (...) {
      // another program holding the clipboard must not end the session
    }
  });
}

// ---- the end-to-end handshake -------------------------------------------------------------

void THostAgent::SetSecurity(std::optional<TIdentityKey> AIdentity, bool ARequireEncryption) {
  FIdentity = std::move(AIdentity);
  FRequireEncryption = ARequireEncryption;
}

bool THostAgent::SecureDispatch(TRelayChannel& AConn, const TPacket& APacket) {
  if (!FSecure) {
    // A hello in a session admitted in clear: a relay took the offer out of a request of ours.
    if (APacket.Type == MsgSecureHello && FIdentity && Session() && !FSealed) {
      Log("암호화 요청이 중간에서 제거된 접속이라 세션을 끝냅니다");
      FReRegister = true;
      AConn.End("Handshake stripped");
      return true;
    }
    return IsSecureMsg(APacket.Type);  // not ours outside a handshake
  }
  THostSecureStart& start = *FSecure;
  switch (APacket.Type) {
    case MsgSessionStart:
      return true;  // the session starts once the handshake has admitted the viewer
    case MsgSessionEnd:
      // The viewer left during the handshake or the question.
      if (start.Ticket) EndConsent(*start.Ticket, EConsentEnd::Withdrawn);
      FSecureTicket = 0;
      FSecureVerdict = 0;
      FSecure.reset();
      return false;
    case MsgSecureHello:
      try {
        TBytes reply = start.OnHello(APacket.Payload);
        // The second password's share goes first, so a viewer has it when the reply comes.
        if (std::optional<TBytes> share = start.SecondShare()) AConn.Writer().PostWait(MsgSecureSecondShare, *share);
        AConn.Writer().PostWait(MsgSecureReply, reply);
      } catch (const TSecureError& e) {
        SecureAbort(AConn, TAbortReason::Malformed, e.what());
      }
      return true;
    case MsgSecureConfirm:
      try {
        start.OnConfirm(APacket.Payload);
      } catch (const TSecureError& e) {
        if (start.PasswordMode()) {
          FGuesses.NoteFailure(std::chrono::steady_clock::now());
          FWrongPassword = TWrongPassword{start.ViewerName(), start.ViewerIP(), TickMs()};
          Log(NameAndAddress("비밀번호가 틀린 접속 요청: ", start.ViewerName(), start.ViewerIP()));
          Admitted(start.ViewerName(), start.ViewerIP(), EAdmission::Refused);
          SecureAbort(AConn, TAbortReason::WrongPassword, e.what());
        } else {
          SecureAbort(AConn, TAbortReason::Malformed, e.what());
        }
        return true;
      }
      SecureConfirmed(AConn);
      return true;
    case MsgSecureAbort:
      Log(NameAndAddress("상대방이 암호화 연결을 중단했습니다: ", start.ViewerName(), start.ViewerIP()));
      if (start.Ticket) EndConsent(*start.Ticket, EConsentEnd::Withdrawn);
      FReRegister = true;
      AConn.End("Handshake aborted by the viewer");
      return true;
    default:
      // Nothing of the session before the handshake has admitted the viewer.
      return IsSessionMsg(APacket.Type);
  }
}

void THostAgent::SecureConfirmed(TRelayChannel& AConn) {
  THostSecureStart& start = *FSecure;
  if (start.PasswordVerified() && !FAdmission.PasswordHeld(TickMs())) {
    Log(NameAndAddress("비밀번호 인증 접속 허용: ", start.ViewerName(), start.ViewerIP()));
    Admitted(start.ViewerName(), start.ViewerIP(), EAdmission::Password);
    SecureAdmit(AConn);
    return;
  }
  EConsentCause cause = EConsentCause::NoPassword;
  // The same viewer asking without a password right after its password was wrong: its user
  // typed a wrong one, and the question says so.
  if (FWrongPassword && FWrongPassword->Name == start.ViewerName() && FWrongPassword->IP == start.ViewerIP() &&
      !TickElapsed(TickMs(), FWrongPassword->AtMs, WrongPasswordRecallMs))
    cause = EConsentCause::WrongPassword;
  FWrongPassword.reset();
  if (start.PasswordVerified()) {
    cause = EConsentCause::JustEnded;
    Log(NameAndAddress("연결을 끊은 직후라 비밀번호가 맞아도 사용자에게 묻습니다: ", start.ViewerName(),
                       start.ViewerIP()));
  }
  const std::optional<uint64_t> ticket = FAdmission.Ask(start.ViewerName(), start.ViewerIP(), TickMs());
  if (!ticket) {
    SecureAbort(AConn, TAbortReason::Refused, "another question is open");
    return;
  }
  start.Ticket = *ticket;
  FSecureVerdict = 0;
  FSecureTicket = *ticket;
  AskUser(TConsentQuestion{*ticket, start.ViewerName(), start.ViewerIP(), cause, start.SessionCode()});
}

void THostAgent::SecureAdmit(TRelayChannel& AConn) {
  const std::string code = FSecure->SessionCode();
  AConn.Writer().PostWait(MsgSealed, FSecure->Admit());
  TSecureChannel keys = FSecure->TakeChannel();
  // The viewer seals nothing before it has the admission just queued, so the opener is in
  // place before its first sealed packet.
  AConn.OpenSession(std::make_unique<TOpener>(std::move(keys.In)));
  AConn.Writer().SealSession(std::make_unique<TSealer>(std::move(keys.Out)));
  FSecure.reset();
  FSecureTicket = 0;
  FSealed = true;
  StartSession();
  Log("암호화된 세션 - 세션 코드 " + code);
  Post([this, code] {
    auto handler = OnSessionSecurity;
    if (handler) handler("암호화됨 · 세션 코드 " + code);
  });
}

void THostAgent::SecureTurn(TRelayChannel& AConn) {
  if (!FSecure) return;
  if (FSecure->Overdue(TickMs())) {
    SecureAbort(AConn, TAbortReason::Timeout, "handshake timed out");
    return;
  }
  const int verdict = FSecureVerdict.exchange(0);
  if (verdict == 0 || !FSecure->Ticket || FSecureTicket.load() != *FSecure->Ticket) return;
  if (EConsentEnd(verdict - 1) == EConsentEnd::Allowed && FSecure->AwaitsConsent())
    SecureAdmit(AConn);
  else
    SecureAbort(AConn, TAbortReason::Refused, "refused");
}

void THostAgent::SecureAbort(TRelayChannel& AConn, TAbortReason AReason, const std::string& AWhy) {
  // The abort leaves before the connection goes; the relay then ends the viewer's side.
  AConn.Writer().PostWait(MsgSecureAbort, BuildAbort(AReason));
  AConn.Writer().Flush(1000);
  FSecure.reset();
  FSecureTicket = 0;
  FReRegister = true;
  AConn.End("Encrypted session refused: " + AWhy);
}

// ---- sending and marshalling ------------------------------------------------------------

THostAgent::TConnRef THostAgent::Client() const {
  std::lock_guard<std::mutex> hold(FLock);
  return FClient;
}

THostSessionRef THostAgent::Session() const {
  std::lock_guard<std::mutex> hold(FLock);
  return FSession;
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
