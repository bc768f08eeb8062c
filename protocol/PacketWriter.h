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
// Bounds: the small-message queue holds at most Limits.MaxUrgentBytes, the bulk queue at most
// Limits.MaxBulkPackets packets.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
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

  std::function<void(const std::string& AWhy)> OnFailure;

private:
  enum class EQueue { Urgent, Bulk };
  bool CanQueue(EQueue AQueue, size_t ASize) const;  // FLock held
  void Queue(EQueue AQueue, uint32_t AType, std::span<const uint8_t> APayload, bool AWait);
  void Run();

  IConnection& FConn;
  const TPacketWriterLimits FLimits;
  mutable std::mutex FLock;
  std::condition_variable FWork;   // the writer waits for packets
  std::condition_variable FSpace;  // producers wait for room, Flush for an empty queue
  std::deque<TBytes> FUrgent;
  size_t FUrgentBytes = 0;
  std::deque<TBytes> FBulk;
  bool FWriting = false;
  bool FStopped = false;
  bool FFailed = false;
  std::thread FThread;
};

}  // namespace tlm
