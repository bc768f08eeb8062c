// TViewerSession: the viewer half of the program without any window. It connects to the relay
// and asks for the partner on a thread of its own, reads and dispatches every message the
// partner sends, composites frames into the back buffer and acknowledges them, writes
// downloads, streams uploads and sends the user's input, all through one writer whose small
// messages overtake file chunks. Nothing it offers to the user-interface thread waits on the
// network.
//
// Contract:
// - Create, Start, Stop, destroy, the Send* calls, the queries and the event slots belong to
//   the user-interface thread, the one on which AUi runs its calls. Assign the slots before
//   Start. A session runs once: after it has ended, make a new one to connect again.
// - Every event is queued to the user-interface thread through AUi, guarded: nothing queued
//   runs once Stop has begun. What a partner can pile up there is bounded: the newest status,
//   end of session, monitor list, listing and clipboard text replace older ones still queued;
//   chat lines beyond a backlog are dropped and counted (OnChatDropped); one repaint is pending
//   at most. Monitor lists and listings are parsed on the reader thread, cut to the bounds below.
// - The Send* calls queue and return at once; while no session is live, or when the queue is
//   full, they drop the message and answer false.
// - Stop (and the destructor) release held keys and buttons, give queued messages a moment to
//   leave, close the connection and wait for the session's threads. When the partner or the
//   network ends the session, the session closes its own socket at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "protocol/Connection.h"
#include "protocol/LifeGuard.h"
#include "protocol/Marshal.h"
#include "protocol/Messages.h"
#include "protocol/Packet.h"
#include "protocol/RelayChannel.h"
#include "viewer/KeyChords.h"
#include "viewer/LinkMeter.h"
#include "protocol/SecurePins.h"
#include "protocol/SecureHandshake.h"
#include "viewer/RemoteScreen.h"
#include "viewer/ViewerTransfers.h"

namespace tlm {

// End-to-end encryption (docs/end-to-end-encryption.md). Off: the plain wire, Proof as before.
struct TViewerSecurity {
  // The connect request carries the offer instead of Proof; a password only enters the
  // handshake, never the wire.
  bool Offer = false;
  std::string PasswordHash;  // HashPassword of the password typed; empty: the host's user decides
  std::string OwnId;         // this program's own host ID, or empty
  std::shared_ptr<IPinStore> Pins;  // the partners' keys; required when Offer
  bool RequireEncryption = false;   // a partner without the handshake is refused
};

// What the window shows of a session's protection once the host's key is verified.
struct TViewerSecureInfo {
  std::string SessionCode;   // "123 456": the host's user sees the same in the consent prompt
  std::string SecurityCode;  // the host's 보안 코드
  bool FirstContact = false; // no key was pinned for this ID yet
};

struct TViewerParams {
  std::string Server;
  uint16_t Port = 0;
  TRelayTlsChoice Tls;  // how the relay is reached: plain TCP unless asked
  std::string TargetID;
  std::string MyName;
  std::string Proof;  // empty when no password was given
  int Quality = 1;    // 0 fast, 1 standard, 2 high, 3 smooth (protocol/Messages.h)
  std::string DownloadDir;  // empty: the user's download folder
  // Unattended runs: after the first frame, "OK <payload bytes>" is written here and
  // OnResultWritten raised.
  std::string ResultFile;
  TViewerSecurity Security;
};

struct TViewerTimings {
  int ConnectTimeoutMs = 8000;
  int ReadTimeoutMs = 45000;
  int CloseFlushMs = 300;  // how long Stop lets queued messages leave
};

// Bounds of what the session queues to the user-interface thread.
constexpr size_t MaxChatBacklog = 256;     // lines
constexpr size_t MaxChatLineChars = 2000;  // code points; longer lines are cut
// A status line or a relay's error text, which may carry a partner's text of megabytes.
constexpr size_t MaxStatusChars = 1000;    // code points; longer texts are cut
// A monitor is chosen by a one-byte index: later lines of a monitor list are left out, and a
// size text is cut.
constexpr size_t MaxMonitorEntries = 256;
constexpr size_t MaxMonitorFieldChars = 16;
// Rows of one remote folder; the rest are left out. A longer name than any file system allows
// (255 UTF-16 units or bytes) is no file: that row is left out too.
constexpr size_t MaxListingEntries = 100000;
constexpr size_t MaxRemoteNameBytes = 1024;

// The steady clock in milliseconds, the one the session's figures are measured on.
int64_t SessionClockMs();

class TViewerSession {
public:
  enum class EState { Created, Connecting, Waiting, InSession, PartnerEnded, Lost, Failed };

  TViewerSession(IUiDispatcher& AUi, TViewerParams AParams, TViewerTimings ATimings = {});
  ~TViewerSession();
  TViewerSession(const TViewerSession&) = delete;
  TViewerSession& operator=(const TViewerSession&) = delete;

  void Start();
  void Stop();

  // Input and requests (user-interface thread).
  bool SendMouse(const TMouseEventRec& ARec);
  bool SendKey(uint16_t AVirtualKey, bool AKeyUp, bool AExtended);
  // A chord the local desktop keeps for itself (Ctrl+Alt+Del, ...), as the partner's keyboard
  // would make it: every key pressed is released again.
  void SendSpecialKey(ESpecialKey AKey);
  // Key-up for every key and button-up for every button sent down and not yet released.
  void ReleaseHeld();
  // Chat goes out whenever the connection is up, in a session or not.
  bool SendChat(const std::string& AText);
  bool SendClipboard(const std::string& AText);
  // Remembers the preset for the next MsgSessionStart and, when ASendNow, sends it in a session.
  bool SetQuality(int AIndex, bool ASendNow = true);
  bool SelectMonitor(int AIndex);
  bool RequestListing(const std::string& APath);
  // Asks the host for a file; only files asked for are accepted when they arrive.
  bool RequestFile(const std::string& ARemotePath);
  // Raises TError with the reason when the file cannot be sent now.
  void SendFile(const std::string& ALocalPath);
  // Stops a running upload before its next chunk; the host gets MsgFileEnd and keeps the part
  // (its report of the short file is not shown: the user knows).
  void CancelUpload();
  // Stops writing the download under way and removes it (the host still sends the rest).
  // Drops the rest of the running download here, and asks the host to stop sending it (a host
  // that does not know the request sends on; the rest is dropped all the same).
  void CancelDownload();
  bool Downloading() const { return FDownload.Active(); }
  // How far the running upload or download is, 0..100 (a progress bar's position).
  int UploadPercent() const { return FUpload ? FUpload->Percent() : 0; }
  int DownloadPercent() const { return FDownload.Percent(); }

  const TViewerParams& Params() const { return FParams; }
  EState State() const { return FState.load(); }
  bool InSession() const { return FState.load() == EState::InSession; }
  bool Ended() const;
  // The relay or the partner turned the request (or the session) away: its text was the last word.
  bool Refused() const { return FRelayErrorSeen.load() || FSecureRefused.load(); }
  // The host found the password wrong (its abort said so): a request without one would be asked about.
  bool PasswordRefused() const { return FPasswordRefused.load(); }
  // The partner ended the session (MsgSessionEnd) and has not admitted us again since.
  bool PartnerLeft() const { return FPartnerLeft.load(); }
  bool Uploading() const { return FUpload && FUpload->Running(); }
  const TRemoteScreen& Screen() const { return FScreen; }
  const std::string& DownloadFolder() const { return FDownload.Folder(); }
  // Frame rate and round trip of the running session (LinkMeter.h says what they measure).
  TLinkMeter::TFigures LinkFigures() const { return FMeter.Figures(SessionClockMs()); }

  std::function<void(const std::string& AText)> OnStatus;  // the status line
  std::function<void()> OnStarted;                         // the partner admitted us: in session
  std::function<void()> OnFrame;                           // the picture changed: repaint
  std::function<void(const std::vector<TMonitorEntry>& AMonitors)> OnMonitors;
  std::function<void(const std::string& AText)> OnChat;       // a line from the partner
  std::function<void(size_t ADropped)> OnChatDropped;         // lines lost to the backlog bound
  std::function<void(const std::string& AText)> OnClipboard;  // the partner's clipboard text
  // ACut: rows beyond MaxListingEntries were left out.
  std::function<void(const TDirListing& AListing, bool ACut)> OnListing;
  std::function<void(const std::string& AName, bool AComplete)> OnUploadDone;
  std::function<void(const std::string& APath)> OnDownloaded;  // a file stored whole
  std::function<void(const std::string& AText)> OnConnectFailed;  // the error; nothing was sent
  // A refusal (the relay's, or the host's inside the handshake) or a relay failure.
  std::function<void(const std::string& AText)> OnRelayError;
  std::function<void(const std::string& AReason)> OnEnded;        // partner ended or connection lost
  std::function<void()> OnResultWritten;
  // Encryption: the host's key is verified (before admission, so a consent prompt's code can
  // be compared); the session runs in clear, the partner having no handshake or none offered
  // (shown as PlainConnectionText for as long as it lasts); the host's key differs from the pinned one
  // and the session was refused (TrustChangedKey then pins the new one for the next attempt).
  std::function<void(const TViewerSecureInfo& AInfo)> OnSecured;
  std::function<void()> OnPlainConnection;
  std::function<void(const std::string& AOldCode, const std::string& ANewCode)> OnKeyChanged;

  // The user confirmed the changed code OnKeyChanged showed: it replaces the pin. False when
  // there is none to confirm or it cannot be stored.
  bool TrustChangedKey();
  // The session runs sealed (established), in clear by the plain-peer rule, or neither yet.
  bool Encrypted() const { return FSecurePhase.load() == ESecurePhase::Sealed; }
  bool PlainPartner() const { return FSecurePhase.load() == ESecurePhase::Plain; }

private:
  template <typename T>
  class TLatest;  // one pending value, the newest
  class TChatQueue;

  enum class ESecurePhase { Off, AwaitingReply, AwaitingAdmission, Sealed, Plain };
  struct THandshake;  // the handshake under way; reader thread

  void Connected();
  void Dispatch(const TPacket& APacket);
  // The handshake's share of dispatch: true when it took the packet.
  bool SecureDispatch(const TPacket& APacket);
  bool Offering() const;
  void StartHandshake();
  // Ends the session for AText; ASendAbort: tell the host why (AReason) first.
  void HandshakeFailed(const std::string& AText, bool ASendAbort, TAbortReason AReason);
  // The host aborted the handshake: its reason is the refusal the window shows.
  void HostRefused(const std::string& AText);
  void HostAborted(TAbortReason AReason);
  void ChannelEnded(const std::string& AWhy, bool AConnected);
  void SessionStarted();
  void FrameReceived(const TBytes& APayload);
  void WriteResultFile(size_t APayloadSize);
  void RaiseEnded(EState AState, const std::string& AStatus);

  bool Live() const { return FState.load() == EState::InSession; }
  void Status(const std::string& AText);
  void Post(std::function<void()> AProc);

  IUiDispatcher& FUi;
  TLifeGuardRef FGuard;
  const TViewerParams FParams;
  const TViewerTimings FTimings;

  TRelayChannel FChannel;  // the connection, its writer and the reader thread
  std::unique_ptr<TViewerUpload> FUpload;
  TViewerDownload FDownload;  // reader thread
  TRemoteScreen FScreen;
  TLinkMeter FMeter;
  std::atomic<EState> FState{EState::Created};
  std::atomic<ESecurePhase> FSecurePhase{ESecurePhase::Off};
  std::unique_ptr<THandshake> FHandshake;  // reader thread
  std::mutex FKeyLock;                       // FChangedKey: the reader sets it, the UI confirms it
  std::optional<TPublicKey> FChangedKey;
  std::atomic<int> FQuality{1};
  std::atomic<bool> FStopping{false};
  std::atomic<bool> FRepaintPending{false};
  std::atomic<bool> FRelayErrorSeen{false};
  std::atomic<bool> FSecureRefused{false};  // the handshake failed: its text is the last word
  std::atomic<bool> FPasswordRefused{false};
  std::atomic<uint32_t> FFilesAnnounced{0};  // MsgFileBegin from the host in this session
  std::atomic<bool> FPartnerLeft{false};
  std::atomic<bool> FUploadCancelled{false};  // the host's report of the short file is expected
  bool FResultWritten = false;  // reader thread

  std::set<uint16_t> FHeldKeys;    // user-interface thread
  std::set<uint8_t> FHeldButtons;  // user-interface thread
  TMouseEventRec FLastMouse{};

  std::unique_ptr<TLatest<std::string>> FStatusBox;
  std::unique_ptr<TLatest<std::string>> FEndedBox;
  std::unique_ptr<TLatest<std::vector<TMonitorEntry>>> FMonitorBox;
  struct TBoundedListing {
    TDirListing Listing;
    bool Cut = false;
  };
  std::unique_ptr<TLatest<TBoundedListing>> FListingBox;
  std::unique_ptr<TLatest<std::string>> FClipBox;
  std::unique_ptr<TChatQueue> FChat;
};

// The first AMaxChars code points of the UTF-8 text AText (whole sequences only).
std::string CutUtf8(const std::string& AText, size_t AMaxChars);

}  // namespace tlm
