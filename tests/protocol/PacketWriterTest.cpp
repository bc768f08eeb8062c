// The two-queue packet writer against a connection whose writes the test holds back: small
// packets overtake queued bulk ones, the bounds and their behaviour when full, failure and
// stop releasing every waiter.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "protocol/Error.h"
#include "protocol/Packet.h"
#include "protocol/PacketWriter.h"

namespace tlm {
namespace {

using namespace std::chrono_literals;

// Records every write; while Held, a write waits until released. Fail makes writes throw.
class TGatedConnection final : public IConnection {
public:
  void WriteAll(const void* AData, size_t ALen) override {
    std::unique_lock hold(FLock);
    ++FWritesStarted;
    FChanged.notify_all();
    FChanged.wait(hold, [&] { return !FHeld || FFail; });
    if (FFail) throw TConnectionError("broken pipe");
    auto p = static_cast<const uint8_t*>(AData);
    FWritten.insert(FWritten.end(), p, p + ALen);
    FChanged.notify_all();
  }
  void ReadExact(void*, size_t) override { throw TConnectionError("not readable"); }
  bool WaitReadable(int) override { return false; }

  void Hold(bool AHeld) {
    std::lock_guard hold(FLock);
    FHeld = AHeld;
    FChanged.notify_all();
  }
  void Fail() {
    std::lock_guard hold(FLock);
    FFail = true;
    FChanged.notify_all();
  }
  bool WaitWrites(int AStarted) {
    std::unique_lock hold(FLock);
    return FChanged.wait_for(hold, 5s, [&] { return FWritesStarted >= AStarted; });
  }
  // The packet types written so far, in order.
  std::vector<uint32_t> Types() {
    std::lock_guard hold(FLock);
    std::vector<uint32_t> types;
    for (size_t at = 0; at + PacketHeaderSize <= FWritten.size();) {
      types.push_back(GetLE32(&FWritten[at]));
      at += PacketHeaderSize + GetLE32(&FWritten[at + 4]);
    }
    return types;
  }
  bool WaitTypes(size_t ACount) {
    std::unique_lock hold(FLock);
    hold.unlock();
    for (int i = 0; i < 500; ++i) {
      if (Types().size() >= ACount) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

private:
  std::mutex FLock;
  std::condition_variable FChanged;
  bool FHeld = false;
  bool FFail = false;
  int FWritesStarted = 0;
  TBytes FWritten;
};

const TBytes Chunk(1000, 0xAB);

TEST(PacketWriterTest, SmallPacketsOvertakeQueuedChunksButNeverSplitOne) {
  TGatedConnection conn;
  TPacketWriter writer(conn);
  writer.Start();
  conn.Hold(true);
  writer.PostBulk(49, Chunk);  // being written
  ASSERT_TRUE(conn.WaitWrites(1));
  writer.PostBulk(49, Chunk);  // waits in the bulk queue
  EXPECT_TRUE(writer.Post(32, TBytes(12, 1)));
  EXPECT_TRUE(writer.PostText(41, "chat"));
  writer.PostWait(18);
  conn.Hold(false);
  ASSERT_TRUE(conn.WaitTypes(5));
  EXPECT_EQ(conn.Types(), (std::vector<uint32_t>{49, 32, 41, 18, 49}));
  EXPECT_TRUE(writer.Flush(5000));
}

TEST(PacketWriterTest, FullQueuesDropForTheUiAndWaitForTheOthers) {
  TGatedConnection conn;
  TPacketWriterLimits limits;
  limits.MaxUrgentBytes = 100;
  TPacketWriter writer(conn, limits);
  writer.Start();
  conn.Hold(true);
  writer.PostBulk(49, Chunk);
  ASSERT_TRUE(conn.WaitWrites(1));
  EXPECT_TRUE(writer.Post(32, TBytes(60, 1)));
  // 68 + 68 bytes exceed the bound: the UI's packet is dropped at once.
  const auto before = std::chrono::steady_clock::now();
  EXPECT_FALSE(writer.Post(32, TBytes(60, 2)));
  EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);

  // The reader's acknowledgement and the next chunk wait for room instead.
  auto ack = std::async(std::launch::async, [&] { writer.PostWait(18, TBytes(60, 3)); });
  writer.PostBulk(49, Chunk);  // fills the bulk queue
  auto chunk = std::async(std::launch::async, [&] { writer.PostBulk(49, Chunk); });
  EXPECT_EQ(ack.wait_for(100ms), std::future_status::timeout);
  EXPECT_EQ(chunk.wait_for(100ms), std::future_status::timeout);
  conn.Hold(false);
  EXPECT_EQ(ack.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(chunk.wait_for(5s), std::future_status::ready);
  ack.get();
  chunk.get();
  EXPECT_TRUE(writer.Flush(5000));
  // The waiting acknowledgement entered the queue only when room was made, so it may follow
  // the next chunk; nothing was lost and the queued small packet went first.
  std::vector<uint32_t> types = conn.Types();
  ASSERT_EQ(types.size(), 5u);
  EXPECT_EQ(types[0], 49u);
  EXPECT_EQ(types[1], 32u);
  EXPECT_EQ(std::count(types.begin(), types.end(), 18u), 1);
  EXPECT_EQ(std::count(types.begin(), types.end(), 49u), 3);

  // A packet above the whole bound still goes out once the queue is empty.
  EXPECT_TRUE(writer.Post(40, TBytes(500, 4)));
  EXPECT_TRUE(writer.Flush(5000));
}

TEST(PacketWriterTest, FailureAndStopReleaseEveryWaiter) {
  struct TCase {
    const char* What;
    bool Fail;  // else Stop
  } cases[] = {{"write fails", true}, {"writer stopped", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    TGatedConnection conn;
    TPacketWriter writer(conn);
    std::atomic<int> failures{0};
    writer.OnFailure = [&](const std::string& AWhy) {
      EXPECT_EQ(AWhy, "broken pipe");
      ++failures;
    };
    writer.Start();
    conn.Hold(true);
    writer.PostBulk(49, Chunk);
    ASSERT_TRUE(conn.WaitWrites(1));
    writer.PostBulk(49, Chunk);
    auto blocked = std::async(std::launch::async, [&] { writer.PostBulk(49, Chunk); });
    EXPECT_EQ(blocked.wait_for(100ms), std::future_status::timeout);
    // Stop releases the waiters before it waits for the held write, which the owner ends.
    std::future<void> stopping;
    if (c.Fail)
      conn.Fail();
    else
      stopping = std::async(std::launch::async, [&] { writer.Stop(); });
    ASSERT_EQ(blocked.wait_for(5s), std::future_status::ready);
    EXPECT_THROW(blocked.get(), TConnectionError);
    EXPECT_FALSE(writer.Post(32, TBytes(12, 1)));
    EXPECT_THROW(writer.PostWait(18), TConnectionError);
    EXPECT_FALSE(writer.Flush(100));
    EXPECT_EQ(writer.Failed(), c.Fail);
    EXPECT_EQ(failures.load(), c.Fail ? 1 : 0);
    conn.Fail();  // ends the held write, so the stopped writer's thread can be joined
    if (stopping.valid()) stopping.get();
    writer.Stop();
    EXPECT_EQ(failures.load(), c.Fail ? 1 : 0);
  }
}

}  // namespace
}  // namespace tlm
