#include "tests/support/ScriptedPeer.h"

#include <gtest/gtest.h>

#include <chrono>

#include "protocol/Error.h"
#include "protocol/Messages.h"
#include "tests/support/PacketWrites.h"

namespace tlm::test {

namespace {

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Once a packet has begun, the rest of it must follow within this time.
constexpr int PacketCompletionMs = 10000;

}  // namespace

TScriptedPeer::TScriptedPeer(uint16_t APort, const std::string& AHost)
    : TScriptedPeer(std::make_unique<TTcpConnection>(), APort, AHost) {}

TScriptedPeer::TScriptedPeer(std::unique_ptr<IClientConnection> AConn, uint16_t APort, const std::string& AHost)
    : FConn(std::move(AConn)) {
  FConn->Connect(AHost, APort, 5000);
  FConn->SetReadTimeout(PacketCompletionMs);
}

void TScriptedPeer::Send(uint32_t AType, std::span<const uint8_t> APayload) {
  WritePacket(*FConn, AType, APayload, &FWriteLock);
}

void TScriptedPeer::SendText(uint32_t AType, std::string_view AText) {
  WriteTextPacket(*FConn, AType, AText, &FWriteLock);
}

void TScriptedPeer::SendRaw(const void* AData, size_t ALen) {
  std::lock_guard<std::mutex> hold(FWriteLock);
  FConn->WriteAll(AData, ALen);
}

std::optional<TPacket> TScriptedPeer::Next(int ATimeoutMs, bool AKeepAlives) {
  const int64_t deadline = NowMs() + ATimeoutMs;
  for (;;) {
    const int64_t left = deadline - NowMs();
    if (left <= 0 || !FConn->WaitReadable(int(left))) return std::nullopt;
    TPacket packet = ReadPacket(*FConn);
    if (packet.Type != MsgKeepAlive || AKeepAlives) return packet;
  }
}

TPacket TScriptedPeer::Expect(uint32_t AType, int ATimeoutMs) {
  try {
    auto packet = Next(ATimeoutMs);
    if (!packet) {
      ADD_FAILURE() << "no packet of type " << AType << " within " << ATimeoutMs << " ms";
      return {};
    }
    if (packet->Type != AType) {
      ADD_FAILURE() << "expected packet type " << AType << ", got " << packet->Type << " with "
                    << packet->Payload.size() << " bytes: " << TextOf(packet->Payload).substr(0, 80);
      return {};
    }
    return std::move(*packet);
  } catch (const TError& e) {
    ADD_FAILURE() << "connection failed while waiting for type " << AType << ": " << e.what();
    return {};
  }
}

std::string TScriptedPeer::ExpectText(uint32_t AType, int ATimeoutMs) {
  return TextOf(Expect(AType, ATimeoutMs).Payload);
}

bool TScriptedPeer::WaitClosed(int ATimeoutMs) {
  const int64_t deadline = NowMs() + ATimeoutMs;
  try {
    for (;;) {
      const int64_t left = deadline - NowMs();
      if (left <= 0 || !FConn->WaitReadable(int(left))) return false;
      ReadPacket(*FConn);
    }
  } catch (const TConnectionError&) {
    return true;
  }
}

bool TScriptedPeer::QuietFor(int AMs) {
  try {
    return !Next(AMs).has_value();
  } catch (const TError&) {
    return false;
  }
}

std::string TScriptedPeer::Register(std::string_view AKey) {
  SendText(MsgHostRegister, AKey);
  return ExpectText(MsgHostId);
}

void TScriptedPeer::RequestConnect(std::string_view AId, std::string_view AName, std::string_view AProof) {
  SendText(MsgConnectRequest, BuildConnectRequest(AId, AName, AProof));
}

}  // namespace tlm::test
