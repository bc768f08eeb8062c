#include <pipewire/pipewire.h>
#include <spa/param/video/raw.h>

#include <chrono>
#include <thread>

#include "platform/portal/PipeWireFormat.h"
#include "tests/support/portal/PortalTestBed.h"

namespace tlm::test {

namespace {

constexpr uint64_t FrameIntervalNs = 30'000'000;

// One 0x00RRGGBB word in the bytes of an SPA layout.
void PutPixel(uint32_t AFormat, uint32_t AWord, uint8_t* AOut) {
  const uint8_t R = uint8_t(AWord >> 16), G = uint8_t(AWord >> 8), B = uint8_t(AWord);
  switch (AFormat) {
    case SPA_VIDEO_FORMAT_RGBx: case SPA_VIDEO_FORMAT_RGBA: AOut[0] = R; AOut[1] = G; AOut[2] = B; AOut[3] = 0xFF; break;
    case SPA_VIDEO_FORMAT_xRGB: case SPA_VIDEO_FORMAT_ARGB: AOut[0] = 0xFF; AOut[1] = R; AOut[2] = G; AOut[3] = B; break;
    case SPA_VIDEO_FORMAT_xBGR: case SPA_VIDEO_FORMAT_ABGR: AOut[0] = 0xFF; AOut[1] = B; AOut[2] = G; AOut[3] = R; break;
    default: AOut[0] = B; AOut[1] = G; AOut[2] = R; AOut[3] = 0xFF; break;
  }
}

void OnProcess(void* AData) { static_cast<TVideoProducer*>(AData)->Produce(); }

void OnParamChanged(void* AData, uint32_t AId, const spa_pod* AParam) {
  if (AId == SPA_PARAM_Format && AParam) static_cast<TVideoProducer*>(AData)->FormatChanged();
}

pw_stream_events MakeEvents() {
  pw_stream_events E{};
  E.version = PW_VERSION_STREAM_EVENTS;
  E.param_changed = OnParamChanged;
  E.process = OnProcess;
  return E;
}
const pw_stream_events Events = MakeEvents();

void OnTimer(void* AData, uint64_t) {
  auto* P = static_cast<TVideoProducer*>(AData);
  if (P->Stream()) pw_stream_trigger_process(P->Stream());
}

}  // namespace

TVideoProducer::TVideoProducer(const TPortalDaemons& ADaemons, uint32_t AFormat, int AWidth, int AHeight,
                               std::vector<uint32_t> APicture, TChunkLie ALie)
    : FFormat(AFormat), FWidth(AWidth), FHeight(AHeight), FPicture(std::move(APicture)), FLie(ALie) {
  pw_init(nullptr, nullptr);
  FLoop = pw_thread_loop_new("tlm-test-producer", nullptr);
  FContext = pw_context_new(pw_thread_loop_get_loop(FLoop), nullptr, 0);
  pw_thread_loop_start(FLoop);
  pw_thread_loop_lock(FLoop);
  FCore = pw_context_connect_fd(FContext, ADaemons.ConnectPipeWire(), nullptr, 0);
  if (FCore) {
    FStream = pw_stream_new(FCore, "tlm-test-source",
                            pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_NODE_NAME, "tlm-test-source",
                                              PW_KEY_MEDIA_TYPE, "Video", nullptr));
    auto* Listener = new spa_hook{};
    FListener = Listener;
    pw_stream_add_listener(FStream, Listener, &Events, this);
    uint8_t Buffer[1024];
    const spa_pod* Params[] = {tlm_pw_video_formats(Buffer, sizeof Buffer, &FFormat, 1, uint32_t(FWidth), uint32_t(FHeight))};
    pw_stream_connect(FStream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                      pw_stream_flags(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS),
                      Params, 1);
    spa_source* Timer = pw_loop_add_timer(pw_thread_loop_get_loop(FLoop), OnTimer, this);
    FTimer = Timer;
    timespec Value{0, 1}, Interval{0, long(FrameIntervalNs)};
    pw_loop_update_timer(pw_thread_loop_get_loop(FLoop), Timer, &Value, &Interval, false);
  }
  pw_thread_loop_unlock(FLoop);
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (FStream && std::chrono::steady_clock::now() < Deadline) {
    pw_thread_loop_lock(FLoop);
    const uint32_t Id = pw_stream_get_node_id(FStream);
    pw_thread_loop_unlock(FLoop);
    if (Id != SPA_ID_INVALID) {
      FNode = Id;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

TVideoProducer::~TVideoProducer() {
  pw_thread_loop_stop(FLoop);
  if (FTimer) pw_loop_destroy_source(pw_thread_loop_get_loop(FLoop), static_cast<spa_source*>(FTimer));
  if (FStream) pw_stream_destroy(FStream);
  delete static_cast<spa_hook*>(FListener);
  if (FCore) pw_core_disconnect(FCore);
  pw_context_destroy(FContext);
  pw_thread_loop_destroy(FLoop);
}

void TVideoProducer::FormatChanged() {
  uint8_t Buffer[1024];
  const spa_pod* Params[] = {tlm_pw_buffers(Buffer, sizeof Buffer, uint32_t(FWidth) * 4, uint32_t(FHeight))};
  pw_stream_update_params(FStream, Params, 1);
}

void TVideoProducer::Produce() {
  pw_buffer* B = pw_stream_dequeue_buffer(FStream);
  if (!B) return;
  spa_data& D = B->buffer->datas[0];
  const uint32_t Stride = uint32_t(FWidth) * 4;
  if (D.data && D.maxsize >= Stride * uint32_t(FHeight)) {
    auto* Out = static_cast<uint8_t*>(D.data);
    for (size_t I = 0; I < FPicture.size(); ++I) PutPixel(FFormat, FPicture[I], Out + I * 4);
    D.chunk->offset = 0;
    D.chunk->stride = int32_t(Stride);
    D.chunk->size = Stride * uint32_t(FHeight);
    D.chunk->flags = SPA_CHUNK_FLAG_NONE;
    switch (FLie) {
      case TChunkLie::None: break;
      case TChunkLie::StrideTooSmall: D.chunk->stride = int32_t(Stride) - 4; break;
      case TChunkLie::BeyondBuffer: D.chunk->offset = D.maxsize - Stride; break;
      case TChunkLie::Corrupted: D.chunk->flags = SPA_CHUNK_FLAG_CORRUPTED; break;
    }
    ++FFrames;
  }
  pw_stream_queue_buffer(FStream, B);
}

}  // namespace tlm::test
