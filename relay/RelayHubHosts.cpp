// The hub's host registry: registration, take-over by a newer connection, a host leaving, and
// when an ID is forgotten (its host not seen for ForgetAfter; see ForgetStaleIds).
#include <algorithm>

#include "protocol/Error.h"
#include "protocol/Messages.h"
#include "relay/RelayHub.h"

namespace tlm {

namespace {

// IDs looked at per sweep: a large backlog (the first sweep over an old database, say) is worked
// off a batch a second instead of holding the network thread for all of it at once.
constexpr size_t ForgetBatch = 10000;

bool HasControlChars(std::string_view AText) {
  return std::any_of(AText.begin(), AText.end(), [](char c) { return uint8_t(c) < 0x20 || c == 0x7f; });
}

}  // namespace

void TRelayHub::HandleRegister(TRelayConnection& AHost, const TBytes& APayload) {
  const std::string key = TextOf(APayload);
  if (THostPeer* host = AHost.Peer().Host()) {
    // The same key again on the same connection gets the same answer once more; anything
    // further (or another key) is dropped, so no peer makes the relay answer without end.
    if (key == host->DeviceKey && !host->RegisteredAgain) {
      host->RegisteredAgain = true;
      AHost.SendText(MsgHostId, host->Id);
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
  CompleteRegister(AHost, key, id, 0);
}

void TRelayHub::CompleteRegister(TRelayConnection& AHost, const std::string& AKey, const std::string& AId,
                                 uint64_t AToken) {
  if (auto older = FHosts.Take(AId, AHost.shared_from_this())) {
    Event("host replaced", "host " + AId + " registered again from " + AHost.Address() +
                               ": closing its older connection from " + older->Address());
    older->Abort();
  }
  THostPeer& host = AHost.Peer().Role.emplace<THostPeer>();
  host.Id = AId;
  host.DeviceKey = AKey;
  host.RegistrationToken = AToken;
  host.PresenceRenewed = TRelayClock::now();
  FCounters.Hosts = FHosts.Size();
  AHost.SendText(MsgHostId, AId);
  Event("host registered", "host registered: " + AId + " from " + AHost.Address());
}

bool TRelayHub::NewKeyAllowed(const TRelayConnection& AConn, TRelayClock::time_point ANow) {
  const std::string why = FLimits.NewKeyRefusal(AConn.AddressBucket(), ANow);
  if (why.empty()) return true;
  Event("refused new key", "refused registration of a new device key from " + AConn.Address() + ": " + why);
  return false;
}

void TRelayHub::DetachHost(TRelayConnection& AConn, THostPeer& AHost) {
  // Gives up its presence unless a newer registration holds the ID by now.
  if (FCluster) FCluster->Release(AHost.Id, AHost.RegistrationToken);
  FHosts.Release(AHost.Id, AConn);
  FCounters.Hosts = FHosts.Size();
  if (std::shared_ptr<TRelayConnection> viewer; EndSession(AConn, viewer)) {
    Event("session ended", "session ended: host " + AHost.Id + " left, " + Describe(*viewer) + " stays");
    EndSessionFor(*viewer, "host left");
  }
  AHost.AdmissionPending = false;
  // Both the viewer it was asked for and one queued behind it learn that the host is gone.
  for (auto* waiting : {&AHost.PendingViewer, &AHost.QueuedViewer}) {
    auto viewer = waiting->lock();
    waiting->reset();
    TViewerPeer* state = viewer ? viewer->Peer().Viewer() : nullptr;
    if (state && state->State == TViewerState::Pending && state->PendingHost.lock().get() == &AConn) {
      state->PendingHost.reset();
      state->State = TViewerState::Idle;
      Event("admission failed", "admission failed: host " + AHost.Id + " left before answering " + Describe(*viewer));
      Refuse(*viewer, relaytext::HostLeft);
    }
  }
  Event("host disconnected", "host disconnected: " + AHost.Id + " (" + AConn.Address() + ")");
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
    // An ID whose host is connected here is never forgotten, however long ago it registered.
    const size_t removed = FStore->ForgetUnseenSince(
        cutoff, now, [this](const std::string& AId) { return FHosts.Holds(AId); }, ForgetBatch, &FForgetUnfinished);
    FCounters.IdsForgotten += removed;
    if (removed > 0) FLog("forgot " + std::to_string(removed) + " IDs not seen for " +
                          std::to_string(FOptions.ForgetAfter.count() / 86400) + " days or more");
  } catch (const TError& e) {
    FForgetUnfinished = false;  // tried again at the next interval, not at every sweep
    FLog(std::string("forgetting old IDs failed: ") + e.what());
  }
}

}  // namespace tlm
