#include "platform/x11/X11Input.h"

#include <X11/extensions/XTest.h>

#include <algorithm>

#include "platform/KeyCodes.h"
#include "protocol/Error.h"

namespace tlm {

namespace {

constexpr unsigned ButtonLeft = 1;
constexpr unsigned ButtonMiddle = 2;
constexpr unsigned ButtonRight = 3;
constexpr unsigned ButtonWheelUp = 4;    // away from the user
constexpr unsigned ButtonWheelDown = 5;  // towards the user

// The whole core keyboard map, fetched fresh: other clients (and we) may change it.
struct TKeyboardMap {
  int MinKeycode = 0;
  int MaxKeycode = 0;
  int PerKeycode = 0;
  KeySym* Syms = nullptr;
  explicit TKeyboardMap(Display* ADisplay) {
    XDisplayKeycodes(ADisplay, &MinKeycode, &MaxKeycode);
    Syms = XGetKeyboardMapping(ADisplay, static_cast<KeyCode>(MinKeycode),
                               MaxKeycode - MinKeycode + 1, &PerKeycode);
  }
  ~TKeyboardMap() {
    if (Syms) XFree(Syms);
  }
  TKeyboardMap(const TKeyboardMap&) = delete;
  TKeyboardMap& operator=(const TKeyboardMap&) = delete;
  KeySym At(int AKeycode, int AIndex) const {
    return Syms ? Syms[(AKeycode - MinKeycode) * PerKeycode + AIndex] : NoSymbol;
  }
};

}  // namespace

TX11InputInjector::TX11InputInjector(Display* ADisplay) : FDisplay(ADisplay) {
  FScreen = DefaultScreen(ADisplay);
  FRoot = RootWindow(ADisplay, FScreen);
  // Keep our synthetic events flowing even while another client holds a server grab.
  XTestGrabControl(ADisplay, True);
  VirtualScreen();
}

TX11InputInjector::~TX11InputInjector() {
  Display* LDisplay = FDisplay.get();
  for (const auto& [LKeysym, LKeycode] : FKeysDown) XTestFakeKeyEvent(LDisplay, LKeycode, False, CurrentTime);
  FKeysDown.clear();
  for (unsigned LButton : FButtonsDown) XTestFakeButtonEvent(LDisplay, LButton, False, CurrentTime);
  FButtonsDown.clear();
  while (!FMappedKeycodes.empty()) UnmapKeycode(FMappedKeycodes.begin()->first);
  XSync(LDisplay, False);
}

TVirtualScreen TX11InputInjector::VirtualScreen() {
  // The root window spans every monitor; its size follows layout changes (RandR).
  Window LRoot = 0;
  int LX = 0, LY = 0;
  unsigned LWidth = 0, LHeight = 0, LBorder = 0, LDepth = 0;
  if (XGetGeometry(FDisplay.get(), FRoot, &LRoot, &LX, &LY, &LWidth, &LHeight, &LBorder, &LDepth))
    FVirt = {0, 0, static_cast<int32_t>(LWidth), static_cast<int32_t>(LHeight)};
  return FVirt;
}

void TX11InputInjector::SendMouse(const TMouseInput& AInput) {
  Display* LDisplay = FDisplay.get();
  if (AInput.Flags & MOUSEEVENTF_MOVE) {
    if (AInput.Flags & MOUSEEVENTF_ABSOLUTE) {
      // Undo the host's normalisation against the same rectangle it used.
      const int LX = FVirt.Left + PixelFromAbsolute(AInput.Dx, FVirt.Width);
      const int LY = FVirt.Top + PixelFromAbsolute(AInput.Dy, FVirt.Height);
      XTestFakeMotionEvent(LDisplay, FScreen, LX, LY, CurrentTime);
    } else {
      XTestFakeRelativeMotionEvent(LDisplay, AInput.Dx, AInput.Dy, CurrentTime);
    }
  }
  // Button flags in the order Windows applies them.
  if (AInput.Flags & MOUSEEVENTF_LEFTDOWN) Button(ButtonLeft, true);
  if (AInput.Flags & MOUSEEVENTF_LEFTUP) Button(ButtonLeft, false);
  if (AInput.Flags & MOUSEEVENTF_RIGHTDOWN) Button(ButtonRight, true);
  if (AInput.Flags & MOUSEEVENTF_RIGHTUP) Button(ButtonRight, false);
  if (AInput.Flags & MOUSEEVENTF_MIDDLEDOWN) Button(ButtonMiddle, true);
  if (AInput.Flags & MOUSEEVENTF_MIDDLEUP) Button(ButtonMiddle, false);
  if (AInput.Flags & MOUSEEVENTF_WHEEL) Wheel(AInput.MouseData);
  XFlush(LDisplay);
}

void TX11InputInjector::Button(unsigned AButton, bool ADown) {
  XTestFakeButtonEvent(FDisplay.get(), AButton, ADown ? True : False, CurrentTime);
  if (ADown)
    FButtonsDown.insert(AButton);
  else
    FButtonsDown.erase(AButton);
}

void TX11InputInjector::Wheel(int32_t ADelta) {
  // X knows only whole notches: keep what is left of a partial turn for the next event.
  // The wire carries 16 bits, so a larger delta is clamped rather than looped over.
  ADelta = std::clamp<int32_t>(ADelta, -32768, 32767);
  FWheelRemainder += ADelta;
  const int32_t LSteps = FWheelRemainder / WHEEL_DELTA;
  FWheelRemainder -= LSteps * WHEEL_DELTA;
  const unsigned LButton = LSteps > 0 ? ButtonWheelUp : ButtonWheelDown;
  for (int32_t i = 0; i < std::abs(LSteps); ++i) {
    XTestFakeButtonEvent(FDisplay.get(), LButton, True, CurrentTime);
    XTestFakeButtonEvent(FDisplay.get(), LButton, False, CurrentTime);
  }
}

void TX11InputInjector::SendKey(const TKeyInput& AInput) {
  const bool LUp = AInput.Flags & KEYEVENTF_KEYUP;
  const auto LNative = NativeKeyFromVirtualKey(AInput.Vk, AInput.Flags & KEYEVENTF_EXTENDEDKEY);
  if (!LNative) return;  // a code we cannot express: dropped like a refused input
  const KeySym LKeysym = *LNative;
  Display* LDisplay = FDisplay.get();

  if (!LUp) {
    KeyCode LKeycode = 0;
    if (auto LHeld = FKeysDown.find(LKeysym); LHeld != FKeysDown.end())
      LKeycode = LHeld->second;  // auto-repeat: press the same key again
    else
      LKeycode = FindKeycode(LKeysym);
    if (LKeycode == 0) LKeycode = MapSpareKeycode(LKeysym);
    if (LKeycode == 0) return;
    XTestFakeKeyEvent(LDisplay, LKeycode, True, CurrentTime);
    FKeysDown[LKeysym] = LKeycode;
    XFlush(LDisplay);
    return;
  }

  auto LHeld = FKeysDown.find(LKeysym);
  if (LHeld == FKeysDown.end()) {
    // Not pressed through us: release it anyway (a key stuck on the desktop is worse than a
    // stray release), but never map a keycode just to release it.
    const KeyCode LKeycode = FindKeycode(LKeysym);
    if (LKeycode != 0) XTestFakeKeyEvent(LDisplay, LKeycode, False, CurrentTime);
    XFlush(LDisplay);
    return;
  }
  const KeyCode LKeycode = LHeld->second;
  FKeysDown.erase(LHeld);
  XTestFakeKeyEvent(LDisplay, LKeycode, False, CurrentTime);
  if (FMappedKeycodes.count(LKeycode)) UnmapKeycode(LKeycode);
  XFlush(LDisplay);
}

KeyCode TX11InputInjector::FindKeycode(KeySym AKeysym) {
  const TKeyboardMap LMap(FDisplay.get());
  for (int LIndex = 0; LIndex < LMap.PerKeycode; ++LIndex)
    for (int LCode = LMap.MinKeycode; LCode <= LMap.MaxKeycode; ++LCode)
      if (LMap.At(LCode, LIndex) == AKeysym) return static_cast<KeyCode>(LCode);
  return 0;
}

KeyCode TX11InputInjector::MapSpareKeycode(KeySym AKeysym) {
  Display* LDisplay = FDisplay.get();
  const TKeyboardMap LMap(LDisplay);
  if (!LMap.Syms) return 0;
  // Take unused keycodes from the top, where keyboards rarely have keys.
  for (int LCode = LMap.MaxKeycode; LCode >= LMap.MinKeycode; --LCode) {
    if (FMappedKeycodes.count(static_cast<KeyCode>(LCode))) continue;
    std::vector<KeySym> LOld(LMap.PerKeycode);
    bool LUnused = true;
    for (int i = 0; i < LMap.PerKeycode; ++i) {
      LOld[i] = LMap.At(LCode, i);
      if (LOld[i] != NoSymbol) LUnused = false;
    }
    if (!LUnused) continue;
    KeySym LNew[2] = {AKeysym, AKeysym};  // same symbol with and without Shift
    XChangeKeyboardMapping(LDisplay, LCode, 2, LNew, 1);
    XSync(LDisplay, False);  // the server must know the mapping before the key arrives
    FMappedKeycodes[static_cast<KeyCode>(LCode)] = std::move(LOld);
    return static_cast<KeyCode>(LCode);
  }
  return 0;
}

void TX11InputInjector::UnmapKeycode(KeyCode AKeycode) {
  auto LMapped = FMappedKeycodes.find(AKeycode);
  if (LMapped == FMappedKeycodes.end()) return;
  std::vector<KeySym>& LOld = LMapped->second;
  if (!LOld.empty())
    XChangeKeyboardMapping(FDisplay.get(), AKeycode, static_cast<int>(LOld.size()), LOld.data(), 1);
  XSync(FDisplay.get(), False);
  FMappedKeycodes.erase(LMapped);
}

std::unique_ptr<IInputInjector> CreateSystemInjector(const std::string& ADisplay) {
  Display* LDisplay = XOpenDisplay(ADisplay.empty() ? nullptr : ADisplay.c_str());
  if (!LDisplay)
    throw TError("Cannot open X display \"" + (ADisplay.empty() ? std::string("$DISPLAY") : ADisplay) + "\"");
  int LEventBase = 0, LErrorBase = 0, LMajor = 0, LMinor = 0;
  if (!XTestQueryExtension(LDisplay, &LEventBase, &LErrorBase, &LMajor, &LMinor)) {
    XCloseDisplay(LDisplay);
    throw TError("The X display has no XTEST extension");
  }
  return std::make_unique<TX11InputInjector>(LDisplay);
}

}  // namespace tlm
