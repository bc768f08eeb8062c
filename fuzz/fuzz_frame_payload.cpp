// Any byte string is either a frame or a clean "no"; a parsed frame rebuilds to a payload that
// parses to the same frame.
#include <cstdlib>

#include "protocol/Frame.h"

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
  return 0;
}
