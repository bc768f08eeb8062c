// The client's TLS connection against servers that never answer its handshake, and the one
// place that chooses between plain and TLS relay connections. Sessions over TLS are tested
// with the relay (tests/relay/RelayTlsTest.cpp).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "protocol/Error.h"
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

class RelayLinkChoice : public ::testing::Test {
protected:
  void TearDown() override {
    ::unsetenv("TLMREMOTE_TLS");
    ::unsetenv("TLMREMOTE_TLS_CA");
    SetRelayTlsConfigured(false);
  }
};

TEST_F(RelayLinkChoice, PlainUnlessTheEnvironmentOrTheConfigurationAsksForTls) {
  struct TCase {
    const char* Env;  // nullptr: not set
    bool Configured;
    bool Tls;
  };
  const TCase cases[] = {{nullptr, false, false}, {"0", false, false}, {"", false, false}, {"yes", false, false},
                         {"1", false, true},      {nullptr, true, true}, {"0", true, true}, {"1", true, true}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string("TLMREMOTE_TLS=") + (c.Env ? c.Env : "(unset)") + ", RelayTls=" +
                 (c.Configured ? "1" : "0"));
    if (c.Env) ::setenv("TLMREMOTE_TLS", c.Env, 1); else ::unsetenv("TLMREMOTE_TLS");
    SetRelayTlsConfigured(c.Configured);
    EXPECT_EQ(RelayTlsChoice().Enabled, c.Tls);
    const auto conn = NewRelayConnection();
    EXPECT_EQ(dynamic_cast<TTlsConnection*>(conn.get()) != nullptr, c.Tls);
    EXPECT_EQ(dynamic_cast<TTcpConnection*>(conn.get()) != nullptr, !c.Tls);
  }
}

}  // namespace
}  // namespace tlm
