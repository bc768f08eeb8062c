// Options of an in-process relay for tests and benchmarks: loopback, an ephemeral port, an ID
// table in memory and no log output. Header only, so that the test-support library need not
// link the relay; whoever includes it links the relay already.
#pragma once

#include <string>

#include "relay/RelayServer.h"

namespace tlm::test {

inline TRelayOptions QuietLoopbackRelay() {
  TRelayOptions options;
  options.ListenAddress = "127.0.0.1";
  options.Port = 0;
  options.DbPath = ":memory:";
  options.Log = [](const std::string&) {};
  return options;
}

}  // namespace tlm::test
