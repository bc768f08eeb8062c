#include "relay/RelayStream.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <signal.h>
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

// A few threads at most: handshakes are short bursts of computing, and the network thread
// needs a core of its own.
size_t WorkerThreads() {
  const size_t cores = std::max(1u, std::thread::hardware_concurrency());
  return std::clamp<size_t>(cores / 2, 1, 4);
}

std::string SslErrorText(unsigned long ACode) {
  if (ACode == 0) return "TLS handshake failed";
  char text[256];
  ERR_error_string_n(ACode, text, sizeof text);
  return text;
}

// What one handshake step on a worker came to; the error queue is the worker thread's own,
// so its first entry is read there.
struct THandshakeStep {
  int Error = SSL_ERROR_NONE;  // SSL_get_error's answer; NONE: the handshake is complete
  unsigned long Code = 0;
  int Errno = 0;
};

THandshakeStep RunHandshakeStep(SSL* ASsl) {
  ERR_clear_error();
  errno = 0;
  const int result = SSL_do_handshake(ASsl);
  THandshakeStep step;
  step.Errno = errno;
  if (result == 1) return step;
  step.Error = SSL_get_error(ASsl, result);
  step.Code = ERR_get_error();
  ERR_clear_error();
  return step;
}

}  // namespace

THandshakeWorkers::THandshakeWorkers(size_t AThreads) : FWork(asio::make_work_guard(FIo)) {
  for (size_t i = 0; i < AThreads; ++i) {
    FThreads.emplace_back([this] {
      // OpenSSL writes with write(): a peer gone already must not raise SIGPIPE.
      sigset_t pipe;
      sigemptyset(&pipe);
      sigaddset(&pipe, SIGPIPE);
      pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
      for (;;) {
        try {
          FIo.run();
          return;
        } catch (const std::exception&) {
          // A step reports its failure through its result; nothing else runs here.
        }
      }
    });
  }
}

void THandshakeWorkers::Stop() {
  FWork.reset();
  for (auto& thread : FThreads)
    if (thread.joinable()) thread.join();
  FThreads.clear();
}

THandshakeRate::THandshakeRate(size_t APerSecond) {
  const size_t rate = std::max<size_t>(APerSecond, 1);
  FInterval = std::chrono::duration_cast<TClock::duration>(std::chrono::seconds(1)) / rate;
  FBurst = FInterval * rate;
}

bool THandshakeRate::Reserve(const std::string& AKey, TClock::time_point ANow, TClock::time_point ALatest,
                             TClock::time_point& AStart) {
  if (FNextFree.size() >= FPruneAt) Prune(ANow);
  auto it = FNextFree.find(AKey);
  TClock::time_point next = it == FNextFree.end() ? ANow : std::max(it->second, ANow);
  // Turns are handed out up to one burst ahead of now; the next one begins when the oldest
  // of those has passed.
  const TClock::time_point start = std::max(ANow, next + FInterval - FBurst);
  if (start > ALatest) return false;
  next += FInterval;
  if (it == FNextFree.end())
    FNextFree.emplace(AKey, next);
  else
    it->second = next;
  AStart = start;
  return true;
}

void THandshakeRate::Prune(TClock::time_point ANow) {
  std::erase_if(FNextFree, [ANow](const auto& AEntry) { return AEntry.second <= ANow; });
  // Pruning again only once the table has doubled keeps it amortised.
  FPruneAt = std::max<size_t>(1024, FNextFree.size() * 2);
}

TRelayTls::TRelayTls(size_t AHandshakesPerSecond)
    : Context(asio::ssl::context::tls_server), Rate(AHandshakesPerSecond), Workers(WorkerThreads()) {}

std::unique_ptr<TRelayTls> MakeRelayTls(const TRelayOptions& AOptions) {
  if (AOptions.TlsCertFile.empty() && AOptions.TlsKeyFile.empty()) {
    if (AOptions.TlsOnly) throw TError("TLS only needs a certificate and a key");
    return nullptr;
  }
  if (AOptions.TlsCertFile.empty() || AOptions.TlsKeyFile.empty())
    throw TError("TLS needs both a certificate and a key file");
  auto tls = std::make_unique<TRelayTls>(AOptions.TlsHandshakesPerIpPerSecond);
  tls->Only = AOptions.TlsOnly;
  tls->HandshakeTimeout = AOptions.TlsHandshakeTimeout;
  SSL_CTX* ctx = tls->Context.native_handle();
  // TLS 1.2 at least; OpenSSL picks 1.3 whenever the client offers it.
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
  // Record buffers only while a record is in flight (an idle host holds none); writes of
  // one record at a time from whatever buffer the writer hands over.
  SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS | SSL_MODE_ENABLE_PARTIAL_WRITE |
                            SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
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

void TRelayStream::TSslFree::operator()(SSL* ASsl) const { SSL_free(ASsl); }

TRelayStream::TRelayStream(TSocket ASocket, TRelayTls* ATls) : FSocket(std::move(ASocket)), FConfig(ATls) {}

TRelayStream::~TRelayStream() = default;

bool TRelayStream::Buffered() const { return FSsl && SSL_has_pending(FSsl.get()) == 1; }

void TRelayStream::shutdown(TSocket::shutdown_type AWhat, asio::error_code& AError) {
  if (FSsl && FHandshakeDone && !FFailed && AWhat == TSocket::shutdown_send) {
    // Best effort: a close_notify that does not fit into the socket now is left out.
    ERR_clear_error();
    SSL_shutdown(FSsl.get());
    ERR_clear_error();
  }
  FSocket.shutdown(AWhat, AError);
}

void TRelayStream::close(asio::error_code& AError) {
  if (FTurn) FTurn->cancel();
  if (FStepRunning) {
    if (FSocket.is_open()) ::shutdown(FSocket.native_handle(), SHUT_RDWR);
    FCloseDeferred = true;
    return;
  }
  FSocket.close(AError);
}

asio::awaitable<TRelayStream::TOpened> TRelayStream::Open(const std::string& ABucket, bool AWaitForTurn,
                                                         std::string& AWhy) {
  if (!FConfig) co_return TOpened::Plain;
  // A client that neither sends nor finishes its handshake in time is cut off by closing
  // its socket, which ends whatever waits below.
  TSocketDeadline deadline(get_executor(), FConfig->HandshakeTimeout, [this] {
    asio::error_code ignored;
    close(ignored);
  });
  const auto giveUp = std::chrono::steady_clock::now() + FConfig->HandshakeTimeout;

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

  // The address's turn: beyond its burst a handshake waits (or, when it may not, fails).
  const auto now = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point start;
  const bool turn = FConfig->Rate.Reserve(ABucket, now, AWaitForTurn ? giveUp : now, start);
  if (!turn && !AWaitForTurn) {
    AWhy = "too many TLS handshakes from " + ABucket;
    co_return TOpened::Failed;
  }
  if (!turn || start > now) {
    // A client without a turn is held until the time-out rather than closed at once: closed,
    // it would only come back at once and cost a connection's set-up each time.
    FTurn = std::make_unique<asio::steady_timer>(get_executor(), turn ? start : giveUp);
    co_await FTurn->async_wait(redirect_error(use_awaitable, error));
    FTurn.reset();
    if (!turn) {
      AWhy = "too many TLS handshakes from " + ABucket;
      co_return TOpened::Failed;
    }
    if (error || !FSocket.is_open()) {
      AWhy = deadline.Expired() ? "handshake timed out" : "closed while waiting for its handshake turn";
      co_return TOpened::Failed;
    }
  }

  FSsl.reset(SSL_new(FConfig->Context.native_handle()));
  if (!FSsl || SSL_set_fd(FSsl.get(), FSocket.native_handle()) != 1) {
    AWhy = "no memory for TLS";
    co_return TOpened::Failed;
  }
  SSL_set_accept_state(FSsl.get());
  FSocket.native_non_blocking(true, error);
  if (error) {
    AWhy = error.message();
    co_return TOpened::Failed;
  }
  for (;;) {
    // The computing (key exchange, signature) runs on a worker; only the waits run here.
    FStepRunning = true;
    const THandshakeStep step = co_await asio::co_spawn(
        FConfig->Workers.Executor(),
        [ssl = FSsl.get()]() -> asio::awaitable<THandshakeStep> { co_return RunHandshakeStep(ssl); },
        use_awaitable);
    FStepRunning = false;
    if (FCloseDeferred) {
      asio::error_code ignored;
      FSocket.close(ignored);
    }
    if (!FSocket.is_open()) {
      AWhy = deadline.Expired() ? "handshake timed out" : "closed during the handshake";
      co_return TOpened::Failed;
    }
    if (step.Error == SSL_ERROR_NONE) break;
    if (step.Error == SSL_ERROR_WANT_READ || step.Error == SSL_ERROR_WANT_WRITE) {
      co_await FSocket.async_wait(step.Error == SSL_ERROR_WANT_READ ? TSocket::wait_read : TSocket::wait_write,
                                  redirect_error(use_awaitable, error));
      if (error) {
        AWhy = deadline.Expired() ? "handshake timed out" : error.message();
        co_return TOpened::Failed;
      }
      continue;
    }
    FFailed = true;
    if (step.Error == SSL_ERROR_SYSCALL && step.Code == 0)
      AWhy = step.Errno != 0 ? std::strerror(step.Errno) : "closed during the handshake";
    else
      AWhy = SslErrorText(step.Code);
    co_return TOpened::Failed;
  }
  FHandshakeDone = true;
  co_return TOpened::Tls;
}

TRelayStream::TStep TRelayStream::Finish(int AResult, size_t ABytes) {
  TStep step;
  if (AResult == 1) {
    step.Bytes = ABytes;
    return step;
  }
  const int savedErrno = errno;
  switch (SSL_get_error(FSsl.get(), AResult)) {
    case SSL_ERROR_WANT_READ:
      step.Want = TWant::Read;
      return step;
    case SSL_ERROR_WANT_WRITE:
      step.Want = TWant::Write;
      return step;
    case SSL_ERROR_ZERO_RETURN:
      step.Error = asio::error::eof;
      return step;
    case SSL_ERROR_SYSCALL:
      FFailed = true;
      if (ERR_peek_error() == 0) {
        step.Error = savedErrno != 0 ? asio::error_code(savedErrno, asio::system_category()) : asio::error::eof;
        return step;
      }
      [[fallthrough]];
    default:
      FFailed = true;
      step.Error = asio::error_code(int(ERR_get_error()), asio::error::get_ssl_category());
      if (!step.Error) step.Error = asio::error::connection_reset;
      ERR_clear_error();
      return step;
  }
}

TRelayStream::TStep TRelayStream::ReadStep(asio::mutable_buffer ABuffer) {
  if (!FHandshakeDone || FFailed) return {TWant::Done, asio::error::not_connected, 0};
  ERR_clear_error();
  errno = 0;
  size_t n = 0;
  const int result = SSL_read_ex(FSsl.get(), ABuffer.data(), ABuffer.size(), &n);
  return Finish(result, n);
}

TRelayStream::TStep TRelayStream::WriteStep(const uint8_t* AData, size_t ALen) {
  // Nothing is written before the handshake is complete (a worker may be using the stream).
  if (!FHandshakeDone || FFailed) return {TWant::Done, asio::error::not_connected, 0};
  ERR_clear_error();
  errno = 0;
  size_t n = 0;
  const int result = SSL_write_ex(FSsl.get(), AData, ALen, &n);
  return Finish(result, n);
}

}  // namespace tlm
