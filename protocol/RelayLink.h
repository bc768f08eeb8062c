// How this program reaches the relay: plain TCP unless TLS is asked for. The host agent and
// every viewer window make their relay connection here, so the choice lives in one place.
//
// The choice is a parameter: the program makes it once at start-up (the environment's
// TLMREMOTE_TLS and TLMREMOTE_TLS_CA, the configuration's RelayTls) and hands it down. With
// TLS the server's certificate is checked against the system's trusted certificates, or against
// the given PEM file (a private relay with its own CA or a self-signed certificate).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "protocol/Connection.h"

namespace tlm {

struct TRelayTlsChoice {
  bool Enabled = false;
  std::string CaFile;  // "" = the system's trusted certificates
};

// The choice for connections whose owner does not pass one (the host agent's channels): set
// once by the program before it starts them; plain TCP until then. Thread-safe.
void SetDefaultRelayTls(const TRelayTlsChoice& AChoice);
TRelayTlsChoice DefaultRelayTls();
// The Windows build has no TLS yet: asked for it, its relay connections refuse to connect with
// this text rather than fall back to plain TCP.
constexpr std::string_view TlsUnavailableText =
    "TLS가 요청되었지만 이 Windows 빌드에는 TLS가 없어 연결하지 않습니다 (TLMREMOTE_TLS, RelayTls)";
// A new, unconnected relay connection of the chosen kind.
std::unique_ptr<IClientConnection> NewRelayConnection(const TRelayTlsChoice& AChoice);

// A relay connection held by value (a relay channel's member): made by NewRelayConnection when
// constructed, every call passed on to it.
class TRelayLink final : public IClientConnection {
public:
  explicit TRelayLink(const TRelayTlsChoice& AChoice) : F(NewRelayConnection(AChoice)) {}

  void Connect(const std::string& AHost, uint16_t APort, int ATimeoutMs) override {
    F->Connect(AHost, APort, ATimeoutMs);
  }
  void SetReadTimeout(int AMs) override { F->SetReadTimeout(AMs); }
  void SetNotSentLowWater(int ABytes) override { F->SetNotSentLowWater(ABytes); }
  void WriteAll(const void* AData, size_t ALen) override { F->WriteAll(AData, ALen); }
  void ReadExact(void* AData, size_t ALen) override { F->ReadExact(AData, ALen); }
  bool WaitReadable(int AMs) override { return F->WaitReadable(AMs); }
  void SetWriteStallTimeout(int AMs) override { F->SetWriteStallTimeout(AMs); }
  void Abort() override { F->Abort(); }
  bool Aborted() const override { return F->Aborted(); }
  void Close() override { F->Close(); }
  bool Connected() const override { return F->Connected(); }

private:
  const std::unique_ptr<IClientConnection> F;
};

}  // namespace tlm
