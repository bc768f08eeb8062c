#include <gtest/gtest.h>

#include <limits>

#include "platform/Input.h"

namespace tlm {
namespace {

TEST(MulDiv, RoundsHalvesAwayFromZeroWithAWideProduct) {
  struct TCase {
    int32_t Value, Numerator, Denominator, Expected;
  };
  const TCase LCases[] = {
      {1920, 65535, 3839, 32776},  // 32775.51...
      {1, 1, 2, 1},   {3, 1, 2, 2},   {-1, 1, 2, -1},  {-3, 1, 2, -2},
      {1, 1, 3, 0},   {2, 1, 3, 1},   {-2, 1, 3, -1},  {1, 1, -2, -1},
      {-5, -7, 2, 18},  // 17.5
      {65535, 65535, 65535, 65535},
      {std::numeric_limits<int32_t>::max(), 65535, 65535, std::numeric_limits<int32_t>::max()},
      {5, 1, 0, -1},  // division by zero
      {std::numeric_limits<int32_t>::max(), 2, 1, -1},  // result too large
      // The viewer's scaling of a canvas position to a remote pixel.
      {550, 1920, 1100, 960}, {300, 1080, 600, 540}, {1, 1920, 1100, 2}, {1, 1080, 600, 2},
      {2, 2, 5, 1},           {2, 1, 5, 0},           {-550, 1920, 1100, -960}, {550, 0, 1100, 0},
      {2000000, 2000000, 4000, 1000000000},  // the product needs 64 bits
  };
  for (const TCase& C : LCases)
    EXPECT_EQ(MulDiv(C.Value, C.Numerator, C.Denominator), C.Expected)
        << C.Value << " * " << C.Numerator << " / " << C.Denominator;
}

// The host normalises a desktop pixel to 0..65535; the injector must land on that same pixel.
TEST(AbsoluteMapping, EveryPixelComesBack) {
  for (int32_t LExtent : {1920, 3840, 1080, 2, 3, 1366, 4097, 65536}) {
    SCOPED_TRACE(testing::Message() << "extent " << LExtent);
    EXPECT_EQ(AbsoluteFromPixel(0, LExtent), 0);
    EXPECT_EQ(AbsoluteFromPixel(LExtent - 1, LExtent), 65535);
    int LMismatches = 0;
    for (int32_t LPixel = -64; LPixel < LExtent + 64; ++LPixel) {
      const int32_t LAbsolute = AbsoluteFromPixel(LPixel, LExtent);
      if (PixelFromAbsolute(LAbsolute, LExtent) != LPixel && ++LMismatches <= 5)
        ADD_FAILURE() << "pixel " << LPixel << " -> " << LAbsolute << " -> "
                      << PixelFromAbsolute(LAbsolute, LExtent);
    }
    EXPECT_EQ(LMismatches, 0);
  }
}

TEST(AbsoluteMapping, SecondMonitorOrigin) {
  // Selected monitor at x 1920 in a 3840-wide desktop: its left edge.
  EXPECT_EQ(AbsoluteFromPixel(1920, 3840), MulDiv(1920, 65535, 3839));
  EXPECT_EQ(PixelFromAbsolute(AbsoluteFromPixel(1920, 3840), 3840), 1920);
}

TEST(AbsoluteMapping, DesktopOfOnePixelOrLessMapsEverythingToTheOrigin) {
  for (int32_t LExtent : {1, 0, -5}) {
    for (int32_t LValue : {0, 1, 500, 65535, -7}) {
      EXPECT_EQ(AbsoluteFromPixel(LValue, LExtent), 0) << LExtent << " " << LValue;
      EXPECT_EQ(PixelFromAbsolute(LValue, LExtent), 0) << LExtent << " " << LValue;
    }
  }
}

}  // namespace
}  // namespace tlm
