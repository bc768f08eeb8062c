// The PROXY protocol header a load balancer puts in front of a client's bytes: what the parser
// accepts and refuses in both versions, and the socket reader taking exactly the header off a
// real connection.
#include <gtest/gtest.h>

#include <asio.hpp>

#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "relay/ProxyHeader.h"

namespace tlm::test {
namespace {

using asio::ip::tcp;
using TRaw = std::vector<uint8_t>;

TRaw Raw(std::string_view AText) { return TRaw(AText.begin(), AText.end()); }

// A version 2 header: signature, version/command byte, family/protocol byte, body.
TRaw V2(uint8_t AVersionCommand, uint8_t AFamily, const TRaw& ABody) {
  TRaw bytes = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
  bytes.push_back(AVersionCommand);
  bytes.push_back(AFamily);
  bytes.push_back(uint8_t(ABody.size() >> 8));
  bytes.push_back(uint8_t(ABody.size()));
  bytes.insert(bytes.end(), ABody.begin(), ABody.end());
  return bytes;
}

constexpr uint8_t Proxy = 0x21, Local = 0x20;

// Source and destination addresses and ports as a TCP/IPv4 body.
TRaw Inet4(std::array<uint8_t, 4> ASource) {
  TRaw body(ASource.begin(), ASource.end());
  for (const uint8_t b : {10, 0, 0, 1, 0xC3, 0x50, 0xE6, 0x78}) body.push_back(b);
  return body;
}

TRaw Inet6(std::array<uint8_t, 16> ASource) {
  TRaw body(ASource.begin(), ASource.end());
  body.resize(36, 0);
  body[16 + 15] = 1;  // destination ::1
  return body;
}

TRaw Concat(TRaw AOne, const TRaw& ATwo) {
  AOne.insert(AOne.end(), ATwo.begin(), ATwo.end());
  return AOne;
}

const TRaw Doc6 = Inet6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x07});
const TRaw Mapped6 = Inet6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 192, 0, 2, 33});
// Two TLVs: ALPN "tlm" and a NOOP of 5 bytes.
const TRaw Tlvs = {0x01, 0x00, 0x03, 't', 'l', 'm', 0x04, 0x00, 0x05, 0, 0, 0, 0, 0};

struct TValidCase {
  const char* Name;
  TRaw Header;
  std::string Client;
};

std::vector<TValidCase> ValidHeaders() {
  const std::string longestUnknown =
      "PROXY UNKNOWN ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff 65535 65535\r\n";
  return {
      {"v1 TCP4", Raw("PROXY TCP4 192.168.0.1 192.168.0.11 56324 443\r\n"), "192.168.0.1"},
      {"v1 TCP4 extremes", Raw("PROXY TCP4 255.255.255.255 0.0.0.0 65535 0\r\n"), "255.255.255.255"},
      {"v1 TCP6", Raw("PROXY TCP6 2001:DB8::1 2001:db8::2 1 2\r\n"), "2001:db8::1"},
      {"v1 TCP6 IPv4-mapped", Raw("PROXY TCP6 ::ffff:198.51.100.4 ::1 4000 59000\r\n"), "198.51.100.4"},
      {"v1 UNKNOWN short", Raw("PROXY UNKNOWN\r\n"), ""},
      {"v1 UNKNOWN longest", Raw(longestUnknown), ""},
      {"v2 TCP4", V2(Proxy, 0x11, Inet4({203, 0, 113, 7})), "203.0.113.7"},
      {"v2 TCP4 with TLVs", V2(Proxy, 0x11, Concat(Inet4({203, 0, 113, 8}), Tlvs)), "203.0.113.8"},
      {"v2 TCP6", V2(Proxy, 0x21, Doc6), "2001:db8::7"},
      {"v2 TCP6 with TLVs", V2(Proxy, 0x21, Concat(Doc6, Tlvs)), "2001:db8::7"},
      {"v2 TCP6 IPv4-mapped", V2(Proxy, 0x21, Mapped6), "192.0.2.33"},
      {"v2 LOCAL", V2(Local, 0x00, {}), ""},
      {"v2 LOCAL with addresses", V2(Local, 0x11, Inet4({203, 0, 113, 9})), ""},
      {"v2 AF_UNSPEC", V2(Proxy, 0x00, {}), ""},
      {"v2 AF_UNIX", V2(Proxy, 0x31, TRaw(216, 'u')), ""},
      {"v2 IPv4 with unspecified protocol", V2(Proxy, 0x10, Inet4({203, 0, 113, 10})), ""},
      {"v2 body at the cap", V2(Proxy, 0x11, Concat(Inet4({203, 0, 113, 11}), TRaw(MaxProxyV2Body - 12, 0))),
       "203.0.113.11"},
  };
}

TEST(ProxyHeader, ValidHeadersGiveTheClientAndTheirExactLength) {
  const TRaw payload = {0x01, 0x00, 0x00, 0x00, 0x16, 0x03, 0x01, 'P', 'R', 0x0D, 0x0A};
  for (const auto& c : ValidHeaders()) {
    SCOPED_TRACE(c.Name);
    for (const bool followed : {false, true}) {
      const TRaw bytes = followed ? Concat(c.Header, payload) : c.Header;
      size_t len = 0;
      std::string client = "stale";
      ASSERT_EQ(ParseProxyHeader(bytes, len, client), TProxyParse::Done) << (followed ? "followed by a payload" : "");
      EXPECT_EQ(len, c.Header.size());
      EXPECT_EQ(client, c.Client);
    }
  }
}

TEST(ProxyHeader, EveryProperPrefixOfAValidHeaderNeedsMore) {
  for (const auto& c : ValidHeaders()) {
    SCOPED_TRACE(c.Name);
    for (size_t n = 0; n < c.Header.size(); ++n) {
      size_t len = 0;
      std::string client;
      ASSERT_EQ(ParseProxyHeader(std::span(c.Header.data(), n), len, client), TProxyParse::NeedMore) << n << " bytes";
    }
  }
}

TEST(ProxyHeader, MalformedHeadersAreRefused) {
  TRaw wrongSignature = V2(Proxy, 0x11, Inet4({1, 2, 3, 4}));
  wrongSignature[7] = 'R';
  TRaw overCap = V2(Proxy, 0x11, {});
  overCap[14] = uint8_t((MaxProxyV2Body + 1) >> 8);
  overCap[15] = uint8_t(MaxProxyV2Body + 1);  // refused from the head alone, before any body came
  const std::string v1Without = "PROXY UNKNOWN " + std::string(107 - 14, 'a');
  struct TCase {
    const char* Name;
    TRaw Bytes;
  };
  const TCase cases[] = {
      {"a relay packet", {0x01, 0, 0, 0, 0x03, 0, 0, 0, 'k', 'e', 'y'}},
      {"an HTTP request", Raw("GET / HTTP/1.1\r\n")},
      {"a TLS ClientHello", {0x16, 0x03, 0x01, 0x00, 0xc8}},
      {"PROXY misspelt", Raw("PROXZ TCP4")},
      {"v1 lower case", Raw("proxy TCP4 1.2.3.4 5.6.7.8 1 2\r\n")},
      {"v1 no CRLF in 107 bytes", Raw(v1Without)},
      {"v1 CRLF past 107 bytes", Raw(v1Without.substr(0, 106) + "\r\n")},
      {"v1 CR alone", Raw("PROXY TCP4 1.2.3.4 5.6.7.8 1 2\rX")},
      {"v1 LF alone", Raw("PROXY TCP4 1.2.3.4 5.6.7.8 1 2\n")},
      {"v1 NUL inside", Raw(std::string("PROXY TCP4 1.2.3.4\0", 19))},
      {"v1 unknown protocol", Raw("PROXY TCP5 1.2.3.4 5.6.7.8 1 2\r\n")},
      {"v1 missing port", Raw("PROXY TCP4 1.2.3.4 5.6.7.8 1\r\n")},
      {"v1 extra field", Raw("PROXY TCP4 1.2.3.4 5.6.7.8 1 2 3\r\n")},
      {"v1 two spaces", Raw("PROXY TCP4 1.2.3.4  5.6.7.8 1 2\r\n")},
      {"v1 two spaces after PROXY", Raw("PROXY  TCP4 1.2.3.4 5.6.7.8 1 2\r\n")},
      {"v1 trailing space", Raw("PROXY TCP4 1.2.3.4 5.6.7.8 1 2 \r\n")},
      {"v1 octet over 255", Raw("PROXY TCP4 256.2.3.4 5.6.7.8 1 2\r\n")},
      {"v1 leading zero in address", Raw("PROXY TCP4 01.2.3.4 5.6.7.8 1 2\r\n")},
      {"v1 three octets", Raw("PROXY TCP4 1.2.3 5.6.7.8 1 2\r\n")},
      {"v1 bad destination", Raw("PROXY TCP4 1.2.3.4 5.6.7 1 2\r\n")},
      {"v1 IPv6 under TCP4", Raw("PROXY TCP4 2001:db8::1 5.6.7.8 1 2\r\n")},
      {"v1 IPv4 under TCP6", Raw("PROXY TCP6 1.2.3.4 ::1 1 2\r\n")},
      {"v1 IPv6 scope", Raw("PROXY TCP6 fe80::1%lo ::1 1 2\r\n")},
      {"v1 IPv6 too many groups", Raw("PROXY TCP6 1:2:3:4:5:6:7:8:9 ::1 1 2\r\n")},
      {"v1 port over 65535", Raw("PROXY TCP4 1.2.3.4 5.6.7.8 65536 2\r\n")},
      {"v1 port with leading zero", Raw("PROXY TCP4 1.2.3.4 5.6.7.8 080 2\r\n")},
      {"v1 negative port", Raw("PROXY TCP4 1.2.3.4 5.6.7.8 -1 2\r\n")},
      {"v1 port not a number", Raw("PROXY TCP4 1.2.3.4 5.6.7.8 1a 2\r\n")},
      {"v2 wrong signature", wrongSignature},
      {"v2 version 1", V2(0x11, 0x11, Inet4({1, 2, 3, 4}))},
      {"v2 version 3", V2(0x31, 0x11, Inet4({1, 2, 3, 4}))},
      {"v2 unknown command", V2(0x22, 0x11, Inet4({1, 2, 3, 4}))},
      {"v2 unknown family", V2(Proxy, 0x41, Inet4({1, 2, 3, 4}))},
      {"v2 unknown protocol", V2(Proxy, 0x13, Inet4({1, 2, 3, 4}))},
      {"v2 IPv4 body too short", V2(Proxy, 0x11, TRaw(8, 1))},
      {"v2 IPv6 body too short", V2(Proxy, 0x21, TRaw(20, 1))},
      {"v2 body over the cap", overCap},
  };
  for (const auto& c : cases) {
    size_t len = 0;
    std::string client;
    EXPECT_EQ(ParseProxyHeader(c.Bytes, len, client), TProxyParse::Malformed) << c.Name;
  }
}

// ReadProxyHeader on the accepted end of a loopback connection, its client written to by the
// test directly.
class ProxyHeaderReader : public ::testing::Test {
protected:
  ProxyHeaderReader() {
    tcp::acceptor acceptor(FIo, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    FClient.connect(acceptor.local_endpoint());
    acceptor.accept(FServer);
  }

  // Runs ReadProxyHeader to its end while AFeed writes from another thread.
  template <typename F>
  bool Read(std::chrono::milliseconds ATimeout, F AFeed) {
    bool ok = false;
    asio::co_spawn(
        FIo,
        [&]() -> asio::awaitable<void> { ok = co_await ReadProxyHeader(FServer, ATimeout, FClientAddress, FWhy); },
        [](std::exception_ptr AError) {
          if (AError) std::rethrow_exception(AError);
        });
    std::thread feeder(AFeed);
    FIo.run();
    feeder.join();
    FIo.restart();
    return ok;
  }

  void Send(const TRaw& ABytes) { asio::write(FClient, asio::buffer(ABytes)); }

  // The next ABytes the server end receives (fewer if they do not come within seconds).
  TRaw Received(size_t ABytes) {
    TRaw bytes(ABytes);
    size_t got = 0;
    asio::async_read(FServer, asio::buffer(bytes), [&](const asio::error_code&, size_t AGot) { got = AGot; });
    FIo.run_for(std::chrono::seconds(5));
    FIo.restart();
    bytes.resize(got);
    return bytes;
  }

  asio::io_context FIo;
  tcp::socket FClient{FIo}, FServer{FIo};
  std::string FClientAddress = "stale", FWhy;
};

TEST_F(ProxyHeaderReader, HeaderInPiecesIsTakenAndEveryByteAfterItStays) {
  // A version 2 header in three pieces (the length field split) and a packet right behind
  // its last piece; then the rest of the packet later.
  const TRaw header = V2(Proxy, 0x11, Concat(Inet4({198, 51, 100, 20}), Tlvs));
  TRaw packet(3000);
  for (size_t i = 0; i < packet.size(); ++i) packet[i] = uint8_t(i * 7 + 1);
  const bool ok = Read(std::chrono::seconds(10), [&] {
    for (const auto& piece : {TRaw(header.begin(), header.begin() + 5), TRaw(header.begin() + 5, header.begin() + 15),
                              Concat(TRaw(header.begin() + 15, header.end()), TRaw(packet.begin(), packet.begin() + 100))}) {
      Send(piece);
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    Send(TRaw(packet.begin() + 100, packet.end()));
  });
  ASSERT_TRUE(ok) << FWhy;
  EXPECT_EQ(FClientAddress, "198.51.100.20");
  EXPECT_EQ(Received(packet.size()), packet);
}

TEST_F(ProxyHeaderReader, VersionOneLineFollowedAtOnceByAPacketLeavesThePacket) {
  const TRaw packet = {0x01, 0, 0, 0, 0x03, 0, 0, 0, 'k', 'e', 'y'};
  const bool ok = Read(std::chrono::seconds(10), [&] { Send(Concat(Raw("PROXY TCP6 2001:db8::9 ::1 1 2\r\n"), packet)); });
  ASSERT_TRUE(ok) << FWhy;
  EXPECT_EQ(FClientAddress, "2001:db8::9");
  EXPECT_EQ(Received(packet.size()), packet);
}

TEST_F(ProxyHeaderReader, MalformedHeaderFailsAtOnce) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Read(std::chrono::seconds(10), [&] { Send(Raw("PROXY TCP4 1.2.3.4 5.6.7.8 1 99999\r\n")); }));
  EXPECT_NE(FWhy.find("malformed"), std::string::npos) << FWhy;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(ProxyHeaderReader, ClientThatDripsAndStopsGetsTheTimeOut) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Read(std::chrono::milliseconds(300), [&] {
    for (const char* piece : {"PRO", "XY TC", "P4 10.0."}) {
      Send(Raw(piece));
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
  }));
  EXPECT_NE(FWhy.find("in time"), std::string::npos) << FWhy;
  EXPECT_FALSE(FServer.is_open());
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
}

TEST_F(ProxyHeaderReader, WaitingForTheRestOfAHeaderTakesNoProcessorTime) {
  // A reader that keeps looking at the same incomplete bytes would spin until the time-out.
  const auto cpu = [] {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
  };
  const auto before = cpu();
  EXPECT_FALSE(Read(std::chrono::milliseconds(600), [&] { Send(Raw("PROXY TCP4 10.0.0.1 ")); }));
  EXPECT_LT(cpu() - before, std::chrono::milliseconds(150));
}

TEST_F(ProxyHeaderReader, ClientThatClosesInsideTheHeaderFailsBeforeTheTimeOut) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Read(std::chrono::seconds(10), [&] {
    Send(Raw("PROXY TCP4 10.0.0.1 10.0."));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    FClient.shutdown(tcp::socket::shutdown_send);
  }));
  EXPECT_NE(FWhy.find("closed"), std::string::npos) << FWhy;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(ProxyHeaderReader, ClientThatClosesWithoutAWordFails) {
  EXPECT_FALSE(Read(std::chrono::seconds(10), [&] { FClient.shutdown(tcp::socket::shutdown_send); }));
  EXPECT_NE(FWhy.find("closed"), std::string::npos) << FWhy;
}

}  // namespace
}  // namespace tlm::test
