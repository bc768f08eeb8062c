#include "platform/portal/PipeWireCapture.h"

#include <pipewire/pipewire.h>
#include <spa/param/video/raw.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/portal/PipeWireFormat.h"
#include "protocol/Error.h"

namespace tlm {

struct TPipeWireCapture::TStream {
  TPipeWireCapture* Owner = nullptr;
  uint32_t Node = 0;
  pw_stream* Stream = nullptr;
  spa_hook Listener{};
  // Negotiated on the loop thread, read only there.
  uint32_t Format = 0;
  uint32_t Width = 0, Height = 0;
  // The newest picture, under Lock.
  std::mutex Lock;
  std::vector<uint32_t> Picture;
  int32_t PictureWidth = 0, PictureHeight = 0;
  uint64_t Frames = 0;
  uint64_t Refused = 0;
};

bool ConvertRow(uint32_t AFormat, const uint8_t* ASrc, uint32_t* ADst, size_t ACount) {
  switch (AFormat) {
    case SPA_VIDEO_FORMAT_BGRx:
    case SPA_VIDEO_FORMAT_BGRA:  // bytes B G R x: our word as it is (its fourth byte is free)
      if (ACount) std::memcpy(ADst, ASrc, ACount * 4);
      return true;
    case SPA_VIDEO_FORMAT_RGBx:
    case SPA_VIDEO_FORMAT_RGBA:
      for (size_t I = 0; I < ACount; ++I, ASrc += 4)
        ADst[I] = uint32_t(ASrc[2]) | uint32_t(ASrc[1]) << 8 | uint32_t(ASrc[0]) << 16;
      return true;
    case SPA_VIDEO_FORMAT_xRGB:
    case SPA_VIDEO_FORMAT_ARGB:
      for (size_t I = 0; I < ACount; ++I, ASrc += 4)
        ADst[I] = uint32_t(ASrc[3]) | uint32_t(ASrc[2]) << 8 | uint32_t(ASrc[1]) << 16;
      return true;
    case SPA_VIDEO_FORMAT_xBGR:
    case SPA_VIDEO_FORMAT_ABGR:
      for (size_t I = 0; I < ACount; ++I, ASrc += 4)
        ADst[I] = uint32_t(ASrc[1]) | uint32_t(ASrc[2]) << 8 | uint32_t(ASrc[3]) << 16;
      return true;
    default:
      return false;
  }
}

namespace {

// PipeWire's C frames call these: nothing may unwind through them, so a failure (no memory
// for a picture) ends the stream instead.
void OnParamChanged(void* AData, uint32_t AId, const spa_pod* AParam) {
  auto* S = static_cast<TPipeWireCapture::TStream*>(AData);
  try {
    if (AId == SPA_PARAM_Format && AParam) S->Owner->FormatChanged(*S, AParam);
  } catch (...) {
    S->Owner->StreamFailed();
  }
}

void OnProcess(void* AData) {
  auto* S = static_cast<TPipeWireCapture::TStream*>(AData);
  try {
    S->Owner->Process(*S);
  } catch (...) {
    S->Owner->StreamFailed();
  }
}

void OnStateChanged(void* AData, pw_stream_state, pw_stream_state AState, const char*) {
  auto* S = static_cast<TPipeWireCapture::TStream*>(AData);
  if (AState == PW_STREAM_STATE_ERROR || AState == PW_STREAM_STATE_UNCONNECTED) S->Owner->StreamFailed();
}

pw_stream_events MakeStreamEvents() {
  pw_stream_events E{};
  E.version = PW_VERSION_STREAM_EVENTS;
  E.state_changed = OnStateChanged;
  E.param_changed = OnParamChanged;
  E.process = OnProcess;
  return E;
}
const pw_stream_events StreamEvents = MakeStreamEvents();

std::once_flag PipeWireInit;

// Holds the loop's lock for a scope.
class TLoopLock {
public:
  explicit TLoopLock(pw_thread_loop* ALoop) : FLoop(ALoop) { pw_thread_loop_lock(FLoop); }
  ~TLoopLock() { pw_thread_loop_unlock(FLoop); }
  TLoopLock(const TLoopLock&) = delete;
  TLoopLock& operator=(const TLoopLock&) = delete;

private:
  pw_thread_loop* FLoop;
};

}  // namespace

TPipeWireCapture::TPipeWireCapture(int AFd, const std::vector<uint32_t>& ANodes) {
  std::call_once(PipeWireInit, [] { pw_init(nullptr, nullptr); });
  FLoop = pw_thread_loop_new("tlm-screen", nullptr);
  if (!FLoop) {
    ::close(AFd);
    throw TError("PipeWire: no loop");
  }
  FContext = pw_context_new(pw_thread_loop_get_loop(FLoop), nullptr, 0);
  if (!FContext) {
    ::close(AFd);
    pw_thread_loop_destroy(FLoop);
    throw TError("PipeWire: no context");
  }
  if (pw_thread_loop_start(FLoop) < 0) {
    ::close(AFd);
    pw_context_destroy(FContext);
    pw_thread_loop_destroy(FLoop);
    throw TError("PipeWire: the loop thread did not start");
  }
  try {
    TLoopLock Lock(FLoop);
    FCore = pw_context_connect_fd(FContext, AFd, nullptr, 0);  // owns AFd from here, even on failure
    if (!FCore) throw TError(std::string("PipeWire: cannot connect: ") + std::strerror(errno));
    uint32_t Formats[TLM_PW_MAX_FORMATS];
    const uint32_t Count = tlm_pw_rgb32_formats(Formats);
    for (uint32_t Node : ANodes) {
      auto S = std::make_unique<TStream>();
      S->Owner = this;
      S->Node = Node;
      pw_properties* Props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                               PW_KEY_MEDIA_ROLE, "Screen", nullptr);
      pw_properties_setf(Props, PW_KEY_TARGET_OBJECT, "%u", Node);
      S->Stream = pw_stream_new(FCore, "tlm-screen", Props);
      if (!S->Stream) throw TError("PipeWire: no stream");
      pw_stream_add_listener(S->Stream, &S->Listener, &StreamEvents, S.get());
      uint8_t Buffer[1024];
      const spa_pod* Params[] = {tlm_pw_video_formats(Buffer, sizeof Buffer, Formats, Count, 0, 0)};
      const int Rc = pw_stream_connect(S->Stream, PW_DIRECTION_INPUT, Node,
                                       pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), Params, 1);
      FStreams.push_back(std::move(S));
      if (Rc < 0) throw TError(std::string("PipeWire: cannot consume node ") + std::to_string(Node));
    }
  } catch (...) {
    Close();
    throw;
  }
}

TPipeWireCapture::~TPipeWireCapture() { Close(); }

void TPipeWireCapture::StreamFailed() {
  FBroken = true;
  std::lock_guard Lock(FFrameLock);
  FFrameCv.notify_all();
}

void TPipeWireCapture::Close() {
  if (!FLoop) return;
  pw_thread_loop_stop(FLoop);
  for (auto& S : FStreams) {
    if (!S->Stream) continue;
    spa_hook_remove(&S->Listener);
    pw_stream_destroy(S->Stream);
    S->Stream = nullptr;
  }
  FStreams.clear();
  if (FCore) pw_core_disconnect(FCore);
  FCore = nullptr;
  if (FContext) pw_context_destroy(FContext);
  FContext = nullptr;
  pw_thread_loop_destroy(FLoop);
  FLoop = nullptr;
}

void TPipeWireCapture::FormatChanged(TStream& S, const void* AParam) {
  uint32_t Format = 0, W = 0, H = 0;
  if (tlm_pw_parse_video(static_cast<const spa_pod*>(AParam), &Format, &W, &H) < 0) return;
  // An empty row tells whether the layout is one we convert.
  if (!ConvertRow(Format, nullptr, nullptr, 0) || W == 0 || H == 0 ||
      W > TLM_PW_MAX_SIDE || H > TLM_PW_MAX_SIDE) {
    // Not what we offered: no buffers are asked for, so the stream stays without frames.
    S.Format = 0;
    return;
  }
  S.Format = Format;
  S.Width = W;
  S.Height = H;
  uint8_t Buffer[1024];
  const spa_pod* Params[] = {tlm_pw_buffers(Buffer, sizeof Buffer, W * 4, H)};
  pw_stream_update_params(S.Stream, Params, 1);
}

void TPipeWireCapture::Process(TStream& S) {
  pw_buffer* Newest = nullptr;
  // Only the newest frame matters; older queued ones go straight back.
  while (pw_buffer* B = pw_stream_dequeue_buffer(S.Stream)) {
    if (Newest) pw_stream_queue_buffer(S.Stream, Newest);
    Newest = B;
  }
  if (!Newest) return;
  const spa_buffer* Buf = Newest->buffer;
  bool Taken = false, Malformed = false;
  if (S.Format && Buf && Buf->n_datas >= 1 && Buf->datas[0].data && Buf->datas[0].chunk) {
    const spa_data& D = Buf->datas[0];
    const spa_chunk& C = *D.chunk;
    const uint64_t W = S.Width, H = S.Height;
    const uint64_t Stride = C.stride > 0 ? uint64_t(C.stride) : W * 4;
    if (C.size == 0) {
      // A frame without picture (only the cursor moved): the last one still holds.
    } else if ((C.flags & SPA_CHUNK_FLAG_CORRUPTED) || Stride < W * 4 ||
               uint64_t(C.offset) + Stride * (H - 1) + W * 4 > uint64_t(D.maxsize)) {
      Malformed = true;
    } else {
      const uint8_t* Src = static_cast<const uint8_t*>(D.data) + C.offset;
      std::lock_guard Lock(S.Lock);
      const bool NewSize = S.PictureWidth != int32_t(W) || S.PictureHeight != int32_t(H);
      S.Picture.resize(size_t(W * H));
      for (uint64_t Y = 0; Y < H; ++Y) ConvertRow(S.Format, Src + Y * Stride, S.Picture.data() + Y * W, size_t(W));
      S.PictureWidth = int32_t(W);
      S.PictureHeight = int32_t(H);
      ++S.Frames;
      Taken = true;
      if (NewSize) FSizeChanged = true;
    }
  }
  if (Malformed) {
    std::lock_guard Lock(S.Lock);
    ++S.Refused;
  }
  pw_stream_queue_buffer(S.Stream, Newest);
  if (Taken) {
    std::lock_guard Lock(FFrameLock);
    FFrameCv.notify_all();
  }
}

bool TPipeWireCapture::Size(size_t AIndex, int32_t& AWidth, int32_t& AHeight) {
  if (AIndex >= FStreams.size()) return false;
  TStream& S = *FStreams[AIndex];
  std::lock_guard Lock(S.Lock);
  if (S.Frames == 0) return false;
  AWidth = S.PictureWidth;
  AHeight = S.PictureHeight;
  return true;
}

bool TPipeWireCapture::Copy(size_t AIndex, const TPixelRect& R, uint32_t* ADst, size_t AStride) {
  if (AIndex >= FStreams.size() || R.Empty()) return false;
  TStream& S = *FStreams[AIndex];
  std::lock_guard Lock(S.Lock);
  if (S.Frames == 0 || R.Left < 0 || R.Top < 0 || R.Right > S.PictureWidth || R.Bottom > S.PictureHeight) return false;
  const size_t W = size_t(R.Width());
  for (int32_t Y = R.Top; Y < R.Bottom; ++Y)
    std::memcpy(ADst + size_t(Y - R.Top) * AStride, S.Picture.data() + size_t(Y) * size_t(S.PictureWidth) + size_t(R.Left),
                W * 4);
  return true;
}

bool TPipeWireCapture::WaitForFrames(int ATimeoutMs) {
  auto AllHave = [this] {
    for (auto& S : FStreams) {
      std::lock_guard Lock(S->Lock);
      if (S->Frames == 0) return false;
    }
    return true;
  };
  std::unique_lock Lock(FFrameLock);
  return FFrameCv.wait_for(Lock, std::chrono::milliseconds(ATimeoutMs), [&] { return AllHave() || FBroken; }) && AllHave();
}

uint64_t TPipeWireCapture::Frames(size_t AIndex) {
  if (AIndex >= FStreams.size()) return 0;
  std::lock_guard Lock(FStreams[AIndex]->Lock);
  return FStreams[AIndex]->Frames;
}

uint64_t TPipeWireCapture::Refused(size_t AIndex) {
  if (AIndex >= FStreams.size()) return 0;
  std::lock_guard Lock(FStreams[AIndex]->Lock);
  return FStreams[AIndex]->Refused;
}

}  // namespace tlm
