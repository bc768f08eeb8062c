#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "relay/RelayLimits.h"

namespace tlm::test {
namespace {

using namespace std::chrono_literals;

// One scripted call on the limits, at a time after the start, and whether it should pass.
enum class TOp {
  Connect,     // a connection from Who: checked, and counted when allowed
  Leave,       // a connection from Who ends
  Request,     // a connect request from Who
  ChargeHost,  // a request from Who reaches host "111222333"
  Refund,      // that host accepted Who's oldest charged request not yet given back
  NewKey,      // a device key never seen before, from Who
  Prune,
};

struct TStep {
  TRelayClock::duration At;
  TOp Op;
  std::string Who;
  bool Allowed = true;
};

struct TScript {
  std::string Name;
  TRelayOptions Options;
  std::vector<TStep> Steps;
};

TRelayOptions Limits(size_t AConnections, size_t APerAddress, size_t ARequests, size_t APerHost, size_t AKeysPerAddress,
                     size_t AKeysPerSecond) {
  TRelayOptions options;
  options.MaxConnections = AConnections;
  options.MaxConnectionsPerIp = APerAddress;
  options.ConnectRequestsPerIpPerMinute = ARequests;
  options.ConnectRequestsPerHostPerMinute = APerHost;
  options.NewKeysPerIpPerMinute = AKeysPerAddress;
  options.NewKeysPerSecond = AKeysPerSecond;
  return options;
}

void RunScript(const TScript& AScript) {
  TRelayLimits limits(AScript.Options);
  const auto start = TRelayClock::time_point() + 1h;
  size_t open = 0;
  std::map<std::string, std::deque<TRelayLimits::THostCharge>> charges;
  for (size_t i = 0; i < AScript.Steps.size(); ++i) {
    const TStep& step = AScript.Steps[i];
    const auto now = start + step.At;
    bool allowed = true;
    switch (step.Op) {
      case TOp::Connect:
        allowed = limits.ConnectionRefusal(step.Who, open).empty();
        if (allowed) {
          limits.CountConnection(AddressBucket(step.Who));
          ++open;
        }
        break;
      case TOp::Leave:
        limits.ReleaseConnection(AddressBucket(step.Who));
        --open;
        break;
      case TOp::Request:
        allowed = limits.RequestAllowed(AddressBucket(step.Who), now);
        break;
      case TOp::ChargeHost: {
        TRelayLimits::THostCharge charge;
        allowed = limits.ChargeHost("111222333", AddressBucket(step.Who), now, charge);
        if (allowed) charges[step.Who].push_back(charge);
        break;
      }
      case TOp::Refund:
        limits.Refund(charges.at(step.Who).front());
        charges.at(step.Who).pop_front();
        break;
      case TOp::NewKey:
        allowed = limits.NewKeyRefusal(AddressBucket(step.Who), now).empty();
        break;
      case TOp::Prune:
        limits.Prune(now);
        break;
    }
    EXPECT_EQ(allowed, step.Allowed) << AScript.Name << ", step " << i + 1 << " (" << step.Who << ")";
  }
}

TEST(RelayLimitTable, ConnectionsPerAddressAndInAll) {
  const std::string a = "198.51.100.7", b = "198.51.100.8";
  // Two addresses of one IPv6 /64 count as one; the next /64 is someone else.
  const std::string v6a = "2001:db8:1:2::1", v6b = "2001:db8:1:2:ffff::9", v6other = "2001:db8:1:3::1";
  const TScript scripts[] = {
      {"per address", Limits(100, 2, 20, 10, 10, 20),
       {{0s, TOp::Connect, a}, {0s, TOp::Connect, a}, {0s, TOp::Connect, a, false}, {0s, TOp::Connect, b},
        {1s, TOp::Leave, a}, {1s, TOp::Connect, a}, {1s, TOp::Connect, a, false}}},
      {"an IPv6 address counts by its /64", Limits(100, 2, 20, 10, 10, 20),
       {{0s, TOp::Connect, v6a}, {0s, TOp::Connect, v6b}, {0s, TOp::Connect, v6a, false},
        {0s, TOp::Connect, v6other}}},
      {"in all", Limits(3, 2, 20, 10, 10, 20),
       {{0s, TOp::Connect, a}, {0s, TOp::Connect, b}, {0s, TOp::Connect, v6a}, {0s, TOp::Connect, v6other, false},
        {1s, TOp::Leave, b}, {1s, TOp::Connect, v6other}}},
  };
  for (const TScript& script : scripts) RunScript(script);
}

TEST(RelayLimitTable, RequestsAndNewKeysInSlidingWindows) {
  const std::string a = "198.51.100.7", b = "198.51.100.8";
  const TScript scripts[] = {
      // A refused request is not counted; each one counted leaves the window 60 s later.
      {"requests per address", Limits(100, 64, 2, 10, 10, 20),
       {{0s, TOp::Request, a}, {1s, TOp::Request, a}, {2s, TOp::Request, a, false}, {2s, TOp::Request, b},
        {59s, TOp::Request, a, false}, {60s, TOp::Request, a}, {60s, TOp::Request, a, false},
        {61s, TOp::Request, a}, {62s, TOp::Request, a, false}}},
      {"pruning keeps what a window still counts", Limits(100, 64, 2, 10, 10, 20),
       {{0s, TOp::Request, a}, {30s, TOp::Request, a}, {61s, TOp::Prune, ""}, {61s, TOp::Request, a},
        {62s, TOp::Request, a, false}, {200s, TOp::Prune, ""}, {200s, TOp::Request, a}, {200s, TOp::Request, a}}},
      {"new keys per address", Limits(100, 64, 20, 10, 2, 20),
       {{0s, TOp::NewKey, a}, {2s, TOp::NewKey, a}, {4s, TOp::NewKey, a, false}, {4s, TOp::NewKey, b},
        {60s, TOp::NewKey, a}}},
      // The last second's budget is shared by everyone; a key refused there costs its address
      // nothing.
      {"new keys in all per second", Limits(100, 64, 20, 10, 2, 3),
       {{0s, TOp::NewKey, a}, {0s, TOp::NewKey, b}, {0s, TOp::NewKey, "203.0.113.1"},
        {500ms, TOp::NewKey, "203.0.113.2", false}, {1s, TOp::NewKey, "203.0.113.2"},
        {1s, TOp::NewKey, "203.0.113.2"}, {1s, TOp::NewKey, "203.0.113.2", false}}},
  };
  for (const TScript& script : scripts) RunScript(script);
}

TEST(RelayLimitTable, EachAddressHasItsOwnShareOfAHostAndAcceptedRequestsAreGivenBack) {
  const std::string a = "198.51.100.7", b = "198.51.100.8";
  const TScript scripts[] = {
      {"a flood from one address leaves another's share", Limits(100, 64, 20, 2, 10, 20),
       {{0s, TOp::ChargeHost, a}, {1s, TOp::ChargeHost, a}, {2s, TOp::ChargeHost, a, false},
        {2s, TOp::ChargeHost, b}, {3s, TOp::ChargeHost, b}, {4s, TOp::ChargeHost, b, false}}},
      {"an accepted request does not count", Limits(100, 64, 20, 2, 10, 20),
       {{0s, TOp::ChargeHost, a}, {1s, TOp::ChargeHost, a}, {1s, TOp::Refund, a}, {2s, TOp::ChargeHost, a},
        {3s, TOp::ChargeHost, a, false}}},
      // Given back after its window has passed: nothing of the newer ones is taken back.
      {"a late refund takes back nothing else", Limits(100, 64, 20, 2, 10, 20),
       {{0s, TOp::ChargeHost, a}, {60s, TOp::ChargeHost, a}, {61s, TOp::ChargeHost, a}, {61s, TOp::Refund, a},
        {62s, TOp::ChargeHost, a, false}}},
  };
  for (const TScript& script : scripts) RunScript(script);
}

}  // namespace
}  // namespace tlm::test
