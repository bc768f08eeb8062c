// An in-process relay on an ephemeral loopback port with limits a test can change, plus
// helpers that bring a scripted host and viewer into a session.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/Messages.h"
#include "relay/RelayServer.h"
#include "tests/support/ScriptedPeer.h"

namespace tlm::test {

class TRelayFixture : public ::testing::Test {
protected:
  // Loopback tests come from one address, so the per-address limits start out of the way.
  static TRelayOptions TestOptions() {
    TRelayOptions options;
    options.ListenAddress = "127.0.0.1";
    options.Port = 0;
    options.DbPath = ":memory:";
    options.MaxConnectionsPerIp = 100000;
    options.ConnectRequestsPerIpPerMinute = 100000;
    options.ConnectRequestsPerHostPerMinute = 100000;
    options.NewKeysPerIpPerMinute = 100000;
    options.NewKeysPerSecond = 100000;
    options.TlsHandshakesPerIpPerSecond = 100000;
    // Tests look for single log lines: nothing is summarised unless a test asks for it.
    options.LogBurst = 100000;
    return options;
  }

  void StartRelay(TRelayOptions AOptions = TestOptions()) {
    AOptions.Log = [this](const std::string& ALine) {
      std::lock_guard<std::mutex> hold(FLogLock);
      FLogLines.push_back(ALine);
    };
    FRelay = std::make_unique<TRelayServer>(std::move(AOptions));
    FPort = FRelay->Start();
  }

  void TearDown() override {
    if (FRelay) FRelay->Stop();
  }

  std::unique_ptr<TScriptedPeer> Peer() { return std::make_unique<TScriptedPeer>(FPort); }

  // A registered host and a viewer in a running session with it.
  struct TPair {
    std::unique_ptr<TScriptedPeer> Host;
    std::unique_ptr<TScriptedPeer> Viewer;
    std::string Id;
  };
  TPair OpenSession(const std::string& AKey = "device-key") {
    TPair pair;
    pair.Host = Peer();
    pair.Id = pair.Host->Register(AKey);
    pair.Viewer = Peer();
    pair.Viewer->RequestConnect(pair.Id);
    pair.Host->Expect(MsgAdmitRequest);
    pair.Host->Send(MsgAdmitAccept);
    pair.Host->Expect(MsgSessionStart);
    pair.Viewer->Expect(MsgSessionStart);
    return pair;
  }

  // Waits (generously) until ACondition holds.
  template <typename F>
  static bool WaitUntil(F ACondition, int ATimeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeoutMs);
    while (!ACondition()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  bool LogContains(const std::string& APiece) {
    // Lines reach the log on a thread of their own: what the relay has logged so far first.
    if (FRelay) FRelay->FlushLog();
    std::lock_guard<std::mutex> hold(FLogLock);
    for (const auto& line : FLogLines)
      if (line.find(APiece) != std::string::npos) return true;
    return false;
  }

  std::unique_ptr<TRelayServer> FRelay;
  uint16_t FPort = 0;
  std::mutex FLogLock;
  std::vector<std::string> FLogLines;
};

}  // namespace tlm::test
