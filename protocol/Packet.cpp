#include "protocol/Packet.h"

#include <cstdio>

#include "protocol/Error.h"

namespace tlm {

TBytes EncodePacket(uint32_t AType, std::span<const uint8_t> APayload) {
  TBytes buf(PacketHeaderSize + APayload.size());
  PutLE32(buf.data(), AType);
  PutLE32(buf.data() + 4, uint32_t(APayload.size()));
  if (!APayload.empty()) std::memcpy(buf.data() + PacketHeaderSize, APayload.data(), APayload.size());
  return buf;
}

TPacket ReadPacket(IConnection& AConn) {
  uint8_t header[PacketHeaderSize];
  AConn.ReadExact(header, sizeof header);
  TPacket packet;
  packet.Type = GetLE32(header);
  const uint32_t len = GetLE32(header + 4);
  if (len > MaxPacketPayload) {
    char text[64];
    std::snprintf(text, sizeof text, "Packet too large (%u bytes)", len);
    throw TError(text);
  }
  if (len > 0) {
    packet.Payload.resize(len);
    AConn.ReadExact(packet.Payload.data(), len);
  }
  return packet;
}

TBytes PackMouseEvent(const TMouseEventRec& ARec) {
  TBytes out(sizeof(TMouseEventRec));
  PutLE32(out.data(), uint32_t(ARec.X));
  PutLE32(out.data() + 4, uint32_t(ARec.Y));
  out[8] = ARec.Button;
  out[9] = ARec.Action;
  PutLE16(out.data() + 10, uint16_t(ARec.WheelDelta));
  return out;
}

TMouseEventRec UnpackMouseEvent(std::span<const uint8_t> APayload) {
  TMouseEventRec rec{};
  if (APayload.size() < sizeof(TMouseEventRec)) return rec;
  const uint8_t* p = APayload.data();
  rec.X = int32_t(GetLE32(p));
  rec.Y = int32_t(GetLE32(p + 4));
  rec.Button = p[8];
  rec.Action = p[9];
  rec.WheelDelta = int16_t(GetLE16(p + 10));
  return rec;
}

TBytes PackKeyEvent(const TKeyEventRec& ARec) {
  TBytes out(sizeof(TKeyEventRec));
  PutLE16(out.data(), ARec.VirtualKey);
  PutLE16(out.data() + 2, ARec.ScanCode);
  out[4] = ARec.KeyUp;
  out[5] = ARec.Extended;
  return out;
}

TKeyEventRec UnpackKeyEvent(std::span<const uint8_t> APayload) {
  TKeyEventRec rec{};
  if (APayload.size() < sizeof(TKeyEventRec)) return rec;
  const uint8_t* p = APayload.data();
  rec.VirtualKey = GetLE16(p);
  rec.ScanCode = GetLE16(p + 2);
  rec.KeyUp = p[4];
  rec.Extended = p[5];
  return rec;
}

}  // namespace tlm
