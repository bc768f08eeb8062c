// A host agent wired to a scripted relay, fake capturer, recording input and clipboard, with
// its events recorded. The test thread is the agent's user-interface thread.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "host/HostAgent.h"
#include "platform/fake/FakeInput.h"
#include "platform/fake/FakeScreen.h"
#include "protocol/Credentials.h"
#include "protocol/Error.h"
#include "protocol/Messages.h"
#include "relay/RelayServer.h"
#include "tests/host/HostTestSupport.h"
#include "tests/support/QuietRelay.h"

namespace tlm::test {

class HostAgentFixture : public ::testing::Test {
protected:
  static constexpr const char* DeviceKey = "dev-key-0001";

  TTempHome Home;
  TQueueDispatcher Ui;
  TScriptedRelay Relay{Ui};        // the test plays the relay
  std::unique_ptr<TRelayServer> Server;  // the real relay, started on first use
  uint16_t ServerPort = 0;
  TFakeCapturer* Capturer = nullptr;  // owned by the agent
  TFakeInputInjector Input;
  TRecordingClipboard Clipboard;
  std::unique_ptr<THostAgent> Agent;

  std::vector<std::string> Statuses, Logs, Ids, Chats;
  int SessionStarts = 0, SessionEnds = 0;

  // Two monitors side by side, the second one primary.
  std::vector<THostMonitor> Monitors{{{0, 0, 1280, 1024}, false}, {{1280, 0, 3200, 1080}, true}};

  HostAgentFixture() { Input.SetVirtualScreen(TVirtualScreen{0, 0, 3200, 1080}); }

  void TearDown() override {
    if (Agent) Agent.reset();
    if (Server) Server->Stop();
  }

  THostTimings ShortTimings() {
    THostTimings t;
    t.ConnectTimeoutMs = 3000;
    t.PollMs = 20;
    t.ReconnectWaitMs = 100;
    return t;
  }

  void MakeAgent(const std::string& APasswordHash = "", THostTimings ATimings = {}, uint16_t APort = 0) {
    THostServices services;
    auto monitors = Monitors;
    services.MakeCapturer = [this, monitors] {
      auto capturer = std::make_unique<TFakeCapturer>(monitors);
      Capturer = capturer.get();
      return capturer;
    };
    services.Input = &Input;
    services.Clipboard = &Clipboard;
    services.DownloadDir = Home.Sub("Downloads");
    Agent = std::make_unique<THostAgent>(Ui, "127.0.0.1", APort ? APort : Relay.Port(), DeviceKey, APasswordHash,
                                         std::move(services), ATimings);
    Agent->OnStatus = [this](const std::string& s) { Statuses.push_back(s); };
    Agent->OnLog = [this](const std::string& s) { Logs.push_back(s); };
    Agent->OnID = [this](const std::string& s) { Ids.push_back(s); };
    Agent->OnChat = [this](const std::string& s) { Chats.push_back(s); };
    Agent->OnSessionStart = [this](const std::string&) { SessionStarts++; };
    Agent->OnSessionEnd = [this] { SessionEnds++; };
  }

  // The user answers each consent question at once, as AAnswer decides (a handler that is
  // still in a dialog when it sets AAllow); an agent destroyed inside AAnswer gets no answer.
  void AnswerConsentWith(std::function<void(const std::string& AName, const std::string& AIP, bool& AAllow)> AAnswer) {
    Agent->OnConsent = [this, AAnswer](const TConsentQuestion& AQuestion) {
      bool allow = false;
      AAnswer(AQuestion.ViewerName, AQuestion.ViewerIP, allow);
      if (Agent) Agent->AnswerConsent(AQuestion.Ticket, allow);
    };
  }

  // Starts the agent and registers it under ID 123456789.
  std::unique_ptr<TPacketPeer> StartRegistered(const std::string& APasswordHash = "", THostTimings ATimings = {}) {
    MakeAgent(APasswordHash, ATimings);
    Agent->Start();
    auto end = Relay.AcceptRegistered(DeviceKey, "123456789");
    EXPECT_TRUE(WaitFor([&] { return Agent->ID() == "123456789"; }));
    return end;
  }

  // An agent with the real capturer on AScreen (and the recording input), registered at the
  // scripted relay and not yet in session.
  std::unique_ptr<TPacketPeer> StartOnScreen(std::shared_ptr<IScreen> AScreen) {
    THostServices services;
    services.MakeScreen = [AScreen] { return AScreen; };
    services.Input = &Input;
    Agent = std::make_unique<THostAgent>(Ui, "127.0.0.1", Relay.Port(), DeviceKey, "", std::move(services));
    Agent->Start();
    return Relay.AcceptRegistered(DeviceKey, "42");
  }

  // What a viewer must see after the host's screen became AW x AH (one monitor, the input's
  // virtual screen already that size): the monitor list AList, then a key frame covering the
  // new size in full-width tile rows (returned), and mouse positions mapped against the new size.
  TParsedFrame ExpectResizedTo(TPacketPeer& AEnd, const std::string& AList, int AW, int AH) {
    EXPECT_EQ(TextOf(AEnd.NextOf(MsgMonitorList).Payload), AList);
    TParsedFrame frame = NextFrame(AEnd);
    EXPECT_TRUE(frame.Keyframe);
    EXPECT_EQ(frame.ScreenW, AW);
    EXPECT_EQ(frame.ScreenH, AH);
    int covered = 0;
    for (const TParsedRect& r : frame.Rects) {
      EXPECT_EQ(r.X, 0);
      EXPECT_EQ(r.W, AW);
      EXPECT_EQ(r.Y, covered);
      covered += r.H;
    }
    EXPECT_EQ(covered, AH);
    Input.Clear();
    AEnd.Send(MsgMouse, PackMouseEvent(TMouseEventRec{AW - 1, AH - 1, 0, 0, 0}));
    EXPECT_TRUE(Input.WaitForRecords(1, std::chrono::seconds(5)));
    EXPECT_EQ(Input.MouseInputs(), (std::vector<TMouseInput>{{65535, 65535, 0, 0xC001}}));
    return frame;
  }

  // Registered at the scripted relay and in session, with the monitor list already read.
  std::unique_ptr<TPacketPeer> StartInSessionScripted() {
    auto end = StartRegistered();
    end->Send(MsgSessionStart);
    EXPECT_EQ(end->NextOf(MsgMonitorList).Type, MsgMonitorList);
    return end;
  }

  uint16_t RealRelay() {
    if (!Server) {
      TRelayOptions options = QuietLoopbackRelay();
      Server = std::make_unique<TRelayServer>(options);
      ServerPort = Server->Start();
    }
    return ServerPort;
  }

  // The agent registered at the real relay; answers its ID.
  std::string StartHost(const std::string& APasswordHash = "") {
    MakeAgent(APasswordHash, ShortTimings(), RealRelay());
    Agent->Start();
    EXPECT_TRUE(WaitFor([&] { return !Agent->ID().empty() && !Ids.empty(); }));
    EXPECT_EQ(Ids.back(), Agent->ID());
    return Agent->ID();
  }

  // A scripted viewer's connection request through the real relay.
  std::unique_ptr<TPacketPeer> ViewerAsking(const std::string& AId, const std::string& AProof) {
    auto viewer = ConnectViewer(Ui, RealRelay());
    viewer->SendText(MsgConnectRequest, BuildConnectRequest(AId, "Viewer PC", AProof));
    return viewer;
  }

  // A scripted viewer in session with the agent through the real relay, admitted by password,
  // with the monitor list already read.
  std::unique_ptr<TPacketPeer> StartInSession() {
    const std::string id = StartHost(HashPassword("pw"));
    auto viewer = ViewerAsking(id, MakeSessionProof(id, HashPassword("pw")));
    EXPECT_EQ(viewer->Next().Type, MsgSessionStart);
    EXPECT_EQ(viewer->NextOf(MsgMonitorList).Type, MsgMonitorList);
    return viewer;
  }

  bool WaitFor(const std::function<bool()>& APred, int AMs = 5000) { return Ui.RunUntil(APred, AMs); }
  bool Has(const std::vector<std::string>& AList, const std::string& AText) {
    return std::find(AList.begin(), AList.end(), AText) != AList.end();
  }
  bool HasPrefix(const std::vector<std::string>& AList, const std::string& APrefix) {
    return std::any_of(AList.begin(), AList.end(), [&](const std::string& s) { return s.rfind(APrefix, 0) == 0; });
  }
};

}  // namespace tlm::test
