#include "tests/viewer/ViewerTestSupport.h"

#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace tlm::test {

TBytes EncodeJpeg(const QImage& AImage, int AQuality, bool AProgressive) {
  const QImage rgb = AImage.convertToFormat(QImage::Format_RGB888);
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr jerr{};
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = static_cast<JDIMENSION>(rgb.width());
  cinfo.image_height = static_cast<JDIMENSION>(rgb.height());
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, AQuality, TRUE);
  if (AProgressive) jpeg_simple_progression(&cinfo);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(rgb.constScanLine(static_cast<int>(cinfo.next_scanline)));
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  TBytes out(buffer, buffer + size);
  std::free(buffer);
  return out;
}

TBytes SolidJpeg(int AW, int AH, QColor AColour) {
  QImage image(AW, AH, QImage::Format_RGB888);
  image.fill(AColour);
  return EncodeJpeg(image);
}

}  // namespace tlm::test
