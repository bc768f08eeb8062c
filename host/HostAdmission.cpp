#include "host/HostAdmission.h"

#include <array>

#include "platform/DeviceUuid.h"
#include "protocol/Credentials.h"

namespace tlm {

const char* AdmissionText(EAdmission AHow) {
  switch (AHow) {
    case EAdmission::Password: return "비밀번호";
    case EAdmission::Accepted: return "동의";
    case EAdmission::Refused: return "거부";
    case EAdmission::TimedOut: return "시간 초과";
    case EAdmission::Withdrawn: return "요청 취소";
  }
  return "?";
}

std::string NewOneTimePassword() {
  std::string digits;
  while (digits.size() < OneTimePasswordDigits) {
    // A version-4 UUID holds 122 random bits; its first 12 bytes are all random. Values of a
    // byte pair from 60000 up are skipped, so every digit is equally likely.
    const std::array<uint8_t, 16> random = NewRandomUuid();
    for (size_t i = 0; i + 1 < 12 && digits.size() < OneTimePasswordDigits; i += 2) {
      const unsigned value = unsigned(random[i]) << 8 | random[i + 1];
      if (value < 60000) digits += char('0' + value % 10);
    }
  }
  return digits;
}

THostAdmission::THostAdmission(std::string APasswordHash, TAdmissionRules ARules)
    : FRules(ARules), FPasswordHash(std::move(APasswordHash)) {}

void THostAdmission::SetPassword(std::string APasswordHash) {
  std::lock_guard hold(FLock);
  FPasswordHash = std::move(APasswordHash);
}

void THostAdmission::HoldPassword(uint32_t ANowMs) {
  std::lock_guard hold(FLock);
  FHeldSince = ANowMs;
}

void THostAdmission::SetOneTimePassword(std::string APasswordHash) {
  std::lock_guard hold(FLock);
  FOneTimeHash = std::move(APasswordHash);
}

std::optional<EConsentCause> THostAdmission::Check(std::string_view AHostId, std::string_view AProof, uint32_t ANowMs) {
  std::lock_guard hold(FLock);
  // A proof to a host without any password proves nothing either way: asked as without one.
  if ((FPasswordHash.empty() && FOneTimeHash.empty()) || AProof.empty()) return EConsentCause::NoPassword;
  const auto matches = [&](const std::string& AHash) {
    return !AHash.empty() && SameTextAscii(MakeSessionProof(AHostId, AHash), AProof);
  };
  if (!matches(FPasswordHash) && !matches(FOneTimeHash)) return EConsentCause::WrongPassword;
  // Differences of the wrapping tick are taken as uint32_t.
  if (FHeldSince && uint32_t(ANowMs - *FHeldSince) >= FRules.PasswordHoldMs) FHeldSince.reset();
  if (FHeldSince) return EConsentCause::JustEnded;
  return std::nullopt;
}

THandshakePasswords THostAdmission::HandshakePasswordHashes() const {
  std::lock_guard hold(FLock);
  if (FPasswordHash.empty()) return {FOneTimeHash, {}};
  return {FPasswordHash, FOneTimeHash};
}

bool THostAdmission::PasswordHeld(uint32_t ANowMs) {
  std::lock_guard hold(FLock);
  if (FHeldSince && uint32_t(ANowMs - *FHeldSince) >= FRules.PasswordHoldMs) FHeldSince.reset();
  return FHeldSince.has_value();
}

std::optional<uint64_t> THostAdmission::Ask(std::string AViewerName, std::string AViewerIP, uint32_t ANowMs) {
  std::lock_guard hold(FLock);
  return FQuestion.Open(std::move(AViewerName), std::move(AViewerIP), ANowMs, FRules.ConsentLimitMs);
}

std::optional<TPendingConsent::TRequest> THostAdmission::End(uint64_t ATicket) {
  std::lock_guard hold(FLock);
  return FQuestion.End(ATicket);
}

std::optional<uint64_t> THostAdmission::Current() const {
  std::lock_guard hold(FLock);
  return FQuestion.Current();
}

std::optional<uint64_t> THostAdmission::Lapsed(uint32_t ANowMs) const {
  std::lock_guard hold(FLock);
  return FQuestion.Lapsed(ANowMs);
}

bool THostAdmission::IsOpen(uint64_t ATicket) const {
  std::lock_guard hold(FLock);
  return FQuestion.IsOpen(ATicket);
}

}  // namespace tlm
