// The end-to-end handshake between a viewer and a host, as two explicit state machines that
// turn handshake payloads into handshake payloads. They do no I/O: the session owner sends
// what they return as MsgSecureHello, MsgSecureReply, MsgSecureConfirm, MsgSecureAbort or
// MsgSealed, and hands them what arrives. docs/end-to-end-encryption.md is the protocol.
//
//   viewer                                   host
//   Start()            -- MsgSecureHello -->  OnHello()
//   OnSecondShare()    <-- MsgSecureSecondShare --  (SecondShare(): a host with two passwords)
//   OnReply()          <-- MsgSecureReply --
//                      -- MsgSecureConfirm -> OnConfirm()   (password: checked here)
//                                            Admit()        (consent: after the user said yes)
//   OnSealed()         <-- MsgSealed(MsgSecureAdmitted) --
//   TakeChannel()                            TakeChannel()
//
// Every parser checks sizes before it reads; every failure is a TSecureError and leaves the
// machine in Failed, from which every call throws.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "protocol/Bytes.h"
#include "protocol/SecureChannel.h"
#include "protocol/SecureIdentity.h"

namespace tlm {

constexpr uint8_t SecureVersion = 1;
// The third field of MsgConnectRequest from a viewer that offers the handshake. A host built
// without it sees a wrong proof and asks its user; our host answers MsgAdmitAccept and
// admits inside the handshake.
constexpr std::string_view SecureOfferMarker = "#e2e1";
constexpr size_t MaxHelloNameBytes = 256;
constexpr size_t MaxHelloIdBytes = 64;
constexpr size_t SecureHelloFixedSize = 1 + 1 + 32 + 16 + 32;
constexpr size_t SecureReplySize = 1 + 1 + 32 + 32 + 32 + 64;
constexpr size_t SecureConfirmSize = 32;
// A host that holds two passwords (the unattended one and the one-time one) sends the share
// for the second before its reply; a viewer that took it confirms both, in one message of
// twice the size. A viewer that knows nothing of it drops the share and confirms the first.
constexpr size_t SecureSecondShareSize = 32;
constexpr size_t SecureDoubleConfirmSize = 2 * SecureConfirmSize;

enum class TAdmitMode : uint8_t { Consent = 0, Password = 1 };

// Payload of MsgSecureAbort: one byte. Unknown values read as Other.
enum class TAbortReason : uint8_t {
  Other = 0,
  Unsupported = 1,    // version or mode not spoken here
  Malformed = 2,      // a handshake message that does not parse or verify
  WrongPassword = 3,  // key confirmation failed in password mode
  Refused = 4,        // the host's user said no
  KeyChanged = 5,     // the viewer refuses a host key that differs from the pinned one
  Timeout = 6,
};
TBytes BuildAbort(TAbortReason AReason);
TAbortReason ParseAbort(std::span<const uint8_t> APayload);
// The Korean text a window shows for an abort it received or sent.
std::string AbortText(TAbortReason AReason);

struct THelloFields {
  uint8_t Version = 0;
  TAdmitMode Mode = TAdmitMode::Consent;
  std::array<uint8_t, 32> Ephemeral{};
  std::array<uint8_t, 16> Nonce{};
  std::array<uint8_t, 32> PakeShare{};  // zero in consent mode
  std::string ViewerName;
  std::string ViewerId;
};
struct TReplyFields {
  uint8_t Version = 0;
  TAdmitMode Mode = TAdmitMode::Consent;
  std::array<uint8_t, 32> Ephemeral{};
  std::array<uint8_t, 32> PakeShare{};  // zero in consent mode
  TPublicKey HostKey{};
  std::array<uint8_t, 64> Signature{};
};
// Throw TSecureError for any payload that is not exactly one such message.
TBytes BuildHello(const THelloFields& AHello);
THelloFields ParseHello(std::span<const uint8_t> APayload);
TBytes BuildReply(const TReplyFields& AReply);
TReplyFields ParseReply(std::span<const uint8_t> APayload);

struct THandshakeSecrets;  // ephemeral scalars and derived keys, wiped on destruction

class TViewerHandshake {
public:
  enum class TState { Idle, AwaitingReply, AwaitingAdmission, Established, Failed };

  // AHostId: the partner ID exactly as sent in MsgConnectRequest. AViewerId: this program's
  // own host ID, or empty. APasswordHash: HashPassword of the password, or empty for consent.
  TViewerHandshake(std::string AHostId, std::string AViewerId, std::string AViewerName, std::string APasswordHash);
  ~TViewerHandshake();

  TBytes Start();                                        // -> MsgSecureHello
  // The host's share for its second password; only before the reply, only once, only when
  // this end offered a password.
  void OnSecondShare(std::span<const uint8_t> APayload);
  TBytes OnReply(std::span<const uint8_t> APayload);     // -> MsgSecureConfirm
  void OnSealed(std::span<const uint8_t> APayload);      // the host's admission
  TSecureChannel TakeChannel();                          // once Established

  TState State() const { return FState; }
  TAdmitMode Mode() const { return FMode; }
  // Known once OnReply has verified the host's signature.
  const TPublicKey& HostKey() const;
  std::string SessionCode() const;

private:
  void Fail();
  // Runs one step; any failure leaves the machine Failed and propagates.
  template <typename TStep>
  auto Guarded(TStep AStep) {
    try {
      return AStep();
    } catch (...) {
      Fail();
      throw;
    }
  }
  TState FState = TState::Idle;
  TAdmitMode FMode = TAdmitMode::Consent;
  std::string FHostId, FViewerId, FViewerName, FPasswordHash;
  THelloFields FHello;
  TPublicKey FHostKey{};
  std::optional<std::array<uint8_t, 32>> FSecondShare;
  std::unique_ptr<THandshakeSecrets> FSecrets;
  // With a second share: one channel per password until the host's admission opens under one.
  std::optional<TSecureChannel> FChannel, FSecondChannel;
};

class THostHandshake {
public:
  enum class TState { AwaitingHello, AwaitingConfirm, AwaitingConsent, PasswordVerified, Established, Failed };

  // APasswordHash: the stored hash, or empty when no password is set (consent only).
  // ASecondPasswordHash: a second password that admits as well (the one-time password beside
  // the unattended one), or empty. The first is the one a viewer built before second shares
  // existed can prove.
  THostHandshake(const TIdentityKey& AIdentity, std::string AHostId, std::string APasswordHash,
                 std::string ASecondPasswordHash = {});
  ~THostHandshake();

  TBytes OnHello(std::span<const uint8_t> APayload);  // -> MsgSecureReply
  // After OnHello, in password mode with a second password: the MsgSecureSecondShare payload,
  // to be sent before the reply.
  std::optional<TBytes> SecondShare() const;
  // Password mode: PasswordVerified, the caller sends Admit() at once. Consent mode:
  // AwaitingConsent until the user answers. A wrong confirmation (wrong password, altered
  // handshake) throws.
  void OnConfirm(std::span<const uint8_t> APayload);
  TBytes Admit();  // -> MsgSealed(MsgSecureAdmitted); Established
  TSecureChannel TakeChannel();                       // once Established

  TState State() const { return FState; }
  TAdmitMode Mode() const { return FMode; }
  // From the authenticated hello, not from the relay's MsgAdmitRequest: this is the name the
  // consent prompt shows, with SessionCode().
  const std::string& ViewerName() const { return FHello.ViewerName; }
  const std::string& ViewerId() const { return FHello.ViewerId; }
  std::string SessionCode() const;
  // Once PasswordVerified: whether the viewer proved the second password rather than the first.
  bool SecondPasswordVerified() const { return FSecondVerified; }

private:
  void Fail();
  // Runs one step; any failure leaves the machine Failed and propagates.
  template <typename TStep>
  auto Guarded(TStep AStep) {
    try {
      return AStep();
    } catch (...) {
      Fail();
      throw;
    }
  }
  TState FState = TState::AwaitingHello;
  TAdmitMode FMode = TAdmitMode::Consent;
  TIdentityKey FIdentity;
  std::string FHostId, FPasswordHash, FSecondPasswordHash;
  THelloFields FHello;
  std::optional<std::array<uint8_t, 32>> FSecondShare;
  bool FSecondVerified = false;
  std::unique_ptr<THandshakeSecrets> FSecrets;
  std::optional<TSecureChannel> FChannel, FSecondChannel;
};

}  // namespace tlm
