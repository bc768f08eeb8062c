#include "tests/host/HostTestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "protocol/Error.h"
#include "protocol/Messages.h"
#include "tests/support/PacketWrites.h"

namespace tlm::test {

namespace {
using TClock = std::chrono::steady_clock;
int LeftMs(TClock::time_point ADeadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(ADeadline - TClock::now()).count();
  return left > 0 ? int(left) : 0;
}
}  // namespace

TPacketPeer::TPacketPeer(TQueueDispatcher& AUi, std::unique_ptr<TTcpConnection> AConn)
    : FUi(AUi), FConn(std::move(AConn)) {
  FConn->SetReadTimeout(5000);
}

bool TPacketPeer::ReadOne(TPacket& APacket, int ATimeoutMs) {
  const auto deadline = TClock::now() + std::chrono::milliseconds(ATimeoutMs);
  for (;;) {
    FUi.RunPending();
    if (FConn->WaitReadable(5)) {
      APacket = ReadPacket(*FConn);
      return true;
    }
    if (TClock::now() >= deadline) return false;
  }
}

TPacket TPacketPeer::Next(int ATimeoutMs, bool AKeepAlives) {
  const auto deadline = TClock::now() + std::chrono::milliseconds(ATimeoutMs);
  TPacket packet;
  while (ReadOne(packet, LeftMs(deadline))) {
    if (packet.Type == MsgKeepAlive && !AKeepAlives) continue;
    return packet;
  }
  ADD_FAILURE() << "no packet from the host within " << ATimeoutMs << " ms";
  packet.Type = 0xFFFFFFFF;
  packet.Payload.clear();
  return packet;
}

TPacket TPacketPeer::NextOf(uint32_t AType, int ATimeoutMs) {
  const auto deadline = TClock::now() + std::chrono::milliseconds(ATimeoutMs);
  TPacket packet;
  while (ReadOne(packet, LeftMs(deadline))) {
    if (packet.Type == AType) return packet;
    if (packet.Type == MsgKeepAlive || packet.Type == MsgFrame) continue;
    ADD_FAILURE() << "expected type " << AType << ", got " << packet.Type;
    return packet;
  }
  ADD_FAILURE() << "no packet of type " << AType << " within " << ATimeoutMs << " ms";
  packet.Type = 0xFFFFFFFF;
  return packet;
}

bool TPacketPeer::Quiet(int AMs, bool ASkipFrames) {
  const auto deadline = TClock::now() + std::chrono::milliseconds(AMs);
  TPacket packet;
  while (ReadOne(packet, LeftMs(deadline))) {
    if (packet.Type == MsgKeepAlive || (ASkipFrames && packet.Type == MsgFrame)) continue;
    ADD_FAILURE() << "unexpected packet of type " << packet.Type;
    return false;
  }
  return true;
}

bool TPacketPeer::WaitClosed(int ATimeoutMs) {
  const auto deadline = TClock::now() + std::chrono::milliseconds(ATimeoutMs);
  try {
    TPacket packet;
    while (ReadOne(packet, LeftMs(deadline))) {
    }
  } catch (const TConnectionError&) {
    return true;
  }
  return false;
}

bool TPacketPeer::WaitSessionGone(int ATimeoutMs) {
  const auto deadline = TClock::now() + std::chrono::milliseconds(ATimeoutMs);
  try {
    TPacket packet;
    while (ReadOne(packet, LeftMs(deadline)))
      if (packet.Type == MsgSessionEnd) return true;
  } catch (const TConnectionError&) {
    return true;
  }
  return false;
}

void TPacketPeer::Send(uint32_t AType, const TBytes& APayload) { WritePacket(*FConn, AType, APayload, nullptr); }

void TPacketPeer::SendText(uint32_t AType, const std::string& AText) { WriteTextPacket(*FConn, AType, AText, nullptr); }

TParsedFrame NextFrame(TPacketPeer& AEnd) {
  TParsedFrame frame;
  EXPECT_TRUE(ParseFramePayload(AEnd.NextOf(MsgFrame).Payload, frame));
  return frame;
}

void Probe(TPacketPeer& AEnd) {
  AEnd.Send(MsgListDir, BytesOf("/nonexistent-probe"));
  EXPECT_EQ(TextOf(AEnd.NextOf(MsgDirListing).Payload), "/nonexistent-probe\r\n");
}

std::unique_ptr<TPacketPeer> ConnectViewer(TQueueDispatcher& AUi, uint16_t APort) {
  auto conn = std::make_unique<TTcpConnection>();
  conn->Connect("127.0.0.1", APort, 5000);
  return std::make_unique<TPacketPeer>(AUi, std::move(conn));
}

TScriptedRelay::TScriptedRelay(TQueueDispatcher& AUi) : FUi(AUi) {}

TScriptedRelay::~TScriptedRelay() = default;

void TScriptedRelay::Close() { FListener.Close(); }

std::unique_ptr<TPacketPeer> TScriptedRelay::Accept(int ATimeoutMs) {
  const auto deadline = TClock::now() + std::chrono::milliseconds(ATimeoutMs);
  for (;;) {
    FUi.RunPending();
    if (auto conn = FListener.TryAccept(5)) return std::make_unique<TPacketPeer>(FUi, std::move(conn));
    if (TClock::now() >= deadline) return nullptr;
  }
}

std::unique_ptr<TPacketPeer> TScriptedRelay::AcceptRegistered(const std::string& ADeviceKey, const std::string& AId) {
  auto end = Accept();
  if (!end) {
    ADD_FAILURE() << "the host did not connect";
    return nullptr;
  }
  TPacket reg = end->Next();
  EXPECT_EQ(reg.Type, MsgHostRegister);
  EXPECT_EQ(TextOf(reg.Payload), ADeviceKey);
  end->SendText(MsgHostId, AId);
  return end;
}

void TFakeCapturer::RefreshMonitors() {
  Refreshes++;
  if (Index.load() >= int(FMonitors.size())) Index = 0;
}

void TFakeCapturer::SelectMonitor(int AIndex) {
  if (AIndex >= 0 && AIndex < int(FMonitors.size()) && AIndex != Index.load()) {
    Index = AIndex;
    Resets++;
  }
}

void TFakeCapturer::Hold() {
  std::lock_guard hold(FGateLock);
  FHeld = true;
}

void TFakeCapturer::Release() {
  {
    std::lock_guard hold(FGateLock);
    FHeld = false;
  }
  FGateOpen.notify_all();
}

bool TFakeCapturer::Capture(bool, std::vector<TEncodedRect>& ARects, int& AScreenW, int& AScreenH) {
  {
    std::unique_lock hold(FGateLock);
    FGateOpen.wait_for(hold, std::chrono::seconds(5), [this] { return !FHeld; });
  }
  Captures++;
  if (Fail) throw TError("capture failed");
  const TPixelRect b = FMonitors.empty() ? TPixelRect{0, 0, 16, 16} : FMonitors[size_t(Index.load())].Bounds;
  AScreenW = b.Right - b.Left;
  AScreenH = b.Bottom - b.Top;
  TEncodedRect rect;
  rect.Rect = {0, 0, 16, 16, 3};
  rect.Data = {0xFF, 0xD8, uint8_t(Quality.load())};
  ARects.push_back(rect);
  return true;
}

void TRecordingClipboard::SetClipboardText(const std::string& AText) {
  if (Throw) throw TError("clipboard is busy");
  Texts.push_back(AText);
}

}  // namespace tlm::test
