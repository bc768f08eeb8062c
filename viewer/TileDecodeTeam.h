// Decodes the tiles of one frame (JPEG, and palette tiles where built: protocol/PaletteTile.h)
// on several threads at once, each tile into a picture of its own, so that the caller can
// composite them in the frame's order: the result is the same, to the byte, as decoding one
// tile after the other (overlapping tiles included).
//
// Contract: one caller at a time (the viewer's reader thread). The team's threads (the caller
// and helpers started on first use) each keep one TTileDecoder. A tile's JPEG bytes must stay
// alive until DecodeAll returns.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <span>
#include <vector>

#include "protocol/WorkerTeam.h"
#include "viewer/TileDecoder.h"

namespace tlm {

// One tile: where it goes, its natural size as its header gives it (a palette tile's is its
// rectangle's), its JPEG or palette-tile bytes, and once decoded its W x H pixels (words 0xFFRRGGBB as a TPixelTarget holds them; the buffer is not
// cleared first, as the decoder writes every pixel of a tile that decodes). When the tile lines
// up with the two-by-two grid of a half-size copy (even position and size), Half holds it at
// half size as well, made while its pixels are fresh in the cache.
struct TDecodedTile {
  int X = 0, Y = 0, W = 0, H = 0;
  std::span<const uint8_t> Jpeg;
  std::unique_ptr<uint32_t[]> Pixels;
  std::vector<uint32_t> Half;
};

// AOutW x AOutH pixels of ADst (rows ADstStride words apart), each the rounded mean of the two
// by two pixels of ASrc (rows ASrcStride words apart) at twice its position.
void HalvePixels(const uint32_t* ASrc, size_t ASrcStride, int AOutW, int AOutH, uint32_t* ADst, size_t ADstStride);

class TTileDecodeTeam {
public:
  // AThreads members (the caller included; 0 picks by the number of processors).
  explicit TTileDecodeTeam(int AThreads = 0);
  int Size() const { return FTeam.Size(); }

  // Decodes every tile's Jpeg into its Pixels, the members taking the next tile until none is
  // left. Returns how many tiles, counted from the first, decoded; when that is short of all,
  // AError holds the first failure in tile order (tiles after it may or may not be decoded).
  // Once *ACancel is set, no further tile is started and each counts as failed.
  size_t DecodeAll(std::vector<TDecodedTile>& ATiles, std::exception_ptr& AError,
                   const std::atomic<bool>* ACancel = nullptr);

private:
  void DecodeOne(TDecodedTile& ATile, TTileDecoder& ADecoder);

  TWorkerTeam FTeam;
  std::vector<std::unique_ptr<TTileDecoder>> FDecoders;  // one per member
  std::vector<std::exception_ptr> FErrors;               // one per tile of the batch
};

}  // namespace tlm
