// One TCP connection of a host, a viewer or a link between nodes, as the relay sees it:
// transport only.
//
// Contract: created by the hub (for the server's accept loops, or for a link it opens) and
// driven entirely on the network thread. It knows nothing of hosts, viewers or sessions: it
// reports to IRelayPeerEvents and keeps to what IRelayQueueBudget allows, and it carries the
// hub's record of its peer (TRelayPeer) without looking inside.
// Start spawns a reader and a writer coroutine that keep the object alive. The reader cuts
// the byte stream into packets and asks Route what each one is: consumed by the hub,
// forwarded to the session partner piece by piece, or dropped. The writer drains a queue of
// outgoing bytes. The queue is bounded: a reader whose partner's queue is full stops reading
// until the partner's writer has drained it below the limit, or, while all queues together
// hold more than the relay's total limit, until the partner has caught up (backpressure).
// The read buffer exists only while bytes are arriving: an idle connection holds none.
// The relay's own packets to a connection wait behind a forwarded packet being written to it,
// and count in its queue like forwarded bytes; a connection that leaves as many of them unread
// as the budget allows (UnreadRelayPacketLimit) gets nothing more and is closed.
// A large payload bound for a partner with nothing queued is spliced socket to socket inside
// the kernel instead; a slow partner then holds the sender back through its full socket.
// Close (flush, then shut down) and Abort (at once) end the connection; either one reports
// Detach exactly once, and Abort reports NoteClosed once.
#pragma once

#include <asio.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "protocol/Bytes.h"
#include "relay/RelayRoutes.h"
#include "relay/RelayStream.h"

namespace tlm {

struct TRelayPeer;
class TRelayConnection;

using TRelayClock = std::chrono::steady_clock;

// Forwarded payload enters the partner's queue in pieces of at most this size, so a full
// queue overshoots its limit by at most one piece.
constexpr size_t MaxForwardPiece = 256 * 1024;

// What a connection tells, and asks, whoever pairs connections up (the hub).
class IRelayPeerEvents {
public:
  struct TRoute {
    TRouteKind Kind = TRouteKind::Drop;
    std::shared_ptr<TRelayConnection> Target;  // for Forward
  };
  // What becomes of a packet of code AType that AFrom has begun to send.
  virtual TRoute Route(TRelayConnection& AFrom, uint32_t AType) = 0;
  // A packet Route said to consume, read in full.
  virtual void Handle(TRelayConnection& AFrom, uint32_t AType, const TBytes& APayload) = 0;
  // A packet Route said to consume is larger than MaxControlPayload.
  virtual void RefuseOversizedControl(TRelayConnection& AFrom, uint32_t AType, uint32_t ALen) = 0;
  // The connection is ending (once, from Close or Abort): it leaves every registry and session.
  virtual void Detach(TRelayConnection& AConn) = 0;
  // The socket is gone (once, from Abort).
  virtual void NoteClosed(TRelayConnection& AConn) = 0;
  // A log line of a kind that hostile peers can multiply.
  virtual void Event(std::string_view AKind, const std::string& ALine) = 0;

protected:
  ~IRelayPeerEvents() = default;
};

// The time limits one connection keeps to for its own packets, and whether it may splice.
struct TConnectionLimits {
  std::chrono::milliseconds FirstPacketTimeout{};
  std::chrono::milliseconds PacketCompletionTime{};
  size_t MinPacketRate = 1;
  bool SpliceLargePayloads = true;
};

// The accounting of all connections' queues together, and the limits that follow from it.
class IRelayQueueBudget {
public:
  // ADelta bytes joined a queue that holds AConnQueued bytes now.
  virtual void QueueGrew(size_t AConnQueued, size_t ADelta) = 0;
  virtual void QueueShrank(size_t ADelta) = 0;
  // Bytes passed from one partner to the other.
  virtual void AddRelayed(size_t ABytes) = 0;
  // Bytes one queue may hold before its partner is no longer read.
  virtual size_t QueueLimit() const = 0;
  // All queues together hold the relay's total limit or more.
  virtual bool OverQueued() const = 0;
  // Bytes of relay packets one connection may leave unread.
  virtual size_t UnreadRelayPacketLimit() const = 0;
  virtual const TConnectionLimits& Limits() const = 0;

protected:
  ~IRelayQueueBudget() = default;
};

class TRelayConnection : public std::enable_shared_from_this<TRelayConnection> {
public:
  TRelayConnection(TRelayStream ASocket, IRelayPeerEvents& AEvents, IRelayQueueBudget& ABudget,
                   std::string AAddress);
  ~TRelayConnection();

  void Start();

  // Queues one whole relay packet; while a forwarded packet is only partly queued, it waits
  // until that packet is complete. Over the limit of unread relay packets the packet is dropped
  // and the connection closed right after the caller's turn (never inside the caller).
  void SendPacket(uint32_t AType, std::span<const uint8_t> APayload);
  void SendText(uint32_t AType, std::string_view AText);
  // Flushes what is queued, shuts the sending side down and closes once the peer has
  // closed too (or after a short grace time).
  void Close();
  // Closes the socket now.
  void Abort();

  // Why this connection missed a deadline for its packets (empty: it did not): the first
  // complete packet after connecting, or the completion of a packet begun.
  std::string_view MissedDeadline(TRelayClock::time_point ANow) const;
  // Part of a packet has arrived, the rest not yet.
  bool InPacket() const { return FInPacket; }

  bool Closing() const { return FClosing; }
  bool InsidePartialPacket() const { return FPartialOut; }
  bool Paused() const { return FPaused; }
  size_t QueuedBytes() const { return FQueued; }
  const std::string& Address() const { return FAddress; }
  TRelayClock::time_point LastReceived() const { return FLastReceived; }
  // Starts the idle clock afresh (a viewer whose session just ended).
  void RestartIdleClock() { FLastReceived = TRelayClock::now(); }
  TRelayClock::time_point LastSent() const { return FLastSent; }
  // When bytes have been waiting without the writer making progress since this time.
  bool WriteStalledSince(TRelayClock::time_point ASince) const {
    return (FQueued > 0 || FSpliceBacklog > 0) && FLastWriteProgress < ASince;
  }

  // What the per-address limits count this connection under.
  const std::string& AddressBucket() const { return FAddressBucket; }

  // The pairing side's record of the peer on this connection, which the connection only
  // carries (set once, before Start).
  void SetPeer(std::shared_ptr<TRelayPeer> APeer) { FPeer = std::move(APeer); }
  TRelayPeer& Peer() const { return *FPeer; }

private:
  asio::awaitable<void> ReadLoop();
  // Plain or TLS (see TRelayStream); false when the connection cannot go on. A plain client
  // of a TLS-only relay is told so and closed.
  asio::awaitable<bool> OpenStream();
  asio::awaitable<void> WriteLoop();
  // Makes at least one more byte available in FIn; false on end of stream or error.
  asio::awaitable<bool> Fill();
  // Waits for the next bytes without holding a read buffer, unless some are there already.
  asio::awaitable<void> WaitIdle();
  // A packet from the peer has been read in full.
  void PacketDone();
  // Time a reader spent held back does not count against its packet deadline.
  void NoteHeldBack(TRelayClock::time_point ASince);
  // The forwarded packet being queued to this connection is complete: release what waited.
  void EndPartialOut();
  asio::awaitable<bool> ReadExact(uint8_t* AOut, size_t ALen);
  asio::awaitable<bool> Skip(size_t ALen);
  asio::awaitable<bool> Forward(std::shared_ptr<TRelayConnection> ATo, const uint8_t* AHeader, uint32_t ALen);
  // Waits while ATo's queue holds ABelow bytes or more (default: its limit); false when
  // this connection is closing meanwhile.
  asio::awaitable<bool> WaitForRoom(TRelayConnection& ATo, size_t ABelow = 0);
  // Moves up to ALen payload bytes from this socket to ATo's socket inside the kernel
  // (splice through a pipe), while ATo's queue is empty. AConsumed: bytes taken from this
  // socket; ADelivered: bytes written to ATo.
  enum class TSpliceResult { Done, ReceiverGone, SenderFailed, Unavailable };
  asio::awaitable<TSpliceResult> SpliceTo(TRelayConnection& ATo, size_t ALen, size_t& AConsumed, size_t& ADelivered);
  bool OpenPipe();
  void ClosePipe();
  asio::awaitable<void> DiscardUntilClosed();

  // Bytes for the writer, without zero-filling or copying them twice.
  struct TOutChunk {
    std::unique_ptr<uint8_t[]> Data;
    size_t Size = 0;
    size_t Capacity = 0;
  };
  static TOutChunk NewChunk(size_t ACapacity);
  void EnqueueChunk(TOutChunk&& AChunk);
  // Bytes of relay packets (not forwarded ones) still in the queue or held back.
  size_t UnreadRelayBytes();
  // Queues the relay's own bytes (sent at once where possible) and notes where they lie.
  void EnqueueRelayBytes(const uint8_t* AData, size_t ALen);
  // Returns how many of ALen bytes went into the queue (the rest went to the kernel at once).
  size_t Enqueue(const uint8_t* AData, size_t ALen);
  void NoteQueued(size_t ALen);
  void Detach();
  void WakeBlockedSender();

  TRelayStream FSocket;  // plain TCP or TLS
  IRelayPeerEvents& FEvents;
  IRelayQueueBudget& FBudget;
  const std::string FAddress;
  const std::string FAddressBucket;
  std::shared_ptr<TRelayPeer> FPeer;

  // Incoming bytes not handled yet: FIn[FInBegin, FInEnd).
  TBytes FIn;
  size_t FInBegin = 0;
  size_t FInEnd = 0;

  // Relay packets waiting for the forwarded packet in progress (FPartialOut) to complete.
  TBytes FDeferred;

  std::deque<TOutChunk> FQueue;
  size_t FQueued = 0;
  // Bytes that have ever entered FQueue; those written so far are FQueuedEver - FQueued.
  uint64_t FQueuedEver = 0;
  // Where relay packets lie in that stream of queued bytes, [Begin, End), oldest first.
  struct TRange {
    uint64_t Begin = 0;
    uint64_t End = 0;
  };
  std::deque<TRange> FRelayRanges;
  bool FRelayOverflow = false;  // too many relay packets left unread: closing
  size_t FInFlight = 0;  // front elements the writer is writing now
  bool FPartialOut = false;  // a forwarded packet is only partly queued
  size_t FSpliceBacklog = 0;  // bytes its partner has spliced but not yet written to it
  int FPipeRead = -1;         // kernel pipe for splicing payload to the partner
  int FPipeWrite = -1;
  size_t FPipeSize = 0;
  std::weak_ptr<TRelayConnection> FBlockedSender;  // partner waiting for room in FQueue

  asio::steady_timer FWriteSignal;  // writer sleeps here while the queue is empty
  asio::steady_timer FResume;       // reader sleeps here while its partner's queue is full
  asio::steady_timer FLinger;       // grace time after shutting down the sending side
  bool FSpliceDisabled;

  bool FClosing = false;
  bool FAborted = false;
  bool FDetached = false;
  bool FPaused = false;
  bool FReadFailed = false;  // end of stream or a read error: nothing more will come
  TRelayClock::time_point FConnectedAt;
  bool FFirstPacketDone = false;
  bool FInPacket = false;
  TRelayClock::time_point FPacketBegun;
  uint32_t FPacketLen = 0;  // payload length of the packet in progress, once its header is in
  TRelayClock::time_point FLastReceived;
  TRelayClock::time_point FLastSent;
  TRelayClock::time_point FLastWriteProgress;
};

}  // namespace tlm
