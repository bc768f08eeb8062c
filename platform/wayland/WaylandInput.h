// The Wayland injector for wlroots compositors: the pointer through
// zwlr_virtual_pointer_manager_v1 (absolute motion over the whole output layout, which is the
// virtual screen), keys through zwp_virtual_keyboard_manager_v1 with the keymap of
// TVirtualKeymap, whose modifier state it announces after each modifier key.
//
// Owns one connection of its own. Called as IInputInjector says (one thread at a time, in
// arrival order). Keeps the buttons and keys it holds down and releases them when destroyed.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "platform/Input.h"

struct zwlr_virtual_pointer_v1;
struct zwp_virtual_keyboard_v1;

namespace tlm {

class TVirtualKeymap;
class TWaylandDisplay;

class TWaylandInputInjector final : public IInputInjector {
public:
  // ASocket as for wl_display_connect; empty means $WAYLAND_DISPLAY. Throws TError when no
  // compositor answers or it offers neither virtual pointer nor virtual keyboard.
  explicit TWaylandInputInjector(const std::string& ASocket = {});
  ~TWaylandInputInjector() override;
  TWaylandInputInjector(const TWaylandInputInjector&) = delete;
  TWaylandInputInjector& operator=(const TWaylandInputInjector&) = delete;

  // What is missing ("" when both pointer and keys work).
  const std::string& Missing() const { return FMissing; }

  TVirtualScreen VirtualScreen() override;
  void SendMouse(const TMouseInput& AInput) override;
  void SendKey(const TKeyInput& AInput) override;

private:
  void Button(uint32_t AButton, bool ADown);
  void Wheel(int32_t ADelta);
  void Key(uint32_t AKey, bool ADown);

  std::unique_ptr<TWaylandDisplay> FConn;
  std::unique_ptr<TVirtualKeymap> FKeymap;
  zwlr_virtual_pointer_v1* FPointer = nullptr;
  zwp_virtual_keyboard_v1* FKeyboard = nullptr;
  std::string FMissing;
  TVirtualScreen FVirt;
  int32_t FWheelRemainder = 0;
  std::set<uint32_t> FButtonsDown;
  std::set<uint32_t> FKeysDown;
};

}  // namespace tlm
