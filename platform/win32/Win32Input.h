// Input injection on Windows: each record goes to SendInput as it is (the host has already
// built it in SendInput's shape, absolute positions normalised over the virtual screen that
// VirtualScreen reports from GetSystemMetrics). Keys are sent by virtual-key code, the scan
// code carried along. Remembers what it holds down and releases it when destroyed.
#pragma once

#include <bitset>
#include <cstdint>

#include "platform/Input.h"

namespace tlm {

class TWin32Input : public IInputInjector {
public:
  TWin32Input() = default;
  ~TWin32Input() override;
  TWin32Input(const TWin32Input&) = delete;
  TWin32Input& operator=(const TWin32Input&) = delete;

  TVirtualScreen VirtualScreen() override;
  void SendMouse(const TMouseInput& AInput) override;
  void SendKey(const TKeyInput& AInput) override;

private:
  uint32_t FButtonsDown = 0;       // MOUSEEVENTF_*DOWN flags of buttons still held
  std::bitset<256> FKeysDown;      // virtual keys still held
  std::bitset<256> FKeysExtended;  // ... and whether they went down as extended keys
};

}  // namespace tlm
