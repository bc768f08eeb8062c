// An injector that records every input instead of injecting it, for tests of the host.
//
// Thread-safe: the host's reader thread sends while a test thread reads the records or waits
// for them. The virtual screen is whatever the test set (default 0, 0, 1920, 1080).
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/Input.h"

namespace tlm {

// One recorded call, in the order the calls arrived.
struct TFakeInputRecord {
  enum class TKind { Mouse, Key };
  TKind Kind = TKind::Mouse;
  TMouseInput Mouse;  // valid when Kind is Mouse
  TKeyInput Key;      // valid when Kind is Key
};

class TFakeInputInjector : public IInputInjector {
public:
  TVirtualScreen VirtualScreen() override;
  void SendMouse(const TMouseInput& AInput) override;
  void SendKey(const TKeyInput& AInput) override;

  void SetVirtualScreen(const TVirtualScreen& AScreen);
  std::vector<TFakeInputRecord> Records() const;
  std::vector<TMouseInput> MouseInputs() const;
  std::vector<TKeyInput> KeyInputs() const;
  int VirtualScreenCalls() const;
  void Clear();

  // Waits until at least ACount calls (mouse and key together) have been recorded;
  // false when ATimeout passes first.
  bool WaitForRecords(size_t ACount, std::chrono::milliseconds ATimeout) const;

private:
  void Add(const TFakeInputRecord& ARecord);

  mutable std::mutex FLock;
  mutable std::condition_variable FArrived;
  TVirtualScreen FScreen{0, 0, 1920, 1080};
  std::vector<TFakeInputRecord> FRecords;
  int FVirtualScreenCalls = 0;
};

}  // namespace tlm
