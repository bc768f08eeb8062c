#include "platform/fake/FakeScreen.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace tlm {

TFakeScreen::TFakeScreen(const TPixelRect& ADesktop, uint32_t AColor)
    : FDesktop(ADesktop),
      FPixels(size_t(std::max(ADesktop.Width(), 0)) * size_t(std::max(ADesktop.Height(), 0)), AColor),
      FMonitors{TMonitorInfoRec{ADesktop, true}},
      FScreenRect(ADesktop) {}

void TFakeScreen::SetMonitors(std::vector<TMonitorInfoRec> AMonitors) {
  std::lock_guard Lock(FLock);
  FMonitors = std::move(AMonitors);
  FLayoutChanged = true;
}

void TFakeScreen::SetScreenRect(const TPixelRect& ARect) {
  std::lock_guard Lock(FLock);
  FScreenRect = ARect;
  FLayoutChanged = true;
}

void TFakeScreen::SetDesktop(const TPixelRect& ADesktop, uint32_t AColor) {
  std::lock_guard Lock(FLock);
  FDesktop = ADesktop;
  FPixels.assign(size_t(std::max(ADesktop.Width(), 0)) * size_t(std::max(ADesktop.Height(), 0)), AColor);
  FMonitors = {TMonitorInfoRec{ADesktop, true}};
  FScreenRect = ADesktop;
  FLayoutChanged = true;
}

void TFakeScreen::Fill(const TPixelRect& ARect, uint32_t AColor) {
  std::lock_guard Lock(FLock);
  const TPixelRect R = IntersectRect(ARect, FDesktop);
  if (R.Empty()) return;
  for (int32_t Y = R.Top; Y < R.Bottom; ++Y) std::fill_n(At(R.Left, Y), R.Width(), AColor);
}

void TFakeScreen::SetPixel(int32_t AX, int32_t AY, uint32_t AColor) {
  Fill(TPixelRect{AX, AY, AX + 1, AY + 1}, AColor);
}

uint32_t TFakeScreen::Pixel(int32_t AX, int32_t AY) const {
  std::lock_guard Lock(FLock);
  if (AX < FDesktop.Left || AX >= FDesktop.Right || AY < FDesktop.Top || AY >= FDesktop.Bottom) return 0;
  return FPixels[size_t(AY - FDesktop.Top) * size_t(FDesktop.Width()) + size_t(AX - FDesktop.Left)];
}

void TFakeScreen::Blit(int32_t AX, int32_t AY, int32_t AWidth, int32_t AHeight, const uint32_t* APixels) {
  std::lock_guard Lock(FLock);
  const TPixelRect R = IntersectRect(TPixelRect{AX, AY, AX + AWidth, AY + AHeight}, FDesktop);
  if (R.Empty()) return;
  for (int32_t Y = R.Top; Y < R.Bottom; ++Y) {
    const uint32_t* Src = APixels + size_t(Y - AY) * size_t(AWidth) + size_t(R.Left - AX);
    std::memcpy(At(R.Left, Y), Src, size_t(R.Width()) * 4);
  }
}

void TFakeScreen::SetCursorImage(int32_t AWidth, int32_t AHeight, int32_t AHotX, int32_t AHotY,
                                 std::vector<uint32_t> APremultipliedArgb) {
  std::lock_guard Lock(FLock);
  FCursor.Width = AWidth;
  FCursor.Height = AHeight;
  FCursor.HotX = AHotX;
  FCursor.HotY = AHotY;
  FCursor.Pixels = std::move(APremultipliedArgb);
  FCursor.Pixels.resize(size_t(std::max(AWidth, 0)) * size_t(std::max(AHeight, 0)));
}

void TFakeScreen::MoveCursor(int32_t AX, int32_t AY) {
  std::lock_guard Lock(FLock);
  FCursor.X = AX;
  FCursor.Y = AY;
}

void TFakeScreen::ShowCursor(bool AVisible) {
  std::lock_guard Lock(FLock);
  FCursorVisible = AVisible;
}

void TFakeScreen::SetCopyFails(bool AFails) {
  std::lock_guard Lock(FLock);
  FCopyFails = AFails;
}

int TFakeScreen::CopyCount() const {
  std::lock_guard Lock(FLock);
  return FCopyCount;
}

// A lent picture is good until the borrower's next call: after that it holds rubbish, so a
// borrower that keeps using it shows in its output.
void TFakeScreen::SpoilLent() { std::fill(FLent.begin(), FLent.end(), 0xDEADBEEFu); }

std::vector<TMonitorInfoRec> TFakeScreen::EnumMonitors() {
  std::lock_guard Lock(FLock);
  SpoilLent();
  return FMonitors;
}

TPixelRect TFakeScreen::ScreenRect() {
  std::lock_guard Lock(FLock);
  SpoilLent();
  return FScreenRect;
}

void TFakeScreen::SetCopyHook(std::function<void()> AHook) {
  std::lock_guard Lock(FLock);
  FCopyHook = std::move(AHook);
}

void TFakeScreen::SetLendsPictures(bool ALends) {
  std::lock_guard Lock(FLock);
  FLends = ALends;
}

void TFakeScreen::RunCopyHook() {
  std::function<void()> Hook;
  {
    std::lock_guard Lock(FLock);
    Hook = FCopyHook;
  }
  if (Hook) Hook();
}

bool TFakeScreen::Grab(const TPixelRect& ARect, TPixelView& AView) {
  RunCopyHook();
  std::lock_guard Lock(FLock);
  SpoilLent();
  ++FCopyCount;
  if (FCopyFails || !FLends || ARect.Empty() || IntersectRect(ARect, FDesktop) != ARect) return false;
  // Rows a little longer than the rectangle, so a borrower that ignores the stride shows.
  const size_t Stride = size_t(ARect.Width()) + 3;
  FLent.resize(Stride * size_t(ARect.Height()));
  for (int32_t Y = ARect.Top; Y < ARect.Bottom; ++Y)
    std::memcpy(&FLent[size_t(Y - ARect.Top) * Stride], At(ARect.Left, Y), size_t(ARect.Width()) * 4);
  AView.Pixels = FLent.data();
  AView.Stride = Stride;
  return true;
}

bool TFakeScreen::TakeLayoutChange() {
  std::lock_guard Lock(FLock);
  SpoilLent();
  return std::exchange(FLayoutChanged, false);
}

bool TFakeScreen::CopyRect(const TPixelRect& ARect, uint32_t* ADst, size_t AStride) {
  RunCopyHook();
  std::lock_guard Lock(FLock);
  SpoilLent();
  ++FCopyCount;
  if (FCopyFails) return false;
  const TPixelRect R = IntersectRect(ARect, FDesktop);
  if (R.Empty()) return false;
  for (int32_t Y = R.Top; Y < R.Bottom; ++Y) {
    uint32_t* Dst = ADst + size_t(Y - ARect.Top) * AStride + size_t(R.Left - ARect.Left);
    std::memcpy(Dst, At(R.Left, Y), size_t(R.Width()) * 4);
  }
  return true;
}

bool TFakeScreen::GetCursor(TCursorImage& ACursor) {
  std::lock_guard Lock(FLock);
  SpoilLent();
  if (!FCursorVisible || FCursor.Pixels.empty()) return false;
  ACursor = FCursor;
  return true;
}

}  // namespace tlm
