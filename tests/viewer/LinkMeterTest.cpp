// The frame rate and round-trip figures against a simulated line: a host that keeps at most two
// frames unacknowledged, a relay path of a known round trip, a viewer that takes a while to
// decode. The figure must never be shorter than the true round trip, and must be the round
// trip while the host waits on its window and the viewer keeps up.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "viewer/LinkMeter.h"

namespace tlm {
namespace {

struct TLine {
  int64_t RoundTripMs;  // viewer -> host -> viewer, without the host's own time
  int64_t DecodeMs;     // the viewer's time from a frame's arrival to its acknowledgement
  int64_t PauseMs;      // the host's pause between captures
};

// Runs AFrames frames over the line into AMeter, starting at AStartMs; answers the time of the
// last acknowledgement.
int64_t RunLine(TLinkMeter& AMeter, const TLine& ALine, int AFrames, int64_t AStartMs) {
  const int64_t oneWay = ALine.RoundTripMs / 2;
  int64_t hostFree = AStartMs, lastAck = AStartMs;
  std::vector<int64_t> ackSent;
  for (int n = 1; n <= AFrames; ++n) {
    // Frame n leaves once the acknowledgement of frame n - 2 is in and the pause is over.
    int64_t leaves = hostFree;
    if (n > 2) leaves = std::max(leaves, ackSent[size_t(n - 3)] + (ALine.RoundTripMs - oneWay));
    // The reader takes it once it is done with the frame before.
    const int64_t read = std::max(leaves + oneWay, lastAck);
    AMeter.FrameArrived(read);
    lastAck = read + ALine.DecodeMs;
    AMeter.AckSent(lastAck);
    ackSent.push_back(lastAck);
    hostFree = leaves + ALine.PauseMs;
  }
  return lastAck;
}

TEST(LinkMeterTest, RoundTripIsNeverShortAndExactWhileTheHostWaitsOnItsWindow) {
  struct TCase {
    const char* What;
    TLine Line;
    bool WindowBound;
    double Fps;
  } cases[] = {
      {"slow line, busy screen", {200, 5, 10}, true, 2 * 1000.0 / 205},
      {"fast line, the viewer's decoding sets the pace", {2, 40, 0}, false, 1000.0 / 40},
      {"fast line, the host's pause sets the pace", {2, 5, 80}, false, 1000.0 / 80},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    TLinkMeter meter;
    meter.Reset(0);
    const int64_t end = RunLine(meter, c.Line, 200, 0);
    const TLinkMeter::TFigures figures = meter.Figures(end);
    ASSERT_TRUE(figures.RoundTripMs.has_value());
    EXPECT_GE(*figures.RoundTripMs, c.Line.RoundTripMs);
    if (c.WindowBound) {
      EXPECT_EQ(*figures.RoundTripMs, c.Line.RoundTripMs);
    }
    EXPECT_NEAR(figures.FramesPerSecond, c.Fps, c.Fps * 0.1);
  }
}

TEST(LinkMeterTest, FiguresAgeAndStartOverWithTheSession) {
  TLinkMeter meter;
  meter.Reset(1000);
  EXPECT_EQ(meter.Figures(1000).FramesPerSecond, 0);
  EXPECT_FALSE(meter.Figures(1000).RoundTripMs);
  // Two frames and their acknowledgements are no round trip yet: the window was open.
  const int64_t end = RunLine(meter, {30, 5, 100}, 2, 1000);
  EXPECT_FALSE(meter.Figures(end).RoundTripMs);
  // A young session counts its frames over its own age, not over the whole span.
  EXPECT_NEAR(meter.Figures(1500).FramesPerSecond, 2 * 1000.0 / 500, 0.01);

  const int64_t busy = RunLine(meter, {30, 5, 10}, 50, end);
  ASSERT_TRUE(meter.Figures(busy).RoundTripMs);
  // A still screen: no frames, the rate falls to nothing and the round trip goes.
  EXPECT_EQ(meter.Figures(busy + TLinkMeter::RateSpanMs).FramesPerSecond, 0);
  EXPECT_FALSE(meter.Figures(busy + TLinkMeter::RoundTripSpanMs).RoundTripMs);

  // Frames read before the ones ahead of them were acknowledged say nothing about the line.
  meter.Reset(busy);
  for (int64_t t = 1; t <= 3; ++t) meter.FrameArrived(busy + t);
  EXPECT_FALSE(meter.Figures(busy + 4).RoundTripMs);
}

TEST(LinkMeterTest, AFloodOfFramesKeepsItsBound) {
  TLinkMeter meter;
  meter.Reset(0);
  for (int i = 0; i < 100000; ++i) {
    meter.FrameArrived(1000);
    meter.AckSent(1000);
  }
  // Every arrival fell in the span, only the newest MaxSamples are kept.
  EXPECT_EQ(meter.Figures(1000).FramesPerSecond, double(TLinkMeter::MaxSamples));
}

}  // namespace
}  // namespace tlm
