// TScreenCapturer turns the picture of one monitor into JPEG rectangles of what changed since
// its previous call. The monitor is cut into a grid of 160-pixel tiles anchored at its top-left
// corner; each call takes the picture of the whole monitor (borrowed from the screen when it
// lends one, else copied), paints the cursor into it, hashes every tile and encodes each
// horizontal run of changed tiles of one tile row as one JPEG image. Where the viewer decodes
// them, a tile of few colours goes as a lossless palette tile of its own instead, when that is
// the smaller (protocol/PaletteTile.h). A tile plan may also ask for unchanged tiles once more
// at another quality (a sharper copy of a still area); those go in runs of their own. Tile rows are hashed and encoded side by side on a team of threads; the
// output is the same as on one thread.
//
// Contract (the host agent is the only user):
// - Construction (user-interface thread) enumerates the monitors. At each session start the
//   reader thread calls RefreshMonitors and Reset, before the capture thread starts.
// - Capture runs on one thread at a time (the session's capture thread, a new one per session);
//   it alone touches the pictures and the encoders. Encoding may use helper threads that the
//   capturer starts on first need and stops when destroyed.
// - The screen is called only from construction, RefreshMonitors, CheckLayout and Capture, so
//   never from two threads at once under this order of calls. CheckLayout runs on the capture
//   thread between captures.
// - SelectMonitor, SetQuality, SetPaletteTiles, MonitorIndex, Quality, MonitorCount and
//   GetMonitor may be called from any other thread while Capture runs. A Capture reads the
//   monitor index and the palette switch once, at its start, and the quality once per rectangle,
//   so a change takes effect from the next capture or rectangle. RefreshMonitors must not overlap
//   a running Capture (the host never does that); the monitor list is still guarded by a lock,
//   so an overlap is never unsafe.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

#include "capture/JpegEncoder.h"
#include "capture/TilePlan.h"
#include "protocol/WorkerTeam.h"
#include "platform/Screen.h"
#include "protocol/Frame.h"
#include "protocol/PaletteTile.h"

namespace tlm {

class TScreenCapturer {
public:
  static constexpr int TileSize = 160;
  static constexpr int DefaultQuality = 60;
  // A tile of at most this many colours is tried as a palette tile.
  static constexpr int MaxTileColours = 256;
  // A palette tile of at most one byte per this many pixels is taken without making the tile's
  // JPEG too, to compare: flat tiles of windows and text come to about 27 KB per Mpixel, their
  // JPEG at quality 45 to several times that. Larger palette tiles are weighed against it.
  static constexpr int SurePalettePixelsPerByte = 8;

  // The system's screen (CreateSystemScreen).
  TScreenCapturer();
  // Captures AScreen, which the capturer keeps alive; tests pass a TFakeScreen. The rectangles
  // of one frame are encoded on up to AEncodeThreads threads (the capture thread included; 0
  // picks by the number of processors); each rectangle's bytes are the same either way.
  explicit TScreenCapturer(std::shared_ptr<IScreen> AScreen, int AEncodeThreads = 0);
  // Threads a capturer uses when asked for 0: the processors, at most a handful.
  static int DefaultEncodeThreads();
  ~TScreenCapturer();
  TScreenCapturer(const TScreenCapturer&) = delete;
  TScreenCapturer& operator=(const TScreenCapturer&) = delete;

  // Reads the monitor list again (one primary entry of the screen rectangle when the system
  // reports none); an index beyond the new list falls back to 0. The hashes are kept.
  void RefreshMonitors();
  // Asks the screen whether its size or monitor layout changed; if so reads the monitors again
  // (as RefreshMonitors) and returns true when the list differs from before. The next Capture
  // sends the whole picture when the selected monitor's size changed.
  bool CheckLayout();
  int MonitorCount() const;
  // Entry AIndex; throws TError when AIndex is outside 0 .. MonitorCount() - 1.
  TMonitorInfoRec GetMonitor(int AIndex) const;
  // Switches to monitor AIndex and resets when it is valid and not the current one; otherwise
  // does nothing.
  void SelectMonitor(int AIndex);
  int MonitorIndex() const { return FMonitorIndex.load(std::memory_order_relaxed); }

  // The next Capture reports every tile.
  void Reset() { FHasPrev.store(false, std::memory_order_relaxed); }

  // JPEG quality 1..100 (values outside are clamped when encoding); 60 after construction.
  int Quality() const { return FQuality.load(std::memory_order_relaxed); }
  void SetQuality(int AQuality) { FQuality.store(AQuality, std::memory_order_relaxed); }
  // Whether tiles may go as palette tiles: only for a viewer that announced it decodes them.
  // Off after construction; a build without the palette coding never sends one.
  void SetPaletteTiles(bool AOn) { FPaletteTiles.store(AOn, std::memory_order_relaxed); }
  bool PaletteTiles() const { return FPaletteTiles.load(std::memory_order_relaxed); }

  // Captures the selected monitor and encodes the changed tiles (every tile when AKeyframe or
  // after a reset or a size change). ARects receives the rectangles top to bottom, left to right
  // (it is emptied first, and stays empty when this throws); AScreenW and AScreenH the size of
  // the monitor. Returns true when ARects is not empty. Throws TError when encoding fails; the
  // next call then reports every tile again. When the screen gives no picture, the last copied
  // one stands in for it; after a lent picture there is none, so nothing is sent and a key frame
  // asked for comes with the next picture.
  bool Capture(bool AKeyframe, std::vector<TEncodedRect>& ARects, int& AScreenW, int& AScreenH);
  // The same, with the qualities and the tiles to send again taken from APlan (a quality of 0
  // or less stands for Quality()). Runs merge only tiles sent for the same reason, so a
  // rectangle carries one quality.
  bool Capture(bool AKeyframe, const TTilePlan& APlan, std::vector<TEncodedRect>& ARects, int& AScreenW,
               int& AScreenH);
  // What the last Capture sent, tile by tile (capture thread only).
  const TTileReport& LastTiles() const { return FReport; }

private:
  TPixelRect GetCaptureRect(int AIndex) const;
  void EnsureGrid(int AWidth, int AHeight);
  bool TakePicture(const TPixelRect& ARect);
  uint32_t TileHash(int ACol, int ARow) const;
  void HashRow(int ARow, uint32_t* AOut) const;
  // Paints FCursor, as the screen last reported it, into the picture.
  void DrawCursor(const TPixelRect& ACaptureRect);
  // One thread's encoders.
  struct TCoders {
    TJpegEncoder Jpeg;
    TPaletteEncoder Palette;
    TBytes Scratch;
  };
  void CaptureRows(bool AEverything, bool APalette, const TTilePlan& APlan);
  void CaptureRow(int ARow, bool AEverything, bool APalette, const TTilePlan& APlan, TCoders& ACoders);
  TPixelRect RunRect(int ARow, int ACol0, int ACol1) const;
  void EncodeJpegRun(int ARow, int ACol0, int ACol1, int AQuality, std::vector<TEncodedRect>& AOut,
                     TJpegEncoder& AJpeg) const;
  void EncodeRun(int ARow, int ACol0, int ACol1, int AQuality, bool APalette, std::vector<TEncodedRect>& AOut,
                 TCoders& ACoders, uint8_t* AExact) const;
  bool EncodePaletteTile(int ARow, int ACol, int AQuality, TCoders& ACoders) const;

  std::shared_ptr<IScreen> FScreen;
  // The picture of this capture: lent by the screen, or FBitmap.
  TPixelView FPicture;
  // Picture of the selected monitor, FWidth x FHeight words 0x00RRGGBB, for screens that do
  // not lend theirs; FBitmapHeld while it holds the last picture taken.
  std::vector<uint32_t> FBitmap;
  bool FBitmapHeld = false;
  TCursorImage FCursor;
  // Tile rows are hashed and encoded by the members of FTeam, each with its own encoders
  // (FCoders[member]); each row's rectangles and failure are kept apart until the rows are joined.
  std::unique_ptr<TWorkerTeam> FTeam;
  std::vector<std::unique_ptr<TCoders>> FCoders;
  std::vector<std::vector<TEncodedRect>> FRowRects;
  std::vector<std::exception_ptr> FRowErrors;

  mutable std::mutex FMonitorsLock;
  std::vector<TMonitorInfoRec> FMonitors;

  std::atomic<int> FMonitorIndex{0};
  // Monitor of the previous Capture (capture thread only).
  int FCapturedIndex = -1;
  int FCols = 0;
  int FRows = 0;
  int FWidth = 0;
  int FHeight = 0;
  std::vector<uint32_t> FHashes;
  std::vector<uint32_t> FFreshHashes;  // this capture's, before they replace FHashes
  TTileReport FReport;
  std::atomic<bool> FHasPrev{false};
  std::atomic<int> FQuality{DefaultQuality};
  std::atomic<bool> FPaletteTiles{false};
};

}  // namespace tlm
