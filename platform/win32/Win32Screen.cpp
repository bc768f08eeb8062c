#include "platform/win32/Win32Screen.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

namespace tlm {

namespace {

TPixelRect RectOf(const RECT& ARect) { return {ARect.left, ARect.top, ARect.right, ARect.bottom}; }

TPixelRect VirtualScreenRect() {
  const int x = ::GetSystemMetrics(SM_XVIRTUALSCREEN);
  const int y = ::GetSystemMetrics(SM_YVIRTUALSCREEN);
  return {x, y, x + ::GetSystemMetrics(SM_CXVIRTUALSCREEN), y + ::GetSystemMetrics(SM_CYVIRTUALSCREEN)};
}

BOOL CALLBACK MonitorEnumCallback(HMONITOR AMonitor, HDC, LPRECT, LPARAM AList) {
  MONITORINFO info{};
  info.cbSize = sizeof info;  // 40 bytes
  if (::GetMonitorInfoW(AMonitor, &info)) {
    auto& list = *reinterpret_cast<std::vector<TMonitorInfoRec>*>(AList);
    list.push_back({RectOf(info.rcMonitor), (info.dwFlags & MONITORINFOF_PRIMARY) != 0});
  }
  return TRUE;  // a monitor that cannot be asked is skipped, the others still come
}

// A top-down 32-bit DIB section selected into its own memory DC: rows of BGRA bytes, which
// read as 0x00RRGGBB little-endian words, Width words apart.
class TDibSection {
public:
  TDibSection() : FDc(::CreateCompatibleDC(nullptr)) {}
  ~TDibSection() {
    Release();
    if (FDc) ::DeleteDC(FDc);
  }
  TDibSection(const TDibSection&) = delete;
  TDibSection& operator=(const TDibSection&) = delete;

  bool Ensure(int AWidth, int AHeight) {
    if (FBitmap && AWidth == FWidth && AHeight == FHeight) return true;
    Release();
    if (!FDc || AWidth <= 0 || AHeight <= 0) return false;
    BITMAPINFO bmi{};
    bmi.bmiHeader.biSize = sizeof bmi.bmiHeader;
    bmi.bmiHeader.biWidth = AWidth;
    bmi.bmiHeader.biHeight = -AHeight;  // top-down
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    bmi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    FBitmap = ::CreateDIBSection(FDc, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!FBitmap || !bits) {
      Release();
      return false;
    }
    FOld = ::SelectObject(FDc, FBitmap);
    FBits = static_cast<uint32_t*>(bits);
    FWidth = AWidth;
    FHeight = AHeight;
    return true;
  }

  HDC Dc() const { return FDc; }
  uint32_t* Bits() const { return FBits; }
  int Width() const { return FWidth; }
  int Height() const { return FHeight; }

private:
  void Release() {
    if (FBitmap) {
      ::SelectObject(FDc, FOld);
      ::DeleteObject(FBitmap);
    }
    FBitmap = nullptr;
    FBits = nullptr;
    FWidth = FHeight = 0;
  }

  HDC FDc = nullptr;
  HBITMAP FBitmap = nullptr;
  HGDIOBJ FOld = nullptr;
  uint32_t* FBits = nullptr;
  int FWidth = 0;
  int FHeight = 0;
};

}  // namespace

struct TWin32Screen::TImpl {
  TDibSection Picture;  // the last grab, lent to the caller
  TDibSection OnBlack;  // the cursor drawn on black and on white gives its colour and alpha
  TDibSection OnWhite;
  TPixelRect LastLayout;
  size_t LastMonitorCount = 0;
  bool LayoutKnown = false;

  // The screen's pixels of ARect into Picture; false if GDI refused.
  bool Blit(const TPixelRect& ARect) {
    if (!Picture.Ensure(ARect.Width(), ARect.Height())) return false;
    HDC screen = ::GetDC(nullptr);
    if (!screen) return false;
    const BOOL ok = ::BitBlt(Picture.Dc(), 0, 0, ARect.Width(), ARect.Height(), screen, ARect.Left, ARect.Top,
                             SRCCOPY | CAPTUREBLT);
    ::ReleaseDC(nullptr, screen);
    return ok != 0;
  }
};

TWin32Screen::TWin32Screen() : FImpl(std::make_unique<TImpl>()) {}

TWin32Screen::~TWin32Screen() = default;

std::vector<TMonitorInfoRec> TWin32Screen::EnumMonitors() {
  std::lock_guard<std::mutex> hold(FLock);
  std::vector<TMonitorInfoRec> list;
  ::EnumDisplayMonitors(nullptr, nullptr, MonitorEnumCallback, reinterpret_cast<LPARAM>(&list));
  return list;
}

TPixelRect TWin32Screen::ScreenRect() {
  return {0, 0, ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN)};
}

bool TWin32Screen::Grab(const TPixelRect& ARect, TPixelView& AView) {
  std::lock_guard<std::mutex> hold(FLock);
  if (ARect.Empty() || IntersectRect(ARect, VirtualScreenRect()) != ARect) return false;
  if (!FImpl->Blit(ARect)) return false;
  ::GdiFlush();  // the DIB's bits are read directly: GDI's batch must be done
  AView.Pixels = FImpl->Picture.Bits();
  AView.Stride = size_t(FImpl->Picture.Width());
  return true;
}

bool TWin32Screen::CopyRect(const TPixelRect& ARect, uint32_t* ADst, size_t AStride) {
  std::lock_guard<std::mutex> hold(FLock);
  const TPixelRect part = IntersectRect(ARect, VirtualScreenRect());
  if (part.Empty() || !FImpl->Blit(part)) return false;
  ::GdiFlush();
  const uint32_t* src = FImpl->Picture.Bits();
  for (int y = 0; y < part.Height(); ++y) {
    uint32_t* dst = ADst + size_t(part.Top - ARect.Top + y) * AStride + size_t(part.Left - ARect.Left);
    std::memcpy(dst, src + size_t(y) * size_t(part.Width()), size_t(part.Width()) * 4);
  }
  return true;
}

bool TWin32Screen::GetCursor(TCursorImage& ACursor) {
  std::lock_guard<std::mutex> hold(FLock);
  CURSORINFO info{};
  info.cbSize = sizeof info;  // 24 on 64-bit Windows
  if (!::GetCursorInfo(&info) || info.flags != CURSOR_SHOWING || !info.hCursor) return false;
  ICONINFO icon{};
  if (!::GetIconInfo(info.hCursor, &icon)) return false;
  BITMAP mask{};
  int width = 0, height = 0;
  if (icon.hbmColor && ::GetObjectW(icon.hbmColor, sizeof mask, &mask)) {
    width = mask.bmWidth;
    height = mask.bmHeight;
  } else if (icon.hbmMask && ::GetObjectW(icon.hbmMask, sizeof mask, &mask)) {
    width = mask.bmWidth;
    height = icon.hbmColor ? mask.bmHeight : mask.bmHeight / 2;  // a monochrome cursor stacks AND over XOR
  }
  const int hotX = int(icon.xHotspot), hotY = int(icon.yHotspot);
  if (icon.hbmMask) ::DeleteObject(icon.hbmMask);
  if (icon.hbmColor) ::DeleteObject(icon.hbmColor);
  if (width <= 0 || height <= 0 || width > 256 || height > 256) return false;

  // Drawn once on black and once on white: where both agree the pixel is opaque, where they
  // differ by d the cursor lets 255 - d through; on black the colour is already premultiplied.
  TImpl& s = *FImpl;
  if (!s.OnBlack.Ensure(width, height) || !s.OnWhite.Ensure(width, height)) return false;
  const size_t count = size_t(width) * size_t(height);
  std::fill_n(s.OnBlack.Bits(), count, 0x00000000u);
  std::fill_n(s.OnWhite.Bits(), count, 0x00FFFFFFu);
  ::DrawIconEx(s.OnBlack.Dc(), 0, 0, info.hCursor, 0, 0, 0, nullptr, DI_NORMAL);
  ::DrawIconEx(s.OnWhite.Dc(), 0, 0, info.hCursor, 0, 0, 0, nullptr, DI_NORMAL);
  ::GdiFlush();
  ACursor.X = info.ptScreenPos.x;
  ACursor.Y = info.ptScreenPos.y;
  ACursor.HotX = hotX;
  ACursor.HotY = hotY;
  ACursor.Width = width;
  ACursor.Height = height;
  ACursor.Pixels.resize(count);
  for (size_t i = 0; i < count; ++i) {
    const uint32_t b = s.OnBlack.Bits()[i], w = s.OnWhite.Bits()[i];
    uint32_t out = 0;
    int alpha = 0;
    for (int shift = 0; shift < 24; shift += 8) {
      const int cb = int((b >> shift) & 0xFF), cw = int((w >> shift) & 0xFF);
      alpha = std::max(alpha, 255 - std::clamp(cw - cb, 0, 255));
      out |= uint32_t(cb) << shift;
    }
    ACursor.Pixels[i] = out | (uint32_t(alpha) << 24);
  }
  return true;
}

bool TWin32Screen::TakeLayoutChange() {
  std::lock_guard<std::mutex> hold(FLock);
  // No window receives WM_DISPLAYCHANGE here, so the layout is compared instead: four metrics
  // and the monitor count are cheap to read before every capture.
  const TPixelRect layout = VirtualScreenRect();
  const size_t monitors = size_t(::GetSystemMetrics(SM_CMONITORS));
  const bool changed = FImpl->LayoutKnown && (layout != FImpl->LastLayout || monitors != FImpl->LastMonitorCount);
  FImpl->LastLayout = layout;
  FImpl->LastMonitorCount = monitors;
  FImpl->LayoutKnown = true;
  return changed;
}

std::unique_ptr<IScreen> CreateSystemScreen() { return std::make_unique<TWin32Screen>(); }

}  // namespace tlm
