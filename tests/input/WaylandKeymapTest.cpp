// The keymap the Wayland injector hands to the compositor: every virtual key the host can press
// has a key producing the symbol the key table names, and the modifier state follows the
// modifier keys (held ones while held, locks until pressed again).
#include <gtest/gtest.h>

#include <set>

#include "platform/KeyCodes.h"
#include "platform/wayland/WaylandKeymap.h"

namespace tlm {
namespace {

TEST(WaylandKeymapTest, EveryKnownKeyProducesItsTableSymbol) {
  TVirtualKeymap Keymap;
  std::set<uint32_t> Keys;
  for (uint16_t Vk : KnownVirtualKeys()) {
    for (bool Extended : {false, true}) {
      const auto Native = NativeKeyFromVirtualKey(Vk, Extended);
      const auto Key = Keymap.KeyFor(Vk, Extended);
      ASSERT_EQ(Native.has_value(), Key.has_value()) << "vk " << Vk;
      if (!Key) continue;
      EXPECT_EQ(Keymap.SymbolOf(*Key), *Native) << "vk " << Vk << (Extended ? " extended" : "");
      Keys.insert(*Key);
    }
  }
  // Every keycode fits what an X client (Xwayland) can see.
  ASSERT_FALSE(Keys.empty());
  EXPECT_LE(*Keys.rbegin() + 8, 255u);
  EXPECT_FALSE(Keymap.KeyFor(0xFF, false).has_value());
  EXPECT_NE(Keymap.Text().find("xkb_keymap"), std::string::npos);
}

TEST(WaylandKeymapTest, ModifierStateFollowsTheModifierKeys) {
  TVirtualKeymap Keymap;
  const uint32_t Shift = Keymap.ModifierMask("Shift"), Lock = Keymap.ModifierMask("Lock"),
                 Control = Keymap.ModifierMask("Control"), Alt = Keymap.ModifierMask("Mod1");
  ASSERT_NE(Shift, 0u);
  ASSERT_NE(Lock, 0u);
  struct TStep {
    uint16_t Vk;
    bool Extended, Down;
    uint32_t Depressed, Locked;
  };
  const TStep Steps[] = {
      {VK_SHIFT, false, true, Shift, 0},          {'A', false, true, Shift, 0},
      {'A', false, false, Shift, 0},              {VK_RSHIFT, false, true, Shift, 0},
      {VK_SHIFT, false, false, Shift, 0},         {VK_RSHIFT, false, false, 0, 0},
      {VK_CONTROL, true, true, Control, 0},       {VK_MENU, false, true, Control | Alt, 0},
      {VK_MENU, false, false, Control, 0},        {VK_CONTROL, true, false, 0, 0},
      // A lock is also held while its key is down; the second press unlocks on release.
      {VK_CAPITAL, false, true, Lock, Lock},      {VK_CAPITAL, false, false, 0, Lock},
      {VK_CAPITAL, false, true, Lock, Lock},      {VK_CAPITAL, false, false, 0, 0},
  };
  for (const TStep& S : Steps) {
    SCOPED_TRACE("vk " + std::to_string(S.Vk) + (S.Down ? " down" : " up"));
    TXkbModifiers Mods;
    Keymap.Update(*Keymap.KeyFor(S.Vk, S.Extended), S.Down, Mods);
    EXPECT_EQ(Keymap.Modifiers().Depressed, S.Depressed);
    EXPECT_EQ(Keymap.Modifiers().Locked, S.Locked);
  }
}

}  // namespace
}  // namespace tlm
