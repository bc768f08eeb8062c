// The relay's shared state: registered hosts, admissions, sessions, limits and counters.
//
// Contract: one hub per server, used only on the network thread. Connections call Route
// for every packet header, Handle for every packet the hub consumes, NoteClosed/Detach when
// they end; the server calls Admit for each accepted socket and Sweep on a short timer.
// Counters are atomics so that Stats can be read from other threads.
//
// Which packets pass: a host may send MsgHostRegister, MsgKeepAlive, and its answer to an
// admission request; a viewer MsgConnectRequest while it has no request running. A host has
// at most one request outstanding: when its viewer leaves or gives up, the host is told
// (MsgAdmitWithdrawn) and the answer it still owes is dropped; a later viewer's request waits
// for that answer and is then passed on. Session
// codes pass only between the two partners of a running session, and only in the direction
// in which the receiver's program handles them; everything else is dropped.
//
// Cluster mode (a registry given): IDs and presence live in the shared registry, so
// registrations and connect requests for hosts held elsewhere wait for its answer, which comes
// back on the network thread. A viewer whose host another node holds is handed to that node
// over a link (TPeerRole::NodeLink) that carries its packets both ways; the host's node
// applies every rule, this node only watches the answers go by. A viewer that came over a link
// (FromNode) is served only by hosts held here. A take-over notice can be lost, so a request for
// a host held here waits until the registry confirms that this node still holds it; the node
// renews each host's presence itself, and closes a host whose presence it could not renew
// within the time-to-live (its registry was out of reach), so that it reconnects elsewhere.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "protocol/Bytes.h"
#include "protocol/RelayRefusals.h"
#include "relay/ClusterRegistry.h"
#include "relay/IdStore.h"
#include "relay/LogSummary.h"
#include "relay/RelayConnection.h"
#include "relay/RelayServer.h"

namespace tlm {

struct TRelayCounters {
  std::atomic<size_t> Connections{0};
  std::atomic<size_t> Hosts{0};
  std::atomic<size_t> Sessions{0};
  std::atomic<uint64_t> SessionsStarted{0};
  std::atomic<uint64_t> BytesRelayed{0};
  std::atomic<uint64_t> Refusals{0};
  std::atomic<size_t> QueuedBytes{0};
  std::atomic<size_t> PeakQueuedBytes{0};
  std::atomic<size_t> PeakTotalQueuedBytes{0};
  std::atomic<uint64_t> IdsForgotten{0};
};

// Largest payload of a packet the hub reads itself (registration, request, rejection).
constexpr uint32_t MaxControlPayload = 16384;
constexpr size_t MaxDeviceKeyBytes = 256;
constexpr size_t MaxViewerNameBytes = 256;
constexpr size_t MaxProofBytes = 256;
constexpr size_t MaxReasonBytes = 1024;

class TRelayHub {
public:
  // Single node: AStore holds the IDs and ACluster is null. Cluster node: ACluster holds them
  // and AStore is null. AExecutor runs the network thread (links are opened on it).
  TRelayHub(const TRelayOptions& AOptions, TIdStore* AStore, TClusterRegistry* ACluster,
            asio::any_io_executor AExecutor, TRelayCounters& ACounters,
            std::function<void(const std::string&)> ALog);

  enum class TRouteKind { Consume, Forward, Drop };
  struct TRoute {
    TRouteKind Kind = TRouteKind::Drop;
    std::shared_ptr<TRelayConnection> Target;  // for Forward
  };
  TRoute Route(TRelayConnection& AFrom, uint32_t AType);
  void Handle(TRelayConnection& AFrom, uint32_t AType, const TBytes& APayload);
  // A packet the hub would consume is larger than MaxControlPayload.
  void RefuseOversizedControl(TRelayConnection& AFrom, uint32_t AType, uint32_t ALen);

  // Checks the connection limits for a new socket from AAddress; false with the refusal text
  // when one is reached (the caller answers and closes the socket itself).
  bool MayAdmit(const std::string& AAddress, std::string& ARefusal);
  // Keeps a new connection (after MayAdmit said yes). A link from or to another node does
  // not count against its address (the viewer's own node counted the viewer).
  void Keep(const std::shared_ptr<TRelayConnection>& AConn, bool ACountAddress = true);
  // Room for one more connection at all (a link from another node; its viewer's address was
  // checked where it connected).
  bool MayAdmitLink(std::string& ARefusal);
  // Another node has taken over the host registered here under AToken (cluster mode).
  void TakenOver(const std::string& AId, uint64_t AToken);
  // The shared registry works again: every host here is announced anew.
  void AnnounceHosts();
  // The connection leaves every registry and session (once, from Close or Abort).
  void Detach(TRelayConnection& AConn);
  // The socket is gone (once, from Abort).
  void NoteClosed(TRelayConnection& AConn);

  // Timeouts, keep-alives, admissions that ran out of time, rate windows.
  void Sweep(TRelayClock::time_point ANow);
  // Closes every connection (server stop).
  void CloseAll();
  // Lets go of every connection object (after the network thread has ended).
  void ForgetAll() { FConnections.clear(); }
  // Writes the counts of log lines still held back (server stop, network thread ended).
  void SummariseEvents() { FEvents.FlushAll(TRelayClock::now()); }

  void AddRelayed(size_t ABytes) { FCounters.BytesRelayed += ABytes; }
  void QueueGrew(size_t AConnQueued, size_t ADelta);
  void QueueShrank(size_t ADelta) { FCounters.QueuedBytes -= ADelta; }
  size_t QueueLimit() const { return FOptions.QueueLimitBytes; }
  // All queues together hold the relay's total limit or more.
  bool OverQueued() const { return FCounters.QueuedBytes.load() >= FOptions.MaxQueuedBytes; }
  // Bytes of relay packets one connection may leave unread: its queue limit, and while all
  // queues together are over their total, only what an honest dialogue ever has waiting.
  size_t UnreadRelayPacketLimit() const;
  const TRelayOptions& Options() const { return FOptions; }
  bool SpliceAllowed() const { return FOptions.SpliceLargePayloads; }
  void Log(const std::string& ALine) const { FLog(ALine); }
  // A log line of a kind that hostile peers can multiply: summarised when it repeats.
  void Event(std::string_view AKind, const std::string& ALine);

private:
  void HandleRegister(TRelayConnection& AHost, const TBytes& APayload);
  // The ID for AHost's key is known (AHost holds it from now on).
  void CompleteRegister(TRelayConnection& AHost, const std::string& AKey, const std::string& AId);
  // Cluster mode: looks the key up in the shared registry (creating an ID only when AMayCreate)
  // and completes the registration when the answer comes.
  void RegisterShared(TRelayConnection& AHost, std::string AKey, bool AMayCreate);
  // Cluster mode, from the sweep: renews AHost's presence every third of its time-to-live, or
  // closes AHost once the presence has lapsed unconfirmed (the registry could not be reached),
  // so that it reconnects to a node that can renew it; a host in a session stays until the
  // session ends. False when AHost was closed.
  bool KeepPresence(TRelayConnection& AHost, TRelayClock::time_point ANow);
  void RenewPresence(TRelayConnection& AHost, TRelayClock::time_point ANow);
  // A handler for a renewal asked at AAsked: a confirmed one extends AHost's presence.
  std::function<void(TClusterStatus)> PresenceConfirmer(TRelayConnection& AHost, TRelayClock::time_point AAsked);
  // Whether the presence confirmed last still holds at ANow.
  bool PresenceHeld(const TRelayConnection& AHost, TRelayClock::time_point ANow) const;
  // Cluster mode: AViewer asks for AHost, held here. Another node may have taken the host over
  // without this node hearing of it, so the registry confirms the presence first; AViewer is
  // then passed on to AHost, or handed to the node that holds the host now. When the host has
  // registered again here meanwhile, the newer connection is checked instead, once (ARetry):
  // the viewer's admission deadline is not extended for it.
  void ConfirmPresence(TRelayConnection& AViewer, const std::shared_ptr<TRelayConnection>& AHost,
                       const std::string& ATarget, const std::string& AProof, const TBytes& ARequest,
                       bool ARetry = false);
  // The connection registered here for AId with a newer token than AToken, or none.
  std::shared_ptr<TRelayConnection> NewerLocalHost(const std::string& AId, uint64_t AToken) const;
  // Cluster mode: AViewer asks for a host not held here: find its node and hand the viewer on.
  void LocateForViewer(TRelayConnection& AViewer, const std::string& ATarget, const TBytes& ARequest);
  asio::awaitable<void> HandOver(std::weak_ptr<TRelayConnection> AViewer, std::string ANode, std::string AAddress);
  // A linked viewer's link has gone (or the viewer asks anew): they part. A viewer inside a
  // packet coming over the link is closed.
  void Unlink(TRelayConnection& AViewer, TRelayConnection& ALink);
  // Packets coming back over a link show how the host's node has answered the viewer.
  static void NoteLinkAnswer(TRelayConnection& AViewer, uint32_t AType);
  void HandleConnectRequest(TRelayConnection& AViewer, const TBytes& APayload);
  // AViewer's request for AHost, held here (confirmed in cluster mode): busy and per-host
  // limits, then the host is asked (or the request queued behind an owed answer).
  void AskLocalHost(TRelayConnection& AViewer, const std::shared_ptr<TRelayConnection>& AHost,
                    const std::string& ATarget, const std::string& AProof);
  void HandleAdmitAnswer(TRelayConnection& AHost, bool AAccept, const TBytes& APayload);
  // Whether a key never seen before may be stored now, for a host from AConn's address.
  bool NewKeyAllowed(const TRelayConnection& AConn, TRelayClock::time_point ANow);
  // Passes AViewer's request on to AHost, which owes no answer now.
  void AskHost(TRelayConnection& AHost, TRelayConnection& AViewer);
  // AViewer's request to its host is over without an answer (the viewer left or gave up):
  // a request the host has is withdrawn, a queued one forgotten.
  void WithdrawRequest(TRelayConnection& AViewer);
  // A request the host accepted does not count against its budget.
  void RefundRequest(TRelayConnection& AViewer);
  // Removes IDs whose hosts have not been seen for too long.
  void ForgetStaleIds();
  // Refusal text to a viewer (or a connection that may be one), then close it.
  void Refuse(TRelayConnection& AConn, std::string_view AText);
  // AConn's partner has gone: tell AConn, or close it when a forwarded packet was cut off.
  void EndSessionFor(TRelayConnection& AConn, const std::string& AWhy);
  // Sliding 60-second windows of event times per key (addresses, host IDs).
  using TRateWindows = std::unordered_map<std::string, std::deque<TRelayClock::time_point>>;
  static bool RateAllows(TRateWindows& AWindows, const std::string& AKey, size_t ALimit, TRelayClock::time_point ANow);
  std::string Describe(const TRelayConnection& AConn) const;

  const TRelayOptions& FOptions;
  TIdStore* FStore;
  TClusterRegistry* FCluster;
  asio::any_io_executor FExecutor;
  uint64_t FLastToken = 0;
  // Links being opened to other nodes (closed when the relay stops).
  std::unordered_set<asio::ip::tcp::socket*> FDialling;
  bool FStopping = false;
  TRelayCounters& FCounters;
  std::function<void(const std::string&)> FLog;

  std::unordered_set<std::shared_ptr<TRelayConnection>> FConnections;
  std::unordered_map<std::string, std::weak_ptr<TRelayConnection>> FHostsById;
  std::unordered_map<std::string, size_t> FPerIp;
  TRateWindows FRequestTimes;        // connect requests per address
  // Connect requests passed on (or queued) per host ID and requesting address, less those the
  // host accepted: one address's requests never use up another's.
  TRateWindows FRequestTimesByHost;
  TRateWindows FNewKeyTimes;         // new device keys per address
  std::deque<TRelayClock::time_point> FNewKeysLastSecond;
  // The first sweep waits a whole interval from the start: hosts that were connected when the
  // relay stopped come back, and count as seen, before any ID is forgotten.
  TRelayClock::time_point FLastForget;
  bool FForgetUnfinished = false;  // the last sweep looked at a full batch: the next one goes on
  TLogSummary FEvents;
};

// The text the per-address limits count an address under: an IPv4 address as it is, an IPv6
// address by its /64 prefix (one subscriber usually holds a whole /64).
std::string AddressBucket(const std::string& AAddress);

// True when a host may send code AType to its viewer (AFromHost) or a viewer to its host.
bool SessionCodeAllowed(bool AFromHost, uint32_t AType);
// Replaces ASCII control characters (tabs, line breaks, ...) by blanks and cuts at AMaxBytes
// without splitting a UTF-8 sequence.
std::string CleanField(std::string_view AText, size_t AMaxBytes);

}  // namespace tlm
