#include "viewer/RemoteScreen.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "protocol/Error.h"
#include "protocol/Frame.h"
#include "protocol/PaletteTile.h"

namespace tlm {

namespace {
constexpr uint32_t Black = 0xFF000000u;
}

TRemoteScreen::TRemoteScreen(int ADecodeThreads) : FTeam(ADecodeThreads) {}

TRemoteScreen::EApply TRemoteScreen::Apply(std::span<const uint8_t> APayload) {
  TParsedFrame frame;
  if (!ParseFramePayload(APayload, frame)) return EApply::Unparseable;
  if (frame.ScreenW > MaxRemoteScreenSide || frame.ScreenH > MaxRemoteScreenSide ||
      int64_t(frame.ScreenW) * frame.ScreenH > MaxRemoteScreenPixels)
    return EApply::Unparseable;

  // Every header is looked at before anything is drawn, so a refused frame leaves the picture
  // as it was. A header that cannot be read is left to the decoding, which reports it.
  struct TSize {
    int W = 0, H = 0;
    bool Read = false;
  };
  std::vector<TSize> sizes(frame.Rects.size());
  for (size_t i = 0; i < frame.Rects.size(); ++i) {
    const TParsedRect& rect = frame.Rects[i];
    TSize& size = sizes[i];
    // A palette tile is its rectangle's size.
    if (IsPaletteTile(rect.Jpeg)) {
      if (!PeekPaletteTile(rect.Jpeg, rect.W, rect.H)) continue;
      size.W = rect.W;
      size.H = rect.H;
    } else
    if (rect.Jpeg.empty() || !FDecoder.PeekSize(rect.Jpeg, size.W, size.H)) continue;
    if (size.W > rect.W || size.H > rect.H || size.W > frame.ScreenW || size.H > frame.ScreenH) return EApply::Refused;
    size.Read = true;
  }

  if (frame.ScreenW != FWidth.load() || frame.ScreenH != FHeight.load()) Resize(frame.ScreenW, frame.ScreenH);

  // Decode without the lock, a screen's worth of tiles at a time side by side; copy them in, in
  // the frame's order, under it.
  const int64_t flushAt = std::max<int64_t>(int64_t(frame.ScreenW) * frame.ScreenH, 1);
  std::vector<TDecodedTile> batch;
  int64_t batchPixels = 0;
  for (size_t i = 0; i < frame.Rects.size(); ++i) {
    const TParsedRect& rect = frame.Rects[i];
    if (rect.Jpeg.empty()) continue;
    const TSize& size = sizes[i];
    const bool cancelled = FCancelled.load();
    if (cancelled || !size.Read) {
      DecodeAndBlit(batch);  // what comes before this tile stays drawn
      throw TError(cancelled ? "frame decoding cancelled" : "tile: unreadable header");
    }
    batch.push_back(TDecodedTile{rect.X, rect.Y, size.W, size.H, rect.Jpeg, {}, {}});
    batchPixels += int64_t(size.W) * size.H;
    if (batchPixels >= flushAt) {
      DecodeAndBlit(batch);
      batchPixels = 0;
    }
  }
  DecodeAndBlit(batch);
  return EApply::Drawn;
}

// Decodes the batch and copies in the tiles before the first that failed, then raises that
// failure: the same picture as decoding and drawing one tile after the other.
void TRemoteScreen::DecodeAndBlit(std::vector<TDecodedTile>& ABatch) {
  if (ABatch.empty()) return;
  std::exception_ptr error;
  const size_t decoded = FTeam.DecodeAll(ABatch, error, &FCancelled);
  ABatch.resize(decoded);
  Blit(ABatch);
  if (error) std::rethrow_exception(error);
}

void TRemoteScreen::Resize(int AWidth, int AHeight) {
  std::vector<uint32_t> pixels, half;
  if (AWidth > 0 && AHeight > 0) {
    pixels.assign(size_t(AWidth) * size_t(AHeight), Black);
    half.assign(size_t(AWidth / 2) * size_t(AHeight / 2), Black);
  }
  std::lock_guard hold(FLock);
  FPixels.swap(pixels);
  FHalf.swap(half);
  FWidth.store(AWidth > 0 && AHeight > 0 ? AWidth : 0);
  FHeight.store(AWidth > 0 && AHeight > 0 ? AHeight : 0);
  // The old buffer is freed after the lock is released, when `pixels` goes out of scope.
}

void TRemoteScreen::Blit(std::vector<TDecodedTile>& ATiles) {
  if (ATiles.empty()) return;
  {
    std::lock_guard hold(FLock);
    const int sw = FWidth.load();
    const int sh = FHeight.load();
    for (const TDecodedTile& tile : ATiles) {
      // Clipped at the screen's edges.
      const int x0 = std::max(tile.X, 0), x1 = std::min(tile.X + tile.W, sw);
      const int y0 = std::max(tile.Y, 0), y1 = std::min(tile.Y + tile.H, sh);
      if (x1 <= x0 || y1 <= y0) continue;
      for (int y = y0; y < y1; ++y)
        std::memcpy(&FPixels[size_t(y) * size_t(sw) + size_t(x0)],
                    &tile.Pixels[size_t(y - tile.Y) * size_t(tile.W) + size_t(x0 - tile.X)], size_t(x1 - x0) * 4);
    }
    // After every tile is in, in the frame's order: a tile that lines up with the half-size grid
    // brings its own half (it covers whole two-by-two blocks, so it holds their final pixels
    // unless a later tile overwrites them, which then writes them again); any other is halved
    // from the buffer.
    const int hw = sw / 2, hh = sh / 2;
    for (const TDecodedTile& tile : ATiles) {
      if (tile.Half.empty()) {
        UpdateHalf(tile.X, tile.Y, std::min(tile.X + tile.W, sw), std::min(tile.Y + tile.H, sh));
        continue;
      }
      const int hx0 = tile.X / 2, hy0 = tile.Y / 2;
      const int hx1 = std::min(hx0 + tile.W / 2, hw), hy1 = std::min(hy0 + tile.H / 2, hh);
      if (hx1 <= hx0) continue;
      for (int hy = hy0; hy < hy1; ++hy)
        std::memcpy(&FHalf[size_t(hy) * size_t(hw) + size_t(hx0)], &tile.Half[size_t(hy - hy0) * size_t(tile.W / 2)],
                    size_t(hx1 - hx0) * 4);
    }
  }
  ATiles.clear();
}

// Recomputes the half-size pixels that the full-size area AX0..AX1 x AY0..AY1 touches. FLock held.
void TRemoteScreen::UpdateHalf(int AX0, int AY0, int AX1, int AY1) {
  const int sw = FWidth.load(), hw = sw / 2, hh = FHeight.load() / 2;
  const int hx0 = AX0 / 2, hy0 = AY0 / 2;
  const int hx1 = std::min((AX1 + 1) / 2, hw), hy1 = std::min((AY1 + 1) / 2, hh);
  if (hx1 <= hx0 || hy1 <= hy0) return;
  HalvePixels(&FPixels[size_t(2 * hy0) * size_t(sw) + size_t(2 * hx0)], size_t(sw), hx1 - hx0, hy1 - hy0,
              &FHalf[size_t(hy0) * size_t(hw) + size_t(hx0)], size_t(hw));
}

void TRemoteScreen::ReadForArea(int AAreaW, int AAreaH, const std::function<void(const TView& AView)>& AProc) const {
  std::lock_guard hold(FLock);
  TView view;
  const int hw = FWidth.load() / 2, hh = FHeight.load() / 2;
  if (!FHalf.empty() && AAreaW <= hw && AAreaH <= hh) {
    view.Bits = reinterpret_cast<const uint8_t*>(FHalf.data());
    view.Width = hw;
    view.Height = hh;
    view.Stride = ptrdiff_t(hw) * 4;
  } else if (!FPixels.empty()) {
    view.Bits = reinterpret_cast<const uint8_t*>(FPixels.data());
    view.Width = FWidth.load();
    view.Height = FHeight.load();
    view.Stride = ptrdiff_t(view.Width) * 4;
  }
  AProc(view);
}

void TRemoteScreen::Read(const std::function<void(const TView& AView)>& AProc) const {
  ReadForArea(std::numeric_limits<int>::max(), std::numeric_limits<int>::max(), AProc);
}

}  // namespace tlm
