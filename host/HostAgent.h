// THostAgent: the host half of the program. It keeps one connection to the relay server on a
// reader thread of its own (connect, register with the device key, keep-alive, reconnect),
// admits viewers by password proof or by its user's consent, streams the selected monitor on
// a capture thread while a session lasts, injects the viewer's input, and serves files,
// folder listings, chat and clipboard.
//
// The agent itself is the relay link (connect, register, keep-alive, reconnect), the dispatch
// of what the relay sends and the events to the window. The rest is in parts, each with one
// owner: admission (host/HostAdmission.h), the picture (host/HostStreamer.h), input
// (host/HostInput.h) and files (host/HostFileService.h). A relay session is a THostSession
// (host/HostSession.h) that the workers of that session check.
//
// Contract:
// - Create, Start, Stop, destroy, ChangePassword, SetQuality, PushClipboard, SendChat,
//   EndSessionByUser, the state queries and the event slots belong to the user-interface thread,
//   the one on which AUi runs its calls. Assign the slots before Start, clear them before
//   destroying the agent.
// - Every event is queued to the user-interface thread through AUi. Calls still queued when the
//   agent is destroyed do nothing.
// - A consent question is a record, not a wait: OnConsent asks it, the handler answers with
//   AnswerConsent whenever the user has decided (from inside the handler or later). The question
//   also ends when it lapses after ConsentTimeoutMs, when the relay withdraws the request, or
//   when the connection goes; OnConsentClosed then tells the handler to close its prompt, and a
//   later answer is ignored.
// - Nothing the user-interface thread calls waits on the network: its sends are queued on the
//   connection's one writer and dropped (answer false) when that queue is full or no
//   connection is up. The reader and capture threads wait for room; file chunks go through the
//   writer's bulk queue, behind every other packet.
// - Stop (and the destructor) end a session, close the connection and wait for the reader,
//   running queued calls while they wait, so a pending consent prompt cannot block them.
// - The platform services in THostServices must outlive the agent.
// - End-to-end encryption (docs/end-to-end-encryption.md): with an identity key (SetSecurity),
//   a request that offers the handshake is admitted inside it (host/HostSecureStart.h) and its
//   session runs sealed; any other request runs in clear and is announced so
//   (OnSessionSecurity), or is refused with RequireEncryption.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host/HostAdmission.h"
#include "host/HostCapturer.h"
#include "host/HostFileService.h"
#include "host/HostInput.h"
#include "host/HostSession.h"
#include "host/HostStreamer.h"
#include "host/ProcThread.h"
#include "platform/Input.h"
#include "platform/Screen.h"
#include "protocol/Bytes.h"
#include "protocol/Connection.h"
#include "protocol/LifeGuard.h"
#include "protocol/Marshal.h"
#include "protocol/RelayChannel.h"
#include "host/HostSecureStart.h"
#include "protocol/SecureAdmission.h"

namespace tlm {

using THostStringEvent = std::function<void(const std::string& AText)>;
using TConsentEvent = std::function<void(const TConsentQuestion& AQuestion)>;
using THostNotify = std::function<void()>;
using TAdmissionEvent = std::function<void(const std::string& AViewerName, const std::string& AViewerIP, EAdmission AHow)>;

// Puts text on the local clipboard; called on the user-interface thread. May throw: the agent
// ignores clipboard failures.
class IClipboardSetter {
public:
  virtual ~IClipboardSetter() = default;
  virtual void SetClipboardText(const std::string& AText) = 0;
};

struct THostServices {
  // The screen the agent's capturer copies, made once in the constructor. Empty: the system's
  // screen (CreateSystemScreen).
  std::function<std::shared_ptr<IScreen>()> MakeScreen;
  // Replaces the whole capturer (tests that script frames); MakeScreen is then unused.
  std::function<std::unique_ptr<IHostCapturer>()> MakeCapturer;
  IInputInjector* Input = nullptr;          // not owned; empty: input records are dropped
  IClipboardSetter* Clipboard = nullptr;    // not owned; empty: clipboard text is dropped
  std::string DownloadDir;                  // received files; empty: the user's download folder
  std::string ConfigDir;                    // what "~" lists; empty: the user's configuration folder
};

// How long a wrong password is remembered for the same viewer's next request (its window asks
// again without the password at once).
constexpr uint32_t WrongPasswordRecallMs = 30000;

// True when at least AInterval ms lie between ASince and ANow on a millisecond tick that wraps
// at 2^32 (the difference is taken as uint32_t).
inline bool TickElapsed(uint32_t ANow, uint32_t ASince, uint32_t AInterval) {
  return uint32_t(ANow - ASince) >= AInterval;
}

// A connection failure as the log shows it: the cause in Korean where it is known (refused,
// time-out, name not found, ...), followed by the system's own text in brackets; an unknown
// cause as the system text alone.
std::string ConnectionLossText(const std::string& ASystemText);

// The agent's waits. Production uses the defaults; tests may shorten them.
struct THostTimings {
  int ConnectTimeoutMs = 8000;
  int ReadTimeoutMs = 40000;
  int PollMs = 500;
  uint32_t KeepAliveMs = 20000;
  int ReconnectWaitMs = 3000;
  // A consent question nobody answers is declined after this long.
  int ConsentTimeoutMs = 60000;
  // For this long after the user ended a session, a request with the right password asks the
  // user too: a viewer that comes straight back (by hand or by its own retry) needs consent.
  uint32_t PasswordHoldAfterUserEndMs = 120000;
  // A write to the relay that makes no progress for this long is a connection loss.
  int WriteStallMs = IClientConnection::DefaultWriteStallMs;
};

class THostAgent {
public:
  THostAgent(IUiDispatcher& AUi, std::string AServer, int APort, std::string ADeviceKey,
             std::string APasswordHash, THostServices AServices, THostTimings ATimings = {});
  ~THostAgent();
  THostAgent(const THostAgent&) = delete;
  THostAgent& operator=(const THostAgent&) = delete;

  // Before Start: the host's identity key (none: every session runs in clear), and whether
  // requests without the handshake are refused.
  void SetSecurity(std::optional<TIdentityKey> AIdentity, bool ARequireEncryption);
  void Start();
  void Stop();
  void ChangePassword(const std::string& APasswordHash);
  // A quality preset (protocol/Messages.h: QualityPresetFor); anything unknown is standard.
  void SetQuality(int APreset);
  // Queue for the viewer without waiting; false (nothing sent) outside a session, without a
  // connection, or when the connection's send queue is full.
  bool PushClipboard(const std::string& AText);
  bool SendChat(const std::string& AText);
  // Ends the session at once: drops the relay connection and registers again straight away
  // with the same device key, so the ID stays. Nothing outside a session.
  void EndSessionByUser();
  // The user's answer to the consent question ATicket; nothing once that question has ended.
  // AViewOnly with AAllow: "보기만 허용", the session starts with the viewer's input dropped.
  void AnswerConsent(uint64_t ATicket, bool AAllow, bool AViewOnly = false);
  // A new one-time password, announced through OnOneTimePassword; the old one stops working.
  // Start makes the first one and every session's end the next.
  void RenewOneTimePassword();
  // "보기만 허용" / "입력 차단": the viewer's mouse and keys are dropped while it is on (keys and
  // buttons it held are released). Set before answering a consent question, it holds for that
  // session; every session's end switches it off.
  void SetViewOnly(bool AOn) { FInput.SetViewOnly(AOn); }
  bool ViewOnly() const { return FInput.ViewOnly(); }

  // The ID as OnID last announced it (user-interface thread).
  std::string ID() const { return FShownID; }
  bool Running() const { return FRunning.load(); }
  bool Connected() const { return FConnected.load(); }
  bool InSession() const { return Session() != nullptr; }
  int Quality() const { return FStreamer.Quality(); }

  THostStringEvent OnID;            // ID text, or "" after the connection was lost
  THostStringEvent OnStatus;        // one current status line
  TConsentEvent OnConsent;          // ask the user; answer with AnswerConsent
  THostNotify OnConsentClosed;      // the open consent question is void (withdrawn, timed out, connection lost)
  TAdmissionEvent OnAdmission;      // every admission decision, for the record
  THostStringEvent OnSessionStart;  // always ""
  THostNotify OnSessionEnd;
  THostStringEvent OnChat;          // a chat line from the viewer
  THostStringEvent OnLog;           // a log line
  THostStringEvent OnOneTimePassword;  // the one-time password in force, to show to the user
  // At each session's start: "암호화됨 · 세션 코드 123 456", or PlainConnectionText while it
  // runs in clear.
  THostStringEvent OnSessionSecurity;

private:
  // The current relay connection, shared by every thread that sends on it.
  using TConnRef = std::shared_ptr<TRelayChannel>;

  // Reader thread.
  void ConnectLoop();
  // AReply: the writer of the connection the packet came on.
  void DispatchCmd(TPacketWriter& AReply, uint32_t AType, const TBytes& AData);
  void HandleHostId(const TBytes& AData);
  void HandleConnectRequest(TPacketWriter& AReply, const TBytes& AData);
  void KeepAliveIfDue(TRelayChannel& AConn);
  void StartSession();
  void EndSession();
  void SetClipboardFromViewer(const TBytes& AData);
  void WaitBeforeReconnect();
  // The consent question AQuestion, posted to the window.
  void AskUser(TConsentQuestion AQuestion);
  // The handshake's share of dispatch: true when it took the packet.
  bool SecureDispatch(TRelayChannel& AConn, const TPacket& APacket);
  // Deadlines and the user's verdict on an encrypted request (OnTurn).
  void SecureTurn(TRelayChannel& AConn);
  void SecureConfirmed(TRelayChannel& AConn);
  void SecureAdmit(TRelayChannel& AConn);
  // Tells the viewer why, then ends the session by registering again at once.
  void SecureAbort(TRelayChannel& AConn, TAbortReason AReason, const std::string& AWhy);

  enum class EConsentEnd { Allowed, Refused, TimedOut, Withdrawn, Lost };
  // Ends the consent question ATicket, unless something else ended it first; any thread.
  void EndConsent(uint64_t ATicket, EConsentEnd AHow, bool AViewOnly = false);
  void EndOpenConsent(EConsentEnd AHow);
  void CheckConsentDeadline();
  void Admitted(const std::string& AName, const std::string& AIP, EAdmission AHow);

  // Any thread.
  TConnRef Client() const;
  THostSessionRef Session() const;
  // User-interface thread: never waits; false when the packet was dropped.
  bool SendNow(uint32_t AType, std::string_view AText);
  // Ends the current connection for AWhy (kept for the log line); any thread.
  void FailConnection(const std::string& AWhy);
  void Post(std::function<void()> AProc);
  void Sync(std::function<void()> AProc);
  void Status(const std::string& AText);
  void Log(const std::string& AText);

  IUiDispatcher& FUi;
  TLifeGuardRef FGuard;
  const std::string FServer;
  const int FPort;
  const std::string FDeviceKey;
  const THostTimings FTimings;
  IClipboardSetter* const FClipboard;

  // The current connection and session: set by the reader, read by every thread; never held
  // during I/O. Also the lock of the reconnect wait, which Stop wakes.
  mutable std::mutex FLock;
  std::condition_variable FWake;
  TConnRef FClient;
  THostSessionRef FSession;

  std::unique_ptr<TProcThread> FReader;
  std::string FID;        // reader thread: the ID the relay gave, for password proofs
  std::string FShownID;   // user-interface thread: the ID as last announced
  uint32_t FLastKeepAlive = 0;  // reader thread

  std::atomic<bool> FRunning{false};
  std::atomic<bool> FConnected{false};
  std::atomic<bool> FUserEnded{false};  // EndSessionByUser: reconnect without the wait
  std::atomic<bool> FReRegister{false};  // a refused encrypted session: reconnect without the wait

  bool FRequireEncryption = false;  // set before Start
  bool FSealed = false;             // reader thread: the current session runs sealed
  // The consent question of the encrypted request, and the verdict on it (EConsentEnd + 1;
  // 0: none yet), which the reader applies.
  std::atomic<uint64_t> FSecureTicket{0};
  std::atomic<int> FSecureVerdict{0};
  std::optional<TIdentityKey> FIdentity;      // set before Start
  std::unique_ptr<THostSecureStart> FSecure;  // reader thread: the admission under way
  TPasswordGuessLimit FGuesses;               // reader thread
  // The last request turned away for a wrong password (reader thread): the viewer asks again
  // without one, and the question then says the password given was wrong.
  struct TWrongPassword {
    std::string Name, IP;
    uint32_t AtMs = 0;
  };
  std::optional<TWrongPassword> FWrongPassword;

  THostAdmission FAdmission;
  THostStreamer FStreamer;
  THostInput FInput;
  // Last member: destroyed first, so its file sender never outlives the frame flow it reads.
  THostFileService FFiles;
};

}  // namespace tlm
