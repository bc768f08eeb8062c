#include "relay/RelayHub.h"

#include <algorithm>

#include "protocol/Credentials.h"
#include "protocol/Error.h"
#include "protocol/Messages.h"

namespace tlm {

namespace {

constexpr auto RateWindow = std::chrono::seconds(60);
constexpr size_t ConnectionIdDigits = 9;

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
      return true;
    case MsgFrame:
    case MsgMonitorList:
    case MsgFileError:
    case MsgDirListing:
      return AFromHost;
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

TRelayHub::TRelayHub(const TRelayOptions& AOptions, TIdStore& AStore, TRelayCounters& ACounters,
                     std::function<void(const std::string&)> ALog)
    : FOptions(AOptions), FStore(AStore), FCounters(ACounters), FLog(std::move(ALog)) {}

std::string TRelayHub::Describe(const TRelayConnection& AConn) const {
  switch (AConn.Role) {
    case TPeerRole::Host:
      return "host " + AConn.HostId + " (" + AConn.Address() + ")";
    case TPeerRole::Viewer:
      return "viewer '" + AConn.ViewerName + "' (" + AConn.Address() + ")";
    default:
      return "connection " + AConn.Address();
  }
}

void TRelayHub::QueueGrew(size_t AConnQueued, size_t ADelta) {
  FCounters.QueuedBytes += ADelta;
  // Only the network thread writes the peak.
  if (AConnQueued > FCounters.PeakQueuedBytes.load()) FCounters.PeakQueuedBytes = AConnQueued;
}

bool TRelayHub::MayAdmit(const std::string& AAddress, std::string& ARefusal) {
  if (FConnections.size() >= FOptions.MaxConnections) {
    ++FCounters.Refusals;
    FLog("refused connection from " + AAddress + ": server full (" + std::to_string(FConnections.size()) +
         " connections)");
    ARefusal = relaytext::TooManyConnections;
    return false;
  }
  auto it = FPerIp.find(AAddress);
  if (it != FPerIp.end() && it->second >= FOptions.MaxConnectionsPerIp) {
    ++FCounters.Refusals;
    FLog("refused connection from " + AAddress + ": " + std::to_string(it->second) + " connections from there");
    ARefusal = relaytext::TooManyConnections;
    return false;
  }
  return true;
}

void TRelayHub::Keep(const std::shared_ptr<TRelayConnection>& AConn) {
  FConnections.insert(AConn);
  ++FPerIp[AConn->Address()];
  FCounters.Connections = FConnections.size();
}

void TRelayHub::NoteClosed(TRelayConnection& AConn) {
  auto it = FPerIp.find(AConn.Address());
  if (it != FPerIp.end() && --it->second == 0) FPerIp.erase(it);
  FConnections.erase(AConn.shared_from_this());
  FCounters.Connections = FConnections.size();
}

TRelayHub::TRoute TRelayHub::Route(TRelayConnection& AFrom, uint32_t AType) {
  if (AFrom.Closing()) return {};
  switch (AType) {
    case MsgHostRegister:
      if (AFrom.Role != TPeerRole::Viewer) return {TRouteKind::Consume, nullptr};
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
  FLog("closing " + Describe(AFrom) + ": control message " + std::to_string(AType) + " of " + std::to_string(ALen) +
       " bytes");
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
    // The same key again on the same connection: the same answer. Another key: ignored.
    if (key == AHost.DeviceKey) AHost.SendText(MsgHostId, AHost.HostId);
    return;
  }
  if (key.empty() || key.size() > MaxDeviceKeyBytes || HasControlChars(key)) {
    ++FCounters.Refusals;
    FLog("closing " + AHost.Address() + ": unusable device key in registration");
    AHost.Close();
    return;
  }
  std::string id;
  try {
    id = FStore.IdFor(key);
  } catch (const TError& e) {
    FLog("closing " + AHost.Address() + ": " + e.what());
    AHost.Close();
    return;
  }
  auto it = FHostsById.find(id);
  if (it != FHostsById.end()) {
    auto older = it->second.lock();
    FHostsById.erase(it);
    if (older && older.get() != &AHost) {
      FLog("host " + id + " registered again from " + AHost.Address() + ": closing its older connection from " +
           older->Address());
      older->Abort();
    }
  }
  AHost.Role = TPeerRole::Host;
  AHost.HostId = id;
  AHost.DeviceKey = key;
  FHostsById[id] = AHost.weak_from_this();
  FCounters.Hosts = FHostsById.size();
  AHost.SendText(MsgHostId, id);
  FLog("host registered: " + id + " from " + AHost.Address());
}

bool TRelayHub::RateAllows(const std::string& AAddress, TRelayClock::time_point ANow) {
  auto& times = FRequestTimes[AAddress];
  while (!times.empty() && ANow - times.front() >= RateWindow) times.pop_front();
  if (times.size() >= FOptions.ConnectRequestsPerIpPerMinute) return false;
  times.push_back(ANow);
  return true;
}

void TRelayHub::HandleConnectRequest(TRelayConnection& AViewer, const TBytes& APayload) {
  AViewer.Role = TPeerRole::Viewer;
  AViewer.ViewerState = TViewerState::Idle;
  const auto now = TRelayClock::now();
  if (!RateAllows(AViewer.Address(), now)) {
    ++FCounters.Refusals;
    FLog("refused request from " + AViewer.Address() + ": too many connect requests");
    Refuse(AViewer, relaytext::TooManyRequests);
    return;
  }
  const std::vector<std::string> fields = SplitTabs(TextOf(APayload));
  if (fields.size() != 4 || fields[3] != "control") {
    ++FCounters.Refusals;
    FLog("refused request from " + AViewer.Address() + ": malformed connect request");
    Refuse(AViewer, relaytext::Malformed);
    return;
  }
  const std::string target = DigitsOnly(fields[0]);
  AViewer.ViewerName = CleanField(fields[1], MaxViewerNameBytes);
  const std::string proof = CleanField(fields[2], MaxProofBytes);

  std::shared_ptr<TRelayConnection> host;
  if (target.size() == ConnectionIdDigits) {
    auto it = FHostsById.find(target);
    if (it != FHostsById.end()) host = it->second.lock();
  }
  if (!host || host->Closing()) {
    ++FCounters.Refusals;
    FLog("refused " + Describe(AViewer) + ": no host online with ID '" + CleanField(fields[0], 32) + "'");
    Refuse(AViewer, relaytext::Offline);
    return;
  }
  if (host->AdmissionPending || host->Partner.lock()) {
    ++FCounters.Refusals;
    FLog("refused " + Describe(AViewer) + ": host " + target + " is busy");
    Refuse(AViewer, relaytext::Busy);
    return;
  }
  host->AdmissionPending = true;
  host->PendingViewer = AViewer.weak_from_this();
  AViewer.ViewerState = TViewerState::Pending;
  AViewer.PendingHost = host;
  AViewer.AdmissionDeadline = now + FOptions.AdmissionTimeout;
  host->SendText(MsgAdmitRequest, AViewer.Address() + "\t" + AViewer.ViewerName + "\t" + proof);
  FLog("admission asked: " + Describe(AViewer) + " -> host " + target);
}

void TRelayHub::HandleAdmitAnswer(TRelayConnection& AHost, bool AAccept, const TBytes& APayload) {
  AHost.AdmissionPending = false;
  auto viewer = AHost.PendingViewer.lock();
  AHost.PendingViewer.reset();
  if (!viewer || viewer->Closing() || viewer->ViewerState != TViewerState::Pending ||
      viewer->PendingHost.lock().get() != &AHost) {
    FLog("host " + AHost.HostId + " answered " + (AAccept ? "accept" : "reject") +
         " after its viewer had gone; ignored");
    return;
  }
  viewer->PendingHost.reset();
  if (!AAccept) {
    std::string reason = CleanField(TextOf(APayload), MaxReasonBytes);
    if (reason.empty()) reason = AdmitRejectReason;
    viewer->ViewerState = TViewerState::Idle;
    FLog("admission rejected: " + Describe(*viewer) + " by host " + AHost.HostId);
    Refuse(*viewer, reason);
    return;
  }
  viewer->ViewerState = TViewerState::InSession;
  viewer->Partner = AHost.weak_from_this();
  AHost.Partner = viewer;
  ++FCounters.Sessions;
  ++FCounters.SessionsStarted;
  AHost.SendPacket(MsgSessionStart, {});
  viewer->SendPacket(MsgSessionStart, {});
  FLog("admission accepted: session started between host " + AHost.HostId + " and " + Describe(*viewer));
}

void TRelayHub::EndSessionFor(TRelayConnection& AConn, const std::string& AWhy) {
  if (AConn.Role == TPeerRole::Viewer) {
    AConn.ViewerState = TViewerState::Ended;
    AConn.RestartIdleClock();
  }
  if (AConn.Closing()) return;
  if (AConn.InsidePartialPacket()) {
    // Its partner left in the middle of a packet: the stream cannot be completed.
    FLog("closing " + Describe(AConn) + ": " + AWhy + " in the middle of a packet");
    AConn.Abort();
    return;
  }
  AConn.SendPacket(MsgSessionEnd, {});
}

void TRelayHub::Detach(TRelayConnection& AConn) {
  if (AConn.Role == TPeerRole::Host) {
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
      FLog("session ended: host " + AConn.HostId + " left, " + Describe(*viewer) + " stays");
      EndSessionFor(*viewer, "host left");
    }
    if (AConn.AdmissionPending) {
      AConn.AdmissionPending = false;
      auto viewer = AConn.PendingViewer.lock();
      AConn.PendingViewer.reset();
      if (viewer && viewer->ViewerState == TViewerState::Pending && viewer->PendingHost.lock().get() == &AConn) {
        viewer->PendingHost.reset();
        viewer->ViewerState = TViewerState::Idle;
        FLog("admission failed: host " + AConn.HostId + " left before answering " + Describe(*viewer));
        Refuse(*viewer, relaytext::HostLeft);
      }
    }
    FLog("host disconnected: " + AConn.HostId + " (" + AConn.Address() + ")");
  } else if (AConn.Role == TPeerRole::Viewer) {
    if (auto host = AConn.Partner.lock()) {
      AConn.Partner.reset();
      host->Partner.reset();
      --FCounters.Sessions;
      FLog("session ended: " + Describe(AConn) + " left host " + host->HostId);
      EndSessionFor(*host, "viewer left");
    }
    if (AConn.ViewerState == TViewerState::Pending) {
      // The host still owes its answer; it is ignored when it comes.
      AConn.PendingHost.reset();
      FLog("admission abandoned: " + Describe(AConn) + " left before the host answered");
    }
  }
}

void TRelayHub::Sweep(TRelayClock::time_point ANow) {
  std::vector<std::shared_ptr<TRelayConnection>> all(FConnections.begin(), FConnections.end());
  for (const auto& conn : all) {
    if (conn->Closing()) continue;
    if (conn->Role == TPeerRole::Viewer && conn->ViewerState == TViewerState::Pending &&
        ANow >= conn->AdmissionDeadline) {
      // The host's prompt stays open: its late answer finds no viewer and is ignored.
      conn->ViewerState = TViewerState::Idle;
      conn->PendingHost.reset();
      ++FCounters.Refusals;
      FLog("admission timed out: " + Describe(*conn));
      Refuse(*conn, relaytext::NoAnswer);
      continue;
    }
    if (conn->WriteStalledSince(ANow - FOptions.WriteStallTimeout)) {
      FLog("closing " + Describe(*conn) + ": it has not read its data for too long");
      conn->Abort();
      continue;
    }
    // A host owes nothing while its user decides, a waiting viewer has its own deadline, and
    // a viewer in a session has nothing to send while the picture stands still: none of them
    // counts as idle.
    const bool exempt = (conn->Role == TPeerRole::Host && conn->AdmissionPending) ||
                        (conn->Role == TPeerRole::Viewer && (conn->ViewerState == TViewerState::Pending ||
                                                             conn->ViewerState == TViewerState::InSession)) ||
                        conn->Paused();
    if (!exempt && ANow - conn->LastReceived() >= FOptions.IdleTimeout) {
      FLog("closing " + Describe(*conn) + ": idle");
      conn->Close();
      continue;
    }
    if (conn->Role == TPeerRole::Viewer && !conn->InsidePartialPacket() &&
        ANow - conn->LastSent() >= FOptions.ViewerKeepAlive)
      conn->SendPacket(MsgKeepAlive, {});
  }
  for (auto it = FRequestTimes.begin(); it != FRequestTimes.end();) {
    auto& times = it->second;
    while (!times.empty() && ANow - times.front() >= RateWindow) times.pop_front();
    it = times.empty() ? FRequestTimes.erase(it) : std::next(it);
  }
}

void TRelayHub::CloseAll() {
  std::vector<std::shared_ptr<TRelayConnection>> all(FConnections.begin(), FConnections.end());
  for (const auto& conn : all) conn->Abort();
}

}  // namespace tlm
