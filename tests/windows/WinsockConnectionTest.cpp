// The Winsock client connection against a listener in the same process: the behaviours the
// reader loops rely on (time-outs, abort, a peer that stops reading, both directions at once).
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "protocol/Error.h"
#include "protocol/RelayLink.h"
#include "protocol/WinsockConnection.h"

namespace tlm {
namespace {

using namespace std::chrono;

// A listening socket on 127.0.0.1 with an ephemeral port.
class TListener {
public:
  TListener() {
    TWinsockConnection warmUp;  // starts Winsock for the process
    FSocket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(FSocket, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(::listen(FSocket, 4), 0);
    int len = sizeof addr;
    ::getsockname(FSocket, reinterpret_cast<sockaddr*>(&addr), &len);
    FPort = ntohs(addr.sin_port);
  }
  ~TListener() { Close(); }
  uint16_t Port() const { return FPort; }
  std::unique_ptr<TWinsockConnection> Accept() {
    SOCKET s = ::accept(FSocket, nullptr, nullptr);
    auto conn = std::make_unique<TWinsockConnection>();
    conn->Adopt(uintptr_t(s));
    return conn;
  }
  void Close() {
    if (FSocket != INVALID_SOCKET) ::closesocket(FSocket);
    FSocket = INVALID_SOCKET;
  }

private:
  SOCKET FSocket = INVALID_SOCKET;
  uint16_t FPort = 0;
};

struct TPair {
  TListener Listener;
  std::unique_ptr<TWinsockConnection> Client = std::make_unique<TWinsockConnection>();
  std::unique_ptr<TWinsockConnection> Server;
  TPair() {
    Client->Connect("127.0.0.1", Listener.Port(), 5000);
    Server = Listener.Accept();
  }
};

std::string ErrorOf(const std::function<void()>& AAction) {
  try {
    AAction();
  } catch (const TConnectionError& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(WinsockConnection, BothDirectionsAtOnceCarryEveryByte) {
  TPair pair;
  // 8 MiB each way at the same time: neither side reads until its own write has started, so
  // a connection that cannot read while it writes would deadlock here.
  constexpr size_t Size = 8 << 20;
  std::vector<uint8_t> up(Size), down(Size);
  for (size_t i = 0; i < Size; ++i) {
    up[i] = uint8_t(i * 7 + 1);
    down[i] = uint8_t(i * 13 + 5);
  }
  std::vector<uint8_t> gotUp(Size), gotDown(Size);
  std::thread clientWriter([&] { pair.Client->WriteAll(up.data(), Size); });
  std::thread serverWriter([&] { pair.Server->WriteAll(down.data(), Size); });
  std::thread serverReader([&] { pair.Server->ReadExact(gotUp.data(), Size); });
  pair.Client->ReadExact(gotDown.data(), Size);
  clientWriter.join();
  serverWriter.join();
  serverReader.join();
  EXPECT_EQ(gotUp, up);
  EXPECT_EQ(gotDown, down);
}

TEST(WinsockConnection, WaitsAndTimeOuts) {
  TPair pair;
  EXPECT_FALSE(pair.Client->WaitReadable(50));
  pair.Client->SetReadTimeout(300);
  uint8_t byte = 0;
  const auto start = steady_clock::now();
  EXPECT_EQ(ErrorOf([&] { pair.Client->ReadExact(&byte, 1); }), "Read timed out");
  EXPECT_GE(steady_clock::now() - start, milliseconds(250));

  const uint8_t one = 42;
  pair.Server->WriteAll(&one, 1);
  EXPECT_TRUE(pair.Client->WaitReadable(2000));
  pair.Client->ReadExact(&byte, 1);
  EXPECT_EQ(byte, 42);

  pair.Server->Close();
  EXPECT_EQ(ErrorOf([&] { pair.Client->ReadExact(&byte, 1); }), "Connection closed by peer");
}

TEST(WinsockConnection, AbortFromAnotherThreadWakesTheReaderAndEveryLaterCall) {
  TPair pair;
  pair.Client->SetReadTimeout(0);  // would wait forever
  std::string error;
  std::thread reader([&] {
    uint8_t byte = 0;
    error = ErrorOf([&] { pair.Client->ReadExact(&byte, 1); });
  });
  std::this_thread::sleep_for(milliseconds(200));
  const auto start = steady_clock::now();
  pair.Client->Abort();
  reader.join();
  EXPECT_EQ(error, "Connection aborted");
  EXPECT_LT(steady_clock::now() - start, milliseconds(2000));
  EXPECT_TRUE(pair.Client->Aborted());
  const uint8_t byte = 1;
  EXPECT_EQ(ErrorOf([&] { pair.Client->WriteAll(&byte, 1); }), "Connection aborted");
  EXPECT_EQ(ErrorOf([&] { pair.Client->Connect("127.0.0.1", pair.Listener.Port(), 1000); }), "Connection aborted");
}

TEST(WinsockConnection, AWriteToAPeerThatStopsReadingStalls) {
  TPair pair;
  pair.Client->SetWriteStallTimeout(500);
  std::vector<uint8_t> big(64 << 20);
  EXPECT_EQ(ErrorOf([&] { pair.Client->WriteAll(big.data(), big.size()); }), "Write stalled");
}

TEST(WinsockConnection, ConnectFailures) {
  uint16_t port = 0;
  {
    TListener closed;
    port = closed.Port();
  }
  TWinsockConnection conn;
  EXPECT_NE(ErrorOf([&] { conn.Connect("127.0.0.1", port, 3000); }).find("connect"), std::string::npos);
  EXPECT_FALSE(conn.Connected());
  EXPECT_NE(ErrorOf([&] { conn.Connect("no-such-host.invalid", port, 3000); }).find("Cannot resolve"), std::string::npos);
}

TEST(RelayLinkOnWindows, TlsAskedForRefusesInsteadOfPlainText) {
  TListener listener;
  std::unique_ptr<IClientConnection> conn = NewRelayConnection(TRelayTlsChoice{true, ""});
  EXPECT_EQ(ErrorOf([&] { conn->Connect("127.0.0.1", listener.Port(), 1000); }), std::string(TlsUnavailableText));
  EXPECT_FALSE(conn->Connected());
  conn = NewRelayConnection(TRelayTlsChoice{});
  conn->Connect("127.0.0.1", listener.Port(), 3000);
  EXPECT_TRUE(conn->Connected());
}

}  // namespace
}  // namespace tlm
