// Where the end-to-end keys live between runs: the host's identity key in its own file and the
// viewer's pins in another, both beside config.ini and readable by the owner only (0600),
// each replaced whole on every change so a crash never leaves a torn file.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "protocol/SecureIdentity.h"
#include "protocol/SecurePins.h"

namespace tlm {

constexpr const char* IdentityFileName = "identity.key";
constexpr const char* PinFileName = "pins.txt";

struct TLoadedIdentity {
  TIdentityKey Key;
  bool Created = false;   // no usable key was stored: this one is new
  std::string Replaced;   // a stored file that did not parse was kept under this name
};

// The key stored at APath; a new one stored there when the file is missing or does not parse
// (the unreadable file is kept beside it as APath + ".broken"). TError when the new key cannot
// be stored: a key that would change at every start is worse than none.
TLoadedIdentity LoadOrCreateIdentity(const std::string& APath);

// The pins, one line "ID hex-key" per partner, read once when made. An ID counts without its
// blanks, as people type it in groups. Every thread of the
// program may use the one instance (viewer sessions run on their own threads).
class TPinFile final : public IPinStore {
public:
  static constexpr size_t MaxIdBytes = 64;

  explicit TPinFile(std::string APath);

  std::optional<TPublicKey> Find(const std::string& APartnerId) const override;
  // Raises TError when the file cannot be written; the pin still holds for this run.
  void Save(const std::string& APartnerId, const TPublicKey& AKey) override;
  const std::string& Path() const { return FPath; }

private:
  const std::string FPath;
  mutable std::mutex FLock;
  std::map<std::string, TPublicKey> FPins;
};

}  // namespace tlm
