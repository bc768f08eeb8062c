// Attacks on the relay by clients that follow the protocol only as far as it suits them. Each
// test shows the attack failing and a legitimate client still being served.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "protocol/Error.h"
#include "relay/RelayHub.h"
#include "tests/relay/RelayFixture.h"
#include "tests/relay/SessionTraffic.h"

namespace tlm::test {
namespace {

using std::chrono::milliseconds;

class RelayHostile : public TRelayFixture {};

// One connect request whose viewer goes away must not keep the host busy for the next one.
TEST_F(RelayHostile, ViewerThatAsksAndLeavesDoesNotLockOutTheNextOne) {
  StartRelay();
  auto host = Peer();
  const std::string id = host->Register("victim");
  {
    auto attacker = Peer();
    attacker->RequestConnect(id, "attacker");
    host->Expect(MsgAdmitRequest);
  }
  host->Expect(MsgAdmitWithdrawn);

  // A viewer with the right password asks before the host has answered the withdrawn request:
  // it is neither refused nor passed on until that answer arrives.
  auto viewer = Peer();
  const auto asked = std::chrono::steady_clock::now();
  viewer->RequestConnect(id, "friend", "proof");
  EXPECT_TRUE(host->QuietFor(100));
  // Our host answers a withdrawal as a refusal; it refuses nobody who still waits.
  host->SendText(MsgAdmitReject, AdmitRejectReason);
  EXPECT_EQ(host->ExpectText(MsgAdmitRequest), "127.0.0.1\tfriend\tproof");
  host->Send(MsgAdmitAccept);
  host->Expect(MsgSessionStart);
  viewer->Expect(MsgSessionStart);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(2));
}

TEST_F(RelayHostile, AtMostOneRequestIsOutstandingOrQueuedAtAHost) {
  StartRelay();
  auto host = Peer();
  const std::string id = host->Register("victim");
  auto first = Peer();
  first->RequestConnect(id, "first");
  host->Expect(MsgAdmitRequest);
  first.reset();
  host->Expect(MsgAdmitWithdrawn);

  // One request queues behind the owed answer; a second one finds the host busy.
  auto queued = Peer();
  queued->RequestConnect(id, "queued");
  auto third = Peer();
  third->RequestConnect(id, "third");
  EXPECT_EQ(third->ExpectText(MsgRelayError), relaytext::Busy);

  // A queued viewer that leaves never reaches the host: after the owed answer all is quiet,
  // and the host is free for the next one.
  queued.reset();
  EXPECT_TRUE(WaitUntil([&] { return LogContains("admission abandoned: viewer 'queued'"); }));
  host->Send(MsgAdmitReject);
  EXPECT_TRUE(host->QuietFor(200));
  auto next = Peer();
  next->RequestConnect(id, "next");
  EXPECT_EQ(host->ExpectText(MsgAdmitRequest), "127.0.0.1\tnext\t");
}

TEST_F(RelayHostile, HostLeavingRefusesTheQueuedViewerToo) {
  StartRelay();
  auto host = Peer();
  const std::string id = host->Register("victim");
  auto first = Peer();
  first->RequestConnect(id);
  host->Expect(MsgAdmitRequest);
  first.reset();
  host->Expect(MsgAdmitWithdrawn);
  auto queued = Peer();
  queued->RequestConnect(id);
  EXPECT_TRUE(WaitUntil([&] { return LogContains("admission queued"); }));
  host.reset();
  EXPECT_EQ(queued->ExpectText(MsgRelayError), relaytext::HostLeft);
}

TEST_F(RelayHostile, ConnectRequestsPerHostAreLimitedForOneAddress) {
  auto options = TestOptions();
  options.ConnectRequestsPerHostPerMinute = 3;
  StartRelay(options);
  auto host = Peer();
  const std::string id = host->Register("victim");
  auto other = Peer();
  const std::string otherId = other->Register("bystander");
  for (int i = 0; i < 3; ++i) {
    auto guesser = Peer();
    guesser->RequestConnect(id, "guess", "wrong-proof");
    host->Expect(MsgAdmitRequest);
    host->Send(MsgAdmitReject);
    EXPECT_EQ(guesser->ExpectText(MsgRelayError), AdmitRejectReason);
  }
  auto guesser = Peer();
  guesser->RequestConnect(id, "guess", "wrong-proof");
  EXPECT_EQ(guesser->ExpectText(MsgRelayError), relaytext::Busy);
  EXPECT_TRUE(host->QuietFor(200));
  // Another host is not affected.
  auto viewer = Peer();
  viewer->RequestConnect(otherId);
  other->Expect(MsgAdmitRequest);
}

// Connections that send a byte now and then but never a whole packet lose their slots.
TEST_F(RelayHostile, TricklingConnectionsAreClosedByTheirDeadlinesAndARealHostGetsIn) {
  auto options = TestOptions();
  options.MaxConnections = 50;
  options.FirstPacketTimeout = milliseconds(1500);
  options.PacketCompletionTime = milliseconds(400);
  options.IdleTimeout = milliseconds(60000);
  StartRelay(options);

  // Half of them never send a first packet; the other half register and then start a packet
  // that they feed a byte at a time.
  std::vector<std::unique_ptr<TScriptedPeer>> drips;
  for (int i = 0; i < 50; ++i) {
    drips.push_back(Peer());
    if (i % 2 == 1) {
      EXPECT_EQ(drips.back()->Register("drip-" + std::to_string(i)).size(), 9u);
    }
  }
  EXPECT_TRUE(WaitUntil([&] { return FRelay->Stats().Connections == 50; }));
  {
    auto refused = Peer();
    EXPECT_EQ(refused->ExpectText(MsgRelayError), relaytext::TooManyConnections);
  }
  const TBytes started = [] {
    TBytes header(8);
    PutLE32(header.data(), MsgKeepAlive);
    PutLE32(header.data() + 4, 1000);
    return header;
  }();
  std::atomic<bool> drip{true};
  std::thread dripper([&] {
    for (size_t step = 0; drip; ++step) {
      for (size_t i = 1; i < drips.size(); i += 2) {
        try {
          const uint8_t byte = step < started.size() ? started[step] : 0;
          drips[i]->SendRaw(&byte, 1);
        } catch (const TError&) {
        }
      }
      std::this_thread::sleep_for(milliseconds(50));
    }
  });
  const bool allClosed = WaitUntil([&] { return FRelay->Stats().Connections == 0; });
  drip = false;
  dripper.join();
  EXPECT_TRUE(allClosed) << FRelay->Stats().Connections << " trickling connections still open";
  EXPECT_TRUE(LogContains("no complete packet in time after connecting"));
  EXPECT_TRUE(LogContains("packet not completed in time"));

  auto host = Peer();
  const std::string id = host->Register("real host");
  EXPECT_EQ(id.size(), 9u);
  auto viewer = Peer();
  viewer->RequestConnect(id);
  host->Expect(MsgAdmitRequest);
}

TEST_F(RelayHostile, NewDeviceKeysAreBudgetedPerAddressButKnownKeysAlwaysRegister) {
  auto options = TestOptions();
  options.NewKeysPerIpPerMinute = 3;
  options.LogBurst = 2;
  options.LogSummaryInterval = milliseconds(300);
  StartRelay(options);
  std::vector<std::string> ids;
  for (int i = 0; i < 3; ++i) {
    auto host = Peer();
    ids.push_back(host->Register("key-" + std::to_string(i)));
    EXPECT_EQ(ids.back().size(), 9u);
  }
  // A flood of fresh keys is refused: no ID, the connection closed, and no row stored.
  for (int i = 0; i < 20; ++i) {
    auto host = Peer();
    host->SendText(MsgHostRegister, "flood-" + std::to_string(i));
    EXPECT_TRUE(host->WaitClosed());
  }
  // A known key still gets its own ID back.
  auto known = Peer();
  EXPECT_EQ(known->Register("key-1"), ids[1]);
  // The refusals were written twice, then summarised in one line.
  EXPECT_TRUE(WaitUntil([&] { return LogContains("refused new key: 18 more like this"); }));
  size_t written = 0;
  {
    std::lock_guard<std::mutex> hold(FLogLock);
    for (const auto& line : FLogLines) written += line.find("refused registration of a new device key") == 0;
  }
  EXPECT_EQ(written, 2u);
}

TEST_F(RelayHostile, NewDeviceKeysAreBudgetedInAllPerSecond) {
  auto options = TestOptions();
  options.NewKeysPerSecond = 2;
  StartRelay(options);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(Peer()->Register("key-" + std::to_string(i)).size(), 9u);
  auto refused = Peer();
  refused->SendText(MsgHostRegister, "key-2");
  EXPECT_TRUE(refused->WaitClosed());
  std::this_thread::sleep_for(milliseconds(1100));
  EXPECT_EQ(Peer()->Register("key-2").size(), 9u);
}

TEST_F(RelayHostile, IdsOfHostsNotSeenForTooLongAreForgottenButOnlineOnesKept) {
  auto options = TestOptions();
  options.ForgetAfter = std::chrono::seconds(1);
  options.ForgetSweepInterval = milliseconds(100);
  StartRelay(options);
  std::string goneId;
  {
    auto gone = Peer();
    goneId = gone->Register("gone");
  }
  auto online = Peer();
  const std::string onlineId = online->Register("online");
  EXPECT_TRUE(WaitUntil([&] { return FRelay->Stats().IdsForgotten == 1; }));
  EXPECT_TRUE(LogContains("forgot 1 IDs"));
  // The host that stayed connected keeps its ID when it comes back; the key that was
  // forgotten is a new key again.
  online.reset();
  EXPECT_TRUE(WaitUntil([&] { return FRelay->Stats().Hosts == 0; }));
  EXPECT_EQ(Peer()->Register("online"), onlineId);
  EXPECT_EQ(FRelay->Stats().IdsForgotten, 1u);
  const std::string again = Peer()->Register("gone");
  EXPECT_EQ(again.size(), 9u);
  EXPECT_NE(again, goneId);
}

// Many stalled viewers together may not hold more than the relay's total queue budget, and a
// session whose viewer keeps up is not held back by them.
TEST_F(RelayHostile, StalledViewersAreHeldToTheTotalQueueBudget) {
  auto options = TestOptions();
  options.QueueLimitBytes = 1 << 20;
  options.MaxQueuedBytes = 1 << 20;
  options.SpliceLargePayloads = false;
  StartRelay(options);
  constexpr int Stalled = 3;
  // 24 MiB per stalled session: far more than the socket buffers on the way hold.
  constexpr uint32_t Chunks = 384;
  std::vector<TPair> pairs;
  for (int i = 0; i < Stalled; ++i) pairs.push_back(OpenSession("stalled-" + std::to_string(i)));
  std::vector<std::thread> senders;
  std::vector<std::string> faults(Stalled);
  for (int i = 0; i < Stalled; ++i) {
    senders.emplace_back([&, i] {
      try {
        for (uint32_t seq = 0; seq < Chunks; ++seq)
          pairs[i].Host->Send(MsgFileChunk, NumberedPayload(seq, FileChunkSize));
      } catch (const std::exception& e) {
        faults[i] = e.what();
      }
    });
  }
  // Wait until the relay holds the budget and the senders are stuck.
  EXPECT_TRUE(WaitUntil([&] { return FRelay->Stats().QueuedBytes >= options.MaxQueuedBytes; }));
  std::this_thread::sleep_for(milliseconds(300));

  auto lively = OpenSession("lively");
  for (int i = 0; i < 5; ++i) {
    lively.Host->SendText(MsgChat, "ping " + std::to_string(i));
    EXPECT_EQ(lively.Viewer->ExpectText(MsgChat), "ping " + std::to_string(i));
    lively.Viewer->SendText(MsgChat, "pong");
    EXPECT_EQ(lively.Host->ExpectText(MsgChat), "pong");
  }
  // Overshoot: at most one forwarded piece per sender that was let through.
  const size_t bound = options.MaxQueuedBytes + Stalled * (MaxForwardPiece + 64);
  EXPECT_LE(FRelay->Stats().PeakTotalQueuedBytes, bound);

  // Drained, every byte arrives in order.
  for (int i = 0; i < Stalled; ++i) {
    for (uint32_t seq = 0; seq < Chunks; ++seq) {
      auto packet = pairs[i].Viewer->Next(20000);
      ASSERT_TRUE(packet) << "session " << i << " chunk " << seq;
      ASSERT_EQ(packet->Type, MsgFileChunk);
      ASSERT_EQ(CheckNumbered(packet->Payload, seq, FileChunkSize), "") << "session " << i;
    }
  }
  for (auto& t : senders) t.join();
  for (const auto& fault : faults) EXPECT_EQ(fault, "");
  EXPECT_LE(FRelay->Stats().PeakTotalQueuedBytes, bound);
}

// A host that registers again while a packet is being forwarded to it gets the relay's
// answer after that packet, never inside it.
TEST_F(RelayHostile, RelayPacketsWaitBehindAForwardedPacket) {
  for (bool splice : {false, true}) {
    SCOPED_TRACE(splice ? "payload spliced in the kernel" : "payload copied through queues");
    auto options = TestOptions();
    options.SpliceLargePayloads = splice;
    StartRelay(options);
    auto pair = OpenSession("host-key");
    const TBytes packet = EncodePacket(MsgFileChunk, NumberedPayload(7, 1 << 20));
    pair.Viewer->SendRaw(packet.data(), 50000);
    // The relay is inside the packet for the host once its header has gone on.
    EXPECT_TRUE(WaitUntil([&] { return FRelay->Stats().BytesRelayed > PacketHeaderSize; }));
    pair.Host->SendText(MsgHostRegister, "host-key");
    std::this_thread::sleep_for(milliseconds(100));
    std::thread rest([&] { pair.Viewer->SendRaw(packet.data() + 50000, packet.size() - 50000); });
    auto forwarded = pair.Host->Next(20000);
    rest.join();
    ASSERT_TRUE(forwarded);
    EXPECT_EQ(forwarded->Type, MsgFileChunk);
    EXPECT_EQ(CheckNumbered(forwarded->Payload, 7, 1 << 20), "");
    EXPECT_EQ(pair.Host->ExpectText(MsgHostId), pair.Id);
    pair.Host->SendText(MsgChat, "after");
    EXPECT_EQ(pair.Viewer->ExpectText(MsgChat), "after");
    FRelay->Stop();
    FRelay.reset();
  }
}

// A viewer refused while its connection waits for its next packet, which then resets the
// connection instead of closing it: its slot is free at once, not after the grace time.
TEST_F(RelayHostile, RefusedViewerThatResetsItsConnectionFreesItsSlotAtOnce) {
  StartRelay();
  auto host = Peer();
  const std::string id = host->Register("k");
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(FPort);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  const TBytes request = EncodePacket(MsgConnectRequest, BytesOf(BuildConnectRequest(id, "v", "")));
  ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), ssize_t(request.size()));
  host->Expect(MsgAdmitRequest);
  std::this_thread::sleep_for(milliseconds(50));
  host->Send(MsgAdmitReject);
  // Read the refusal up to the relay's end of stream, then reset.
  uint8_t sink[4096];
  pollfd readable{fd, POLLIN, 0};
  while (::poll(&readable, 1, 5000) > 0 && ::recv(fd, sink, sizeof sink, 0) > 0) {
  }
  const linger reset{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  ::close(fd);
  EXPECT_TRUE(WaitUntil([&] { return FRelay->Stats().Connections == 1; }, 2000));
}

// A payload spliced to a viewer that goes away while the rest is still coming: the viewer's
// descriptor number is soon another connection's, which must not get those bytes.
TEST_F(RelayHostile, RestOfASplicedPacketNeverReachesAConnectionThatTookTheViewersPlace) {
  StartRelay();
  auto pair = OpenSession();
  // Made now, connected later: the relay's sockets accepted then take the lowest free numbers,
  // the gone viewer's among them.
  std::vector<int> strangers;
  for (int i = 0; i < 4; ++i) strangers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const size_t part = 64 * 1024;
  const TBytes frame = EncodePacket(MsgFrame, NumberedPayload(1, 8 * part));
  const uint64_t before = FRelay->Stats().BytesRelayed;
  pair.Host->SendRaw(frame.data(), PacketHeaderSize + part);
  ASSERT_TRUE(WaitUntil([&] { return FRelay->Stats().BytesRelayed >= before + PacketHeaderSize + part; }));

  pair.Viewer.reset();
  ASSERT_TRUE(WaitUntil([&] { return FRelay->Stats().Connections == 1; }));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(FPort);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (const int fd : strangers) ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_TRUE(WaitUntil([&] { return FRelay->Stats().Connections == 1 + strangers.size(); }));

  pair.Host->SendRaw(frame.data() + PacketHeaderSize + part, part);
  std::vector<pollfd> readable;
  for (const int fd : strangers) readable.push_back({fd, POLLIN, 0});
  EXPECT_EQ(::poll(readable.data(), readable.size(), 500), 0) << "a new connection received bytes of the gone viewer";
  for (const int fd : strangers) ::close(fd);
}

TEST(RelayAddressBucket, IPv6CountsByItsSlash64) {
  struct TCase {
    const char* Address;
    const char* Bucket;
  };
  const TCase cases[] = {
      {"192.0.2.7", "192.0.2.7"},
      {"2001:db8:1:2:aaaa:bbbb:cccc:dddd", "2001:db8:1:2::/64"},
      {"2001:db8:1:2::1", "2001:db8:1:2::/64"},
      {"2001:db8:1:3::1", "2001:db8:1:3::/64"},
      {"::1", "::/64"},
      {"::ffff:192.0.2.7", "::ffff:192.0.2.7"},
      {"not an address", "not an address"},
  };
  for (const auto& c : cases) EXPECT_EQ(AddressBucket(c.Address), c.Bucket) << c.Address;
}

TEST_F(RelayHostile, ViewerNamesReachTheHostWithoutLayoutControlsAndCut) {
  StartRelay();
  auto host = Peer();
  const std::string id = host->Register("k");
  struct TCase {
    std::string Name;
    std::string Shown;
  };
  const TCase cases[] = {
      {"Kim\u2028Admin", "Kim Admin"},
      {"\u202Eevil.exe", " evil.exe"},
      {"a\u2029b\u200Bc\u0085d", "a b c d"},
      {"김철수", "김철수"},
      {std::string(70, 'x'), std::string(64, 'x')},
      {std::string(70, '\xEA'), std::string(64, ' ')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    auto viewer = Peer();
    viewer->RequestConnect(id, c.Name);
    EXPECT_EQ(host->ExpectText(MsgAdmitRequest), "127.0.0.1\t" + c.Shown + "\t");
    host->Send(MsgAdmitReject);
    EXPECT_EQ(viewer->ExpectText(MsgRelayError), AdmitRejectReason);
  }
}

}  // namespace
}  // namespace tlm::test
