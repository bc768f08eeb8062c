// A relay behind a TCP load balancer that sends PROXY protocol headers: clients count and show
// under the addresses the headers name, bad headers close their connection, and a relay that
// trusts nobody never reads a header.
#include <gtest/gtest.h>

#include <asio.hpp>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "protocol/Messages.h"
#include "protocol/Packet.h"
#include "protocol/TlsConnection.h"
#include "relay/RelayHub.h"
#include "tests/relay/RelayFixture.h"
#include "tests/support/TestCa.h"

namespace tlm::test {
namespace {

using asio::ip::tcp;
using asio::redirect_error;
using asio::use_awaitable;
using TRaw = std::vector<uint8_t>;

TRaw V1(const std::string& AClient) {
  const std::string line = "PROXY TCP4 " + AClient + " 127.0.0.1 40000 59000\r\n";
  return TRaw(line.begin(), line.end());
}

// A version 2 header, PROXY command, TCP over IPv4 from AClient.
TRaw V2(std::array<uint8_t, 4> AClient) {
  return {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A, 0x21, 0x11, 0x00, 12,
          AClient[0], AClient[1], AClient[2], AClient[3], 127, 0, 0, 1, 0x9C, 0x40, 0xE6, 0x78};
}

// Version 2, LOCAL command: the balancer's own connection (a health check), no client named.
const TRaw V2Local = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A, 0x20, 0x00, 0x00, 0x00};

// A TCP load balancer in miniature on loopback: it connects each client that comes to it to the
// relay, sends the next of its headers first, then passes bytes both ways unchanged.
class TProxyForwarder {
public:
  TProxyForwarder(uint16_t ARelayPort, std::vector<TRaw> AHeaders)
      : FRelayPort(ARelayPort), FHeaders(std::move(AHeaders)) {
    asio::co_spawn(FIo, AcceptLoop(), asio::detached);
    FThread = std::thread([this] { FIo.run(); });
  }
  ~TProxyForwarder() {
    FIo.stop();
    FThread.join();
  }
  uint16_t Port() const { return FAcceptor.local_endpoint().port(); }

private:
  asio::awaitable<void> AcceptLoop() {
    for (size_t n = 0;; ++n) {
      asio::error_code error;
      auto client = std::make_shared<tcp::socket>(FIo);
      auto relay = std::make_shared<tcp::socket>(FIo);
      co_await FAcceptor.async_accept(*client, redirect_error(use_awaitable, error));
      if (error) co_return;
      co_await relay->async_connect({asio::ip::make_address("127.0.0.1"), FRelayPort}, redirect_error(use_awaitable, error));
      if (!error) co_await asio::async_write(*relay, asio::buffer(FHeaders[n % FHeaders.size()]), redirect_error(use_awaitable, error));
      if (error) continue;
      asio::co_spawn(FIo, Pump(client, relay), asio::detached);
      asio::co_spawn(FIo, Pump(relay, client), asio::detached);
    }
  }
  static asio::awaitable<void> Pump(std::shared_ptr<tcp::socket> AFrom, std::shared_ptr<tcp::socket> ATo) {
    std::array<uint8_t, 16384> buffer;
    asio::error_code error;
    for (;;) {
      const size_t n = co_await AFrom->async_read_some(asio::buffer(buffer), redirect_error(use_awaitable, error));
      if (error) break;
      co_await asio::async_write(*ATo, asio::buffer(buffer.data(), n), redirect_error(use_awaitable, error));
      if (error) break;
    }
    asio::error_code ignored;
    ATo->shutdown(tcp::socket::shutdown_send, ignored);
  }

  asio::io_context FIo;
  tcp::acceptor FAcceptor{FIo, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)};
  const uint16_t FRelayPort;
  const std::vector<TRaw> FHeaders;
  std::thread FThread;
};

class RelayProxy : public TRelayFixture {
protected:
  static TRelayOptions ProxyOptions() {
    TRelayOptions options = TestOptions();
    options.ProxyFrom = {"127.0.0.1"};
    return options;
  }

  // A scripted client whose connection starts with AHeader, as a balancer's would.
  std::unique_ptr<TScriptedPeer> Behind(const TRaw& AHeader) {
    auto peer = Peer();
    peer->SendRaw(AHeader.data(), AHeader.size());
    return peer;
  }
};

TEST_F(RelayProxy, HostsSeeTheViewerAddressTheHeaderNames) {
  StartRelay(ProxyOptions());
  auto host = Behind(V1("203.0.113.7"));
  const std::string id = host->Register("proxied-host");
  ASSERT_FALSE(id.empty());
  EXPECT_TRUE(WaitUntil([&] { return LogContains("host registered: " + id + " from 203.0.113.7"); }));
  struct TCase {
    const char* Name;
    TRaw Header;
    std::string Shown;
  };
  const TCase cases[] = {
      {"version 2", V2({198, 51, 100, 9}), "198.51.100.9"},
      {"version 1", V1("192.0.2.44"), "192.0.2.44"},
      {"version 2 LOCAL: the balancer's own address", V2Local, "127.0.0.1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    auto viewer = Behind(c.Header);
    viewer->RequestConnect(id, "v");
    EXPECT_EQ(host->ExpectText(MsgAdmitRequest), c.Shown + "\tv\t");
    host->Send(MsgAdmitReject);
    viewer->Expect(MsgRelayError);
  }
}

TEST_F(RelayProxy, PerAddressLimitCountsTheProxiedAddresses) {
  auto options = ProxyOptions();
  options.MaxConnectionsPerIp = 1;
  StartRelay(options);
  // All come from 127.0.0.1, which alone would allow only one of them.
  auto first = Behind(V1("203.0.113.1"));
  auto second = Behind(V2({203, 0, 113, 2}));
  EXPECT_FALSE(first->Register("first").empty());
  EXPECT_FALSE(second->Register("second").empty());
  auto again = Behind(V2({203, 0, 113, 1}));
  EXPECT_EQ(again->ExpectText(MsgRelayError), relaytext::TooManyConnections);
  EXPECT_TRUE(again->WaitClosed());
  EXPECT_TRUE(LogContains("refused connection from 203.0.113.1"));
}

TEST_F(RelayProxy, BadOrMissingHeadersCloseTheConnectionWithALogLine) {
  auto options = ProxyOptions();
  options.FirstPacketTimeout = std::chrono::milliseconds(400);
  StartRelay(options);
  const TBytes registration = EncodePacket(MsgHostRegister, BytesOf("no-header"));
  struct TCase {
    const char* Name;
    TRaw Sent;
    const char* Logged;
  };
  const TCase cases[] = {
      {"malformed header", V1("203.0.113.300"), "closed connection from 127.0.0.1: malformed PROXY header"},
      {"a packet without a header", TRaw(registration.begin(), registration.end()),
       "closed connection from 127.0.0.1: malformed PROXY header"},
      {"a header cut short", TRaw{'P', 'R', 'O', 'X', 'Y', ' ', 'T'},
       "closed connection from 127.0.0.1: no complete PROXY header in time"},
      {"nothing at all", {}, "closed connection from 127.0.0.1: no complete PROXY header in time"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    auto peer = Behind(c.Sent);
    EXPECT_TRUE(peer->WaitClosed());
    EXPECT_TRUE(WaitUntil([&] { return LogContains(c.Logged); }));
  }
  EXPECT_EQ(FRelay->Stats().Connections, 0u);
  // The relay goes on serving.
  EXPECT_FALSE(Behind(V1("203.0.113.5"))->Register("after").empty());
}

TEST_F(RelayProxy, RelayTrustingNobodyTakesAProxyLineForABadFirstPacket) {
  StartRelay();  // no ProxyFrom
  auto proxyLine = Behind(V1("203.0.113.7"));
  EXPECT_TRUE(proxyLine->WaitClosed());
  auto host = Peer();
  const std::string id = host->Register("plain-host");
  ASSERT_FALSE(id.empty());
  auto viewer = Peer();
  viewer->RequestConnect(id, "v");
  EXPECT_EQ(host->ExpectText(MsgAdmitRequest), "127.0.0.1\tv\t");
}

TEST_F(RelayProxy, StopDoesNotWaitForHeadersStillComing) {
  auto options = ProxyOptions();
  options.FirstPacketTimeout = std::chrono::seconds(60);
  StartRelay(options);
  auto silent = Peer();
  auto cutShort = Behind(TRaw{'P', 'R', 'O'});
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto start = std::chrono::steady_clock::now();
  FRelay->Stop();
  // The loop is stopped by force after 5 s when a coroutine does not end by itself.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  EXPECT_TRUE(silent->WaitClosed());
  EXPECT_TRUE(cutShort->WaitClosed());
}

class RelayProxyTls : public RelayProxy {
protected:
  TRelayOptions TlsProxyOptions() {
    const auto files = FCa.Issue({"localhost", "127.0.0.1"});
    TRelayOptions options = ProxyOptions();
    options.TlsCertFile = files.Cert;
    options.TlsKeyFile = files.Key;
    return options;
  }
  TTestCa FCa;
};

TEST_F(RelayProxyTls, TlsAndPlainClientsBehindHeaders) {
  StartRelay(TlsProxyOptions());
  // The header and the first packet in one segment: the relay must find the packet although
  // no further byte will come.
  const TBytes registration = EncodePacket(MsgHostRegister, BytesOf("plain-behind-header"));
  TRaw both = V1("203.0.113.70");
  both.insert(both.end(), registration.begin(), registration.end());
  auto plainHost = Peer();
  plainHost->SendRaw(both.data(), both.size());
  const std::string id = plainHost->ExpectText(MsgHostId);
  ASSERT_FALSE(id.empty());

  // The same after a pause, so that the relay is already waiting for the header when it comes.
  const TBytes registration2 = EncodePacket(MsgHostRegister, BytesOf("plain-after-a-pause"));
  TRaw both2 = V1("203.0.113.72");
  both2.insert(both2.end(), registration2.begin(), registration2.end());
  auto laterHost = Peer();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  laterHost->SendRaw(both2.data(), both2.size());
  EXPECT_FALSE(laterHost->ExpectText(MsgHostId, 5000).empty());

  // A TLS viewer through a balancer: the ClientHello follows the header.
  TProxyForwarder balancer(FPort, {V2({198, 51, 100, 71})});
  TScriptedPeer viewer(std::make_unique<TTlsConnection>(FCa.CertFile()), balancer.Port(), "localhost");
  viewer.RequestConnect(id, "tls");
  EXPECT_EQ(plainHost->ExpectText(MsgAdmitRequest), "198.51.100.71\ttls\t");
  plainHost->Send(MsgAdmitAccept);
  plainHost->Expect(MsgSessionStart);
  viewer.Expect(MsgSessionStart);
  viewer.SendText(MsgChat, "through the balancer");
  EXPECT_EQ(plainHost->ExpectText(MsgChat), "through the balancer");
}

}  // namespace
}  // namespace tlm::test
