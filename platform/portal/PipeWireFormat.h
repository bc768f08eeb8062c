// The SPA parameter objects of a raw video stream in 32-bit RGB layouts, built in C because
// the SPA builder macros rely on C compound literals. Used by the screen's stream consumer and
// by the test producer that feeds it.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct spa_pod;

// The 32-bit layouts the consumer converts (values of enum spa_video_format).
enum {
  TLM_PW_MAX_FORMATS = 8,
  // The largest picture side the consumer accepts.
  TLM_PW_MAX_SIDE = 8192
};

// EnumFormat: video/raw in AFormats (ACount of them, the first preferred). With AWidth and
// AHeight above 0 the size is fixed to them, else any size up to TLM_PW_MAX_SIDE. The pod is
// built in ABuffer; null when it does not fit.
const struct spa_pod* tlm_pw_video_formats(uint8_t* ABuffer, uint32_t ASize, const uint32_t* AFormats,
                                           uint32_t ACount, uint32_t AWidth, uint32_t AHeight);
// The offered layouts, in order of preference, for tlm_pw_video_formats; their count.
uint32_t tlm_pw_rgb32_formats(uint32_t* AOut);

// Buffers: shared memory (a mapped pointer or a memfd), one block of AStride * AHeight bytes.
const struct spa_pod* tlm_pw_buffers(uint8_t* ABuffer, uint32_t ASize, uint32_t AStride, uint32_t AHeight);

// Reads a negotiated Format param; 0 when it is raw video (AFormat, AWidth, AHeight filled),
// -1 otherwise.
int tlm_pw_parse_video(const struct spa_pod* AParam, uint32_t* AFormat, uint32_t* AWidth, uint32_t* AHeight);

#ifdef __cplusplus
}
#endif
