#include "platform/win32/Win32Input.h"

#include <windows.h>

namespace tlm {

namespace {

void Send(INPUT& AInput) { ::SendInput(1, &AInput, sizeof(INPUT)); }

// Each button's down flag and the up flag that releases it.
constexpr struct {
  uint32_t Down;
  uint32_t Up;
} Buttons[] = {
    {0x0002, 0x0004},  // left
    {0x0008, 0x0010},  // right
    {0x0020, 0x0040},  // middle
};

}  // namespace

TWin32Input::~TWin32Input() {
  for (const auto& b : Buttons) {
    if (!(FButtonsDown & b.Down)) continue;
    INPUT in{};
    in.type = INPUT_MOUSE;
    in.mi.dwFlags = b.Up;
    Send(in);
  }
  for (size_t vk = 0; vk < FKeysDown.size(); ++vk) {
    if (!FKeysDown[vk]) continue;
    INPUT in{};
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = WORD(vk);
    in.ki.dwFlags = KEYEVENTF_KEYUP | (FKeysExtended[vk] ? KEYEVENTF_EXTENDEDKEY : 0);
    Send(in);
  }
}

TVirtualScreen TWin32Input::VirtualScreen() {
  return {::GetSystemMetrics(SM_XVIRTUALSCREEN), ::GetSystemMetrics(SM_YVIRTUALSCREEN),
          ::GetSystemMetrics(SM_CXVIRTUALSCREEN), ::GetSystemMetrics(SM_CYVIRTUALSCREEN)};
}

void TWin32Input::SendMouse(const TMouseInput& AInput) {
  INPUT in{};
  in.type = INPUT_MOUSE;
  in.mi.dx = AInput.Dx;
  in.mi.dy = AInput.Dy;
  in.mi.mouseData = DWORD(AInput.MouseData);  // the wheel's signed delta, as SendInput reads it
  in.mi.dwFlags = AInput.Flags;
  Send(in);
  for (const auto& b : Buttons) {
    if (AInput.Flags & b.Down) FButtonsDown |= b.Down;
    if (AInput.Flags & b.Up) FButtonsDown &= ~b.Down;
  }
}

void TWin32Input::SendKey(const TKeyInput& AInput) {
  INPUT in{};
  in.type = INPUT_KEYBOARD;
  in.ki.wVk = AInput.Vk;
  in.ki.wScan = AInput.Scan;
  in.ki.dwFlags = AInput.Flags & (KEYEVENTF_KEYUP | KEYEVENTF_EXTENDEDKEY);
  Send(in);
  if (AInput.Vk < FKeysDown.size()) {
    const bool up = (AInput.Flags & KEYEVENTF_KEYUP) != 0;
    FKeysDown[AInput.Vk] = !up;
    FKeysExtended[AInput.Vk] = !up && (AInput.Flags & KEYEVENTF_EXTENDEDKEY) != 0;
  }
}

std::unique_ptr<IInputInjector> CreateSystemInjector(const std::string&) { return std::make_unique<TWin32Input>(); }

}  // namespace tlm
