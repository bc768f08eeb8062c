// The relay's counters: written on the network thread, read as a snapshot from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "relay/RelayServer.h"

namespace tlm {

class TRelayCounters {
public:
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

  // ADelta bytes joined a connection's queue, which holds AConnQueued bytes now.
  void QueueGrew(size_t AConnQueued, size_t ADelta) {
    const size_t total = QueuedBytes += ADelta;
    // Only the network thread writes the peaks.
    if (AConnQueued > PeakQueuedBytes.load()) PeakQueuedBytes = AConnQueued;
    if (total > PeakTotalQueuedBytes.load()) PeakTotalQueuedBytes = total;
  }

  // Every counter at once (each read on its own: they may move meanwhile). The log's own
  // count of dropped lines is the server's to add.
  TRelayStats Snapshot() const {
    TRelayStats s;
    s.Connections = Connections.load();
    s.Hosts = Hosts.load();
    s.Sessions = Sessions.load();
    s.SessionsStarted = SessionsStarted.load();
    s.BytesRelayed = BytesRelayed.load();
    s.Refusals = Refusals.load();
    s.QueuedBytes = QueuedBytes.load();
    s.PeakQueuedBytes = PeakQueuedBytes.load();
    s.PeakTotalQueuedBytes = PeakTotalQueuedBytes.load();
    s.IdsForgotten = IdsForgotten.load();
    return s;
  }
};

}  // namespace tlm
