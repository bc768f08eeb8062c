// Baseline JPEG compression of 24-bit RGB pictures through the IJG API (libjpeg-turbo).
// One encoder keeps one compressor and one output buffer for its whole life, so encoding a
// rectangle allocates nothing once the buffer has grown. Not thread-safe: one encoder per thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "protocol/Bytes.h"

namespace tlm {

class TJpegEncoder {
public:
  TJpegEncoder();
  ~TJpegEncoder();
  TJpegEncoder(const TJpegEncoder&) = delete;
  TJpegEncoder& operator=(const TJpegEncoder&) = delete;

  // Compresses AWidth x AHeight pixels of 3 bytes (red, green, blue), rows AStride bytes apart,
  // with the library's defaults and AQuality (clamped to 1..100, forced baseline) into AOut,
  // which is replaced. Throws TError when the library reports an error; the encoder stays usable.
  void Encode(const uint8_t* ARgb, int AWidth, int AHeight, size_t AStride, int AQuality, TBytes& AOut);
  // The same for pixels held as words 0x00RRGGBB (the fourth byte ignored), rows AStride words
  // apart: the library converts them itself, so no 24-bit copy is needed. The bytes are those
  // Encode gives for the same colours.
  void EncodeWords(const uint32_t* APixels, int AWidth, int AHeight, size_t AStride, int AQuality, TBytes& AOut);

  // The library's state; opaque, public only so the library's callbacks can reach it.
  struct TState;

private:
  void Compress(const uint8_t* APixels, int AWidth, int AHeight, size_t AStrideBytes, bool AWords, int AQuality,
                TBytes& AOut);

  std::unique_ptr<TState> FState;
};

}  // namespace tlm
