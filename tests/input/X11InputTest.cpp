// The XTEST injector against a private Xvfb, watched by a second client: a full-screen
// window that takes the keyboard focus and selects button and key events.
#include <gtest/gtest.h>
// Xlib's macros (None, Bool, Status) clash with GoogleTest's names: include it afterwards.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "platform/Input.h"
#include "platform/KeyCodes.h"
#include "protocol/Error.h"
#include "tests/support/XvfbServer.h"
#include "viewer/KeyChords.h"

namespace tlm {
namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

constexpr auto Deadline = 5s;
constexpr uint32_t MoveAbs = MOUSEEVENTF_MOVE | MOUSEEVENTF_VIRTUALDESK | MOUSEEVENTF_ABSOLUTE;

// A client that sees what the injector did.
class TObserver {
public:
  explicit TObserver(const std::string& ADisplay) : FDisplay(XOpenDisplay(ADisplay.c_str())) {
    if (!FDisplay) return;
    const int LScreen = DefaultScreen(FDisplay);
    XSetWindowAttributes LAttrs{};
    LAttrs.override_redirect = True;
    LAttrs.event_mask = ButtonPressMask | ButtonReleaseMask | KeyPressMask | KeyReleaseMask;
    FWindow = XCreateWindow(FDisplay, RootWindow(FDisplay, LScreen), 0, 0,
                            DisplayWidth(FDisplay, LScreen), DisplayHeight(FDisplay, LScreen), 0,
                            CopyFromParent, InputOutput, CopyFromParent,
                            CWOverrideRedirect | CWEventMask, &LAttrs);
    XMapRaised(FDisplay, FWindow);
    XSync(FDisplay, False);
    XSetInputFocus(FDisplay, FWindow, RevertToPointerRoot, CurrentTime);
    XSync(FDisplay, False);
  }
  ~TObserver() {
    if (FDisplay) XCloseDisplay(FDisplay);
  }
  bool Ok() const { return FDisplay != nullptr; }
  Display* Dpy() const { return FDisplay; }

  // The next button or key event, skipping others; nullopt after the deadline.
  std::optional<XEvent> NextInputEvent() {
    const auto LEnd = TClock::now() + Deadline;
    while (TClock::now() < LEnd) {
      while (XPending(FDisplay)) {
        XEvent LEvent;
        XNextEvent(FDisplay, &LEvent);
        if (LEvent.type == ButtonPress || LEvent.type == ButtonRelease || LEvent.type == KeyPress ||
            LEvent.type == KeyRelease)
          return LEvent;
      }
      std::this_thread::sleep_for(2ms);
    }
    return std::nullopt;
  }

  // Polls the pointer until it is at (AX, AY); the position last seen otherwise.
  std::pair<int, int> WaitPointerAt(int AX, int AY) {
    int LX = -1, LY = -1;
    const auto LEnd = TClock::now() + Deadline;
    do {
      Window LRoot, LChild;
      int LWinX, LWinY;
      unsigned LMask;
      XQueryPointer(FDisplay, DefaultRootWindow(FDisplay), &LRoot, &LChild, &LX, &LY, &LWinX, &LWinY, &LMask);
      if (LX == AX && LY == AY) break;
      std::this_thread::sleep_for(2ms);
    } while (TClock::now() < LEnd);
    return {LX, LY};
  }

  // The symbols the server currently has for AKeycode (a fresh request, no client cache).
  std::vector<KeySym> SymbolsOf(KeyCode AKeycode) {
    int LPer = 0;
    KeySym* LSyms = XGetKeyboardMapping(FDisplay, AKeycode, 1, &LPer);
    std::vector<KeySym> LResult(LSyms, LSyms + (LSyms ? LPer : 0));
    if (LSyms) XFree(LSyms);
    while (!LResult.empty() && LResult.back() == NoSymbol) LResult.pop_back();
    return LResult;
  }

  bool AnyKeycodeHas(KeySym AKeysym) {
    int LMin = 0, LMax = 0, LPer = 0;
    XDisplayKeycodes(FDisplay, &LMin, &LMax);
    KeySym* LSyms = XGetKeyboardMapping(FDisplay, static_cast<KeyCode>(LMin), LMax - LMin + 1, &LPer);
    bool LFound = false;
    for (int i = 0; LSyms && i < (LMax - LMin + 1) * LPer; ++i) LFound = LFound || LSyms[i] == AKeysym;
    if (LSyms) XFree(LSyms);
    return LFound;
  }

private:
  Display* FDisplay = nullptr;
  Window FWindow = 0;
};

class X11InputTest : public testing::Test {
protected:
  static void SetUpTestSuite() { FServer = new test::TXvfbServer(1920, 1080); }
  static void TearDownTestSuite() {
    delete FServer;
    FServer = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(FServer->Running()) << FServer->Error();
    FObserver = std::make_unique<TObserver>(FServer->Display());
    ASSERT_TRUE(FObserver->Ok());
    FInjector = CreateSystemInjector(FServer->Display());
  }

  void Click(uint32_t ADown, uint32_t AUp, int AX, int AY) {
    const TVirtualScreen LVirt = FInjector->VirtualScreen();
    const int32_t LDx = AbsoluteFromPixel(AX - LVirt.Left, LVirt.Width);
    const int32_t LDy = AbsoluteFromPixel(AY - LVirt.Top, LVirt.Height);
    FInjector->SendMouse({LDx, LDy, 0, MoveAbs | ADown});
    FInjector->SendMouse({LDx, LDy, 0, MoveAbs | AUp});
  }

  // Button numbers of the presses seen up to and including the first press of AMarker.
  std::vector<unsigned> PressesUntil(unsigned AMarker) {
    std::vector<unsigned> LPresses;
    while (auto LEvent = FObserver->NextInputEvent()) {
      if (LEvent->type != ButtonPress) continue;
      LPresses.push_back(LEvent->xbutton.button);
      if (LEvent->xbutton.button == AMarker) break;
    }
    return LPresses;
  }

  static test::TXvfbServer* FServer;
  std::unique_ptr<TObserver> FObserver;
  std::unique_ptr<IInputInjector> FInjector;
};

test::TXvfbServer* X11InputTest::FServer = nullptr;

TEST_F(X11InputTest, VirtualScreenIsTheRootWindow) {
  EXPECT_EQ(FInjector->VirtualScreen(), (TVirtualScreen{0, 0, 1920, 1080}));
}

TEST_F(X11InputTest, AbsoluteMovesLandOnThePixelTheHostNormalised) {
  const std::pair<int, int> LPixels[] = {{0, 0}, {1919, 1079}, {960, 540}, {1, 1}, {1234, 567}, {1918, 2}};
  for (const auto& [LX, LY] : LPixels) {
    FInjector->SendMouse({AbsoluteFromPixel(LX, 1920), AbsoluteFromPixel(LY, 1080), 0, MoveAbs});
    EXPECT_EQ(FObserver->WaitPointerAt(LX, LY), std::make_pair(LX, LY));
  }
}

TEST_F(X11InputTest, ButtonsArriveAtThePosition) {
  struct TCase {
    uint32_t Down, Up;
    unsigned Button;
  };
  const TCase LCases[] = {{MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP, 1},
                          {MOUSEEVENTF_RIGHTDOWN, MOUSEEVENTF_RIGHTUP, 3},
                          {MOUSEEVENTF_MIDDLEDOWN, MOUSEEVENTF_MIDDLEUP, 2}};
  int LX = 100;
  for (const TCase& LCase : LCases) {
    SCOPED_TRACE(testing::Message() << "button " << LCase.Button);
    Click(LCase.Down, LCase.Up, LX, 200);
    auto LPress = FObserver->NextInputEvent();
    ASSERT_TRUE(LPress.has_value());
    EXPECT_EQ(LPress->type, ButtonPress);
    EXPECT_EQ(LPress->xbutton.button, LCase.Button);
    EXPECT_EQ(LPress->xbutton.x_root, LX);
    EXPECT_EQ(LPress->xbutton.y_root, 200);
    auto LRelease = FObserver->NextInputEvent();
    ASSERT_TRUE(LRelease.has_value());
    EXPECT_EQ(LRelease->type, ButtonRelease);
    EXPECT_EQ(LRelease->xbutton.button, LCase.Button);
    LX += 300;
  }
}

TEST_F(X11InputTest, WheelTurnsBecomeNotchesAndPartialTurnsAddUp) {
  const int32_t LDeltas[] = {120, -240, 60, 60, -30, -30, -30, -30, 40, -40, 360};
  for (int32_t LDelta : LDeltas) FInjector->SendMouse({0, 0, LDelta, MoveAbs | MOUSEEVENTF_WHEEL});
  Click(MOUSEEVENTF_MIDDLEDOWN, MOUSEEVENTF_MIDDLEUP, 10, 10);  // marks the end
  EXPECT_EQ(PressesUntil(2), (std::vector<unsigned>{4, 5, 5, 4, 5, 4, 4, 4, 2}));
}

TEST_F(X11InputTest, KeysArriveAsTheirKeysym) {
  struct TCase {
    uint16_t Vk;
    bool Extended;
    KeySym Keysym;
  };
  const TCase LCases[] = {
      {'A', false, XK_a},           {'7', false, XK_7},          {VK_RETURN, false, XK_Return},
      {VK_RETURN, true, XK_KP_Enter}, {VK_CONTROL, true, XK_Control_R}, {VK_RMENU, true, XK_Alt_R},
      {VK_LSHIFT, false, XK_Shift_L}, {VK_DELETE, true, XK_Delete}, {VK_LEFT, true, XK_Left},
      {VK_DIVIDE, false, XK_KP_Divide}, {VK_F1 + 11, false, XK_F12}, {VK_OEM_4, false, XK_bracketleft},
      {VK_HANGUL, false, XK_Hangul}, {VK_HANJA, false, XK_Hangul_Hanja},
  };
  for (const TCase& LCase : LCases) {
    SCOPED_TRACE(testing::Message() << "vk 0x" << std::hex << LCase.Vk);
    const uint32_t LExt = LCase.Extended ? KEYEVENTF_EXTENDEDKEY : 0;
    FInjector->SendKey({LCase.Vk, ScanCodeFromVirtualKey(LCase.Vk), LExt});
    FInjector->SendKey({LCase.Vk, ScanCodeFromVirtualKey(LCase.Vk), LExt | KEYEVENTF_KEYUP});
    auto LPress = FObserver->NextInputEvent();
    ASSERT_TRUE(LPress.has_value());
    ASSERT_EQ(LPress->type, KeyPress);
    EXPECT_EQ(XkbKeycodeToKeysym(FObserver->Dpy(), LPress->xkey.keycode, 0, 0), LCase.Keysym);
    auto LRelease = FObserver->NextInputEvent();
    ASSERT_TRUE(LRelease.has_value());
    EXPECT_EQ(LRelease->type, KeyRelease);
    EXPECT_EQ(LRelease->xkey.keycode, LPress->xkey.keycode);
  }
}

// The viewer's special-key menu: each combination arrives as its keys in order, the last key
// pressed while its modifiers are held, and everything released again.
TEST_F(X11InputTest, SpecialKeyChordsArriveWithTheirModifiersHeld) {
  struct TCase {
    ESpecialKey Key;
    std::vector<KeySym> Presses;  // in order; the releases come in reverse
    unsigned HeldForLast;         // modifier state of the last press
  };
  const TCase LCases[] = {
      {ESpecialKey::CtrlAltDel, {XK_Control_L, XK_Alt_L, XK_Delete}, ControlMask | Mod1Mask},
      {ESpecialKey::AltTab, {XK_Alt_L, XK_Tab}, Mod1Mask},
      {ESpecialKey::WindowsKey, {XK_Super_L}, 0},
      {ESpecialKey::PrintScreen, {XK_Print}, 0},
  };
  for (const TCase& LCase : LCases) {
    SCOPED_TRACE(testing::Message() << "special key " << int(LCase.Key));
    for (const TKeyStroke& LStroke : SpecialKeyStrokes(LCase.Key)) {
      uint32_t LFlags = IsExtendedVirtualKey(LStroke.VirtualKey) ? KEYEVENTF_EXTENDEDKEY : 0;
      if (LStroke.KeyUp) LFlags |= KEYEVENTF_KEYUP;
      FInjector->SendKey({LStroke.VirtualKey, ScanCodeFromVirtualKey(LStroke.VirtualKey), LFlags});
    }
    std::vector<KeySym> LExpected = LCase.Presses;
    LExpected.insert(LExpected.end(), LCase.Presses.rbegin(), LCase.Presses.rend());
    for (size_t i = 0; i < LExpected.size(); ++i) {
      auto LEvent = FObserver->NextInputEvent();
      ASSERT_TRUE(LEvent.has_value()) << "event " << i;
      EXPECT_EQ(LEvent->type, i < LCase.Presses.size() ? KeyPress : KeyRelease) << "event " << i;
      EXPECT_EQ(XkbKeycodeToKeysym(FObserver->Dpy(), LEvent->xkey.keycode, 0, 0), LExpected[i]) << "event " << i;
      if (i + 1 == LCase.Presses.size()) {
        EXPECT_EQ(LEvent->xkey.state & (ControlMask | Mod1Mask | Mod4Mask), LCase.HeldForLast);
      }
    }
  }
}

TEST_F(X11InputTest, KeyWithoutKeycodeIsMappedWhileHeldAndUnmappedAfterwards) {
  ASSERT_FALSE(FObserver->AnyKeycodeHas(XK_F24)) << "this Xvfb already maps F24";
  FInjector->SendKey({VK_F24, ScanCodeFromVirtualKey(VK_F24), 0});
  auto LPress = FObserver->NextInputEvent();
  ASSERT_TRUE(LPress.has_value());
  ASSERT_EQ(LPress->type, KeyPress);
  const KeyCode LKeycode = static_cast<KeyCode>(LPress->xkey.keycode);
  ASSERT_FALSE(FObserver->SymbolsOf(LKeycode).empty());
  EXPECT_EQ(FObserver->SymbolsOf(LKeycode).front(), static_cast<KeySym>(XK_F24));

  // A repeated press (auto-repeat on the viewer) uses the same key; its release unmaps it.
  FInjector->SendKey({VK_F24, 0, 0});
  FInjector->SendKey({VK_F24, 0, KEYEVENTF_KEYUP});
  std::optional<XEvent> LEvent;
  do {
    LEvent = FObserver->NextInputEvent();
    ASSERT_TRUE(LEvent.has_value());
    EXPECT_EQ(LEvent->xkey.keycode, LKeycode);
  } while (LEvent->type != KeyRelease);
  EXPECT_TRUE(FObserver->SymbolsOf(LKeycode).empty());
  EXPECT_FALSE(FObserver->AnyKeycodeHas(XK_F24));
}

TEST_F(X11InputTest, DestroyingTheInjectorReleasesWhatItHoldsAndRestoresTheKeymap) {
  FInjector->SendKey({VK_LSHIFT, 0x2A, 0});
  FInjector->SendKey({VK_F1 + 22, 0x6E, 0});  // F23: not on Xvfb's keymap either
  FInjector->SendMouse({AbsoluteFromPixel(50, 1920), AbsoluteFromPixel(60, 1080), 0, MoveAbs | MOUSEEVENTF_LEFTDOWN});
  int LPresses = 0;
  for (int i = 0; i < 3; ++i) {
    auto LEvent = FObserver->NextInputEvent();
    ASSERT_TRUE(LEvent.has_value());
    LPresses += LEvent->type == KeyPress || LEvent->type == ButtonPress;
  }
  EXPECT_EQ(LPresses, 3);
  EXPECT_TRUE(FObserver->AnyKeycodeHas(XK_F23));

  FInjector.reset();
  std::vector<int> LReleases;
  for (int i = 0; i < 3; ++i) {
    auto LEvent = FObserver->NextInputEvent();
    ASSERT_TRUE(LEvent.has_value());
    LReleases.push_back(LEvent->type);
  }
  EXPECT_EQ(std::count(LReleases.begin(), LReleases.end(), KeyRelease), 2);
  EXPECT_EQ(std::count(LReleases.begin(), LReleases.end(), ButtonRelease), 1);
  EXPECT_FALSE(FObserver->AnyKeycodeHas(XK_F23));
}

TEST_F(X11InputTest, UnknownKeyCodesAreDropped) {
  FInjector->SendKey({0, 0, 0});
  FInjector->SendKey({0xFF, 0, 0});
  FInjector->SendKey({'Q', 0x10, 0});
  auto LEvent = FObserver->NextInputEvent();
  ASSERT_TRUE(LEvent.has_value());
  EXPECT_EQ(XkbKeycodeToKeysym(FObserver->Dpy(), LEvent->xkey.keycode, 0, 0), static_cast<KeySym>(XK_q));
  FInjector->SendKey({'Q', 0x10, KEYEVENTF_KEYUP});
}

TEST(X11InputWide, PositionsSpanAWideDesktop) {
  test::TXvfbServer LServer(3840, 1080);
  ASSERT_TRUE(LServer.Running()) << LServer.Error();
  TObserver LObserver(LServer.Display());
  ASSERT_TRUE(LObserver.Ok());
  auto LInjector = CreateSystemInjector(LServer.Display());
  ASSERT_EQ(LInjector->VirtualScreen(), (TVirtualScreen{0, 0, 3840, 1080}));
  for (int LX : {0, 1920, 1919, 3839, 2}) {
    LInjector->SendMouse({AbsoluteFromPixel(LX, 3840), AbsoluteFromPixel(1079, 1080), 0, MoveAbs});
    EXPECT_EQ(LObserver.WaitPointerAt(LX, 1079), std::make_pair(LX, 1079));
  }
}

TEST(X11InputFactory, UnreachableDisplayRaises) {
  EXPECT_THROW(CreateSystemInjector(":4093"), TError);
}

}  // namespace
}  // namespace tlm
