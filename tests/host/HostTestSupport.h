// Test doubles around THostAgent: the relay's end of the host connection (a listener the
// agent connects to, scripted by the test), a capturer that produces tiny frames and a clipboard
// that records what it gets. The temporary home folder comes from tests/support/TempFiles.h.
//
// Everything here runs on the test thread, which is also the agent's user-interface thread:
// every wait pumps the TQueueDispatcher, so the agent's Sync calls never block a test.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/HostAgent.h"
#include "protocol/Connection.h"
#include "protocol/Frame.h"
#include "protocol/Marshal.h"
#include "protocol/Packet.h"
#include "tests/support/Loopback.h"
#include "tests/support/TempFiles.h"

namespace tlm::test {

// One end of a packet connection, as the relay or a viewer sees it.
class TPacketPeer {
public:
  TPacketPeer(TQueueDispatcher& AUi, std::unique_ptr<TTcpConnection> AConn);
  // Next packet other than a keep-alive (unless AKeepAlives), pumping the UI meanwhile;
  // fails the test (and returns type 0xFFFFFFFF) after ATimeoutMs.
  TPacket Next(int ATimeoutMs = 5000, bool AKeepAlives = false);
  // Next packet of type AType, skipping frames and keep-alives on the way.
  TPacket NextOf(uint32_t AType, int ATimeoutMs = 5000);
  // True when no packet other than keep-alives (and frames, when ASkipFrames) arrives within AMs.
  bool Quiet(int AMs, bool ASkipFrames = false);
  // True once the agent has closed its end.
  bool WaitClosed(int ATimeoutMs = 5000);
  // A viewer's end through the relay: true once the relay ends the session (MsgSessionEnd) or
  // closes this connection, which it does when the host left in the middle of a packet.
  bool WaitSessionGone(int ATimeoutMs = 5000);
  void Send(uint32_t AType, const TBytes& APayload = {});
  void SendText(uint32_t AType, const std::string& AText);
  TTcpConnection& Conn() { return *FConn; }

private:
  bool ReadOne(TPacket& APacket, int ATimeoutMs);
  TQueueDispatcher& FUi;
  std::unique_ptr<TTcpConnection> FConn;
};

// The next frame on AEnd (skipping keep-alives), parsed; a payload that does not parse fails the test.
TParsedFrame NextFrame(TPacketPeer& AEnd);

// The reader answers listings in order, so a listing reply proves every earlier packet was handled.
void Probe(TPacketPeer& AEnd);

// A viewer's own connection to a relay server at 127.0.0.1:APort.
std::unique_ptr<TPacketPeer> ConnectViewer(TQueueDispatcher& AUi, uint16_t APort);

// Stands in for the relay server: the agent connects to it and the test plays the relay.
class TScriptedRelay {
public:
  explicit TScriptedRelay(TQueueDispatcher& AUi);
  ~TScriptedRelay();
  uint16_t Port() const { return FListener.Port(); }
  // Accepts the agent's next connection (pumping the UI); null after ATimeoutMs.
  std::unique_ptr<TPacketPeer> Accept(int ATimeoutMs = 5000);
  // Accepts, checks MsgHostRegister carries ADeviceKey and answers MsgHostId with AId.
  std::unique_ptr<TPacketPeer> AcceptRegistered(const std::string& ADeviceKey, const std::string& AId);
  void Close();

private:
  TQueueDispatcher& FUi;
  test::TLoopbackListener FListener;
};

// Frames of one 16x16 rectangle per capture, every capture "changed".
class TFakeCapturer final : public IHostCapturer {
public:
  explicit TFakeCapturer(std::vector<THostMonitor> AMonitors) : FMonitors(std::move(AMonitors)) {}
  void RefreshMonitors() override;
  void Reset() override { Resets++; }
  int MonitorCount() const override { return int(FMonitors.size()); }
  THostMonitor GetMonitor(int AIndex) const override { return FMonitors[size_t(AIndex)]; }
  int MonitorIndex() const override { return Index.load(); }
  void SelectMonitor(int AIndex) override;
  void SetQuality(int AJpegQuality) override { Quality = AJpegQuality; }
  bool Capture(bool AKeyframe, std::vector<TEncodedRect>& ARects, int& AScreenW, int& AScreenH) override;
  // While held, a capture waits at its start (for at most a few seconds, so a failing test
  // cannot hang): a test can let the reader handle packets before the next frame exists.
  void Hold();
  void Release();

  std::atomic<int> Refreshes{0};
  std::atomic<int> Resets{0};
  std::atomic<int> Captures{0};
  std::atomic<int> Index{0};
  std::atomic<int> Quality{0};
  std::atomic<bool> Fail{false};  // Capture throws while set

private:
  std::vector<THostMonitor> FMonitors;
  std::mutex FGateLock;
  std::condition_variable FGateOpen;
  bool FHeld = false;
};

class TRecordingClipboard final : public IClipboardSetter {
public:
  void SetClipboardText(const std::string& AText) override;
  std::vector<std::string> Texts;  // UI thread only
  bool Throw = false;
};

}  // namespace tlm::test
