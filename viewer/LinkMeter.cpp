#include "viewer/LinkMeter.h"

#include <algorithm>

namespace tlm {

void TLinkMeter::Reset(int64_t ANowMs) {
  std::lock_guard hold(FLock);
  FStartMs = ANowMs;
  FFrames = 0;
  FAcks = 0;
  FAckTimes.clear();
  FArrivals.clear();
  FRoundTrips.clear();
}

void TLinkMeter::FrameArrived(int64_t ANowMs) {
  std::lock_guard hold(FLock);
  ++FFrames;
  FArrivals.push_back(ANowMs);
  if (FArrivals.size() > MaxSamples) FArrivals.pop_front();
  // This frame waited for the acknowledgement of frame FFrames - HostWindow, the oldest kept,
  // provided every frame before this one has been acknowledged.
  if (FFrames > HostWindow && FAcks == FFrames - 1 && FAckTimes.size() == HostWindow) {
    FRoundTrips.emplace_back(ANowMs, std::max<int64_t>(0, ANowMs - FAckTimes.front()));
    if (FRoundTrips.size() > MaxSamples) FRoundTrips.pop_front();
  }
  DropOld(ANowMs);
}

void TLinkMeter::AckSent(int64_t ANowMs) {
  std::lock_guard hold(FLock);
  ++FAcks;
  FAckTimes.push_back(ANowMs);
  if (FAckTimes.size() > HostWindow) FAckTimes.pop_front();
}

TLinkMeter::TFigures TLinkMeter::Figures(int64_t ANowMs) const {
  std::lock_guard hold(FLock);
  DropOld(ANowMs);
  TFigures figures;
  // Over the span, or over the session while it is younger than that.
  const int64_t span = std::min(RateSpanMs, ANowMs - FStartMs);
  if (span > 0) figures.FramesPerSecond = double(FArrivals.size()) * 1000.0 / double(span);
  for (const auto& [when, ms] : FRoundTrips)
    if (!figures.RoundTripMs || ms < *figures.RoundTripMs) figures.RoundTripMs = ms;
  return figures;
}

void TLinkMeter::DropOld(int64_t ANowMs) const {
  while (!FArrivals.empty() && FArrivals.front() <= ANowMs - RateSpanMs) FArrivals.pop_front();
  while (!FRoundTrips.empty() && FRoundTrips.front().first <= ANowMs - RoundTripSpanMs) FRoundTrips.pop_front();
}

}  // namespace tlm
