#include "protocol/TlsConnection.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "protocol/Error.h"

namespace tlm {

namespace {

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// OpenSSL writes to its socket with write(), which raises SIGPIPE when the peer has gone and so
// would end the program. For the scope of an OpenSSL call SIGPIPE is blocked in this thread, and
// one raised meanwhile is taken back before the old mask returns: the call just fails (EPIPE).
class TSigPipeGuard {
public:
  TSigPipeGuard() {
    sigemptyset(&FPipe);
    sigaddset(&FPipe, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    FWasPending = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &FPipe, &FOld);
  }
  ~TSigPipeGuard() {
    const int saved = errno;
    sigset_t pending;
    sigpending(&pending);
    if (!FWasPending && sigismember(&pending, SIGPIPE) == 1) {
      const timespec zero{0, 0};
      while (sigtimedwait(&FPipe, nullptr, &zero) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &FOld, nullptr);
    errno = saved;
  }
  TSigPipeGuard(const TSigPipeGuard&) = delete;
  TSigPipeGuard& operator=(const TSigPipeGuard&) = delete;

private:
  sigset_t FPipe;
  sigset_t FOld;
  bool FWasPending = false;
};

// The oldest error OpenSSL queued on this thread, as text ("" when none).
std::string OpenSslErrorText() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return {};
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

bool IsAddress(const std::string& AHost) {
  in6_addr any{};
  return ::inet_pton(AF_INET, AHost.c_str(), &any) == 1 || ::inet_pton(AF_INET6, AHost.c_str(), &any) == 1;
}

}  // namespace

TTlsConnection::TTlsConnection(std::string ACaFile) : FCaFile(std::move(ACaFile)) {}

TTlsConnection::~TTlsConnection() { Close(); }

void TTlsConnection::Free() {
  if (FSsl) SSL_free(FSsl);
  if (FCtx) SSL_CTX_free(FCtx);
  FSsl = nullptr;
  FCtx = nullptr;
}

void TTlsConnection::Close() {
  if (FSsl && !FTcp.Aborted() && FTcp.Connected()) {
    // Best effort: tell the server we are done; never wait for it.
    TSigPipeGuard noSignal;
    ERR_clear_error();
    SSL_shutdown(FSsl);
    ERR_clear_error();
  }
  Free();
  FTcp.Close();
}

std::string TTlsConnection::Version() const { return FSsl ? SSL_get_version(FSsl) : ""; }

TTlsConnection::TWant TTlsConnection::Step(int AResult, const char* AWhat) {
  // Called with FSslLock held, right after the OpenSSL call that returned AResult.
  switch (SSL_get_error(FSsl, AResult)) {
    case SSL_ERROR_NONE: return TWant::Done;
    case SSL_ERROR_WANT_READ: return TWant::Read;
    case SSL_ERROR_WANT_WRITE: return TWant::Write;
    case SSL_ERROR_ZERO_RETURN: return TWant::Closed;
    case SSL_ERROR_SYSCALL: {
      const int err = errno;
      std::string text = OpenSslErrorText();
      if (text.empty() && err == 0) return TWant::Closed;  // end of stream without close_notify
      if (text.empty() && (err == ECONNRESET || err == EPIPE)) return TWant::Reset;
      if (text.empty()) text = std::strerror(err);
      throw TConnectionError(std::string(AWhat) + ": " + text);
    }
    default: {
      const std::string text = OpenSslErrorText();
      throw TConnectionError(std::string(AWhat) + ": " + (text.empty() ? "TLS error" : text));
    }
  }
}

void TTlsConnection::Connect(const std::string& AHost, uint16_t APort, int ATimeoutMs) {
  Close();
  const int64_t deadline = NowMs() + ATimeoutMs;
  FTcp.Connect(AHost, APort, ATimeoutMs);
  try {
    FCtx = SSL_CTX_new(TLS_client_method());
    if (!FCtx) throw TConnectionError("TLS set-up failed: " + OpenSslErrorText());
    SSL_CTX_set_min_proto_version(FCtx, TLS1_2_VERSION);
    SSL_CTX_set_verify(FCtx, SSL_VERIFY_PEER, nullptr);
    // A server that closes without close_notify has still closed: report it as a close.
    SSL_CTX_set_options(FCtx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(FCtx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // One receive for a record's header and body instead of one for each.
    SSL_CTX_set_read_ahead(FCtx, 1);
    ERR_clear_error();
    const int loaded = FCaFile.empty() ? SSL_CTX_set_default_verify_paths(FCtx)
                                       : SSL_CTX_load_verify_locations(FCtx, FCaFile.c_str(), nullptr);
    if (loaded != 1) {
      const std::string where = FCaFile.empty() ? "the system's trusted certificates" : FCaFile;
      throw TConnectionError("Cannot load " + where + ": " + OpenSslErrorText());
    }
    FSsl = SSL_new(FCtx);
    if (!FSsl || SSL_set_fd(FSsl, FTcp.Handle()) != 1) throw TConnectionError("TLS set-up failed: " + OpenSslErrorText());
    X509_VERIFY_PARAM* param = SSL_get0_param(FSsl);
    if (IsAddress(AHost)) {
      X509_VERIFY_PARAM_set1_ip_asc(param, AHost.c_str());
    } else {
      X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      SSL_set1_host(FSsl, AHost.c_str());
      SSL_set_tlsext_host_name(FSsl, AHost.c_str());
    }
    Handshake(AHost, deadline);
  } catch (...) {
    Free();
    FTcp.Close();
    throw;
  }
}

void TTlsConnection::Handshake(const std::string& AHost, int64_t ADeadlineMs) {
  for (;;) {
    TWant want;
    try {
      std::lock_guard<std::mutex> hold(FSslLock);
      TSigPipeGuard noSignal;
      ERR_clear_error();
      errno = 0;
      want = Step(SSL_connect(FSsl), "TLS handshake failed");
    } catch (const TConnectionError&) {
      const long verify = SSL_get_verify_result(FSsl);
      if (verify != X509_V_OK)
        throw TConnectionError("TLS certificate of " + AHost + " not accepted: " +
                               X509_verify_cert_error_string(verify));
      throw;
    }
    if (want == TWant::Done) return;
    if (want == TWant::Closed || want == TWant::Reset)
      throw TConnectionError("TLS handshake failed: the server closed the connection (does it accept TLS?)");
    const int64_t left = ADeadlineMs - NowMs();
    if (left <= 0 || !FTcp.WaitFor(want == TWant::Read ? POLLIN : POLLOUT, int(left)))
      throw TConnectionError("TLS handshake timed out");
  }
}

void TTlsConnection::WriteAll(const void* AData, size_t ALen) {
  Transfer(const_cast<void*>(AData), ALen, true);
}

void TTlsConnection::ReadExact(void* AData, size_t ALen) { Transfer(AData, ALen, false); }

void TTlsConnection::Transfer(void* AData, size_t ALen, bool AWrite) {
  if (!FSsl) throw TConnectionError("Not connected");
  const char* what = AWrite ? "send" : "recv";
  auto p = static_cast<uint8_t*>(AData);
  while (ALen > 0) {
    if (FTcp.Aborted()) throw TConnectionError("Connection aborted");
    TWant want;
    {
      std::lock_guard<std::mutex> hold(FSslLock);
      TSigPipeGuard noSignal;
      ERR_clear_error();
      errno = 0;
      const int len = int(std::min<size_t>(ALen, INT_MAX));
      const int n = AWrite ? SSL_write(FSsl, p, len) : SSL_read(FSsl, p, len);
      want = Step(n, what);
      if (want == TWant::Done) {
        p += n;
        ALen -= size_t(n);
        continue;
      }
    }
    if (want == TWant::Closed) throw TConnectionError("Connection closed by peer");
    if (want == TWant::Reset) throw TConnectionError(std::string(what) + ": Connection reset by peer");
    // Reads wait at most the read time-out (also when TLS needs to send first); writes at most
    // the stall limit, which restarts with every piece that goes out, as on a plain socket.
    const int timeout = AWrite ? FWriteStallMs.load() : FReadTimeoutMs.load();
    if (!FTcp.WaitFor(want == TWant::Read ? POLLIN : POLLOUT, timeout > 0 ? timeout : -1))
      throw TConnectionError(AWrite ? "Write stalled" : "Read timed out");
  }
}

bool TTlsConnection::WaitReadable(int AMs) {
  if (!FSsl) throw TConnectionError("Not connected");
  // A readable socket may hold only part of a record, or records without data (session
  // tickets): only a decrypted byte, or the end of the stream, counts as readable.
  const int64_t deadline = NowMs() + (AMs > 0 ? AMs : 0);
  for (;;) {
    if (FTcp.Aborted()) throw TConnectionError("Connection aborted");
    TWant want;
    {
      std::lock_guard<std::mutex> hold(FSslLock);
      if (SSL_pending(FSsl) > 0) return true;
      TSigPipeGuard noSignal;
      ERR_clear_error();
      errno = 0;
      uint8_t byte;
      try {
        want = Step(SSL_peek(FSsl, &byte, 1), "recv");
      } catch (const TConnectionError&) {
        return true;  // the read that follows reports the failure
      }
    }
    if (want == TWant::Done || want == TWant::Closed || want == TWant::Reset) return true;
    const int64_t left = deadline - NowMs();
    if (!FTcp.WaitFor(want == TWant::Read ? POLLIN : POLLOUT, left > 0 ? int(left) : 0)) return false;
  }
}

}  // namespace tlm
