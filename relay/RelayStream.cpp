#include "relay/RelayStream.h"

#include <openssl/ssl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "protocol/Error.h"
#include "relay/RelayServer.h"
#include "relay/SocketDeadline.h"

namespace tlm {

namespace {

using asio::redirect_error;
using asio::use_awaitable;

constexpr uint8_t TlsHandshakeRecord = 0x16;

}  // namespace

std::unique_ptr<TRelayTls> MakeRelayTls(const TRelayOptions& AOptions) {
  if (AOptions.TlsCertFile.empty() && AOptions.TlsKeyFile.empty()) {
    if (AOptions.TlsOnly) throw TError("TLS only needs a certificate and a key");
    return nullptr;
  }
  if (AOptions.TlsCertFile.empty() || AOptions.TlsKeyFile.empty())
    throw TError("TLS needs both a certificate and a key file");
  auto tls = std::make_unique<TRelayTls>();
  tls->Only = AOptions.TlsOnly;
  tls->HandshakeTimeout = AOptions.TlsHandshakeTimeout;
  SSL_CTX* ctx = tls->Context.native_handle();
  // TLS 1.2 at least; OpenSSL picks 1.3 whenever the client offers it.
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
  // AES-128-GCM first: the relay decrypts and encrypts every byte on one thread, and the
  // 128-bit key is the cheaper of the two with the same hardware support.
  SSL_CTX_set_ciphersuites(ctx, "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256");
  // Clients never resume sessions: sending them tickets would only cost bytes and time.
  SSL_CTX_set_num_tickets(ctx, 0);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  asio::error_code error;
  tls->Context.use_certificate_chain_file(AOptions.TlsCertFile, error);
  if (error) throw TError("Cannot use TLS certificate " + AOptions.TlsCertFile + ": " + error.message());
  tls->Context.use_private_key_file(AOptions.TlsKeyFile, asio::ssl::context::pem, error);
  if (error) throw TError("Cannot use TLS key " + AOptions.TlsKeyFile + ": " + error.message());
  if (SSL_CTX_check_private_key(ctx) != 1)
    throw TError("TLS key " + AOptions.TlsKeyFile + " does not belong to certificate " + AOptions.TlsCertFile);
  return tls;
}

TRelayStream::TRelayStream(TSocket ASocket, TRelayTls* ATls) : FSocket(std::move(ASocket)), FConfig(ATls) {}

asio::awaitable<TRelayStream::TOpened> TRelayStream::Open(std::string& AWhy) {
  if (!FConfig) co_return TOpened::Plain;
  // A client that neither sends nor finishes its handshake in time is cut off by closing
  // its socket, which ends whatever waits below.
  TSocketDeadline deadline(get_executor(), FConfig->HandshakeTimeout, [this] {
    asio::error_code ignored;
    Socket().close(ignored);
  });

  asio::error_code error;
  uint8_t first = 0;
  for (;;) {
    co_await FSocket.async_wait(TSocket::wait_read, redirect_error(use_awaitable, error));
    if (error) {
      AWhy = deadline.Expired() ? "nothing received in time" : error.message();
      co_return TOpened::Failed;
    }
    const ssize_t n = ::recv(FSocket.native_handle(), &first, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 1) break;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
    AWhy = n == 0 ? "closed before sending anything" : std::strerror(errno);
    co_return TOpened::Failed;
  }
  if (first != TlsHandshakeRecord) co_return FConfig->Only ? TOpened::PlainRefused : TOpened::Plain;

  FTls.emplace(std::move(FSocket), FConfig->Context);
  co_await FTls->async_handshake(asio::ssl::stream_base::server, redirect_error(use_awaitable, error));
  if (error) {
    AWhy = deadline.Expired() ? "handshake timed out" : error.message();
    co_return TOpened::Failed;
  }
  co_return TOpened::Tls;
}

}  // namespace tlm
