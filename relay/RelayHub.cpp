#include "relay/RelayHub.h"

#include <algorithm>

#include "protocol/Messages.h"

namespace tlm {

namespace {

// The ID of the host on AConn, for the log (empty when it is no host).
std::string HostIdOf(const TRelayConnection& AConn) {
  const THostPeer* host = AConn.Peer().Host();
  return host ? host->Id : std::string();
}

}  // namespace

std::string CleanField(std::string_view AText, size_t AMaxBytes) {
  std::string out(AText.substr(0, AMaxBytes));
  // Do not end inside a UTF-8 sequence: drop continuation bytes and their lead byte.
  if (AText.size() > AMaxBytes) {
    size_t end = out.size();
    while (end > 0 && (uint8_t(out[end - 1]) & 0xC0) == 0x80) --end;
    if (end > 0 && uint8_t(out[end - 1]) >= 0xC0) --end;
    // Keep a complete final sequence.
    if (end < out.size()) {
      const uint8_t lead = uint8_t(out[end]);
      const size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
      if (out.size() - end < need) out.resize(end);
    }
  }
  for (char& c : out)
    if (uint8_t(c) < 0x20 || c == 0x7f) c = ' ';
  return out;
}

TRelayHub::TRelayHub(const TRelayOptions& AOptions, TIdStore* AStore, TClusterRegistry* ACluster,
                     asio::any_io_executor AExecutor, TRelayCounters& ACounters, IRelayQueueBudget& ABudget,
                     std::function<void(const std::string&)> ALog)
    : FOptions(AOptions),
      FStore(AStore),
      FCluster(ACluster),
      FExecutor(std::move(AExecutor)),
      FCounters(ACounters),
      FBudget(ABudget),
      FLog(std::move(ALog)),
      FLimits(AOptions),
      FLastForget(TRelayClock::now()),
      FEvents(FLog, AOptions.LogBurst, AOptions.LogSummaryInterval) {}

void TRelayHub::Event(std::string_view AKind, const std::string& ALine) {
  FEvents.Line(AKind, ALine, TRelayClock::now());
}

std::string TRelayHub::Describe(const TRelayConnection& AConn) const {
  const TRelayPeer& peer = AConn.Peer();
  if (const THostPeer* host = peer.Host()) return "host " + host->Id + " (" + AConn.Address() + ")";
  if (const TViewerPeer* viewer = peer.Viewer()) return "viewer '" + viewer->Name + "' (" + AConn.Address() + ")";
  if (peer.IsLink()) return "link to " + AConn.Address();
  return "connection " + AConn.Address();
}

bool TRelayHub::MayOpen(const std::string& AAddress, TOrigin AOrigin, std::string& ARefusal) {
  const bool link = AOrigin == TOrigin::FromNode;
  const std::string why =
      link ? FLimits.LinkRefusal(FConnections.size()) : FLimits.ConnectionRefusal(AAddress, FConnections.size());
  if (why.empty()) return true;
  ++FCounters.Refusals;
  Event("refused connection", (link ? std::string("refused node link: ") : "refused connection from " + AAddress + ": ") + why);
  ARefusal = relaytext::TooManyConnections;
  return false;
}

void TRelayHub::Open(TRelayStream AStream, const std::string& AAddress, TOrigin AOrigin) {
  auto peer = std::make_shared<TRelayPeer>();
  peer->FromNode = AOrigin == TOrigin::FromNode;
  // The per-address windows still count a linked viewer's requests under its address.
  peer->CountsForAddress = AOrigin == TOrigin::Client;
  Start(std::move(AStream), AAddress, std::move(peer));
}

std::shared_ptr<TRelayConnection> TRelayHub::Start(TRelayStream AStream, const std::string& AAddress,
                                                   std::shared_ptr<TRelayPeer> APeer) {
  auto conn = std::make_shared<TRelayConnection>(std::move(AStream), *this, FBudget, AAddress);
  const bool counts = APeer->CountsForAddress;
  conn->SetPeer(std::move(APeer));
  FConnections.insert(conn);
  if (counts) FLimits.CountConnection(conn->AddressBucket());
  FCounters.Connections = FConnections.size();
  conn->Start();
  return conn;
}

void TRelayHub::NoteClosed(TRelayConnection& AConn) {
  if (AConn.Peer().CountsForAddress) FLimits.ReleaseConnection(AConn.AddressBucket());
  FConnections.erase(AConn.shared_from_this());
  FCounters.Connections = FConnections.size();
}

TSender TRelayHub::SenderOf(const TRelayConnection& AFrom, const TRelayPeer& APeer,
                            const TRelayConnection* APartner) const {
  TSender sender;
  sender.Closing = AFrom.Closing();
  sender.FromNode = APeer.FromNode;
  sender.HasPartner = APartner && !APartner->Closing();
  if (std::holds_alternative<TRegisteringHost>(APeer.Role)) {
    sender.Kind = TSenderKind::Registering;
  } else if (const THostPeer* host = APeer.Host()) {
    sender.Kind = TSenderKind::Host;
    sender.OwesAnswer = host->AdmissionPending;
  } else if (const TViewerPeer* viewer = APeer.Viewer()) {
    sender.Kind = viewer->State == TViewerState::Linked ? TSenderKind::LinkedViewer : TSenderKind::Viewer;
    sender.MayRequest = viewer->State == TViewerState::Idle || viewer->State == TViewerState::Ended;
  } else if (APeer.IsLink()) {
    sender.Kind = TSenderKind::NodeLink;
  }
  return sender;
}

IRelayPeerEvents::TRoute TRelayHub::Route(TRelayConnection& AFrom, uint32_t AType) {
  TRelayPeer& peer = AFrom.Peer();
  auto partner = peer.Partner.lock();
  const TRouteKind kind = RouteFor(SenderOf(AFrom, peer, partner.get()), AType);
  if (kind != TRouteKind::Forward) return {kind, nullptr};
  if (peer.IsLink())
    if (TViewerPeer* viewer = partner->Peer().Viewer()) NoteLinkAnswer(*viewer, AType);
  return {kind, std::move(partner)};
}

void TRelayHub::RefuseOversizedControl(TRelayConnection& AFrom, uint32_t AType, uint32_t ALen) {
  ++FCounters.Refusals;
  Event("oversized control message", "closing " + Describe(AFrom) + ": control message " + std::to_string(AType) +
                                         " of " + std::to_string(ALen) + " bytes");
  if (AFrom.Peer().Host())
    AFrom.Close();
  else
    Refuse(AFrom, relaytext::Malformed);
}

void TRelayHub::Handle(TRelayConnection& AFrom, uint32_t AType, const TBytes& APayload) {
  switch (AType) {
    case MsgHostRegister:
      HandleRegister(AFrom, APayload);
      break;
    case MsgConnectRequest:
      HandleConnectRequest(AFrom, APayload);
      break;
    case MsgAdmitAccept:
      HandleAdmitAnswer(AFrom, true, APayload);
      break;
    case MsgAdmitReject:
      HandleAdmitAnswer(AFrom, false, APayload);
      break;
    default:
      break;
  }
}

void TRelayHub::Refuse(TRelayConnection& AConn, std::string_view AText) {
  AConn.SendText(MsgRelayError, AText);
  AConn.Close();
}

void TRelayHub::EndSessionFor(TRelayConnection& AConn, const std::string& AWhy) {
  if (TViewerPeer* viewer = AConn.Peer().Viewer()) {
    viewer->State = TViewerState::Ended;
    AConn.RestartIdleClock();
  }
  if (AConn.Closing()) return;
  if (AConn.InsidePartialPacket()) {
    // Its partner left in the middle of a packet: the stream cannot be completed.
    Event("cut off in a packet", "closing " + Describe(AConn) + ": " + AWhy + " in the middle of a packet");
    AConn.Abort();
    return;
  }
  AConn.SendPacket(MsgSessionEnd, {});
}

bool TRelayHub::EndSession(TRelayConnection& AConn, std::shared_ptr<TRelayConnection>& APartner) {
  APartner = AConn.Peer().Partner.lock();
  if (!APartner) return false;
  AConn.Peer().Partner.reset();
  APartner->Peer().Partner.reset();
  --FCounters.Sessions;
  return true;
}

void TRelayHub::Detach(TRelayConnection& AConn) {
  TRelayPeer& peer = AConn.Peer();
  if (peer.IsLink()) {
    DetachLink(AConn);
    return;
  }
  if (THostPeer* host = peer.Host()) {
    DetachHost(AConn, *host);
    return;
  }
  TViewerPeer* viewer = peer.Viewer();
  if (!viewer) return;
  if (viewer->State == TViewerState::Linked) {
    if (auto link = peer.Partner.lock()) {
      Unlink(AConn, *link);
      link->Close();
    }
    return;
  }
  if (std::shared_ptr<TRelayConnection> host; EndSession(AConn, host)) {
    Event("session ended", "session ended: " + Describe(AConn) + " left host " + HostIdOf(*host));
    EndSessionFor(*host, "viewer left");
  }
  if (viewer->State == TViewerState::Pending) {
    Event("admission abandoned", "admission abandoned: " + Describe(AConn) + " left before the host answered");
    WithdrawRequest(AConn, *viewer);
  }
}

void TRelayHub::CloseAll() {
  FStopping = true;
  asio::error_code ignored;
  for (auto* socket : FDialling) socket->close(ignored);
  std::vector<std::shared_ptr<TRelayConnection>> all(FConnections.begin(), FConnections.end());
  for (const auto& conn : all) conn->Abort();
}

}  // namespace tlm
