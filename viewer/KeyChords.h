// Key combinations the local desktop keeps for itself (Ctrl+Alt+Del, Alt+Tab, the Windows key,
// Print Screen): the viewer's menu sends them to the partner as the key strokes a keyboard
// there would make. Pure tables; any thread.
#pragma once

#include <cstdint>
#include <vector>

namespace tlm {

enum class ESpecialKey { CtrlAltDel, AltTab, WindowsKey, PrintScreen };

struct TKeyStroke {
  uint16_t VirtualKey = 0;
  bool KeyUp = false;
  bool operator==(const TKeyStroke&) const = default;
};

// Modifiers down first, the key down and up, modifiers up in reverse order: every key pressed
// is released again, so nothing stays held on the partner's side.
std::vector<TKeyStroke> SpecialKeyStrokes(ESpecialKey AKey);

}  // namespace tlm
