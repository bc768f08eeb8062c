#include "platform/wayland/WaylandScreen.h"

#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <vector>

#include "platform/wayland/WaylandDisplay.h"
#include "protocol/Error.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"

namespace tlm {

namespace {

// How long a copy may take before the compositor is taken to have failed it.
constexpr int CopyTimeoutMs = 1000;
// How long a copy after the first waits for damage before the last picture is lent again.
constexpr int DamageWaitMs = 30;
// Larger buffers than this are refused: no output is that large.
constexpr uint32_t MaxSide = 16384;

bool IsXrgb(uint32_t AFormat) { return AFormat == WL_SHM_FORMAT_XRGB8888 || AFormat == WL_SHM_FORMAT_ARGB8888; }
bool IsXbgr(uint32_t AFormat) { return AFormat == WL_SHM_FORMAT_XBGR8888 || AFormat == WL_SHM_FORMAT_ABGR8888; }

// A wl_buffer over a memory file mapped here.
struct TShmBuffer {
  void* Data = nullptr;
  size_t Size = 0;
  wl_buffer* Buffer = nullptr;
  uint32_t Format = 0, Width = 0, Height = 0, Stride = 0;

  TShmBuffer() = default;
  TShmBuffer(const TShmBuffer&) = delete;
  TShmBuffer& operator=(const TShmBuffer&) = delete;
  ~TShmBuffer() { Release(); }

  void Release() {
    if (Buffer) wl_buffer_destroy(Buffer);
    if (Data) munmap(Data, Size);
    Buffer = nullptr;
    Data = nullptr;
    Size = 0;
  }

  bool Matches(uint32_t AFormat, uint32_t AWidth, uint32_t AHeight, uint32_t AStride) const {
    return Buffer && Format == AFormat && Width == AWidth && Height == AHeight && Stride == AStride;
  }

  bool Make(wl_shm* AShm, uint32_t AFormat, uint32_t AWidth, uint32_t AHeight, uint32_t AStride) {
    Release();
    const size_t Bytes = size_t(AStride) * AHeight;
    const int Fd = memfd_create("tlm-screencopy", MFD_CLOEXEC);
    if (Fd < 0) return false;
    void* Map = MAP_FAILED;
    if (ftruncate(Fd, off_t(Bytes)) == 0) Map = mmap(nullptr, Bytes, PROT_READ | PROT_WRITE, MAP_SHARED, Fd, 0);
    if (Map == MAP_FAILED) {
      close(Fd);
      return false;
    }
    wl_shm_pool* Pool = wl_shm_create_pool(AShm, Fd, int32_t(Bytes));
    Buffer = wl_shm_pool_create_buffer(Pool, 0, int32_t(AWidth), int32_t(AHeight), int32_t(AStride), AFormat);
    wl_shm_pool_destroy(Pool);  // the buffer keeps the memory
    close(Fd);
    Data = Map;
    Size = Bytes;
    Format = AFormat;
    Width = AWidth;
    Height = AHeight;
    Stride = AStride;
    return true;
  }

  // Pixel (AX, AY) of the picture as 0x00RRGGBB, rows flipped when AYInvert.
  uint32_t At(uint32_t AX, uint32_t AY, bool AYInvert) const {
    const uint32_t Row = AYInvert ? Height - 1 - AY : AY;
    const uint32_t P = static_cast<const uint32_t*>(Data)[size_t(Row) * (Stride / 4) + AX];
    if (IsXbgr(Format)) return ((P & 0xFF) << 16) | (P & 0xFF00) | ((P >> 16) & 0xFF);
    return P & 0xFFFFFF;
  }
};

// The last picture of one output.
struct TOutputPicture {
  TShmBuffer Buf;
  bool Valid = false;
  bool YInvert = false;
};

// What one screencopy frame reported.
struct TFrameState {
  uint32_t Version = 1;
  bool HaveShm = false, BufferDone = false, Ready = false, Failed = false, Damaged = false;
  uint32_t Format = 0, Width = 0, Height = 0, Stride = 0, Flags = 0;
};

TFrameState& State(void* AData) { return *static_cast<TFrameState*>(AData); }

void FrameBuffer(void* AData, zwlr_screencopy_frame_v1*, uint32_t AFormat, uint32_t AWidth, uint32_t AHeight,
                 uint32_t AStride) {
  TFrameState& S = State(AData);
  const bool Usable = (IsXrgb(AFormat) || IsXbgr(AFormat)) && AWidth > 0 && AHeight > 0 && AWidth <= MaxSide &&
                      AHeight <= MaxSide && AStride >= AWidth * 4 && AStride % 4 == 0 && AStride <= MaxSide * 8;
  if (Usable && !S.HaveShm) {
    S.HaveShm = true;
    S.Format = AFormat;
    S.Width = AWidth;
    S.Height = AHeight;
    S.Stride = AStride;
  }
  // Before version 3 the shared-memory buffer is the only one announced.
  if (S.Version < 3) S.BufferDone = true;
}
void FrameFlags(void* AData, zwlr_screencopy_frame_v1*, uint32_t AFlags) { State(AData).Flags = AFlags; }
void FrameReady(void* AData, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) { State(AData).Ready = true; }
void FrameFailed(void* AData, zwlr_screencopy_frame_v1*) { State(AData).Failed = true; }
void FrameDamage(void* AData, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t, uint32_t) {
  State(AData).Damaged = true;
}
void FrameDmabuf(void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {}
void FrameBufferDone(void* AData, zwlr_screencopy_frame_v1*) { State(AData).BufferDone = true; }
const zwlr_screencopy_frame_v1_listener FrameListener = {FrameBuffer, FrameFlags,  FrameReady,     FrameFailed,
                                                         FrameDamage, FrameDmabuf, FrameBufferDone};

using TClock = std::chrono::steady_clock;

}  // namespace

struct TWaylandScreen::TImpl {
  std::string Socket;
  std::unique_ptr<TWaylandDisplay> Conn;
  std::string ConnectError;
  bool ConnectedBefore = false;
  bool LayoutChanged = false;
  std::map<uint32_t, std::unique_ptr<TOutputPicture>> Pictures;  // by the output's registry name
  std::vector<uint32_t> Lent;                                    // a converted picture Grab lends
  uint64_t Undamaged = 0;

  bool Open() {
    if (Conn && !Conn->Broken()) return true;
    Pictures.clear();  // the buffers belong to the old connection
    Conn.reset();
    try {
      Conn = std::make_unique<TWaylandDisplay>(Socket);
    } catch (const std::exception& e) {
      ConnectError = e.what();
      return false;
    }
    ConnectError.clear();
    // Whatever happened while we were away is unknown: a reconnect counts as a change.
    if (ConnectedBefore) LayoutChanged = true;
    ConnectedBefore = true;
    return true;
  }

  void Refresh() {
    if (!Conn->Poll()) return;
    if (Conn->TakeLayoutChange()) LayoutChanged = true;
    // Pictures of outputs that went away.
    for (auto It = Pictures.begin(); It != Pictures.end();) {
      const bool Gone = std::none_of(Conn->Outputs().begin(), Conn->Outputs().end(),
                                     [&](const auto& O) { return O->Name == It->first; });
      It = Gone ? Pictures.erase(It) : std::next(It);
    }
  }

  // Waits for ADone (or a failure) until ADeadline; false on timeout or a broken connection.
  template <class F>
  bool WaitFor(F ADone, TClock::time_point ADeadline) {
    while (!ADone()) {
      const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(ADeadline - TClock::now()).count();
      if (Left <= 0 || !Conn->Wait(int(Left))) return ADone();
    }
    return true;
  }

  // Brings the picture of AOutput up to date. False when there is none.
  bool Capture(const TWaylandOutput& AOutput) {
    if (!Conn->Screencopy() || !Conn->Shm()) return false;
    std::unique_ptr<TOutputPicture>& Slot = Pictures[AOutput.Name];
    if (!Slot) Slot = std::make_unique<TOutputPicture>();
    TOutputPicture& P = *Slot;

    TFrameState S;
    S.Version = Conn->ScreencopyVersion();
    zwlr_screencopy_frame_v1* Frame = zwlr_screencopy_manager_v1_capture_output(Conn->Screencopy(), 1, AOutput.Output);
    zwlr_screencopy_frame_v1_add_listener(Frame, &FrameListener, &S);
    bool Ok = WaitFor([&] { return S.BufferDone || S.Failed; }, TClock::now() + std::chrono::milliseconds(CopyTimeoutMs));
    Ok = Ok && !S.Failed && S.HaveShm;
    bool WithDamage = false;
    if (Ok) {
      if (!P.Buf.Matches(S.Format, S.Width, S.Height, S.Stride)) {
        P.Valid = false;
        Ok = P.Buf.Make(Conn->Shm(), S.Format, S.Width, S.Height, S.Stride);
      }
    }
    if (Ok) {
      WithDamage = P.Valid && S.Version >= 2;
      if (WithDamage)
        zwlr_screencopy_frame_v1_copy_with_damage(Frame, P.Buf.Buffer);
      else
        zwlr_screencopy_frame_v1_copy(Frame, P.Buf.Buffer);
      const int Wait = WithDamage ? DamageWaitMs : CopyTimeoutMs;
      WaitFor([&] { return S.Ready || S.Failed; }, TClock::now() + std::chrono::milliseconds(Wait));
    }
    zwlr_screencopy_frame_v1_destroy(Frame);
    if (!Ok || S.Failed) {
      P.Valid = false;
      return false;
    }
    if (S.Ready) {
      P.Valid = true;
      P.YInvert = S.Flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT;
      return true;
    }
    // No damage in time: the last picture still shows the output.
    if (WithDamage) {
      ++Undamaged;
      return true;
    }
    P.Valid = false;
    return false;
  }

  // Copies the part APart of output AOutput's picture into ADst (the picture of ARect).
  static void CopyOut(const TOutputPicture& P, const TPixelRect& AOutput, const TPixelRect& APart,
                      const TPixelRect& ARect, uint32_t* ADst, size_t AStride) {
    const TShmBuffer& B = P.Buf;
    const int32_t OW = AOutput.Width(), OH = AOutput.Height();
    const bool Same = uint32_t(OW) == B.Width && uint32_t(OH) == B.Height && !P.YInvert && IsXrgb(B.Format);
    for (int32_t Y = APart.Top; Y < APart.Bottom; ++Y) {
      uint32_t* Dst = ADst + size_t(Y - ARect.Top) * AStride + size_t(APart.Left - ARect.Left);
      const uint32_t BY = uint32_t(int64_t(Y - AOutput.Top) * B.Height / OH);
      if (Same) {
        std::memcpy(Dst, static_cast<const uint32_t*>(B.Data) + size_t(BY) * (B.Stride / 4) + (APart.Left - AOutput.Left),
                    size_t(APart.Width()) * 4);
        continue;
      }
      for (int32_t X = APart.Left; X < APart.Right; ++X)
        Dst[X - APart.Left] = B.At(uint32_t(int64_t(X - AOutput.Left) * B.Width / OW), BY, P.YInvert);
    }
  }
};

TWaylandScreen::TWaylandScreen(std::string ASocket) : FImpl(std::make_unique<TImpl>()) {
  FImpl->Socket = std::move(ASocket);
  std::lock_guard Lock(FLock);
  FImpl->Open();
}

TWaylandScreen::~TWaylandScreen() {
  std::lock_guard Lock(FLock);
  FImpl.reset();
}

std::string TWaylandScreen::Problem() {
  std::lock_guard Lock(FLock);
  if (!FImpl->Open()) return FImpl->ConnectError;
  if (!FImpl->Conn->Screencopy()) return "이 컴포지터는 화면 복사(zwlr_screencopy_manager_v1)를 제공하지 않습니다";
  return {};
}

std::vector<TMonitorInfoRec> TWaylandScreen::EnumMonitors() {
  std::lock_guard Lock(FLock);
  if (!FImpl->Open()) return {};
  FImpl->Refresh();
  return FImpl->Conn->Monitors();
}

TPixelRect TWaylandScreen::ScreenRect() {
  std::lock_guard Lock(FLock);
  if (!FImpl->Open()) return {};
  FImpl->Refresh();
  return FImpl->Conn->LayoutRect();
}

bool TWaylandScreen::CopyRect(const TPixelRect& ARect, uint32_t* ADst, size_t AStride) {
  std::lock_guard Lock(FLock);
  TImpl& S = *FImpl;
  if (ARect.Empty() || !S.Open()) return false;
  S.Refresh();
  // The outputs may change while one of them is captured: work from their names.
  std::vector<uint32_t> Names;
  for (const auto& O : S.Conn->Outputs()) Names.push_back(O->Name);
  bool Any = false;
  for (uint32_t Name : Names) {
    auto It = std::find_if(S.Conn->Outputs().begin(), S.Conn->Outputs().end(), [&](const auto& O) { return O->Name == Name; });
    if (It == S.Conn->Outputs().end()) continue;
    const TPixelRect Bounds = (*It)->Bounds();
    const TPixelRect Part = IntersectRect(ARect, Bounds);
    if (Part.Empty() || !S.Capture(**It)) continue;
    S.CopyOut(*S.Pictures[Name], Bounds, Part, ARect, ADst, AStride);
    Any = true;
  }
  return Any;
}

bool TWaylandScreen::Grab(const TPixelRect& ARect, TPixelView& AView) {
  std::lock_guard Lock(FLock);
  TImpl& S = *FImpl;
  if (ARect.Empty() || !S.Open()) return false;
  S.Refresh();
  // Only a whole output: a picture spanning several is put together by CopyRect.
  auto It = std::find_if(S.Conn->Outputs().begin(), S.Conn->Outputs().end(),
                         [&](const auto& O) { return O->Bounds() == ARect; });
  if (It == S.Conn->Outputs().end()) return false;
  const uint32_t Name = (*It)->Name;
  if (!S.Capture(**It)) return false;
  const TOutputPicture& P = *S.Pictures[Name];
  const TShmBuffer& B = P.Buf;
  if (B.Width == uint32_t(ARect.Width()) && B.Height == uint32_t(ARect.Height()) && !P.YInvert && IsXrgb(B.Format)) {
    AView.Pixels = static_cast<uint32_t*>(B.Data);
    AView.Stride = B.Stride / 4;
    return true;
  }
  S.Lent.resize(size_t(ARect.Width()) * size_t(ARect.Height()));
  S.CopyOut(P, ARect, ARect, ARect, S.Lent.data(), size_t(ARect.Width()));
  AView.Pixels = S.Lent.data();
  AView.Stride = size_t(ARect.Width());
  return true;
}

bool TWaylandScreen::GetCursor(TCursorImage&) {
  // The compositor draws the cursor into every copy.
  return false;
}

bool TWaylandScreen::TakeLayoutChange() {
  std::lock_guard Lock(FLock);
  TImpl& S = *FImpl;
  if (S.Open()) S.Refresh();
  const bool Changed = S.LayoutChanged;
  S.LayoutChanged = false;
  return Changed;
}

uint64_t TWaylandScreen::UndamagedCaptures() {
  std::lock_guard Lock(FLock);
  return FImpl->Undamaged;
}

}  // namespace tlm
