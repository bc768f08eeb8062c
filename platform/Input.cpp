#include "platform/Input.h"

#include <limits>

namespace tlm {

int32_t MulDiv(int32_t AValue, int32_t ANumerator, int32_t ADenominator) {
  if (ADenominator == 0) return -1;
  const int64_t LProduct = static_cast<int64_t>(AValue) * ANumerator;
  // Round half away from zero: add half the divisor in the product's direction of sign.
  int64_t LDen = ADenominator;
  int64_t LNum = LProduct;
  if (LDen < 0) {
    LDen = -LDen;
    LNum = -LNum;
  }
  const int64_t LHalf = LDen / 2;
  const int64_t LResult = LNum >= 0 ? (LNum + LHalf) / LDen : -((-LNum + LHalf) / LDen);
  if (LResult > std::numeric_limits<int32_t>::max() || LResult < std::numeric_limits<int32_t>::min())
    return -1;
  return static_cast<int32_t>(LResult);
}

int32_t AbsoluteFromPixel(int32_t APixel, int32_t AExtent) {
  if (AExtent <= 1) return 0;
  return MulDiv(APixel, 65535, AExtent - 1);
}

int32_t PixelFromAbsolute(int32_t AAbsolute, int32_t AExtent) {
  if (AExtent <= 1) return 0;
  return MulDiv(AAbsolute, AExtent - 1, 65535);
}

}  // namespace tlm
