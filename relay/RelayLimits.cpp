#include "relay/RelayLimits.h"

#include <asio.hpp>

#include <algorithm>

namespace tlm {

namespace {

constexpr auto RateWindow = std::chrono::seconds(60);
constexpr auto NewKeyGlobalWindow = std::chrono::seconds(1);

}  // namespace

std::string AddressBucket(const std::string& AAddress) {
  asio::error_code error;
  const auto address = asio::ip::make_address(AAddress, error);
  if (error || !address.is_v6() || address.to_v6().is_v4_mapped()) return AAddress;
  auto bytes = address.to_v6().to_bytes();
  std::fill(bytes.begin() + 8, bytes.end(), uint8_t(0));
  return asio::ip::address_v6(bytes).to_string() + "/64";
}

void TRateWindows::DropExpired(std::deque<TRelayClock::time_point>& ATimes, TRelayClock::time_point ANow) const {
  while (!ATimes.empty() && ANow - ATimes.front() >= FWindow) ATimes.pop_front();
}

bool TRateWindows::Allow(const std::string& AKey, size_t ALimit, TRelayClock::time_point ANow) {
  auto& times = FTimes[AKey];
  DropExpired(times, ANow);
  if (times.size() >= ALimit) return false;
  times.push_back(ANow);
  return true;
}

void TRateWindows::TakeBack(const std::string& AKey, TRelayClock::time_point AAt) {
  auto it = FTimes.find(AKey);
  if (it == FTimes.end()) return;
  auto& times = it->second;
  const auto counted = std::find(times.rbegin(), times.rend(), AAt);
  if (counted != times.rend()) times.erase(std::next(counted).base());
}

void TRateWindows::Prune(TRelayClock::time_point ANow) {
  for (auto it = FTimes.begin(); it != FTimes.end();) {
    DropExpired(it->second, ANow);
    it = it->second.empty() ? FTimes.erase(it) : std::next(it);
  }
}

TRelayLimits::TRelayLimits(const TRelayOptions& AOptions)
    : FOptions(AOptions), FRequests(RateWindow), FHostRequests(RateWindow), FNewKeys(RateWindow) {}

std::string TRelayLimits::ConnectionRefusal(const std::string& AAddress, size_t AOpen) const {
  if (AOpen >= FOptions.MaxConnections) return LinkRefusal(AOpen);
  const std::string bucket = AddressBucket(AAddress);
  auto it = FPerBucket.find(bucket);
  if (it != FPerBucket.end() && it->second >= FOptions.MaxConnectionsPerIp)
    return std::to_string(it->second) + " connections from " + bucket;
  return {};
}

std::string TRelayLimits::LinkRefusal(size_t AOpen) const {
  if (AOpen < FOptions.MaxConnections) return {};
  return "server full (" + std::to_string(AOpen) + " connections)";
}

void TRelayLimits::CountConnection(const std::string& ABucket) { ++FPerBucket[ABucket]; }

void TRelayLimits::ReleaseConnection(const std::string& ABucket) {
  auto it = FPerBucket.find(ABucket);
  if (it != FPerBucket.end() && --it->second == 0) FPerBucket.erase(it);
}

bool TRelayLimits::RequestAllowed(const std::string& ABucket, TRelayClock::time_point ANow) {
  return FRequests.Allow(ABucket, FOptions.ConnectRequestsPerIpPerMinute, ANow);
}

bool TRelayLimits::ChargeHost(const std::string& AHostId, const std::string& ABucket, TRelayClock::time_point ANow,
                              THostCharge& ACharge) {
  std::string key = AHostId + " " + ABucket;
  if (!FHostRequests.Allow(key, FOptions.ConnectRequestsPerHostPerMinute, ANow)) return false;
  ACharge = {std::move(key), ANow};
  return true;
}

void TRelayLimits::Refund(const THostCharge& ACharge) { FHostRequests.TakeBack(ACharge.Key, ACharge.At); }

std::string TRelayLimits::NewKeyRefusal(const std::string& ABucket, TRelayClock::time_point ANow) {
  while (!FNewKeysLastSecond.empty() && ANow - FNewKeysLastSecond.front() >= NewKeyGlobalWindow)
    FNewKeysLastSecond.pop_front();
  if (FNewKeysLastSecond.size() >= FOptions.NewKeysPerSecond) return "too many new keys in the last second";
  if (!FNewKeys.Allow(ABucket, FOptions.NewKeysPerIpPerMinute, ANow)) return "too many new keys from " + ABucket;
  FNewKeysLastSecond.push_back(ANow);
  return {};
}

void TRelayLimits::Prune(TRelayClock::time_point ANow) {
  FRequests.Prune(ANow);
  FHostRequests.Prune(ANow);
  FNewKeys.Prune(ANow);
}

}  // namespace tlm
