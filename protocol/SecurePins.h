// What a viewer remembers of its partners' identity keys, and the rules over it: the first key
// seen for an ID is pinned (trust on first use); a different key later is refused unless the
// user confirms it; an ID once seen encrypted is never accepted in plain mode again. Pure
// logic over IPinStore, which the configuration store implements (one line per ID, 0600).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "protocol/SecureIdentity.h"

namespace tlm {

constexpr std::string_view KeyChangedText = "상대방의 보안 코드가 바뀌었습니다";
constexpr std::string_view PlainConnectionText = "암호화되지 않은 연결";

class IPinStore {
public:
  virtual ~IPinStore() = default;
  // The key pinned for the partner ID, if any. A pin exists only for a partner once seen encrypted.
  virtual std::optional<TPublicKey> Find(const std::string& APartnerId) const = 0;
  virtual void Save(const std::string& APartnerId, const TPublicKey& AKey) = 0;
};

enum class TPinVerdict {
  FirstContact,  // nothing pinned: proceed, show the code, pin once the session is established
  Same,          // the pinned key
  Changed,       // refuse unless the user confirms the new code
};

struct TPinCheck {
  TPinVerdict Verdict = TPinVerdict::FirstContact;
  std::string OldCode;  // pinned key's 보안 코드, when Changed
  std::string NewCode;  // the offered key's 보안 코드
};

enum class TPlainVerdict {
  AllowedWithWarning,  // show PlainConnectionText in both windows
  RefusedRequired,     // RequireEncryption=1
  RefusedWasEncrypted, // this ID was seen encrypted before: a relay stripped the handshake
};

class TPinPolicy {
public:
  explicit TPinPolicy(IPinStore& AStore) : FStore(AStore) {}

  TPinCheck CheckKey(const std::string& APartnerId, const TPublicKey& AKey) const;
  // After an established session on first contact, or after the user confirmed a changed code.
  void Remember(const std::string& APartnerId, const TPublicKey& AKey);
  // The partner answered the offer with plain session traffic (a peer without the handshake).
  TPlainVerdict CheckPlain(const std::string& APartnerId, bool ARequireEncryption) const;

private:
  IPinStore& FStore;
};

}  // namespace tlm
