#include "host/SmoothPacing.h"

#include <algorithm>

namespace tlm {

void TSmoothPacing::Reset() { *this = TSmoothPacing(); }

void TSmoothPacing::FrameMade(int64_t ANowMs) {
  if (FHasFrame) {
    const double gap = double(std::clamp<int64_t>(ANowMs - FLastFrameMs, 0, MaxGapMs));
    FGapMs = FGapMs == 0 ? gap : FGapMs * 0.75 + gap * 0.25;
  }
  FHasFrame = true;
  FLastFrameMs = ANowMs;
}

void TSmoothPacing::AckCame(int64_t ANowMs, int64_t ARoundTripMs) {
  if (FGapMs <= 0) return;  // nothing to compare with yet
  if (FStepped && ANowMs - FLastStepMs < StepMs) return;
  const double ratio = double(ARoundTripMs) / std::max(FGapMs, 1.0);
  int next = FQuality;
  if (ratio > SlowRatio)
    next = std::max(MinQuality, FQuality - QualityStep * std::min(MaxStepsDown, int(ratio / SlowRatio)));
  else if (ratio < FastRatio)
    next = std::min(StartQuality, FQuality + QualityStep);
  if (next == FQuality) return;
  FQuality = next;
  FStepped = true;
  FLastStepMs = ANowMs;
}

void TSmoothPacing::Captured(const TTileReport& AReport) {
  if (AReport.Tiles.empty()) return;  // no picture: nothing was seen, nothing was sent
  if (AReport.Tiles.size() != size_t(AReport.Cols) * size_t(AReport.Rows)) return;  // not a grid
  if (AReport.Cols != FCols || AReport.Rows != FRows) {
    FCols = AReport.Cols;
    FRows = AReport.Rows;
    FTiles.assign(AReport.Tiles.size(), TTile{});
  }
  FMoving = false;
  const bool hasExact = AReport.Exact.size() == AReport.Tiles.size();
  for (size_t i = 0; i < FTiles.size(); ++i) {
    TTile& tile = FTiles[i];
    const bool exact = hasExact && AReport.Exact[i] != 0;
    switch (AReport.Tiles[i]) {
      case TTileReport::Changed:
        tile.SentQuality = uint8_t(exact ? ExactQuality : FPlannedQuality);
        tile.Still = 0;
        FMoving = true;
        break;
      case TTileReport::Refined:
        tile.SentQuality = uint8_t(exact ? ExactQuality : RefineQuality);
        break;
      default:
        if (tile.Still < StillCaptures) ++tile.Still;
        break;
    }
  }
}

int TSmoothPacing::PauseMs() const { return FMoving ? MotionPauseMs : IdlePauseMs; }

TTilePlan TSmoothPacing::NextPlan() {
  TTilePlan plan;
  plan.ChangedQuality = FQuality;
  plan.RefineQuality = RefineQuality;
  int due = 0;
  for (size_t i = 0; i < FTiles.size() && due < MaxRefinePerFrame; ++i) {
    const TTile& tile = FTiles[i];
    if (tile.SentQuality == 0 || tile.SentQuality >= RefineQuality || tile.Still < StillCaptures) continue;
    if (plan.Refine.empty()) plan.Refine.assign(FTiles.size(), 0);
    plan.Refine[i] = 1;
    ++due;
  }
  FPlannedQuality = FQuality;
  return plan;
}

int TSmoothPacing::CoarseTiles() const {
  return int(std::count_if(FTiles.begin(), FTiles.end(),
                           [](const TTile& t) { return t.SentQuality != 0 && t.SentQuality < RefineQuality; }));
}

}  // namespace tlm
