// The byte stream under the packet layer, and its TCP implementation.
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

class TTcpConnection final : public IConnection {
public:
  TTcpConnection();
  ~TTcpConnection() override;
  TTcpConnection(const TTcpConnection&) = delete;
  TTcpConnection& operator=(const TTcpConnection&) = delete;

  // Resolves AHost (name or dotted address) and connects within ATimeoutMs.
  void Connect(const std::string& AHost, uint16_t APort, int ATimeoutMs);
  // Takes over an already connected socket (servers and tests).
  void Adopt(int AFd);
  // Time-out for every wait inside ReadExact; 0 or less waits forever.
  void SetReadTimeout(int AMs) { FReadTimeoutMs.store(AMs); }
  // How long WriteAll may make no progress (a peer that stopped reading) before it fails;
  // 0 or less waits forever.
  static constexpr int DefaultWriteStallMs = 30000;
  void SetWriteStallTimeout(int AMs) { FWriteStallMs.store(AMs); }

  void WriteAll(const void* AData, size_t ALen) override;
  void ReadExact(void* AData, size_t ALen) override;
  bool WaitReadable(int AMs) override;

  // Wakes every blocked call and makes later ones fail; safe from any thread, idempotent.
  void Abort();
  bool Aborted() const { return FAborted.load(); }
  // Closes the socket; only when no other thread can be inside a call.
  void Close();
  bool Connected() const { return FFd >= 0; }

private:
  // Waits until the socket has AEvents or the abort fires; false on time-out.
  bool WaitFor(short AEvents, int ATimeoutMs);
  void Configure();

  int FFd = -1;
  int FAbortFd = -1;  // eventfd, readable once Abort was called
  std::atomic<bool> FAborted{false};
  std::atomic<int> FReadTimeoutMs{0};
  std::atomic<int> FWriteStallMs{DefaultWriteStallMs};
};

}  // namespace tlm
