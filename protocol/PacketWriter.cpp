#include "protocol/PacketWriter.h"

#include <chrono>

#include "protocol/Error.h"
#include "protocol/Packet.h"

namespace tlm {

namespace {
// Small packets queued together go out in one write, up to this many bytes.
constexpr size_t MaxBatchBytes = 256u << 10;
}  // namespace

TPacketWriter::TPacketWriter(IConnection& AConn, TPacketWriterLimits ALimits) : FConn(AConn), FLimits(ALimits) {}

TPacketWriter::~TPacketWriter() { Stop(); }

void TPacketWriter::Start() {
  std::lock_guard hold(FLock);
  if (FThread.joinable() || FStopped) return;
  FThread = std::thread([this] { Run(); });
}

void TPacketWriter::Stop() {
  {
    std::lock_guard hold(FLock);
    FStopped = true;
    FUrgent.clear();
    FUrgentBytes = 0;
    FBulk.clear();
  }
  FWork.notify_all();
  FSpace.notify_all();
  if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id()) FThread.join();
}

bool TPacketWriter::Failed() const {
  std::lock_guard hold(FLock);
  return FFailed;
}

bool TPacketWriter::CanQueue(EQueue AQueue, size_t ASize) const {
  if (AQueue == EQueue::Bulk) return FBulk.size() < FLimits.MaxBulkPackets;
  // A packet larger than the whole bound still goes through when the queue is empty, so a big
  // clipboard text is not refused for ever.
  return FUrgent.empty() || FUrgentBytes + ASize <= FLimits.MaxUrgentBytes;
}

void TPacketWriter::Queue(EQueue AQueue, uint32_t AType, std::span<const uint8_t> APayload, bool AWait) {
  TBytes packet = EncodePacket(AType, APayload);
  std::unique_lock hold(FLock);
  if (AWait) FSpace.wait(hold, [&] { return FStopped || FFailed || CanQueue(AQueue, packet.size()); });
  if (FStopped || FFailed) throw TConnectionError("Writer stopped");
  if (!CanQueue(AQueue, packet.size())) throw TError("Send queue full");
  if (AQueue == EQueue::Urgent) {
    FUrgentBytes += packet.size();
    FUrgent.push_back(std::move(packet));
  } else {
    FBulk.push_back(std::move(packet));
  }
  hold.unlock();
  FWork.notify_one();
}

bool TPacketWriter::Post(uint32_t AType, std::span<const uint8_t> APayload) {
  try {
    Queue(EQueue::Urgent, AType, APayload, false);
    return true;
  } catch (const TError&) {
    return false;
  }
}

bool TPacketWriter::PostText(uint32_t AType, std::string_view AText) {
  return Post(AType, std::span(reinterpret_cast<const uint8_t*>(AText.data()), AText.size()));
}

void TPacketWriter::PostWait(uint32_t AType, std::span<const uint8_t> APayload) {
  Queue(EQueue::Urgent, AType, APayload, true);
}

void TPacketWriter::PostBulk(uint32_t AType, std::span<const uint8_t> APayload) {
  Queue(EQueue::Bulk, AType, APayload, true);
}

bool TPacketWriter::Flush(int AMs) {
  std::unique_lock hold(FLock);
  FSpace.wait_for(hold, std::chrono::milliseconds(AMs),
                  [&] { return FStopped || FFailed || (FUrgent.empty() && FBulk.empty() && !FWriting); });
  return !FStopped && !FFailed && FUrgent.empty() && FBulk.empty() && !FWriting;
}

void TPacketWriter::Run() {
  TBytes batch;
  for (;;) {
    {
      std::unique_lock hold(FLock);
      FWriting = false;
      FSpace.notify_all();
      FWork.wait(hold, [&] { return FStopped || !FUrgent.empty() || !FBulk.empty(); });
      if (FStopped) return;
      batch.clear();
      if (!FUrgent.empty()) {
        // Every small packet waiting now, in order, in one write.
        while (!FUrgent.empty() && (batch.empty() || batch.size() + FUrgent.front().size() <= MaxBatchBytes)) {
          batch.insert(batch.end(), FUrgent.front().begin(), FUrgent.front().end());
          FUrgentBytes -= FUrgent.front().size();
          FUrgent.pop_front();
        }
      } else {
        batch.swap(FBulk.front());
        FBulk.pop_front();
      }
      FWriting = true;
    }
    FSpace.notify_all();
    try {
      FConn.WriteAll(batch.data(), batch.size());
    } catch (const std::exception& e) {
      {
        std::lock_guard hold(FLock);
        if (FStopped) return;  // the owner ended the connection itself
      }
      if (OnFailure) {
        try {
          OnFailure(e.what());
        } catch (...) {
        }
      }
      std::lock_guard hold(FLock);
      FFailed = true;
      FWriting = false;
      FUrgent.clear();
      FUrgentBytes = 0;
      FBulk.clear();
      FSpace.notify_all();
      return;
    }
  }
}

}  // namespace tlm
