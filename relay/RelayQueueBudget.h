// The relay's memory for outgoing bytes: every connection's queue counted against one total.
//
// Contract: one per server, outliving every connection; written on the network thread only,
// the counters it keeps are read from any thread.
#pragma once

#include <algorithm>

#include "relay/RelayConnection.h"
#include "relay/RelayCounters.h"
#include "relay/RelayServer.h"

namespace tlm {

class TRelayQueueBudget final : public IRelayQueueBudget {
public:
  TRelayQueueBudget(const TRelayOptions& AOptions, TRelayCounters& ACounters)
      : FOptions(AOptions),
        FCounters(ACounters),
        FLimits{AOptions.FirstPacketTimeout, AOptions.PacketCompletionTime, AOptions.MinPacketRate,
                AOptions.SpliceLargePayloads} {}

  void QueueGrew(size_t AConnQueued, size_t ADelta) override { FCounters.QueueGrew(AConnQueued, ADelta); }
  void QueueShrank(size_t ADelta) override { FCounters.QueuedBytes -= ADelta; }
  void AddRelayed(size_t ABytes) override { FCounters.BytesRelayed += ABytes; }
  size_t QueueLimit() const override { return FOptions.QueueLimitBytes; }
  bool OverQueued() const override { return FCounters.QueuedBytes.load() >= FOptions.MaxQueuedBytes; }
  // Its queue limit, and while all queues together are over their total, only what an honest
  // dialogue ever has waiting: an ID, an admission request with its withdrawal, the session's
  // start and end, a few keep-alives.
  size_t UnreadRelayPacketLimit() const override {
    constexpr size_t HonestUnreadRelayBytes = 4096;
    return OverQueued() ? std::min(FOptions.QueueLimitBytes, HonestUnreadRelayBytes) : FOptions.QueueLimitBytes;
  }
  const TConnectionLimits& Limits() const override { return FLimits; }

private:
  const TRelayOptions& FOptions;
  TRelayCounters& FCounters;
  const TConnectionLimits FLimits;
};

}  // namespace tlm
