// The handshake that opens a link between two relay nodes, over loopback: both ends succeed
// only with the same secret, fail cleanly (socket closed, reason given) on everything else, and
// leave the socket at the first byte after the handshake.
#include <gtest/gtest.h>

#include <asio.hpp>

#include <chrono>
#include <string>
#include <vector>

#include "protocol/Messages.h"
#include "protocol/Packet.h"
#include "relay/NodeLink.h"

namespace tlm::test {
namespace {

using asio::ip::tcp;
using asio::use_awaitable;
using namespace std::chrono_literals;
using TRaw = std::vector<uint8_t>;

const std::string Secret = "the cluster's secret, 32 bytes..";
const std::string OtherSecret = "another secret of the same size.";
constexpr size_t GreetingBytes = 8 + 32;

class NodeLink : public ::testing::Test {
protected:
  std::string Address() const { return "127.0.0.1:" + std::to_string(FAcceptor.local_endpoint().port()); }

  // Starts F as a coroutine; Run runs them all to their end.
  template <typename F>
  void Spawn(F AFunction) {
    asio::co_spawn(FIo, std::move(AFunction), [](std::exception_ptr AError) {
      if (AError) std::rethrow_exception(AError);
    });
  }
  void Run() {
    FIo.run_for(20s);
    EXPECT_TRUE(FIo.stopped()) << "coroutines still running";
  }

  // The accepting side on the next connection to FAcceptor.
  void SpawnAccept(const std::string& ASecret, std::chrono::milliseconds ATimeout = 5s) {
    Spawn([this, ASecret, ATimeout]() -> asio::awaitable<void> {
      co_await FAcceptor.async_accept(FAccepted, use_awaitable);
      FAcceptOk = co_await AcceptNodeLink(FAccepted, ASecret, ATimeout, FViewer, FAcceptWhy);
    });
  }
  void SpawnDial(const std::string& AAddress, const std::string& ASecret, const std::string& AViewer = "203.0.113.5",
                 std::chrono::milliseconds ATimeout = 5s) {
    Spawn([=, this]() -> asio::awaitable<void> {
      FDialOk = co_await DialNodeLink(FDialled, AAddress, ASecret, AViewer, ATimeout, FDialWhy);
    });
  }

  asio::io_context FIo;
  tcp::acceptor FAcceptor{FIo, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)};
  tcp::socket FAccepted{FIo}, FDialled{FIo};
  bool FAcceptOk = false, FDialOk = false;
  std::string FViewer, FAcceptWhy, FDialWhy;
};

TEST_F(NodeLink, SameSecretLinksAndTheAcceptingSideLearnsTheViewer) {
  for (const std::string& viewer : {std::string("203.0.113.5"), std::string("2001:db8:1:2::77"), std::string(MaxLinkAddressBytes, '7')}) {
    SCOPED_TRACE(viewer);
    FAccepted = tcp::socket(FIo);
    FDialled = tcp::socket(FIo);
    FViewer.clear();
    SpawnAccept(Secret);
    SpawnDial(Address(), Secret, viewer);
    Run();
    FIo.restart();
    EXPECT_TRUE(FAcceptOk) << FAcceptWhy;
    EXPECT_TRUE(FDialOk) << FDialWhy;
    EXPECT_EQ(FViewer, viewer);
  }
}

TEST_F(NodeLink, NodeNamedByHostNameIsFound) {
  SpawnAccept(Secret);
  SpawnDial("localhost:" + std::to_string(FAcceptor.local_endpoint().port()), Secret);
  Run();
  EXPECT_TRUE(FAcceptOk) << FAcceptWhy;
  EXPECT_TRUE(FDialOk) << FDialWhy;
}

TEST_F(NodeLink, PacketsRightBehindTheHandshakeArriveWholeBothWays) {
  // Each side writes a packet the moment its handshake is done, so the packet may share a
  // segment with the handshake's last message; each must still read exactly that packet.
  const TBytes down = EncodePacket(MsgChat, BytesOf("from the accepting node"));
  const TBytes up = EncodePacket(MsgChat, BytesOf("from the dialling node, a little longer"));
  TRaw gotDown(down.size()), gotUp(up.size());
  Spawn([&]() -> asio::awaitable<void> {
    co_await FAcceptor.async_accept(FAccepted, use_awaitable);
    FAcceptOk = co_await AcceptNodeLink(FAccepted, Secret, 5s, FViewer, FAcceptWhy);
    if (!FAcceptOk) co_return;
    co_await asio::async_write(FAccepted, asio::buffer(down), use_awaitable);
    co_await asio::async_read(FAccepted, asio::buffer(gotUp), use_awaitable);
  });
  Spawn([&]() -> asio::awaitable<void> {
    FDialOk = co_await DialNodeLink(FDialled, Address(), Secret, "198.51.100.1", 5s, FDialWhy);
    if (!FDialOk) co_return;
    co_await asio::async_write(FDialled, asio::buffer(up), use_awaitable);
    co_await asio::async_read(FDialled, asio::buffer(gotDown), use_awaitable);
  });
  Run();
  ASSERT_TRUE(FAcceptOk) << FAcceptWhy;
  ASSERT_TRUE(FDialOk) << FDialWhy;
  EXPECT_EQ(gotDown, TRaw(down.begin(), down.end()));
  EXPECT_EQ(gotUp, TRaw(up.begin(), up.end()));
  // Nothing else is left in either socket.
  EXPECT_EQ(FAccepted.available(), 0u);
  EXPECT_EQ(FDialled.available(), 0u);
}

TEST_F(NodeLink, DifferentSecretsFailOnBothSidesAndCloseBothSockets) {
  for (const bool dialWrong : {true, false}) {
    SCOPED_TRACE(dialWrong ? "dialling side wrong" : "accepting side wrong");
    FAccepted = tcp::socket(FIo);
    FDialled = tcp::socket(FIo);
    SpawnAccept(dialWrong ? Secret : OtherSecret);
    SpawnDial(Address(), dialWrong ? OtherSecret : Secret);
    Run();
    FIo.restart();
    EXPECT_FALSE(FAcceptOk);
    EXPECT_FALSE(FDialOk);
    EXPECT_NE(FAcceptWhy.find("does not prove the cluster secret"), std::string::npos) << FAcceptWhy;
    EXPECT_FALSE(FDialWhy.empty());
    EXPECT_FALSE(FAccepted.is_open());
    EXPECT_FALSE(FDialled.is_open());
    EXPECT_TRUE(FViewer.empty());
  }
}

TEST_F(NodeLink, SecretsTooShortAndUnusableAddressesAreRefusedBeforeAnyByteIsSent) {
  struct TCase {
    const char* Name;
    std::string Address, Secret, Viewer;
  };
  const TCase cases[] = {
      {"short secret", Address(), std::string(MinClusterSecretBytes - 1, 's'), "203.0.113.5"},
      {"empty viewer address", Address(), Secret, ""},
      {"oversized viewer address", Address(), Secret, std::string(MaxLinkAddressBytes + 1, '1')},
      {"viewer address with a tab", Address(), Secret, "203.0.113.5\tx"},
      {"node address without a port", "127.0.0.1", Secret, "203.0.113.5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    FDialled = tcp::socket(FIo);
    FDialOk = true;
    SpawnDial(c.Address, c.Secret, c.Viewer);
    Run();
    FIo.restart();
    EXPECT_FALSE(FDialOk);
    EXPECT_FALSE(FDialWhy.empty());
    EXPECT_FALSE(FDialled.is_open());
  }
  // Nobody dialled: the acceptor's queue is empty.
  FAcceptor.non_blocking(true);
  asio::error_code error;
  FAcceptor.accept(FAccepted, error);
  EXPECT_EQ(error, asio::error::would_block);
}

// A dialling side written by hand: reads the greeting, sends ADial, sees what comes back.
TEST_F(NodeLink, AcceptingSideRefusesMalformedDialMessages) {
  TRaw challengeAndLength(34, 0x5a);
  const auto withLength = [&](uint16_t ALen, size_t ABodyBytes) {
    TRaw bytes = challengeAndLength;
    bytes[32] = uint8_t(ALen);
    bytes[33] = uint8_t(ALen >> 8);
    bytes.resize(bytes.size() + ABodyBytes, '1');
    return bytes;
  };
  struct TCase {
    const char* Name;
    TRaw Dial;
    const char* Why;
  };
  const TCase cases[] = {
      // The accepting side must not wait for 129 address bytes that it would refuse anyway.
      {"oversized address", withLength(MaxLinkAddressBytes + 1, 0), "bad viewer address length"},
      {"longest length field", withLength(0xFFFF, 0), "bad viewer address length"},
      {"empty address", withLength(0, 32), "bad viewer address length"},
      {"address with a space", [&] {
         TRaw bytes = withLength(3, 3 + 32);
         bytes[35] = ' ';
         return bytes;
       }(), "unusable viewer address"},
      {"right shape, no proof of the secret", withLength(11, 11 + 32), "does not prove"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    FAccepted = tcp::socket(FIo);
    FDialled = tcp::socket(FIo);
    SpawnAccept(Secret);
    bool closed = false;
    Spawn([&]() -> asio::awaitable<void> {
      co_await FDialled.async_connect(FAcceptor.local_endpoint(), use_awaitable);
      TRaw greeting(GreetingBytes);
      co_await asio::async_read(FDialled, asio::buffer(greeting), use_awaitable);
      co_await asio::async_write(FDialled, asio::buffer(c.Dial), use_awaitable);
      uint8_t byte;
      asio::error_code error;
      co_await asio::async_read(FDialled, asio::buffer(&byte, 1), asio::redirect_error(use_awaitable, error));
      closed = error == asio::error::eof || error == asio::error::connection_reset;
    });
    Run();
    FIo.restart();
    EXPECT_FALSE(FAcceptOk);
    EXPECT_NE(FAcceptWhy.find(c.Why), std::string::npos) << FAcceptWhy;
    EXPECT_FALSE(FAccepted.is_open());
    EXPECT_TRUE(closed);
  }
}

TEST_F(NodeLink, DiallingSideRefusesWhatIsNotANodeOrProvesNothing) {
  struct TCase {
    const char* Name;
    TRaw Greeting;
    TRaw Answer;  // after reading the dial message
    const char* Why;
  };
  TRaw goodGreeting = {'T', 'L', 'M', 'L', 'I', 'N', 'K', '1'};
  goodGreeting.resize(GreetingBytes, 0x33);
  const std::string http = "HTTP/1.1 400 Bad Request\r\nServer: xy\r\n\r\n";
  const TCase cases[] = {
      {"garbage instead of the magic", TRaw(http.begin(), http.end()), {}, "is not a relay node's link port"},
      {"a link of another version", [&] {
         TRaw g = goodGreeting;
         g[7] = '2';
         return g;
       }(), {}, "is not a relay node's link port"},
      {"a wrong proof", goodGreeting, TRaw(32, 0x44), "does not prove the cluster secret"},
      {"a short greeting, then closed", TRaw(goodGreeting.begin(), goodGreeting.begin() + 20), {}, "closed by"},
  };
  ASSERT_EQ(http.size(), GreetingBytes);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    FAccepted = tcp::socket(FIo);
    FDialled = tcp::socket(FIo);
    Spawn([&]() -> asio::awaitable<void> {
      co_await FAcceptor.async_accept(FAccepted, use_awaitable);
      co_await asio::async_write(FAccepted, asio::buffer(c.Greeting), use_awaitable);
      if (c.Answer.empty()) {
        FAccepted.shutdown(tcp::socket::shutdown_send);
        co_return;
      }
      TRaw dial(34 + 11 + 32);  // the address below is 11 bytes
      co_await asio::async_read(FAccepted, asio::buffer(dial), use_awaitable);
      co_await asio::async_write(FAccepted, asio::buffer(c.Answer), use_awaitable);
    });
    SpawnDial(Address(), Secret, "203.0.113.5");
    Run();
    FIo.restart();
    EXPECT_FALSE(FDialOk);
    EXPECT_NE(FDialWhy.find(c.Why), std::string::npos) << FDialWhy;
    EXPECT_FALSE(FDialled.is_open());
  }
}

TEST_F(NodeLink, SilentPeersRunIntoTheTimeOut) {
  // A node that accepts and never greets, and a dialler that connects and never dials.
  const auto start = std::chrono::steady_clock::now();
  Spawn([&]() -> asio::awaitable<void> { co_await FAcceptor.async_accept(FAccepted, use_awaitable); });
  SpawnDial(Address(), Secret, "203.0.113.5", 300ms);
  Run();
  FIo.restart();
  EXPECT_FALSE(FDialOk);
  EXPECT_NE(FDialWhy.find("timed out"), std::string::npos) << FDialWhy;
  EXPECT_FALSE(FDialled.is_open());

  tcp::socket silent(FIo);
  FAccepted = tcp::socket(FIo);
  SpawnAccept(Secret, 300ms);
  Spawn([&]() -> asio::awaitable<void> { co_await silent.async_connect(FAcceptor.local_endpoint(), use_awaitable); });
  Run();
  EXPECT_FALSE(FAcceptOk);
  EXPECT_NE(FAcceptWhy.find("timed out"), std::string::npos) << FAcceptWhy;
  EXPECT_FALSE(FAccepted.is_open());
  EXPECT_GE(std::chrono::steady_clock::now() - start, 550ms);
}

TEST_F(NodeLink, DialToAPortWithoutListenerFailsPromptly) {
  tcp::acceptor closed(FIo, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  const std::string address = "127.0.0.1:" + std::to_string(closed.local_endpoint().port());
  closed.close();
  const auto start = std::chrono::steady_clock::now();
  SpawnDial(address, Secret, "203.0.113.5", 10s);
  Run();
  EXPECT_FALSE(FDialOk);
  EXPECT_NE(FDialWhy.find("cannot reach " + address), std::string::npos) << FDialWhy;
  EXPECT_NE(FDialWhy.find("refused"), std::string::npos) << FDialWhy;
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

  // Port 0 may name an ephemeral listener, but nobody can be dialled on it.
  FIo.restart();
  SpawnDial("127.0.0.1:0", Secret, "203.0.113.5", 10s);
  Run();
  EXPECT_FALSE(FDialOk);
  EXPECT_NE(FDialWhy.find("bad node address"), std::string::npos) << FDialWhy;
}

TEST_F(NodeLink, RecordedDialMessageFailsAgainstAFreshChallenge) {
  // Record what a real dialling node sends for one challenge...
  const std::string viewer = "198.51.100.77";
  TRaw recorded(34 + viewer.size() + 32);
  Spawn([&]() -> asio::awaitable<void> {
    co_await FAcceptor.async_accept(FAccepted, use_awaitable);
    TRaw greeting = {'T', 'L', 'M', 'L', 'I', 'N', 'K', '1'};
    greeting.resize(GreetingBytes, 0x21);
    co_await asio::async_write(FAccepted, asio::buffer(greeting), use_awaitable);
    co_await asio::async_read(FAccepted, asio::buffer(recorded), use_awaitable);
    FAccepted.close();
  });
  SpawnDial(Address(), Secret, viewer);
  Run();
  FIo.restart();
  ASSERT_FALSE(FDialOk);

  // ...and play it back to a real accepting node, which sends a challenge of its own.
  FAccepted = tcp::socket(FIo);
  SpawnAccept(Secret);
  tcp::socket replayer(FIo);
  Spawn([&]() -> asio::awaitable<void> {
    co_await replayer.async_connect(FAcceptor.local_endpoint(), use_awaitable);
    TRaw greeting(GreetingBytes);
    co_await asio::async_read(replayer, asio::buffer(greeting), use_awaitable);
    co_await asio::async_write(replayer, asio::buffer(recorded), use_awaitable);
  });
  Run();
  EXPECT_FALSE(FAcceptOk);
  EXPECT_NE(FAcceptWhy.find("does not prove the cluster secret"), std::string::npos) << FAcceptWhy;
  EXPECT_TRUE(FViewer.empty());
}

TEST(NodeLinkAddress, SplitHostPortTakesNamesAndAddressesWithPorts) {
  struct TCase {
    std::string Text;
    bool Ok;
    std::string Host;
    uint16_t Port;
  };
  const TCase cases[] = {
      {"relay-2.example.lan:59100", true, "relay-2.example.lan", 59100},
      {"10.0.0.2:1", true, "10.0.0.2", 1},
      {"[2001:db8::2]:65535", true, "2001:db8::2", 65535},
      {"[::1]:59100", true, "::1", 59100},
      {"2001:db8::2:59100", false, "", 0},
      {"relay:0", true, "relay", 0},  // an ephemeral listener; dialling it fails
      {"relay:65536", false, "", 0},
      {"relay:", false, "", 0},
      {":59100", false, "", 0},
      {"relay", false, "", 0},
      {"relay:59a", false, "", 0},
      {"relay:+1", false, "", 0},
      {"[]:59100", false, "", 0},
      {"[::1:59100", false, "", 0},
      {"[[::1]]:59100", false, "", 0},
  };
  for (const auto& c : cases) {
    std::string host = "untouched";
    uint16_t port = 7;
    EXPECT_EQ(SplitHostPort(c.Text, host, port), c.Ok) << c.Text;
    if (c.Ok) {
      EXPECT_EQ(host, c.Host) << c.Text;
      EXPECT_EQ(port, c.Port) << c.Text;
    } else {
      EXPECT_EQ(host, "untouched") << c.Text;
    }
  }
}

}  // namespace
}  // namespace tlm::test
