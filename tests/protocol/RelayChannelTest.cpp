// The shared relay connection owner: how a channel ends (each way exactly once, with the first
// cause, a sealed session's refused packet among them), that packets reach the handler in
// order, and that waiting producers are released.
#include "protocol/RelayChannel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/Error.h"
#include "protocol/Messages.h"
#include "protocol/Packet.h"
#include "protocol/SecureChannel.h"
#include "tests/support/Loopback.h"
#include "tests/support/PacketWrites.h"

namespace tlm::test {
namespace {

using namespace std::chrono_literals;

// What a channel's handlers saw, safe to read from the test thread.
struct TSeen {
  std::mutex Lock;
  std::condition_variable Changed;
  std::vector<uint32_t> Types;
  int Ended = 0;
  std::string Why;
  bool Connected = false;

  bool WaitPackets(size_t ACount, std::chrono::milliseconds AFor = 5s) {
    std::unique_lock hold(Lock);
    return Changed.wait_for(hold, AFor, [&] { return Types.size() >= ACount; });
  }
  bool WaitEnded(std::chrono::milliseconds AFor = 5s) {
    std::unique_lock hold(Lock);
    return Changed.wait_for(hold, AFor, [&] { return Ended > 0; });
  }
};

void Watch(TRelayChannel& AChannel, TSeen& ASeen) {
  AChannel.OnPacket = [&](const TPacket& APacket) {
    if (APacket.Type == MsgChat && TextOf(APacket.Payload) == "throw") throw TError("handler failed");
    std::lock_guard hold(ASeen.Lock);
    ASeen.Types.push_back(APacket.Type);
    ASeen.Changed.notify_all();
  };
  AChannel.OnEnded = [&](const std::string& AWhy, bool AConnected) {
    std::lock_guard hold(ASeen.Lock);
    ASeen.Ended++;
    ASeen.Why = AWhy;
    ASeen.Connected = AConnected;
    ASeen.Changed.notify_all();
  };
}

TRelayChannelSettings To(uint16_t APort) {
  TRelayChannelSettings settings;
  settings.Host = "127.0.0.1";
  settings.Port = APort;
  settings.ConnectTimeoutMs = 3000;
  settings.PollMs = 20;
  return settings;
}

TEST(RelayChannel, EachWayOfEndingEndsItOnceWithTheFirstCause) {
  struct TCase {
    const char* Name;
    std::function<void(TRelayChannel&, TTcpConnection& ARelay)> Act;
    std::string Why;  // "" = any text
    bool Connected;
  };
  const TCase cases[] = {
      {"the relay closes", [](TRelayChannel&, TTcpConnection& ARelay) { ARelay.Close(); }, "", true},
      {"the owner ends it", [](TRelayChannel& AChannel, TTcpConnection&) { AChannel.End("user"); }, "user", true},
      {"ended twice, from two threads",
       [](TRelayChannel& AChannel, TTcpConnection&) {
         std::thread other([&] { AChannel.End("first"); });
         other.join();
         AChannel.End("second");
       },
       "first", true},
      {"a handler throws",
       [](TRelayChannel&, TTcpConnection& ARelay) { WriteTextPacket(ARelay, MsgChat, "throw", nullptr); },
       "handler failed", true},
      {"an oversized packet",
       [](TRelayChannel&, TTcpConnection& ARelay) {
         const uint8_t head[8] = {41, 0, 0, 0, 1, 0, 0, 5};  // length 0x05000001
         ARelay.WriteAll(head, sizeof head);
       },
       "Packet too large (83886081 bytes)", true},
      {"a session message in clear once the session is sealed",
       [](TRelayChannel& AChannel, TTcpConnection& ARelay) {
         AChannel.OpenSession(std::make_unique<TOpener>(TSealKey{}));
         WriteTextPacket(ARelay, MsgChat, "injected", nullptr);
       },
       "암호화된 세션에 평문 메시지가 왔습니다", true},
      {"a sealed packet that does not open",
       [](TRelayChannel& AChannel, TTcpConnection& ARelay) {
         AChannel.OpenSession(std::make_unique<TOpener>(TSealKey{}));
         TSealKey other{};
         other[0] = 1;
         WritePacket(ARelay, MsgSealed, TSealer(other).Seal(MsgChat, BytesOf("hi")), nullptr);
       },
       "봉인된 메시지가 변조되었거나 순서가 어긋났습니다", true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TLoopbackListener relay;
    TSeen seen;
    TRelayChannel channel(To(relay.Port()));
    Watch(channel, seen);
    channel.OnConnected = [&] { channel.Writer().PostWait(MsgHostRegister, BytesOf("key")); };
    channel.Start();
    std::unique_ptr<TTcpConnection> far = relay.Accept();
    EXPECT_EQ(ReadPacket(*far).Type, MsgHostRegister);
    WriteTextPacket(*far, MsgHostId, "1", nullptr);
    ASSERT_TRUE(seen.WaitPackets(1));
    c.Act(channel, *far);
    ASSERT_TRUE(seen.WaitEnded());
    channel.Wait();
    EXPECT_TRUE(channel.Finished());
    std::lock_guard hold(seen.Lock);
    EXPECT_EQ(seen.Ended, 1);
    EXPECT_EQ(seen.Connected, c.Connected);
    if (!c.Why.empty()) {
      EXPECT_EQ(seen.Why, c.Why);
    }
    EXPECT_FALSE(seen.Why.empty());
    EXPECT_EQ(seen.Why, channel.Cause());
    // The packet before the end reached the handler; nothing may be sent any more.
    EXPECT_EQ(seen.Types, std::vector<uint32_t>{MsgHostId});
    EXPECT_FALSE(channel.Writer().Post(MsgChat));
  }
}

TEST(RelayChannel, AFailedConnectEndsItUnconnected) {
  uint16_t port = 0;
  {
    TLoopbackListener closed;
    port = closed.Port();
  }
  TSeen seen;
  TRelayChannel channel(To(port));
  Watch(channel, seen);
  bool connected = false;
  channel.OnConnected = [&] { connected = true; };
  channel.Start();
  ASSERT_TRUE(seen.WaitEnded());
  channel.Wait();
  EXPECT_FALSE(connected);
  std::lock_guard hold(seen.Lock);
  EXPECT_EQ(seen.Ended, 1);
  EXPECT_FALSE(seen.Connected);
  EXPECT_NE(seen.Why.find("refused"), std::string::npos) << seen.Why;
}

// A relay that says nothing for the silence limit is given up; the periodic turn runs meanwhile.
TEST(RelayChannel, SilenceEndsItAndTurnsRunMeanwhile) {
  TLoopbackListener relay;
  TSeen seen;
  TRelayChannelSettings settings = To(relay.Port());
  settings.SilenceLimitMs = 300;
  TRelayChannel channel(settings);
  Watch(channel, seen);
  std::atomic<int> turns{0};
  channel.OnTurn = [&] { turns++; };
  channel.Start();
  std::unique_ptr<TTcpConnection> far = relay.Accept();
  ASSERT_TRUE(seen.WaitEnded());
  channel.Wait();
  EXPECT_GE(turns.load(), 3);
  std::lock_guard hold(seen.Lock);
  EXPECT_EQ(seen.Why, "Read timed out");
}

// A producer waiting for room (a relay that reads nothing) is released by the end with an
// error, so an owner that waits for that producer never waits on the network.
TEST(RelayChannel, TheEndReleasesWaitingProducers) {
  TLoopbackListener relay;
  TSeen seen;
  TRelayChannelSettings settings = To(relay.Port());
  settings.Limits.MaxUrgentBytes = 1 << 20;
  TRelayChannel channel(settings);
  Watch(channel, seen);
  channel.Start();
  std::unique_ptr<TTcpConnection> far = relay.Accept();  // reads nothing from here on
  auto producer = std::async(std::launch::async, [&] {
    const TBytes chunk(256 << 10, 7);
    try {
      for (;;) channel.Writer().PostWait(MsgFileChunk, chunk);
    } catch (const TConnectionError&) {
      return true;
    }
  });
  EXPECT_EQ(producer.wait_for(500ms), std::future_status::timeout) << "the producer waits for room";
  channel.End("stalled");
  ASSERT_EQ(producer.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(producer.get());
  ASSERT_TRUE(seen.WaitEnded());
  std::lock_guard hold(seen.Lock);
  EXPECT_EQ(seen.Why, "stalled");
}

}  // namespace
}  // namespace tlm::test
