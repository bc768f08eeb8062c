// A TCP proxy on 127.0.0.1 between a program under test and a server (Redis, say), so that a
// test can cut that one program's link while the server stays up for everyone else.
//
// Contract: the constructor listens on an ephemeral port and returns; a thread of its own
// passes bytes both ways, connection by connection, until Cut or the destructor. Cut and
// Swallow may be called from any thread and take effect before they return.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace tlm::test {

class TTcpProxy {
public:
  explicit TTcpProxy(uint16_t ATargetPort);
  ~TTcpProxy();
  TTcpProxy(const TTcpProxy&) = delete;
  TTcpProxy& operator=(const TTcpProxy&) = delete;

  // "127.0.0.1:<port>" to give the program instead of the server's address.
  std::string Address() const;
  // Closes every connection passed on and stops listening: the program's connections fail and
  // new ones are refused, as with a network partition.
  void Cut();
  // Listens again on the same port after Cut (the partition has healed).
  void Mend();
  // Connections whose client has sent APattern among its first bytes (a Redis client's
  // "SUBSCRIBE") lose their server side from now on, silently: the server sees them close, the
  // client keeps its connection and hears nothing more. New ones are treated the same.
  void Swallow(const std::string& APattern);
  // A tap: from now on every byte passed, either way, is also kept (up to 512 MiB), for a
  // test that looks for what must never cross the wire in clear.
  void StartRecording();
  // What the clients sent (AFromClients) or what they were sent.
  std::string Recorded(bool AFromClients) const;

private:
  struct TImpl;
  std::unique_ptr<TImpl> F;
};

}  // namespace tlm::test
