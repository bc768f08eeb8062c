#include "capture/JpegEncoder.h"

#include <algorithm>
#include <bit>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <jpeglib.h>
#include <jerror.h>

#include "protocol/Error.h"

namespace tlm {

namespace {

// libjpeg reports fatal errors through error_exit, which must not return. Ours jumps back to the
// setjmp in the guarded call below; only after that frame has returned do we raise a C++
// exception, so no exception ever unwinds through the library's C frames.
struct TErrorMgr {
  jpeg_error_mgr Pub;
  jmp_buf Jump;
  char Message[JMSG_LENGTH_MAX];
};

void ErrorExit(j_common_ptr ACinfo) {
  auto* Err = reinterpret_cast<TErrorMgr*>(ACinfo->err);
  (*ACinfo->err->format_message)(ACinfo, Err->Message);
  longjmp(Err->Jump, 1);
}

// Warnings go nowhere: the default prints to stderr.
void OutputMessage(j_common_ptr) {}

}  // namespace

struct TJpegEncoder::TState {
  jpeg_compress_struct Cinfo;
  TErrorMgr Err;
  jpeg_destination_mgr Dest;
  // The output buffer: grown by doubling, never shrunk, never zero-filled.
  JOCTET* Buffer = nullptr;
  size_t Capacity = 0;
  bool Created = false;

  ~TState() {
    if (Created) jpeg_destroy_compress(&Cinfo);
    std::free(Buffer);
  }
};

namespace {

constexpr size_t InitialBuffer = 64 * 1024;

TJpegEncoder::TState* StateOf(j_compress_ptr ACinfo) {
  return static_cast<TJpegEncoder::TState*>(ACinfo->client_data);
}

void InitDestination(j_compress_ptr ACinfo) {
  auto* S = StateOf(ACinfo);
  S->Dest.next_output_byte = S->Buffer;
  S->Dest.free_in_buffer = S->Capacity;
}

// The buffer is full: double it and go on writing behind the bytes already there.
boolean EmptyOutputBuffer(j_compress_ptr ACinfo) {
  auto* S = StateOf(ACinfo);
  const size_t Used = S->Capacity;
  const size_t NewCapacity = S->Capacity * 2;
  auto* Grown = static_cast<JOCTET*>(std::realloc(S->Buffer, NewCapacity));
  if (!Grown) ERREXIT1(ACinfo, JERR_OUT_OF_MEMORY, 10);
  S->Buffer = Grown;
  S->Capacity = NewCapacity;
  S->Dest.next_output_byte = S->Buffer + Used;
  S->Dest.free_in_buffer = NewCapacity - Used;
  return TRUE;
}

void TermDestination(j_compress_ptr) {}

// Rows handed to the library per call: fewer calls, same output.
constexpr int RowsPerCall = 16;

// Everything that calls into libjpeg, with only trivially destructible locals, so the longjmp
// from ErrorExit skips no destructor. Rows are AStride bytes apart, each pixel AComponents bytes
// in the layout AColorSpace names. Returns false with the library's message in Err.Message.
bool CompressGuarded(TJpegEncoder::TState* S, const uint8_t* APixels, int AWidth, int AHeight, size_t AStride,
                     int AComponents, J_COLOR_SPACE AColorSpace, int AQuality) {
  j_compress_ptr C = &S->Cinfo;
  if (setjmp(S->Err.Jump)) {
    jpeg_abort_compress(C);
    return false;
  }
  C->image_width = JDIMENSION(AWidth);
  C->image_height = JDIMENSION(AHeight);
  C->input_components = AComponents;
  C->in_color_space = AColorSpace;
  // The defaults follow the input colour space: every RGB layout becomes the same YCbCr JPEG.
  jpeg_set_defaults(C);
  jpeg_set_quality(C, AQuality, TRUE);
  jpeg_start_compress(C, TRUE);
  JSAMPROW Rows[RowsPerCall];
  while (C->next_scanline < C->image_height) {
    const JDIMENSION First = C->next_scanline;
    const JDIMENSION Count = std::min<JDIMENSION>(RowsPerCall, C->image_height - First);
    for (JDIMENSION I = 0; I < Count; ++I) Rows[I] = const_cast<JSAMPLE*>(APixels + size_t(First + I) * AStride);
    jpeg_write_scanlines(C, Rows, Count);
  }
  jpeg_finish_compress(C);
  return true;
}

bool CreateGuarded(TJpegEncoder::TState* S) {
  if (setjmp(S->Err.Jump)) return false;
  jpeg_create_compress(&S->Cinfo);
  return true;
}

}  // namespace

TJpegEncoder::TJpegEncoder() : FState(std::make_unique<TState>()) {
  TState* S = FState.get();
  S->Cinfo.err = jpeg_std_error(&S->Err.Pub);
  S->Err.Pub.error_exit = ErrorExit;
  S->Err.Pub.output_message = OutputMessage;
  if (!CreateGuarded(S)) throw TError(std::string("JPEG encoder: ") + S->Err.Message);
  S->Created = true;
  S->Cinfo.client_data = S;
  S->Buffer = static_cast<JOCTET*>(std::malloc(InitialBuffer));
  if (!S->Buffer) throw std::bad_alloc();
  S->Capacity = InitialBuffer;
  S->Dest.init_destination = InitDestination;
  S->Dest.empty_output_buffer = EmptyOutputBuffer;
  S->Dest.term_destination = TermDestination;
  S->Cinfo.dest = &S->Dest;
}

TJpegEncoder::~TJpegEncoder() = default;

void TJpegEncoder::Encode(const uint8_t* ARgb, int AWidth, int AHeight, size_t AStride, int AQuality,
                          TBytes& AOut) {
  Compress(ARgb, AWidth, AHeight, AStride, false, AQuality, AOut);
}

void TJpegEncoder::EncodeWords(const uint32_t* APixels, int AWidth, int AHeight, size_t AStride, int AQuality,
                               TBytes& AOut) {
  Compress(reinterpret_cast<const uint8_t*>(APixels), AWidth, AHeight, AStride * 4, true, AQuality, AOut);
}

void TJpegEncoder::Compress(const uint8_t* APixels, int AWidth, int AHeight, size_t AStrideBytes, bool AWords,
                            int AQuality, TBytes& AOut) {
  AOut.clear();
  if (AWidth <= 0 || AHeight <= 0) throw TError("JPEG encoder: empty picture");
  TState* S = FState.get();
  const int Quality = std::clamp(AQuality, 1, 100);
  // A word 0x00RRGGBB lies in memory as blue, green, red, unused on a little-endian machine.
  const J_COLOR_SPACE WordLayout = std::endian::native == std::endian::little ? JCS_EXT_BGRX : JCS_EXT_XRGB;
  if (!CompressGuarded(S, APixels, AWidth, AHeight, AStrideBytes, AWords ? 4 : 3, AWords ? WordLayout : JCS_RGB,
                       Quality))
    throw TError(std::string("JPEG encoder: ") + S->Err.Message);
  const size_t Len = S->Capacity - S->Dest.free_in_buffer;
  AOut.assign(S->Buffer, S->Buffer + Len);
}

}  // namespace tlm
