#include "host/HostAdmission.h"

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

std::optional<EConsentCause> THostAdmission::Check(std::string_view AHostId, std::string_view AProof, uint32_t ANowMs) {
  std::lock_guard hold(FLock);
  // A proof to a host without a password proves nothing either way: asked as without one.
  if (FPasswordHash.empty() || AProof.empty()) return EConsentCause::NoPassword;
  if (!SameTextAscii(MakeSessionProof(AHostId, FPasswordHash), AProof))
    return EConsentCause::WrongPassword;
  // Differences of the wrapping tick are taken as uint32_t.
  if (FHeldSince && uint32_t(ANowMs - *FHeldSince) >= FRules.PasswordHoldMs) FHeldSince.reset();
  if (FHeldSince) return EConsentCause::JustEnded;
  return std::nullopt;
}

std::string THostAdmission::PasswordHash() const {
  std::lock_guard hold(FLock);
  return FPasswordHash;
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
