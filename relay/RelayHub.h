// The relay's shared state: who is on each connection, registered hosts, admissions, sessions.
//
// Contract: one hub per server, used only on the network thread. Connections report to it
// through IRelayPeerEvents (Route for every packet header, Handle for every packet the hub
// consumes, Detach/NoteClosed when they end); the server hands it each accepted socket (Open,
// after MayOpen) and calls Sweep on a short timer.
//
// The hub is in named parts, each in a file of its own:
// - RelayRoutes: which codes pass which way (pure policy; RouteFor).
// - RelayLimits: the per-address and per-host limits (TRelayLimits).
// - HostRegistry / RelayHubHosts.cpp: IDs, registration, take-over, forgetting old IDs.
// - RelayHubAdmission.cpp: the admission broker (requests, asking the host, withdrawal, the
//   owed answer, the queued viewer); why a viewer is refused is decided there.
// - RelayHubSweep.cpp: the periodic sweep as a list of named steps (deadlines, idleness).
// - RelayHubCluster.cpp: the cluster hand-over (shared registry, presence, links to nodes).
// - RelayHub.cpp (this part): connections, the peer record on each, sessions ending.
//
// A host has at most one request outstanding: when its viewer leaves or gives up, the host is
// told (MsgAdmitWithdrawn) and the answer it still owes is dropped; a later viewer's request
// waits for that answer and is then passed on.
//
// Cluster mode (a registry given): IDs and presence live in the shared registry, so
// registrations and connect requests for hosts held elsewhere wait for its answer, which comes
// back on the network thread. A viewer whose host another node holds is handed to that node
// over a link (TNodeLinkPeer) that carries its packets both ways; the host's node applies every
// rule, this node only watches the answers go by. A viewer that came over a link (FromNode) is
// served only by hosts held here. A take-over notice can be lost, so a request for a host held
// here waits until the registry confirms that this node still holds it; the node renews each
// host's presence itself, and closes a host whose presence it could not renew within the
// time-to-live (its registry was out of reach), so that it reconnects elsewhere.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "protocol/Bytes.h"
#include "protocol/RelayRefusals.h"
#include "relay/ClusterRegistry.h"
#include "relay/HostRegistry.h"
#include "relay/IdStore.h"
#include "relay/LogSummary.h"
#include "relay/RelayConnection.h"
#include "relay/RelayCounters.h"
#include "relay/RelayLimits.h"
#include "relay/RelayPeer.h"
#include "relay/RelayRoutes.h"
#include "relay/RelayServer.h"

namespace tlm {

constexpr size_t MaxDeviceKeyBytes = 256;
constexpr size_t MaxViewerNameBytes = 256;
constexpr size_t MaxProofBytes = 256;
constexpr size_t MaxReasonBytes = 1024;

class TRelayHub final : public IRelayPeerEvents {
public:
  // Single node: AStore holds the IDs and ACluster is null. Cluster node: ACluster holds them
  // and AStore is null. AExecutor runs the network thread (links are opened on it). ABudget
  // accounts for every connection's queue and outlives them all.
  TRelayHub(const TRelayOptions& AOptions, TIdStore* AStore, TClusterRegistry* ACluster,
            asio::any_io_executor AExecutor, TRelayCounters& ACounters, IRelayQueueBudget& ABudget,
            std::function<void(const std::string&)> ALog);

  // Where a new connection comes from.
  enum class TOrigin {
    Client,    // a host or a viewer
    FromNode,  // a link from another node, carrying a viewer of that node
  };
  // Checks the connection limits for a new socket from AAddress (AOrigin FromNode, and a link
  // this node opens: only room for one more at all, the viewer's address was checked on its
  // own node); false with the refusal text when one is reached (the caller answers and closes
  // the socket itself).
  bool MayOpen(const std::string& AAddress, TOrigin AOrigin, std::string& ARefusal);
  // Starts a connection on AStream (after MayOpen said yes).
  void Open(TRelayStream AStream, const std::string& AAddress, TOrigin AOrigin);
  // Another node has taken over the host registered here under AToken (cluster mode).
  void TakenOver(const std::string& AId, uint64_t AToken);
  // The shared registry works again: every host here is announced anew.
  void AnnounceHosts();

  // Deadlines, keep-alives, admissions that ran out of time, rate windows, old IDs.
  void Sweep(TRelayClock::time_point ANow);
  // Closes every connection (server stop).
  void CloseAll();
  // Lets go of every connection object (after the network thread has ended).
  void ForgetAll() { FConnections.clear(); }
  // Writes the counts of log lines still held back (server stop, network thread ended).
  void SummariseEvents() { FEvents.FlushAll(TRelayClock::now()); }

  // IRelayPeerEvents
  TRoute Route(TRelayConnection& AFrom, uint32_t AType) override;
  void Handle(TRelayConnection& AFrom, uint32_t AType, const TBytes& APayload) override;
  void RefuseOversizedControl(TRelayConnection& AFrom, uint32_t AType, uint32_t ALen) override;
  void Detach(TRelayConnection& AConn) override;
  void NoteClosed(TRelayConnection& AConn) override;
  void Event(std::string_view AKind, const std::string& ALine) override;

private:
  // The routing table's view of AFrom.
  TSender SenderOf(const TRelayConnection& AFrom, const TRelayPeer& APeer, const TRelayConnection* APartner) const;
  std::shared_ptr<TRelayConnection> Start(TRelayStream AStream, const std::string& AAddress,
                                          std::shared_ptr<TRelayPeer> APeer);

  // Host registry (RelayHubHosts.cpp).
  void HandleRegister(TRelayConnection& AHost, const TBytes& APayload);
  // The ID for AHost's key is known (AHost holds it from now on, under AToken in cluster mode).
  void CompleteRegister(TRelayConnection& AHost, const std::string& AKey, const std::string& AId, uint64_t AToken);
  // Whether a key never seen before may be stored now, for a host from AConn's address.
  bool NewKeyAllowed(const TRelayConnection& AConn, TRelayClock::time_point ANow);
  // The host on AConn leaves the registry: its viewers learn of it.
  void DetachHost(TRelayConnection& AConn, THostPeer& AHost);
  // Removes IDs whose hosts have not been seen for too long.
  void ForgetStaleIds();

  // Admission broker (RelayHubAdmission.cpp).
  void HandleConnectRequest(TRelayConnection& AViewer, const TBytes& APayload);
  // AViewer's request for AHost, held here (confirmed in cluster mode): busy and per-host
  // limits, then the host is asked (or the request queued behind an owed answer).
  void AskLocalHost(TRelayConnection& AViewer, const std::shared_ptr<TRelayConnection>& AHost,
                    const std::string& ATarget, const std::string& AProof);
  // Passes AViewer's request on to AHost, which owes no answer now.
  void AskHost(TRelayConnection& AHost, TRelayConnection& AViewer);
  void HandleAdmitAnswer(TRelayConnection& AHost, bool AAccept, const TBytes& APayload);
  // AViewer's request to its host is over without an answer (the viewer left or gave up):
  // a request the host has is withdrawn, a queued one forgotten.
  void WithdrawRequest(TRelayConnection& AViewer, TViewerPeer& AState);
  // A viewer waits for its host's answer (or for the registry) until its admission deadline.
  bool CloseOnAdmissionTimeout(TRelayConnection& AViewer, TRelayClock::time_point ANow);

  // Sweep (RelayHubSweep.cpp): each step returns true when it has closed the connection.
  bool CloseOnMissedDeadline(TRelayConnection& AConn, TRelayClock::time_point ANow);
  bool CloseOnWriteStall(TRelayConnection& AConn, TRelayClock::time_point ANow);
  bool CloseWhenIdle(TRelayConnection& AConn, TRelayClock::time_point ANow);
  void KeepViewerAlive(TRelayConnection& AConn, TRelayClock::time_point ANow);
  void SaveIds();
  void ForgetIdsWhenDue(TRelayClock::time_point ANow);

  // Cluster hand-over (RelayHubCluster.cpp).
  // Looks the key up in the shared registry (creating an ID only when AMayCreate) and
  // completes the registration when the answer comes.
  void RegisterShared(TRelayConnection& AHost, std::string AKey, bool AMayCreate);
  // From the sweep: renews AHost's presence every third of its time-to-live, or closes AHost
  // once the presence has lapsed unconfirmed (the registry could not be reached), so that it
  // reconnects to a node that can renew it; a host in a session stays until the session ends.
  // True when AHost was closed.
  bool CloseOnLapsedPresence(TRelayConnection& AHost, TRelayClock::time_point ANow);
  void RenewPresence(TRelayConnection& AHost, THostPeer& AState, TRelayClock::time_point ANow);
  // A handler for a renewal asked at AAsked: a confirmed one extends AHost's presence.
  std::function<void(TClusterStatus)> PresenceConfirmer(TRelayConnection& AHost, TRelayClock::time_point AAsked);
  // Whether the presence confirmed last still holds at ANow.
  bool PresenceHeld(const THostPeer& AHost, TRelayClock::time_point ANow) const;
  // AViewer asks for AHost, held here. Another node may have taken the host over without this
  // node hearing of it, so the registry confirms the presence first; AViewer is then passed on
  // to AHost, or handed to the node that holds the host now. When the host has registered
  // again here meanwhile, the newer connection is checked instead, once (ARetry): the viewer's
  // admission deadline is not extended for it.
  void ConfirmPresence(TRelayConnection& AViewer, const std::shared_ptr<TRelayConnection>& AHost,
                       const std::string& ATarget, const std::string& AProof, const TBytes& ARequest,
                       bool ARetry = false);
  // The connection registered here for AId with a newer token than AToken, or none.
  std::shared_ptr<TRelayConnection> NewerLocalHost(const std::string& AId, uint64_t AToken) const;
  // AViewer asks for a host not held here: find its node and hand the viewer on.
  void LocateForViewer(TRelayConnection& AViewer, const std::string& ATarget, const TBytes& ARequest);
  asio::awaitable<void> HandOver(std::weak_ptr<TRelayConnection> AViewer, std::string ANode, std::string AAddress);
  // A linked viewer's link has gone (or the viewer asks anew): they part. A viewer inside a
  // packet coming over the link is closed.
  void Unlink(TRelayConnection& AViewer, TRelayConnection& ALink);
  // The link AConn has closed: its viewer learns what it would have learnt had its host been here.
  void DetachLink(TRelayConnection& AConn);
  // Packets coming back over a link show how the host's node has answered the viewer.
  static void NoteLinkAnswer(TViewerPeer& AViewer, uint32_t AType);
  // Still waiting for the registry or the link, for the request that AViewer's callback was for.
  static bool StillLooking(const std::shared_ptr<TRelayConnection>& AViewer);

  // Refusal text to a viewer (or a connection that may be one), then close it.
  void Refuse(TRelayConnection& AConn, std::string_view AText);
  // AConn's partner has gone: tell AConn, or close it when a forwarded packet was cut off.
  void EndSessionFor(TRelayConnection& AConn, const std::string& AWhy);
  // AConn and its session partner part; false when it had none.
  bool EndSession(TRelayConnection& AConn, std::shared_ptr<TRelayConnection>& APartner);
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
  IRelayQueueBudget& FBudget;
  std::function<void(const std::string&)> FLog;

  std::unordered_set<std::shared_ptr<TRelayConnection>> FConnections;
  THostRegistry FHosts;
  TRelayLimits FLimits;
  // The first sweep waits a whole interval from the start: hosts that were connected when the
  // relay stopped come back, and count as seen, before any ID is forgotten.
  TRelayClock::time_point FLastForget;
  bool FForgetUnfinished = false;  // the last sweep looked at a full batch: the next one goes on
  TLogSummary FEvents;
};

// Replaces ASCII control characters (tabs, line breaks, ...) by blanks and cuts at AMaxBytes
// without splitting a UTF-8 sequence.
std::string CleanField(std::string_view AText, size_t AMaxBytes);

}  // namespace tlm
