// The keyboard the Wayland injector announces to the compositor: an xkb keymap with one keycode
// per key symbol that a received virtual key can stand for (US layout: letters and punctuation
// with their shifted symbols, the keypad, the Korean Hangul and Hanja keys, media keys), and the
// modifier state that pressing and releasing its keys gives.
//
// Built once per injector; a pure computation on xkbcommon with no compositor involved. Used by
// one thread at a time.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace tlm {

struct TXkbModifiers {
  uint32_t Depressed = 0;
  uint32_t Latched = 0;
  uint32_t Locked = 0;
  uint32_t Group = 0;
  bool operator==(const TXkbModifiers&) const = default;
};

class TVirtualKeymap {
public:
  // Throws TError when xkbcommon refuses the keymap (never expected: the text is ours).
  TVirtualKeymap();
  ~TVirtualKeymap();
  TVirtualKeymap(const TVirtualKeymap&) = delete;
  TVirtualKeymap& operator=(const TVirtualKeymap&) = delete;

  // The keymap as xkbcommon writes it back (XKB_KEYMAP_FORMAT_TEXT_V1), for the compositor.
  const std::string& Text() const { return FText; }

  // The evdev key code (xkb keycode - 8) to press for a virtual key; nullopt for keys the key
  // table does not know.
  std::optional<uint32_t> KeyFor(uint16_t AVk, bool AExtended) const;

  // The key symbol that key produces without modifiers (0 for a key not in the keymap).
  uint32_t SymbolOf(uint32_t AKey) const;

  // Feeds a press or release of AKey into the modifier state; true when the serialised state
  // changed, which AMods then holds.
  bool Update(uint32_t AKey, bool ADown, TXkbModifiers& AMods);
  // The state as it stands.
  TXkbModifiers Modifiers() const;
  // Modifier index by xkb name ("Shift", "Lock", "Control", "Mod1", ...), for tests.
  uint32_t ModifierMask(const char* AName) const;

private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
  std::string FText;
  std::map<std::pair<uint16_t, bool>, uint32_t> FKeys;
};

}  // namespace tlm
