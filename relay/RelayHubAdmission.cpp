// The hub's admission broker: a viewer's request, the checks it must pass, asking its host,
// the host's answer, a withdrawal (the viewer left or gave up) and the request queued behind an
// answer the host still owes. Why a viewer's request is refused is decided here, or in the
// cluster half (RelayHubCluster.cpp: the registry or the host's node could not be reached).
// Refusals before any request: the limits on connections (MayOpen), an oversized control
// packet (RefuseOversizedControl) and a plain client of a TLS-only relay (the connection).
#include "protocol/Credentials.h"
#include "protocol/DisplayName.h"
#include "protocol/Messages.h"
#include "relay/RelayHub.h"

namespace tlm {

namespace {

constexpr size_t ConnectionIdDigits = 9;

}  // namespace

void TRelayHub::HandleConnectRequest(TRelayConnection& AViewer, const TBytes& APayload) {
  TRelayPeer& peer = AViewer.Peer();
  if (peer.IsViewerIn(TViewerState::Linked)) {
    // A new request from a viewer handed to another node: that link has served its turn.
    if (auto link = peer.Partner.lock()) {
      Unlink(AViewer, *link);
      link->Close();
    }
    if (AViewer.Closing()) return;
  }
  TViewerPeer* viewer = peer.Viewer();
  if (!viewer) viewer = &peer.Role.emplace<TViewerPeer>();
  viewer->State = TViewerState::Idle;
  const auto now = TRelayClock::now();
  if (!FLimits.RequestAllowed(AViewer.AddressBucket(), now)) {
    ++FCounters.Refusals;
    Event("refused request", "refused request from " + AViewer.Address() + ": too many connect requests");
    Refuse(AViewer, relaytext::TooManyRequests);
    return;
  }
  const std::vector<std::string> fields = SplitTabs(TextOf(APayload));
  if (fields.size() != 4 || fields[3] != "control") {
    ++FCounters.Refusals;
    Event("refused request", "refused request from " + AViewer.Address() + ": malformed connect request");
    Refuse(AViewer, relaytext::Malformed);
    return;
  }
  const std::string target = DigitsOnly(fields[0]);
  // The host shows the name to its user: nothing in it may fake the prompt's layout.
  viewer->Name = CleanDisplayName(fields[1]);
  const std::string proof = CleanField(fields[2], MaxProofBytes);

  std::shared_ptr<TRelayConnection> host;
  if (target.size() == ConnectionIdDigits) host = FHosts.Find(target);
  if (!host && FCluster && !peer.FromNode && target.size() == ConnectionIdDigits) {
    LocateForViewer(AViewer, target, APayload);
    return;
  }
  if (!host || host->Closing()) {
    ++FCounters.Refusals;
    Event("refused request", "refused " + Describe(AViewer) + ": no host online with ID '" +
                                 CleanDisplayName(fields[0], 32) + "'");
    Refuse(AViewer, relaytext::Offline);
    return;
  }
  if (FCluster) {
    ConfirmPresence(AViewer, host, target, proof, APayload);
    return;
  }
  AskLocalHost(AViewer, host, target, proof);
}

void TRelayHub::AskLocalHost(TRelayConnection& AViewer, const std::shared_ptr<TRelayConnection>& AHost,
                             const std::string& ATarget, const std::string& AProof) {
  TViewerPeer* viewer = AViewer.Peer().Viewer();
  THostPeer* host = AHost->Peer().Host();
  if (!viewer || !host) return;  // the registry holds hosts only, and only viewers ask
  const auto now = TRelayClock::now();
  // Busy: in a session, asked by a viewer still waiting, or already holding a queued request.
  if (AHost->Peer().Partner.lock() || (host->AdmissionPending && host->PendingViewer.lock()) ||
      host->QueuedViewer.lock()) {
    ++FCounters.Refusals;
    Event("refused request", "refused " + Describe(AViewer) + ": host " + ATarget + " is busy");
    Refuse(AViewer, relaytext::Busy);
    return;
  }
  // Each address has its own share of the host's budget, so that a stranger's flood of requests
  // (withdrawn at once, say) never stops a viewer from elsewhere.
  if (!FLimits.ChargeHost(ATarget, AViewer.AddressBucket(), now, viewer->Charge)) {
    ++FCounters.Refusals;
    Event("refused request", "refused " + Describe(AViewer) + ": too many connect requests for host " + ATarget +
                                 " from " + AViewer.AddressBucket());
    Refuse(AViewer, relaytext::Busy);
    return;
  }
  viewer->State = TViewerState::Pending;
  viewer->PendingHost = AHost;
  viewer->AdmissionDeadline = now + FOptions.AdmissionTimeout;
  viewer->AdmitRequestText = AViewer.Address() + "\t" + viewer->Name + "\t" + AProof;
  if (host->AdmissionPending) {
    // The host still owes the answer to a withdrawn request: this one follows it.
    host->QueuedViewer = AViewer.weak_from_this();
    Event("admission queued", "admission queued: " + Describe(AViewer) + " -> host " + ATarget +
                                  " (waiting for its answer to a withdrawn request)");
    return;
  }
  AskHost(*AHost, AViewer);
}

void TRelayHub::AskHost(TRelayConnection& AHost, TRelayConnection& AViewer) {
  THostPeer* host = AHost.Peer().Host();
  TViewerPeer* viewer = AViewer.Peer().Viewer();
  if (!host || !viewer) return;
  host->AdmissionPending = true;
  host->PendingViewer = AViewer.weak_from_this();
  AHost.SendText(MsgAdmitRequest, viewer->AdmitRequestText);
  viewer->AdmitRequestText.clear();
  Event("admission asked", "admission asked: " + Describe(AViewer) + " -> host " + host->Id);
}

void TRelayHub::WithdrawRequest(TRelayConnection& AViewer, TViewerPeer& AState) {
  auto hostConn = AState.PendingHost.lock();
  AState.PendingHost.reset();
  AState.AdmitRequestText.clear();
  THostPeer* host = hostConn ? hostConn->Peer().Host() : nullptr;
  if (!host) return;
  if (host->QueuedViewer.lock().get() == &AViewer) {
    host->QueuedViewer.reset();
    return;
  }
  if (host->AdmissionPending && host->PendingViewer.lock().get() == &AViewer) {
    // The answer stays owed (and will be dropped); the host can close its prompt now.
    host->PendingViewer.reset();
    if (!hostConn->Closing()) hostConn->SendPacket(MsgAdmitWithdrawn, {});
  }
}

void TRelayHub::HandleAdmitAnswer(TRelayConnection& AHost, bool AAccept, const TBytes& APayload) {
  THostPeer* host = AHost.Peer().Host();
  if (!host) return;
  host->AdmissionPending = false;
  auto viewer = host->PendingViewer.lock();
  host->PendingViewer.reset();
  TViewerPeer* asked = viewer ? viewer->Peer().Viewer() : nullptr;
  if (!asked || viewer->Closing() || asked->State != TViewerState::Pending || asked->PendingHost.lock().get() != &AHost) {
    Event("late answer", "host " + host->Id + " answered " + (AAccept ? "accept" : "reject") +
                             " after its viewer had gone; ignored");
  } else if (!AAccept) {
    asked->PendingHost.reset();
    std::string reason = CleanField(TextOf(APayload), MaxReasonBytes);
    if (reason.empty()) reason = AdmitRejectReason;
    asked->State = TViewerState::Idle;
    Event("admission rejected", "admission rejected: " + Describe(*viewer) + " by host " + host->Id);
    Refuse(*viewer, reason);
  } else {
    // A request the host accepted does not count against its budget.
    if (!asked->Charge.Key.empty()) FLimits.Refund(asked->Charge);
    asked->Charge = {};
    asked->PendingHost.reset();
    asked->State = TViewerState::InSession;
    viewer->Peer().Partner = AHost.weak_from_this();
    AHost.Peer().Partner = viewer;
    ++FCounters.Sessions;
    ++FCounters.SessionsStarted;
    AHost.SendPacket(MsgSessionStart, {});
    viewer->SendPacket(MsgSessionStart, {});
    Event("session started",
          "admission accepted: session started between host " + host->Id + " and " + Describe(*viewer));
  }
  // The owed answer has come: a request that waited for it goes on now.
  auto queued = host->QueuedViewer.lock();
  host->QueuedViewer.reset();
  TViewerPeer* waiting = queued ? queued->Peer().Viewer() : nullptr;
  if (waiting && !queued->Closing() && waiting->State == TViewerState::Pending &&
      waiting->PendingHost.lock().get() == &AHost) {
    if (AHost.Peer().Partner.lock()) {
      waiting->State = TViewerState::Idle;
      waiting->PendingHost.reset();
      Refuse(*queued, relaytext::Busy);
    } else {
      AskHost(AHost, *queued);
    }
  }
}

bool TRelayHub::CloseOnAdmissionTimeout(TRelayConnection& AViewer, TRelayClock::time_point ANow) {
  TViewerPeer* viewer = AViewer.Peer().Viewer();
  if (!viewer || viewer->State != TViewerState::Pending || ANow < viewer->AdmissionDeadline) return false;
  // The host's prompt is withdrawn; its late answer finds no viewer and is dropped.
  WithdrawRequest(AViewer, *viewer);
  viewer->State = TViewerState::Idle;
  ++FCounters.Refusals;
  Event("admission timed out", "admission timed out: " + Describe(AViewer));
  Refuse(AViewer, relaytext::NoAnswer);
  return true;
}

}  // namespace tlm
