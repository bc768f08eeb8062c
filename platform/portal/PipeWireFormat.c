#include "platform/portal/PipeWireFormat.h"

#include <spa/buffer/buffer.h>
#include <spa/param/buffers.h>
#include <spa/param/format-utils.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

uint32_t tlm_pw_rgb32_formats(uint32_t* AOut) {
  // The compositors' usual layouts first; each is a plain byte shuffle away from ours.
  static const uint32_t Formats[] = {SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx,
                                     SPA_VIDEO_FORMAT_RGBA, SPA_VIDEO_FORMAT_xRGB, SPA_VIDEO_FORMAT_ARGB,
                                     SPA_VIDEO_FORMAT_xBGR, SPA_VIDEO_FORMAT_ABGR};
  for (uint32_t I = 0; I < TLM_PW_MAX_FORMATS; ++I) AOut[I] = Formats[I];
  return TLM_PW_MAX_FORMATS;
}

const struct spa_pod* tlm_pw_video_formats(uint8_t* ABuffer, uint32_t ASize, const uint32_t* AFormats,
                                           uint32_t ACount, uint32_t AWidth, uint32_t AHeight) {
  if (ACount == 0 || ACount > TLM_PW_MAX_FORMATS) return NULL;
  struct spa_pod_builder B = SPA_POD_BUILDER_INIT(ABuffer, ASize);
  struct spa_pod_frame Object, Choice;
  spa_pod_builder_push_object(&B, &Object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
  spa_pod_builder_add(&B, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
                      SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), 0);
  spa_pod_builder_prop(&B, SPA_FORMAT_VIDEO_format, 0);
  if (ACount == 1) {
    spa_pod_builder_id(&B, AFormats[0]);
  } else {
    spa_pod_builder_push_choice(&B, &Choice, SPA_CHOICE_Enum, 0);
    spa_pod_builder_id(&B, AFormats[0]);  // the default
    for (uint32_t I = 0; I < ACount; ++I) spa_pod_builder_id(&B, AFormats[I]);
    spa_pod_builder_pop(&B, &Choice);
  }
  if (AWidth > 0 && AHeight > 0) {
    spa_pod_builder_add(&B, SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&SPA_RECTANGLE(AWidth, AHeight)),
                        SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&SPA_FRACTION(0, 1)), 0);
  } else {
    spa_pod_builder_add(&B, SPA_FORMAT_VIDEO_size,
                        SPA_POD_CHOICE_RANGE_Rectangle(&SPA_RECTANGLE(1920, 1080), &SPA_RECTANGLE(1, 1),
                                                       &SPA_RECTANGLE(TLM_PW_MAX_SIDE, TLM_PW_MAX_SIDE)),
                        SPA_FORMAT_VIDEO_framerate,
                        SPA_POD_CHOICE_RANGE_Fraction(&SPA_FRACTION(30, 1), &SPA_FRACTION(0, 1), &SPA_FRACTION(1000, 1)),
                        0);
  }
  return (const struct spa_pod*)spa_pod_builder_pop(&B, &Object);
}

const struct spa_pod* tlm_pw_buffers(uint8_t* ABuffer, uint32_t ASize, uint32_t AStride, uint32_t AHeight) {
  struct spa_pod_builder B = SPA_POD_BUILDER_INIT(ABuffer, ASize);
  return (const struct spa_pod*)spa_pod_builder_add_object(
      &B, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers, SPA_POD_CHOICE_RANGE_Int(4, 2, 16),
      SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_size, SPA_POD_Int((int32_t)(AStride * AHeight)),
      SPA_PARAM_BUFFERS_stride, SPA_POD_Int((int32_t)AStride), SPA_PARAM_BUFFERS_dataType,
      SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd)));
}

int tlm_pw_parse_video(const struct spa_pod* AParam, uint32_t* AFormat, uint32_t* AWidth, uint32_t* AHeight) {
  uint32_t MediaType = 0, MediaSubtype = 0;
  if (spa_format_parse(AParam, &MediaType, &MediaSubtype) < 0) return -1;
  if (MediaType != SPA_MEDIA_TYPE_video || MediaSubtype != SPA_MEDIA_SUBTYPE_raw) return -1;
  struct spa_video_info_raw Info;
  spa_zero(Info);
  if (spa_format_video_raw_parse(AParam, &Info) < 0) return -1;
  *AFormat = Info.format;
  *AWidth = Info.size.width;
  *AHeight = Info.size.height;
  return 0;
}
