#include <X11/keysym.h>
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "platform/KeyCodes.h"

namespace tlm {
namespace {

// Codes the host accepts whose keysym reads back as a different, one-sided code.
const std::map<std::pair<uint16_t, bool>, uint16_t> ReadsBackAs = {
    {{VK_SHIFT, false}, VK_LSHIFT},     {{VK_SHIFT, true}, VK_LSHIFT},
    {{VK_CONTROL, false}, VK_LCONTROL}, {{VK_CONTROL, true}, VK_RCONTROL},
    {{VK_MENU, false}, VK_LMENU},       {{VK_MENU, true}, VK_RMENU},
    {{VK_OEM_102, false}, VK_OEM_COMMA}, {{VK_OEM_102, true}, VK_OEM_COMMA},
};

TEST(KeyTable, EveryKnownKeyHasAKeysymThatReadsBack) {
  const std::vector<uint16_t> LKeys = KnownVirtualKeys();
  ASSERT_FALSE(LKeys.empty());
  for (uint16_t LVk : LKeys) {
    for (bool LExtended : {false, true}) {
      SCOPED_TRACE(testing::Message() << "vk 0x" << std::hex << LVk << " extended " << LExtended);
      const auto LNative = NativeKeyFromVirtualKey(LVk, LExtended);
      ASSERT_TRUE(LNative.has_value());
      const auto LBack = VirtualKeyFromNativeKey(*LNative);
      ASSERT_TRUE(LBack.has_value());
      const auto LOther = ReadsBackAs.find({LVk, LExtended});
      EXPECT_EQ(*LBack, LOther == ReadsBackAs.end() ? LVk : LOther->second);
    }
  }
}

TEST(KeyTable, CoversTheKeyboard) {
  const std::vector<uint16_t> LKeys = KnownVirtualKeys();
  const std::set<uint16_t> LKnown(LKeys.begin(), LKeys.end());
  EXPECT_EQ(LKnown.size(), LKeys.size()) << "each code listed once";
  std::vector<uint16_t> LExpected = {
      VK_BACK, VK_TAB, VK_RETURN, VK_SHIFT, VK_CONTROL, VK_MENU, VK_PAUSE, VK_CAPITAL,
      VK_HANGUL, VK_HANJA, VK_ESCAPE, VK_SPACE, VK_PRIOR, VK_NEXT, VK_END, VK_HOME, VK_LEFT,
      VK_UP, VK_RIGHT, VK_DOWN, VK_SNAPSHOT, VK_INSERT, VK_DELETE, VK_LWIN, VK_RWIN, VK_APPS,
      VK_MULTIPLY, VK_ADD, VK_SUBTRACT, VK_DECIMAL, VK_DIVIDE, VK_NUMLOCK, VK_SCROLL,
      VK_LSHIFT, VK_RSHIFT, VK_LCONTROL, VK_RCONTROL, VK_LMENU, VK_RMENU, VK_OEM_1,
      VK_OEM_PLUS, VK_OEM_COMMA, VK_OEM_MINUS, VK_OEM_PERIOD, VK_OEM_2, VK_OEM_3, VK_OEM_4,
      VK_OEM_5, VK_OEM_6, VK_OEM_7};
  for (uint16_t i = 0; i < 10; ++i) LExpected.push_back('0' + i);
  for (uint16_t i = 0; i < 26; ++i) LExpected.push_back('A' + i);
  for (uint16_t i = 0; i < 10; ++i) LExpected.push_back(VK_NUMPAD0 + i);
  for (uint16_t i = 0; i < 24; ++i) LExpected.push_back(VK_F1 + i);
  for (uint16_t LVk : LExpected) EXPECT_TRUE(LKnown.count(LVk)) << "missing vk 0x" << std::hex << LVk;
}

struct TVariantCase {
  uint16_t Vk;
  bool Extended;
  uint32_t Keysym;
};

TEST(KeyTable, ExtendedFlagPicksTheVariant) {
  const TVariantCase LCases[] = {
      {VK_RETURN, false, XK_Return},    {VK_RETURN, true, XK_KP_Enter},
      {VK_CONTROL, false, XK_Control_L}, {VK_CONTROL, true, XK_Control_R},
      {VK_MENU, false, XK_Alt_L},       {VK_MENU, true, XK_Alt_R},
      {VK_SHIFT, true, XK_Shift_L},     {VK_RSHIFT, false, XK_Shift_R},
      {VK_RCONTROL, false, XK_Control_R}, {VK_RMENU, false, XK_Alt_R},
      {VK_HOME, true, XK_Home},         {VK_HOME, false, XK_KP_Home},
      {VK_LEFT, true, XK_Left},         {VK_LEFT, false, XK_KP_Left},
      {VK_PRIOR, true, XK_Prior},       {VK_NEXT, false, XK_KP_Next},
      {VK_INSERT, true, XK_Insert},     {VK_DELETE, false, XK_KP_Delete},
      {VK_DELETE, true, XK_Delete},     {VK_CLEAR, false, XK_KP_Begin},
      {VK_DIVIDE, true, XK_KP_Divide},  {VK_DIVIDE, false, XK_KP_Divide},
      {VK_NUMLOCK, true, XK_Num_Lock},  {VK_LWIN, true, XK_Super_L},
      {VK_APPS, false, XK_Menu},        {VK_SNAPSHOT, false, XK_Print},
      {'A', false, XK_a},               {'7', false, XK_7},
      {VK_NUMPAD0 + 7, false, XK_KP_7}, {VK_F1 + 23, false, XK_F24},
      {VK_OEM_5, false, XK_backslash},  {VK_OEM_7, false, XK_apostrophe},
      {VK_HANGUL, false, XK_Hangul},    {VK_HANJA, false, XK_Hangul_Hanja},
  };
  for (const TVariantCase& LCase : LCases) {
    SCOPED_TRACE(testing::Message() << "vk 0x" << std::hex << LCase.Vk << " extended " << LCase.Extended);
    const auto LNative = NativeKeyFromVirtualKey(LCase.Vk, LCase.Extended);
    ASSERT_TRUE(LNative.has_value());
    EXPECT_EQ(*LNative, LCase.Keysym);
  }
  EXPECT_FALSE(NativeKeyFromVirtualKey(0, false).has_value());
  EXPECT_FALSE(NativeKeyFromVirtualKey(0xFF, true).has_value());
}

TEST(KeyTable, ViewerReadsUsLayoutSymbolsAsTheirKey) {
  const std::pair<uint32_t, uint16_t> LCases[] = {
      {XK_a, 'A'},           {XK_A, 'A'},               {XK_z, 'Z'},
      {XK_exclam, '1'},      {XK_parenright, '0'},      {XK_at, '2'},
      {XK_colon, VK_OEM_1},  {XK_plus, VK_OEM_PLUS},    {XK_less, VK_OEM_COMMA},
      {XK_underscore, VK_OEM_MINUS}, {XK_question, VK_OEM_2}, {XK_asciitilde, VK_OEM_3},
      {XK_braceleft, VK_OEM_4}, {XK_bar, VK_OEM_5},     {XK_quotedbl, VK_OEM_7},
      {XK_ISO_Left_Tab, VK_TAB}, {XK_KP_Enter, VK_RETURN}, {XK_KP_Home, VK_HOME},
      {XK_Shift_R, VK_RSHIFT}, {XK_Control_R, VK_RCONTROL}, {XK_ISO_Level3_Shift, VK_RMENU},
      {XK_Super_R, VK_RWIN}, {XK_Num_Lock, VK_NUMLOCK},  {XK_KP_Decimal, VK_DECIMAL},
      {XK_F13, VK_F1 + 12},  {XK_Hangul, VK_HANGUL},    {XK_Hangul_Hanja, VK_HANJA},
      {XK_Break, VK_CANCEL}, {XK_Sys_Req, VK_SNAPSHOT},
  };
  for (const auto& [LKeysym, LVk] : LCases) {
    SCOPED_TRACE(testing::Message() << "keysym 0x" << std::hex << LKeysym);
    const auto LGot = VirtualKeyFromNativeKey(LKeysym);
    ASSERT_TRUE(LGot.has_value());
    EXPECT_EQ(*LGot, LVk);
  }
  for (uint32_t LUnknown : {0u, 0xFFFFFFu, static_cast<uint32_t>(XK_Greek_alpha), static_cast<uint32_t>(XK_VoidSymbol)})
    EXPECT_FALSE(VirtualKeyFromNativeKey(LUnknown).has_value()) << std::hex << LUnknown;
}

// What a remote user types must arrive as the same key on the host: the viewer reads the
// keysym as a code and marks it extended by the set, the host turns both back into a keysym.
TEST(KeyTable, KeyTypedOnTheViewerArrivesAsTheSameKeyOnTheHost) {
  const uint32_t LSame[] = {XK_a, XK_m, XK_0, XK_9, XK_F1, XK_F12, XK_F24, XK_Escape,
                            XK_Tab, XK_BackSpace, XK_Return, XK_space, XK_Home, XK_End,
                            XK_Prior, XK_Next, XK_Left, XK_Up, XK_Right, XK_Down, XK_Insert,
                            XK_Delete, XK_Shift_L, XK_Shift_R, XK_Control_L, XK_Control_R,
                            XK_Alt_L, XK_Alt_R, XK_Super_L, XK_Super_R, XK_Menu, XK_Caps_Lock,
                            XK_Num_Lock, XK_Scroll_Lock, XK_Pause, XK_Print, XK_KP_0, XK_KP_9,
                            XK_KP_Add, XK_KP_Divide, XK_KP_Decimal, XK_semicolon, XK_slash,
                            XK_grave, XK_bracketleft, XK_Hangul, XK_Hangul_Hanja};
  for (uint32_t LKeysym : LSame) {
    SCOPED_TRACE(testing::Message() << "keysym 0x" << std::hex << LKeysym);
    const auto LVk = VirtualKeyFromNativeKey(LKeysym);
    ASSERT_TRUE(LVk.has_value());
    EXPECT_EQ(NativeKeyFromVirtualKey(*LVk, IsExtendedVirtualKey(*LVk)), LKeysym);
  }
  // Keys Windows itself folds together: the keypad's Enter and its navigation keys.
  EXPECT_EQ(NativeKeyFromVirtualKey(*VirtualKeyFromNativeKey(XK_KP_Enter), false), XK_Return);
  EXPECT_EQ(NativeKeyFromVirtualKey(*VirtualKeyFromNativeKey(XK_KP_Home), true), XK_Home);
}

TEST(KeyTable, ExtendedSetIsExactlyTheFifteenCodes) {
  const std::set<uint16_t> LExpected = {0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28,
                                        0x2D, 0x2E, 0x5B, 0x5C, 0x90, 0xA3, 0xA5};
  std::set<uint16_t> LGot;
  for (uint32_t LVk = 0; LVk <= 0xFFFF; ++LVk)
    if (IsExtendedVirtualKey(static_cast<uint16_t>(LVk))) LGot.insert(static_cast<uint16_t>(LVk));
  EXPECT_EQ(LGot, LExpected);
}

TEST(KeyTable, ScanCodesOfAUsKeyboard) {
  const std::pair<uint16_t, uint16_t> LCases[] = {
      {'A', 0x1E},          {'Z', 0x2C},          {'1', 0x02},          {'0', 0x0B},
      {VK_DELETE, 0x53},    {VK_LEFT, 0x4B},      {VK_HOME, 0x47},      {VK_RCONTROL, 0x1D},
      {VK_LCONTROL, 0x1D},  {VK_RSHIFT, 0x36},    {VK_LSHIFT, 0x2A},    {VK_RMENU, 0x38},
      {VK_RETURN, 0x1C},    {VK_ESCAPE, 0x01},    {VK_SPACE, 0x39},     {VK_F1, 0x3B},
      {VK_F1 + 10, 0x57},   {VK_F1 + 11, 0x58},   {VK_F24, 0x76},       {VK_NUMLOCK, 0x45},
      {VK_DIVIDE, 0x35},    {VK_NUMPAD0 + 5, 0x4C}, {VK_OEM_3, 0x29},   {VK_OEM_7, 0x28},
      {VK_LWIN, 0x5B},      {VK_HANGUL, 0xF2},    {VK_HANJA, 0xF1},
      {0, 0},               {0xFF, 0},            {VK_SEPARATOR, 0},
  };
  for (const auto& [LVk, LScan] : LCases)
    EXPECT_EQ(ScanCodeFromVirtualKey(LVk), LScan) << "vk 0x" << std::hex << LVk;
}

TEST(KeyTable, EveryKnownKeyHasAScanCodeExceptThoseAUsKeyboardLacks) {
  const std::set<uint16_t> LWithout = {VK_SELECT, VK_EXECUTE, VK_HELP, VK_SEPARATOR};
  for (uint16_t LVk : KnownVirtualKeys())
    EXPECT_EQ(ScanCodeFromVirtualKey(LVk) != 0, LWithout.count(LVk) == 0) << "vk 0x" << std::hex << LVk;
}

}  // namespace
}  // namespace tlm
