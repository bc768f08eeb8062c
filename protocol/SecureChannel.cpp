#include "protocol/SecureChannel.h"

#include <sodium.h>

#include <limits>

#include "protocol/Error.h"
#include "protocol/Messages.h"
#include "protocol/SecureIdentity.h"

namespace tlm {

namespace {

using TNonce = std::array<uint8_t, crypto_aead_xchacha20poly1305_ietf_NPUBBYTES>;

// Counter little-endian in the first 8 bytes; keys differ per direction and per session, so
// a counter never repeats under one key.
TNonce NonceFor(uint64_t ACounter) {
  TNonce nonce{};
  for (int i = 0; i < 8; ++i) nonce[i] = uint8_t(ACounter >> (8 * i));
  return nonce;
}

}  // namespace

TSealer::TSealer(const TSealKey& AKey) : FKey(AKey) { EnsureSodium(); }
TSealer::~TSealer() { sodium_memzero(FKey.data(), FKey.size()); }
TSealer::TSealer(TSealer&& AOther) noexcept : FKey(AOther.FKey), FCounter(AOther.FCounter) {
  sodium_memzero(AOther.FKey.data(), AOther.FKey.size());
}
TSealer& TSealer::operator=(TSealer&& AOther) noexcept {
  FKey = AOther.FKey;
  FCounter = AOther.FCounter;
  sodium_memzero(AOther.FKey.data(), AOther.FKey.size());
  return *this;
}

TBytes TSealer::Seal(uint32_t AType, std::span<const uint8_t> APayload) {
  if (APayload.size() > MaxSealedInnerPayload) throw TSecureError("봉인할 메시지가 너무 큽니다");
  TBytes out(APayload.size() + SealOverhead);
  if (!APayload.empty()) std::memcpy(out.data(), APayload.data(), APayload.size());
  SealInPlace(AType, out.data(), APayload.size());
  return out;
}

uint32_t TSealer::SealedType() const { return MsgSealed; }

void TSealer::SealInPlace(uint32_t AType, uint8_t* APayload, size_t ALen) {
  if (ALen > MaxSealedInnerPayload) throw TSecureError("봉인할 메시지가 너무 큽니다");
  if (FCounter == std::numeric_limits<uint64_t>::max()) throw TSecureError("봉인 카운터가 다 찼습니다");
  // The inner code goes after the payload, so the opener can hand the decrypted buffer over
  // as the payload without moving it.
  PutLE32(APayload + ALen, AType);
  const TNonce nonce = NonceFor(FCounter);
  unsigned long long len = 0;
  // In place: libsodium allows the ciphertext to overlap the message at the same address.
  crypto_aead_xchacha20poly1305_ietf_encrypt(APayload, &len, APayload, ALen + 4, nullptr, 0, nullptr, nonce.data(),
                                             FKey.data());
  ++FCounter;
}

TOpener::TOpener(const TSealKey& AKey) : FKey(AKey) { EnsureSodium(); }
TOpener::~TOpener() { sodium_memzero(FKey.data(), FKey.size()); }
TOpener::TOpener(TOpener&& AOther) noexcept : FKey(AOther.FKey), FCounter(AOther.FCounter), FBroken(AOther.FBroken) {
  sodium_memzero(AOther.FKey.data(), AOther.FKey.size());
  AOther.FBroken = true;
}
TOpener& TOpener::operator=(TOpener&& AOther) noexcept {
  FKey = AOther.FKey;
  FCounter = AOther.FCounter;
  FBroken = AOther.FBroken;
  sodium_memzero(AOther.FKey.data(), AOther.FKey.size());
  AOther.FBroken = true;
  return *this;
}

void TOpener::OpenInto(const uint8_t* ASealed, size_t ALen, uint8_t* APlain) {
  if (FBroken) throw TSecureError("암호화된 연결이 이미 끊겼습니다");
  if (ALen < SealOverhead) {
    FBroken = true;
    throw TSecureError("봉인된 메시지가 너무 짧습니다");
  }
  const TNonce nonce = NonceFor(FCounter);
  unsigned long long len = 0;
  if (crypto_aead_xchacha20poly1305_ietf_decrypt(APlain, &len, nullptr, ASealed, ALen, nullptr, 0, nonce.data(),
                                                 FKey.data()) != 0) {
    FBroken = true;
    throw TSecureError("봉인된 메시지가 변조되었거나 순서가 어긋났습니다");
  }
  ++FCounter;
}

TOpenedMessage TOpener::Open(std::span<const uint8_t> ASealed) {
  TBytes plain(ASealed.size() >= SealOverhead ? ASealed.size() - crypto_aead_xchacha20poly1305_ietf_ABYTES : 0);
  OpenInto(ASealed.data(), ASealed.size(), plain.data());
  TOpenedMessage message;
  message.Type = GetLE32(plain.data() + plain.size() - 4);
  plain.resize(plain.size() - 4);
  message.Payload = std::move(plain);
  return message;
}

TPacket TOpener::OpenPacket(TPacket&& APacket) {
  if (APacket.Type == MsgSealed) {
    TOpenedMessage opened = Open(std::move(APacket.Payload));
    // A peer may not smuggle a relay's message or a handshake step inside the seal.
    if (!IsSealedSessionMsg(opened.Type)) {
      FBroken = true;
      throw TSecureError("봉인된 메시지의 종류가 잘못되었습니다");
    }
    return TPacket{opened.Type, std::move(opened.Payload)};
  }
  if (IsSessionMsg(APacket.Type)) {
    FBroken = true;
    throw TSecureError("암호화된 세션에 평문 메시지가 왔습니다");
  }
  return std::move(APacket);
}

TOpenedMessage TOpener::Open(TBytes&& ASealed) {
  TBytes plain = std::move(ASealed);
  OpenInto(plain.data(), plain.size(), plain.data());
  TOpenedMessage message;
  message.Type = GetLE32(plain.data() + plain.size() - SealOverhead);
  plain.resize(plain.size() - SealOverhead);
  message.Payload = std::move(plain);
  return message;
}

}  // namespace tlm
