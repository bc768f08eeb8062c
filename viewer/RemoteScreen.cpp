#include "viewer/RemoteScreen.h"

#include <algorithm>
#include <cstring>

#include "protocol/Error.h"
#include "protocol/Frame.h"

namespace tlm {

namespace {
constexpr uint32_t Black = 0xFF000000u;
}

TRemoteScreen::EApply TRemoteScreen::Apply(std::span<const uint8_t> APayload) {
  TParsedFrame frame;
  if (!ParseFramePayload(APayload, frame)) return EApply::Unparseable;
  if (frame.ScreenW > MaxRemoteScreenSide || frame.ScreenH > MaxRemoteScreenSide ||
      int64_t(frame.ScreenW) * frame.ScreenH > MaxRemoteScreenPixels)
    return EApply::Unparseable;

  // Every header is looked at before anything is drawn, so a refused frame leaves the picture
  // as it was. A header that cannot be read is left to the decoding, which reports it.
  for (const TParsedRect& rect : frame.Rects) {
    if (rect.Jpeg.empty()) continue;
    int w = 0, h = 0;
    if (!FDecoder.PeekSize(rect.Jpeg, w, h)) continue;
    if (w > rect.W || h > rect.H || w > frame.ScreenW || h > frame.ScreenH) return EApply::Refused;
  }

  if (frame.ScreenW != FWidth.load() || frame.ScreenH != FHeight.load()) Resize(frame.ScreenW, frame.ScreenH);

  // Decode without the lock; copy in under it whenever a screen's worth has piled up.
  const int64_t flushAt = std::max<int64_t>(int64_t(frame.ScreenW) * frame.ScreenH, 1);
  std::vector<TDecoded> ready;
  int64_t readyPixels = 0;
  try {
    for (const TParsedRect& rect : frame.Rects) {
      if (rect.Jpeg.empty()) continue;
      int w = 0, h = 0;
      if (!FDecoder.PeekSize(rect.Jpeg, w, h)) throw TError("JPEG tile: unreadable header");
      TDecoded tile{rect.X, rect.Y, w, h, {}};
      tile.Pixels.assign(size_t(w) * size_t(h), Black);
      TPixelTarget target;
      target.Bits = reinterpret_cast<uint8_t*>(tile.Pixels.data());
      target.Width = w;
      target.Height = h;
      target.Stride = ptrdiff_t(w) * 4;
      FDecoder.DrawInto(rect.Jpeg, target, 0, 0);
      readyPixels += int64_t(w) * h;
      ready.push_back(std::move(tile));
      if (readyPixels >= flushAt) {
        Blit(ready);
        readyPixels = 0;
      }
    }
  } catch (...) {
    Blit(ready);  // what was decoded before the bad tile stays drawn
    throw;
  }
  Blit(ready);
  return EApply::Drawn;
}

void TRemoteScreen::Resize(int AWidth, int AHeight) {
  std::vector<uint32_t> pixels;
  if (AWidth > 0 && AHeight > 0) pixels.assign(size_t(AWidth) * size_t(AHeight), Black);
  std::lock_guard hold(FLock);
  FPixels.swap(pixels);
  FWidth.store(AWidth > 0 && AHeight > 0 ? AWidth : 0);
  FHeight.store(AWidth > 0 && AHeight > 0 ? AHeight : 0);
  // The old buffer is freed after the lock is released, when `pixels` goes out of scope.
}

void TRemoteScreen::Blit(std::vector<TDecoded>& ATiles) {
  if (ATiles.empty()) return;
  {
    std::lock_guard hold(FLock);
    const int sw = FWidth.load();
    const int sh = FHeight.load();
    for (const TDecoded& tile : ATiles) {
      // Clipped at the screen's edges.
      const int x0 = std::max(tile.X, 0), x1 = std::min(tile.X + tile.W, sw);
      const int y0 = std::max(tile.Y, 0), y1 = std::min(tile.Y + tile.H, sh);
      if (x1 <= x0 || y1 <= y0) continue;
      for (int y = y0; y < y1; ++y)
        std::memcpy(&FPixels[size_t(y) * size_t(sw) + size_t(x0)],
                    &tile.Pixels[size_t(y - tile.Y) * size_t(tile.W) + size_t(x0 - tile.X)], size_t(x1 - x0) * 4);
    }
  }
  ATiles.clear();
}

void TRemoteScreen::Read(const std::function<void(const TView& AView)>& AProc) const {
  std::lock_guard hold(FLock);
  TView view;
  if (!FPixels.empty()) {
    view.Bits = reinterpret_cast<const uint8_t*>(FPixels.data());
    view.Width = FWidth.load();
    view.Height = FHeight.load();
    view.Stride = ptrdiff_t(view.Width) * 4;
  }
  AProc(view);
}

}  // namespace tlm
