// The screen as the capturer sees it: the monitor layout, the pixels of any rectangle of the
// desktop and the visible mouse cursor. Coordinates are virtual-screen pixels: the whole desktop
// spanning all monitors, (0, 0) at the top-left of the primary screen area, right/bottom exclusive.
//
// Threading: an IScreen is used by one thread at a time, but not always the same one. The host
// agent creates its capturer (and so the screen) on the user-interface thread, refreshes the
// monitor list on its reader thread at session start, and captures on the session's capture
// thread; these hand over to each other (thread start and join), they never overlap. The
// implementations here still serialise their calls internally, so an overlapping call is merely
// slower, never unsafe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tlm {

// A rectangle in pixels; Right and Bottom are exclusive.
struct TPixelRect {
  int32_t Left = 0;
  int32_t Top = 0;
  int32_t Right = 0;
  int32_t Bottom = 0;

  int32_t Width() const { return Right - Left; }
  int32_t Height() const { return Bottom - Top; }
  bool Empty() const { return Right <= Left || Bottom <= Top; }
  bool operator==(const TPixelRect&) const = default;
};

// The overlap of two rectangles (empty, with Right <= Left or Bottom <= Top, when they miss).
TPixelRect IntersectRect(const TPixelRect& A, const TPixelRect& B);

// One monitor as the system reports it.
struct TMonitorInfoRec {
  TPixelRect Bounds;
  bool Primary = false;
  bool operator==(const TMonitorInfoRec&) const = default;
};

// The visible cursor. Pixels are Width x Height words 0xAARRGGBB with premultiplied alpha;
// (X, Y) is the pointer position in virtual-screen coordinates and (HotX, HotY) the point of
// the image that sits on it, so the image's top-left lands at (X - HotX, Y - HotY).
struct TCursorImage {
  int32_t X = 0;
  int32_t Y = 0;
  int32_t HotX = 0;
  int32_t HotY = 0;
  int32_t Width = 0;
  int32_t Height = 0;
  std::vector<uint32_t> Pixels;
};

// A picture a screen holds and lends out: rows of 0x00RRGGBB words (as CopyRect writes them),
// Stride words apart.
struct TPixelView {
  uint32_t* Pixels = nullptr;
  size_t Stride = 0;
};

class IScreen {
public:
  virtual ~IScreen() = default;

  // Monitors in the system's enumeration order; empty when the system reports none (the caller
  // then falls back to ScreenRect).
  virtual std::vector<TMonitorInfoRec> EnumMonitors() = 0;

  // Size of the primary screen area starting at (0, 0): the capture area when no monitor is known.
  virtual TPixelRect ScreenRect() = 0;

  // Copies ARect of the desktop into ADst, a picture of ARect.Width() x ARect.Height() words
  // 0x00RRGGBB (blue in the lowest byte, fourth byte arbitrary) whose rows are AStride words
  // apart; pixel (Left, Top) goes to ADst[0]. Parts of ARect outside the desktop are left as
  // they were. Returns false when nothing could be copied (no display, server error).
  virtual bool CopyRect(const TPixelRect& ARect, uint32_t* ADst, size_t AStride) = 0;

  // The cursor image and position; false when no cursor is shown (hidden, or unknown).
  virtual bool GetCursor(TCursorImage& ACursor) = 0;

  // Captures ARect into a picture the screen holds and lends it, pixel (Left, Top) at
  // AView.Pixels: no copy beyond the one from the system. The borrower may paint into it and
  // read it, also from helper threads, until its next call on this screen. False when the
  // screen cannot lend a picture of ARect (not wholly on the desktop, pixels in another layout,
  // the copy failed); the caller then uses CopyRect. The default lends nothing.
  virtual bool Grab(const TPixelRect& ARect, TPixelView& AView) {
    (void)ARect;
    (void)AView;
    return false;
  }

  // True once after the system reported that the screen's size or monitor layout may have
  // changed (or the screen had to reconnect), so the caller reads EnumMonitors and ScreenRect
  // again. Cheap enough to ask before every capture. The default never tells.
  virtual bool TakeLayoutChange() { return false; }
};

// The screen of the session this program runs in (X11 on this build). Never throws for a missing
// display: it then reports no monitors, an empty screen and failed copies, and tries to connect
// again on later calls.
std::unique_ptr<IScreen> CreateSystemScreen();

}  // namespace tlm
