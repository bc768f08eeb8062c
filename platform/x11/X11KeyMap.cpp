// The key table: Windows virtual keys against X keysyms, read in both directions.
#include <X11/XF86keysym.h>
#include <X11/keysym.h>

#include <algorithm>
#include <array>

#include "platform/KeyCodes.h"

namespace tlm {
namespace {

// Which extended flag a row answers to when a virtual key is turned into a keysym.
enum class TSide : uint8_t { Any, Plain, Extended };

// Which direction may use a row. Rows used both ways make the round trip; host-only rows
// cover generic codes (VK_SHIFT) whose keysym reads back as the left- or right-hand one (VK_LSHIFT);
// viewer-only rows cover keysyms a layout produces with modifiers ('!' is the '1' key).
enum class TUse : uint8_t { Both, ToNative, FromNative };

struct TKeyRow {
  uint16_t Vk;
  TSide Side;
  uint32_t Keysym;
  TUse Use;
};

constexpr uint16_t VkDigit(char AChar) { return static_cast<uint16_t>(AChar); }

// Letters, digits, keypad digits and F keys follow in ranges (see BuildTable).
constexpr TKeyRow FixedRows[] = {
    {VK_CANCEL, TSide::Any, XK_Break, TUse::Both},
    {VK_BACK, TSide::Any, XK_BackSpace, TUse::Both},
    {VK_TAB, TSide::Any, XK_Tab, TUse::Both},
    {VK_TAB, TSide::Any, XK_ISO_Left_Tab, TUse::FromNative},  // Shift+Tab
    {VK_CLEAR, TSide::Any, XK_KP_Begin, TUse::Both},           // keypad 5 without num lock
    {VK_CLEAR, TSide::Any, XK_Clear, TUse::FromNative},
    {VK_RETURN, TSide::Plain, XK_Return, TUse::Both},
    {VK_RETURN, TSide::Extended, XK_KP_Enter, TUse::Both},
    {VK_SHIFT, TSide::Any, XK_Shift_L, TUse::ToNative},
    {VK_CONTROL, TSide::Plain, XK_Control_L, TUse::ToNative},
    {VK_CONTROL, TSide::Extended, XK_Control_R, TUse::ToNative},
    {VK_MENU, TSide::Plain, XK_Alt_L, TUse::ToNative},
    {VK_MENU, TSide::Extended, XK_Alt_R, TUse::ToNative},
    {VK_PAUSE, TSide::Any, XK_Pause, TUse::Both},
    {VK_CAPITAL, TSide::Any, XK_Caps_Lock, TUse::Both},
    {VK_HANGUL, TSide::Any, XK_Hangul, TUse::Both},
    {VK_HANJA, TSide::Any, XK_Hangul_Hanja, TUse::Both},
    {VK_ESCAPE, TSide::Any, XK_Escape, TUse::Both},
    {VK_SPACE, TSide::Any, XK_space, TUse::Both},
    // The gray block is the extended variant; without the flag Windows means the keypad key
    // with num lock off.
    {VK_PRIOR, TSide::Extended, XK_Prior, TUse::Both},
    {VK_PRIOR, TSide::Plain, XK_KP_Prior, TUse::Both},
    {VK_NEXT, TSide::Extended, XK_Next, TUse::Both},
    {VK_NEXT, TSide::Plain, XK_KP_Next, TUse::Both},
    {VK_END, TSide::Extended, XK_End, TUse::Both},
    {VK_END, TSide::Plain, XK_KP_End, TUse::Both},
    {VK_HOME, TSide::Extended, XK_Home, TUse::Both},
    {VK_HOME, TSide::Plain, XK_KP_Home, TUse::Both},
    {VK_LEFT, TSide::Extended, XK_Left, TUse::Both},
    {VK_LEFT, TSide::Plain, XK_KP_Left, TUse::Both},
    {VK_UP, TSide::Extended, XK_Up, TUse::Both},
    {VK_UP, TSide::Plain, XK_KP_Up, TUse::Both},
    {VK_RIGHT, TSide::Extended, XK_Right, TUse::Both},
    {VK_RIGHT, TSide::Plain, XK_KP_Right, TUse::Both},
    {VK_DOWN, TSide::Extended, XK_Down, TUse::Both},
    {VK_DOWN, TSide::Plain, XK_KP_Down, TUse::Both},
    {VK_INSERT, TSide::Extended, XK_Insert, TUse::Both},
    {VK_INSERT, TSide::Plain, XK_KP_Insert, TUse::Both},
    {VK_DELETE, TSide::Extended, XK_Delete, TUse::Both},
    {VK_DELETE, TSide::Plain, XK_KP_Delete, TUse::Both},
    {VK_SELECT, TSide::Any, XK_Select, TUse::Both},
    {VK_EXECUTE, TSide::Any, XK_Execute, TUse::Both},
    {VK_SNAPSHOT, TSide::Any, XK_Print, TUse::Both},
    {VK_SNAPSHOT, TSide::Any, XK_Sys_Req, TUse::FromNative},  // Alt+Print
    {VK_HELP, TSide::Any, XK_Help, TUse::Both},
    {VK_LWIN, TSide::Any, XK_Super_L, TUse::Both},
    {VK_RWIN, TSide::Any, XK_Super_R, TUse::Both},
    {VK_APPS, TSide::Any, XK_Menu, TUse::Both},
    {VK_MULTIPLY, TSide::Any, XK_KP_Multiply, TUse::Both},
    {VK_ADD, TSide::Any, XK_KP_Add, TUse::Both},
    {VK_SEPARATOR, TSide::Any, XK_KP_Separator, TUse::Both},
    {VK_SUBTRACT, TSide::Any, XK_KP_Subtract, TUse::Both},
    {VK_DECIMAL, TSide::Any, XK_KP_Decimal, TUse::Both},
    {VK_DIVIDE, TSide::Any, XK_KP_Divide, TUse::Both},
    {VK_NUMLOCK, TSide::Any, XK_Num_Lock, TUse::Both},
    {VK_SCROLL, TSide::Any, XK_Scroll_Lock, TUse::Both},
    {VK_LSHIFT, TSide::Any, XK_Shift_L, TUse::Both},
    {VK_RSHIFT, TSide::Any, XK_Shift_R, TUse::Both},
    {VK_LCONTROL, TSide::Any, XK_Control_L, TUse::Both},
    {VK_RCONTROL, TSide::Any, XK_Control_R, TUse::Both},
    {VK_LMENU, TSide::Any, XK_Alt_L, TUse::Both},
    {VK_LMENU, TSide::Any, XK_Meta_L, TUse::FromNative},           // Shift+Alt
    {VK_RMENU, TSide::Any, XK_Alt_R, TUse::Both},
    {VK_RMENU, TSide::Any, XK_Meta_R, TUse::FromNative},
    {VK_RMENU, TSide::Any, XK_ISO_Level3_Shift, TUse::FromNative},  // AltGr
    {VK_BROWSER_BACK, TSide::Any, XF86XK_Back, TUse::Both},
    {VK_BROWSER_FORWARD, TSide::Any, XF86XK_Forward, TUse::Both},
    {VK_BROWSER_REFRESH, TSide::Any, XF86XK_Refresh, TUse::Both},
    {VK_BROWSER_STOP, TSide::Any, XF86XK_Stop, TUse::Both},
    {VK_BROWSER_SEARCH, TSide::Any, XF86XK_Search, TUse::Both},
    {VK_BROWSER_FAVORITES, TSide::Any, XF86XK_Favorites, TUse::Both},
    {VK_BROWSER_HOME, TSide::Any, XF86XK_HomePage, TUse::Both},
    {VK_VOLUME_MUTE, TSide::Any, XF86XK_AudioMute, TUse::Both},
    {VK_VOLUME_DOWN, TSide::Any, XF86XK_AudioLowerVolume, TUse::Both},
    {VK_VOLUME_UP, TSide::Any, XF86XK_AudioRaiseVolume, TUse::Both},
    {VK_MEDIA_NEXT_TRACK, TSide::Any, XF86XK_AudioNext, TUse::Both},
    {VK_MEDIA_PREV_TRACK, TSide::Any, XF86XK_AudioPrev, TUse::Both},
    {VK_MEDIA_STOP, TSide::Any, XF86XK_AudioStop, TUse::Both},
    {VK_MEDIA_PLAY_PAUSE, TSide::Any, XF86XK_AudioPlay, TUse::Both},
    // Punctuation of the US layout: the plain symbol both ways, the shifted one to read back.
    {VK_OEM_1, TSide::Any, XK_semicolon, TUse::Both},
    {VK_OEM_1, TSide::Any, XK_colon, TUse::FromNative},
    {VK_OEM_PLUS, TSide::Any, XK_equal, TUse::Both},
    {VK_OEM_PLUS, TSide::Any, XK_plus, TUse::FromNative},
    {VK_OEM_COMMA, TSide::Any, XK_comma, TUse::Both},
    {VK_OEM_COMMA, TSide::Any, XK_less, TUse::FromNative},
    {VK_OEM_MINUS, TSide::Any, XK_minus, TUse::Both},
    {VK_OEM_MINUS, TSide::Any, XK_underscore, TUse::FromNative},
    {VK_OEM_PERIOD, TSide::Any, XK_period, TUse::Both},
    {VK_OEM_PERIOD, TSide::Any, XK_greater, TUse::FromNative},
    {VK_OEM_2, TSide::Any, XK_slash, TUse::Both},
    {VK_OEM_2, TSide::Any, XK_question, TUse::FromNative},
    {VK_OEM_3, TSide::Any, XK_grave, TUse::Both},
    {VK_OEM_3, TSide::Any, XK_asciitilde, TUse::FromNative},
    {VK_OEM_4, TSide::Any, XK_bracketleft, TUse::Both},
    {VK_OEM_4, TSide::Any, XK_braceleft, TUse::FromNative},
    {VK_OEM_5, TSide::Any, XK_backslash, TUse::Both},
    {VK_OEM_5, TSide::Any, XK_bar, TUse::FromNative},
    {VK_OEM_6, TSide::Any, XK_bracketright, TUse::Both},
    {VK_OEM_6, TSide::Any, XK_braceright, TUse::FromNative},
    {VK_OEM_7, TSide::Any, XK_apostrophe, TUse::Both},
    {VK_OEM_7, TSide::Any, XK_quotedbl, TUse::FromNative},
    // The ISO key left of Z is '<>' on a US layout; '<' reads back as the comma key above.
    {VK_OEM_102, TSide::Any, XK_less, TUse::ToNative},
    // Shifted digits of the US layout.
    {VkDigit('1'), TSide::Any, XK_exclam, TUse::FromNative},
    {VkDigit('2'), TSide::Any, XK_at, TUse::FromNative},
    {VkDigit('3'), TSide::Any, XK_numbersign, TUse::FromNative},
    {VkDigit('4'), TSide::Any, XK_dollar, TUse::FromNative},
    {VkDigit('5'), TSide::Any, XK_percent, TUse::FromNative},
    {VkDigit('6'), TSide::Any, XK_asciicircum, TUse::FromNative},
    {VkDigit('7'), TSide::Any, XK_ampersand, TUse::FromNative},
    {VkDigit('8'), TSide::Any, XK_asterisk, TUse::FromNative},
    {VkDigit('9'), TSide::Any, XK_parenleft, TUse::FromNative},
    {VkDigit('0'), TSide::Any, XK_parenright, TUse::FromNative},
};

constexpr size_t RangeRowCount = 10 + 26 + 26 + 10 + 24;  // digits, a-z, A-Z, keypad, F1-F24

constexpr auto BuildTable() {
  std::array<TKeyRow, std::size(FixedRows) + RangeRowCount> LRows{};
  size_t LAt = 0;
  for (const TKeyRow& LRow : FixedRows) LRows[LAt++] = LRow;
  for (uint32_t i = 0; i < 10; ++i)
    LRows[LAt++] = {static_cast<uint16_t>('0' + i), TSide::Any, XK_0 + i, TUse::Both};
  for (uint32_t i = 0; i < 26; ++i)
    LRows[LAt++] = {static_cast<uint16_t>('A' + i), TSide::Any, XK_a + i, TUse::Both};
  for (uint32_t i = 0; i < 26; ++i)  // capitals (Shift or caps lock) read back as the letter key
    LRows[LAt++] = {static_cast<uint16_t>('A' + i), TSide::Any, XK_A + i, TUse::FromNative};
  for (uint32_t i = 0; i < 10; ++i)
    LRows[LAt++] = {static_cast<uint16_t>(VK_NUMPAD0 + i), TSide::Any, XK_KP_0 + i, TUse::Both};
  for (uint32_t i = 0; i < 24; ++i)
    LRows[LAt++] = {static_cast<uint16_t>(VK_F1 + i), TSide::Any, XK_F1 + i, TUse::Both};
  return LRows;
}

constexpr auto KeyTable = BuildTable();

// Set-1 scan codes of a US keyboard by virtual key (prefix bytes dropped).
struct TScanRow {
  uint16_t Vk;
  uint16_t Scan;
};

constexpr TScanRow ScanRows[] = {
    {VK_CANCEL, 0x46}, {VK_BACK, 0x0E}, {VK_TAB, 0x0F}, {VK_CLEAR, 0x4C}, {VK_RETURN, 0x1C},
    {VK_SHIFT, 0x2A}, {VK_CONTROL, 0x1D}, {VK_MENU, 0x38}, {VK_PAUSE, 0x45}, {VK_CAPITAL, 0x3A},
    {VK_HANGUL, 0xF2}, {VK_HANJA, 0xF1}, {VK_ESCAPE, 0x01}, {VK_SPACE, 0x39},
    {VK_PRIOR, 0x49}, {VK_NEXT, 0x51}, {VK_END, 0x4F}, {VK_HOME, 0x47},
    {VK_LEFT, 0x4B}, {VK_UP, 0x48}, {VK_RIGHT, 0x4D}, {VK_DOWN, 0x50},
    {VK_SNAPSHOT, 0x54}, {VK_INSERT, 0x52}, {VK_DELETE, 0x53},
    {'0', 0x0B}, {'1', 0x02}, {'2', 0x03}, {'3', 0x04}, {'4', 0x05},
    {'5', 0x06}, {'6', 0x07}, {'7', 0x08}, {'8', 0x09}, {'9', 0x0A},
    {'A', 0x1E}, {'B', 0x30}, {'C', 0x2E}, {'D', 0x20}, {'E', 0x12}, {'F', 0x21}, {'G', 0x22},
    {'H', 0x23}, {'I', 0x17}, {'J', 0x24}, {'K', 0x25}, {'L', 0x26}, {'M', 0x32}, {'N', 0x31},
    {'O', 0x18}, {'P', 0x19}, {'Q', 0x10}, {'R', 0x13}, {'S', 0x1F}, {'T', 0x14}, {'U', 0x16},
    {'V', 0x2F}, {'W', 0x11}, {'X', 0x2D}, {'Y', 0x15}, {'Z', 0x2C},
    {VK_LWIN, 0x5B}, {VK_RWIN, 0x5C}, {VK_APPS, 0x5D},
    {VK_NUMPAD0, 0x52}, {VK_NUMPAD0 + 1, 0x4F}, {VK_NUMPAD0 + 2, 0x50}, {VK_NUMPAD0 + 3, 0x51},
    {VK_NUMPAD0 + 4, 0x4B}, {VK_NUMPAD0 + 5, 0x4C}, {VK_NUMPAD0 + 6, 0x4D},
    {VK_NUMPAD0 + 7, 0x47}, {VK_NUMPAD0 + 8, 0x48}, {VK_NUMPAD0 + 9, 0x49},
    {VK_MULTIPLY, 0x37}, {VK_ADD, 0x4E}, {VK_SUBTRACT, 0x4A}, {VK_DECIMAL, 0x53},
    {VK_DIVIDE, 0x35},
    {VK_F1, 0x3B}, {VK_F1 + 1, 0x3C}, {VK_F1 + 2, 0x3D}, {VK_F1 + 3, 0x3E}, {VK_F1 + 4, 0x3F},
    {VK_F1 + 5, 0x40}, {VK_F1 + 6, 0x41}, {VK_F1 + 7, 0x42}, {VK_F1 + 8, 0x43},
    {VK_F1 + 9, 0x44}, {VK_F1 + 10, 0x57}, {VK_F1 + 11, 0x58},
    {VK_F1 + 12, 0x64}, {VK_F1 + 13, 0x65}, {VK_F1 + 14, 0x66}, {VK_F1 + 15, 0x67},
    {VK_F1 + 16, 0x68}, {VK_F1 + 17, 0x69}, {VK_F1 + 18, 0x6A}, {VK_F1 + 19, 0x6B},
    {VK_F1 + 20, 0x6C}, {VK_F1 + 21, 0x6D}, {VK_F1 + 22, 0x6E}, {VK_F1 + 23, 0x76},
    {VK_NUMLOCK, 0x45}, {VK_SCROLL, 0x46},
    {VK_LSHIFT, 0x2A}, {VK_RSHIFT, 0x36}, {VK_LCONTROL, 0x1D}, {VK_RCONTROL, 0x1D},
    {VK_LMENU, 0x38}, {VK_RMENU, 0x38},
    {VK_BROWSER_BACK, 0x6A}, {VK_BROWSER_FORWARD, 0x69}, {VK_BROWSER_REFRESH, 0x67},
    {VK_BROWSER_STOP, 0x68}, {VK_BROWSER_SEARCH, 0x65}, {VK_BROWSER_FAVORITES, 0x66},
    {VK_BROWSER_HOME, 0x32}, {VK_VOLUME_MUTE, 0x20}, {VK_VOLUME_DOWN, 0x2E},
    {VK_VOLUME_UP, 0x30}, {VK_MEDIA_NEXT_TRACK, 0x19}, {VK_MEDIA_PREV_TRACK, 0x10},
    {VK_MEDIA_STOP, 0x24}, {VK_MEDIA_PLAY_PAUSE, 0x22},
    {VK_OEM_1, 0x27}, {VK_OEM_PLUS, 0x0D}, {VK_OEM_COMMA, 0x33}, {VK_OEM_MINUS, 0x0C},
    {VK_OEM_PERIOD, 0x34}, {VK_OEM_2, 0x35}, {VK_OEM_3, 0x29}, {VK_OEM_4, 0x1A},
    {VK_OEM_5, 0x2B}, {VK_OEM_6, 0x1B}, {VK_OEM_7, 0x28}, {VK_OEM_102, 0x56},
};

constexpr uint16_t ExtendedKeys[] = {VK_PRIOR,  VK_NEXT,   VK_END,     VK_HOME,    VK_LEFT,
                                     VK_UP,     VK_RIGHT,  VK_DOWN,    VK_INSERT,  VK_DELETE,
                                     VK_LWIN,   VK_RWIN,   VK_NUMLOCK, VK_RCONTROL, VK_RMENU};

bool SideMatches(TSide ASide, bool AExtended) {
  return ASide == TSide::Any || (ASide == TSide::Extended) == AExtended;
}

}  // namespace

std::optional<uint16_t> VirtualKeyFromNativeKey(uint32_t ANativeKey) {
  for (const TKeyRow& LRow : KeyTable)
    if (LRow.Keysym == ANativeKey && LRow.Use != TUse::ToNative) return LRow.Vk;
  return std::nullopt;
}

std::optional<uint32_t> NativeKeyFromVirtualKey(uint16_t AVk, bool AExtended) {
  for (const TKeyRow& LRow : KeyTable)
    if (LRow.Vk == AVk && LRow.Use != TUse::FromNative && SideMatches(LRow.Side, AExtended))
      return LRow.Keysym;
  return std::nullopt;
}

uint16_t ScanCodeFromVirtualKey(uint16_t AVk) {
  for (const TScanRow& LRow : ScanRows)
    if (LRow.Vk == AVk) return LRow.Scan;
  return 0;
}

bool IsExtendedVirtualKey(uint16_t AVk) {
  return std::find(std::begin(ExtendedKeys), std::end(ExtendedKeys), AVk) != std::end(ExtendedKeys);
}

std::vector<uint16_t> KnownVirtualKeys() {
  std::vector<uint16_t> LKeys;
  for (const TKeyRow& LRow : KeyTable)
    if (LRow.Use != TUse::FromNative && std::find(LKeys.begin(), LKeys.end(), LRow.Vk) == LKeys.end())
      LKeys.push_back(LRow.Vk);
  return LKeys;
}

}  // namespace tlm
