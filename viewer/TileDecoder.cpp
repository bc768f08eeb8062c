#include "viewer/TileDecoder.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <string>

#include <jpeglib.h>

#include "protocol/Error.h"

namespace tlm {

namespace {

struct TJpegErrorMgr {
  jpeg_error_mgr Pub;
  std::jmp_buf Jump;
  char Message[JMSG_LENGTH_MAX];
};

extern "C" void JpegErrorExit(j_common_ptr ACinfo) {
  auto* err = reinterpret_cast<TJpegErrorMgr*>(ACinfo->err);
  (*ACinfo->err->format_message)(ACinfo, err->Message);
  std::longjmp(err->Jump, 1);
}

// Corrupt-data warnings are not fatal (libjpeg fills in what it cannot read); stay silent.
extern "C" void JpegOutputMessage(j_common_ptr) {}

}  // namespace

struct TTileDecoder::TState {
  jpeg_decompress_struct Cinfo;
  TJpegErrorMgr Err;
};

TTileDecoder::TTileDecoder(long AMaxMemory) : FState(std::make_unique<TState>()) {
  std::memset(&FState->Cinfo, 0, sizeof(FState->Cinfo));
  FState->Cinfo.err = jpeg_std_error(&FState->Err.Pub);
  FState->Err.Pub.error_exit = JpegErrorExit;
  FState->Err.Pub.output_message = JpegOutputMessage;
  FState->Err.Message[0] = 0;
  // jpeg_create_decompress only fails when out of memory; its error jumps here too.
  if (setjmp(FState->Err.Jump)) throw TError(std::string("JPEG decoder: ") + FState->Err.Message);
  jpeg_create_decompress(&FState->Cinfo);
  // Whatever a header claims, one tile never takes more than this.
  FState->Cinfo.mem->max_memory_to_use = AMaxMemory;
}

TTileDecoder::~TTileDecoder() { jpeg_destroy_decompress(&FState->Cinfo); }

// The two routines below keep no C++ object with a destructor alive across setjmp, so the
// longjmp out of libjpeg skips nothing that needs cleaning up.
namespace {

bool PeekSizeC(jpeg_decompress_struct* ACinfo, TJpegErrorMgr* AErr, const uint8_t* AData, size_t ALen,
               int* AWidth, int* AHeight) {
  if (setjmp(AErr->Jump)) {
    jpeg_abort_decompress(ACinfo);
    return false;
  }
  jpeg_mem_src(ACinfo, AData, static_cast<unsigned long>(ALen));
  jpeg_read_header(ACinfo, TRUE);
  *AWidth = static_cast<int>(ACinfo->image_width);
  *AHeight = static_cast<int>(ACinfo->image_height);
  jpeg_abort_decompress(ACinfo);
  return true;
}

bool DrawIntoC(jpeg_decompress_struct* ACinfo, TJpegErrorMgr* AErr, const uint8_t* AData, size_t ALen,
               const TPixelTarget* ATarget, int AX, int AY) {
  if (setjmp(AErr->Jump)) {
    jpeg_abort_decompress(ACinfo);
    return false;
  }
  jpeg_mem_src(ACinfo, AData, static_cast<unsigned long>(ALen));
  jpeg_read_header(ACinfo, TRUE);
  ACinfo->out_color_space = JCS_EXT_BGRA;  // alpha bytes come out as 0xFF
  jpeg_start_decompress(ACinfo);
  const int w = static_cast<int>(ACinfo->output_width);
  // Columns of the tile that land inside the target.
  const int left = AX < 0 ? -AX : 0;
  const int right = AX + w > ATarget->Width ? ATarget->Width - AX : w;
  const bool fullWidth = left == 0 && right == w;
  JSAMPARRAY scratch = (*ACinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(ACinfo), JPOOL_IMAGE,
                                                    static_cast<JDIMENSION>(w) * 4, 1);
  while (ACinfo->output_scanline < ACinfo->output_height) {
    const int ty = AY + static_cast<int>(ACinfo->output_scanline);
    if (ty >= ATarget->Height || right <= left) break;  // nothing further is visible
    uint8_t* dstRow = ty >= 0 ? ATarget->Bits + ty * ATarget->Stride : nullptr;
    if (dstRow && fullWidth) {
      JSAMPROW row = dstRow + static_cast<ptrdiff_t>(AX) * 4;
      jpeg_read_scanlines(ACinfo, &row, 1);
    } else {
      jpeg_read_scanlines(ACinfo, scratch, 1);
      if (dstRow)
        std::memcpy(dstRow + static_cast<ptrdiff_t>(AX + left) * 4, scratch[0] + left * 4,
                    static_cast<size_t>(right - left) * 4);
    }
  }
  if (ACinfo->output_scanline < ACinfo->output_height)
    jpeg_abort_decompress(ACinfo);
  else
    jpeg_finish_decompress(ACinfo);
  return true;
}

}  // namespace

bool TTileDecoder::PeekSize(std::span<const uint8_t> AJpeg, int& AWidth, int& AHeight) {
  if (AJpeg.empty()) return false;
  return PeekSizeC(&FState->Cinfo, &FState->Err, AJpeg.data(), AJpeg.size(), &AWidth, &AHeight);
}

void TTileDecoder::DrawInto(std::span<const uint8_t> AJpeg, const TPixelTarget& ATarget, int AX, int AY) {
  if (AJpeg.empty()) throw TError("JPEG tile: no data");
  FState->Err.Message[0] = 0;
  if (!DrawIntoC(&FState->Cinfo, &FState->Err, AJpeg.data(), AJpeg.size(), &ATarget, AX, AY))
    throw TError(std::string("JPEG tile: ") + FState->Err.Message);
}

}  // namespace tlm
