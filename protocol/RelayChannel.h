// TRelayChannel: one relay connection with everything that serves it: the connection, its one
// writer (every packet to the relay goes through Writer()), its one reader thread, and an end
// that happens once, whoever notices it first. The host agent makes one per connection
// attempt; a viewer session makes one for its life.
//
// Contract:
// - Construct, assign the handlers, then Start once.
// - The reader thread connects, starts the writer and calls OnConnected (queue the first
//   packets there). Then, in turn, it calls OnTurn (periodic duties: keep-alives, deadlines)
//   and waits up to PollMs for a packet, which it hands to OnPacket; packets are handled in
//   arrival order. Handlers run on the reader thread; one that throws ends the channel.
// - The channel ends on the first of: a failed connect, a failed or timed-out read, silence
//   for SilenceLimitMs, a handler's exception, a failed write, End. The end aborts the
//   connection (every blocked call wakes), stops the writer (what is still queued is dropped;
//   waiting producers get TConnectionError), then calls OnEnded once on the reader thread with
//   the first cause, and closes the socket.
// - Writer() may be used from any thread at any time (see protocol/PacketWriter.h for its
//   bounds and what each call does when its queue is full).
// - End from any thread, as often as wanted. Wait blocks until the reader thread has finished
//   (never call it from a handler); the destructor ends the channel and waits, so the channel
//   must never be destroyed by one of its own handlers.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "protocol/Connection.h"
#include "protocol/Packet.h"
#include "protocol/PacketWriter.h"
#include "protocol/RelayLink.h"

namespace tlm {

struct TRelayChannelSettings {
  std::string Host;
  uint16_t Port = 0;
  std::optional<TRelayTlsChoice> Tls;  // unset: DefaultRelayTls()
  int ConnectTimeoutMs = 8000;
  int ReadTimeoutMs = 40000;  // each wait inside one packet
  // Nothing at all from the relay for this long ends the channel ("Read timed out"); 0: never.
  int SilenceLimitMs = 0;
  int PollMs = 500;  // how often OnTurn runs at least while nothing arrives
  int WriteStallMs = IClientConnection::DefaultWriteStallMs;
  int NotSentLowWaterBytes = 128 * 1024;
  TPacketWriterLimits Limits;
};

class TRelayChannel {
public:
  explicit TRelayChannel(TRelayChannelSettings ASettings);
  ~TRelayChannel();
  TRelayChannel(const TRelayChannel&) = delete;
  TRelayChannel& operator=(const TRelayChannel&) = delete;

  // Reader thread.
  std::function<void()> OnConnected;
  std::function<void(const TPacket& APacket)> OnPacket;
  std::function<void()> OnTurn;
  // AConnected: OnConnected had run to its end (false: the connection was never made).
  std::function<void(const std::string& AWhy, bool AConnected)> OnEnded;

  void Start();
  TPacketWriter& Writer() { return FWriter; }
  // Ends the channel for AWhy (kept as the cause unless another came first).
  void End(const std::string& AWhy = "Connection ended");
  void Wait();
  bool Finished() const { return FFinished.load(); }
  // Why the channel ended ("" while it has not).
  std::string Cause() const;

private:
  void Run();
  void NoteCause(const std::string& AWhy);

  const TRelayChannelSettings FSettings;
  TRelayLink FConn;
  TPacketWriter FWriter;
  mutable std::mutex FLock;  // FCause and FThread's start
  std::string FCause;  // the first reason the channel ended
  std::atomic<bool> FFinished{false};
  std::thread FThread;
};

}  // namespace tlm
