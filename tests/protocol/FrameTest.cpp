#include <gtest/gtest.h>

#include "protocol/Frame.h"

namespace tlm {
namespace {

TBytes Header(uint32_t AFrameNo, uint16_t AW, uint16_t AH, uint16_t ACount, uint16_t AFlags) {
  TBytes b(12);
  PutLE32(b.data(), AFrameNo);
  PutLE16(b.data() + 4, AW);
  PutLE16(b.data() + 6, AH);
  PutLE16(b.data() + 8, ACount);
  PutLE16(b.data() + 10, AFlags);
  return b;
}

void AppendRect(TBytes& AOut, uint16_t AX, uint16_t AY, uint16_t AW, uint16_t AH, uint32_t ADataLen,
                size_t AActualBytes) {
  size_t at = AOut.size();
  AOut.resize(at + 12 + AActualBytes, 0x5C);
  PutLE16(&AOut[at], AX);
  PutLE16(&AOut[at + 2], AY);
  PutLE16(&AOut[at + 4], AW);
  PutLE16(&AOut[at + 6], AH);
  PutLE32(&AOut[at + 8], ADataLen);
}

TEST(FramePayload, ParserCases) {
  struct TCase {
    const char* Name;
    TBytes Payload;
    bool Ok;
    size_t Rects;
    bool Keyframe;
  };
  auto with = [](TBytes AHead, auto... ARects) {
    (AppendRect(AHead, ARects.X, ARects.Y, ARects.W, ARects.H, ARects.Len, ARects.Actual), ...);
    return AHead;
  };
  struct R {
    uint16_t X, Y, W, H;
    uint32_t Len;
    size_t Actual;
  };
  const std::vector<TCase> cases = {
      {"12 bytes, no rectangles", Header(1, 10, 10, 0, 0), true, 0, false},
      {"11 bytes", TBytes(11, 0), false, 0, false},
      {"two announced, one present", with(Header(1, 10, 10, 2, 0), R{0, 0, 4, 4, 3, 3}), false, 0, false},
      {"rect header cut short", [] { TBytes b = Header(1, 1, 1, 1, 0); b.resize(b.size() + 11); return b; }(), false,
       0, false},
      {"data shorter than announced", with(Header(1, 10, 10, 1, 0), R{0, 0, 4, 4, 100, 99}), false, 0, false},
      {"data length near 2^32", with(Header(1, 10, 10, 1, 0), R{0, 0, 4, 4, 0xFFFFFFFFu, 8}), false, 0, false},
      {"data length 2^32 - 12", with(Header(1, 10, 10, 1, 0), R{0, 0, 4, 4, 0xFFFFFFF4u, 8}), false, 0, false},
      {"empty data is valid", with(Header(1, 10, 10, 1, 0), R{1, 2, 3, 4, 0, 0}), true, 1, false},
      {"flags 0x0101 is a keyframe", Header(7, 1, 1, 0, 0x0101), true, 0, true},
      {"flags 0x0002 is not", Header(7, 1, 1, 0, 0x0002), true, 0, false},
      {"trailing bytes ignored", [] { TBytes b = Header(1, 1, 1, 0, 1); b.resize(b.size() + 5, 9); return b; }(), true,
       0, true},
  };
  for (const auto& tc : cases) {
    TParsedFrame frame;
    EXPECT_EQ(ParseFramePayload(tc.Payload, frame), tc.Ok) << tc.Name;
    if (tc.Ok) {
      EXPECT_EQ(frame.Rects.size(), tc.Rects) << tc.Name;
      EXPECT_EQ(frame.Keyframe, tc.Keyframe) << tc.Name;
    }
  }
}

TEST(FramePayload, RoundTripIsByteExact) {
  std::vector<TEncodedRect> rects(3);
  rects[0].Rect = {0, 0, 1920, 160, 5};
  rects[0].Data = {1, 2, 3, 4, 5};
  rects[1].Rect = {65535, 65535, 65535, 1, 0};  // empty data, extreme coordinates
  rects[2].Rect = {320, 960, 160, 120, 300};
  rects[2].Data.assign(300, 0xE7);
  const TBytes payload = BuildFramePayload(0xDEADBEEF, 1920, 1080, true, rects);
  ASSERT_EQ(payload.size(), 12u + 3 * 12 + 5 + 0 + 300);

  TParsedFrame frame;
  ASSERT_TRUE(ParseFramePayload(payload, frame));
  EXPECT_EQ(frame.FrameNo, 0xDEADBEEF);
  EXPECT_EQ(frame.ScreenW, 1920);
  EXPECT_EQ(frame.ScreenH, 1080);
  EXPECT_TRUE(frame.Keyframe);
  ASSERT_EQ(frame.Rects.size(), 3u);
  for (size_t i = 0; i < rects.size(); ++i) {
    EXPECT_EQ(frame.Rects[i].X, rects[i].Rect.X) << i;
    EXPECT_EQ(frame.Rects[i].Y, rects[i].Rect.Y) << i;
    EXPECT_EQ(frame.Rects[i].W, rects[i].Rect.W) << i;
    EXPECT_EQ(frame.Rects[i].H, rects[i].Rect.H) << i;
    EXPECT_EQ(frame.Rects[i].Jpeg, rects[i].Data) << i;
  }
  // The wire header of the first rectangle, field by field.
  EXPECT_EQ(TBytes(payload.begin(), payload.begin() + 24),
            (TBytes{0xEF, 0xBE, 0xAD, 0xDE, 0x80, 0x07, 0x38, 0x04, 3, 0, 1, 0, 0, 0, 0, 0, 0x80, 0x07, 0xA0, 0, 5,
                    0, 0, 0}));
}

TEST(FramePayload, WidthsAndCountsKeepTheirLow16Bits) {
  const TBytes payload = BuildFramePayload(1, 70000, 65536 + 5, false, {});
  TParsedFrame frame;
  ASSERT_TRUE(ParseFramePayload(payload, frame));
  EXPECT_EQ(frame.ScreenW, 70000 & 0xFFFF);
  EXPECT_EQ(frame.ScreenH, 5);
  EXPECT_FALSE(frame.Keyframe);
}

}  // namespace
}  // namespace tlm
