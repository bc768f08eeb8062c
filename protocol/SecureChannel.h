// Sealing of session messages once the handshake has agreed on keys: XChaCha20-Poly1305, one
// key per direction, the packet counter as the nonce. The counter is never sent: both ends
// count, so a dropped, replayed, reordered or altered packet fails to open and the session
// ends. The inner message code travels inside the sealed bytes; the relay sees MsgSealed and
// the length only.
//
// One TSealer per connection, used by its one writer: counters must follow the order in which
// packets reach the wire, so sealing happens where packets are put on the wire, not where they
// are queued. One TOpener per connection, used by its one reader.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "protocol/Bytes.h"
#include "protocol/Packet.h"
#include "protocol/PacketWriter.h"
#include "protocol/RelayChannel.h"

namespace tlm {

constexpr size_t SealKeySize = 32;
constexpr size_t SealOverhead = 4 + 16;  // inner code after the payload + Poly1305 tag
// The largest inner payload that still fits one packet.
constexpr size_t MaxSealedInnerPayload = MaxPacketPayload - SealOverhead;

using TSealKey = std::array<uint8_t, SealKeySize>;

struct TOpenedMessage {
  uint32_t Type = 0;
  TBytes Payload;
};

class TSealer final : public IPacketSealer {
public:
  explicit TSealer(const TSealKey& AKey);
  ~TSealer() override;
  TSealer(TSealer&&) noexcept;
  TSealer& operator=(TSealer&&) noexcept;
  TSealer(const TSealer&) = delete;
  TSealer& operator=(const TSealer&) = delete;

  // The payload of one MsgSealed packet carrying (AType, APayload). Throws TSecureError when
  // the payload is too large for one packet.
  TBytes Seal(uint32_t AType, std::span<const uint8_t> APayload);
  // The same in the caller's buffer (the writer's): APayload has ALen bytes and SealOverhead
  // bytes of room behind them.
  void SealInPlace(uint32_t AType, uint8_t* APayload, size_t ALen) override;
  size_t SealedOverhead() const override { return SealOverhead; }
  uint32_t SealedType() const override;
  uint64_t Count() const { return FCounter; }

private:
  TSealKey FKey{};
  uint64_t FCounter = 0;
};

class TOpener final : public IPacketOpener {
public:
  explicit TOpener(const TSealKey& AKey);
  ~TOpener() override;
  TOpener(TOpener&&) noexcept;
  TOpener& operator=(TOpener&&) noexcept;
  TOpener(const TOpener&) = delete;
  TOpener& operator=(const TOpener&) = delete;

  // Opens the next packet in order. Throws TSecureError for anything that is not exactly the
  // next packet sealed with this key; after that every call throws (the session is over).
  TOpenedMessage Open(std::span<const uint8_t> ASealed);
  // The same, decrypting in the packet's own buffer: no second buffer of a frame's size.
  TOpenedMessage Open(TBytes&& ASealed);
  // For the connection's reader: MsgSealed opened into the session message it carries, which
  // must be one that travels sealed; any other session message is refused, since none may
  // arrive in clear once the session is sealed. Codes outside the session pass unchanged.
  TPacket OpenPacket(TPacket&& APacket) override;
  uint64_t Count() const { return FCounter; }

private:
  // Decrypts ASealed into APlain (which may be the same memory) and checks the tag.
  void OpenInto(const uint8_t* ASealed, size_t ALen, uint8_t* APlain);
  TSealKey FKey{};
  uint64_t FCounter = 0;
  bool FBroken = false;
};

// Both directions of one end: what it sends and what it receives.
struct TSecureChannel {
  TSealer Out;
  TOpener In;
};

}  // namespace tlm
