#include "platform/Screen.h"

#include <algorithm>

namespace tlm {

TPixelRect IntersectRect(const TPixelRect& A, const TPixelRect& B) {
  TPixelRect R;
  R.Left = std::max(A.Left, B.Left);
  R.Top = std::max(A.Top, B.Top);
  R.Right = std::min(A.Right, B.Right);
  R.Bottom = std::min(A.Bottom, B.Bottom);
  return R;
}

}  // namespace tlm
