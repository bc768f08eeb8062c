// The relay byte stream inside TLS (OpenSSL), with the contract of TTcpConnection: connect
// and read time-outs, WaitReadable, write-all, and Abort from any thread.
//
// Connect verifies the server: its certificate must chain to a trusted root (the system's
// store, or the PEM file ACaFile when given) and name the host we connected to (a DNS name,
// or an address when AHost is one); TLS 1.2 at least. A failed verification fails Connect
// with a text that names the reason. The whole handshake counts against the connect
// time-out.
//
// One reader and the (serialised) writers run at the same time, which an OpenSSL object does
// not allow by itself: every call into it holds FSslLock, and the lock is let go while a
// thread waits on the socket.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "protocol/Connection.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace tlm {

class TTlsConnection final : public IClientConnection {
public:
  explicit TTlsConnection(std::string ACaFile = {});
  ~TTlsConnection() override;
  TTlsConnection(const TTlsConnection&) = delete;
  TTlsConnection& operator=(const TTlsConnection&) = delete;

  void Connect(const std::string& AHost, uint16_t APort, int ATimeoutMs) override;
  void SetReadTimeout(int AMs) override { FTcp.SetReadTimeout(AMs); FReadTimeoutMs.store(AMs); }

  void WriteAll(const void* AData, size_t ALen) override;
  void ReadExact(void* AData, size_t ALen) override;
  bool WaitReadable(int AMs) override;

  // The limit applies to the encrypted bytes on the socket below.
  void SetNotSentLowWater(int ABytes) override { FTcp.SetNotSentLowWater(ABytes); }
  // Applies to the encrypted bytes on the socket below, as a plain socket's limit does.
  void SetWriteStallTimeout(int AMs) override { FWriteStallMs.store(AMs); }
  void Abort() override { FTcp.Abort(); }
  bool Aborted() const override { return FTcp.Aborted(); }
  void Close() override;
  bool Connected() const override { return FSsl != nullptr && FTcp.Connected(); }

  // The protocol version agreed on ("TLSv1.3"), or "" before a handshake.
  std::string Version() const;

private:
  // Result of one call into OpenSSL: done, what to wait for, or how the peer went away.
  enum class TWant { Done, Read, Write, Closed, Reset };
  TWant Step(int AResult, const char* AWhat);
  // ReadExact (AWrite false) and WriteAll (AWrite true): OpenSSL under the lock, waits without.
  void Transfer(void* AData, size_t ALen, bool AWrite);
  void Handshake(const std::string& AHost, int64_t ADeadlineMs);
  void Free();

  TTcpConnection FTcp;
  const std::string FCaFile;
  std::mutex FSslLock;
  SSL_CTX* FCtx = nullptr;
  SSL* FSsl = nullptr;
  std::atomic<int> FReadTimeoutMs{0};
  std::atomic<int> FWriteStallMs{DefaultWriteStallMs};
};

}  // namespace tlm
