// The hub's periodic sweep: one named step after another for each connection, each one
// returning whether it has closed the connection; then the node-wide chores.
#include "protocol/Error.h"
#include "protocol/Messages.h"
#include "relay/RelayHub.h"

namespace tlm {

namespace {

// Why AConn does not count as idle now; nullptr: it does.
const char* IdleExemption(const TRelayConnection& AConn) {
  const TRelayPeer& peer = AConn.Peer();
  if (peer.IsLink()) return "a link carries what the host's node sends; that node looks after it";
  if (const THostPeer* host = peer.Host(); host && host->AdmissionPending)
    return "a host owes nothing while its user decides";
  if (peer.IsViewerIn(TViewerState::Pending)) return "a waiting viewer has its own admission deadline";
  if (peer.IsViewerIn(TViewerState::InSession))
    return "a viewer in a session has nothing to send while the picture stands still";
  if (peer.IsViewerIn(TViewerState::Linked)) return "a linked viewer is looked after by its host's node";
  if (AConn.Paused()) return "its reader is held back by a slow partner";
  if (AConn.InPacket()) return "a packet on its way has its own deadline";
  return nullptr;
}

}  // namespace

void TRelayHub::Sweep(TRelayClock::time_point ANow) {
  std::vector<std::shared_ptr<TRelayConnection>> all(FConnections.begin(), FConnections.end());
  for (const auto& conn : all) {
    if (conn->Closing()) continue;
    if (CloseOnAdmissionTimeout(*conn, ANow)) continue;
    if (CloseOnMissedDeadline(*conn, ANow)) continue;
    if (FCluster && CloseOnLapsedPresence(*conn, ANow)) continue;
    if (CloseOnWriteStall(*conn, ANow)) continue;
    if (CloseWhenIdle(*conn, ANow)) continue;
    KeepViewerAlive(*conn, ANow);
  }
  FLimits.Prune(ANow);
  SaveIds();
  ForgetIdsWhenDue(ANow);
  FEvents.Flush(ANow);
}

bool TRelayHub::CloseOnMissedDeadline(TRelayConnection& AConn, TRelayClock::time_point ANow) {
  // A link to another node carries what that node sends when it sends it; its rules apply there.
  if (AConn.Peer().IsLink()) return false;
  const std::string_view missed = AConn.MissedDeadline(ANow);
  if (missed.empty()) return false;
  ++FCounters.Refusals;
  Event("deadline", "closing " + Describe(AConn) + ": " + std::string(missed));
  AConn.Abort();
  return true;
}

bool TRelayHub::CloseOnWriteStall(TRelayConnection& AConn, TRelayClock::time_point ANow) {
  if (!AConn.WriteStalledSince(ANow - FOptions.WriteStallTimeout)) return false;
  Event("write stalled", "closing " + Describe(AConn) + ": it has not read its data for too long");
  AConn.Abort();
  return true;
}

bool TRelayHub::CloseWhenIdle(TRelayConnection& AConn, TRelayClock::time_point ANow) {
  if (ANow - AConn.LastReceived() < FOptions.IdleTimeout || IdleExemption(AConn)) return false;
  Event("idle", "closing " + Describe(AConn) + ": idle");
  AConn.Close();
  return true;
}

void TRelayHub::KeepViewerAlive(TRelayConnection& AConn, TRelayClock::time_point ANow) {
  const TViewerPeer* viewer = AConn.Peer().Viewer();
  // A linked viewer hears from its host's node; one that a forwarded packet is on its way to
  // is being sent something already.
  if (!viewer || viewer->State == TViewerState::Linked || AConn.InsidePartialPacket()) return;
  if (ANow - AConn.LastSent() >= FOptions.ViewerKeepAlive) AConn.SendPacket(MsgKeepAlive, {});
}

void TRelayHub::SaveIds() {
  try {
    if (FStore) FStore->Commit();
  } catch (const TError& e) {
    FLog(std::string("saving new IDs failed: ") + e.what());
  }
}

void TRelayHub::ForgetIdsWhenDue(TRelayClock::time_point ANow) {
  if (FOptions.ForgetAfter.count() == 0) return;
  if (!FForgetUnfinished && ANow - FLastForget < FOptions.ForgetSweepInterval) return;
  FLastForget = ANow;
  ForgetStaleIds();
}

}  // namespace tlm
