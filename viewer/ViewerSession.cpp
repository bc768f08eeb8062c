#include "viewer/ViewerSession.h"

#include <chrono>
#include <fstream>

#include "platform/Folders.h"
#include "platform/KeyCodes.h"
#include "protocol/Error.h"
#include "protocol/SecureAdmission.h"
#include "protocol/SecureHandshake.h"

namespace tlm {

namespace {
// Unsent bytes the kernel may hold for us: enough to keep a 40 Mbit/s link busy between two
// wake-ups of the writer, small enough that an urgent packet waits only milliseconds.
constexpr int NotSentLowWater = 32 << 10;

TRelayChannelSettings ChannelSettings(const TViewerParams& AParams, const TViewerTimings& ATimings) {
  TRelayChannelSettings settings;
  settings.Host = AParams.Server;
  settings.Port = AParams.Port;
  settings.Tls = AParams.Tls;
  settings.ConnectTimeoutMs = ATimings.ConnectTimeoutMs;
  settings.ReadTimeoutMs = ATimings.ReadTimeoutMs;
  // The relay keeps a viewer's line alive: this long without a word, the line is dead.
  settings.SilenceLimitMs = ATimings.ReadTimeoutMs;
  settings.NotSentLowWaterBytes = NotSentLowWater;
  return settings;
}

// AText up to and including its first AMaxLines CR LF lines, empty ones counted too (the
// parsers keep a piece for each); ACut tells whether anything was left out. Nothing is copied.
std::string_view HeadLines(std::string_view AText, size_t AMaxLines, bool& ACut) {
  size_t pos = 0;
  for (size_t lines = 0; lines < AMaxLines && pos < AText.size(); ++lines) {
    const size_t eol = AText.find("\r\n", pos);
    pos = eol == std::string_view::npos ? AText.size() : eol + 2;
  }
  ACut = pos < AText.size();
  return AText.substr(0, pos);
}

std::vector<TMonitorEntry> BoundedMonitorList(std::string_view AText) {
  bool cut = false;
  std::vector<TMonitorEntry> monitors = ParseMonitorList(HeadLines(AText, MaxMonitorEntries, cut));
  for (TMonitorEntry& entry : monitors) {
    entry.WidthText = CutUtf8(entry.WidthText, MaxMonitorFieldChars);
    entry.HeightText = CutUtf8(entry.HeightText, MaxMonitorFieldChars);
  }
  return monitors;
}

}  // namespace

int64_t SessionClockMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string CutUtf8(const std::string& AText, size_t AMaxChars) {
  size_t chars = 0;
  for (size_t i = 0; i < AText.size(); ++i) {
    // A code point starts at every byte that is not a continuation byte (10xxxxxx).
    if ((static_cast<unsigned char>(AText[i]) & 0xC0) != 0x80) {
      if (chars == AMaxChars) return AText.substr(0, i);
      ++chars;
    }
  }
  return AText;
}

template <typename T>
class TViewerSession::TLatest {
public:
  // True when the box was empty, so the caller must queue a call that takes the value.
  bool Put(T AValue) {
    std::lock_guard hold(FLock);
    const bool wasEmpty = !FValue.has_value();
    FValue = std::move(AValue);
    return wasEmpty;
  }
  std::optional<T> Take() {
    std::lock_guard hold(FLock);
    std::optional<T> value = std::move(FValue);
    FValue.reset();
    return value;
  }

private:
  std::mutex FLock;
  std::optional<T> FValue;
};

class TViewerSession::TChatQueue {
public:
  // True when the queue was empty, so the caller must queue a call that drains it.
  bool Push(std::string ALine) {
    std::lock_guard hold(FLock);
    const bool wasEmpty = FLines.empty() && FDropped == 0;
    if (FLines.size() >= MaxChatBacklog)
      ++FDropped;
    else
      FLines.push_back(std::move(ALine));
    return wasEmpty;
  }
  void Take(std::deque<std::string>& ALines, size_t& ADropped) {
    std::lock_guard hold(FLock);
    ALines.swap(FLines);
    FLines.clear();
    ADropped = FDropped;
    FDropped = 0;
  }

private:
  std::mutex FLock;
  std::deque<std::string> FLines;
  size_t FDropped = 0;
};

struct TViewerSession::THandshake {
  explicit THandshake(const TViewerParams& AParams)
      : Machine(AParams.TargetID, AParams.Security.OwnId, AParams.MyName, AParams.Security.PasswordHash) {}
  TViewerHandshake Machine;
  bool FirstContact = false;
};

TViewerSession::TViewerSession(IUiDispatcher& AUi, TViewerParams AParams, TViewerTimings ATimings)
    : FUi(AUi),
      FGuard(NewLifeGuard()),
      FParams(std::move(AParams)),
      FTimings(ATimings),
      FChannel(ChannelSettings(FParams, FTimings)),
      FDownload(FParams.DownloadDir.empty() ? UserDownloadDir() : FParams.DownloadDir),
      FStatusBox(std::make_unique<TLatest<std::string>>()),
      FEndedBox(std::make_unique<TLatest<std::string>>()),
      FMonitorBox(std::make_unique<TLatest<std::vector<TMonitorEntry>>>()),
      FListingBox(std::make_unique<TLatest<TBoundedListing>>()),
      FClipBox(std::make_unique<TLatest<std::string>>()),
      FChat(std::make_unique<TChatQueue>()) {
  if (FParams.Security.Offer && !FParams.Security.Pins) throw TError("An encrypted session needs the pin store");
  FQuality.store(IsQualityPreset(FParams.Quality) ? FParams.Quality : QualityStandard);
  FUpload = std::make_unique<TViewerUpload>(FChannel.Writer());
  FUpload->OnProgress = [this](const std::string& AText) { Status("전송 중: " + AText); };
  FUpload->OnDone = [this](const std::string& AName, bool AComplete) {
    Post([this, AName, AComplete] {
      if (OnUploadDone) OnUploadDone(AName, AComplete);
    });
  };
  FChannel.OnConnected = [this] { Connected(); };
  FChannel.OnPacket = [this](const TPacket& APacket) { Dispatch(APacket); };
  FChannel.OnEnded = [this](const std::string& AWhy, bool AConnected) { ChannelEnded(AWhy, AConnected); };
}

TViewerSession::~TViewerSession() { Stop(); }

void TViewerSession::Post(std::function<void()> AProc) { PostGuarded(FUi, FGuard, std::move(AProc)); }

void TViewerSession::Status(const std::string& AText) {
  if (FStatusBox->Put(CutUtf8(AText, MaxStatusChars)))
    Post([this] {
      if (auto text = FStatusBox->Take(); text && OnStatus) OnStatus(*text);
    });
}

bool TViewerSession::Ended() const {
  const EState state = FState.load();
  return state == EState::PartnerEnded || state == EState::Lost || state == EState::Failed;
}

void TViewerSession::Start() {
  if (FState.load() != EState::Created || FStopping.load()) return;
  FState.store(EState::Connecting);
  FChannel.Start();
}

void TViewerSession::Stop() {
  if (FStopping.exchange(true)) return;
  if (Live()) {
    // What the user still holds is let go on the partner's side, and what is queued leaves.
    ReleaseHeld();
    FChannel.Writer().Flush(FTimings.CloseFlushMs);
  }
  FGuard->Kill();
  FChannel.End();
  FScreen.Cancel();
  FChannel.Wait();
}

// ---------------------------------------------------------------------------------------
// Reader thread

bool TViewerSession::Offering() const {
  return FParams.Security.Offer;
}

void TViewerSession::Connected() {
  std::string proof = FParams.Proof;
  if (Offering()) {
    // Nothing of the session leaves before the handshake has keys, and the static proof never.
    FChannel.Writer().HoldSession();
    proof = SecureOfferMarker;
  }
  FChannel.Writer().PostWait(MsgConnectRequest, BytesOf(BuildConnectRequest(FParams.TargetID, FParams.MyName, proof)));
  FState.store(EState::Waiting);
  Status("원격지 승인 대기 중...");
}

void TViewerSession::ChannelEnded(const std::string& AWhy, bool AConnected) {
  FUpload->Cancel();
  FDownload.Abandon();
  if (!AConnected) {
    FState.store(EState::Failed);
    if (!FStopping.load())
      Post([this, AWhy] {
        if (OnConnectFailed) OnConnectFailed(AWhy);
      });
    return;
  }
  // Closed, reset, timed out, too large, a tile that cannot be decoded, a failed write. After
  // a refusal the relay closes the connection: the refusal said why, and it stays said; so
  // does a refused handshake.
  if (FRelayErrorSeen.load() || FSecureRefused.load())
    FState.store(EState::Failed);
  else if (!FStopping.load())
    RaiseEnded(EState::Lost, "연결 종료됨");
}

void TViewerSession::RaiseEnded(EState AState, const std::string& AStatus) {
  FState.store(AState);
  Status(AStatus);
  // A partner may end the session a million times over: one call waits at most.
  if (FEndedBox->Put(AStatus))
    Post([this] {
      FHeldKeys.clear();
      FHeldButtons.clear();
      if (auto reason = FEndedBox->Take(); reason && OnEnded) OnEnded(*reason);
    });
}

void TViewerSession::Dispatch(const TPacket& APacket) {
  if (SecureDispatch(APacket)) return;
  const TBytes& payload = APacket.Payload;
  switch (APacket.Type) {
    case MsgSessionStart:
      if (Offering())
        StartHandshake();
      else
        SessionStarted();
      break;
    case MsgSessionEnd:
      if (Offering()) {
        // Whatever comes next belongs to no session until a new handshake agrees on keys.
        FChannel.PlainSession();
        FChannel.Writer().HoldSession();
        FHandshake.reset();
        FSecurePhase.store(ESecurePhase::Off);
      }
      FPartnerLeft.store(true);
      FUpload->RequestStop();
      RaiseEnded(EState::PartnerEnded, "원격지 연결 종료됨");
      break;
    case MsgFrame:
      FrameReceived(payload);
      break;
    case MsgMonitorList:
      if (FMonitorBox->Put(BoundedMonitorList(TextOf(payload))))
        Post([this] {
          if (auto monitors = FMonitorBox->Take(); monitors && OnMonitors) OnMonitors(*monitors);
        });
      break;
    case MsgClipboard:
      if (FClipBox->Put(TextOf(payload)))
        Post([this] {
          if (auto text = FClipBox->Take(); text && OnClipboard) OnClipboard(*text);
        });
      break;
    case MsgChat:
      if (FChat->Push(CutUtf8(TextOf(payload), MaxChatLineChars)))
        Post([this] {
          std::deque<std::string> lines;
          size_t dropped = 0;
          FChat->Take(lines, dropped);
          for (const std::string& line : lines)
            if (OnChat) OnChat(line);
          if (dropped > 0 && OnChatDropped) OnChatDropped(dropped);
        });
      break;
    case MsgFileBegin: {
      FFilesAnnounced.fetch_add(1);
      std::string status;
      if (FDownload.Begin(TextOf(payload), status)) {
        try {
          FChannel.Writer().PostWait(MsgFileReady);
        } catch (...) {
          FDownload.Abandon();
          throw;
        }
      }
      if (!status.empty()) Status(status);
      break;
    }
    case MsgFileChunk:
      if (std::string status = FDownload.Chunk(payload); !status.empty()) Status(status);
      break;
    case MsgFileEnd: {
      std::string stored;
      if (std::string status = FDownload.End(&stored); !status.empty()) Status(status);
      if (!stored.empty())
        Post([this, stored] {
          if (OnDownloaded) OnDownloaded(stored);
        });
      break;
    }
    case MsgFileError: {
      // The host refused the upload: stop streaming a file nobody writes.
      FUpload->RequestStop();
      const std::string text = TextOf(payload);
      // After the user's cancel the host reports the short file it kept; that is no refusal.
      if (text.starts_with("파일 수신 실패") && FUploadCancelled.exchange(false)) break;
      Status("파일 거부됨: " + text);
      break;
    }
    case MsgDirListing: {
      // The folder's line and MaxListingEntries rows.
      const std::string text = TextOf(payload);
      bool cut = false;
      std::optional<TDirListing> listing = ParseDirListing(HeadLines(text, MaxListingEntries + 1, cut));
      if (!listing) break;
      listing->ErrorText = CutUtf8(listing->ErrorText, MaxStatusChars);
      std::erase_if(listing->Entries,
                    [](const TDirListing::TLine& ALine) { return ALine.Name.size() > MaxRemoteNameBytes; });
      if (FListingBox->Put(TBoundedListing{std::move(*listing), cut}))
        Post([this] {
          if (auto bounded = FListingBox->Take(); bounded && OnListing) OnListing(bounded->Listing, bounded->Cut);
        });
      break;
    }
    case MsgRelayError: {
      // The first refusal is the answer; anything after it only repeats or contradicts it.
      if (FRelayErrorSeen.exchange(true)) break;
      const std::string text = CutUtf8(TextOf(payload), MaxStatusChars);
      Status("오류: " + text);
      Post([this, text] {
        if (OnRelayError) OnRelayError(text);
      });
      break;
    }
    default:
      break;  // unknown codes are dropped
  }
}

void TViewerSession::StartHandshake() {
  FPartnerLeft.store(false);
  FChannel.PlainSession();
  FChannel.Writer().HoldSession();
  FHandshake = std::make_unique<THandshake>(FParams);
  FSecurePhase.store(ESecurePhase::AwaitingReply);
  FChannel.Writer().PostWait(MsgSecureHello, FHandshake->Machine.Start());
  Status("보안 연결 확인 중...");
}

bool TViewerSession::SecureDispatch(const TPacket& APacket) {
  if (!Offering()) return false;
  const ESecurePhase phase = FSecurePhase.load();
  // The relay's own messages (start, end, errors) and an agreed session take the usual way.
  if (phase == ESecurePhase::Sealed || phase == ESecurePhase::Plain || !IsSessionMsg(APacket.Type)) return false;
  if (phase == ESecurePhase::Off || !FHandshake) return true;  // session traffic outside a session
  TViewerHandshake& machine = FHandshake->Machine;
  if (phase == ESecurePhase::AwaitingReply) {
    switch (ClassifyWhileAwaitingReply(APacket.Type)) {
      case TViewerWaitingPacket::Ignore:
        return true;
      case TViewerWaitingPacket::SecondShare:
        try {
          machine.OnSecondShare(APacket.Payload);
        } catch (const TSecureError&) {
          HandshakeFailed(AbortText(TAbortReason::Malformed), true, TAbortReason::Malformed);
        }
        return true;
      case TViewerWaitingPacket::Abort:
        HostAborted(ParseAbort(APacket.Payload));
        return true;
      case TViewerWaitingPacket::PlainTraffic: {
        // A host without the handshake, or a relay that stripped it.
        TPinPolicy policy(*FParams.Security.Pins);
        switch (policy.CheckPlain(FParams.TargetID, FParams.Security.RequireEncryption)) {
          case TPlainVerdict::RefusedWasEncrypted:
            HandshakeFailed("이전에 암호화되던 상대방이 암호화 없이 응답했습니다. 접속을 거부합니다", false,
                            TAbortReason::Other);
            return true;
          case TPlainVerdict::RefusedRequired:
            HandshakeFailed("상대방이 암호화를 지원하지 않아 접속을 거부합니다 (RequireEncryption=1)", false,
                            TAbortReason::Other);
            return true;
          case TPlainVerdict::AllowedWithWarning:
            break;
        }
        FHandshake.reset();
        FSecurePhase.store(ESecurePhase::Plain);
        FChannel.Writer().PlainSession();
        Post([this] {
          if (OnPlainConnection) OnPlainConnection();
        });
        SessionStarted();
        return false;  // the packet itself is the plain session's first
      }
      case TViewerWaitingPacket::Reply:
        break;
    }
    TBytes confirm;
    try {
      confirm = machine.OnReply(APacket.Payload);
    } catch (const TSecureError&) {
      HandshakeFailed(AbortText(TAbortReason::Malformed), true, TAbortReason::Malformed);
      return true;
    }
    const TPinCheck check = TPinPolicy(*FParams.Security.Pins).CheckKey(FParams.TargetID, machine.HostKey());
    if (check.Verdict == TPinVerdict::Changed) {
      {
        std::lock_guard hold(FKeyLock);
        FChangedKey = machine.HostKey();
      }
      Post([this, check] {
        if (OnKeyChanged) OnKeyChanged(check.OldCode, check.NewCode);
      });
      HandshakeFailed(std::string(KeyChangedText) + " (이전 " + check.OldCode + ", 지금 " + check.NewCode + ")", true,
                      TAbortReason::KeyChanged);
      return true;
    }
    FHandshake->FirstContact = check.Verdict == TPinVerdict::FirstContact;
    FChannel.Writer().PostWait(MsgSecureConfirm, confirm);
    FSecurePhase.store(ESecurePhase::AwaitingAdmission);
    const TViewerSecureInfo info{machine.SessionCode(), check.NewCode, FHandshake->FirstContact};
    Post([this, info] {
      if (OnSecured) OnSecured(info);
    });
    Status("원격지 승인 대기 중... 세션 코드 " + info.SessionCode);
    return true;
  }
  // Awaiting the host's admission: only its sealed word, or its abort.
  if (APacket.Type == MsgSecureAbort) {
    HostAborted(ParseAbort(APacket.Payload));
    return true;
  }
  if (APacket.Type != MsgSealed) {
    // Our host replied, so clear session traffic now is someone else's.
    if (IsSealedSessionMsg(APacket.Type))
      HandshakeFailed(AbortText(TAbortReason::Malformed), true, TAbortReason::Malformed);
    return true;
  }
  std::optional<TSecureChannel> channel;
  try {
    machine.OnSealed(APacket.Payload);
    channel.emplace(machine.TakeChannel());
  } catch (const TSecureError&) {
    HandshakeFailed(AbortText(TAbortReason::Malformed), true, TAbortReason::Malformed);
    return true;
  }
  const bool firstContact = FHandshake->FirstContact;
  const TPublicKey hostKey = machine.HostKey();
  FHandshake.reset();
  FChannel.OpenSession(std::make_unique<TOpener>(std::move(channel->In)));
  FChannel.Writer().SealSession(std::make_unique<TSealer>(std::move(channel->Out)));
  FSecurePhase.store(ESecurePhase::Sealed);
  if (firstContact) {
    try {
      TPinPolicy(*FParams.Security.Pins).Remember(FParams.TargetID, hostKey);
    } catch (const TError& e) {
      Status(std::string("상대방의 보안 코드를 저장하지 못했습니다: ") + e.what());
    }
  }
  SessionStarted();
  return true;
}

void TViewerSession::HandshakeFailed(const std::string& AText, bool ASendAbort, TAbortReason AReason) {
  FHandshake.reset();
  FSecurePhase.store(ESecurePhase::Off);
  FSecureRefused.store(true);
  if (ASendAbort) {
    FChannel.Writer().Post(MsgSecureAbort, BuildAbort(AReason));
    FChannel.Writer().Flush(FTimings.CloseFlushMs);
  }
  RaiseEnded(EState::Failed, AText);
  FChannel.End(AText);
}

void TViewerSession::HostAborted(TAbortReason AReason) {
  if (AReason == TAbortReason::WrongPassword) FPasswordRefused.store(true);
  HostRefused(AbortText(AReason));
}

void TViewerSession::HostRefused(const std::string& AText) {
  // The host's answer to the request, as a relay's refusal would be: told once, and final.
  FHandshake.reset();
  FSecurePhase.store(ESecurePhase::Off);
  FSecureRefused.store(true);
  if (!FRelayErrorSeen.exchange(true)) {
    const std::string text = CutUtf8(AText, MaxStatusChars);
    Status("오류: " + text);
    Post([this, text] {
      if (OnRelayError) OnRelayError(text);
    });
  }
  FChannel.End(AText);
}

bool TViewerSession::TrustChangedKey() {
  std::optional<TPublicKey> key;
  {
    std::lock_guard hold(FKeyLock);
    key.swap(FChangedKey);
  }
  if (!key) return false;
  try {
    TPinPolicy(*FParams.Security.Pins).Remember(FParams.TargetID, *key);
    return true;
  } catch (const TError&) {
    return false;
  }
}

void TViewerSession::SessionStarted() {
  FPartnerLeft.store(false);
  FMeter.Reset(SessionClockMs());
  FState.store(EState::InSession);
  FChannel.Writer().PostWait(MsgQuality, QualityPayload(FQuality.load()));
  // No handshake was offered (a build without it, or not asked): the session runs in clear
  // and is said to, as it is for a partner without the handshake.
  if (FSecurePhase.load() == ESecurePhase::Off)
    Post([this] {
      if (OnPlainConnection) OnPlainConnection();
    });
  // Queued ahead of the status line: whoever sees the line finds the session started.
  Post([this] {
    if (OnStarted) OnStarted();
  });
  Status("연결됨 - 원격 제어 중");
}

void TViewerSession::FrameReceived(const TBytes& APayload) {
  FMeter.FrameArrived(SessionClockMs());
  if (FScreen.Apply(APayload) == TRemoteScreen::EApply::Drawn && !FRepaintPending.exchange(true))
    Post([this] {
      FRepaintPending.store(false);
      if (OnFrame) OnFrame();
    });
  // One acknowledgement per frame, also for one that was not drawn. Waiting here while the
  // queue is full slows the partner down instead of growing the queue.
  FChannel.Writer().PostWait(MsgFrameAck);
  FMeter.AckSent(SessionClockMs());
  WriteResultFile(APayload.size());
}

void TViewerSession::WriteResultFile(size_t APayloadSize) {
  if (FParams.ResultFile.empty() || FResultWritten) return;
  FResultWritten = true;
  {
    std::ofstream out(FParams.ResultFile, std::ios::binary | std::ios::trunc);
    if (out) out << "OK " << APayloadSize;
  }
  Post([this] {
    if (OnResultWritten) OnResultWritten();
  });
}

// ---------------------------------------------------------------------------------------
// User-interface thread

bool TViewerSession::SendMouse(const TMouseEventRec& ARec) {
  if (!Live()) return false;
  FLastMouse = ARec;
  if (ARec.Button != MouseButtonNone && (ARec.Action == MousePress || ARec.Action == MouseDoubleClick))
    FHeldButtons.insert(ARec.Button);
  if (ARec.Button != MouseButtonNone && ARec.Action == MouseRelease) FHeldButtons.erase(ARec.Button);
  return FChannel.Writer().Post(MsgMouse, PackMouseEvent(ARec));
}

void TViewerSession::SendSpecialKey(ESpecialKey AKey) {
  for (const TKeyStroke& stroke : SpecialKeyStrokes(AKey))
    SendKey(stroke.VirtualKey, stroke.KeyUp, IsExtendedVirtualKey(stroke.VirtualKey));
}

bool TViewerSession::SendKey(uint16_t AVirtualKey, bool AKeyUp, bool AExtended) {
  if (!Live()) return false;
  if (AKeyUp)
    FHeldKeys.erase(AVirtualKey);
  else
    FHeldKeys.insert(AVirtualKey);
  TKeyEventRec rec{};
  rec.VirtualKey = AVirtualKey;
  rec.ScanCode = ScanCodeFromVirtualKey(AVirtualKey);
  rec.KeyUp = AKeyUp ? 1 : 0;
  rec.Extended = AExtended ? 1 : 0;
  return FChannel.Writer().Post(MsgKey, PackKeyEvent(rec));
}

void TViewerSession::ReleaseHeld() {
  const std::set<uint16_t> keys = std::move(FHeldKeys);
  const std::set<uint8_t> buttons = std::move(FHeldButtons);
  FHeldKeys.clear();
  FHeldButtons.clear();
  if (!Live()) return;
  for (const uint16_t vk : keys) SendKey(vk, true, IsExtendedVirtualKey(vk));
  for (const uint8_t button : buttons) {
    TMouseEventRec rec = FLastMouse;
    rec.Button = button;
    rec.Action = MouseRelease;
    rec.WheelDelta = 0;
    SendMouse(rec);
  }
}

void TViewerSession::CancelDownload() {
  FDownload.RequestCancel();
  // Which file: the host may have moved on to the next one meanwhile, which is left alone.
  uint8_t number[4];
  PutLE32(number, FFilesAnnounced.load());
  if (Live()) FChannel.Writer().Post(MsgFileCancel, number);
}

bool TViewerSession::SendChat(const std::string& AText) { return FChannel.Writer().PostText(MsgChat, AText); }

bool TViewerSession::SendClipboard(const std::string& AText) {
  return Live() && FChannel.Writer().PostText(MsgClipboard, AText);
}

bool TViewerSession::SetQuality(int AIndex, bool ASendNow) {
  if (!IsQualityPreset(AIndex)) return false;
  FQuality.store(AIndex);
  return ASendNow && Live() && FChannel.Writer().Post(MsgQuality, QualityPayload(AIndex));
}

bool TViewerSession::SelectMonitor(int AIndex) {
  if (AIndex < 0 || AIndex > 255) return false;
  const uint8_t index = static_cast<uint8_t>(AIndex);
  return Live() && FChannel.Writer().Post(MsgSelectMonitor, std::span<const uint8_t>(&index, 1));
}

bool TViewerSession::RequestListing(const std::string& APath) { return Live() && FChannel.Writer().PostText(MsgListDir, APath); }

bool TViewerSession::RequestFile(const std::string& ARemotePath) {
  if (!Live()) return false;
  FDownload.Expect(ARemotePath);
  return FChannel.Writer().PostText(MsgFileGet, ARemotePath);
}

void TViewerSession::SendFile(const std::string& ALocalPath) {
  if (!Live()) throw TError("not connected");
  FUpload->Start(ALocalPath);
  FUploadCancelled.store(false);
}

void TViewerSession::CancelUpload() {
  FUploadCancelled.store(true);
  // Ahead of the chunks still queued, so the host stops writing at once.
  if (Live() && FUpload->Running()) FChannel.Writer().Post(MsgFileCancel);
  FUpload->RequestStop();
}

}  // namespace tlm
