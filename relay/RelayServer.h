// tlmrelay: pairs hosts and viewers and passes session messages between their connections.
//
// Contract: the owner (main, or a test) builds a TRelayServer with its options, calls Start
// once (binds, opens the ID database, starts one network thread running everything) and
// Stop once or lets the destructor do it. Stats may be read from any thread at any time.
// Nothing here is thread-safe beyond that: Start and Stop come from one owner thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tlm {

// What a node of a relay cluster needs besides the single-node options.
struct TClusterOptions {
  std::string RedisAddress;   // HOST:PORT of the shared Redis; empty: not a cluster node
  std::string RedisPassword;  // AUTH password; empty: none
  // This node's name in the cluster (unique per node); empty: host name + ":" + NodeAddress's port.
  std::string NodeName;
  // HOST:PORT other nodes dial to hand this node a viewer whose host it holds.
  std::string NodeAddress;
  // Where this node listens for those links; empty: NodeAddress itself.
  std::string ListenAddress;
  // The nodes' shared secret (links are refused without proof of it); at least 16 bytes.
  std::string Secret;
  // How long this node stays the owner of a host's ID in Redis after it last renewed it. The
  // node renews it every third of this while the host is connected; a node that dies loses
  // its hosts then, and a node that cannot reach Redis closes them then (they reconnect to a
  // node that can).
  std::chrono::milliseconds PresenceTtl{60000};
  // Time allowed for a call to Redis and for a link to another node to be opened.
  std::chrono::milliseconds RedisTimeout{2000};
  std::chrono::milliseconds LinkTimeout{3000};
};

struct TRelayOptions {
  std::string ListenAddress = "0.0.0.0";
  uint16_t Port = 59000;  // 0: an ephemeral port, returned by Start
  // ID database file; ":memory:" keeps the IDs only for the server's lifetime.
  std::string DbPath = "tlmrelay.db";

  size_t MaxConnections = 10000;
  size_t MaxConnectionsPerIp = 64;
  // Connect requests one address may make in any 60-second window; slows down guessing of
  // IDs and proofs.
  size_t ConnectRequestsPerIpPerMinute = 20;
  // Connect requests from one address (as the per-address limits count it) that may reach one
  // host in any 60-second window, less those the host accepted; further ones from that address
  // get the busy answer. Other addresses keep their own share.
  size_t ConnectRequestsPerHostPerMinute = 10;
  // Device keys seen for the first time: per address in any 60-second window, and in all
  // per second. Keys already known always register.
  size_t NewKeysPerIpPerMinute = 10;
  size_t NewKeysPerSecond = 20;
  // IDs whose host has not registered for this long are removed by a periodic sweep; 0 keeps
  // them for ever.
  std::chrono::seconds ForgetAfter{std::chrono::hours(24 * 180)};
  std::chrono::milliseconds ForgetSweepInterval{std::chrono::hours(1)};

  // Outgoing bytes one connection may have queued before its partner is no longer read. Small:
  // at 40 Mbit/s 256 KiB is 50 ms of file data that a key or a frame queued behind it waits for.
  size_t QueueLimitBytes = size_t(256) << 10;
  // Outgoing bytes all connections together may have queued before senders whose partner is
  // behind are no longer read; 0: a quarter of physical memory, at most 1 GiB.
  size_t MaxQueuedBytes = 0;

  // How long a viewer waits for the host's answer; the host's prompt itself has no limit.
  std::chrono::milliseconds AdmissionTimeout{120000};
  // A viewer that has been sent nothing for this long gets a MsgKeepAlive.
  std::chrono::milliseconds ViewerKeepAlive{15000};
  // A connection that has sent nothing for this long is dropped (the exceptions are listed in
  // the hub's sweep, RelayHubSweep.cpp).
  std::chrono::milliseconds IdleTimeout{300000};
  // A connection that takes no bytes off its queue for this long is dropped.
  std::chrono::milliseconds WriteStallTimeout{90000};
  // A new connection must have sent one complete packet within this time.
  std::chrono::milliseconds FirstPacketTimeout{10000};
  // A packet once begun must be complete within PacketCompletionTime + its size at
  // MinPacketRate bytes per second (time held back by a slow partner not counted).
  std::chrono::milliseconds PacketCompletionTime{30000};
  size_t MinPacketRate = 64 * 1024;
  std::chrono::milliseconds StatsInterval{60000};
  // Large payloads move from socket to socket inside the kernel (splice) when the receiver
  // has nothing else queued; off: always through user-space buffers.
  bool SpliceLargePayloads = true;

  // TLS on the listening port beside plain TCP (PEM files; both empty: plain only). With
  // TlsOnly plain clients are refused. A TLS client must finish its handshake (and any
  // client send its first byte) within TlsHandshakeTimeout.
  std::string TlsCertFile;
  std::string TlsKeyFile;
  bool TlsOnly = false;
  std::chrono::milliseconds TlsHandshakeTimeout{10000};
  // TLS handshakes (one signature each) one address may start per second, in a burst of as
  // many at once; more wait their turn within the handshake time-out (those whose turn would
  // come too late are held until it, then closed). Our clients make one per connection, so
  // this only holds back an address that opens connections to burn CPU.
  size_t TlsHandshakesPerIpPerSecond = 10;

  // Log lines of one kind (registrations, refusals, ...) written per LogSummaryInterval; the
  // rest are counted and summarised in one line when the interval ends.
  size_t LogBurst = 20;
  std::chrono::milliseconds LogSummaryInterval{60000};

  // Addresses trusted to put a PROXY protocol header (v1 or v2, as HAProxy's send-proxy and
  // send-proxy-v2 write) in front of a client's bytes: connections from them count, and show to
  // hosts, under the client address the header names. Empty: no header is read from anyone.
  std::vector<std::string> ProxyFrom;

  // Cluster mode: several nodes share one registry in Redis and pass sessions to each other.
  // Empty RedisAddress: a single node with its own ID database (DbPath), as always.
  TClusterOptions Cluster;

  // Receives every log line (without a line break), on the relay's log thread; empty: UTC time
  // stamp + line on stderr. Lines beyond LogBufferBytes waiting for it are dropped and counted.
  std::function<void(const std::string&)> Log;
  size_t LogBufferBytes = size_t(1) << 20;
};

struct TRelayStats {
  size_t Connections = 0;
  size_t Hosts = 0;      // registered hosts now
  size_t Sessions = 0;   // sessions now
  uint64_t SessionsStarted = 0;
  uint64_t BytesRelayed = 0;  // session payload and header bytes passed between partners
  uint64_t Refusals = 0;      // connections and requests refused by a limit or an error
  size_t QueuedBytes = 0;     // bytes waiting in every outgoing queue together
  size_t PeakQueuedBytes = 0; // the largest one connection's queue has ever been
  size_t PeakTotalQueuedBytes = 0;  // the most bytes all queues together have ever held
  uint64_t IdsForgotten = 0;  // IDs removed because their host was not seen for too long
  uint64_t LogLinesDropped = 0;  // log lines lost because the log was not read fast enough
};

class TRelayServer {
public:
  explicit TRelayServer(TRelayOptions AOptions);
  ~TRelayServer();
  TRelayServer(const TRelayServer&) = delete;
  TRelayServer& operator=(const TRelayServer&) = delete;

  // Opens the database, binds and starts the network thread; returns the bound port.
  // Raises TError when the database cannot be opened or the address cannot be bound.
  uint16_t Start();
  // Closes every connection, ends the network thread and closes the database. Idempotent.
  void Stop();

  TRelayStats Stats() const;
  // Waits until every line logged so far has reached the log (lines are written on a thread of
  // their own, so that a slow log never holds up the relay).
  void FlushLog();

private:
  struct TImpl;
  std::unique_ptr<TImpl> F;
};

}  // namespace tlm
