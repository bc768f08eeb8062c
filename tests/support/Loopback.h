// Two connected TTcpConnection ends over 127.0.0.1, for tests of anything that speaks packets.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "protocol/Connection.h"

namespace tlm::test {

// 127.0.0.1:APort, for tests that speak to sockets directly.
sockaddr_in LoopbackAddress(uint16_t APort);

struct TLoopbackPair {
  std::unique_ptr<TTcpConnection> Client;  // the end that called Connect
  std::unique_ptr<TTcpConnection> Server;  // the accepted end
};

TLoopbackPair MakeLoopbackPair();

// A listening socket on 127.0.0.1 with an ephemeral port; closed by the destructor.
class TLoopbackListener {
public:
  TLoopbackListener();
  ~TLoopbackListener();
  uint16_t Port() const { return FPort; }
  // Waits for one connection and returns it adopted as a TTcpConnection.
  std::unique_ptr<TTcpConnection> Accept();
  // Like Accept, but gives up after AWaitMs and returns null.
  std::unique_ptr<TTcpConnection> TryAccept(int AWaitMs);
  // Stops listening: later connection attempts are refused.
  void Close();

private:
  int FFd = -1;
  uint16_t FPort = 0;
};

// A listening socket on 127.0.0.1 whose accept queue is already full, so that a further
// connection attempt gets no answer at all (its SYNs are dropped) and hangs until its own
// time-out: a relay that never answers, without leaving this machine.
class TUnansweredListener {
public:
  TUnansweredListener();
  ~TUnansweredListener();
  uint16_t Port() const { return FPort; }

private:
  int FFd = -1;
  uint16_t FPort = 0;
  std::vector<int> FFillers;  // connections nobody accepts
};

}  // namespace tlm::test
