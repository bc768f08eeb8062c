#include "tests/viewer/TestJpeg.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include <jpeglib.h>

namespace tlm::test {

TBytes EncodeRgbJpeg(const uint8_t* ARgb, int AW, int AH, size_t AStride, int AQuality, bool AProgressive) {
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr jerr{};
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = static_cast<JDIMENSION>(AW);
  cinfo.image_height = static_cast<JDIMENSION>(AH);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, AQuality, TRUE);
  if (AProgressive) jpeg_simple_progression(&cinfo);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(ARgb + cinfo.next_scanline * AStride);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  TBytes out(buffer, buffer + size);
  std::free(buffer);
  return out;
}

TBytes SolidRgbJpeg(int AW, int AH, uint8_t AR, uint8_t AG, uint8_t AB) {
  std::vector<uint8_t> rgb(size_t(AW) * size_t(AH) * 3);
  for (size_t i = 0; i < rgb.size(); i += 3) {
    rgb[i] = AR;
    rgb[i + 1] = AG;
    rgb[i + 2] = AB;
  }
  return EncodeRgbJpeg(rgb.data(), AW, AH, size_t(AW) * 3);
}

}  // namespace tlm::test
