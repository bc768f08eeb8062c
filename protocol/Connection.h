// The byte stream under the packet layer, and its TCP implementation (the TLS one is in
// protocol/TlsConnection.h, the choice between them in protocol/RelayLink.h).
//
// Contract: one reader thread calls ReadExact / WaitReadable; any thread may call WriteAll
// (callers serialise whole packets with their write lock). Abort may be called from any
// thread at any time: it wakes a blocked connect, read, wait or write, which then raise
// TConnectionError, and every later call fails at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tlm {

class IConnection {
public:
  virtual ~IConnection() = default;
  // Writes the whole buffer or raises TConnectionError.
  virtual void WriteAll(const void* AData, size_t ALen) = 0;
  // Reads exactly ALen bytes, waiting at most the read time-out for each piece; raises
  // TConnectionError on close, reset, time-out or abort.
  virtual void ReadExact(void* AData, size_t ALen) = 0;
  // True when received bytes (or the peer's close) are waiting; waits up to AMs for them.
  virtual bool WaitReadable(int AMs) = 0;
};

// A client's connection to the relay: the stream plus connecting, the read time-out and the
// abort that every kind of client connection offers.
class IClientConnection : public IConnection {
public:
  // Resolves AHost (name or dotted address) and connects within ATimeoutMs.
  virtual void Connect(const std::string& AHost, uint16_t APort, int ATimeoutMs) = 0;
  // Time-out for every wait inside ReadExact; 0 or less waits forever.
  virtual void SetReadTimeout(int AMs) = 0;
  // Lets a write (and a wait for POLLOUT) proceed only while fewer than ABytes written bytes
  // are still unsent in the kernel (TCP_NOTSENT_LOWAT), so queued data stays with the writer,
  // where later urgent packets can overtake it. Call once connected; failures are ignored.
  virtual void SetNotSentLowWater(int ABytes) = 0;
  // How long a write may make no progress (a peer that stopped reading) before it fails with
  // "Write stalled"; 0 or less waits forever.
  static constexpr int DefaultWriteStallMs = 30000;
  virtual void SetWriteStallTimeout(int AMs) = 0;
  // Wakes every blocked call and makes later ones fail; safe from any thread, idempotent.
  virtual void Abort() = 0;
  virtual bool Aborted() const = 0;
  // Closes the connection; only when no other thread can be inside a call.
  virtual void Close() = 0;
  virtual bool Connected() const = 0;
};

#ifndef _WIN32
// The POSIX TCP connection (the Windows one is protocol/WinsockConnection.h).
class TTcpConnection final : public IClientConnection {
public:
  TTcpConnection();
  ~TTcpConnection() override;
  TTcpConnection(const TTcpConnection&) = delete;
  TTcpConnection& operator=(const TTcpConnection&) = delete;

  void Connect(const std::string& AHost, uint16_t APort, int ATimeoutMs) override;
  // Takes over an already connected socket (servers and tests).
  void Adopt(int AFd);
  void SetReadTimeout(int AMs) override { FReadTimeoutMs.store(AMs); }
  void SetNotSentLowWater(int ABytes) override;
  void SetWriteStallTimeout(int AMs) override { FWriteStallMs.store(AMs); }

  void WriteAll(const void* AData, size_t ALen) override;
  void ReadExact(void* AData, size_t ALen) override;
  bool WaitReadable(int AMs) override;

  void Abort() override;
  bool Aborted() const override { return FAborted.load(); }
  void Close() override;
  bool Connected() const override { return FFd >= 0; }

  // For a layer on top of this socket (TLS): the descriptor (non-blocking), and a wait until
  // it has AEvents (poll flags) or the abort fires; false on time-out. A time-out of 0
  // polls, below 0 waits forever. Raises TConnectionError on abort.
  int Handle() const { return FFd; }
  bool WaitFor(short AEvents, int ATimeoutMs);

private:
  void Configure();

  int FFd = -1;
  int FAbortFd = -1;  // eventfd, readable once Abort was called
  std::atomic<bool> FAborted{false};
  std::atomic<int> FReadTimeoutMs{0};
  std::atomic<int> FWriteStallMs{DefaultWriteStallMs};
};
#endif

}  // namespace tlm
