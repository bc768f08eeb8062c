// The relay's limits on what one address, one host and everyone together may ask of it.
//
// Contract: network thread only; every check takes the time it is asked at, so that the
// limits can be driven without a clock. A check that allows something counts it.
//
// - Connections: at most MaxConnections in all and MaxConnectionsPerIp per address bucket
//   (an IPv6 address counts by its /64). Links between nodes count only in all.
// - Connect requests: ConnectRequestsPerIpPerMinute per address bucket; and per host and
//   requesting bucket ConnectRequestsPerHostPerMinute, less those the host accepted (a charge
//   given back), so that one address's requests never use up another's share of a host.
// - Device keys never seen before: NewKeysPerIpPerMinute per bucket, NewKeysPerSecond in all.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <string>
#include <unordered_map>

#include "relay/RelayServer.h"

namespace tlm {

using TRelayClock = std::chrono::steady_clock;

// The text the per-address limits count an address under: an IPv4 address as it is, an IPv6
// address by its /64 prefix (one subscriber usually holds a whole /64).
std::string AddressBucket(const std::string& AAddress);

// Sliding windows of event times per key: at most a limit of events in any window.
class TRateWindows {
public:
  explicit TRateWindows(TRelayClock::duration AWindow) : FWindow(AWindow) {}

  // Counts one event for AKey at ANow, unless ALimit events lie in the window already.
  bool Allow(const std::string& AKey, size_t ALimit, TRelayClock::time_point ANow);
  // Takes back the event counted for AKey at AAt (when it is still in its window).
  void TakeBack(const std::string& AKey, TRelayClock::time_point AAt);
  // Lets go of events out of their window, and of keys left without any.
  void Prune(TRelayClock::time_point ANow);

private:
  void DropExpired(std::deque<TRelayClock::time_point>& ATimes, TRelayClock::time_point ANow) const;

  TRelayClock::duration FWindow;
  std::unordered_map<std::string, std::deque<TRelayClock::time_point>> FTimes;
};

class TRelayLimits {
public:
  explicit TRelayLimits(const TRelayOptions& AOptions);

  // Why a new connection from AAddress may not be kept while AOpen connections are (empty: it
  // may), for the log.
  std::string ConnectionRefusal(const std::string& AAddress, size_t AOpen) const;
  // The same for a link from another node (its viewer's address was checked on that node).
  std::string LinkRefusal(size_t AOpen) const;
  void CountConnection(const std::string& ABucket);
  void ReleaseConnection(const std::string& ABucket);

  bool RequestAllowed(const std::string& ABucket, TRelayClock::time_point ANow);
  // One request from ABucket counted against host AHostId's budget, to be given back if the
  // host accepts it.
  struct THostCharge {
    std::string Key;
    TRelayClock::time_point At{};
  };
  // False when ABucket's share of the host's budget is used up; otherwise ACharge says what was
  // counted.
  bool ChargeHost(const std::string& AHostId, const std::string& ABucket, TRelayClock::time_point ANow,
                  THostCharge& ACharge);
  void Refund(const THostCharge& ACharge);

  // Why a device key never seen before may not be stored now for a host from ABucket (empty:
  // it may, and is counted), for the log.
  std::string NewKeyRefusal(const std::string& ABucket, TRelayClock::time_point ANow);

  // Forgets events that no window counts any more.
  void Prune(TRelayClock::time_point ANow);

private:
  const TRelayOptions& FOptions;
  std::unordered_map<std::string, size_t> FPerBucket;
  TRateWindows FRequests;        // connect requests per bucket
  TRateWindows FHostRequests;    // per host ID and requesting bucket
  TRateWindows FNewKeys;         // new device keys per bucket
  std::deque<TRelayClock::time_point> FNewKeysLastSecond;
};

}  // namespace tlm
