// The client's TLS connection against servers that never answer its handshake, and the one
// place that chooses between plain and TLS relay connections. Sessions over TLS are tested
// with the relay (tests/relay/RelayTlsTest.cpp).
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <thread>

#include "protocol/Error.h"
#include "protocol/Messages.h"
#include "protocol/RelayChannel.h"
#include "protocol/RelayLink.h"
#include "protocol/TlsConnection.h"
#include "tests/support/Loopback.h"

namespace tlm {
namespace {

// A server that accepts and then says nothing: the handshake waits for its answer.
TEST(TlsConnection, HandshakeWithASilentServerEndsByTimeOutOrAbort) {
  test::TLoopbackListener silent;
  {
    TTlsConnection conn;
    std::string error;
    try {
      conn.Connect("127.0.0.1", silent.Port(), 300);
    } catch (const TConnectionError& e) {
      error = e.what();
    }
    EXPECT_EQ(error, "TLS handshake timed out");
    EXPECT_FALSE(conn.Connected());
  }
  auto accepted = silent.Accept();
  TTlsConnection conn;
  std::string error;
  std::thread connector([&] {
    try {
      conn.Connect("127.0.0.1", silent.Port(), 60000);
    } catch (const TConnectionError& e) {
      error = e.what();
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  conn.Abort();
  connector.join();
  EXPECT_EQ(error, "Connection aborted");
}

// A plain relay does not answer a TLS hello the way TLS expects; closing is one way.
TEST(TlsConnection, ServerThatClosesDuringTheHandshakeIsNamedAsSuch) {
  test::TLoopbackListener listener;
  std::thread server([&] {
    auto conn = listener.Accept();
    uint8_t hello[5];
    conn->ReadExact(hello, sizeof hello);
    conn->Close();
  });
  TTlsConnection conn;
  std::string error;
  try {
    conn.Connect("127.0.0.1", listener.Port(), 5000);
  } catch (const TConnectionError& e) {
    error = e.what();
  }
  server.join();
  EXPECT_NE(error.find("does it accept TLS?"), std::string::npos) << error;
}

TEST(TlsConnection, CallsBeforeConnectFail) {
  TTlsConnection conn;
  uint8_t byte;
  EXPECT_THROW(conn.WriteAll("x", 1), TConnectionError);
  EXPECT_THROW(conn.ReadExact(&byte, 1), TConnectionError);
  EXPECT_THROW(conn.WaitReadable(0), TConnectionError);
}

TEST(RelayLinkChoice, TheChoiceMakesTheConnection) {
  for (const bool tls : {false, true}) {
    SCOPED_TRACE(tls);
    const auto conn = NewRelayConnection(TRelayTlsChoice{tls, ""});
    EXPECT_EQ(dynamic_cast<TTlsConnection*>(conn.get()) != nullptr, tls);
    EXPECT_EQ(dynamic_cast<TTcpConnection*>(conn.get()) != nullptr, !tls);
  }
}

// A channel whose owner passes no choice takes the program's default; one that passes a choice
// keeps it whatever the default says. Told apart by the first byte the relay receives: a TLS
// handshake record (22), or the type of the plain channel's first packet.
TEST(RelayLinkChoice, ChannelsWithoutAChoiceTakeTheDefault) {
  struct TCase {
    const char* Name;
    bool DefaultTls;
    std::optional<TRelayTlsChoice> Own;
    uint8_t FirstByte;
  } const cases[] = {
      {"default plain", false, std::nullopt, uint8_t(MsgKeepAlive)},
      {"default TLS", true, std::nullopt, 22},
      {"own plain over a TLS default", true, TRelayTlsChoice{false, ""}, uint8_t(MsgKeepAlive)},
      {"own TLS over a plain default", false, TRelayTlsChoice{true, ""}, 22},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    SetDefaultRelayTls(TRelayTlsChoice{c.DefaultTls, ""});
    test::TLoopbackListener relay;
    TRelayChannelSettings settings;
    settings.Host = "127.0.0.1";
    settings.Port = relay.Port();
    settings.Tls = c.Own;
    settings.ConnectTimeoutMs = 2000;
    TRelayChannel channel(settings);
    channel.OnConnected = [&channel] { channel.Writer().Post(MsgKeepAlive); };
    channel.Start();
    auto conn = relay.Accept();
    uint8_t first = 0;
    conn->ReadExact(&first, 1);
    EXPECT_EQ(first, c.FirstByte);
    channel.End();
  }
  SetDefaultRelayTls(TRelayTlsChoice{});
}

}  // namespace
}  // namespace tlm
