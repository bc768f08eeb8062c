// The capturer against an in-memory screen: grid, change detection, runs, monitor selection,
// cursor painting, JPEG output and failure paths.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <thread>

#include "capture/ScreenCapturer.h"
#include "platform/fake/FakeScreen.h"
#include "protocol/Error.h"
#include "protocol/PaletteTile.h"
#include "tests/capture/TestPictures.h"

namespace tlm {
namespace {

using test::DecodeJpeg;
using test::TDecodedJpeg;

constexpr uint32_t Grey = 0x808080;

struct TRectGeometry {
  int X, Y, W, H;
};

std::vector<TRectGeometry> Geometry(const std::vector<TEncodedRect>& ARects) {
  std::vector<TRectGeometry> Out;
  for (const auto& R : ARects) Out.push_back({R.Rect.X, R.Rect.Y, R.Rect.W, R.Rect.H});
  return Out;
}

void PrintTo(const TRectGeometry& R, std::ostream* AOut) {
  *AOut << "(X " << R.X << ", Y " << R.Y << ", W " << R.W << ", H " << R.H << ")";
}

MATCHER_P4(RectIs, X, Y, W, H, "") { return arg.X == X && arg.Y == Y && arg.W == W && arg.H == H; }

class CapturerTest : public ::testing::Test {
protected:
  void Make(int AWidth, int AHeight, uint32_t AColor = Grey) {
    Screen = std::make_shared<TFakeScreen>(AWidth, AHeight, AColor);
    Capturer = std::make_unique<TScreenCapturer>(Screen);
  }
  bool Grab(bool AKeyframe = false) { return Capturer->Capture(AKeyframe, Rects, ScreenW, ScreenH); }

  std::shared_ptr<TFakeScreen> Screen;
  std::unique_ptr<TScreenCapturer> Capturer;
  std::vector<TEncodedRect> Rects;
  int ScreenW = -1, ScreenH = -1;
};

TEST_F(CapturerTest, StartsWithQuality60AndFirstMonitor) {
  Make(640, 480);
  EXPECT_EQ(Capturer->Quality(), 60);
  EXPECT_EQ(Capturer->MonitorIndex(), 0);
  ASSERT_EQ(Capturer->MonitorCount(), 1);
  EXPECT_EQ(Capturer->GetMonitor(0), (TMonitorInfoRec{{0, 0, 640, 480}, true}));
}

// A full picture is one rectangle per tile row, each as wide as the monitor; the last row and
// column are cut at the monitor's edge.
TEST_F(CapturerTest, FirstCaptureCoversEveryTileRowByRow) {
  struct TCase {
    int W, H;
    std::vector<TRectGeometry> Expected;
  };
  const TCase Cases[] = {
      {1920, 1080, {{0, 0, 1920, 160}, {0, 160, 1920, 160}, {0, 320, 1920, 160}, {0, 480, 1920, 160},
                    {0, 640, 1920, 160}, {0, 800, 1920, 160}, {0, 960, 1920, 120}}},
      {1000, 170, {{0, 0, 1000, 160}, {0, 160, 1000, 10}}},
      {160, 160, {{0, 0, 160, 160}}},
      {1, 1, {{0, 0, 1, 1}}},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(testing::Message() << C.W << "x" << C.H);
    Make(C.W, C.H);
    ASSERT_TRUE(Grab());
    EXPECT_EQ(ScreenW, C.W);
    EXPECT_EQ(ScreenH, C.H);
    ASSERT_EQ(Rects.size(), C.Expected.size());
    for (size_t I = 0; I < Rects.size(); ++I) {
      const TRectGeometry& E = C.Expected[I];
      EXPECT_THAT(Geometry(Rects)[I], RectIs(E.X, E.Y, E.W, E.H)) << "rectangle " << I;
      EXPECT_EQ(Rects[I].Rect.DataLen, Rects[I].Data.size());
    }
  }
}

TEST_F(CapturerTest, ThousandPixelsWideGivesSevenColumnsTheLastFortyWide) {
  Make(1000, 160);
  ASSERT_TRUE(Grab());
  // Change only the last column's tile: its run is exactly that column.
  Screen->Fill({960, 0, 1000, 160}, 0x00FF00);
  ASSERT_TRUE(Grab());
  ASSERT_EQ(Rects.size(), 1u);
  EXPECT_THAT(Geometry(Rects)[0], RectIs(960, 0, 40, 160));
  // And the sixth column is the one before it.
  Screen->Fill({800, 0, 960, 160}, 0x0000FF);
  ASSERT_TRUE(Grab());
  ASSERT_EQ(Rects.size(), 1u);
  EXPECT_THAT(Geometry(Rects)[0], RectIs(800, 0, 160, 160));
}

TEST_F(CapturerTest, UnchangedScreenGivesNothingButStillReportsTheSize) {
  Make(1920, 1080);
  ASSERT_TRUE(Grab());
  ScreenW = ScreenH = -1;
  EXPECT_FALSE(Grab());
  EXPECT_TRUE(Rects.empty());
  EXPECT_EQ(ScreenW, 1920);
  EXPECT_EQ(ScreenH, 1080);
}

TEST_F(CapturerTest, OnlyEvenRowsAndColumnsOfATileAreSampled) {
  struct TCase {
    const char* Name;
    int X, Y;  // offset of the changed pixel from the corner of tile (2, 1)
    bool Seen;
  };
  const TCase Cases[] = {
      {"even row, even column", 4, 6, true},
      {"tile corner", 0, 0, true},
      {"odd row", 4, 7, false},
      {"odd column", 5, 6, false},
      {"odd row and column", 159, 159, false},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    Make(640, 480);
    ASSERT_TRUE(Grab());
    Screen->SetPixel(2 * 160 + C.X, 160 + C.Y, 0xFFFFFF);
    EXPECT_EQ(Grab(), C.Seen);
    if (C.Seen) {
      ASSERT_EQ(Rects.size(), 1u);
      EXPECT_THAT(Geometry(Rects)[0], RectIs(320, 160, 160, 160));
    }
  }
}

TEST_F(CapturerTest, OddRowsOfAnEdgeTileAreNotSampledEither) {
  // The last tile row is 70 pixels high; sampling still starts at the tile's corner.
  Make(320, 230);
  ASSERT_TRUE(Grab());
  Screen->Fill({0, 161, 320, 162}, 0xFFFFFF);  // odd offset 1 inside the edge row
  EXPECT_FALSE(Grab());
  Screen->Fill({0, 228, 320, 229}, 0xFFFFFF);  // even offset 68
  ASSERT_TRUE(Grab());
  ASSERT_EQ(Rects.size(), 1u);
  EXPECT_THAT(Geometry(Rects)[0], RectIs(0, 160, 320, 70));
}

TEST_F(CapturerTest, ChangedTilesMergeOnlyWhenAdjacentInOneRow) {
  struct TCase {
    const char* Name;
    std::vector<std::pair<int, int>> Tiles;  // (col, row)
    std::vector<TRectGeometry> Expected;
  };
  const TCase Cases[] = {
      {"gap between two tiles", {{1, 0}, {3, 0}}, {{160, 0, 160, 160}, {480, 0, 160, 160}}},
      {"neighbours in one row", {{1, 0}, {2, 0}}, {{160, 0, 320, 160}}},
      {"neighbours in one column", {{1, 0}, {1, 1}}, {{160, 0, 160, 160}, {160, 160, 160, 160}}},
      {"run reaching the right edge", {{4, 2}, {5, 2}}, {{640, 320, 200, 80}}},
      {"order: rows top down, runs left to right",
       {{5, 2}, {0, 0}, {3, 0}, {2, 1}},
       {{0, 0, 160, 160}, {480, 0, 160, 160}, {320, 160, 160, 160}, {800, 320, 40, 80}}},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    Make(840, 400);  // 6 x 3 tiles, the last column 40 wide, the last row 80 high
    ASSERT_TRUE(Grab());
    for (auto [Col, Row] : C.Tiles) Screen->SetPixel(Col * 160, Row * 160, 0x123456);
    ASSERT_TRUE(Grab());
    ASSERT_EQ(Rects.size(), C.Expected.size());
    for (size_t I = 0; I < Rects.size(); ++I) {
      const TRectGeometry& E = C.Expected[I];
      EXPECT_THAT(Geometry(Rects)[I], RectIs(E.X, E.Y, E.W, E.H)) << "rectangle " << I;
    }
  }
}

// Tiles are hashed several at a time: a change to the last sampled pixel of any tile, full or
// cut by the edge, shows as that tile alone, on one thread and on several.
TEST_F(CapturerTest, EveryTileNoticesAChangeToItsLastSampledPixel) {
  for (int Threads : {1, 2}) {
    SCOPED_TRACE(testing::Message() << Threads << " threads");
    Screen = std::make_shared<TFakeScreen>(1500, 330, Grey);  // 9 full columns and one of 60; rows 160, 160, 10
    Capturer = std::make_unique<TScreenCapturer>(Screen, Threads);
    ASSERT_TRUE(Grab());
    for (int Row = 0; Row < 3; ++Row)
      for (int Col = 0; Col < 10; ++Col) {
        const int W = std::min(160, 1500 - Col * 160), H = std::min(160, 330 - Row * 160);
        const int X = Col * 160 + (W - 1) / 2 * 2, Y = Row * 160 + (H - 1) / 2 * 2;
        Screen->SetPixel(X, Y, 0x010203 * uint32_t(Row * 10 + Col + 1));
        ASSERT_TRUE(Grab()) << "tile " << Col << "," << Row;
        ASSERT_EQ(Rects.size(), 1u);
        EXPECT_THAT(Geometry(Rects)[0], RectIs(Col * 160, Row * 160, W, H));
      }
  }
}

TEST_F(CapturerTest, KeyframeMarksEveryTileAndBecomesTheNewReference) {
  Make(480, 320);
  ASSERT_TRUE(Grab());
  ASSERT_TRUE(Grab(true));
  EXPECT_EQ(Rects.size(), 2u);
  EXPECT_THAT(Geometry(Rects)[0], RectIs(0, 0, 480, 160));
  // A change taken in by the key frame is not reported again.
  Screen->SetPixel(0, 0, 0xFFFFFF);
  ASSERT_TRUE(Grab(true));
  EXPECT_FALSE(Grab());
}

TEST_F(CapturerTest, ResetAndSizeChangeGiveAFullPicture) {
  Make(1000, 1000);
  Screen->SetMonitors({{{0, 0, 480, 320}, true}});
  Capturer->RefreshMonitors();
  ASSERT_TRUE(Grab());
  ASSERT_FALSE(Grab());
  Capturer->Reset();
  ASSERT_TRUE(Grab());
  EXPECT_EQ(Rects.size(), 2u);
  ASSERT_FALSE(Grab());
  // The monitor's resolution changes: new grid, everything sent.
  Screen->SetMonitors({{{0, 0, 800, 600}, true}});
  Capturer->RefreshMonitors();
  ASSERT_TRUE(Grab());
  EXPECT_EQ(ScreenW, 800);
  EXPECT_EQ(ScreenH, 600);
  EXPECT_EQ(Rects.size(), 4u);
  for (const auto& R : Geometry(Rects)) EXPECT_EQ(R.W, 800);
}

class CapturerMonitorsTest : public CapturerTest {
protected:
  // Two monitors side by side, the second one primary, with different content.
  void SetUp() override {
    Screen = std::make_shared<TFakeScreen>(TPixelRect{0, 0, 3200, 1080}, Grey);
    Screen->SetMonitors({{{0, 0, 1280, 1024}, false}, {{1280, 0, 3200, 1080}, true}});
    Screen->Fill({1280, 0, 3200, 1080}, 0x204060);
    Capturer = std::make_unique<TScreenCapturer>(Screen);
  }
};

TEST_F(CapturerMonitorsTest, ListsMonitorsInTheSystemsOrder) {
  ASSERT_EQ(Capturer->MonitorCount(), 2);
  EXPECT_EQ(Capturer->GetMonitor(0), (TMonitorInfoRec{{0, 0, 1280, 1024}, false}));
  EXPECT_EQ(Capturer->GetMonitor(1), (TMonitorInfoRec{{1280, 0, 3200, 1080}, true}));
  EXPECT_THROW(Capturer->GetMonitor(2), TError);
  EXPECT_THROW(Capturer->GetMonitor(-1), TError);
}

TEST_F(CapturerMonitorsTest, SelectMonitorIgnoresTheCurrentAndInvalidIndexes) {
  for (int Index : {0, -1, 2, 1000}) {
    SCOPED_TRACE(Index);
    ASSERT_TRUE(Grab(true));
    Capturer->SelectMonitor(Index);
    EXPECT_EQ(Capturer->MonitorIndex(), 0);
    EXPECT_FALSE(Grab()) << "no reset expected";
    EXPECT_EQ(ScreenW, 1280);
  }
}

TEST_F(CapturerMonitorsTest, SelectMonitorSwitchesAndCapturesTheNewMonitorInFull) {
  ASSERT_TRUE(Grab());
  Capturer->SelectMonitor(1);
  EXPECT_EQ(Capturer->MonitorIndex(), 1);
  ASSERT_TRUE(Grab());
  EXPECT_EQ(ScreenW, 1920);
  EXPECT_EQ(ScreenH, 1080);
  ASSERT_EQ(Rects.size(), 7u);
  // The pixels come from the second monitor: the picture is its colour, not the first's.
  TDecodedJpeg D;
  ASSERT_TRUE(DecodeJpeg(Rects[0].Data, D));
  EXPECT_NEAR(D.Rgb[0], 0x20, 4);
  EXPECT_NEAR(D.Rgb[1], 0x40, 4);
  EXPECT_NEAR(D.Rgb[2], 0x60, 4);
  // Coordinates stay relative to the monitor: a change at desktop x 1280+160 is column 1.
  Screen->SetPixel(1280 + 160, 0, 0xFFFFFF);
  ASSERT_TRUE(Grab());
  ASSERT_EQ(Rects.size(), 1u);
  EXPECT_THAT(Geometry(Rects)[0], RectIs(160, 0, 160, 160));
}

// The reader thread's SelectMonitor can land in the middle of a capture: that capture stays on
// the monitor it started with, and the next one sends the new monitor in full, even where its
// tiles look like the old monitor's.
TEST_F(CapturerMonitorsTest, SelectMonitorDuringACaptureTakesEffectNextTime) {
  Screen = std::make_shared<TFakeScreen>(TPixelRect{0, 0, 2560, 1024}, Grey);
  Screen->SetMonitors({{{0, 0, 1280, 1024}, true}, {{1280, 0, 2560, 1024}, false}});
  Screen->SetPixel(1280, 0, 0xFFFFFF);  // the monitors differ in one tile only
  Capturer = std::make_unique<TScreenCapturer>(Screen);
  ASSERT_TRUE(Grab());
  Screen->SetCopyHook([this] { Capturer->SelectMonitor(1); });
  Grab();
  EXPECT_EQ(Capturer->MonitorIndex(), 1);
  Screen->SetCopyHook({});
  Screen->SetPixel(0, 0, 0x000001);  // proves the capture above was still on monitor 0
  ASSERT_TRUE(Grab());
  EXPECT_EQ(Rects.size(), 7u) << "the new monitor must come in full";
  TDecodedJpeg D;
  ASSERT_TRUE(DecodeJpeg(Rects[0].Data, D));
  EXPECT_GT(D.Rgb[0], 0xC0) << "pixels of monitor 1";
  EXPECT_FALSE(Grab());
}

TEST_F(CapturerMonitorsTest, SelectingTheSameSizedMonitorStillResets) {
  Screen->SetMonitors({{{0, 0, 1280, 1024}, false}, {{1280, 0, 2560, 1024}, true}});
  Capturer->RefreshMonitors();
  ASSERT_TRUE(Grab());
  Capturer->SelectMonitor(1);
  ASSERT_TRUE(Grab());
  EXPECT_EQ(Rects.size(), 7u);
}

TEST_F(CapturerMonitorsTest, RefreshMonitorsFallsBackToTheFirstWhenTheSelectedOneIsGone) {
  Capturer->SelectMonitor(1);
  ASSERT_EQ(Capturer->MonitorIndex(), 1);
  Screen->SetMonitors({{{0, 0, 1280, 1024}, true}});
  Capturer->RefreshMonitors();
  EXPECT_EQ(Capturer->MonitorCount(), 1);
  EXPECT_EQ(Capturer->MonitorIndex(), 0);
  ASSERT_TRUE(Grab());
  EXPECT_EQ(ScreenW, 1280);
  // A surviving selection is kept.
  Screen->SetMonitors({{{0, 0, 1280, 1024}, true}, {{1280, 0, 3200, 1080}, false}});
  Capturer->RefreshMonitors();
  Capturer->SelectMonitor(1);
  Capturer->RefreshMonitors();
  EXPECT_EQ(Capturer->MonitorIndex(), 1);
}

TEST_F(CapturerMonitorsTest, NoMonitorReportedGivesOnePrimaryScreenEntry) {
  Screen->SetMonitors({});
  Screen->SetScreenRect({0, 0, 1024, 768});
  Capturer->RefreshMonitors();
  ASSERT_EQ(Capturer->MonitorCount(), 1);
  EXPECT_EQ(Capturer->GetMonitor(0), (TMonitorInfoRec{{0, 0, 1024, 768}, true}));
  ASSERT_TRUE(Grab());
  EXPECT_EQ(ScreenW, 1024);
  EXPECT_EQ(ScreenH, 768);
}

TEST_F(CapturerTest, MonitorTooLargeForTheWireIsAnError) {
  Screen = std::make_shared<TFakeScreen>(16, 16);
  Screen->SetMonitors({{{0, 0, 70000, 16}, true}});
  Capturer = std::make_unique<TScreenCapturer>(Screen);
  EXPECT_THROW(Grab(), TError);
  EXPECT_TRUE(Rects.empty());
}

TEST_F(CapturerTest, FailedCopyKeepsThePreviousPicture) {
  Make(320, 160);
  ASSERT_TRUE(Grab());
  Screen->SetCopyFails(true);
  Screen->Fill({0, 0, 320, 160}, 0xFFFFFF);
  EXPECT_FALSE(Grab());
  EXPECT_EQ(ScreenW, 320);
  EXPECT_TRUE(Grab(true)) << "a key frame is made from the picture held";
  Screen->SetCopyFails(false);
  EXPECT_TRUE(Grab());
}

// A lent picture is gone once the screen fails: nothing is sent then, and a key frame asked for
// meanwhile comes with the next picture even when nothing changed.
TEST_F(CapturerTest, FailedGrabSendsNothingAndKeepsAKeyFrameForLater) {
  Make(320, 160);
  Screen->SetLendsPictures(true);
  ASSERT_TRUE(Grab());
  Screen->SetCopyFails(true);
  EXPECT_FALSE(Grab());
  EXPECT_FALSE(Grab(true));
  EXPECT_TRUE(Rects.empty());
  Screen->SetCopyFails(false);
  ASSERT_TRUE(Grab());
  EXPECT_EQ(Rects.size(), 1u);
  EXPECT_FALSE(Grab()) << "then back to changes only";
}

// libjpeg cannot make an image wider than 65500 pixels: the encoder's error must come back as
// a TError, and the tiles that were hashed but never sent must be sent by the next call.
TEST_F(CapturerTest, EncoderFailureRaisesAndTheNextCaptureSendsEverything) {
  for (int Threads : {1, 3}) {
    SCOPED_TRACE(Threads);
    // Two tile rows, both too wide: with helpers the failures come back through the team.
    Screen = std::make_shared<TFakeScreen>(TPixelRect{0, 0, 65520, 162});
    Screen->SetMonitors({{{0, 0, 1600, 162}, true}});
    Capturer = std::make_unique<TScreenCapturer>(Screen, Threads);
    ASSERT_TRUE(Grab());
    Screen->SetMonitors({{{0, 0, 65520, 162}, true}});
    Capturer->RefreshMonitors();
    EXPECT_THROW(Grab(), TError);
    EXPECT_TRUE(Rects.empty());
    EXPECT_THROW(Grab(), TError) << "the unchanged picture must be tried again in full";
    EXPECT_TRUE(Rects.empty());
  }
}

// Every rectangle is a complete baseline JPEG of exactly its size, close to the source.
TEST_F(CapturerTest, EveryRectangleDecodesToItsSizeCloseToTheSource) {
  const int W = 1000, H = 700;
  const std::vector<uint32_t> Picture = test::MakeDesktopPicture(W, H, 7);
  struct TCase {
    int Quality;
    double MinPsnr;
  };
  // Text at these qualities stays above these bounds (about 2 dB of margin); a swapped channel
  // or a picture shifted by a pixel falls far below them.
  for (const TCase C : {TCase{45, 23.0}, TCase{60, 25.0}, TCase{82, 28.0}}) {
    SCOPED_TRACE(C.Quality);
    Make(W, H);
    Screen->Blit(0, 0, W, H, Picture.data());
    Capturer->SetQuality(C.Quality);
    ASSERT_TRUE(Grab());
    ASSERT_EQ(Rects.size(), 5u);
    for (const auto& R : Rects) {
      TDecodedJpeg D;
      std::string Error;
      ASSERT_TRUE(DecodeJpeg(R.Data, D, &Error)) << Error;
      EXPECT_EQ(D.Width, R.Rect.W);
      EXPECT_EQ(D.Height, R.Rect.H);
      EXPECT_EQ(D.Components, 3);
      EXPECT_TRUE(D.Baseline);
      EXPECT_FALSE(D.Progressive);
      EXPECT_GE(test::Psnr(D, Picture.data(), W, R.Rect.X, R.Rect.Y), C.MinPsnr);
    }
  }
}

// Hashing and encoding the tile rows on several threads, and working on the picture the screen
// lends instead of a copy, change nothing in the output, whatever the mix of run sizes.
TEST_F(CapturerTest, ThreadsAndLentPicturesGiveTheSameBytes) {
  const int W = 1700, H = 900;
  const std::vector<uint32_t> Picture = test::MakeDesktopPicture(W, H, 13);
  struct TSetup {
    int Threads;
    bool Lends;
  };
  const TSetup Setups[] = {{1, false}, {4, false}, {1, true}, {2, true}, {4, true}};
  for (const bool Palette : {false, true}) {
  SCOPED_TRACE(Palette ? "palette tiles" : "JPEG only");
  std::vector<std::shared_ptr<TFakeScreen>> Screens;
  std::vector<std::unique_ptr<TScreenCapturer>> Capturers;
  for (const TSetup& S : Setups) {
    Screens.push_back(std::make_shared<TFakeScreen>(W, H));
    Screens.back()->Blit(0, 0, W, H, Picture.data());
    Screens.back()->SetLendsPictures(S.Lends);
    Capturers.push_back(std::make_unique<TScreenCapturer>(Screens.back(), S.Threads));
    Capturers.back()->SetPaletteTiles(Palette);
  }
  auto CaptureAllAndCompare = [&](size_t AMinRects) {
    std::vector<std::vector<TEncodedRect>> Out(Capturers.size());
    int Wo, Ho;
    for (size_t I = 0; I < Capturers.size(); ++I) ASSERT_TRUE(Capturers[I]->Capture(false, Out[I], Wo, Ho));
    EXPECT_GE(Out[0].size(), AMinRects);
    for (size_t I = 1; I < Out.size(); ++I) {
      SCOPED_TRACE(testing::Message() << Setups[I].Threads << " threads, lent " << Setups[I].Lends);
      ASSERT_EQ(Out[I].size(), Out[0].size());
      for (size_t R = 0; R < Out[0].size(); ++R) {
        EXPECT_EQ(Geometry(Out[I])[R].X, Geometry(Out[0])[R].X);
        EXPECT_EQ(Geometry(Out[I])[R].Y, Geometry(Out[0])[R].Y);
        EXPECT_EQ(Geometry(Out[I])[R].W, Geometry(Out[0])[R].W);
        EXPECT_EQ(Out[I][R].Rect.DataLen, Out[0][R].Rect.DataLen);
        EXPECT_TRUE(Out[I][R].Data == Out[0][R].Data) << "rectangle " << R;
      }
    }
  };
  CaptureAllAndCompare(6);
  // Scattered changes: runs of different lengths on several rows.
  for (int I = 0; I < 40; ++I)
    for (auto& Screen : Screens) Screen->SetPixel((I * 7 % 11) * 160, (I % 6) * 160, 0xFF00FF + uint32_t(I));
  CaptureAllAndCompare(7);
  }
}

// Palette tiles only when switched on, then one per flat tile, exact, and marked in the report;
// the photograph stays JPEG; a tile with many colours but little detail goes the smaller way.
TEST_F(CapturerTest, FlatTilesGoAsPaletteTilesOnlyWhenSwitchedOn) {
  const int W = 1000, H = 700;
  std::vector<uint32_t> Picture = test::MakeDesktopPicture(W, H, 7);
  // Tile (5, 0): smooth waves of at most 201 greys, which JPEG codes in fewer bytes.
  for (int Y = 0; Y < 160; ++Y)
    for (int X = 800; X < 960; ++X)
      Picture[size_t(Y) * W + size_t(X)] = uint32_t(128 + 100 * std::sin(X / 17.0) * std::cos(Y / 13.0)) * 0x010101u;
  auto RectAt = [&](int AX, int AY) -> const TEncodedRect* {
    for (const auto& R : Rects)
      if (AX >= R.Rect.X && AX < R.Rect.X + R.Rect.W && AY >= R.Rect.Y && AY < R.Rect.Y + R.Rect.H) return &R;
    return nullptr;
  };
  for (const bool On : {false, true}) {
    SCOPED_TRACE(On ? "on" : "off");
    Make(W, H);
    Screen->Blit(0, 0, W, H, Picture.data());
    Capturer->SetQuality(45);
    Capturer->SetPaletteTiles(On);
    ASSERT_TRUE(Grab());
    const TTileReport& Report = Capturer->LastTiles();
    ASSERT_EQ(Report.Exact.size(), Report.Tiles.size());
    size_t PaletteRects = 0, CoveredPixels = 0;
    for (const auto& R : Rects) {
      CoveredPixels += size_t(R.Rect.W) * R.Rect.H;
      const int Col = R.Rect.X / 160, Row = R.Rect.Y / 160;
      if (!IsPaletteTile(R.Data)) {
        ASSERT_FALSE(R.Data.empty());
        EXPECT_EQ(R.Data[0], 0xFF);
        for (int C = Col; C * 160 < R.Rect.X + R.Rect.W; ++C) EXPECT_EQ(Report.Exact[size_t(Row * Report.Cols + C)], 0);
        continue;
      }
      ++PaletteRects;
      EXPECT_TRUE(On);
      EXPECT_EQ(R.Rect.X % 160, 0);
      EXPECT_EQ(R.Rect.W, std::min(160, W - R.Rect.X));  // one tile each
      EXPECT_EQ(Report.Exact[size_t(Row * Report.Cols + Col)], 1);
      std::vector<uint32_t> Decoded(size_t(R.Rect.W) * R.Rect.H);
      DecodePaletteTile(R.Data, R.Rect.W, R.Rect.H, Decoded.data());
      for (int Y = 0; Y < R.Rect.H; ++Y)
        for (int X = 0; X < R.Rect.W; ++X)
          ASSERT_EQ(Decoded[size_t(Y) * R.Rect.W + size_t(X)] & 0xFFFFFFu,
                    Picture[size_t(R.Rect.Y + Y) * W + size_t(R.Rect.X + X)]);
    }
    EXPECT_EQ(CoveredPixels, size_t(W) * H);
    ASSERT_TRUE(RectAt(10, 10) && RectAt(700, 500) && RectAt(850, 80));
    EXPECT_EQ(IsPaletteTile(RectAt(10, 10)->Data), On);  // wallpaper and a window's corner
    EXPECT_FALSE(IsPaletteTile(RectAt(700, 500)->Data));  // inside the photograph
    EXPECT_FALSE(IsPaletteTile(RectAt(850, 80)->Data));  // the waves
    EXPECT_GE(PaletteRects, On ? 20u : 0u);
  }
}

TEST_F(CapturerTest, QualityIsReadForEachRectangle) {
  const std::vector<uint32_t> Picture = test::MakeDesktopPicture(640, 480, 3);
  Make(640, 480);
  Screen->Blit(0, 0, 640, 480, Picture.data());
  size_t Sizes[2] = {};
  int Index = 0;
  for (int Quality : {20, 95}) {
    Capturer->SetQuality(Quality);
    ASSERT_TRUE(Grab(true));
    for (const auto& R : Rects) Sizes[Index] += R.Data.size();
    ++Index;
  }
  EXPECT_LT(Sizes[0] * 2, Sizes[1]);
}

// The cursor: an opaque 8x8 block inside a 24x24 half-transparent square, hotspot (2, 3).
class CapturerCursorTest : public CapturerTest {
protected:
  static constexpr uint32_t Background = 0x000000C8;  // R 0, G 0, B 200
  void SetUp() override {
    Screen = std::make_shared<TFakeScreen>(TPixelRect{0, 0, 1280, 320}, Background);
    Screen->SetMonitors({{{0, 0, 640, 320}, true}, {{640, 0, 1280, 320}, false}});
    std::vector<uint32_t> Img(24 * 24, 0x80404040);  // 50 % grey, premultiplied
    for (int Y = 8; Y < 16; ++Y)
      for (int X = 8; X < 16; ++X) Img[size_t(Y) * 24 + size_t(X)] = 0xFFFF0000;  // opaque red
    Screen->SetCursorImage(24, 24, 2, 3, Img);
    Capturer = std::make_unique<TScreenCapturer>(Screen);
  }
  // The colour of the decoded picture at (AX, AY) of the monitor, from the rectangle holding it.
  uint32_t DecodedAt(int AX, int AY) {
    for (const auto& R : Rects)
      if (AX >= R.Rect.X && AX < R.Rect.X + R.Rect.W && AY >= R.Rect.Y && AY < R.Rect.Y + R.Rect.H) {
        TDecodedJpeg D;
        EXPECT_TRUE(DecodeJpeg(R.Data, D));
        const uint8_t* P = &D.Rgb[(size_t(AY - R.Rect.Y) * D.Width + size_t(AX - R.Rect.X)) * 3];
        return (uint32_t(P[0]) << 16) | (uint32_t(P[1]) << 8) | P[2];
      }
    ADD_FAILURE() << "no rectangle covers " << AX << "," << AY;
    return 0;
  }
  static void ExpectColour(uint32_t AActual, uint32_t AExpected) {
    for (int Shift : {16, 8, 0})
      EXPECT_NEAR(int((AActual >> Shift) & 0xFF), int((AExpected >> Shift) & 0xFF), 24)
          << std::hex << AActual << " vs " << AExpected;
  }
};

TEST_F(CapturerCursorTest, VisibleCursorIsBlendedAtItsPositionMinusHotspot) {
  Screen->MoveCursor(302, 203);  // image corner at (300, 200)
  Screen->ShowCursor(true);
  Capturer->SetQuality(100);
  ASSERT_TRUE(Grab());
  ExpectColour(DecodedAt(311, 211), 0xFF0000);  // opaque inside
  // Border: 0x40 + 200 * 127 / 255 for blue, 0x40 for red and green.
  ExpectColour(DecodedAt(301, 201), 0x4040A4);
  ExpectColour(DecodedAt(296, 196), Background);  // outside the image
  ExpectColour(DecodedAt(328, 228), Background);
  // Moving it changes exactly the tiles it left (two, it crossed x 320) and entered.
  Screen->MoveCursor(2, 3);
  ASSERT_TRUE(Grab());
  ASSERT_EQ(Rects.size(), 2u);
  EXPECT_THAT(Geometry(Rects)[0], RectIs(0, 0, 160, 160));
  EXPECT_THAT(Geometry(Rects)[1], RectIs(160, 160, 320, 160));
}

// A lent picture of a monitor away from the desktop's origin: the cursor lands at its place on
// that monitor, painted into the lent picture.
TEST_F(CapturerCursorTest, CursorIsPaintedIntoALentPictureOfTheSecondMonitor) {
  Screen->SetLendsPictures(true);
  Capturer->SelectMonitor(1);
  Screen->MoveCursor(902, 103);  // image corner at (900, 100), (260, 100) on monitor 1
  Screen->ShowCursor(true);
  Capturer->SetQuality(100);
  ASSERT_TRUE(Grab());
  EXPECT_EQ(ScreenW, 640);
  ExpectColour(DecodedAt(271, 111), 0xFF0000);
  ExpectColour(DecodedAt(255, 95), Background);
  EXPECT_EQ(Screen->Pixel(911, 111), Background) << "the desktop itself is left alone";
}

TEST_F(CapturerCursorTest, HiddenCursorDrawsNothing) {
  Screen->MoveCursor(302, 203);
  Screen->ShowCursor(false);
  ASSERT_TRUE(Grab());
  ExpectColour(DecodedAt(311, 211), Background);
  Screen->MoveCursor(102, 103);
  EXPECT_FALSE(Grab());
  Screen->ShowCursor(true);
  ASSERT_TRUE(Grab());
  ExpectColour(DecodedAt(111, 111), 0xFF0000);
  Screen->ShowCursor(false);
  ASSERT_TRUE(Grab()) << "hiding it changes the picture back";
  ExpectColour(DecodedAt(111, 111), Background);
}

TEST_F(CapturerCursorTest, CursorOutsideTheMonitorIsClipped) {
  Screen->ShowCursor(true);
  struct TCase {
    const char* Name;
    int X, Y;       // pointer position on the desktop
    bool Touches;   // part of the image falls on monitor 0
  };
  const TCase Cases[] = {
      {"on the other monitor", 900, 100, false},
      {"beyond the top-left corner", -30, -30, false},
      {"below the desktop", 100, 400, false},
      {"straddling the right edge", 630, 100, true},
      {"straddling the top-left corner", -3, -4, true},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    Screen->MoveCursor(-1000, -1000);
    ASSERT_TRUE(Grab(true));
    Screen->MoveCursor(C.X, C.Y);
    EXPECT_EQ(Grab(), C.Touches);
    EXPECT_EQ(ScreenW, 640);
  }
  Screen->MoveCursor(628, 100);  // corner at 626: opaque from column 634, cut at 639
  Capturer->SetQuality(100);
  ASSERT_TRUE(Grab(true));
  ExpectColour(DecodedAt(637, 109), 0xFF0000);
}

// The host's reader thread switches monitors and quality while its capture thread captures and
// a test paints; run under the thread sanitizer this shows the capturer's shared state is safe.
TEST_F(CapturerMonitorsTest, ControlCallsWhileCapturing) {
  std::atomic<bool> Stop{false};
  std::atomic<int> Captures{0};
  std::thread CaptureThread([&] {
    std::vector<TEncodedRect> R;
    int W = 0, H = 0;
    while (!Stop.load()) {
      Capturer->Capture(false, R, W, H);
      EXPECT_TRUE((W == 1280 && H == 1024) || (W == 1920 && H == 1080)) << W << "x" << H;
      for (const auto& E : R) EXPECT_EQ(E.Rect.DataLen, E.Data.size());
      Captures.fetch_add(1);
    }
  });
  for (int I = 0; Captures.load() < 20 || I < 200; ++I) {
    Capturer->SelectMonitor(I % 2);
    Capturer->SetQuality(20 + I % 70);
    EXPECT_LT(Capturer->MonitorIndex(), Capturer->MonitorCount());
    (void)Capturer->GetMonitor(Capturer->MonitorIndex());
    Screen->SetPixel((I * 160) % 3200, 0, uint32_t(I));
    Capturer->Reset();
    std::this_thread::yield();
  }
  Stop.store(true);
  CaptureThread.join();
}

}  // namespace
}  // namespace tlm
