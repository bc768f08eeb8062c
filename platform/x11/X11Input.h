// The X11 injector: replays the host's input records through the XTEST extension.
//
// Owns one display connection of its own. Called as IInputInjector says (one thread at a
// time, in arrival order). Keeps, privately, the buttons and keys it holds down and the
// spare keycodes it mapped for keysyms the keyboard map lacks; a keycode mapped for a key is
// unmapped again when that key is released, and everything is released and unmapped when
// the injector is destroyed.
#pragma once

#include <X11/Xlib.h>

#include <map>
#include <memory>
#include <set>
#include <vector>

#include "platform/Input.h"

namespace tlm {

class TX11InputInjector final : public IInputInjector {
public:
  // Takes ownership of ADisplay, which must offer XTEST.
  explicit TX11InputInjector(Display* ADisplay);
  ~TX11InputInjector() override;
  TX11InputInjector(const TX11InputInjector&) = delete;
  TX11InputInjector& operator=(const TX11InputInjector&) = delete;

  TVirtualScreen VirtualScreen() override;
  void SendMouse(const TMouseInput& AInput) override;
  void SendKey(const TKeyInput& AInput) override;

private:
  struct TDisplayCloser {
    void operator()(Display* ADisplay) const { XCloseDisplay(ADisplay); }
  };

  void Button(unsigned AButton, bool ADown);
  void Wheel(int32_t ADelta);
  // The keycode that produces AKeysym without any modifier if there is one, else one that
  // produces it at a higher level; 0 when no keycode carries it.
  KeyCode FindKeycode(KeySym AKeysym);
  // Maps AKeysym onto an unused keycode; 0 when none is free.
  KeyCode MapSpareKeycode(KeySym AKeysym);
  void UnmapKeycode(KeyCode AKeycode);

  std::unique_ptr<Display, TDisplayCloser> FDisplay;
  int FScreen = 0;
  Window FRoot = 0;
  TVirtualScreen FVirt;
  int32_t FWheelRemainder = 0;
  std::set<unsigned> FButtonsDown;
  std::map<KeySym, KeyCode> FKeysDown;                     // pressed keysym -> keycode used
  std::map<KeyCode, std::vector<KeySym>> FMappedKeycodes;  // keycode we mapped -> its old symbols
};

}  // namespace tlm
