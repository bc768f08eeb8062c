#include "capture/ScreenCapturer.h"

#include <algorithm>
#include <exception>
#include <thread>
#include <string>

#include "protocol/Error.h"

namespace tlm {

namespace {

constexpr uint32_t FnvOffset = 0x811C9DC5u;
constexpr uint32_t FnvPrime = 0x01000193u;
// Positions and sizes travel as 16-bit fields.
constexpr int MaxSide = 65535;
// A frame has at most a handful of runs worth splitting; more threads only wait.
constexpr int MaxEncodeThreads = 4;
// Below this many pixels in all runs together, waking helpers costs more than it saves.
constexpr size_t MinParallelPixels = 2 * TScreenCapturer::TileSize * TScreenCapturer::TileSize;

// Premultiplied source over an opaque destination, one 8-bit channel.
inline uint32_t BlendChannel(uint32_t ASrc, uint32_t ADst, uint32_t AInvAlpha) {
  const uint32_t V = ASrc + (ADst * AInvAlpha + 127) / 255;
  return V > 255 ? 255 : V;
}

}  // namespace

TScreenCapturer::TScreenCapturer() : TScreenCapturer(std::shared_ptr<IScreen>(CreateSystemScreen())) {}

TScreenCapturer::TScreenCapturer(std::shared_ptr<IScreen> AScreen, int AEncodeThreads) : FScreen(std::move(AScreen)) {
  if (!FScreen) throw TError("screen capturer: no screen");
  int Threads = AEncodeThreads;
  if (Threads <= 0) Threads = std::clamp(int(std::thread::hardware_concurrency()), 1, MaxEncodeThreads);
  FTeam = std::make_unique<TWorkerTeam>(Threads - 1);
  for (int I = 1; I < Threads; ++I) FHelperSlots.push_back(std::make_unique<TEncodeSlot>());
  RefreshMonitors();
}

TScreenCapturer::~TScreenCapturer() = default;

void TScreenCapturer::RefreshMonitors() {
  std::vector<TMonitorInfoRec> List = FScreen->EnumMonitors();
  if (List.empty()) List.push_back(TMonitorInfoRec{FScreen->ScreenRect(), true});
  std::lock_guard Lock(FMonitorsLock);
  FMonitors = std::move(List);
  if (FMonitorIndex.load(std::memory_order_relaxed) >= int(FMonitors.size()))
    FMonitorIndex.store(0, std::memory_order_relaxed);
}

int TScreenCapturer::MonitorCount() const {
  std::lock_guard Lock(FMonitorsLock);
  return int(FMonitors.size());
}

TMonitorInfoRec TScreenCapturer::GetMonitor(int AIndex) const {
  std::lock_guard Lock(FMonitorsLock);
  if (AIndex < 0 || AIndex >= int(FMonitors.size()))
    throw TError("no monitor with index " + std::to_string(AIndex));
  return FMonitors[size_t(AIndex)];
}

void TScreenCapturer::SelectMonitor(int AIndex) {
  if (AIndex < 0 || AIndex >= MonitorCount() || AIndex == MonitorIndex()) return;
  FMonitorIndex.store(AIndex, std::memory_order_relaxed);
  Reset();
}

TPixelRect TScreenCapturer::GetCaptureRect(int AIndex) const {
  {
    std::lock_guard Lock(FMonitorsLock);
    if (AIndex >= 0 && AIndex < int(FMonitors.size())) return FMonitors[size_t(AIndex)].Bounds;
  }
  return FScreen->ScreenRect();
}

void TScreenCapturer::EnsureGrid(int AWidth, int AHeight) {
  if (AWidth == FWidth && AHeight == FHeight && !FHashes.empty()) return;
  FWidth = AWidth;
  FHeight = AHeight;
  FCols = (AWidth + TileSize - 1) / TileSize;
  FRows = (AHeight + TileSize - 1) / TileSize;
  FHashes.assign(size_t(FCols) * size_t(FRows), 0);
  FHasPrev.store(false, std::memory_order_relaxed);
}

// FNV-1a over every second pixel of every second row of the tile, one 32-bit word per pixel.
uint32_t TScreenCapturer::TileHash(int ACol, int ARow) const {
  const int X0 = ACol * TileSize, Y0 = ARow * TileSize;
  const int X1 = std::min(X0 + TileSize, FWidth), Y1 = std::min(Y0 + TileSize, FHeight);
  uint32_t H = FnvOffset;
  for (int Y = Y0; Y < Y1; Y += 2) {
    const uint32_t* Row = FBitmap.data() + size_t(Y) * size_t(FWidth);
    for (int X = X0; X < X1; X += 2) H = (H ^ Row[X]) * FnvPrime;
  }
  return H;
}

void TScreenCapturer::DrawCursor(const TPixelRect& ACaptureRect) {
  if (!FScreen->GetCursor(FCursor)) return;
  const TCursorImage& C = FCursor;
  if (C.Width <= 0 || C.Height <= 0 || C.Pixels.size() < size_t(C.Width) * size_t(C.Height)) return;
  // Image corner relative to the picture, then clipped to it.
  const int64_t Left = int64_t(C.X) - C.HotX - ACaptureRect.Left;
  const int64_t Top = int64_t(C.Y) - C.HotY - ACaptureRect.Top;
  const int64_t X0 = std::max<int64_t>(Left, 0), Y0 = std::max<int64_t>(Top, 0);
  const int64_t X1 = std::min<int64_t>(Left + C.Width, FWidth);
  const int64_t Y1 = std::min<int64_t>(Top + C.Height, FHeight);
  for (int64_t Y = Y0; Y < Y1; ++Y) {
    const uint32_t* Src = C.Pixels.data() + size_t(Y - Top) * size_t(C.Width);
    uint32_t* Dst = FBitmap.data() + size_t(Y) * size_t(FWidth);
    for (int64_t X = X0; X < X1; ++X) {
      const uint32_t S = Src[X - Left];
      const uint32_t A = S >> 24;
      if (A == 0 && (S & 0xFFFFFFu) == 0) continue;
      const uint32_t D = Dst[X], Inv = 255 - A;
      Dst[X] = (D & 0xFF000000u) | (BlendChannel((S >> 16) & 0xFF, (D >> 16) & 0xFF, Inv) << 16) |
               (BlendChannel((S >> 8) & 0xFF, (D >> 8) & 0xFF, Inv) << 8) |
               BlendChannel(S & 0xFF, D & 0xFF, Inv);
    }
  }
}

void TScreenCapturer::EncodeRect(const TPixelRect& ARect, TBytes& AData, TJpegEncoder& AJpeg,
                                 std::vector<uint8_t>& ATileBmp) const {
  const int W = ARect.Width(), H = ARect.Height();
  ATileBmp.resize(size_t(W) * size_t(H) * 3);
  uint8_t* Out = ATileBmp.data();
  for (int Y = ARect.Top; Y < ARect.Bottom; ++Y) {
    const uint32_t* Row = FBitmap.data() + size_t(Y) * size_t(FWidth) + size_t(ARect.Left);
    for (int X = 0; X < W; ++X) {
      const uint32_t P = Row[X];
      Out[0] = uint8_t(P >> 16);
      Out[1] = uint8_t(P >> 8);
      Out[2] = uint8_t(P);
      Out += 3;
    }
  }
  AJpeg.Encode(ATileBmp.data(), W, H, size_t(W) * 3, Quality(), AData);
}

// Records the rectangle of one run; EncodeRuns fills in its JPEG bytes.
void TScreenCapturer::EmitRun(int ARow, int ACol0, int ACol1, std::vector<TEncodedRect>& ARects) {
  TPixelRect R;
  R.Left = ACol0 * TileSize;
  R.Top = ARow * TileSize;
  R.Right = std::min((ACol1 + 1) * TileSize, FWidth);
  R.Bottom = std::min((ARow + 1) * TileSize, FHeight);
  FRuns.push_back(R);
  TEncodedRect& E = ARects.emplace_back();
  E.Rect.X = uint16_t(R.Left);
  E.Rect.Y = uint16_t(R.Top);
  E.Rect.W = uint16_t(R.Width());
  E.Rect.H = uint16_t(R.Height());
}

// Encodes every recorded run into its rectangle. With helpers, the members of the team take the
// next unencoded run until none is left; each run's bytes depend only on its pixels and the
// quality, so the result is the same as one thread's. The first failure, in run order, is raised.
void TScreenCapturer::EncodeRuns(std::vector<TEncodedRect>& ARects) {
  size_t Pixels = 0;
  for (const TPixelRect& R : FRuns) Pixels += size_t(R.Width()) * size_t(R.Height());
  if (FRuns.size() < 2 || FTeam->Size() < 2 || Pixels < MinParallelPixels) {
    for (size_t I = 0; I < FRuns.size(); ++I) EncodeRect(FRuns[I], ARects[I].Data, FJpeg, FTileBmp);
  } else {
    std::atomic<size_t> Next{0};
    std::vector<std::exception_ptr> Errors(FRuns.size());
    FTeam->Run([&](int AMember) {
      TJpegEncoder& Jpeg = AMember == 0 ? FJpeg : FHelperSlots[size_t(AMember - 1)]->Jpeg;
      std::vector<uint8_t>& TileBmp = AMember == 0 ? FTileBmp : FHelperSlots[size_t(AMember - 1)]->TileBmp;
      for (size_t I; (I = Next.fetch_add(1)) < FRuns.size();) {
        try {
          EncodeRect(FRuns[I], ARects[I].Data, Jpeg, TileBmp);
        } catch (...) {
          Errors[I] = std::current_exception();
        }
      }
    });
    for (const auto& E : Errors)
      if (E) std::rethrow_exception(E);
  }
  for (TEncodedRect& E : ARects) E.Rect.DataLen = uint32_t(E.Data.size());
}

bool TScreenCapturer::Capture(bool AKeyframe, std::vector<TEncodedRect>& ARects, int& AScreenW, int& AScreenH) {
  ARects.clear();
  const int Index = MonitorIndex();
  const TPixelRect R = GetCaptureRect(Index);
  AScreenW = std::max(R.Width(), 0);
  AScreenH = std::max(R.Height(), 0);
  if (AScreenW > MaxSide || AScreenH > MaxSide)
    throw TError("monitor of " + std::to_string(AScreenW) + "x" + std::to_string(AScreenH) + " pixels is too large");
  EnsureGrid(AScreenW, AScreenH);
  const size_t Pixels = size_t(FWidth) * size_t(FHeight);
  if (FBitmap.size() != Pixels) FBitmap.assign(Pixels, 0);
  if (Pixels == 0) return false;

  // A failed copy leaves the previous picture; the cursor is drawn over it once more.
  FScreen->CopyRect(R, FBitmap.data(), size_t(FWidth));
  DrawCursor(R);

  // Taking the flag here (rather than setting it after hashing) keeps a Reset that lands while
  // this call hashes and encodes for the next call. A monitor other than last time's is always
  // sent in full, also when the reset of its SelectMonitor was taken by the call before.
  const bool HadPrev = FHasPrev.exchange(true, std::memory_order_relaxed) && Index == FCapturedIndex;
  FCapturedIndex = Index;
  FDirty.assign(FHashes.size(), 0);
  for (int Row = 0; Row < FRows; ++Row)
    for (int Col = 0; Col < FCols; ++Col) {
      const size_t I = size_t(Row) * size_t(FCols) + size_t(Col);
      const uint32_t H = TileHash(Col, Row);
      FDirty[I] = AKeyframe || !HadPrev || H != FHashes[I];
      FHashes[I] = H;
    }

  FRuns.clear();
  try {
    for (int Row = 0; Row < FRows; ++Row) {
      int Start = -1;
      for (int Col = 0; Col < FCols; ++Col) {
        if (FDirty[size_t(Row) * size_t(FCols) + size_t(Col)]) {
          if (Start < 0) Start = Col;
        } else if (Start >= 0) {
          EmitRun(Row, Start, Col - 1, ARects);
          Start = -1;
        }
      }
      if (Start >= 0) EmitRun(Row, Start, FCols - 1, ARects);
    }
    EncodeRuns(ARects);
  } catch (...) {
    // The hashes already hold this picture: without a full frame next time the tiles that were
    // not sent would never reach the viewer.
    ARects.clear();
    FHasPrev.store(false, std::memory_order_relaxed);
    throw;
  }
  return !ARects.empty();
}

}  // namespace tlm
