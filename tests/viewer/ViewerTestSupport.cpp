#include "tests/viewer/ViewerTestSupport.h"

#include "tests/viewer/TestJpeg.h"

namespace tlm::test {

TBytes EncodeJpeg(const QImage& AImage, int AQuality, bool AProgressive) {
  const QImage rgb = AImage.convertToFormat(QImage::Format_RGB888);
  return EncodeRgbJpeg(rgb.constBits(), rgb.width(), rgb.height(), size_t(rgb.bytesPerLine()), AQuality, AProgressive);
}

TBytes SolidJpeg(int AW, int AH, QColor AColour) {
  return SolidRgbJpeg(AW, AH, uint8_t(AColour.red()), uint8_t(AColour.green()), uint8_t(AColour.blue()));
}

}  // namespace tlm::test
