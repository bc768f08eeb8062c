// The hub's cluster hand-over: registrations through the shared registry, presence, take-overs,
// and viewers handed to the node that holds their host.
#include "protocol/Messages.h"
#include "relay/NodeLink.h"
#include "relay/RelayHub.h"

namespace tlm {

void TRelayHub::RegisterShared(TRelayConnection& AHost, std::string AKey, bool AMayCreate) {
  // Nothing else from this connection counts until the registry has answered. The token stays
  // the connection's for every try.
  TRelayPeer& peer = AHost.Peer();
  auto* registering = std::get_if<TRegisteringHost>(&peer.Role);
  if (!registering) registering = &peer.Role.emplace<TRegisteringHost>(TRegisteringHost{++FLastToken});
  const uint64_t token = registering->Token;
  const auto asked = TRelayClock::now();
  std::weak_ptr<TRelayConnection> weak = AHost.weak_from_this();
  FCluster->Register(AKey, AMayCreate, token, [this, weak, key = AKey, token, asked](TClusterRegistration AResult) {
    auto host = weak.lock();
    if (!host || host->Closing()) {
      // Gone meanwhile: the presence just claimed goes with it.
      if (AResult.Status == TClusterStatus::Ok) FCluster->Release(AResult.Id, token);
      return;
    }
    switch (AResult.Status) {
      case TClusterStatus::Ok:
        CompleteRegister(*host, key, AResult.Id, token);
        if (THostPeer* registered = host->Peer().Host()) registered->PresenceConfirmed = asked;
        break;
      case TClusterStatus::Refused:
        // A key no node has seen: it takes this node's budget for new keys.
        if (NewKeyAllowed(*host, TRelayClock::now())) {
          RegisterShared(*host, key, true);
        } else {
          ++FCounters.Refusals;
          host->Peer().Role = TNewcomer{};
          host->Close();
        }
        break;
      case TClusterStatus::Unavailable:
        ++FCounters.Refusals;
        Event("refused registration", "refused registration from " + host->Address() +
                                          ": shared registry unavailable (" + AResult.Error + ")");
        host->Peer().Role = TNewcomer{};
        // A host shows no relay text; it closes and tries again later, as after any loss.
        Refuse(*host, relaytext::Unavailable);
        break;
    }
  });
}

bool TRelayHub::CloseOnLapsedPresence(TRelayConnection& AHost, TRelayClock::time_point ANow) {
  THostPeer* host = AHost.Peer().Host();
  if (!host || AHost.Closing()) return false;
  // A host in a session loses nothing by staying: nobody else can be admitted to it meanwhile.
  if (!PresenceHeld(*host, ANow) && !AHost.Peer().Partner.lock()) {
    Event("presence lapsed",
          "closing " + Describe(AHost) + ": its presence in the shared registry could not be renewed");
    AHost.Close();
    return true;
  }
  RenewPresence(AHost, *host, ANow);
  return false;
}

void TRelayHub::RenewPresence(TRelayConnection& AHost, THostPeer& AState, TRelayClock::time_point ANow) {
  if (ANow - AState.PresenceRenewed < FOptions.Cluster.PresenceTtl / 3) return;
  AState.PresenceRenewed = ANow;
  FCluster->Refresh(AState.Id, AState.RegistrationToken, PresenceConfirmer(AHost, ANow));
}

std::function<void(TClusterStatus)> TRelayHub::PresenceConfirmer(TRelayConnection& AHost,
                                                                 TRelayClock::time_point AAsked) {
  const THostPeer* state = AHost.Peer().Host();
  const uint64_t token = state ? state->RegistrationToken : 0;
  return [weak = AHost.weak_from_this(), token, AAsked](TClusterStatus AStatus) {
    // Refused: OnTakenOver closes the host.
    auto host = weak.lock();
    THostPeer* state = host ? host->Peer().Host() : nullptr;
    if (AStatus == TClusterStatus::Ok && state && state->RegistrationToken == token)
      state->PresenceConfirmed = std::max(state->PresenceConfirmed, AAsked);
  };
}

bool TRelayHub::PresenceHeld(const THostPeer& AHost, TRelayClock::time_point ANow) const {
  return ANow < AHost.PresenceConfirmed + FOptions.Cluster.PresenceTtl;
}

bool TRelayHub::StillLooking(const std::shared_ptr<TRelayConnection>& AViewer) {
  const TViewerPeer* viewer = AViewer ? AViewer->Peer().Viewer() : nullptr;
  // The viewer left, gave up or ran out of time meanwhile.
  return viewer && !AViewer->Closing() && viewer->State == TViewerState::Pending && !viewer->LinkRequest.empty();
}

void TRelayHub::ConfirmPresence(TRelayConnection& AViewer, const std::shared_ptr<TRelayConnection>& AHost,
                                const std::string& ATarget, const std::string& AProof, const TBytes& ARequest,
                                bool ARetry) {
  TViewerPeer* viewer = AViewer.Peer().Viewer();
  const THostPeer* host = AHost->Peer().Host();
  if (!viewer || !host) return;
  const auto now = TRelayClock::now();
  // Waiting like a viewer whose host is being looked up: no other request meanwhile, the
  // admission deadline runs.
  viewer->State = TViewerState::Pending;
  viewer->PendingHost.reset();
  if (!ARetry) viewer->AdmissionDeadline = now + FOptions.AdmissionTimeout;
  viewer->LinkRequest = ARequest;
  viewer->LinkAnswer = TLinkAnswer::None;
  auto answered = [this, confirmed = PresenceConfirmer(*AHost, now), viewerRef = AViewer.weak_from_this(),
                   hostRef = std::weak_ptr(AHost), token = host->RegistrationToken, id = host->Id, ATarget, AProof,
                   ARetry](TClusterStatus AStatus) {
    confirmed(AStatus);
    auto viewerConn = viewerRef.lock();
    if (!StillLooking(viewerConn)) return;
    TViewerPeer& viewer = *viewerConn->Peer().Viewer();
    if (AStatus == TClusterStatus::Refused) {
      // The host registered again here while Redis was being asked: the newer connection may
      // be the one that holds the ID now.
      if (auto newer = NewerLocalHost(id, token); newer && !ARetry) {
        const TBytes request = std::move(viewer.LinkRequest);
        ConfirmPresence(*viewerConn, newer, ATarget, AProof, request, true);
        return;
      }
      // This node missed the notice: the old connection goes, and the viewer is handed to the
      // node that holds the host now.
      TakenOver(id, token);
      if (!viewerConn->Peer().FromNode) {
        const TBytes request = std::move(viewer.LinkRequest);
        LocateForViewer(*viewerConn, ATarget, request);
        return;
      }
    }
    TBytes().swap(viewer.LinkRequest);
    viewer.State = TViewerState::Idle;
    auto hostConn = hostRef.lock();
    const THostPeer* host = hostConn ? hostConn->Peer().Host() : nullptr;
    std::string_view refusal;
    std::string why;
    if (AStatus == TClusterStatus::Refused || !host || hostConn->Closing()) {
      refusal = relaytext::Offline;
      why = "no host online with ID '" + ATarget + "'";
    } else if (AStatus == TClusterStatus::Unavailable && !PresenceHeld(*host, TRelayClock::now())) {
      refusal = relaytext::Unavailable;
      why = "shared registry unavailable and the presence of host " + ATarget + " has lapsed";
    }
    if (refusal.empty()) {
      // Confirmed, or the registry is out of reach while the presence still holds.
      AskLocalHost(*viewerConn, hostConn, ATarget, AProof);
      return;
    }
    ++FCounters.Refusals;
    Event("refused request", "refused " + Describe(*viewerConn) + ": " + why);
    Refuse(*viewerConn, refusal);
  };
  FCluster->Refresh(host->Id, host->RegistrationToken, std::move(answered));
}

std::shared_ptr<TRelayConnection> TRelayHub::NewerLocalHost(const std::string& AId, uint64_t AToken) const {
  auto host = FHosts.Find(AId);
  const THostPeer* state = host ? host->Peer().Host() : nullptr;
  // Tokens only grow: a newer one is a later registration of this node.
  if (!state || host->Closing() || state->RegistrationToken <= AToken) return nullptr;
  return host;
}

void TRelayHub::TakenOver(const std::string& AId, uint64_t AToken) {
  auto host = FHosts.Find(AId);
  const THostPeer* state = host ? host->Peer().Host() : nullptr;
  // A newer registration here has replaced that one already.
  if (!state || state->RegistrationToken != AToken || host->Closing()) return;
  Event("host replaced", "host " + AId + " registered again on another node: closing its connection from " +
                             host->Address());
  host->Abort();
}

void TRelayHub::AnnounceHosts() {
  const auto now = TRelayClock::now();
  FHosts.ForEach([&](const std::string& AId, const std::shared_ptr<TRelayConnection>& AHost) {
    THostPeer* state = AHost->Peer().Host();
    if (!state || AHost->Closing()) return;
    state->PresenceRenewed = now;
    FCluster->Refresh(AId, state->RegistrationToken, PresenceConfirmer(*AHost, now));
  });
}

void TRelayHub::LocateForViewer(TRelayConnection& AViewer, const std::string& ATarget, const TBytes& ARequest) {
  TViewerPeer* viewer = AViewer.Peer().Viewer();
  if (!viewer) return;
  viewer->State = TViewerState::Pending;
  viewer->PendingHost.reset();
  viewer->AdmissionDeadline = TRelayClock::now() + FOptions.AdmissionTimeout;
  viewer->LinkRequest = ARequest;
  viewer->LinkAnswer = TLinkAnswer::None;
  std::weak_ptr<TRelayConnection> weak = AViewer.weak_from_this();
  FCluster->Locate(ATarget, [this, weak, ATarget](TClusterLocation ALocation) {
    auto viewerConn = weak.lock();
    if (!StillLooking(viewerConn)) return;
    std::string_view refusal;
    if (ALocation.Status != TClusterStatus::Ok) {
      Event("refused request", "refused " + Describe(*viewerConn) + ": shared registry unavailable (" +
                                   ALocation.Error + ")");
      refusal = relaytext::Unavailable;
    } else if (ALocation.Node.empty() || ALocation.Node == FOptions.Cluster.NodeName) {
      // Held here by what the registry says, yet not here: it has just left.
      Event("refused request", "refused " + Describe(*viewerConn) + ": no host online with ID '" + ATarget + "'");
      refusal = relaytext::Offline;
    }
    if (!refusal.empty()) {
      ++FCounters.Refusals;
      TViewerPeer& viewer = *viewerConn->Peer().Viewer();
      TBytes().swap(viewer.LinkRequest);
      viewer.State = TViewerState::Idle;
      Refuse(*viewerConn, refusal);
      return;
    }
    asio::co_spawn(FExecutor, HandOver(weak, ALocation.Node, ALocation.Address), asio::detached);
  });
}

asio::awaitable<void> TRelayHub::HandOver(std::weak_ptr<TRelayConnection> AViewer, std::string ANode,
                                          std::string AAddress) {
  std::string viewerAddress;
  if (auto viewer = AViewer.lock()) viewerAddress = viewer->Address();
  if (viewerAddress.empty() || FStopping) co_return;
  asio::ip::tcp::socket socket(FExecutor);
  FDialling.insert(&socket);
  std::string why;
  const bool opened = co_await DialNodeLink(socket, AAddress, FOptions.Cluster.Secret, viewerAddress,
                                            FOptions.Cluster.LinkTimeout, why);
  FDialling.erase(&socket);
  auto viewerConn = AViewer.lock();
  asio::error_code ignored;
  if (FStopping || !StillLooking(viewerConn)) {
    socket.close(ignored);
    co_return;
  }
  TViewerPeer& viewer = *viewerConn->Peer().Viewer();
  std::string refusal;
  if (!opened) {
    ++FCounters.Refusals;
    Event("link failed", "link to node " + ANode + " (" + AAddress + ") failed: " + why);
    refusal = relaytext::Unavailable;
  } else if (!MayOpen(AAddress, TOrigin::FromNode, refusal)) {
    socket.close(ignored);
  }
  if (!refusal.empty()) {
    TBytes().swap(viewer.LinkRequest);
    viewer.State = TViewerState::Idle;
    Refuse(*viewerConn, refusal);
    co_return;
  }
  socket.set_option(asio::ip::tcp::no_delay(true), ignored);
  socket.set_option(asio::socket_base::keep_alive(true), ignored);
  auto peer = std::make_shared<TRelayPeer>();
  peer->Role = TNodeLinkPeer{};
  peer->CountsForAddress = false;
  auto link = Start(TRelayStream(std::move(socket), nullptr), "node " + ANode, std::move(peer));
  viewer.State = TViewerState::Linked;
  viewerConn->Peer().Partner = link;
  link->Peer().Partner = viewerConn;
  link->SendPacket(MsgConnectRequest, viewer.LinkRequest);
  TBytes().swap(viewer.LinkRequest);
  Event("viewer handed over", "handed " + Describe(*viewerConn) + " to node " + ANode);
}

void TRelayHub::Unlink(TRelayConnection& AViewer, TRelayConnection& ALink) {
  AViewer.Peer().Partner.reset();
  ALink.Peer().Partner.reset();
  if (TViewerPeer* viewer = AViewer.Peer().Viewer()) viewer->State = TViewerState::Idle;
  // The rest of a packet the link was passing on will not come: nothing can follow it.
  if (AViewer.InsidePartialPacket() && !AViewer.Closing()) {
    Event("link closed inside a packet",
          "closing " + Describe(AViewer) + ": its link closed in the middle of a packet");
    AViewer.Abort();
  }
}

void TRelayHub::DetachLink(TRelayConnection& AConn) {
  auto viewerConn = AConn.Peer().Partner.lock();
  if (!viewerConn) return;
  Unlink(*viewerConn, AConn);
  TViewerPeer* viewer = viewerConn->Peer().Viewer();
  if (viewerConn->Closing() || !viewer) return;
  // The viewer learns what it would have learnt had its host been here.
  switch (viewer->LinkAnswer) {
    case TLinkAnswer::None:
      Event("admission failed", "admission failed: " + Describe(AConn) + " closed before answering " +
                                    Describe(*viewerConn));
      Refuse(*viewerConn, relaytext::HostLeft);
      break;
    case TLinkAnswer::SessionStarted:
      Event("session ended", "session ended: " + Describe(AConn) + " closed, " + Describe(*viewerConn) + " stays");
      EndSessionFor(*viewerConn, "its host's node closed the link");
      break;
    case TLinkAnswer::SessionEnded:
      viewer->State = TViewerState::Ended;
      viewerConn->RestartIdleClock();
      break;
    case TLinkAnswer::Refused:
      // The host's node refused and closed; so does this one, after passing the text on.
      viewerConn->Close();
      break;
  }
}

void TRelayHub::NoteLinkAnswer(TViewerPeer& AViewer, uint32_t AType) {
  switch (AType) {
    case MsgSessionStart:
      AViewer.LinkAnswer = TLinkAnswer::SessionStarted;
      break;
    case MsgSessionEnd:
      AViewer.LinkAnswer = TLinkAnswer::SessionEnded;
      break;
    case MsgRelayError:
      AViewer.LinkAnswer = TLinkAnswer::Refused;
      break;
    default:
      break;
  }
}

}  // namespace tlm
