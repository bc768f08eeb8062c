// One TCP connection of a host or a viewer, as the relay sees it.
//
// Contract: created by the server's accept loop and driven entirely on the network thread.
// Start spawns a reader and a writer coroutine that keep the object alive. The reader cuts
// the byte stream into packets and asks the hub what each one is: consumed by the hub,
// forwarded to the session partner piece by piece, or dropped. The writer drains a queue of
// outgoing bytes. The queue is bounded: a reader whose partner's queue is full stops reading
// until the partner's writer has drained it below the limit, or, while all queues together
// hold more than the relay's total limit, until the partner has caught up (backpressure).
// The read buffer exists only while bytes are arriving: an idle connection holds none.
// The relay's own packets to a connection wait behind a forwarded packet being written to it,
// and count in its queue like forwarded bytes; a connection that leaves as many of them unread
// as the hub allows (UnreadRelayPacketLimit) gets nothing more and is closed.
// A large payload
// bound for a partner with nothing queued is spliced socket to socket inside the kernel
// instead; a slow partner then holds the sender back through its full socket.
// Close (flush, then shut down) and Abort (at once) end the connection; either one detaches
// it from the hub exactly once.
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
#include "relay/RelayStream.h"

namespace tlm {

class TRelayHub;

using TRelayClock = std::chrono::steady_clock;

// Forwarded payload enters the partner's queue in pieces of at most this size, so a full
// queue overshoots its limit by at most one piece.
constexpr size_t MaxForwardPiece = 256 * 1024;

// NodeLink: a link this node opened to another node, carrying one viewer of ours whose host
// that node holds (cluster mode).
enum class TPeerRole { Unknown, Host, Viewer, NodeLink };
// Linked: the viewer's request went over a link to the host's node, which decides from there.
enum class TViewerState { Idle, Pending, InSession, Ended, Linked };
// What has come back over a viewer's link so far.
enum class TLinkAnswer { None, SessionStarted, SessionEnded, Refused };

class TRelayConnection : public std::enable_shared_from_this<TRelayConnection> {
public:
  TRelayConnection(TRelayStream ASocket, TRelayHub& AHub, std::string AAddress);
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

  // State owned by the hub (network thread only).
  TPeerRole Role = TPeerRole::Unknown;
  // What the per-address limits count this connection under, and whether it counts against
  // the connections of that address (a link between nodes does not).
  std::string AddressBucket;
  bool CountsForAddress = true;
  // Host: its ID and key; whether it owes an answer to an admission request; the viewer
  // that asked (may be gone already); the session partner.
  std::string HostId;
  std::string DeviceKey;
  std::string ViewerName;  // viewer: the name of its last request
  // Viewer: where its last request was counted in its host's request budget, so that a request
  // the host accepts can be given back (empty: nothing to give back).
  std::string BudgetKey;
  TRelayClock::time_point BudgetCharged{};
  // Host: it has registered again on this connection and been answered once more.
  bool RegisteredAgain = false;
  // The viewer is empty once it has gone: the answer is still owed and will be dropped.
  bool AdmissionPending = false;
  std::weak_ptr<TRelayConnection> PendingViewer;
  // A viewer whose request waits for that owed answer before it is passed on.
  std::weak_ptr<TRelayConnection> QueuedViewer;
  // Viewer: state, target host while pending and the time it gives up.
  TViewerState ViewerState = TViewerState::Idle;
  std::weak_ptr<TRelayConnection> PendingHost;
  TRelayClock::time_point AdmissionDeadline{};
  // Viewer: the admission request text for the host, kept while the request is queued.
  std::string AdmitRequestText;
  // Both: the other side of the running session. A linked viewer and its link are each
  // other's partners.
  std::weak_ptr<TRelayConnection> Partner;

  // Cluster mode. Host: the token of its registration in the shared registry, whether that
  // registration is still being looked up, when its presence there was last renewed, and when
  // the last renewal that the registry confirmed was asked (the presence holds for PresenceTtl
  // from then, unless another node takes the host over).
  uint64_t RegistrationToken = 0;
  bool RegistrationPending = false;
  TRelayClock::time_point PresenceRenewed{};
  TRelayClock::time_point PresenceConfirmed{};
  // Viewer: it came over a link from another node, so it is never handed on again.
  bool FromNode = false;
  // Viewer: its connect request, kept while the host's node is looked up and dialled; then what
  // the host's node has answered over the link.
  TBytes LinkRequest;
  TLinkAnswer LinkAnswer = TLinkAnswer::None;

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
  TRelayHub& FHub;
  const std::string FAddress;

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
