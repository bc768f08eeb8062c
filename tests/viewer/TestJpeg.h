// JPEG pictures for the viewer tests, made with libjpeg as the host's encoder makes them
// (baseline unless asked otherwise). No Qt.
#pragma once

#include <cstdint>

#include "protocol/Bytes.h"

namespace tlm::test {

// ARgb: AW * AH pixels of three bytes each, rows without padding apart from AStride.
TBytes EncodeRgbJpeg(const uint8_t* ARgb, int AW, int AH, size_t AStride, int AQuality = 95,
                     bool AProgressive = false);
// A W x H JPEG of one colour.
TBytes SolidRgbJpeg(int AW, int AH, uint8_t AR, uint8_t AG, uint8_t AB);

}  // namespace tlm::test
