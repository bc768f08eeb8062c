// Floods that cost the client little and the relay much unless bounded: answers a client asks
// for and never reads, requests withdrawn as soon as they are made, log lines by the thousand.
// Each test shows the flood failing and an honest host and viewer still being served.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <fstream>
#include <string>
#include <thread>

#include "protocol/Connection.h"
#include "protocol/Messages.h"
#include "protocol/Packet.h"
#include "relay/RelayHub.h"
#include "tests/relay/RelayFixture.h"

namespace tlm::test {
namespace {

using std::chrono::milliseconds;

// Resident memory of this process (the relay runs in it), in KiB.
long ResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

// The relay's own end of the client socket AClientFd (the relay runs in this process).
int RelaySideOf(int AClientFd) {
  sockaddr_in client{}, server{};
  socklen_t len = sizeof client;
  ::getsockname(AClientFd, reinterpret_cast<sockaddr*>(&client), &len);
  len = sizeof server;
  ::getpeername(AClientFd, reinterpret_cast<sockaddr*>(&server), &len);
  for (int fd = 0; fd < 4096; ++fd) {
    sockaddr_in local{}, peer{};
    socklen_t localLen = sizeof local, peerLen = sizeof peer;
    if (fd == AClientFd || ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLen) != 0 ||
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0 || local.sin_family != AF_INET)
      continue;
    if (local.sin_port == server.sin_port && peer.sin_port == client.sin_port) return fd;
  }
  return -1;
}

class RelayFlood : public TRelayFixture {
protected:
  size_t LogCount(const std::string& APiece) {
    if (FRelay) FRelay->FlushLog();
    std::lock_guard<std::mutex> hold(FLogLock);
    size_t n = 0;
    for (const auto& line : FLogLines) n += line.find(APiece) != std::string::npos;
    return n;
  }

  // A chat line goes both ways through a fresh session.
  void ExpectHonestPairServed(const std::string& AKey) {
    auto pair = OpenSession(AKey);
    pair.Host->SendText(MsgChat, "ping");
    EXPECT_EQ(pair.Viewer->ExpectText(MsgChat), "ping");
    pair.Viewer->SendText(MsgChat, "pong");
    EXPECT_EQ(pair.Host->ExpectText(MsgChat), "pong");
  }
};

TEST_F(RelayFlood, HostThatRegistersAgainAndAgainWithoutReadingGetsOneMoreAnswer) {
  auto options = TestOptions();
  options.QueueLimitBytes = 64 * 1024;
  options.MaxQueuedBytes = 256 * 1024;
  StartRelay(options);
  auto honest = OpenSession("honest");
  auto looper = Peer();
  const std::string id = looper->Register("looper");
  ASSERT_EQ(id.size(), 9u);

  // Half a million registrations (7 MB) sent and none of the answers read; the session next to
  // it goes on meanwhile.
  const TBytes one = EncodePacket(MsgHostRegister, BytesOf("looper"));
  TBytes burst;
  for (int i = 0; i < 10000; ++i) burst.insert(burst.end(), one.begin(), one.end());
  const long rssBefore = ResidentKb();
  for (int round = 0; round < 50; ++round) {
    looper->SendRaw(burst.data(), burst.size());
    if (round % 10 != 0) continue;
    honest.Host->SendText(MsgChat, "ping");
    EXPECT_EQ(honest.Viewer->ExpectText(MsgChat), "ping");
  }
  // Its end of stream comes after every registration: once it is gone, all were read.
  ::shutdown(dynamic_cast<TTcpConnection&>(looper->Connection()).Handle(), SHUT_WR);
  EXPECT_TRUE(WaitUntil([&] { return FRelay->Stats().Hosts == 1; }));
  const TRelayStats stats = FRelay->Stats();
  const long rssGrowth = ResidentKb() - rssBefore;
  std::printf("[ figures ] peak queued %zu bytes (one connection %zu), resident memory grew by %ld KiB\n",
              stats.PeakTotalQueuedBytes, stats.PeakQueuedBytes, rssGrowth);
  // Resident memory is shown, not judged: sanitizers keep freed memory for a while.
  EXPECT_LE(stats.PeakTotalQueuedBytes, options.QueueLimitBytes);

  // What it finally reads: its ID once more, and nothing else.
  EXPECT_EQ(looper->ExpectText(MsgHostId), id);
  EXPECT_TRUE(looper->WaitClosed());
  ExpectHonestPairServed("another");
}

// A host that reads nothing but answers every request blindly, while its accomplices ask again
// and again: the admission requests pile up unread at the relay until it closes the host.
TEST_F(RelayFlood, HostThatLeavesRelayPacketsUnreadIsClosed) {
  auto options = TestOptions();
  options.QueueLimitBytes = 16 * 1024;
  StartRelay(options);
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int small = 4096;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(FPort);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  // The kernel on either side holds little, as on a slow line, so the relay's queue fills soon.
  int relaySide = -1;
  ASSERT_TRUE(WaitUntil([&] { return (relaySide = RelaySideOf(fd)) >= 0; }));
  ::setsockopt(relaySide, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  const auto sendPacket = [fd](uint32_t AType, std::string_view AText) {
    const TBytes packet = EncodePacket(AType, BytesOf(AText));
    return ::send(fd, packet.data(), packet.size(), MSG_NOSIGNAL) == ssize_t(packet.size());
  };
  ASSERT_TRUE(sendPacket(MsgHostRegister, "deaf host"));
  ASSERT_TRUE(WaitUntil([&] { return FRelay->Stats().Hosts == 1; }));
  std::string id;
  {
    // Its ID is read once, as any host would.
    uint8_t answer[64];
    const ssize_t n = ::recv(fd, answer, sizeof answer, 0);
    ASSERT_EQ(n, ssize_t(PacketHeaderSize + 9));
    id.assign(reinterpret_cast<const char*>(answer + PacketHeaderSize), 9);
  }

  const std::string name(64, 'n'), proof(256, 'p');
  int asked = 0;
  for (; asked < 2000 && FRelay->Stats().Hosts == 1; ++asked) {
    auto viewer = Peer();
    viewer->RequestConnect(id, name, proof);
    if (!WaitUntil([&] { return LogCount("admission asked") > size_t(asked) || FRelay->Stats().Hosts == 0; })) break;
    if (FRelay->Stats().Hosts == 0 || !sendPacket(MsgAdmitReject, "")) break;
    viewer->Next();
  }
  EXPECT_TRUE(WaitUntil([&] { return FRelay->Stats().Hosts == 0; })) << asked << " requests left unread";
  EXPECT_TRUE(LogContains("bytes of relay packets left unread"));
  std::printf("[ figures ] closed after %d admission requests left unread; peak queued %zu bytes\n", asked,
              FRelay->Stats().PeakQueuedBytes);
  // The limit and the one request that found it reached.
  EXPECT_LE(FRelay->Stats().PeakQueuedBytes, options.QueueLimitBytes + 1024);
  ::close(fd);
  ExpectHonestPairServed("honest");
}

// Bad packets by the hundred, each from a connection of its own, give a few lines and a count.
TEST_F(RelayFlood, LinesAClientCanCauseAreSummarised) {
  auto options = TestOptions();
  options.LogBurst = 3;
  // Longer than the flood takes on any machine: the counts come at stop, in one line per kind.
  options.LogSummaryInterval = std::chrono::minutes(10);
  StartRelay(options);
  struct TCase {
    const char* Kind;
    uint32_t Type;
    uint32_t Length;
  };
  const TCase cases[] = {
      {"packet too large", MsgChat, uint32_t(MaxPacketPayload + 1)},
      {"oversized control message", MsgHostRegister, MaxControlPayload + 1},
      {"oversized control message", MsgConnectRequest, MaxControlPayload + 1},
  };
  constexpr int PerCase = 100;
  for (const auto& c : cases) {
    for (int i = 0; i < PerCase; ++i) {
      auto peer = Peer();
      uint8_t header[PacketHeaderSize];
      PutLE32(header, c.Type);
      PutLE32(header + 4, c.Length);
      peer->SendRaw(header, sizeof header);
      EXPECT_TRUE(peer->WaitClosed()) << c.Kind;
    }
  }
  EXPECT_EQ(LogCount(": packet too large ("), 3u);
  EXPECT_EQ(LogCount(": control message "), 3u);
  ExpectHonestPairServed("honest");
  FRelay->Stop();
  EXPECT_TRUE(LogContains("oversized control message: 197 more like this"));
  EXPECT_TRUE(LogContains("packet too large: 97 more like this"));
}

// Lines held back when the relay stops are not lost: their count is written before "stopped".
TEST_F(RelayFlood, LinesHeldBackAtStopAreCounted) {
  auto options = TestOptions();
  options.LogBurst = 1;
  options.LogSummaryInterval = std::chrono::minutes(10);
  StartRelay(options);
  for (int i = 0; i < 5; ++i) {
    auto peer = Peer();
    uint8_t header[PacketHeaderSize];
    PutLE32(header, MsgChat);
    PutLE32(header + 4, uint32_t(MaxPacketPayload + 1));
    peer->SendRaw(header, sizeof header);
    EXPECT_TRUE(peer->WaitClosed());
  }
  EXPECT_EQ(LogCount(": packet too large ("), 1u);
  FRelay->Stop();
  EXPECT_TRUE(LogContains("packet too large: 4 more like this"));
}

// A log reader that stops reading (a full pipe) costs log lines, never the relay's service.
TEST_F(RelayFlood, ALogThatIsNotReadHoldsUpNoSession) {
  std::mutex lock;
  std::condition_variable changed;
  bool jammed = false;
  auto options = TestOptions();
  options.LogBufferBytes = 4096;
  options.Log = [&](const std::string& ALine) {
    std::unique_lock<std::mutex> hold(lock);
    changed.wait(hold, [&] { return !jammed; });
    std::lock_guard<std::mutex> keep(FLogLock);
    FLogLines.push_back(ALine);
  };
  FRelay = std::make_unique<TRelayServer>(options);
  FPort = FRelay->Start();
  {
    std::lock_guard<std::mutex> hold(lock);
    jammed = true;
  }
  // Sessions come and go, each with a handful of lines, while nothing is written.
  for (int i = 0; i < 20; ++i) ExpectHonestPairServed("honest-" + std::to_string(i));
  EXPECT_TRUE(WaitUntil([&] { return FRelay->Stats().LogLinesDropped > 0; }));
  {
    std::lock_guard<std::mutex> hold(lock);
    jammed = false;
  }
  changed.notify_all();
  const uint64_t dropped = FRelay->Stats().LogLinesDropped;
  std::printf("[ figures ] %llu log lines dropped while the log was not read\n", (unsigned long long)dropped);
  EXPECT_TRUE(WaitUntil([&] { return LogContains("lines dropped because the log was not read fast enough"); }));
  // The log sink uses this test's locals.
  FRelay->Stop();
  FRelay.reset();
}

class RelayRequestBudget : public RelayFlood {
protected:
  // Every loopback client comes through a "load balancer" that names the address it stands for.
  void StartBehindProxy(size_t ABudget) {
    auto options = TestOptions();
    options.ConnectRequestsPerHostPerMinute = ABudget;
    options.ProxyFrom = {"127.0.0.1"};
    StartRelay(options);
  }
  std::unique_ptr<TScriptedPeer> PeerFrom(const std::string& AAddress) {
    auto peer = Peer();
    const bool v6 = AAddress.find(':') != std::string::npos;
    const std::string header = std::string("PROXY ") + (v6 ? "TCP6 " : "TCP4 ") + AAddress +
                               (v6 ? " ::1" : " 127.0.0.1") + " 40000 59000\r\n";
    peer->SendRaw(header.data(), header.size());
    return peer;
  }
  // A stranger asks AHost and gives up at once, AHost's program answering the withdrawal.
  void AskAndWithdraw(TScriptedPeer& AHost, const std::string& AId, const std::string& AFrom) {
    auto stranger = PeerFrom(AFrom);
    stranger->RequestConnect(AId, "stranger");
    AHost.Expect(MsgAdmitRequest);
    stranger.reset();
    AHost.Expect(MsgAdmitWithdrawn);
    AHost.Send(MsgAdmitReject);
  }
};

TEST_F(RelayRequestBudget, AStrangersWithdrawnRequestsUseUpOnlyTheirOwnAddresssShare) {
  struct TCase {
    const char* Stranger;
    const char* Other;
    bool OtherRefused;  // the other address counts as the stranger's own
  };
  const TCase cases[] = {
      {"203.0.113.9", "203.0.113.10", false},
      {"2001:db8:1:2::9", "2001:db8:1:3::1", false},
      {"2001:db8:1:2::9", "2001:db8:1:2::10", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.Stranger) + " then " + c.Other);
    StartBehindProxy(3);
    auto host = PeerFrom("198.51.100.1");
    const std::string id = host->Register("victim");
    for (int i = 0; i < 3; ++i) AskAndWithdraw(*host, id, c.Stranger);
    auto again = PeerFrom(c.Stranger);
    again->RequestConnect(id, "stranger");
    EXPECT_EQ(again->ExpectText(MsgRelayError), relaytext::Busy);

    auto other = PeerFrom(c.Other);
    other->RequestConnect(id, "other");
    if (c.OtherRefused) {
      EXPECT_EQ(other->ExpectText(MsgRelayError), relaytext::Busy);
      EXPECT_TRUE(host->QuietFor(100));
    } else {
      EXPECT_EQ(host->ExpectText(MsgAdmitRequest), std::string(c.Other) + "\tother\t");
      host->Send(MsgAdmitAccept);
      other->Expect(MsgSessionStart);
    }
    FRelay->Stop();
    FRelay.reset();
  }
}

// The host admits a viewer whose password proof checks at once; such requests never use up the
// budget, however often the viewer comes back.
TEST_F(RelayRequestBudget, RequestsTheHostAcceptsDoNotCount) {
  StartBehindProxy(3);
  auto host = PeerFrom("198.51.100.1");
  const std::string id = host->Register("victim");
  for (int i = 0; i < 2; ++i) AskAndWithdraw(*host, id, "198.51.100.77");
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    auto owner = PeerFrom("198.51.100.77");
    owner->RequestConnect(id, "owner", "right-proof");
    EXPECT_EQ(host->ExpectText(MsgAdmitRequest), "198.51.100.77\towner\tright-proof");
    host->Send(MsgAdmitAccept);
    host->Expect(MsgSessionStart);
    owner->Expect(MsgSessionStart);
    owner.reset();
    host->Expect(MsgSessionEnd);
  }
  // The two withdrawn ones still count: one more unanswered request, and the address is done.
  AskAndWithdraw(*host, id, "198.51.100.77");
  auto last = PeerFrom("198.51.100.77");
  last->RequestConnect(id, "owner", "right-proof");
  EXPECT_EQ(last->ExpectText(MsgRelayError), relaytext::Busy);
}

}  // namespace
}  // namespace tlm::test
