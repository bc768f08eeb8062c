#include "relay/ProxyHeader.h"

#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "relay/SocketDeadline.h"

namespace tlm {

namespace {

using asio::redirect_error;
using asio::use_awaitable;
using asio::ip::tcp;

constexpr std::string_view V1Prefix = "PROXY ";
// The longest version 1 line, CRLF included ("PROXY UNKNOWN" with two full IPv6 addresses).
constexpr size_t MaxV1Line = 107;
constexpr std::array<uint8_t, 12> V2Signature = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
constexpr size_t V2HeadLen = 16;
constexpr uint8_t V2Version = 0x2;
constexpr uint8_t V2CommandLocal = 0x0, V2CommandProxy = 0x1;
constexpr uint8_t V2FamilyInet = 0x1, V2FamilyInet6 = 0x2, V2FamilyUnix = 0x3;
constexpr uint8_t V2ProtocolStream = 0x1, V2ProtocolDgram = 0x2;
constexpr size_t V2Inet4Block = 12, V2Inet6Block = 36;

// Whether ABytes agree with APattern as far as both go.
bool AgreesWith(std::span<const uint8_t> ABytes, std::span<const uint8_t> APattern) {
  const size_t n = std::min(ABytes.size(), APattern.size());
  return std::equal(ABytes.begin(), ABytes.begin() + n, APattern.begin());
}

std::string ClientText(const asio::ip::address& AAddress) {
  if (AAddress.is_v6() && AAddress.to_v6().is_v4_mapped())
    return asio::ip::make_address_v4(asio::ip::v4_mapped, AAddress.to_v6()).to_string();
  return AAddress.to_string();
}

std::vector<std::string_view> SplitSpaces(std::string_view ALine) {
  std::vector<std::string_view> fields;
  for (;;) {
    const auto space = ALine.find(' ');
    fields.push_back(ALine.substr(0, space));
    if (space == std::string_view::npos) return fields;
    ALine.remove_prefix(space + 1);
  }
}

// A port in decimal without leading zeros, 0 to 65535.
bool ValidPort(std::string_view AText) {
  if (AText.empty() || AText.size() > 5 || (AText.size() > 1 && AText[0] == '0')) return false;
  unsigned value = 0;
  for (const char c : AText) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + unsigned(c - '0');
  }
  return value <= 65535;
}

// An address of the family AV6 names, in the characters that family's text form uses (which
// keeps out IPv6 scope suffixes and anything the address parser would skip over).
bool ParseV1Address(std::string_view AText, bool AV6, asio::ip::address& AAddress) {
  const std::string_view allowed = AV6 ? "0123456789abcdefABCDEF:." : "0123456789.";
  if (AText.empty() || AText.find_first_not_of(allowed) != std::string_view::npos) return false;
  asio::error_code error;
  if (AV6) AAddress = asio::ip::make_address_v6(std::string(AText), error);
  else AAddress = asio::ip::make_address_v4(std::string(AText), error);
  return !error;
}

// "PROXY TCP4|TCP6 SRC DST SPORT DPORT\r\n" or "PROXY UNKNOWN ...\r\n"; ABytes begins with
// "PROXY ".
TProxyParse ParseV1(std::span<const uint8_t> ABytes, size_t& AHeaderLen, std::string& AClientAddress) {
  size_t lineEnd = std::string_view::npos;
  const size_t scan = std::min(ABytes.size(), MaxV1Line);
  for (size_t i = 0; i < scan && lineEnd == std::string_view::npos; ++i) {
    const uint8_t c = ABytes[i];
    if (c == '\r') {
      if (i + 1 == MaxV1Line) return TProxyParse::Malformed;  // no room left for the LF
      if (i + 1 == ABytes.size()) return TProxyParse::NeedMore;
      if (ABytes[i + 1] != '\n') return TProxyParse::Malformed;
      lineEnd = i;
    } else if (c < 0x20 || c > 0x7E) {
      return TProxyParse::Malformed;  // a lone LF included
    }
  }
  if (lineEnd == std::string_view::npos)
    return ABytes.size() >= MaxV1Line ? TProxyParse::Malformed : TProxyParse::NeedMore;

  const std::string_view line(reinterpret_cast<const char*>(ABytes.data()), lineEnd);
  const auto fields = SplitSpaces(line);
  if (fields.size() >= 2 && fields[1] == "UNKNOWN") {
    // The sender could not tell; whatever else the line says is to be ignored.
    AHeaderLen = lineEnd + 2;
    AClientAddress.clear();
    return TProxyParse::Done;
  }
  if (fields.size() != 6 || (fields[1] != "TCP4" && fields[1] != "TCP6")) return TProxyParse::Malformed;
  const bool v6 = fields[1] == "TCP6";
  asio::ip::address source, destination;
  if (!ParseV1Address(fields[2], v6, source) || !ParseV1Address(fields[3], v6, destination) ||
      !ValidPort(fields[4]) || !ValidPort(fields[5]))
    return TProxyParse::Malformed;
  AHeaderLen = lineEnd + 2;
  AClientAddress = ClientText(source);
  return TProxyParse::Done;
}

// The 16-byte head (signature, version and command, family and protocol, body length) and the
// body with the addresses and optional TLVs; ABytes agrees with the signature so far.
TProxyParse ParseV2(std::span<const uint8_t> ABytes, size_t& AHeaderLen, std::string& AClientAddress) {
  if (ABytes.size() > V2Signature.size()) {
    const uint8_t versionCommand = ABytes[V2Signature.size()];
    const uint8_t command = versionCommand & 0x0F;
    if (versionCommand >> 4 != V2Version || (command != V2CommandLocal && command != V2CommandProxy))
      return TProxyParse::Malformed;
  }
  if (ABytes.size() < V2HeadLen) return TProxyParse::NeedMore;
  const uint8_t command = ABytes[12] & 0x0F;
  const uint8_t family = ABytes[13] >> 4;
  const uint8_t protocol = ABytes[13] & 0x0F;
  const size_t bodyLen = size_t(ABytes[14]) << 8 | ABytes[15];
  if (bodyLen > MaxProxyV2Body) return TProxyParse::Malformed;
  // LOCAL ignores the family byte; a PROXY command must name one that exists.
  if (command == V2CommandProxy && (family > V2FamilyUnix || protocol > V2ProtocolDgram)) return TProxyParse::Malformed;
  if (ABytes.size() < V2HeadLen + bodyLen) return TProxyParse::NeedMore;

  const uint8_t* body = ABytes.data() + V2HeadLen;
  std::string client;
  if (command == V2CommandProxy && protocol == V2ProtocolStream) {
    if (family == V2FamilyInet) {
      if (bodyLen < V2Inet4Block) return TProxyParse::Malformed;
      asio::ip::address_v4::bytes_type bytes;
      std::memcpy(bytes.data(), body, bytes.size());
      client = ClientText(asio::ip::make_address_v4(bytes));
    } else if (family == V2FamilyInet6) {
      if (bodyLen < V2Inet6Block) return TProxyParse::Malformed;
      asio::ip::address_v6::bytes_type bytes;
      std::memcpy(bytes.data(), body, bytes.size());
      client = ClientText(asio::ip::make_address_v6(bytes));
    }
  }
  // Anything else (LOCAL, UNIX sockets, unspecified families or protocols) names no client
  // we could count: the connection's own address stands.
  AHeaderLen = V2HeadLen + bodyLen;
  AClientAddress = std::move(client);
  return TProxyParse::Done;
}

}  // namespace

TProxyParse ParseProxyHeader(std::span<const uint8_t> ABytes, size_t& AHeaderLen, std::string& AClientAddress) {
  if (ABytes.empty()) return TProxyParse::NeedMore;
  const std::span<const uint8_t> v1Prefix(reinterpret_cast<const uint8_t*>(V1Prefix.data()), V1Prefix.size());
  if (ABytes[0] == V1Prefix[0]) {
    if (!AgreesWith(ABytes, v1Prefix)) return TProxyParse::Malformed;
    if (ABytes.size() < v1Prefix.size()) return TProxyParse::NeedMore;
    return ParseV1(ABytes, AHeaderLen, AClientAddress);
  }
  if (ABytes[0] == V2Signature[0]) {
    if (!AgreesWith(ABytes, V2Signature)) return TProxyParse::Malformed;
    return ParseV2(ABytes, AHeaderLen, AClientAddress);
  }
  return TProxyParse::Malformed;
}

asio::awaitable<bool> ReadProxyHeader(tcp::socket& ASocket, std::chrono::milliseconds ATimeout,
                                      std::string& AClientAddress, std::string& AWhy) {
  TSocketDeadline deadline(ASocket.get_executor(), ATimeout, [&ASocket] {
    asio::error_code ignored;
    ASocket.close(ignored);
  });
  // Bytes are looked at in place (MSG_PEEK) and taken only as far as they belong to the header:
  // what follows it is the client's own first packet or TLS handshake. While the header is
  // incomplete every byte received belongs to it, so those are taken at once; the socket is
  // then empty and a wait for readability sleeps until more arrives (a wait on bytes still
  // there would return at once, again and again).
  std::array<uint8_t, V2HeadLen + MaxProxyV2Body> header;
  size_t taken = 0;
  for (;;) {
    // The time-out may have closed the socket after the wait below completed.
    if (deadline.Expired()) {
      AWhy = "no complete PROXY header in time";
      co_return false;
    }
    const int fd = ASocket.native_handle();
    const ssize_t n = ::recv(fd, header.data() + taken, header.size() - taken, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0) {
      AWhy = taken == 0 ? "closed before sending a PROXY header" : "closed inside the PROXY header";
      co_return false;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      AWhy = std::strerror(errno);
      co_return false;
    }
    if (n > 0) {
      size_t headerLen = 0;
      std::string client;
      const TProxyParse parsed = ParseProxyHeader({header.data(), taken + size_t(n)}, headerLen, client);
      if (parsed == TProxyParse::Malformed) {
        AWhy = "malformed PROXY header";
        co_return false;
      }
      // Peeked bytes stay in the socket until read, so this takes all it asks for.
      const size_t take = parsed == TProxyParse::Done ? headerLen - taken : size_t(n);
      if (::recv(fd, header.data() + taken, take, MSG_DONTWAIT) != ssize_t(take)) {
        AWhy = "cannot take the PROXY header off the socket";
        co_return false;
      }
      taken += take;
      if (parsed == TProxyParse::Done) {
        AClientAddress = std::move(client);
        co_return true;
      }
    }
    asio::error_code error;
    co_await ASocket.async_wait(tcp::socket::wait_read, redirect_error(use_awaitable, error));
    if (error) {
      AWhy = deadline.Expired() ? "no complete PROXY header in time" : error.message();
      co_return false;
    }
  }
}

}  // namespace tlm
