// Lossless coding of a rectangle with few colours: a palette and a deflated map of palette
// indices. Flat desktop content (wallpaper, window frames, unsmoothed text) comes out exact and
// far smaller than as JPEG; a rectangle with more colours than the palette holds is left to JPEG.
//
// The data of such a rectangle in a frame (it replaces the JPEG bytes; a JPEG always starts
// with 0xFF, so the first byte tells the two apart):
//   byte 0      PaletteTileTag
//   byte 1      number of colours - 1 (1 .. MaxPaletteColours colours)
//   3 per colour  red, green, blue
//   the rest    only with two or more colours: one zlib stream of the index map, row by row,
//               each row packed MSB first at 1 bit per pixel for 2 colours, 2 for up to 4,
//               4 for up to 16 and 8 beyond, and padded to a whole byte
// The rectangle header's W and H give the size. Only a viewer that announced it in MsgQuality
// is sent these (protocol/Messages.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "protocol/Bytes.h"

namespace tlm {

constexpr uint8_t PaletteTileTag = 0x01;
constexpr int MaxPaletteColours = 256;

inline bool IsPaletteTile(std::span<const uint8_t> AData) { return !AData.empty() && AData[0] == PaletteTileTag; }

// Bits per index in the map for a palette of AColours.
constexpr int PaletteIndexBits(int AColours) { return AColours <= 2 ? 1 : AColours <= 4 ? 2 : AColours <= 16 ? 4 : 8; }

// Keeps one deflate state and its buffers for its whole life. Not thread-safe: one per thread.
class TPaletteEncoder {
public:
  TPaletteEncoder();
  ~TPaletteEncoder();
  TPaletteEncoder(const TPaletteEncoder&) = delete;
  TPaletteEncoder& operator=(const TPaletteEncoder&) = delete;

  // Codes AWidth x AHeight words 0x00RRGGBB (the top byte ignored), rows AStride words apart,
  // into AOut (replaced) when they hold at most AMaxColours (1 .. MaxPaletteColours) colours.
  // False, AOut unspecified, as soon as a colour beyond that turns up: a photograph costs about
  // one look at each pixel up to its first AMaxColours + 1 colours. Throws TError when zlib fails.
  bool Encode(const uint32_t* APixels, int AWidth, int AHeight, size_t AStride, int AMaxColours, TBytes& AOut);

  struct TState;

private:
  std::unique_ptr<TState> FState;
};

// The header of AData (tag, colour count, the palette, something after it where it needs a
// map) is whole for a rectangle of AWidth x AHeight, both at least 1. Says nothing of the map.
bool PeekPaletteTile(std::span<const uint8_t> AData, int AWidth, int AHeight);

// Draws AData into AOut, AWidth x AHeight words 0xFFRRGGBB, rows AWidth apart. Throws TError
// for anything but an exact tile: a bad header, a map that inflates to more or fewer bytes than
// the rectangle's rows (inflation stops at that size, whatever the stream claims), an index
// beyond the palette, bytes after the stream.
void DecodePaletteTile(std::span<const uint8_t> AData, int AWidth, int AHeight, uint32_t* AOut);

}  // namespace tlm
