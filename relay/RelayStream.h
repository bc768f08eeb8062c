// The byte stream of one relay connection: plain TCP, or TLS on the same port.
//
// A relay with a certificate tells the two apart by the first byte a client sends: a TLS
// handshake record starts with 0x16, and our first packet (a registration or a connect
// request) never does. Open waits for that byte and runs the TLS handshake when it sees
// one, all within the handshake time-out; a relay without a certificate skips all of it.
//
// After Open the stream is an Asio stream (async_read_some / async_write_some) over
// whichever layer it turned out to be; the TCP socket underneath stays reachable for waits,
// shutdown and close. Raw socket tricks (sending around the writer, splicing) are for plain
// streams only: Plain() says which.
#pragma once

#include <asio.hpp>
#include <asio/ssl.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tlm {

struct TRelayOptions;

// Text a plain client of a TLS-only relay is sent before it is closed.
namespace relaytext {
inline constexpr std::string_view TlsRequired =
    "이 릴레이 서버는 암호화(TLS) 연결만 받습니다. TLS를 켜고 다시 접속하세요";
}  // namespace relaytext

// The relay's TLS set-up, shared by all its connections.
struct TRelayTls {
  TRelayTls() : Context(asio::ssl::context::tls_server) {}
  asio::ssl::context Context;
  bool Only = false;  // plain clients are refused
  std::chrono::milliseconds HandshakeTimeout{10000};
};

// Loads the certificate chain and key named in AOptions; nullptr when no certificate is set.
// Raises TError naming the file when one cannot be used.
std::unique_ptr<TRelayTls> MakeRelayTls(const TRelayOptions& AOptions);

class TRelayStream {
public:
  using executor_type = asio::any_io_executor;
  using TSocket = asio::ip::tcp::socket;

  // ATls: the relay's TLS set-up, or nullptr for a plain-only relay; must outlive the stream.
  TRelayStream(TSocket ASocket, TRelayTls* ATls);
  TRelayStream(TRelayStream&&) = default;

  enum class TOpened { Plain, Tls, PlainRefused, Failed };
  // Decides plain or TLS and runs the handshake. AWhy explains Failed.
  asio::awaitable<TOpened> Open(std::string& AWhy);
  bool Plain() const { return !FTls; }

  executor_type get_executor() { return Socket().get_executor(); }
  template <typename TBuffers, typename TToken>
  auto async_read_some(const TBuffers& ABuffers, TToken&& AToken) {
    if (FTls) return FTls->async_read_some(ABuffers, std::forward<TToken>(AToken));
    return FSocket.async_read_some(ABuffers, std::forward<TToken>(AToken));
  }
  template <typename TBuffers, typename TToken>
  auto async_write_some(const TBuffers& ABuffers, TToken&& AToken) {
    if (FTls) return FTls->async_write_some(ABuffers, std::forward<TToken>(AToken));
    return FSocket.async_write_some(ABuffers, std::forward<TToken>(AToken));
  }

  // The TCP socket underneath.
  TSocket& Socket() { return FTls ? FTls->next_layer() : FSocket; }
  int native_handle() { return Socket().native_handle(); }
  void native_non_blocking(bool AOn, asio::error_code& AError) { Socket().native_non_blocking(AOn, AError); }
  template <typename TToken>
  auto async_wait(TSocket::wait_type AWhat, TToken&& AToken) {
    return Socket().async_wait(AWhat, std::forward<TToken>(AToken));
  }
  void shutdown(TSocket::shutdown_type AWhat, asio::error_code& AError) { Socket().shutdown(AWhat, AError); }
  void close(asio::error_code& AError) { Socket().close(AError); }

private:
  TSocket FSocket;  // the socket until a TLS handshake begins; then FTls owns it
  std::optional<asio::ssl::stream<TSocket>> FTls;
  TRelayTls* FConfig;
};

}  // namespace tlm
