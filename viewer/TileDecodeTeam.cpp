#include "viewer/TileDecodeTeam.h"

#include <atomic>

#include "protocol/Error.h"
#include "protocol/PaletteTile.h"

namespace tlm {

namespace {
constexpr uint32_t Black = 0xFF000000u;
// Below this many pixels in a batch, waking helpers costs more than it saves.
constexpr size_t MinParallelPixels = 2 * 160 * 160;
}  // namespace

void HalvePixels(const uint32_t* ASrc, size_t ASrcStride, int AOutW, int AOutH, uint32_t* ADst, size_t ADstStride) {
  for (int y = 0; y < AOutH; ++y) {
    const uint32_t* top = ASrc + size_t(2 * y) * ASrcStride;
    const uint32_t* bottom = top + ASrcStride;
    uint32_t* out = ADst + size_t(y) * ADstStride;
    for (int x = 0; x < AOutW; ++x) {
      const uint32_t a = top[2 * x], b = top[2 * x + 1], c = bottom[2 * x], d = bottom[2 * x + 1];
      // Red and blue summed side by side (10 bits each cannot meet), green on its own; rounded.
      const uint32_t rb = (a & 0xFF00FFu) + (b & 0xFF00FFu) + (c & 0xFF00FFu) + (d & 0xFF00FFu) + 0x20002u;
      const uint32_t g = (a & 0xFF00u) + (b & 0xFF00u) + (c & 0xFF00u) + (d & 0xFF00u) + 0x200u;
      out[x] = Black | ((rb >> 2) & 0xFF00FFu) | ((g >> 2) & 0xFF00u);
    }
  }
}

TTileDecodeTeam::TTileDecodeTeam(int AThreads) : FTeam((AThreads > 0 ? AThreads : TWorkerTeam::DefaultSize()) - 1) {
  for (int i = 0; i < FTeam.Size(); ++i) FDecoders.push_back(std::make_unique<TTileDecoder>());
}

void TTileDecodeTeam::DecodeOne(TDecodedTile& ATile, TTileDecoder& ADecoder) {
  // Not filled first: libjpeg completes a short image itself and a palette tile is exact or
  // fails, so a tile that decodes has every row written, and one that fails is never drawn.
  ATile.Pixels = std::make_unique_for_overwrite<uint32_t[]>(size_t(ATile.W) * size_t(ATile.H));
  TPixelTarget target;
  target.Bits = reinterpret_cast<uint8_t*>(ATile.Pixels.get());
  target.Width = ATile.W;
  target.Height = ATile.H;
  target.Stride = ptrdiff_t(ATile.W) * 4;
  if (IsPaletteTile(ATile.Jpeg))
    DecodePaletteTile(ATile.Jpeg, ATile.W, ATile.H, ATile.Pixels.get());
  else
    ADecoder.DrawInto(ATile.Jpeg, target, 0, 0);
  ATile.Half.clear();
  if (ATile.X % 2 == 0 && ATile.Y % 2 == 0 && ATile.W % 2 == 0 && ATile.H % 2 == 0) {
    ATile.Half.resize(size_t(ATile.W / 2) * size_t(ATile.H / 2));
    HalvePixels(ATile.Pixels.get(), size_t(ATile.W), ATile.W / 2, ATile.H / 2, ATile.Half.data(), size_t(ATile.W / 2));
  }
}

size_t TTileDecodeTeam::DecodeAll(std::vector<TDecodedTile>& ATiles, std::exception_ptr& AError,
                                  const std::atomic<bool>* ACancel) {
  AError = nullptr;
  FErrors.assign(ATiles.size(), nullptr);
  size_t pixels = 0;
  for (const TDecodedTile& tile : ATiles) pixels += size_t(tile.W) * size_t(tile.H);
  std::atomic<size_t> next{0};
  auto work = [&](int AMember) {
    TTileDecoder& decoder = *FDecoders[size_t(AMember)];
    for (size_t i; (i = next.fetch_add(1)) < ATiles.size();) {
      try {
        if (ACancel && ACancel->load()) throw TError("frame decoding cancelled");
        DecodeOne(ATiles[i], decoder);
      } catch (...) {
        FErrors[i] = std::current_exception();
      }
    }
  };
  if (ATiles.size() < 2 || pixels < MinParallelPixels)
    work(0);
  else
    FTeam.Run(work);
  for (size_t i = 0; i < ATiles.size(); ++i)
    if (FErrors[i]) {
      AError = FErrors[i];
      return i;
    }
  return ATiles.size();
}

}  // namespace tlm
