#include "protocol/SecureStore.h"

#include <sodium.h>

#include <sstream>

#include "protocol/Error.h"
#include "protocol/LocalFiles.h"

namespace tlm {

namespace {

std::string Hex(const TPublicKey& AKey) {
  std::string out(AKey.size() * 2 + 1, '\0');
  sodium_bin2hex(out.data(), out.size(), AKey.data(), AKey.size());
  out.pop_back();
  return out;
}

std::optional<TPublicKey> KeyFromHex(const std::string& AHex) {
  TPublicKey key{};
  size_t len = 0;
  if (AHex.size() != key.size() * 2) return std::nullopt;
  if (sodium_hex2bin(key.data(), key.size(), AHex.data(), AHex.size(), nullptr, &len, nullptr) != 0 ||
      len != key.size())
    return std::nullopt;
  return key;
}

// IDs are typed in groups ("123 456 789"): one partner, one pin, however it was typed.
std::string PinKey(const std::string& AId) {
  std::string key;
  for (const char c : AId)
    if (c != ' ' && c != '\n' && c != '\r' && c != '\t' && c != '\0') key += c;
  return key;
}

bool UsableKey(const std::string& AKey) { return !AKey.empty() && AKey.size() <= TPinFile::MaxIdBytes; }

}  // namespace

TLoadedIdentity LoadOrCreateIdentity(const std::string& APath) {
  const std::optional<std::string> stored = ReadFileText(APath);
  if (stored) {
    std::string text = *stored;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (std::optional<TIdentityKey> key = TIdentityKey::Parse(text)) return {*key, false, {}};
  }
  TLoadedIdentity loaded{TIdentityKey::Generate(), true, {}};
  if (stored) {
    loaded.Replaced = APath + ".broken";
    ReplaceFileDurably(loaded.Replaced, *stored);
  }
  ReplaceFileDurably(APath, loaded.Key.Serialise() + "\n");
  return loaded;
}

TPinFile::TPinFile(std::string APath) : FPath(std::move(APath)) {
  EnsureSodium();
  const std::optional<std::string> text = ReadFileText(FPath);
  if (!text) return;
  std::istringstream lines(*text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    const std::string id = PinKey(line.substr(0, space));
    const std::optional<TPublicKey> key = KeyFromHex(line.substr(space + 1));
    // A line that does not parse pins nothing; the next Save leaves it out.
    if (UsableKey(id) && key) FPins[id] = *key;
  }
}

std::optional<TPublicKey> TPinFile::Find(const std::string& APartnerId) const {
  std::lock_guard hold(FLock);
  const auto it = FPins.find(PinKey(APartnerId));
  if (it == FPins.end()) return std::nullopt;
  return it->second;
}

void TPinFile::Save(const std::string& APartnerId, const TPublicKey& AKey) {
  const std::string id = PinKey(APartnerId);
  if (!UsableKey(id)) throw TError("고정할 수 없는 ID입니다");
  std::lock_guard hold(FLock);
  FPins[id] = AKey;
  std::string text;
  for (const auto& [id, key] : FPins) text += id + " " + Hex(key) + "\n";
  ReplaceFileDurably(FPath, text);
}

}  // namespace tlm
