#include "viewer/KeyChords.h"

#include "platform/KeyCodes.h"

namespace tlm {

namespace {

std::vector<TKeyStroke> Chord(std::vector<uint16_t> AModifiers, uint16_t AKey) {
  std::vector<TKeyStroke> strokes;
  for (const uint16_t vk : AModifiers) strokes.push_back({vk, false});
  strokes.push_back({AKey, false});
  strokes.push_back({AKey, true});
  for (auto it = AModifiers.rbegin(); it != AModifiers.rend(); ++it) strokes.push_back({*it, true});
  return strokes;
}

}  // namespace

std::vector<TKeyStroke> SpecialKeyStrokes(ESpecialKey AKey) {
  // The left-hand modifiers, as the viewer sends a physical left Ctrl or Alt.
  switch (AKey) {
    case ESpecialKey::CtrlAltDel: return Chord({VK_LCONTROL, VK_LMENU}, VK_DELETE);
    case ESpecialKey::AltTab: return Chord({VK_LMENU}, VK_TAB);
    case ESpecialKey::WindowsKey: return Chord({}, VK_LWIN);
    case ESpecialKey::PrintScreen: return Chord({}, VK_SNAPSHOT);
  }
  return {};
}

}  // namespace tlm
