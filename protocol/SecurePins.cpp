#include "protocol/SecurePins.h"

namespace tlm {

TPinCheck TPinPolicy::CheckKey(const std::string& APartnerId, const TPublicKey& AKey) const {
  TPinCheck check;
  check.NewCode = SecurityCode(AKey);
  const std::optional<TPublicKey> pinned = FStore.Find(APartnerId);
  if (!pinned) return check;
  if (*pinned == AKey) {
    check.Verdict = TPinVerdict::Same;
    return check;
  }
  check.Verdict = TPinVerdict::Changed;
  check.OldCode = SecurityCode(*pinned);
  return check;
}

void TPinPolicy::Remember(const std::string& APartnerId, const TPublicKey& AKey) { FStore.Save(APartnerId, AKey); }

TPlainVerdict TPinPolicy::CheckPlain(const std::string& APartnerId, bool ARequireEncryption) const {
  if (FStore.Find(APartnerId)) return TPlainVerdict::RefusedWasEncrypted;
  if (ARequireEncryption) return TPlainVerdict::RefusedRequired;
  return TPlainVerdict::AllowedWithWarning;
}

}  // namespace tlm
