#include "platform/wayland/WaylandKeymap.h"

#include <xkbcommon/xkbcommon.h>

#include <cstdlib>
#include <vector>

#include "platform/KeyCodes.h"
#include "protocol/Error.h"

namespace tlm {

namespace {

// Lowest and highest keycodes an X client (Xwayland) can still see.
constexpr uint32_t FirstKeycode = 9;
constexpr uint32_t LastKeycode = 255;

// The shifted symbol of the US keyboard's keys that have one besides the letters.
struct TShiftPair {
  xkb_keysym_t Base;
  xkb_keysym_t Shifted;
};
constexpr TShiftPair ShiftPairs[] = {
    {XKB_KEY_1, XKB_KEY_exclam},          {XKB_KEY_2, XKB_KEY_at},
    {XKB_KEY_3, XKB_KEY_numbersign},      {XKB_KEY_4, XKB_KEY_dollar},
    {XKB_KEY_5, XKB_KEY_percent},         {XKB_KEY_6, XKB_KEY_asciicircum},
    {XKB_KEY_7, XKB_KEY_ampersand},       {XKB_KEY_8, XKB_KEY_asterisk},
    {XKB_KEY_9, XKB_KEY_parenleft},       {XKB_KEY_0, XKB_KEY_parenright},
    {XKB_KEY_semicolon, XKB_KEY_colon},   {XKB_KEY_equal, XKB_KEY_plus},
    {XKB_KEY_comma, XKB_KEY_less},        {XKB_KEY_minus, XKB_KEY_underscore},
    {XKB_KEY_period, XKB_KEY_greater},    {XKB_KEY_slash, XKB_KEY_question},
    {XKB_KEY_grave, XKB_KEY_asciitilde},  {XKB_KEY_bracketleft, XKB_KEY_braceleft},
    {XKB_KEY_backslash, XKB_KEY_bar},     {XKB_KEY_bracketright, XKB_KEY_braceright},
    {XKB_KEY_apostrophe, XKB_KEY_quotedbl}, {XKB_KEY_less, XKB_KEY_greater},
};

// Which real modifier each modifier key sets (or locks).
struct TModifierKey {
  xkb_keysym_t Sym;
  const char* Modifier;
  bool Lock;
};
constexpr TModifierKey ModifierKeys[] = {
    {XKB_KEY_Shift_L, "Shift", false},   {XKB_KEY_Shift_R, "Shift", false},
    {XKB_KEY_Caps_Lock, "Lock", true},   {XKB_KEY_Control_L, "Control", false},
    {XKB_KEY_Control_R, "Control", false}, {XKB_KEY_Alt_L, "Mod1", false},
    {XKB_KEY_Alt_R, "Mod1", false},      {XKB_KEY_Num_Lock, "Mod2", true},
    {XKB_KEY_Super_L, "Mod4", false},    {XKB_KEY_Super_R, "Mod4", false},
};

std::string SymName(xkb_keysym_t ASym) {
  char Name[64];
  if (xkb_keysym_get_name(ASym, Name, sizeof Name) < 0) throw TError("keymap: unnamed key symbol");
  return Name;
}

bool IsLetter(xkb_keysym_t ASym) { return ASym >= XKB_KEY_a && ASym <= XKB_KEY_z; }

struct TContextFree {
  void operator()(xkb_context* A) const { xkb_context_unref(A); }
};
struct TKeymapFree {
  void operator()(xkb_keymap* A) const { xkb_keymap_unref(A); }
};
struct TStateFree {
  void operator()(xkb_state* A) const { xkb_state_unref(A); }
};

}  // namespace

struct TVirtualKeymap::TImpl {
  std::unique_ptr<xkb_context, TContextFree> Context;
  std::unique_ptr<xkb_keymap, TKeymapFree> Keymap;
  std::unique_ptr<xkb_state, TStateFree> State;
};

TVirtualKeymap::TVirtualKeymap() : FImpl(std::make_unique<TImpl>()) {
  // Every symbol the key table can ask for gets its own keycode, in table order.
  std::map<xkb_keysym_t, uint32_t> Codes;
  std::vector<xkb_keysym_t> Order;
  for (uint16_t Vk : KnownVirtualKeys()) {
    for (bool Extended : {false, true}) {
      const auto Native = NativeKeyFromVirtualKey(Vk, Extended);
      if (!Native) continue;
      auto [It, Added] = Codes.emplace(xkb_keysym_t(*Native), 0);
      if (Added) {
        It->second = FirstKeycode + uint32_t(Order.size());
        Order.push_back(It->first);
      }
      FKeys[{Vk, Extended}] = It->second;
    }
  }
  if (FirstKeycode + Order.size() - 1 > LastKeycode) throw TError("keymap: more keys than keycodes");

  std::string Keycodes = "xkb_keycodes \"tlm\" {\n  minimum = 8;\n  maximum = 255;\n";
  std::string Symbols = "xkb_symbols \"tlm\" {\n  name[Group1] = \"English (US)\";\n";
  std::map<std::string, std::string> ModifierMaps;
  for (xkb_keysym_t Sym : Order) {
    const std::string Code = std::to_string(Codes[Sym]);
    Keycodes += "  <K" + Code + "> = " + Code + ";\n";
    std::string Levels;
    if (IsLetter(Sym)) {
      Levels = "type = \"ALPHABETIC\", [ " + SymName(Sym) + ", " + SymName(Sym - XKB_KEY_a + XKB_KEY_A) + " ]";
    } else {
      Levels = "type = \"ONE_LEVEL\", [ " + SymName(Sym) + " ]";
      for (const TShiftPair& P : ShiftPairs)
        if (P.Base == Sym) Levels = "type = \"TWO_LEVEL\", [ " + SymName(Sym) + ", " + SymName(P.Shifted) + " ]";
    }
    Symbols += "  key <K" + Code + "> { " + Levels + " };\n";
    for (const TModifierKey& M : ModifierKeys)
      if (M.Sym == Sym) ModifierMaps[M.Modifier] += (ModifierMaps[M.Modifier].empty() ? "<K" : ", <K") + Code + ">";
  }
  for (const auto& [Modifier, Keys] : ModifierMaps) Symbols += "  modifier_map " + Modifier + " { " + Keys + " };\n";
  Keycodes += "};\n";
  Symbols += "};\n";

  std::string Compat = "xkb_compat \"tlm\" {\n";
  for (const TModifierKey& M : ModifierKeys) {
    if (!Codes.count(M.Sym)) continue;
    Compat += "  interpret " + SymName(M.Sym) + " { action = " + (M.Lock ? "LockMods" : "SetMods") +
              "(modifiers = " + M.Modifier + "); };\n";
  }
  Compat += "};\n";

  const std::string Types =
      "xkb_types \"tlm\" {\n"
      "  type \"ONE_LEVEL\" { modifiers = none; level_name[Level1] = \"Any\"; };\n"
      "  type \"TWO_LEVEL\" { modifiers = Shift; map[Shift] = Level2;\n"
      "    level_name[Level1] = \"Base\"; level_name[Level2] = \"Shift\"; };\n"
      "  type \"ALPHABETIC\" { modifiers = Shift + Lock; map[Shift] = Level2; map[Lock] = Level2;\n"
      "    level_name[Level1] = \"Base\"; level_name[Level2] = \"Caps\"; };\n"
      "};\n";

  const std::string Source = "xkb_keymap {\n" + Keycodes + Types + Compat + Symbols + "};\n";

  FImpl->Context.reset(xkb_context_new(xkb_context_flags(XKB_CONTEXT_NO_DEFAULT_INCLUDES | XKB_CONTEXT_NO_ENVIRONMENT_NAMES)));
  if (!FImpl->Context) throw TError("keymap: no xkb context");
  FImpl->Keymap.reset(xkb_keymap_new_from_string(FImpl->Context.get(), Source.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1,
                                                 XKB_KEYMAP_COMPILE_NO_FLAGS));
  if (!FImpl->Keymap) throw TError("keymap: xkbcommon refused the keymap");
  FImpl->State.reset(xkb_state_new(FImpl->Keymap.get()));
  if (!FImpl->State) throw TError("keymap: no xkb state");
  char* Text = xkb_keymap_get_as_string(FImpl->Keymap.get(), XKB_KEYMAP_FORMAT_TEXT_V1);
  if (!Text) throw TError("keymap: xkbcommon cannot write the keymap");
  FText = Text;
  std::free(Text);
}

TVirtualKeymap::~TVirtualKeymap() = default;

std::optional<uint32_t> TVirtualKeymap::KeyFor(uint16_t AVk, bool AExtended) const {
  auto It = FKeys.find({AVk, AExtended});
  if (It == FKeys.end()) return std::nullopt;
  return It->second - 8;
}

uint32_t TVirtualKeymap::SymbolOf(uint32_t AKey) const {
  const xkb_keysym_t* Syms = nullptr;
  const int N = xkb_keymap_key_get_syms_by_level(FImpl->Keymap.get(), AKey + 8, 0, 0, &Syms);
  return N > 0 ? Syms[0] : 0;
}

bool TVirtualKeymap::Update(uint32_t AKey, bool ADown, TXkbModifiers& AMods) {
  const TXkbModifiers Before = Modifiers();
  xkb_state_update_key(FImpl->State.get(), AKey + 8, ADown ? XKB_KEY_DOWN : XKB_KEY_UP);
  AMods = Modifiers();
  return !(AMods == Before);
}

TXkbModifiers TVirtualKeymap::Modifiers() const {
  xkb_state* S = FImpl->State.get();
  TXkbModifiers M;
  M.Depressed = xkb_state_serialize_mods(S, XKB_STATE_MODS_DEPRESSED);
  M.Latched = xkb_state_serialize_mods(S, XKB_STATE_MODS_LATCHED);
  M.Locked = xkb_state_serialize_mods(S, XKB_STATE_MODS_LOCKED);
  M.Group = xkb_state_serialize_layout(S, XKB_STATE_LAYOUT_EFFECTIVE);
  return M;
}

uint32_t TVirtualKeymap::ModifierMask(const char* AName) const {
  const xkb_mod_index_t I = xkb_keymap_mod_get_index(FImpl->Keymap.get(), AName);
  return I == XKB_MOD_INVALID ? 0 : (1u << I);
}

}  // namespace tlm
