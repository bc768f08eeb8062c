#include "platform/wayland/WaylandInput.h"

#include <linux/input-event-codes.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <cstring>

#include "platform/wayland/WaylandDisplay.h"
#include "platform/wayland/WaylandKeymap.h"
#include "protocol/Error.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

namespace tlm {

namespace {

// wl_keyboard's keymap format for xkb text.
constexpr uint32_t KeymapFormatXkbV1 = 1;
// Scroll distance of one wheel notch, as libinput reports it for a mouse wheel.
constexpr double NotchDistance = 15.0;

// The keymap text in a sealed memory file the compositor maps; -1 when it cannot be made.
int KeymapFile(const std::string& AText) {
  const int Fd = memfd_create("tlm-keymap", MFD_CLOEXEC);
  if (Fd < 0) return -1;
  const size_t Size = AText.size() + 1;  // with its terminating zero, as wl_keyboard sends it
  size_t Done = 0;
  while (Done < Size) {
    const ssize_t N = write(Fd, AText.c_str() + Done, Size - Done);
    if (N <= 0) {
      close(Fd);
      return -1;
    }
    Done += size_t(N);
  }
  return Fd;
}

}  // namespace

TWaylandInputInjector::TWaylandInputInjector(const std::string& ASocket)
    : FConn(std::make_unique<TWaylandDisplay>(ASocket)) {
  if (FConn->VirtualPointer())
    FPointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(FConn->VirtualPointer(), FConn->Seat());
  else
    FMissing = "가상 포인터(zwlr_virtual_pointer_manager_v1) 없음";
  if (FConn->VirtualKeyboard() && FConn->Seat()) {
    FKeymap = std::make_unique<TVirtualKeymap>();
    const int Fd = KeymapFile(FKeymap->Text());
    if (Fd < 0) throw TError("Wayland: cannot hand the keymap over");
    FKeyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(FConn->VirtualKeyboard(), FConn->Seat());
    zwp_virtual_keyboard_v1_keymap(FKeyboard, KeymapFormatXkbV1, Fd, uint32_t(FKeymap->Text().size() + 1));
    close(Fd);
  } else {
    FMissing += std::string(FMissing.empty() ? "" : ", ") + "가상 키보드(zwp_virtual_keyboard_manager_v1) 없음";
  }
  if (!FPointer && !FKeyboard) throw TError("Wayland: " + FMissing);
  // A compositor that refuses us (a protocol error) says so now rather than at the first key.
  if (!FConn->Roundtrip()) throw TError("Wayland: the compositor refused the virtual input devices");
  VirtualScreen();
}

TWaylandInputInjector::~TWaylandInputInjector() {
  if (!FConn->Broken()) {
    for (uint32_t B : std::set<uint32_t>(FButtonsDown)) Button(B, false);
    for (uint32_t K : std::set<uint32_t>(FKeysDown)) Key(K, false);
  }
  if (FPointer) zwlr_virtual_pointer_v1_destroy(FPointer);
  if (FKeyboard) zwp_virtual_keyboard_v1_destroy(FKeyboard);
  FConn->Roundtrip(500);
}

TVirtualScreen TWaylandInputInjector::VirtualScreen() {
  FConn->Poll();
  const TPixelRect R = FConn->LayoutRect();
  FVirt = TVirtualScreen{R.Left, R.Top, R.Width(), R.Height()};
  return FVirt;
}

void TWaylandInputInjector::SendMouse(const TMouseInput& AInput) {
  if (!FPointer || FConn->Broken()) return;
  const uint32_t Time = WaylandTimeMs();
  if (AInput.Flags & MOUSEEVENTF_MOVE) {
    if (AInput.Flags & MOUSEEVENTF_ABSOLUTE) {
      if (FVirt.Width > 0 && FVirt.Height > 0) {
        // Positions outside the desktop are held at its edge, as the pointer would be.
        const int32_t X = std::clamp(PixelFromAbsolute(AInput.Dx, FVirt.Width), 0, FVirt.Width - 1);
        const int32_t Y = std::clamp(PixelFromAbsolute(AInput.Dy, FVirt.Height), 0, FVirt.Height - 1);
        zwlr_virtual_pointer_v1_motion_absolute(FPointer, Time, uint32_t(X), uint32_t(Y), uint32_t(FVirt.Width),
                                                uint32_t(FVirt.Height));
      }
    } else {
      // Held to what a fixed-point value can carry.
      const int32_t Dx = std::clamp(AInput.Dx, -65535, 65535), Dy = std::clamp(AInput.Dy, -65535, 65535);
      zwlr_virtual_pointer_v1_motion(FPointer, Time, wl_fixed_from_int(Dx), wl_fixed_from_int(Dy));
    }
    zwlr_virtual_pointer_v1_frame(FPointer);
  }
  if (AInput.Flags & MOUSEEVENTF_LEFTDOWN) Button(BTN_LEFT, true);
  if (AInput.Flags & MOUSEEVENTF_LEFTUP) Button(BTN_LEFT, false);
  if (AInput.Flags & MOUSEEVENTF_RIGHTDOWN) Button(BTN_RIGHT, true);
  if (AInput.Flags & MOUSEEVENTF_RIGHTUP) Button(BTN_RIGHT, false);
  if (AInput.Flags & MOUSEEVENTF_MIDDLEDOWN) Button(BTN_MIDDLE, true);
  if (AInput.Flags & MOUSEEVENTF_MIDDLEUP) Button(BTN_MIDDLE, false);
  if (AInput.Flags & MOUSEEVENTF_WHEEL) Wheel(AInput.MouseData);
  wl_display_flush(FConn->Display());
}

void TWaylandInputInjector::Button(uint32_t AButton, bool ADown) {
  zwlr_virtual_pointer_v1_button(FPointer, WaylandTimeMs(), AButton,
                                 ADown ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
  zwlr_virtual_pointer_v1_frame(FPointer);
  if (ADown)
    FButtonsDown.insert(AButton);
  else
    FButtonsDown.erase(AButton);
}

void TWaylandInputInjector::Wheel(int32_t ADelta) {
  // Whole notches only; a smooth-scrolling viewer's parts add up until one is complete.
  FWheelRemainder += ADelta;
  const int32_t Notches = FWheelRemainder / WHEEL_DELTA;
  FWheelRemainder -= Notches * WHEEL_DELTA;
  if (Notches == 0) return;
  // Away from the user is up, which Wayland counts negative.
  const uint32_t Time = WaylandTimeMs();
  zwlr_virtual_pointer_v1_axis_source(FPointer, WL_POINTER_AXIS_SOURCE_WHEEL);
  zwlr_virtual_pointer_v1_axis_discrete(FPointer, Time, WL_POINTER_AXIS_VERTICAL_SCROLL,
                                        wl_fixed_from_double(-Notches * NotchDistance), -Notches);
  zwlr_virtual_pointer_v1_frame(FPointer);
}

void TWaylandInputInjector::SendKey(const TKeyInput& AInput) {
  if (!FKeyboard || FConn->Broken()) return;
  const auto Code = FKeymap->KeyFor(AInput.Vk, AInput.Flags & KEYEVENTF_EXTENDEDKEY);
  if (!Code) return;  // a code we cannot express: dropped like a refused input
  Key(*Code, !(AInput.Flags & KEYEVENTF_KEYUP));
  wl_display_flush(FConn->Display());
}

void TWaylandInputInjector::Key(uint32_t AKey, bool ADown) {
  // A release of a key that is not down is still sent: a key stuck on the desktop is worse
  // than a stray release.
  zwp_virtual_keyboard_v1_key(FKeyboard, WaylandTimeMs(), AKey,
                              ADown ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
  // Only a change of the key's state moves the modifiers: an auto-repeated press or a stray
  // release must not press or release a modifier twice.
  const bool Changed = ADown ? FKeysDown.insert(AKey).second : FKeysDown.erase(AKey) > 0;
  TXkbModifiers Mods;
  if (Changed && FKeymap->Update(AKey, ADown, Mods))
    zwp_virtual_keyboard_v1_modifiers(FKeyboard, Mods.Depressed, Mods.Latched, Mods.Locked, Mods.Group);
}

}  // namespace tlm
