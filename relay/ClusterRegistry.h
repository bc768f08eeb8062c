// The shared state of a relay cluster, kept in Redis: the ID of every device key, the node
// that holds each online host, and the nodes that are alive.
//
// Keys (every name starts with "tlm:"):
//   tlm:id-of      hash  device key -> ID
//   tlm:key-of     hash  ID -> device key
//   tlm:seen       zset  ID scored by the Unix time its host last registered
//   tlm:at:<ID>    "<node name>\t<registration token>" of the node holding that host, with a
//                  time-to-live (PresenceTtl) that the node renews while the host is connected
//   tlm:node:<N>   the link address of node N, with a time-to-live its own heartbeat renews
// and the pub/sub channel tlm:takeover:<N>, on which node N hears "<ID>\t<token>" when another
// node has taken over a host that N registered under that token.
// Each operation that reads and writes is one Lua script, so it is atomic across the cluster:
// a fresh ID is taken with HSETNX among random candidates, never by read-then-write.
//
// Contract: built, given its event handlers and started by the relay server; every call comes
// from the network thread and returns at once. The Redis work runs on a thread of the
// registry's own over one blocking hiredis connection (calls queued meanwhile go out as one
// pipeline), and every result and event is posted back to the network thread through the
// executor given at construction. A second thread holds the subscription.
// While Redis cannot be reached, calls end with Unavailable at once (nothing piles up), the
// outage is logged once ("redis unavailable: ..."), the connection is tried again every
// second, and when it works again "redis available again" is logged and OnRedisBack fires.
// At most MaxWaitingCalls calls wait for Redis; beyond that calls end with Unavailable at once
// ("redis overloaded"), so a slow Redis cannot make the relay's memory grow.
// Stop (also from the destructor) runs what was already asked, within RedisTimeout, removes the
// node's tlm:node:<N> (so its hosts have no reachable holder at once), then ends both threads;
// results that arrive after that are dropped. Stop before the network thread's io_context goes.
#pragma once

#include <asio/any_io_executor.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "relay/RelayServer.h"

namespace tlm {

enum class TClusterStatus { Ok, Unavailable, Refused };

struct TClusterRegistration {
  TClusterStatus Status = TClusterStatus::Unavailable;
  std::string Id;          // Ok: the host's ID, which this node now holds
  bool Created = false;    // Ok: the key was new and got a fresh ID
  std::string Error;       // Unavailable: why (for the log)
  // Refused: the key is not known and AMayCreate was false.
};

struct TClusterLocation {
  TClusterStatus Status = TClusterStatus::Unavailable;
  // Ok: the node holding the ID and its link address; both empty when no node holds it (the
  // host is offline or the ID unknown).
  std::string Node;
  std::string Address;
  std::string Error;  // Unavailable: why
};

class TClusterRegistry {
public:
  // AOptions.Cluster must name Redis and this node (NodeName filled in by the caller).
  TClusterRegistry(const TClusterOptions& AOptions, asio::any_io_executor ANetwork,
                   std::function<void(const std::string&)> ALog);
  ~TClusterRegistry();
  TClusterRegistry(const TClusterRegistry&) = delete;
  TClusterRegistry& operator=(const TClusterRegistry&) = delete;

  // Event handlers, set before Start; they run on the network thread.
  // Another node registered the host that this node registered under AToken.
  std::function<void(const std::string& AId, uint64_t AToken)> OnTakenOver;
  // Redis can be reached again after an outage: hosts registered here should be announced
  // again (Refresh each), since their presence may have run out meanwhile.
  std::function<void()> OnRedisBack;

  // Starts both threads and the node's heartbeat (tlm:node:<name>). Does not wait for Redis:
  // a node may start while Redis is down.
  void Start();
  void Stop();

  // Finds the ID of ADeviceKey or, when AMayCreate, gives a new key a fresh ID; then makes this
  // node the holder of that ID under AToken (unique per registration on this node), replacing
  // any older holder, which is told on its takeover channel.
  void Register(const std::string& ADeviceKey, bool AMayCreate, uint64_t AToken,
                std::function<void(TClusterRegistration)> ADone);
  // The host registered under AToken is still here: renews its presence, or sets it again when
  // it ran out. When another registration holds the ID now, OnTakenOver fires. ADone (when
  // given) hears Ok (the presence is this node's for PresenceTtl from the call at least),
  // Refused (another registration holds the ID) or Unavailable.
  void Refresh(const std::string& AId, uint64_t AToken, std::function<void(TClusterStatus)> ADone = {});
  // The host registered under AToken has left: its presence goes, unless another registration
  // holds the ID by now.
  void Release(const std::string& AId, uint64_t AToken);
  // Which node holds AId.
  void Locate(const std::string& AId, std::function<void(TClusterLocation)> ADone);
  // Removes IDs (both directions and their last-seen time) last seen before ACutoff (Unix
  // seconds) whose host no node holds now; IDs still held count as seen at ANow. ADone gets
  // how many were removed (0, or what was removed before Redis went away, when Redis could not
  // be reached).
  void ForgetUnseenSince(int64_t ACutoff, int64_t ANow, std::function<void(size_t)> ADone);

  // Redis answered the last attempt (a cheap snapshot for logs and statistics).
  bool Available() const;

  static constexpr size_t MaxWaitingCalls = 100000;

private:
  struct TImpl;
  std::unique_ptr<TImpl> F;
};

}  // namespace tlm
