#include "protocol/Frame.h"

namespace tlm {

namespace {

void WriteRect(uint8_t* p, const TFrameRect& R) {
  PutLE16(p, R.X);
  PutLE16(p + 2, R.Y);
  PutLE16(p + 4, R.W);
  PutLE16(p + 6, R.H);
  PutLE32(p + 8, R.DataLen);
}

}  // namespace

TBytes BuildFramePayload(uint32_t AFrameNo, int AScreenW, int AScreenH, bool AKeyframe,
                         const std::vector<TEncodedRect>& ARects) {
  size_t total = sizeof(TFrameHeader);
  for (const auto& r : ARects) total += sizeof(TFrameRect) + r.Data.size();
  TBytes out(total);
  uint8_t* p = out.data();
  PutLE32(p, AFrameNo);
  PutLE16(p + 4, uint16_t(AScreenW));
  PutLE16(p + 6, uint16_t(AScreenH));
  PutLE16(p + 8, uint16_t(ARects.size()));
  PutLE16(p + 10, AKeyframe ? FrameFlagKeyframe : 0);
  p += sizeof(TFrameHeader);
  for (const auto& r : ARects) {
    WriteRect(p, r.Rect);
    p += sizeof(TFrameRect);
    if (!r.Data.empty()) {
      std::memcpy(p, r.Data.data(), r.Data.size());
      p += r.Data.size();
    }
  }
  return out;
}

bool ParseFramePayload(std::span<const uint8_t> APayload, TParsedFrame& AFrame) {
  AFrame = TParsedFrame{};
  const size_t size = APayload.size();
  if (size < sizeof(TFrameHeader)) return false;
  const uint8_t* base = APayload.data();
  AFrame.FrameNo = GetLE32(base);
  AFrame.ScreenW = GetLE16(base + 4);
  AFrame.ScreenH = GetLE16(base + 6);
  const uint16_t count = GetLE16(base + 8);
  AFrame.Keyframe = (base[10] & 1) != 0;
  AFrame.Rects.resize(count);
  size_t pos = sizeof(TFrameHeader);
  for (auto& rect : AFrame.Rects) {
    if (size - pos < sizeof(TFrameRect)) return false;
    const uint8_t* h = base + pos;
    pos += sizeof(TFrameRect);
    const uint32_t dataLen = GetLE32(h + 8);
    // size - pos cannot underflow (pos <= size here) and both sides are at least 32 bits wide.
    if (uint64_t(size - pos) < uint64_t(dataLen)) return false;
    rect.X = GetLE16(h);
    rect.Y = GetLE16(h + 2);
    rect.W = GetLE16(h + 4);
    rect.H = GetLE16(h + 6);
    rect.Jpeg.assign(base + pos, base + pos + dataLen);
    pos += dataLen;
  }
  return true;
}

}  // namespace tlm
