#include "capture/ScreenCapturer.h"

#include <algorithm>
#include <exception>
#include <string>

#include "protocol/Error.h"

namespace tlm {

namespace {

constexpr uint32_t FnvOffset = 0x811C9DC5u;
constexpr uint32_t FnvPrime = 0x01000193u;
// Positions and sizes travel as 16-bit fields.
constexpr int MaxSide = 65535;
// Below this many pixels on the monitor, waking helpers costs more than it saves.
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
  const int Threads = AEncodeThreads > 0 ? AEncodeThreads : DefaultEncodeThreads();
  FTeam = std::make_unique<TWorkerTeam>(Threads - 1);
  for (int I = 0; I < Threads; ++I) FCoders.push_back(std::make_unique<TCoders>());
  RefreshMonitors();
}

TScreenCapturer::~TScreenCapturer() = default;

int TScreenCapturer::DefaultEncodeThreads() { return TWorkerTeam::DefaultSize(); }

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

bool TScreenCapturer::CheckLayout() {
  if (!FScreen->TakeLayoutChange()) return false;
  std::vector<TMonitorInfoRec> Before;
  {
    std::lock_guard Lock(FMonitorsLock);
    Before = FMonitors;
  }
  RefreshMonitors();
  std::lock_guard Lock(FMonitorsLock);
  return FMonitors != Before;
}

void TScreenCapturer::EnsureGrid(int AWidth, int AHeight) {
  if (AWidth == FWidth && AHeight == FHeight && !FHashes.empty()) return;
  FWidth = AWidth;
  FHeight = AHeight;
  FCols = (AWidth + TileSize - 1) / TileSize;
  FRows = (AHeight + TileSize - 1) / TileSize;
  FHashes.assign(size_t(FCols) * size_t(FRows), 0);
  FFreshHashes.assign(FHashes.size(), 0);
  FRowRects.resize(size_t(FRows));
  FRowErrors.resize(size_t(FRows));
  FHasPrev.store(false, std::memory_order_relaxed);
}

bool TScreenCapturer::TakePicture(const TPixelRect& ARect) {
  TPixelView View;
  if (FScreen->Grab(ARect, View)) {
    FPicture = View;
    FBitmapHeld = false;
    return true;
  }
  const size_t Pixels = size_t(FWidth) * size_t(FHeight);
  if (FBitmap.size() != Pixels) {
    FBitmap.assign(Pixels, 0);
    FBitmapHeld = false;
  }
  FPicture = TPixelView{FBitmap.data(), size_t(FWidth)};
  if (FScreen->CopyRect(ARect, FBitmap.data(), size_t(FWidth))) {
    FBitmapHeld = true;
    return true;
  }
  // A failed copy leaves the previous picture, when the bitmap holds it.
  return FBitmapHeld;
}

// FNV-1a over every second pixel of every second row of the tile, one 32-bit word per pixel.
uint32_t TScreenCapturer::TileHash(int ACol, int ARow) const {
  const int X0 = ACol * TileSize, Y0 = ARow * TileSize;
  const int X1 = std::min(X0 + TileSize, FWidth), Y1 = std::min(Y0 + TileSize, FHeight);
  uint32_t H = FnvOffset;
  for (int Y = Y0; Y < Y1; Y += 2) {
    const uint32_t* Row = FPicture.Pixels + size_t(Y) * FPicture.Stride;
    for (int X = X0; X < X1; X += 2) H = (H ^ Row[X]) * FnvPrime;
  }
  return H;
}

void TScreenCapturer::DrawCursor(const TPixelRect& ACaptureRect) {
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
    uint32_t* Dst = FPicture.Pixels + size_t(Y) * FPicture.Stride;
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

// The pixels of tiles ACol0 .. ACol1 of row ARow, clipped at the picture's edges.
TPixelRect TScreenCapturer::RunRect(int ARow, int ACol0, int ACol1) const {
  TPixelRect R;
  R.Left = ACol0 * TileSize;
  R.Top = ARow * TileSize;
  R.Right = std::min((ACol1 + 1) * TileSize, FWidth);
  R.Bottom = std::min((ARow + 1) * TileSize, FHeight);
  return R;
}

namespace {

TEncodedRect& AppendRect(const TPixelRect& R, std::vector<TEncodedRect>& AOut) {
  TEncodedRect& E = AOut.emplace_back();
  E.Rect.X = uint16_t(R.Left);
  E.Rect.Y = uint16_t(R.Top);
  E.Rect.W = uint16_t(R.Width());
  E.Rect.H = uint16_t(R.Height());
  return E;
}

}  // namespace

// Appends the rectangle of tiles ACol0 .. ACol1 of row ARow as one JPEG, encoded straight from
// the picture.
void TScreenCapturer::EncodeJpegRun(int ARow, int ACol0, int ACol1, int AQuality, std::vector<TEncodedRect>& AOut,
                                    TJpegEncoder& AJpeg) const {
  const TPixelRect R = RunRect(ARow, ACol0, ACol1);
  TEncodedRect& E = AppendRect(R, AOut);
  const uint32_t* Corner = FPicture.Pixels + size_t(R.Top) * FPicture.Stride + size_t(R.Left);
  AJpeg.EncodeWords(Corner, R.Width(), R.Height(), FPicture.Stride, AQuality, E.Data);
  E.Rect.DataLen = uint32_t(E.Data.size());
}

// Codes tile ACol of row ARow into ACoders.Scratch as a palette tile when it has few enough
// colours and comes out smaller than its JPEG at AQuality; false (Scratch unspecified) otherwise.
bool TScreenCapturer::EncodePaletteTile(int ARow, int ACol, int AQuality, TCoders& ACoders) const {
  const TPixelRect R = RunRect(ARow, ACol, ACol);
  const uint32_t* Corner = FPicture.Pixels + size_t(R.Top) * FPicture.Stride + size_t(R.Left);
  if (!ACoders.Palette.Encode(Corner, R.Width(), R.Height(), FPicture.Stride, MaxTileColours, ACoders.Scratch))
    return false;
  const size_t Pixels = size_t(R.Width()) * size_t(R.Height());
  if (ACoders.Scratch.size() * SurePalettePixelsPerByte <= Pixels) return true;
  // Many colours or fine detail: only the JPEG itself tells which is smaller. It is made again
  // as part of its run when it wins; that is rare enough not to keep it.
  TBytes Jpeg;
  ACoders.Jpeg.EncodeWords(Corner, R.Width(), R.Height(), FPicture.Stride, AQuality, Jpeg);
  return ACoders.Scratch.size() < Jpeg.size();
}

// Appends tiles ACol0 .. ACol1 of row ARow: with APalette each tile that codes smaller as a
// palette tile goes as one (and is marked in AExact, indexed by column), the tiles between go
// as JPEG runs; without, the whole run is one JPEG.
void TScreenCapturer::EncodeRun(int ARow, int ACol0, int ACol1, int AQuality, bool APalette,
                                std::vector<TEncodedRect>& AOut, TCoders& ACoders, uint8_t* AExact) const {
  const int Q = AQuality > 0 ? AQuality : Quality();
  if (!APalette) {
    EncodeJpegRun(ARow, ACol0, ACol1, Q, AOut, ACoders.Jpeg);
    return;
  }
  int JpegFrom = ACol0;
  for (int Col = ACol0; Col <= ACol1; ++Col) {
    if (!EncodePaletteTile(ARow, Col, Q, ACoders)) continue;
    if (JpegFrom < Col) EncodeJpegRun(ARow, JpegFrom, Col - 1, Q, AOut, ACoders.Jpeg);
    TEncodedRect& E = AppendRect(RunRect(ARow, Col, Col), AOut);
    E.Data.swap(ACoders.Scratch);
    E.Rect.DataLen = uint32_t(E.Data.size());
    AExact[Col] = 1;
    JpegFrom = Col + 1;
  }
  if (JpegFrom <= ACol1) EncodeJpegRun(ARow, JpegFrom, ACol1, Q, AOut, ACoders.Jpeg);
}

// TileHash of every tile of row ARow into AOut (FCols entries). Each hash is one long chain of
// dependent multiplications, so four full-width tiles are hashed side by side: the same values,
// but the processor overlaps the four chains.
void TScreenCapturer::HashRow(int ARow, uint32_t* AOut) const {
  const int Y0 = ARow * TileSize, Y1 = std::min(Y0 + TileSize, FHeight);
  const int FullCols = FWidth / TileSize;
  int Col = 0;
  for (; Col + 4 <= FullCols; Col += 4) {
    uint32_t H0 = FnvOffset, H1 = FnvOffset, H2 = FnvOffset, H3 = FnvOffset;
    for (int Y = Y0; Y < Y1; Y += 2) {
      const uint32_t* Row = FPicture.Pixels + size_t(Y) * FPicture.Stride + size_t(Col) * TileSize;
      for (int X = 0; X < TileSize; X += 2) {
        H0 = (H0 ^ Row[X]) * FnvPrime;
        H1 = (H1 ^ Row[X + TileSize]) * FnvPrime;
        H2 = (H2 ^ Row[X + 2 * TileSize]) * FnvPrime;
        H3 = (H3 ^ Row[X + 3 * TileSize]) * FnvPrime;
      }
    }
    AOut[Col] = H0;
    AOut[Col + 1] = H1;
    AOut[Col + 2] = H2;
    AOut[Col + 3] = H3;
  }
  for (; Col < FCols; ++Col) AOut[Col] = TileHash(Col, ARow);
}

// Hashes the tiles of one tile row and encodes its runs of tiles to send into FRowRects[ARow],
// left to right: changed tiles (every tile when AEverything) and the unchanged ones APlan asks
// for again. A run holds tiles of one kind only, so each rectangle has one quality.
void TScreenCapturer::CaptureRow(int ARow, bool AEverything, bool APalette, const TTilePlan& APlan, TCoders& ACoders) {
  std::vector<TEncodedRect>& Out = FRowRects[size_t(ARow)];
  Out.clear();
  const size_t First = size_t(ARow) * size_t(FCols);
  uint32_t* Hashes = FHashes.data() + First;
  uint32_t* Fresh = FFreshHashes.data() + First;
  uint8_t* Kinds = FReport.Tiles.data() + First;
  uint8_t* Exact = FReport.Exact.data() + First;
  const uint8_t* Refine = APlan.Refine.size() == FHashes.size() ? APlan.Refine.data() + First : nullptr;
  HashRow(ARow, Fresh);
  const auto Encode = [&](uint8_t AKind, int ACol0, int ACol1) {
    const int Quality = AKind == TTileReport::Refined ? APlan.RefineQuality : APlan.ChangedQuality;
    EncodeRun(ARow, ACol0, ACol1, Quality, APalette, Out, ACoders, Exact);
  };
  int Start = -1;
  uint8_t RunKind = TTileReport::Unchanged;
  for (int Col = 0; Col <= FCols; ++Col) {
    uint8_t Kind = TTileReport::Unchanged;
    if (Col < FCols) {
      if (AEverything || Fresh[Col] != Hashes[Col])
        Kind = TTileReport::Changed;
      else if (Refine && Refine[Col])
        Kind = TTileReport::Refined;
      Hashes[Col] = Fresh[Col];
      Kinds[Col] = Kind;
    }
    if (Kind == RunKind) continue;
    if (Start >= 0) Encode(RunKind, Start, Col - 1);
    Start = Kind == TTileReport::Unchanged ? -1 : Col;
    RunKind = Kind;
  }
}

// Every tile row, on the team when the picture is large enough to pay for waking it: the members
// take the next untouched row until none is left. Each rectangle's bytes depend only on its
// pixels and the quality, so the result is the same as one thread's. The first failure, in row
// order, is raised.
void TScreenCapturer::CaptureRows(bool AEverything, bool APalette, const TTilePlan& APlan) {
  const size_t Pixels = size_t(FWidth) * size_t(FHeight);
  for (auto& E : FRowErrors) E = nullptr;
  if (FRows < 2 || FTeam->Size() < 2 || Pixels < MinParallelPixels) {
    for (int Row = 0; Row < FRows; ++Row) CaptureRow(Row, AEverything, APalette, APlan, *FCoders[0]);
    return;
  }
  std::atomic<int> Next{0};
  FTeam->Run([&](int AMember) {
    TCoders& Coders = *FCoders[size_t(AMember)];
    for (int Row; (Row = Next.fetch_add(1)) < FRows;) {
      try {
        CaptureRow(Row, AEverything, APalette, APlan, Coders);
      } catch (...) {
        FRowErrors[size_t(Row)] = std::current_exception();
      }
    }
  });
  for (const auto& E : FRowErrors)
    if (E) std::rethrow_exception(E);
}

bool TScreenCapturer::Capture(bool AKeyframe, std::vector<TEncodedRect>& ARects, int& AScreenW, int& AScreenH) {
  TTilePlan Plan;
  Plan.ChangedQuality = Plan.RefineQuality = 0;  // Quality(), read for each rectangle
  return Capture(AKeyframe, Plan, ARects, AScreenW, AScreenH);
}

bool TScreenCapturer::Capture(bool AKeyframe, const TTilePlan& APlan, std::vector<TEncodedRect>& ARects, int& AScreenW,
                              int& AScreenH) {
  ARects.clear();
  FReport.Tiles.clear();
  FReport.Exact.clear();
  const int Index = MonitorIndex();
  const bool Palette = PaletteTiles();
  const TPixelRect R = GetCaptureRect(Index);
  AScreenW = std::max(R.Width(), 0);
  AScreenH = std::max(R.Height(), 0);
  if (AScreenW > MaxSide || AScreenH > MaxSide)
    throw TError("monitor of " + std::to_string(AScreenW) + "x" + std::to_string(AScreenH) + " pixels is too large");
  EnsureGrid(AScreenW, AScreenH);
  if (size_t(FWidth) * size_t(FHeight) == 0) return false;

  // The cursor first: a lent picture is only good until the next call on the screen.
  const bool HasCursor = FScreen->GetCursor(FCursor);
  if (!TakePicture(R)) {
    // Nothing to compare: nothing is sent, and a key frame asked for now comes with the next
    // picture the screen gives.
    if (AKeyframe) FHasPrev.store(false, std::memory_order_relaxed);
    return false;
  }
  if (HasCursor) DrawCursor(R);

  // Taking the flag here (rather than setting it after hashing) keeps a Reset that lands while
  // this call hashes and encodes for the next call. A monitor other than last time's is always
  // sent in full, also when the reset of its SelectMonitor was taken by the call before.
  const bool HadPrev = FHasPrev.exchange(true, std::memory_order_relaxed) && Index == FCapturedIndex;
  FCapturedIndex = Index;
  FReport.Cols = FCols;
  FReport.Rows = FRows;
  FReport.Tiles.assign(FHashes.size(), TTileReport::Unchanged);
  FReport.Exact.assign(FHashes.size(), 0);
  try {
    CaptureRows(AKeyframe || !HadPrev, Palette, APlan);
    for (auto& Row : FRowRects) {
      for (TEncodedRect& E : Row) ARects.push_back(std::move(E));
      Row.clear();
    }
  } catch (...) {
    // The hashes already hold this picture: without a full frame next time the tiles that were
    // not sent would never reach the viewer.
    ARects.clear();
    FReport.Tiles.clear();
    FReport.Exact.clear();
    for (auto& Row : FRowRects) Row.clear();
    FHasPrev.store(false, std::memory_order_relaxed);
    throw;
  }
  return !ARects.empty();
}

}  // namespace tlm
