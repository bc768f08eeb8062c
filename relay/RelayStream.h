// The byte stream of one relay connection: plain TCP, or TLS on the same port.
//
// A relay with a certificate tells the two apart by the first byte a client sends: a TLS
// handshake record starts with 0x16, and our first packet (a registration or a connect
// request) never does. Open waits for that byte and runs the TLS handshake when it sees
// one, all within the handshake time-out; a relay without a certificate skips all of it.
//
// Handshakes are where a stranger can make the relay work hardest (one signature each), so
// they are rationed per address (THandshakeRate) and their computing runs on a few worker
// threads (THandshakeWorkers): the network thread only waits for the socket between the
// steps, and is free to forward sessions meanwhile. After the handshake the stream is the
// network thread's alone.
//
// After Open the stream is an Asio stream (async_read_some / async_write_some) over
// whichever layer it turned out to be; the TCP socket underneath stays reachable for waits,
// shutdown and close. TLS runs straight on the socket (OpenSSL reads and writes the
// descriptor, releasing its record buffers whenever they are empty), so an idle TLS stream
// holds no buffer at all. Raw socket tricks (sending around the writer, splicing) are for
// plain streams only: Plain() says which.
#pragma once

#include <asio.hpp>
#include <asio/ssl.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "protocol/RelayRefusals.h"

typedef struct ssl_st SSL;

namespace tlm {

struct TRelayOptions;

// Threads that run the computing steps of TLS handshakes, away from the network thread.
class THandshakeWorkers {
public:
  explicit THandshakeWorkers(size_t AThreads);
  ~THandshakeWorkers() { Stop(); }
  THandshakeWorkers(const THandshakeWorkers&) = delete;
  THandshakeWorkers& operator=(const THandshakeWorkers&) = delete;

  asio::io_context::executor_type Executor() { return FIo.get_executor(); }
  // Lets the steps under way finish and ends the threads. Idempotent.
  void Stop();

private:
  asio::io_context FIo;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> FWork;
  std::vector<std::thread> FThreads;
};

// Handshakes each address may start per second. An address may start a burst of that many
// at once; beyond it each one waits its turn. Network thread only.
class THandshakeRate {
public:
  using TClock = std::chrono::steady_clock;
  explicit THandshakeRate(size_t APerSecond);
  // Reserves the next turn of AKey that starts no later than ALatest; false (nothing reserved)
  // when there is none. AStart: when the reserved handshake may begin.
  bool Reserve(const std::string& AKey, TClock::time_point ANow, TClock::time_point ALatest,
               TClock::time_point& AStart);
  size_t Tracked() const { return FNextFree.size(); }

private:
  void Prune(TClock::time_point ANow);
  TClock::duration FInterval;
  TClock::duration FBurst;  // how far ahead of now an address's turns may be handed out
  // Per address: the time from which its budget is whole again; past entries are pruned.
  std::unordered_map<std::string, TClock::time_point> FNextFree;
  size_t FPruneAt = 1024;
};

// The relay's TLS set-up, shared by all its connections.
struct TRelayTls {
  explicit TRelayTls(size_t AHandshakesPerSecond);
  asio::ssl::context Context;
  bool Only = false;  // plain clients are refused
  std::chrono::milliseconds HandshakeTimeout{10000};
  THandshakeRate Rate;
  THandshakeWorkers Workers;
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
  ~TRelayStream();

  enum class TOpened { Plain, Tls, PlainRefused, Failed };
  // Decides plain or TLS and runs the handshake. ABucket: what the per-address handshake
  // rate counts this client under. AWaitForTurn: a client over its address's rate waits
  // for its turn (within the handshake time-out); otherwise it fails at once. AWhy explains
  // Failed.
  asio::awaitable<TOpened> Open(const std::string& ABucket, bool AWaitForTurn, std::string& AWhy);
  bool Plain() const { return !FSsl; }
  // TLS bytes received and not yet handed out (a record begun or decrypted): the socket's
  // readiness does not show them.
  bool Buffered() const;

  executor_type get_executor() { return FSocket.get_executor(); }
  template <typename TBuffers, typename TToken>
  auto async_read_some(const TBuffers& ABuffers, TToken&& AToken) {
    if (!FSsl) return FSocket.async_read_some(ABuffers, std::forward<TToken>(AToken));
    return asio::async_compose<TToken, void(asio::error_code, size_t)>(
        TTlsOp<TBuffers, false>{*this, ABuffers, false, false, {}}, AToken, FSocket);
  }
  template <typename TBuffers, typename TToken>
  auto async_write_some(const TBuffers& ABuffers, TToken&& AToken) {
    if (!FSsl) return FSocket.async_write_some(ABuffers, std::forward<TToken>(AToken));
    return asio::async_compose<TToken, void(asio::error_code, size_t)>(
        TTlsOp<TBuffers, true>{*this, ABuffers, false, false, {}}, AToken, FSocket);
  }

  // The TCP socket underneath.
  TSocket& Socket() { return FSocket; }
  int native_handle() { return FSocket.native_handle(); }
  void native_non_blocking(bool AOn, asio::error_code& AError) { FSocket.native_non_blocking(AOn, AError); }
  template <typename TToken>
  auto async_wait(TSocket::wait_type AWhat, TToken&& AToken) {
    return FSocket.async_wait(AWhat, std::forward<TToken>(AToken));
  }
  // Shutting the sending side of a TLS stream sends its close_notify first.
  void shutdown(TSocket::shutdown_type AWhat, asio::error_code& AError);
  // While a handshake step runs on a worker the descriptor stays open (shut down only), so
  // that its number cannot pass to another socket under the worker's feet; the step's end
  // closes it.
  void close(asio::error_code& AError);

private:
  // One attempt at a TLS read or write: done (with bytes or an error), or the socket it waits for.
  enum class TWant { Done, Read, Write };
  struct TStep {
    TWant Want = TWant::Done;
    asio::error_code Error;
    size_t Bytes = 0;
  };
  TStep ReadStep(asio::mutable_buffer ABuffer);
  TStep WriteStep(const uint8_t* AData, size_t ALen);
  TStep Finish(int AResult, size_t ABytes);

  // Gathers up to one TLS record's worth of a buffer sequence into one span (copying only
  // when it is split into small pieces).
  template <typename TBuffers>
  static std::pair<const uint8_t*, size_t> Gather(const TBuffers& ABuffers);

  template <typename TBuffers, bool AWrite>
  struct TTlsOp {
    TRelayStream& Stream;
    TBuffers Buffers;
    bool Waited = false;
    bool Posted = false;
    TStep Result;

    template <typename TSelf>
    void operator()(TSelf& ASelf, asio::error_code AError = {}) {
      if (Posted) return ASelf.complete(Result.Error, Result.Bytes);
      if (AError) return ASelf.complete(AError, 0);
      if constexpr (AWrite) {
        const auto [data, len] = Gather(Buffers);
        Result = len == 0 ? TStep{} : Stream.WriteStep(data, len);
      } else {
        const asio::mutable_buffer first = *asio::buffer_sequence_begin(Buffers);
        Result = first.size() == 0 ? TStep{} : Stream.ReadStep(first);
      }
      if (Result.Want == TWant::Read) {
        Waited = true;
        return Stream.FSocket.async_wait(TSocket::wait_read, std::move(ASelf));
      }
      if (Result.Want == TWant::Write) {
        Waited = true;
        return Stream.FSocket.async_wait(TSocket::wait_write, std::move(ASelf));
      }
      if (Waited) return ASelf.complete(Result.Error, Result.Bytes);
      // Done at once: the handler must still not run inside the initiating call.
      Posted = true;
      asio::post(Stream.FSocket.get_executor(), std::move(ASelf));
    }
  };

  struct TSslFree {
    void operator()(SSL* ASsl) const;
  };

  TSocket FSocket;
  std::unique_ptr<SSL, TSslFree> FSsl;  // TLS from the first handshake byte on
  TRelayTls* FConfig;
  bool FHandshakeDone = false;
  bool FFailed = false;       // a fatal TLS error: nothing more may be sent on it
  bool FStepRunning = false;  // a worker is inside the handshake now
  bool FCloseDeferred = false;
  std::unique_ptr<asio::steady_timer> FTurn;  // waits for this address's handshake turn
};

template <typename TBuffers>
std::pair<const uint8_t*, size_t> TRelayStream::Gather(const TBuffers& ABuffers) {
  constexpr size_t Record = 16384;
  // Shared by every stream of the network thread: OpenSSL has encrypted the bytes by the
  // time a write returns, even one that must be retried, and a retry gathers the same bytes.
  thread_local std::vector<uint8_t> staging;
  auto it = asio::buffer_sequence_begin(ABuffers);
  const auto end = asio::buffer_sequence_end(ABuffers);
  while (it != end && asio::const_buffer(*it).size() == 0) ++it;
  if (it == end) return {nullptr, 0};
  const asio::const_buffer first(*it);
  auto next = it;
  ++next;
  if (first.size() >= Record || next == end) return {static_cast<const uint8_t*>(first.data()), first.size()};
  staging.resize(Record);
  size_t len = 0;
  for (; it != end && len < Record; ++it) {
    const asio::const_buffer piece(*it);
    const size_t n = std::min(piece.size(), Record - len);
    std::memcpy(staging.data() + len, piece.data(), n);
    len += n;
  }
  return {staging.data(), len};
}

}  // namespace tlm
