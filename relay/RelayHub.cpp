#include "relay/RelayHub.h"

#include <algorithm>

#include "protocol/Credentials.h"
#include "protocol/DisplayName.h"
#include "protocol/Error.h"
#include "protocol/Messages.h"

namespace tlm {

namespace {

constexpr auto RateWindow = std::chrono::seconds(60);
constexpr auto NewKeyGlobalWindow = std::chrono::seconds(1);
constexpr size_t ConnectionIdDigits = 9;
// Relay packets an honest peer may have waiting unread at once: an ID, an admission request
// with its withdrawal, the session's start and end, a few keep-alives.
constexpr size_t HonestUnreadRelayBytes = 4096;
// IDs looked at per sweep: a large backlog (the first sweep over an old database, say) is worked
// off a batch a second instead of holding the network thread for all of it at once.
constexpr size_t ForgetBatch = 10000;

bool HasControlChars(std::string_view AText) {
  return std::any_of(AText.begin(), AText.end(), [](char c) { return uint8_t(c) < 0x20 || c == 0x7f; });
}

}  // namespace

bool SessionCodeAllowed(bool AFromHost, uint32_t AType) {
  // What the receiving side's program handles from its partner; MsgFileReady goes back to
  // whichever side sends a file.
  switch (AType) {
    case MsgClipboard:
    case MsgChat:
    case MsgFileBegin:
    case MsgFileChunk:
    case MsgFileEnd:
    case MsgFileReady:
    case MsgSecureAbort:
    case MsgSealed:
      return true;
    case MsgSecureReply:
    case MsgFrame:
    case MsgMonitorList:
    case MsgFileError:
    case MsgDirListing:
      return AFromHost;
    case MsgSecureHello:
    case MsgSecureConfirm:
    case MsgFrameAck:
    case MsgKeyframeRequest:
    case MsgQuality:
    case MsgSelectMonitor:
    case MsgMouse:
    case MsgKey:
    case MsgFileGet:
    case MsgListDir:
      return !AFromHost;
    default:
      return false;
  }
}

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

std::string AddressBucket(const std::string& AAddress) {
  asio::error_code error;
  const auto address = asio::ip::make_address(AAddress, error);
  if (error || !address.is_v6() || address.to_v6().is_v4_mapped()) return AAddress;
  auto bytes = address.to_v6().to_bytes();
  std::fill(bytes.begin() + 8, bytes.end(), uint8_t(0));
  return asio::ip::address_v6(bytes).to_string() + "/64";
}

TRelayHub::TRelayHub(const TRelayOptions& AOptions, TIdStore* AStore, TClusterRegistry* ACluster,
                     asio::any_io_executor AExecutor, TRelayCounters& ACounters,
                     std::function<void(const std::string&)> ALog)
    : FOptions(AOptions),
      FStore(AStore),
      FCluster(ACluster),
      FExecutor(std::move(AExecutor)),
      FCounters(ACounters),
      FLog(std::move(ALog)),
      FLastForget(TRelayClock::now()),
      FEvents(FLog, AOptions.LogBurst, AOptions.LogSummaryInterval) {}

void TRelayHub::Event(std::string_view AKind, const std::string& ALine) {
  FEvents.Line(AKind, ALine, TRelayClock::now());
}

std::string TRelayHub::Describe(const TRelayConnection& AConn) const {
  switch (AConn.Role) {
    case TPeerRole::Host:
      return "host " + AConn.HostId + " (" + AConn.Address() + ")";
    case TPeerRole::Viewer:
      return "viewer '" + AConn.ViewerName + "' (" + AConn.Address() + ")";
    case TPeerRole::NodeLink:
      return "link to " + AConn.Address();
    default:
      return "connection " + AConn.Address();
  }
}

void TRelayHub::QueueGrew(size_t AConnQueued, size_t ADelta) {
  const size_t total = FCounters.QueuedBytes += ADelta;
  // Only the network thread writes the peaks.
  if (AConnQueued > FCounters.PeakQueuedBytes.load()) FCounters.PeakQueuedBytes = AConnQueued;
  if (total > FCounters.PeakTotalQueuedBytes.load()) FCounters.PeakTotalQueuedBytes = total;
}

size_t TRelayHub::UnreadRelayPacketLimit() const {
  return OverQueued() ? std::min(FOptions.QueueLimitBytes, HonestUnreadRelayBytes) : FOptions.QueueLimitBytes;
}

bool TRelayHub::MayAdmit(const std::string& AAddress, std::string& ARefusal) {
  if (FConnections.size() >= FOptions.MaxConnections) {
    ++FCounters.Refusals;
    Event("refused connection", "refused connection from " + AAddress + ": server full (" +
                                    std::to_string(FConnections.size()) + " connections)");
    ARefusal = relaytext::TooManyConnections;
    return false;
  }
  const std::string bucket = AddressBucket(AAddress);
  auto it = FPerIp.find(bucket);
  if (it != FPerIp.end() && it->second >= FOptions.MaxConnectionsPerIp) {
    ++FCounters.Refusals;
    Event("refused connection", "refused connection from " + AAddress + ": " + std::to_string(it->second) +
                                    " connections from " + bucket);
    ARefusal = relaytext::TooManyConnections;
    return false;
  }
  return true;
}

void TRelayHub::Keep(const std::shared_ptr<TRelayConnection>& AConn, bool ACountAddress) {
  FConnections.insert(AConn);
  // The per-address windows still count a linked viewer's requests under its address.
  AConn->AddressBucket = tlm::AddressBucket(AConn->Address());
  AConn->CountsForAddress = ACountAddress;
  if (ACountAddress) ++FPerIp[AConn->AddressBucket];
  FCounters.Connections = FConnections.size();
}

bool TRelayHub::MayAdmitLink(std::string& ARefusal) {
  if (FConnections.size() < FOptions.MaxConnections) return true;
  ++FCounters.Refusals;
  Event("refused connection", "refused node link: server full (" + std::to_string(FConnections.size()) + " connections)");
  ARefusal = relaytext::TooManyConnections;
  return false;
}

void TRelayHub::NoteClosed(TRelayConnection& AConn) {
  auto it = AConn.CountsForAddress ? FPerIp.find(AConn.AddressBucket) : FPerIp.end();
  if (it != FPerIp.end() && --it->second == 0) FPerIp.erase(it);
  FConnections.erase(AConn.shared_from_this());
  FCounters.Connections = FConnections.size();
}

TRelayHub::TRoute TRelayHub::Route(TRelayConnection& AFrom, uint32_t AType) {
  if (AFrom.Closing() || AFrom.RegistrationPending) return {};
  if (AFrom.Role == TPeerRole::NodeLink) {
    // The host's node has applied its rules already: all it sends is for the viewer.
    auto viewer = AFrom.Partner.lock();
    if (!viewer || viewer->Closing()) return {};
    NoteLinkAnswer(*viewer, AType);
    return {TRouteKind::Forward, std::move(viewer)};
  }
  if (AFrom.Role == TPeerRole::Viewer && AFrom.ViewerState == TViewerState::Linked) {
    // A new request is this node's to handle; the rest goes to the host's node, which drops
    // what its rules do not allow (keep-alives tell it that the viewer is still there).
    if (AType == MsgConnectRequest) return {TRouteKind::Consume, nullptr};
    auto link = AFrom.Partner.lock();
    if (!link || link->Closing() || (AType != MsgKeepAlive && !SessionCodeAllowed(false, AType))) return {};
    return {TRouteKind::Forward, std::move(link)};
  }
  switch (AType) {
    case MsgHostRegister:
      // A link from another node carries a viewer, never a host.
      if (AFrom.Role != TPeerRole::Viewer && !AFrom.FromNode) return {TRouteKind::Consume, nullptr};
      return {};
    case MsgConnectRequest:
      if (AFrom.Role == TPeerRole::Unknown ||
          (AFrom.Role == TPeerRole::Viewer &&
           (AFrom.ViewerState == TViewerState::Idle || AFrom.ViewerState == TViewerState::Ended)))
        return {TRouteKind::Consume, nullptr};
      return {};
    case MsgAdmitAccept:
    case MsgAdmitReject:
      if (AFrom.Role == TPeerRole::Host && AFrom.AdmissionPending) return {TRouteKind::Consume, nullptr};
      return {};
    default:
      break;
  }
  if (!IsSessionMsg(AType) || AFrom.Role == TPeerRole::Unknown) return {};
  auto partner = AFrom.Partner.lock();
  if (!partner || partner->Closing() || !SessionCodeAllowed(AFrom.Role == TPeerRole::Host, AType)) return {};
  return {TRouteKind::Forward, std::move(partner)};
}

void TRelayHub::RefuseOversizedControl(TRelayConnection& AFrom, uint32_t AType, uint32_t ALen) {
  ++FCounters.Refusals;
  Event("oversized control message", "closing " + Describe(AFrom) + ": control message " + std::to_string(AType) +
                                         " of " + std::to_string(ALen) + " bytes");
  if (AFrom.Role == TPeerRole::Host)
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

void TRelayHub::HandleRegister(TRelayConnection& AHost, const TBytes& APayload) {
  const std::string key = TextOf(APayload);
  if (AHost.Role == TPeerRole::Host) {
    // The same key again on the same connection gets the same answer once more; anything
    // further (or another key) is dropped, so no peer makes the relay answer without end.
    if (key == AHost.DeviceKey && !AHost.RegisteredAgain) {
      AHost.RegisteredAgain = true;
      AHost.SendText(MsgHostId, AHost.HostId);
    }
    return;
  }
  if (key.empty() || key.size() > MaxDeviceKeyBytes || HasControlChars(key)) {
    ++FCounters.Refusals;
    Event("refused registration", "closing " + AHost.Address() + ": unusable device key in registration");
    AHost.Close();
    return;
  }
  if (FCluster) {
    RegisterShared(AHost, key, false);
    return;
  }
  const auto now = TRelayClock::now();
  std::string id;
  try {
    const int64_t nowUnix = TIdStore::NowUnix();
    if (auto known = FStore->Find(key, nowUnix)) {
      id = std::move(*known);
    } else if (NewKeyAllowed(AHost, now)) {
      id = FStore->Create(key, nowUnix);
    } else {
      ++FCounters.Refusals;
      AHost.Close();
      return;
    }
  } catch (const TError& e) {
    Event("registration failed", "closing " + AHost.Address() + ": " + e.what());
    AHost.Close();
    return;
  }
  CompleteRegister(AHost, key, id);
}

void TRelayHub::CompleteRegister(TRelayConnection& AHost, const std::string& AKey, const std::string& AId) {
  const std::string& id = AId;
  auto it = FHostsById.find(id);
  if (it != FHostsById.end()) {
    auto older = it->second.lock();
    FHostsById.erase(it);
    if (older && older.get() != &AHost) {
      Event("host replaced", "host " + id + " registered again from " + AHost.Address() +
                                 ": closing its older connection from " + older->Address());
      older->Abort();
    }
  }
  AHost.Role = TPeerRole::Host;
  AHost.HostId = id;
  AHost.DeviceKey = AKey;
  AHost.PresenceRenewed = TRelayClock::now();
  FHostsById[id] = AHost.weak_from_this();
  FCounters.Hosts = FHostsById.size();
  AHost.SendText(MsgHostId, id);
  Event("host registered", "host registered: " + id + " from " + AHost.Address());
}

bool TRelayHub::NewKeyAllowed(const TRelayConnection& AConn, TRelayClock::time_point ANow) {
  while (!FNewKeysLastSecond.empty() && ANow - FNewKeysLastSecond.front() >= NewKeyGlobalWindow)
    FNewKeysLastSecond.pop_front();
  if (FNewKeysLastSecond.size() >= FOptions.NewKeysPerSecond) {
    Event("refused new key", "refused registration of a new device key from " + AConn.Address() +
                                 ": too many new keys in the last second");
    return false;
  }
  if (!RateAllows(FNewKeyTimes, AConn.AddressBucket, FOptions.NewKeysPerIpPerMinute, ANow)) {
    Event("refused new key", "refused registration of a new device key from " + AConn.Address() +
                                 ": too many new keys from " + AConn.AddressBucket);
    return false;
  }
  FNewKeysLastSecond.push_back(ANow);
  return true;
}

bool TRelayHub::RateAllows(TRateWindows& AWindows, const std::string& AKey, size_t ALimit,
                           TRelayClock::time_point ANow) {
  auto& times = AWindows[AKey];
  while (!times.empty() && ANow - times.front() >= RateWindow) times.pop_front();
  if (times.size() >= ALimit) return false;
  times.push_back(ANow);
  return true;
}

void TRelayHub::HandleConnectRequest(TRelayConnection& AViewer, const TBytes& APayload) {
  if (AViewer.ViewerState == TViewerState::Linked) {
    // A new request from a viewer handed to another node: that link has served its turn.
    if (auto link = AViewer.Partner.lock()) {
      Unlink(AViewer, *link);
      link->Close();
    }
    if (AViewer.Closing()) return;
  }
  AViewer.Role = TPeerRole::Viewer;
  AViewer.ViewerState = TViewerState::Idle;
  const auto now = TRelayClock::now();
  if (!RateAllows(FRequestTimes, AViewer.AddressBucket, FOptions.ConnectRequestsPerIpPerMinute, now)) {
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
  AViewer.ViewerName = CleanDisplayName(fields[1]);
  const std::string proof = CleanField(fields[2], MaxProofBytes);

  std::shared_ptr<TRelayConnection> host;
  if (target.size() == ConnectionIdDigits) {
    auto it = FHostsById.find(target);
    if (it != FHostsById.end()) host = it->second.lock();
  }
  if (!host && FCluster && !AViewer.FromNode && target.size() == ConnectionIdDigits) {
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
  const auto& host = AHost;
  const std::string& target = ATarget;
  const std::string& proof = AProof;
  const auto now = TRelayClock::now();
  // Busy: in a session, asked by a viewer still waiting, or already holding a queued request.
  if (host->Partner.lock() || (host->AdmissionPending && host->PendingViewer.lock()) || host->QueuedViewer.lock()) {
    ++FCounters.Refusals;
    Event("refused request", "refused " + Describe(AViewer) + ": host " + target + " is busy");
    Refuse(AViewer, relaytext::Busy);
    return;
  }
  // Each address has its own share of the host's budget, so that a stranger's flood of requests
  // (withdrawn at once, say) never stops a viewer from elsewhere.
  std::string budgetKey = target + " " + AViewer.AddressBucket;
  if (!RateAllows(FRequestTimesByHost, budgetKey, FOptions.ConnectRequestsPerHostPerMinute, now)) {
    ++FCounters.Refusals;
    Event("refused request", "refused " + Describe(AViewer) + ": too many connect requests for host " + target +
                                 " from " + AViewer.AddressBucket);
    Refuse(AViewer, relaytext::Busy);
    return;
  }
  AViewer.BudgetKey = std::move(budgetKey);
  AViewer.BudgetCharged = now;
  AViewer.ViewerState = TViewerState::Pending;
  AViewer.PendingHost = host;
  AViewer.AdmissionDeadline = now + FOptions.AdmissionTimeout;
  AViewer.AdmitRequestText = AViewer.Address() + "\t" + AViewer.ViewerName + "\t" + proof;
  if (host->AdmissionPending) {
    // The host still owes the answer to a withdrawn request: this one follows it.
    host->QueuedViewer = AViewer.weak_from_this();
    Event("admission queued", "admission queued: " + Describe(AViewer) + " -> host " + target +
                                  " (waiting for its answer to a withdrawn request)");
    return;
  }
  AskHost(*host, AViewer);
}

void TRelayHub::AskHost(TRelayConnection& AHost, TRelayConnection& AViewer) {
  AHost.AdmissionPending = true;
  AHost.PendingViewer = AViewer.weak_from_this();
  AHost.SendText(MsgAdmitRequest, AViewer.AdmitRequestText);
  AViewer.AdmitRequestText.clear();
  Event("admission asked", "admission asked: " + Describe(AViewer) + " -> host " + AHost.HostId);
}

void TRelayHub::WithdrawRequest(TRelayConnection& AViewer) {
  auto host = AViewer.PendingHost.lock();
  AViewer.PendingHost.reset();
  AViewer.AdmitRequestText.clear();
  if (!host) return;
  if (host->QueuedViewer.lock().get() == &AViewer) {
    host->QueuedViewer.reset();
    return;
  }
  if (host->AdmissionPending && host->PendingViewer.lock().get() == &AViewer) {
    // The answer stays owed (and will be dropped); the host can close its prompt now.
    host->PendingViewer.reset();
    if (!host->Closing()) host->SendPacket(MsgAdmitWithdrawn, {});
  }
}

void TRelayHub::HandleAdmitAnswer(TRelayConnection& AHost, bool AAccept, const TBytes& APayload) {
  AHost.AdmissionPending = false;
  auto viewer = AHost.PendingViewer.lock();
  AHost.PendingViewer.reset();
  if (!viewer || viewer->Closing() || viewer->ViewerState != TViewerState::Pending ||
      viewer->PendingHost.lock().get() != &AHost) {
    Event("late answer", "host " + AHost.HostId + " answered " + (AAccept ? "accept" : "reject") +
                             " after its viewer had gone; ignored");
  } else if (!AAccept) {
    viewer->PendingHost.reset();
    std::string reason = CleanField(TextOf(APayload), MaxReasonBytes);
    if (reason.empty()) reason = AdmitRejectReason;
    viewer->ViewerState = TViewerState::Idle;
    Event("admission rejected", "admission rejected: " + Describe(*viewer) + " by host " + AHost.HostId);
    Refuse(*viewer, reason);
  } else {
    RefundRequest(*viewer);
    viewer->PendingHost.reset();
    viewer->ViewerState = TViewerState::InSession;
    viewer->Partner = AHost.weak_from_this();
    AHost.Partner = viewer;
    ++FCounters.Sessions;
    ++FCounters.SessionsStarted;
    AHost.SendPacket(MsgSessionStart, {});
    viewer->SendPacket(MsgSessionStart, {});
    Event("session started",
          "admission accepted: session started between host " + AHost.HostId + " and " + Describe(*viewer));
  }
  // The owed answer has come: a request that waited for it goes on now.
  auto queued = AHost.QueuedViewer.lock();
  AHost.QueuedViewer.reset();
  if (queued && !queued->Closing() && queued->ViewerState == TViewerState::Pending &&
      queued->PendingHost.lock().get() == &AHost) {
    if (AHost.Partner.lock()) {
      queued->ViewerState = TViewerState::Idle;
      queued->PendingHost.reset();
      Refuse(*queued, relaytext::Busy);
    } else {
      AskHost(AHost, *queued);
    }
  }
}

void TRelayHub::RefundRequest(TRelayConnection& AViewer) {
  auto it = FRequestTimesByHost.find(AViewer.BudgetKey);
  AViewer.BudgetKey.clear();
  if (it == FRequestTimesByHost.end()) return;
  auto& times = it->second;
  const auto charged = std::find(times.rbegin(), times.rend(), AViewer.BudgetCharged);
  if (charged != times.rend()) times.erase(std::next(charged).base());
}

void TRelayHub::EndSessionFor(TRelayConnection& AConn, const std::string& AWhy) {
  if (AConn.Role == TPeerRole::Viewer) {
    AConn.ViewerState = TViewerState::Ended;
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

void TRelayHub::Detach(TRelayConnection& AConn) {
  if (AConn.Role == TPeerRole::NodeLink) {
    auto viewer = AConn.Partner.lock();
    if (!viewer) return;
    Unlink(*viewer, AConn);
    if (viewer->Closing()) return;
    // The viewer learns what it would have learnt had its host been here.
    switch (viewer->LinkAnswer) {
      case TLinkAnswer::None:
        Event("admission failed", "admission failed: " + Describe(AConn) + " closed before answering " +
                                      Describe(*viewer));
        Refuse(*viewer, relaytext::HostLeft);
        break;
      case TLinkAnswer::SessionStarted:
        Event("session ended", "session ended: " + Describe(AConn) + " closed, " + Describe(*viewer) + " stays");
        EndSessionFor(*viewer, "its host's node closed the link");
        break;
      case TLinkAnswer::SessionEnded:
        viewer->ViewerState = TViewerState::Ended;
        viewer->RestartIdleClock();
        break;
      case TLinkAnswer::Refused:
        // The host's node refused and closed; so does this one, after passing the text on.
        viewer->Close();
        break;
    }
    return;
  }
  if (AConn.Role == TPeerRole::Viewer && AConn.ViewerState == TViewerState::Linked) {
    if (auto link = AConn.Partner.lock()) {
      Unlink(AConn, *link);
      link->Close();
    }
    return;
  }
  if (AConn.Role == TPeerRole::Host) {
    // Gives up its presence unless a newer registration holds the ID by now.
    if (FCluster) FCluster->Release(AConn.HostId, AConn.RegistrationToken);
    auto it = FHostsById.find(AConn.HostId);
    if (it != FHostsById.end()) {
      auto current = it->second.lock();
      if (!current || current.get() == &AConn) FHostsById.erase(it);
    }
    FCounters.Hosts = FHostsById.size();
    if (auto viewer = AConn.Partner.lock()) {
      AConn.Partner.reset();
      viewer->Partner.reset();
      --FCounters.Sessions;
      Event("session ended", "session ended: host " + AConn.HostId + " left, " + Describe(*viewer) + " stays");
      EndSessionFor(*viewer, "host left");
    }
    AConn.AdmissionPending = false;
    // Both the viewer it was asked for and one queued behind it learn that the host is gone.
    for (auto* waiting : {&AConn.PendingViewer, &AConn.QueuedViewer}) {
      auto viewer = waiting->lock();
      waiting->reset();
      if (viewer && viewer->ViewerState == TViewerState::Pending && viewer->PendingHost.lock().get() == &AConn) {
        viewer->PendingHost.reset();
        viewer->ViewerState = TViewerState::Idle;
        Event("admission failed",
              "admission failed: host " + AConn.HostId + " left before answering " + Describe(*viewer));
        Refuse(*viewer, relaytext::HostLeft);
      }
    }
    Event("host disconnected", "host disconnected: " + AConn.HostId + " (" + AConn.Address() + ")");
  } else if (AConn.Role == TPeerRole::Viewer) {
    if (auto host = AConn.Partner.lock()) {
      AConn.Partner.reset();
      host->Partner.reset();
      --FCounters.Sessions;
      Event("session ended", "session ended: " + Describe(AConn) + " left host " + host->HostId);
      EndSessionFor(*host, "viewer left");
    }
    if (AConn.ViewerState == TViewerState::Pending) {
      Event("admission abandoned", "admission abandoned: " + Describe(AConn) + " left before the host answered");
      WithdrawRequest(AConn);
    }
  }
}

void TRelayHub::ForgetStaleIds() {
  const int64_t now = TIdStore::NowUnix();
  const int64_t cutoff = now - int64_t(FOptions.ForgetAfter.count());
  if (FCluster) {
    FCluster->ForgetUnseenSince(cutoff, now, [this](size_t ARemoved) {
      FCounters.IdsForgotten += ARemoved;
      if (ARemoved > 0) FLog("forgot " + std::to_string(ARemoved) + " IDs not seen for " +
                             std::to_string(FOptions.ForgetAfter.count() / 86400) + " days or more");
    });
    return;
  }
  try {
    const size_t removed = FStore->ForgetUnseenSince(
        cutoff, now, [this](const std::string& AId) { return FHostsById.count(AId) > 0; }, ForgetBatch,
        &FForgetUnfinished);
    FCounters.IdsForgotten += removed;
    if (removed > 0) FLog("forgot " + std::to_string(removed) + " IDs not seen for " +
                          std::to_string(FOptions.ForgetAfter.count() / 86400) + " days or more");
  } catch (const TError& e) {
    FForgetUnfinished = false;  // tried again at the next interval, not at every sweep
    FLog(std::string("forgetting old IDs failed: ") + e.what());
  }
}

void TRelayHub::Sweep(TRelayClock::time_point ANow) {
  std::vector<std::shared_ptr<TRelayConnection>> all(FConnections.begin(), FConnections.end());
  for (const auto& conn : all) {
    if (conn->Closing()) continue;
    if (conn->Role == TPeerRole::Viewer && conn->ViewerState == TViewerState::Pending &&
        ANow >= conn->AdmissionDeadline) {
      // The host's prompt is withdrawn; its late answer finds no viewer and is dropped.
      WithdrawRequest(*conn);
      conn->ViewerState = TViewerState::Idle;
      ++FCounters.Refusals;
      Event("admission timed out", "admission timed out: " + Describe(*conn));
      Refuse(*conn, relaytext::NoAnswer);
      continue;
    }
    // A link to another node carries what that node sends when it sends it; its rules apply there.
    const bool link = conn->Role == TPeerRole::NodeLink;
    if (const std::string_view missed = link ? std::string_view() : conn->MissedDeadline(ANow); !missed.empty()) {
      ++FCounters.Refusals;
      Event("deadline", "closing " + Describe(*conn) + ": " + std::string(missed));
      conn->Abort();
      continue;
    }
    if (FCluster && conn->Role == TPeerRole::Host && !KeepPresence(*conn, ANow)) continue;
    if (conn->WriteStalledSince(ANow - FOptions.WriteStallTimeout)) {
      Event("write stalled", "closing " + Describe(*conn) + ": it has not read its data for too long");
      conn->Abort();
      continue;
    }
    // A host owes nothing while its user decides, a waiting viewer has its own deadline, a
    // viewer in a session has nothing to send while the picture stands still, and a packet
    // on its way has its own deadline: none of them counts as idle.
    // A linked viewer and its link are looked after by the host's node.
    const bool exempt = link || (conn->Role == TPeerRole::Host && conn->AdmissionPending) ||
                        (conn->Role == TPeerRole::Viewer && (conn->ViewerState == TViewerState::Pending ||
                                                             conn->ViewerState == TViewerState::InSession ||
                                                             conn->ViewerState == TViewerState::Linked)) ||
                        conn->Paused() || conn->InPacket();
    if (!exempt && ANow - conn->LastReceived() >= FOptions.IdleTimeout) {
      Event("idle", "closing " + Describe(*conn) + ": idle");
      conn->Close();
      continue;
    }
    if (conn->Role == TPeerRole::Viewer && conn->ViewerState != TViewerState::Linked && !conn->InsidePartialPacket() &&
        ANow - conn->LastSent() >= FOptions.ViewerKeepAlive)
      conn->SendPacket(MsgKeepAlive, {});
  }
  for (TRateWindows* windows : {&FRequestTimes, &FRequestTimesByHost, &FNewKeyTimes}) {
    for (auto it = windows->begin(); it != windows->end();) {
      auto& times = it->second;
      while (!times.empty() && ANow - times.front() >= RateWindow) times.pop_front();
      it = times.empty() ? windows->erase(it) : std::next(it);
    }
  }
  try {
    if (FStore) FStore->Commit();
  } catch (const TError& e) {
    FLog(std::string("saving new IDs failed: ") + e.what());
  }
  if (FOptions.ForgetAfter.count() > 0 &&
      (FForgetUnfinished || ANow - FLastForget >= FOptions.ForgetSweepInterval)) {
    FLastForget = ANow;
    ForgetStaleIds();
  }
  FEvents.Flush(ANow);
}

void TRelayHub::CloseAll() {
  FStopping = true;
  asio::error_code ignored;
  for (auto* socket : FDialling) socket->close(ignored);
  std::vector<std::shared_ptr<TRelayConnection>> all(FConnections.begin(), FConnections.end());
  for (const auto& conn : all) conn->Abort();
}

}  // namespace tlm
