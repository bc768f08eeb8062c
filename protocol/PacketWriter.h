// TPacketWriter: the one thread that writes a connection's packets, with two queues. Small
// messages (input, acknowledgements, chat, clipboard, requests) always go ahead of the next
// bulk packet (a file chunk), so input never waits behind a transfer for longer than the one
// chunk already on its way. Set TCP_NOTSENT_LOWAT on the socket (TTcpConnection::
// SetNotSentLowWater) so a bulk packet is taken only once the socket has room, instead of
// filling the kernel's send buffer with seconds of file data.
//
// Contract:
// - Construct with the connection, then Start. Any thread may queue. Stop (and the
//   destructor) end the writer thread; what is still queued is dropped. Stop does not touch
//   the connection: an owner that wants a blocked write to end aborts the connection first.
// - Post never waits: a full small-message queue, a stopped or a failed writer drops the
//   packet and answers false. It suits the user-interface thread.
// - PostWait and PostBulk wait while their queue is full (back-pressure for a reader thread or
//   a file worker) and raise TConnectionError once the writer has stopped or failed.
// - A failed write is reported once through OnFailure, on the writer thread, before waiters
//   are released; the writer then stops. Assign OnFailure before Start.
// - Session messages (IsSealedSessionMsg) follow the session's wire mode: Plain (as queued),
//   Held (dropped at once: a handshake is under way and nothing of the session may leave in
//   clear) or Sealed (sealed by the writer thread as it puts them on the wire, so the sealer's
//   counter follows the wire order). Each change of mode starts a new epoch: a session message
//   queued under an earlier one is dropped unwritten, so nothing of one session reaches the
//   next, and nothing queued in clear leaves once sealing began. Other codes (the relay's own,
//   the handshake's) always go as queued. A new writer is Plain.
// Bounds: the small-message queue holds at most Limits.MaxUrgentBytes, the bulk queue at most
// Limits.MaxBulkPackets packets.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include "protocol/Bytes.h"
#include "protocol/Connection.h"

namespace tlm {

struct TPacketWriterLimits {
  size_t MaxUrgentBytes = 8u << 20;  // whole encoded packets
  size_t MaxBulkPackets = 1;         // one chunk waits while the previous one is written
};

// Seals one session message in place for the writer; protocol/SecureChannel.h has the one
// implementation. Kept abstract so builds without the cryptography library still write packets.
class IPacketSealer {
public:
  virtual ~IPacketSealer() = default;
  // APayload holds ALen bytes followed by room for SealedOverhead() more; afterwards it holds
  // the sealed payload of ALen + SealedOverhead() bytes, sent under SealedType().
  virtual void SealInPlace(uint32_t AType, uint8_t* APayload, size_t ALen) = 0;
  virtual size_t SealedOverhead() const = 0;
  virtual uint32_t SealedType() const = 0;
};

enum class TSessionWire : uint8_t { Plain, Held, Sealed };

class TPacketWriter {
public:
  explicit TPacketWriter(IConnection& AConn, TPacketWriterLimits ALimits = {});
  ~TPacketWriter();
  TPacketWriter(const TPacketWriter&) = delete;
  TPacketWriter& operator=(const TPacketWriter&) = delete;

  void Start();
  void Stop();

  bool Post(uint32_t AType, std::span<const uint8_t> APayload = {});
  bool PostText(uint32_t AType, std::string_view AText);
  void PostWait(uint32_t AType, std::span<const uint8_t> APayload = {});
  void PostBulk(uint32_t AType, std::span<const uint8_t> APayload = {});

  // Waits up to AMs until every packet queued so far has been written; false on time-out,
  // failure or stop.
  bool Flush(int AMs);
  bool Failed() const;

  // The session's wire mode from now on (see above); any thread.
  void PlainSession();
  void HoldSession();
  void SealSession(std::unique_ptr<IPacketSealer> ASealer);
  TSessionWire SessionWire() const;

  std::function<void(const std::string& AWhy)> OnFailure;

private:
  enum class EQueue { Urgent, Bulk };
  struct TQueued {
    TBytes Packet;       // header and payload, plus room for the seal when Seal
    uint64_t Epoch = 0;  // of the wire mode it was queued under; session messages only
    bool Session = false;
    bool Seal = false;
  };
  bool CanQueue(EQueue AQueue, size_t ASize) const;  // FLock held
  // False when the session's wire mode drops the packet.
  bool Queue(EQueue AQueue, uint32_t AType, std::span<const uint8_t> APayload, bool AWait);
  void ChangeWire(TSessionWire AMode, std::unique_ptr<IPacketSealer> ASealer);
  // Writer thread: seals what is due, drops what is stale; false when AItem is dropped.
  bool Prepare(TQueued& AItem);
  void Run();

  IConnection& FConn;
  const TPacketWriterLimits FLimits;
  mutable std::mutex FLock;
  std::condition_variable FWork;   // the writer waits for packets
  std::condition_variable FSpace;  // producers wait for room, Flush for an empty queue
  std::deque<TQueued> FUrgent;
  size_t FUrgentBytes = 0;
  std::deque<TQueued> FBulk;
  bool FWriting = false;
  bool FStopped = false;
  bool FFailed = false;
  // The wire mode and its epoch, packed as epoch * 4 + mode so a producer reads both at once
  // without a lock; changed only under FSealLock, which the writer thread holds while sealing.
  std::atomic<uint64_t> FWire{0};
  std::mutex FSealLock;
  std::unique_ptr<IPacketSealer> FSealer;
  std::thread FThread;
};

}  // namespace tlm
