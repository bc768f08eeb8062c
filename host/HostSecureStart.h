// THostSecureStart: one viewer's admission through the end-to-end handshake, from the
// MsgAdmitAccept the host answers an offer with to the sealed MsgSecureAdmitted (or the abort).
// It keeps who asked (the relay's address, the name the viewer signed into the hello), the
// handshake and the deadline that ends a handshake nobody completes. The agent's reader thread
// owns it; the consent answer reaches it through the agent as a verdict the reader applies.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "host/HostAdmission.h"
#include "protocol/Bytes.h"
#include "protocol/SecureHandshake.h"

namespace tlm {

class THostSecureStart {
public:
  // A handshake not completed (hello and confirmation) in this long is aborted; the consent
  // question has a deadline of its own.
  static constexpr uint32_t HandshakeLimitMs = 30000;

  // APasswords: both empty when this host has no password or no longer offers the password path.
  THostSecureStart(const TIdentityKey& AIdentity, std::string AHostId, THandshakePasswords APasswords,
                   std::string AViewerIP, uint32_t ANowMs);

  TBytes OnHello(std::span<const uint8_t> APayload);  // -> MsgSecureReply
  // After OnHello: the MsgSecureSecondShare payload to send before the reply, if any.
  std::optional<TBytes> SecondShare() const { return FMachine.SecondShare(); }
  // Throws TSecureError for a wrong confirmation (a wrong password in password mode).
  void OnConfirm(std::span<const uint8_t> APayload);
  TBytes Admit();  // -> MsgSealed carrying MsgSecureAdmitted
  TSecureChannel TakeChannel() { return FMachine.TakeChannel(); }

  bool PasswordVerified() const { return FMachine.State() == THostHandshake::TState::PasswordVerified; }
  bool AwaitsConsent() const { return FMachine.State() == THostHandshake::TState::AwaitingConsent; }
  bool PasswordMode() const { return FMachine.Mode() == TAdmitMode::Password; }
  // The handshake has not reached a decision within its limit.
  bool Overdue(uint32_t ANowMs) const;

  // Known once the hello arrived: what the consent prompt and the log show.
  const std::string& ViewerName() const { return FName; }
  const std::string& ViewerIP() const { return FIP; }
  std::string SessionCode() const { return FMachine.SessionCode(); }

  // The consent question asked for this handshake, and the user's verdict once given.
  std::optional<uint64_t> Ticket;

private:
  THostHandshake FMachine;
  std::string FName, FIP;
  uint32_t FStartedMs;
};

}  // namespace tlm
