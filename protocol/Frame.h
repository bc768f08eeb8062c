// Frame payload: a 12-byte header, then per rectangle a 12-byte header and its JPEG bytes.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "protocol/Bytes.h"

namespace tlm {

#pragma pack(push, 1)
struct TFrameHeader {
  uint32_t FrameNo;
  uint16_t ScreenW;
  uint16_t ScreenH;
  uint16_t RectCount;
  uint16_t Flags;  // bit 0: keyframe
};
struct TFrameRect {
  uint16_t X;
  uint16_t Y;
  uint16_t W;
  uint16_t H;
  uint32_t DataLen;
};
#pragma pack(pop)
static_assert(sizeof(TFrameHeader) == 12);
static_assert(sizeof(TFrameRect) == 12);

constexpr uint16_t FrameFlagKeyframe = 1;

// The capturer's output: Rect.DataLen equals Data.size().
struct TEncodedRect {
  TFrameRect Rect{};
  TBytes Data;
};

struct TParsedRect {
  int32_t X = 0, Y = 0, W = 0, H = 0;
  TBytes Jpeg;
};

struct TParsedFrame {
  uint32_t FrameNo = 0;
  int32_t ScreenW = 0;
  int32_t ScreenH = 0;
  bool Keyframe = false;
  std::vector<TParsedRect> Rects;
};

// Sizes the payload once and copies each Rect as the capturer filled it (DataLen included).
TBytes BuildFramePayload(uint32_t AFrameNo, int AScreenW, int AScreenH, bool AKeyframe,
                         const std::vector<TEncodedRect>& ARects);
// False for a short header, a missing rectangle header or JPEG data shorter than announced;
// never throws. Bytes after the last rectangle are ignored.
bool ParseFramePayload(std::span<const uint8_t> APayload, TParsedFrame& AFrame);

}  // namespace tlm
