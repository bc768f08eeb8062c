// Writing a packet straight onto a connection, for tests and benchmarks that play a peer. The
// program itself writes only through a connection's TPacketWriter (protocol/PacketWriter.h).
// ALock, when given, is held only for the one WriteAll of the whole packet, so peers that
// write from several threads never interleave two packets.
#pragma once

#include <cstdint>
#include <mutex>
#include <span>
#include <string_view>

#include "protocol/Connection.h"
#include "protocol/Packet.h"

namespace tlm {

inline void WritePacket(IConnection& AConn, uint32_t AType, std::span<const uint8_t> APayload, std::mutex* ALock) {
  const TBytes buf = EncodePacket(AType, APayload);
  if (!ALock) {
    AConn.WriteAll(buf.data(), buf.size());
    return;
  }
  std::lock_guard<std::mutex> hold(*ALock);
  AConn.WriteAll(buf.data(), buf.size());
}

inline void WriteTextPacket(IConnection& AConn, uint32_t AType, std::string_view AText, std::mutex* ALock) {
  WritePacket(AConn, AType, std::span(reinterpret_cast<const uint8_t*>(AText.data()), AText.size()), ALock);
}

inline void WriteEmptyPacket(IConnection& AConn, uint32_t AType, std::mutex* ALock) { WritePacket(AConn, AType, {}, ALock); }

}  // namespace tlm
