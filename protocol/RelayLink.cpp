#include "protocol/RelayLink.h"

#include <atomic>
#include <cstdlib>

#include "protocol/TlsConnection.h"

namespace tlm {

namespace {

std::atomic<bool> GConfiguredTls{false};

std::string Env(const char* AName) {
  const char* value = std::getenv(AName);
  return value ? value : "";
}

}  // namespace

void SetRelayTlsConfigured(bool AEnabled) { GConfiguredTls.store(AEnabled); }

TRelayTlsChoice RelayTlsChoice() {
  TRelayTlsChoice choice;
  choice.Enabled = Env("TLMREMOTE_TLS") == "1" || GConfiguredTls.load();
  choice.CaFile = Env("TLMREMOTE_TLS_CA");
  return choice;
}

std::unique_ptr<IClientConnection> NewRelayConnection() {
  const TRelayTlsChoice choice = RelayTlsChoice();
  if (choice.Enabled) return std::make_unique<TTlsConnection>(choice.CaFile);
  return std::make_unique<TTcpConnection>();
}

}  // namespace tlm
