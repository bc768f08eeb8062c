// A host's long-term signing key (Ed25519) and the "보안 코드" people read out to compare it.
// The key is a plain value here: the configuration store keeps its text form in a 0600 file
// beside the device key.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tlm {

constexpr size_t SecurePublicKeySize = 32;
using TPublicKey = std::array<uint8_t, SecurePublicKeySize>;

// Calls sodium_init once; every secure-channel entry point calls it first. Throws TSecureError
// when libsodium cannot start (no entropy source).
void EnsureSodium();

class TIdentityKey {
public:
  static TIdentityKey Generate();
  // "tlm-identity-1 " + 64 hex digits of the 32-byte seed; Parse refuses anything else.
  static std::optional<TIdentityKey> Parse(std::string_view AText);
  std::string Serialise() const;

  const TPublicKey& PublicKey() const { return FPublic; }
  // Ed25519 signature (64 bytes) over AMessage.
  std::array<uint8_t, 64> Sign(std::span<const uint8_t> AMessage) const;

  TIdentityKey(const TIdentityKey& AOther);
  TIdentityKey& operator=(const TIdentityKey& AOther);
  ~TIdentityKey();

private:
  TIdentityKey() = default;
  void FromSeed(const uint8_t* ASeed);
  std::array<uint8_t, 32> FSeed{};
  std::array<uint8_t, 64> FSecret{};
  TPublicKey FPublic{};
};

bool VerifySignature(const TPublicKey& AKey, std::span<const uint8_t> AMessage, std::span<const uint8_t> ASignature);

// Five groups of four digits ("0123 4567 8901 2345 6789", 66 bits) from a hash of the key:
// short enough to read out on the phone, long enough that grinding a key to match is costly.
std::string SecurityCode(const TPublicKey& AKey);

}  // namespace tlm
