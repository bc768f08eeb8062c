// TLS between clients and the relay: plain and TLS on one port, certificate checks on the
// client, TLS-only relays, and handshakes cut off by their deadline.
#include <gtest/gtest.h>

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "protocol/Error.h"
#include "protocol/TlsConnection.h"
#include "relay/RelayHub.h"
#include "relay/RelayStream.h"
#include "tests/relay/RelayFixture.h"
#include "tests/relay/SessionTraffic.h"
#include "tests/support/CannedClientHello.h"
#include "tests/support/PacketWrites.h"
#include "tests/support/TempFiles.h"
#include "tests/support/TestCa.h"

namespace tlm::test {
namespace {

class RelayTls : public TRelayFixture {
protected:
  TRelayOptions TlsOptions(const std::vector<std::string>& ANames = {"localhost", "127.0.0.1"}) {
    const auto files = FCa.Issue(ANames);
    TRelayOptions options = TestOptions();
    options.TlsCertFile = files.Cert;
    options.TlsKeyFile = files.Key;
    return options;
  }

  std::unique_ptr<TScriptedPeer> TlsPeer(const std::string& AHost = "localhost") {
    return std::make_unique<TScriptedPeer>(std::make_unique<TTlsConnection>(FCa.CertFile()), FPort, AHost);
  }

  // What Connect of a TLS client reports ("" when it connects).
  std::string TlsConnectError(const std::string& ACaFile, const std::string& AHost) {
    TTlsConnection conn(ACaFile);
    try {
      conn.Connect(AHost, FPort, 5000);
    } catch (const TConnectionError& e) {
      return e.what();
    }
    return "";
  }

  TTestCa FCa;
};

// Large packets take the relay's bulk paths (direct reads, splicing between plain sockets),
// so every mix of plain and TLS ends must keep each stream byte-exact.
TEST_F(RelayTls, SessionsWithEveryMixOfPlainAndTlsEndsPassTrafficIntact) {
  StartRelay(TlsOptions());
  struct TCase {
    bool HostTls, ViewerTls;
  };
  for (const TCase c : {TCase{true, true}, TCase{false, true}, TCase{true, false}, TCase{false, false}}) {
    SCOPED_TRACE(std::string("host ") + (c.HostTls ? "TLS" : "plain") + ", viewer " + (c.ViewerTls ? "TLS" : "plain"));
    auto host = c.HostTls ? TlsPeer() : Peer();
    const std::string id = host->Register("key-" + std::to_string(c.HostTls) + std::to_string(c.ViewerTls));
    ASSERT_FALSE(id.empty());
    auto viewer = c.ViewerTls ? TlsPeer() : Peer();
    viewer->RequestConnect(id);
    host->Expect(MsgAdmitRequest);
    host->Send(MsgAdmitAccept);
    host->Expect(MsgSessionStart);
    viewer->Expect(MsgSessionStart);

    const auto sizes = [](uint32_t ASeq) { return ASeq % 5 == 0 ? size_t(3) << 20 : TrafficSize(ASeq); };
    std::string down, up;
    std::thread downThread([&] { Stream(*host, *viewer, true, 60, down, sizes); });
    std::thread upThread([&] { Stream(*viewer, *host, false, 60, up, sizes); });
    downThread.join();
    upThread.join();
    EXPECT_EQ(down, "");
    EXPECT_EQ(up, "");

    viewer.reset();
    host->Expect(MsgSessionEnd);
  }
}

TEST_F(RelayTls, ClientsSpeakTls13ToTheRelay) {
  StartRelay(TlsOptions());
  TTlsConnection conn(FCa.CertFile());
  conn.Connect("localhost", FPort, 5000);
  EXPECT_EQ(conn.Version(), "TLSv1.3");
}

TEST_F(RelayTls, ClientRefusesAServerItCannotVerifyAndSaysWhy) {
  TTestCa otherCa("some other CA");
  struct TCase {
    const char* What;
    std::vector<std::string> CertNames;
    std::string CaFile;
    std::string Host;
    std::string Expected;
  };
  const TCase cases[] = {
      {"certificate from a CA the client does not trust", {"localhost"}, otherCa.CertFile(), "localhost",
       "unable to get local issuer certificate"},
      {"certificate for another host name", {"elsewhere.test"}, FCa.CertFile(), "localhost", "hostname mismatch"},
      {"certificate without the address connected to", {"localhost"}, FCa.CertFile(), "127.0.0.1",
       "IP address mismatch"},
      {"CA file that does not exist", {"localhost"}, "/nonexistent/ca.pem", "localhost", "/nonexistent/ca.pem"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    StartRelay(TlsOptions(c.CertNames));
    const std::string error = TlsConnectError(c.CaFile, c.Host);
    EXPECT_NE(error.find(c.Expected), std::string::npos) << error;
    FRelay->Stop();
  }
  // The right CA and name on the same kind of relay connects.
  StartRelay(TlsOptions({"localhost"}));
  EXPECT_EQ(TlsConnectError(FCa.CertFile(), "localhost"), "");
}

TEST_F(RelayTls, SelfSignedCertificateWorksWhenTheClientTrustsExactlyIt) {
  TTempHome folder;
  const auto files = TTestCa::SelfSigned(folder.Path(), {"localhost"});
  TRelayOptions options = TestOptions();
  options.TlsCertFile = files.Cert;
  options.TlsKeyFile = files.Key;
  StartRelay(options);
  EXPECT_EQ(TlsConnectError(files.Cert, "localhost"), "");
  EXPECT_NE(TlsConnectError(FCa.CertFile(), "localhost"), "");
}

TEST_F(RelayTls, TlsOnlyRelayTellsAPlainViewerWhyAndClosesIt) {
  TRelayOptions options = TlsOptions();
  options.TlsOnly = true;
  StartRelay(options);
  auto viewer = Peer();
  viewer->RequestConnect("123456789");
  EXPECT_EQ(viewer->ExpectText(MsgRelayError), relaytext::TlsRequired);
  EXPECT_TRUE(viewer->WaitClosed());
  // A plain host is closed as well; TLS clients are served.
  auto plainHost = Peer();
  plainHost->SendText(MsgHostRegister, "plain-key");
  EXPECT_TRUE(plainHost->WaitClosed());
  EXPECT_FALSE(TlsPeer()->Register("tls-key").empty());
  EXPECT_TRUE(LogContains("refused plain connection from 127.0.0.1"));
}

TEST_F(RelayTls, RelayWithoutUsableCertificateDoesNotStart) {
  const auto good = FCa.Issue({"localhost"});
  const auto other = FCa.Issue({"localhost"});
  struct TCase {
    const char* What;
    std::string Cert, Key;
    bool Only;
    std::string Expected;
  };
  const TCase cases[] = {
      {"missing certificate file", "/nonexistent/relay.crt", good.Key, false, "/nonexistent/relay.crt"},
      {"key of another certificate", good.Cert, other.Key, false, "key values mismatch"},
      {"certificate without key", good.Cert, "", false, "both a certificate and a key"},
      {"TLS only without certificate", "", "", true, "needs a certificate"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    TRelayOptions options = TestOptions();
    options.TlsCertFile = c.Cert;
    options.TlsKeyFile = c.Key;
    options.TlsOnly = c.Only;
    TRelayServer relay(options);
    try {
      relay.Start();
      ADD_FAILURE() << "started";
    } catch (const TError& e) {
      EXPECT_NE(std::string(e.what()).find(c.Expected), std::string::npos) << e.what();
    }
  }
}

// A client that sends nothing, or stops half-way through its handshake, is closed when the
// handshake time-out runs out; meanwhile it counts against its address's limit.
TEST_F(RelayTls, StalledHandshakesAreCutByTheDeadlineAndCountAgainstTheAddressLimit) {
  TRelayOptions options = TlsOptions();
  options.TlsHandshakeTimeout = std::chrono::milliseconds(600);
  options.MaxConnectionsPerIp = 2;
  StartRelay(options);
  const uint8_t helloStart[] = {0x16, 0x03, 0x01, 0x02, 0x00, 0x01, 0x00, 0x01};
  struct TCase {
    const char* What;
    size_t Send;
    const char* Logged;
  };
  const TCase cases[] = {{"silent client", 0, "nothing received in time"},
                         {"handshake record cut short", sizeof helloStart, "handshake timed out"}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    std::vector<std::unique_ptr<TScriptedPeer>> stalled;
    for (int i = 0; i < 2; ++i) {
      stalled.push_back(Peer());
      if (c.Send) stalled.back()->SendRaw(helloStart, c.Send);
    }
    ASSERT_TRUE(WaitUntil([&] { return FRelay->Stats().Connections == 2; }));
    // The stalled pair fills the address's quota: a third client is refused as soon as its
    // first byte shows it plain.
    auto third = Peer();
    third->SendText(MsgHostRegister, "third-key");
    EXPECT_EQ(third->ExpectText(MsgRelayError), relaytext::TooManyConnections);
    // Nothing else would close them for minutes (the idle time-out).
    for (auto& peer : stalled) EXPECT_TRUE(peer->WaitClosed(5000));
    // The relay logs once its handshake coroutine has seen the close, a moment later.
    EXPECT_TRUE(WaitUntil([&] { return LogContains(c.Logged); }));
    EXPECT_TRUE(WaitUntil([&] { return FRelay->Stats().Connections == 0; }));
  }
  // With the quota free again a TLS client gets through.
  EXPECT_FALSE(TlsPeer()->Register("after-stall").empty());
}

TEST_F(RelayTls, JunkThatStartsLikeAHandshakeIsClosedAndHarmsNobody) {
  StartRelay(TlsOptions());
  auto host = TlsPeer();
  const std::string id = host->Register("bystander");
  std::vector<uint8_t> junk(4096, 0xFF);
  junk[0] = 0x16;
  auto peer = Peer();
  peer->SendRaw(junk.data(), junk.size());
  EXPECT_TRUE(peer->WaitClosed());
  EXPECT_TRUE(WaitUntil([&] { return LogContains("not opened"); }));
  // The registered host is still reachable.
  auto viewer = TlsPeer();
  viewer->RequestConnect(id);
  host->Expect(MsgAdmitRequest);
}

// Anyone can open connections that fail their handshake: beyond the burst, they are counted
// for the summary instead of logged one by one.
TEST_F(RelayTls, FailedHandshakesDoNotFloodTheLog) {
  TRelayOptions options = TlsOptions();
  options.LogBurst = 3;
  StartRelay(options);
  std::vector<uint8_t> junk(64, 0xFF);
  junk[0] = 0x16;
  for (int i = 0; i < 10; ++i) {
    auto peer = Peer();
    peer->SendRaw(junk.data(), junk.size());
    EXPECT_TRUE(peer->WaitClosed());
  }
  EXPECT_TRUE(WaitUntil([&] { return FRelay->Stats().Connections == 0; }));
  FRelay->FlushLog();
  std::lock_guard<std::mutex> hold(FLogLock);
  EXPECT_EQ(std::count_if(FLogLines.begin(), FLogLines.end(),
                          [](const std::string& ALine) { return ALine.find(" not opened: ") != std::string::npos; }),
            3);
}

TEST_F(RelayTls, TlsReadTimesOutAndAbortWakesABlockedRead) {
  StartRelay(TlsOptions());
  TTlsConnection conn(FCa.CertFile());
  conn.Connect("localhost", FPort, 5000);
  conn.SetReadTimeout(150);
  uint8_t byte;
  EXPECT_FALSE(conn.WaitReadable(100));
  try {
    conn.ReadExact(&byte, 1);
    ADD_FAILURE() << "read returned";
  } catch (const TConnectionError& e) {
    EXPECT_STREQ(e.what(), "Read timed out");
  }
  conn.SetReadTimeout(0);
  std::string readError;
  std::thread reader([&] {
    try {
      conn.ReadExact(&byte, 1);
    } catch (const TConnectionError& e) {
      readError = e.what();
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  conn.Abort();
  reader.join();
  EXPECT_EQ(readError, "Connection aborted");
  EXPECT_THROW(conn.WriteAll("x", 1), TConnectionError);
}

TEST_F(RelayTls, RelayClosingReachesTheTlsClientAsAClose) {
  StartRelay(TlsOptions());
  auto viewer = TlsPeer();
  viewer->RequestConnect("999999999");
  EXPECT_EQ(viewer->ExpectText(MsgRelayError), relaytext::Offline);
  EXPECT_TRUE(viewer->WaitClosed());
}

// Writing on after the relay has closed must fail as a connection error: OpenSSL writes with
// write(), whose SIGPIPE would otherwise end the whole program (the host as well as the viewer).
TEST_F(RelayTls, WritingToAClosedRelayFailsWithoutEndingTheProgram) {
  StartRelay(TlsOptions());
  TTlsConnection conn(FCa.CertFile());
  conn.Connect("localhost", FPort, 5000);
  WriteTextPacket(conn, MsgKeepAlive, "", nullptr);
  FRelay->Stop();
  const TBytes chunk(65536, 7);
  bool failed = false;
  for (int i = 0; i < 1000 && !failed; ++i) {
    try {
      WritePacket(conn, MsgFileChunk, chunk, nullptr);
    } catch (const TConnectionError&) {
      failed = true;
    }
  }
  EXPECT_TRUE(failed);
}


// The per-address handshake budget: a burst at once, then one turn per interval; a turn that
// would come too late is refused without being used up; addresses do not share turns.
TEST(HandshakeRate, HandsOutABurstThenOneTurnPerIntervalPerAddress) {
  using namespace std::chrono_literals;
  using TClock = THandshakeRate::TClock;
  THandshakeRate rate(4);  // a burst of 4, then one every 250 ms
  const TClock::time_point t0{};
  struct TCase {
    const char* What;
    const char* Key;
    TClock::duration At, Latest;  // when asked, and the latest start accepted (from t0)
    bool Granted;
    TClock::duration Start;
  };
  const TCase cases[] = {
      {"burst 1", "a", 0ms, 0ms, true, 0ms},
      {"burst 2", "a", 0ms, 0ms, true, 0ms},
      {"burst 3", "a", 0ms, 0ms, true, 0ms},
      {"burst 4", "a", 0ms, 0ms, true, 0ms},
      {"over the burst, may not wait", "a", 0ms, 0ms, false, 0ms},
      {"over the burst, waits its turn", "a", 0ms, 10s, true, 250ms},
      {"the next turn after that", "a", 0ms, 10s, true, 500ms},
      {"a turn beyond the latest start", "a", 0ms, 600ms, false, 0ms},
      {"refusal used nothing up", "a", 0ms, 750ms, true, 750ms},
      {"another address has its own burst", "b", 0ms, 0ms, true, 0ms},
      {"turns come back with time", "a", 1250ms, 1250ms, true, 1250ms},
      {"a quiet address has its whole burst again", "b", 5s, 5s, true, 5s},
  };
  int granted = 0;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    TClock::time_point start{};
    EXPECT_EQ(rate.Reserve(c.Key, t0 + c.At, t0 + c.Latest, start), c.Granted);
    if (c.Granted) {
      EXPECT_EQ(start, t0 + c.Start);
      ++granted;
    }
  }
  for (int i = 1; i < 4; ++i) {
    TClock::time_point start{};
    EXPECT_TRUE(rate.Reserve("b", t0 + 5s, t0 + 5s, start)) << i;
  }
  EXPECT_EQ(granted, 10);
}

// Forgotten addresses do not pile up: entries whose budget is whole again are pruned.
TEST(HandshakeRate, ForgetsAddressesWhoseBudgetIsWholeAgain) {
  using namespace std::chrono_literals;
  THandshakeRate rate(10);
  const THandshakeRate::TClock::time_point t0{};
  THandshakeRate::TClock::time_point start{};
  for (int i = 0; i < 5000; ++i) ASSERT_TRUE(rate.Reserve("addr-" + std::to_string(i), t0, t0, start));
  EXPECT_GE(rate.Tracked(), 1000u);
  for (int i = 0; i < 5000; ++i) ASSERT_TRUE(rate.Reserve("later-" + std::to_string(i), t0 + 10s, t0 + 10s, start));
  EXPECT_LE(rate.Tracked(), 5000u);
}

class RelayTlsFlood : public RelayTls {
protected:
  // Opens ACount connections from AFrom, each sending the canned ClientHello.
  std::vector<int> Flood(const char* AFrom, int ACount) {
    const auto hello = CannedClientHello();
    std::vector<int> fds;
    for (int i = 0; i < ACount; ++i) {
      const int fd = ConnectFrom(AFrom, FPort);
      EXPECT_GE(fd, 0);
      if (fd < 0) break;
      EXPECT_EQ(::send(fd, hello.data(), hello.size(), MSG_NOSIGNAL), ssize_t(hello.size()));
      fds.push_back(fd);
    }
    return fds;
  }
  // How many of AFds the relay has answered (its ServerHello: a handshake it computed), and
  // how many it has closed without an answer.
  static void Count(const std::vector<int>& AFds, size_t& AAnswered, size_t& AClosed) {
    AAnswered = AClosed = 0;
    for (int fd : AFds) {
      pollfd ready{fd, POLLIN, 0};
      if (::poll(&ready, 1, 0) != 1) continue;
      uint8_t byte;
      const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
      if (n > 0) ++AAnswered;
      else ++AClosed;
    }
  }
  static void CloseAll(std::vector<int>& AFds) {
    for (int fd : AFds) ::close(fd);
    AFds.clear();
  }
};

// One address replaying a ClientHello gets its burst and then one handshake per turn; the
// ones whose turn would come after the handshake time-out are held until it, then closed. A client from
// another address is served meanwhile, its handshake not held back by the flood's turns.
TEST_F(RelayTlsFlood, HandshakesFromOneAddressAreRationedWhileOthersAreServed) {
  TRelayOptions options = TlsOptions();
  options.TlsHandshakesPerIpPerSecond = 5;
  options.TlsHandshakeTimeout = std::chrono::milliseconds(2000);
  StartRelay(options);
  const auto began = std::chrono::steady_clock::now();
  std::vector<int> flood = Flood("127.0.0.2", 40);
  ASSERT_EQ(flood.size(), 40u);

  auto honest = TlsPeer();
  EXPECT_FALSE(honest->Register("honest-host").empty());
  auto viewer = TlsPeer();
  viewer->RequestConnect("999999999");
  EXPECT_EQ(viewer->ExpectText(MsgRelayError), relaytext::Offline);

  // Turns beyond the time-out (burst 5 + one per 200 ms for 2 s: 15 at most) are refused.
  size_t answered = 0, closed = 0;
  ASSERT_TRUE(WaitUntil([&] {
    Count(flood, answered, closed);
    return answered >= 1 && closed >= 20;
  }));
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  EXPECT_LE(double(answered), 5 + 5 * elapsed + 1) << "after " << elapsed << " s";
  EXPECT_TRUE(LogContains("too many TLS handshakes from 127.0.0.2"));
  EXPECT_FALSE(LogContains("too many TLS handshakes from 127.0.0.1"));
  // The rationed address is served again as its turns come.
  CloseAll(flood);
  EXPECT_TRUE(WaitUntil([&] { return FRelay->Stats().Connections == 1; }));
}

// Stopping the relay ends handshakes that wait for their turn and ones a worker is computing.
TEST_F(RelayTlsFlood, StopEndsHandshakesWaitingAndRunning) {
  TRelayOptions options = TlsOptions();
  options.TlsHandshakesPerIpPerSecond = 2;
  StartRelay(options);
  std::vector<int> flood = Flood("127.0.0.3", 20);
  auto honest = TlsPeer();
  EXPECT_FALSE(honest->Register("before-stop").empty());
  ASSERT_TRUE(WaitUntil([&] { return FRelay->Stats().Connections == 21; }));
  FRelay->Stop();
  EXPECT_EQ(FRelay->Stats().Connections, 0u);
  size_t answered = 0, closed = 0;
  Count(flood, answered, closed);
  EXPECT_EQ(answered + closed, flood.size());
  EXPECT_TRUE(LogContains("stopped"));
  CloseAll(flood);
}

// A TLS client the relay refuses (here: its address is at its connection limit) completes its
// handshake and reads the refusal over TLS, as it would any other answer.
TEST_F(RelayTls, RefusedTlsClientReadsTheRefusalAfterItsHandshake) {
  TRelayOptions options = TlsOptions();
  options.MaxConnectionsPerIp = 1;
  StartRelay(options);
  auto first = TlsPeer();
  ASSERT_FALSE(first->Register("holds-the-quota").empty());
  struct TCase {
    const char* What;
    bool Tls;
  };
  for (const TCase c : {TCase{"TLS client", true}, TCase{"plain client", false}}) {
    SCOPED_TRACE(c.What);
    auto refused = c.Tls ? TlsPeer() : Peer();
    refused->RequestConnect("123456789");
    EXPECT_EQ(refused->ExpectText(MsgRelayError), relaytext::TooManyConnections);
    EXPECT_TRUE(refused->WaitClosed());
  }
}

}  // namespace
}  // namespace tlm::test
