// Key codes on Windows: the native key of a key event is the virtual key itself, and scan codes
// come from the system's own mapping (MapVirtualKeyW), which follows the keyboard layout.
#include "platform/KeyCodes.h"

#include <algorithm>
#include <iterator>

// After KeyCodes.h: <windows.h> defines the same VK_* names as macros of the same values.
#include <windows.h>

namespace tlm {

namespace {

// The keys a viewer marks as extended, by their Windows values.
constexpr uint16_t ExtendedKeys[] = {VK_PRIOR,  VK_NEXT,   VK_END,     VK_HOME,    VK_LEFT,
                                     VK_UP,     VK_RIGHT,  VK_DOWN,    VK_INSERT,  VK_DELETE,
                                     VK_LWIN,   VK_RWIN,   VK_NUMLOCK, VK_RCONTROL, VK_RMENU};

}  // namespace

std::optional<uint16_t> VirtualKeyFromNativeKey(uint32_t ANativeKey) {
  if (ANativeKey == 0 || ANativeKey > 0xFE) return std::nullopt;
  return uint16_t(ANativeKey);
}

std::optional<uint32_t> NativeKeyFromVirtualKey(uint16_t AVk, bool) {
  if (AVk == 0 || AVk > 0xFE) return std::nullopt;
  return AVk;
}

uint16_t ScanCodeFromVirtualKey(uint16_t AVk) {
  switch (AVk) {
    case VK_HANGUL: return 0xF2;  // the codes the Korean keys send, which no US layout maps
    case VK_HANJA: return 0xF1;
  }
  return uint16_t(::MapVirtualKeyW(AVk, MAPVK_VK_TO_VSC) & 0xFF);
}

bool IsExtendedVirtualKey(uint16_t AVk) {
  return std::find(std::begin(ExtendedKeys), std::end(ExtendedKeys), AVk) != std::end(ExtendedKeys);
}

std::vector<uint16_t> KnownVirtualKeys() {
  std::vector<uint16_t> keys;
  for (uint16_t vk = 1; vk <= 0xFE; ++vk) keys.push_back(vk);
  return keys;
}

}  // namespace tlm
