// TLS between clients and the relay: plain and TLS on one port, certificate checks on the
// client, TLS-only relays, and handshakes cut off by their deadline.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "protocol/Error.h"
#include "protocol/TlsConnection.h"
#include "relay/RelayHub.h"
#include "tests/relay/RelayFixture.h"
#include "tests/relay/SessionTraffic.h"
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
    // The stalled pair fills the address's quota: a third client is refused at once.
    auto third = Peer();
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

}  // namespace
}  // namespace tlm::test
