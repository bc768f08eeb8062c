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
#include "tests/host/HostTestSupport.h"

namespace tlm::test {

class HostAgentFixture : public ::testing::Test {
protected:
  static constexpr const char* DeviceKey = "dev-key-0001";

  TTempHome Home;
  TQueueDispatcher Ui;
  TScriptedRelay Relay{Ui};
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

  // Starts the agent and registers it under ID 123456789.
  std::unique_ptr<TPacketPeer> StartRegistered(const std::string& APasswordHash = "", THostTimings ATimings = {}) {
    MakeAgent(APasswordHash, ATimings);
    Agent->Start();
    auto end = Relay.AcceptRegistered(DeviceKey, "123456789");
    EXPECT_TRUE(WaitFor([&] { return Agent->ID() == "123456789"; }));
    return end;
  }

  // Registered and in session, with the monitor list already read.
  std::unique_ptr<TPacketPeer> StartInSession() {
    auto end = StartRegistered();
    end->Send(MsgSessionStart);
    EXPECT_EQ(end->NextOf(MsgMonitorList).Type, MsgMonitorList);
    return end;
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
