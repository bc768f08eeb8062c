// The two-queue packet writer against a connection whose writes the test holds back: small
// packets overtake queued bulk ones, the bounds and their behaviour when full, failure and
// stop releasing every waiter; session messages held, sealed or dropped by the wire mode.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "protocol/Error.h"
#include "protocol/Packet.h"
#include "protocol/PacketWriter.h"
#include "protocol/Messages.h"
#include "protocol/SecureChannel.h"

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
  // The packets written so far, whole.
  std::vector<TPacket> Packets() {
    std::lock_guard hold(FLock);
    std::vector<TPacket> packets;
    for (size_t at = 0; at + PacketHeaderSize <= FWritten.size();) {
      const uint32_t len = GetLE32(&FWritten[at + 4]);
      packets.push_back({GetLE32(&FWritten[at]), TBytes(FWritten.begin() + at + PacketHeaderSize,
                                                         FWritten.begin() + at + PacketHeaderSize + len)});
      at += PacketHeaderSize + len;
    }
    return packets;
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

TSealKey SealKey() {
  TSealKey key;
  key.fill(0x5a);
  return key;
}

// What the far end's reader makes of the written packets: each through the opener, as the
// relay channel does; the first refused packet ends the reading.
struct TReadBack {
  std::vector<TPacket> Opened;
  bool Refused = false;
};
TReadBack ReadBack(const std::vector<TPacket>& APackets) {
  TReadBack back;
  TOpener opener(SealKey());
  for (TPacket packet : APackets) {
    try {
      back.Opened.push_back(opener.OpenPacket(std::move(packet)));
    } catch (const TSecureError&) {
      back.Refused = true;
      break;
    }
  }
  return back;
}

TEST(PacketWriterTest, SessionMessagesFollowTheWireModeAndOthersNever) {
  struct TCase {
    const char* Name;
    TSessionWire Mode;
    bool ChatQueued;      // Post's answer for the chat line
    bool ChatSealed;      // it left as MsgSealed
  } cases[] = {
      {"plain", TSessionWire::Plain, true, false},
      {"held for the handshake", TSessionWire::Held, false, false},
      {"sealed", TSessionWire::Sealed, true, true},
  };
  const TBytes line = BytesOf("a chat line nobody in between may read");
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TGatedConnection conn;
    TPacketWriter writer(conn);
    writer.Start();
    if (c.Mode == TSessionWire::Held) writer.HoldSession();
    if (c.Mode == TSessionWire::Sealed) writer.SealSession(std::make_unique<TSealer>(SealKey()));
    EXPECT_EQ(writer.SessionWire(), c.Mode);
    EXPECT_TRUE(writer.Post(MsgKeepAlive));
    EXPECT_TRUE(writer.Post(MsgSecureConfirm, TBytes(32, 7)));
    EXPECT_EQ(writer.Post(MsgChat, line), c.ChatQueued);
    writer.PostWait(MsgFrameAck);  // dropped too while held, without waiting or throwing
    ASSERT_TRUE(writer.Flush(5000));
    const std::vector<TPacket> written = conn.Packets();
    ASSERT_EQ(written.size(), c.ChatQueued ? 4u : 2u);
    // The relay's and the handshake's codes always go in clear.
    EXPECT_EQ(written[0].Type, MsgKeepAlive);
    EXPECT_EQ(written[1].Type, MsgSecureConfirm);
    if (!c.ChatQueued) continue;
    EXPECT_EQ(written[2].Type, c.ChatSealed ? MsgSealed : MsgChat);
    EXPECT_EQ(written[2].Payload.size(), line.size() + (c.ChatSealed ? SealOverhead : 0));
    EXPECT_EQ(std::search(written[2].Payload.begin(), written[2].Payload.end(), line.begin(), line.end()) !=
                  written[2].Payload.end(),
              !c.ChatSealed);
    if (c.ChatSealed) {
      const TReadBack back = ReadBack({written[2], written[3]});
      ASSERT_FALSE(back.Refused);
      EXPECT_EQ(back.Opened[0].Type, MsgChat);
      EXPECT_EQ(back.Opened[0].Payload, line);
      EXPECT_EQ(back.Opened[1].Type, MsgFrameAck);
    }
  }
}

TEST(PacketWriterTest, SealingFollowsTheWireOrderWhenSmallPacketsOvertakeAChunk) {
  TGatedConnection conn;
  TPacketWriter writer(conn);
  writer.Start();
  writer.SealSession(std::make_unique<TSealer>(SealKey()));
  conn.Hold(true);
  writer.PostBulk(MsgFileChunk, Chunk);  // being written
  ASSERT_TRUE(conn.WaitWrites(1));
  writer.PostBulk(MsgFileChunk, Chunk);  // waits, queued before the small ones
  EXPECT_TRUE(writer.Post(MsgKey, TBytes(6, 1)));
  EXPECT_TRUE(writer.PostText(MsgChat, "overtakes"));
  conn.Hold(false);
  ASSERT_TRUE(writer.Flush(5000));
  // Counters were taken at the wire, not at the queue: the far end opens all four in order.
  const TReadBack back = ReadBack(conn.Packets());
  EXPECT_FALSE(back.Refused);
  std::vector<uint32_t> types;
  for (const TPacket& p : back.Opened) types.push_back(p.Type);
  EXPECT_EQ(types, (std::vector<uint32_t>{MsgFileChunk, MsgKey, MsgChat, MsgFileChunk}));
}

TEST(PacketWriterTest, NothingQueuedUnderAnEarlierWireModeLeaves) {
  struct TCase {
    const char* Name;
    std::function<void(TPacketWriter&)> Before, After;
  };
  const TCase cases[] = {
      {"queued in clear, then sealing began", [](TPacketWriter&) {},
       [](TPacketWriter& w) { w.SealSession(std::make_unique<TSealer>(SealKey())); }},
      {"queued sealed, then the session ended",
       [](TPacketWriter& w) { w.SealSession(std::make_unique<TSealer>(SealKey())); },
       [](TPacketWriter& w) { w.HoldSession(); }},
      {"queued for one plain session, then the next began", [](TPacketWriter&) {},
       [](TPacketWriter& w) { w.PlainSession(); }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TGatedConnection conn;
    TPacketWriter writer(conn);
    writer.Start();
    c.Before(writer);
    conn.Hold(true);
    writer.PostBulk(MsgKeepAlive, Chunk);  // a write in progress holds the queue back
    ASSERT_TRUE(conn.WaitWrites(1));
    EXPECT_TRUE(writer.PostText(MsgClipboard, "old session's clipboard"));
    EXPECT_TRUE(writer.Post(MsgKeepAlive));
    c.After(writer);
    conn.Hold(false);
    ASSERT_TRUE(writer.Flush(5000));
    EXPECT_EQ(conn.Types(), (std::vector<uint32_t>{MsgKeepAlive, MsgKeepAlive}));
  }
}

TEST(PacketWriterTest, TheReaderOpensASealedSessionAndRefusesAnythingInClear) {
  TSealer sealer(SealKey());
  const TPacket chat{MsgSealed, sealer.Seal(MsgChat, BytesOf("hi"))};
  struct TCase {
    const char* Name;
    std::vector<TPacket> Arrives;
    size_t Opened;
    bool Refused;
  };
  TSealer other(SealKey());
  other.Seal(MsgChat, BytesOf("skipped"));
  const TCase cases[] = {
      {"sealed, then the relay's own messages", {chat, {MsgKeepAlive, {}}, {MsgSessionEnd, {}}}, 3, false},
      {"a session message in clear", {chat, {MsgChat, BytesOf("injected")}}, 1, true},
      {"a handshake step in clear", {chat, {MsgSecureAbort, {3}}}, 1, true},
      {"a relay's message smuggled inside the seal", {{MsgSealed, TSealer(SealKey()).Seal(MsgHostId, BytesOf("1"))}}, 0, true},
      {"the host's admission sealed again", {{MsgSealed, TSealer(SealKey()).Seal(MsgSecureAdmitted, {})}}, 0, true},
      {"a packet out of order", {{MsgSealed, other.Seal(MsgChat, BytesOf("second"))}}, 0, true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const TReadBack back = ReadBack(c.Arrives);
    EXPECT_EQ(back.Opened.size(), c.Opened);
    EXPECT_EQ(back.Refused, c.Refused);
  }
}

}  // namespace
}  // namespace tlm
