#include "protocol/SecureIdentity.h"

#include <sodium.h>

#include <cstdio>

#include "protocol/Error.h"

namespace tlm {

namespace {

constexpr std::string_view IdentityPrefix = "tlm-identity-1 ";
constexpr std::string_view SecurityCodeLabel = "TLMRemote security code 1";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

void EnsureSodium() {
  static const int result = sodium_init();
  if (result < 0) throw TSecureError("암호화 라이브러리를 초기화할 수 없습니다");
}

TIdentityKey TIdentityKey::Generate() {
  EnsureSodium();
  TIdentityKey key;
  std::array<uint8_t, 32> seed;
  randombytes_buf(seed.data(), seed.size());
  key.FromSeed(seed.data());
  sodium_memzero(seed.data(), seed.size());
  return key;
}

std::optional<TIdentityKey> TIdentityKey::Parse(std::string_view AText) {
  EnsureSodium();
  while (!AText.empty() && (AText.back() == '\n' || AText.back() == '\r')) AText.remove_suffix(1);
  if (AText.size() != IdentityPrefix.size() + 64 || AText.substr(0, IdentityPrefix.size()) != IdentityPrefix)
    return std::nullopt;
  AText.remove_prefix(IdentityPrefix.size());
  std::array<uint8_t, 32> seed;
  for (size_t i = 0; i < seed.size(); ++i) {
    const int hi = HexValue(AText[2 * i]), lo = HexValue(AText[2 * i + 1]);
    if (hi < 0 || lo < 0) {
      sodium_memzero(seed.data(), seed.size());
      return std::nullopt;
    }
    seed[i] = uint8_t(hi << 4 | lo);
  }
  TIdentityKey key;
  key.FromSeed(seed.data());
  sodium_memzero(seed.data(), seed.size());
  return key;
}

std::string TIdentityKey::Serialise() const {
  std::string text(IdentityPrefix);
  static const char digits[] = "0123456789abcdef";
  for (uint8_t b : FSeed) {
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}

std::array<uint8_t, 64> TIdentityKey::Sign(std::span<const uint8_t> AMessage) const {
  std::array<uint8_t, 64> signature;
  crypto_sign_detached(signature.data(), nullptr, AMessage.data(), AMessage.size(), FSecret.data());
  return signature;
}

TIdentityKey::TIdentityKey(const TIdentityKey& AOther) { FromSeed(AOther.FSeed.data()); }

TIdentityKey& TIdentityKey::operator=(const TIdentityKey& AOther) {
  if (this != &AOther) FromSeed(AOther.FSeed.data());
  return *this;
}

TIdentityKey::~TIdentityKey() {
  sodium_memzero(FSeed.data(), FSeed.size());
  sodium_memzero(FSecret.data(), FSecret.size());
}

void TIdentityKey::FromSeed(const uint8_t* ASeed) {
  std::copy(ASeed, ASeed + FSeed.size(), FSeed.begin());
  crypto_sign_seed_keypair(FPublic.data(), FSecret.data(), FSeed.data());
}

bool VerifySignature(const TPublicKey& AKey, std::span<const uint8_t> AMessage, std::span<const uint8_t> ASignature) {
  EnsureSodium();
  if (ASignature.size() != crypto_sign_BYTES) return false;
  return crypto_sign_verify_detached(ASignature.data(), AMessage.data(), AMessage.size(), AKey.data()) == 0;
}

std::string SecurityCode(const TPublicKey& AKey) {
  EnsureSodium();
  std::array<uint8_t, 20> hash;
  crypto_generichash_state state;
  crypto_generichash_init(&state, nullptr, 0, hash.size());
  crypto_generichash_update(&state, reinterpret_cast<const uint8_t*>(SecurityCodeLabel.data()),
                            SecurityCodeLabel.size());
  crypto_generichash_update(&state, AKey.data(), AKey.size());
  crypto_generichash_final(&state, hash.data(), hash.size());
  std::string code;
  for (size_t group = 0; group < 5; ++group) {
    const uint8_t* p = hash.data() + 4 * group;
    // 2^32 against 10^4: the modulo bias is below one in 400,000.
    const uint32_t value = (uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]) % 10000;
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04u", unsigned(value));
    if (group > 0) code += ' ';
    code += buf;
  }
  return code;
}

}  // namespace tlm
