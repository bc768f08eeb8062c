// JPEG tile decoding straight into a 32-bit pixel buffer, through the IJG libjpeg API.
//
// Contract: one instance per frame (or longer), used by one thread at a time (the viewer's
// reader thread). The libjpeg decompressor is created once and reused for every tile.
// libjpeg's fatal errors never unwind through its C frames: its error manager jumps back
// into the wrapper, which resets the decompressor and then throws tlm::TError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace tlm {

// Pixels of 4 bytes each in memory order B, G, R, 0xFF (a QImage RGB32 scanline on a
// little-endian machine); rows are Stride bytes apart.
struct TPixelTarget {
  uint8_t* Bits = nullptr;
  int Width = 0;
  int Height = 0;
  ptrdiff_t Stride = 0;
};

// What libjpeg may allocate for one tile. Baseline tiles need a few rows; only progressive
// images buffer all their coefficients, and those beyond the cap fail to decode.
constexpr long DefaultMaxDecoderMemory = 384L << 20;

class TTileDecoder {
public:
  explicit TTileDecoder(long AMaxMemory = DefaultMaxDecoderMemory);
  ~TTileDecoder();
  TTileDecoder(const TTileDecoder&) = delete;
  TTileDecoder& operator=(const TTileDecoder&) = delete;

  // Reads the JPEG header only. False when the header cannot be read.
  bool PeekSize(std::span<const uint8_t> AJpeg, int& AWidth, int& AHeight);

  // Decodes the whole image and draws it at its natural size with its top-left corner at
  // (AX, AY) of ATarget; whatever falls outside ATarget is dropped. Raises TError when the
  // data is not a decodable JPEG; rows drawn before the failure stay drawn.
  void DrawInto(std::span<const uint8_t> AJpeg, const TPixelTarget& ATarget, int AX, int AY);

private:
  struct TState;
  std::unique_ptr<TState> FState;
};

}  // namespace tlm
