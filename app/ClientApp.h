// TClientApp: the client's rules without a window. It owns the configuration store and the
// host agent, keeps the recent list and the admission record, writes the ID and log files,
// hashes passwords, routes clipboard text between the host agent and the session's clipboard,
// and decides when a viewer session opens. Windows are views: they show what the core reports
// (IClientView) and forward what the user does to its verbs.
//
// Contract: constructed, used and destroyed on the user-interface thread (AUi's). Construct,
// add the views, then Start once: it stores a new device key (a failure is reported to the
// views), starts the host agent and queues the automatic connection the environment asks for.
// Every view call runs on the user-interface thread; a view removed meanwhile (even from
// inside another view's call) is not called again. The destructor stops the host agent before
// anything it reports to goes; no view is called from then on.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/ClientSettings.h"
#include "app/Config.h"
#include "app/Environment.h"
#include "host/HostAgent.h"
#include "protocol/LifeGuard.h"
#include "protocol/Messages.h"
#include "protocol/RelayLink.h"
#include "protocol/RelayRefusals.h"
#include "protocol/SecurePins.h"

namespace tlm {

// What a new viewer session is made of; the opener creates its window, shows it and starts it.
struct TViewerRequest {
  std::string Server;
  uint16_t Port = 0;
  TRelayTlsChoice Tls;
  std::string TargetID;
  std::string MyName;
  std::string Proof;
  int DefaultQuality = QualityStandard;
  std::string ResultFile;  // unattended runs: where the first frame's size goes ("" : none)
  std::string DownloadDir;  // where received files land
  // End-to-end encryption: offered whenever the build has it (Pins set). The password only
  // enters the handshake as its hash; OwnID is this program's own host ID.
  std::string PasswordHash;
  std::string OwnID;
  std::shared_ptr<IPinStore> Pins;
  bool RequireEncryption = false;
};
using TViewerOpener = std::function<void(const TViewerRequest& ARequest)>;

// Why a typed ID cannot be connected to (None: it can; ask for the partner's password next).
// IDs are nine digits: anything else is refused here, before a window opens or the relay is asked.
enum class ETargetProblem { None, Empty, NotNineDigits, Self };
std::string TargetProblemText(ETargetProblem AProblem);

// What a change of the unattended-access password did.
enum class EPasswordChange { TooShort, Set, Cleared };
std::string PasswordChangeText(EPasswordChange AChange);

// The host's state as the main window's header tells it.
enum class EHostState { Offline, Online, InSession };
std::string HostStateText(EHostState AState);

// The ID as the main window shows it: grouped by three, "--- --- ---" while there is none.
std::string DisplayID(const std::string& AID);

// One entry of the log as given to the views: already cut to MaxLogEntryChars characters.
// Repeats > 0: the same text again; it replaces the previous line rather than adding one.
struct TLogEntry {
  static constexpr size_t MaxLogEntryChars = 2000;
  std::string Stamp;  // "HH:mm:ss", local time
  std::string Text;
  int Repeats = 0;
  // "HH:mm:ss text", with " (N회 반복)" for a repeat.
  std::string Line() const;
};

// A viewer session the relay turned away. Forgotten: the ID was new to the recent list and the
// relay does not know it, so it left the list again.
struct TViewerRefusal {
  std::string TargetID;
  ERelayRefusal Kind = ERelayRefusal::Other;
  bool Forgotten = false;
};

// What the core tells its windows; every call on the user-interface thread, each one empty
// unless a view wants it.
class IClientView {
public:
  virtual ~IClientView() = default;
  virtual void HostIdChanged(const std::string& /*AID*/) {}  // "" after the connection was lost
  virtual void HostStatusChanged(const std::string& /*AText*/) {}
  virtual void LogAdded(const TLogEntry& /*AEntry*/) {}
  virtual void ChatReceived(const std::string& /*AText*/) {}  // already in the log; for attention
  // A viewer asks to be admitted: ask the user (AText is the question) and answer with
  // AnswerConsent. The host agent waits while this runs (a modal box may run its own loop).
  virtual void ConsentAsked(const TConsentQuestion& /*AQuestion*/, const std::string& /*AText*/) {}
  virtual void ConsentClosed() {}  // the open question is void: close its box
  virtual void SessionChanged(bool /*AInSession*/) {}
  // How the session that just started is protected: "암호화됨 · 세션 코드 …", or
  // PlainConnectionText for as long as it runs in clear.
  virtual void SessionSecurityChanged(const std::string& /*AText*/) {}
  virtual void RecentChanged() {}
  virtual void ViewerRefused(const TViewerRefusal& /*ARefusal*/) {}
  // A configuration write failed; the program goes on with the changed value (AText says so).
  virtual void ConfigWriteFailed(const std::string& /*AText*/) {}
  // The one-time password now in force ("임시 비밀번호"): new at start, after a session, on demand.
  virtual void OneTimePasswordChanged(const std::string& /*AText*/) {}
};

// The local clipboard during a host session, made by the toolkit's side: ApplyRemote puts the
// viewer's text there; the local user's copies go to the callback it was made with.
class ISessionClipboard {
public:
  virtual ~ISessionClipboard() = default;
  virtual void ApplyRemote(const std::string& AText) = 0;
};
using TSessionClipboardFactory =
    std::function<std::unique_ptr<ISessionClipboard>(std::function<void(const std::string& AText)> AOnLocalCopy)>;

// What the program hands the core besides the environment.
struct TClientParts {
  // The host agent's platform services. Their Clipboard is used outside a session; during one
  // the viewer's text goes to the session clipboard.
  THostServices Services;
  TSessionClipboardFactory SessionClipboard;  // empty: the viewer's text goes to Services.Clipboard
  TViewerOpener OpenViewer;                   // empty: no viewer opens
  // The program always uses 59000 and the default timings; tests change them.
  uint16_t RelayPort = uint16_t(tlm::RelayPort);
  THostTimings Timings;
};

class TClientApp final {
public:
  TClientApp(IUiDispatcher& AUi, TEnvironment AEnv, TClientParts AParts);
  ~TClientApp();
  TClientApp(const TClientApp&) = delete;
  TClientApp& operator=(const TClientApp&) = delete;

  void AddView(IClientView* AView);
  void RemoveView(IClientView* AView);
  void Start();

  // State, for the views.
  const std::string& MyID() const { return FMyID; }
  EHostState HostState() const;
  bool InSession() const;
  bool HasPassword() const { return FConfig.HasPassword(); }
  // The stored quality preset as it is (a hand-edited file may hold one outside 0..2).
  int Quality() const { return FQuality; }
  bool KeepAspect() const { return FConfig.KeepAspect(); }
  const std::vector<TRecentItem>& Recent() const { return FRecent; }
  // How the relay is reached: TLS when the environment (TLMREMOTE_TLS=1) or the configuration
  // (RelayTls=1, read at start-up) asks for it, trusting the environment's certificate file
  // when it names one.
  const TRelayTlsChoice& RelayTls() const { return FRelayTls; }
  const TEnvironment& Environment() const { return FEnv; }
  const TAppConfig& Config() const { return FConfig; }
  THostAgent* Host() const { return FHost.get(); }
  // This host's "보안 코드", for the helper to read out; "" where the build or the key file has none.
  const std::string& SecurityCode() const { return FSecurityCode; }

  // What the user does.
  ETargetProblem CheckTarget(const std::string& AID) const;
  // Connects to AID (checked, digits only) with the partner's password as typed (trimmed here;
  // empty: the partner's user is asked): the ID goes to the top of the recent list and a viewer
  // session opens.
  // ARemember: keep the session proof for this ID, so the recent list connects without asking;
  // a connection without it forgets one kept before.
  void Connect(const std::string& AID, const std::string& APassword, bool ARemember = false);
  // A kept proof for AID: connects with it at once (true); false when none is kept.
  bool ConnectRemembered(const std::string& AID);
  bool RemembersPassword(const std::string& AID) const { return !FConfig.RecentPasswordHash(AID).empty(); }
  // A viewer session's relay refused the connection to AID.
  void ViewerRefused(const std::string& AID, ERelayRefusal AKind);
  // The partner AID turned down the password whose hash is APasswordHash (the viewer asks its
  // user instead): a kept proof of that password is forgotten, so the recent list asks next time.
  void ViewerPasswordRefused(const std::string& AID, const std::string& APasswordHash);
  void RemoveRecent(size_t AIndex);
  // The user's name for a recent entry, shown beside its ID (cleaned, at most 64 characters;
  // empty removes it). Connecting again keeps it.
  void RenameRecent(size_t AIndex, const std::string& AName);
  // AAllow and a typed password (trimmed): set it; AAllow with nothing typed, or not AAllow: clear it.
  EPasswordChange ChangePassword(bool AAllow, const std::string& ATyped);
  void SetQuality(int APreset);
  void SetKeepAspect(bool AKeep);
  // AViewOnly with AAllow: "보기만 허용", the viewer watches but its input is dropped.
  void AnswerConsent(uint64_t ATicket, bool AAllow, bool AViewOnly = false);
  const std::string& OneTimePassword() const { return FOneTimePassword; }
  void RenewOneTimePassword();
  // "입력 차단" during a session (the session's end switches it off).
  void SetViewerInputBlocked(bool ABlocked);
  bool ViewerInputBlocked() const;
  // Who is connected ("name (address)", "" outside a session) and since when (steady clock, ms).
  const std::string& ViewerName() const { return FViewerName; }
  int64_t SessionStartedMs() const { return FSessionStartedMs; }
  // A chat line to the viewer; true when it was queued (blank text or no session: false).
  bool SendChat(const std::string& AText);
  void EndSessionByUser();
  // A line for the log (also from the program: the desktop backend's problems).
  void AddLog(const std::string& AText);

  // The relay host in use: TLMREMOTE_HOST, else the stored one, else the built-in one.
  std::string RelayHost() const;
  TRelayTlsChoice ConfiguredRelayTls() const;
  // The settings dialog's values as stored, and what the environment sets instead this run.
  TClientSettings Settings() const;
  TSettingsOverrides Overrides() const;
  // Stores checked settings (CheckClientSettings). The name and the relay serve new viewer
  // connections at once, the host's link from the next start.
  void ChangeSettings(const TClientSettings& ASettings);
  // The user's answer to "keep running in the tray when the window closes?", none until asked.
  std::optional<bool> KeepRunningOnClose() const;
  void SetKeepRunningOnClose(bool AKeep);
  // The desktop portal's new restore token (UI thread; the portal's own thread posts it here).
  void SetPortalRestoreToken(const std::string& AToken);

private:
  // Runs a configuration write; a failure goes to the views, the program goes on.
  void SaveConfig(const std::function<void()>& AWrite);
  void RefreshRecent();
  // APasswordHash: the typed password's hash, or empty.
  void OpenViewer(const std::string& ATarget, const std::string& AName, const std::string& APasswordHash);
  void ConnectWithHash(const std::string& AID, const std::string& APasswordHash);
  void AutoConnect();
  void SetSession(bool AInSession);
  void ApplyViewerClipboard(const std::string& AText);
  void WriteLogFile(const std::string& ALine);
  template <typename TCall>
  void Notify(TCall ACall);

  void HostID(const std::string& AID);
  void HostConsent(const TConsentQuestion& AQuestion);
  void HostAdmission(const std::string& AName, const std::string& AIP, EAdmission AHow);
  void HostSessionEnd();
  void HostChat(const std::string& AText);

  // The host agent's clipboard: the session's while there is one, else the platform's.
  class TClipboardRoute final : public IClipboardSetter {
  public:
    explicit TClipboardRoute(TClientApp& AOwner) : FOwner(AOwner) {}
    void SetClipboardText(const std::string& AText) override { FOwner.ApplyViewerClipboard(AText); }

  private:
    TClientApp& FOwner;
  };

  IUiDispatcher& FUi;
  const TEnvironment FEnv;
  TClientParts FParts;
  IClipboardSetter* FClipFallback = nullptr;
  TAppConfig FConfig;
  std::vector<IClientView*> FViews;
  std::string FMyID;
  std::vector<TRecentItem> FRecent;
  std::string FNewRecentID;  // added to the recent list by the last Connect, not there before
  int FQuality = QualityStandard;
  TRelayTlsChoice FRelayTls;
  std::string FOneTimePassword;
  int64_t FSessionStartedMs = 0;
  std::string FViewerName;  // the viewer admitted last: "name (address)", for the end of its session
  std::string FLastLogText;  // the last entry as given, for summarising repeats
  int FLogRepeats = 0;
  bool FLogStarted = false;
  TClipboardRoute FClipRoute{*this};
  std::unique_ptr<ISessionClipboard> FSessionClip;
  TLifeGuardRef FGuard = NewLifeGuard();
  std::string FSecurityCode;
  std::string FSecurityProblem;  // the key file could not be read or made: said at Start
  std::optional<TIdentityKey> FIdentity;
  std::shared_ptr<IPinStore> FPins;
  // Last: destroyed first, while everything its events reach is still there.
  std::unique_ptr<THostAgent> FHost;
};

}  // namespace tlm
