// Packet framing: 32-bit type, 32-bit length, payload, all little-endian; record codecs of
// the two input messages.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "protocol/Bytes.h"
#include "protocol/Connection.h"

namespace tlm {

constexpr uint32_t MaxPacketPayload = 67108864;  // 64 MiB; readers refuse anything larger
constexpr size_t PacketHeaderSize = 8;

struct TPacket {
  uint32_t Type = 0;
  TBytes Payload;
};

// The whole packet in one buffer, as a connection's writer sends it (protocol/PacketWriter.h).
TBytes EncodePacket(uint32_t AType, std::span<const uint8_t> APayload);

// Reads one whole packet; raises TError "Packet too large (%u bytes)" for a length above
// MaxPacketPayload (the payload is left unread) and TConnectionError on transport failure.
TPacket ReadPacket(IConnection& AConn);

#pragma pack(push, 1)
// The button and action bytes of a mouse record, as both ends write and read them.
constexpr uint8_t MouseButtonNone = 0;
constexpr uint8_t MouseButtonLeft = 1;
constexpr uint8_t MouseButtonRight = 2;
constexpr uint8_t MouseButtonMiddle = 3;
constexpr uint8_t MouseMove = 0;  // also any unknown action
constexpr uint8_t MousePress = 1;
constexpr uint8_t MouseRelease = 2;
constexpr uint8_t MouseDoubleClick = 3;  // always the left button
constexpr uint8_t MouseWheel = 4;

struct TMouseEventRec {
  int32_t X;
  int32_t Y;
  uint8_t Button;  // MouseButton*
  uint8_t Action;  // Mouse*
  int16_t WheelDelta;
};
struct TKeyEventRec {
  uint16_t VirtualKey;
  uint16_t ScanCode;
  uint8_t KeyUp;
  uint8_t Extended;
};
#pragma pack(pop)
static_assert(sizeof(TMouseEventRec) == 12, "TMouseEventRec is 12 bytes on the wire");
static_assert(sizeof(TKeyEventRec) == 6, "TKeyEventRec is 6 bytes on the wire");

// Pack gives exactly 12 / 6 bytes; Unpack of a shorter payload gives an all-zero record,
// of a longer one its first bytes. Fields are little-endian on the wire whatever the host order.
TBytes PackMouseEvent(const TMouseEventRec& ARec);
TMouseEventRec UnpackMouseEvent(std::span<const uint8_t> APayload);
TBytes PackKeyEvent(const TKeyEventRec& ARec);
TKeyEventRec UnpackKeyEvent(std::span<const uint8_t> APayload);

}  // namespace tlm
