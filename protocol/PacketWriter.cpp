#include "protocol/PacketWriter.h"

#include <chrono>
#include <cstring>
#include <vector>

#include "protocol/Error.h"
#include "protocol/Messages.h"
#include "protocol/Packet.h"

namespace tlm {

namespace {
// Small packets queued together go out in one write, up to this many bytes.
constexpr size_t MaxBatchBytes = 256u << 10;
// Room kept behind a payload that will be sealed: the seal's overhead (inner code and tag).
constexpr size_t SealRoom = 20;
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

bool TPacketWriter::Queue(EQueue AQueue, uint32_t AType, std::span<const uint8_t> APayload, bool AWait) {
  TQueued item;
  item.Session = IsSealedSessionMsg(AType);
  if (item.Session) {
    const uint64_t wire = FWire.load();
    const auto mode = TSessionWire(wire & 3);
    if (mode == TSessionWire::Held) return false;
    item.Epoch = wire >> 2;
    item.Seal = mode == TSessionWire::Sealed;
  }
  if (item.Seal) {
    // Room for the seal now, so the writer thread seals without another copy of the payload.
    item.Packet.resize(PacketHeaderSize + APayload.size() + SealRoom);
    PutLE32(item.Packet.data(), AType);
    PutLE32(item.Packet.data() + 4, uint32_t(APayload.size()));
    if (!APayload.empty()) std::memcpy(item.Packet.data() + PacketHeaderSize, APayload.data(), APayload.size());
  } else {
    item.Packet = EncodePacket(AType, APayload);
  }
  const size_t size = item.Packet.size();
  std::unique_lock hold(FLock);
  if (AWait) FSpace.wait(hold, [&] { return FStopped || FFailed || CanQueue(AQueue, size); });
  if (FStopped || FFailed) throw TConnectionError("Writer stopped");
  if (!CanQueue(AQueue, size)) throw TError("Send queue full");
  if (AQueue == EQueue::Urgent) {
    FUrgentBytes += size;
    FUrgent.push_back(std::move(item));
  } else {
    FBulk.push_back(std::move(item));
  }
  hold.unlock();
  FWork.notify_one();
  return true;
}

bool TPacketWriter::Post(uint32_t AType, std::span<const uint8_t> APayload) {
  try {
    return Queue(EQueue::Urgent, AType, APayload, false);
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

void TPacketWriter::PlainSession() { ChangeWire(TSessionWire::Plain, nullptr); }
void TPacketWriter::HoldSession() { ChangeWire(TSessionWire::Held, nullptr); }
void TPacketWriter::SealSession(std::unique_ptr<IPacketSealer> ASealer) {
  if (!ASealer) throw TError("No sealer");
  if (ASealer->SealedOverhead() > SealRoom) throw TError("Seal larger than the writer's room for it");
  ChangeWire(TSessionWire::Sealed, std::move(ASealer));
}

TSessionWire TPacketWriter::SessionWire() const { return TSessionWire(FWire.load() & 3); }

void TPacketWriter::ChangeWire(TSessionWire AMode, std::unique_ptr<IPacketSealer> ASealer) {
  std::lock_guard hold(FSealLock);
  FSealer = std::move(ASealer);
  const uint64_t epoch = (FWire.load() >> 2) + 1;
  FWire.store(epoch << 2 | uint64_t(AMode));
}

bool TPacketWriter::Prepare(TQueued& AItem) {
  if (!AItem.Session) return true;
  std::lock_guard hold(FSealLock);
  if (AItem.Epoch != FWire.load() >> 2) return false;  // queued for a session wire that is gone
  if (!AItem.Seal) return true;
  uint8_t* payload = AItem.Packet.data() + PacketHeaderSize;
  const size_t len = AItem.Packet.size() - PacketHeaderSize - SealRoom;
  const uint32_t type = GetLE32(AItem.Packet.data());
  FSealer->SealInPlace(type, payload, len);
  const size_t sealed = len + FSealer->SealedOverhead();
  PutLE32(AItem.Packet.data(), FSealer->SealedType());
  PutLE32(AItem.Packet.data() + 4, uint32_t(sealed));
  AItem.Packet.resize(PacketHeaderSize + sealed);
  return true;
}

bool TPacketWriter::Flush(int AMs) {
  std::unique_lock hold(FLock);
  FSpace.wait_for(hold, std::chrono::milliseconds(AMs),
                  [&] { return FStopped || FFailed || (FUrgent.empty() && FBulk.empty() && !FWriting); });
  return !FStopped && !FFailed && FUrgent.empty() && FBulk.empty() && !FWriting;
}

void TPacketWriter::Run() {
  std::vector<TQueued> taken;
  TBytes batch;
  for (;;) {
    {
      std::unique_lock hold(FLock);
      FWriting = false;
      FSpace.notify_all();
      FWork.wait(hold, [&] { return FStopped || !FUrgent.empty() || !FBulk.empty(); });
      if (FStopped) return;
      taken.clear();
      if (!FUrgent.empty()) {
        // Every small packet waiting now, in order, in one write.
        size_t bytes = 0;
        while (!FUrgent.empty() && (taken.empty() || bytes + FUrgent.front().Packet.size() <= MaxBatchBytes)) {
          bytes += FUrgent.front().Packet.size();
          FUrgentBytes -= FUrgent.front().Packet.size();
          taken.push_back(std::move(FUrgent.front()));
          FUrgent.pop_front();
        }
      } else {
        taken.push_back(std::move(FBulk.front()));
        FBulk.pop_front();
      }
      FWriting = true;
    }
    FSpace.notify_all();
    try {
      // Sealing happens here, outside the queue's lock: a producer on the user-interface
      // thread never waits for a frame to be encrypted.
      batch.clear();
      const TBytes* single = nullptr;
      for (TQueued& item : taken) {
        if (!Prepare(item)) continue;
        if (taken.size() == 1) {
          single = &item.Packet;  // a bulk packet or a lone small one: no copy into the batch
          break;
        }
        batch.insert(batch.end(), item.Packet.begin(), item.Packet.end());
      }
      const TBytes& out = single ? *single : batch;
      if (!out.empty()) FConn.WriteAll(out.data(), out.size());
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
