// Any byte string is either a frame or a clean "no"; a parsed frame rebuilds to a payload that
// parses to the same frame. Each palette tile of a frame either decodes or raises TError, within
// its rectangle's pixels.
#include <cstdlib>
#include <vector>

#include "protocol/Error.h"
#include "protocol/Frame.h"
#include "protocol/PaletteTile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  tlm::TParsedFrame frame;
  if (!tlm::ParseFramePayload(std::span(AData, ASize), frame)) return 0;
  std::vector<tlm::TEncodedRect> rects;
  for (const auto& r : frame.Rects) {
    tlm::TEncodedRect e;
    e.Rect = {uint16_t(r.X), uint16_t(r.Y), uint16_t(r.W), uint16_t(r.H), uint32_t(r.Jpeg.size())};
    e.Data = r.Jpeg;
    rects.push_back(std::move(e));
  }
  const tlm::TBytes rebuilt = tlm::BuildFramePayload(frame.FrameNo, frame.ScreenW, frame.ScreenH, frame.Keyframe, rects);
  tlm::TParsedFrame again;
  if (!tlm::ParseFramePayload(rebuilt, again) || again.Rects.size() != frame.Rects.size() ||
      again.FrameNo != frame.FrameNo || again.Keyframe != frame.Keyframe)
    std::abort();
  for (size_t i = 0; i < again.Rects.size(); ++i)
    if (again.Rects[i].Jpeg != frame.Rects[i].Jpeg) std::abort();
  for (const auto& r : frame.Rects) {
    // The viewer bounds a rectangle by the screen; the fuzzer by a smaller figure, to stay quick.
    if (!tlm::IsPaletteTile(r.Jpeg) || int64_t(r.W) * r.H > (int64_t(1) << 20)) continue;
    const bool peeked = tlm::PeekPaletteTile(r.Jpeg, r.W, r.H);
    std::vector<uint32_t> pixels(size_t(r.W) * size_t(r.H) + 1, 0x12345678u);
    try {
      tlm::DecodePaletteTile(r.Jpeg, r.W, r.H, pixels.data());
      if (!peeked) std::abort();  // decoded what the header check refused
    } catch (const tlm::TError&) {
    }
    if (pixels.back() != 0x12345678u) std::abort();  // wrote past the rectangle
  }
  return 0;
}
