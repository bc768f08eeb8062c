// Synthetic input for the host: one call per input record, in the shape of the Windows
// SendInput records the host builds from the viewer's mouse and key messages.
//
// Contract of IInputInjector:
// - The host agent calls SendMouse / SendKey only on its reader thread, one record at a time
//   and in arrival order; an implementation delivers them to the desktop in that order.
//   VirtualScreen() is called on the same thread (once when the reader starts, or again after
//   a layout change). No method is called concurrently with another one.
// - Injection failures are not reported: a record the desktop refuses is lost. Only the
//   factory raises (TError) when no desktop can be reached.
// - Absolute mouse positions (MOUSEEVENTF_ABSOLUTE) are 0..65535 over the rectangle that
//   VirtualScreen() last returned, normalised as AbsoluteFromPixel does; an implementation
//   maps them back with PixelFromAbsolute, so every pixel comes back exactly.
// - Keys are identified by their virtual-key code (plus the extended flag, which picks the
//   right-hand or keypad variant); the scan code is carried along for backends that want it.
// - Destroying an injector releases the buttons and keys it still holds down and undoes any
//   change it made to the desktop's keyboard mapping.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace tlm {

// Flags of TMouseInput::Flags (same values as the Windows MOUSEEVENTF_* flags).
constexpr uint32_t MOUSEEVENTF_MOVE = 0x0001;
constexpr uint32_t MOUSEEVENTF_LEFTDOWN = 0x0002;
constexpr uint32_t MOUSEEVENTF_LEFTUP = 0x0004;
constexpr uint32_t MOUSEEVENTF_RIGHTDOWN = 0x0008;
constexpr uint32_t MOUSEEVENTF_RIGHTUP = 0x0010;
constexpr uint32_t MOUSEEVENTF_MIDDLEDOWN = 0x0020;
constexpr uint32_t MOUSEEVENTF_MIDDLEUP = 0x0040;
constexpr uint32_t MOUSEEVENTF_WHEEL = 0x0800;
constexpr uint32_t MOUSEEVENTF_VIRTUALDESK = 0x4000;
constexpr uint32_t MOUSEEVENTF_ABSOLUTE = 0x8000;

// Flags of TKeyInput::Flags (same values as the Windows KEYEVENTF_* flags).
constexpr uint32_t KEYEVENTF_EXTENDEDKEY = 0x0001;
constexpr uint32_t KEYEVENTF_KEYUP = 0x0002;

// One wheel notch.
constexpr int32_t WHEEL_DELTA = 120;

struct TMouseInput {
  int32_t Dx = 0;         // absolute 0..65535 with MOUSEEVENTF_ABSOLUTE, else relative pixels
  int32_t Dy = 0;
  int32_t MouseData = 0;  // wheel: signed delta, multiples of WHEEL_DELTA, positive away from the user
  uint32_t Flags = 0;
  bool operator==(const TMouseInput&) const = default;
};

struct TKeyInput {
  uint16_t Vk = 0;    // Windows virtual-key code
  uint16_t Scan = 0;  // set-1 scan code as the viewer's platform gave it
  uint32_t Flags = 0;
  bool operator==(const TKeyInput&) const = default;
};

// The virtual desktop: the bounding rectangle of all monitors, in desktop pixels.
struct TVirtualScreen {
  int32_t Left = 0;
  int32_t Top = 0;
  int32_t Width = 0;
  int32_t Height = 0;
  bool operator==(const TVirtualScreen&) const = default;
};

class IInputInjector {
public:
  virtual ~IInputInjector() = default;
  virtual TVirtualScreen VirtualScreen() = 0;
  virtual void SendMouse(const TMouseInput& AInput) = 0;
  virtual void SendKey(const TKeyInput& AInput) = 0;
};

// The desktop's injector. ADisplay names the X display; empty means $DISPLAY.
// Raises TError when the display cannot be opened or lacks the XTEST extension.
std::unique_ptr<IInputInjector> CreateSystemInjector(const std::string& ADisplay = {});

// Windows MulDiv: AValue * ANumerator / ADenominator with a 64-bit intermediate, rounded to
// the nearest integer, halves away from zero; -1 when ADenominator is 0 or the result
// does not fit in 32 bits.
int32_t MulDiv(int32_t AValue, int32_t ANumerator, int32_t ADenominator);

// The host's normalisation of one axis: APixel is the position relative to the virtual
// desktop's origin, AExtent its width (or height). Extents of 1 or less give 0.
// No clamping: positions outside the desktop give values outside 0..65535.
int32_t AbsoluteFromPixel(int32_t APixel, int32_t AExtent);

// The inverse: the pixel offset (from the desktop's origin) that AbsoluteFromPixel turned
// into AAbsolute. Exact for every pixel of extents up to 65536; extents of 1 or less give 0.
int32_t PixelFromAbsolute(int32_t AAbsolute, int32_t AExtent);

}  // namespace tlm
