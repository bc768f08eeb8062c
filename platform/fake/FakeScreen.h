// An in-memory desktop for tests: a picture the test paints, a monitor layout it chooses and a
// cursor it places. Every member locks one mutex, so a test may paint while another thread (a
// capture loop under test) copies.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/Screen.h"

namespace tlm {

class TFakeScreen : public IScreen {
public:
  // A desktop covering ADesktop (virtual-screen coordinates), filled with AColor, reported as one
  // primary monitor covering it and as the screen rectangle.
  explicit TFakeScreen(const TPixelRect& ADesktop, uint32_t AColor = 0);
  TFakeScreen(int AWidth, int AHeight, uint32_t AColor = 0)
      : TFakeScreen(TPixelRect{0, 0, AWidth, AHeight}, AColor) {}

  // Layout the next EnumMonitors reports (may be empty); does not change the desktop's pixels.
  // Like the two below, it counts as a layout change for TakeLayoutChange.
  void SetMonitors(std::vector<TMonitorInfoRec> AMonitors);
  void SetScreenRect(const TPixelRect& ARect);
  // A new desktop of ADesktop filled with AColor, one primary monitor and the screen rectangle
  // covering it (the screen changed its size).
  void SetDesktop(const TPixelRect& ADesktop, uint32_t AColor = 0);

  // Painting, in virtual-screen coordinates, clipped to the desktop.
  void Fill(const TPixelRect& ARect, uint32_t AColor);
  void SetPixel(int32_t AX, int32_t AY, uint32_t AColor);
  uint32_t Pixel(int32_t AX, int32_t AY) const;
  // Copies a AWidth x AHeight picture (rows AWidth words apart) to (AX, AY).
  void Blit(int32_t AX, int32_t AY, int32_t AWidth, int32_t AHeight, const uint32_t* APixels);

  // The cursor: an image with its hotspot, placed at a position; hidden until shown.
  void SetCursorImage(int32_t AWidth, int32_t AHeight, int32_t AHotX, int32_t AHotY,
                      std::vector<uint32_t> APremultipliedArgb);
  void MoveCursor(int32_t AX, int32_t AY);
  void ShowCursor(bool AVisible);

  // When set, CopyRect and Grab copy nothing and answer false (a lost display).
  void SetCopyFails(bool AFails);
  // When set, Grab lends a picture of its own (a snapshot of the rectangle, as a system screen
  // lends its shared image, spoilt by the next call); otherwise Grab refuses, as a screen that
  // cannot lend.
  void SetLendsPictures(bool ALends);
  // Number of CopyRect and Grab calls so far.
  int CopyCount() const;
  // Called at the start of every CopyRect and Grab, on the copying thread and outside the
  // screen's lock (so it may paint): lets a test act in the middle of a capture. Empty to remove.
  void SetCopyHook(std::function<void()> AHook);

  std::vector<TMonitorInfoRec> EnumMonitors() override;
  TPixelRect ScreenRect() override;
  bool CopyRect(const TPixelRect& ARect, uint32_t* ADst, size_t AStride) override;
  bool GetCursor(TCursorImage& ACursor) override;
  bool Grab(const TPixelRect& ARect, TPixelView& AView) override;
  bool TakeLayoutChange() override;

private:
  void RunCopyHook();
  void SpoilLent();

  uint32_t* At(int32_t AX, int32_t AY) {
    return &FPixels[size_t(AY - FDesktop.Top) * size_t(FDesktop.Width()) + size_t(AX - FDesktop.Left)];
  }

  mutable std::mutex FLock;
  TPixelRect FDesktop;
  std::vector<uint32_t> FPixels;
  std::vector<TMonitorInfoRec> FMonitors;
  TPixelRect FScreenRect;
  TCursorImage FCursor;
  bool FCursorVisible = false;
  bool FCopyFails = false;
  bool FLends = false;
  bool FLayoutChanged = false;
  std::vector<uint32_t> FLent;
  int FCopyCount = 0;
  std::function<void()> FCopyHook;
};

}  // namespace tlm
