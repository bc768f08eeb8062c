// TSmoothPacing: the rule of the link-paced preset ("부드럽게"). Plain state without threads,
// sockets or a clock of its own: the capture loop reports what happened and asks what to do next.
//
// Inputs (capture thread, in the order they happen):
// - FrameMade(now): a frame was handed to the writer;
// - AckCame(now, round trip): the viewer acknowledged a frame that took that long to come back;
// - Captured(report): what a capture that took a picture sent, tile by tile.
// Outputs: PauseMs() before the next capture, and NextPlan() for it (the JPEG quality of changed
// tiles, the quality and the set of still tiles to send again).
//
// The rule:
// - Pace. Nothing waits for the clock while the screen moves: the frame window (at most two
//   unacknowledged frames) holds the loop back exactly as long as the line needs. Between
//   captures that found changes the loop rests MotionPauseMs, so a capture quicker than the
//   desktop repaints does not spin; once a capture finds the screen unchanged it rests
//   IdlePauseMs, a look at the screen about sixty times a second, which is cheap (one copy and
//   one hash pass).
// - Quality while things move. Changed tiles start at StartQuality, the fast preset's. Every
//   acknowledgement compares its round trip with the smoothed gap between frames made. A round
//   trip above SlowRatio gaps means acknowledgements come back slower than frames are made:
//   the line, not the capture, sets the pace, and the quality steps down by QualityStep for
//   every SlowRatio in the ratio (at most MaxStepsDown steps at once: a line far slower than the
//   first frames needs several), to no less than MinQuality. A round trip below FastRatio gaps
//   steps it back up by one step, to StartQuality at most. One change per StepMs at most, either
//   way.
// - Refinement. A tile last sent below RefineQuality (the high preset's) that then stays
//   unchanged for StillCaptures captures is sent once more at RefineQuality, at most
//   MaxRefinePerFrame tiles per frame, top to bottom, so a refinement never holds up the next
//   moving frame for long. A tile that changes again starts over. A still screen whose tiles
//   have all been refined sends nothing. A tile that went without loss (a palette tile) is never
//   refined: it is exact already.
// A new grid (first picture, another size or monitor) forgets every tile; Reset forgets all.
#pragma once

#include <cstdint>
#include <vector>

#include "capture/TilePlan.h"

namespace tlm {

class TSmoothPacing {
public:
  static constexpr int StartQuality = 45;
  static constexpr int MinQuality = 15;
  static constexpr int QualityStep = 5;
  static constexpr int MaxStepsDown = 3;
  static constexpr int RefineQuality = 82;
  // What a tile sent without loss counts as: above any JPEG quality.
  static constexpr int ExactQuality = 255;
  static constexpr int64_t StepMs = 150;
  static constexpr double SlowRatio = 1.5;
  static constexpr double FastRatio = 0.9;
  static constexpr int MotionPauseMs = 2;
  static constexpr int IdlePauseMs = 16;
  static constexpr int StillCaptures = 6;
  static constexpr int MaxRefinePerFrame = 12;
  // Gaps longer than this are the screen resting, not the line: they count as this long.
  static constexpr int64_t MaxGapMs = 250;

  void Reset();
  void FrameMade(int64_t ANowMs);
  void AckCame(int64_t ANowMs, int64_t ARoundTripMs);
  void Captured(const TTileReport& AReport);

  int PauseMs() const;
  // The plan for the next capture: its Refine list marks the tiles due for refinement. Call it
  // once per capture, right before it: Captured takes the changed tiles' quality from it.
  TTilePlan NextPlan();
  int Quality() const { return FQuality; }
  // Tiles sent below RefineQuality and not yet refined.
  int CoarseTiles() const;

private:
  struct TTile {
    uint8_t SentQuality = 0;  // 0: not sent on this grid
    uint16_t Still = 0;       // captures since it last changed, up to StillCaptures
  };
  int FQuality = StartQuality;
  int64_t FLastStepMs = 0;
  bool FStepped = false;
  int64_t FLastFrameMs = 0;
  bool FHasFrame = false;
  double FGapMs = 0;  // smoothed gap between frames made; 0 until two frames were made
  bool FMoving = false;  // the last capture found changed tiles
  // The quality the changed tiles of the next capture get (NextPlan's), remembered for Captured.
  int FPlannedQuality = StartQuality;
  int FCols = 0, FRows = 0;
  std::vector<TTile> FTiles;
};

}  // namespace tlm
