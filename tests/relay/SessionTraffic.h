// Numbered session packets for relay tests: each payload starts with its sequence number
// and continues with bytes derived from it, so loss, reordering and corruption all show.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "protocol/Bytes.h"
#include "protocol/Messages.h"
#include "tests/support/ScriptedPeer.h"

namespace tlm::test {

inline TBytes NumberedPayload(uint32_t ASeq, size_t ASize) {
  TBytes payload(std::max<size_t>(ASize, 4));
  PutLE32(payload.data(), ASeq);
  for (size_t i = 4; i < payload.size(); ++i) payload[i] = uint8_t(ASeq * 31 + i * 7);
  return payload;
}

// "" when APayload is the one NumberedPayload(AExpectedSeq, ...) makes; else what is wrong.
inline std::string CheckNumbered(const TBytes& APayload, uint32_t AExpectedSeq, size_t AExpectedSize) {
  if (APayload.size() != std::max<size_t>(AExpectedSize, 4))
    return "size " + std::to_string(APayload.size()) + " instead of " + std::to_string(AExpectedSize);
  const uint32_t seq = GetLE32(APayload.data());
  if (seq != AExpectedSeq) return "sequence " + std::to_string(seq) + " instead of " + std::to_string(AExpectedSeq);
  for (size_t i = 4; i < APayload.size(); ++i)
    if (APayload[i] != uint8_t(AExpectedSeq * 31 + i * 7)) return "byte " + std::to_string(i) + " corrupted";
  return "";
}

// Sizes that cover empty-ish, small and multi-piece packets.
inline size_t TrafficSize(uint32_t ASeq) {
  static const size_t sizes[] = {4, 12, 100, 1500, 65536, 70000, 200000, 7};
  return sizes[ASeq % (sizeof sizes / sizeof sizes[0])];
}

// A code the given side may send in a session, varying with ASeq.
inline uint32_t TrafficCode(bool AFromHost, uint32_t ASeq) {
  static const uint32_t fromHost[] = {MsgFrame, MsgMonitorList, MsgChat, MsgFileChunk, MsgDirListing, MsgFileError};
  static const uint32_t fromViewer[] = {MsgFrameAck, MsgMouse, MsgKey, MsgFileChunk, MsgListDir, MsgQuality};
  return AFromHost ? fromHost[ASeq % 6] : fromViewer[ASeq % 6];
}

// Sends ACount numbered packets (sizes from ASize) from AFrom on a thread of its own while
// the calling thread reads them at ATo and checks type, number and content. AFault gets the
// first fault found ("" when every packet arrived intact and in order).
inline void Stream(TScriptedPeer& AFrom, TScriptedPeer& ATo, bool AFromHost, uint32_t ACount, std::string& AFault,
                   const std::function<size_t(uint32_t)>& ASize = TrafficSize) {
  std::string sendFault;
  std::thread sender([&] {
    try {
      for (uint32_t seq = 0; seq < ACount; ++seq)
        AFrom.Send(TrafficCode(AFromHost, seq), NumberedPayload(seq, ASize(seq)));
    } catch (const std::exception& e) {
      sendFault = std::string("send failed: ") + e.what();
    }
  });
  try {
    for (uint32_t seq = 0; seq < ACount; ++seq) {
      auto packet = ATo.Next(30000);
      if (!packet) {
        AFault = "packet " + std::to_string(seq) + " never arrived";
        break;
      }
      if (packet->Type != TrafficCode(AFromHost, seq)) {
        AFault = "packet " + std::to_string(seq) + " has type " + std::to_string(packet->Type);
        break;
      }
      const std::string wrong = CheckNumbered(packet->Payload, seq, ASize(seq));
      if (!wrong.empty()) {
        AFault = "packet " + std::to_string(seq) + ": " + wrong;
        break;
      }
    }
  } catch (const std::exception& e) {
    AFault = std::string("receive failed: ") + e.what();
  }
  if (!AFault.empty()) AFrom.Abort();
  sender.join();
  if (AFault.empty()) AFault = sendFault;
}

}  // namespace tlm::test
