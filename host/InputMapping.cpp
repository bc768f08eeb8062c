#include "host/InputMapping.h"

#include <algorithm>

namespace tlm {

namespace {

constexpr uint32_t MoveFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_VIRTUALDESK | MOUSEEVENTF_ABSOLUTE;  // 0xC001

struct TButtonFlags {
  uint32_t Down;
  uint32_t Up;
};

// Button byte 1..3; anything else is no button.
bool ButtonFlags(uint8_t AButton, TButtonFlags& AFlags) {
  switch (AButton) {
    case MouseButtonLeft: AFlags = {MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP}; return true;
    case MouseButtonRight: AFlags = {MOUSEEVENTF_RIGHTDOWN, MOUSEEVENTF_RIGHTUP}; return true;
    case MouseButtonMiddle: AFlags = {MOUSEEVENTF_MIDDLEDOWN, MOUSEEVENTF_MIDDLEUP}; return true;
    default: return false;
  }
}

}  // namespace

std::vector<TMouseInput> MouseInputsFor(const TMouseEventRec& ARec, const TPixelRect& AMonitor,
                                        const TVirtualScreen& AVirt) {
  const int32_t ax = AMonitor.Left + ARec.X;
  const int32_t ay = AMonitor.Top + ARec.Y;
  TMouseInput in;
  if (AVirt.Width > 1 && AVirt.Height > 1) {
    in.Dx = MulDiv(ax - AVirt.Left, 65535, AVirt.Width - 1);
    in.Dy = MulDiv(ay - AVirt.Top, 65535, AVirt.Height - 1);
  }
  in.Flags = MoveFlags;
  TButtonFlags flags{};
  switch (ARec.Action) {
    case MousePress:
      if (ButtonFlags(ARec.Button, flags)) in.Flags |= flags.Down;
      break;
    case MouseRelease:
      if (ButtonFlags(ARec.Button, flags)) in.Flags |= flags.Up;
      break;
    case MouseDoubleClick: {
      // The release carries the absolute position but no move flag (0xC004): the pointer is
      // already there from the press.
      TMouseInput up = in;
      in.Flags |= MOUSEEVENTF_LEFTDOWN;
      up.Flags = MOUSEEVENTF_VIRTUALDESK | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_LEFTUP;
      return {in, up};
    }
    case MouseWheel:
      in.Flags |= MOUSEEVENTF_WHEEL;
      in.MouseData = int32_t(ARec.WheelDelta);  // sign-extended
      break;
    default:
      break;
  }
  return {in};
}

TKeyInput KeyInputFor(const TKeyEventRec& ARec) {
  TKeyInput in;
  in.Vk = ARec.VirtualKey;
  in.Scan = ARec.ScanCode;
  if (ARec.KeyUp == 1) in.Flags |= KEYEVENTF_KEYUP;
  if (ARec.Extended == 1) in.Flags |= KEYEVENTF_EXTENDEDKEY;
  return in;
}

void TPressedInputs::Note(const TMouseInput& AInput) {
  static constexpr TButtonFlags All[] = {{MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP},
                                         {MOUSEEVENTF_RIGHTDOWN, MOUSEEVENTF_RIGHTUP},
                                         {MOUSEEVENTF_MIDDLEDOWN, MOUSEEVENTF_MIDDLEUP}};
  for (const auto& b : All) {
    auto held = std::find(FButtons.begin(), FButtons.end(), b.Up);
    if (AInput.Flags & b.Down) {
      if (held == FButtons.end()) FButtons.push_back(b.Up);
    } else if ((AInput.Flags & b.Up) && held != FButtons.end()) {
      FButtons.erase(held);
    }
  }
}

void TPressedInputs::Note(const TKeyInput& AInput) {
  const std::pair<uint16_t, bool> key{AInput.Vk, (AInput.Flags & KEYEVENTF_EXTENDEDKEY) != 0};
  auto held = std::find_if(FKeys.begin(), FKeys.end(), [&](const auto& k) { return k.first == key; });
  if (AInput.Flags & KEYEVENTF_KEYUP) {
    if (held != FKeys.end()) FKeys.erase(held);
  } else if (held == FKeys.end()) {
    FKeys.push_back({key, AInput.Scan});
  }
}

std::vector<TMouseInput> TPressedInputs::TakeMouseReleases() {
  std::vector<TMouseInput> out;
  for (uint32_t up : FButtons) out.push_back(TMouseInput{0, 0, 0, up});
  FButtons.clear();
  return out;
}

std::vector<TKeyInput> TPressedInputs::TakeKeyReleases() {
  std::vector<TKeyInput> out;
  // Release in reverse press order, so modifiers pressed first are let go last.
  for (auto it = FKeys.rbegin(); it != FKeys.rend(); ++it) {
    TKeyInput in;
    in.Vk = it->first.first;
    in.Scan = it->second;
    in.Flags = KEYEVENTF_KEYUP | (it->first.second ? KEYEVENTF_EXTENDEDKEY : 0);
    out.push_back(in);
  }
  FKeys.clear();
  return out;
}

}  // namespace tlm
