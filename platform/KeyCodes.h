// Windows virtual-key codes, their set-1 scan codes and their translation to and from the
// desktop's native key symbols (X keysyms on X11; plain integers here so no window-system
// type leaks out).
//
// One key table serves both directions: the host turns a received virtual key (plus its
// extended flag) into a native key to press; the viewer turns the native key of a local key
// event (QKeyEvent::nativeVirtualKey() on X11) into the virtual key it sends. All functions
// are pure lookups in constant tables and may be called from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace tlm {

// Virtual-key codes (Windows values).
constexpr uint16_t VK_CANCEL = 0x03;
constexpr uint16_t VK_BACK = 0x08;
constexpr uint16_t VK_TAB = 0x09;
constexpr uint16_t VK_CLEAR = 0x0C;
constexpr uint16_t VK_RETURN = 0x0D;
constexpr uint16_t VK_SHIFT = 0x10;
constexpr uint16_t VK_CONTROL = 0x11;
constexpr uint16_t VK_MENU = 0x12;
constexpr uint16_t VK_PAUSE = 0x13;
constexpr uint16_t VK_CAPITAL = 0x14;
constexpr uint16_t VK_HANGUL = 0x15;
constexpr uint16_t VK_HANJA = 0x19;
constexpr uint16_t VK_ESCAPE = 0x1B;
constexpr uint16_t VK_SPACE = 0x20;
constexpr uint16_t VK_PRIOR = 0x21;
constexpr uint16_t VK_NEXT = 0x22;
constexpr uint16_t VK_END = 0x23;
constexpr uint16_t VK_HOME = 0x24;
constexpr uint16_t VK_LEFT = 0x25;
constexpr uint16_t VK_UP = 0x26;
constexpr uint16_t VK_RIGHT = 0x27;
constexpr uint16_t VK_DOWN = 0x28;
constexpr uint16_t VK_SELECT = 0x29;
constexpr uint16_t VK_EXECUTE = 0x2B;
constexpr uint16_t VK_SNAPSHOT = 0x2C;
constexpr uint16_t VK_INSERT = 0x2D;
constexpr uint16_t VK_DELETE = 0x2E;
constexpr uint16_t VK_HELP = 0x2F;
// '0'..'9' are 0x30..0x39 and 'A'..'Z' are 0x41..0x5A.
constexpr uint16_t VK_LWIN = 0x5B;
constexpr uint16_t VK_RWIN = 0x5C;
constexpr uint16_t VK_APPS = 0x5D;
constexpr uint16_t VK_NUMPAD0 = 0x60;  // ..VK_NUMPAD9 = 0x69
constexpr uint16_t VK_MULTIPLY = 0x6A;
constexpr uint16_t VK_ADD = 0x6B;
constexpr uint16_t VK_SEPARATOR = 0x6C;
constexpr uint16_t VK_SUBTRACT = 0x6D;
constexpr uint16_t VK_DECIMAL = 0x6E;
constexpr uint16_t VK_DIVIDE = 0x6F;
constexpr uint16_t VK_F1 = 0x70;  // ..VK_F24 = 0x87
constexpr uint16_t VK_F24 = 0x87;
constexpr uint16_t VK_NUMLOCK = 0x90;
constexpr uint16_t VK_SCROLL = 0x91;
constexpr uint16_t VK_LSHIFT = 0xA0;
constexpr uint16_t VK_RSHIFT = 0xA1;
constexpr uint16_t VK_LCONTROL = 0xA2;
constexpr uint16_t VK_RCONTROL = 0xA3;
constexpr uint16_t VK_LMENU = 0xA4;
constexpr uint16_t VK_RMENU = 0xA5;
constexpr uint16_t VK_BROWSER_BACK = 0xA6;
constexpr uint16_t VK_BROWSER_FORWARD = 0xA7;
constexpr uint16_t VK_BROWSER_REFRESH = 0xA8;
constexpr uint16_t VK_BROWSER_STOP = 0xA9;
constexpr uint16_t VK_BROWSER_SEARCH = 0xAA;
constexpr uint16_t VK_BROWSER_FAVORITES = 0xAB;
constexpr uint16_t VK_BROWSER_HOME = 0xAC;
constexpr uint16_t VK_VOLUME_MUTE = 0xAD;
constexpr uint16_t VK_VOLUME_DOWN = 0xAE;
constexpr uint16_t VK_VOLUME_UP = 0xAF;
constexpr uint16_t VK_MEDIA_NEXT_TRACK = 0xB0;
constexpr uint16_t VK_MEDIA_PREV_TRACK = 0xB1;
constexpr uint16_t VK_MEDIA_STOP = 0xB2;
constexpr uint16_t VK_MEDIA_PLAY_PAUSE = 0xB3;
constexpr uint16_t VK_OEM_1 = 0xBA;       // ';:' on a US keyboard
constexpr uint16_t VK_OEM_PLUS = 0xBB;    // '=+'
constexpr uint16_t VK_OEM_COMMA = 0xBC;   // ',<'
constexpr uint16_t VK_OEM_MINUS = 0xBD;   // '-_'
constexpr uint16_t VK_OEM_PERIOD = 0xBE;  // '.>'
constexpr uint16_t VK_OEM_2 = 0xBF;       // '/?'
constexpr uint16_t VK_OEM_3 = 0xC0;       // '`~'
constexpr uint16_t VK_OEM_4 = 0xDB;       // '[{'
constexpr uint16_t VK_OEM_5 = 0xDC;       // '\|'
constexpr uint16_t VK_OEM_6 = 0xDD;       // ']}'
constexpr uint16_t VK_OEM_7 = 0xDE;       // ''"'
constexpr uint16_t VK_OEM_102 = 0xE2;     // '<>' of ISO keyboards

// The virtual key of a native key symbol, as a Windows viewer would have received it
// (US layout; shifted symbols give their key's code, '!' gives '1'). nullopt for symbols
// that have no virtual key.
std::optional<uint16_t> VirtualKeyFromNativeKey(uint32_t ANativeKey);

// The native key symbol to press for a virtual key; AExtended picks the right-hand or the
// gray-block variant where Windows makes that distinction (VK_RETURN: keypad Enter,
// VK_CONTROL / VK_MENU: right Ctrl / Alt, navigation keys without it: the keypad's).
// nullopt for codes the table does not know.
std::optional<uint32_t> NativeKeyFromVirtualKey(uint16_t AVk, bool AExtended);

// The set-1 scan code of a virtual key on a US keyboard, without any E0/E1 prefix, as the
// Windows virtual-key to scan-code mapping gives it; 0 when the key has none.
// The Korean keys give the codes their keys send (VK_HANGUL 0xF2, VK_HANJA 0xF1).
uint16_t ScanCodeFromVirtualKey(uint16_t AVk);

// True exactly for the keys a viewer marks as extended: page up/down, end, home, the four
// arrows, insert, delete, both system keys, num lock, right Ctrl and right Alt.
bool IsExtendedVirtualKey(uint16_t AVk);

// Every virtual key the host can press (each appears once), for tests and diagnostics.
std::vector<uint16_t> KnownVirtualKeys();

}  // namespace tlm
