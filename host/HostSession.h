// THostSession: one viewer session on one relay connection, as the workers see it. The agent
// makes one when the relay starts a session and closes it when the session ends; the capture
// thread and the file sender hold it and stop as soon as it no longer lasts, so a worker of an
// ended session can never send into the next one. It also keeps the connection's writer alive
// for as long as a worker holds it (a writer whose connection has ended refuses everything).
//
// Any thread. No lock: the open flag is the only thing that changes.
#pragma once

#include <atomic>
#include <memory>

#include "protocol/PacketWriter.h"

namespace tlm {

class THostSession {
public:
  // AWriter: the connection's one writer; an aliasing pointer may keep its owner alive.
  explicit THostSession(std::shared_ptr<TPacketWriter> AWriter) : FWriter(std::move(AWriter)) {}
  THostSession(const THostSession&) = delete;
  THostSession& operator=(const THostSession&) = delete;

  TPacketWriter& Writer() const { return *FWriter; }
  bool Lasts() const { return FOpen.load(std::memory_order_acquire); }
  void Close() { FOpen.store(false, std::memory_order_release); }

private:
  const std::shared_ptr<TPacketWriter> FWriter;
  std::atomic<bool> FOpen{true};
};

using THostSessionRef = std::shared_ptr<THostSession>;

}  // namespace tlm
