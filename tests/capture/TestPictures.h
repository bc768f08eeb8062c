// Pictures and JPEG checks shared by the capture tests and the capture benchmark.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/Bytes.h"

namespace tlm::test {

// A desktop-like picture of AWidth x AHeight words 0x00RRGGBB: flat background, windows with
// title bars, lines of small glyph-like strokes and a photo-like region of gradients and grain.
std::vector<uint32_t> MakeDesktopPicture(int AWidth, int AHeight, uint32_t ASeed = 1);

struct TDecodedJpeg {
  int Width = 0;
  int Height = 0;
  int Components = 0;
  bool Progressive = false;
  bool Baseline = false;
  std::vector<uint8_t> Rgb;  // Width x Height x 3
};

// Decodes AData with libjpeg; false (with the library's message in AError) when it cannot.
bool DecodeJpeg(const TBytes& AData, TDecodedJpeg& AOut, std::string* AError = nullptr);

// Peak signal-to-noise ratio in dB of the decoded picture against the rectangle of ASource at
// (AX, AY), ASource rows AStride words apart; very large for identical pictures.
double Psnr(const TDecodedJpeg& ADecoded, const uint32_t* ASource, size_t AStride, int AX, int AY);

}  // namespace tlm::test
