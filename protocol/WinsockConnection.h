// The client's TCP connection on Windows (Winsock), with the contract of IClientConnection
// (protocol/Connection.h): connect and read time-outs, the write-stall limit, one reader and
// any number of serialised writers at once, and Abort from any thread.
//
// The socket is non-blocking and every wait is a select() over it and a second, private UDP
// socket on 127.0.0.1: Abort sends that socket one datagram nobody reads, so every waiting and
// every later select() wakes at once (the role an eventfd plays in the POSIX connection).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "protocol/Connection.h"

namespace tlm {

class TWinsockConnection final : public IClientConnection {
public:
  // TConnectionError when Winsock or the wake-up socket cannot be set up.
  TWinsockConnection();
  ~TWinsockConnection() override;
  TWinsockConnection(const TWinsockConnection&) = delete;
  TWinsockConnection& operator=(const TWinsockConnection&) = delete;

  // AHost is UTF-8; it is resolved through GetAddrInfoW.
  void Connect(const std::string& AHost, uint16_t APort, int ATimeoutMs) override;
  // Takes over an already connected socket (tests).
  void Adopt(uintptr_t ASocket);
  void SetReadTimeout(int AMs) override { FReadTimeoutMs.store(AMs); }
  // Windows has no TCP_NOTSENT_LOWAT; the system's own send-buffer tuning stays in charge.
  void SetNotSentLowWater(int ABytes) override { (void)ABytes; }
  void SetWriteStallTimeout(int AMs) override { FWriteStallMs.store(AMs); }

  void WriteAll(const void* AData, size_t ALen) override;
  void ReadExact(void* AData, size_t ALen) override;
  bool WaitReadable(int AMs) override;

  void Abort() override;
  bool Aborted() const override { return FAborted.load(); }
  void Close() override;
  bool Connected() const override;

private:
  enum class EWait { Read, Write, Connect };
  // Until the socket is ready for AWait or ATimeoutMs passed (false); below 0 waits forever.
  // TConnectionError on abort.
  bool WaitFor(EWait AWait, int ATimeoutMs);
  void Configure();

  std::atomic<uintptr_t> FSocket;
  uintptr_t FWakeSocket;  // UDP, bound to 127.0.0.1; readable once Abort was called
  std::atomic<bool> FAborted{false};
  std::atomic<int> FReadTimeoutMs{0};
  std::atomic<int> FWriteStallMs{DefaultWriteStallMs};
};

}  // namespace tlm
