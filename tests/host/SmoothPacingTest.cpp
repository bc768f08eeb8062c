// The link-paced preset's rule: quality against the acknowledgements, and refinement of still
// tiles on the real capturer over an in-memory screen.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "capture/JpegEncoder.h"
#include "capture/ScreenCapturer.h"
#include "host/SmoothPacing.h"
#include "platform/fake/FakeScreen.h"
#include "protocol/PaletteTile.h"

namespace tlm {
namespace {

// A stretch of frames made AGapMs apart, each acknowledged right after it with ARoundTripMs.
struct TPhase {
  int64_t GapMs;
  int64_t RoundTripMs;
  int Frames;
  int QualityAfter;
};

TEST(SmoothPacing, QualityFollowsTheAcknowledgements) {
  constexpr int Start = TSmoothPacing::StartQuality, Min = TSmoothPacing::MinQuality;
  struct TCase {
    const char* Name;
    std::vector<TPhase> Phases;
  } cases[] = {
      {"capture-bound: acknowledgements well inside a frame gap", {{30, 5, 60, Start}}},
      {"one frame waits behind another: steps down to the floor and stays", {{40, 80, 60, Min}, {40, 80, 30, Min}}},
      // The first acknowledgement after two frames steps once; the next step waits its turn.
      {"a short slow stretch steps once", {{40, 80, 4, Start - TSmoothPacing::QualityStep}}},
      {"round trips a little above the gap leave it alone", {{40, 48, 60, Start}}},
      // A line far slower than the first frames: several steps at once, at most MaxStepsDown.
      {"much slower acknowledgements step further", {{40, 400, 2, Start - TSmoothPacing::MaxStepsDown * TSmoothPacing::QualityStep}}},
      {"the line clears: back up, no higher than the start", {{40, 80, 60, Min}, {40, 5, 60, Start}}},
      {"a resting screen's long gaps do not pass for a fast line", {{40, 80, 60, Min}, {2000, 300, 3, Min}}},
  };
  for (const TCase& c : cases) {
    TSmoothPacing rule;
    int64_t now = 1000;
    for (size_t p = 0; p < c.Phases.size(); ++p) {
      const TPhase& phase = c.Phases[p];
      for (int i = 0; i < phase.Frames; ++i) {
        rule.FrameMade(now);
        rule.AckCame(now, phase.RoundTripMs);
        now += phase.GapMs;
      }
      EXPECT_EQ(rule.Quality(), phase.QualityAfter) << c.Name << ", phase " << p;
      EXPECT_EQ(rule.NextPlan().ChangedQuality, rule.Quality()) << c.Name;
    }
  }
}

constexpr uint32_t Grey = 0x808080;

// The rule driving the real capturer over a fake screen, one capture per Turn, as the capture
// loop does it.
class SmoothRefinement : public ::testing::Test {
protected:
  void Make(int AWidth, int AHeight) {
    Screen = std::make_shared<TFakeScreen>(AWidth, AHeight, Grey);
    Capturer = std::make_unique<TScreenCapturer>(Screen, 1);
  }
  // One capture; the rectangles it sent.
  std::vector<TEncodedRect> Turn() {
    std::vector<TEncodedRect> rects;
    int w = 0, h = 0;
    if (Capturer->Capture(false, Rule.NextPlan(), rects, w, h)) Rule.FrameMade(Now);
    Rule.Captured(Capturer->LastTiles());
    Now += Rule.PauseMs();
    return rects;
  }
  // Turns until one sends something (at most AMax); the number of silent turns before it.
  int SilentTurnsBefore(std::vector<TEncodedRect>& ASent, int AMax = 20) {
    for (int i = 0; i < AMax; ++i) {
      ASent = Turn();
      if (!ASent.empty()) return i;
    }
    return -1;
  }
  // True when ARect's bytes are the screen's pixels under it encoded at AQuality.
  bool EncodedAt(const TEncodedRect& ARect, int AQuality) {
    std::vector<uint32_t> pixels(size_t(ARect.Rect.W) * ARect.Rect.H);
    for (int y = 0; y < ARect.Rect.H; ++y)
      for (int x = 0; x < ARect.Rect.W; ++x)
        pixels[size_t(y) * ARect.Rect.W + x] = Screen->Pixel(ARect.Rect.X + x, ARect.Rect.Y + y);
    TBytes expected;
    TJpegEncoder().EncodeWords(pixels.data(), ARect.Rect.W, ARect.Rect.H, ARect.Rect.W, AQuality, expected);
    return expected == ARect.Data;
  }
  // A pattern, so that quality shows in the bytes.
  void Paint(int ACol, int ARow, uint32_t ASeed) {
    for (int y = 0; y < 160; y += 4)
      for (int x = 0; x < 160; x += 4)
        Screen->Fill(TPixelRect{ACol * 160 + x, ARow * 160 + y, ACol * 160 + x + 4, ARow * 160 + y + 4},
                     (ASeed * 2654435761u + uint32_t(x * 7 + y * 13)) & 0xFFFFFF);
  }
  static int Count(const TTileReport& AReport, uint8_t AKind) {
    return int(std::count(AReport.Tiles.begin(), AReport.Tiles.end(), AKind));
  }

  std::shared_ptr<TFakeScreen> Screen;
  std::unique_ptr<TScreenCapturer> Capturer;
  TSmoothPacing Rule;
  int64_t Now = 1000;
};

TEST_F(SmoothRefinement, AStillAreaIsRefinedOnceThenNothingIsSent) {
  Make(480, 320);  // 3 x 2 tiles
  Paint(1, 0, 1);
  std::vector<TEncodedRect> sent = Turn();
  ASSERT_EQ(sent.size(), 2u) << "the first picture: one rectangle per tile row";
  for (const TEncodedRect& r : sent) EXPECT_TRUE(EncodedAt(r, TSmoothPacing::StartQuality));
  EXPECT_EQ(Rule.PauseMs(), TSmoothPacing::MotionPauseMs);
  EXPECT_EQ(Rule.CoarseTiles(), 6);

  // Still: after StillCaptures unchanged captures every tile goes again, sharp, in the same
  // full rows; the turns before it send nothing and rest the idle pause.
  EXPECT_EQ(SilentTurnsBefore(sent), TSmoothPacing::StillCaptures);
  EXPECT_EQ(Rule.PauseMs(), TSmoothPacing::IdlePauseMs);
  ASSERT_EQ(sent.size(), 2u);
  for (const TEncodedRect& r : sent) {
    EXPECT_EQ(r.Rect.W, 480);
    EXPECT_TRUE(EncodedAt(r, TSmoothPacing::RefineQuality));
  }
  EXPECT_EQ(Count(Capturer->LastTiles(), TTileReport::Refined), 6);
  EXPECT_EQ(Rule.CoarseTiles(), 0);
  EXPECT_EQ(SilentTurnsBefore(sent, 50), -1) << "a still, refined screen sends nothing";

  // One tile changes: it alone goes at the motion quality, and later alone at the sharp one.
  Paint(2, 1, 2);
  sent = Turn();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].Rect.X, 320);
  EXPECT_EQ(sent[0].Rect.Y, 160);
  EXPECT_TRUE(EncodedAt(sent[0], TSmoothPacing::StartQuality));
  EXPECT_EQ(SilentTurnsBefore(sent), TSmoothPacing::StillCaptures);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].Rect.X, 320);
  EXPECT_TRUE(EncodedAt(sent[0], TSmoothPacing::RefineQuality));
}

TEST_F(SmoothRefinement, MovingAndRefinedNeighboursTravelApartEachAtItsQuality) {
  Make(480, 160);  // one row of 3 tiles
  Turn();
  std::vector<TEncodedRect> sent;
  ASSERT_EQ(SilentTurnsBefore(sent), TSmoothPacing::StillCaptures);  // all sharp now
  // Tiles 0 and 1 change once; then tile 0 keeps moving while tile 1 rests.
  Paint(0, 0, 3);
  Paint(1, 0, 3);
  ASSERT_EQ(Turn().size(), 1u);
  for (int i = 0; i < TSmoothPacing::StillCaptures; ++i) {
    Paint(0, 0, 10 + i);
    sent = Turn();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].Rect.W, 160);
  }
  Paint(0, 0, 99);
  sent = Turn();
  ASSERT_EQ(sent.size(), 2u) << "the moving tile and its refined neighbour are two images";
  EXPECT_EQ(sent[0].Rect.X, 0);
  EXPECT_TRUE(EncodedAt(sent[0], TSmoothPacing::StartQuality));
  EXPECT_EQ(sent[1].Rect.X, 160);
  EXPECT_EQ(sent[1].Rect.W, 160);
  EXPECT_TRUE(EncodedAt(sent[1], TSmoothPacing::RefineQuality));
}

TEST_F(SmoothRefinement, RefinementIsSpreadOverFramesTopToBottom) {
  Make(800, 640);  // 5 x 4 tiles
  Turn();
  std::vector<TEncodedRect> sent;
  ASSERT_EQ(SilentTurnsBefore(sent), TSmoothPacing::StillCaptures);
  const TTileReport first = Capturer->LastTiles();
  EXPECT_EQ(Count(first, TTileReport::Refined), TSmoothPacing::MaxRefinePerFrame);
  for (int i = 0; i < TSmoothPacing::MaxRefinePerFrame; ++i) EXPECT_EQ(first.Tiles[i], TTileReport::Refined) << i;
  sent = Turn();
  EXPECT_FALSE(sent.empty());
  EXPECT_EQ(Count(Capturer->LastTiles(), TTileReport::Refined), 20 - TSmoothPacing::MaxRefinePerFrame);
  EXPECT_TRUE(Turn().empty());
}

TEST_F(SmoothRefinement, SlowAcknowledgementsLowerTheQualityOfMovingTiles) {
  Make(160, 160);
  Turn();
  for (int i = 0; i < 40; ++i) {
    Paint(0, 0, 20 + i);
    Now += 40;
    ASSERT_EQ(Turn().size(), 1u);
    Rule.AckCame(Now, 90);
  }
  EXPECT_EQ(Rule.Quality(), TSmoothPacing::MinQuality);
  Paint(0, 0, 77);
  const std::vector<TEncodedRect> sent = Turn();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_TRUE(EncodedAt(sent[0], TSmoothPacing::MinQuality));
}

TEST_F(SmoothRefinement, ANewGridForgetsEveryTile) {
  Make(480, 320);
  Turn();
  Screen->SetDesktop(TPixelRect{0, 0, 320, 160}, Grey);
  Capturer->RefreshMonitors();
  std::vector<TEncodedRect> sent = Turn();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(Rule.CoarseTiles(), 2) << "only the new grid's tiles wait for refinement";
  EXPECT_EQ(SilentTurnsBefore(sent), TSmoothPacing::StillCaptures);
  EXPECT_TRUE(EncodedAt(sent[0], TSmoothPacing::RefineQuality));
}

// Palette tiles are exact: only the JPEG tile among them comes back sharp, and a still screen
// then sends nothing.
TEST_F(SmoothRefinement, ExactTilesAreNeverRefined) {
  Make(480, 320);
  Capturer->SetPaletteTiles(true);
  Paint(1, 0, 1);  // 1,600 colours: JPEG; the five flat grey tiles go as palette tiles
  std::vector<TEncodedRect> sent = Turn();
  ASSERT_EQ(sent.size(), 6u);
  EXPECT_EQ(std::count_if(sent.begin(), sent.end(), [](const TEncodedRect& r) { return IsPaletteTile(r.Data); }), 5);
  EXPECT_EQ(Rule.CoarseTiles(), 1);
  EXPECT_EQ(SilentTurnsBefore(sent), TSmoothPacing::StillCaptures);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].Rect.X, 160);
  EXPECT_EQ(sent[0].Rect.Y, 0);
  EXPECT_TRUE(EncodedAt(sent[0], TSmoothPacing::RefineQuality));
  EXPECT_EQ(Rule.CoarseTiles(), 0);
  EXPECT_EQ(SilentTurnsBefore(sent, 50), -1);
}

}  // namespace
}  // namespace tlm
