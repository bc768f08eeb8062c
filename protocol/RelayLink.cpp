#include "protocol/RelayLink.h"

#include <atomic>
#include <mutex>

#include "protocol/Error.h"
#ifdef _WIN32
#include "protocol/WinsockConnection.h"
#else
#include "protocol/TlsConnection.h"
#endif

namespace tlm {

namespace {

std::mutex GDefaultLock;
TRelayTlsChoice GDefault;

}  // namespace

void SetDefaultRelayTls(const TRelayTlsChoice& AChoice) {
  std::lock_guard<std::mutex> hold(GDefaultLock);
  GDefault = AChoice;
}

TRelayTlsChoice DefaultRelayTls() {
  std::lock_guard<std::mutex> hold(GDefaultLock);
  return GDefault;
}

#ifdef _WIN32
namespace {

// What a Windows build hands out when TLS is asked for: it has no TLS yet, and falling back to
// plain text would send the session in the clear against the user's setting. Every connect
// fails with the reason; nothing else is ever reached.
class TTlsUnavailable final : public IClientConnection {
public:
  void Connect(const std::string&, uint16_t, int) override { throw TConnectionError(std::string(TlsUnavailableText)); }
  void SetReadTimeout(int) override {}
  void SetNotSentLowWater(int) override {}
  void SetWriteStallTimeout(int) override {}
  void WriteAll(const void*, size_t) override { throw TConnectionError("Not connected"); }
  void ReadExact(void*, size_t) override { throw TConnectionError("Not connected"); }
  bool WaitReadable(int) override { throw TConnectionError("Not connected"); }
  void Abort() override { FAborted.store(true); }
  bool Aborted() const override { return FAborted.load(); }
  void Close() override {}
  bool Connected() const override { return false; }

private:
  std::atomic<bool> FAborted{false};
};

}  // namespace

std::unique_ptr<IClientConnection> NewRelayConnection(const TRelayTlsChoice& AChoice) {
  if (AChoice.Enabled) return std::make_unique<TTlsUnavailable>();
  return std::make_unique<TWinsockConnection>();
}
#else
std::unique_ptr<IClientConnection> NewRelayConnection(const TRelayTlsChoice& AChoice) {
  if (AChoice.Enabled) return std::make_unique<TTlsConnection>(AChoice.CaFile);
  return std::make_unique<TTcpConnection>();
}
#endif

}  // namespace tlm
