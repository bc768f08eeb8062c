#include "host/HostSecureStart.h"

#include "protocol/DisplayName.h"

namespace tlm {

THostSecureStart::THostSecureStart(const TIdentityKey& AIdentity, std::string AHostId, THandshakePasswords APasswords,
                                   std::string AViewerIP, uint32_t ANowMs)
    : FMachine(AIdentity, std::move(AHostId), std::move(APasswords.First), std::move(APasswords.Second)),
      FIP(std::move(AViewerIP)),
      FStartedMs(ANowMs) {}

TBytes THostSecureStart::OnHello(std::span<const uint8_t> APayload) {
  TBytes reply = FMachine.OnHello(APayload);
  // The signed name, cleaned like any name that reaches a prompt; the address is the relay's.
  FName = CleanDisplayName(FMachine.ViewerName());
  if (FName.empty()) FName = FIP;
  return reply;
}

void THostSecureStart::OnConfirm(std::span<const uint8_t> APayload) { FMachine.OnConfirm(APayload); }

TBytes THostSecureStart::Admit() { return FMachine.Admit(); }

bool THostSecureStart::Overdue(uint32_t ANowMs) const {
  const auto state = FMachine.State();
  if (state != THostHandshake::TState::AwaitingHello && state != THostHandshake::TState::AwaitingConfirm) return false;
  return uint32_t(ANowMs - FStartedMs) >= HandshakeLimitMs;
}

}  // namespace tlm
