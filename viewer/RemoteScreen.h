// TRemoteScreen: the viewer's back buffer of the partner's screen and the compositing of
// received frames into it.
//
// Contract: Apply runs on one thread at a time (the session's reader); Read, Width and
// Height may be called from any thread. Apply decodes tiles without the lock (on several
// threads at once) and holds it only to resize the buffer and to copy decoded pixels in, so a
// paint never waits for a decode. A screen size change (a new monitor, a changed resolution) resizes the buffer at
// the first frame of the new size.
// What a hostile frame can cost is bounded: a screen above MaxRemoteScreenSide per side or
// MaxRemoteScreenPixels in all is unparseable; a tile whose JPEG header is larger than its own
// rectangle or than the screen, or a palette tile larger than the screen, is refused before
// decoding (a palette tile inflates to its rectangle's pixels and no more); decoded pixels
// waiting for the lock never exceed one screen's worth plus one tile.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <vector>

#include "viewer/TileDecodeTeam.h"
#include "viewer/TileDecoder.h"

namespace tlm {

constexpr int MaxRemoteScreenSide = 16384;
constexpr int64_t MaxRemoteScreenPixels = int64_t(64) << 20;

class TRemoteScreen {
public:
  enum class EApply {
    Drawn,        // composited; the picture may have changed
    Unparseable,  // not a frame, or a screen beyond the bounds: nothing changed
    Refused,      // a tile claims more than its rectangle or the screen: nothing changed
  };

  // Pixels as 32-bit words 0xFFRRGGBB (memory order B, G, R, 0xFF on little-endian machines).
  struct TView {
    const uint8_t* Bits = nullptr;
    int Width = 0;
    int Height = 0;
    ptrdiff_t Stride = 0;  // bytes
  };

  // Tiles are decoded on ADecodeThreads threads (0 picks by the number of processors); the
  // picture is the same for any number.
  explicit TRemoteScreen(int ADecodeThreads = 0);

  // Raises TError when a tile's data cannot be decoded, or after Cancel; tiles before it stay
  // drawn.
  EApply Apply(std::span<const uint8_t> APayload);
  // Any thread: makes a running and every later Apply stop at the next tile, so a frame of
  // many large tiles cannot hold up the session's end.
  void Cancel() { FCancelled.store(true); }

  // Runs AProc with the buffer held still; the view is empty before the first frame.
  void Read(const std::function<void(const TView& AView)>& AProc) const;
  // The same for a picture to be scaled into an area of AAreaW x AAreaH: when that is at most
  // half the screen in both directions, AProc gets the half-size copy (each pixel the mean of
  // two by two), which costs a quarter to scale and aliases less.
  void ReadForArea(int AAreaW, int AAreaH, const std::function<void(const TView& AView)>& AProc) const;
  int Width() const { return FWidth.load(); }
  int Height() const { return FHeight.load(); }

private:
  void Resize(int AWidth, int AHeight);
  void DecodeAndBlit(std::vector<TDecodedTile>& ABatch);
  void Blit(std::vector<TDecodedTile>& ATiles);
  void UpdateHalf(int AX0, int AY0, int AX1, int AY1);

  mutable std::mutex FLock;  // FPixels, FHalf and the sizes
  std::vector<uint32_t> FPixels;
  // FPixels at half the size (width / 2 x height / 2, rounded down), kept up to date with it.
  std::vector<uint32_t> FHalf;
  std::atomic<int> FWidth{0};
  std::atomic<int> FHeight{0};
  TTileDecoder FDecoder;  // Apply's thread only: reads the headers
  TTileDecodeTeam FTeam;  // Apply's thread only
  std::atomic<bool> FCancelled{false};
};

}  // namespace tlm
