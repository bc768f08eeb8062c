// The hub's cluster-mode half: registrations through the shared registry, presence, take-overs,
// and viewers handed to the node that holds their host.
#include "protocol/Messages.h"
#include "relay/NodeLink.h"
#include "relay/RelayHub.h"

namespace tlm {

void TRelayHub::RegisterShared(TRelayConnection& AHost, std::string AKey, bool AMayCreate) {
  // Nothing else from this connection counts until the registry has answered.
  AHost.RegistrationPending = true;
  if (AHost.RegistrationToken == 0) AHost.RegistrationToken = ++FLastToken;
  const uint64_t token = AHost.RegistrationToken;
  const auto asked = TRelayClock::now();
  std::weak_ptr<TRelayConnection> weak = AHost.weak_from_this();
  FCluster->Register(AKey, AMayCreate, token, [this, weak, key = AKey, token, asked](TClusterRegistration AResult) {
    auto host = weak.lock();
    if (!host || host->Closing()) {
      // Gone meanwhile: the presence just claimed goes with it.
      if (AResult.Status == TClusterStatus::Ok) FCluster->Release(AResult.Id, token);
      return;
    }
    host->RegistrationPending = false;
    switch (AResult.Status) {
      case TClusterStatus::Ok:
        host->PresenceConfirmed = asked;
        CompleteRegister(*host, key, AResult.Id);
        break;
      case TClusterStatus::Refused:
        // A key no node has seen: it takes this node's budget for new keys.
        if (NewKeyAllowed(*host, TRelayClock::now())) {
          RegisterShared(*host, key, true);
        } else {
          ++FCounters.Refusals;
          host->Close();
        }
        break;
      case TClusterStatus::Unavailable:
        ++FCounters.Refusals;
        Event("refused registration", "refused registration from " + host->Address() +
                                          ": shared registry unavailable (" + AResult.Error + ")");
        // A host shows no relay text; it closes and tries again later, as after any loss.
        Refuse(*host, relaytext::Unavailable);
        break;
    }
  });
}

bool TRelayHub::KeepPresence(TRelayConnection& AHost, TRelayClock::time_point ANow) {
  if (AHost.HostId.empty() || AHost.Closing()) return true;
  // A host in a session loses nothing by staying: nobody else can be admitted to it meanwhile.
  if (!PresenceHeld(AHost, ANow) && !AHost.Partner.lock()) {
    Event("presence lapsed",
          "closing " + Describe(AHost) + ": its presence in the shared registry could not be renewed");
    AHost.Close();
    return false;
  }
  RenewPresence(AHost, ANow);
  return true;
}

void TRelayHub::RenewPresence(TRelayConnection& AHost, TRelayClock::time_point ANow) {
  if (AHost.HostId.empty() || ANow - AHost.PresenceRenewed < FOptions.Cluster.PresenceTtl / 3) return;
  AHost.PresenceRenewed = ANow;
  FCluster->Refresh(AHost.HostId, AHost.RegistrationToken, PresenceConfirmer(AHost, ANow));
}

std::function<void(TClusterStatus)> TRelayHub::PresenceConfirmer(TRelayConnection& AHost,
                                                                 TRelayClock::time_point AAsked) {
  return [weak = AHost.weak_from_this(), token = AHost.RegistrationToken, AAsked](TClusterStatus AStatus) {
    // Refused: OnTakenOver closes the host.
    auto host = weak.lock();
    if (AStatus == TClusterStatus::Ok && host && host->RegistrationToken == token)
      host->PresenceConfirmed = std::max(host->PresenceConfirmed, AAsked);
  };
}

bool TRelayHub::PresenceHeld(const TRelayConnection& AHost, TRelayClock::time_point ANow) const {
  return ANow < AHost.PresenceConfirmed + FOptions.Cluster.PresenceTtl;
}

void TRelayHub::ConfirmPresence(TRelayConnection& AViewer, const std::shared_ptr<TRelayConnection>& AHost,
                                const std::string& ATarget, const std::string& AProof, const TBytes& ARequest,
                                bool ARetry) {
  const auto now = TRelayClock::now();
  // Waiting like a viewer whose host is being looked up: no other request meanwhile, the
  // admission deadline runs.
  AViewer.ViewerState = TViewerState::Pending;
  AViewer.PendingHost.reset();
  if (!ARetry) AViewer.AdmissionDeadline = now + FOptions.AdmissionTimeout;
  AViewer.LinkRequest = ARequest;
  AViewer.LinkAnswer = TLinkAnswer::None;
  auto answered = [this, confirmed = PresenceConfirmer(*AHost, now), viewerRef = AViewer.weak_from_this(),
                   hostRef = std::weak_ptr(AHost), token = AHost->RegistrationToken, id = AHost->HostId, ATarget,
                   AProof, ARetry](TClusterStatus AStatus) {
    confirmed(AStatus);
    auto viewer = viewerRef.lock();
    // The viewer left, gave up or ran out of time meanwhile.
    if (!viewer || viewer->Closing() || viewer->ViewerState != TViewerState::Pending || viewer->LinkRequest.empty())
      return;
    if (AStatus == TClusterStatus::Refused) {
      // The host registered again here while Redis was being asked: the newer connection may
      // be the one that holds the ID now.
      if (auto newer = NewerLocalHost(id, token); newer && !ARetry) {
        const TBytes request = std::move(viewer->LinkRequest);
        ConfirmPresence(*viewer, newer, ATarget, AProof, request, true);
        return;
      }
      // This node missed the notice: the old connection goes, and the viewer is handed to the
      // node that holds the host now.
      TakenOver(id, token);
      if (!viewer->FromNode) {
        const TBytes request = std::move(viewer->LinkRequest);
        LocateForViewer(*viewer, ATarget, request);
        return;
      }
    }
    TBytes().swap(viewer->LinkRequest);
    viewer->ViewerState = TViewerState::Idle;
    auto host = hostRef.lock();
    std::string_view refusal;
    std::string why;
    if (AStatus == TClusterStatus::Refused || !host || host->Closing()) {
      refusal = relaytext::Offline;
      why = "no host online with ID '" + ATarget + "'";
    } else if (AStatus == TClusterStatus::Unavailable && !PresenceHeld(*host, TRelayClock::now())) {
      refusal = relaytext::Unavailable;
      why = "shared registry unavailable and the presence of host " + ATarget + " has lapsed";
    }
    if (refusal.empty()) {
      // Confirmed, or the registry is out of reach while the presence still holds.
      AskLocalHost(*viewer, host, ATarget, AProof);
      return;
    }
    ++FCounters.Refusals;
    Event("refused request", "refused " + Describe(*viewer) + ": " + why);
    Refuse(*viewer, refusal);
  };
  FCluster->Refresh(AHost->HostId, AHost->RegistrationToken, std::move(answered));
}

std::shared_ptr<TRelayConnection> TRelayHub::NewerLocalHost(const std::string& AId, uint64_t AToken) const {
  auto it = FHostsById.find(AId);
  if (it == FHostsById.end()) return nullptr;
  auto host = it->second.lock();
  // Tokens only grow: a newer one is a later registration of this node.
  if (!host || host->Closing() || host->RegistrationToken <= AToken) return nullptr;
  return host;
}

void TRelayHub::TakenOver(const std::string& AId, uint64_t AToken) {
  auto it = FHostsById.find(AId);
  if (it == FHostsById.end()) return;
  auto host = it->second.lock();
  // A newer registration here has replaced that one already.
  if (!host || host->RegistrationToken != AToken || host->Closing()) return;
  Event("host replaced", "host " + AId + " registered again on another node: closing its connection from " +
                             host->Address());
  host->Abort();
}

void TRelayHub::AnnounceHosts() {
  const auto now = TRelayClock::now();
  for (const auto& [id, weak] : FHostsById) {
    auto host = weak.lock();
    if (!host || host->Closing()) continue;
    host->PresenceRenewed = now;
    FCluster->Refresh(id, host->RegistrationToken, PresenceConfirmer(*host, now));
  }
}

void TRelayHub::LocateForViewer(TRelayConnection& AViewer, const std::string& ATarget, const TBytes& ARequest) {
  AViewer.ViewerState = TViewerState::Pending;
  AViewer.PendingHost.reset();
  AViewer.AdmissionDeadline = TRelayClock::now() + FOptions.AdmissionTimeout;
  AViewer.LinkRequest = ARequest;
  AViewer.LinkAnswer = TLinkAnswer::None;
  std::weak_ptr<TRelayConnection> weak = AViewer.weak_from_this();
  FCluster->Locate(ATarget, [this, weak, ATarget](TClusterLocation ALocation) {
    auto viewer = weak.lock();
    // The viewer left, gave up or ran out of time meanwhile.
    if (!viewer || viewer->Closing() || viewer->ViewerState != TViewerState::Pending || viewer->LinkRequest.empty())
      return;
    std::string_view refusal;
    if (ALocation.Status != TClusterStatus::Ok) {
      Event("refused request", "refused " + Describe(*viewer) + ": shared registry unavailable (" +
                                   ALocation.Error + ")");
      refusal = relaytext::Unavailable;
    } else if (ALocation.Node.empty() || ALocation.Node == FOptions.Cluster.NodeName) {
      // Held here by what the registry says, yet not here: it has just left.
      Event("refused request", "refused " + Describe(*viewer) + ": no host online with ID '" + ATarget + "'");
      refusal = relaytext::Offline;
    }
    if (!refusal.empty()) {
      ++FCounters.Refusals;
      TBytes().swap(viewer->LinkRequest);
      viewer->ViewerState = TViewerState::Idle;
      Refuse(*viewer, refusal);
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
  auto viewer = AViewer.lock();
  asio::error_code ignored;
  if (FStopping || !viewer || viewer->Closing() || viewer->ViewerState != TViewerState::Pending ||
      viewer->LinkRequest.empty()) {
    socket.close(ignored);
    co_return;
  }
  std::string refusal;
  if (!opened) {
    ++FCounters.Refusals;
    Event("link failed", "link to node " + ANode + " (" + AAddress + ") failed: " + why);
    refusal = relaytext::Unavailable;
  } else if (!MayAdmitLink(refusal)) {
    socket.close(ignored);
  }
  if (!refusal.empty()) {
    TBytes().swap(viewer->LinkRequest);
    viewer->ViewerState = TViewerState::Idle;
    Refuse(*viewer, refusal);
    co_return;
  }
  socket.set_option(asio::ip::tcp::no_delay(true), ignored);
  socket.set_option(asio::socket_base::keep_alive(true), ignored);
  auto link = std::make_shared<TRelayConnection>(TRelayStream(std::move(socket), nullptr), *this, "node " + ANode);
  link->Role = TPeerRole::NodeLink;
  Keep(link, false);
  link->Start();
  viewer->ViewerState = TViewerState::Linked;
  viewer->Partner = link;
  link->Partner = viewer;
  link->SendPacket(MsgConnectRequest, viewer->LinkRequest);
  TBytes().swap(viewer->LinkRequest);
  Event("viewer handed over", "handed " + Describe(*viewer) + " to node " + ANode);
}

void TRelayHub::Unlink(TRelayConnection& AViewer, TRelayConnection& ALink) {
  AViewer.Partner.reset();
  ALink.Partner.reset();
  AViewer.ViewerState = TViewerState::Idle;
  // The rest of a packet the link was passing on will not come: nothing can follow it.
  if (AViewer.InsidePartialPacket() && !AViewer.Closing()) {
    Event("link closed inside a packet",
          "closing " + Describe(AViewer) + ": its link closed in the middle of a packet");
    AViewer.Abort();
  }
}

void TRelayHub::NoteLinkAnswer(TRelayConnection& AViewer, uint32_t AType) {
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
